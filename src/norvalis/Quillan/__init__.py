"""Quantum support-vector regression (module `Quillan`)."""
