"""Variational eigensolver front end (module `sorvic`)."""
