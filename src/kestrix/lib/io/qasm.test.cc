#include "kestrix/lib/io/qasm.h"

#include <gtest/gtest.h>

#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

Gate g(GateKind kind, QubitList qubits, ParamList params = {}) {
    return make_gate(kind, std::move(qubits), std::move(params));
}

// The states both circuits make from the same generic state: equal exactly when their
// unitaries are, up to rounding.
double distance(const Circuit& a, const Circuit& b, int n, std::mt19937_64& rng) {
    const Circuit prep = testing::random_circuit(n, 6 * n, rng);
    Circuit x = prep, y = prep;
    x.append(a);
    y.append(b);
    const std::vector<cplx> sx = testing::reference_state(x, n),
                            sy = testing::reference_state(y, n);
    return testing::max_distance(sx.data(), sy.data(), sx.size());
}

Circuit unitary_part(const Circuit& c) {
    Circuit out;
    c.for_each_gate([&](const Gate& gate) {
        if (gate.is_unitary()) out.append(gate);
    });
    return out;
}

// Every gate kind, under controls and inverted, in random circuits.
Circuit every_kind(int n, std::mt19937_64& rng) {
    Circuit c = testing::random_circuit(n, 40, rng);
    for (GateKind kind : {GateKind::S, GateKind::T, GateKind::SX}) {
        c.append(g(kind, {0})).append(g(kind, {1}).daggered());
        c.append(g(kind, {2}).controlled({0, 3}).daggered());
    }
    c.append(g(GateKind::U2, {1}, {0.3, -1.2}).controlled({2}));
    c.append(g(GateKind::U1, {3}, {1e-9}).controlled({0, 1, 2}).daggered());
    c.append(g(GateKind::BARRIER, {0, 2}));
    return c;
}

TEST(Qasm, Version3WritesEveryCircuitExactly) {
    std::mt19937_64 rng(1);
    for (int trial = 0; trial < 20; ++trial) {
        Program p{every_kind(5, rng), 6};
        p.circuit.append(make_measure(2, 4));
        const Program back = from_qasm(to_qasm(p, 3));
        EXPECT_EQ(back.width(), 6);
        EXPECT_LT(distance(unitary_part(p.circuit), unitary_part(back.circuit), 6, rng), 1e-12);
        const std::vector<Gate> a = p.circuit.flatten(), b = back.circuit.flatten();
        ASSERT_EQ(a.size(), b.size());
        EXPECT_TRUE(a.back() == b.back());  // the measurement, into bit 4
    }
}

TEST(Qasm, Version2WritesWhatFitsAndNamesWhatDoesNot) {
    std::mt19937_64 rng(2);
    Circuit c;
    c.append(g(GateKind::H, {0})).append(g(GateKind::SWAP, {0, 2}).controlled({1}));
    c.append(g(GateKind::U2, {1}, {0.5, 0.25}).daggered())
        .append(g(GateKind::CR, {0, 1}, {0.7}).daggered());
    c.append(g(GateKind::T, {2}).controlled({0})).append(g(GateKind::X, {2}).controlled({0, 1}));
    c.append(g(GateKind::U3, {2}, {0.1, 0.2, 0.3}).controlled({1}).daggered());
    c.append(g(GateKind::SWAP, {1, 2})).append(make_measure(0, 0));
    const std::string text = to_qasm(Program{c, 3}, 2);
    EXPECT_NE(text.find("include \"qelib1.inc\";"), std::string::npos);
    EXPECT_NE(text.find("cu1(pi/4) q[0], q[2];"), std::string::npos);
    EXPECT_NE(text.find("u3(-pi/2, -0.25, -0.5) q[1];"), std::string::npos);
    EXPECT_NE(text.find("measure q[0] -> c[0];"), std::string::npos);
    EXPECT_LT(distance(unitary_part(c), unitary_part(from_qasm(text).circuit), 3, rng), 1e-12);

    Circuit bad;
    bad.append(g(GateKind::H, {0})).append(g(GateKind::SX, {1}));
    try {
        to_qasm(Program{bad, 2}, 2);
        ADD_FAILURE() << "SX was written in OpenQASM 2";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("the gate at index 1, SX(1)"), std::string::npos);
    }
    EXPECT_THROW(to_qasm(Program{c, 3}, 4), ValueError);
}

