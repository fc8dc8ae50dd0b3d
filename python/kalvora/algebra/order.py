"""The canonical textbook order, and the result trees built in it.

Terms: by descending total degree in the variables, ties by the variables compared as
words (``a^{2} - 2ab + b^{2}``), so exactly the graded-lex order of the variables in
alphabetical order, which is flint's "deglex" order on a context whose generators are the
variables. Among terms with the same variables: terms with function applications first,
then the positive terms, then the negative ones, so that a number starts with a plus sign
when it can (``5 + 2\\sqrt{6}``, ``\\sqrt{2} - 1``, ``\\sqrt{3} - \\sqrt{2}``). The rational term
comes first among the positive terms and last among the negative ones; terms with roots,
π and e follow the order of their factors.

Within a term: the coefficient (Number, or Div(Number, Number) with the sign on the
numerator; 1 is left out and -1 makes the term a Neg, as parsed), then roots of numbers, π, e, the
variables, and function applications. A term with negative exponents (from a monomial
denominator) is a quotient, and so is a number made with roots, π or e whose coefficient
is a fraction (``\\frac{\\sqrt{2}}{2}``, ``\\frac{\\pi}{2}``); a negative quotient has a
leading Neg. simplify writes a whole result that is such a number as one fraction
(``\\frac{1 + \\sqrt{5}}{2}``).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from fractions import Fraction

import flint

from ..formula import Formula, Kind, MonomialSum, add, deferred, div, mul, neg, number, power, rational, symbol
from .atoms import Category
from .polynomials import IntegerPoly, Poly, Quotient, Space, exact


Exponents = tuple[int, ...]
Term = tuple[Exponents, Fraction]


class Builder:
    """Builds the terms of one Space, sharing the nodes of coefficients and powers."""

    def __init__(self, space: Space) -> None:
        self.space = space
        self.variable_count = len(space.variables)
        bases: list[Formula] = [symbol(name) for name in space.variables]
        bases += [atom.formula for atom in space.atoms]
        self._bases = bases
        # Generators in the order their factors are written within a term.
        rank: list[tuple[int, tuple[object, ...]]] = [
            (Category.VARIABLE, (i,)) for i in range(self.variable_count)]
        rank += [(atom.category, key) for atom, key in zip(space.atoms, space.atom_keys)]
        self.factor_order = sorted(range(len(bases)), key=rank.__getitem__)
        self._atoms_in_order = [i for i in self.factor_order if i >= self.variable_count]
        self._function_atoms = frozenset(
            i for i in self._atoms_in_order if space.atoms[i - self.variable_count].category is Category.FUNCTION)
        self._powers: dict[tuple[int, int], Formula] = {}
        self._numbers: dict[int, Formula] = {}

    # --- nodes ------------------------------------------------------------------------

    def number(self, value: int) -> Formula:
        node = self._numbers.get(value)
        if node is None:
            node = self._numbers[value] = number(value)
        return node

    def factor(self, generator: int, exponent: int) -> Formula:
        node = self._powers.get((generator, exponent))
        if node is None:
            base = self._bases[generator]
            node = base if exponent == 1 else power(base, self.number(int(exponent)))
            self._powers[(generator, exponent)] = node
        return node

    def product(self, coefficient: Fraction | int, factors: list[Formula]) -> Formula:
        """coefficient · factors, the coefficient written first (1 left out)."""
        if not factors:
            return rational(Fraction(coefficient))
        if abs(coefficient) == 1:  # -x is Neg(x), as parsed, so that x - y reads back equal
            rest = factors[0] if len(factors) == 1 else mul(*factors)
            return rest if coefficient == 1 else neg(rest)
        lead = self.number(coefficient.numerator) if coefficient.denominator == 1 else rational(Fraction(coefficient))
        return mul(lead, *factors)

    def monomial(self, coefficient: Fraction, exponents: Sequence[int]) -> Formula:
        """One term; negative exponents go to a denominator."""
        factors, below = [], []
        for i in self.factor_order:
            k = exponents[i]
            if k > 0:
                factors.append(self.factor(i, k))
            elif k < 0:
                below.append(self.factor(i, -k))
        if not below and (coefficient.denominator == 1 or not factors or not self._is_number(exponents)):
            return self.product(coefficient, factors)
        # A quotient: negative exponents, or a number with roots over its denominator (√2/2).
        size = abs(coefficient)
        quotient = div(self.product(Fraction(size.numerator), factors), self.product(Fraction(size.denominator), below))
        return neg(quotient) if coefficient < 0 else quotient

    def _is_number(self, exponents: Sequence[int]) -> bool:
        return not any(exponents[:self.variable_count]) and not any(exponents[i] for i in self._function_atoms)

    def sum(self, terms: Sequence[Formula]) -> Formula:
        if not terms:
            return self.number(0)
        return terms[0] if len(terms) == 1 else add(*terms)

    # --- order ------------------------------------------------------------------------

    def term_key(self, term: Term) -> tuple[object, ...]:
        exponents, coefficient = term
        variables = exponents[:self.variable_count]
        atom_exponents = [exponents[i] for i in self._atoms_in_order]
        if any(exponents[i] for i in self._function_atoms):
            group = 0
        elif coefficient > 0:
            group = 2 if any(atom_exponents) else 1
        else:
            group = 3 if any(atom_exponents) else 4
        return (-sum(variables), tuple(-k for k in variables), group, tuple(-k for k in atom_exponents))

    def terms(self, p: Poly, shift: Sequence[int] = ()) -> list[Term]:
        """The terms of p (minus the exponents `shift`), in canonical order."""
        monomials, coefficients = p.monoms(), p.coeffs()
        if shift:
            monomials = [tuple(k - s for k, s in zip(m, shift)) for m in monomials]
        terms = list(zip(monomials, map(_fraction, coefficients)))
        if self.space.atoms:  # flint's own order is canonical when there are only variables
            terms.sort(key=self.term_key)
        return terms

    def polynomial(self, p: Poly, shift: Sequence[int] = ()) -> Formula:
        if self.space.atoms or shift:
            return self.sum([self.monomial(c, m) for m, c in self.terms(p, shift)])
        return variable_sum(self.space.variables, p, self)

    def variable_terms(self, p: Poly | IntegerPoly) -> list[Formula]:
        """The terms of a polynomial in the variables alone, in one pass: flint's order is
        already canonical and every exponent is positive (the path of large expansions)."""
        powers = [_Powers(self, i) for i in range(self.variable_count)]
        product = self.product
        terms = []
        for monomial, c in zip(p.monoms(), p.coeffs()):
            factors = [powers[i][k] for i, k in enumerate(monomial) if k]
            terms.append(product(exact(c), factors))
        return terms

    def is_irrational_number(self, p: Poly) -> bool:
        """Whether p is a number made with roots, π or e, with a fraction in it."""
        if not self.space.atoms or all(c.q == 1 for c in p.coeffs()):
            return False
        return len(p) > 1 and self._is_number(p.degrees())

    def over_common_denominator(self, p: Poly) -> Formula:
        """A number with roots as one fraction, as textbooks write it: ``\\frac{\\sqrt{2}}{2}``,
        ``\\frac{1 + \\sqrt{5}}{2}``, ``-\\frac{\\sqrt{3}}{3}``."""
        denominator = common_denominator(p)
        terms = self.terms(p * denominator)
        sign = -1 if terms[0][1] < 0 else 1
        top = self.sum([self.monomial(sign * c, m) for m, c in terms])
        quotient = div(top, self.number(denominator))
        return neg(quotient) if sign < 0 else quotient

    def arranged(self, p: Poly, main: int) -> Formula:
        """p in descending powers of one variable, the rest of each term as its coefficient:
        ``x^{2} + \\left(2y + 2\\right)x + y^{2} + 2y + 1``."""
        groups: dict[int, list[Term]] = {}
        for exponents, coefficient in self.terms(p):
            rest = list(exponents)
            rest[main] = 0
            groups.setdefault(exponents[main], []).append((tuple(rest), coefficient))
        result: list[Formula] = []
        for degree in sorted(groups, reverse=True):
            group = groups[degree]
            if degree == 0 or len(group) == 1:
                result += [self.monomial(c, _with(m, main, degree)) for m, c in group]
                continue
            sign = -1 if group[0][1] < 0 else 1
            inner = self.sum([self.monomial(sign * c, m) for m, c in group])
            term = mul(inner, self.factor(main, degree))
            result.append(neg(term) if sign < 0 else term)
        return self.sum(result)


class _Powers(dict[int, Formula]):
    """The powers of one generator by exponent, made on first use."""

    def __init__(self, builder: Builder, generator: int) -> None:
        super().__init__()
        self.builder, self.generator = builder, generator

    def __missing__(self, exponent: int) -> Formula:
        node = self[exponent] = self.builder.factor(self.generator, exponent)
        return node


class _VariableSum:
    """The source of a deferred sum: a polynomial in variables alone, whose terms are made
    only when read. Printers may write it from its exponents and coefficients instead."""

    def __init__(self, variables: list[str], p: Poly | IntegerPoly, builder: Builder | None) -> None:
        self.variables, self.p, self.builder = variables, p, builder

    def operands(self) -> tuple[Formula, ...]:
        builder = self.builder or Builder(Space(self.variables))
        return tuple(builder.variable_terms(self.p))

    def monomials(self) -> MonomialSum:
        p = self.p
        degrees = tuple(map(int, p.degrees()))
        coefficients = list(map(int if isinstance(p, IntegerPoly) else exact, p.coeffs()))
        return MonomialSum(tuple(self.variables), degrees, p.monoms(), coefficients)


def variable_sum(variables: list[str], p: Poly | IntegerPoly, builder: Builder | None = None) -> Formula:
    """The canonical sum of a polynomial in variables alone (alphabetical, as the Space
    orders them), its terms made when first read: expanding many terms costs little more
    than flint's arithmetic until the result is looked at."""
    if len(p) > 1:
        return deferred(Kind.ADD, _VariableSum(variables, p, builder))
    builder = builder or Builder(Space(variables))
    return builder.sum(builder.variable_terms(p))


