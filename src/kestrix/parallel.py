"""Where batches of circuits run: in this process, or on the workers of any executor with
the interface of ``concurrent.futures`` (a ``dask.distributed.Client``, a
``ProcessPoolExecutor``, an ``mpi4py.futures.MPIPoolExecutor``).

A batch (``CPUQVM.run_batch``, ``CPUQVM.prob_batch``, and the batches that the norvalis
modules run: kernel matrices, k-means distances) is cut into chunks of consecutive
programs; each chunk is encoded once as bytes and run on a worker by the same C++ batch
path, and the results come back in order. Seeds are drawn here, before anything is
shipped, so the results are exactly those of an in-process run, whatever the chunks and
the workers.

Example:
    >>> from concurrent.futures import ProcessPoolExecutor
    >>> import kestrix.parallel
    >>> with ProcessPoolExecutor(2) as pool, kestrix.parallel.executor(pool):
    ...     K = QuantumKernel_lumet(n_qbits=2).evaluate(X)  # doctest: +SKIP
"""
import contextlib
import contextvars
import time
import warnings

__all__ = ["executor", "current", "check_executor"]

_current = contextvars.ContextVar("kestrix.parallel.executor", default=None)

# The longest sleep of a wait for a chunk, in seconds.
_WAIT_SLICE = 0.1


def check_executor(ex):
    """Raises TypeError unless `ex` has a callable ``submit``, as executors do."""
    if not callable(getattr(ex, "submit", None)):
        raise TypeError(
            "expected an executor with a submit method (a concurrent.futures.Executor, a "
            f"dask.distributed.Client, an mpi4py.futures.MPIPoolExecutor), got "
            f"{type(ex).__name__}")


@contextlib.contextmanager
def executor(ex):
    """Within the block, batches large enough to pay for shipping run on `ex`'s workers.

    A context variable holds it, so other threads and asyncio tasks keep their own;
    batches too small to gain stay in this process.

    Args:
        ex: an executor (anything with ``submit(fn, *args)`` returning futures with
            ``result()``), or None to run everything here.

    Yields:
        the executor.
    """
    if ex is not None:
        check_executor(ex)
    token = _current.set(ex)
    try:
        yield ex
    finally:
        _current.reset(token)


def current():
    """The executor that ``executor(...)`` made current here, or None."""
    return _current.get()


def _run_chunk(payload):
    """Runs one shipped chunk on a worker (bytes in, bytes out)."""
    from kestrix.core import _run_shipped_chunk

    return _run_shipped_chunk(payload)


def _submit(ex, payload):
    """Submits one chunk to `ex`. A Dask client is told the task is not pure: it would
    otherwise hash every payload to name the task, which costs more than the chunk."""
    if type(ex).__module__.split(".")[0] == "distributed":
        # A chunk is a megabyte or two by design; Dask's advice to scatter large arguments
        # would only add a round trip.
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*large graph.*")
            return ex.submit(_run_chunk, payload, pure=False)
    return ex.submit(_run_chunk, payload)


def _result(future):
    """The chunk's answer. It waits by polling done() and sleeping, so that Ctrl-C comes
    through at once: a result() without timeout would keep it out until the chunk is done,
    and Dask's result(timeout) loses the answer now and then when its wait times out."""
    delay = 0.001
    while not future.done():
        time.sleep(delay)
        delay = min(2 * delay, _WAIT_SLICE)
    return future.result()


def _cancel(futures):
    """Cancels the chunks not yet done, after an error or Ctrl-C: no partial answer is
    ever returned."""
    for future in futures:
        future.cancel()
