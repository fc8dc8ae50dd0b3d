"""What a textbook graph marks, found exactly: intercepts, local extrema and asymptotes.

`marks` is the analysis behind `kalvora.plot`; it needs no matplotlib. The points come
from the algebra, never from the samples of the curve:
- a factor over Q of a numerator that is a polynomial in x of degree 1 or 2 gives its
  roots (the quadratic formula, simplified: ``\\sqrt{2}``, ``\\frac{1 + \\sqrt{5}}{2}``);
  a factor of higher degree has roots the algebra cannot write, and gives none;
- a factor linear in one function of x (``\\sin 2x - 1``, ``e^{x} - 2``, ``\\log x``) is
  inverted when its argument is linear in x (sin, cos and tan at the multiples of π/12
  where the algebra knows their values) or a polynomial of degree 1 or 2 (log, exp,
  roots, absolute values); other factors give none;
- a factor in x and √x (or ∛x) is solved for the root: ``x - 2\\sqrt{x}`` is
  t² - 2t in t = √x, so it vanishes at x = 0 and 4;
- every candidate is checked by substituting it into the formula exactly, so a point that
  is marked is right; points the algebra cannot make exact are left out, not guessed;
- extrema are where the derivative ``kalvora.diff(f)`` changes sign: its zeros, and the
  points where it is undefined but f is not (the cusp of ``x^{2/3}``);
- vertical asymptotes are the zeros of the denominator and the poles of log and tan
  where f is undefined and tends to ±∞ (``kalvora.limit``); horizontal and oblique ones are given
  for rational functions over Q, by comparing degrees.
"""

from __future__ import annotations

import enum
import math
from collections.abc import Iterable
from dataclasses import dataclass
from fractions import Fraction

from .algebra import simplify
from .algebra.atoms import Atom
from .algebra.order import formula_of
from .algebra.factoring import rational_factors
from .algebra.operations import read_quotient
from .algebra.polynomials import Poly, Quotient, _by_degree
from .calculus import diff, limit
from .calculus.differentiate import variable_name
from .errors import MathError
from .evaluate import float_value
from .formula import (E, INFINITY, PI, Formula, FormulaLike, Kind, apply, as_formula, div, mul, neg, number, power,
                      rational, subtract, symbol)


class Feature(enum.Enum):
    """What a marked point is."""

    ZERO = "x 切片"
    Y_INTERCEPT = "y 切片"
    MAXIMUM = "極大"
    MINIMUM = "極小"


@dataclass(frozen=True)
class Point:
    feature: Feature
    x: Formula
    y: Formula


@dataclass(frozen=True)
class Window:
    """The variable and the closed interval [low, high] a graph is drawn on."""

    variable: Formula
    low: Formula
    high: Formula

    @property
    def bounds(self) -> tuple[float, float]:
        return float_value(self.low), float_value(self.high)

    def contains(self, value: float, *, ends: bool = True) -> bool:
        """value in [low, high] (in (low, high) without the ends), up to rounding."""
        low, high = self.bounds
        slack = 1e-12 * max(1.0, abs(low), abs(high)) * (1 if ends else -1)
        return low - slack <= value <= high + slack


@dataclass(frozen=True)
class Marks:
    """The exact features of the graph of ``function`` on a window, in increasing x."""

    function: Formula
    window: Window
    points: tuple[Point, ...]
    vertical: tuple[Formula, ...]  # the asymptotes x = c
    slant: Formula | None  # the asymptote y = slant (horizontal or oblique), a formula in x


def window(domain: object) -> Window:
    """The Window of ``(x, a, b)``: a variable and two closed numbers with a < b."""
    if not isinstance(domain, tuple) or len(domain) != 3:
        raise TypeError(f"範囲は (x, a, b) の形のタプルで指定してください ({type(domain).__name__} ではなく)")
    name, low, high = domain
    variable = symbol(variable_name(name))
    ends = [as_formula(low), as_formula(high)]
    values = []
    for end in ends:
        if end.free_symbols:
            raise MathError(f"範囲の端は数で指定してください: {end}")
        values.append(float_value(end))
    if not all(math.isfinite(v) for v in values) or not values[0] < values[1]:
        raise MathError(f"範囲は a < b の有限な区間で指定してください: [{ends[0]}, {ends[1]}]")
    return Window(variable, ends[0], ends[1])


