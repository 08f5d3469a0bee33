"""Quantum kernel for support-vector classification (module `ostrakin`)."""
