"""Generated exercises: ``kalvora.generate(kind, n, seed, level)``.

Each generator picks a nice answer first (small roots, integer coefficients, standard angles)
and builds the question from it, as a teacher does. So the answer is known without asking the
algebra, and the tests can hold KalVora's own verbs to it. Every exercise is an exercise-file
line, read back through the sheet's parser, so that ``line`` reproduces it exactly.
"""

from __future__ import annotations

import random
from collections.abc import Callable
from dataclasses import dataclass
from fractions import Fraction
from math import gcd

from .algebra import factor, simplify
from .formula import Formula
from .parse import parse
from .sheet import Exercise, exercise

Draft = tuple[str, str, str] | None  # the line's head, the question and the answer as typed; None: draw again
Poly = dict[tuple[int, int], Fraction]  # (power of x, power of y) -> coefficient


@dataclass(frozen=True)
class Generator:
    heading: str  # the instruction above these exercises on a sheet
    draft: Callable[[random.Random, int], Draft]  # one exercise at a level 1..3
    normal: Callable[[Formula], Formula] | None = None  # puts the answer in the key's form


# --- polynomials as typed ---------------------------------------------------------------


def _poly(*terms: tuple[int | Fraction, int, int]) -> Poly:
    """The polynomial sum of c x^i y^j over the (c, i, j) given."""
    p: Poly = {}
    for c, i, j in terms:
        p[i, j] = p.get((i, j), Fraction(0)) + c
    return {m: c for m, c in p.items() if c}


def _linear(a: int, b: int, y: bool = False) -> Poly:
    """ax + b, or ax + by."""
    return _poly((a, 1, 0), (b, 0, 1) if y else (b, 0, 0))


def _times(p: Poly, q: Poly) -> Poly:
    return _poly(*((a * b, i + k, j + l) for (i, j), a in p.items() for (k, l), b in q.items()))


def _power(p: Poly, n: int) -> Poly:
    result = _poly((1, 0, 0))
    for _ in range(n):
        result = _times(result, p)
    return result


def _monomial(i: int, j: int) -> str:
    return "".join(f"{v}^{e}" if e > 1 else v for v, e in (("x", i), ("y", j)) if e)


def _term(c: Fraction, monomial: str) -> str:
    if not monomial:
        return str(c)
    if c.denominator != 1:
        return f"{c}*{monomial}"
    return {1: "", -1: "-"}.get(int(c), str(c)) + monomial


def _text(p: Poly) -> str:
    """A polynomial as a teacher types it: descending degree, then descending powers of x."""
    order = sorted(p, key=lambda m: (-(m[0] + m[1]), -m[0]))
    text = ""
    for m in order:
        term = _term(p[m], _monomial(*m))
        text += term if not text else f" - {term[1:]}" if term.startswith("-") else f" + {term}"
    return text or "0"


def _nonzero(r: random.Random, low: int, high: int) -> int:
    return r.choice([k for k in range(low, high + 1) if k])


def _sign(r: random.Random) -> int:
    return r.choice((1, -1))


def _coprime_pair(r: random.Random) -> tuple[int, int]:
    """a in 2..4 and b in ±1..3 with no common factor, for ax + b inside a function."""
    linear = _primitive_linear(r, (2, 4), 3)
    return int(linear[1, 0]), int(linear[0, 0])


def _derivative(p: Poly) -> Poly:
    return _poly(*((c * i, i - 1, j) for (i, j), c in p.items() if i))


def _antiderivative(p: Poly) -> Poly:
    return _poly(*((c / (i + 1), i + 1, j) for (i, j), c in p.items()))


def _value(p: Poly, x: int) -> Fraction:
    return sum((c * Fraction(x) ** i for (i, _), c in p.items()), Fraction(0))


def _random_poly(r: random.Random, degree: int, size: int, leading: int | None = None) -> Poly:
    """A polynomial in x of the given degree with coefficients up to `size`; the leading one is
    positive (as most textbook exercises are) unless given."""
    first = r.randint(1, size) if leading is None else leading
    return _poly((first, degree, 0), *((r.randint(-size, size), k, 0) for k in range(degree)))


# --- expanding and factoring -------------------------------------------------------------


