"""式の表示: LaTeX テキスト、構造の表示 (tree)、Jupyter での表示 (show)。"""

from __future__ import annotations

from dataclasses import dataclass

import _kalvora_core as core
from _kalvora_core import Expr

from ._parser import parse

# The accessors of each node class, in constructor order.
_FIELDS: dict[type[Expr], tuple[str, ...]] = {
    core.Int: ("value",),
    core.Var: ("name",),
    core.Rational: ("num", "den"),
    core.Neg: ("operand",),
    core.Add: ("left", "right"),
    core.Mul: ("left", "right"),
    core.Div: ("num", "den"),
    core.Pow: ("base", "exp"),
    core.Sqrt: ("operand",),
    core.Pi: (),
    core.E: (),
    core.Cbrt: ("operand",),
    core.Sin: ("operand",),
    core.Cos: ("operand",),
    core.Tan: ("operand",),
    core.Log: ("operand",),
}
# Per class: the text that opens its call, and its accessors in reverse (stack) order.
_LAYOUT = {
    cls: (f"{cls.__name__}(", tuple(getattr(cls, field) for field in reversed(fields)))
    for cls, fields in _FIELDS.items()
}


def _as_expr(expr: Expr | str) -> Expr:
    return parse(expr) if isinstance(expr, str) else expr


def latex(expr: Expr | str) -> str:
    """式 (またはその数式テキスト) の LaTeX テキストを返す。"""
    return _as_expr(expr).to_string()


def tree(expr: Expr | str) -> str:
    """式の構造を ``Add(Var('x'), Int(1))`` の形で返す。

    結果は kalvora の名前の下で評価すると同じ木を作る Python の式である。
    どれほど深い木でも再帰を使わずに辿る。
    """
    out: list[str] = []
    # Pending work, popped from the end: a node still to write, or text to copy.
    stack: list[Expr | str] = [_as_expr(expr)]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        try:
            opening, accessors = _LAYOUT[type(item)]
        except KeyError:
            raise TypeError(f"kalvora の式ではありません: {type(item).__name__}") from None
        out.append(opening)
        stack.append(")")
        for i, accessor in enumerate(accessors):
            if i:
                stack.append(", ")
            value = accessor(item)
            stack.append(value if isinstance(value, Expr) else repr(value))
    return "".join(out)


@dataclass(frozen=True)
class Formula:
    """LaTeX テキストを持ち、Jupyter では数式として表示されるオブジェクト。"""

    latex: str

    def _repr_latex_(self) -> str:
        return f"$\\displaystyle {self.latex}$"

    def __str__(self) -> str:
        return self.latex


def show(expr: Expr | str) -> Formula:
    """Jupyter のセルの最後に置くと式を数式として表示する。"""
    return Formula(latex(expr))
