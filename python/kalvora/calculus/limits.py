"""Limits: ``kalvora.limit``, by exact series.

The variable is moved so that the limit is taken at t → +0: x = a + t or a - t for a finite
point a, x = 1/t or -1/t at ±∞. Every subformula then becomes a truncated Puiseux series in
t (rational exponents, coefficients exact formulas free of t), built from the leaves up;
the leading term c·t^k of the whole decides: k > 0 gives 0, k = 0 gives c, k < 0 gives ±∞
by the sign of c. Cancellation (sin x - x, √(x² + x) - x) can leave no known term; the
computation is then repeated with more terms.

log t has no Puiseux series; it enters coefficients as a symbol L (log(c·t^k) = log c + kL),
which tends to -∞ more slowly than any power of t grows: so t·L → 0 (x log x at +0) and
e^{aL + b} = e^b·t^a (x^x = e^{x log x}). A coefficient's sign as L → -∞ is itself a limit,
taken the same way with L = -1/s. e^{P} for the part P of negative exponents (e^{1/t}, the
e^x of x → ∞) is a factor beside the series, which wins over every power (see `Series`);
sin and cos of an argument without a finite limit are bounded factors of which only the order
is kept, enough for sin x / x → 0 at ∞. Whatever this cannot decide (sin x at ∞, e^{e^{1/t}},
log log t, a coefficient whose sign or vanishing the algebra cannot tell) is refused as not
supported: a limit is never guessed.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Union

from ..algebra import simplify
from ..errors import MathError
from ..evaluate import float_value
from ..formula import (E, INFINITY, Formula, FormulaLike, Kind, add, apply, as_formula, div, fold, mul, neg, number,
                       power, rational, rebuild, symbol)
from .differentiate import ONE, diff, written_rational, variable_name

oo = INFINITY
"""∞ (``-oo`` is -∞): a point for ``limit`` and a value it returns."""

_ORDERS = (4, 8, 16, 32)  # terms kept, per attempt
_TINY = 1e-12  # a constant this close to 0 in floating point is not trusted to be nonzero
ZERO = number(0)
LOG_T = symbol("Lambda_logt")  # L = log t in coefficients; a name no one types


class _NeedMoreTerms(Exception):
    """Every known term cancelled: the leading term lies beyond the truncation."""


class _Unsupported(Exception):
    """The series cannot decide this limit."""


class _NotReal(Exception):
    """The formula is not real-valued on this side of the point."""


def limit(f: FormulaLike, x: FormulaLike, a: FormulaLike, dir: str | None = None) -> Formula:
    """x → a のときの f の極限。a は数式か ``oo`` / ``-oo``、dir は ``"+"`` (右極限) か ``"-"`` (左極限)。

    発散すれば ``oo`` か ``-oo`` を返し、極限がなければ MathError「極限は存在しません」。

    >>> import kalvora
    >>> kalvora.latex(kalvora.limit("sin(x)/x", "x", 0))
    '1'
    >>> kalvora.latex(kalvora.limit("sqrt(x^2+x) - x", "x", kalvora.oo))
    '\\\\frac{1}{2}'
    """
    formula = simplify(as_formula(f))
    name = variable_name(x)
    point = as_formula(a)
    if dir is not None and not isinstance(dir, str):
        raise TypeError(f"dir には \"+\" か \"-\" を指定してください ({type(dir).__name__} ではなく)")
    if dir not in (None, "+", "-"):
        raise MathError(f"dir には \"+\" か \"-\" を指定してください: {dir!r}")
    approaches = list(_approaches(point, name, dir))
    found: list[Formula] = []
    for approach in approaches:
        try:
            found.append(_one_sided(formula, name, approach))
        except _NotReal:
            continue
    if not found:
        raise MathError(f"{formula} は {name} → {point} の近くで実数の値をとりません")
    if any(value != found[0] for value in found[1:]):
        raise MathError(f"極限は存在しません (右極限と左極限が一致しません): {formula}")
    return found[0]


@dataclass(frozen=True)
class _Approach:
    """x = offset + scale·t^exponent, t → +0."""

    offset: Formula
    scale: int
    exponent: int


_TOWARDS_MINUS_INFINITY = _Approach(ZERO, -1, -1)


def _approaches(point: Formula, name: str, dir: str | None) -> Iterator[_Approach]:
    infinite = _infinity_sign(point)
    if infinite:
        if dir is not None and dir != ("-" if infinite > 0 else "+"):
            raise MathError(f"{point} には {'-' if infinite > 0 else '+'} の側からしか近づけません")
        yield _Approach(ZERO, infinite, -1)
        return
    if any(node.name == name for node in point.free_symbols):
        raise MathError(f"極限をとる点に変数 {name} は使えません: {point}")
    if _contains_infinity(point):
        raise MathError(f"極限をとる点は数か oo、-oo です: {point}")
    offset = simplify(point)
    for side in (dir,) if dir else ("+", "-"):
        yield _Approach(offset, 1 if side == "+" else -1, 1)


def _infinity_sign(point: Formula) -> int:
    if point.kind is Kind.INFINITY:
        return 1
    if point.kind is Kind.NEG and point.args[0].kind is Kind.INFINITY:
        return -1
    return 0


def _contains_infinity(f: Formula) -> bool:
    found: list[Formula] = []
    fold(f, lambda node, _: found.append(node) if node.kind is Kind.INFINITY else None)
    return bool(found)


def _one_sided(formula: Formula, name: str, approach: _Approach) -> Formula:
    try:
        return _limit_of(_expansion(formula, name, approach))
    except _Unsupported as reason:
        raise MathError(f"この極限は求められません (対応していない形です: {reason}): {formula}") from None


def _expansion(formula: Formula, name: str, approach: _Approach) -> Series:
    """The formula's series with a known leading term, with as many terms as it takes."""
    if LOG_T in formula.free_symbols and name != LOG_T.name:
        raise _Unsupported(f"変数名 {LOG_T.name} は使えません")
    for order in _ORDERS:
        try:
            series = _series(formula, name, approach, Fraction(order))
            series.leading()
            return series
        except _NeedMoreTerms:
            continue
    raise _Unsupported("打ち消し合いが深すぎます")


