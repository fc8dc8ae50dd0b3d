"""Values of formulas at points: numerically with mpmath at a chosen precision, and the
points where two formulas are compared.

Evaluation is over the reals, with the algebra's meaning of each operation: an odd root
of a negative number is negative (∛-8 = -2, (-8)^{1/3} = -2), and anything without a
real value (√-1, log 0, 1/0, (-2)^{1/2}) makes the formula undefined at that point, which
is a value of None, never an error.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from fractions import Fraction
from itertools import product
from typing import Any

import mpmath  # type: ignore[import-untyped]

from ..formula import FUNCTIONS, Formula, Kind, fold

# mpmath ships without types; its numbers are Any here.
Real = Any
Point = Mapping[str, Fraction]

# The margin of digits beyond the size of the values met (see `digits_for`).
_BASE_DIGITS = 60
# Beyond this many digits numeric comparison is refused rather than trusted.
MOST_DIGITS = 5000
# A binary exponent past which no value is computed on: far beyond what MOST_DIGITS allows.
_LARGEST_EXPONENT = 8 * MOST_DIGITS


@dataclass(frozen=True)
class _Value:
    """A node's value; `exact` is kept for rational literals, so that (-8)^{1/3} knows its
    exponent has an odd denominator."""

    real: Real
    exact: Fraction | None = None


class _Undefined(Exception):
    """The formula has no real value at the point."""


def evaluate(formula: Formula, point: Point, digits: int) -> Real | None:
    """The value of `formula` with its variables set by `point`, computed with `digits`
    significant digits; None where it is undefined."""
    return _Evaluator(digits, point).value(formula)


def digits_for(formulas: tuple[Formula, ...], point: Point) -> int | None:
    """The digits to evaluate the formulas with at `point`: twice a margin of 60 plus the
    largest decimal exponent (of either sign) of any value met on the way, so that values
    as large as 10^{200} or as small as 10^{-200} are computed far beyond their cancellation.
    None when that is more than MOST_DIGITS (numbers are then not trusted), or when a
    formula is undefined at the point."""
    evaluator = _Evaluator(_BASE_DIGITS, point)
    if any(evaluator.value(formula) is None for formula in formulas):
        return None
    digits = 2 * (_BASE_DIGITS + math.ceil(evaluator.largest * math.log10(2)))
    return digits if digits <= MOST_DIGITS else None


class _Evaluator:
    def __init__(self, digits: int, point: Point) -> None:
        self.ctx = mpmath.MPContext()
        self.ctx.dps = digits
        self.point = {name: self.rational(value) for name, value in point.items()}
        self.largest = 0  # the largest binary exponent of a value met, in absolute value

    def value(self, formula: Formula) -> Real | None:
        try:
            return fold(formula, self.node).real
        except (_Undefined, ArithmeticError, ValueError):
            return None

    def rational(self, value: Fraction) -> Real:
        return self.ctx.mpf(value.numerator) / value.denominator

    def node(self, node: Formula, operands: list[_Value]) -> _Value:
        value = self.computed(node, operands)
        if value.real:
            size = abs(int(self.ctx.mag(value.real)))
            if size > _LARGEST_EXPONENT:  # e^{e^{e^3}}: computing on would take mpmath hours
                raise _Undefined
            self.largest = max(self.largest, size)
        return value

    def computed(self, node: Formula, operands: list[_Value]) -> _Value:
        ctx, kind = self.ctx, node.kind
        if kind is Kind.NUMBER:
            value = Fraction(node.value)
            return _Value(self.rational(value), value)
        if kind is Kind.SYMBOL:
            return _Value(self.point[node.name])
        if kind is Kind.PI:
            return _Value(+ctx.pi)
        if kind is Kind.E:
            return _Value(+ctx.e)
        values = [operand.real for operand in operands]
        if kind is Kind.NEG:
            exact = operands[0].exact
            return _Value(-values[0], None if exact is None else -exact)
        if kind is Kind.ADD:
            return _Value(ctx.fsum(values))
        if kind is Kind.MUL:
            return _Value(ctx.fprod(values))
        if kind is Kind.DIV:
            return self.quotient(operands[0], operands[1])
        if kind is Kind.POW:
            return _Value(self.power(values[0], operands[1]))
        if kind in FUNCTIONS:
            return _Value(self.function(kind, values[0]))
        raise _Undefined  # ∞: not a value

    def quotient(self, numerator: _Value, denominator: _Value) -> _Value:
        if denominator.real == 0:
            raise _Undefined
        exact = None
        if numerator.exact is not None and denominator.exact is not None:
            exact = numerator.exact / denominator.exact
        return _Value(numerator.real / denominator.real, exact)

    def power(self, base: Real, exponent: _Value) -> Real:
        ctx, power = self.ctx, exponent.real
        if ctx.isint(power):
            if base == 0 and power < 0:
                raise _Undefined
            return ctx.power(base, power)
        if base > 0:
            return ctx.power(base, power)
        if base == 0 and power > 0:
            return ctx.zero
        if base < 0 and exponent.exact is not None and exponent.exact.denominator % 2:
            return -ctx.power(-base, power)  # an odd root of a negative number
        raise _Undefined

    def function(self, kind: Kind, argument: Real) -> Real:
        ctx = self.ctx
        if kind is Kind.SQRT and argument < 0 or kind is Kind.LOG and argument <= 0:
            raise _Undefined
        if kind is Kind.CBRT:
            return ctx.sign(argument) * ctx.cbrt(abs(argument))  # mpmath's cbrt of -8 is complex
        if kind is Kind.TAN and ctx.cos(argument) == 0:
            raise _Undefined
        name = FUNCTIONS[kind]
        return getattr(ctx, _MPMATH_NAMES.get(name, name))(argument)


# The functions whose mpmath name is not the one they are typed by.
_MPMATH_NAMES = {"abs": "fabs"}


def agree(a: Real, b: Real, digits: int) -> bool:
    """Whether two values computed to `digits` digits agree to half of them: the other
    half is the margin for cancellation inside each evaluation."""
    if a == b:
        return True
    scale = max(abs(a), abs(b))
    return bool(abs(a - b) <= scale * mpmath.mpf(10) ** (-(digits // 2)))


def shown_apart(a: Real, b: Real) -> tuple[str, str]:
    """Two different computed values for a message, with the fewest digits (6 at least)
    that tell them apart: 約 0.841471, 約 1.00000 and 約 1.00010."""
    for digits in range(6, 51):
        texts = (f"約 {mpmath.nstr(a, digits)}", f"約 {mpmath.nstr(b, digits)}")
        if texts[0] != texts[1]:
            break
    return texts


# --- points ----------------------------------------------------------------------------


def random_points(names: list[str], count: int, seed: int = 15) -> Iterator[dict[str, Fraction]]:
    """`count` points with coordinates of sizes from 1/20 to 20 and either sign (|x| and x
    differ only below 0), the same for the same seed."""
    generator = random.Random(seed)
    for _ in range(count):
        point = {}
        for name in names:
            size = Fraction(math.exp(generator.uniform(-3.0, 3.0))).limit_denominator(10**6)
            point[name] = size if generator.random() < 0.5 else -size
        yield point


# Values a teacher would try first.
_NICE_VALUES = [Fraction(v) for v in (1, 2, 0, -1, 3, -2, Fraction(1, 2), 4, -3, 5)]
_MOST_NICE_POINTS = 60


def nice_points(names: list[str]) -> list[dict[str, Fraction]]:
    """Points of small numbers, simplest first: x = 1, x = 2, ...; for several variables the
    combinations in order of the positions of their values in the list."""
    count = len(_NICE_VALUES)
    if len(names) <= 3:
        positions = sorted(product(range(count), repeat=len(names)), key=lambda p: (sum(p), p))
    else:  # too many combinations: shift one list along the variables
        positions = [tuple((i + k) % count for k in range(len(names))) for i in range(count)]
    return [{name: _NICE_VALUES[i] for name, i in zip(names, p)} for p in positions[:_MOST_NICE_POINTS]]
