#pragma once
// Confidence intervals for a binomial proportion, as the iterative estimator's rounds use
// them: each round gets its share alpha / rounds of the error level.
#include <utility>

namespace norvalis::melvo {

/// The Chernoff-Hoeffding interval value -+ sqrt(ln(2 / alpha) / (2 shots)), clipped to
/// [0, 1]: holds the true proportion with probability at least 1 - alpha.
std::pair<double, double> chernoff_interval(double value, double shots, double alpha);

/// The Clopper-Pearson (exact binomial) interval for `ones` successes in `shots` trials
/// at level 1 - alpha: the proportions under which the observed count is not in either
/// alpha / 2 tail.
std::pair<double, double> clopper_pearson_interval(double ones, double shots, double alpha);

/// The regularized incomplete beta function I_x(a, b), for a, b > 0.
double regularized_beta(double x, double a, double b);

/// The quantile z of the standard normal distribution with P(Z > z) = upper_tail.
double normal_upper_quantile(double upper_tail);

}  // namespace norvalis::melvo
