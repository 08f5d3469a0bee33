#include "kestrix/lib/run/statevector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/run/sampling.h"

namespace kestrix {

void check_fits_in_memory(int n) {
    // Every run checks: the message is only spelled out for a state that does not fit.
    const double bytes = std::ldexp(static_cast<double>(sizeof(cplx)), n);
    if (n >= 0 && n <= 60 && bytes <= usable_memory()) return;
    const std::string what = "a state of " + std::to_string(n) + " qubits";
    // Beyond 60 qubits the index arithmetic overflows, whatever the memory.
    if (n < 0 || n > 60) {
        throw MemoryError(what + " needs 2**" + std::to_string(int64_t{n} + 4) +
                          " bytes, more than any machine's memory");
    }
    check_memory(bytes, what);
}

StateVector::StateVector(int n, const InterruptCheck& interrupt) : n_(n) {
    check_fits_in_memory(n);
    amps_.resize(size());
    reset(interrupt);
}

bool StateVector::is_all_zero() const {
    return amps_[0] == cplx(1) &&
           std::all_of(amps_.begin() + 1, amps_.end(), [](const cplx& a) { return a == cplx(0); });
}

bool operator==(const StateVector& a, const StateVector& b) {
    return a.n_ == b.n_ && std::equal(a.amps_.begin(), a.amps_.end(), b.amps_.begin());
}

StateVector StateVector::from_amplitudes(std::span<const cplx> amplitudes) {
    const size_t size = amplitudes.size();
    if (size == 0 || (size & (size - 1)) != 0) {
        throw ValueError("a state vector needs a power-of-two length, got " + std::to_string(size));
    }
    double norm2 = 0;
    for (const cplx& a : amplitudes) {
        if (!std::isfinite(a.real()) || !std::isfinite(a.imag()))
            throw ValueError("a state vector must have finite amplitudes");
        norm2 += std::norm(a);
    }
    if (std::abs(std::sqrt(norm2) - 1) > 1e-8) {
        throw ValueError("a state vector must have norm 1 (within 1e-8), got " +
                         std::to_string(std::sqrt(norm2)));
    }
    StateVector state(std::countr_zero(size));
    std::copy(amplitudes.begin(), amplitudes.end(), state.amps_.begin());
    return state;
}

void StateVector::reset(const InterruptCheck& interrupt) {
    // On every thread, a slice at a time with a poll between slices: a state of 28 qubits
    // is 4 GiB to touch.
    cplx* a = amps_.data();
    for (uint64_t slice = 0; slice < size(); slice += kPollWork) {
        if (slice && interrupt && interrupt()) throw Interrupted();
        const uint64_t count = std::min(size() - slice, kPollWork);
        for_subranges(count, n_ >= kParallelQubits, [&](uint64_t begin, uint64_t end) {
            std::fill(a + slice + begin, a + slice + end, cplx(0));
        });
    }
    a[0] = 1;
}

namespace {

// Sums over the state are taken chunk by chunk, each chunk in index order, and the
// chunks' sums added in chunk order: the result is the same whatever the thread count,
// so a batch running a program on one thread matches the same program run alone. These
// chunks fix the order of additions, not what sits in cache (that is blocking.h's
// kChunkQubits): changing their size would change sums in their last bits.
constexpr int kSumChunkQubits = 12;

template <class Term>
double chunked_sum(int n, Term term) {
    const int chunk_qubits = std::min(n, kSumChunkQubits);
    const uint64_t chunks = uint64_t{1} << (n - chunk_qubits);
    const uint64_t chunk = uint64_t{1} << chunk_qubits;
    std::vector<double> partial(chunks, 0.0);
    for_range(chunks, n >= kParallelQubits, [&](uint64_t c) {
        double sum = 0;
        for (uint64_t i = c * chunk; i < (c + 1) * chunk; ++i) sum += term(i);
        partial[c] = sum;
    });
    double total = 0;
    for (double p : partial) total += p;
    return total;
}

}  // namespace

double StateVector::probability_of_one(int q) const {
    const uint64_t bit = uint64_t{1} << q;
    const cplx* a = amps_.data();
    return chunked_sum(n_, [&](uint64_t i) { return (i & bit) ? std::norm(a[i]) : 0.0; });
}

void StateVector::collapse(int q, int value, double p) {
    const uint64_t bit = uint64_t{1} << q;
    const double scale = 1 / std::sqrt(p);
    const uint64_t keep = value == 1 ? bit : 0;
    cplx* a = amps_.data();
    for_range(size(), n_ >= kParallelQubits,
              [&](uint64_t i) { a[i] = (i & bit) == keep ? a[i] * scale : cplx(0); });
}

// Marginal of prob(i) over `qubits`. When the qubits are all n of them, each output gets
// exactly one term and the work is spread over the threads; otherwise the sums run in
// index order on one thread, so that they never depend on the thread count.
template <class Prob>
static std::vector<double> gather(int n, const std::vector<int>& qubits, Prob prob) {
    const uint64_t size = uint64_t{1} << n;
    std::vector<double> out(uint64_t{1} << qubits.size(), 0.0);
    bool identity = true;
    for (size_t k = 0; k < qubits.size(); ++k) identity = identity && qubits[k] == int(k);
    if (int(qubits.size()) == n) {
        const bool parallel = n >= kParallelQubits;
        if (identity) {
            for_range(size, parallel, [&](uint64_t i) { out[i] = prob(i); });
        } else {
            for_range(size, parallel, [&](uint64_t i) {
                uint64_t j = 0;
                for (size_t k = 0; k < qubits.size(); ++k) j |= ((i >> qubits[k]) & 1) << k;
                out[j] = prob(i);
            });
        }
        return out;
    }
    for (uint64_t i = 0; i < size; ++i) {
        uint64_t j = 0;
        if (identity) {
            j = i & (out.size() - 1);
        } else {
            for (size_t k = 0; k < qubits.size(); ++k) j |= ((i >> qubits[k]) & 1) << k;
        }
        out[j] += prob(i);
    }
    return out;
}

std::vector<double> StateVector::probabilities(const std::vector<int>& qubits) const {
    for (int q : qubits)
        if (q >= n_) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    return gather(n_, qubits, [&](uint64_t i) { return std::norm(amps_[i]); });
}

std::vector<std::pair<uint64_t, uint64_t>> sample_qubits(const StateVector& state,
                                                         const std::vector<int>& qubits,
                                                         uint64_t shots, Rng& rng) {
    if (int(qubits.size()) != state.num_qubits()) {
        const std::vector<double> probs = state.probabilities(qubits);
        return sample_outcomes(
            probs.size(), [&](uint64_t k) { return probs[k]; }, shots, rng);
    }
    for (int q : qubits)
        if (q >= state.num_qubits())
            throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    const cplx* a = state.data();
    // Index k of the draw has bit j = qubits[j]: amplitude index scatter(k).
    bool identity = true;
    for (size_t j = 0; j < qubits.size(); ++j) identity = identity && qubits[j] == int(j);
    auto scatter = [&](uint64_t k) {
        uint64_t i = 0;
        for (size_t j = 0; j < qubits.size(); ++j) i |= ((k >> j) & 1) << qubits[j];
        return i;
    };
    return identity ? sample_outcomes(
                          state.size(), [&](uint64_t k) { return std::norm(a[k]); }, shots, rng)
                    : sample_outcomes(
                          state.size(), [&](uint64_t k) { return std::norm(a[scatter(k)]); }, shots,
                          rng);
}

std::vector<double> marginal(const std::vector<double>& full, int n,
                             const std::vector<int>& qubits) {
    for (int q : qubits)
        if (q >= n) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    return gather(n, qubits, [&](uint64_t i) { return full[i]; });
}

}  // namespace kestrix
