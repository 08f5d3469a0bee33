#include "kestrix/lib/noise/channel.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/io/number_text.h"

namespace kestrix {

namespace {

constexpr double kCompleteTolerance = 1e-10;

std::string number(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    return shortest_text(x);
}

void check_probability(double p, const char* what) {
    if (!std::isfinite(p) || p < 0 || p > 1)
        throw ValueError(std::string(what) + " must be a probability in [0, 1], got " + number(p));
}

Matrix multiply(const Matrix& a, const Matrix& b, size_t d) {
    Matrix out(d * d);
    for (size_t i = 0; i < d; ++i)
        for (size_t k = 0; k < d; ++k)
            for (size_t j = 0; j < d; ++j) out[i * d + j] += a[i * d + k] * b[k * d + j];
    return out;
}

// K^dagger K.
Matrix gram(const Matrix& k, size_t d) {
    Matrix out(d * d);
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j)
            for (size_t r = 0; r < d; ++r) out[i * d + j] += std::conj(k[r * d + i]) * k[r * d + j];
    return out;
}

// The mixture form, when every operator is a multiple of a unitary.
void find_mixture(Channel& ch, size_t d) {
    for (const Matrix& k : ch.kraus) {
        const Matrix g = gram(k, d);
        const double c = g[0].real();
        for (size_t i = 0; i < d; ++i) {
            for (size_t j = 0; j < d; ++j) {
                if (std::abs(g[i * d + j] - (i == j ? cplx(c) : cplx(0))) > kCompleteTolerance) {
                    ch.mixture_probs.clear();
                    ch.mixture_unitaries.clear();
                    ch.mixture_identity.clear();
                    return;
                }
            }
        }
        if (c <= kCompleteTolerance * kCompleteTolerance) continue;  // a zero operator
        Matrix u = k;
        for (cplx& x : u) x /= std::sqrt(c);
        bool identity = true;
        for (size_t i = 0; i < d && identity; ++i)
            for (size_t j = 0; j < d; ++j)
                if (std::abs(u[i * d + j] - (i == j ? u[0] : cplx(0))) > kCompleteTolerance)
                    identity = false;
        ch.mixture_probs.push_back(c);
        ch.mixture_unitaries.push_back(std::move(u));
        ch.mixture_identity.push_back(identity);
    }
}

Matrix pauli(int which) {
    switch (which) {
        case 1: return {0, 1, 1, 0};
        case 2: return {0, cplx(0, -1), cplx(0, 1), 0};
        case 3: return {1, 0, 0, -1};
        default: return {1, 0, 0, 1};
    }
}

// a (x) b with a on the high bit of the local index, b on the low.
Matrix kron(const Matrix& a, const Matrix& b) {
    Matrix out(16);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[i * 4 + j] = a[(i >> 1) * 2 + (j >> 1)] * b[(i & 1) * 2 + (j & 1)];
    return out;
}

}  // namespace

bool operator==(const Channel& a, const Channel& b) {
    return a.kind == b.kind && a.name == b.name && a.params == b.params &&
           a.num_qubits == b.num_qubits && a.kraus == b.kraus && a.p01 == b.p01 && a.p10 == b.p10;
}

Channel kraus_channel(std::vector<Matrix> operators, std::string name, std::vector<double> params) {
    if (operators.empty()) throw ValueError("kraus: at least one Kraus operator is needed");
    const size_t size = operators[0].size();
    size_t d = 1;
    while (d * d < size) d *= 2;
    const int k = std::countr_zero(d);
    if (d * d != size || d < 2 || k > kMaxChannelQubits) {
        throw ValueError("kraus: each operator must be 2**k x 2**k for k from 1 to " +
                         std::to_string(kMaxChannelQubits) + ", got " + std::to_string(size) +
                         " entries");
    }
    Matrix total(size);
    for (const Matrix& op : operators) {
        if (op.size() != size) throw ValueError("kraus: the operators differ in size");
        for (const cplx& x : op)
            if (!std::isfinite(x.real()) || !std::isfinite(x.imag()))
                throw ValueError("kraus: an operator has a non-finite entry");
        const Matrix g = gram(op, d);
        for (size_t i = 0; i < size; ++i) total[i] += g[i];
    }
    double worst = 0;
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j)
            worst = std::max(worst, std::abs(total[i * d + j] - (i == j ? cplx(1) : cplx(0))));
    if (!(worst <= kCompleteTolerance)) {
        throw ValueError(
            "kraus: the operators are not complete (sum of K^dagger K differs from I by " +
            shortest_text(worst) + ", more than 1e-10)");
    }
    Channel ch;
    ch.name = std::move(name);
    ch.params = std::move(params);
    ch.num_qubits = k;
    ch.kraus = std::move(operators);
    find_mixture(ch, d);
    return ch;
}

