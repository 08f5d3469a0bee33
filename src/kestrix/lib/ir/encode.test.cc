#include "kestrix/lib/ir/encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/run/evolve.h"
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

TEST(Encode, RefusesBadVectors) {
    EXPECT_THROW(amplitude_encode({0, 1}, {1, 0}), ValueError);
    EXPECT_THROW(amplitude_encode({0}, {0.0, 0.0}), ValueError);
    EXPECT_THROW(amplitude_encode({0}, {1.0, 1.0}), ValueError);
    EXPECT_THROW(amplitude_encode({1, 1}, {1, 0, 0, 0}), ValueError);
}

}  // namespace
}  // namespace kestrix
