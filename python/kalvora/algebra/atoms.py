"""The rules for atoms: the generators beside the variables (π, e, roots, functions), and
the exact values that take them away again (√8 = 2√2, sin π/6 = 1/2, log 1 = 0).

The rules here work on numbers only; reading a formula (polynomials.py) decides when a
rule applies and turns what it returns into polynomials.
"""

from __future__ import annotations

import enum
import math
from dataclasses import dataclass
from fractions import Fraction
from typing import Union

import flint

from ..errors import MathError
from ..formula import Formula, Kind
from ..names import GREEK, split_name


class Category(enum.IntEnum):
    """Where a factor stands in a term: coefficient, roots of numbers, π, e, variables, functions."""

    ROOT = 0
    PI = 1
    E = 2
    VARIABLE = 3
    FUNCTION = 4


@dataclass(frozen=True)
class Atom:
    """A generator other than a variable. ``formula`` is how it prints (``\\sqrt{2}``,
    ``\\sin x``); ``radicand`` and ``index`` are set for roots: the atom to the power
    ``index`` is the radicand (an int for roots of numbers, else None: kept as is)."""

    formula: Formula
    category: Category
    index: int = 0
    radicand: int | None = None


def variable_key(name: str) -> tuple[int, str, int, str]:
    """Alphabetical order of variable names: Latin before Greek, subscripts by number."""
    base, subscript = split_name(name)
    number = int(subscript) if subscript.isdigit() else -1
    return (base in GREEK, base, number, subscript)


AtomKey = tuple[int, int, int, Union["StructuralOrder", None]]


def atom_key(atom: Atom, height: int) -> AtomKey:
    """The order of atoms within a term (and of terms that differ only in atoms): roots of
    numbers by index and radicand; functions by kind, then by their height (so that the
    levels of a tower compare at once), then by structure."""
    if atom.category is Category.ROOT:
        assert atom.radicand is not None
        return (atom.category, atom.index, atom.radicand, None)
    return (atom.category, _KIND_RANK[atom.formula.kind], height, StructuralOrder(atom.formula))


# Function applications by function: powers and roots before the named functions, as
# textbooks write x^{x}\log x, e^{x}\sin x and \sqrt{x}\cos x; then \sin x\cos x, \log.
_KIND_RANK = {kind: rank for rank, kind in enumerate((
    Kind.NUMBER, Kind.SYMBOL, Kind.PI, Kind.E, Kind.POW, Kind.SQRT, Kind.CBRT, Kind.SIN, Kind.COS,
    Kind.TAN, Kind.LOG, Kind.ABS, Kind.INFINITY, Kind.NEG, Kind.ADD, Kind.MUL, Kind.DIV))}


class StructuralOrder:
    """Sorts formulas by structure: kind, then value, then operands in order; the first
    difference decides. Unlike comparing texts, this costs only the depth of that difference,
    so towers of nested functions stay cheap to order."""

    __slots__ = ("formula",)

    def __init__(self, formula: Formula) -> None:
        self.formula = formula

    def __lt__(self, other: StructuralOrder) -> bool:
        pending = [(self.formula, other.formula)]
        while pending:
            a, b = pending.pop()
            if a is b:
                continue
            key_a, key_b = _node_key(a), _node_key(b)
            if key_a != key_b:
                return key_a < key_b
            pending.extend(reversed(list(zip(a.args, b.args))))
        return False

    def __eq__(self, other: object) -> bool:
        return isinstance(other, StructuralOrder) and self.formula == other.formula

    def __hash__(self) -> int:
        return hash(self.formula)


def _node_key(node: Formula) -> tuple[int, int, Fraction, tuple[int, str, int, str]]:
    kind = node.kind
    value = Fraction(node.value) if kind is Kind.NUMBER else Fraction(0)
    name = variable_key(node.name) if kind is Kind.SYMBOL else (0, "", 0, "")
    return (_KIND_RANK[kind], len(node.args), value, name)


# --- roots of numbers -----------------------------------------------------------------


def _power_free(n: int, index: int) -> tuple[int, int]:
    """n = k**index * m with m free of index-th powers, as (k, m), for n > 0."""
    outside, inside = 1, 1
    for prime, multiplicity in flint.fmpz(n).factor():
        whole, left = divmod(int(multiplicity), index)
        outside *= int(prime) ** whole
        inside *= int(prime) ** left
    return outside, inside


def perfect_power(n: int) -> tuple[int, int]:
    """n = base**k with k as large as possible, as (base, k), for n > 1 (log 8 = 3 log 2)."""
    whole = flint.fmpz(n)
    if whole.is_perfect_power():
        for k in range(n.bit_length(), 1, -1):  # the largest exponent first
            base = whole.root(k)
            if base ** k == whole:
                return int(base), k
    return n, 1


def root_of_number(value: Fraction, index: int, where: Formula) -> tuple[Fraction, int]:
    """The index-th root (2 or 3) of a rational as r·(root of m), m a positive integer free
    of index-th powers (m = 1: no root left). Denominators are moved under the root:
    √(1/2) = √2/2."""
    if value < 0:
        if index == 2:
            raise MathError(f"負の数の平方根は実数の範囲にありません: {where}")
        rest, inside = root_of_number(-value, index, where)
        return -rest, inside
    if value == 0:
        return Fraction(0), 1
    scale = value.denominator ** (index - 1)  # a/b = a·b^(index-1) / b^index
    outside, inside = _power_free(value.numerator * scale, index)
    return Fraction(outside, value.denominator), inside


