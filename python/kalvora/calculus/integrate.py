"""Integrals: ``kalvora.integrate``, antiderivatives and exact definite integrals.

The rules (antiderivative.py) give the antiderivative as pieces; this module writes them
in textbook form, checks the result by differentiating it back, and evaluates definite
integrals by F(b) - F(a) once F is known to be continuous on the interval.
"""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Union, cast

import flint

from ..algebra import expand, simplify
from ..algebra.operations import read_quotient
from ..errors import MathError
from ..evaluate import _float_node as float_node, float_value
from ..formula import (Formula, FormulaLike, Kind, add, apply, as_formula, div, fold, mul, neg, number, rational,
                       rebuild, walk)
from .antiderivative import Integrator, Piece, rational_value, unsupported
from .differentiate import ONE, derivative, variable_name

Bounds = tuple[FormulaLike, FormulaLike, FormulaLike]
"""(x, a, b): the variable and the ends of the interval of a definite integral."""


def integrate(f: FormulaLike, x: Union[FormulaLike, Bounds]) -> Formula:
    """不定積分 (積分定数 C は含めない) か、``(x, a, b)`` を渡すと定積分の正確な値を返す。

    扱う範囲は数Ⅲの積分: 多項式と x^n、sin・cos・e^x・a^x・1/cos²x とその一次式の置換、
    f'(x)/f(x)、部分積分、三角関数の積、分母が一次式の積になる分数式。範囲外は MathError。
    ``kalvora.latex(F, constant=True)`` で "+ C" をつけて書ける。

    >>> import kalvora
    >>> kalvora.latex(kalvora.integrate("x e^x", "x"))
    'xe^{x} - e^{x}'
    >>> kalvora.latex(kalvora.integrate("sin x", ("x", 0, "pi")))
    '2'
    """
    formula = as_formula(f)
    if isinstance(x, tuple):
        if len(x) != 3:
            raise TypeError(f"定積分は (変数, 下端, 上端) の三つ組で指定してください (長さ {len(x)} ではなく)")
        name = variable_name(x[0])
        return definite_integral(formula, name, as_formula(x[1]), as_formula(x[2]))
    return antiderivative(formula, variable_name(x))


def antiderivative(f: Formula, name: str) -> Formula:
    """An antiderivative of f in textbook form, checked by differentiating it back."""
    integrator = Integrator(name)
    result = _written(integrator, integrator.integrate(f))
    if not _derivative_agrees(result, f, name):
        raise unsupported(f, name)
    return result


def _written(integrator: Integrator, pieces: list[Piece]) -> Formula:
    """The pieces as one formula: the algebra writes the plain ones (like terms meet, constant
    terms are left out: they belong to C), then come the kept ones, as written."""
    plain = [mul(p.coefficient, p.kernel) for p in pieces if not p.kept]
    terms = []
    if plain:
        written = expand(plain[0] if len(plain) == 1 else add(*plain))
        terms = [t for t in (written.args if written.kind is Kind.ADD else (written,)) if integrator.varies(t)]
    kept: dict[Formula, list[Formula]] = {}
    for p in pieces:
        if p.kept:
            kept.setdefault(p.kernel, []).append(p.coefficient)
    written_kept = []
    for kernel, coefficients in kept.items():
        coefficient = simplify(coefficients[0] if len(coefficients) == 1 else add(*coefficients))
        if coefficient != number(0):
            written_kept.append(_scaled(coefficient, kernel))
    # Powers of sums lead, as the highest terms; fractions such as -\frac{1}{x + 1} close.
    terms = [t for t in written_kept if t.kind is not Kind.DIV and not _negative_quotient(t)] + terms + [
        t for t in written_kept if t.kind is Kind.DIV or _negative_quotient(t)]
    if not terms:
        return number(0)
    return terms[0] if len(terms) == 1 else add(*terms)


