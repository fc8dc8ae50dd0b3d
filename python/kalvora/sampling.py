"""Float values of a formula of one variable at many points at once, for drawing curves.

The formula is compiled once into a straight list of steps (its nodes from the leaves up,
shared subtrees once) and the steps are run over numpy arrays, so sampling takes time
proportional to the formula's size however deep it is. Where the real function is
undefined (log of a negative number, √ of one, a pole) the value is nan, never an error.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from fractions import Fraction

import numpy as np
import numpy.typing as npt

from .errors import MathError
from .evaluate import exact_value, float_value
from .formula import Formula, Kind, fold

Array = npt.NDArray[np.float64]

_FUNCTIONS: dict[Kind, Callable[[Array], Array]] = {
    Kind.SQRT: np.sqrt,
    Kind.CBRT: np.cbrt,
    Kind.SIN: np.sin,
    Kind.COS: np.cos,
    Kind.TAN: np.tan,
    Kind.LOG: np.log,
    Kind.ABS: np.abs,
}


_FREED: Array = np.empty(0)


_ARITHMETIC = frozenset({Kind.SYMBOL, Kind.NEG, Kind.ADD, Kind.MUL, Kind.DIV})


@dataclass(frozen=True)
class _Step:
    kind: Kind
    operands: tuple[int, ...]
    constant: float = 0.0  # a number's value, or the float of a power's exponent
    odd_root: Fraction | None = None  # a constant exponent p/q with q odd, defined for negative bases


def _exponent(node: Formula) -> Fraction | None:
    """The exponent of a power when it is a rational constant with an odd denominator
    (x^{1/3} is ∛x, real for negative x, as the algebra reads it)."""
    exponent = node.args[1]
    if exponent.free_symbols:
        return None
    try:
        value = exact_value(exponent)
    except MathError:
        return None
    return value if value.denominator % 2 else None


def _constant(node: Formula) -> float:
    try:
        return float_value(node)
    except MathError:  # beyond floats (10^{400}): the samples that use it have no value
        return math.nan


def _step(variable: str, node: Formula, operands: list[int], steps: list[_Step]) -> int:
    kind = node.kind
    if kind is Kind.SYMBOL and node.name != variable:
        raise MathError(f"変数 {node.name} に値を代入してください")
    if kind in (Kind.NUMBER, Kind.PI, Kind.E):
        steps.append(_Step(Kind.NUMBER, (), _constant(node)))
    elif kind is Kind.POW:
        steps.append(_Step(kind, tuple(operands), odd_root=_exponent(node)))
    elif kind not in _FUNCTIONS and kind not in _ARITHMETIC:
        raise MathError(f"{kind.value} を含む式は描けません: {node}")
    else:
        steps.append(_Step(kind, tuple(operands)))
    return len(steps) - 1


def _run(step: _Step, values: list[Array], xs: Array) -> Array:
    kind = step.kind
    args = [values[i] for i in step.operands]
    if kind is Kind.NUMBER:
        return np.full_like(xs, step.constant)
    if kind is Kind.SYMBOL:
        return xs
    if kind is Kind.NEG:
        return -args[0]
    if kind is Kind.ADD:
        return _accumulate(np.add, args)
    if kind is Kind.MUL:
        return _accumulate(np.multiply, args)
    if kind is Kind.DIV:
        return args[0] / args[1]
    if kind is Kind.POW:
        return _power(args[0], args[1], step.odd_root)
    return _FUNCTIONS[kind](args[0])


def _accumulate(operation: np.ufunc, args: list[Array]) -> Array:
    """The operation over all args, in one array (a million-term sum holds no million arrays)."""
    total: Array = np.array(operation(args[0], args[1]), dtype=np.float64)
    for arg in args[2:]:
        operation(total, arg, out=total)
    return total


def _power(base: Array, exponent: Array, odd_root: Fraction | None) -> Array:
    if odd_root is None:
        return np.power(base, exponent)
    magnitude = np.power(np.abs(base), float(odd_root))
    return magnitude if odd_root.numerator % 2 == 0 else np.sign(base) * magnitude


def sampler(formula: Formula, variable: str) -> Callable[[Array], Array]:
    """The function x ↦ formula (a float array for an array of x), nan where undefined."""
    steps: list[_Step] = []
    fold(formula, lambda node, operands: _step(variable, node, operands, steps))

    last_use = {operand: i for i, step in enumerate(steps) for operand in step.operands}

    def values_at(xs: Array) -> Array:
        values: list[Array] = []
        with np.errstate(all="ignore"):
            for i, step in enumerate(steps):
                values.append(_run(step, values, xs))
                for operand in step.operands:
                    if last_use[operand] == i:
                        values[operand] = _FREED  # a large formula keeps only the arrays still needed
        result = np.array(values[-1], dtype=np.float64)
        result[~np.isfinite(result)] = np.nan
        return result

    return values_at
