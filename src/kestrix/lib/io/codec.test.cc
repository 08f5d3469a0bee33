#include "kestrix/lib/io/codec.h"

#include <gtest/gtest.h>

#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

bool same_flattened(const Circuit& a, const Circuit& b) {
    const std::vector<Gate> x = a.flatten(), y = b.flatten();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
}

// Nested blocks, controls, daggers and a measurement at the end.
Circuit structured_circuit(std::mt19937_64& rng) {
    Circuit block = testing::random_circuit(4, 12, rng);
    Circuit c = testing::random_circuit(6, 8, rng);
    c.append(block.controlled({5}).daggered());
    for (int k = 0; k < 50; ++k) c.append(block.controlled({4}));
    c.append(block.daggered()).append(block);
    c.append(make_gate(GateKind::BARRIER, {0, 1, 2}));
    c.append(make_gate(GateKind::S, {0}).daggered());
    const double r = 1 / std::sqrt(2.0);
    c.append(make_unitary({1, 4}, {r, 0, r, 0, 0, r, 0, r, r, 0, -r, 0, 0, r, 0, -r})
                 .controlled({0})
                 .daggered());
    c.append(make_measure(3, 7));
    return c;
}

TEST(Codec, CircuitsComeBackWithTheSameGates) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 20; ++trial) {
        const Circuit c = structured_circuit(rng);
        EXPECT_TRUE(same_flattened(decode_circuit(encode_circuit(c)), c));
    }
    EXPECT_TRUE(decode_circuit(encode_circuit(Circuit())).empty());
}

TEST(Codec, ARepeatedBlockIsWrittenOnceAndComesBackShared) {
    Circuit body;
    for (int q = 0; q < 4; ++q) body.append(make_gate(GateKind::RY, {q}, {0.1 * q}));
    body.append(make_gate(GateKind::CNOT, {0, 1}));
    const Circuit controlled = body.controlled({4});
    Circuit once, many;
    once.append(controlled);
    for (int k = 0; k < 1000; ++k) many.append(controlled);
    const std::string bytes = encode_circuit(many);
    EXPECT_LT(bytes.size(), encode_circuit(once).size() + 1000 * 16);
    const Circuit back = decode_circuit(bytes);
    ASSERT_EQ(back.items().size(), 1000u);
    const auto& first = std::get<Block>(back.items().front().value);
    for (const Item& item : back.items()) {
        const auto& b = std::get<Block>(item.value);
        EXPECT_EQ(b.body.get(), first.body.get());
        EXPECT_EQ(b.controls, std::vector<int>{4});
    }
}

TEST(Codec, ProgramsStatesAndResultsRoundTrip) {
    std::mt19937_64 rng(9);
    Program p{testing::random_circuit(3, 20, rng), 5};
    p.circuit.append(make_measure(0, 0)).append(make_measure(2, 1));
    const Program q = decode_program(encode_program(p));
    EXPECT_EQ(q.declared_qubits, 5);
    EXPECT_TRUE(same_flattened(q.circuit, p.circuit));

    StateVector s(3);
    apply_circuit(s, testing::random_circuit(3, 20, rng));
    const StateVector t = decode_state(encode_state(s));
    EXPECT_EQ(t.num_qubits(), 3);
    EXPECT_EQ(testing::max_distance(s.data(), t.data(), s.size()), 0.0);

    // One simulation for every shot, and one per shot (a gate after a measurement).
    Program per_shot = p;
    per_shot.circuit.append(make_gate(GateKind::H, {0}));
    for (const Program& run : {p, per_shot}) {
        const Result r = Simulator::run(run, 300, 4);
        const Result back = decode_result(encode_result(r));
        EXPECT_EQ(back.counts(), r.counts());
        EXPECT_EQ(back.cbits(), r.cbits());
        EXPECT_EQ(back.shots(), r.shots());
        EXPECT_EQ(back.exact_probabilities({0, 1, 2, 3, 4}),
                  r.exact_probabilities({0, 1, 2, 3, 4}));
    }
}

// Single-precision states keep their floats bit for bit, and results say which precision
// made them; double states keep the bytes they had before single precision existed.
TEST(Codec, SinglePrecisionStatesAndResultsRoundTrip) {
    std::mt19937_64 rng(10);
    const Circuit c = testing::random_circuit(3, 20, rng);
    StateVector s(3, {}, Precision::Single);
    apply_circuit(s, c);
    const StateVector t = decode_state(encode_state(s));
    EXPECT_EQ(t, s);
    EXPECT_TRUE(t.single());
    EXPECT_EQ(encode_state(StateVector(3)).size(), 2 + 1 + 16 * 8);
    EXPECT_EQ(encode_state(s).size(), 2 + 1 + 8 * 8);

    Program p{c, 3};
    p.circuit.append(make_measure(0, 0));
    Program per_shot = p;
    per_shot.circuit.append(make_gate(GateKind::H, {0}));
    for (const Program& run : {p, per_shot}) {
        const Result r = Simulator::run(run, 200, 4, {}, false, Precision::Single);
        const Result back = decode_result(encode_result(r));
        EXPECT_EQ(back.precision(), Precision::Single);
        EXPECT_EQ(back, r);
    }
}

