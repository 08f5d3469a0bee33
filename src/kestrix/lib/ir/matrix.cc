#include "kestrix/lib/ir/matrix.h"

#include <cmath>
#include <numbers>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

// cos and sin of one angle in one call: circuits of rotations lower thousands of them.
struct CosSin {
    double c, s;
};
CosSin cos_sin(double x) {
    CosSin r;
    __builtin_sincos(x, &r.s, &r.c);
    return r;
}

void u3(double theta, double phi, double lam, cplx* out) {
    const auto [c, s] = cos_sin(theta / 2);
    out[0] = cplx(c, 0);
    out[1] = -std::polar(s, lam);
    out[2] = std::polar(s, phi);
    out[3] = std::polar(c, phi + lam);
}

}  // namespace

void single_qubit_matrix(GateKind kind, std::span<const double> p, cplx* out) {
    // Each entry is stored once, straight into `out`: a matrix built on the stack and copied
    // would be read back before its stores have landed.
    auto put = [out](cplx a, cplx b, cplx c, cplx d) {
        out[0] = a;
        out[1] = b;
        out[2] = c;
        out[3] = d;
    };
    const cplx i(0, 1);
    const double r = 1 / std::numbers::sqrt2;
    switch (kind) {
        case GateKind::I: return put(1, 0, 0, 1);
        case GateKind::H: return put(r, r, r, -r);
        case GateKind::X: return put(0, 1, 1, 0);
        case GateKind::Y: return put(0, -i, i, 0);
        case GateKind::Z: return put(1, 0, 0, -1);
        case GateKind::S: return put(1, 0, 0, i);
        case GateKind::T: return put(1, 0, 0, cplx(r, r));
        case GateKind::SX:
            return put(cplx(0.5, 0.5), cplx(0.5, -0.5), cplx(0.5, -0.5), cplx(0.5, 0.5));
        case GateKind::RX: {
            const auto [c, s] = cos_sin(p[0] / 2);
            const cplx minus_i_s = -i * s;
            return put(c, minus_i_s, minus_i_s, c);
        }
        case GateKind::RY: {
            const auto [c, s] = cos_sin(p[0] / 2);
            return put(c, -s, s, c);
        }
        case GateKind::RZ: {
            const auto [c, s] = cos_sin(p[0] / 2);
            return put(cplx(c, -s), 0, 0, cplx(c, s));
        }
        case GateKind::U1: {
            const auto [c, s] = cos_sin(p[0]);
            return put(1, 0, 0, cplx(c, s));
        }
        case GateKind::U2: return u3(std::numbers::pi / 2, p[0], p[1], out);
        case GateKind::U3: return u3(p[0], p[1], p[2], out);
        default: throw ValueError(std::string(gate_name(kind)) + " is not a single-qubit gate");
    }
}

void single_qubit_derivative(GateKind kind, std::span<const double> p, int slot, cplx* out) {
    const cplx i(0, 1);
    auto put = [out](cplx a, cplx b, cplx c, cplx d) {
        out[0] = a;
        out[1] = b;
        out[2] = c;
        out[3] = d;
    };
    // U3 (and U2, which is U3 at theta = pi/2) by angle: theta turns the rotation, phi and
    // lam the phases of the lower row and right column.
    auto u3 = [&](double theta, double phi, double lam, int which) {
        const auto [c, s] = cos_sin(theta / 2);
        const cplx el = std::polar(1.0, lam), ep = std::polar(1.0, phi);
        if (which == 0) return put(-s / 2, -el * c / 2.0, ep * c / 2.0, -ep * el * s / 2.0);
        if (which == 1) return put(0, 0, i * ep * s, i * ep * el * c);
        return put(0, -i * el * s, 0, i * ep * el * c);
    };
    switch (kind) {
        case GateKind::RX: {
            const auto [c, s] = cos_sin(p[0] / 2);
            return put(-s / 2, -i * c / 2.0, -i * c / 2.0, -s / 2);
        }
        case GateKind::RY: {
            const auto [c, s] = cos_sin(p[0] / 2);
            return put(-s / 2, -c / 2, c / 2, -s / 2);
        }
        case GateKind::RZ: {
            const auto [c, s] = cos_sin(p[0] / 2);
            return put(cplx(-s, -c) / 2.0, 0, 0, cplx(-s, c) / 2.0);
        }
        case GateKind::U1: return put(0, 0, 0, i * std::polar(1.0, p[0]));
        case GateKind::U2: return u3(std::numbers::pi / 2, p[0], p[1], slot + 1);
        case GateKind::U3: return u3(p[0], p[1], p[2], slot);
        default: throw ValueError(std::string(gate_name(kind)) + " has no angle to vary");
    }
}

}  // namespace kestrix
