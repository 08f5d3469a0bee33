#include "kestrix/lib/run/statevector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <type_traits>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/base/target_clones.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/run/sampling.h"

namespace kestrix {

void check_fits_in_memory(int n, Precision precision) {
    // Every run checks: the message is only spelled out for a state that does not fit.
    const int width = precision == Precision::Single ? 3 : 4;  // log2 of bytes per amplitude
    const double bytes = std::ldexp(1.0, n + width);
    if (n >= 0 && n <= 60 && bytes <= usable_memory()) return;
    const std::string what = "a state of " + std::to_string(n) + " qubits";
    // Beyond 60 qubits the index arithmetic overflows, whatever the memory.
    if (n < 0 || n > 60) {
        throw MemoryError(what + " needs 2**" + std::to_string(int64_t{n} + width) +
                          " bytes, more than any machine's memory");
    }
    check_memory(bytes, what);
}

StateVector::StateVector(int n, const InterruptCheck& interrupt, Precision precision)
    : n_(n), precision_(precision) {
    check_fits_in_memory(n, precision);
    if (single()) {
        single_.resize(size());
    } else {
        amps_.resize(size());
    }
    reset(interrupt);
}

void StateVector::refuse_single() {
    throw ValueError("this operation does not support precision='single' states");
}

bool StateVector::is_all_zero() const {
    return visit([&](const auto* a) {
        using C = std::remove_cvref_t<decltype(*a)>;
        return a[0] == C(1) && std::all_of(a + 1, a + size(), [](const C& x) { return x == C(0); });
    });
}

bool operator==(const StateVector& a, const StateVector& b) {
    return a.n_ == b.n_ && a.precision_ == b.precision_ &&
           std::equal(a.amps_.begin(), a.amps_.end(), b.amps_.begin()) &&
           std::equal(a.single_.begin(), a.single_.end(), b.single_.begin());
}

namespace {

template <class C>
int checked_width(std::span<const C> amplitudes, double tolerance, const char* tolerance_text) {
    const size_t size = amplitudes.size();
    if (size == 0 || (size & (size - 1)) != 0) {
        throw ValueError("a state vector needs a power-of-two length, got " + std::to_string(size));
    }
    double sum = 0;
    for (const C& a : amplitudes) {
        if (!std::isfinite(a.real()) || !std::isfinite(a.imag()))
            throw ValueError("a state vector must have finite amplitudes");
        sum += std::norm(std::complex<double>(a));
    }
    if (std::abs(std::sqrt(sum) - 1) > tolerance) {
        throw ValueError(std::string("a state vector must have norm 1 (within ") + tolerance_text +
                         "), got " + std::to_string(std::sqrt(sum)));
    }
    return std::countr_zero(size);
}

}  // namespace

StateVector StateVector::from_amplitudes(std::span<const cplx> amplitudes) {
    StateVector state(checked_width(amplitudes, 1e-8, "1e-8"));
    std::copy(amplitudes.begin(), amplitudes.end(), state.amps_.begin());
    return state;
}

StateVector StateVector::from_amplitudes(std::span<const cfloat> amplitudes) {
    StateVector state(checked_width(amplitudes, 1e-4, "1e-4"), {}, Precision::Single);
    std::copy(amplitudes.begin(), amplitudes.end(), state.single_.begin());
    return state;
}

void StateVector::reset(const InterruptCheck& interrupt) {
    // On every thread, a slice at a time with a poll between slices: a state of 28 qubits
    // is 4 GiB to touch.
    visit([&](auto* a) {
        using C = std::remove_cvref_t<decltype(*a)>;
        for (uint64_t slice = 0; slice < size(); slice += kPollWork) {
            if (slice && interrupt && interrupt()) throw Interrupted();
            const uint64_t count = std::min(size() - slice, kPollWork);
            for_subranges(count, n_ >= kParallelQubits, [&](uint64_t begin, uint64_t end) {
                std::fill(a + slice + begin, a + slice + end, C(0));
            });
        }
        a[0] = 1;
    });
}

namespace {

// Sums over the state are taken chunk by chunk, each chunk in index order, and the
// chunks' sums added in chunk order: the result is the same whatever the thread count,
// so a batch running a program on one thread matches the same program run alone. These
// chunks fix the order of additions, not what sits in cache (that is blocking.h's
// kChunkQubits): changing their size would change sums in their last bits.
constexpr int kSumChunkQubits = 12;

// |a|^2 in double, whatever the amplitude's precision: sums accumulate in double.
inline double norm2(const cplx& a) { return std::norm(a); }
inline double norm2(const cfloat& a) { return std::norm(cplx(a)); }

// out[i] = |a[i]|^2 over a run of amplitudes, in the widest vectors this CPU has (a sweep
// writes every row's probabilities so).
KESTRIX_WIDEST_VECTORS void squared_norms(const cplx* a, uint64_t count, double* out) {
    const double* parts = reinterpret_cast<const double*>(a);
    for (uint64_t i = 0; i < count; ++i)
        out[i] = parts[2 * i] * parts[2 * i] + parts[2 * i + 1] * parts[2 * i + 1];
}

KESTRIX_WIDEST_VECTORS void squared_norms(const cfloat* a, uint64_t count, double* out) {
    const float* parts = reinterpret_cast<const float*>(a);
    for (uint64_t i = 0; i < count; ++i) {
        const double re = parts[2 * i], im = parts[2 * i + 1];
        out[i] = re * re + im * im;
    }
}

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
    return visit([&](const auto* a) {
        return chunked_sum(n_, [&](uint64_t i) { return (i & bit) ? norm2(a[i]) : 0.0; });
    });
}

void StateVector::collapse(int q, int value, double p) {
    const uint64_t bit = uint64_t{1} << q;
    const double scale = 1 / std::sqrt(p);
    const uint64_t keep = value == 1 ? bit : 0;
    visit([&](auto* a) {
        using C = std::remove_cvref_t<decltype(*a)>;
        const typename C::value_type s(scale);
        for_range(size(), n_ >= kParallelQubits,
                  [&](uint64_t i) { a[i] = (i & bit) == keep ? a[i] * s : C(0); });
    });
}

// Marginal of prob(i) over `qubits`. When the qubits are all n of them, each output gets
// exactly one term and the work is spread over the threads; otherwise the sums run in
// index order on one thread, so that they never depend on the thread count.
template <class Prob>
static void gather(int n, const std::vector<int>& qubits, Prob prob, double* out) {
    const uint64_t size = uint64_t{1} << n, out_size = uint64_t{1} << qubits.size();
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
        return;
    }
    std::fill_n(out, out_size, 0.0);
    for (uint64_t i = 0; i < size; ++i) {
        uint64_t j = 0;
        if (identity) {
            j = i & (out_size - 1);
        } else {
            for (size_t k = 0; k < qubits.size(); ++k) j |= ((i >> qubits[k]) & 1) << k;
        }
        out[j] += prob(i);
    }
}

