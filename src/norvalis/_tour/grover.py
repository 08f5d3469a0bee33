"""Grover search among 2^n items against iter_analysis, and Grover adaptive search on a
small binary quadratic problem against brute force."""
import itertools

import numpy as np

from kestrix.core import CPUQVM, QCircuit, QProg, X, Z, measure
from norvalis.Grover import Grover, GroverAdaptiveSearch, iter_analysis, iter_num

from .section import Row, figure, save

NAME = "grover"


# (qubits, marked states, iterations or None for iter_num's) of the searches in the table.
SEARCHES = [(4, ["1001"], 1), (6, ["101100", "010011"], None), (9, ["110010111"], None)]


def _success_rate(n, marked, k, shots):
    prog = QProg(n)
    prog << Grover(mark_data=marked).cir(list(range(n)), iternum=k)
    prog << measure(list(range(n)), list(range(n)))
    counts = CPUQVM().run(prog, shots=shots).get_counts()
    return sum(counts.get(m, 0) for m in marked) / shots


def _search_row(n, marked, shots, k=None):
    k = iter_num(n, len(marked)) if k is None else k
    rate = _success_rate(n, marked, k, shots)
    p, _ = iter_analysis(n, len(marked), k)
    # Five binomial standard deviations (at least one shot's worth).
    tolerance = max(5 * np.sqrt(p * (1 - p) / shots), 1 / shots)
    return Row("Grover search", f"{len(marked)} marked among 2^{n}, {k} iterations, {shots} shots",
               f"success rate {rate:.3f}", f"iter_analysis {p:.3f} ± {tolerance:.3f}",
               abs(rate - p) <= tolerance)


def _below_threshold_oracle(objective, n):
    # Phase flip of every assignment whose value is below the threshold.
    def oracle(qubits, threshold):
        circuit = QCircuit()
        for bits in itertools.product((0, 1), repeat=n):
            if objective(bits) < threshold:
                zeros = [q for q, b in zip(qubits[:n], bits) if b == 0]
                for q in zeros:
                    circuit << X(q)
                circuit << Z(qubits[n - 1]).control(qubits[:n - 1])
                for q in zeros:
                    circuit << X(q)
        return circuit
    return oracle


def _adaptive_row():
    n = 4
    q = np.array([[2, -3, 1, 0], [0, 1, -2, 2], [0, 0, -1, -2], [0, 0, 0, 3]])
    objective = lambda bits: int(np.array(bits) @ q @ np.array(bits))  # noqa: E731
    values = {bits: objective(bits) for bits in itertools.product((0, 1), repeat=n)}
    best = min(values.values())
    best_xs = sorted(list(b) for b, v in values.items() if v == best)
    search = GroverAdaptiveSearch(0, n, oracle_circuit=_below_threshold_oracle(objective, n))
    opt_xs, minimum = search.run(continue_times=8, n_value_function=lambda value: 0,
                                 value_function=lambda key: objective(
                                     tuple(int(c) for c in reversed(key))))
    return Row("Grover adaptive search", f"min x^T Q x over {n} binary variables",
               f"{minimum} at {opt_xs}", f"brute force {best} at {best_xs}",
               minimum == best and bool(opt_xs) and all(x in best_xs for x in opt_xs))


def _plot(path, shots=500):
    """Success probability against the number of iterations, measured at every count up
    to twice the best one, beside iter_analysis."""
    fig, ax = figure(width=7.4, height=3.8, right=2.6)
    for colour, (n, marked, _) in zip(["C0", "C1", "C2"], SEARCHES):
        ks = range(2 * iter_num(n, len(marked)) + 2)
        exact = [iter_analysis(n, len(marked), k)[0] for k in ks]
        problem = f"{len(marked)} of $2^{{{n}}}$"
        ax.plot(ks, exact, "-", color=colour, label=f"{problem}: iter_analysis")
        ax.plot(ks, [_success_rate(n, marked, k, shots) for k in ks], "o", color=colour,
                markersize=4, label=f"{problem}: measured, {shots} shots")
    ax.set_title("Grover search: success probability")
    ax.set_xlabel("Grover iterations")
    ax.set_ylabel("P(marked)")
    ax.set_ylim(0, 1.05)
    ax.legend(fontsize="small", loc="center left", bbox_to_anchor=(1, 0.5))
    save(fig, path)


def run(ctx):
    ctx.progress("Grover search on 4, 6 and 9 qubits")
    rows = [_search_row(n, marked, 2000, k) for n, marked, k in SEARCHES]
    ctx.progress("adaptive search")
    rows.append(_adaptive_row())
    with ctx.plotting():
        _plot(ctx.plot_path("grover_success.png"))
    return rows
