"""A normal form of how a formula is written, blind to the order of terms and factors and
to the ways of writing a coefficient, and to nothing else.

So ``1 - x`` and ``-x + 1``, ``x/2`` and ``\\frac{1}{2}x``, ``-\\frac{x}{y}`` and ``\\frac{-x}{y}``
have the same form; ``x^{2}`` and ``x·x``, ``2^{3}`` and ``8``, ``\\sqrt{8}`` and ``2\\sqrt{2}``,
``(xy)^{2}`` and ``x^{2}y^{2}`` do not, and neither do brackets left in: ``x(yz)`` and ``xyz``,
``x + (y + 1)`` and ``x + y + 1``.

Every formula is read as a product: a rational coefficient times factors, each a base to
an integer power (a quotient's denominator gives negative powers). An operand's coefficient
joins its parent's, and its factors do when there is one of them; several stay together as
one base, so that every node costs the same however deep it stands. Bases are interned as
small integers, so forms are flat tuples, and comparing or hashing them never recurses.
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
            return self._multiplied(operands, (1,) * len(operands))
        if kind is Kind.DIV:
            return self._multiplied(operands, (1, -1))
        if kind is Kind.POW:
            return self._power(operands[0], operands[1])
        return self._base((kind.value, self._identity(operands[0])))

    def _sum(self, operands: list[Product]) -> Product:
        ordered = tuple(sorted(operands, key=self._identity))
        total = self._intern(("+", tuple(self._identity(term) for term in ordered)))
        self._sum_terms[total] = ordered
        return (Fraction(1), ((total, 1),))

    def _multiplied(self, products: list[Product], signs: tuple[int, ...]) -> Product:
        """The product of the operands to the powers `signs` (1, or -1 for a denominator)."""
        coefficient = Fraction(1)
        factors: list[Factor] = []
        for (value, more), sign in zip(products, signs):
            if value == 0 and sign < 0:  # keeps x/0 apart from everything else
                factors.append((self._intern(("0",)), -1))
            else:
                coefficient *= value if sign > 0 else 1 / value
            if more:
                base, exponent = more[0] if len(more) == 1 else (self._intern(("*", Fraction(1), more)), 1)
                factors.append((base, sign * exponent))
        return (coefficient, tuple(sorted(factors)))

    def _power(self, base: Product, exponent: Product) -> Product:
        value, factors = exponent
        if not factors and value.denominator == 1:
            return (Fraction(1), ((self._identity(base), int(value)),))
        return self._base(("^", self._identity(base), self._identity(exponent)))
