// The kernels of one instruction-set variant, in namespace kestrix::KESTRIX_KERNEL_VARIANT
// (kernels.cc, compiled once per variant). Meant to be included once per variant: no
// include guard.
#include "kestrix/lib/kernels/kernels.h"

namespace kestrix::KESTRIX_KERNEL_VARIANT {

/// This variant's kernels, named and marked as `supported`.
KernelSet kernel_set(bool supported);

}  // namespace kestrix::KESTRIX_KERNEL_VARIANT
