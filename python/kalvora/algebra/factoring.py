"""Factoring over the rationals, with flint's ``factor()``, in textbook factor order.

The factor order: the rational content first (its sign included), then the monomial
factor (its generators in term order), then the other factors by descending degree; factors
of equal degree are compared term by term in canonical order, and the one whose first
differing term is higher (a higher monomial, or the same monomial with a larger
coefficient) comes first: ``\\left(x + 1\\right)\\left(x - 1\\right)``,
``\\left(x - 2\\right)\\left(x - 3\\right)``.
"""

from __future__ import annotations

from fractions import Fraction
from typing import TYPE_CHECKING

from ..formula import Formula, power
from .order import Builder, leading_is_negative

if TYPE_CHECKING:
    from .polynomials import Poly


def rational_factors(p: Poly) -> tuple[Fraction, list[tuple[Poly, int]]]:
    """p = c·f1^k1·f2^k2... over Q, each f an irreducible polynomial with integer coefficients
    and no integer content, in p's context."""
    # fmpq_mpoly's own factor(): fmpz_mpoly's sorts its factors through C longs and raises
    # OverflowError on coefficients past 64 bits, as in x^2 - 10^30.
    content, factors = p.factor()
    return Fraction(int(content.p), int(content.q)), [(f, int(multiplicity)) for f, multiplicity in factors]


def _single_generator(p: Poly) -> int | None:
    if len(p) != 1:
        return None
    used = [i for i, k in enumerate(p.monoms()[0]) if k]
    return used[0] if len(used) == 1 and p.monoms()[0][used[0]] == 1 else None


def factored_formula(builder: Builder, p: Poly) -> Formula:
    """p factored over Q in textbook factor order; an irreducible p comes back expanded."""
    coefficient, factors = rational_factors(builder.space.lift(p))
    monomial = [0] * builder.space.size
    others: list[tuple[Poly, int]] = []
    for irreducible, multiplicity in factors:
        generator = _single_generator(irreducible)
        if generator is not None:
            monomial[generator] += multiplicity
        else:
            if leading_is_negative(builder, irreducible):  # flint's sign follows the ring's generator order
                irreducible, coefficient = -irreducible, coefficient * (-1) ** multiplicity
            others.append((irreducible, multiplicity))
    if not others:
        return builder.monomial(coefficient, monomial)
    others.sort(key=lambda item: _factor_key(builder, item[0]))
    nodes = [builder.factor(i, monomial[i]) for i in builder.factor_order if monomial[i]]
    for f, multiplicity in others:
        node = builder.polynomial(f)
        nodes.append(node if multiplicity == 1 else power(node, builder.number(multiplicity)))
    return builder.product(coefficient, nodes)


def _factor_key(builder: Builder, f: Poly) -> tuple[object, ...]:
    terms = builder.terms(f)
    return (-f.total_degree(), [(builder.term_key(term), -term[1]) for term in terms])
