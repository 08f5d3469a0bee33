#include "kestrix/lib/ir/gate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

struct KindInfo {
    const char* name;
    int arity;
    int params;
};

constexpr KindInfo kKinds[] = {
    {"I", 1, 0},       {"H", 1, 0},        {"X", 1, 0},       {"Y", 1, 0},        {"Z", 1, 0},
    {"RX", 1, 1},      {"RY", 1, 1},       {"RZ", 1, 1},      {"U1", 1, 1},       {"U2", 1, 2},
    {"U3", 1, 3},      {"CNOT", 2, 0},     {"CZ", 2, 0},      {"CR", 2, 1},       {"SWAP", 2, 0},
    {"TOFFOLI", 3, 0}, {"BARRIER", -1, 0}, {"MEASURE", 1, 0}, {"UNITARY", -1, 0}, {"S", 1, 0},
    {"T", 1, 0},       {"SX", 1, 0},
};

const KindInfo& info(GateKind kind) { return kKinds[static_cast<int>(kind)]; }

}  // namespace

const char* gate_name(GateKind kind) { return info(kind).name; }
int gate_arity(GateKind kind) { return info(kind).arity; }
int gate_param_count(GateKind kind) { return info(kind).params; }

void check_distinct_qubits(std::span<const int> qubits, const char* what) {
    for (int q : qubits) {
        if (q < 0) {
            throw ValueError(std::string(what) + ": qubit index must be non-negative, got " +
                             std::to_string(q));
        }
        if (q >= kMaxQubits) {
            throw ValueError(std::string(what) + ": qubit index " + std::to_string(q) +
                             " is too large (the largest is " + std::to_string(kMaxQubits - 1) +
                             ")");
        }
    }
    // Pairwise for the short lists of gates; sorted for long ones (a barrier over every
    // qubit), which would otherwise cost a quadratic number of comparisons.
    auto repeated = [&](int q) {
        throw ValueError(std::string(what) + ": qubit " + std::to_string(q) +
                         " is used more than once");
    };
    if (qubits.size() <= 32) {
        for (size_t i = 0; i < qubits.size(); ++i)
            for (size_t j = 0; j < i; ++j)
                if (qubits[j] == qubits[i]) repeated(qubits[i]);
        return;
    }
    std::vector<int> sorted(qubits.begin(), qubits.end());
    std::sort(sorted.begin(), sorted.end());
    const auto twin = std::adjacent_find(sorted.begin(), sorted.end());
    if (twin != sorted.end()) repeated(*twin);
}

Gate make_gate(GateKind kind, QubitList qubits, ParamList params) {
    if (kind == GateKind::UNITARY) throw ValueError("a UNITARY gate is made from its matrix");
    const KindInfo& k = info(kind);
    if (k.arity >= 0 && static_cast<int>(qubits.size()) != k.arity) {
        throw ValueError(std::string(k.name) + " takes " + std::to_string(k.arity) +
                         " qubit(s), got " + std::to_string(qubits.size()));
    }
    if (static_cast<int>(params.size()) != k.params) {
        throw ValueError(std::string(k.name) + " takes " + std::to_string(k.params) +
                         " angle(s), got " + std::to_string(params.size()));
    }
    check_distinct_qubits(qubits, k.name);
    for (double p : params) {
        if (!std::isfinite(p)) {
            throw ValueError(std::string(k.name) + ": angle must be finite, got " +
                             std::to_string(p));
        }
    }
    Gate g;
    g.kind = kind;
    g.qubits = std::move(qubits);
    g.params = std::move(params);
    return g;
}

Gate make_measure(int qubit, int cbit) {
    Gate g = make_gate(GateKind::MEASURE, {qubit});
    if (cbit < 0) {
        throw ValueError("MEASURE: classical bit must be non-negative, got " +
                         std::to_string(cbit));
    }
    if (cbit >= kMaxQubits) {
        throw ValueError("MEASURE: classical bit index " + std::to_string(cbit) +
                         " is too large (the largest is " + std::to_string(kMaxQubits - 1) + ")");
    }
    g.cbit = cbit;
    return g;
}

Gate make_unitary(QubitList qubits, std::vector<std::complex<double>> matrix) {
    const int k = int(qubits.size());
    if (k < 1 || k > kMaxUnitaryQubits) {
        throw ValueError("UNITARY acts on 1 to " + std::to_string(kMaxUnitaryQubits) +
                         " qubits, got " + std::to_string(k));
    }
    check_distinct_qubits(qubits, "UNITARY");
    const size_t dim = size_t{1} << k;
    if (matrix.size() != dim * dim) {
        throw ValueError("UNITARY on " + std::to_string(k) + " qubit(s) needs a " +
                         std::to_string(dim) + "x" + std::to_string(dim) + " matrix, got " +
                         std::to_string(matrix.size()) + " entries");
    }
    for (const auto& z : matrix) {
        if (!std::isfinite(z.real()) || !std::isfinite(z.imag()))
            throw ValueError("UNITARY: the matrix must be finite");
    }
    // Largest entry of U U^dagger - I (zero exactly when U^dagger U - I is): rows against
    // rows, so the inner loop reads memory in order.
    double worst = 0;
    for (size_t r = 0; r < dim; ++r) {
        const std::complex<double>* a = matrix.data() + r * dim;
        for (size_t c = r; c < dim; ++c) {
            const std::complex<double>* b = matrix.data() + c * dim;
            double re = 0, im = 0;
            for (size_t i = 0; i < dim; ++i) {
                re += a[i].real() * b[i].real() + a[i].imag() * b[i].imag();
                im += a[i].imag() * b[i].real() - a[i].real() * b[i].imag();
            }
            worst = std::max(worst, std::hypot(re - (r == c ? 1.0 : 0.0), im));
        }
    }
    if (worst > 1e-8) {
        char text[96];
        std::snprintf(text, sizeof text, "%.3g", worst);
        throw ValueError(std::string("UNITARY: the matrix is not unitary (U U^dagger differs "
                                     "from the identity by ") +
                         text + ")");
    }
    Gate g;
    g.kind = GateKind::UNITARY;
    g.qubits = std::move(qubits);
    g.matrix = std::make_shared<const std::vector<std::complex<double>>>(std::move(matrix));
    return g;
}

