#include "kestrix/lib/noise/trajectory_tree.h"

#include <gtest/gtest.h>

#include <cmath>

#include "kestrix/lib/noise/density_matrix.h"

namespace kestrix {
namespace {

// H then amplitude damping, twice, on two qubits entangled by a CNOT: the split shots'
// final distribution against the exact one, with copies of the state and with every split
// branch replayed from the start instead (max_depth 0).
TEST(TrajectoryTree, SplitShotsFollowTheExactDistributionWithOrWithoutCopies) {
    Circuit c;
    c.append(make_gate(GateKind::H, {0})).append(make_gate(GateKind::CNOT, {0, 1}));
    c.append(make_gate(GateKind::RX, {1}, {0.7})).append(make_gate(GateKind::H, {0}));
    NoiseModel model;
    model.add(amplitude_damping(0.3));
    model.add(depolarizing(0.2), std::vector<std::string>{"RX"});
    const std::vector<NoisyStep> steps = attach_noise(c, model);
    std::vector<Plan> pieces;
    std::vector<Event> events;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind == NoisyStep::Kind::Gate) {
            Circuit one;
            one.append(steps[i].gate);
            pieces.emplace_back(one, 2);
            events.push_back({Event::Kind::Piece, pieces.size() - 1});
        } else {
            events.push_back({Event::Kind::Channel, i});
        }
    }
    DensityMatrix rho(2);
    rho.apply(c, model);
    const std::vector<double> exact = rho.probabilities({0, 1});
    const uint64_t shots = 200000;
    const InterruptCheck never;  // the tree keeps a reference to it
    for (size_t depth : {size_t{0}, size_t{64}}) {
        Rng rng(11);
        std::vector<double> freq(4, 0.0);
        uint64_t total = 0;
        TrajectoryTree tree(pieces, events, steps, model, rng, never, depth,
                            [&](const StateVector& psi, uint64_t m) {
                                for (auto [k, count] : sample_qubits(psi, {0, 1}, m, rng))
                                    freq[k] += double(count) / shots;
                                total += m;
                            });
        StateVector state(2);
        tree.run(state, shots);
        EXPECT_EQ(total, shots);
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR(freq[k], exact[k], 5 * std::sqrt(exact[k] * (1 - exact[k]) / shots) + 1e-12)
                << "depth " << depth << ", outcome " << k;
    }
}

TEST(TrajectoryTree, MultinomialDrawsEveryShotOnce) {
    Rng rng(3);
    const std::vector<uint64_t> c = multinomial(1000, {0.5, 0.0, 0.3, 0.2}, rng);
    EXPECT_EQ(c[0] + c[1] + c[2] + c[3], 1000u);
    EXPECT_EQ(c[1], 0u);
    EXPECT_EQ(multinomial(7, {0.0, 1.0}, rng), (std::vector<uint64_t>{0, 7}));
}

}  // namespace
}  // namespace kestrix
