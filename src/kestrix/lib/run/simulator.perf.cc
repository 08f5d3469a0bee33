// Tiny-circuit throughput: 10,000 4-qubit programs of 40 gates with 1024 shots, run one
// by one and as one batch. Run: kestrix_perf_simulator [programs]
#include "kestrix/lib/run/simulator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "kestrix/lib/base/thread_pool.h"

namespace {

using namespace kestrix;

Program tiny(double theta) {
    Program p;
    p.declared_qubits = 4;
    for (int k = 0; k < 10; ++k) {
        const int q = k % 4, next = (q + 1) % 4;
        p.circuit.append(make_gate(GateKind::H, {q}))
            .append(make_gate(GateKind::RY, {next}, {theta}))
            .append(make_gate(GateKind::CNOT, {q, next}))
            .append(make_gate(GateKind::RZ, {q}, {theta * k}));
    }
    for (int q = 0; q < 4; ++q) p.circuit.append(make_measure(q, q));
    return p;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::vector<Program> programs;
    std::vector<uint64_t> seeds;
    for (int i = 0; i < count; ++i) {
        programs.push_back(tiny(0.001 * i));
        seeds.push_back(uint64_t(i));
    }
    auto start = std::chrono::steady_clock::now();
    uint64_t check = 0;
    for (int i = 0; i < count; ++i)
        check += Simulator::run(programs[i], 1024, seeds[i]).counts().size();
    const double one = seconds_since(start);
    start = std::chrono::steady_clock::now();
    for (const Result& r : Simulator::run_batch(programs, 1024, seeds)) check -= r.counts().size();
    const double batch = seconds_since(start);
    std::printf(
        "%d programs: one by one %.1f us each, batch %.1f us each on %d threads "
        "(%.2fx)%s\n",
        count, one / count * 1e6, batch / count * 1e6, thread_count(), one / batch,
        check ? " MISMATCH" : "");
}
