"""Shared test helpers live in tests/support: the dense reference model, hostile values,
child interpreters, Ctrl-C timers and the fuzzer. Every test imports them by name."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
