"""Amplitude encoding: a dense vector of 2^14 components encoded and evolved (the state is
written in one pass from |0...0>, the gates kept for drawing and export), and the loss of
the variational SVD, which encodes its matrix on 2 log2(n) qubits, at 64 to 256 rows. The
first call builds the encoding's gates; later calls with the same data reuse them.

Run: make bench   (or .venv/bin/python bench/sdk_encode.py)
"""
import numpy as np
from results import recorded
from timing import best_time

from kestrix.core import Encode
from kestrix.quantum_info import StateVector
from norvalis.Trelvo import SVD


def encode_and_evolve(v):
    encoder = Encode()
    encoder.amplitude_encode(list(range(int(np.log2(len(v))))), v)
    return StateVector(int(np.log2(len(v)))).evolve(encoder.get_circuit())


def main():
    rng = np.random.default_rng(0)
    v = rng.normal(size=2**14)
    v /= np.linalg.norm(v)
    first = best_time(lambda: encode_and_evolve(rng.permutation(v)), 3)
    again = best_time(lambda: encode_and_evolve(v), 5)
    print(f"2^14 dense vector encoded and evolved: {first * 1e3:.1f} ms the first time, "
          f"{again * 1e3:.1f} ms again   (goal 20 ms)")
    for n in (64, 128, 256):
        matrix = rng.normal(size=(n, n))
        svd = SVD(matrix, 2)
        cold = best_time(lambda: SVD(rng.permutation(matrix), 2).loss(svd.parameter), 2)
        warm = best_time(lambda: svd.loss(svd.parameter), 5)
        print(f"SVD({n} x {n}, 2).loss: {cold * 1e3:.1f} ms with new data, {warm * 1e3:.1f} ms "
              f"in a training loop" + ("   (goal 50 ms)" if n == 256 else ""))


if __name__ == "__main__":
    with recorded(__file__):
        main()