def _limit_of(series: Series) -> Formula:
    """The limit as t → +0: the exponential factor decides when there is one, then the leading
    term c·t^k; a coefficient with L goes on to L → -∞."""
    exponent, coefficient = series.leading()
    growth = _growth(series.exponential)
    if series.oscillating:
        if growth < 0 or growth == 0 and exponent > 0:
            return ZERO
        raise _Unsupported("振動する")
    if growth > 0 or growth == 0 and exponent < 0:
        return oo if _sign(coefficient) > 0 else neg(oo)
    if growth < 0 or exponent > 0:
        return ZERO
    if LOG_T in coefficient.free_symbols:
        return _limit_of(_expansion(coefficient, LOG_T.name, _TOWARDS_MINUS_INFINITY))
    return coefficient


# --- exact constants -------------------------------------------------------------------


def _sign(c: Formula) -> int:
    """The sign of a nonzero coefficient, decided exactly for rationals, by its leading
    coefficient as L → -∞ when it holds L, and by a float value far from 0 otherwise."""
    if c.kind is Kind.NUMBER:
        return 1 if c.value > 0 else -1
    if LOG_T in c.free_symbols:
        return _sign(_expansion(c, LOG_T.name, _TOWARDS_MINUS_INFINITY).leading()[1])
    if c.free_symbols:
        raise _Unsupported(f"{c} の符号が決まりません")
    try:
        value = float_value(c)
    except MathError:
        raise _Unsupported(f"{c} の値を計算できません") from None
    if not math.isfinite(value) or abs(value) < _TINY:
        raise _Unsupported(f"{c} が 0 かどうか決められません")
    return 1 if value > 0 else -1


def _is_zero(c: Formula) -> bool:
    """Whether a simplified constant is 0; a value too close to 0 to tell is refused."""
    if c.kind is Kind.NUMBER:
        return c.value == 0
    if not c.free_symbols:
        _sign(c)
    return False


# --- truncated series in t -----------------------------------------------------------------


Exponents = dict[Fraction, Formula]


