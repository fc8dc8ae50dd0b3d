"""Calculus on Formula: derivatives, integrals and limits, with results in textbook form."""

from .differentiate import diff
from .integrate import integrate
from .limits import limit, oo

__all__ = ["diff", "integrate", "limit", "oo"]
