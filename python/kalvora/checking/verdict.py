"""Checking a student's answer against the expected one: is it equal, and written in the
asked form?

Equality is decided exactly when the algebra can: simplify(answer - expected) is 0, or it
is a nonzero rational function of variables, π, e and roots of numbers, which are treated
as independent, so it is not 0 anywhere but at isolated points. When function
applications are left (sin² x + cos² x - 1), both formulas are evaluated at random points
to far more than 50 digits, and the result says so (``method == "numeric"``); values that
cannot be told apart that way are not called equal.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from fractions import Fraction
from typing import Literal

from ..algebra import simplify
from ..errors import MathError, ParseError
from ..formula import Formula, FormulaLike, Kind, add, as_formula, symbol
from ..parse import parse
from . import values
from .forms import ALGEBRA_FAILURES, FORMS, any_node, has_infinity, in_form
from .normal import Forms

Method = Literal["exact", "numeric", "none"]

CORRECT = "正解です"
# What an answer of the right value lacks, by form: "値は正しいですが、…".
_FORM_FAULTS = {
    "expanded": "展開されていません",
    "factored": "因数分解されていません",
    "simplified": "最も簡単な形になっていません",
    "rationalised": "分母が有理化されていません",
    "exact": "小数を使わない正確な値になっていません",
}
_UNDECIDED = "判定できません (数値計算では等しいかどうか見分けられませんでした)"


@dataclass(frozen=True)
class CheckResult:
    """The verdict on one answer. ``correct``: equal to the expected formula; ``form_ok``:
    written in the asked form (always True when no form was asked); ``message``: feedback
    for the student; ``method``: how equality was decided ("exact", "numeric" at random
    points, or "none" when the answer could not be read)."""

    correct: bool
    form_ok: bool
    message: str
    method: Method

    @property
    def ok(self) -> bool:
        """Correct and in the asked form."""
        return self.correct and self.form_ok


@dataclass(frozen=True)
class _Comparison:
    equal: bool | None  # None: numbers could not decide
    method: Method
    difference: str = ""  # where a wrong answer differs, for the message


def check(answer: FormulaLike, expected: FormulaLike, form: str | None = None) -> CheckResult:
    """生徒の答え ``answer`` が正しい答え ``expected`` と等しいか、``form`` の形で書かれているかを判定する。

    form は None (形を問わない)、"expanded"、"factored"、"simplified"、"rationalised"、
    "exact" のどれか。答えの文字列は kalvora.parse と同じく読み (x²+2x+1、（x＋1）^2)、
    読めない答えは例外ではなく correct=False と parse の誤りのメッセージになる。
    "y = …" のように左辺が変数一つの等式は右辺を答えとし、積分定数の項 "+ C" は両方から除く。
    正しい答えの誤りは ParseError や MathError として送出する。

    >>> import kalvora
    >>> kalvora.check("(x+1)(x+1)", "x^2+2x+1", form="factored").message
    '正解です'
    >>> kalvora.check("x^2+1", "(x+1)^2").message
    '不正解です (x = 1 のとき 2 ですが、正しくは 4 です)'
    """
    if form is not None and form not in FORMS:
        raise ValueError(f"form は {', '.join(FORMS)} のどれかか None です ({form!r} ではなく)")
    right = _without_constant(_read(expected))
    try:
        given = _without_constant(_read(answer))
    except ParseError as error:
        return CheckResult(False, False, f"式として読めません: {error}", "none")
    try:
        comparison = _compare(given, right)
    except _Uncomputable as error:
        return CheckResult(False, False, f"答えの式を計算できません: {error}", "none")
    form_ok = form is None or in_form(given, form)
    return CheckResult(bool(comparison.equal), form_ok, _message(comparison, form, form_ok), comparison.method)


def _message(comparison: _Comparison, form: str | None, form_ok: bool) -> str:
    if comparison.equal is None:
        return _UNDECIDED
    if not comparison.equal:
        return f"不正解です ({comparison.difference})" if comparison.difference else "不正解です"
    if form is not None and not form_ok:
        return f"値は正しいですが、{_FORM_FAULTS[form]}"
    return CORRECT


# --- reading answers ------------------------------------------------------------------

_EQUALS = re.compile("[=＝]")
_PRIMES = "'′″ \t"


def _read(source: FormulaLike) -> Formula:
    """The formula of an answer; text "y = f" is read as f when y is a lone variable
    (y' = f too), since students write what they were asked for as an equation."""
    if not isinstance(source, str):
        return as_formula(source)
    signs = [match.start() for match in _EQUALS.finditer(source)]
    if not signs:
        return parse(source)
    if len(signs) > 1:
        raise ParseError(source, signs[1], "= は一つだけにしてください")
    left = source[:signs[0]].rstrip(_PRIMES)
    try:
        named = parse(left).kind is Kind.SYMBOL
    except ParseError:
        named = False
    if not named:
        raise ParseError(source, signs[0], "= の左辺は y のような変数一つにしてください (式だけで答えても構いません)")
    try:
        return parse(source[signs[0] + 1:])
    except ParseError as error:
        raise ParseError(source, signs[0] + 1 + error.position, error.reason) from None


_CONSTANT = symbol("C")


def _without_constant(formula: Formula) -> Formula:
    """f + C as f: the constant of integration, a term C where C stands nowhere else."""
    if formula.kind is not Kind.ADD:
        return formula
    terms = formula.args
    rest = [term for term in terms if term != _CONSTANT]
    if len(rest) != len(terms) - 1:
        return formula
    remaining = rest[0] if len(rest) == 1 else add(*rest)
    return formula if _CONSTANT in remaining.free_symbols else remaining


# --- deciding equality ----------------------------------------------------------------


def _compare(answer: Formula, expected: Formula) -> _Comparison:
    if has_infinity(answer) or has_infinity(expected):  # the algebra does not compute with ∞
        forms = Forms()
        if forms.of(answer) == forms.of(expected):
            return _Comparison(True, "exact")
        return _Comparison(False, "exact", _difference_text({}, str(answer), str(expected)))
    try:
        difference: Formula | None = simplify(answer - expected)
    except ALGEBRA_FAILURES:
        _check_computable(answer, expected)
        difference = None  # readable apart, too large together: numbers decide
    names = sorted(node.name for node in (answer - expected).free_symbols)
    if difference is not None and difference == Formula(0):
        return _Comparison(True, "exact")
    if difference is not None and _exact_terms_only(difference):
        return _Comparison(False, "exact", _where_different(answer, expected, names))
    return _numeric(answer, expected, names)


def _check_computable(answer: Formula, expected: Formula) -> None:
    """Raises the MathError of an expected formula the algebra cannot compute (1/0), and
    _Uncomputable for such an answer."""
    simplify(expected)
    try:
        simplify(answer)
    except ALGEBRA_FAILURES as error:
        raise _Uncomputable(str(error) if isinstance(error, MathError) else "数が大きすぎます") from None


class _Uncomputable(Exception):
    """The algebra cannot compute the answer: it has no value (1/0), or is too large."""


def _exact_terms_only(formula: Formula) -> bool:
    """Whether a simplified formula is a rational function of variables, π, e and roots of
    numbers only: such a formula is 0 only when it is 0 as a rational function."""
    return not any_node(formula, _beyond_rational)


def _beyond_rational(node: Formula) -> bool:
    kind = node.kind
    if kind in (Kind.SQRT, Kind.CBRT):
        return node.args[0].kind is not Kind.NUMBER
    if kind is Kind.POW:
        exponent = node.args[1]
        return exponent.kind is not Kind.NUMBER or Fraction(exponent.value).denominator != 1
    return kind not in _RATIONAL_KINDS


_RATIONAL_KINDS = frozenset({Kind.NUMBER, Kind.SYMBOL, Kind.PI, Kind.E, Kind.NEG, Kind.ADD, Kind.MUL, Kind.DIV})


# Random points tried, and how many must agree before two formulas count as equal.
_MOST_POINTS = 60
_AGREEING_POINTS = 8
_FEWEST_AGREEING = 4


def _numeric(answer: Formula, expected: Formula, names: list[str]) -> _Comparison:
    points = list(values.random_points(names, _MOST_POINTS)) if names else [{}]
    agreeing = 0
    for point in points:
        digits = values.digits_for((answer, expected), point)
        if digits is None:
            continue
        a, b = values.evaluate(answer, point, digits), values.evaluate(expected, point, digits)
        if a is None or b is None:
            continue
        if not values.agree(a, b, digits):
            where = _where_different(answer, expected, names)
            return _Comparison(False, "numeric", where or _difference_text(point, *values.shown_apart(a, b)))
        agreeing += 1
        if agreeing == _AGREEING_POINTS:
            break
    if agreeing >= min(_FEWEST_AGREEING, len(points)):
        return _Comparison(True, "numeric")
    return _Comparison(None, "numeric")


# --- where two formulas differ --------------------------------------------------------


def _difference_text(point: dict[str, Fraction], given: str, right: str) -> str:
    if not point:
        return f"値は {given} ですが、正しくは {right} です"
    where = ", ".join(f"{name} = {value}" for name, value in point.items())
    return f"{where} のとき {given} ですが、正しくは {right} です"


def _where_different(answer: Formula, expected: Formula, names: list[str]) -> str:
    """A message part showing the first simple point where the two differ, with exact
    values when they have short ones; "" when no simple point shows it."""
    for point in values.nice_points(names) if names else [{}]:
        digits = values.digits_for((answer, expected), point)
        if digits is None:
            continue
        given, right = _value_at(answer, point, digits), _value_at(expected, point, digits)
        if given is None or right is None:
            continue
        texts = _texts(given, right) if _differ(given, right, digits) else None
        if texts is not None:
            return _difference_text(point, *texts)
    return ""


_Value = tuple[Formula | None, values.Real]  # (exact value or None, number)
# Exact values longer than this are shown as decimals.
_LONGEST_EXACT = 60


def _value_at(formula: Formula, point: dict[str, Fraction], digits: int) -> _Value | None:
    try:
        substitution: dict[Formula | str, FormulaLike] = {name: value for name, value in point.items()}
        exact = simplify(formula.subs(substitution))
    except ALGEBRA_FAILURES:
        return None
    number = values.evaluate(exact, {}, digits)
    if number is None:
        return None
    return (exact if _exact_terms_only(exact) else None, number)


def _differ(given: _Value, right: _Value, digits: int) -> bool:
    if given[0] is not None and right[0] is not None:
        return simplify(given[0] - right[0]) != Formula(0)
    return not values.agree(given[1], right[1], digits)


def _texts(given: _Value, right: _Value) -> tuple[str, str] | None:
    """The two values as shown: exactly when short (1/2, sqrt(2)/2, 2*pi), else in decimals;
    None when even 50 digits do not tell them apart."""
    decimals = values.shown_apart(given[1], right[1])
    texts = (_text(given[0], decimals[0]), _text(right[0], decimals[1]))
    return texts if texts[0] != texts[1] else None


def _text(exact: Formula | None, decimal: str) -> str:
    text = None if exact is None else str(exact)
    return text if text is not None and len(text) <= _LONGEST_EXACT else decimal
