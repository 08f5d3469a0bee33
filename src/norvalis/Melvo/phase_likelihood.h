#pragma once
// Maximum-likelihood amplitude from the whole outcome distribution of the counting
// register, rather than from its most probable outcome alone.
#include <utility>
#include <vector>

namespace norvalis::melvo {

/// The probability that phase estimation with `counting` qubits reads y when the Grover
/// operator turns by 2 theta (a = sin^2 theta) and the work register starts in B|0>:
/// half the Fejer kernel at y / M - theta / pi plus half at y / M + theta / pi, M = 2**counting.
double outcome_probability(long long y, int counting, double theta);

/// An estimate of a and the interval around it.
struct AmplitudeFit {
    double a = 0, a_low = 0, a_high = 0;
};

/// The a maximising the likelihood of `outcomes`, pairs (y, weight). With shots > 0 the
/// weights are counts out of `shots` and the interval is the likelihood-ratio interval at
/// level 1 - alpha; with shots == 0 they are exact probabilities, which leave no sampling
/// error: the interval is the estimate itself.
AmplitudeFit fit_amplitude(const std::vector<std::pair<long long, double>>& outcomes, int counting,
                           double shots, double alpha);

}  // namespace norvalis::melvo