def _scaled(coefficient: Formula, kernel: Formula) -> Formula:
    """coefficient × kernel as textbooks write it: -\\frac{1}{2\\left(2x + 1\\right)}, not
    -\\frac{1}{2}\\frac{1}{2x + 1}; a coefficient 1 is left out."""
    value = rational_value(coefficient)
    if value is None:
        return mul(coefficient, kernel)
    if kernel.kind is Kind.DIV and kernel.args[0] == ONE:
        below = kernel.args[1] if value.denominator == 1 else mul(number(value.denominator), kernel.args[1])
        quotient = div(number(abs(value.numerator)), below)
        return neg(quotient) if value < 0 else quotient
    if abs(value) == 1:
        return kernel if value > 0 else neg(kernel)
    return mul(rational(value), *(kernel.args if kernel.kind is Kind.MUL else (kernel,)))


def _negative_quotient(f: Formula) -> bool:
    return f.kind is Kind.NEG and f.args[0].kind is Kind.DIV


# --- the check by differentiating back ------------------------------------------------

# Points where F' and f are compared, until three of them lie in the domain; other variables
# take the values after them.
_SAMPLE_POINTS = (Fraction(7, 5), Fraction(-5, 3), Fraction(3, 7), Fraction(13, 4), Fraction(-2, 7), Fraction(41, 3))
_OTHER_VALUES = (Fraction(11, 7), Fraction(5, 3), Fraction(9, 4), Fraction(7, 3), Fraction(13, 5))
_TOLERANCE = 1e-8
_ENOUGH_POINTS = 3


def _derivative_agrees(result: Formula, f: Formula, name: str) -> bool:
    """Whether F' = f at every sample point where both have a value (by value: trigonometric
    identities that the algebra does not apply do not get in the way)."""
    slope = derivative(result, name)
    others = sorted(s.name for s in f.free_symbols | result.free_symbols if s.name != name)
    values = {other: float(_OTHER_VALUES[i % len(_OTHER_VALUES)]) for i, other in enumerate(others)}
    agreed = 0
    for point in _SAMPLE_POINTS:
        values[name] = float(point)
        expected, found = _value_at(f, values), _value_at(slope, values)
        if expected is None or found is None:  # outside the domain at this point
            continue
        if not math.isclose(expected, found, rel_tol=_TOLERANCE, abs_tol=_TOLERANCE):
            return False
        agreed += 1
        if agreed == _ENOUGH_POINTS:
            break
    return True


def _value_at(f: Formula, values: dict[str, float]) -> float | None:
    """The value of f with its variables set, in floats (no copy of f is made); None where
    it has none."""

    def value(node: Formula, operands: list[float]) -> float:
        return values[node.name] if node.kind is Kind.SYMBOL else float_node(node, operands)

    try:
        return fold(f, value)
    except (ArithmeticError, ValueError):
        return None


# --- definite integrals -----------------------------------------------------------------


def definite_integral(f: Formula, name: str, lower: Formula, upper: Formula) -> Formula:
    """∫_lower^upper f dx = F(upper) - F(lower), exactly, for F continuous on the interval."""
    for end in (lower, upper):
        if any(s.name == name for s in end.free_symbols):
            raise MathError(f"積分区間の端に積分変数 {name} は使えません: {end}")
    result = antiderivative(f, name)
    _check_continuous(result, name, lower, upper)
    result = _without_absolute_values(result, name, add(lower, upper) / 2)
    return simplify(add(result.subs({name: upper}), neg(result.subs({name: lower}))))


def _without_absolute_values(result: Formula, name: str, middle: Formula) -> Formula:
    """F with each |u| written u or -u: u keeps one sign on an interval where F is continuous
    (taken at its middle), and log e is 1 where log|e| would stay."""
    integrator = Integrator(name)

    def unwrap(node: Formula, args: list[Formula]) -> Formula:
        if node.kind is not Kind.ABS or not integrator.varies(node):
            return rebuild(node, args)
        inside = args[0]
        return inside if float_value(inside.subs({name: middle})) > 0 else neg(inside)

    return fold(result, unwrap)


Condition = tuple[Formula, str]  # (g, "nonzero" | "positive" | "nonnegative")


