"""kalvora.diff: textbook results byte for byte, SymPy as the oracle by value at random
points, deep nesting, arguments, the command line, and the LaTeX clients."""

from __future__ import annotations

import cmath
import math
from fractions import Fraction

import pytest
import sympy
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import kalvora
from kalvora.formula import E, FUNCTIONS, add, apply, div, mul, neg, number, power, symbol
from formula_strategies import sample
from sympy_oracle import to_sympy
from tex_clients import katex_rejects, needs_katex, needs_pdflatex, pdflatex_rejects

X = symbol("x")

TEXTBOOK = [
    # the examples
    ("x^3 - 3x", "3x^{2} - 3"),
    ("sin(2x)", "2\\cos 2x"),
    ("x e^x", "xe^{x} + e^{x}"),
    ("log x", "\\frac{1}{x}"),
    ("tan x", "\\frac{1}{\\cos^{2} x}"),
    ("√x", "\\frac{1}{2\\sqrt{x}}"),
    ("x^x", "x^{x}\\log x + x^{x}"),
    # each rule once more
    ("cos x", "-\\sin x"),
    ("exp(3x)", "3e^{3x}"),
    ("2^x", "2^{x}\\log 2"),
    ("x^(2/3)", "\\frac{2}{3\\sqrt[3]{x}}"),
    ("1/x", "-\\frac{1}{x^{2}}"),
    ("x/(x+1)", "\\frac{1}{\\left(x + 1\\right)^{2}}"),
    ("sin(x^2)", "2x\\cos x^{2}"),
    ("e^x sin x", "e^{x}\\sin x + e^{x}\\cos x"),
    ("log(x^2+1)", "\\frac{2x}{x^{2} + 1}"),
    ("sqrt(x^2+1)", "\\frac{x}{\\sqrt{x^{2} + 1}}"),
    ("a x^2 + b x + c", "2ax + b"),
    ("pi", "0"),
    ("y", "0"),
]


@pytest.mark.parametrize(("f", "expected"), TEXTBOOK)
def test_textbook_derivatives(f, expected):
    assert kalvora.latex(kalvora.diff(f, "x")) == expected


def test_factor_of_a_derivative():
    assert kalvora.latex(kalvora.factor(kalvora.diff("x^x", "x"))) == "x^{x}\\left(\\log x + 1\\right)"


@pytest.mark.parametrize(("f", "n", "expected"), [
    ("sin(2x)", 2, "-4\\sin 2x"),
    ("x^5", 3, "60x^{2}"),
    ("x^5", 6, "0"),
    ("e^(2x)", 4, "16e^{2x}"),
    ("log x", 2, "-\\frac{1}{x^{2}}"),
    ("x^2 + 1", 0, "x^{2} + 1"),
])
def test_higher_derivatives(f, n, expected):
    assert kalvora.latex(kalvora.diff(f, "x", n)) == expected


@pytest.mark.parametrize("variable", ["t", symbol("t")])
def test_the_variable_is_a_name_or_a_symbol(variable):
    assert kalvora.latex(kalvora.diff("t^2 x", variable)) == "2tx"


@pytest.mark.parametrize(("args", "error"), [
    ((None, "x"), TypeError),
    (("x", 3), TypeError),
    (("x", "x", 1.0), TypeError),
    (("x", "x", True), TypeError),
    (("x", "x", -1), kalvora.MathError),
    (("x", "x + 1"), kalvora.MathError),
    (("x", kalvora.parse("2x")), kalvora.MathError),
    (("1/(x - x)", "x"), kalvora.MathError),
])
def test_wrong_arguments_are_refused(args, error):
    with pytest.raises(error):
        kalvora.diff(*args)


# --- SymPy as the oracle --------------------------------------------------------------

_SX = sympy.Symbol("x", real=True)  # the oracle's x
_FUNCTIONS = sorted(FUNCTIONS, key=str)
leaves = st.sampled_from([X, X, X, number(2), number(-3), div(number(1), number(2)), E])
exponents = st.sampled_from([number(2), number(3), number(-1), number(-2), div(number(1), number(2)),
                             div(number(-2), number(3)), X])


