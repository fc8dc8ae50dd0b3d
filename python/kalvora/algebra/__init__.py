"""Textbook algebra on Formula: expand, simplify and factor, with exact numbers.

A formula is read into a rational function over Q (polynomials.py) whose generators are
its variables and atoms (atoms.py), computed with python-flint, and written back in the
canonical textbook order (order.py); factoring is factoring.py.
"""

from .operations import expand, factor, simplify

__all__ = ["expand", "factor", "simplify"]
