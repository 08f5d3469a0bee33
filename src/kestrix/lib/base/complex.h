#pragma once
// The amplitude types: double precision for every matrix and, by default, for states and
// kernels; single precision for states that ask for it.
#include <complex>

namespace kestrix {

using cplx = std::complex<double>;
using cfloat = std::complex<float>;

/// The precision of a state's amplitudes: double (complex128, the default) or single
/// (complex64). Matrices are built in double either way and rounded for single states.
enum class Precision : unsigned char { Double, Single };

}  // namespace kestrix
