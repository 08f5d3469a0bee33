// Kernel throughput: dense k-qubit blocks and diagonals over a whole state, against a plain
// copy of the same state (the memory bandwidth bound). Run: kestrix_perf [qubits]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kestrix/lib/kernels.h"

namespace {

using namespace kestrix;

template <class F>
double seconds_per_call(F&& f) {
    f();
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < 0.5) {
        f();
        ++calls;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return elapsed / calls;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 22;
    std::vector<cplx> state(uint64_t{1} << n, cplx(0.5, 0.25)), copy(state.size());
    const double bytes = 2.0 * double(state.size() * sizeof(cplx));
    std::mt19937_64 rng(1);
    std::vector<cplx> m(1 << 12);
    for (cplx& x : m) x = cplx(double(rng() % 100) / 100, 0.1);
    const double t_copy = seconds_per_call(
        [&] { std::memcpy(copy.data(), state.data(), state.size() * sizeof(cplx)); });
    std::printf("%d qubits: copy %.2f ms (%.1f GB/s)\n", n, t_copy * 1e3, bytes / t_copy / 1e9);
    for (int low : {0, 3}) {
        for (int k = 1; k <= kMaxDenseQubits; ++k) {
            std::vector<int> qubits;
            for (int j = 0; j < k; ++j) qubits.push_back(low + 2 * j);
            const double t = seconds_per_call(
                [&] { apply_dense(state.data(), n, qubits.data(), k, 0, m.data()); });
            std::printf("dense k=%d lowest qubit %d: %.2f ms, %.2f x copy time\n", k, low,
                        t * 1e3, t / t_copy);
        }
    }
    for (int k : {2, 8, kMaxDiagonalQubits}) {
        std::vector<int> qubits;
        for (int j = 0; j < k; ++j) qubits.push_back(j);
        const double t =
            seconds_per_call([&] { apply_diagonal(state.data(), n, qubits.data(), k, m.data()); });
        std::printf("diagonal k=%d: %.2f ms, %.2f x copy time\n", k, t * 1e3, t / t_copy);
    }
}
