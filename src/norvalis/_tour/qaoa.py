"""QAOA building blocks: a Dicke state and a W state sampled against 1/C(n, k), an XY-mixer
QAOA layer that keeps the weight of every domain, and the stochastic-perturbation
minimiser on a noisy objective against SciPy's minimum of the noiseless one, and on
Rosenbrock's valley with and without blocking."""
import itertools
import math
import warnings

import numpy as np
from scipy.optimize import minimize

from kestrix.core import CNOT, CPUQVM, RZ, QCircuit, QProg, measure
from kestrix.quantum_info import StateVector
from norvalis.QAOA import (
    init_d_state,
    jorrant_minimize,
    linear_w_state,
    prepare_dicke_state,
    xy_mixer,
)

from .section import Row, figure, save

NAME = "qaoa"


def _sampled_row(algorithm, circuit, n, k, shots):
    prog = QProg(n) << circuit << measure(list(range(n)), list(range(n)))
    counts = CPUQVM().run(prog, shots=shots).get_counts()
    expected = 1 / math.comb(n, k)
    frequencies = {key: c / shots for key, c in counts.items()}
    right_weight = all(key.count("1") == k for key in counts)
    worst = max(abs(frequencies.get("".join(bits), 0.0) - expected)
                for bits in itertools.product("01", repeat=n) if bits.count("1") == k)
    # Five binomial standard deviations of one outcome's frequency.
    tolerance = 5 * math.sqrt(expected * (1 - expected) / shots)
    row = Row(algorithm, f"{n} qubits, weight {k}, {shots} shots",
              f"{len(counts)} strings, all of weight {k}: max |freq - p| {worst:.4f}"
              if right_weight else f"{len(counts)} strings, some of another weight",
              f"p = 1/C({n},{k}) = {expected:.4f} ± {tolerance:.4f}",
              right_weight and len(counts) == math.comb(n, k) and worst <= tolerance)
    return frequencies, row


def _mixer_row():
    n, domains = 8, [[0, 1, 2, 3], [4, 5, 6, 7]]
    qubits = list(range(n))
    rng = np.random.default_rng(3)
    layer = QCircuit() << init_d_state(2, k=2)(qubits)
    for a, b in itertools.combinations(qubits, 2):  # a diagonal cost layer of ZZ phases
        layer << CNOT(a, b) << RZ(b, rng.uniform(0, np.pi)) << CNOT(a, b)
    layer << xy_mixer(2, "CXY")(qubits, 0.7)
    probs = np.abs(StateVector(n).evolve(layer).ndarray()) ** 2
    inside = [i for i in range(2 ** n)
              if all(sum(i >> q & 1 for q in d) == 2 for d in domains)]
    outside = 1 - probs[inside].sum()
    return Row("QAOA layer: Dicke start, cost, complete XY mixer",
               "8 qubits in 2 domains of weight 2",
               f"probability off weight (2, 2): {abs(outside):.1e}",
               "0 (the mixer keeps each domain's weight)", abs(outside) < 1e-12)


def _minimiser_row():
    def smooth(x):
        return (x[0] - 1) ** 2 + 2 * (x[1] + 0.5) ** 2 + 0.3 * x[0] * x[1]

    noise = np.random.default_rng(11)
    path = []
    found = jorrant_minimize(lambda x: smooth(x) + 0.02 * noise.normal(), [0.0, 0.0],
                             maxiter=400, a=0.5, callback=lambda x: path.append(np.copy(x)))
    best = minimize(smooth, [0.0, 0.0]).x
    distance = float(np.linalg.norm(found - best))
    row = Row("Stochastic-perturbation minimiser", "2-variable quadratic, noise σ = 0.02",
              f"x = ({found[0]:.3f}, {found[1]:.3f})",
              f"SciPy (noiseless) ({best[0]:.3f}, {best[1]:.3f}); within 0.05",
              distance < 0.05)
    return np.linalg.norm(np.array(path) - best, axis=1), row


def _rosenbrock(x):
    return 100.0 * (x[1] - x[0] ** 2) ** 2 + (1.0 - x[0]) ** 2


