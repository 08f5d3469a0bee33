#pragma once
// A dense n-qubit state vector. Amplitude index bit k belongs to qubit k. Circuits run on
// it through evolve.h.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "kestrix/lib/base/complex.h"
#include "kestrix/lib/base/huge_pages.h"
#include "kestrix/lib/base/interrupt.h"

namespace kestrix {

/// Throws MemoryError when a state of n qubits cannot fit in this machine's memory (16
/// bytes per amplitude in double precision, 8 in single).
void check_fits_in_memory(int n, Precision precision = Precision::Double);

class StateVector {
  public:
    /// The all-zero state of n qubits. Filling a large state takes seconds (the system hands
    /// out its pages): Interrupted when `interrupt` asks, polled every kPollWork amplitudes.
    explicit StateVector(int n, const InterruptCheck& interrupt = {},
                         Precision precision = Precision::Double);
    /// A state with these amplitudes (index bit k = qubit k): the length must be a power of
    /// two, every amplitude finite and the norm 1 within 1e-8; ValueError otherwise.
    static StateVector from_amplitudes(std::span<const cplx> amplitudes);
    /// A single-precision state with these amplitudes: the norm 1 within 1e-4 (a float
    /// holds about 7 digits), otherwise as above.
    static StateVector from_amplitudes(std::span<const cfloat> amplitudes);
    /// Back to the all-zero state, reusing the buffer (polled as the constructor is).
    void reset(const InterruptCheck& interrupt = {});

    int num_qubits() const { return n_; }
    uint64_t size() const { return uint64_t{1} << n_; }
    Precision precision() const { return precision_; }
    bool single() const { return precision_ == Precision::Single; }
    /// The amplitudes of a double-precision state (ValueError for a single one: code that
    /// reads this buffer has not been written for floats).
    cplx* data() {
        if (single()) refuse_single();
        return amps_.data();
    }
    const cplx* data() const {
        if (single()) refuse_single();
        return amps_.data();
    }
    /// The amplitudes of a single-precision state (nullptr for a double one).
    cfloat* single_data() { return single_.data(); }
    const cfloat* single_data() const { return single_.data(); }
    /// Calls f(amplitudes) with the buffer of this state's precision (cplx* or cfloat*).
    template <class F>
    decltype(auto) visit(F&& f) {
        return single() ? f(single_.data()) : f(amps_.data());
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return single() ? f(single_.data()) : f(amps_.data());
    }

    /// Probability that qubit q reads 1.
    double probability_of_one(int q) const;
    /// Projects qubit q onto `value` and renormalises; p is the probability of that value.
    void collapse(int q, int value, double p);
    /// Marginal distribution over `qubits`, index bit k = qubits[k].
    std::vector<double> probabilities(const std::vector<int>& qubits) const;
    /// The same written to out[0 .. 2^qubits.size()).
    void probabilities(const std::vector<int>& qubits, double* out) const;

    /// Whether this is exactly |0...0> (one pass).
    bool is_all_zero() const;

    /// Equal widths and amplitudes equal as numbers (0.0 and -0.0 alike).
    friend bool operator==(const StateVector& a, const StateVector& b);

  private:
    [[noreturn]] static void refuse_single();

    int n_;
    Precision precision_ = Precision::Double;
    std::vector<cplx, HugePageAllocator<cplx>> amps_;
    std::vector<cfloat, HugePageAllocator<cfloat>> single_;  ///< in single precision instead
};

class Rng;

/// Draws `shots` readings of `qubits` (distinct, inside the state) from the state's
/// distribution: the outcomes that came up, ascending, with their counts; outcome bit k is
/// qubits[k]. When every qubit is read the amplitudes are sampled where they lie, with no
/// table of the state's size.
std::vector<std::pair<uint64_t, uint64_t>> sample_qubits(const StateVector& state,
                                                         const std::vector<int>& qubits,
                                                         uint64_t shots, Rng& rng);

/// Marginal of a full probability vector (index bit k = qubit k) over `qubits`.
std::vector<double> marginal(const std::vector<double>& full, int n,
                             const std::vector<int>& qubits);

}  // namespace kestrix
