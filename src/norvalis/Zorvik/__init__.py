"""Quantum principal component analysis (module `Zorvik`)."""