TEST(Qasm, AnglesAreExactAndMultiplesOfPiReadable) {
    Circuit c;
    const double angles[] = {std::numbers::pi / 2, -3 * std::numbers::pi / 4, 0.1, 1e-30, -2.5e17};
    for (double a : angles) c.append(g(GateKind::RZ, {0}, {a}));
    const std::string text = to_qasm(Program{c, 1}, 2);
    EXPECT_NE(text.find("rz(pi/2)"), std::string::npos);
    EXPECT_NE(text.find("rz(-3*pi/4)"), std::string::npos);
    EXPECT_NE(text.find("rz(1.0e-30)"), std::string::npos);
    const std::vector<Gate> back = from_qasm(text).circuit.flatten();
    for (size_t k = 0; k < back.size(); ++k) EXPECT_EQ(back[k].params[0], angles[k]);
}

TEST(Qasm, ReadsRegistersDefinitionsModifiersAndBroadcasts) {
    const Program p = from_qasm(R"(
        OPENQASM 3.0;
        include "stdgates.inc";
        qubit[2] a;  /* two qubits */
        qubit b;
        bit[3] m;
        gate twist(t) x, y { rz(t / 2) y; ctrl @ gphase(t) x; cx x, y; }
        h a;                          // broadcast over a
        ctrl @ inv @ twist(π) a[0], a[1], b;
        negctrl @ x a[1], b;
        pow(2) @ s b;
        pow(-1) @ t b;
        m[2] = measure a[0];
    )");
    EXPECT_EQ(p.width(), 3);
    const std::vector<Gate> gates = p.circuit.flatten();
    ASSERT_EQ(gates.size(), 2 + 3 + 3 + 2 + 1 + 1);
    EXPECT_EQ(gates[0].qubits[0], 0);
    EXPECT_EQ(gates[1].qubits[0], 1);
    // inv reverses the body: cx first, then the phase, then rz; all under a[0].
    EXPECT_EQ(gates[2].kind, GateKind::CNOT);
    EXPECT_EQ(gates[3].kind, GateKind::U1);  // ctrl @ gphase(t) on x, inverted, controlled
    EXPECT_EQ(gates[3].params[0], std::numbers::pi);
    EXPECT_TRUE(gates[3].dagger);
    EXPECT_EQ(gates[3].qubits[0], 1);
    EXPECT_EQ(gates[4].kind, GateKind::RZ);
    EXPECT_TRUE(gates[4].dagger);
    EXPECT_EQ(gates[4].controls.to_vector(), std::vector<int>{0});
    EXPECT_EQ(gates[5].kind, GateKind::X);  // negctrl: X, controlled X, X
    EXPECT_EQ(gates[6].controls.to_vector(), std::vector<int>{1});
    EXPECT_EQ(gates[8].kind, GateKind::S);
    EXPECT_EQ(gates[9].kind, GateKind::S);
    EXPECT_TRUE(gates[10].dagger && gates[10].kind == GateKind::T);
    EXPECT_EQ(gates[11].kind, GateKind::MEASURE);
}

TEST(Qasm, ReadsOpenQasm2AsOtherToolsWriteIt) {
    const Program p = from_qasm(R"(OPENQASM 2.0;
include "qelib1.inc";
qreg q[2];
qreg r[1];
creg c[2];
gate mygate(theta, phi) a, b { U(theta, phi, 0) a; CX a, b; u1(-phi) b; }
mygate(pi/2, 0.5*2) q[0], r[0];
rzz(0.25) q[0], q[1];
cu(0.1, 0.2, 0.3, 0.4) q[1], r[0];
rccx q[0], q[1], r[0];
barrier q, r[0];
measure q -> c;
)");
    EXPECT_EQ(p.width(), 3);
    const std::vector<Gate> gates = p.circuit.flatten();
    EXPECT_EQ(gates[0].kind, GateKind::U3);
    EXPECT_EQ(gates[0].params.to_vector(), (std::vector<double>{std::numbers::pi / 2, 1.0, 0.0}));
    EXPECT_EQ(gates[1].qubits.to_vector(), (std::vector<int>{0, 2}));
    EXPECT_EQ(gates[2].params[0], -1.0);
    EXPECT_EQ(gates.size(), 3u + 3 + 2 + 9 + 1 + 2);
    EXPECT_EQ(gates[gates.size() - 3].kind, GateKind::BARRIER);
    EXPECT_EQ(gates.back().cbit, 1);
}