@dataclass(frozen=True)
class Series:
    """e^{P}·Σ c_k t^k over the exponents k < top, exact there; the coefficients are simplified
    formulas free of t, none of them 0. P (`exponential`, usually empty) has only negative
    exponents: e^{1/t} grows and e^{-1/t} vanishes faster than any power, so a sum keeps only
    its term with the larger P, and e^{P} with P → -∞ is 0 to every order."""

    terms: Exponents
    top: Fraction
    exponential: Exponents = field(default_factory=dict)
    oscillating: bool = False
    """Times a bounded factor without a limit (sin u for u → ∞): then only the order of the
    leading term is known, and the limit is 0 if that order vanishes, else undecided."""

    def leading(self) -> tuple[Fraction, Formula]:
        if not self.terms:
            raise _NeedMoreTerms
        exponent = min(self.terms)
        return exponent, self.terms[exponent]

    def bounded_part(self) -> tuple[Formula, Series]:
        """(c_0, the rest) of a series with no negative exponents."""
        if self.oscillating:
            raise _Unsupported("振動する式の関数")
        if self.top <= 0:  # c_0 itself is not known yet
            raise _NeedMoreTerms
        if any(k < 0 for k in self.terms):
            raise _Unsupported("発散する引数")
        rest = {k: c for k, c in self.terms.items() if k > 0}
        return self.terms.get(Fraction(0), ZERO), Series(rest, self.top)


def _oscillation(order: Fraction, exponential: Exponents) -> Series:
    return Series({order: ONE}, order + 1, exponential, oscillating=True)


def _growth(exponential: Exponents) -> int:
    """The sign of P as t → +0 (0 for no P)."""
    return _sign(exponential[min(exponential)]) if exponential else 0


def _combined(a: Exponents, b: Exponents, factor: Fraction = Fraction(1)) -> Exponents:
    """a + factor·b, term by term."""
    terms: dict[Fraction, list[Formula]] = {k: [c] for k, c in a.items()}
    for k, c in b.items():
        terms.setdefault(k, []).append(mul(rational(factor), c))
    return _series_of(terms, Fraction(0)).terms


def _series_of(terms: dict[Fraction, list[Formula]], top: Fraction, exponential: Exponents | None = None) -> Series:
    """Collects terms below top, simplifying each coefficient and dropping zeros."""
    collected: dict[Fraction, Formula] = {}
    for exponent, parts in terms.items():
        if exponent >= top:
            continue
        total = simplify(parts[0] if len(parts) == 1 else add(*parts))
        if not _is_zero(total):
            collected[exponent] = total
    return Series(collected, top, exponential or {})


def constant(c: Formula, top: Fraction) -> Series:
    return _series_of({Fraction(0): [c]}, top)


def add_series(a: Series, b: Series) -> Series:
    if a.exponential != b.exponential:  # the one with the larger P is all that counts
        return a if _growth(_combined(a.exponential, b.exponential, Fraction(-1))) > 0 else b
    if a.oscillating or b.oscillating:
        return _sum_with_oscillation(a, b)
    terms: dict[Fraction, list[Formula]] = {}
    for series in (a, b):
        for k, c in series.terms.items():
            terms.setdefault(k, []).append(c)
    return _series_of(terms, min(a.top, b.top), a.exponential)


def _sum_with_oscillation(a: Series, b: Series) -> Series:
    """The known terms below the order of an oscillating part; from that order on, only the
    order is known."""
    order = min(s.leading()[0] for s in (a, b) if s.oscillating)
    known = next((s for s in (a, b) if not s.oscillating), None)
    if known is not None:
        below = {k: c for k, c in known.terms.items() if k < order}
        if below:
            return Series(below, min(known.top, order), a.exponential)
        if known.top < order:
            raise _NeedMoreTerms
    return _oscillation(order, a.exponential)


def scale(a: Series, c: Formula) -> Series:
    if a.oscillating:  # c is not 0: the order stays
        return a
    return _series_of({k: [mul(c, v)] for k, v in a.terms.items()}, a.top, a.exponential)


def multiply(a: Series, b: Series) -> Series:
    (ka, _), (kb, _) = a.leading(), b.leading()
    if a.oscillating or b.oscillating:
        return _oscillation(ka + kb, _combined(a.exponential, b.exponential))
    top = min(ka + b.top, kb + a.top)
    terms: dict[Fraction, list[Formula]] = {}
    for i, ci in a.terms.items():
        for j, cj in b.terms.items():
            if i + j < top:
                terms.setdefault(i + j, []).append(mul(ci, cj))
    return _series_of(terms, top, _combined(a.exponential, b.exponential))


def _split(a: Series) -> tuple[Fraction, Formula, Series]:
    """a = c·t^k·(1 + r): (k, c, r), r with positive exponents only."""
    if a.oscillating:
        raise _Unsupported("振動する式の逆数・累乗・対数")
    k, c = a.leading()
    rest = {e - k: simplify(div(v, c)) for e, v in a.terms.items() if e != k}
    return k, c, Series(rest, a.top - k)