std::vector<double> StateVector::probabilities(const std::vector<int>& qubits) const {
    std::vector<double> out(uint64_t{1} << qubits.size());
    probabilities(qubits, out.data());
    return out;
}

void StateVector::probabilities(const std::vector<int>& qubits, double* out) const {
    for (int q : qubits)
        if (q >= n_) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    bool in_order = int(qubits.size()) == n_;
    for (size_t k = 0; k < qubits.size(); ++k) in_order = in_order && qubits[k] == int(k);
    visit([&](const auto* a) {
        if (in_order) {
            for_subranges(size(), n_ >= kParallelQubits, [&](uint64_t begin, uint64_t end) {
                squared_norms(a + begin, end - begin, out + begin);
            });
            return;
        }
        gather(
            n_, qubits, [&](uint64_t i) { return norm2(a[i]); }, out);
    });
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
    // Index k of the draw has bit j = qubits[j]: amplitude index scatter(k).
    bool identity = true;
    for (size_t j = 0; j < qubits.size(); ++j) identity = identity && qubits[j] == int(j);
    auto scatter = [&](uint64_t k) {
        uint64_t i = 0;
        for (size_t j = 0; j < qubits.size(); ++j) i |= ((k >> j) & 1) << qubits[j];
        return i;
    };
    return state.visit([&](const auto* a) {
        return identity ? sample_outcomes(
                              state.size(), [&](uint64_t k) { return norm2(a[k]); }, shots, rng)
                        : sample_outcomes(
                              state.size(), [&](uint64_t k) { return norm2(a[scatter(k)]); }, shots,
                              rng);
    });
}

std::vector<double> marginal(const std::vector<double>& full, int n,
                             const std::vector<int>& qubits) {
    for (int q : qubits)
        if (q >= n) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    std::vector<double> out(uint64_t{1} << qubits.size());
    gather(
        n, qubits, [&](uint64_t i) { return full[i]; }, out.data());
    return out;
}

}  // namespace kestrix
