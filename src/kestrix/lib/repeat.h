#pragma once
// Recognising a block repeated many times in a row, and its matrix power.
#include <cstdint>
#include <vector>

#include "circuit.h"
#include "matrix.h"

namespace kestrix {

/// Whether two blocks run the same gates under the same controls and dagger flag; blocks
/// rebuilt from scratch compare equal to the original when their content matches.
bool same_block(const Block& a, const Block& b);

/// m^power for a dim x dim row-major matrix, by repeated squaring.
std::vector<cplx> matrix_power(const std::vector<cplx>& m, int dim, uint64_t power);

}  // namespace kestrix
