#include "kestrix/lib/run/sampling.h"

#include <algorithm>
#include <random>

namespace kestrix {

namespace {

uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Few shots over many outcomes: sort the uniforms and walk the cumulative sum once.
std::vector<uint64_t> by_sorted_uniforms(const std::vector<double>& probs, double total,
                                         uint64_t shots, Rng& rng) {
    std::vector<double> u(shots);
    for (double& x : u) x = rng.uniform() * total;
    std::sort(u.begin(), u.end());
    std::vector<uint64_t> counts(probs.size(), 0);
    double cumulative = 0;
    size_t next = 0, last_nonzero = 0;
    for (size_t i = 0; i < probs.size() && next < shots; ++i) {
        if (probs[i] <= 0) continue;
        last_nonzero = i;
        cumulative += probs[i];
        while (next < shots && u[next] < cumulative) {
            ++counts[i];
            ++next;
        }
    }
    // Rounding can leave the top uniforms just above the sum: they belong to the last outcome.
    for (size_t i = last_nonzero + 1; i < probs.size(); ++i)
        if (probs[i] > 0) last_nonzero = i;
    counts[last_nonzero] += shots - next;
    return counts;
}

// A Binomial(n, p) draw for any n. The standard library's draw stops returning for n of
// about 2^60; a sum of independent Binomial(piece, p) draws has the same distribution.
uint64_t binomial(uint64_t n, double p, Rng& rng) {
    constexpr uint64_t kPiece = uint64_t{1} << 56;
    uint64_t total = 0;
    for (; n > 0; n -= std::min(n, kPiece)) {
        std::binomial_distribution<uint64_t> draw(std::min(n, kPiece), p);
        total += draw(rng);
    }
    return total;
}

// Many shots over few outcomes: one binomial draw per outcome, conditioned on the rest.
std::vector<uint64_t> by_binomials(const std::vector<double>& probs, double total, uint64_t shots,
                                   Rng& rng) {
    std::vector<uint64_t> counts(probs.size(), 0);
    uint64_t left = shots;
    double mass = total;
    size_t last_nonzero = 0;
    for (size_t i = 0; i < probs.size(); ++i)
        if (probs[i] > 0) last_nonzero = i;
    for (size_t i = 0; i < probs.size() && left > 0; ++i) {
        if (probs[i] <= 0) continue;
        if (i == last_nonzero || probs[i] >= mass) {
            counts[i] = left;
            break;
        }
        counts[i] = binomial(left, probs[i] / mass, rng);
        left -= counts[i];
        mass -= probs[i];
    }
    return counts;
}

}  // namespace

Rng::Rng(uint64_t seed) {
    for (uint64_t& s : s_) s = splitmix64(seed);
}

uint64_t Rng::operator()() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

std::vector<uint64_t> sample_counts(const std::vector<double>& probs, uint64_t shots, Rng& rng) {
    double total = 0;
    for (double p : probs) total += std::max(p, 0.0);
    // Written as a division: shots * 8 would wrap around for shots of 2^61 and more.
    if (shots < probs.size() / 8) return by_sorted_uniforms(probs, total, shots, rng);
    return by_binomials(probs, total, shots, rng);
}

}  // namespace kestrix
