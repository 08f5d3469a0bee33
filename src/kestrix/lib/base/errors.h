#pragma once
// Error types of libkestrix. The Python layer maps each to the builtin exception of the
// same name, so a bad argument never surfaces as a crash or a generic RuntimeError.
#include <stdexcept>
#include <string>

namespace kestrix {

/// A value that is of the right type but not acceptable (repeated qubit, NaN angle, ...).
struct ValueError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

/// An index outside the range it must lie in (a qubit beyond a state's width, ...).
struct IndexError : std::out_of_range {
    using std::out_of_range::out_of_range;
};

/// A state that would not fit in this machine's memory.
struct MemoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// A long run stopped on request (Ctrl-C); the caller restores its own pending error.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

}  // namespace kestrix
