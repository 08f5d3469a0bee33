#include "kestrix/lib/run/evolve.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/plan/plan.h"

namespace kestrix {

namespace {

Plan unitary_plan(const Circuit& circuit, int n, const InterruptCheck& interrupt,
                  bool from_zero = false, Precision precision = Precision::Double) {
    if (circuit.has_measurement())
        throw ValueError("a state cannot be evolved through a measurement");
    if (circuit.width() > n)
        throw IndexError("qubit " + std::to_string(circuit.width() - 1) + " is outside the state");
    return Plan(circuit, n, interrupt, from_zero, precision);
}

}  // namespace

void apply_circuit(StateVector& state, const Circuit& circuit, const InterruptCheck& interrupt,
                   bool from_zero) {
    const Plan plan =
        unitary_plan(circuit, state.num_qubits(), interrupt, from_zero, state.precision());
    state.visit([&](auto* amps) { plan.run(amps, interrupt); });
}

std::vector<cplx> circuit_matrix(const Circuit& circuit, int n, const InterruptCheck& interrupt,
                                 Precision precision) {
    check_memory(std::ldexp(double(sizeof(cplx)), 2 * n),
                 "the matrix of a circuit on " + std::to_string(n) + " qubits");
    const Plan plan = unitary_plan(circuit, n, interrupt, false, precision);
    const uint64_t dim = uint64_t{1} << n;
    std::vector<cplx> u(dim * dim);
    StateVector column(n, {}, precision);
    // Column j is the image of basis state j.
    column.visit([&](auto* a) {
        using C = std::remove_cvref_t<decltype(*a)>;
        for (uint64_t j = 0; j < dim; ++j) {
            if (interrupt && interrupt()) throw Interrupted();
            std::fill(a, a + dim, C(0));
            a[j] = 1;
            plan.run(a, interrupt);
            for (uint64_t i = 0; i < dim; ++i) u[i * dim + j] = cplx(a[i]);
        }
    });
    return u;
}

}  // namespace kestrix
