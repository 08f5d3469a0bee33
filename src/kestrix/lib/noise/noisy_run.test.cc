#include "kestrix/lib/noise/noisy_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

Program flipped_and_measured(int n) {
    Program p;
    for (int q = 0; q < n; ++q) p.circuit.append(make_gate(GateKind::X, {q}));
    for (int q = 0; q < n; ++q) p.circuit.append(make_measure(q, q));
    return p;
}

TEST(NoisySimulator, BitFlipsCountAsTheirProbability) {
    NoiseModel model;
    model.add(bit_flip(0.25), std::vector<std::string>{"X"});
    const uint64_t shots = 40000;
    for (auto method :
         {NoisySimulator::Method::Trajectories, NoisySimulator::Method::DensityMatrix}) {
        const Result r = NoisySimulator::run(flipped_and_measured(1), model, shots, 3, method);
        ASSERT_EQ(r.counts().size(), 2u);
        EXPECT_NEAR(double(r.counts()[0].second) / shots, 0.25, 4 * std::sqrt(0.1875 / shots));
        EXPECT_EQ(r, NoisySimulator::run(flipped_and_measured(1), model, shots, 3, method));
    }
}

TEST(NoisySimulator, AnEmptyModelRunsAsTheNoiselessSimulator) {
    std::mt19937_64 rng(5);
    for (int n = 2; n <= 6; ++n) {
        Program p;
        p.circuit = testing::random_circuit(n, 25, rng);
        p.declared_qubits = n;
        std::vector<int> all(n);
        for (int k = 0; k < n; ++k) all[k] = k;
        const std::vector<double> exact = Simulator::run(p, 1, 0).exact_probabilities(all);
        for (auto method :
             {NoisySimulator::Method::Trajectories, NoisySimulator::Method::DensityMatrix}) {
            const Result r = NoisySimulator::run(p, NoiseModel(), 3, 1, method);
            const std::vector<double> got = r.exact_probabilities(all);
            for (size_t i = 0; i < exact.size(); ++i) EXPECT_NEAR(got[i], exact[i], 1e-12);
        }
    }
}

}  // namespace
}  // namespace kestrix
