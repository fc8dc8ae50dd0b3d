"""The way to and from the specified engine ``_kalvora_core``, whose integers are 32-bit."""

from __future__ import annotations

from collections.abc import Callable
from typing import TypeGuard, cast
from fractions import Fraction

import _kalvora_core as core

from .errors import MathError
from .formula import FUNCTIONS, Formula, FormulaLike, Kind, add, apply, as_formula, div, fold, mul, neg, number, power, rational, symbol
from .formula import E as E_FORMULA
from .formula import PI as PI_FORMULA
from .names import latex_name

_INT32 = range(-(2**31), 2**31)

_CORE_FUNCTIONS: dict[Kind, Callable[[core.Expr], core.Expr]] = {
    Kind.NEG: core.Neg,
    Kind.SQRT: core.Sqrt,
    Kind.CBRT: core.Cbrt,
    Kind.SIN: core.Sin,
    Kind.COS: core.Cos,
    Kind.TAN: core.Tan,
    Kind.LOG: core.Log,
}
_CORE_BINARY: dict[Kind, Callable[[core.Expr, core.Expr], core.Expr]] = {
    Kind.ADD: core.Add,
    Kind.MUL: core.Mul,
    Kind.DIV: core.Div,
    Kind.POW: core.Pow,
}


def is_core_tree(value: object) -> TypeGuard[core.Expr]:
    return isinstance(value, core.Expr)


def _core_int(value: int) -> int:
    if value not in _INT32:
        raise MathError(f"数 {value} は32ビット整数の範囲に収まらないので、コアの式にできません")
    return value


def _core_number(value: int | Fraction) -> core.Expr:
    if isinstance(value, int):
        return core.Int(_core_int(value))
    return core.Rational(_core_int(value.numerator), _core_int(value.denominator))


def _to_core_node(node: Formula, operands: list[core.Expr]) -> core.Expr:
    kind = node.kind
    if kind is Kind.NUMBER:
        return _core_number(node.value)
    if kind is Kind.SYMBOL:
        return core.Var(latex_name(node.name))
    if kind is Kind.PI:
        return core.Pi()
    if kind is Kind.E:
        return core.E()
    if kind in _CORE_FUNCTIONS:
        return _CORE_FUNCTIONS[kind](operands[0])
    if kind not in _CORE_BINARY:  # |x| and ∞ have no node in the core
        raise MathError(f"{node} はコアの式にできません")
    build = _CORE_BINARY[kind]
    result = operands[0]
    for operand in operands[1:]:  # a chain a + b + c is the left-nested sum of the core
        result = build(result, operand)
    return result


def to_core(formula: Formula) -> core.Expr:
    """The ``_kalvora_core`` tree of a formula; MathError when a number does not fit in 32 bits."""
    return fold(formula, _to_core_node)


def _applying(kind: Kind) -> Callable[[list[Formula]], Formula]:
    return lambda operands: apply(kind, operands[0])


# The core classes with the formula each builds from its operands.
_FROM_CORE: list[tuple[type[core.Expr], Callable[[list[Formula]], Formula]]] = [
    (core.Neg, lambda operands: neg(operands[0])),
    (core.Add, lambda operands: add(*operands)),
    (core.Mul, lambda operands: mul(*operands)),
    (core.Div, lambda operands: div(*operands)),
    (core.Pow, lambda operands: power(*operands)),
    *((cast(type[core.Expr], cls), _applying(kind)) for kind, cls in _CORE_FUNCTIONS.items() if kind in FUNCTIONS),
]


def _core_operands(tree: core.Expr) -> list[core.Expr]:
    if isinstance(tree, (core.Add, core.Mul)):
        return [tree.left(), tree.right()]
    if isinstance(tree, core.Div):
        return [tree.num(), tree.den()]
    if isinstance(tree, core.Pow):
        return [tree.base(), tree.exp()]
    if isinstance(tree, (core.Neg, core.Sqrt, core.Cbrt, core.Sin, core.Cos, core.Tan, core.Log)):
        return [tree.operand()]
    return []


def _core_leaf(tree: core.Expr) -> Formula:
    if isinstance(tree, core.Int):
        return number(tree.value())
    if isinstance(tree, core.Rational):
        return rational(Fraction(tree.num(), tree.den()))
    if isinstance(tree, core.Var):
        return symbol(tree.name())
    if isinstance(tree, core.Pi):
        return PI_FORMULA
    if isinstance(tree, core.E):
        return E_FORMULA
    raise TypeError(f"_kalvora_core の式の木ではありません: {type(tree).__name__}")


def _core_node(tree: core.Expr, operands: list[Formula]) -> Formula:
    if not operands:
        return _core_leaf(tree)
    return next(build for cls, build in _FROM_CORE if isinstance(tree, cls))(operands)


def from_core(tree: core.Expr) -> Formula:
    """The formula of a ``_kalvora_core`` tree, read without recursion."""
    if not is_core_tree(tree):
        raise TypeError(f"_kalvora_core の式の木が必要です ({type(tree).__name__} ではなく)")
    results: list[Formula] = []
    # (tree, its operands once read): a tree is combined when its operands are done.
    stack: list[tuple[core.Expr, list[core.Expr] | None]] = [(tree, None)]
    while stack:
        node, operands = stack.pop()
        if operands is None:
            operands = _core_operands(node)
            stack.append((node, operands))
            stack.extend((operand, None) for operand in reversed(operands))
            continue
        first = len(results) - len(operands)
        combined = _core_node(node, results[first:])
        del results[first:]
        results.append(combined)
    return results[0]


def _through_core(engine: Callable[[core.Expr], core.Expr], formula: Formula) -> Formula:
    tree = to_core(formula)
    try:
        result = engine(tree)
    except ValueError as error:  # the engine's own errors, such as a division by zero
        raise MathError(str(error)) from None
    return from_core(result)


def core_expand(formula: FormulaLike) -> Formula:
    """仕様どおりのエンジン ``_kalvora_core.expand`` で展開する (整数は 32 ビットで巡回する)。"""
    return _through_core(core.expand, as_formula(formula))


def core_simplify(formula: FormulaLike) -> Formula:
    """仕様どおりのエンジン ``_kalvora_core.simplify`` で簡略化する。"""
    return _through_core(core.simplify, as_formula(formula))


def core_latex(formula: Formula, engine: Callable[[core.Expr], core.Expr] | None = None) -> str:
    """The engine's own LaTeX text of the formula, after ``engine`` (core.expand or
    core.simplify) when one is given: byte for byte what ``_kalvora_core`` prints."""
    tree = to_core(formula)
    try:
        return (engine(tree) if engine else tree).to_string()
    except ValueError as error:
        raise MathError(str(error)) from None
