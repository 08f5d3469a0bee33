#include "kestrix/lib/io/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

namespace kestrix {
namespace {

TEST(NumberText, WritesWhatPythonsReprWrites) {
    const std::pair<double, const char*> cases[] = {
        {0.1, "0.1"},
        {2.0, "2.0"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {1e16, "1e+16"},
        {1e15, "1000000000000000.0"},
        {-1.5e-7, "-1.5e-07"},
        {123.456, "123.456"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
        {3.141592653589793, "3.141592653589793"}};
    for (auto [x, text] : cases) EXPECT_EQ(shortest_text(x), text);
}

TEST(NumberText, ReadsBackExactly) {
    std::mt19937_64 rng(2);
    for (int k = 0; k < 100000; ++k) {
        double x;
        const uint64_t bits = rng();
        std::memcpy(&x, &bits, sizeof x);
        if (!std::isfinite(x)) continue;
        EXPECT_EQ(std::strtod(shortest_text(x).c_str(), nullptr), x);
    }
}

}  // namespace
}  // namespace kestrix
