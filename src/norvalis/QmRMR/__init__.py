"""Quantum feature selection (module `fennimor`)."""
