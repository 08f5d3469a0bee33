#include "intervals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace norvalis::melvo {
namespace {

// P(Binomial(n, p) >= k), summed term by term.
double upper_tail(int k, int n, double p) {
    double sum = 0;
    for (int j = k; j <= n; ++j)
        sum += std::exp(std::lgamma(n + 1) - std::lgamma(j + 1) - std::lgamma(n - j + 1)) *
               std::pow(p, j) * std::pow(1 - p, n - j);
    return sum;
}

TEST(RegularizedBeta, AgreesWithBinomialTailsAndClosedForms) {
    for (double x : {0.01, 0.3, 0.5, 0.77, 0.999}) {
        EXPECT_NEAR(regularized_beta(x, 1, 1), x, 1e-14);
        EXPECT_NEAR(regularized_beta(x, 3.5, 1), std::pow(x, 3.5), 1e-14);
        // I_x(k, n - k + 1) = P(Binomial(n, x) >= k), on both sides of the switch point.
        EXPECT_NEAR(regularized_beta(x, 2, 3), upper_tail(2, 4, x), 1e-14);
        EXPECT_NEAR(regularized_beta(x, 40, 61), upper_tail(40, 100, x), 1e-12);
    }
    EXPECT_NEAR(regularized_beta(0.5, 7, 7), 0.5, 1e-14);
    EXPECT_EQ(regularized_beta(0, 2, 2), 0);
    EXPECT_EQ(regularized_beta(1, 2, 2), 1);
}

TEST(ClopperPearson, BoundsLeaveHalfTheLevelInEachTail) {
    const double alpha = 0.05;
    for (int ones : {1, 5, 37, 99}) {
        const auto [lower, upper] = clopper_pearson_interval(ones, 100, alpha);
        EXPECT_NEAR(upper_tail(ones, 100, lower), alpha / 2, 1e-10);
        EXPECT_NEAR(1 - upper_tail(ones + 1, 100, upper), alpha / 2, 1e-10);
        EXPECT_LT(lower, ones / 100.0);
        EXPECT_GT(upper, ones / 100.0);
    }
    // No success: the lower bound is 0 and the upper one solves (1 - p)**n = alpha / 2.
    const auto [lower, upper] = clopper_pearson_interval(0, 10, alpha);
    EXPECT_EQ(lower, 0);
    EXPECT_NEAR(upper, 1 - std::pow(alpha / 2, 0.1), 1e-12);
    EXPECT_EQ(clopper_pearson_interval(10, 10, alpha).second, 1);
}

TEST(ChernoffInterval, IsClippedToProbabilities) {
    const auto [lower, upper] = chernoff_interval(0.5, 200, 0.05);
    EXPECT_NEAR(upper - 0.5, std::sqrt(std::log(40.0) / 400), 1e-15);
    EXPECT_NEAR(0.5 - lower, upper - 0.5, 1e-15);
    EXPECT_EQ(chernoff_interval(0.01, 10, 0.05).first, 0);
    EXPECT_EQ(chernoff_interval(0.99, 10, 0.05).second, 1);
}

TEST(NormalQuantile, MatchesKnownValues) {
    EXPECT_NEAR(normal_upper_quantile(0.025), 1.959963984540054, 1e-12);
    EXPECT_NEAR(normal_upper_quantile(0.5), 0, 1e-12);
    EXPECT_NEAR(normal_upper_quantile(0.995), -2.5758293035489, 1e-11);
}

}  // namespace
}  // namespace norvalis::melvo
