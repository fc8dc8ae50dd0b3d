"""Functions and constants for building formulas in Python: ``sqrt(x)``, ``sin(2*x)``, ``pi``."""

from __future__ import annotations

from .formula import E, PI, Formula, FormulaLike, Kind, apply, as_formula, power

pi = PI
e = E


def sqrt(x: FormulaLike) -> Formula:
    """平方根 √x。"""
    return apply(Kind.SQRT, as_formula(x))


def cbrt(x: FormulaLike) -> Formula:
    """立方根 ∛x。"""
    return apply(Kind.CBRT, as_formula(x))


def sin(x: FormulaLike) -> Formula:
    return apply(Kind.SIN, as_formula(x))


def cos(x: FormulaLike) -> Formula:
    return apply(Kind.COS, as_formula(x))


def tan(x: FormulaLike) -> Formula:
    return apply(Kind.TAN, as_formula(x))


def log(x: FormulaLike) -> Formula:
    """自然対数 (数Ⅲの慣習どおり log は底 e)。"""
    return apply(Kind.LOG, as_formula(x))


ln = log


def exp(x: FormulaLike) -> Formula:
    """e の x 乗。"""
    return power(E, as_formula(x))