def _blocking_row():
    # 25 + 3 * 6658 calls with blocking, 2 * 10,000 without: 20,000 either way. The gains
    # are the ones that reach the valley floor with blocking on every seed of the benchmark.
    gains = {"a": 0.01, "c": 0.01, "alpha": 0.3}
    np.random.seed(3)
    blocked = jorrant_minimize(_rosenbrock, [-1.2, 1.0], maxiter=6658, blocking=True, **gains)
    np.random.seed(3)
    with warnings.catch_warnings(record=True) as caught, np.errstate(all="ignore"):
        warnings.simplefilter("always", RuntimeWarning)
        free = jorrant_minimize(_rosenbrock, [-1.2, 1.0], maxiter=10_000, **gains)
    diverged = any(issubclass(w.category, RuntimeWarning) for w in caught)
    # Second-order steps with blocking: 5 calls an iteration, 3995 iterations and the
    # blocking's measurement stay within 20,000 calls.
    np.random.seed(3)
    second = jorrant_minimize(_rosenbrock, [-1.2, 1.0], maxiter=3995, blocking=True,
                              second_order=True, a=5.0, c=1e-3)
    best = minimize(_rosenbrock, [-1.2, 1.0], method="BFGS").x
    f_blocked, f_free = _rosenbrock(blocked), _rosenbrock(free)
    distance = float(np.linalg.norm(second - best))
    free_text = f"{f_free:.1e}" + (" (warned)" if diverged else "")
    return Row("Stochastic-perturbation minimiser, blocking",
               "Rosenbrock from (-1.2, 1), 20,000 calls, a=0.01 c=0.01 alpha=0.3",
               f"f = {f_blocked:.1e} with blocking; {free_text} without; second order "
               f"with blocking: {distance:.1e} from the optimum",
               f"SciPy BFGS ({best[0]:.3f}, {best[1]:.3f}), f = 0; f < 1e-3 with blocking, "
               "within 1e-3 with second order",
               bool(f_blocked < 1e-3 and distance < 1e-3))


def _plot_distribution(ax, title, frequencies, n, k, shots):
    strings = ["".join(bits) for bits in itertools.product("01", repeat=n)
               if bits.count("1") == k]
    expected = 1 / math.comb(n, k)
    ax.bar(range(len(strings)), [frequencies.get(s, 0.0) for s in strings], color="C0",
           label=f"measured, {shots} shots")
    ax.axhline(expected, color="C3", linestyle="--", label=f"exact 1/C({n},{k})")
    if len(strings) <= 6:
        ax.set_xticks(range(len(strings)), strings)
    ax.set_title(title)
    ax.set_xlabel(f"the {len(strings)} strings of weight {k}")
    ax.set_ylabel("frequency")
    ax.set_ylim(0, 1.6 * expected)
    ax.legend(loc="upper right", fontsize="small")


def _plot(path, dicke, w, distances, shots):
    fig, (left, middle, right) = figure(3, width=4.2)
    _plot_distribution(left, "Dicke state D(6, 3)", dicke, 6, 3, shots)
    _plot_distribution(middle, "W state on 5 qubits", w, 5, 1, shots)
    right.semilogy(np.arange(1, len(distances) + 1), distances, color="C0")
    right.axhline(0.05, color="C3", linestyle="--", label="tolerance 0.05")
    right.set_title("stochastic-perturbation minimiser")
    right.set_xlabel("iteration")
    right.set_ylabel("distance to SciPy's minimum")
    right.legend(loc="upper right", fontsize="small")
    save(fig, path)


def run(ctx):
    ctx.progress("Dicke and W states, an XY-mixer layer, the minimiser")
    shots = 4000
    dicke, dicke_row = _sampled_row("Dicke state D(6, 3)",
                                    prepare_dicke_state(list(range(6)), 3), 6, 3, shots)
    w, w_row = _sampled_row("W state (linear chain)", linear_w_state(list(range(5))), 5, 1,
                            shots)
    mixer_row = _mixer_row()
    distances, minimiser_row = _minimiser_row()
    blocking_row = _blocking_row()
    with ctx.plotting():
        _plot(ctx.plot_path("qaoa_states_minimiser.png"), dicke, w, distances, shots)
    return [dicke_row, w_row, mixer_row, minimiser_row, blocking_row]
