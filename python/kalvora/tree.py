"""The structure of a formula as text: ``kalvora.tree``."""

from __future__ import annotations

from collections.abc import Sequence
from fractions import Fraction

from .formula import Formula, FormulaLike
from .printer import Piece, Printer, decimal_digits


class TreePrinter(Printer[None]):
    """Each node as its kind with its operands: ``Add(Symbol('x'), Number(1))``."""

    def root_context(self) -> None:
        return None

    def _print_Number(self, node: Formula, context: None) -> Sequence[Piece[None]]:
        value = node.value
        if isinstance(value, Fraction):
            text = f"Fraction({decimal_digits(value.numerator)}, {decimal_digits(value.denominator)})"
        else:
            text = decimal_digits(value)
        spelling = "" if node.spelling is None else f", {node.spelling!r}"
        return [f"Number({text}{spelling})"]

    def _print_Symbol(self, node: Formula, context: None) -> Sequence[Piece[None]]:
        return [f"Symbol({node.name!r})"]

    def _print_node(self, node: Formula, context: None) -> Sequence[Piece[None]]:
        pieces: list[Piece[None]] = [f"{node.kind.value}("]
        for i, operand in enumerate(node.args):
            pieces += [", ", (operand, None)] if i else [(operand, None)]
        return [*pieces, ")"]

    _print_Pi = _print_E = _print_Infinity = _print_Abs = _print_Neg = _print_Add = _print_Mul = _print_Div = _print_Pow = _print_node
    _print_Sqrt = _print_Cbrt = _print_Sin = _print_Cos = _print_Tan = _print_Log = _print_node


def tree(f: FormulaLike) -> str:
    """式の構造を文字列で示す: ``tree("x+1")`` は ``"Add(Symbol('x'), Number(1))"``。"""
    return TreePrinter().doprint(f)
