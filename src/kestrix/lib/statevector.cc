#include "statevector.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "errors.h"
#include "fusion.h"
#include "kernels.h"
#include "schedule.h"

namespace kestrix {

void check_fits_in_memory(int n) {
    // Asked once: each query is a system call, and tiny circuits check on every run.
    static const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                                 static_cast<double>(sysconf(_SC_PAGESIZE));
    const double needed = std::ldexp(static_cast<double>(sizeof(cplx)), n);
    if (n < 0 || n > 60 || needed > memory) {
        throw MemoryError("a state of " + std::to_string(n) + " qubits needs " +
                          std::to_string(needed / (1 << 30)) + " GiB, more than this machine's " +
                          std::to_string(memory / (1 << 30)) + " GiB of memory");
    }
}

StateVector::StateVector(int n) : n_(n) {
    check_fits_in_memory(n);
    amps_.resize(size());
    reset();
}

StateVector StateVector::from_amplitudes(std::span<const cplx> amplitudes) {
    const size_t size = amplitudes.size();
    if (size == 0 || (size & (size - 1)) != 0) {
        throw ValueError("a state vector needs a power-of-two length, got " +
                         std::to_string(size));
    }
    double norm2 = 0;
    for (const cplx& a : amplitudes) {
        if (!std::isfinite(a.real()) || !std::isfinite(a.imag()))
            throw ValueError("a state vector must have finite amplitudes");
        norm2 += std::norm(a);
    }
    if (std::abs(std::sqrt(norm2) - 1) > 1e-8) {
        throw ValueError("a state vector must have norm 1 (within 1e-8), got " +
                         std::to_string(std::sqrt(norm2)));
    }
    StateVector state(std::countr_zero(size));
    std::copy(amplitudes.begin(), amplitudes.end(), state.amps_.begin());
    return state;
}

void StateVector::reset() {
    std::fill(amps_.begin(), amps_.end(), cplx(0));
    amps_[0] = 1;
}

void StateVector::apply(const Circuit& circuit) {
    if (circuit.has_measurement())
        throw ValueError("a state cannot be evolved through a measurement");
    if (circuit.width() > n_)
        throw IndexError("qubit " + std::to_string(circuit.width() - 1) + " is outside the state");
    Schedule plan = make_schedule(circuit, n_);
    if (n_ >= kFuseMinQubits) plan = fuse(plan);
    for (const Step& step : plan.steps) plan.apply(data(), n_, step);
}

double StateVector::probability_of_one(int q) const {
    const uint64_t bit = uint64_t{1} << q;
    double p = 0;
    for (uint64_t i = 0; i < size(); ++i)
        if (i & bit) p += std::norm(amps_[i]);
    return p;
}

void StateVector::collapse(int q, int value, double p) {
    const uint64_t bit = uint64_t{1} << q;
    const double scale = 1 / std::sqrt(p);
    for (uint64_t i = 0; i < size(); ++i) {
        if (((i & bit) != 0) == (value == 1)) {
            amps_[i] *= scale;
        } else {
            amps_[i] = 0;
        }
    }
}

template <class Prob>
static std::vector<double> gather(uint64_t size, const std::vector<int>& qubits, Prob prob) {
    std::vector<double> out(uint64_t{1} << qubits.size(), 0.0);
    bool identity = true;
    for (size_t k = 0; k < qubits.size(); ++k) identity = identity && qubits[k] == int(k);
    for (uint64_t i = 0; i < size; ++i) {
        uint64_t j = 0;
        if (identity) {
            j = i & (out.size() - 1);
        } else {
            for (size_t k = 0; k < qubits.size(); ++k) j |= ((i >> qubits[k]) & 1) << k;
        }
        out[j] += prob(i);
    }
    return out;
}

std::vector<double> StateVector::probabilities(const std::vector<int>& qubits) const {
    for (int q : qubits)
        if (q >= n_) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    return gather(size(), qubits, [&](uint64_t i) { return std::norm(amps_[i]); });
}

std::vector<double> marginal(const std::vector<double>& full, int n, const std::vector<int>& qubits) {
    for (int q : qubits)
        if (q >= n) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    return gather(full.size(), qubits, [&](uint64_t i) { return full[i]; });
}

}  // namespace kestrix
