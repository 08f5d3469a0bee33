#include "kestrix/lib/statevector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "kestrix/lib/blocking.h"
#include "kestrix/lib/errors.h"
#include "kestrix/lib/fusion.h"
#include "kestrix/lib/kernels.h"
#include "kestrix/lib/memory.h"
#include "kestrix/lib/parallel.h"
#include "kestrix/lib/schedule.h"

namespace kestrix {

void check_fits_in_memory(int n) {
    // Every run checks: the message is only spelled out for a state that does not fit.
    const double bytes = std::ldexp(static_cast<double>(sizeof(cplx)), n);
    if (n >= 0 && n <= 60 && bytes <= physical_memory()) return;
    const std::string what = "a state of " + std::to_string(n) + " qubits";
    // Beyond 60 qubits the index arithmetic overflows, whatever the memory.
    if (n < 0 || n > 60) {
        throw MemoryError(what + " needs 2**" + std::to_string(n + 4) +
                          " bytes, more than any machine's memory");
    }
    check_memory(bytes, what);
}

StateVector::StateVector(int n, const InterruptCheck& interrupt) : n_(n) {
    check_fits_in_memory(n);
    amps_.resize(size());
    reset(interrupt);
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

// A circuit lowered once for an n-qubit state, ready to run on any number of states.
class Plan {
  public:
    Plan(const Circuit& circuit, int n, const InterruptCheck& interrupt)
        : n_(n), interrupt_(interrupt) {
        if (circuit.has_measurement())
            throw ValueError("a state cannot be evolved through a measurement");
        if (circuit.width() > n) {
            throw IndexError("qubit " + std::to_string(circuit.width() - 1) +
                             " is outside the state");
        }
        plan_ = make_schedule(circuit, n, true, interrupt);
        if (n >= kFuseMinQubits) plan_ = fuse(plan_);
        segments_ = segment(plan_, n);
    }

    void run(cplx* amps) {
        for (const Segment& s : segments_) {
            apply_segment(plan_, s, amps, n_, interrupt_);
            work_ += (uint64_t{1} << n_) * s.step_count();
            if (interrupt_ && work_ >= kPollWork) {
                work_ = 0;
                if (interrupt_()) throw Interrupted();
            }
        }
    }

  private:
    int n_;
    const InterruptCheck& interrupt_;
    Schedule plan_;
    std::vector<Segment> segments_;
    uint64_t work_ = 0;
};

}  // namespace

void StateVector::apply(const Circuit& circuit, const InterruptCheck& interrupt) {
    Plan(circuit, n_, interrupt).run(data());
}

std::vector<cplx> circuit_matrix(const Circuit& circuit, int n, const InterruptCheck& interrupt) {
    check_memory(std::ldexp(double(sizeof(cplx)), 2 * n),
                 "the matrix of a circuit on " + std::to_string(n) + " qubits");
    Plan plan(circuit, n, interrupt);
    const uint64_t dim = uint64_t{1} << n;
    std::vector<cplx> u(dim * dim);
    StateVector column(n);
    // Column j is the image of basis state j.
    for (uint64_t j = 0; j < dim; ++j) {
        if (interrupt && interrupt()) throw Interrupted();
        std::fill(column.data(), column.data() + dim, cplx(0));
        column.data()[j] = 1;
        plan.run(column.data());
        for (uint64_t i = 0; i < dim; ++i) u[i * dim + j] = column.data()[i];
    }
    return u;
}

namespace {

// Sums over the state are taken chunk by chunk, each chunk in index order, and the
// chunks' sums added in chunk order: the result is the same whatever the thread count,
// so a batch running a program on one thread matches the same program run alone.
constexpr int kChunkQubits = 12;

template <class Term>
double chunked_sum(int n, Term term) {
    const int chunk_qubits = std::min(n, kChunkQubits);
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

std::vector<double> marginal(const std::vector<double>& full, int n,
                             const std::vector<int>& qubits) {
    for (int q : qubits)
        if (q >= n) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    return gather(n, qubits, [&](uint64_t i) { return full[i]; });
}

}  // namespace kestrix
