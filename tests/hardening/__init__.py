"""Hardening: the module against a model of its behaviour, under faked time,
thread storms, argument fuzzing, re-entrant finalizers and leak checks."""
import _support  # noqa: F401  (puts the reference implementation on the path)
