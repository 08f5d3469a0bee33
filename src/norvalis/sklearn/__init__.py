"""scikit-learn estimators on norvalis's quantum kernels and quantum k-means.

`QuantumKernel` (a kernel object for `SVC(kernel=...)`), `QSVC`, `QSVR`, `QKMeans` and
`EncodingRangeScaler` follow scikit-learn's conventions: parameters in `__init__`,
`get_params`/`set_params`, `fit` returning self, fitted attributes ending in `_`, so
they clone, pipeline and grid-search like scikit-learn's own.

This package is Python where every other norvalis module is compiled from C++, because
scikit-learn builds its estimators out of Python class machinery: an estimator derives
from `BaseEstimator` and its mixins, its parameters are read from the `__init__`
signature, its tags are composed through `super()`, and `clone` rebuilds it by keyword.
The frame's compiled classes derive from `object` alone. So this file holds class
definitions only, each method checking its input with scikit-learn's validators and
handing every computation to a compiled module, on the same code path as that module's
own front end:

- kernel entries: `norvalis.QSVM.ostrakin` (`QuantumKernel_lumet`'s circuits, seeds and
  projection);
- regression features and kernel: `norvalis.Quillan` (`Quantum_SVR`'s scaler, projection
  and exact fidelities);
- clustering: `norvalis.QKmeans.Vandemir` (`Vandemir.fit`'s loop and swap tests).
"""
import math
import numbers
import warnings
from collections.abc import Callable

import numpy as np
from numpy.typing import ArrayLike
from sklearn.base import (
    BaseEstimator,
    ClassifierMixin,
    ClusterMixin,
    OneToOneFeatureMixin,
    RegressorMixin,
    TransformerMixin,
)
from sklearn.preprocessing import MinMaxScaler
from sklearn.svm import SVC, SVR
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from norvalis import NorvalisWarning
from norvalis.QKmeans import Vandemir
from norvalis.QSVM import QuantumKernel_lumet
from norvalis.Quillan import Quantum_SVR

__all__ = ["EncodingRangeScaler", "QKMeans", "QSVC", "QSVR", "QuantumKernel",
           "ENCODING_RANGES"]

#: What a random_state may be: None (NumPy's global generator), a seed, or a generator.
RandomState = int | np.random.RandomState | None

#: The feature range each encoding uses in full, by the estimator (or module) that uses it.
#: QKMeans (Vandemir) maps a value v to the polar angle ((v + 1) * pi) / 2, so [-1, 1]
#: covers [0, pi]; the quantum kernel (QuantumKernel_lumet) applies the phase 2 x, so
#: [0, pi] covers the whole circle once.
ENCODING_RANGES = {
    "QKMeans": (-1.0, 1.0),
    "Vandemir": (-1.0, 1.0),
    "QSVC": (0.0, math.pi),
    "QuantumKernel": (0.0, math.pi),
    "QuantumKernel_lumet": (0.0, math.pi),
}


def _check_int(value, name, low):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < low:
        raise ValueError(f"{name} must be an int of at least {low}, got {value!r}")
    return int(value)