def _shift(a: Series, c: Formula, k: Fraction, exponential: Exponents) -> Series:
    """e^{P}·c·t^k·a."""
    return _series_of({e + k: [mul(c, v)] for e, v in a.terms.items()}, a.top + k, exponential)


def compose(coefficients: Callable[[int], Formula], u: Series) -> Series:
    """Σ a_n u^n for u with positive exponents only, to u's precision."""
    top = u.top
    result: dict[Fraction, list[Formula]] = {Fraction(0): [coefficients(0)]}
    if not u.terms:
        return _series_of(result, top)
    step = min(u.terms)
    power_n = Series({Fraction(0): ONE}, top)
    n = 0
    while True:
        n += 1
        if n * step >= top:
            break
        power_n = multiply(power_n, u)
        a_n = coefficients(n)
        for e, v in power_n.terms.items():
            result.setdefault(e, []).append(mul(a_n, v))
    return _series_of(result, top)


def inverse(a: Series) -> Series:
    k, c, r = _split(a)
    geometric = compose(lambda n: number((-1) ** n), r)
    return _shift(geometric, simplify(div(ONE, c)), -k, _combined({}, a.exponential, Fraction(-1)))


def rational_power(a: Series, p: Fraction) -> Series:
    """a^p = c^p·t^{kp}·(1 + r)^p, c^p real (a negative c only under an odd root)."""
    if a.oscillating and p.denominator == 1 and p > 0:  # a bounded factor stays bounded
        return _oscillation(a.leading()[0] * p, _combined({}, a.exponential, p))
    k, c, r = _split(a)
    binomial = compose(lambda n: rational(_binomial(p, n)), r)
    return _shift(binomial, _constant_power(c, p), k * p, _combined({}, a.exponential, p))


def _binomial(p: Fraction, n: int) -> Fraction:
    value = Fraction(1)
    for i in range(n):
        value = value * (p - i) / (i + 1)
    return value


def _constant_power(c: Formula, p: Fraction) -> Formula:
    if p.denominator == 1:
        return simplify(power(c, number(p.numerator)))
    if p.denominator == 3:
        return simplify(power(apply(Kind.CBRT, c), number(p.numerator)))
    if _sign(c) < 0:
        raise _NotReal
    return simplify(power(c, rational(p)))


def exp_series(a: Series) -> Series:
    """e^{P + c_0 + u} = e^{P}·e^{c_0}·Σ u^n/n! (P the terms with negative exponents), where a
    c_0 = kL + b is e^b·t^k; e^{a} of a vanishing exponentially is 1 to every order."""
    if _vanishes(a):
        return constant(ONE, a.top)
    principal = {k: c for k, c in a.terms.items() if k < 0}
    if any(LOG_T in c.free_symbols for c in principal.values()):
        raise _Unsupported("e の肩に log t の発散")
    c0, u = Series({k: c for k, c in a.terms.items() if k >= 0}, a.top).bounded_part()
    taylor = compose(lambda n: rational(Fraction(1, math.factorial(n))), u)
    if LOG_T not in c0.free_symbols:
        return _shift(taylor, simplify(power(E, c0)), Fraction(0), principal)
    slope = written_rational(diff(c0, LOG_T))
    if slope is None:
        raise _Unsupported("e の肩の log t が一次でない")
    rest = simplify(c0.subs({LOG_T: 0}))
    return _shift(taylor, simplify(power(E, rest)), slope, principal)


def _vanishes(a: Series) -> bool:
    """Whether a is e^{P}·(...) with P → -∞; one with P → +∞ cannot go inside a function."""
    growth = _growth(a.exponential)
    if growth > 0:
        raise _Unsupported("指数関数的に発散する引数")
    return growth < 0


def log_series(a: Series) -> Series:
    """log(c·t^k·(1 + r)) = log c + kL + Σ (-1)^{n+1} r^n/n."""
    k, c, r = _split(a)
    if LOG_T in c.free_symbols:
        raise _Unsupported("log log t")
    if _sign(c) < 0:
        raise _NotReal
    taylor = compose(lambda n: ZERO if n == 0 else rational(Fraction((-1) ** (n + 1), n)), r)
    head = _series_of({Fraction(0): [apply(Kind.LOG, c), mul(rational(k), LOG_T)],
                       **{e: [v] for e, v in a.exponential.items()}}, a.top)  # log e^{P} = P
    return add_series(head, taylor)


