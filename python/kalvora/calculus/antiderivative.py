"""The rules of integration of 数Ⅲ, applied term by term.

An antiderivative is a list of Pieces, coefficient × kernel, the coefficient free of the
variable. Kernels are written as textbooks write them; the algebra would multiply out a
power of a sum, so such kernels are `kept` as written: ``\\frac{1}{12}\\left(2x + 1\\right)^{6}``.

A rule that does not fit returns None; when no rule fits a term, the integral is outside
what is supported and `Integrator.integrate` raises MathError. Nothing is guessed.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from fractions import Fraction

import flint

from ..algebra import simplify
from ..algebra.factoring import rational_factors
from ..algebra.operations import read_quotient
from ..algebra.order import Builder
from ..algebra.polynomials import Poly, Space, fraction
from ..errors import MathError
from ..evaluate import exact_value
from ..formula import Formula, Kind, add, apply, div, fold, mul, neg, number, power, rational, symbol, walk
from .differentiate import ONE, derivative


# ∫x^n·sin x by parts takes n + 1 steps with coefficients up to n!; beyond this it is refused.
_MOST_PARTS_STEPS = 1000
# sin^n x·cos^m x becomes up to 2^(n+m-1) terms before like terms meet.
_MOST_TRIG_FACTORS = 16


@dataclass(frozen=True)
class Piece:
    """coefficient × kernel; `kept` kernels are printed as they are, never multiplied out."""

    coefficient: Formula
    kernel: Formula
    kept: bool = False


def unsupported(term: Formula, name: str) -> MathError:
    return MathError(f"この積分には対応していません (数Ⅲの範囲の積分だけを扱います): ∫ {term} d{name}")


def rational_value(f: Formula) -> Fraction | None:
    """The value of a formula that is a rational number, else None."""
    try:
        return exact_value(simplify(f))
    except MathError:
        return None


def _product(factors: list[Formula]) -> Formula:
    return factors[0] if len(factors) == 1 else mul(*factors)


def _times(coefficient: Formula, f: Formula) -> Formula:
    return f if coefficient is ONE else mul(coefficient, f)


def _reciprocal(f: Formula) -> Formula:
    return div(ONE, f)


def textbook_power(u: Formula, m: Fraction) -> Formula:
    """u^m for a sum u as textbooks write it: \\left(2x + 1\\right)^{6}, \\frac{1}{2x + 1},
    \\left(2x + 1\\right)\\sqrt{2x + 1}, \\frac{1}{\\sqrt{2x + 1}}."""
    if m < 0:
        return _reciprocal(textbook_power(u, -m))
    whole, part = divmod(m, 1)
    whole_power = u if whole == 1 else power(u, number(int(whole)))
    if part == 0:
        return whole_power
    if part.denominator not in (2, 3):
        return power(u, rational(m))
    root = apply(Kind.SQRT if part.denominator == 2 else Kind.CBRT, u)
    if part.numerator == 2:
        root = power(root, number(2))
    return root if whole == 0 else mul(whole_power, root)


def _obviously_positive(f: Formula) -> bool:
    """A sum of positive numbers, even powers and exponentials with at least one positive
    number or exponential in it: log(x^2 + 1) needs no absolute value."""
    terms = f.args if f.kind is Kind.ADD else (f,)
    strict = False
    for term in terms:
        factors = term.args if term.kind is Kind.MUL else (term,)
        for factor in factors:
            if factor.kind is Kind.NUMBER and factor.value > 0:
                continue
            if factor.kind is Kind.POW and factor.args[0].kind is Kind.E:
                continue
            exponent = factor.args[1] if factor.kind is Kind.POW else None
            if exponent is None or exponent.kind is not Kind.NUMBER or exponent.value % 2 != 0:
                return False
        strict = strict or all(factor.kind is not Kind.POW or factor.args[0].kind is Kind.E for factor in factors)
    return strict


def log_of(f: Formula) -> Formula:
    """log|f|, or log f when f is plainly positive."""
    return apply(Kind.LOG, f if _obviously_positive(f) else apply(Kind.ABS, f))


class Dependence:
    """Which nodes contain the variable. Answers are remembered per node (the node kept
    alive with them), so asking about every subtree of a formula stays linear."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._known: dict[int, tuple[Formula, bool]] = {}

    def __call__(self, root: Formula) -> bool:
        return fold(root, self._node_varies, self._known)[1]

    def _node_varies(self, node: Formula, operands: list[tuple[Formula, bool]]) -> tuple[Formula, bool]:
        varies = node.name == self.name if node.kind is Kind.SYMBOL else any(v for _, v in operands)
        return node, varies


