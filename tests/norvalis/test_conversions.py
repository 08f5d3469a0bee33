"""One conversion layer: qubit lists, counts and hostile values read the same way in the
SDK, the plugin and the modules."""
import numpy as np
import pytest
from isolated import child_lines

from kestrix.core import BARRIER, CPUQVM, H, QCircuit, QProg, measure
from norvalis.plugin import QFT, hadamard_circuit, measure_all


def qubits_of(circuit):
    return [(g.name, list(g.qubits), list(g.controls)) for g in circuit]


class TestQubitLists:
    @pytest.mark.parametrize("qubits", [[1, 2], (1, 2), range(1, 3), np.array([1, 2]),
                                        np.array([1, 2], dtype=np.uint8), (q for q in (1, 2))])
    def test_any_integer_sequence_is_a_qubit_list(self, qubits):
        assert list(H(0).control(qubits).controls) == [1, 2]

    def test_numpy_arrays_everywhere_a_list_is(self):
        assert qubits_of(hadamard_circuit(np.arange(3))) == qubits_of(hadamard_circuit([0, 1, 2]))
        assert qubits_of(QFT(np.arange(3))) == qubits_of(QFT([0, 1, 2]))
        assert qubits_of(measure(np.arange(2), np.arange(2))) == qubits_of(
            measure([0, 1], [0, 1]))
        assert qubits_of(measure_all(np.arange(2), np.arange(2))) == qubits_of(
            measure_all([0, 1], [0, 1]))
        assert list(BARRIER(np.arange(2)).qubits) == [0, 1]
        assert len(QCircuit() << H(0).control(np.int64(1))) == 1

    @pytest.mark.parametrize("value", [True, np.bool_(True), [0, True]])
    def test_a_bool_is_never_a_qubit(self, value):
        with pytest.raises(TypeError, match="qubit must be an integer, got"):
            H(0).control(value) if isinstance(value, list) else H(value)

    @pytest.mark.parametrize("value, error", [(0.0, TypeError), ("01", TypeError),
                                              (b"01", TypeError), (-1, ValueError),
                                              (2**40, ValueError), (np.float64(1), TypeError)])
    def test_bad_qubits(self, value, error):
        with pytest.raises(error):
            hadamard_circuit(value)


class TestCounts:
    @pytest.mark.parametrize("shots", [5, np.int64(5), np.uint16(5)])
    def test_shots_take_any_integer(self, shots):
        assert CPUQVM(seed=1).run(QProg(1) << H(0) << measure(0, 0), shots).shots == 5

    @pytest.mark.parametrize("shots, error, message", [
        (True, TypeError, "shots must be an int, got bool"),
        (np.bool_(True), TypeError, "shots must be an int, got .*bool"),
        (2.0, TypeError, "shots must be an int, got float"),
        (0, ValueError, "shots must be positive, got 0"),
        (-3, ValueError, "shots must be positive, got -3"),
        (2**70, ValueError, "shots is too large"),
    ])
    def test_bad_shots(self, shots, error, message):
        with pytest.raises(error, match=message):
            CPUQVM().run(QProg(1) << H(0), shots)


def test_parse_helpers_survive_a_float_that_mutates_its_container():
    # Run under the debug allocator in a child: reading freed memory crashes it.
    lines = child_lines("""
        from norvalis.plugin import parse_quantum_result_dict, parse_quantum_result_list

        class Evil:
            def __init__(self, box, value):
                self.box, self.value = box, value
            def __float__(self):
                self.box.clear()
                return self.value

        res = [0.0, 0.0, 0.0, 0.0]
        res[:] = [Evil(res, 0.25) for _ in range(4)]
        d = {}
        d.update({k: Evil(d, 0.5) for k in ("01", "10")})
        for call in (lambda: parse_quantum_result_list(res, [0, 1]),
                     lambda: parse_quantum_result_dict(d, [0, 1])):
            try:
                call()
            except RuntimeError as e:
                print(e)
    """)
    # Read from a snapshot, so nothing freed is touched; then refused, as the data are gone.
    assert lines == ["res changed size while it was read (4 entries, now 0)",
                     "res changed size while it was read (2 entries, now 0)"]
