#include "kestrix/lib/io/draw.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

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

// A circuit of 2^30 gates draws as its first few million glyphs and a line that counts
// the rest, not as a string of billions.
TEST(Draw, HugeCircuitIsCutShortWithACount) {
    Circuit c;
    c.append(make_gate(GateKind::H, {0})).append(make_gate(GateKind::X, {1}));
    for (int k = 0; k < 29; ++k) c.append(c);
    const std::string text = draw(c);
    EXPECT_LT(text.size(), size_t{64} << 20);
    const std::vector<std::string> rows = lines(text);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].rfind("… ", 0), 0u);
    EXPECT_NE(rows[2].find("more gates not drawn"), std::string::npos);
    EXPECT_EQ(lines(draw(c, 1)).size(), 3u);
}

// Folding cuts between whole columns: each block repeats the row names and leading wire.
TEST(Draw, FoldCutsIntoBlocksOfWholeColumns) {
    Circuit c;
    c.append(make_gate(GateKind::H, {0}))
        .append(make_gate(GateKind::X, {0}))
        .append(make_gate(GateKind::H, {0}));
    EXPECT_EQ(draw(c, 1, 0), draw(c, 1));
    EXPECT_EQ(draw(c, 1, 10), "q_0: ─H─X─\n\nq_0: ─H─\n");
    EXPECT_EQ(draw(c, 1, 1), "q_0: ─H─\n\nq_0: ─X─\n\nq_0: ─H─\n");
    const DrawLayout layout = draw_layout(c, 2);
    EXPECT_EQ(layout.rows, 2);
    ASSERT_EQ(layout.columns.size(), 3u);
    EXPECT_EQ(layout.columns[1].cells.at(0), "X");
    EXPECT_EQ(layout.columns[1].spans.size(), 1u);
}

}  // namespace
}  // namespace kestrix
