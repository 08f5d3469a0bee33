"""Amplitude estimation (norvalis.Melvo): speed and accuracy.

Canonical estimation is timed against the same program with its Grover copies run one by
one (a barrier after every copy keeps the engine from folding a run of them into one matrix
power); iterative estimation against Qiskit's IterativeAmplitudeEstimation on the same
operators, where qiskit-algorithms installs (optional: pip install qiskit-algorithms).
Accuracy: the share of 100 seeded iterative runs within epsilon, and how often the
reported interval [a_l, a_u] holds the exact value (nominal level 95 %). The estimators
beside them: the iterative estimator with confint_method="chernoff" or "beta" over 200
seeds (coverage, error, queries), and Melvo.run_mle against the grid estimate, each against
qiskit-algorithms where it installs.

Run: make bench   (or .venv/bin/python bench/algo_melvo.py)
"""
import time

import numpy as np
from results import recorded
from timing import fmt_time, timed

from kestrix.core import BARRIER, CPUQVM, RY, H, QCircuit, QProg
from norvalis._tour.melvo import SINE_SQUARED_EXACT, sine_squared
from norvalis.Melvo import IMelvo, Melvo
from norvalis.plugin import QFT


def bernoulli(p):
    return lambda q: QCircuit() << RY(q[0], 2 * np.arcsin(np.sqrt(p)))


def product(*angles):
    def prepare(q):
        c = QCircuit()
        for qubit, t in zip(q, angles):
            c << RY(qubit, t)
        return c
    return prepare


def copies_one_by_one(estimator):
    """The estimator's own program, with a barrier after every controlled copy of Q."""
    n, n_anc = estimator.qnumber, estimator.n_anc
    work, counting = list(range(n)), list(range(n, n + n_anc))
    prog = QProg()
    prog << estimator.operator(work)
    for c in counting:
        prog << H(c)
    q = estimator._Q_cir(work)
    for i, c in enumerate(counting):
        controlled = q.control([c])
        for _ in range(2 ** i):
            prog << controlled << BARRIER([c])
    prog << QFT(counting).dagger()
    machine = CPUQVM()

    def run():
        probs = machine.run(prog, 1000).get_prob_dict(counting)
        y = int(max(probs, key=probs.get), 2)
        return np.sin(np.pi * y / 2 ** n_anc) ** 2
    return run


def canonical():
    print("canonical estimation (Melvo.run)            time   copies one by one    ratio   goal")
    cases = [("Bernoulli p=0.3", bernoulli(0.3), 1, 2 ** -14, True),
             ("sin^2 midpoints", sine_squared, 4, 2 ** -10, True),
             ("sin^2 midpoints", sine_squared, 4, 2 ** -14, False),
             ("5 RY qubits", product(0.3, 0.5, 0.7, 0.9, 1.1), 5, 2 ** -14, False)]
    for name, prepare, n, epsilon, compare in cases:
        estimator = Melvo(prepare, n, epsilon=epsilon)
        label = f"{name}, {n}+{estimator.n_anc}q, {2 ** estimator.n_anc - 1} Q"
        folded, estimate = timed(estimator.run)
        row = f"  {label:<40}{fmt_time(folded, 8)}"
        if compare:
            separate, same = timed(copies_one_by_one(estimator), 1)
            assert abs(same - estimate) < 1e-12, (same, estimate)
            row += f"   {fmt_time(separate, 8)}   {separate / folded:6.0f}x"
        else:
            row += f"   {'(not run)':>11}   {'':>7}"
        print(row + "   < 1 s")


def qiskit_iae(method="chernoff"):
    """Qiskit's iterative estimation with `method` intervals, or None where not installed."""
    try:
        from qiskit import QuantumCircuit
        from qiskit.primitives import StatevectorSampler
        from qiskit_algorithms import EstimationProblem, IterativeAmplitudeEstimation
    except ImportError:
        return None

    def build(name, p):
        if name == "Bernoulli":
            a = QuantumCircuit(1)
            a.ry(2 * np.arcsin(np.sqrt(p)), 0)
            return EstimationProblem(state_preparation=a, objective_qubits=[0])
        if name == "3 qubits":
            a = QuantumCircuit(3)
            a.h([0, 1])
            a.ry(THREE_QUBIT_ANGLES[0], 2)
            a.cry(THREE_QUBIT_ANGLES[1], 0, 2)
            a.cry(THREE_QUBIT_ANGLES[2], 1, 2)
            return EstimationProblem(state_preparation=a, objective_qubits=[2])
        a = QuantumCircuit(4)
        a.h([0, 1, 2])
        a.ry(2 / 16, 3)
        for j in range(3):
            a.cry(2 * 2 ** j / 8, j, 3)
        return EstimationProblem(state_preparation=a, objective_qubits=[3])

    def estimate(name, p, epsilon, seed):
        iae = IterativeAmplitudeEstimation(epsilon_target=epsilon, alpha=0.05,
                                           confint_method=method,
                                           sampler=StatevectorSampler(seed=seed))
        result = iae.estimate(build(name, p))
        return result.estimation, result.num_oracle_queries
    return estimate