def _check_positive(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not value > 0 \
            or not math.isfinite(value):
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    return float(value)


def _seed_source(random_state):
    """None for NumPy's global generator, else a RandomState made afresh from the seed,
    so that each call with an int seed draws the same seeds."""
    return None if random_state is None else check_random_state(random_state)


class QuantumKernel(BaseEstimator):
    """The quantum kernel of `QuantumKernel_lumet` as a kernel object for scikit-learn.

    `qk(X, Y)` is the Gram matrix `QuantumKernel_lumet(batch_size, n_qbits).evaluate`
    gives for `scale * X` and `scale * Y` (the same circuits, seeds and, for a symmetric
    call, positive-semidefinite projection). Pass it as `SVC(kernel=qk)`; its parameters
    take part in `get_params`, so `GridSearchCV(SVC(kernel=qk), {"kernel__n_qbits": ...,
    "kernel__scale": ...})` searches them.

    Args:
        n_qbits: the width of the feature map, one qubit per feature (at least 2, at most
            the number of features; later features are not read).
        scale: a factor applied to every feature before the map, the feature-map
            parameter that sets how far the phases turn (the map's full range is
            [0, pi], so scale=0.5 on data scaled to it uses [0, pi/2]).
        batch_size: pairs collected before they run; changes no value.
        random_state: None draws each entry's seed from NumPy's global generator, as
            `evaluate` does; an int (or a RandomState) makes every call repeatable.
        verbose: a progress bar over the computed entries (tqdm's when installed, else a
            line on standard error).
    """

    def __init__(self, n_qbits: int = 2, scale: float = 1.0, batch_size: int = 100,
                 random_state: RandomState = None, verbose: bool = False) -> None:
        self.n_qbits = n_qbits
        self.scale = scale
        self.batch_size = batch_size
        self.random_state = random_state
        self.verbose = verbose

    def __call__(self, X: ArrayLike, Y: ArrayLike | None = None) -> np.ndarray:
        """The Gram matrix of the rows of X against the rows of Y (X itself when None)."""
        n_qbits = _check_int(self.n_qbits, "n_qbits", 2)
        scale = _check_positive(self.scale, "scale")
        X = check_array(X, dtype=np.float64) * scale
        if Y is not None:
            Y = check_array(Y, dtype=np.float64) * scale
        kernel = QuantumKernel_lumet(batch_size=_check_int(self.batch_size, "batch_size", 1),
                                     n_qbits=n_qbits)
        return kernel._evaluate(X, Y, _seed_source(self.random_state), bool(self.verbose))


def _padded(X, width):
    """X with zero columns up to `width` features."""
    if X.shape[1] >= width:
        return X
    return np.hstack([X, np.zeros((X.shape[0], width - X.shape[1]))])


class QSVC(ClassifierMixin, BaseEstimator):
    """Support-vector classification with the quantum kernel of `QuantumKernel_lumet`.

    `fit` computes the training Gram matrix with `QuantumKernel` and trains
    `SVC(kernel="precomputed", C=C)` on it; `predict` computes the kernel of the new
    samples against the training ones. Samples with fewer features than `n_qbits` are
    padded with zero columns; of more, the first `n_qbits` enter the map (a
    `NorvalisWarning` says so: reduce them first, with PCA say). Scale the features with
    `EncodingRangeScaler("QSVC")` to use the map's full range.

    `n_qbits`, `scale`, `batch_size`, `random_state` and `verbose` are those of
    `QuantumKernel`; `C` is the SVC's regularisation.

    Attributes:
        classes_: the class labels. kernel_: the fitted `QuantumKernel`. svc_: the SVC.
        X_fit_: the training samples as the kernel reads them. n_features_in_.
    """

    def __init__(self, n_qbits: int = 2, scale: float = 1.0, C: float = 1.0,
                 batch_size: int = 100, random_state: RandomState = None,
                 verbose: bool = False) -> None:
        self.n_qbits = n_qbits
        self.scale = scale
        self.C = C
        self.batch_size = batch_size
        self.random_state = random_state
        self.verbose = verbose

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        # The feature map is periodic in every feature (the phase 2 x): data that span more
        # than [0, pi] fold over, so an unscaled problem may score poorly by design.
        tags.classifier_tags.poor_score = True
        return tags

    def _features(self, X):
        n_qbits = _check_int(self.n_qbits, "n_qbits", 2)
        if X.shape[1] > n_qbits:
            warnings.warn(f"{type(self).__name__} encodes the first {n_qbits} of "
                          f"{X.shape[1]} features (n_qbits={n_qbits}); reduce them first "
                          "(PCA, say) or raise n_qbits", NorvalisWarning, stacklevel=3)
        return _padded(X, n_qbits)

    def fit(self, X: ArrayLike, y: ArrayLike) -> "QSVC":
        X, y = validate_data(self, X, y, dtype=np.float64)
        check_classification_targets(y)
        _check_positive(self.C, "C")
        features = self._features(X)
        self.kernel_ = QuantumKernel(self.n_qbits, self.scale, self.batch_size,
                                     self.random_state, self.verbose)
        self.svc_ = SVC(kernel="precomputed", C=self.C).fit(self.kernel_(features), y)
        self.classes_ = self.svc_.classes_
        self.X_fit_ = features
        return self

    def _test_kernel(self, X):
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return self.kernel_(self._features(X), self.X_fit_)

    def decision_function(self, X: ArrayLike) -> np.ndarray:
        """The SVC's decision values for the rows of X."""
        kernel = self._test_kernel(X)
        return self.svc_.decision_function(kernel)

    def predict(self, X: ArrayLike) -> np.ndarray:
        """The predicted class of each row of X."""
        kernel = self._test_kernel(X)
        return self.svc_.predict(kernel)


class QSVR(RegressorMixin, BaseEstimator):
    """Support-vector regression with `Quantum_SVR`'s kernel, fitted once and applied to
    new samples.

    `fit` builds `Quantum_SVR(X, y)`, which standardises the features and brings them to
    two columns (PCA, or a zero column after a single feature) and keeps that scaler and
    projection; the kernel is its exact two-qubit fidelity (`k_kernel`), and
    `SVR(kernel="precomputed", C, epsilon)` regresses on it (the defaults give what
    `Quantum_SVR.get_res` gives on the training points). `predict` brings new samples
    through the kept scaler and projection (`Quantum_SVR.transform`) and their kernel
    against the training points. The features are standardised inside, so no scaling
    step is needed before it (an `EncodingRangeScaler` in front changes nothing).
    The two-qubit map limits what it can fit: on y = x cos(5x) over [-1, 1] (100
    training and 100 test points, 10 draws) its mean test R^2 is 0.54 against 0.95 for
    scikit-learn's RBF `SVR()`.

    Attributes:
        model_: the fitted `Quantum_SVR`. svr_: the SVR. n_features_in_.
    """

    def __init__(self, C: float = 1.0, epsilon: float = 0.1) -> None:
        self.C = C
        self.epsilon = epsilon

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        # Every problem is reduced to two principal components, which may leave out the
        # direction the target depends on.
        tags.regressor_tags.poor_score = True
        return tags

    def fit(self, X: ArrayLike, y: ArrayLike) -> "QSVR":
        X, y = validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        _check_positive(self.C, "C")
        if isinstance(self.epsilon, bool) or not isinstance(self.epsilon, numbers.Real) \
                or not 0 <= self.epsilon < math.inf:
            raise ValueError(f"epsilon must be a finite number of at least 0, got {self.epsilon!r}")
        if X.shape[0] < 2:
            raise ValueError("QSVR needs at least 2 samples to standardise, got "
                             f"n_samples={X.shape[0]}")
        self.model_ = Quantum_SVR(X, y)
        gram = self.model_.k_kernel(self.model_.x, self.model_.x)
        self.svr_ = SVR(kernel="precomputed", C=self.C, epsilon=self.epsilon).fit(gram, y)
        return self

    def predict(self, X: ArrayLike) -> np.ndarray:
        """The predicted target of each row of X."""
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        model = self.model_
        return self.svr_.predict(model.k_kernel(model.transform(X), model.x))


class QKMeans(ClusterMixin, BaseEstimator):
    """K-means whose distances are swap tests: `Vandemir`'s fit as a scikit-learn
    clusterer.

    `fit` runs `Vandemir(k=n_clusters, tol=tol)`'s loop (initial centres, swap tests,
    stopping rule, redraws) with the initial centres and every swap test's seed drawn
    from `random_state` (None: NumPy's global generator, so after `np.random.seed(s)` the
    result is `Vandemir.fit`'s), at most `max_iter` iterations, `callback(iteration,
    centres, shift)` after each (a true return value stops it) and a progress bar when
    `verbose`. A redraw issues `NorvalisWarning`, as does stopping at `max_iter` before
    the centres settle. Scale the features into [-1, 1] first
    (`EncodingRangeScaler("QKMeans")`): on 1,000-point make_blobs sets scaled to
    [-0.5, 0.5] (seeds 0 to 19) it raises the mean adjusted Rand index from 0.82 to 0.92.
    Only the first two features decide the clusters. A single
    feature is given a zero second one (the equator of the encoding).

    Attributes:
        cluster_centers_: (n_clusters, n_features). labels_: the cluster of each training
            sample, from the last distance step. n_iter_: iterations run.
            converged_: whether the loop ended on `tol`. n_features_in_.

    `score(X)` is minus the summed swap-test distance of each sample to its nearest
    centre (KMeans's minus-inertia convention), so a grid search ranks fits without a
    `scoring` argument.
    """

    def __init__(self, n_clusters: int = 2, tol: float = 0.01, max_iter: int = 300,
                 random_state: RandomState = None, verbose: bool = False,
                 callback: Callable[[int, np.ndarray, float | None], object] | None = None
                 ) -> None:
        self.n_clusters = n_clusters
        self.tol = tol
        self.max_iter = max_iter
        self.random_state = random_state
        self.verbose = verbose
        self.callback = callback

    def fit(self, X: ArrayLike, y: object = None) -> "QKMeans":
        X = validate_data(self, X, dtype=np.float64)
        k = _check_int(self.n_clusters, "n_clusters", 1)
        max_iter = _check_int(self.max_iter, "max_iter", 1)
        if X.shape[0] < k:
            raise ValueError(f"n_samples={X.shape[0]} should be >= n_clusters={k}.")
        rng = check_random_state(self.random_state)
        data = _padded(X, 2)
        centres, labels, self.n_iter_, self.converged_ = Vandemir(k=k, tol=self.tol) \
            ._fit_controlled(data, rng, max_iter, self.callback, bool(self.verbose))
        if labels is None:  # tol >= 1: the loop never ran; assign to the initial centres
            labels = np.argmin(Vandemir._distances(data, centres, rng), axis=1)
        if not self.converged_ and self.n_iter_ >= max_iter:
            warnings.warn(f"QKMeans stopped after max_iter={max_iter} iterations before the "
                          f"centres settled within tol={self.tol}", NorvalisWarning, stacklevel=2)
        self._centres = centres
        self.cluster_centers_ = centres[:, :X.shape[1]]
        self.labels_ = np.asarray(labels, dtype=np.intp)
        return self

    def predict(self, X: ArrayLike) -> np.ndarray:
        """The nearest centre of each row of X, by the swap tests of one fit step."""
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        distances = Vandemir._distances(_padded(X, 2), self._centres,
                                        check_random_state(self.random_state))
        return np.argmin(distances, axis=1).astype(np.intp)

    def score(self, X: ArrayLike, y: object = None) -> float:
        """Minus the sum over the rows of X of the swap-test distance to the nearest
        centre: KMeans's score (minus the inertia) in this estimator's distance, so that
        higher is better and a grid search without `scoring` can rank fits. Distances are
        sampled as `predict`'s are, so a set `random_state` makes the score repeatable."""
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        distances = Vandemir._distances(_padded(X, 2), self._centres,
                                        check_random_state(self.random_state))
        return -float(np.min(distances, axis=1).sum())


class EncodingRangeScaler(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Scales each feature to the full range of an encoding (`ENCODING_RANGES`):
    [-1, 1] for "QKMeans" (Vandemir's angle ((v + 1) pi) / 2 then covers [0, pi]), and
    [0, pi] for "QSVC" and "QuantumKernel" (the phase 2 x turns once round the circle).
    A `MinMaxScaler` with that range does the work; `clip` is its own.

    Attributes:
        feature_range_: the range used. scaler_: the fitted MinMaxScaler. data_min_,
        data_max_: per feature. n_features_in_.
    """

    def __init__(self, encoding: str = "QKMeans", clip: bool = False) -> None:
        self.encoding = encoding
        self.clip = clip

    def fit(self, X: ArrayLike, y: object = None) -> "EncodingRangeScaler":
        X = validate_data(self, X, dtype=np.float64)
        if self.encoding not in ENCODING_RANGES:
            raise ValueError(f"encoding must be one of {sorted(ENCODING_RANGES)}, got "
                             f"{self.encoding!r}")
        self.feature_range_ = ENCODING_RANGES[self.encoding]
        self.scaler_ = MinMaxScaler(feature_range=self.feature_range_, clip=self.clip).fit(X)
        self.data_min_ = self.scaler_.data_min_
        self.data_max_ = self.scaler_.data_max_
        return self

    def transform(self, X: ArrayLike) -> np.ndarray:
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return self.scaler_.transform(X)

    def inverse_transform(self, X: ArrayLike) -> np.ndarray:
        check_is_fitted(self)
        X = check_array(X, dtype=np.float64)
        return self.scaler_.inverse_transform(X)
