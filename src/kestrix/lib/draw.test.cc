#include "kestrix/lib/draw.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestrix {
namespace {

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(Draw, OneRowPerQubitWithGatesInColumns) {
    Circuit c;
    c.append(make_gate(GateKind::H, {0}))
        .append(make_gate(GateKind::CNOT, {0, 2}))
        .append(make_gate(GateKind::RY, {1}, {0.5}).daggered());
    std::vector<std::string> rows = lines(draw(c, 4));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].rfind("q_0: ", 0), 0u);
    EXPECT_NE(rows[0].find("H"), std::string::npos);
    EXPECT_NE(rows[1].find("┼"), std::string::npos);  // the CNOT crosses qubit 1
    EXPECT_NE(rows[1].find("RY(0.5)†"), std::string::npos);
    EXPECT_NE(rows[2].find("X"), std::string::npos);
}

TEST(Draw, EmptyCircuitDrawsBareWires) {
    EXPECT_EQ(lines(draw(Circuit(), 2)).size(), 2u);
    EXPECT_EQ(draw(Circuit(), 0), "");
}

}  // namespace
}  // namespace kestrix