Gate make_symbolic_gate(GateKind kind, QubitList qubits, ParamList params, SymbolList symbols) {
    for (const Symbol& s : symbols) {
        if (s.slot < 0 || s.slot >= int(params.size()))
            throw ValueError(std::string(gate_name(kind)) + " has no angle " +
                             std::to_string(s.slot));
        if (!std::isfinite(s.expr.scale) || !std::isfinite(s.expr.offset))
            throw ValueError(std::string(gate_name(kind)) + ": angle must be finite");
        if (!s.expr.param) throw ValueError(std::string(gate_name(kind)) + ": no parameter");
        for (const Symbol& t : symbols)
            if (&t != &s && t.slot == s.slot)
                throw ValueError(std::string(gate_name(kind)) + ": angle " +
                                 std::to_string(s.slot) + " given twice");
        params[s.slot] = 0;
    }
    Gate g = make_gate(kind, std::move(qubits), std::move(params));
    if (!symbols.empty()) g.symbols = std::make_shared<const SymbolList>(std::move(symbols));
    return g;
}

Gate bound(const Gate& gate, const ParameterValues& values) {
    if (!gate.symbols) return gate;
    Gate g = gate;
    SymbolList left;
    for (const Symbol& s : *gate.symbols) {
        const std::optional<double> v = values(*s.expr.param);
        if (!v) {
            left.push_back(s);
            continue;
        }
        const double angle = s.expr.at(*v);
        if (!std::isfinite(angle)) {
            throw ValueError(std::string(gate_name(g.kind)) + ": the value of parameter '" +
                             s.expr.param->name + "' makes an angle that is not finite");
        }
        g.params[s.slot] = angle;
    }
    g.symbols = left.empty() ? nullptr : std::make_shared<const SymbolList>(std::move(left));
    return g;
}

bool same_matrix(const Gate& a, const Gate& b) {
    return a.matrix == b.matrix || (a.matrix && b.matrix && *a.matrix == *b.matrix);
}

std::vector<int> Gate::all_qubits() const {
    std::vector<int> all(qubits.begin(), qubits.end());
    all.insert(all.end(), controls.begin(), controls.end());
    return all;
}

Gate Gate::controlled(const std::vector<int>& extra) const {
    if (!is_unitary()) {
        if (kind == GateKind::BARRIER) return *this;
        throw ValueError("a measurement cannot be controlled");
    }
    Gate g = *this;
    g.controls.append(extra.begin(), extra.end());
    for (int c : extra) {
        if (std::find(qubits.begin(), qubits.end(), c) != qubits.end()) {
            throw ValueError("control qubit " + std::to_string(c) + " is also a target of " +
                             gate_name(kind));
        }
    }
    check_distinct_qubits(g.controls, "control");
    return g;
}

bool operator==(const Gate& a, const Gate& b) {
    return a.kind == b.kind && a.dagger == b.dagger && a.qubits == b.qubits &&
           a.controls == b.controls && a.params == b.params && a.cbit == b.cbit &&
           same_matrix(a, b) &&
           (a.symbols == b.symbols || (a.symbols && b.symbols && *a.symbols == *b.symbols));
}

size_t hash_value(const Gate& g) {
    // FNV-1a over the fields operator== compares; -0.0 hashes as 0.0, which it equals.
    uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](uint64_t v) {
        h ^= v;
        h *= 0x100000001b3ULL;
    };
    mix(uint64_t(g.kind));
    mix(g.dagger);
    mix(uint64_t(int64_t(g.cbit)));
    for (const auto* list : {&g.qubits, &g.controls}) {
        mix(list->size());
        for (int q : *list) mix(uint64_t(q));
    }
    auto mix_real = [&mix](double x) { mix(x == 0 ? 0 : std::bit_cast<uint64_t>(x)); };
    for (double p : g.params) mix_real(p);
    if (g.symbols) {
        for (const Symbol& s : *g.symbols) {
            mix(uint64_t(s.slot));
            mix(s.expr.param->id);
            mix_real(s.expr.scale);
            mix_real(s.expr.offset);
        }
    }
    if (g.matrix) {
        for (const std::complex<double>& z : *g.matrix) {
            mix_real(z.real());
            mix_real(z.imag());
        }
    }
    return size_t(h);
}

const ParamExpr* Gate::symbol_at(int slot) const {
    if (symbols)
        for (const Symbol& s : *symbols)
            if (s.slot == slot) return &s.expr;
    return nullptr;
}

Gate Gate::daggered() const {
    if (kind == GateKind::MEASURE) throw ValueError("a measurement has no inverse");
    Gate g = *this;
    g.dagger = !g.dagger;
    return g;
}

}  // namespace kestrix
