#include "kestrix/lib/matrix.h"

#include <cmath>
#include <numbers>

#include "kestrix/lib/errors.h"

namespace kestrix {

namespace {

std::array<cplx, 4> u3(double theta, double phi, double lam) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return {cplx(c, 0), -std::polar(s, lam), std::polar(s, phi), std::polar(c, phi + lam)};
}

}  // namespace

std::array<cplx, 4> single_qubit_matrix(GateKind kind, std::span<const double> p) {
    const cplx i(0, 1);
    const double r = 1 / std::numbers::sqrt2;
    switch (kind) {
        case GateKind::I: return {1, 0, 0, 1};
        case GateKind::H: return {r, r, r, -r};
        case GateKind::X: return {0, 1, 1, 0};
        case GateKind::Y: return {0, -i, i, 0};
        case GateKind::Z: return {1, 0, 0, -1};
        case GateKind::S: return {1, 0, 0, i};
        case GateKind::T: return {1, 0, 0, cplx(r, r)};
        case GateKind::SX:
            return {cplx(0.5, 0.5), cplx(0.5, -0.5), cplx(0.5, -0.5), cplx(0.5, 0.5)};
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

}  // namespace kestrix