def _with(exponents: Exponents, index: int, value: int) -> Exponents:
    return exponents[:index] + (value,) + exponents[index + 1:]


def _fraction(value: flint.fmpq) -> Fraction:
    return Fraction(int(value.p), int(value.q))


# --- whole results ----------------------------------------------------------------------


def integral_parts(q: Quotient) -> tuple[Poly, Poly]:
    """num and den of q scaled to integer coefficients with no common integer content."""
    scale = math.lcm(common_denominator(q.num), common_denominator(q.den))
    num, den = q.num * scale, q.den * scale
    common = math.gcd(_content(num), _content(den))
    return num / common, den / common


def common_denominator(p: Poly) -> int:
    return math.lcm(1, *(int(c.q) for c in p.coeffs()))


def _content(p: Poly) -> int:
    result = 0
    for c in p.coeffs():
        result = math.gcd(result, int(c.p))
    return result or 1


def leading_is_negative(builder: Builder, p: Poly) -> bool:
    terms = builder.terms(p)
    return bool(terms) and terms[0][1] < 0


def formula_of(space: Space, q: Quotient, *, expanding: bool, by: int | None = None) -> Formula:
    """The textbook formula of a Quotient. A polynomial (or a quotient by a number) is a sum
    of terms. A quotient by a monomial is a sum of quotient terms when `expanding`; any
    other quotient is one fraction, its numerator expanded and its denominator expanded
    (`expanding`) or factored (simplify)."""
    q = Quotient(space.lift(q.num), space.lift(q.den))
    builder = Builder(space)
    if q.is_polynomial() and not expanding and builder.is_irrational_number(q.num):
        return builder.over_common_denominator(q.num)
    if q.is_polynomial():
        return builder.polynomial(q.num) if by is None else builder.arranged(q.num, by)
    if expanding and len(q.den) == 1:
        shift = q.den.monoms()[0]
        return builder.polynomial(q.num / q.den.coeffs()[0], shift)
    num, den = integral_parts(q)
    negative = leading_is_negative(builder, num)
    if negative:
        num = -num
    top = builder.polynomial(num) if by is None else builder.arranged(num, by)
    if expanding:
        bottom = builder.polynomial(den)
    else:
        from .factoring import factored_formula

        bottom = factored_formula(builder, den)
    quotient = div(top, bottom)
    return neg(quotient) if negative else quotient
