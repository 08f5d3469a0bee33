#pragma once
// Random numbers and shot sampling. A fixed seed makes every draw repeatable.
#include <cstdint>
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

/// Draws `shots` outcomes from `probs` (which need not be normalised exactly) and returns
/// how often each index came up. Costs O(probs.size() + shots log shots) at most.
std::vector<uint64_t> sample_counts(const std::vector<double>& probs, uint64_t shots, Rng& rng);

}  // namespace kestrix
