"""Variational singular-value decomposition (module `Trelvo`)."""