_SINE_TAYLOR: Callable[[int], Formula] = (
    lambda n: ZERO if n % 2 == 0 else rational(Fraction((-1) ** (n // 2), math.factorial(n))))
_COSINE_TAYLOR: Callable[[int], Formula] = (
    lambda n: ZERO if n % 2 else rational(Fraction((-1) ** (n // 2), math.factorial(n))))


def _sine_cosine(a: Series) -> tuple[Series, Series]:
    """sin a and cos a, through sin(c + u) = sin c cos u + cos c sin u; an exponentially small
    a has sin a = a and cos a = 1 to every order; an a without a finite limit gives a bounded
    oscillation."""
    growth = _growth(a.exponential)
    if growth < 0:
        return a, constant(ONE, a.top)
    if growth > 0 or a.oscillating or any(k < 0 for k in a.terms) or LOG_T in a.terms.get(Fraction(0), ZERO).free_symbols:
        bounded = _oscillation(Fraction(0), {})
        return bounded, bounded
    c0, u = a.bounded_part()
    sin_u, cos_u = compose(_SINE_TAYLOR, u), compose(_COSINE_TAYLOR, u)
    sin_c, cos_c = simplify(apply(Kind.SIN, c0)), simplify(apply(Kind.COS, c0))
    sine = add_series(scale(cos_u, sin_c), scale(sin_u, cos_c))
    cosine = add_series(scale(cos_u, cos_c), scale(sin_u, simplify(neg(sin_c))))
    return sine, cosine


def absolute(a: Series) -> Series:
    if a.oscillating:
        return a
    _, c = a.leading()
    return a if _sign(c) > 0 else scale(a, number(-1))


def power_series(base: Series, exponent: Series) -> Series:
    """base^exponent: a rational constant exponent directly, otherwise e^{exponent·log base}."""
    if set(exponent.terms) == {Fraction(0)} and not exponent.exponential:
        found = written_rational(exponent.terms[Fraction(0)])
        if found is not None:
            return rational_power(base, found)
    return exp_series(multiply(exponent, log_series(base)))


# --- a formula as a series -----------------------------------------------------------------

Partial = Union[Formula, Series]  # a subformula free of the variable stays a formula


def _series(formula: Formula, name: str, approach: _Approach, top: Fraction) -> Series:
    variable = _series_of({Fraction(0): [approach.offset], Fraction(approach.exponent): [number(approach.scale)]},
                          top)

    def combine(node: Formula, operands: list[Partial]) -> Partial:
        if node.kind is Kind.SYMBOL:
            return variable if node.name == name else node
        if all(isinstance(operand, Formula) for operand in operands):
            return rebuild(node, [operand for operand in operands if isinstance(operand, Formula)])
        series = [operand if isinstance(operand, Series) else constant(simplify(operand), top) for operand in operands]
        return _SERIES_RULES[node.kind](series)

    found = fold(formula, combine)
    return found if isinstance(found, Series) else constant(simplify(found), top)


def _chain(step: Callable[[Series, Series], Series]) -> Callable[[list[Series]], Series]:
    def combine(operands: list[Series]) -> Series:
        result = operands[0]
        for operand in operands[1:]:
            result = step(result, operand)
        return result

    return combine


_SERIES_RULES: dict[Kind, Callable[[list[Series]], Series]] = {
    Kind.ADD: _chain(add_series),
    Kind.MUL: _chain(multiply),
    Kind.NEG: lambda s: scale(s[0], number(-1)),
    Kind.DIV: lambda s: multiply(s[0], inverse(s[1])),
    Kind.POW: lambda s: power_series(s[0], s[1]),
    Kind.SQRT: lambda s: rational_power(s[0], Fraction(1, 2)),
    Kind.CBRT: lambda s: rational_power(s[0], Fraction(1, 3)),
    Kind.SIN: lambda s: _sine_cosine(s[0])[0],
    Kind.COS: lambda s: _sine_cosine(s[0])[1],
    Kind.TAN: lambda s: multiply(_sine_cosine(s[0])[0], inverse(_sine_cosine(s[0])[1])),
    Kind.LOG: lambda s: log_series(s[0]),
    Kind.ABS: lambda s: absolute(s[0]),
}
