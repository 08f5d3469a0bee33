#pragma once
// Coefficients and angles read straight from NumPy arrays (or lists and tuples of
// numbers) when they are plain real numbers. Anything else is declined (nullopt), so the
// caller can hand it to NumPy and let NumPy decide what it means.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace norvalis::qmrmr {

namespace nb = nanobind;

/// Row-major doubles of an ndarray, list or tuple with exactly this shape whose entries
/// are finite reals of a NumPy real or boolean dtype. Integers beyond 2**40 are declined,
/// since sums of them would no longer be exact in a double as they are in NumPy.
std::optional<std::vector<double>> plain_real_array(nb::handle value,
                                                    std::span<const Py_ssize_t> shape);

/// The first `count` entries of a one-dimensional float64 ndarray when it has that many
/// and they are all finite.
std::optional<std::vector<double>> finite_float64_prefix(nb::handle value, size_t count);

}  // namespace norvalis::qmrmr
