#pragma once
// The amplitude type of every state, matrix and kernel.
#include <complex>

namespace kestrix {

using cplx = std::complex<double>;

}  // namespace kestrix
