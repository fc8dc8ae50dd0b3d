"""Plain text of a formula, as ``str(f)`` and ``repr(f)`` show it, in the grammar `kalvora.parse` reads.

The text reads back to an equal formula, so parentheses go exactly where the grammar
needs them:

- a sum's terms are products that may carry leading signs: ``-x*y`` is -(x*y);
- a product is powers joined, left-associatively, by ``*`` or ``/``: ``1/2*x`` is
  (1/2)*x, and ``a*(b*c)`` keeps its parentheses. Only a term's head carries a sign, so
  a signed factor is parenthesised: ``x*(-3)``, ``(-3)*x`` (``-3*x`` is -(3*x));
- ``^`` is right-associative and its base is an atom: ``a^b^c`` is a^(b^c),
  ``(-2)^2`` and ``(a^b)^c`` need theirs.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

from .formula import FUNCTIONS, Formula, FormulaLike, Kind
from .printer import Level, Piece, Printer, has_own_sign, number_text, precedence


class Place(NamedTuple):
    """Where an operand stands: how tightly it must bind, and whether a sign may lead it."""

    level: Level
    signed: bool


WHOLE = Place(Level.SUM, True)  # the whole text, or inside parentheses
TERM = Place(Level.PRODUCT, True)  # a term of a sum
HEAD = Place(Level.PRODUCT, False)  # the first factor of a product, or a numerator
FACTOR = Place(Level.POWER, False)  # after * or /, and an exponent
BASE = Place(Level.ATOM, False)  # the base of a power


class PlainTextPrinter(Printer[Place]):
    """Explicit ``*`` and ``^``, functions by name with parenthesised arguments, ``pi``, ``e``."""

    def root_context(self) -> Place:
        return WHOLE

    def operand(self, node: Formula, place: Place) -> list[Piece[Place]]:
        if precedence(node) < place.level or has_own_sign(node) and not place.signed:
            return self.wrapped(node, WHOLE)
        return [(node, place)]

    def _print_Number(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [number_text(node)]

    def _print_Symbol(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [node.name]

    def _print_Pi(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return ["pi"]

    def _print_E(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return ["e"]

    def _print_Neg(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        # Reached only where a sign may stand, at the head of a term: the sign covers the
        # product that follows it.
        return ["-", *self.operand(node.args[0], TERM)]

    def _print_Add(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        first, *rest = node.args
        pieces = self.operand(first, TERM)
        for term in rest:
            if term.kind is Kind.NEG:
                pieces += [" - ", *self.operand(term.args[0], TERM)]
            elif has_own_sign(term):  # a negative number
                pieces += [" - ", number_text(term, magnitude=True)]
            else:
                pieces += [" + ", *self.operand(term, TERM)]
        return pieces

    def _print_Mul(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        first, *rest = node.args
        pieces = self.operand(first, HEAD)
        for factor in rest:
            pieces += ["*", *self.operand(factor, FACTOR)]
        return pieces

    def _print_Div(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        numerator, denominator = node.args
        return [*self.operand(numerator, HEAD), "/", *self.operand(denominator, FACTOR)]

    def _print_Pow(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        base, exponent = node.args
        return [*self.operand(base, BASE), "^", *self.operand(exponent, FACTOR)]

    def _print_function(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [FUNCTIONS[node.kind], "(", (node.args[0], WHOLE), ")"]

    _print_Sqrt = _print_Cbrt = _print_Sin = _print_Cos = _print_Tan = _print_Log = _print_function


def plain_text(f: FormulaLike) -> str:
    """The formula as text that `kalvora.parse` reads back to an equal formula."""
    return PlainTextPrinter().doprint(f)