def _conditions(result: Formula, integrator: Integrator) -> list[Condition]:
    """Where F can break: log|u| at u = 0 (log u also at u < 0), division by zero, roots of
    negative numbers, tan u where cos u = 0."""
    found: list[Condition] = []

    def visit(node: Formula) -> None:
        kind, args = node.kind, node.args
        if not args or not integrator.varies(node):
            return
        if kind is Kind.LOG:
            inner = args[0]
            found.append((inner.args[0], "nonzero") if inner.kind is Kind.ABS else (inner, "positive"))
        elif kind is Kind.DIV:
            found.append((args[1], "nonzero"))
        elif kind is Kind.POW and not integrator.varies(args[1]):
            exponent = rational_value(args[1])
            if exponent is None or exponent < 0:
                found.append((args[0], "nonzero"))
            if exponent is None or exponent.denominator % 2 == 0:
                found.append((args[0], "nonnegative"))
        elif kind is Kind.SQRT:
            found.append((args[0], "nonnegative"))
        elif kind is Kind.TAN:
            found.append((apply(Kind.COS, args[0]), "nonzero"))

    walk(result, visit)
    return [(g, relation) for g, relation in found if integrator.varies(g)]


def _check_continuous(result: Formula, name: str, lower: Formula, upper: Formula) -> None:
    integrator = Integrator(name)
    conditions = _conditions(result, integrator)
    if not conditions:
        return
    try:
        ends = sorted((float_value(lower), float_value(upper)))
    except MathError:
        raise MathError(f"積分区間の端が数でないので、原始関数が区間で連続か確かめられません: {lower}, {upper}") from None
    for g, relation in conditions:
        if not _holds(g, relation, name, (lower, upper), (ends[0], ends[1]), integrator):
            raise MathError(f"積分区間で {g} が 0 (または負) になり、被積分関数が連続でないので、この定積分は計算できません")


def _holds(g: Formula, relation: str, name: str, ends: tuple[Formula, Formula], span: tuple[float, float],
           integrator: Integrator) -> bool:
    """Whether g ≠ 0 (> 0, ≥ 0) on the whole closed interval: exactly at its ends, then inside
    by the sign at both ends for a linear g, by the real roots for a polynomial over Q, and
    by sampling for the rest."""
    signs = []
    for end in ends:
        value = simplify(g.subs({name: end}))
        if value == number(0):
            if relation != "nonnegative":
                return False
            continue
        number_value = float_value(value)
        if relation != "nonzero" and number_value < 0:
            return False
        signs.append(number_value > 0)
    if len(set(signs)) > 1:
        return False
    if integrator.linear(g) is not None:
        return True
    roots = _real_roots(g, name)
    if roots is not None:
        return not any(span[0] < r < span[1] for r in roots)  # the ends are decided above, exactly
    return _sampled_without_zero(g, name, span)


def _real_roots(g: Formula, name: str) -> list[float] | None:
    """The real roots of a polynomial over Q in the one variable (None for anything else)."""
    space, quotient = read_quotient(g)
    if not quotient.is_polynomial() or space.variables != [name] or space.atoms:
        return None
    p = space.lift(quotient.num)
    terms = p.to_dict()
    coefficients = [terms.get((i,), 0) for i in range(p.total_degree() + 1)]
    # Each root comes with its multiplicity (python-flint's stubs say otherwise); real roots
    # have an imaginary part of exactly zero.
    roots = cast(list[tuple[flint.acb, int]], flint.fmpq_poly(coefficients).complex_roots())
    return [float(root.real) for root, _ in roots if root.imag == 0]


_SAMPLES = 2000


def _sampled_without_zero(g: Formula, name: str, span: tuple[float, float]) -> bool:
    signs = set()
    for i in range(_SAMPLES + 1):
        point = Fraction(span[0]) + Fraction(span[1] - span[0]) * Fraction(i, _SAMPLES)
        try:
            value = float_value(g.subs({name: rational(point)}))
        except MathError:
            return False
        if value == 0:
            return False
        signs.add(value > 0)
    return len(signs) == 1
