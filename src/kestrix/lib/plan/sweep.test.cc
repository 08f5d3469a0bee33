#include "kestrix/lib/plan/sweep.h"

#include <gtest/gtest.h>

#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/io/codec.h"
#include "kestrix/lib/plan/fusion.h"
#include "kestrix/lib/run/statevector.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

// A layered circuit whose every rotation angle is an expression of one of `params`, with
// controlled rotations and an inverted block: what a sweep must rewrite after fusion.
Circuit parametric_circuit(int n, const std::vector<Parameter>& params, std::mt19937_64& rng) {
    const GateKind kinds[] = {GateKind::RX, GateKind::RY, GateKind::RZ, GateKind::U1};
    Circuit c;
    for (int layer = 0; layer < 3; ++layer) {
        for (int q = 0; q < n; ++q) {
            const Symbol s{0, ParamExpr{params[rng() % params.size()], 1.5, -0.25}};
            c.append(make_symbolic_gate(kinds[rng() % 4], {q}, {0.0}, {s}));
        }
        for (int q = 0; q + 1 < n; ++q) c.append(make_gate(GateKind::CNOT, {q, q + 1}));
        c.append(make_symbolic_gate(GateKind::RY, {0}, {0.0}, {{0, {params[0], -1, 0}}})
                     .controlled({n - 1}));
    }
    Circuit block;
    block.append(make_symbolic_gate(GateKind::U3, {1}, {0.0, 0.3, 0.0},
                                    {{0, {params[1], 1, 0}}, {2, {params[0], 2, 1}}}));
    block.append(make_gate(GateKind::CNOT, {1, 2}));
    return c.append(block.daggered());
}

std::vector<cplx> run_from_zero(const Plan& plan) {
    StateVector s(plan.num_qubits());
    plan.run(s.data());
    return std::vector<cplx>(s.data(), s.data() + s.size());
}

// At 11 qubits the plan is fused, so each value rewrites fused blocks; angles of 0 and pi
// turn rotations into the identity or X, which a fused block planned at other angles does
// not have (the plan then falls back for that value), and must still come out right.
TEST(SweepPlan, EveryValueRunsAsTheBoundCircuit) {
    std::mt19937_64 rng(3);
    const std::vector<Parameter> params = {make_parameter("a"), make_parameter("b"),
                                           make_parameter("c")};
    for (int n : {4, 11}) {
        const Circuit c = parametric_circuit(n, params, rng);
        SweepPlan sweep(c, n, params);
        std::uniform_real_distribution<double> angle(-3, 3);
        const std::vector<std::vector<double>> rows = {{0, 0, 0},
                                                       {3.141592653589793, 0, 1.5707963267948966},
                                                       {angle(rng), angle(rng), 0},
                                                       {angle(rng), angle(rng), angle(rng)}};
        for (const std::vector<double>& row : rows) {
            const Circuit bound = c.bound([&](const ParameterData& p) -> std::optional<double> {
                for (size_t j = 0; j < params.size(); ++j)
                    if (params[j]->id == p.id) return row[j];
                return std::nullopt;
            });
            ASSERT_TRUE(bound.parameters().empty());
            const std::vector<cplx> want = run_from_zero(Plan(bound, n));
            const std::vector<cplx> got = run_from_zero(sweep.at(row));
            for (size_t i = 0; i < want.size(); ++i)
                ASSERT_NEAR(std::abs(got[i] - want[i]), 0, 1e-12);
        }
    }
}

TEST(SweepPlan, RefusesUnlistedParametersAndBadValues) {
    const Parameter a = make_parameter("a"), b = make_parameter("b");
    Circuit c;
    c.append(make_symbolic_gate(GateKind::RX, {0}, {0.0}, {{0, {a, 1, 0}}}));
    c.append(make_symbolic_gate(GateKind::RY, {0}, {0.0}, {{0, {b, 1e308, 0}}}));
    EXPECT_THROW(SweepPlan(c, 1, {a}), ValueError);
    SweepPlan sweep(c, 1, {a, b});
    const std::vector<double> short_row = {1.0};
    EXPECT_THROW(sweep.at(short_row), ValueError);
    const std::vector<double> huge = {0.0, 10.0};  // 1e309 overflows to infinity
    EXPECT_THROW(sweep.at(huge), ValueError);
    EXPECT_THROW(Plan(c, 1), ValueError);  // a plain plan refuses an unbound angle
}

TEST(Parameters, SurviveTheCodecAndKeepTheirIdentity) {
    const Parameter a = make_parameter("theta");
    Circuit c;
    c.append(make_symbolic_gate(GateKind::U3, {0}, {0.0, 0.5, 0.0},
                                {{0, {a, 2, 0.1}}, {2, {a, -1, 0}}}));
    c.append(make_gate(GateKind::H, {1}));
    const Circuit back = decode_circuit(encode_circuit(c));
    ASSERT_EQ(back.parameters().size(), 1u);
    EXPECT_EQ(back.parameters()[0]->id, a->id);
    EXPECT_EQ(back.flatten(), c.flatten());
    // A symbolic flag on a gate without angles, or a slot past its angles, is refused.
    std::string bytes = encode_gate(make_symbolic_gate(GateKind::RX, {0}, {0.0}, {{0, {a, 1, 0}}}));
    std::string measure = encode_gate(make_measure(0, 0));
    measure[2] = char(uint8_t(measure[2]) | 0x80);
    EXPECT_THROW(decode_gate(measure), ValueError);
    bytes[bytes.size() - 8 - 8 - 8 - 5 - 8 - 4] = 7;  // the symbol's slot
    EXPECT_THROW(decode_gate(bytes), ValueError);
}

TEST(Parameters, BindingWalksDeepNestingWithoutRecursion) {
    const Parameter a = make_parameter("a");
    Circuit c;
    c.append(make_symbolic_gate(GateKind::RY, {0}, {0.0}, {{0, {a, 1, 0}}}));
    for (int k = 0; k < 200000; ++k) c = c.daggered();
    const Circuit bound = c.bound([](const ParameterData&) { return std::optional<double>(0.5); });
    EXPECT_TRUE(bound.parameters().empty());
    EXPECT_EQ(bound.flatten()[0].params[0], 0.5);
}

}  // namespace
}  // namespace kestrix
