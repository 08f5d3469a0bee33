"""The tour's constrained QAOA driver: it keeps every state at k chosen nodes and
concentrates probability on the densest subsets, against brute force."""
import itertools
import math

import numpy as np

from norvalis._tour.densest import densest_subgraph_qaoa, inside_edges


def test_driver_stays_on_k_nodes_and_finds_the_densest_subset():
    n, k = 6, 3
    edges = [(0, 1), (1, 2), (0, 2), (2, 3), (3, 4), (4, 5), (1, 5)]
    inside = {s: sum(a in s and b in s for a, b in edges)
              for s in itertools.combinations(range(n), k)}
    best = max(inside.values())
    optimal = [sum(1 << q for q in s) for s, v in inside.items() if v == best]
    found, probs, expected = densest_subgraph_qaoa(n, k, edges, layers=2)
    weights = np.array([bin(i).count("1") for i in range(2 ** n)])
    assert probs[weights != k].sum() < 1e-12  # the XY mixer and the phases keep the weight
    assert len(found) == 2 and len(found[1]) == 4
    assert expected[1] >= expected[0] - 1e-9  # a layer more never does worse from its start
    assert probs[optimal].sum() > 3 * len(optimal) / math.comb(n, k)
    assert int(np.argmax(probs)) in optimal
    # The cost observable counts the edges inside a chosen set.
    diagonal = np.real(np.diag(inside_edges(n, edges).to_matrix()))
    assert all(diagonal[i] == inside[tuple(q for q in range(n) if i >> q & 1)]
               for i in range(2 ** n) if bin(i).count("1") == k)
