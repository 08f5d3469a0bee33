#include "minimise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace norvalis::sorvic {
namespace {

constexpr double kPi = std::numbers::pi;

double max_abs_gradient(const Objective& f, const std::vector<double>& x) {
    std::vector<double> g(x.size());
    f(x, g);
    double m = 0;
    for (double v : g) m = std::max(m, std::abs(v));
    return m;
}

// 1/2 (x - c)^T A (x - c) - 3, A symmetric positive definite with condition number 345.
const Objective kQuadratic = [](std::span<const double> x, std::span<double> g) {
    static const double a[3][3] = {{10, 2, 0}, {2, 5, 1}, {0, 1, 0.25}};
    static const double c[3] = {1.5, -2, 0.25};
    double f = -3;
    for (int r = 0; r < 3; ++r) {
        g[r] = 0;
        for (int k = 0; k < 3; ++k) g[r] += a[r][k] * (x[k] - c[k]);
        f += 0.5 * (x[r] - c[r]) * g[r];
    }
    return f;
};

const Objective kRosenbrock = [](std::span<const double> x, std::span<double> g) {
    const double u = 1 - x[0], v = x[1] - x[0] * x[0];
    g[0] = -2 * u - 400 * x[0] * v;
    g[1] = 200 * v;
    return u * u + 100 * v * v;
};

TEST(SorvicMinimise, ReachesTheMinimaOfSmoothFunctions) {
    const Minimum q = minimise(kQuadratic, {0, 0, 0});
    EXPECT_NEAR(q.x[0], 1.5, 1e-8);
    EXPECT_NEAR(q.x[1], -2, 1e-8);
    EXPECT_NEAR(q.x[2], 0.25, 1e-8);
    EXPECT_NEAR(q.value, -3, 1e-15);
    EXPECT_LT(max_abs_gradient(kQuadratic, q.x), 1e-10);

    const Minimum r = minimise(kRosenbrock, {-1.2, 1});
    EXPECT_NEAR(r.x[0], 1, 1e-8);
    EXPECT_NEAR(r.x[1], 1, 1e-8);
    EXPECT_NEAR(r.value, 0, 1e-15);
    EXPECT_LT(max_abs_gradient(kRosenbrock, r.x), 1e-10);
}

TEST(SorvicMinimise, TheValueReturnedIsTheValueAtThePointReturned) {
    for (const auto& [f, start] : {std::pair{kQuadratic, std::vector<double>{0.7, 0.7, 0.7}},
                                   std::pair{kRosenbrock, std::vector<double>{0.7, 0.7}}}) {
        const Minimum m = minimise(f, start);
        std::vector<double> g(m.x.size());
        EXPECT_EQ(f(m.x, g), m.value);  // the same function at the same point
    }
}

TEST(SorvicMinimise, LeavesStationaryPointsThatAreNotMinima) {
    // cos x at x = 0: a maximum, where the gradient vanishes and descent cannot start.
    const Objective cosine = [](std::span<const double> x, std::span<double> g) {
        g[0] = -std::sin(x[0]);
        return std::cos(x[0]);
    };
    const Minimum c = minimise(cosine, {0});
    EXPECT_NEAR(c.value, -1, 1e-15);
    EXPECT_NEAR(std::cos(c.x[0]), -1, 1e-15);

    // A minimum in x and a maximum in y: only the y direction needs the probes.
    const Objective saddle = [](std::span<const double> x, std::span<double> g) {
        g[0] = 2 * (x[0] - 1);
        g[1] = -std::sin(x[1]);
        return (x[0] - 1) * (x[0] - 1) + std::cos(x[1]);
    };
    const Minimum s = minimise(saddle, {1, 0});
    EXPECT_NEAR(s.value, -1, 1e-15);
    EXPECT_NEAR(s.x[0], 1, 1e-8);
    EXPECT_NEAR(std::remainder(s.x[1] - kPi, 2 * kPi), 0, 1e-7);

    // cos x - cos 2x + cos(4x) / 4 peaks at 0 and rises a quarter turn either side: only the
    // half turn reaches its minimum -1.75 at pi.
    const Objective peak = [](std::span<const double> x, std::span<double> g) {
        g[0] = -std::sin(x[0]) + 2 * std::sin(2 * x[0]) - std::sin(4 * x[0]);
        return std::cos(x[0]) - std::cos(2 * x[0]) + std::cos(4 * x[0]) / 4;
    };
    const Minimum p = minimise(peak, {0});
    EXPECT_NEAR(p.value, -1.75, 1e-15);
    EXPECT_NEAR(std::remainder(p.x[0] - kPi, 2 * kPi), 0, 1e-7);
}

TEST(SorvicMinimise, StopsWhenTheGradientIsSmallEnough) {
    int tight_calls = 0, loose_calls = 0;
    auto counted = [](int& calls) {
        return [&calls](std::span<const double> x, std::span<double> g) {
            ++calls;
            return kRosenbrock(x, g);
        };
    };
    const Minimum tight = minimise(counted(tight_calls), {-1.2, 1});
    const Minimum loose = minimise(counted(loose_calls), {-1.2, 1}, {1e-2, 50000});
    EXPECT_EQ(tight.evaluations, tight_calls);
    EXPECT_EQ(loose.evaluations, loose_calls);
    EXPECT_LT(max_abs_gradient(kRosenbrock, loose.x), 1e-2);
    EXPECT_GT(max_abs_gradient(kRosenbrock, loose.x), 1e-10);  // stopped before converging
    EXPECT_LT(loose.evaluations, tight.evaluations);
}

TEST(SorvicMinimise, StopsAtTheEvaluationLimit) {
    for (int limit : {1, 2, 5, 17}) {
        int calls = 0;
        const Objective f = [&calls](std::span<const double> x, std::span<double> g) {
            ++calls;
            return kRosenbrock(x, g);
        };
        const Minimum m = minimise(f, {-1.2, 1}, {1e-10, limit});
        EXPECT_EQ(m.evaluations, calls);
        EXPECT_EQ(m.evaluations, limit);
        std::vector<double> g(2);
        EXPECT_LE(m.value, kRosenbrock(std::vector<double>{-1.2, 1}, g));  // never worse
    }
    // Probes out of a stationary point, begun under the limit, finish their angle's four
    // shifts, and the descent from where they land evaluates that point: at most four
    // evaluations beyond the limit.
    for (int limit : {2, 3, 4, 6}) {
        int calls = 0;
        const Objective cosine = [&calls](std::span<const double> x, std::span<double> g) {
            ++calls;
            g[0] = -std::sin(x[0]);
            return std::cos(x[0]);
        };
        const Minimum m = minimise(cosine, {0}, {1e-10, limit});
        EXPECT_EQ(m.evaluations, calls);
        EXPECT_GE(m.evaluations, limit);
        EXPECT_LE(m.evaluations, limit + 4);
    }
}

TEST(SorvicMinimise, StepsNoMoreThanARadianPerAngle) {
    // A steep bowl far away: an unbounded Newton-like first step would jump straight there.
    std::vector<std::vector<double>> points;
    const Objective far = [&points](std::span<const double> x, std::span<double> g) {
        points.emplace_back(x.begin(), x.end());
        g[0] = 200 * (x[0] - 50);
        g[1] = 2 * (x[1] + 40);
        return 100 * (x[0] - 50) * (x[0] - 50) + (x[1] + 40) * (x[1] + 40);
    };
    const Minimum m = minimise(far, {0, 0});
    ASSERT_GE(points.size(), 2u);
    EXPECT_LE(std::abs(points[1][0] - points[0][0]), 1 + 1e-15);
    EXPECT_LE(std::abs(points[1][1] - points[0][1]), 1 + 1e-15);
    EXPECT_NEAR(m.x[0], 50, 1e-8);
    EXPECT_NEAR(m.x[1], -40, 1e-8);
}

}  // namespace
}  // namespace norvalis::sorvic
