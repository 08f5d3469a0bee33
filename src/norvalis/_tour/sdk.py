"""The kestrix SDK itself: Bell and GHZ states, their probabilities, counts and drawing."""
import numpy as np

from kestrix.core import CNOT, CPUQVM, H, QProg, measure

from .section import Row

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
    return rows


def _fmt(probs):
    return "{" + ", ".join(f"{k}: {v:.3f}" for k, v in probs.items()) + "}"
