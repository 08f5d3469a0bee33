"""Variational SVD: the ansatz and loss against an independent NumPy model, training
against numpy.linalg.svd, messages and hostile input."""
import numpy as np
import pandas
import pytest
import reference as ref
import scipy.optimize

import kestrix.core
import kestrix.quantum_info
import norvalis.plugin
from norvalis.Trelvo import SVD, Trelvo


def ansatz_matrix(n, para, depth):
    """The register's ansatz as a 2^n x 2^n matrix, from the textbook gates."""
    u = np.eye(2 ** n)
    for layer in range(depth):
        for j in range(n):
            u = ref.gate_matrix("RY", [j], [para[j + n * layer]], n) @ u
        for j in range(n - 1):
            u = ref.gate_matrix("CNOT", [j, j + 1], [], n) @ u
    return u.real


def transformed(svd, par):
    """U0 M U1^T / |M|: entry [row value, column value] of the evolved state."""
    cut = svd.q0 * svd.iter_depth
    u0 = ansatz_matrix(svd.q0, par[:cut], svd.iter_depth)
    u1 = ansatz_matrix(svd.q1, par[cut:], svd.iter_depth)
    return u0 @ svd.q_matrix @ u1.T / svd.normal_value


def trained(matrix, seed, depth=8):
    np.random.seed(seed)
    svd = SVD(matrix, depth)
    return svd, svd.Trelvo_min()


class TestConstructor:
    def test_registers_padding_norm_and_starting_angles(self):
        a = np.arange(1.0, 16.0).reshape(3, 5)
        np.random.seed(4)
        svd = SVD(a)
        np.random.seed(4)
        expected = 0.5 * np.pi * np.random.random(40)
        assert (svd.q0, svd.q1, svd.iter_depth) == (2, 3, 8)
        assert svd.q_matrix.shape == (4, 8)
        assert np.array_equal(svd.q_matrix[:3, :5], a) and not svd.q_matrix[3:].any()
        assert not svd.q_matrix[:, 5:].any()
        # np.linalg.norm sums the squares with BLAS, in an order of its own: a few ulps.
        norm = np.linalg.norm(a)
        assert svd.normal_value == ref.blas_approx(norm, norm)
        assert np.array_equal(svd.parameter, expected)
        assert svd.matrix is not a and np.array_equal(svd.matrix, a)

    def test_square_power_of_two_needs_no_padding(self):
        svd = SVD(np.ones((8, 8)))
        assert (svd.q0, svd.q1, svd.q_matrix.shape, svd.parameter.shape) == (3, 3, (8, 8), (48,))
        assert np.all((svd.parameter >= 0) & (svd.parameter < np.pi / 2))

    @pytest.mark.parametrize("depth, stored", [(2.0, 2), (np.int64(3), 3), (10, 10)])
    def test_depth_equal_to_an_integer_is_stored_as_that_int(self, depth, stored):
        svd = SVD(np.eye(2), depth)
        assert svd.iter_depth == stored and type(svd.iter_depth) is int
        assert svd.parameter.shape == (2 * stored,)
        assert len(svd.cir([0], svd.parameter)) == stored

    @pytest.mark.parametrize("matrix, depth, error, message", [
        (None, 8, TypeError, "please input data with 2 dimension !"),
        ([1, 2], 8, TypeError, "please input data with 2 dimension !"),
        (np.ones((2, 2, 2)), 1, TypeError, "please input data with 2 dimension !"),
        (np.eye(2), 1, ValueError, "please input integer number in 2~10 !"),
        (np.eye(2), 11, ValueError, "please input integer number in 2~10 !"),
        (np.eye(2), 2.5, ValueError, "please input integer number in 2~10 !"),
        (np.eye(2), "8", ValueError, "please input integer number in 2~10 !"),
        (np.ones((0, 3)), 8, ValueError, "at least one row and one column"),
    ])
    def test_refusals_in_order(self, matrix, depth, error, message):
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            SVD(matrix, depth)

    def test_load_time_bindings(self):
        assert Trelvo.pd is pandas and Trelvo.np is np
        assert Trelvo.minimize is scipy.optimize.minimize
        assert Trelvo.StateVector is kestrix.quantum_info.StateVector
        assert Trelvo.Encode is kestrix.core.Encode and Trelvo.RY is kestrix.core.RY
        assert Trelvo.parse_quantum_result_list is norvalis.plugin.parse_quantum_result_list


