#include "pauli.h"

#include <bit>
#include <cmath>

#include "errors.h"
#include "kernels.h"
#include "parallel.h"

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

// Sums of f(i) over [0, size) in fixed chunks, added in chunk order: the same result
// whatever the number of threads.
template <class F>
cplx chunked_sum(uint64_t size, bool parallel, F f) {
    const uint64_t chunks = parallel ? 64 : 1;
    std::vector<cplx> partial(chunks);
    for_range(chunks, parallel, [&](uint64_t c) {
        cplx sum = 0;
        for (uint64_t i = size * c / chunks, end = size * (c + 1) / chunks; i < end; ++i) sum += f(i);
        partial[c] = sum;
    });
    cplx total = 0;
    for (const cplx& p : partial) total += p;
    return total;
}

// <psi|P|psi>: P|i> = i^{#Y} (-1)^{|i & z|} |i ^ x>.
double term_value(const PauliString& p, const StateVector& state) {
    const cplx* a = state.data();
    const bool parallel = state.num_qubits() >= kParallelQubits;
    if (p.x == 0) {  // diagonal: probabilities with signs
        return chunked_sum(state.size(), parallel, [&](uint64_t i) {
                   const double w = std::norm(a[i]);
                   return cplx((std::popcount(i & p.z) & 1) ? -w : w);
               }).real();
    }
    const cplx sum = chunked_sum(state.size(), parallel, [&](uint64_t i) {
        const cplx v = std::conj(a[i ^ p.x]) * a[i];
        return (std::popcount(i & p.z) & 1) ? -v : v;
    });
    return (sum * i_power(std::popcount(p.x & p.z))).real();
}

void check_fits(const PauliSum& observable, const StateVector& state) {
    if (observable.num_qubits > state.num_qubits()) {
        throw IndexError("the observable acts on " + std::to_string(observable.num_qubits) +
                         " qubits but the state has " + std::to_string(state.num_qubits()));
    }
}

// Whether two strings agree on every qubit both act on, so one basis measures both.
bool same_basis(const PauliString& a, const PauliString& b) {
    const uint64_t shared = a.support() & b.support();
    return ((a.x ^ b.x) & shared) == 0 && ((a.z ^ b.z) & shared) == 0;
}

// The gates that turn the basis of `p` into the computational one: H for X, S^dagger
// then H for Y.
Circuit rotation_to_z(const PauliString& p) {
    Circuit c;
    for (uint64_t m = p.x; m; m &= m - 1) {
        const int q = std::countr_zero(m);
        if (p.z & bit(q)) c.append(make_gate(GateKind::S, {q}).daggered());
        c.append(make_gate(GateKind::H, {q}));
    }
    return c;
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

double expectation(const PauliSum& observable, const StateVector& state) {
    check_fits(observable, state);
    double total = 0;
    for (const PauliTerm& t : observable.terms) {
        total += t.pauli.support() == 0 ? t.coefficient : t.coefficient * term_value(t.pauli, state);
    }
    return total;
}

double sampled_expectation(const PauliSum& observable, const StateVector& state, uint64_t shots,
                           Rng& rng) {
    check_fits(observable, state);
    if (shots == 0) throw ValueError("shots must be positive");
    double total = 0;
    std::vector<PauliString> bases;
    std::vector<std::vector<const PauliTerm*>> groups;
    for (const PauliTerm& t : observable.terms) {
        if (t.pauli.support() == 0) {
            total += t.coefficient;
            continue;
        }
        size_t g = 0;
        while (g < bases.size() && !same_basis(bases[g], t.pauli)) ++g;
        if (g == bases.size()) {
            bases.emplace_back();
            groups.emplace_back();
        }
        bases[g].x |= t.pauli.x;
        bases[g].z |= t.pauli.z;
        groups[g].push_back(&t);
    }
    for (size_t g = 0; g < bases.size(); ++g) {
        StateVector rotated = state;
        rotated.apply(rotation_to_z(bases[g]));
        std::vector<int> qubits;
        for (uint64_t m = bases[g].support(); m; m &= m - 1) qubits.push_back(std::countr_zero(m));
        const std::vector<uint64_t> counts =
            sample_counts(rotated.probabilities(qubits), shots, rng);
        for (const PauliTerm* t : groups[g]) {
            uint64_t local = 0;  // the term's qubits as bits of a sampled outcome
            for (size_t k = 0; k < qubits.size(); ++k)
                if (t->pauli.support() & bit(qubits[k])) local |= bit(int(k));
            double sum = 0;
            for (uint64_t outcome = 0; outcome < counts.size(); ++outcome) {
                if (!counts[outcome]) continue;
                const double c = double(counts[outcome]);
                sum += (std::popcount(outcome & local) & 1) ? -c : c;
            }
            total += t->coefficient * sum / double(shots);
        }
    }
    return total;
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