// A batch shipped to another process and its answers: everything that decides a run comes
// back, so the receiver computes exactly what the sender would have.
TEST(Codec, BatchesAndTheirAnswersRoundTrip) {
    std::mt19937_64 rng(11);
    std::vector<Program> programs;
    for (int k = 0; k < 5; ++k) {
        Program p{testing::random_circuit(2 + k % 3, 10, rng), 4};
        if (k % 2) p.circuit.append(make_measure(0, 0));
        programs.push_back(std::move(p));
    }
    const std::vector<uint64_t> seeds = {3, 1, 4, 1, 5};
    BatchSettings settings{"1.2.3", false, 77, std::vector<int>{2, 0}};
    const BatchRequest back = decode_batch_request(encode_batch_request(settings, programs, seeds));
    EXPECT_EQ(back.settings.version, "1.2.3");
    EXPECT_EQ(back.settings.shots, 77u);
    EXPECT_EQ(back.settings.qubits, (std::vector<int>{2, 0}));
    EXPECT_EQ(back.seeds, seeds);
    ASSERT_EQ(back.programs.size(), programs.size());
    for (size_t k = 0; k < programs.size(); ++k) {
        EXPECT_TRUE(same_flattened(back.programs[k].circuit, programs[k].circuit));
        EXPECT_EQ(back.programs[k].declared_qubits, 4);
    }
    const std::vector<Result> results = Simulator::run_batch(programs, 77, seeds);
    EXPECT_EQ(decode_batch_results(encode_batch_results(results)), results);
    const std::vector<std::vector<double>> rows = {{0.25, 0.75}, {}, {1.0}};
    EXPECT_EQ(decode_batch_rows(encode_batch_rows(rows)), rows);

    EXPECT_THROW(encode_batch_request(settings, programs, std::vector<uint64_t>{1}), ValueError);
    const std::string bytes = encode_batch_request(settings, programs, seeds);
    for (size_t cut : {size_t{0}, size_t{5}, bytes.size() / 2, bytes.size() - 1})
        EXPECT_THROW(decode_batch_request(bytes.substr(0, cut)), ValueError);
    EXPECT_THROW(decode_batch_results(encode_batch_rows(rows)), ValueError);
}

TEST(Codec, PauliSumsRoundTrip) {
    PauliSum h{3, {{PauliString::from_label("XYZ"), 0.5}, {PauliString::from_label("IIZ"), -2}}};
    EXPECT_EQ(decode_pauli_sum(encode_pauli_sum(h)), h);
}

// Every truncation and many corruptions of valid bytes: each decodes to a valid object or
// is a ValueError, never anything else.
template <class Decode>
void expect_only_value_errors(const std::string& good, Decode decode, std::mt19937_64& rng) {
    auto attempt = [&](const std::string& bytes) {
        try {
            decode(bytes);
        } catch (const ValueError&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected " << typeid(e).name() << ": " << e.what();
        }
    };
    for (size_t n = 0; n < good.size(); ++n) attempt(good.substr(0, n));
    for (int trial = 0; trial < 2000; ++trial) {
        std::string bad = good;
        for (int k = 0; k < 1 + int(rng() % 3); ++k) bad[rng() % bad.size()] = char(rng());
        attempt(bad);
    }
    attempt(good + "x");
}

TEST(Codec, DamagedBytesAreValueErrors) {
    std::mt19937_64 rng(11);
    expect_only_value_errors(
        encode_circuit(structured_circuit(rng)), [](const std::string& b) { decode_circuit(b); },
        rng);
    Program p{testing::random_circuit(3, 10, rng), 3};
    p.circuit.append(make_measure(1, 0));
    expect_only_value_errors(
        encode_result(Simulator::run(p, 50, 1)), [](const std::string& b) { decode_result(b); },
        rng);
    expect_only_value_errors(
        encode_gate(make_gate(GateKind::U3, {2}, {0.1, 0.2, 0.3})),
        [](const std::string& b) { decode_gate(b); }, rng);
    EXPECT_THROW(decode_circuit(encode_gate(make_gate(GateKind::H, {0}))), ValueError);
}

}  // namespace
}  // namespace kestrix