Trig = tuple[Kind, Formula]  # sin or cos of a linear argument


class Integrator:
    """The rules for one variable."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.x = symbol(name)
        self.varies = Dependence(name)
        self._rules: tuple[Callable[[Formula], list[Piece] | None], ...] = (
            self._basic, self._log_derivative, self._partial_fractions, self._monomials)

    # --- linearity ------------------------------------------------------------------

    def integrate(self, f: Formula) -> list[Piece]:
        """An antiderivative of f as Pieces; MathError when a term is outside the rules."""
        pieces: list[Piece] = []
        for coefficient, term in self.terms(f):
            if not self.varies(term):
                pieces.append(Piece(_times(coefficient, term), self.x))
                continue
            found = next((result for rule in self._rules if (result := rule(term)) is not None), None)
            if found is None:
                raise unsupported(term, self.name)
            pieces += [Piece(_times(coefficient, p.coefficient), p.kernel, p.kept) for p in found]
        return pieces

    def terms(self, f: Formula) -> Iterator[tuple[Formula, Formula]]:
        """f as a sum of c·t, c free of the variable: sums, signs and constant factors come apart."""
        stack = [(ONE, f)]
        while stack:
            c, node = stack.pop()
            split = self._split(c, node) if self.varies(node) else None
            if split is None:
                yield c, node
            else:
                stack.extend(reversed(split))

    def _split(self, c: Formula, node: Formula) -> list[tuple[Formula, Formula]] | None:
        """c·node as several terms or a smaller term, or None when it is one term already."""
        varies = self.varies
        kind, args = node.kind, node.args
        if kind is Kind.ADD:
            return [(c, term) for term in args]
        if kind is Kind.NEG:
            return [(neg(c), args[0])]
        if kind is Kind.MUL and not all(map(varies, args)):
            constant = [factor for factor in args if not varies(factor)]
            return [(mul(c, *constant), _product([factor for factor in args if varies(factor)]))]
        if kind is not Kind.DIV:
            return None
        numerator, denominator = args
        if not varies(denominator):
            return [(div(c, denominator), numerator)]
        if denominator.kind is Kind.MUL and not all(map(varies, denominator.args)):
            constant = [factor for factor in denominator.args if not varies(factor)]
            rest = [factor for factor in denominator.args if varies(factor)]
            return [(div(c, _product(constant)), div(numerator, _product(rest)))]
        if not varies(numerator) and numerator != ONE:
            return [(mul(c, numerator), _reciprocal(denominator))]
        return None

    # --- arguments ------------------------------------------------------------------

    def linear(self, u: Formula) -> tuple[Formula, Formula] | None:
        """(a, b) with u = ax + b, a ≠ 0, both free of the variable; None when u is not linear."""
        if not self._rational_in_variable(u):
            return None  # at once, without differentiating a function of a function of x
        a = simplify(derivative(u, self.name))
        if self.varies(a) or a == number(0):
            return None
        b = simplify(add(u, neg(mul(a, self.x))))
        return None if self.varies(b) else (a, b)

    def _rational_in_variable(self, u: Formula) -> bool:
        """Whether u is built from the variable by + - × ÷ and constant powers only."""
        allowed = (Kind.SYMBOL, Kind.ADD, Kind.NEG, Kind.MUL, Kind.DIV)
        nodes: list[Formula] = []
        walk(u, nodes.append)
        return all(node.kind in allowed or node.kind is Kind.POW and not self.varies(node.args[1])
                   for node in nodes if self.varies(node))

    def _as_power(self, g: Formula) -> tuple[Formula, Fraction]:
        """g as base^n with n rational: x^3, √u, 1/u^2 (a plain g is g^1)."""
        sign = 1
        while g.kind is Kind.DIV and g.args[0] == ONE:
            g, sign = g.args[1], -sign
        if g.kind is Kind.POW and not self.varies(g.args[1]):
            exponent = rational_value(g.args[1])
            if exponent is not None:
                return g.args[0], sign * exponent
        if g.kind in (Kind.SQRT, Kind.CBRT):
            return g.args[0], Fraction(sign, 2 if g.kind is Kind.SQRT else 3)
        return g, Fraction(sign)

    # --- one function of a linear argument ------------------------------------------

    def _basic(self, g: Formula) -> list[Piece] | None:
        """sin, cos, e^{u}, a^{u}, 1/cos²u, u^n and log u for u = ax + b (the substitution t = u)."""
        base, n = self._as_power(g)
        if base.kind is Kind.COS and n == -2:
            return self._of_linear(base.args[0], lambda u, a: [Piece(_reciprocal(a), apply(Kind.TAN, u))])
        if n != 1 or base.kind is Kind.SYMBOL:
            return self._of_linear(base, lambda u, a: self._power_rule(u, a, n))
        if base.kind is Kind.LOG:
            return self._of_linear(base.args[0], self._log_rule)
        kernel = self._cyclic(base)
        if kernel is None:
            return None
        coefficient, following = kernel
        return [Piece(coefficient, following)]

    def _of_linear(self, u: Formula, rule: Callable[[Formula, Formula], list[Piece]]) -> list[Piece] | None:
        linear = self.linear(u)
        return None if linear is None else rule(simplify(u), linear[0])

    def _power_rule(self, u: Formula, a: Formula, n: Fraction) -> list[Piece]:
        """∫u^n dx = u^{n+1}/(a(n+1)), and log|u|/a for n = -1."""
        if n == -1:
            return [Piece(_reciprocal(a), log_of(u))]
        return [self._power_piece(div(ONE, mul(a, rational(n + 1))), u, n + 1)]

    def _power_piece(self, coefficient: Formula, u: Formula, m: Fraction) -> Piece:
        """coefficient·u^m; a power of a sum is kept as written, the algebra writes the rest."""
        if u.kind is Kind.ADD:
            return Piece(coefficient, textbook_power(u, m), kept=True)
        return Piece(coefficient, power(u, rational(m)))

    def _log_rule(self, u: Formula, a: Formula) -> list[Piece]:
        """∫log u dx = (u log u - u)/a; the constant b/a of -u/a is left out."""
        if u == self.x:
            return [Piece(ONE, mul(self.x, apply(Kind.LOG, u))), Piece(number(-1), self.x)]
        return [Piece(_reciprocal(a), mul(u, apply(Kind.LOG, u)), kept=True), Piece(number(-1), self.x)]

    def _cyclic(self, g: Formula) -> tuple[Formula, Formula] | None:
        """For sin u, cos u, e^{u} and c^{u} (u linear): ∫g dx = coefficient × a kernel of the
        same kinds, so that integration by parts can repeat it."""
        kind = g.kind
        if kind is Kind.POW and self.varies(g.args[0]):
            return None
        u = g.args[1] if kind is Kind.POW else g.args[0] if kind in (Kind.SIN, Kind.COS) else None
        linear = None if u is None else self.linear(u)
        if u is None or linear is None:
            return None
        a = linear[0]
        if kind is Kind.SIN:
            return neg(_reciprocal(a)), apply(Kind.COS, u)
        if kind is Kind.COS:
            return _reciprocal(a), apply(Kind.SIN, u)
        base = g.args[0]
        return (_reciprocal(a) if base.kind is Kind.E else _reciprocal(mul(a, apply(Kind.LOG, base)))), g

    # --- f'(x)/f(x) -----------------------------------------------------------------

    def _log_derivative(self, g: Formula) -> list[Piece] | None:
        """g = c·f'/f gives c·log|f|; f is the denominator or one of its factors."""
        if g.kind is not Kind.DIV:
            return None
        denominator = g.args[1]
        candidates = [denominator]
        if denominator.kind is Kind.MUL:
            candidates += [factor for factor in denominator.args if self.varies(factor)]
        for f in candidates:
            try:
                ratio = simplify(div(mul(g, f), derivative(f, self.name)))
            except MathError:  # f' = 0
                continue
            if not self.varies(ratio):
                return [Piece(ratio, log_of(simplify(f)))]
        return None

    # --- rational functions ---------------------------------------------------------

    def _partial_fractions(self, g: Formula) -> list[Piece] | None:
        """A rational function over Q whose denominator factors into linear factors:
        g = q(x) + Σ A/(ax + b)^k, each fraction integrated by the power rule."""
        space, quotient = read_quotient(g)
        num, den = space.lift(quotient.num), space.lift(quotient.den)
        if len(den) < 2 or space.variables != [self.name] or space.atoms:
            return None
        whole, remainder = divmod(num, den)
        _, factors = rational_factors(den)
        if any(f.total_degree() != 1 for f, _ in factors):
            return None
        parts = [(f, k) for f, multiplicity in factors for k in range(1, multiplicity + 1)]
        degree = den.total_degree()
        columns = [_coefficients(den / f ** k, degree) for f, k in parts]
        matrix = flint.fmpq_mat(degree, degree, [columns[j][i] for i in range(degree) for j in range(degree)])
        values = matrix.solve(flint.fmpq_mat(degree, 1, _coefficients(remainder, degree)))
        builder = Builder(space)
        pieces = [Piece(ONE, builder.polynomial(whole.integral(0)))] if not whole.is_zero() else []
        for (f, k), value in zip(parts, values.entries()):
            if value != 0:
                scale = rational(fraction(value))
                pieces += [Piece(mul(scale, p.coefficient), p.kernel, p.kept)
                           for p in self._power_rule(builder.polynomial(f), rational(_slope(f)), Fraction(-k))]
        return pieces

    # --- products: x^p times sines and cosines, exponentials or a logarithm -----------

    def _monomials(self, g: Formula) -> list[Piece] | None:
        """g multiplied out into terms c·x^p·(functions), each integrated on its own."""
        space, quotient = read_quotient(g)
        num, den = space.lift(quotient.num), space.lift(quotient.den)
        if len(den) != 1:
            return None
        builder = Builder(space)
        below, scale = den.monoms()[0], fraction(den.coeffs()[0])
        pieces: list[Piece] = []
        for monomial, coefficient in zip(num.monoms(), num.coeffs()):
            exponents = [int(k) - int(d) for k, d in zip(monomial, below)]
            found = self._monomial(builder, space, exponents, fraction(coefficient) / scale)
            if found is None:
                return None
            pieces += found
        return pieces

    def _monomial(self, builder: Builder, space: Space, exponents: list[int], coefficient: Fraction) -> list[Piece] | None:
        constant = [0] * len(exponents)
        p = Fraction(0)
        trig: list[Trig] = []
        exponentials: list[tuple[Formula, Formula]] = []  # (base, exponent)
        logs: list[Formula] = []
        for i, k in enumerate(exponents):
            atom = space.atom_at(i)
            formula = symbol(space.variables[i]) if atom is None else atom.formula
            if k == 0 or not self.varies(formula):
                constant[i] = k
                continue
            base, n = self._as_power(formula)
            if base == self.x:
                p += k * n
            elif formula.kind in (Kind.SIN, Kind.COS) and k > 0:
                trig += [(formula.kind, formula.args[0])] * k
            elif formula.kind is Kind.POW and not self.varies(formula.args[0]):
                exponentials.append((formula.args[0], mul(number(k), formula.args[1])))
            elif formula.kind is Kind.LOG and k == 1:
                logs.append(formula.args[0])
            else:
                return None
        c = builder.monomial(coefficient, constant)
        if logs:
            return self._log_by_parts(c, p, logs[0]) if len(logs) == 1 and not trig and not exponentials else None
        if exponentials and trig:
            return None
        kernels = self._product_to_sum(trig) if trig else [(ONE, self._exponential(exponentials))]
        pieces: list[Piece] = []
        for factor, kernel in kernels:
            found = self._power_rule(self.x, ONE, p) if kernel is None else self._by_parts(p, kernel)
            if found is None:
                return None
            pieces += [Piece(mul(c, factor, piece.coefficient), piece.kernel, piece.kept) for piece in found]
        return pieces

    @staticmethod
    def _exponential(exponentials: list[tuple[Formula, Formula]]) -> Formula | None:
        """e^{u}e^{v} = e^{u + v}; None for no exponential (MathError for different bases)."""
        if not exponentials:
            return None
        bases = {base for base, _ in exponentials}
        if len(bases) > 1:
            raise MathError("底の異なる指数関数の積の積分には対応していません")
        return power(exponentials[0][0], simplify(add(*[u for _, u in exponentials]) if len(exponentials) > 1
                                                  else exponentials[0][1]))

    def _by_parts(self, p: Fraction, kernel: Formula) -> list[Piece] | None:
        """∫x^n·g dx = x^n·G1 - n·x^{n-1}·G2 + n(n-1)·x^{n-2}·G3 - ..., G(k+1) = ∫Gk dx,
        for g = sin u, cos u, e^{u}, c^{u} (repeated integration by parts)."""
        if p.denominator != 1 or p < 0:
            return None
        n = int(p)
        if n > _MOST_PARTS_STEPS:
            raise MathError(f"次数が大きすぎて部分積分を繰り返せません: x^{n}")
        pieces = []
        running, current, factor = ONE, kernel, 1
        for j in range(n + 1):
            step = self._cyclic(current)
            if step is None:
                return None
            running = simplify(mul(running, step[0]))
            current = step[1]
            power_of_x = [power(self.x, number(n - j))] if n - j > 1 else [self.x] if n - j == 1 else []
            pieces.append(Piece(mul(number(factor), running), _product([*power_of_x, current])))
            factor *= -(n - j)
        return pieces

    def _log_by_parts(self, c: Formula, p: Fraction, u: Formula) -> list[Piece] | None:
        """∫x^p·log u dx = Q·log u - ∫Q·u'/u dx with Q = x^{p+1}/(p+1), u linear."""
        linear = self.linear(u)
        if linear is None or p == -1:
            return None
        q = mul(rational(1 / (p + 1)), power(self.x, rational(p + 1)))
        rest = self.integrate(mul(c, q, linear[0], _reciprocal(u)))
        return [Piece(c, mul(q, apply(Kind.LOG, u))), *(Piece(neg(r.coefficient), r.kernel, r.kept) for r in rest)]

    def _product_to_sum(self, trig: list[Trig]) -> list[tuple[Formula, Formula | None]]:
        """A product of sines and cosines as Σ c·sin(u) or c·cos(u) (None: a constant term),
        by sin A cos B = ½(sin(A + B) + sin(A - B)) and its kin."""
        if len(trig) > _MOST_TRIG_FACTORS:
            raise MathError(f"三角関数の積の因数が多すぎます ({len(trig)} 個)")
        terms: dict[Trig | None, Fraction] = {None: Fraction(1)}
        for kind, v in trig:
            following: dict[Trig | None, Fraction] = {}
            for key, c in terms.items():
                for sign, result in self._trig_product(key, (kind, v)):
                    following[result] = following.get(result, Fraction(0)) + sign * c
            terms = {key: c for key, c in following.items() if c != 0}
        kernels: list[tuple[Formula, Formula | None]] = []
        for key, c in terms.items():
            if key is None or not self.varies(key[1]):
                kernels.append((rational(c) if key is None else mul(rational(c), apply(*key)), None))
            else:
                kernels.append((rational(c), apply(*key)))
        return kernels

    def _trig_product(self, left: Trig | None, right: Trig) -> list[tuple[Fraction, Trig | None]]:
        if left is None:
            return [(Fraction(1), right)]
        (kind_a, a), (kind_b, b) = left, right
        total, difference = simplify(add(a, b)), simplify(add(a, neg(b)))
        half = Fraction(1, 2)
        if kind_a is Kind.SIN and kind_b is Kind.SIN:
            pairs = [(half, Kind.COS, difference), (-half, Kind.COS, total)]
        elif kind_a is Kind.COS and kind_b is Kind.COS:
            pairs = [(half, Kind.COS, total), (half, Kind.COS, difference)]
        else:  # sin A cos B, or cos A sin B = sin B cos A
            pairs = [(half, Kind.SIN, total), (half if kind_a is Kind.SIN else -half, Kind.SIN, difference)]
        return [self._normal_trig(sign, kind, u) for sign, kind, u in pairs]

    def _normal_trig(self, sign: Fraction, kind: Kind, u: Formula) -> tuple[Fraction, Trig | None]:
        """sin 0 = 0, cos 0 = 1, sin(-u) = -sin u, cos(-u) = cos u: like terms meet."""
        if u == number(0):
            return (sign if kind is Kind.COS else Fraction(0)), None
        linear = self.linear(u)
        slope = None if linear is None else rational_value(linear[0])
        if slope is not None and slope < 0:
            return (sign if kind is Kind.COS else -sign), (kind, simplify(neg(u)))
        return sign, (kind, u)


def _coefficients(p: Poly, count: int) -> list[flint.fmpq]:
    """The coefficients of x^0 ... x^(count-1) of a polynomial in one variable."""
    terms = p.to_dict()
    return [flint.fmpq(terms.get((i,), 0)) for i in range(count)]


def _slope(f: Poly) -> Fraction:
    """a, for the linear polynomial ax + b."""
    return fraction(flint.fmpq(f.to_dict()[(1,)]))
