#include "matrix.h"

#include <cmath>
#include <numbers>

#include "errors.h"

namespace kestrix {

namespace {

std::array<cplx, 4> u3(double theta, double phi, double lam) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return {cplx(c, 0), -std::polar(s, lam), std::polar(s, phi), std::polar(c, phi + lam)};
}

}  // namespace

std::array<cplx, 4> single_qubit_matrix(GateKind kind, const std::vector<double>& p) {
    const cplx i(0, 1);
    const double r = 1 / std::numbers::sqrt2;
    switch (kind) {
        case GateKind::I: return {1, 0, 0, 1};
        case GateKind::H: return {r, r, r, -r};
        case GateKind::X: return {0, 1, 1, 0};
        case GateKind::Y: return {0, -i, i, 0};
        case GateKind::Z: return {1, 0, 0, -1};
        case GateKind::RX: {
            const double c = std::cos(p[0] / 2), s = std::sin(p[0] / 2);
            return {c, -i * s, -i * s, c};
        }
        case GateKind::RY: {
            const double c = std::cos(p[0] / 2), s = std::sin(p[0] / 2);
            return {c, -s, s, c};
        }
        case GateKind::RZ: return {std::polar(1.0, -p[0] / 2), 0, 0, std::polar(1.0, p[0] / 2)};
        case GateKind::U1: return {1, 0, 0, std::polar(1.0, p[0])};
        case GateKind::U2: return u3(std::numbers::pi / 2, p[0], p[1]);
        case GateKind::U3: return u3(p[0], p[1], p[2]);
        default: throw ValueError(std::string(gate_name(kind)) + " is not a single-qubit gate");
    }
}

Unitary lower(const Gate& g) {
    Unitary u;
    u.controls = g.controls;
    auto set1 = [&](int target, const std::array<cplx, 4>& m) {
        u.num_targets = 1;
        u.targets = {target, target};
        std::copy(m.begin(), m.end(), u.m.begin());
    };
    switch (g.kind) {
        case GateKind::CNOT:
            u.controls.insert(u.controls.begin(), g.qubits[0]);
            set1(g.qubits[1], single_qubit_matrix(GateKind::X, {}));
            break;
        case GateKind::CZ:
            u.controls.insert(u.controls.begin(), g.qubits[0]);
            set1(g.qubits[1], single_qubit_matrix(GateKind::Z, {}));
            break;
        case GateKind::CR:
            u.controls.insert(u.controls.begin(), g.qubits[0]);
            set1(g.qubits[1], single_qubit_matrix(GateKind::U1, g.params));
            break;
        case GateKind::TOFFOLI:
            u.controls.insert(u.controls.begin(), {g.qubits[0], g.qubits[1]});
            set1(g.qubits[2], single_qubit_matrix(GateKind::X, {}));
            break;
        case GateKind::SWAP:
            u.num_targets = 2;
            u.targets = {g.qubits[0], g.qubits[1]};
            u.m = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
            break;
        case GateKind::BARRIER:
        case GateKind::MEASURE:
            throw ValueError(std::string(gate_name(g.kind)) + " has no matrix");
        default:
            set1(g.qubits[0], single_qubit_matrix(g.kind, g.params));
    }
    if (g.dagger) {
        const int d = u.num_targets == 1 ? 2 : 4;
        std::array<cplx, 16> t{};
        for (int r = 0; r < d; ++r)
            for (int c = 0; c < d; ++c) t[r * d + c] = std::conj(u.m[c * d + r]);
        u.m = t;
    }
    return u;
}

}  // namespace kestrix
