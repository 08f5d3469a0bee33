#pragma once
// A deterministic quasi-Newton minimiser for smooth functions of angles: BFGS with a
// backtracking line search, then coordinate probes that leave a stationary point which
// is not a minimum (an ansatz started at all-zero angles sits on a maximum of some
// directions, where the gradient vanishes).
#include <functional>
#include <span>
#include <vector>

namespace norvalis::sorvic {

/// f(x), with its gradient written into the second argument.
using Objective = std::function<double(std::span<const double>, std::span<double>)>;

struct MinimiseOptions {
    double gradient_tolerance = 1e-10;  ///< stop when every |df/dx_k| is below this
    int max_evaluations = 50000;
};

struct Minimum {
    std::vector<double> x;
    double value;
    int evaluations;
};

Minimum minimise(const Objective& f, std::vector<double> x0, const MinimiseOptions& options = {});

}  // namespace norvalis::sorvic