TEST(Qasm, RefusalsNameTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"OPENQASM 2.0;\nqreg q[1];\nh q[0];", "line 3: gate 'h' is not defined"},
        {"OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[1];\nreset q[0];", "line 4: 'reset'"},
        {"OPENQASM 3;\ninclude \"stdgates.inc\";\nqubit[2] q;\nh q[2];", "line 4: index 2"},
        {"OPENQASM 3;\ninclude \"stdgates.inc\";\nqubit[2] q;\ncx q[0], q[0];",
         "line 4: CNOT: qubit 0 is used more than once"},
        {"OPENQASM 3;\ninclude \"stdgates.inc\";\nqubit q;\npow(0.5) @ x q;", "integer powers"},
        {"OPENQASM 3;\ninclude \"other.inc\";", "cannot include 'other.inc'"},
        {"OPENQASM 4.0;", "unsupported OpenQASM version"},
        {"OPENQASM 3;\nqubit q;\nopaque magic q;\nmagic q;", "opaque"},
        {"OPENQASM 3;\nqubit q;\nU(1/0, 0, 0) q;", "finite"},
        {"OPENQASM 3;\nqubit q;\nbit c;\nif (c == 1) U(0, 0, 0) q;", "'if' is not supported"},
    };
    for (auto [text, message] : cases) {
        try {
            from_qasm(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

TEST(Qasm, HostileTextIsAValueErrorNeverACrash) {
    // Ten doublings per level, seven levels: 10**7 gates, capped before memory runs out.
    std::string bomb = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[1];\ngate g0 a { x a; }\n";
    for (int k = 1; k <= 8; ++k) {
        bomb += "gate g" + std::to_string(k) + " a {";
        for (int j = 0; j < 10; ++j) bomb += " g" + std::to_string(k - 1) + " a;";
        bomb += " }\n";
    }
    bomb += "g8 q[0];\n";
    EXPECT_THROW(from_qasm(bomb), ValueError);

    // Nesting far past any real file: each a ValueError, never a stack overflow.
    const std::string header = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[2] q;\n";
    const std::string deep(30000, '(');
    std::string chain = header + "gate g0 a { x a; }\n";
    for (int k = 1; k < 5000; ++k)
        chain += "gate g" + std::to_string(k) + " a { g" + std::to_string(k - 1) + " a; }\n";
    std::string inverses;
    for (int k = 0; k < 30000; ++k) inverses += "inv @ ";
    for (const std::string& text :
         {header + "rx(" + deep + "1" + std::string(30000, ')') + ") q[0];", header + "rx(" + deep,
          chain + "g4999 q[0];\n"}) {
        EXPECT_THROW(from_qasm(text), ValueError);
    }
    // Modifiers and signs are read in loops, however many: an even number of inverses is
    // the gate itself.
    const Program inverted =
        from_qasm(header + inverses + "s q[0];\nrz(" + std::string(30001, '-') + "1) q[1];\n");
    ASSERT_EQ(inverted.circuit.gate_count(), 2u);
    EXPECT_FALSE(inverted.circuit.flatten()[0].dagger);
    EXPECT_EQ(inverted.circuit.flatten()[1].params[0], -1.0);

    std::mt19937_64 rng(3);
    Program p{every_kind(4, rng), 4};
    p.circuit.append(make_measure(1, 1));
    const std::string good = to_qasm(p, 3);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string bad = good;
        for (int k = 0; k < 1 + int(rng() % 4); ++k) {
            const size_t at = rng() % bad.size();
            if (rng() % 2) {
                bad[at] = "q[]();,@-+*/0123456789.abcxyz \n\"{}"[rng() % 35];
            } else {
                bad.erase(at, 1 + rng() % 5);
            }
        }
        try {
            from_qasm(bad);
        } catch (const ValueError&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected exception " << e.what() << " for:\n" << bad;
        }
    }
}

}  // namespace
}  // namespace kestrix