def marks(f: FormulaLike, domain: tuple[FormulaLike, FormulaLike, FormulaLike]) -> Marks:
    """The exact intercepts, local extrema and asymptotes of the graph of f on (x, a, b).

    >>> import kalvora, kalvora.graph
    >>> found = kalvora.graph.marks("x^2 - 2", ("x", -3, 3))
    >>> [(p.feature.name, kalvora.latex(p.x), kalvora.latex(p.y)) for p in found.points]
    [('ZERO', '-\\\\sqrt{2}', '0'), ('MINIMUM', '0', '-2'), ('Y_INTERCEPT', '0', '-2'), ('ZERO', '\\\\sqrt{2}', '0')]
    """
    formula = as_formula(f)
    where = window(domain)
    others = sorted({s.name for s in formula.free_symbols} - {where.variable.name})
    if others:
        raise MathError(f"グラフは {where.variable.name} だけの関数について描けます "
                        f"({', '.join(others)} に値を代入してください): {formula}")
    reading = _Reading(formula, where)
    points = [p for p in (*_zeros(reading), *_y_intercept(reading), *_extrema(reading)) if math.isfinite(_float(p.y))]
    points.sort(key=lambda p: (_float(p.x), p.feature.name))
    return Marks(formula, where, tuple(points), tuple(_vertical_asymptotes(reading)), _slant_asymptote(reading))


class _Reading:
    """A formula of one variable read into a rational function over Q (over the variable and
    atoms), with what the solvers need to know about its generators."""

    def __init__(self, formula: Formula, where: Window) -> None:
        self.formula = formula
        self.window = where
        self.space, self.quotient = read_quotient(formula)
        variables = self.space.variables
        self.x = variables.index(where.variable.name) if where.variable.name in variables else None

    def varies(self, generator: int) -> bool:
        atom = self.space.atom_at(generator)
        return generator == self.x if atom is None else bool(atom.formula.free_symbols)

    def formula_of(self, p: Poly) -> Formula:
        return formula_of(self.space, Quotient(p, self.space.constant(1)), expanding=False)

    def value_at(self, formula: Formula, point: Formula) -> Formula | None:
        """formula at x = point, exactly; None where it is undefined."""
        try:
            return simplify(formula.subs({self.window.variable: point}))
        except MathError:
            return None

    def float_at(self, formula: Formula, point: float) -> float:
        """formula at x = point as a float; nan where it is undefined."""
        try:
            return float_value(formula.subs({self.window.variable: Fraction(point)}))
        except MathError:
            return math.nan


def _float(formula: Formula) -> float:
    """The value of a closed formula as a float; nan beyond floats (e^{1000}), so that such a
    point is left out of the figure rather than failing it."""
    try:
        return float_value(formula)
    except MathError:
        return math.nan


# --- solving p = 0 exactly --------------------------------------------------------------


def _solutions(reading: _Reading, p: Poly, *, through_atoms: bool = True) -> list[Formula]:
    """Candidates for the x where p vanishes, from each irreducible factor of p over Q."""
    if reading.x is None or p.is_zero() or p.is_constant():
        return []
    _, factors = rational_factors(p)
    found: list[Formula] = []
    for factor, _ in factors:
        degrees = factor.degrees()
        varying = [i for i, k in enumerate(degrees) if k and reading.varies(i)]
        if varying == [reading.x]:
            found += _polynomial_roots(reading, factor, reading.x)
        elif through_atoms and len(varying) == 2 and reading.x in varying:
            found += _root_substitution(reading, factor, max(varying))
        elif through_atoms and len(varying) == 1 and degrees[varying[0]] == 1:
            atom = reading.space.atom_at(varying[0])
            assert atom is not None
            parts = _by_degree(factor, varying[0])
            value = simplify(neg(div(_part(reading, parts, 0), _part(reading, parts, 1))))
            found += _atom_solutions(reading, atom, value)
    return found


def _root_substitution(reading: _Reading, p: Poly, generator: int) -> list[Formula]:
    """Where p, a polynomial in x and t = √x (or ∛x), vanishes: p with x = t² (t³) is a
    polynomial in t, whose roots give x through t (x - 2√x = 0 at t = 0 and 2, x = 0 and 4)."""
    atom = reading.space.atom_at(generator)
    assert atom is not None
    function = atom.formula
    if function.kind not in (Kind.SQRT, Kind.CBRT) or function.args[0] != reading.window.variable:
        return []
    space = reading.space
    assert reading.x is not None
    values = [space.generator(i) for i in range(space.size)]
    values[reading.x] = values[generator] ** (2 if function.kind is Kind.SQRT else 3)
    _, factors = rational_factors(space.lift(p).compose(*values))
    found: list[Formula] = []
    for factor, _ in factors:
        for value in _polynomial_roots(reading, factor, generator):
            found += _atom_solutions(reading, atom, value)
    return found


