// Picks the fusion width and the chunk size of cache blocking: runs the benchmark circuits
// (QFT, layered RX/RZ/CNOT-ring) fused at every dense width, pass by pass and in cache
// blocks of every size, and prints passes and CPU times (all threads).
// Run: kestrix_perf_fusion [qubits] [double|single]
#include "kestrix/lib/plan/fusion.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <random>
#include <string>

#include "kestrix/lib/plan/blocking.h"
#include "kestrix/lib/run/statevector.h"

namespace {

using namespace kestrix;

// CPU time of all threads: on a shared machine it counts only this process's work.
std::chrono::duration<double> cpu_now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return std::chrono::duration<double>(double(t.tv_sec) + 1e-9 * double(t.tv_nsec));
}

Circuit qft(int n) {
    Circuit c;
    for (int t = n - 1; t >= 0; --t) {
        c.append(make_gate(GateKind::H, {t}));
        for (int q = t - 1; q >= 0; --q)
            c.append(make_gate(GateKind::CR, {q, t}, {std::numbers::pi / std::ldexp(1.0, t - q)}));
    }
    for (int q = 0; q < n / 2; ++q) c.append(make_gate(GateKind::SWAP, {q, n - 1 - q}));
    return c;
}

Circuit layered(int n, int depth) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> angle(0, 2 * std::numbers::pi);
    Circuit c;
    for (int d = 0; d < depth; ++d) {
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::RX, {q}, {angle(rng)}));
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::RZ, {q}, {angle(rng)}));
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::CNOT, {q, (q + 1) % n}));
    }
    return c;
}

// The precision the circuits run in (the second argument, "single" or "double").
Precision precision = Precision::Double;

double run_seconds(const Schedule& schedule, int n,
                   const std::vector<Segment>* segments = nullptr) {
    Schedule plan = schedule;
    if (precision == Precision::Single) plan.round_to_single();
    StateVector state(n, {}, precision);
    const auto start = cpu_now();
    state.visit([&](auto* amps) {
        if (segments) {
            for (const Segment& s : *segments) apply_segment(plan, s, amps, n);
        } else {
            for (const Step& step : plan.steps) plan.apply(amps, n, step);
        }
    });
    return (cpu_now() - start).count();
}

double best_seconds(const Schedule& plan, int n, const std::vector<Segment>* segments = nullptr) {
    double best = 1e9;
    for (int rep = 0; rep < 3; ++rep) best = std::min(best, run_seconds(plan, n, segments));
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20;
    if (argc > 2 && std::string(argv[2]) == "single") precision = Precision::Single;
    std::printf("%s precision\n", precision == Precision::Single ? "single" : "double");
    const struct {
        const char* name;
        Circuit circuit;
    } cases[] = {{"qft", qft(n)}, {"layered", layered(n, 20)}};
    for (const auto& c : cases) {
        const Schedule plain = make_schedule(c.circuit, n);
        std::printf("%s %d qubits: %zu gates, unfused %.1f ms\n", c.name, n, plain.steps.size(),
                    run_seconds(plain, n) * 1e3);
        for (int dense = 1; dense <= kMaxDenseQubits; ++dense) {
            for (int read = dense; read <= kMaxDenseQubits; ++read) {
                const Schedule fused = fuse(plain, {dense, kMaxDiagonalQubits, read});
                const std::vector<Segment> segments = segment(fused, n);
                std::printf(
                    "  changing %d, reading %d qubits: %zu passes, %.1f ms; blocked: "
                    "%zu passes, %.1f ms\n",
                    dense, read, fused.steps.size(), best_seconds(fused, n) * 1e3, segments.size(),
                    best_seconds(fused, n, &segments) * 1e3);
            }
        }
        const Schedule fused = fuse(plain);
        for (int chunk = 12; chunk <= std::min(n - 2, 18); ++chunk) {
            const std::vector<Segment> segments = segment(fused, n, chunk);
            std::printf("  changing %d, reading %d, chunks of %d qubits: %zu passes, %.1f ms\n",
                        kFuseQubits, kFuseReadQubits, chunk, segments.size(),
                        best_seconds(fused, n, &segments) * 1e3);
        }
    }
}
