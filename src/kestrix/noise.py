"""Noise: quantum channels, noise models, and the context that runs circuits under them.

A ``NoiseModel`` attaches channels (``depolarizing``, ``amplitude_damping``,
``phase_damping``, ``bit_flip``, ``phase_flip``, ``thermal_relaxation``, or any
``kraus`` list) after gates, and readout errors to measurements. ``CPUQVM(noise=model)``
runs programs under it by quantum trajectories, or exactly with
``method="density_matrix"``; ``kestrix.quantum_info.DensityMatrix.evolve(circuit,
noise=model)`` gives the exact noisy state.

Within ``with kestrix.noise.model(m):`` every machine made without a noise argument, and
every circuit that the norvalis modules run, runs under ``m``.

Example:
    >>> from kestrix.core import CPUQVM, QProg, X, measure
    >>> m = NoiseModel()
    >>> m.add(bit_flip(0.25), ["X"])
    >>> CPUQVM(seed=4, noise=m).run(QProg(1) << X(0) << measure(0, 0), shots=1000).get_counts()
    {'0': 251, '1': 749}
"""
import contextlib
import contextvars

from ._noise import (
    Channel,
    NoiseModel,
    amplitude_damping,
    bit_flip,
    depolarizing,
    kraus,
    phase_damping,
    phase_flip,
    readout_error,
    thermal_relaxation,
)

__all__ = [
    "Channel", "NoiseModel", "amplitude_damping", "bit_flip", "current", "depolarizing", "kraus",
    "model", "phase_damping", "phase_flip", "readout_error", "thermal_relaxation",
]

_current = contextvars.ContextVar("kestrix.noise.model", default=None)


@contextlib.contextmanager
def model(noise_model):
    """Within the block, machines made without a noise argument, and the circuits that the
    norvalis modules run, run under `noise_model`.

    A context variable holds it, so other threads and asyncio tasks keep their own.

    Args:
        noise_model: a NoiseModel, or None for no noise.

    Returns:
        a context manager that yields the model.

    Example:
        >>> m = NoiseModel()
        >>> m.add(depolarizing(0.1))
        >>> with model(m):
        ...     current() is m
        True
    """
    if noise_model is not None and not isinstance(noise_model, NoiseModel):
        raise TypeError(f"expected a NoiseModel, got {type(noise_model).__name__}")
    token = _current.set(noise_model)
    try:
        yield noise_model
    finally:
        _current.reset(token)


def current():
    """The NoiseModel that ``model(...)`` made current here, or None.

    Returns:
        NoiseModel | None: the model, or None outside any ``model(...)`` block.

    Example:
        >>> current() is None
        True
    """
    return _current.get()
