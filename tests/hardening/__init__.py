"""Hardening: the module against a model of its behaviour, under faked time,
thread storms, argument fuzzing, re-entrant finalizers and leak checks."""
import os
import sys

# The project root: the reference implementation (reference/) is the oracle.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
