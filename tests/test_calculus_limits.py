"""kalvora.limit: textbook limits byte for byte and equal to SymPy's exact values, divergence,
limits that do not exist, forms refused as unsupported, arguments, ∞ and |x| as formulas,
the command line and the LaTeX clients."""

from __future__ import annotations

import pytest
import sympy
from hypothesis import given, settings
from hypothesis import strategies as st

import kalvora
from kalvora import oo
from kalvora.formula import INFINITY, add, neg, symbol
from sympy_oracle import to_sympy
from tex_clients import katex_rejects, needs_katex, needs_pdflatex, pdflatex_rejects

X = sympy.Symbol("x", real=True)

# (f, point, dir, LaTeX of the limit)
LIMITS = [
    # the examples
    ("sin(x)/x", "0", None, "1"),
    ("(1 + 1/x)^x", "oo", None, "e"),
    ("(e^x - 1)/x", "0", None, "1"),
    ("log(1 + x)/x", "0", None, "1"),
    ("sqrt(x^2 + x) - x", "oo", None, "\\frac{1}{2}"),
    # rational functions: 0/0 cancelled, ∞/∞ by leading terms
    ("(x^2 - 1)/(x - 1)", "1", None, "2"),
    ("(x^3 - 8)/(x^2 - 4)", "2", None, "3"),
    ("(2x^2 + 1)/(3x^2 - x)", "oo", None, "\\frac{2}{3}"),
    ("(x + 1)/(x^2 + 1)", "-oo", None, "0"),
    ("x^2 - 3x", "2", None, "-2"),
    # roots, rationalised at ∞ and at a point
    ("sqrt(x^2 + x) + x", "-oo", None, "-\\frac{1}{2}"),
    ("(sqrt(x + 1) - 1)/x", "0", None, "\\frac{1}{2}"),
    ("(cbrt(x) - 2)/(x - 8)", "8", None, "\\frac{1}{12}"),
    # the standard limits and what follows from them
    ("(1 - cos x)/x^2", "0", None, "\\frac{1}{2}"),
    ("sin(3x)/sin(5x)", "0", None, "\\frac{3}{5}"),
    ("tan(x)/x", "0", None, "1"),
    ("(x - sin x)/x^3", "0", None, "\\frac{1}{6}"),
    ("(1 + 2/x)^x", "oo", None, "e^{2}"),
    ("(1 + x)^(1/x)", "0", None, "e"),
    ("(2^x - 1)/x", "0", None, "\\log 2"),
    ("x log x", "0", "+", "0"),
    ("x^x", "0", "+", "1"),
    ("log(x)/x", "oo", None, "0"),
    ("x^(1/x)", "oo", None, "1"),
    # exponentials beat powers
    ("e^x/x^3", "oo", None, "\\infty"),
    ("x^10 e^(-x)", "oo", None, "0"),
    ("(e^x + x)/(e^x + 1)", "oo", None, "1"),
    ("x^2/2^x", "oo", None, "0"),
    ("e^(1/x)", "0", "+", "\\infty"),
    ("e^(1/x)", "0", "-", "0"),
    ("e^x", "-oo", None, "0"),
    # a bounded oscillation times what vanishes
    ("sin(x)/x", "oo", None, "0"),
    ("e^(-x) sin x", "oo", None, "0"),
    ("(x + sin x)/x", "oo", None, "1"),
    ("x^2 sin(1/x)", "0", None, "0"),
    ("sin(x)^2/x", "oo", None, "0"),
    ("sin(x - pi)/(x - pi)", "pi", None, "1"),
    # one-sided limits and divergence
    ("1/x", "0", "+", "\\infty"),
    ("1/x", "0", "-", "-\\infty"),
    ("1/x^2", "0", None, "\\infty"),
    ("log x", "0", "+", "-\\infty"),
    ("x^3 - x", "-oo", None, "-\\infty"),
    ("abs(x)/x", "0", "-", "-1"),
    ("tan x", "pi/2", "-", "\\infty"),
    ("x/(x - 1)", "1", "+", "\\infty"),
    # where the formula is real on one side only, the limit is taken on that side
    ("sqrt(x)", "0", None, "0"),
]


@pytest.mark.parametrize(("f", "point", "direction", "expected"), LIMITS)
def test_textbook_limits(f, point, direction, expected):
    assert kalvora.latex(kalvora.limit(f, "x", point, direction)) == expected


@pytest.mark.parametrize(("f", "point", "direction", "expected"), LIMITS)
def test_limits_equal_sympys(f, point, direction, expected):
    ours = to_sympy(kalvora.limit(f, "x", point, direction))
    target = sympy.oo if point == "oo" else -sympy.oo if point == "-oo" else to_sympy(kalvora.parse(point))
    theirs = sympy.limit(to_sympy(kalvora.parse(f)), X, target, direction or "+")
    assert sympy.simplify(ours - theirs) == 0 if ours.is_finite else ours == theirs


@pytest.mark.parametrize("f", ["1/x", "abs(x)/x", "1/(x^3)", "tan(x - pi/2)", "e^(1/x)"])
def test_sides_that_disagree_have_no_limit(f):
    with pytest.raises(kalvora.MathError, match="極限は存在しません"):
        kalvora.limit(f, "x", 0)


