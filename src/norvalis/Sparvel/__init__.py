"""Sparse quantum state encoding (module `Sparvel`)."""
