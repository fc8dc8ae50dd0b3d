"""kalvora.check: equality decided exactly or at random points, the five forms, the
messages students see, and `kalvora check` on the command line."""

from __future__ import annotations

import os
import subprocess
import sys
from fractions import Fraction
from pathlib import Path
from typing import Any

import pytest
import sympy
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import kalvora
from kalvora import check
from kalvora.formula import Formula, add, div, mul, number, power, rational, symbol
from kalvora.functions import cos, sin, sqrt

from formula_strategies import unlimited_int_text

# (answer, expected, method): equal values written differently.
EQUAL = [
    ("x²+2x+1", "(x+1)^2", "exact"),
    ("(x+1)(x+1)", "x^2+2x+1", "exact"),
    ("（x＋1）^2", "x^2+2x+1", "exact"),
    ("1 - x", "-x + 1", "exact"),
    ("x/2", "(1/2)x", "exact"),
    ("(x^2-1)/(x-1)", "x+1", "exact"),
    ("1/x + 1/(x+1)", "(2x+1)/(x(x+1))", "exact"),
    ("sqrt(2) - 1", "1/(1+sqrt(2))", "exact"),
    ("sqrt(8)", "2sqrt(2)", "exact"),
    ("sin(pi/6)", "1/2", "exact"),
    ("cos(pi/4)", "1/sqrt(2)", "exact"),
    ("0.5", "1/2", "exact"),
    ("e^(2 log x)", "x^2", "exact"),
    ("sin(x)^2 + cos(x)^2", "1", "numeric"),
    ("sin(2x)", "2 sin x cos x", "numeric"),
    ("log(x y)", "log x + log y", "numeric"),
    ("e^(x+1)", "e e^x", "numeric"),
    ("tan x", "sin x / cos x", "numeric"),
    ("y = 2x + 1", "2x + 1", "exact"),
    ("y' = 3x^2", "3x^2", "exact"),
    ("x^3/3 + C", "x^3/3", "exact"),
    ("-oo", "-∞", "exact"),
    ("sqrt(x^2)", "abs(x)", "numeric"),
    ("log(x^2)", "2 log(abs(x))", "numeric"),
]


@pytest.mark.parametrize(("answer", "expected", "method"), EQUAL)
def test_equal_values_are_correct(answer: str, expected: str, method: str) -> None:
    result = check(answer, expected)
    assert (result.correct, result.form_ok, result.message, result.method) == (True, True, "正解です", method)


# (answer, expected, message): wrong answers, explained at the simplest point that shows it.
WRONG = [
    ("x^2+1", "(x+1)^2", "不正解です (x = 1 のとき 2 ですが、正しくは 4 です)"),
    ("1/x", "x", "不正解です (x = 2 のとき 1/2 ですが、正しくは 2 です)"),
    ("x + y", "x - y", "不正解です (x = 1, y = 1 のとき 2 ですが、正しくは 0 です)"),
    ("3", "4", "不正解です (値は 3 ですが、正しくは 4 です)"),
    ("sqrt(2)/2", "sqrt(3)/2", "不正解です (値は sqrt(2)/2 ですが、正しくは sqrt(3)/2 です)"),
    ("pi", "355/113", "不正解です (値は pi ですが、正しくは 355/113 です)"),
    ("sin x", "cos x", "不正解です (x = 1 のとき 約 0.841471 ですが、正しくは 約 0.540302 です)"),
    ("sin(x) + 1", "sin(x)", "不正解です (x = 1 のとき 約 1.84147 ですが、正しくは 約 0.841471 です)"),
    ("oo", "3", "不正解です (値は oo ですが、正しくは 3 です)"),
    ("-oo", "oo", "不正解です (値は -oo ですが、正しくは oo です)"),
    ("abs(x)", "x", "不正解です (x = -1 のとき 1 ですが、正しくは -1 です)"),  # equal for x > 0 only
    ("x^2/2 + C", "x^2/2 + 1", "不正解です (x = 1 のとき 1/2 ですが、正しくは 3/2 です)"),
    ("sin(x)", "sin(x) + 10^(-20)",
     "不正解です (x = 1 のとき 約 0.84147098480789650665 ですが、正しくは 約 0.84147098480789650666 です)"),
    ("2^200", "2^200 + 1", "不正解です"),  # 61 digits: too long to show, too close for decimals
]


