// The kernel entry points of one instruction-set variant, in namespace
// kestrix::KESTRIX_KERNEL_VARIANT. Meant to be included once per variant: no include guard.
#include <cstdint>

#include "kestrix/lib/complex.h"

namespace kestrix::KESTRIX_KERNEL_VARIANT {

void apply_dense(cplx* amps, int n, const int* qubits, int k, uint64_t control_mask,
                 uint64_t control_values, const cplx* m);
void apply_dense_per_lane(cplx* amps, int n, const int* qubits, int k, uint64_t control_mask,
                          uint64_t control_values, const cplx* const* lane_matrices);
void apply_diagonal(cplx* amps, int n, const int* qubits, int k, uint64_t fixed_mask,
                    uint64_t fixed_values, const cplx* d);
void apply_1q(cplx* amps, int n, int t, uint64_t control_mask, uint64_t control_values,
              const cplx* m);
void apply_2q(cplx* amps, int n, int t0, int t1, uint64_t control_mask, uint64_t control_values,
              const cplx* m);
int lane_qubits();

}  // namespace kestrix::KESTRIX_KERNEL_VARIANT
