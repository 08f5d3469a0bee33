"""Sparse state encoding: a distribution over 64 outcomes prepared from 8 Walsh and from 8
Fourier coefficients, each against the same truncation computed with NumPy, with the
distance to the original and a plot of all three."""
import numpy as np
import scipy.fft
import scipy.linalg

from norvalis.Sparvel import QSpare_Code

from .section import Row, figure, save

NAME = "sparvel"
QUBITS, CUT = 6, 8


def _distribution():
    # Two bumps of different widths: smooth, so a few Fourier terms carry most of it.
    x = np.arange(2 ** QUBITS)
    p = np.exp(-((x - 18) / 6.0) ** 2) + 0.6 * np.exp(-((x - 45) / 4.0) ** 2)
    return p / p.sum()


def _classical(probs, mode):
    """The same truncation by NumPy: keep the CUT largest coefficients of the amplitudes,
    renormalise, transform back, square."""
    amp = np.sqrt(probs)
    if mode == "walsh":
        hadamard = scipy.linalg.hadamard(len(amp)) / np.sqrt(len(amp))
        coefficients = hadamard @ amp
    else:
        coefficients = scipy.fft.fft(amp)
    kept = np.zeros_like(coefficients)
    top = np.argsort(np.abs(coefficients))[-CUT:]
    kept[top] = coefficients[top] / np.linalg.norm(coefficients[top])
    back = hadamard @ kept if mode == "walsh" else np.fft.ifft(kept) * np.sqrt(len(amp))
    return np.abs(back) ** 2


def run(ctx):
    probs = _distribution()
    rows, results = [], {}
    for mode in ["walsh", "fourier"]:
        ctx.progress(f"{mode}: {CUT} of {len(probs)} coefficients")
        result = np.array(QSpare_Code(list(probs), CUT, mode).Quantum_Res())
        results[mode] = result
        reference = _classical(probs, mode)
        gap = np.abs(result - reference).max()
        rows.append(Row(f"Sparse encoding ({mode})",
                        f"two bumps over {len(probs)} outcomes, {CUT} coefficients",
                        f"L1 distance to the original {np.abs(result - probs).sum():.3f}",
                        f"NumPy truncation (max gap {gap:.1e})", gap < 1e-9))
    with ctx.plotting():
        _plot(ctx.plot_path("sparvel_distribution.png"), probs, results)
    return rows


def _plot(path, probs, results):
    fig, ax = figure(width=8, height=4)
    ax.bar(np.arange(len(probs)), probs, color="lightgray", label="original")
    for mode, style in [("walsh", "C0-"), ("fourier", "C3-")]:
        ax.plot(results[mode], style, marker=".", label=f"{CUT} {mode} coefficients")
    ax.set_title(f"Sparse encoding: {len(probs)} outcomes prepared from {CUT} coefficients")
    ax.set_xlabel("outcome")
    ax.set_ylabel("probability")
    ax.legend()
    save(fig, path)
