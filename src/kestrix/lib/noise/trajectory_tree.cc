#include "kestrix/lib/noise/trajectory_tree.h"

#include <algorithm>
#include <cmath>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/plan/op.h"

namespace kestrix {

// The reduced density matrix of `qubits` (local index bit j = qubits[j]). It walks only
// the amplitudes whose channel bits read 0, and sums in plain doubles: one channel of a
// trajectory costs this pass, so it must be a cheap one.
Matrix reduced_density(const StateVector& state, const std::vector<int>& qubits) {
    const size_t k = qubits.size(), d = size_t{1} << k;
    std::vector<int> sorted(qubits);
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint64_t> offset(d, 0);
    for (size_t r = 0; r < d; ++r)
        for (size_t j = 0; j < k; ++j)
            if ((r >> j) & 1) offset[r] |= uint64_t{1} << qubits[j];
    const cplx* amps = state.data();
    const uint64_t rest = state.size() >> k;
    auto spread = [&](uint64_t j) {
        for (int q : sorted) j = ((j >> q) << (q + 1)) | (j & ((uint64_t{1} << q) - 1));
        return j;
    };
    Matrix rho(d * d);
    if (k == 1) {
        double p0 = 0, p1 = 0, re = 0, im = 0;
        const uint64_t off = offset[1];
        for (uint64_t j = 0; j < rest; ++j) {
            const uint64_t i = spread(j);
            const double a0r = amps[i].real(), a0i = amps[i].imag();
            const double a1r = amps[i | off].real(), a1i = amps[i | off].imag();
            p0 += a0r * a0r + a0i * a0i;
            p1 += a1r * a1r + a1i * a1i;
            re += a0r * a1r + a0i * a1i;  // a0 conj(a1)
            im += a0i * a1r - a0r * a1i;
        }
        rho = {p0, cplx(re, im), cplx(re, -im), p1};
        return rho;
    }
    std::vector<double> re(d * d, 0.0), im(d * d, 0.0), ar(d), ai(d);
    for (uint64_t j = 0; j < rest; ++j) {
        const uint64_t i = spread(j);
        for (size_t r = 0; r < d; ++r) {
            ar[r] = amps[i | offset[r]].real();
            ai[r] = amps[i | offset[r]].imag();
        }
        for (size_t r = 0; r < d; ++r) {
            for (size_t c = r; c < d; ++c) {
                re[r * d + c] += ar[r] * ar[c] + ai[r] * ai[c];
                im[r * d + c] += ai[r] * ar[c] - ar[r] * ai[c];
            }
        }
    }
    for (size_t r = 0; r < d; ++r) {
        for (size_t c = r; c < d; ++c) {
            rho[r * d + c] = cplx(re[r * d + c], im[r * d + c]);
            rho[c * d + r] = cplx(re[r * d + c], -im[r * d + c]);
        }
    }
    return rho;
}

// A draw of `m` shots over branches of these probabilities (need not sum to 1 exactly).
std::vector<uint64_t> multinomial(uint64_t m, const std::vector<double>& p, Rng& rng) {
    std::vector<uint64_t> counts(p.size(), 0);
    double mass = 0;
    for (double x : p) mass += x;
    for (size_t b = 0; b < p.size() && m > 0; ++b) {
        if (p[b] <= 0) continue;
        const bool last = std::none_of(p.begin() + b + 1, p.end(), [](double x) { return x > 0; });
        const uint64_t c = last ? m : binomial(m, std::min(1.0, p[b] / mass), rng);
        counts[b] = c;
        m -= c;
        mass -= p[b];
    }
    return counts;
}

std::vector<double> branch_weights(const StateVector& state, const Channel& ch,
                                   const std::vector<int>& qubits) {
    if (ch.is_mixture()) return ch.mixture_probs;
    return branch_probabilities(ch, reduced_density(state, qubits));
}

void apply_branch(StateVector& state, const Channel& ch, const std::vector<int>& qubits, size_t b,
                  double p) {
    Op op;
    op.qubits = qubits;
    if (ch.is_mixture()) {
        if (ch.mixture_identity[b]) return;
        op.m = ch.mixture_unitaries[b];
    } else {
        op.m = ch.kraus[b];
        const double scale = 1 / std::sqrt(p);
        for (cplx& x : op.m) x *= scale;
    }
    apply_op(state.data(), state.num_qubits(), op);
}

void TrajectoryTree::run(StateVector& state, uint64_t shots) {
    descend(state, 0, shots);
    while (!pending_.empty()) {
        Pending p = std::move(pending_.back());
        pending_.pop_back();
        state.reset(interrupt_);
        // Replays the history: the same branches, drawn no more.
        size_t k = 0;
        for (size_t e = 0; e < p.event; ++e) {
            if (events_[e].kind == Event::Kind::Piece) {
                pieces_[events_[e].index].run(state.data(), interrupt_);
            } else if (events_[e].kind == Event::Kind::Channel) {
                const NoisyStep& s = steps_[events_[e].index];
                const Channel& ch = model_.rules()[s.rule].channel;
                const size_t b = p.history[k++];
                apply_branch(state, ch, s.qubits, b, branch_weights(state, ch, s.qubits)[b]);
            }
        }
        history_ = std::move(p.history);
        descend(state, p.event, p.shots);
    }
}

void TrajectoryTree::descend(StateVector& state, size_t e, uint64_t m) {
    const size_t at_entry = history_.size();
    for (; e < events_.size(); ++e) {
        if (interrupt_ && interrupt_()) throw Interrupted();
        const Event& event = events_[e];
        if (event.kind == Event::Kind::Piece) {
            pieces_[event.index].run(state.data(), interrupt_);
            continue;
        }
        if (event.kind != Event::Kind::Channel) continue;
        const NoisyStep& s = steps_[event.index];
        const Channel& ch = model_.rules()[s.rule].channel;
        const std::vector<double> p = branch_weights(state, ch, s.qubits);
        const std::vector<uint64_t> counts = multinomial(m, p, rng_);
        const size_t main = size_t(std::max_element(counts.begin(), counts.end()) - counts.begin());
        for (size_t b = 0; b < counts.size(); ++b) {
            if (b == main || counts[b] == 0) continue;
            if (depth_ < max_depth_) {
                ++depth_;
                StateVector branch = state;
                apply_branch(branch, ch, s.qubits, b, p[b]);
                history_.push_back(uint32_t(b));
                descend(branch, e + 1, counts[b]);
                history_.pop_back();
                --depth_;
            } else {
                std::vector<uint32_t> h = history_;
                h.push_back(uint32_t(b));
                pending_.push_back({std::move(h), e + 1, counts[b]});
            }
        }
        apply_branch(state, ch, s.qubits, main, p[main]);
        history_.push_back(uint32_t(main));
        m = counts[main];
    }
    leaf_(state, m);
    history_.resize(at_entry);
}

}  // namespace kestrix