def counted(estimator):
    """The estimator with its batches recorded: [(k, n_round), ...]."""
    batches = []
    measure = estimator._measure
    estimator._measure = lambda k, n_round: batches.append((k, n_round)) or measure(k, n_round)
    return batches


def iterative(peer, runs=20):
    print("\niterative estimation (IMelvo.run), mean of "
          f"{runs} seeded runs     time    queries   max error   goal")
    cases = [("Bernoulli", bernoulli(0.3), 1, 0.3), ("sin^2", sine_squared, 4, SINE_SQUARED_EXACT)]
    for name, prepare, n, exact in cases:
        for epsilon in (1e-3, 1e-5, 1e-6):
            seconds = queries = error = 0.0
            for seed in range(runs):
                np.random.seed(seed)
                estimator = IMelvo(prepare, n, epsilon=epsilon)
                batches = counted(estimator)
                start = time.perf_counter()
                estimate = estimator.run()
                seconds += (time.perf_counter() - start) / runs
                queries += sum(k * shots for k, shots in batches) / runs
                error = max(error, abs(estimate - exact))
            goal = "milliseconds" if epsilon == 1e-3 else ""
            print(f"  {f'{name}, epsilon={epsilon:g}':<50}{fmt_time(seconds, 8)} {queries:10.0f}"
                  f"   {error:9.2e}   {goal}")
            if peer is None or epsilon < 1e-3:  # Qiskit takes minutes per run below
                continue
            peer_runs = 5
            seconds = queries = error = 0.0
            for seed in range(peer_runs):
                start = time.perf_counter()
                estimate, used = peer(name, 0.3, epsilon, seed)
                seconds += (time.perf_counter() - start) / peer_runs
                queries += used / peer_runs
                error = max(error, abs(estimate - exact))
            print(f"  {f'  Qiskit IAE (chernoff), {peer_runs} runs':<50}{fmt_time(seconds, 8)}"
                  f" {queries:10.0f}   {error:9.2e}")
    if peer is None:
        print("  note: qiskit-algorithms is not installed; its rows are skipped")


def accuracy(runs=100, epsilon=1e-3):
    print(f"\niterative accuracy over {runs} seeded runs (epsilon={epsilon:g})"
          "   within epsilon   interval holds a   largest error")
    cases = [(f"Bernoulli p={p}", bernoulli(p), 1, p) for p in (0.1, 0.27, 0.5, 0.6, 0.9)]
    cases.append(("sin^2 midpoints", sine_squared, 4, SINE_SQUARED_EXACT))
    for name, prepare, n, exact in cases:
        within = covered = 0
        largest = 0.0
        for seed in range(runs):
            np.random.seed(seed)
            estimator = IMelvo(prepare, n, epsilon=epsilon)
            error = abs(estimator.run() - exact)
            within += error <= epsilon
            covered += estimator.a_l <= exact <= estimator.a_u
            largest = max(largest, error)
        print(f"  {name:<55}{within:>8}/{runs}{covered:>14}/{runs}{largest:>16.4f}")


# A 3-qubit operator: H on two index qubits, then RY on the flag by an angle that depends on
# them; the flag reads 1 with probability THREE_QUBIT_A.
THREE_QUBIT_ANGLES = (0.9, 0.5, 0.35)
THREE_QUBIT_A = float(np.mean([np.sin((THREE_QUBIT_ANGLES[0] + THREE_QUBIT_ANGLES[1] * i
                                       + THREE_QUBIT_ANGLES[2] * j) / 2) ** 2
                               for i in (0, 1) for j in (0, 1)]))


def three_qubits(q):
    c = QCircuit() << H(q[0]) << H(q[1]) << RY(q[2], THREE_QUBIT_ANGLES[0])
    return c << RY(q[2], THREE_QUBIT_ANGLES[1]).control(q[0]) \
        << RY(q[2], THREE_QUBIT_ANGLES[2]).control(q[1])


SOUND_CASES = [("Bernoulli", bernoulli(0.3), 1, 0.3), ("3 qubits", three_qubits, 3, THREE_QUBIT_A)]


def row(label, seconds, queries, errors, covered, epsilon):
    errors = np.array(errors)
    coverage = "-" if covered is None else f"{np.mean(covered):.1%}"
    print(f"  {label:<34}{fmt_time(float(np.median(seconds)), 8)} {np.median(queries):9.0f}"
          f"  {np.median(errors):9.2e}  {errors.max():9.2e}"
          f"  {np.mean(errors <= epsilon):7.1%}  {coverage:>7}")


