"""The public algebra: textbook expand, simplify and factor."""

from __future__ import annotations

from ..errors import MathError
from ..formula import Formula, FormulaLike, as_formula
from ..names import normal_name
from .factoring import factored_formula
from .integers import integer_polynomial
from .order import Builder, formula_of, integral_parts, variable_sum
from .polynomials import Quotient, Reader, Space, variables_of


def _canonical(space: Space, q: Quotient) -> Formula:
    return formula_of(space, q, expanding=False)


def read_quotient(f: FormulaLike) -> tuple[Space, Quotient]:
    """The formula as a rational function over its own Space, roots out of the denominator."""
    formula = as_formula(f)
    space = Space(variables_of(formula))
    reader = Reader(space, _canonical)
    return space, reader.rationalised(reader.read(formula))


def _integer_polynomial(f: FormulaLike) -> Formula | None:
    """The expanded result of a polynomial with integer coefficients in variables alone
    (the everyday input, for which expand and simplify agree), by the fast reader."""
    found = integer_polynomial(as_formula(f))
    return None if found is None else variable_sum(*found)


def _main_variable(space: Space, by: FormulaLike) -> int | None:
    if isinstance(by, Formula):
        name = by.name if by.kind.value == "Symbol" else None
    elif isinstance(by, str):
        try:
            name = normal_name(by)
        except ValueError:
            name = None
    else:
        raise TypeError(f"by には変数名の文字列か変数の Formula を指定してください ({type(by).__name__} ではなく)")
    if name is None:
        raise MathError(f"by には一つの変数を指定してください: {by}")
    return space.variables.index(name) if name in space.variables else None


def expand(f: FormulaLike, by: FormulaLike | None = None) -> Formula:
    """展開して同類項をまとめる (係数は正確な有理数)。``by="x"`` で x について降べきの順に整理する。

    >>> import kalvora
    >>> kalvora.latex(kalvora.expand("(x+1)^3"))
    'x^{3} + 3x^{2} + 3x + 1'
    """
    if by is None and (found := _integer_polynomial(f)) is not None:
        return found
    space, q = read_quotient(f)
    main = None if by is None else _main_variable(space, by)
    return formula_of(space, q, expanding=True, by=main)


def simplify(f: FormulaLike) -> Formula:
    """教科書の答えの形にする: 数は計算し、多項式は展開し、分数式は一つの既約分数
    (分子は展開、分母は因数分解) にし、根号・対数・三角関数の値を簡単にする。"""
    if (found := _integer_polynomial(f)) is not None:
        return found
    space, q = read_quotient(f)
    return formula_of(space, q, expanding=False)


def factor(f: FormulaLike) -> Formula:
    """有理数の範囲で因数分解する (共通因数が先、次に次数の高い因数から)。"""
    space, q = read_quotient(f)
    builder = Builder(space)
    if q.is_polynomial():
        return factored_formula(builder, q.num)
    num, den = integral_parts(q)
    from ..formula import div

    return div(factored_formula(builder, num), factored_formula(builder, den))
