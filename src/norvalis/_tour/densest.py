"""Constrained QAOA in one piece: the densest k-node subgraph of a random 10-node graph,
from a Dicke-state start through layers of edge phases and the complete XY mixer (which
keep every state at k chosen nodes), the first layer's angles found by a sweep over a grid
and the stochastic-perturbation minimiser, each deeper layer started from the shallower
one's angles (interpolated) and finished by exact gradients. Checked against brute force
over the C(10, 4) = 210 subsets."""
import itertools
import math

import numpy as np
from scipy.optimize import minimize

from kestrix.core import CNOT, CPUQVM, CR, RX, RZ, ParameterVector, QCircuit
from kestrix.quantum_info import PauliSum, expval, gradient
from norvalis.QAOA import jorrant_minimize, prepare_dicke_state

from .section import Row, figure, save

NAME = "densest"


def exchange(a, b, angle):
    """exp(-i angle (XX + YY) / 2) on (a, b), as norvalis.QAOA.iswap builds it, but with an
    angle that may be a parameter expression: it swaps |01> and |10> and keeps the weight."""
    return (QCircuit() << RX(a, np.pi / 2) << RX(b, np.pi / 2) << CNOT(a, b) << RX(a, angle)
            << RZ(b, angle) << CNOT(a, b) << RX(a, -np.pi / 2) << RX(b, -np.pi / 2))


def ansatz(n, k, edges, layers):
    """The QAOA circuit with parameters gamma[p] (edge phases) and beta[p] (mixer)."""
    gamma, beta = ParameterVector("gamma", layers), ParameterVector("beta", layers)
    circuit = QCircuit() << prepare_dicke_state(list(range(n)), k)
    for p in range(layers):
        for a, b in edges:
            circuit << CR(a, b, gamma[p])  # the phase gamma where both ends are chosen
        for a, b in itertools.combinations(range(n), 2):
            circuit << exchange(a, b, -2 * beta[p])
    return circuit, list(gamma) + list(beta)


def inside_edges(n, edges):
    """The number of edges with both ends chosen, sum of x_a x_b = (1 - Z_a)(1 - Z_b) / 4."""
    terms = {}
    for a, b in edges:
        for qubits, sign in (((), 1), ((a,), -1), ((b,), -1), ((a, b), 1)):
            label = "".join("Z" if q in qubits else "I" for q in reversed(range(n)))
            terms[label] = terms.get(label, 0.0) + sign / 4
    return PauliSum(list(terms.items()))


def _values(circuit, order, angles):
    """The angles in `order` as one row in the circuit's column order."""
    position = {p: j for j, p in enumerate(order)}
    return np.array([angles[position[p]] for p in circuit.parameters])


def _interpolated(x):
    """Angles for one layer more from those of p layers (the usual interpolation start)."""
    p = len(x)
    return np.array([(i / p) * (x[i - 1] if i else 0) + ((p - i) / p) * (x[i] if i < p else 0)
                     for i in range(p + 1)])


def densest_subgraph_qaoa(n, k, edges, layers, seed=0):
    """(angles per depth, probabilities over the 2^n strings at the deepest, <edges inside>
    per depth): gamma then beta for each depth 1 .. layers."""
    h = inside_edges(n, edges)
    circuit, order = ansatz(n, k, edges, 1)
    grid = np.array(list(itertools.product(np.linspace(0.2, 2 * np.pi, 12),
                                           np.linspace(0.1, np.pi, 12))))
    energies = expval(h, circuit, parameter_values=[_values(circuit, order, g) for g in grid])
    np.random.seed(seed)
    x = jorrant_minimize(lambda v: -expval(h, circuit.bind(_values(circuit, order, v))),
                         grid[int(np.argmax(energies))], maxiter=60, a=0.1, c=0.05)
    found, expected = [], []
    for p in range(1, layers + 1):
        circuit, order = ansatz(n, k, edges, p)
        if p > 1:
            x = np.concatenate([_interpolated(x[:p - 1]), _interpolated(x[p - 1:])])

        def negative(v, circuit=circuit, order=order):
            value, grad = gradient(h, circuit, _values(circuit, order, v))
            position = {q: j for j, q in enumerate(circuit.parameters)}
            return -value, -np.array([grad[position[q]] for q in order])

        result = minimize(negative, x, jac=True, method="L-BFGS-B")
        x = result.x
        found.append(x)
        expected.append(-result.fun)
    probs = CPUQVM().prob_batch(circuit, parameter_values=_values(circuit, order, x))[0]
    return found, probs, expected


def run(ctx):
    ctx.progress("QAOA for the densest 4-node subgraph: sweep, minimiser, gradients")
    rng = np.random.default_rng(7)
    n, k, layers = 10, 4, 4
    edges = [e for e in itertools.combinations(range(n), 2) if rng.random() < 0.35]
    inside = {s: sum(a in s and b in s for a, b in edges)
              for s in itertools.combinations(range(n), k)}
    best = max(inside.values())
    optimal = [sum(1 << q for q in s) for s, v in inside.items() if v == best]
    _, probs, expected = densest_subgraph_qaoa(n, k, edges, layers)
    p_optimal = float(probs[optimal].sum())
    top = int(np.argmax(probs))
    uniform = len(optimal) / math.comb(n, k)
    row = Row("QAOA: Dicke start, XY mixer, minimiser + gradients",
              f"densest {k} of {n} nodes, {len(edges)} edges, {layers} layers",
              f"P(optimal) {p_optimal:.2f} (Dicke start {uniform:.2f}); "
              f"<edges> {expected[-1]:.2f}; most likely: {bin(top).count('1')} nodes, "
              f"{sum(top >> a & 1 and top >> b & 1 for a, b in edges)} edges",
              f"brute force over {math.comb(n, k)} subsets: {best} edges; "
              "most likely is optimal, P >= 0.5",
              bool(top in optimal and p_optimal >= 0.5))
    with ctx.plotting():
        fig, ax = figure(1, width=5)
        ax.plot(range(1, layers + 1), np.array(expected) / best, "o-", color="C0",
                label="<edges inside> / optimum")
        ax.set_xlabel("layers")
        ax.set_ylabel("approximation ratio")
        ax.set_ylim(0, 1.05)
        ax.set_title(f"densest {k}-subgraph, {n} nodes")
        ax.legend(loc="lower right", fontsize="small")
        save(fig, ctx.plot_path("qaoa_densest_subgraph.png"))
    return [row]
