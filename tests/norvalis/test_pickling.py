"""Instances of norvalis classes travel to other processes: they pickle and deep-copy with
the SDK objects (machines, circuits) and module functions they hold, and work the same
afterwards."""
import copy
import pickle

import numpy as np
import pytest

from kestrix.core import CPUQVM, RY, QCircuit
from norvalis import plugin
from norvalis.Grover import Grover, GroverAdaptiveSearch
from norvalis.Kavrel._Kavrel import KavrelAlg
from norvalis.Melvo import IMelvo, Melvo
from norvalis.QKmeans.Vandemir import Vandemir
from norvalis.QmRMR.fennimor import Feature_Selection, JorrantOptimizer
from norvalis.QSVM import QuantumKernel_lumet
from norvalis.Quillan import Quantum_SVR
from norvalis.Sparvel.Sparvel import QSpare_Code
from norvalis.Trelvo.Trelvo import SVD
from norvalis.Zorvik.Zorvik import _QMachine


def prepare(qubits):
    """A module-level preparation: callables pickle by name."""
    return QCircuit() << RY(qubits[0], 2 * np.arcsin(np.sqrt(0.3)))


def oracle(qubits, value):
    return QCircuit()


def objective(x):
    return float(np.sum(np.asarray(x) ** 2))


INSTANCES = {
    "Grover": lambda: Grover(),
    "Grover with operators": lambda: Grover(in_operator=plugin.hadamard_circuit,
                                            flip_operator=prepare),
    "GroverAdaptiveSearch": lambda: GroverAdaptiveSearch(0, 3, oracle_circuit=oracle),
    "Melvo": lambda: Melvo(prepare, 1),
    "IMelvo": lambda: IMelvo(prepare, 1, 0, 0.01),
    "_QMachine": lambda: _QMachine(3, 3),
    "SVD": lambda: SVD(np.array([[1.0, 2.0], [3.0, 4.0]])),
    "Feature_Selection": lambda: Feature_Selection(np.eye(3), np.ones(3), 1),
    "JorrantOptimizer": lambda: JorrantOptimizer(objective),
    "QuantumKernel_lumet": lambda: QuantumKernel_lumet(10, 2),
    "Vandemir": lambda: Vandemir(3, 0.05),
    "QSpare_Code": lambda: QSpare_Code([0.25, 0.25, 0.5, 0.0]),
    "KavrelAlg": lambda: KavrelAlg([1, 0, 0, 1], [0.6, 0.8], 1),
    "Quantum_SVR": lambda: Quantum_SVR(np.array([[0.0, 1.0], [2.0, 0.5], [1.0, 3.0]]),
                                       np.array([0.0, 1.0, 2.0])),
}


def same(a, b):
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b)
    if isinstance(a, CPUQVM):
        return repr(a) == repr(b)
    if isinstance(a, (list, tuple)) and len(a) == len(b):
        return all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if hasattr(a, "get_params"):  # a fitted scikit-learn object: its parameters and state
        return type(a) is type(b) and same(vars(a), vars(b))
    return a is b or a == b


@pytest.mark.parametrize("make", INSTANCES.values(), ids=INSTANCES.keys())
@pytest.mark.parametrize("clone", [lambda x: pickle.loads(pickle.dumps(x)), copy.deepcopy],
                         ids=["pickle", "deepcopy"])
def test_instances_come_back_with_their_state(make, clone):
    original = make()
    twin = clone(original)
    assert type(twin) is type(original)
    assert vars(twin).keys() == vars(original).keys()
    for name, value in vars(original).items():
        assert same(getattr(twin, name), value), name


def test_a_copied_search_builds_the_same_circuit():
    grover = pickle.loads(pickle.dumps(Grover(mark_data=None, flip_operator=prepare)))
    assert grover.cir([0, 1], iternum=2) == Grover(flip_operator=prepare).cir([0, 1], iternum=2)


def test_a_copied_estimator_estimates_the_same():
    melvo = IMelvo(prepare, 1, 0, 0.01)
    twin = pickle.loads(pickle.dumps(melvo))
    np.random.seed(2)
    expected = melvo.run()
    np.random.seed(2)
    assert twin.run() == expected


def test_a_search_over_marked_strings_pickles_with_its_flip():
    original = Grover(mark_data=["101", "011"])
    for twin in (pickle.loads(pickle.dumps(original)), copy.deepcopy(original)):
        assert twin.flip_operator.__qualname__ == "Grover.__init__.<locals>.s_f"
        assert twin.cir([0, 1, 2], iternum=1) == original.cir([0, 1, 2], iternum=1)


def test_other_closures_refuse_to_pickle_as_python_closures_do():
    from norvalis.QAOA.marrowind import xy_mixer
    with pytest.raises((pickle.PicklingError, AttributeError), match="local"):
        pickle.dumps(xy_mixer(2))