# --- the exact trigonometric table ----------------------------------------------------

# Values at the angles kπ/12 of the first quadrant that have them, as r·√n: (r, n).
_SIN_FIRST_QUADRANT: dict[int, tuple[Fraction, int]] = {
    0: (Fraction(0), 1),
    2: (Fraction(1, 2), 1),
    3: (Fraction(1, 2), 2),
    4: (Fraction(1, 2), 3),
    6: (Fraction(1), 1),
}


def _sin_twelfths(k: int) -> tuple[Fraction, int] | None:
    """sin(kπ/12) as (r, n), or None when it is not in the table."""
    k %= 24
    sign = 1
    if k >= 12:  # sin(x + π) = -sin x
        k, sign = k - 12, -1
    if k > 6:  # sin(π - x) = sin x
        k = 12 - k
    found = _SIN_FIRST_QUADRANT.get(k)
    return None if found is None else (sign * found[0], found[1])


def trig_value(kind: Kind, multiple: Fraction, where: Formula) -> tuple[Fraction, int] | None:
    """The exact value of sin, cos or tan at multiple·π as r·√n, or None when the angle is
    not a multiple of π/6 or π/4. tan at an odd multiple of π/2 is a MathError."""
    twelfths = multiple * 12
    if twelfths.denominator != 1:
        return None
    k = twelfths.numerator
    sine, cosine = _sin_twelfths(k), _sin_twelfths(6 - k)
    if sine is None or cosine is None:
        return None
    if kind is Kind.SIN:
        return sine
    if kind is Kind.COS:
        return cosine
    if cosine[0] == 0:
        raise MathError(f"tan は π/2 の奇数倍で定義されません: {where}")
    # (a√m)/(b√n) = (a/b)·√(mn)/n
    return sine[0] / cosine[0] / cosine[1], sine[1] * cosine[1]


# --- roots of expressions ----------------------------------------------------------------


def rational_content(coefficients: list[Fraction]) -> Fraction:
    """The positive rational c with coefficients/c integers without a common factor."""
    numerators, denominators = 0, 1
    for value in coefficients:
        numerators = math.gcd(numerators, value.numerator)
        denominators = math.lcm(denominators, value.denominator)
    return Fraction(numerators or 1, denominators)


def exponent_leaving_root(exponent: int, index: int, positive: bool) -> int:
    """How much of g^exponent leaves the index-th root, as the exponent of g outside.
    Without assumptions only what is right for every sign of g leaves a square root:
    √(x⁴) = x², but √(x²) = |x| stays; a generator known to be positive (π, e) leaves whole.
    Cube roots are odd: ∛(x³y) = x∛y."""
    if index == 3 or positive:
        return exponent // index
    return exponent // 4 * 2


# --- odd and even functions, periodicity ---------------------------------------------------

# f(-u) = PARITY[f]·f(u).
PARITY = {Kind.SIN: -1, Kind.TAN: -1, Kind.CBRT: -1, Kind.COS: 1}


def leads_with_minus(formula: Formula) -> bool:
    """Whether a canonical formula is written with a leading minus sign (-x + 1, -\\frac{1}{x})."""
    node = formula
    while node.kind in (Kind.ADD, Kind.MUL, Kind.DIV):
        node = node.args[0]
    return node.kind is Kind.NEG or node.kind is Kind.NUMBER and node.value < 0


# sin(u + kπ/2) and cos(u + kπ/2) for k = 0..3, as (function, sign).
_QUARTER_TURNS = {
    Kind.SIN: ((Kind.SIN, 1), (Kind.COS, 1), (Kind.SIN, -1), (Kind.COS, -1)),
    Kind.COS: ((Kind.COS, 1), (Kind.SIN, -1), (Kind.COS, -1), (Kind.SIN, 1)),
}


def shifted_angle(kind: Kind, multiple: Fraction) -> tuple[Kind, int, Fraction]:
    """f(u + multiple·π) as sign·g(u + rest·π): multiples of π/2 leave sin and cos (turning
    one into the other: sin(u + π/2) = cos u), multiples of π leave tan; what remains is
    brought into (-1, 1] by whole periods (into (-1/2, 1/2] for tan)."""
    if kind is Kind.TAN:
        return kind, 1, multiple - math.ceil(multiple - Fraction(1, 2))
    if (2 * multiple).denominator == 1:
        turned, sign = _QUARTER_TURNS[kind][int(2 * multiple) % 4]
        return turned, sign, Fraction(0)
    return kind, 1, multiple - 2 * math.ceil((multiple - 1) / 2)


def first_quadrant(kind: Kind, multiple: Fraction) -> tuple[int, Fraction]:
    """f(multiple·π) as sign·f(a·π) with 0 ≤ a ≤ 1/2: sin(6π/5) = -sin(π/5), by
    f(a + π) = ±f(a) and f(π - a) = ±f(a)."""
    sign = 1
    multiple %= 1 if kind is Kind.TAN else 2
    if multiple >= 1:  # sin(a + π) = -sin a, cos(a + π) = -cos a
        multiple -= 1
        sign = -1
    if multiple > Fraction(1, 2):  # sin(π - a) = sin a, cos(π - a) = -cos a, tan(π - a) = -tan a
        multiple = 1 - multiple
        sign *= 1 if kind is Kind.SIN else -1
    return sign, multiple


def check_log_argument(value: Fraction, where: Formula) -> None:
    if value <= 0:
        raise MathError(f"0 以下の数の対数は定義されません: {where}")
