#include "phase_likelihood.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "intervals.h"

namespace norvalis::melvo {

namespace {

constexpr double kPi = std::numbers::pi;

// |sum_j exp(2 pi i j delta)|^2 / M^2: 1 at whole delta, sin^2(M pi delta) / (M sin(pi delta))^2
// elsewhere.
double fejer(double delta, double m) {
    const double s = std::sin(kPi * delta);
    if (std::fabs(s) < 1e-300) return 1;
    const double r = std::sin(m * kPi * delta) / (m * s);
    return r * r;
}

double log_likelihood(const std::vector<std::pair<long long, double>>& outcomes, int counting,
                      double theta) {
    double sum = 0;
    for (const auto& [y, weight] : outcomes)
        sum += weight * std::log(std::max(outcome_probability(y, counting, theta), 1e-300));
    return sum;
}

// The maximum of f on [low, high] by golden-section search, to the last bits of theta.
template <class F>
double golden_maximum(F f, double low, double high) {
    const double g = (std::sqrt(5.0) - 1) / 2;
    double x1 = high - g * (high - low), x2 = low + g * (high - low);
    double f1 = f(x1), f2 = f(x2);
    for (int i = 0; i < 200 && high - low > 1e-10; ++i) {
        if (f1 < f2) {
            low = x1, x1 = x2, f1 = f2;
            x2 = low + g * (high - low), f2 = f(x2);
        } else {
            high = x2, x2 = x1, f2 = f1;
            x1 = high - g * (high - low), f1 = f(x1);
        }
    }
    return (low + high) / 2;
}

// Golden-section search resolves a maximum only to about the square root of the rounding
// error of f; Newton steps on central differences of width h take it to the last digits.
template <class F>
double newton_polish(F f, double x, double low, double high, double h) {
    for (int i = 0; i < 3; ++i) {
        const double here = f(x), right = f(x + h), left = f(x - h);
        const double slope = (right - left) / (2 * h);
        const double curvature = (right - 2 * here + left) / (h * h);
        if (!(curvature < 0)) break;
        const double next = std::clamp(x - slope / curvature, low, high);
        // Near the top f's rounding hides the gain: a step within a few h is trusted.
        if (std::fabs(next - x) > 10 * h && f(next) < here) break;
        x = next;
    }
    return x;
}

// The end of the contiguous region around `best` where f stays above `floor`, searched
// toward `limit`: steps grow geometrically until f drops below, then bisection.
template <class F>
double region_end(F f, double best, double limit, double floor) {
    double inside = best;
    for (double step = 1e-12; std::fabs(limit - best) > 0; step *= 2) {
        const double probe =
            best + std::copysign(std::min(step, std::fabs(limit - best)), limit - best);
        if (f(probe) < floor) {
            double outside = probe;
            for (int i = 0; i < 100 && std::fabs(outside - inside) > 1e-15; ++i) {
                const double mid = (inside + outside) / 2;
                (f(mid) < floor ? outside : inside) = mid;
            }
            return (inside + outside) / 2;
        }
        inside = probe;
        if (probe == limit) break;
    }
    return limit;
}

}  // namespace

double outcome_probability(long long y, int counting, double theta) {
    const double m = std::ldexp(1.0, counting);
    const double position = double(y) / m, turn = theta / kPi;
    return (fejer(position - turn, m) + fejer(position + turn, m)) / 2;
}

AmplitudeFit fit_amplitude(const std::vector<std::pair<long long, double>>& all_outcomes,
                           int counting, double shots, double alpha) {
    const double m = std::ldexp(1.0, counting);
    // Outcomes never seen add nothing to the likelihood: a few shots leave most of them out.
    std::vector<std::pair<long long, double>> outcomes;
    for (const auto& outcome : all_outcomes)
        if (outcome.second > 0) outcomes.push_back(outcome);
    auto f = [&](double theta) { return log_likelihood(outcomes, counting, theta); };
    // The most frequent outcome puts theta within a grid step or two; a coarse scan of that
    // window finds the peak's bracket, golden-section search its top.
    long long mode = 0;
    double mode_weight = -1;
    for (const auto& [y, weight] : outcomes) {
        if (weight > mode_weight) mode = y, mode_weight = weight;
    }
    const double folded = double(std::min<long long>(mode, (long long)(m)-mode));
    const double centre = kPi * folded / m, half = kPi / 2;
    const double low = std::max(0.0, centre - 2 * kPi / m);
    const double high = std::min(half, centre + 2 * kPi / m);
    constexpr int kScan = 64;
    int best_i = 0;
    double best_f = -INFINITY;
    for (int i = 0; i <= kScan; ++i) {
        const double v = f(low + (high - low) * i / kScan);
        if (v > best_f) best_f = v, best_i = i;
    }
    const double step = (high - low) / kScan;
    const double bracket_low = std::max(low, low + (best_i - 1) * step);
    const double bracket_high = std::min(high, low + (best_i + 1) * step);
    const double theta = newton_polish(f, golden_maximum(f, bracket_low, bracket_high), bracket_low,
                                       bracket_high, 1e-5 / m);
    auto amplitude = [](double t) { return std::pow(std::sin(t), 2); };
    AmplitudeFit fit;
    fit.a = fit.a_low = fit.a_high = amplitude(theta);
    if (shots <= 0) return fit;
    // Likelihood ratio: 2 (l(theta_hat) - l(theta)) <= z^2, the chi-squared(1) quantile. A
    // few counts off the main outcomes leave peaks of nearly equal height a fraction of a
    // grid step apart, so the set is the hull of every region above the floor in a window of
    // four grid steps each side, not the region around the highest peak alone.
    const double z = normal_upper_quantile(alpha / 2);
    const double floor = f(theta) - z * z / 2;
    double theta_low = region_end(f, theta, 0.0, floor);
    double theta_high = region_end(f, theta, half, floor);
    const double window_low = std::max(0.0, centre - 4 * kPi / m);
    const double window_high = std::min(half, centre + 4 * kPi / m);
    constexpr int kHullScan = 1024;
    const double hull_step = (window_high - window_low) / kHullScan;
    for (int i = 0; i <= kHullScan; ++i) {
        const double t = window_low + hull_step * i;
        if ((t < theta_low || t > theta_high) && f(t) >= floor) {
            if (t < theta_low) theta_low = region_end(f, t, std::max(0.0, t - hull_step), floor);
            if (t > theta_high) theta_high = region_end(f, t, std::min(half, t + hull_step), floor);
        }
    }
    fit.a_low = amplitude(theta_low);
    fit.a_high = amplitude(theta_high);
    return fit;
}

}  // namespace norvalis::melvo
