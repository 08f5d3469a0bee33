#include "kestrix/lib/ir/encode.h"

#include <bit>
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

// Builds the gates of an encoding: each gate acts when some qubits hold a pattern, zero
// bits being turned into ones by X around it. The X gates are emitted only where the
// pattern changes from one gate to the next (a pair on a qubit between two gates would
// cancel), and undone at the end; callers visit the patterns in Gray-code order, so that
// one X separates each gate from the next.
class PatternedGates {
  public:
    explicit PatternedGates(const std::vector<int>& qubits) : qubits_(qubits) {}

    // `gate` acting only when qubits[level+1 ..] hold the bits of `prefix`, and, when
    // `low_zero`, qubits[0] reads 0.
    void add(int level, uint64_t prefix, Gate gate, bool low_zero = false) {
        if (level != level_) {
            // The controls of a level are the same for every gate: the qubits above it,
            // distinct as the vector's check found them, so no gate needs checking again.
            level_ = level;
            controls_ = QubitList();
            controls_.append(qubits_.begin() + level + 1, qubits_.end());
        }
        const int above = int(qubits_.size()) - level - 1;
        const uint64_t zeros = ~prefix & ((uint64_t{1} << above) - 1);
        flip_to((zeros << (level + 1)) | (low_zero ? 1 : 0));
        gate.controls = controls_;
        circuit_.append(gate);
    }

    Circuit finish() {
        flip_to(0);
        return std::move(circuit_);
    }

  private:
    void flip_to(uint64_t want) {
        for (uint64_t change = want ^ flipped_; change; change &= change - 1)
            circuit_.append(make_gate(GateKind::X, {qubits_[std::countr_zero(change)]}));
        flipped_ = want;
    }

    const std::vector<int>& qubits_;
    Circuit circuit_;
    uint64_t flipped_ = 0;  // bit k: qubits[k] flipped
    int level_ = -1;
    QubitList controls_;
};

// The k-th pattern in Gray-code order: neighbours differ in one bit.
inline uint64_t gray(uint64_t k) { return k ^ (k >> 1); }

// The last encoding this thread made: a variational loop encodes the same data at every
// step, and building the gates of a large vector costs far more than comparing it.
struct LastEncoding {
    std::vector<int> qubits;
    std::vector<cplx> v;
    Circuit circuit;
};

Circuit build_encoding(const std::vector<int>& qubits, const std::vector<cplx>& v);

}  // namespace

Circuit amplitude_encode(const std::vector<int>& qubits, const std::vector<cplx>& v) {
    check_vector(qubits, v);
    thread_local LastEncoding last;
    if (last.qubits == qubits && last.v == v) return last.circuit;
    Circuit c = build_encoding(qubits, v);
    last = LastEncoding{qubits, v, c};
    return c;
}

namespace {

Circuit build_encoding(const std::vector<int>& qubits, const std::vector<cplx>& v) {
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

    PatternedGates gates(qubits);
    // From the top qubit down: split each block's weight between its two halves.
    for (int level = n - 1; level >= 0; --level) {
        for (uint64_t k = 0; k < (uint64_t{1} << (n - 1 - level)); ++k) {
            const uint64_t prefix = gray(k);
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
            gates.add(level, prefix, make_gate(GateKind::RY, {qubits[level]}, {angle}));
        }
    }
    if (!real) {
        // Phases: one controlled U1 per component; a zero bit on qubits[0] is flipped too.
        for (uint64_t k = 0; k < v.size(); ++k) {
            const uint64_t i = gray(k);
            const double phase = std::arg(v[i]);
            if (v[i] == cplx(0) || phase == 0) continue;
            gates.add(0, i >> 1, make_gate(GateKind::U1, {qubits[0]}, {phase}), (i & 1) == 0);
        }
    }
    // The gates make v from |0>: where the engine knows the qubits are |0>, it writes v.
    return gates.finish().preparing(Preparation{qubits, v});
}

}  // namespace

}  // namespace kestrix
