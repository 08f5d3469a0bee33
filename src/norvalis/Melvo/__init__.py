"""Canonical and iterative amplitude estimation (module `Melvo`)."""