def sound_iterative(runs=200, peer_runs=20, epsilon=1e-3):
    print(f"\niterative estimation with sound intervals, epsilon={epsilon:g}, alpha=0.05")
    print(f"  {'estimator':<34}{'median':>8} {'queries':>9}  {'med err':>9}  {'max err':>9}"
          f"  {'<= eps':>7}  {'covers':>7}")
    for name, prepare, n, exact in SOUND_CASES:
        print(f" {name}, a = {exact:.4f}")
        for method in (None, "chernoff", "beta"):
            seconds, queries, errors, covered = [], [], [], []
            for seed in range(runs):
                np.random.seed(seed)
                estimator = IMelvo(prepare, n, epsilon=epsilon, confint_method=method)
                batches = counted(estimator)
                start = time.perf_counter()
                estimate = estimator.run()
                seconds.append(time.perf_counter() - start)
                queries.append(sum(k * shots for k, shots in batches))
                errors.append(abs(estimate - exact))
                covered.append(estimator.a_l <= exact <= estimator.a_u)
            row(f"IMelvo {method or '(specified)'}, {runs}", seconds, queries, errors, covered,
                epsilon)
        for method in ("chernoff", "beta"):
            peer = qiskit_iae(method)
            if peer is None:
                print("  note: qiskit-algorithms is not installed; its rows are skipped")
                break
            seconds, queries, errors = [], [], []
            for seed in range(peer_runs):
                start = time.perf_counter()
                estimate, used = peer(name, exact, epsilon, seed)
                seconds.append(time.perf_counter() - start)
                queries.append(used)
                errors.append(abs(estimate - exact))
            row(f"Qiskit IAE {method}, {peer_runs}", seconds, queries, errors, None, epsilon)


def maximum_likelihood(counting=10, shots=1024, runs=200):
    print(f"\ncanonical estimation, {counting} counting qubits: grid against maximum likelihood")
    print(f"  {'estimator':<46}{'time':>8}   {'median error':>12}   {'max error':>9}"
          "   interval holds a")
    for name, prepare, n, exact in SOUND_CASES:
        estimator = Melvo(prepare, n, epsilon=2.0 ** -counting)
        seconds, estimate = timed(estimator.run)
        print(f"  {f'{name}: grid (run)':<46}{fmt_time(seconds, 8)}   "
              f"{abs(estimate - exact):12.2e}")
        seconds, (estimate, _) = timed(estimator.run_mle)
        print(f"  {f'{name}: MLE, exact distribution':<46}{fmt_time(seconds, 8)}   "
              f"{abs(estimate - exact):12.2e}")
        errors, seconds, covered = [], 0.0, 0
        for seed in range(runs):
            np.random.seed(seed)
            start = time.perf_counter()
            estimate, (low, high) = estimator.run_mle(shots=shots)
            seconds += (time.perf_counter() - start) / runs
            errors.append(abs(estimate - exact))
            covered += low <= exact <= high
        print(f"  {f'{name}: MLE, {shots} shots, {runs} seeds':<46}{fmt_time(seconds, 8)}   "
              f"{np.median(errors):12.2e}   {max(errors):9.2e}   {covered / runs:8.1%}")
        peer = qiskit_mle(name, exact, counting, shots)
        if peer is not None:
            print(f"  {f'{name}: Qiskit AE + MLE, {shots} shots':<46}{fmt_time(peer[0], 8)}   "
                  f"{peer[1]:12.2e}")


def qiskit_mle(name, exact, counting, shots):
    """(seconds, error) of Qiskit's canonical estimation with its MLE post-processing."""
    try:
        from qiskit import QuantumCircuit
        from qiskit.primitives import StatevectorSampler
        from qiskit_algorithms import AmplitudeEstimation, EstimationProblem
    except ImportError:
        return None
    if name == "Bernoulli":
        a = QuantumCircuit(1)
        a.ry(2 * np.arcsin(np.sqrt(exact)), 0)
    else:
        a = QuantumCircuit(3)
        a.h([0, 1])
        a.ry(THREE_QUBIT_ANGLES[0], 2)
        a.cry(THREE_QUBIT_ANGLES[1], 0, 2)
        a.cry(THREE_QUBIT_ANGLES[2], 1, 2)
    problem = EstimationProblem(state_preparation=a, objective_qubits=[a.num_qubits - 1])
    ae = AmplitudeEstimation(counting, sampler=StatevectorSampler(default_shots=shots, seed=0))
    start = time.perf_counter()
    result = ae.estimate(problem)
    return time.perf_counter() - start, abs(result.mle - exact)


if __name__ == "__main__":
    with recorded(__file__):
        canonical()
        iterative(qiskit_iae())
        accuracy()
        sound_iterative()
        maximum_likelihood()
