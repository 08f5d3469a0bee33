"""Times norvalis.plugin's result parsers on a 20-qubit result; the goal is well under a
second each. The dictionary parser cannot beat building a dict of the same size, so that
floor is printed beside it. Run: .venv/bin/python bench/plugin_parse.py"""
import numpy as np
from timing import best_time

from kestrix.core import CPUQVM, RY, H, QProg
from norvalis.plugin import parse_quantum_result_dict, parse_quantum_result_list

N = 20
GOAL_SECONDS = 0.25


def main():
    prog = QProg(N)
    angles = np.random.default_rng(1).uniform(0.1, 3.0, N)
    for q in range(N):
        prog << H(q) << RY(q, angles[q])
    result = CPUQVM().run(prog, shots=1)
    qubits = list(range(N))
    as_dict, as_list = result.get_prob_dict(qubits), result.get_prob_list(qubits)
    print(f"{N}-qubit result: {len(as_dict)} outcomes")
    floor = best_time(lambda: dict(zip(as_dict, as_dict.values())))
    print(f"{'floor: dict(zip(keys, values))':28s} {floor * 1000:8.1f} ms")
    cases = [("parse_quantum_result_dict", lambda: parse_quantum_result_dict(as_dict, qubits)),
             ("parse_quantum_result_list", lambda: parse_quantum_result_list(as_list, qubits)),
             ("  with select_max=10", lambda: parse_quantum_result_list(as_list, qubits, 10))]
    for name, f in cases:
        seconds = best_time(f)
        print(f"{name:28s} {seconds * 1000:8.1f} ms   (goal < {GOAL_SECONDS * 1000:.0f} ms)")


if __name__ == "__main__":
    main()
