#include "kestrix/lib/ir/encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/run/simulator.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {
namespace {

std::vector<cplx> random_unit_vector(int k, bool complex_values, std::mt19937& gen) {
    std::normal_distribution<double> normal;
    std::vector<cplx> v(size_t{1} << k);
    double norm = 0;
    for (cplx& x : v) {
        x = cplx(normal(gen), complex_values ? normal(gen) : 0);
        norm += std::norm(x);
    }
    for (cplx& x : v) x /= std::sqrt(norm);
    return v;
}

TEST(Encode, PreparesExactlyTheVectorOnAnyQubitOrder) {
    std::mt19937 gen(5);
    for (bool complex_values : {false, true}) {
        for (int k = 1; k <= 4; ++k) {
            std::vector<int> qubits(k + 1);
            for (int j = 0; j <= k; ++j) qubits[j] = j;
            std::shuffle(qubits.begin(), qubits.end(), gen);
            qubits.resize(k);
            std::vector<cplx> v = random_unit_vector(k, complex_values, gen);
            StateVector s(k + 1);
            apply_circuit(s, amplitude_encode(qubits, v));
            for (size_t i = 0; i < v.size(); ++i) {
                size_t idx = 0;
                for (int j = 0; j < k; ++j) idx |= ((i >> j) & 1) << qubits[j];
                EXPECT_NEAR(std::abs(s.data()[idx] - v[i]), 0, 1e-12);
            }
        }
    }
}

// From |0...0> the engine writes the vector in one pass; elsewhere (controlled, inverted,
// after other gates, on a state it does not know to be zero) the gates run, and both give
// the vector's state. The gates hold no pair of X gates in a row on a qubit, and one X
// at most between two rotations or phases (2^k - 1 rotations, 2^k phases when complex).
TEST(Encode, AStateFromZeroIsWrittenAtOnceAndTheGatesStayExact) {
    std::mt19937 gen(7);
    const int k = 6, n = 8;
    const std::vector<int> qubits = {5, 0, 7, 2, 3, 1};
    for (bool complex_values : {false, true}) {
        const std::vector<cplx> v = random_unit_vector(k, complex_values, gen);
        const Circuit c = amplitude_encode(qubits, v);
        std::vector<Gate> gates = c.flatten();
        for (size_t i = 1; i < gates.size(); ++i) {
            EXPECT_FALSE(gates[i].kind == GateKind::X && gates[i - 1].kind == GateKind::X &&
                         gates[i].qubits[0] == gates[i - 1].qubits[0] &&
                         gates[i].controls.empty() && gates[i - 1].controls.empty());
        }
        const size_t patterned = (size_t{1} << k) - 1 + (complex_values ? size_t{1} << k : 0);
        EXPECT_LE(gates.size(), 2 * patterned + 2 * size_t(k));
        Program p{c, n};
        EXPECT_EQ(Simulator::passes(p), 1u);
        StateVector written(n), by_gates(n);
        apply_circuit(written, c, {}, true);
        apply_circuit(by_gates, c);
        const Result run = Simulator::run(p, 1, 0);
        for (uint64_t i = 0; i < written.size(); ++i) {
            EXPECT_NEAR(std::abs(written.data()[i] - by_gates.data()[i]), 0, 1e-12);
            EXPECT_NEAR(run.exact_probabilities({0, 1, 2, 3, 4, 5, 6, 7})[i],
                        std::norm(by_gates.data()[i]), 1e-12);
        }
        // Behind an X the qubits are no longer |0>, controlled or inverted it is not a
        // preparation: the gates run, and a passes count of one would be wrong.
        Circuit after_x;
        after_x.append(make_gate(GateKind::X, {0})).append(c);
        Circuit controlled = c.controlled({4});
        for (const Circuit& other : {after_x, controlled, c.daggered()}) {
            StateVector from_plan(n), reference(n);
            apply_circuit(from_plan, other, {}, true);
            apply_circuit(reference, other);
            for (uint64_t i = 0; i < reference.size(); ++i)
                EXPECT_NEAR(std::abs(from_plan.data()[i] - reference.data()[i]), 0, 1e-12);
        }
    }
}

TEST(Encode, RefusesBadVectors) {
    EXPECT_THROW(amplitude_encode({0, 1}, {1, 0}), ValueError);
    EXPECT_THROW(amplitude_encode({0}, {0.0, 0.0}), ValueError);
    EXPECT_THROW(amplitude_encode({0}, {1.0, 1.0}), ValueError);
    EXPECT_THROW(amplitude_encode({1, 1}, {1, 0, 0, 0}), ValueError);
}

}  // namespace
}  // namespace kestrix
