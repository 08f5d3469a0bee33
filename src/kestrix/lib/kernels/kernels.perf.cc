// Kernel throughput in nanoseconds per amplitude, for every compiled variant this CPU
// runs: dense k-qubit blocks with their lowest target on each lane qubit and above, and
// diagonals, against a plain copy of the same state. 15 qubits (the default) stay in
// cache, as in a cache block; 24 qubits come from memory.
// Run: kestrix_perf_kernels [qubits] [variant]
#include "kestrix/lib/kernels/kernels.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kestrix;

template <class F>
double seconds_per_call(F&& f) {
    f();
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < 0.2) {
        f();
        ++calls;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return elapsed / calls;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 15;
    const std::string only = argc > 2 ? argv[2] : "";
    std::vector<cplx> state(uint64_t{1} << n, cplx(0.5, 0.25)), copy(state.size());
    const double amps = double(state.size());
    std::mt19937_64 rng(1);
    std::vector<cplx> m(uint64_t{1} << kMaxDiagonalQubits);
    for (cplx& x : m) x = cplx(double(rng() % 100) / 1000, 0.01);
    const double t_copy = seconds_per_call(
        [&] { std::memcpy(copy.data(), state.data(), state.size() * sizeof(cplx)); });
    std::printf("%d qubits: copy %.3f ns per amplitude\n", n, t_copy / amps * 1e9);
    for (const KernelSet& set : kernel_variants()) {
        if (!set.supported || (!only.empty() && only != set.name)) continue;
        std::printf("%s, ns per amplitude\n  lowest target", set.name);
        for (int k = 1; k <= 5; ++k) std::printf("   k=%d", k);
        std::printf("\n");
        for (int low : {0, 1, 2, 3}) {
            std::printf("  %13d", low);
            for (int k = 1; k <= 5; ++k) {
                std::vector<int> qubits;
                for (int j = 0; j < k; ++j) qubits.push_back(low + j * (low >= 3 ? 2 : 1));
                if (qubits.back() >= n) continue;
                const double t = seconds_per_call(
                    [&] { set.apply_dense(state.data(), n, qubits.data(), k, 0, 0, m.data()); });
                std::printf(" %5.2f", t / amps * 1e9);
            }
            std::printf("\n");
        }
        std::printf("  diagonal k=2, 8, %d:", kMaxDiagonalQubits);
        for (int k : {2, 8, kMaxDiagonalQubits}) {
            k = std::min(k, n);
            std::vector<int> qubits;
            for (int j = 0; j < k; ++j) qubits.push_back(j);
            const double t = seconds_per_call(
                [&] { set.apply_diagonal(state.data(), n, qubits.data(), k, 0, 0, m.data()); });
            std::printf(" %5.2f", t / amps * 1e9);
        }
        std::printf("\n");
        // Wide blocks (folded powers of repeated blocks): compute-bound, so in GFLOP/s.
        std::printf("  wide k=7..10, GFLOP/s:");
        std::vector<cplx> wide(uint64_t{1} << 20);
        for (cplx& x : wide) x = cplx(double(rng() % 100) / 1000, 0.01);
        for (int k = 7; k <= std::min(10, n); ++k) {
            std::vector<int> qubits;
            for (int j = 0; j < k; ++j) qubits.push_back(j);
            const double t = seconds_per_call(
                [&] { set.apply_dense(state.data(), n, qubits.data(), k, 0, 0, wide.data()); });
            std::printf(" %6.1f", 8 * amps * double(uint64_t{1} << k) / t * 1e-9);
        }
        std::printf("\n");
    }
}
