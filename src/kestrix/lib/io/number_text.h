#pragma once
// Numbers as text that reads back to the very same double, in the fewest digits, written
// as Python's repr writes floats (0.1, not 0.10000000000000001; 2.0; 1e-05): reprs and
// OpenQASM output use it, so what is printed is exact and looks familiar.
#include <string>

namespace kestrix {

/// Python's repr of the finite double `x`: "0.1", "2.0", "-0.0", "1e-05", "1.5e+16".
std::string shortest_text(double x);

}  // namespace kestrix