def _primitive_linear(r: random.Random, leading: tuple[int, int], constant: int, y: bool = False) -> Poly:
    """px + a with gcd(p, a) = 1, so that a factorisation has no content left inside."""
    while True:
        p, a = r.randint(*leading), _nonzero(r, -constant, constant)
        if gcd(p, a) == 1:
            return _linear(p, a, y)


def _binomials(r: random.Random, level: int) -> tuple[Poly, Poly]:
    """Two linear factors: (x + a)(x + b), (px + a)(qx + b), (px + ay)(qx + by) by level."""
    if level == 1:
        return _linear(1, _nonzero(r, -6, 6)), _linear(1, _nonzero(r, -6, 6))
    if level == 2:
        return _primitive_linear(r, (1, 4), 5), _primitive_linear(r, (2, 4), 5)
    return _primitive_linear(r, (1, 3), 4, y=True), _primitive_linear(r, (1, 3), 4, y=True)


def _expand_binomials(r: random.Random, level: int) -> Draft:
    f, g = _binomials(r, level)
    if f == g:  # a square: that is expand-powers
        return None
    return "expand", f"({_text(f)})({_text(g)})", _text(_times(f, g))


def _expand_powers(r: random.Random, level: int) -> Draft:
    if level == 1:
        base, n = _linear(1, _nonzero(r, -6, 6)), 2
    elif level == 2:
        base, n = r.choice([(_linear(r.randint(2, 4), _nonzero(r, -5, 5)), 2), (_linear(1, _nonzero(r, -3, 3)), 3)])
    else:
        base, n = r.choice([(_linear(r.randint(1, 4), _nonzero(r, -5, 5), y=True), 2),
                            (_linear(r.randint(1, 3), _nonzero(r, -3, 3)), 3)])
    return "expand", f"({_text(base)})^{n}", _text(_power(base, n))


def _factor_quadratic(r: random.Random, level: int) -> Draft:
    content = 1
    if level == 1:
        f, g = _linear(1, _nonzero(r, -7, 7)), _linear(1, _nonzero(r, -7, 7))
    elif level == 2:
        f, g = _primitive_linear(r, (1, 3), 5), _primitive_linear(r, (2, 3), 5)
    elif r.random() < 0.5:
        f, g = _primitive_linear(r, (1, 1), 6, y=True), _primitive_linear(r, (1, 2), 6, y=True)
    else:
        content, f, g = r.randint(2, 5), _linear(1, _nonzero(r, -5, 5)), _linear(1, _nonzero(r, -5, 5))
    question = _times(_poly((content, 0, 0)), _times(f, g))
    if (1, 0) not in question and (1, 1) not in question:  # a difference of squares: the other kind
        return None
    prefix = str(content) if content > 1 else ""
    return "factor", _text(question), f"{prefix}({_text(f)})({_text(g)})"


def _factor_squares(r: random.Random, level: int) -> Draft:
    """(px)^2 - a^2 = (px + a)(px - a); a common factor and x^4 - a^4 at level 3."""
    if level == 3 and r.random() < 0.3:
        a = r.randint(1, 3)
        return "factor", f"x^4 - {a ** 4}", f"(x^2 + {a * a})(x + {a})(x - {a})"
    y = r.random() < (0.3 if level == 1 else 0.5)
    plus = _linear(1, r.randint(1, 5 if y else 10), y) if level == 1 else _primitive_linear(r, (2, 5), 7, y)
    plus = {m: abs(c) for m, c in plus.items()}
    minus = {m: c if m[0] else -c for m, c in plus.items()}
    content = r.randint(2, 5) if level == 3 else 1
    prefix = str(content) if content > 1 else ""
    return "factor", _text(_times(_poly((content, 0, 0)), _times(plus, minus))), f"{prefix}({_text(plus)})({_text(minus)})"


# --- numbers: roots and angles ------------------------------------------------------------

_ROOTS = (2, 3, 5, 6, 7)