class TestCircuitAndLoss:
    def test_ansatz_gate_order(self):
        svd = SVD(np.eye(4), 2)
        circuit = svd.cir([5, 7], [.1, .2, .3, .4])
        gates = [(g.name, g.qubits, g.controls, g.params) for g in circuit]
        assert gates == [("RY", [5], [], [.1]), ("RY", [7], [], [.2]), ("X", [7], [5], []),
                         ("RY", [5], [], [.3]), ("RY", [7], [], [.4]), ("X", [7], [5], [])]

    @pytest.mark.parametrize("shape", [(2, 2), (4, 4), (3, 5), (5, 3), (1, 4), (4, 1), (8, 2)])
    def test_loss_and_phase_match_the_numpy_model(self, shape):
        rng = np.random.default_rng(sum(shape))
        svd = SVD(rng.normal(size=shape), 3)
        par = rng.uniform(-np.pi, np.pi, svd.parameter.size)
        t = transformed(svd, par)
        expected_loss = 1 - sum(t[r, r] ** 2 for r in range(min(t.shape)))
        assert 0 <= svd.loss(par) <= 1
        assert svd.loss(par) == pytest.approx(expected_loss, abs=1e-12)
        phase, index = svd.loss(par, False)
        assert phase.shape == (2 ** svd.q1, 2 ** svd.q0)
        np.testing.assert_allclose(phase, t.T, atol=1e-12)
        assert index == np.argmax(np.abs(phase))
        diag = svd.return_diag(par)
        np.testing.assert_allclose(diag, np.abs(t.T) * svd.normal_value, atol=1e-12)
        assert np.all(diag >= 0)

    def test_chosen_angles_that_diagonalise_give_loss_zero(self):
        rng = np.random.default_rng(8)
        svd = SVD(np.ones((4, 8)), 4)
        par = rng.uniform(0, 2 * np.pi, svd.parameter.size)
        u0 = ansatz_matrix(2, par[:8], 4)
        u1 = ansatz_matrix(3, par[8:], 4)
        sigma = np.zeros((4, 8))
        sigma[[0, 1, 2, 3], [0, 1, 2, 3]] = [0.5, 3.0, 1.0, 2.0]
        svd = SVD(u0.T @ sigma @ u1, 4)
        assert svd.loss(par) == pytest.approx(0, abs=1e-12)
        assert np.diag(svd.return_diag(par)) == pytest.approx([0.5, 3.0, 1.0, 2.0], abs=1e-12)
        lead = svd.loss(par, False)[1]
        assert lead == 1 * 4 + 1
        np.testing.assert_allclose(np.abs(svd.max_eig("0", par, lead)), np.abs(u0[1]), atol=1e-12)
        np.testing.assert_allclose(np.abs(svd.max_eig("1", par, lead)), np.abs(u1[1]), atol=1e-12)

    def test_list_and_array_angles_agree_and_nothing_is_drawn(self):
        svd = SVD(np.arange(6.0).reshape(2, 3))
        par = list(svd.parameter)
        state = np.random.get_state()
        assert svd.loss(par) == svd.loss(np.array(par)) == svd.loss(np.array(par)[::-1][::-1])
        assert svd.loss(np.array(par, dtype=np.float32)) == pytest.approx(svd.loss(par), abs=1e-6)
        assert np.array_equal(np.random.get_state()[1], state[1])

    def test_a_replaced_ansatz_is_used(self):
        class Plain(SVD):
            def cir(self, qlist, para):
                return Trelvo.QCircuit()

        svd = Plain(np.array([[1.0, 2.0], [3.0, 4.0]]))
        t = np.array([[1.0, 2.0], [3.0, 4.0]]) / np.sqrt(30)
        assert svd.loss(svd.parameter) == pytest.approx(1 - t[0, 0] ** 2 - t[1, 1] ** 2)

    @pytest.mark.parametrize("par, error", [
        (np.zeros(5), IndexError), ([0.0] * 5, IndexError), (np.full(16, np.nan), ValueError),
        (np.zeros((16, 2)), TypeError), (["a"] * 16, TypeError), (None, TypeError)])
    def test_bad_angles(self, par, error):
        with pytest.raises(error):
            SVD(np.eye(4)).loss(par)

    def test_ansatz_reads_the_layer_count_before_the_qubits(self):
        svd = SVD(np.eye(4))
        svd.iter_depth = None    # range(None) fails before any qubit is read
        with pytest.raises(TypeError, match="NoneType"):
            svd.cir([-1], svd.parameter)

    def test_bad_matrices(self):
        with pytest.raises(ValueError, match="all zero"):
            SVD(np.zeros((2, 2))).loss(np.zeros(16))
        with pytest.raises(ValueError, match="non-finite"):
            SVD(np.array([[1.0, np.nan], [0.0, 1.0]])).loss(np.zeros(16))
        svd = SVD(np.eye(2))
        svd.q_matrix = np.eye(4)
        with pytest.raises(ValueError, match="length"):
            svd.loss(np.zeros(16))


