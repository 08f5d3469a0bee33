#pragma once
// Random numbers and shot sampling. A fixed seed makes every draw repeatable.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrix {

/// xoshiro256**: fast, small state, good statistical quality.
class Rng {
  public:
    using result_type = uint64_t;
    explicit Rng(uint64_t seed);
    uint64_t operator()();
    /// Uniform double in [0, 1).
    double uniform() { return static_cast<double>((*this)() >> 11) * 0x1.0p-53; }
    static constexpr uint64_t min() { return 0; }
    static constexpr uint64_t max() { return ~uint64_t{0}; }

  private:
    uint64_t s_[4];
};

/// A Binomial(n, p) draw for any n (the standard library's stops returning near 2^60).
uint64_t binomial(uint64_t n, double p, Rng& rng);

/// Draws `shots` outcomes from the probabilities prob(0), ..., prob(size - 1) (which need
/// not be normalised exactly) and returns the outcomes that came up, ascending, with their
/// counts. The probabilities are read in index order, a few times over, and never stored:
/// a whole state is sampled without a buffer of its size. Costs O(size + shots log shots)
/// at most: few shots over many outcomes sort their uniforms and walk the cumulative sum
/// once; many shots draw one binomial per outcome, conditioned on the rest.
template <class Prob>
std::vector<std::pair<uint64_t, uint64_t>> sample_outcomes(uint64_t size, const Prob& prob,
                                                           uint64_t shots, Rng& rng) {
    double total = 0;
    uint64_t last_nonzero = 0;
    for (uint64_t i = 0; i < size; ++i) {
        const double p = prob(i);
        total += std::max(p, 0.0);
        if (p > 0) last_nonzero = i;
    }
    std::vector<std::pair<uint64_t, uint64_t>> counts;
    // Written as a division: shots * 8 would wrap around for shots of 2^61 and more.
    if (shots < size / 8) {
        std::vector<double> u(shots);
        for (double& x : u) x = rng.uniform() * total;
        std::sort(u.begin(), u.end());
        double cumulative = 0;
        size_t next = 0;
        for (uint64_t i = 0; i < size && next < shots; ++i) {
            const double p = prob(i);
            if (p <= 0) continue;
            cumulative += p;
            uint64_t count = 0;
            for (; next < shots && u[next] < cumulative; ++next) ++count;
            if (count) counts.emplace_back(i, count);
        }
        // Rounding can leave the top uniforms just above the sum: they belong to the last
        // outcome.
        if (next < shots) {
            if (!counts.empty() && counts.back().first == last_nonzero)
                counts.back().second += shots - next;
            else
                counts.emplace_back(last_nonzero, shots - next);
        }
        return counts;
    }
    uint64_t left = shots;
    double mass = total;
    for (uint64_t i = 0; i < size && left > 0; ++i) {
        const double p = prob(i);
        if (p <= 0) continue;
        if (i == last_nonzero || p >= mass) {
            counts.emplace_back(i, left);
            break;
        }
        const uint64_t count = binomial(left, p / mass, rng);
        if (count) counts.emplace_back(i, count);
        left -= count;
        mass -= p;
    }
    return counts;
}

/// sample_outcomes over a table: how often each index came up, every index listed.
std::vector<uint64_t> sample_counts(const std::vector<double>& probs, uint64_t shots, Rng& rng);

/// The shots of a run simulated one at a time, each as the index of its outcome's entry in
/// `counts` (sorted by outcome, every shot's outcome among them).
template <class Outcome>
std::vector<uint32_t> memory_indices(const std::vector<std::pair<Outcome, uint64_t>>& counts,
                                     const std::vector<Outcome>& shots) {
    std::vector<uint32_t> memory;
    memory.reserve(shots.size());
    for (const Outcome& o : shots) {
        auto at =
            std::lower_bound(counts.begin(), counts.end(), o,
                             [](const auto& entry, const Outcome& x) { return entry.first < x; });
        memory.push_back(uint32_t(at - counts.begin()));
    }
    return memory;
}

/// The shots of a run whose counts were drawn all at once, in an order, each as the index
/// of its entry in `counts`: the drawn shots are independent and alike, so given their
/// counts every order is equally likely, and a uniform shuffle of the tallied outcomes
/// gives the sequence one shot after another would.
template <class Outcome>
std::vector<uint32_t> shuffled_memory(const std::vector<std::pair<Outcome, uint64_t>>& counts,
                                      uint64_t shots, Rng& rng) {
    std::vector<uint32_t> memory;
    memory.reserve(shots);
    for (size_t k = 0; k < counts.size(); ++k)
        memory.insert(memory.end(), counts[k].second, uint32_t(k));
    for (uint64_t i = memory.size(); i > 1; --i) {
        // i < 2^32, so the remainder of a 64-bit draw is uniform on [0, i) within 2^-32.
        const uint64_t j = rng() % i;
        std::swap(memory[i - 1], memory[j]);
    }
    return memory;
}

}  // namespace kestrix
