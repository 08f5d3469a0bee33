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

}  // namespace

// The standard library's draw stops returning for n of about 2^60; a sum of independent
// Binomial(piece, p) draws has the same distribution.
uint64_t binomial(uint64_t n, double p, Rng& rng) {
    constexpr uint64_t kPiece = uint64_t{1} << 56;
    uint64_t total = 0;
    for (; n > 0; n -= std::min(n, kPiece)) {
        std::binomial_distribution<uint64_t> draw(std::min(n, kPiece), p);
        total += draw(rng);
    }
    return total;
}

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
    std::vector<uint64_t> counts(probs.size(), 0);
    for (auto [index, count] : sample_outcomes(
             probs.size(), [&](uint64_t i) { return probs[i]; }, shots, rng))
        counts[index] = count;
    return counts;
}

}  // namespace kestrix