Channel depolarizing(double p, int num_qubits) {
    check_probability(p, "depolarizing: p");
    if (num_qubits != 1 && num_qubits != 2)
        throw ValueError("depolarizing: num_qubits must be 1 or 2, got " +
                         std::to_string(num_qubits));
    const int strings = num_qubits == 1 ? 4 : 16;
    std::vector<Matrix> ops;
    for (int s = 0; s < strings; ++s) {
        const double w = s == 0 ? 1 - p + p / strings : p / strings;
        Matrix m = num_qubits == 1 ? pauli(s) : kron(pauli(s >> 2), pauli(s & 3));
        for (cplx& x : m) x *= std::sqrt(w);
        ops.push_back(std::move(m));
    }
    return kraus_channel(std::move(ops), "depolarizing", {p, double(num_qubits)});
}

Channel amplitude_damping(double gamma) {
    check_probability(gamma, "amplitude_damping: gamma");
    return kraus_channel({{1, 0, 0, std::sqrt(1 - gamma)}, {0, std::sqrt(gamma), 0, 0}},
                         "amplitude_damping", {gamma});
}

Channel phase_damping(double gamma) {
    check_probability(gamma, "phase_damping: gamma");
    return kraus_channel({{1, 0, 0, std::sqrt(1 - gamma)}, {0, 0, 0, std::sqrt(gamma)}},
                         "phase_damping", {gamma});
}

Channel bit_flip(double p) {
    check_probability(p, "bit_flip: p");
    const double a = std::sqrt(1 - p), b = std::sqrt(p);
    return kraus_channel({{a, 0, 0, a}, {0, b, b, 0}}, "bit_flip", {p});
}

Channel phase_flip(double p) {
    check_probability(p, "phase_flip: p");
    const double a = std::sqrt(1 - p), b = std::sqrt(p);
    return kraus_channel({{a, 0, 0, a}, {b, 0, 0, -b}}, "phase_flip", {p});
}

Channel thermal_relaxation(double t1, double t2, double time) {
    if (!std::isfinite(t1) || !(t1 > 0))
        throw ValueError("thermal_relaxation: t1 must be positive and finite, got " + number(t1));
    if (!std::isfinite(t2) || !(t2 > 0))
        throw ValueError("thermal_relaxation: t2 must be positive and finite, got " + number(t2));
    if (!std::isfinite(time) || time < 0) {
        throw ValueError("thermal_relaxation: time must be non-negative and finite, got " +
                         number(time));
    }
    if (t2 > 2 * t1) {
        throw ValueError("thermal_relaxation: t2 must be at most 2 * t1, got t1=" +
                         shortest_text(t1) + ", t2=" + shortest_text(t2));
    }
    const double gamma = 1 - std::exp(-time / t1);
    // Amplitude damping leaves coherences at e^{-t/(2 T1)}; the rest of e^{-t/T2} is pure
    // dephasing.
    const double lambda =
        std::min(1.0, std::max(0.0, 1 - std::exp(-2 * time * (1 / t2 - 0.5 / t1))));
    const Matrix a0 = {1, 0, 0, std::sqrt(1 - gamma)}, a1 = {0, std::sqrt(gamma), 0, 0};
    const Matrix d0 = {1, 0, 0, std::sqrt(1 - lambda)}, d1 = {0, 0, 0, std::sqrt(lambda)};
    std::vector<Matrix> ops;
    for (const Matrix* d : {&d0, &d1}) {
        for (const Matrix* a : {&a0, &a1}) {
            Matrix m = multiply(*d, *a, 2);
            if (std::any_of(m.begin(), m.end(), [](cplx x) { return x != cplx(0); }))
                ops.push_back(std::move(m));
        }
    }
    return kraus_channel(std::move(ops), "thermal_relaxation", {t1, t2, time});
}

Channel readout_error(double p01, double p10) {
    check_probability(p01, "readout_error: p01");
    check_probability(p10, "readout_error: p10");
    Channel ch;
    ch.kind = Channel::Kind::Readout;
    ch.name = "readout_error";
    ch.params = {p01, p10};
    ch.p01 = p01;
    ch.p10 = p10;
    return ch;
}

Matrix superoperator(const Channel& channel) {
    const size_t d = size_t{1} << channel.num_qubits, dd = d * d;
    Matrix s(dd * dd);
    for (const Matrix& k : channel.kraus)
        for (size_t r1 = 0; r1 < d; ++r1)
            for (size_t c1 = 0; c1 < d; ++c1)
                for (size_t r = 0; r < d; ++r)
                    for (size_t c = 0; c < d; ++c)
                        s[(r1 + d * c1) * dd + (r + d * c)] +=
                            k[r1 * d + r] * std::conj(k[c1 * d + c]);
    return s;
}

std::vector<double> branch_probabilities(const Channel& channel, const Matrix& rho) {
    const size_t d = size_t{1} << channel.num_qubits;
    std::vector<double> p;
    for (const Matrix& k : channel.kraus) {
        // Tr(K rho K^dagger) = sum_{i,a,b} K_ia rho_ab conj(K_ib)
        double t = 0;
        for (size_t i = 0; i < d; ++i) {
            for (size_t a = 0; a < d; ++a) {
                cplx row = 0;
                for (size_t b = 0; b < d; ++b) row += rho[a * d + b] * std::conj(k[i * d + b]);
                t += (k[i * d + a] * row).real();
            }
        }
        p.push_back(std::max(t, 0.0));
    }
    return p;
}

}  // namespace kestrix
