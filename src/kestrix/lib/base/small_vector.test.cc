#include "kestrix/lib/base/small_vector.h"

#include <gtest/gtest.h>

#include <utility>

namespace kestrix {
namespace {

using Small = SmallVector<int, 3>;

TEST(SmallVector, SpillsToTheHeapAndKeepsEveryValue) {
    Small v = {1, 2};
    for (int k = 3; k <= 40; ++k) v.push_back(k);
    ASSERT_EQ(v.size(), 40u);
    for (int k = 0; k < 40; ++k) EXPECT_EQ(v[k], k + 1);
    const int more[] = {41, 42};
    v.append(more, more + 2);
    EXPECT_EQ(v.to_vector().back(), 42);
}

TEST(SmallVector, CopiesAndMovesAreIndependent) {
    for (int n : {2, 10}) {  // inline and spilled
        Small a;
        for (int k = 0; k < n; ++k) a.push_back(k);
        Small b = a;
        b.push_back(99);
        EXPECT_EQ(a.size(), size_t(n));
        Small c = std::move(b);
        EXPECT_EQ(c.size(), size_t(n + 1));
        EXPECT_TRUE(b.empty());
        b = c;  // a moved-from vector is usable again
        EXPECT_EQ(b, c);
        a = std::move(c);
        EXPECT_EQ(a, b);
        a = a;
        EXPECT_EQ(a, b);
    }
}

TEST(SmallVector, ConvertsFromAndToStdVector) {
    std::vector<int> v = {4, 5, 6, 7, 8};
    Small s = v;
    EXPECT_EQ(s.to_vector(), v);
    EXPECT_FALSE(s == Small({4, 5}));
}

}  // namespace
}  // namespace kestrix