def _rationalise(r: random.Random, level: int) -> Draft:
    b = r.choice(_ROOTS)
    if level == 1:
        a = r.randint(1, 6)
        return "simplify", f"{a}/sqrt({b})", f"{a}sqrt({b})/{b}"
    if level == 2:
        n = r.randint(1, 3)
        d, s = b - n * n, _sign(r)
        c = r.choice((1, 2, abs(d)))
        plus, minus = ("+", "-") if s > 0 else ("-", "+")
        return "simplify", f"{c}/(sqrt({b}) {plus} {n})", f"{c}(sqrt({b}) {minus} {n})/({d})"
    a = r.choice([k for k in _ROOTS if k != b])
    if r.random() < 0.5:
        return "simplify", f"(sqrt({a}) + sqrt({b}))/(sqrt({a}) - sqrt({b}))", f"({a + b} + 2sqrt({a * b}))/({a - b})"
    c = r.choice((1, abs(a - b)))
    return "simplify", f"{c}/(sqrt({a}) + sqrt({b}))", f"{c}(sqrt({a}) - sqrt({b}))/({a - b})"


# sin at the multiples of π/6 and of π/4, one turn
_SINES = {6: ("0", "1/2", "sqrt(3)/2", "1", "sqrt(3)/2", "1/2", "0", "-1/2", "-sqrt(3)/2", "-1", "-sqrt(3)/2", "-1/2"),
          4: ("0", "sqrt(2)/2", "1", "sqrt(2)/2", "0", "-sqrt(2)/2", "-1", "-sqrt(2)/2")}
_ANGLES = {1: (1, 3), 2: (1, 11), 3: (-12, 24)}  # multiples k of π/6 (π/4 likewise, scaled) by level


def _angle_text(angle: Fraction) -> str:
    """kπ/d as typed: pi/6, 2pi/3, -pi, 0."""
    num = {1: "", -1: "-"}.get(angle.numerator, str(angle.numerator))
    if angle == 0:
        return "0"
    return f"{num}pi" + (f"/{angle.denominator}" if angle.denominator > 1 else "")


