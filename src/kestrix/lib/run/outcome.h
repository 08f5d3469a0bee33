#pragma once
// The classical bits one shot leaves: bit j is the j-th measured classical bit. A program
// may measure into more classical bits than a machine word holds, so the bits are kept in
// as many words as they need (one, inline, for up to 64 bits).
#include <algorithm>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kestrix/lib/base/small_vector.h"

namespace kestrix {

class Outcome {
  public:
    Outcome() = default;
    /// The outcome whose bits 0..63 are those of `bits`.
    explicit Outcome(uint64_t bits) {
        if (bits) words_.push_back(bits);
    }

    bool bit(size_t j) const {
        return j / 64 < words_.size() && ((words_[j / 64] >> (j % 64)) & 1);
    }
    void set(size_t j, bool value) {
        if (value) {
            while (words_.size() <= j / 64) words_.push_back(0);
            words_[j / 64] |= uint64_t{1} << (j % 64);
        } else if (j / 64 < words_.size()) {
            words_[j / 64] &= ~(uint64_t{1} << (j % 64));
            trim();
        }
    }
    bool is_zero() const { return words_.empty(); }
    /// Bits 64k .. 64k + 63.
    uint64_t word(size_t k) const { return k < words_.size() ? words_[k] : 0; }
    void set_word(size_t k, uint64_t bits) {
        while (words_.size() <= k) words_.push_back(0);
        words_[k] = bits;
        trim();
    }
    /// One more than the highest set bit (0 for none).
    size_t bit_width() const {
        if (words_.empty()) return 0;
        const uint64_t top = words_[words_.size() - 1];
        return 64 * words_.size() - size_t(std::countl_zero(top));
    }

    // Words are kept without high zero words, so equal outcomes have equal words and the
    // order is that of the numbers the bits spell.
    friend bool operator==(const Outcome& a, const Outcome& b) { return a.words_ == b.words_; }
    friend std::strong_ordering operator<=>(const Outcome& a, const Outcome& b) {
        if (a.words_.size() != b.words_.size()) return a.words_.size() <=> b.words_.size();
        for (size_t k = a.words_.size(); k-- > 0;)
            if (a.words_[k] != b.words_[k]) return a.words_[k] <=> b.words_[k];
        return std::strong_ordering::equal;
    }

  private:
    void trim() {
        while (!words_.empty() && words_[words_.size() - 1] == 0) words_.pop_back();
    }

    SmallVector<uint64_t, 1> words_;
};

/// The counts of a terminal measurement: `draw(qubits)` samples the distinct measured
/// qubits (in the order of the classical bits that first hold them) as (value, count)
/// pairs, and each value is spelled out over the classical bits. Ascending by outcome.
template <class Draw>
std::vector<std::pair<Outcome, uint64_t>> terminal_outcomes(const std::vector<int>& cbit_qubit,
                                                            Draw&& draw) {
    std::vector<int> qubits;
    std::vector<size_t> source;  // for each classical bit, the position of its qubit
    for (int q : cbit_qubit) {
        auto it = std::find(qubits.begin(), qubits.end(), q);
        source.push_back(size_t(it - qubits.begin()));
        if (it == qubits.end()) qubits.push_back(q);
    }
    std::vector<std::pair<Outcome, uint64_t>> drawn;
    for (auto [k, count] : draw(qubits)) {
        Outcome outcome;
        for (size_t j = 0; j < source.size(); ++j) outcome.set(j, (k >> source[j]) & 1);
        drawn.emplace_back(std::move(outcome), count);
    }
    std::sort(drawn.begin(), drawn.end());
    return drawn;
}

}  // namespace kestrix