class TestMaxEig:
    def test_vectors_are_the_inverse_ansatz_on_the_reduced_index(self):
        svd = SVD(np.ones((4, 2)), 3)
        par = np.random.default_rng(2).uniform(0, np.pi, svd.parameter.size)
        u0 = ansatz_matrix(2, par[:6], 3)
        u1 = ansatz_matrix(1, par[6:], 3)
        for index in range(9):
            np.testing.assert_allclose(svd.max_eig("0", par, index), u0[index % 4], atol=1e-12)
            # The column register reads the low bit of the same value, reduced modulo 2**q0.
            np.testing.assert_allclose(svd.max_eig("1", par, index), u1[index % 4 % 2], atol=1e-12)

    def test_other_registers_and_missing_angles(self):
        svd = SVD(np.eye(2))
        assert svd.max_eig(0, svd.parameter) is None
        assert svd.max_eig("2", svd.parameter) is None
        with pytest.raises(TypeError):
            svd.max_eig("0")


class TestTraining:
    # Seeded problems; every one of these converges (see docs/modules/trelvo.md for failure rates).
    @pytest.mark.parametrize("shape, seed", [((2, 2), 0), ((2, 2), 1), ((4, 4), 0), ((4, 4), 1),
                                             ((3, 5), 0), ((4, 2), 2), ((1, 4), 3)])
    def test_matches_numpy_svd(self, shape, seed):
        a = np.random.default_rng(seed).normal(size=shape)
        svd, par = trained(a, seed)
        assert svd.loss(par) < 1e-8
        # Tolerance: SLSQP stops at loss ~1e-10, i.e. off-diagonal weight ~1e-5 of the norm.
        values = np.sort(np.diag(svd.return_diag(par)))[::-1]
        reference = np.linalg.svd(a, compute_uv=False)
        np.testing.assert_allclose(values[:reference.size], reference,
                                   atol=1e-5 * np.linalg.norm(a))
        assert not values[reference.size:].any() or values[reference.size:].max() < 1e-5
        u, _, vt = np.linalg.svd(a)
        lead = svd.loss(par, False)[1]
        left = svd.max_eig("0", par, lead)
        right = svd.max_eig("1", par, lead)
        for got, want in [(left[:shape[0]], u[:, 0]), (right[:shape[1]], vt[0])]:
            np.testing.assert_allclose(got * np.sign(got @ want), want, atol=1e-4)

    def test_one_by_one_matrix(self):
        svd, par = trained([[-3.0]], 0)
        assert par.size == 0 and svd.loss(par) == 0
        assert svd.return_diag(par) == [[3.0]]
        assert svd.max_eig("0", par) == [1.0] and svd.max_eig("1", par) == [1.0]

    def test_uses_slsqp_from_the_stored_parameters(self, monkeypatch):
        calls = []

        class Result:
            x = "trained"

        def spy(fun, **kwargs):
            calls.append((fun, kwargs))
            return Result()

        monkeypatch.setattr(Trelvo, "minimize", spy)
        svd = SVD(np.eye(2))
        start = svd.parameter.copy()
        assert svd.Trelvo_min() == "trained"
        [(fun, kwargs)] = calls
        assert fun == svd.loss and kwargs.keys() == {"x0", "method", "tol"}
        assert kwargs["x0"] is svd.parameter and kwargs["method"] == "SLSQP"
        assert kwargs["tol"] == 1e-10 and np.array_equal(svd.parameter, start)