def _part(reading: _Reading, parts: dict[int, Poly], degree: int) -> Formula:
    return reading.formula_of(parts[degree]) if degree in parts else number(0)


def _polynomial_roots(reading: _Reading, p: Poly, generator: int) -> list[Formula]:
    """The real roots of p, a polynomial in one generator of degree 1 or 2 (with constant
    coefficients); none for a higher degree."""
    parts = _by_degree(p, generator)
    a, b, c = (_part(reading, parts, k) for k in (2, 1, 0))
    degree = max(parts)
    if degree == 1:
        return [simplify(neg(div(c, b)))]
    if degree != 2:
        return []
    discriminant = simplify(subtract(power(b, number(2)), mul(number(4), a, c)))
    if _float(discriminant) < 0:
        return []
    twice = mul(number(2), a)
    root = apply(Kind.SQRT, discriminant)
    return [simplify(div(subtract(neg(b), root), twice)), simplify(div(subtract(root, b), twice))]


# The multiples of π at which sin, cos and tan have values the algebra knows.
_ANGLE_STEP = Fraction(1, 12)
# Beyond this many candidate angles the graph is a blur of waves; no marks are made.
_MOST_ANGLES = 400


def _atom_solutions(reading: _Reading, atom: Atom, value: Formula) -> list[Formula]:
    """x where the function of x that `atom` is takes `value`."""
    function = atom.formula
    kind = function.kind
    argument = function.args[0] if kind is not Kind.POW else function.args[1]
    if not _small(argument):
        return []
    if kind in (Kind.SIN, Kind.COS, Kind.TAN):
        angles = _angles(reading, function, value)
    elif kind is Kind.LOG:
        angles = [simplify(power(E, value))]
    elif kind is Kind.POW and function.args[0].kind is Kind.E:
        angles = [simplify(apply(Kind.LOG, value))] if _float(value) > 0 else []
    elif kind is Kind.SQRT:
        angles = [simplify(power(value, number(2)))] if _float(value) >= 0 else []
    elif kind is Kind.CBRT:
        angles = [simplify(power(value, number(3)))]
    elif kind is Kind.ABS:
        angles = [value, simplify(neg(value))] if _float(value) >= 0 else []
    else:
        return []
    found: list[Formula] = []
    for angle in angles:
        equation = _Reading(subtract(argument, angle), reading.window)
        found += _solutions(equation, equation.quotient.num, through_atoms=False)
    return found


# An argument that these solvers can invert (linear in x, or of degree 2) is written in a
# few nodes; larger ones are not read at all, so that the derivative of a tower of k
# functions, a product of k of them, costs time about k rather than k².
_MOST_ARGUMENT_NODES = 60


def _small(formula: Formula) -> bool:
    """The formula has at most _MOST_ARGUMENT_NODES nodes (counted without walking more)."""
    stack, count = [formula], 0
    while stack:
        count += 1
        if count > _MOST_ARGUMENT_NODES:
            return False
        stack.extend(stack.pop().args)
    return True


def _angles(reading: _Reading, function: Formula, value: Formula) -> list[Formula]:
    """The multiples of π/12 in the range of the (linear) argument where the function has
    the value; none when the argument is not linear in x."""
    argument = _Reading(function.args[0], reading.window)
    if argument.x is None or not argument.quotient.is_polynomial():
        return []
    degrees = argument.quotient.num.degrees()
    if degrees[argument.x] != 1 or any(k and argument.varies(i) and i != argument.x for i, k in enumerate(degrees)):
        return []
    low, high = sorted(reading.float_at(function.args[0], end) for end in reading.window.bounds)
    step = math.pi * _ANGLE_STEP
    first, last = math.floor(low / step), math.ceil(high / step)
    if last - first > _MOST_ANGLES:
        return []
    angles = []
    for k in range(first, last + 1):
        angle = simplify(mul(rational(k * _ANGLE_STEP), PI))
        try:
            if simplify(subtract(apply(function.kind, angle), value)) == number(0):
                angles.append(angle)
        except MathError:  # tan at an odd multiple of π/2
            pass
    return angles


