#pragma once
// Amplitude kernels: apply a small matrix to a state vector in place. A control mask
// restricts the update to amplitudes whose control bits are all 1, so a controlled gate
// touches only that fraction of the state.
#include <cstdint>
#include <span>
#include <type_traits>

#include "kestrix/lib/base/complex.h"

namespace kestrix {

/// Widest dense block the unrolled kernels take (the fusion width stays below it).
constexpr int kMaxDenseQubits = 6;
/// Widest dense block apply_dense takes at all: past kMaxDenseQubits a plain loop over
/// gathered columns runs it (the folded powers of wide repeated blocks).
constexpr int kMaxWideQubits = 12;
/// Widest dense block whose kernels take a real matrix (no imaginary part: RY, CNOT, H
/// and their products) at half the arithmetic of a complex one.
constexpr int kMaxRealQubits = 3;
/// Widest fused diagonal: its table of 2^k phases still sits in cache.
constexpr int kMaxDiagonalQubits = 14;
/// States of at least this many qubits are updated by all the engine's threads; below it even
/// an idle parallel region costs more than the work. Measured with kestrix_perf_kernels:
/// at 14 qubits two threads already beat one on every kernel.
constexpr int kParallelQubits = 14;
/// Lane qubits of the widest variant: AVX-512 registers hold 4 complex128 amplitudes, or 8
/// complex64 ones.
constexpr int kMaxLaneQubits = 3;

// The kernel entry points, each written once here as X(name, parameters, arguments): the
// public functions below, every variant's definitions, its KernelSet and the dispatch all
// follow this list, so a new kernel, variant or precision touches it alone. C is the
// amplitude type: cplx (double precision) or cfloat (single), matrices included.
//
// apply_dense: m is 2^k x 2^k row-major over the local index whose bit j is qubit
//   qubits[j]; 1 <= k <= kMaxWideQubits; control bits must not overlap the qubits. The
//   update is restricted to the amplitudes whose bits in control_mask read control_values
//   (bits outside the mask are ignored): all set for a controlled gate, one pattern for a
//   block of a multiplexed gate.
// apply_dense_per_lane: apply_dense with one matrix per pattern of the lane qubits (the
//   kernel_lane_qubits() lowest, whose amplitudes share a register): where they read v,
//   lane_matrices[v] applies, or nothing where it is null, in one sweep. No target may be
//   a lane qubit that its matrix depends on; the control mask's lane bits are ignored.
// apply_diagonal: d holds 2^k diagonal entries over the local index whose bit j is qubit
//   qubits[j]; the product is restricted to the amplitudes whose bits in control_mask
//   read control_values (any fixed bits, not only controls).
// apply_1q: m is 2x2 row-major; acts on qubit t0, restricted as apply_dense is.
// apply_2q: m is 4x4 row-major over the local index (bit 0: qubit t0, bit 1: qubit t1);
//   restricted as apply_dense is.
#define KESTRIX_KERNEL_ENTRIES(X, C)                                                              \
    X(apply_dense,                                                                                \
      (C * amps, int n, const int* qubits, int k, uint64_t control_mask, uint64_t control_values, \
       const C* m),                                                                               \
      (amps, n, qubits, k, control_mask, control_values, m))                                      \
    X(apply_dense_per_lane,                                                                       \
      (C * amps, int n, const int* qubits, int k, uint64_t control_mask, uint64_t control_values, \
       const C* const* lane_matrices),                                                            \
      (amps, n, qubits, k, control_mask, control_values, lane_matrices))                          \
    X(apply_diagonal,                                                                             \
      (C * amps, int n, const int* qubits, int k, uint64_t control_mask, uint64_t control_values, \
       const C* m),                                                                               \
      (amps, n, qubits, k, control_mask, control_values, m))                                      \
    X(apply_1q,                                                                                   \
      (C * amps, int n, int t0, uint64_t control_mask, uint64_t control_values, const C* m),      \
      (amps, n, t0, control_mask, control_values, m))                                             \
    X(apply_2q,                                                                                   \
      (C * amps, int n, int t0, int t1, uint64_t control_mask, uint64_t control_values,           \
       const C* m),                                                                               \
      (amps, n, t0, t1, control_mask, control_values, m))

#define KESTRIX_DECLARE_KERNEL(name, parameters, arguments) void name parameters;
#define KESTRIX_KERNEL_POINTER(name, parameters, arguments) void(*name) parameters = nullptr;

/// The kernels, run by the widest variant this CPU runs (see kernel_variants), in double
/// and in single precision.
KESTRIX_KERNEL_ENTRIES(KESTRIX_DECLARE_KERNEL, cplx)
KESTRIX_KERNEL_ENTRIES(KESTRIX_DECLARE_KERNEL, cfloat)

/// The kernels of one variant for amplitudes of type C.
template <class C>
struct Kernels {
    int (*lane_qubits)() = nullptr;
    KESTRIX_KERNEL_ENTRIES(KESTRIX_KERNEL_POINTER, C)
};

/// The kernels of one instruction-set variant: its double-precision kernels, and `single`.
struct KernelSet : Kernels<cplx> {
    const char* name = "";   ///< "generic", "avx2", "avx512"
    bool supported = false;  ///< whether this CPU runs it
    Kernels<cfloat> single;

    /// The kernels for amplitudes of type C.
    template <class C>
    const Kernels<C>& of() const {
        if constexpr (std::is_same_v<C, cfloat>) {
            return single;
        } else {
            return *this;
        }
    }
};

/// Every variant compiled into this build, generic first, widest last. The entry points
/// above use the widest one this CPU runs; the environment variable KESTRIX_KERNELS
/// (generic, avx2, avx512) picks another, for comparisons.
std::span<const KernelSet> kernel_variants();
/// The name of the variant in use.
const char* kernel_variant();
/// The low qubits that select an amplitude inside one register of the variant in use, for
/// amplitudes of type C: a control there costs a full sweep, as the kernels cannot skip
/// half a register.
template <class C = cplx>
int kernel_lane_qubits();
template <>
int kernel_lane_qubits<cplx>();
template <>
int kernel_lane_qubits<cfloat>();

}  // namespace kestrix
