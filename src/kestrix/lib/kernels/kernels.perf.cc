// Kernel throughput in nanoseconds per amplitude, for every compiled variant this CPU
// runs, in double and in single precision: dense k-qubit blocks with their lowest target on each
// lane qubit and above, and diagonals, against a plain copy of the same state. 15 qubits (the
// default) stay in cache, as in a cache block; 24 qubits come from memory. Run:
// kestrix_perf_kernels [qubits] [variant]
#include "kestrix/lib/kernels/kernels.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <complex>
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

// Unitary matrices keep the state's norm through thousands of calls: a contracting one
// would drive the amplitudes into subnormal numbers, which cost a hundred times more.
std::vector<cplx> fourier(int k) {
    const uint64_t d = uint64_t{1} << k;
    std::vector<cplx> m(d * d);
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = 0; c < d; ++c)
            m[r * d + c] =
                std::polar(1 / std::sqrt(double(d)), 2 * M_PI * double(r * c) / double(d));
    // As plans round them: parts that are noise around zero are zero.
    for (cplx& x : m)
        x = cplx(std::abs(x.real()) < 1e-12 ? 0 : x.real(),
                 std::abs(x.imag()) < 1e-12 ? 0 : x.imag());
    return m;
}

// A real orthogonal matrix (Walsh-Hadamard): the kernels' real form.
std::vector<cplx> walsh(int k) {
    const uint64_t d = uint64_t{1} << k;
    std::vector<cplx> m(d * d);
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = 0; c < d; ++c)
            m[r * d + c] = (std::popcount(r & c) % 2 ? -1 : 1) / std::sqrt(double(d));
    return m;
}

template <class C>
void time_variant(const Kernels<C>& set, int n, const char* label) {
    std::vector<C> state(uint64_t{1} << n, C(std::sqrt(0.5 / double(uint64_t{1} << n))));
    const double amps = double(state.size());
    std::mt19937_64 rng(1);
    std::vector<C> phases(uint64_t{1} << kMaxDiagonalQubits);
    for (C& x : phases) x = C(std::polar(1.0, double(rng() % 1000) / 100));
    std::printf("%s, ns per amplitude\n  lowest target", label);
    for (int k = 1; k <= 5; ++k) std::printf("   k=%d", k);
    std::printf("\n");
    for (int row = 0; row < 6; ++row) {
        // Rows 4 and 5: real matrices, lowest target 0 and 2.
        const bool real = row >= 4;
        const int low = real ? 2 * (row - 4) : row;
        std::printf(real ? "  %8d real" : "  %13d", low);
        for (int k = 1; k <= (real ? 3 : 5); ++k) {
            std::vector<int> qubits;
            for (int j = 0; j < k; ++j) qubits.push_back(low + j * (low >= 3 ? 2 : 1));
            if (qubits.back() >= n) continue;
            const std::vector<cplx> wide = real ? walsh(k) : fourier(k);
            const std::vector<C> m(wide.begin(), wide.end());
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
            [&] { set.apply_diagonal(state.data(), n, qubits.data(), k, 0, 0, phases.data()); });
        std::printf(" %5.2f", t / amps * 1e9);
    }
    std::printf("\n");
    // Wide blocks (folded powers of repeated blocks): compute-bound, so in GFLOP/s.
    std::printf("  wide k=7..10, GFLOP/s:");
    for (int k = 7; k <= std::min(10, n); ++k) {
        std::vector<int> qubits;
        for (int j = 0; j < k; ++j) qubits.push_back(j);
        const std::vector<cplx> wide = fourier(k);
        const std::vector<C> m(wide.begin(), wide.end());
        const double t = seconds_per_call(
            [&] { set.apply_dense(state.data(), n, qubits.data(), k, 0, 0, m.data()); });
        std::printf(" %6.1f", 8 * amps * double(uint64_t{1} << k) / t * 1e-9);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 15;
    const std::string only = argc > 2 ? argv[2] : "";
    std::vector<cplx> state(uint64_t{1} << n, cplx(0.5, 0.25)), copy(state.size());
    const double t_copy = seconds_per_call(
        [&] { std::memcpy(copy.data(), state.data(), state.size() * sizeof(cplx)); });
    std::printf("%d qubits: copy %.3f ns per amplitude (complex128)\n", n,
                t_copy / double(state.size()) * 1e9);
    for (const KernelSet& set : kernel_variants()) {
        if (!set.supported || (!only.empty() && only != set.name)) continue;
        time_variant(set.of<cplx>(), n, (std::string(set.name) + " double").c_str());
        time_variant(set.of<cfloat>(), n, (std::string(set.name) + " single").c_str());
    }
}