def _distinct_in_window(reading: _Reading, candidates: Iterable[Formula], *, ends: bool = True) -> list[Formula]:
    """The candidates inside the window, each once, in increasing order."""
    inside = {c: _float(c) for c in candidates}
    return sorted((c for c, v in inside.items() if reading.window.contains(v, ends=ends)), key=inside.__getitem__)


# --- the features ------------------------------------------------------------------------

_ZERO = number(0)


def _zeros(reading: _Reading) -> list[Point]:
    candidates = _distinct_in_window(reading, _solutions(reading, reading.quotient.num))
    return [Point(Feature.ZERO, c, _ZERO) for c in candidates if reading.value_at(reading.formula, c) == _ZERO]


def _y_intercept(reading: _Reading) -> list[Point]:
    """(0, f(0)) when 0 is in the window and f(0) is defined and not 0 (else it is a zero)."""
    if not reading.window.contains(0.0):
        return []
    y = reading.value_at(reading.formula, _ZERO)
    return [] if y is None or y == _ZERO else [Point(Feature.Y_INTERCEPT, _ZERO, y)]


def _extrema(reading: _Reading) -> list[Point]:
    slope = diff(reading.formula, reading.window.variable)
    slope_reading = _Reading(slope, reading.window)
    # where f' is 0, or undefined while f is defined (the cusp of x^{2/3} at 0); a local
    # extremum has the graph on both sides, so the ends of the window are not ones
    found = _solutions(slope_reading, slope_reading.quotient.num) + _solutions(slope_reading, slope_reading.quotient.den)
    candidates = _distinct_in_window(reading, found, ends=False)
    values = [_float(c) for c in candidates]
    low, high = reading.window.bounds
    points = []
    for i, c in enumerate(candidates):
        y = reading.value_at(reading.formula, c)
        if y is None or slope_reading.value_at(slope, c) not in (_ZERO, None):
            continue
        neighbours = [abs(values[i] - v) for j, v in enumerate(values) if j != i]
        step = min([1e-4 * (high - low), *(d / 2 for d in neighbours)])
        left, right = (slope_reading.float_at(slope, values[i] + s) for s in (-step, step))
        if left > 0 > right:
            points.append(Point(Feature.MAXIMUM, c, y))
        elif left < 0 < right:
            points.append(Point(Feature.MINIMUM, c, y))
    return points


def _vertical_asymptotes(reading: _Reading) -> list[Formula]:
    """x = c where f is undefined and |f| grows without bound as x nears c."""
    candidates = _solutions(reading, reading.quotient.den)
    for atom in reading.space.atoms:
        function = atom.formula
        if function.kind is Kind.LOG and function.free_symbols and _small(function.args[0]):
            argument = _Reading(function.args[0], reading.window)
            candidates += _solutions(argument, argument.quotient.num)
        elif function.kind is Kind.TAN and function.free_symbols:
            candidates += _atom_solutions(reading, Atom(apply(Kind.COS, function.args[0]), atom.category), _ZERO)
    return [c for c in _distinct_in_window(reading, candidates)
            if reading.value_at(reading.formula, c) is None and _is_pole(reading, c)]


def _is_pole(reading: _Reading, pole: Formula) -> bool:
    """f tends to ±∞ as x nears the pole from one side or the other (kalvora.limit: true of
    1/x and of log x, false of sin x / x); a side where the limit is refused does not count."""
    for side in "+-":
        try:
            if limit(reading.formula, reading.window.variable, pole, dir=side) in _INFINITIES:
                return True
        except MathError:  # undefined on that side, no limit there, or beyond what limit decides
            pass
    return False


_INFINITIES = (INFINITY, neg(INFINITY))


def _slant_asymptote(reading: _Reading) -> Formula | None:
    """y = q(x) for a rational function over Q whose numerator's degree is at most one
    more than its denominator's: 0, the ratio of leading coefficients, or the quotient."""
    num, den = reading.quotient.num, reading.quotient.den
    if reading.x is None or den.is_constant() or any(k for i, k in enumerate((num * den).degrees()) if i != reading.x):
        return None
    excess = num.degrees()[reading.x] - den.degrees()[reading.x]
    if excess > 1:
        return None
    if excess < 0:
        return _ZERO
    quotient, _ = divmod(num, den)
    line = reading.formula_of(quotient)
    return line if line.free_symbols or math.isfinite(_float(line)) else None
