"""Numbers from closed formulas: ``float(f)`` and ``int(f)``."""

from __future__ import annotations

import math
from collections.abc import Callable
from fractions import Fraction
from typing import TypeVar

from .errors import MathError
from .formula import Formula, Kind, fold

_FLOAT_FUNCTIONS: dict[Kind, Callable[[float], float]] = {
    Kind.SQRT: math.sqrt,
    Kind.CBRT: math.cbrt,
    Kind.SIN: math.sin,
    Kind.COS: math.cos,
    Kind.TAN: math.tan,
    Kind.LOG: math.log,
    Kind.ABS: abs,
}

_EXACT_KINDS = frozenset({Kind.NUMBER, Kind.NEG, Kind.ADD, Kind.MUL, Kind.DIV, Kind.ABS})
# Exact powers are refused beyond this many bits of result, which would take minutes.
_MAX_EXACT_BITS = 10_000_000
# float() computes a power exactly only up to this size: far past a float's range, enough to
# keep the digits that cancel in an expanded polynomial.
_MAX_MIXED_BITS = 4096


def _not_a_number(node: Formula) -> MathError:
    return MathError(f"∞ は数ではありません: {node}")


def _no_variables(node: Formula) -> MathError:
    return MathError(f"変数 {node.name} を含む式は数に変換できません (subs で値を代入してください)")


Value = TypeVar("Value", float, Fraction)


def _quotient(numerator: Value, denominator: Value) -> Value:
    if denominator == 0:
        raise MathError("ゼロ除算エラー")
    return numerator / denominator


def _float_node(node: Formula, operands: list[float]) -> float:
    kind = node.kind
    if kind is Kind.NUMBER:
        return float(node.value)
    if kind is Kind.SYMBOL:
        raise _no_variables(node)
    if kind is Kind.PI:
        return math.pi
    if kind is Kind.E:
        return math.e
    if kind is Kind.INFINITY:
        raise _not_a_number(node)
    if kind is Kind.NEG:
        return -operands[0]
    if kind is Kind.ADD:
        return math.fsum(operands)
    if kind is Kind.MUL:
        return math.prod(operands)
    if kind is Kind.DIV:
        return _quotient(operands[0], operands[1])
    if kind is Kind.POW:
        return math.pow(operands[0], operands[1])  # ValueError where the real power is undefined
    return _FLOAT_FUNCTIONS[kind](operands[0])


def _exact_power_fits(base: Fraction, exponent: Fraction) -> bool:
    size = max(base.numerator.bit_length(), base.denominator.bit_length())
    return exponent.denominator == 1 and (base != 0 or exponent >= 0) and size * abs(exponent.numerator) <= _MAX_MIXED_BITS


def _mixed_node(node: Formula, operands: list[Fraction | float]) -> Fraction | float:
    """Exact while the values are rational, a float from the first irrational one: an
    expanded polynomial evaluated in floats near its root loses every digit to cancellation."""
    kind = node.kind
    exact = [v for v in operands if isinstance(v, Fraction)]
    if len(exact) == len(operands) and (kind in _EXACT_KINDS or (kind is Kind.POW and _exact_power_fits(*exact))):
        return _exact_node(node, exact)
    return _float_node(node, [float(v) for v in operands])


def float_value(formula: Formula) -> float:
    """The value of a closed formula as a float; MathError if it has none."""
    try:
        return float(fold(formula, _mixed_node))
    except (ArithmeticError, ValueError) as error:
        if isinstance(error, MathError):
            raise
        raise MathError(f"{formula} の値を float で計算できません ({error})") from None


def _exact_power(base: Fraction, exponent: Fraction) -> Fraction:
    if exponent.denominator != 1:
        raise MathError("整数でない指数の累乗は有理数とは限らないので、正確な値を計算できません")
    if base == 0 and exponent < 0:
        raise MathError("0 の負の累乗はゼロ除算です")
    size = max(base.numerator.bit_length(), base.denominator.bit_length())
    if size * abs(exponent.numerator) > _MAX_EXACT_BITS:
        raise MathError("累乗の値が大きすぎて計算できません")
    return base ** exponent.numerator


def _exact_node(node: Formula, operands: list[Fraction]) -> Fraction:
    kind = node.kind
    if kind is Kind.NUMBER:
        return Fraction(node.value)
    if kind is Kind.SYMBOL:
        raise _no_variables(node)
    if kind is Kind.NEG:
        return -operands[0]
    if kind is Kind.ADD:
        return sum(operands, Fraction(0))
    if kind is Kind.MUL:
        return math.prod(operands, start=Fraction(1))
    if kind is Kind.DIV:
        return _quotient(operands[0], operands[1])
    if kind is Kind.POW:
        return _exact_power(operands[0], operands[1])
    if kind is Kind.ABS:
        return abs(operands[0])
    if kind is Kind.INFINITY:
        raise _not_a_number(node)
    raise MathError(f"{kind.value} を含む式の正確な値は有理数とは限りません (float(f) を使ってください)")


def exact_value(formula: Formula) -> Fraction:
    """The exact rational value of a formula made of numbers, + - × ÷ and integer powers."""
    return fold(formula, _exact_node)
