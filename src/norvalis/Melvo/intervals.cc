#include "intervals.h"

#include <algorithm>
#include <cmath>

namespace norvalis::melvo {

namespace {

// The continued fraction of I_x(a, b) (modified Lentz), converging fast for
// x < (a + 1) / (a + b + 2).
double beta_continued_fraction(double x, double a, double b) {
    constexpr double kTiny = 1e-300, kTolerance = 1e-15;
    auto guarded = [](double v) { return std::fabs(v) < kTiny ? kTiny : v; };
    double c = 1, d = 1 / guarded(1 - (a + b) * x / (a + 1));
    double h = d;
    for (int m = 1; m < 10000; ++m) {
        const double even = m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m));
        d = 1 / guarded(1 + even * d);
        c = guarded(1 + even / c);
        h *= d * c;
        const double odd = -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1));
        d = 1 / guarded(1 + odd * d);
        c = guarded(1 + odd / c);
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1) < kTolerance) break;
    }
    return h;
}

// The x in [0, 1] with I_x(a, b) = level, by bisection: I_x is increasing in x.
double beta_quantile(double level, double a, double b) {
    double low = 0, high = 1;
    for (int i = 0; i < 100 && high - low > 1e-15; ++i) {
        const double mid = (low + high) / 2;
        (regularized_beta(mid, a, b) < level ? low : high) = mid;
    }
    return (low + high) / 2;
}

}  // namespace

double regularized_beta(double x, double a, double b) {
    if (x <= 0) return 0;
    if (x >= 1) return 1;
    const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) +
                                  a * std::log(x) + b * std::log1p(-x));
    if (x < (a + 1) / (a + b + 2)) return front * beta_continued_fraction(x, a, b) / a;
    return 1 - front * beta_continued_fraction(1 - x, b, a) / b;
}

std::pair<double, double> chernoff_interval(double value, double shots, double alpha) {
    const double half_width = std::sqrt(std::log(2 / alpha) / (2 * shots));
    return {std::max(0.0, value - half_width), std::min(1.0, value + half_width)};
}

std::pair<double, double> clopper_pearson_interval(double ones, double shots, double alpha) {
    const double lower = ones <= 0 ? 0 : beta_quantile(alpha / 2, ones, shots - ones + 1);
    const double upper = ones >= shots ? 1 : beta_quantile(1 - alpha / 2, ones + 1, shots - ones);
    return {lower, upper};
}

double normal_upper_quantile(double upper_tail) {
    double low = -40, high = 40;
    for (int i = 0; i < 200 && high - low > 1e-15; ++i) {
        const double mid = (low + high) / 2;
        (0.5 * std::erfc(mid / std::sqrt(2.0)) > upper_tail ? low : high) = mid;
    }
    return (low + high) / 2;
}

}  // namespace norvalis::melvo
