"""Formulas as SymPy expressions, for tests that hold results to SymPy. Our own converter,
so that the oracle does not depend on our printer."""

from __future__ import annotations

from fractions import Fraction

import sympy

from kalvora.formula import Formula, Kind, fold

_FUNCTIONS = {Kind.SQRT: sympy.sqrt, Kind.SIN: sympy.sin, Kind.COS: sympy.cos, Kind.TAN: sympy.tan,
              Kind.LOG: sympy.log, Kind.ABS: sympy.Abs}


def to_sympy(f: Formula, real: bool = True) -> sympy.Expr:
    """Variables are real SymPy symbols of the same name; cbrt is the real cube root."""

    def convert(node: Formula, args: list[sympy.Expr]) -> sympy.Expr:
        kind = node.kind
        if kind is Kind.NUMBER:
            value = Fraction(node.value)
            return sympy.Rational(value.numerator, value.denominator)
        if kind is Kind.SYMBOL:
            return sympy.Symbol(node.name, real=real)
        if kind is Kind.PI:
            return sympy.pi
        if kind is Kind.E:
            return sympy.E
        if kind is Kind.INFINITY:
            return sympy.oo
        if kind is Kind.NEG:
            return -args[0]
        if kind is Kind.ADD:
            return sympy.Add(*args)
        if kind is Kind.MUL:
            return sympy.Mul(*args)
        if kind is Kind.DIV:
            return args[0] / args[1]
        if kind is Kind.POW:
            return args[0] ** args[1]
        if kind is Kind.CBRT:  # u·|u|^(-2/3): real, and differentiable where u is not 0
            return args[0] * sympy.Abs(args[0]) ** sympy.Rational(-2, 3)
        return _FUNCTIONS[kind](args[0])

    return fold(f, convert)
