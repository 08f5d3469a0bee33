#pragma once
// Pauli observables and their expectation values, computed on the amplitudes: no matrix is
// ever built. This is the C++ API that variational algorithms call:
//
//     PauliSum h = {2, {{PauliString::from_label("ZZ"), 1.0},
//                       {PauliString::from_label("XI"), 0.5}}};
//     double e = expectation(h, state);                  // exact <psi|H|psi>
//     Rng rng(seed);
//     double s = sampled_expectation(h, state, 1000, rng);  // 1000 shots per term
//
// Bit order as everywhere in the SDK: in a label the last character is qubit 0.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/lib/ir/matrix.h"
#include "kestrix/lib/run/sampling.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

/// At most this many qubits in one Pauli string (the masks are 64-bit).
constexpr int kMaxPauliQubits = 64;

/// A Pauli string as two masks: `x` marks the qubits with X or Y, `z` those with Z or Y.
struct PauliString {
    uint64_t x = 0;
    uint64_t z = 0;

    /// From a label such as "XIZ" (the last character is qubit 0); ValueError for a
    /// letter other than I, X, Y, Z or a label longer than 64.
    static PauliString from_label(std::string_view label);
    /// letters[k] on qubits[k]: ("XZ", {3, 0}) is X on qubit 3 and Z on qubit 0.
    static PauliString from_sparse(std::string_view letters, std::span<const int> qubits);

    /// The label over `width` qubits, qubit 0 last.
    std::string label(int width) const;
    /// Highest non-identity qubit plus one.
    int width() const;
    uint64_t support() const { return x | z; }
    bool operator==(const PauliString&) const = default;
};

struct PauliTerm {
    PauliString pauli;
    double coefficient = 0;
    bool operator==(const PauliTerm&) const = default;
};

/// A Hermitian observable: the sum of real coefficients times Pauli strings, over
/// `num_qubits` qubits (at least every term's width).
struct PauliSum {
    int num_qubits = 0;
    std::vector<PauliTerm> terms;
    bool operator==(const PauliSum&) const = default;
};

/// <psi|H|psi>, exact: one pass over the amplitudes for all the terms that share their X
/// mask (64 at a time); identity terms count 1. IndexError when the observable is wider
/// than the state. `interrupt` is polled every few milliseconds of work.
double expectation(const PauliSum& observable, const StateVector& state,
                   const InterruptCheck& interrupt = {});

/// The estimate from `shots` measurements of each term's Pauli string: each reads +1 with
/// probability (1 + <P>) / 2, drawn from `rng`, independently of the other terms (as when
/// every term is measured on its own); identity terms count exactly.
double sampled_expectation(const PauliSum& observable, const StateVector& state, uint64_t shots,
                           Rng& rng, const InterruptCheck& interrupt = {});

/// out = H in, for states of the same width (at least the observable's), in one pass that
/// reads every term's partner amplitudes; returns <in|H|in> from the same pass (exact for
/// a normalised state). Gradients start from it.
double apply_observable(const PauliSum& observable, const StateVector& in, StateVector& out);

/// The dense 2^n x 2^n matrix, row-major (index bit k = qubit k); for tests and small n.
std::vector<cplx> pauli_matrix(const PauliSum& observable);

}  // namespace kestrix
