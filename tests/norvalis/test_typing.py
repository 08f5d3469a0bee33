"""The norvalis stubs carry real types: mypy accepts a script that uses the modules as
their docs do, and refuses one with the argument mistakes the types exist to catch. The
types are declared beside each parameter in the modules and change nothing at run time."""
import ast
import importlib
import inspect
import pathlib

from typecheck import mypy, pyright

from norvalis.QKmeans import Vandemir

GOOD = """
import numpy as np
from norvalis import NorvalisWarning
from kestrix.core import RY, QCircuit, QGate
from norvalis.Kavrel.Kavrel import (KavrelAlg, Kavrel_solve_linear_equations, build_Kavrel_circuit,
                                    expand_linear_equations)
from norvalis.QmRMR import Feature_Selection, JorrantOptimizer, control
from norvalis.Grover import (Grover, GroverAdaptiveSearch, amp_operator, iter_analysis, iter_num,
                             mark_data_reflection)
from norvalis.Melvo import IMelvo, Melvo
from norvalis.plugin import QFT, parse_quantum_result_dict
from norvalis.QAOA import jorrant_minimize, linear_w_state, xy_mixer
from norvalis.QKmeans import Vandemir
from norvalis.QSVM import QuantumKernel_lumet
from norvalis.Quillan import Quantum_SVR
from norvalis.Sorvic import sorvic_solver
from norvalis.Sparvel import QSpare_Code
from norvalis.Trelvo import SVD
from norvalis.Zorvik import zorvik
from norvalis.sklearn import EncodingRangeScaler, QKMeans, QSVC, QuantumKernel

X = np.random.default_rng(0).uniform(-1, 1, size=(20, 2))
centres, clusters = Vandemir(k=3, tol=0.01).fit(X)
gram: np.ndarray = QuantumKernel_lumet(n_qbits=2).evaluate(X)
k: int = iter_num(5, 2)
probability, theta = iter_analysis(5, 2, k)
circuit = Grover(mark_data=["10110"]).cir(list(range(5)), iternum=k)
component: np.ndarray = zorvik(X, 1)
predicted, target = Quantum_SVR(X, X[:, 0]).get_res()
code = QSpare_Code([0.5, 0.5], cut_length=2, mode="walsh")
labels = QKMeans(n_clusters=2, max_iter=10).fit(EncodingRangeScaler().fit_transform(X)).labels_
qsvc = QSVC(n_qbits=2, scale=0.5).fit(X, X[:, 0] > 0)
value: np.ndarray = QuantumKernel(n_qbits=2)(X)
def prepare(q: list[int]) -> QCircuit:
    return QCircuit() << RY(q[0], 1.0)

a, (low, high) = Melvo(prepare, 1, epsilon=0.01).run_mle(shots=100)
estimate: float = IMelvo(prepare, 1, confint_method="beta", shots=50).run()
inverse: QCircuit = QFT(np.arange(3)).dagger()
parsed: dict[str, float] = parse_quantum_result_dict({"01": 1.0}, [0, 1])
mixed: QCircuit = xy_mixer([[0, 1], [2, 3]])([0, 1, 2, 3], 0.5) << linear_w_state([0, 1, 2])
ground: float = sorvic_solver(np.diag([3.0, 1.0]), [0.0, 1.7, 1.6], restarts=1, seed=0)
svd = SVD(X[:4, :2], depth=2)
angles: np.ndarray = svd.Trelvo_min(maxiter=2)
values: np.ndarray = svd.return_diag(angles)
best = jorrant_minimize(lambda x: float(x @ x), [1.0, 2.0], callback=print, maxiter=3)
assert issubclass(NorvalisWarning, UserWarning)
stopped: np.ndarray = svd.Trelvo_min(maxiter=5, callback=lambda i, x, loss: loss < 1e-3,
                                     verbose=False)
centres, clusters = Vandemir(k=2).fit(X, max_iter=5, callback=lambda i, c, s: i > 3)
selector = Feature_Selection(np.eye(4), [-1.0, -0.5, -0.2, -0.1], 2)
history, choice, top = selector.get_his_res(np.full(8, np.pi / 2))
best_key: str = selector.select_key(selector.get_theory(np.full(8, 0.3)))[0]
params, trace = JorrantOptimizer(selector.cal_loss, max_iters=2).optimize(np.ones(8))
gate: QGate = control([0, 1], 2, 0.5)
solution: list[complex] = Kavrel_solve_linear_equations([1, 0, 0, 2], [1.0, 1.0])
matrix_b = expand_linear_equations([1.0, 0.0, 0.0, 1.0], [1, 2])
hhl: QCircuit = build_Kavrel_circuit([2.0, 1.0, 1.0, 2.0], [1.0, 0.0], precision_cnt=1)
again: list[complex] = KavrelAlg([1j, 0, 0, 1j], [1.0, 0.0]).solve()
operator: QCircuit = amp_operator([0, 1, 2], in_operator=lambda q: QCircuit() << RY(q[0], 0.3))
oracle: QCircuit = mark_data_reflection([0, 1], ["01", "10"])
found, minimum = GroverAdaptiveSearch(0, 3).run(value_function=lambda key: float(key.count("1")))
kept: np.ndarray = code.select_top_n_complex_numbers(code.Transform([0.5, 0.5]), 1)
shares: list[float] = code.Quantum_Res()
"""

