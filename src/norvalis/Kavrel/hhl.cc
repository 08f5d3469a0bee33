#include "hhl.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>
#include <utility>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/ir/encode.h"

namespace norvalis::kavrel {

namespace {

using kestrix::Circuit;
using kestrix::GateKind;
using kestrix::make_gate;
using kestrix::ValueError;

constexpr double kPi = std::numbers::pi;

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// |k> -> sum_x e^(2 pi i k x / 2^m) |x> / 2^(m/2), qubits[0] least significant.
Circuit fourier(const std::vector<int>& qubits) {
    const int m = int(qubits.size());
    Circuit c;
    for (int j = m - 1; j >= 0; --j) {
        c.append(make_gate(GateKind::H, {qubits[j]}));
        for (int l = j - 1; l >= 0; --l)
            c.append(make_gate(GateKind::CR, {qubits[l], qubits[j]}, {kPi / double(1 << (j - l))}));
    }
    for (int i = 0; i < m / 2; ++i)
        c.append(make_gate(GateKind::SWAP, {qubits[i], qubits[m - 1 - i]}));
    return c;
}

// V diag(e^(i w phase)) V^dagger: exp(i H phase) from H's eigensystem.
std::vector<cplx> evolution(const Eigensystem& e, double phase) {
    const size_t d = e.values.size();
    std::vector<cplx> u(d * d, cplx(0));
    for (size_t j = 0; j < d; ++j) {
        const cplx p = std::polar(1.0, e.values[j] * phase);
        for (size_t r = 0; r < d; ++r) {
            const cplx vr = e.vectors[r * d + j] * p;
            for (size_t c = 0; c < d; ++c) u[r * d + c] += vr * std::conj(e.vectors[c * d + j]);
        }
    }
    return u;
}

// Writes lambda * 2^f into the register as a two's-complement integer.
Circuit phase_estimation(const Eigensystem& e, double t, const std::vector<int>& system,
                         const std::vector<int>& reg) {
    Circuit c;
    for (int q : reg) c.append(make_gate(GateKind::H, {q}));
    for (size_t j = 0; j < reg.size(); ++j) {
        kestrix::QubitList targets(system);
        c.append(kestrix::make_unitary(targets, evolution(e, t * std::ldexp(1.0, int(j))))
                     .controlled({reg[j]}));
    }
    c.append(fourier(reg).daggered());
    return c;
}

// 2 asin(1/k) for the register value k (two's complement over m bits); 0 for k = 0.
double inversion_angle(uint64_t value, int m) {
    const int64_t v = int64_t(value);
    const int64_t k = v >= (int64_t{1} << (m - 1)) ? v - (int64_t{1} << m) : v;
    return k == 0 ? 0.0 : 2 * std::asin(1.0 / double(k));
}

// RY(angles[l]) on targets[0] where targets[1..] read l: one UNITARY gate.
kestrix::Gate rotations(const kestrix::QubitList& targets, const std::vector<double>& angles) {
    const size_t dim = 2 * angles.size();
    std::vector<cplx> u(dim * dim, cplx(0));
    for (size_t l = 0; l < angles.size(); ++l) {
        const double c = std::cos(angles[l] / 2), s = std::sin(angles[l] / 2);
        const size_t i0 = l << 1, i1 = i0 | 1;  // local bit 0 is targets[0]
        u[i0 * dim + i0] = c, u[i0 * dim + i1] = -s;
        u[i1 * dim + i0] = s, u[i1 * dim + i1] = c;
    }
    return kestrix::make_unitary(targets, std::move(u));
}

// RY(2 asin(1/k)) on the ancilla for each register value k. The ancilla and the low 4
// register bits form one UNITARY gate; the other bits select it. Selecting a pattern with
// controls, which act on ones, takes X gates on its zeros: full passes over the state,
// one per pattern in Gray-code order. Rotations about one axis add up, though, so the 3
// lowest of those bits are selected without X gates: a gate controlled by a subset s of
// them, with the Moebius sum of the angles of the patterns inside s, acts wherever s
// reads ones, and the gates that act on a pattern add up to exactly its angle.
Circuit build_inversion(const std::vector<int>& reg, int ancilla) {
    const int m = int(reg.size());
    const int low = std::min(m, 4), summed = std::min(m - low, 3), flipped = m - low - summed;
    kestrix::QubitList targets{ancilla};
    for (int j = 0; j < low; ++j) targets.push_back(reg[j]);
    const std::vector<int> subset_bits(reg.begin() + low, reg.begin() + low + summed);
    const std::vector<int> gray_bits(reg.begin() + low + summed, reg.end());
    const uint64_t lows = uint64_t{1} << low, subsets = uint64_t{1} << summed;
    const uint64_t all = (uint64_t{1} << flipped) - 1;
    Circuit c;
    uint64_t under_x = 0;  // gray bits currently under an X
    for (uint64_t step = 0; step <= all; ++step) {
        const uint64_t pattern = step ^ (step >> 1);
        for (int j = 0; j < flipped; ++j)
            if (((under_x ^ ~pattern) >> j) & 1) c.append(make_gate(GateKind::X, {gray_bits[j]}));
        under_x = ~pattern & all;
        std::vector<int> controls = gray_bits;
        for (uint64_t s = 0; s < subsets; ++s) {
            std::vector<double> angles(lows, 0.0);
            bool any = false;
            for (uint64_t l = 0; l < lows; ++l) {
                for (uint64_t t = s;; t = (t - 1) & s) {  // every t inside s
                    const uint64_t value = (((pattern << summed) | t) << low) | l;
                    const bool odd = (std::popcount(s) - std::popcount(t)) % 2;
                    angles[l] += odd ? -inversion_angle(value, m) : inversion_angle(value, m);
                    if (t == 0) break;
                }
                any = any || angles[l] != 0;
            }
            if (!any) continue;
            controls.resize(gray_bits.size());
            for (int j = 0; j < summed; ++j)
                if ((s >> j) & 1) controls.push_back(subset_bits[j]);
            c.append(rotations(targets, angles).controlled(controls));
        }
    }
    for (int j = 0; j < flipped; ++j)
        if ((under_x >> j) & 1) c.append(make_gate(GateKind::X, {gray_bits[j]}));
    return c;
}

// The inversion depends only on where the register and the ancilla sit, and building its
// 2^m / 16 checked 32 x 32 blocks costs more than running them: layouts of up to 12 register
// qubits (4 MiB of matrices each) are built once and kept.
Circuit eigenvalue_inversion(const std::vector<int>& reg, int ancilla) {
    if (reg.size() > 12) return build_inversion(reg, ancilla);
    static std::map<std::pair<int, int>, Circuit> built;  // (first qubit, m); the GIL is held
    const std::pair<int, int> key{reg.front(), int(reg.size())};
    auto it = built.find(key);
    if (it == built.end()) it = built.emplace(key, build_inversion(reg, ancilla)).first;
    return it->second;
}

std::vector<int> range(int first, int count) {
    std::vector<int> q(count);
    for (int j = 0; j < count; ++j) q[j] = first + j;
    return q;
}

}  // namespace

int fraction_bits(int precision) {
    int f = 0;
    for (double need = std::pow(10.0, precision); std::ldexp(1.0, f) < need;) ++f;
    return f;
}

Survey survey(const LinearSystem& system, int precision, const EigenSolver& eigen) {
    const size_t n = system.size;
    Survey found;
    found.unknowns = leading_block(system);
    const size_t m = found.unknowns;
    if (m == 0) throw ValueError("matrix_A is singular: every entry is zero");
    for (size_t i = m; i < n; ++i) {
        if (system.b[i] != 0) {
            throw ValueError("the system has no solution: row " + std::to_string(i) +
                             " of matrix_A is zero but data_b[" + std::to_string(i) + "] is " +
                             number(system.b[i]));
        }
    }
    // |b| scaled by its largest entry, so that entries near the double range do not
    // overflow the sum of squares.
    double top = 0, sum = 0;
    for (size_t i = 0; i < m; ++i) top = std::max(top, std::abs(system.b[i]));
    for (size_t i = 0; top > 0 && i < m; ++i) sum += (system.b[i] / top) * (system.b[i] / top);
    found.norm = top * std::sqrt(sum);

    found.hermitian = is_hermitian(system, m);
    // Refused before the eigendecomposition, which would take minutes for thousands of
    // unknowns.
    found.system_qubits = std::max(1, std::countr_zero(n)) + (found.hermitian ? 0 : 1);
    if (found.system_qubits > kestrix::kMaxUnitaryQubits) {
        throw ValueError("a system of " + std::to_string(n) + " unknowns needs " +
                         std::to_string(found.system_qubits) +
                         " system qubits; the evolution gate takes at most " +
                         std::to_string(kestrix::kMaxUnitaryQubits) +
                         " (64 unknowns for a Hermitian matrix, 32 otherwise)");
    }
    const size_t active = found.hermitian ? m : 2 * m;
    const Eigensystem block = eigen(hermitian_form(system, m, found.hermitian, m, 0.0), active);
    double smallest = INFINITY;
    bool finite = std::isfinite(found.norm);
    for (double v : block.values) {
        finite = finite && std::isfinite(v);
        found.largest = std::max(found.largest, std::abs(v));
        smallest = std::min(smallest, std::abs(v));
    }
    if (!finite || !std::isfinite(found.largest)) {
        throw ValueError("the system's entries are too large: its eigenvalues or |b| overflow");
    }
    if (smallest <= 1e-12 * found.largest) {
        throw ValueError(std::string("matrix_A is singular: the smallest |eigenvalue| of the ") +
                         (found.hermitian ? "matrix" : "embedding [[0, A], [A^dagger, 0]]") +
                         " is " + number(smallest) + " against " + number(found.largest));
    }
    found.fraction_bits = fraction_bits(precision);
    const double resolution = std::ldexp(1.0, -found.fraction_bits);
    if (smallest < resolution * (1 - 1e-12)) {
        int enough = precision;
        while (enough <= kMaxPrecision && std::ldexp(1.0, -fraction_bits(enough)) > smallest)
            ++enough;
        throw ValueError(
            "an eigenvalue of magnitude " + number(smallest) + " is below the resolution " +
            number(resolution) + " of precision_cnt=" + std::to_string(precision) + ": " +
            (enough <= kMaxPrecision ? "use precision_cnt=" + std::to_string(enough) + " or more"
                                     : std::string("scale the system up")));
    }
    // Integer bits: the largest |eigenvalue| stays a whole unit inside the register's range,
    // so that the spread of an eigenvalue that is not a multiple of the resolution cannot
    // wrap round to the opposite sign. They do not depend on the precision, so each digit
    // costs only its fractional bits.
    int integer_bits = 0;
    while (found.largest + 1 >= std::ldexp(1.0, integer_bits)) ++integer_bits;
    found.register_qubits = found.fraction_bits + 1 + integer_bits;
    if (found.register_qubits > kMaxEigenvalueQubits) {
        throw ValueError("eigenvalues up to " + number(found.largest) +
                         " at precision_cnt=" + std::to_string(precision) + " need " +
                         std::to_string(found.register_qubits) + " eigenvalue qubits; at most " +
                         std::to_string(kMaxEigenvalueQubits) +
                         " are supported (scale the system down or lower precision_cnt)");
    }
    return found;
}

Hhl build_hhl(const LinearSystem& system, const Survey& found, const EigenSolver& eigen) {
    if (found.norm == 0) throw ValueError("data_b is all zero: there is no state to prepare");
    Hhl h;
    h.size = system.size;
    h.unknowns = found.unknowns;
    h.hermitian = found.hermitian;
    h.fraction_bits = found.fraction_bits;
    const int n_system = found.system_qubits, n_register = found.register_qubits;
    const size_t dim = size_t{1} << n_system, half = h.hermitian ? dim : dim / 2;
    h.system_qubits = range(0, n_system);
    h.eigenvalue_qubits = range(n_system, n_register);
    h.ancilla = n_system + n_register;
    h.solution_offset = h.hermitian ? 0 : half;
    const double resolution = std::ldexp(1.0, -h.fraction_bits);
    h.scale = found.norm / resolution;

    std::vector<cplx> rhs(dim, cplx(0));
    for (size_t i = 0; i < h.unknowns; ++i) rhs[i] = system.b[i] / found.norm;
    // exp(iHt) turns lambda = k * 2^-f into the phase 2 pi k / 2^m.
    const double t = 2 * kPi / resolution / std::ldexp(1.0, n_register);
    const Eigensystem full =
        eigen(hermitian_form(system, h.unknowns, h.hermitian, half, found.largest), dim);
    const Circuit estimate = phase_estimation(full, t, h.system_qubits, h.eigenvalue_qubits);
    h.circuit.append(kestrix::amplitude_encode(h.system_qubits, rhs))
        .append(estimate)
        .append(eigenvalue_inversion(h.eigenvalue_qubits, h.ancilla))
        .append(estimate.daggered());
    return h;
}

std::vector<cplx> read_solution(const kestrix::StateVector& state,
                                const std::vector<int>& system_qubits, int ancilla, size_t offset,
                                size_t unknowns, size_t size, double scale) {
    std::vector<cplx> x(size, cplx(0));
    const uint64_t selected = uint64_t{1} << ancilla;  // the register bits stay 0
    for (size_t i = 0; i < unknowns; ++i) {
        uint64_t index = selected;
        for (size_t k = 0; k < system_qubits.size(); ++k)
            index |= uint64_t(((offset + i) >> k) & 1) << system_qubits[k];
        x[i] = state.data()[index] * scale;
    }
    return x;
}

}  // namespace norvalis::kavrel