@pytest.mark.parametrize(("answer", "expected", "message"), WRONG)
def test_wrong_answers_show_where_they_differ(answer: str, expected: str, message: str) -> None:
    result = check(answer, expected)
    assert not result.correct
    assert result.message == message


@pytest.mark.parametrize(("answer", "expected"), [
    ("1 + 10^(-200)", "1"),                         # exactly: a difference far below any rounding
    ("sin(x) + 10^(-200)", "sin(x)"),
    ("sin(x)^2 + cos(x)^2 + 10^(-100)", "1"),       # numerically, at enough digits
    ("sin(x)^2 + cos(x)^2", "1 + 10^(-1000)"),
])
def test_nearly_equal_is_not_equal(answer: str, expected: str) -> None:
    assert not check(answer, expected).correct


@pytest.mark.parametrize(("answer", "expected"), [
    ("sin(x) + e^(-e^(e^3))", "sin(x)"),  # 10^{-229520861}: more digits than are trusted
    ("e^(e^(e^3)) + sin(2x)", "e^(e^(e^3)) + 2 sin x cos x"),
    ("e^(e^(e^(e^3))) + sin(2x)", "e^(e^(e^(e^3))) + 2 sin x cos x"),  # not even computed
    ("sqrt(-x^2 - 1) + sin x", "sqrt(-x^2 - 1) + sin(-x)"),   # undefined at every point
])
def test_what_numbers_cannot_decide_is_not_accepted(answer: str, expected: str) -> None:
    result = check(answer, expected)
    assert (result.correct, result.method) == (False, "numeric")
    assert result.message.startswith("判定できません")


