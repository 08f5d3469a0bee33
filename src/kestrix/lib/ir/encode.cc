#include "kestrix/lib/ir/encode.h"

#include <cmath>
#include <string>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

constexpr double kNormTolerance = 1e-8;

void check_vector(const std::vector<int>& qubits, const std::vector<cplx>& v) {
    if (qubits.empty()) throw ValueError("amplitude_encode needs at least one qubit");
    check_distinct_qubits(qubits, "amplitude_encode");
    if (qubits.size() > 40 || v.size() != (uint64_t{1} << qubits.size())) {
        throw ValueError("amplitude_encode: " + std::to_string(qubits.size()) +
                         " qubits take a vector of length 2**" + std::to_string(qubits.size()) +
                         ", got length " + std::to_string(v.size()));
    }
    double norm2 = 0;
    for (const cplx& x : v) {
        if (!std::isfinite(x.real()) || !std::isfinite(x.imag()))
            throw ValueError("amplitude_encode: the vector has a non-finite component");
        norm2 += std::norm(x);
    }
    if (norm2 == 0) throw ValueError("amplitude_encode: the vector is all zero");
    if (std::abs(std::sqrt(norm2) - 1) > kNormTolerance) {
        throw ValueError("amplitude_encode: the vector must have norm 1 (within 1e-8), got " +
                         std::to_string(std::sqrt(norm2)));
    }
}

// Appends `gate` acting only when qubits[level+1 ..] hold the bits of `prefix`: zero bits
// are turned into ones by X before and after.
void append_under_prefix(Circuit& c, const std::vector<int>& qubits, int level, uint64_t prefix,
                         const Gate& gate) {
    std::vector<int> controls;
    Circuit flips;
    for (size_t k = level + 1; k < qubits.size(); ++k) {
        controls.push_back(qubits[k]);
        if (((prefix >> (k - level - 1)) & 1) == 0)
            flips.append(make_gate(GateKind::X, {qubits[k]}));
    }
    c.append(flips);
    c.append(gate.controlled(controls));
    c.append(flips);
}

}  // namespace

Circuit amplitude_encode(const std::vector<int>& qubits, const std::vector<cplx>& v) {
    check_vector(qubits, v);
    const int n = int(qubits.size());
    bool real = true;
    for (const cplx& x : v) real = real && x.imag() == 0;

    // weight[level][i]: squared norm of the block of amplitudes whose bits >= level equal i.
    std::vector<std::vector<double>> weight(n + 1);
    weight[0].resize(v.size());
    for (size_t i = 0; i < v.size(); ++i) weight[0][i] = std::norm(v[i]);
    for (int level = 1; level <= n; ++level) {
        weight[level].resize(v.size() >> level);
        for (size_t i = 0; i < weight[level].size(); ++i)
            weight[level][i] = weight[level - 1][2 * i] + weight[level - 1][2 * i + 1];
    }

    Circuit c;
    // From the top qubit down: split each block's weight between its two halves.
    for (int level = n - 1; level >= 0; --level) {
        for (uint64_t prefix = 0; prefix < (uint64_t{1} << (n - 1 - level)); ++prefix) {
            if (weight[level + 1][prefix] == 0) continue;
            double angle;
            if (level == 0 && real) {
                // Signed components: the rotation carries the sign of each pair.
                angle = 2 * std::atan2(v[2 * prefix + 1].real(), v[2 * prefix].real());
            } else {
                angle = 2 * std::atan2(std::sqrt(weight[level][2 * prefix + 1]),
                                       std::sqrt(weight[level][2 * prefix]));
            }
            if (angle == 0) continue;
            append_under_prefix(c, qubits, level, prefix,
                                make_gate(GateKind::RY, {qubits[level]}, {angle}));
        }
    }
    if (real) return c;

    // Phases: one controlled U1 per component; a zero bit on qubits[0] is flipped around it.
    for (uint64_t i = 0; i < v.size(); ++i) {
        const double phase = std::arg(v[i]);
        if (v[i] == cplx(0) || phase == 0) continue;
        const Gate flip = make_gate(GateKind::X, {qubits[0]});
        const bool low_zero = (i & 1) == 0;
        if (low_zero) c.append(flip);
        append_under_prefix(c, qubits, 0, i >> 1, make_gate(GateKind::U1, {qubits[0]}, {phase}));
        if (low_zero) c.append(flip);
    }
    return c;
}

}  // namespace kestrix
