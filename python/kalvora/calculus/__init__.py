"""Calculus on Formula: derivatives and limits, with results in textbook form."""

from .differentiate import diff

__all__ = ["diff"]