# (answer, expected, form, in form): every form, met and missed.
FORMS = [
    ("x^2 + 2x + 1", "(x+1)^2", "expanded", True),
    ("x^2 - 2x·3 + 1", "x^2 - 6x + 1", "expanded", True),
    ("(x+1)/(x-1)", "(x+1)/(x-1)", "expanded", True),
    ("(x+1)^2", "x^2+2x+1", "expanded", False),
    ("x(x+2) + 1", "x^2+2x+1", "expanded", False),
    ("x^2 + x + x + 1", "x^2+2x+1", "expanded", False),
    ("x^2 + 2x + 1 + 0", "x^2+2x+1", "expanded", False),
    ("2x^2 + 3xy + y^2 + sqrt(2)x + x", "(2x+y)(x+y) + (sqrt(2)+1)x", "expanded", True),
    ("1 - (x - 1)", "2 - x", "expanded", False),
    ("(x+1)/2", "x/2 + 1/2", "expanded", False),
    ("x - (x+1)/(x-1)", "x - (x+1)/(x-1)", "expanded", True),
    ("x + (y + 1)", "x + y + 1", "expanded", False),
    ("(x+1)^2", "x^2+2x+1", "factored", True),
    ("(x+1)(x+1)", "x^2+2x+1", "factored", True),
    ("-(x-1)(x+1)", "1 - x^2", "factored", True),
    ("(1-x)(1+x)", "1 - x^2", "factored", True),
    ("2(x+2)", "2x+4", "factored", True),
    ("x^2 + 1", "x^2+1", "factored", True),
    ("(x+1)/(x-1)", "(x+1)/(x-1)", "factored", True),
    ("e^x (x+1) sin x", "x e^x sin x + e^x sin x", "factored", True),
    ("x^2+2x+1", "(x+1)^2", "factored", False),
    ("(2x+4)(x-1)", "2(x+2)(x-1)", "factored", False),
    ("(x^2-1)(x+2)", "(x+1)(x-1)(x+2)", "factored", False),
    ("(x/2+1)(x+2)", "(x+2)^2/2", "factored", False),
    ("(x+1)(x-1)/(x-1)", "x+1", "factored", False),
    ("-(x+1)/(x-1)", "(x+1)/(1-x)", "factored", True),
    ("-(x+1)(x-1)/(1-x)", "x+1", "factored", False),
    ("(2x+1)/(x(x+1))", "1/x + 1/(x+1)", "simplified", True),
    ("(2x+1)/((x+1)x)", "1/x + 1/(x+1)", "simplified", True),
    ("1 - x", "1 - x", "simplified", True),
    ("sqrt(2)/2", "1/sqrt(2)", "simplified", True),
    ("(1 + sqrt(5))/2", "(1 + sqrt(5))/2", "simplified", True),
    ("1/x + 1/(x+1)", "1/x + 1/(x+1)", "simplified", False),
    ("sqrt(8)", "2sqrt(2)", "simplified", False),
    ("x·x", "x^2", "simplified", False),
    ("x(yz)", "xyz", "simplified", False),
    ("-(x/y)", "-x/y", "simplified", True),
    ("(-x)/y", "-x/y", "simplified", True),
    ("(x^2-1)/(x-1)", "x+1", "simplified", False),
    ("-oo", "-oo", "simplified", True),
    ("sqrt(2) - 1", "1/(1+sqrt(2))", "rationalised", True),
    ("sqrt(2)/2", "1/sqrt(2)", "rationalised", True),
    ("1/sqrt(x)", "1/sqrt(x)", "rationalised", True),
    ("1/(1+sqrt(2))", "sqrt(2) - 1", "rationalised", False),
    ("1/sqrt(2)", "sqrt(2)/2", "rationalised", False),
    ("3^(-1/2)", "sqrt(3)/3", "rationalised", False),
    ("2^(1/2)/2", "sqrt(2)/2", "rationalised", True),
    ("sqrt(1/2)", "sqrt(2)/2", "rationalised", False),
    ("1/2", "0.5", "exact", True),
    ("0.5", "1/2", "exact", False),
    ("0.5x + 1", "x/2 + 1", "exact", False),
]

FAULTS = {
    "expanded": "展開されていません",
    "factored": "因数分解されていません",
    "simplified": "最も簡単な形になっていません",
    "rationalised": "分母が有理化されていません",
    "exact": "小数を使わない正確な値になっていません",
}


@pytest.mark.parametrize(("answer", "expected", "form", "in_form"), FORMS)
def test_forms(answer: str, expected: str, form: str, in_form: bool) -> None:
    result = check(answer, expected, form=form)
    assert result.correct
    assert result.form_ok is in_form
    assert result.ok is in_form
    assert result.message == ("正解です" if in_form else f"値は正しいですが、{FAULTS[form]}")


def test_a_wrong_answer_in_form_is_still_wrong() -> None:
    result = check("(x+1)^2", "(x-1)^2", form="factored")
    assert (result.correct, result.form_ok, result.ok) == (False, True, False)
    assert result.message.startswith("不正解です")


@pytest.mark.parametrize("answer", ["x^2+", "(x+1", "2x = 3x = 4", "x + 1 = 2", "x @ 2", ""])
def test_unreadable_answers_are_wrong_with_the_parsers_message(answer: str) -> None:
    result = check(answer, "x + 1", form="expanded")
    assert (result.correct, result.form_ok, result.method) == (False, False, "none")
    assert result.message.startswith("式として読めません: ")
    assert "^" in result.message  # the parser's pointer to the place


