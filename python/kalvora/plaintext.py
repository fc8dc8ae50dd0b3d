"""Plain text of a formula, as ``str(f)`` and ``repr(f)`` show it, in the grammar `kalvora.parse` reads.

The text reads back to an equal formula, so parentheses go exactly where the grammar
needs them:

- a sum's terms are products that may carry leading signs: ``-x*y`` is -(x*y);
- a minus sign directly before a number that is not the base of a power belongs to the
  number: ``-3*x`` is (-3)*x and ``x - 3*y`` is x + (-3)*y (a formula never negates a
  product led by a number: the sign is the number's);
- a product is powers joined, left-associatively, by ``*`` or ``/``: ``1/2*x`` is
  (1/2)*x, and ``a*(b*c)`` keeps its parentheses. A product or quotient may start with a
  negative number; any other signed factor is parenthesised: ``x*(-3)``, ``(-x)*y``;
- ``^`` is right-associative and its base is an atom: ``a^b^c`` is a^(b^c),
  ``(-2)^2`` and ``(a^b)^c`` need theirs.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

from .formula import FUNCTIONS, Formula, FormulaLike, Kind
from .printer import Level, Piece, Printer, negative_number, number_text, precedence


class Place(NamedTuple):
    """Where an operand stands: how tightly it must bind, which signs may lead it, and
    whether its leading number is written without its sign (after a " - ")."""

    level: Level
    negation: bool  # a Neg may stand here unparenthesised
    negative_number: bool  # a negative number may
    magnitude: bool = False


WHOLE = Place(Level.SUM, True, True)  # the whole text, or inside parentheses
TERM = Place(Level.PRODUCT, True, True)  # a term of a sum
HEAD = Place(Level.PRODUCT, False, True)  # the first factor of a product, or a numerator
FACTOR = Place(Level.POWER, False, False)  # after * or /, and an exponent
BASE = Place(Level.ATOM, False, False)  # the base of a power
SUBTRAHEND = TERM._replace(magnitude=True)  # a term after " - " whose leading number is negative


def _leading_number(node: Formula) -> Formula | None:
    """The number a node's text starts with, through first factors and numerators."""
    while node.kind in (Kind.MUL, Kind.DIV):
        node = node.args[0]
    return node if node.kind is Kind.NUMBER else None


class PlainTextPrinter(Printer[Place]):
    """Explicit ``*`` and ``^``, functions by name with parenthesised arguments, ``pi``, ``e``."""

    def root_context(self) -> Place:
        return WHOLE

    def operand(self, node: Formula, place: Place) -> list[Piece[Place]]:
        if precedence(node) < place.level:
            return self.wrapped(node, WHOLE)
        if node.kind is Kind.NEG and not place.negation or negative_number(node) and not place.negative_number:
            return self.wrapped(node, WHOLE)
        return [(node, place)]

    def _print_Number(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [number_text(node, magnitude=place.magnitude)]

    def _print_Symbol(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [node.name]

    def _print_Pi(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return ["pi"]

    def _print_E(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return ["e"]

    def _print_Neg(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        # Reached only at the head of a term: the sign covers the product that follows.
        return ["-", *self.operand(node.args[0], TERM)]

    def _print_Add(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        first, *rest = node.args
        pieces = self.operand(first, TERM)
        for term in rest:
            leading = _leading_number(term)
            if term.kind is Kind.NEG:
                pieces += [" - ", *self.operand(term.args[0], TERM)]
            elif leading is not None and negative_number(leading):
                pieces += [" - ", (term, SUBTRAHEND)]
            else:
                pieces += [" + ", *self.operand(term, TERM)]
        return pieces

    def _print_Mul(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        first, *rest = node.args
        pieces = self.operand(first, self.head(place))
        for factor in rest:
            pieces += ["*", *self.operand(factor, FACTOR)]
        return pieces

    def _print_Div(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        numerator, denominator = node.args
        return [*self.operand(numerator, self.head(place)), "/", *self.operand(denominator, FACTOR)]

    @staticmethod
    def head(place: Place) -> Place:
        """The place of a product's first factor: a subtrahend's sign is left out down to its number."""
        return HEAD._replace(magnitude=place.magnitude)

    def _print_Pow(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        base, exponent = node.args
        return [*self.operand(base, BASE), "^", *self.operand(exponent, FACTOR)]

    def _print_function(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [FUNCTIONS[node.kind], "(", (node.args[0], WHOLE), ")"]

    _print_Sqrt = _print_Cbrt = _print_Sin = _print_Cos = _print_Tan = _print_Log = _print_Abs = _print_function

    def _print_Infinity(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return ["oo"]


def plain_text(f: FormulaLike) -> str:
    """The formula as text that `kalvora.parse` reads back to an equal formula."""
    return PlainTextPrinter().doprint(f)
