#include "minimise.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace norvalis::sorvic {

namespace {

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0;
    for (size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
    return s;
}

double max_abs(const std::vector<double>& a) {
    double m = 0;
    for (double v : a) m = std::max(m, std::abs(v));
    return m;
}

class Search {
  public:
    Search(const Objective& f, const MinimiseOptions& options) : f_(f), options_(options) {}

    double evaluate(const std::vector<double>& x, std::vector<double>& gradient) {
        ++evaluations_;
        return f_(x, gradient);
    }
    bool exhausted() const { return evaluations_ >= options_.max_evaluations; }
    int evaluations() const { return evaluations_; }

    // BFGS on the inverse Hessian from x; returns the value at the point reached.
    double descend(std::vector<double>& x) {
        const size_t n = x.size();
        std::vector<double> g(n), g_next(n), x_next(n), d(n), s(n), y(n), hy(n);
        double f = evaluate(x, g);
        std::vector<double> h(n * n, 0.0);  // inverse Hessian estimate, row-major
        auto reset = [&] {
            std::fill(h.begin(), h.end(), 0.0);
            for (size_t k = 0; k < n; ++k) h[k * n + k] = 1;
        };
        reset();
        bool scaled = false;
        while (max_abs(g) > options_.gradient_tolerance && !exhausted()) {
            for (size_t r = 0; r < n; ++r) {
                double v = 0;
                for (size_t c = 0; c < n; ++c) v -= h[r * n + c] * g[c];
                d[r] = v;
            }
            double slope = dot(g, d);
            if (!(slope < 0)) {  // the estimate lost positive definiteness: start afresh
                reset();
                scaled = false;
                for (size_t k = 0; k < n; ++k) d[k] = -g[k];
                slope = -dot(g, g);
            }
            // Steps of more than a radian per angle overshoot the periodic landscape.
            double step = std::min(1.0, 1.0 / max_abs(d));
            double f_next;
            for (;;) {
                for (size_t k = 0; k < n; ++k) x_next[k] = x[k] + step * d[k];
                f_next = evaluate(x_next, g_next);
                if (f_next <= f + 1e-4 * step * slope) break;
                // Minimum of the quadratic through f, the slope and f_next, kept in bounds.
                const double fit = -slope * step * step / (2 * (f_next - f - slope * step));
                step = std::isfinite(fit) ? std::clamp(fit, 0.1 * step, 0.5 * step) : 0.5 * step;
                if (step * max_abs(d) < 1e-15 || exhausted()) return f;  // no progress left
            }
            for (size_t k = 0; k < n; ++k) {
                s[k] = x_next[k] - x[k];
                y[k] = g_next[k] - g[k];
            }
            const double sy = dot(s, y);
            if (sy > 1e-16 * std::sqrt(dot(s, s) * dot(y, y))) {
                if (!scaled) {  // first curvature seen: scale the identity to it
                    const double gamma = sy / dot(y, y);
                    for (double& v : h) v *= gamma;
                    scaled = true;
                }
                // H <- (I - rho s y^T) H (I - rho y s^T) + rho s s^T, H symmetric.
                const double rho = 1 / sy;
                for (size_t r = 0; r < n; ++r) {
                    double v = 0;
                    for (size_t c = 0; c < n; ++c) v += h[r * n + c] * y[c];
                    hy[r] = v;
                }
                const double yhy = dot(y, hy);
                for (size_t r = 0; r < n; ++r)
                    for (size_t c = 0; c < n; ++c)
                        h[r * n + c] +=
                            rho * ((1 + rho * yhy) * s[r] * s[c] - hy[r] * s[c] - s[r] * hy[c]);
            }
            x.swap(x_next);
            g.swap(g_next);
            f = f_next;
        }
        return f;
    }

    // Moves one angle at a time by a quarter, half or whole turn; returns whether a probe
    // lowered f (x and f then hold it).
    bool escape(std::vector<double>& x, double& f) {
        constexpr double pi = std::numbers::pi;
        std::vector<double> probe = x, unused(x.size());
        bool moved = false;
        for (size_t k = 0; k < x.size() && !exhausted(); ++k) {
            for (double shift : {pi / 2, -pi / 2, pi, 2 * pi}) {
                probe[k] = x[k] + shift;
                const double value = evaluate(probe, unused);
                if (value < f - 1e-12 * std::max(1.0, std::abs(f))) {
                    f = value;
                    x[k] = probe[k];
                    moved = true;
                }
            }
            probe[k] = x[k];
        }
        return moved;
    }

  private:
    const Objective& f_;
    MinimiseOptions options_;
    int evaluations_ = 0;
};

}  // namespace

Minimum minimise(const Objective& f, std::vector<double> x0, const MinimiseOptions& options) {
    Search search(f, options);
    double value = search.descend(x0);
    // Each escape lowers f by a margin, so this ends; the cap bounds pathological cases.
    for (int round = 0; round < 100 && !search.exhausted() && search.escape(x0, value); ++round)
        value = search.descend(x0);
    return {std::move(x0), value, search.evaluations()};
}

}  // namespace norvalis::sorvic