class TestTrainingOptions:
    def test_tol_and_maxiter_reach_slsqp(self, monkeypatch):
        calls = []

        class Result:
            x = "trained"

        monkeypatch.setattr(Trelvo, "minimize", lambda fun, **kw: calls.append(kw) or Result())
        svd = SVD(np.eye(2))
        svd.Trelvo_min(tol=1e-6)
        svd.Trelvo_min(maxiter=np.int64(500))
        assert calls[0].keys() == {"x0", "method", "tol"} and calls[0]["tol"] == 1e-6
        assert calls[1]["options"] == {"maxiter": 500} and calls[1]["tol"] == 1e-10

    def test_restarts_keep_the_lowest_loss_of_fresh_starts(self):
        # Depth 2 cannot diagonalise a general 4 x 4 matrix, so every start misses and all
        # restarts run, each drawing its start as the constructor does.
        a = np.random.default_rng(0).normal(size=(4, 4))
        np.random.seed(3)
        svd = SVD(a, 2)
        starts = [svd.parameter] + [0.5 * np.pi * np.random.random(8) for _ in range(2)]
        trained_losses = [svd.loss(scipy.optimize.minimize(svd.loss, x0=s, method="SLSQP",
                                                           tol=1e-10).x) for s in starts]
        np.random.seed(3)
        svd = SVD(a, 2)
        par = svd.Trelvo_min(restarts=2)
        assert min(trained_losses) > 1e-3 and svd.loss(par) == min(trained_losses)

    def test_restarts_stop_once_trained(self):
        np.random.seed(0)
        svd = SVD(np.random.default_rng(1).normal(size=(2, 2)), 2)
        state = np.random.get_state()[1].copy()
        par = svd.Trelvo_min(restarts=5)
        assert svd.loss(par) < 1e-8 and np.array_equal(np.random.get_state()[1], state)

    @pytest.mark.parametrize("options, error, message", [
        (dict(restarts=-1), ValueError, "restarts must be at least 0, got -1"),
        (dict(restarts=True), TypeError, "restarts must be an integer, got bool"),
        (dict(maxiter=0), ValueError, "maxiter must be at least 1, got 0"),
        (dict(maxiter=2.0), TypeError, "maxiter must be an integer, got float"),
        (dict(maxiter=2**80), ValueError, "maxiter 1208925819614629174706176 is too large"),
        (dict(tol=-1.0), ValueError, "tol must be positive and finite, got -1.0"),
        (dict(tol=np.inf), ValueError, "tol must be positive and finite, got inf"),
        (dict(tol=None), TypeError, "tol must be a real number, got NoneType"),
        (dict(callback=3), TypeError, "callback must be callable or None, got int"),
    ])
    def test_bad_options(self, options, error, message):
        with pytest.raises(error, match=message):
            SVD(np.eye(2)).Trelvo_min(**options)


class TestTrainingProgress:
    def test_callback_sees_each_iteration_and_can_stop_training(self):
        a = np.random.default_rng(0).normal(size=(4, 4))
        np.random.seed(3)
        svd = SVD(a, 2)
        full = svd.Trelvo_min()
        seen = []

        def watch(iteration, x, loss):
            seen.append((iteration, x.copy(), loss))
            return iteration == 4

        state = np.random.get_state()[1].copy()
        # Depth 2 misses on this matrix, so only the callback's stop keeps restarts from
        # drawing fresh starts.
        par = svd.Trelvo_min(restarts=3, callback=watch)
        assert [s[0] for s in seen] == [1, 2, 3, 4]
        assert np.array_equal(np.random.get_state()[1], state)
        np.testing.assert_array_equal(par, seen[-1][1])
        for _, x, loss in seen:
            assert abs(loss - svd.loss(x)) <= 1e-12
        assert seen[-1][2] > svd.loss(full)

    def test_a_callback_raising_stopiteration_stops_the_restarts_too(self):
        a = np.random.default_rng(0).normal(size=(4, 4))
        np.random.seed(3)
        svd = SVD(a, 2)
        state = np.random.get_state()[1].copy()

        def stop(iteration, x, loss):
            raise StopIteration

        par = svd.Trelvo_min(restarts=2, callback=stop)
        assert np.array_equal(np.random.get_state()[1], state) and par.shape == (8,)

    def test_a_callback_that_never_stops_changes_nothing(self):
        np.random.seed(5)
        svd = SVD(np.random.default_rng(2).normal(size=(2, 2)), 2)
        count = []
        np.testing.assert_array_equal(svd.Trelvo_min(callback=lambda *a: count.append(a[0])),
                                      svd.Trelvo_min())
        assert count == list(range(1, len(count) + 1)) and count

    def test_verbose_shows_the_iterations(self, capsys):
        np.random.seed(5)
        SVD(np.eye(2) * [1, 2], 2).Trelvo_min(maxiter=3, verbose=True)
        assert "Trelvo_min iterations" in capsys.readouterr().err
        SVD(np.eye(2), 2).Trelvo_min(maxiter=3)
        assert capsys.readouterr().err == ""

    def test_a_hook_kept_past_the_call_or_given_only_x_is_harmless(self, monkeypatch):
        kept = []

        def legacy(fun, x0, callback, **kwargs):
            callback(x0)  # SciPy's older form: the angles alone
            kept.append(callback)
            return scipy.optimize.OptimizeResult(x=x0)

        monkeypatch.setattr(Trelvo, "minimize", legacy)
        svd = SVD(np.eye(2), 2)
        seen = []
        svd.Trelvo_min(callback=lambda i, x, loss: seen.append((i, loss)))
        assert seen == [(1, svd.loss(svd.parameter))]
        assert kept[0](svd.parameter) is None and len(seen) == 1
