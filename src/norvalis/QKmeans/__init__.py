"""Quantum k-means clustering (module `Vandemir`)."""
