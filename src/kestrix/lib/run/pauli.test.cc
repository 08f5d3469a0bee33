#include "kestrix/lib/run/pauli.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

// Kronecker products of the textbook 2x2 matrices, qubit 0 the lowest index bit: an
// independent model of a Pauli string.
std::vector<cplx> kron_matrix(const std::string& label) {
    const cplx i(0, 1);
    std::vector<cplx> m = {1};
    size_t dim = 1;
    for (char letter : label) {  // leftmost letter = highest qubit = most significant
        std::array<cplx, 4> p = letter == 'X'   ? std::array<cplx, 4>{0, 1, 1, 0}
                                : letter == 'Y' ? std::array<cplx, 4>{0, -i, i, 0}
                                : letter == 'Z' ? std::array<cplx, 4>{1, 0, 0, -1}
                                                : std::array<cplx, 4>{1, 0, 0, 1};
        std::vector<cplx> out(4 * dim * dim);
        for (size_t r = 0; r < 2; ++r)
            for (size_t c = 0; c < 2; ++c)
                for (size_t a = 0; a < dim; ++a)
                    for (size_t b = 0; b < dim; ++b)
                        out[(a * 2 + r) * 2 * dim + b * 2 + c] = m[a * dim + b] * p[r * 2 + c];
        m = std::move(out);
        dim *= 2;
    }
    return m;
}

double dense_expectation(const std::vector<cplx>& m, const StateVector& s) {
    cplx total = 0;
    for (uint64_t r = 0; r < s.size(); ++r)
        for (uint64_t c = 0; c < s.size(); ++c)
            total += std::conj(s.data()[r]) * m[r * s.size() + c] * s.data()[c];
    return total.real();
}

std::string random_label(int n, std::mt19937_64& rng) {
    std::string label;
    for (int k = 0; k < n; ++k) label += "IXYZ"[rng() % 4];
    return label;
}

TEST(Pauli, LabelsReadWithQubitZeroLast) {
    const PauliString p = PauliString::from_label("XYZI");
    EXPECT_EQ(p.x, 0b1100u);
    EXPECT_EQ(p.z, 0b0110u);
    EXPECT_EQ(p.label(4), "XYZI");
    EXPECT_EQ(p.width(), 4);
    EXPECT_EQ(PauliString::from_sparse("XZ", std::vector<int>{3, 0}),
              PauliString::from_label("XIIZ"));
    EXPECT_THROW(PauliString::from_label("XQ"), ValueError);
    EXPECT_THROW(PauliString::from_sparse("XZ", std::vector<int>{1, 1}), ValueError);
    EXPECT_THROW(PauliString::from_sparse("X", std::vector<int>{64}), ValueError);
}

TEST(Pauli, MatrixAndExpectationMatchKroneckerProducts) {
    std::mt19937_64 rng(3);
    for (int n = 1; n <= 5; ++n) {
        StateVector s(n);
        if (n >= 2) apply_circuit(s, testing::random_circuit(n, 30, rng));
        if (n == 1)
            apply_circuit(s, Circuit().append(make_gate(GateKind::U3, {0}, {0.3, 0.2, 0.1})));
        for (int trial = 0; trial < 20; ++trial) {
            const std::string label = random_label(n, rng);
            const PauliSum h{n, {{PauliString::from_label(label), 0.75}}};
            std::vector<cplx> expected = kron_matrix(label);
            for (cplx& v : expected) v *= 0.75;
            const std::vector<cplx> m = pauli_matrix(h);
            EXPECT_LT(testing::max_distance(m.data(), expected.data(), m.size()), 1e-15) << label;
            EXPECT_NEAR(expectation(h, s), dense_expectation(expected, s), 1e-12) << label;
        }
    }
}

// <psi|P|psi> by applying P amplitude by amplitude, the plain way.
double applied_expectation(const PauliString& p, const StateVector& s) {
    const cplx i(0, 1);
    cplx total = 0;
    for (uint64_t k = 0; k < s.size(); ++k) {
        cplx phase = 1;
        for (int q = 0; q < s.num_qubits(); ++q) {
            const bool x = (p.x >> q) & 1, z = (p.z >> q) & 1, bit = (k >> q) & 1;
            if (x && z) phase *= bit ? -i : i;  // Y|0> = i|1>, Y|1> = -i|0>
            if (!x && z && bit) phase = -phase;
        }
        total += std::conj(s.data()[k ^ p.x]) * phase * s.data()[k];
    }
    return total.real();
}

TEST(Pauli, ManyTermsSharingMasksOnAWideState) {
    std::mt19937_64 rng(12);
    const int n = 12;  // wider than one block of amplitudes
    StateVector s(n);
    apply_circuit(s, testing::random_circuit(n, 80, rng));
    PauliSum h{n, {}};
    const std::string patterns[] = {"IIIIIIIIIIII", "XIIIIIIIIXII", "IIYIIIIXIIII", "XXXXXXXXXXXX"};
    double expected = 0;
    for (int k = 0; k < 150; ++k) {
        // X or Y where the pattern has a letter, I or Z elsewhere: the X masks repeat.
        std::string label = patterns[rng() % 4];
        for (char& c : label) c = c == 'I' ? "IZ"[rng() % 2] : "XY"[rng() % 2];
        const PauliTerm term{PauliString::from_label(label), double(int(rng() % 7)) - 3};
        h.terms.push_back(term);
        expected +=
            term.coefficient * (term.pauli.support() ? applied_expectation(term.pauli, s) : 1.0);
    }
    EXPECT_NEAR(expectation(h, s), expected, 1e-11);
}

TEST(Pauli, SampledEstimateIsWithinItsStandardError) {
    std::mt19937_64 gen(8);
    StateVector s(4);
    apply_circuit(s, testing::random_circuit(4, 40, gen));
    PauliSum h{4, {}};
    for (const char* label : {"ZZII", "XXII", "IIYY", "IIII", "ZIXI", "YIIX"})
        h.terms.push_back({PauliString::from_label(label), 0.5});
    Rng rng(1);
    const uint64_t shots = 40000;
    // Each of the six terms has variance <= 0.25 * 1 per shot.
    const double sigma = std::sqrt(6 * 0.25 / double(shots));
    EXPECT_NEAR(sampled_expectation(h, s, shots, rng), expectation(h, s), 5 * sigma);
}

TEST(Pauli, WiderObservableThanStateIsAnIndexError) {
    PauliSum h{3, {{PauliString::from_label("ZII"), 1}}};
    Rng rng(0);
    EXPECT_THROW(expectation(h, StateVector(2)), IndexError);
    EXPECT_THROW(sampled_expectation(h, StateVector(2), 10, rng), IndexError);
}

}  // namespace
}  // namespace kestrix