BAD = """
import numpy as np
from norvalis.Grover import Grover, GroverAdaptiveSearch, iter_num, mark_data_reflection
from norvalis.Kavrel.Kavrel import (KavrelAlg, Kavrel_solve_linear_equations, build_Kavrel_circuit,
                                    expand_linear_equations)
from norvalis.Melvo import IMelvo, Melvo
from norvalis.QmRMR import Feature_Selection, JorrantOptimizer
from norvalis.QAOA import linear_w_state
from norvalis.QKmeans import Vandemir
from norvalis.Sorvic import sorvic_solver
from norvalis.Sparvel import QSpare_Code
from norvalis.Trelvo import SVD
from norvalis.Zorvik import zorvik

Vandemir(k="three")
Vandemir(tol="small")
zorvik(np.zeros((3, 2)), "1")
iter_num(3, "2")
Grover(mark_data=["101"]).cir([0, 1, 2], iternum=2.0)
count: str = iter_num(3, 2)
IMelvo(None, 1, confint_method="wilson")
Melvo(None, 1).run_mle(shots=1.5)
linear_w_state([0, 1], compress="yes")
sorvic_solver([[1.0]], [0.0], seed="0")
SVD(None, depth=8.0)
SVD(np.eye(2)).Trelvo_min(callback=len)
Vandemir().fit(np.zeros((4, 2)), max_iter="3")
Feature_Selection(np.eye(2), [0.1, 0.2], "1")
JorrantOptimizer(lambda p: 0.0, max_iters=2.5)
name: int = Feature_Selection(np.eye(2), [0.1, 0.2], 1).select_key({"01": 1.0})[0]
Kavrel_solve_linear_equations([1.0, 0.0, 0.0, 1.0], [1.0, 1.0], precision_cnt="2")
expand_linear_equations((1.0, 0.0, 0.0, 1.0), [1.0, 1.0])
build_Kavrel_circuit([1.0], ["1"])
KavrelAlg([1.0], [1.0], 0).solve(1)
mark_data_reflection((0, 1), "11")
GroverAdaptiveSearch(0.0, 3).run(continue_times=2.0)
QSpare_Code([0.5, 0.5]).quantum_cir(2)
"""


def test_a_script_using_the_modules_as_documented_type_checks(tmp_path):
    status, report = mypy(tmp_path, GOOD)
    assert status == 0, report


def test_argument_mistakes_are_caught(tmp_path):
    status, report = mypy(tmp_path, BAD)
    assert status == 1
    flagged = sorted(int(line.split(":")[1]) for line in report.splitlines() if ": error:" in line)
    # every line past the imports is a planted mistake, flagged once
    planted = [number for number, line in enumerate(BAD.splitlines(), 1)
               if line.strip() and not line.startswith(("import ", "from ", " "))]
    assert flagged == planted and len(planted) == 23, report


def test_declared_types_reach_the_stub_and_leave_the_signature_alone():
    assert Vandemir.__init__.__annotations__ == {"return": "None", "k": "int", "tol": "float"}
    assert str(inspect.signature(Vandemir.__init__)) == "(self, k=2, tol=0.01)"
    module = importlib.import_module("norvalis.QKmeans.Vandemir")
    stub = ast.parse(pathlib.Path(module.__file__).with_name("Vandemir.pyi").read_text())
    cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Vandemir")
    init = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    assert [(a.arg, ast.unparse(a.annotation) if a.annotation else None)
            for a in init.args.args] == [("self", None), ("k", "int"), ("tol", "float")]
    assert ast.unparse(init.returns) == "None"


def test_pyright_reads_the_stubs_as_mypy_does(tmp_path):
    lines, report = pyright(tmp_path, GOOD)
    assert lines == [], report
    lines, report = pyright(tmp_path, BAD)
    planted = [number for number, line in enumerate(BAD.splitlines(), 1)
               if line.strip() and not line.startswith(("import ", "from ", " "))]
    assert sorted(set(lines)) == planted, report