@pytest.mark.parametrize("answer", ["1/0", "x/(x-x)", "sqrt(-1)", "log(0)"])
def test_answers_without_a_value_are_wrong(answer: str) -> None:
    result = check(answer, "1")
    assert (result.correct, result.method) == (False, "none")
    assert result.message.startswith("答えの式を計算できません: ")


def test_answers_beyond_the_algebra_are_wrong_not_errors() -> None:
    with unlimited_int_text():
        huge = f"s^(-{10**4400})"  # an exponent past 64 bits
    result = check(huge, "s")
    assert not result.correct
    assert not check(huge, "s", form="factored").form_ok


def test_mistakes_in_the_expected_answer_and_the_call_raise() -> None:
    with pytest.raises(kalvora.ParseError):
        check("x", "x +")
    with pytest.raises(kalvora.MathError):
        check("x", "1/0")
    with pytest.raises(ValueError, match="form"):
        check("x", "x", form="tidy")
    with pytest.raises(TypeError):
        check(0.5, "1/2")  # type: ignore[arg-type]


def test_formulas_and_numbers_are_accepted_and_the_result_is_frozen() -> None:
    x = kalvora.symbol("x")
    result = check((x + 1) ** 2, x**2 + 2 * x + 1, form="factored")
    assert result.ok
    assert check(3, "6/2").correct
    with pytest.raises(AttributeError):
        result.correct = False  # type: ignore[misc]


# --- the command line ------------------------------------------------------------------


