"""Ctrl-C from a timer, for the tests that a long call stops when the user asks."""
import contextlib
import os
import signal
import threading


@contextlib.contextmanager
def ctrl_c_after(seconds):
    """Interrupts this process as Ctrl-C would, `seconds` into the block, unless it is
    over by then. Python's own Ctrl-C handler is installed for the block: a suite started
    in the background of a shell inherits SIGINT ignored, and would wait forever."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(seconds, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