def _trig_values(r: random.Random, level: int) -> Draft:
    unit = r.choice((6, 4))
    low, high = _ANGLES[level]
    k = r.randint(low * unit // 6, high * unit // 6) or 1
    sine, cosine = _SINES[unit][k % (2 * unit)], _SINES[unit][(k + unit // 2) % (2 * unit)]
    function = r.choice(("sin", "cos", "tan"))
    if function == "tan" and cosine == "0":
        return None
    value = {"sin": sine, "cos": cosine, "tan": f"({sine})/({cosine})"}[function]
    return "simplify", f"{function}({_angle_text(Fraction(k, unit))})", value


# --- calculus ---------------------------------------------------------------------------

Template = Callable[[int, int], tuple[str, str]]  # (a, b) -> (formula, its derivative or antiderivative)


def _signed(b: int) -> str:
    """+ 3 or - 3, for a term after the first."""
    return f"+ {b}" if b > 0 else f"- {-b}"


def _c(a: int) -> str:
    """A coefficient as typed: none for 1, a bare minus sign for -1."""
    return {1: "", -1: "-"}.get(a, str(a))


def _also(b: int) -> str:
    """+ 2 or - 2 before a term, + or - alone for ±1."""
    return ("+ " if b > 0 else "- ") + _c(abs(b))


_DERIVATIVES: tuple[Template, ...] = (
    lambda a, b: (f"sin({a}x {_signed(b)})", f"{a}cos({a}x {_signed(b)})"),
    lambda a, b: (f"cos {a}x", f"-{a}sin {a}x"),
    lambda a, b: (f"e^({a}x)", f"{a}e^({a}x)"),
    lambda a, b: (f"log({a}x {_signed(b)})", f"{a}/({a}x {_signed(b)})"),
    lambda a, b: ("x e^x", "(x + 1)e^x"),
    lambda a, b: ("x^2 e^x", "(x^2 + 2x)e^x"),
    lambda a, b: ("x sin x", "sin x + x cos x"),
    lambda a, b: ("x cos x", "cos x - x sin x"),
    lambda a, b: ("x log x", "log x + 1"),
    lambda a, b: ("x^2 log x", "2x log x + x"),
    lambda a, b: ("e^x sin x", "e^x sin x + e^x cos x"),
    lambda a, b: ("sin^2 x", "2sin x cos x"),
)


def _diff(r: random.Random, level: int) -> Draft:
    if level == 1:
        p = _random_poly(r, r.randint(2, 3), 5)
        return "diff", _text(p), _text(_derivative(p))
    if level == 2 and r.random() < 0.5:
        f, g = _random_poly(r, 1, 3), _random_poly(r, 2, 3)
        if len(f) < 2 or len(g) < 2:  # a monomial factor makes it a polynomial exercise
            return None
        return "diff", f"({_text(f)})({_text(g)})", _text(_derivative(_times(f, g)))
    if level == 2:
        base, n = _primitive_linear(r, (2, 4), 3), r.randint(2, 4)
        return "diff", f"({_text(base)})^{n}", f"{n * base[1, 0]}({_text(base)})" + (f"^{n - 1}" if n > 2 else "")
    question, answer = r.choice(_DERIVATIVES)(*_coprime_pair(r))
    return "diff", question, answer


_STANDARD_INTEGRALS: tuple[Template, ...] = (
    lambda a, b: (f"{_c(a)}sin x {_also(b)}cos x", f"{_c(-a)}cos x {_also(b)}sin x"),
    lambda a, b: (f"{_c(a)}e^x {_also(2 * b)}x", f"{_c(a)}e^x {_also(b)}x^2"),
    lambda a, b: (f"{a}/cos^2 x", f"{_c(a)}tan x"),
    lambda a, b: (f"{3 * a}sqrt x", f"{2 * a}x sqrt x"),
    lambda a, b: (f"{a}/x^2", f"-{a}/x"),
    lambda a, b: (f"{a}/x", f"{_c(a)}log(abs(x))"),
    lambda a, b: (f"{3 * a}x^2 {_also(b)}e^x", f"{_c(a)}x^3 {_also(b)}e^x"),
)
_SUBSTITUTED_INTEGRALS: tuple[Template, ...] = (
    lambda a, b: (f"sin({a}x {_signed(b)})", f"-1/{a}*cos({a}x {_signed(b)})"),
    lambda a, b: (f"cos {a}x", f"1/{a}*sin {a}x"),
    lambda a, b: (f"e^({a}x {_signed(b)})", f"1/{a}*e^({a}x {_signed(b)})"),
    lambda a, b: (f"({a}x {_signed(b)})^3", f"1/{4 * a}*({a}x {_signed(b)})^4"),
    lambda a, b: ("x e^x", "(x - 1)e^x"),
    lambda a, b: ("x sin x", "-x cos x + sin x"),
    lambda a, b: ("x cos x", "x sin x + cos x"),
    lambda a, b: ("log x", "x log x - x"),
)


def _integrate(r: random.Random, level: int) -> Draft:
    if level == 1:
        antiderivative = _random_poly(r, r.randint(2, 3), 3)
        antiderivative.pop((0, 0), None)  # the constant is C
        return "integrate", _text(_derivative(antiderivative)), _text(antiderivative)
    templates = _STANDARD_INTEGRALS if level == 2 else _SUBSTITUTED_INTEGRALS
    question, answer = r.choice(templates)(*_coprime_pair(r) if level == 3 else (r.randint(1, 3), _nonzero(r, -3, 3)))
    return "integrate", question, answer


_DEFINITE_INTEGRALS: tuple[Callable[[int, int], tuple[str, str, str]], ...] = (
    lambda a, b: (f"integrate {a - 1}..{a + b - 1}", "e^x", f"e^{a + b - 1} - e^{a - 1}"),
    lambda a, b: (f"integrate 1..{b + 1}", "1/x", f"log {b + 1}"),
    lambda a, b: (f"integrate {a * a}..{(a + b) ** 2}", "sqrt x", f"2/3*({(a + b) ** 3} - {a ** 3})"),
    lambda a, b: ("integrate 0..1", "x e^x", "1"),
    lambda a, b: ("integrate 0..1", f"e^({b}x)", f"(e^{b} - 1)/{b}"),
    lambda a, b: (f"integrate 0..{b}", f"1/(x + {a})", f"log({Fraction(a + b, a)})"),
)


def _definite_integral(r: random.Random, level: int) -> Draft:
    if level == 3:
        return r.choice(_DEFINITE_INTEGRALS)(r.randint(1, 2), r.randint(1, 2))
    p = _random_poly(r, level + r.randint(0, 1), 4 - level)
    lower = r.randint(-2, 1)
    upper = lower + r.randint(1, 3)
    primitive = _antiderivative(p)
    return f"integrate {lower}..{upper}", _text(p), str(_value(primitive, upper) - _value(primitive, lower))


def _limit(r: random.Random, level: int) -> Draft:
    """0/0 that cancels at x = a, and ∞/∞ decided by the leading terms."""
    a, b, c = (_nonzero(r, -4, 4) for _ in range(3))
    if a == b or c in (a, b):
        return None
    if level == 1:  # (x - a)(x - b)/(x - a) → a - b
        return f"limit x->{a}", f"({_text(_times(_linear(1, -a), _linear(1, -b)))})/(x {_signed(-a)})", str(a - b)
    if level == 2 and r.random() < 0.6:
        numerator, denominator = _times(_linear(1, -a), _linear(1, -b)), _times(_linear(1, -a), _linear(1, -c))
        return f"limit x->{a}", f"({_text(numerator)})/({_text(denominator)})", str(Fraction(a - b, a - c))
    if level == 3 and r.random() < 0.4:
        return f"limit x->{a}", f"(x^3 {_signed(-a ** 3)})/(x {_signed(-a)})", str(3 * a * a)
    degree = level
    numerator, denominator = _random_poly(r, degree, 4, _nonzero(r, -4, 4)), _random_poly(r, degree, 4)
    side = r.choice(("oo", "-oo")) if level == 3 else "oo"
    return f"limit x->{side}", f"({_text(numerator)})/({_text(denominator)})", str(numerator[degree, 0] / denominator[degree, 0])


KINDS: dict[str, Generator] = {
    "expand-binomials": Generator("次の式を展開せよ", _expand_binomials),
    "expand-powers": Generator("次の式を展開せよ", _expand_powers),
    "factor-quadratic": Generator("次の式を因数分解せよ", _factor_quadratic, factor),
    "factor-squares": Generator("次の式を因数分解せよ", _factor_squares, factor),
    "rationalise": Generator("次の式の分母を有理化せよ", _rationalise, simplify),
    "trig-values": Generator("次の値を求めよ", _trig_values, simplify),
    "diff": Generator("次の関数を微分せよ", _diff),
    "integrate": Generator("次の不定積分を求めよ", _integrate),
    "definite-integral": Generator("次の定積分を求めよ", _definite_integral, simplify),
    "limit": Generator("次の極限を求めよ", _limit, simplify),
}
LEVELS = (1, 2, 3)
_ATTEMPTS_PER_EXERCISE = 60  # draws before a kind counts as out of fresh exercises


def generate(kind: str, n: int, seed: int, level: int = 1) -> list[Exercise]:
    """種類 ``kind`` の問題を ``n`` 問作る (同じ seed なら同じ問題、一枚の中で重複なし)。

    種類: expand-binomials, expand-powers, factor-quadratic, factor-squares, rationalise,
    trig-values, diff, integrate, definite-integral, limit。level は 1 (基本) から 3 (発展)。
    各問題は question, answer (Formula), verb, line (問題ファイルの一行) を持つ。
    """
    generator = KINDS.get(kind)
    if generator is None:
        raise ValueError(f"知らない種類です: {kind!r} ({', '.join(KINDS)} のどれか)")
    if level not in LEVELS:
        raise ValueError(f"level は 1, 2, 3 のどれかです: {level!r}")
    if not isinstance(n, int) or n < 0:
        raise ValueError(f"問題の数は 0 以上の整数です: {n!r}")
    rng = random.Random(f"{kind}/{level}/{seed}")  # its own stream: the same seed, the same sheet
    exercises: dict[str, Exercise] = {}
    for _ in range(_ATTEMPTS_PER_EXERCISE * n):
        if len(exercises) == n:
            break
        draft = generator.draft(rng, level)
        if draft is None:
            continue
        head, question, answer = draft
        line = f"{head}: {question}"
        if line not in exercises:
            exercises[line] = _exercise(line, parse(answer), generator.normal)
    if len(exercises) < n:
        raise ValueError(f"{kind} (level {level}) の問題は重複なしに {len(exercises)} 問までしか作れません")
    return list(exercises.values())


def _exercise(line: str, answer: Formula, normal: Callable[[Formula], Formula] | None) -> Exercise:
    return exercise(line, normal(answer) if normal else answer)
