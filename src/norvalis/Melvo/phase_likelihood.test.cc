#include "phase_likelihood.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace norvalis::melvo {
namespace {

constexpr double kPi = std::numbers::pi;

std::vector<std::pair<long long, double>> distribution(int counting, double theta, double scale) {
    std::vector<std::pair<long long, double>> out;
    for (long long y = 0; y < (1LL << counting); ++y)
        out.emplace_back(y, scale * outcome_probability(y, counting, theta));
    return out;
}

TEST(OutcomeProbability, IsADistributionPeakedAtTheGridPointsOfTheAngle) {
    for (double theta : {0.0, 0.3, 0.61, 1.2, kPi / 2}) {
        double total = 0;
        for (const auto& [y, p] : distribution(6, theta, 1)) total += p;
        EXPECT_NEAR(total, 1, 1e-12) << theta;
    }
    // On a grid angle the two eigenphases read y and M - y exactly, half the time each.
    EXPECT_NEAR(outcome_probability(5, 4, kPi * 5 / 16), 0.5, 1e-14);
    EXPECT_NEAR(outcome_probability(11, 4, kPi * 5 / 16), 0.5, 1e-14);
    EXPECT_NEAR(outcome_probability(0, 4, 0), 1, 1e-14);
}

TEST(FitAmplitude, RecoversTheAmplitudeFromExactProbabilities) {
    for (int counting : {3, 7, 10}) {
        for (double a : {1e-4, 0.05, 0.3, 0.3243, 0.5, 0.97}) {
            const double theta = std::asin(std::sqrt(a));
            const AmplitudeFit fit =
                fit_amplitude(distribution(counting, theta, 1), counting, 0, 0.05);
            EXPECT_NEAR(fit.a, a, 1e-9) << counting << " " << a;
            EXPECT_EQ(fit.a_low, fit.a);
            EXPECT_EQ(fit.a_high, fit.a);
        }
    }
}

TEST(FitAmplitude, CountIntervalsHoldTheTruthAndNarrowWithShots) {
    const double a = 0.3, theta = std::asin(std::sqrt(a));
    double width = 1;
    for (double shots : {100.0, 1000.0, 100000.0}) {
        std::vector<std::pair<long long, double>> counts;
        for (const auto& [y, p] : distribution(5, theta, shots))
            if (std::round(p) > 0) counts.emplace_back(y, std::round(p));
        const AmplitudeFit fit = fit_amplitude(counts, 5, shots, 0.05);
        EXPECT_LT(fit.a_low, a);
        EXPECT_GT(fit.a_high, a);
        EXPECT_LE(fit.a_low, fit.a);
        EXPECT_GE(fit.a_high, fit.a);
        EXPECT_LT(fit.a_high - fit.a_low, width);
        width = fit.a_high - fit.a_low;
    }
    EXPECT_LT(width, 1e-3);
}

}  // namespace
}  // namespace norvalis::melvo
