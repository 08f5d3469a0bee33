"""The kestrix SDK itself: Bell and GHZ states, their probabilities, counts and drawing."""
import numpy as np

from kestrix.core import CNOT, CPUQVM, H, QProg, measure

from .section import Row, figure, save

NAME = "sdk"


def _ghz(n):
    prog = QProg(n)
    prog << H(0)
    for q in range(n - 1):
        prog << CNOT(q, q + 1)
    return prog


def run(ctx):
    rows = []
    bell = _ghz(2)
    print("Bell state circuit:\n" + str(bell))
    machine = CPUQVM()
    probs = machine.run(bell, shots=1).get_prob_dict([0, 1])
    rows.append(Row("Bell state", "H, CNOT on 2 qubits", f"P = {_fmt(probs)}",
                    "P(00) = P(11) = 1/2",
                    probs.keys() == {"00", "11"}
                    and all(abs(p - 0.5) < 1e-12 for p in probs.values())))

    n, shots = 5, 4000
    ghz = _ghz(n)
    ghz << measure(list(range(n)), list(range(n)))
    counts = machine.run(ghz, shots=shots).get_counts()
    share = counts.get("0" * n, 0) / shots
    # Binomial standard deviation at p = 1/2 is sqrt(shots)/2 shots; allow five of them.
    tolerance = 5 * np.sqrt(shots) / 2 / shots
    rows.append(Row("GHZ state", f"{n} qubits, {shots} shots", f"counts = {counts}",
                    f"only 0…0 and 1…1, each 1/2 ± {tolerance:.3f}",
                    counts.keys() == {"0" * n, "1" * n} and abs(share - 0.5) < tolerance))
    with ctx.plotting():
        _plot(ctx.plot_path("sdk_bell_ghz.png"), probs, counts, n, shots)
    return rows


def _plot(path, bell, counts, n, shots):
    fig, (left, right) = figure(2)
    keys = ["00", "01", "10", "11"]
    left.bar(keys, [bell.get(k, 0.0) for k in keys], color="C0")
    left.set_title("Bell state: exact probabilities")
    left.set_xlabel("outcome (q1 q0)")
    left.set_ylabel("probability")
    outcomes = np.arange(2 ** n)
    right.bar(outcomes, [counts.get(format(i, f"0{n}b"), 0) / shots for i in outcomes],
              color="C0", label=f"measured, {shots} shots")
    right.axhline(0.5, color="C3", linestyle="--", label="exact 1/2")
    right.set_xticks([0, 2 ** n - 1], ["0" * n, "1" * n])
    right.set_title(f"GHZ state on {n} qubits: {2 ** n} outcomes")
    right.set_xlabel("outcome")
    right.set_ylabel("frequency")
    right.legend(loc="upper center")
    for ax in (left, right):
        ax.set_ylim(0, 0.7)
    save(fig, path)


def _fmt(probs):
    return "{" + ", ".join(f"{k}: {v:.3f}" for k, v in probs.items()) + "}"