def compositions(depth=3):
    """Formulas in x made of every rule: sums, products, quotients, powers and functions."""
    strategy = leaves
    for _ in range(depth):
        inner = strategy
        operation = st.one_of(
            st.tuples(inner, inner).map(lambda pair: add(*pair)),
            st.tuples(inner, inner).map(lambda pair: mul(*pair)),
            st.tuples(inner, inner).map(lambda pair: div(*pair)),
            st.tuples(inner, exponents).map(lambda pair: power(*pair)),
            inner.map(lambda f: power(E, f)),
            inner.map(neg),
            st.tuples(st.sampled_from(_FUNCTIONS), inner).map(lambda pair: apply(*pair)),
            st.tuples(st.sampled_from(_FUNCTIONS), inner).map(lambda pair: apply(*pair)),
        )
        strategy = st.one_of(leaves, operation, operation)
    return strategy


@settings(max_examples=300, deadline=None)
@given(compositions(), st.fractions(Fraction(1, 7), Fraction(5), max_denominator=7))
def test_derivatives_agree_with_sympy_by_value(f, point):
    try:
        ours = kalvora.diff(f, "x")
    except kalvora.MathError:
        assume(False)  # the algebra met an undefined operation, such as 1/0 or 0^0
    try:
        float(ours.subs(x=point))
    except (kalvora.MathError, OverflowError, ValueError, ZeroDivisionError):
        assume(False)  # the point is outside the derivative's domain
    # Both sides to 30 digits: in floats, cos(e^(e^5)) has no correct digit left.
    exact_point = sympy.Rational(point.numerator, point.denominator)
    value = complex(to_sympy(ours).subs(_SX, exact_point).evalf(30))
    expected = complex(sympy.diff(to_sympy(f), _SX).subs(_SX, exact_point).evalf(30))
    assume(cmath.isfinite(expected) and abs(expected.imag) < 1e-9 * (1 + abs(expected)))
    assert math.isclose(value.real, expected.real, rel_tol=1e-6, abs_tol=1e-6)


# --- nesting, the command line, the LaTeX clients ---------------------------------------


@pytest.mark.slow
def test_deep_nesting_differentiates_without_recursion():
    f = X
    for level in range(100_000):
        f = add(X, f) if level % 2 else neg(f)
    assert kalvora.diff(f, "x") == number(1)
    exponent = number(3)
    for _ in range(100_000):
        exponent = neg(exponent)
    assert kalvora.latex(kalvora.diff(power(X, exponent), "x")) == "3x^{2}"


@pytest.mark.parametrize(("args", "stdin", "stdout", "status"), [
    (["diff", "x^3-3x"], "", "3x^{2} - 3\n", 0),
    (["diff", "sin(2t)", "--var", "t"], "", "2\\cos 2t\n", 0),
    (["diff"], "x^2\n\ntan x\n", "2x\n\n\\frac{1}{\\cos^{2} x}\n", 0),
    (["diff", "1/(x-x)", "x^2"], "", "\n2x\n", 1),
    (["diff", "x", "--var", "2"], "", "", 2),
])
def test_command_line(kalvora_cli, args, stdin, stdout, status):
    assert kalvora_cli(*args, stdin=stdin)[:2] == (status, stdout)


@pytest.fixture
def kalvora_cli(capsys, monkeypatch):
    import io
    import sys

    from kalvora import cli

    def run(*args, stdin=""):
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        try:
            status = cli.main(list(args))
        except SystemExit as exit:
            status = exit.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


def _outputs():
    """The LaTeX of derivatives of the table and of random compositions."""
    texts = []
    for f in [f for f, _ in TEXTBOOK] + sample(compositions(), 150):
        try:
            texts.append(kalvora.latex(kalvora.diff(f, "x")))
        except kalvora.MathError:
            pass
    return texts


@needs_katex
def test_katex_accepts_derivatives():
    assert katex_rejects(_outputs()) == []


@needs_pdflatex
def test_pdflatex_accepts_derivatives():
    assert pdflatex_rejects(_outputs()) == []
