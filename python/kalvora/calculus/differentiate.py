"""Derivatives: ``kalvora.diff``.

The rules build an unsimplified derivative in one pass from the leaves up (so nesting has
no limit); the textbook algebra then writes it in textbook form. A subtree that does not
contain the variable has no derivative at all (None), which keeps the raw result small and
tells the power rule which of base and exponent vary.
"""

from __future__ import annotations

from fractions import Fraction
from collections.abc import Callable
from typing import Optional

from ..algebra import simplify
from ..errors import MathError
from ..formula import (E, Formula, FormulaLike, Kind, add, apply, as_formula, div, fold, mul, neg, number,
                       power, rational, subtract)
from ..names import normal_name

Derivative = Optional[Formula]  # None: the subtree does not contain the variable
Rule = Callable[[tuple[Formula, ...], list[Derivative]], Formula]

ONE = number(1)


def variable_name(x: FormulaLike) -> str:
    """The name of the variable of a calculus function: a symbol Formula or its name."""
    if isinstance(x, Formula):
        if x.kind is not Kind.SYMBOL:
            raise MathError(f"変数を一つ指定してください: {x}")
        return x.name
    if isinstance(x, str):
        try:
            return normal_name(x.strip())
        except ValueError:
            raise MathError(f"変数を一つ指定してください: {x}") from None
    raise TypeError(f"変数には変数名の文字列か変数の Formula を指定してください ({type(x).__name__} ではなく)")


def diff(f: FormulaLike, x: FormulaLike, n: int = 1) -> Formula:
    """f を x で n 回微分した導関数を、教科書の形に整えて返す。

    >>> import kalvora
    >>> kalvora.latex(kalvora.diff("x^3 - 3x", "x"))
    '3x^{2} - 3'
    >>> kalvora.latex(kalvora.diff("sin(2x)", "x", 2))
    '-4\\\\sin 2x'
    """
    formula = as_formula(f)
    name = variable_name(x)
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"微分の回数は整数で指定してください ({type(n).__name__} ではなく)")
    if n < 0:
        raise MathError(f"微分の回数は 0 以上の整数です: {n}")
    result = formula
    for _ in range(n):
        result = simplify(derivative(result, name))
    return simplify(result) if n == 0 else result


def derivative(formula: Formula, name: str) -> Formula:
    """The derivative of a formula by the variable `name`, not yet simplified."""

    def rule(node: Formula, derivatives: list[Derivative]) -> Derivative:
        if node.kind is Kind.SYMBOL:
            return ONE if node.name == name else None
        if not node.args or all(d is None for d in derivatives):
            return None
        return _RULES[node.kind](node.args, derivatives)

    found = fold(formula, rule)
    return number(0) if found is None else found


# --- the rules: each gets the operands and their derivatives (not all None) -------------


def _times(f: Formula, d: Formula) -> Formula:
    """f·d, the chain rule's inner derivative, left out when it is 1."""
    return f if d is ONE else mul(f, d)


def _sum(args: tuple[Formula, ...], ds: list[Derivative]) -> Formula:
    terms = [d for d in ds if d is not None]
    return terms[0] if len(terms) == 1 else add(*terms)


def _negation(args: tuple[Formula, ...], ds: list[Derivative]) -> Formula:
    assert ds[0] is not None
    return neg(ds[0])


def _product(args: tuple[Formula, ...], ds: list[Derivative]) -> Formula:
    """(fg...)' = f'g... + fg'... + ..."""
    terms = []
    for i, d in enumerate(ds):
        if d is not None:
            others = args[:i] + args[i + 1:]
            terms.append(d if not others else mul(*others, d) if d is not ONE else _product_of(others))
    return terms[0] if len(terms) == 1 else add(*terms)


def _product_of(factors: tuple[Formula, ...]) -> Formula:
    return factors[0] if len(factors) == 1 else mul(*factors)


def _quotient(args: tuple[Formula, ...], ds: list[Derivative]) -> Formula:
    """(f/g)' = (f'g - fg')/g²."""
    (f, g), (df, dg) = args, ds
    if dg is None:
        assert df is not None
        return div(df, g)
    numerator = neg(_times(f, dg)) if df is None else subtract(mul(df, g), _times(f, dg))
    return div(numerator, power(g, number(2)))


def _power(args: tuple[Formula, ...], ds: list[Derivative]) -> Formula:
    """(u^c)' = c·u^{c-1}·u', (a^v)' = a^v·log a·v', and u^v through the logarithm:
    (u^v)' = u^v·(v'·log u + v·u'/u)."""
    (base, exponent), (du, dv) = args, ds
    if dv is None:
        assert du is not None
        return _times(mul(exponent, power(base, _less_one(exponent))), du)
    whole = power(base, exponent)
    if du is None:
        return _times(whole, dv) if base.kind is Kind.E else _times(mul(whole, apply(Kind.LOG, base)), dv)
    return mul(whole, add(_times(apply(Kind.LOG, base), dv), div(_times(exponent, du), base)))


def _less_one(exponent: Formula) -> Formula:
    """exponent - 1, computed when the exponent is a rational number."""
    value = written_rational(exponent)
    return subtract(exponent, ONE) if value is None else rational(value - 1)


def written_rational(f: Formula) -> Fraction | None:
    """The value of a rational number written as n, p/q or their negations; else None."""
    sign = 1
    while f.kind is Kind.NEG:  # a loop: a chain of minus signs may be deep
        sign, f = -sign, f.args[0]
    if f.kind is Kind.NUMBER:
        return sign * Fraction(f.value)
    if f.kind is Kind.DIV and all(arg.kind is Kind.NUMBER for arg in f.args) and f.args[1].value != 0:
        return sign * Fraction(f.args[0].value) / Fraction(f.args[1].value)
    return None


# The derivative of each function at its operand u; the chain rule multiplies by u'.
_OUTER: dict[Kind, Callable[[Formula], Formula]] = {
    Kind.SQRT: lambda u: div(ONE, mul(number(2), apply(Kind.SQRT, u))),
    Kind.CBRT: lambda u: div(ONE, mul(number(3), power(apply(Kind.CBRT, u), number(2)))),
    Kind.SIN: lambda u: apply(Kind.COS, u),
    Kind.COS: lambda u: neg(apply(Kind.SIN, u)),
    Kind.TAN: lambda u: div(ONE, power(apply(Kind.COS, u), number(2))),  # 1/cos²u, as 数Ⅲ writes it
    Kind.LOG: lambda u: div(ONE, u),
    Kind.ABS: lambda u: div(u, apply(Kind.ABS, u)),  # the sign of u
}


def _function(kind: Kind) -> Rule:
    outer = _OUTER[kind]

    def chain(args: tuple[Formula, ...], ds: list[Derivative]) -> Formula:
        (u,), (du,) = args, ds
        assert du is not None
        return _times(outer(u), du)

    return chain


_RULES: dict[Kind, Rule] = {
    Kind.NEG: _negation,
    Kind.ADD: _sum,
    Kind.MUL: _product,
    Kind.DIV: _quotient,
    Kind.POW: _power,
    **{kind: _function(kind) for kind in _OUTER},
}