def _run(*args: str) -> subprocess.CompletedProcess[str]:
    # The kalvora under test, in the environment as it is (a sanitizer's preload included).
    package_parent = str(Path(kalvora.__file__).resolve().parents[1])
    return subprocess.run([sys.executable, "-m", "kalvora", "check", *args], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": package_parent}, timeout=120)


@pytest.mark.parametrize(("args", "status", "output"), [
    (("(x+1)^2", "x^2+2x+1", "--form", "factored"), 0, "正解です\n"),
    (("x^2+2x+1", "(x+1)^2", "--form", "factored"), 1, "値は正しいですが、因数分解されていません\n"),
    (("x^2+1", "(x+1)^2"), 1, "不正解です (x = 1 のとき 2 ですが、正しくは 4 です)\n"),
    (("--", "-x", "-1*x"), 0, "正解です\n"),
])
def test_command_line(args: tuple[str, ...], status: int, output: str) -> None:
    done = _run(*args)
    assert (done.returncode, done.stdout) == (status, output)


@pytest.mark.parametrize(("args", "status"), [(("x",), 2), (("x", "x", "--form", "tidy"), 2), (("x", "1/0"), 1)])
def test_command_line_mistakes(args: tuple[str, ...], status: int) -> None:
    done = _run(*args)
    assert done.returncode == status
    assert done.stderr and "Traceback" not in done.stderr


# --- properties, with SymPy as the oracle --------------------------------------------

Pair = tuple[Formula, Any]  # one expression as a Formula and in SymPy
_x, _y = sympy.symbols("x y")


def _leaves() -> st.SearchStrategy[Pair]:
    return st.sampled_from([
        (symbol("x"), _x), (symbol("y"), _y), (number(2), sympy.Integer(2)), (number(-3), sympy.Integer(-3)),
        (rational(Fraction(1, 2)), sympy.Rational(1, 2)), (sqrt(2), sympy.sqrt(2)), (sqrt(3), sympy.sqrt(3)),
        (sin(symbol("x")), sympy.sin(_x)), (cos(symbol("x")), sympy.cos(_x)),
    ])


def _combined(sub: st.SearchStrategy[Pair]) -> st.SearchStrategy[Pair]:
    return st.one_of(
        st.builds(lambda a, b: (add(a[0], b[0]), a[1] + b[1]), sub, sub),
        st.builds(lambda a, b: (mul(a[0], b[0]), a[1] * b[1]), sub, sub),
        st.builds(lambda a, k: (power(a[0], number(k)), a[1] ** k), sub, st.integers(1, 3)),
        st.builds(lambda a, b: (div(a[0], b[0]), a[1] / b[1]), sub, sub),
    )


pairs = st.recursive(_leaves(), _combined, max_leaves=8)


def _defined(f: Formula) -> Formula:
    """simplify(f), rejecting examples the algebra refuses (a division by zero)."""
    try:
        return kalvora.simplify(f)
    except kalvora.MathError:
        assume(False)
        raise


def _from_sympy(expression: Any) -> str:
    return str(expression)  # x**2, sqrt(2), sin(x), 3*x/2: all in the input language


@settings(max_examples=60, deadline=None)
@given(pairs, st.sampled_from(["expand", "factor", "simplify"]))
def test_the_algebras_own_answers_are_correct_and_in_form(pair: Pair, operation: str) -> None:
    f = pair[0]
    _defined(f)
    answer = getattr(kalvora, operation)(f)
    form = {"expand": "expanded", "factor": "factored", "simplify": "simplified"}[operation]
    result = check(answer, f, form=form)
    assert result.ok, (str(answer), str(f), result)


@settings(max_examples=60, deadline=None)
@given(pairs, st.sampled_from([sympy.expand, sympy.factor, sympy.together, sympy.cancel]))
def test_sympys_rewritings_are_correct(pair: Pair, rewrite: Any) -> None:
    f, expression = pair
    _defined(f)
    answer = _from_sympy(rewrite(expression))
    result = check(answer, f)
    assert result.correct, (answer, str(f), result)


def _polynomial_leaves() -> st.SearchStrategy[Pair]:
    return st.sampled_from([
        (symbol("x"), _x), (symbol("y"), _y), (number(2), sympy.Integer(2)), (number(-3), sympy.Integer(-3)),
        (rational(Fraction(1, 2)), sympy.Rational(1, 2)), (sqrt(2), sympy.sqrt(2)),
    ])


@settings(max_examples=60, deadline=None)
@given(st.recursive(_polynomial_leaves(), _combined, max_leaves=8),
       st.sampled_from([(sympy.expand, "expanded"), (sympy.factor, "factored")]))
def test_sympys_expansions_and_factorisations_are_in_form(pair: Pair, rewriting: tuple[Any, str]) -> None:
    f, expression = pair
    _defined(f)
    rewrite, form = rewriting
    answer = _from_sympy(rewrite(expression))
    result = check(answer, f, form=form)
    assert result.ok, (answer, str(f), result)


# Small terms that make any formula different.
OFFSETS = ["1", "-1/7", "x", "y^2", "sqrt(2)", "1/(x^2+1)", "sin(x)^2"]


@settings(max_examples=60, deadline=None)
@given(pairs, st.sampled_from(OFFSETS))
def test_a_formula_plus_a_nonzero_term_is_wrong(pair: Pair, offset: str) -> None:
    f, expression = pair
    _defined(f)
    answer = f"{_from_sympy(sympy.expand(expression))} + {offset}"
    result = check(answer, f)
    assert not result.correct, (answer, str(f), result)
    assert result.message.startswith("不正解です ("), result.message


# --- deep and wide ---------------------------------------------------------------------


@pytest.mark.slow
def test_deep_and_wide_answers() -> None:
    depth = 100_000
    nested_sum = "(" * depth + "x" + "+1)" * depth
    result = check(nested_sum, f"x + {depth + 1}")  # exactly, and shown at x = 1
    assert result.message == f"不正解です (x = 1 のとき {depth + 1} ですが、正しくは {depth + 2} です)"
    negations = "-(" * depth + "sin x" + ")" * depth  # numerically, through every level
    assert check(negations, "cos x").message.startswith("不正解です (x = 1 のとき 約 0.841471")
    wide = " + ".join(f"{k}x^{k}" for k in range(1, 10_001))
    assert check(wide, wide, form="expanded").ok
