"""Calculus on Formula: derivatives and limits, with results in textbook form."""

from .differentiate import diff
from .limits import limit, oo

__all__ = ["diff", "limit", "oo"]
