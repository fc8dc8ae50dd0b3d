"""A normal form of how a formula is written, blind to the order of terms and factors and
to the ways of writing a coefficient, and to nothing else.

So ``1 - x`` and ``-x + 1``, ``x/2`` and ``\\frac{1}{2}x``, ``-\\frac{x}{y}`` and ``\\frac{-x}{y}``
have the same form; ``x^{2}`` and ``x·x``, ``2^{3}`` and ``8``, ``\\sqrt{8}`` and ``2\\sqrt{2}``,
``(xy)^{2}`` and ``x^{2}y^{2}`` do not.

Every formula is read as a product: a rational coefficient times factors, each a base to
an integer power (a quotient's denominator gives negative powers). Bases are interned as
small integers, so forms are flat tuples however deep the formula, and comparing or hashing
them never recurses.
"""

from __future__ import annotations

from fractions import Fraction
from typing import Union

from ..formula import Formula, Kind, fold

Factor = tuple[int, int]  # (base, exponent)
Product = tuple[Fraction, tuple[Factor, ...]]  # (coefficient, factors in sorted order)
_Key = tuple[Union[str, int, Fraction, tuple[object, ...]], ...]


class Forms:
    """Normal forms sharing one table of bases; compare only forms from the same Forms."""

    def __init__(self) -> None:
        self._ids: dict[_Key, int] = {}
        self._sum_terms: dict[int, tuple[Product, ...]] = {}

    def of(self, formula: Formula) -> int:
        """The normal form of a whole formula, as a number: equal forms, equal numbers."""
        return self._identity(self.product(formula))

    def product(self, formula: Formula) -> Product:
        return fold(formula, self._node)

    def terms(self, formula: Formula) -> tuple[Product, ...]:
        """The terms of a sum (nested sums flattened), or the formula as its only term."""
        product = self.product(formula)
        total = self._single_base(product)
        return self._sum_terms.get(total, (product,)) if total is not None else (product,)

    # --- interning ----------------------------------------------------------------------

    def _intern(self, key: _Key) -> int:
        return self._ids.setdefault(key, len(self._ids))

    def _base(self, key: _Key) -> Product:
        return (Fraction(1), ((self._intern(key), 1),))

    @staticmethod
    def _single_base(product: Product) -> int | None:
        coefficient, factors = product
        if coefficient == 1 and len(factors) == 1 and factors[0][1] == 1:
            return factors[0][0]
        return None

    def _identity(self, product: Product) -> int:
        """A product's number; a lone base with coefficient 1 is that base, so x = 1·x."""
        base = self._single_base(product)
        return base if base is not None else self._intern(("*", product[0], product[1]))

    # --- one node -----------------------------------------------------------------------

    def _node(self, node: Formula, operands: list[Product]) -> Product:
        kind = node.kind
        if kind is Kind.NUMBER:
            return (Fraction(node.value), ())
        if kind is Kind.SYMBOL:
            return self._base(("symbol", node.name))
        if not operands:  # π, e, ∞
            return self._base((kind.value,))
        if kind is Kind.NEG:
            coefficient, factors = operands[0]
            return (-coefficient, factors)
        if kind is Kind.ADD:
            return self._sum(operands)
        if kind is Kind.MUL:
            return _multiplied(operands)
        if kind is Kind.DIV:
            return self._quotient(operands[0], operands[1])
        if kind is Kind.POW:
            return self._power(operands[0], operands[1])
        return self._base((kind.value, self._identity(operands[0])))

    def _sum(self, operands: list[Product]) -> Product:
        terms: list[Product] = []
        for term in operands:
            inner = self._single_base(term)
            terms.extend(self._sum_terms.get(inner, (term,)) if inner is not None else (term,))
        ordered = tuple(sorted(terms, key=self._identity))
        total = self._intern(("+", tuple(self._identity(term) for term in ordered)))
        self._sum_terms[total] = ordered
        return (Fraction(1), ((total, 1),))

    def _quotient(self, numerator: Product, denominator: Product) -> Product:
        coefficient, below = denominator
        if coefficient == 0:  # keeps x/0 apart from everything else
            below = (*below, (self._intern(("0",)), 1))
            coefficient = Fraction(1)
        inverse = (1 / coefficient, tuple((base, -exponent) for base, exponent in below))
        return _multiplied([numerator, inverse])

    def _power(self, base: Product, exponent: Product) -> Product:
        value, factors = exponent
        if not factors and value.denominator == 1:
            return (Fraction(1), ((self._identity(base), int(value)),))
        return self._base(("^", self._identity(base), self._identity(exponent)))


def _multiplied(products: list[Product]) -> Product:
    coefficient = Fraction(1)
    factors: list[Factor] = []
    for value, more in products:
        coefficient *= value
        factors.extend(more)
    return (coefficient, tuple(sorted(factors)))
