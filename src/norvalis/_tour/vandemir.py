"""Quantum k-means on the iris petals next to scikit-learn's KMeans, compared by the
adjusted Rand index, with a scatter plot of both clusterings."""
import numpy as np
from scipy.optimize import linear_sum_assignment
from sklearn.cluster import KMeans
from sklearn.datasets import load_iris
from sklearn.metrics import adjusted_rand_score

from norvalis.QKmeans import Vandemir

from .section import Row, figure, save

NAME = "vandemir"
# The clusterings count as agreeing at this adjusted Rand index or above.
AGREEMENT = 0.9


def _matched(clusters, reference, k):
    """The clusters renamed after the reference clusters they overlap most, so that the
    two plots share their colours."""
    overlap = np.array([[np.sum((clusters == i) & (reference == j)) for j in range(k)]
                        for i in range(k)])
    rows, cols = linear_sum_assignment(-overlap)
    return cols[clusters]


def _plot(path, data, quantum, reference):
    quantum = (quantum[0], _matched(quantum[1], reference[1], len(reference[0])))
    fig, axes = figure(2, width=4.5, height=4,
                       title="Quantum k-means on the iris petals, K = 3")
    for ax, (title, (centres, clusters)) in zip(axes, [("swap-test k-means", quantum),
                                                        ("scikit-learn KMeans", reference)]):
        ax.scatter(data[:, 0], data[:, 1], c=clusters, cmap="viridis", s=14)
        ax.scatter(centres[:, 0], centres[:, 1], c="red", marker="x", s=80, label="centres")
        ax.set_title(title)
        ax.set_xlabel("petal length (scaled)")
    axes[0].set_ylabel("petal width (scaled)")
    axes[0].legend(loc="upper left")
    save(fig, path)


def run(ctx):
    features, species = load_iris(return_X_y=True)
    petals = features[:, 2:4]
    # Into [-1, 1], the range the angle encoding maps onto [0, pi].
    data = 2 * (petals - petals.min(axis=0)) / np.ptp(petals, axis=0) - 1
    ctx.progress("clustering 150 flowers (450 swap tests per iteration)")
    quantum = Vandemir(3).fit(data)
    kmeans = KMeans(3, n_init=10, random_state=0).fit(data)
    reference = (kmeans.cluster_centers_, kmeans.labels_)
    with ctx.plotting():
        _plot(ctx.plot_path("vandemir_iris.png"), data, quantum, reference)
    agreement = adjusted_rand_score(reference[1], quantum[1])
    return [Row("Quantum k-means", "iris petal length and width scaled to [-1, 1], K=3",
                f"ARI vs KMeans {agreement:.3f} "
                f"(vs species {adjusted_rand_score(species, quantum[1]):.3f})",
                f"KMeans; ARI vs species {adjusted_rand_score(species, reference[1]):.3f}",
                agreement >= AGREEMENT)]
