#include "kestrix/lib/run/pauli.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <span>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/base/target_clones.h"
#include "kestrix/lib/kernels/kernels.h"

namespace kestrix {

namespace {

uint64_t bit(int q) { return uint64_t{1} << q; }

void set_letter(PauliString& p, char letter, int qubit) {
    switch (letter) {
        case 'I': break;
        case 'X': p.x |= bit(qubit); break;
        case 'Y': p.x |= bit(qubit), p.z |= bit(qubit); break;
        case 'Z': p.z |= bit(qubit); break;
        default:
            throw ValueError(std::string("a Pauli label takes the letters I, X, Y and Z, got '") +
                             letter + "'");
    }
}

// i^k, the phase that a Pauli string's Y factors give (Y = i X Z).
cplx i_power(int k) {
    static constexpr cplx powers[] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    return powers[k & 3];
}

// Amplitudes are read in blocks of 2^kLowBits: within a block the sign (-1)^{|i & z|} is a
// table entry for the low bits times one sign for the block, so no inner loop counts bits.
constexpr int kLowBits = 10;
// Strings sharing an X mask are summed together, this many to a pass (their sign tables
// then stay in cache).
constexpr size_t kBatch = 64;

int parity(uint64_t v) { return std::popcount(v) & 1; }

// sum_j s[j] * w[j], in four independent sums (the loop runs at the rate of the adds).
double signed_sum(const double* s, const double* w, uint64_t size) {
    double t[4] = {0, 0, 0, 0};
    uint64_t j = 0;
    for (; j + 4 <= size; j += 4)
        for (int k = 0; k < 4; ++k) t[k] += s[j + k] * w[j + k];
    for (; j < size; ++j) t[0] += s[j] * w[j];
    return (t[0] + t[1]) + (t[2] + t[3]);
}

// <psi|P|psi> for strings that share the mask x, in one pass over the amplitudes:
// P|i> = i^{#Y} (-1)^{|i & z|} |i ^ x>, so each value is sum_i conj(psi[i ^ x]) psi[i]
// with the string's signs, and conj(psi[i ^ x]) psi[i] is formed once for all of them.
// Blocks are summed in fixed chunks, added in order: the same values on any number of
// threads. A pass over a wide state is long, so it polls between rounds of chunks.
// In single precision the products are formed and summed in double.
template <class C>
void shared_x_values(uint64_t x, std::span<const uint64_t> zs, const StateVector& state, const C* a,
                     double* out, WorkPoller& poller) {
    const int n = state.num_qubits();
    const int low = std::min(n, kLowBits);
    const uint64_t block = uint64_t{1} << low, blocks = state.size() >> low;
    const uint64_t x_low = x & (block - 1), x_high = x & ~(block - 1);
    const size_t m = zs.size();
    std::vector<double> sign(m * block);
    for (size_t k = 0; k < m; ++k)
        for (uint64_t j = 0; j < block; ++j) sign[k * block + j] = parity(j & zs[k]) ? -1.0 : 1.0;

    const bool parallel = n >= kParallelQubits;
    const uint64_t chunks = parallel ? std::min<uint64_t>(64, blocks) : 1;
    std::vector<cplx> partial(chunks * m);
    auto sum_chunk = [&](uint64_t c) {
        std::vector<double> re(block), im(block);
        cplx* sums = partial.data() + c * m;
        for (uint64_t b = blocks * c / chunks, end = blocks * (c + 1) / chunks; b < end; ++b) {
            const uint64_t base = b << low;
            const C* v = a + base;
            const C* u = a + (base ^ x_high);
            for (uint64_t j = 0; j < block; ++j) {  // conj(u[j ^ x]) * v[j]
                const cplx w(u[j ^ x_low]), vj(v[j]);
                re[j] = w.real() * vj.real() + w.imag() * vj.imag();
                im[j] = w.real() * vj.imag() - w.imag() * vj.real();
            }
            for (size_t k = 0; k < m; ++k) {
                const double s = parity(base & zs[k]) ? -1.0 : 1.0;
                const double* table = sign.data() + k * block;
                const double r = signed_sum(table, re.data(), block);
                const double i = x == 0 ? 0.0 : signed_sum(table, im.data(), block);
                sums[k] += cplx(s * r, s * i);
            }
        }
    };
    const uint64_t per_round = std::max<uint64_t>(1, chunks / 8);
    for (uint64_t first = 0; first < chunks; first += per_round) {
        const uint64_t count = std::min(per_round, chunks - first);
        for_range(count, parallel, [&](uint64_t c) { sum_chunk(first + c); });
        poller.done((state.size() * count / chunks) * (m + 2));
    }
    for (size_t k = 0; k < m; ++k) {
        cplx total = 0;
        for (uint64_t c = 0; c < chunks; ++c) total += partial[c * m + k];
        out[k] = (total * i_power(std::popcount(x & zs[k]))).real();
    }
}

// <psi|P|psi> for every term, in order; identity terms are 1 exactly.
std::vector<double> term_values(const PauliSum& observable, const StateVector& state,
                                const InterruptCheck& interrupt) {
    WorkPoller poller(interrupt);
    std::vector<double> values(observable.terms.size(), 1.0);
    std::map<uint64_t, std::vector<size_t>> by_x;
    for (size_t k = 0; k < observable.terms.size(); ++k)
        if (observable.terms[k].pauli.support() != 0)
            by_x[observable.terms[k].pauli.x].push_back(k);
    for (const auto& [x, indices] : by_x) {
        for (size_t start = 0; start < indices.size(); start += kBatch) {
            const size_t count = std::min(kBatch, indices.size() - start);
            std::vector<uint64_t> zs(count);
            for (size_t k = 0; k < count; ++k) zs[k] = observable.terms[indices[start + k]].pauli.z;
            std::vector<double> batch(count);
            state.visit(
                [&](const auto* a) { shared_x_values(x, zs, state, a, batch.data(), poller); });
            for (size_t k = 0; k < count; ++k) values[indices[start + k]] = batch[k];
        }
    }
    return values;
}

void check_fits(const PauliSum& observable, const StateVector& state) {
    if (observable.num_qubits > state.num_qubits()) {
        throw IndexError("the observable acts on " + std::to_string(observable.num_qubits) +
                         " qubits but the state has " + std::to_string(state.num_qubits()));
    }
}

}  // namespace

PauliString PauliString::from_label(std::string_view label) {
    if (label.size() > size_t(kMaxPauliQubits)) {
        throw ValueError("a Pauli label has at most " + std::to_string(kMaxPauliQubits) +
                         " letters, got " + std::to_string(label.size()));
    }
    PauliString p;
    const int n = int(label.size());
    for (int k = 0; k < n; ++k) set_letter(p, label[k], n - 1 - k);
    return p;
}

PauliString PauliString::from_sparse(std::string_view letters, std::span<const int> qubits) {
    if (letters.size() != qubits.size()) {
        throw ValueError("a sparse Pauli term needs one qubit per letter, got " +
                         std::to_string(letters.size()) + " letters and " +
                         std::to_string(qubits.size()) + " qubits");
    }
    check_distinct_qubits(qubits, "Pauli term");
    PauliString p;
    for (size_t k = 0; k < qubits.size(); ++k) {
        if (qubits[k] >= kMaxPauliQubits) {
            throw ValueError("a Pauli term acts on qubits below " +
                             std::to_string(kMaxPauliQubits) + ", got " +
                             std::to_string(qubits[k]));
        }
        set_letter(p, letters[k], qubits[k]);
    }
    return p;
}

std::string PauliString::label(int width) const {
    std::string out;
    for (int q = width - 1; q >= 0; --q) {
        const bool has_x = x & bit(q), has_z = z & bit(q);
        out += has_x ? (has_z ? 'Y' : 'X') : (has_z ? 'Z' : 'I');
    }
    return out;
}

int PauliString::width() const { return 64 - std::countl_zero(support()); }

double expectation(const PauliSum& observable, const StateVector& state,
                   const InterruptCheck& interrupt) {
    check_fits(observable, state);
    const std::vector<double> values = term_values(observable, state, interrupt);
    double total = 0;
    for (size_t k = 0; k < values.size(); ++k) total += observable.terms[k].coefficient * values[k];
    return total;
}

double sampled_expectation(const PauliSum& observable, const StateVector& state, uint64_t shots,
                           Rng& rng, const InterruptCheck& interrupt) {
    check_fits(observable, state);
    if (shots == 0) throw ValueError("shots must be positive");
    const std::vector<double> values = term_values(observable, state, interrupt);
    double total = 0;
    for (size_t k = 0; k < values.size(); ++k) {
        const PauliTerm& t = observable.terms[k];
        if (t.pauli.support() == 0) {
            total += t.coefficient;
            continue;
        }
        // Measuring the string reads +1 with probability (1 + <P>) / 2.
        const double plus = std::clamp((1 + values[k]) / 2, 0.0, 1.0);
        const std::vector<uint64_t> counts = sample_counts({plus, 1 - plus}, shots, rng);
        total += t.coefficient * (double(counts[0]) - double(counts[1])) / double(shots);
    }
    return total;
}

namespace {

// Blocks of 2^kApplyBits amplitudes of H a: every term adds its partner block there, read
// in place, so a block of the result stays in L1 cache while the terms go by.
constexpr int kApplyBits = 8;

// Writes (H a) over the blocks [first, last) into b, and each block's Re<a|H' a> into dots,
// H' being H without its identity terms (whose coefficients sum to `identity`: they count
// exactly, as in expectation()). P|i> = i^|x & z| (-1)^|i & z| |i ^ x>, so (P a)[j] reads
// a[j ^ x] with the sign of j ^ x: one sign for the block's high bits times a table entry
// for its low bits.
KESTRIX_WIDEST_VECTORS
void observable_blocks(const PauliSum& observable, const cplx* phase, const double* sign, int low,
                       double identity, const cplx* a, cplx* b, double* dots, uint64_t first,
                       uint64_t last) {
    const uint64_t block = uint64_t{1} << low;
    std::vector<double> partner(2 * block), ones(block, 1.0);
    for (uint64_t blk = first; blk < last; ++blk) {
        const uint64_t base = blk << low;
        double* out = reinterpret_cast<double*>(b + base);
        std::fill_n(out, 2 * block, 0.0);
        for (size_t k = 0; k < observable.terms.size(); ++k) {
            const PauliString& p = observable.terms[k].pauli;
            if (p.support() == 0) continue;
            const uint64_t x_low = p.x & (block - 1), source = base ^ (p.x & ~(block - 1));
            const double* u = reinterpret_cast<const double*>(a + source);
            const double* s = sign + k * block;
            if (x_low != 0) {  // the partner block permuted into place, signs applied
                for (uint64_t j = 0; j < block; ++j) {
                    const uint64_t i = j ^ x_low;
                    partner[2 * j] = s[i] * u[2 * i];
                    partner[2 * j + 1] = s[i] * u[2 * i + 1];
                }
                u = partner.data();
                s = ones.data();
            }
            const double flip = std::popcount(source & p.z) & 1 ? -1.0 : 1.0;
            const double fr = flip * phase[k].real(), fi = flip * phase[k].imag();
            for (uint64_t j = 0; j < block; ++j) {
                const double ur = s[j] * u[2 * j], ui = s[j] * u[2 * j + 1];
                out[2 * j] += fr * ur - fi * ui;
                out[2 * j + 1] += fr * ui + fi * ur;
            }
        }
        const double* in = reinterpret_cast<const double*>(a + base);
        double dot[4] = {0, 0, 0, 0};
        uint64_t j = 0;
        for (; j + 4 <= 2 * block; j += 4)
            for (int l = 0; l < 4; ++l) dot[l] += in[j + l] * out[j + l];
        for (; j < 2 * block; ++j) dot[0] += in[j] * out[j];
        dots[blk] = (dot[0] + dot[1]) + (dot[2] + dot[3]);
        for (j = 0; j < 2 * block; ++j) out[j] += identity * in[j];
    }
}

}  // namespace

double apply_observable(const PauliSum& observable, const StateVector& in, StateVector& out) {
    check_fits(observable, in);
    if (out.num_qubits() != in.num_qubits())
        throw ValueError("apply_observable: states of different widths");
    const int low = std::min(in.num_qubits(), kApplyBits);
    const uint64_t block = uint64_t{1} << low, blocks = in.size() >> low;
    std::vector<cplx> phase;
    std::vector<double> sign(observable.terms.size() * block);
    double identity = 0;
    for (size_t k = 0; k < observable.terms.size(); ++k) {
        const PauliString& p = observable.terms[k].pauli;
        if (p.support() == 0) identity += observable.terms[k].coefficient;
        phase.push_back(observable.terms[k].coefficient * i_power(std::popcount(p.x & p.z)));
        for (uint64_t j = 0; j < block; ++j)
            sign[k * block + j] = std::popcount(j & p.z) & 1 ? -1.0 : 1.0;
    }
    // Per-block sums added in block order: the same value on any number of threads.
    std::vector<double> dots(blocks);
    for_subranges(blocks, in.num_qubits() >= kParallelQubits, [&](uint64_t first, uint64_t last) {
        observable_blocks(observable, phase.data(), sign.data(), low, identity, in.data(),
                          out.data(), dots.data(), first, last);
    });
    double value = identity;
    for (double d : dots) value += d;
    return value;
}

std::vector<cplx> pauli_matrix(const PauliSum& observable) {
    const int n = observable.num_qubits;
    if (n > 14) throw ValueError("a dense matrix of at most 14 qubits, got " + std::to_string(n));
    const uint64_t dim = uint64_t{1} << n;
    std::vector<cplx> m(dim * dim);
    for (const PauliTerm& t : observable.terms) {
        const cplx phase = t.coefficient * i_power(std::popcount(t.pauli.x & t.pauli.z));
        for (uint64_t i = 0; i < dim; ++i) {
            const cplx v = (std::popcount(i & t.pauli.z) & 1) ? -phase : phase;
            m[(i ^ t.pauli.x) * dim + i] += v;
        }
    }
    return m;
}

}  // namespace kestrix