@pytest.mark.parametrize(("f", "point", "direction"), [
    ("sin(1/x)", "0", "+"),  # oscillates
    ("sin x", "oo", None),
    ("x sin x", "oo", None),
    ("1/(2 + sin x)", "oo", None),
    ("sin(log x)", "0", "+"),
    ("log(log x)", "oo", None),
    ("e^(e^x)", "oo", None),
])
def test_what_the_series_cannot_decide_is_refused(f, point, direction):
    with pytest.raises(kalvora.MathError, match="求められません"):
        kalvora.limit(f, "x", point, direction)


def test_a_formula_real_on_neither_side_is_refused():
    with pytest.raises(kalvora.MathError, match="実数"):
        kalvora.limit("sqrt(-x^2 - 1)", "x", 0)


@pytest.mark.parametrize(("args", "error"), [
    (("x", "x", 0, "up"), kalvora.MathError),
    (("x", "x", 0, 1), TypeError),
    (("x", "x", None), TypeError),
    (("x", "x", 0.5), TypeError),
    (("x", "x", "x + 1"), kalvora.MathError),  # the point holds the variable
    (("x", "x", "oo", "+"), kalvora.MathError),  # ∞ is approached from below only
    (("x + oo", "x", 0), kalvora.MathError),
    (("x", "2x", 0), kalvora.MathError),
])
def test_wrong_arguments_are_refused(args, error):
    with pytest.raises(error):
        kalvora.limit(*args)


def test_other_variables_and_symbols():
    assert kalvora.latex(kalvora.limit("sin(a t)/t", symbol("t"), 0)) == "a"
    assert kalvora.limit("1/x", "x", oo) == kalvora.parse("0")
    assert kalvora.limit("-x", "x", oo) == neg(INFINITY)


@pytest.mark.slow
def test_deep_nesting_takes_limits_without_recursion():
    x = symbol("x")
    f = x
    for level in range(100_000):
        f = add(x, f) if level % 2 else neg(f)
    assert kalvora.limit(f, "x", 3) == kalvora.parse("3")


# --- rational functions with a common factor, against SymPy --------------------------------

small_polynomials = st.lists(st.integers(-4, 4), min_size=1, max_size=4).filter(any)


@settings(max_examples=60, deadline=None)
@given(small_polynomials, small_polynomials, st.integers(-3, 3), st.integers(0, 3), st.integers(0, 3))
def test_rational_functions_agree_with_sympy(numerator, denominator, root, up, down):
    x = sympy.Symbol("x")
    f = (x - root) ** up * sympy.Poly(numerator, x).as_expr() / ((x - root) ** down * sympy.Poly(denominator, x).as_expr())
    text = str(f).replace("**", "^")
    try:
        theirs = sympy.limit(f, x, root, "+"), sympy.limit(f, x, root, "-")
    except ValueError:
        return
    if theirs[0] != theirs[1]:
        with pytest.raises(kalvora.MathError):
            kalvora.limit(text, "x", root)
        return
    ours = to_sympy(kalvora.limit(text, "x", root), real=False)
    assert ours == theirs[0] or sympy.simplify(ours - theirs[0]) == 0


# --- ∞ and |x| as formulas, the command line, the LaTeX clients -----------------------------


@pytest.mark.parametrize(("text", "latex", "plain"), [
    ("oo", "\\infty", "oo"),
    ("-∞", "-\\infty", "-oo"),
    ("log(abs(x))", "\\log\\left|x\\right|", "log(abs(x))"),
    ("abs(x - 1)^2", "\\left|x - 1\\right|^{2}", "abs(x - 1)^2"),
])
def test_infinity_and_absolute_values_print_and_read_back(text, latex, plain):
    f = kalvora.parse(text)
    assert (kalvora.latex(f), str(f), kalvora.parse(str(f))) == (latex, plain, f)


@pytest.mark.parametrize(("args", "stdout", "status"), [
    (["limit", "sin(x)/x", "--at", "0"], "1\n", 0),
    (["limit", "sqrt(x^2+x)-x", "--at", "oo"], "\\frac{1}{2}\n", 0),
    (["limit", "1/x", "--at", "0", "--dir", "-"], "-\\infty\n", 0),
    (["limit", "e^x", "--at=-oo"], "0\n", 0),
    (["limit", "sin(2t)/t", "--at", "0", "--var", "t"], "2\n", 0),
    (["limit", "1/x", "x^2", "--at", "0"], "\n0\n", 1),
    (["limit", "x", "--at", "0", "--dir", "up"], "", 2),
    (["limit", "x", "--at", "0/"], "", 2),
    (["limit", "x"], "", 2),
])
def test_command_line(kalvora_cli, args, stdout, status):
    assert kalvora_cli(*args)[:2] == (status, stdout)


@pytest.fixture
def kalvora_cli(capsys, monkeypatch):
    import io
    import sys

    from kalvora import cli

    def run(*args):
        monkeypatch.setattr(sys, "stdin", io.StringIO(""))
        try:
            status = cli.main(list(args))
        except SystemExit as exit:
            status = exit.code
        return (status, *capsys.readouterr())

    return run


def _outputs():
    return [kalvora.latex(kalvora.limit(f, "x", point, direction)) for f, point, direction, _ in LIMITS]


@needs_katex
def test_katex_accepts_limits():
    assert katex_rejects(_outputs() + ["\\log\\left|x\\right|", "\\left|x - 1\\right|^{2}"]) == []


@needs_pdflatex
def test_pdflatex_accepts_limits():
    assert pdflatex_rejects(_outputs() + ["\\log\\left|x\\right|", "\\left|x - 1\\right|^{2}"]) == []
