"""What every printer of formulas shares: the iterative emitting walk and the precedence table.

A printer has one method per kind of node, ``_print_Add``, ``_print_Pow``... (named after
`Kind`'s values). A method does not return its text: it returns the node's pieces in
order, each either a string or a task ``(operand, context)`` that the walk prints in its
turn, the context telling the operand where it stands. The walk keeps the pending pieces
on one explicit stack and appends finished strings to one list, joined once at the end:
no recursion, and time proportional to the length of the output however deep the tree.
"""

from __future__ import annotations

import enum
from collections.abc import Callable, Sequence
from typing import Generic, TypeVar, Union

from .formula import Formula, FormulaLike, Kind, as_formula

C = TypeVar("C")
Task = tuple[Formula, C]
Piece = Union[str, Task[C]]


class Level(enum.IntEnum):
    """How tightly a node's text holds together; a child binding more loosely than its
    place requires is put in parentheses."""

    SUM = 1
    PRODUCT = 2
    POWER = 3
    ATOM = 4


PRECEDENCE: dict[Kind, Level] = {Kind.ADD: Level.SUM, Kind.MUL: Level.PRODUCT, Kind.DIV: Level.PRODUCT,
                                 Kind.POW: Level.POWER}
"""Every kind not listed (leaves, functions, and Neg, whose place is decided by its sign) is an atom."""


def precedence(node: Formula) -> Level:
    return PRECEDENCE.get(node.kind, Level.ATOM)


def negative_number(node: Formula) -> bool:
    """Whether the node is a number written with a minus sign (``-0.0`` is one)."""
    return node.kind is Kind.NUMBER and (node.value < 0 or (node.spelling or "").startswith("-"))


def has_own_sign(node: Formula) -> bool:
    """Whether the node's text starts with its own minus sign: a negation or a negative number."""
    return node.kind is Kind.NEG or negative_number(node)


_CHUNK_DIGITS = 4000
_CHUNK = 10**_CHUNK_DIGITS


def decimal_digits(value: int) -> str:
    """An integer in decimal, of any length (``str`` refuses more than 4,300 digits by default)."""
    if value.bit_length() < 13_000:  # below 10**3900, well inside that limit
        return str(value)
    magnitude, chunks = abs(value), []
    while magnitude:
        magnitude, chunk = divmod(magnitude, _CHUNK)
        chunks.append(chunk)
    head = str(chunks.pop())
    return ("-" if value < 0 else "") + head + "".join(f"{chunk:0{_CHUNK_DIGITS}d}" for chunk in reversed(chunks))


def number_text(node: Formula, magnitude: bool = False) -> str:
    """A number as typed (a decimal keeps its spelling); without its minus sign if asked."""
    text = node.spelling
    if text is None:
        value = node.value
        assert isinstance(value, int), "a non-integer number is always a typed decimal"
        text = decimal_digits(value)
    return text.removeprefix("-") if magnitude else text


class Printer(Generic[C]):
    """The walk. Subclasses define ``_print_<Kind value>`` methods, the context of the
    root (`root_context`) and the parentheses (`opening`, `closing`)."""

    opening = "("
    closing = ")"

    def __init__(self) -> None:
        self._methods: dict[Kind, Callable[[Formula, C], Sequence[Piece[C]]]] = {
            kind: getattr(self, f"_print_{kind.value}") for kind in Kind
        }

    def root_context(self) -> C:
        raise NotImplementedError

    def doprint(self, formula: FormulaLike) -> str:
        root = as_formula(formula)
        self.start()
        out: list[str] = []
        pending: list[Piece[C]] = [(root, self.root_context())]
        methods = self._methods
        while pending:
            piece = pending.pop()
            if isinstance(piece, str):
                out.append(piece)
            else:
                node, context = piece
                pending.extend(reversed(methods[node.kind](node, context)))
        return self.finish(out)

    def start(self) -> None:
        """Called before each formula, to reset what a printer remembers about one tree."""

    def finish(self, pieces: list[str]) -> str:
        """The text of the printed pieces, in order."""
        return "".join(pieces)

    def wrapped(self, node: Formula, context: C) -> list[Piece[C]]:
        return [self.opening, (node, context), self.closing]
