"""The textbook answers of expand, simplify and factor, byte for byte, and their errors."""

from __future__ import annotations

import math
import os
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest
from formula_strategies import formulas, sample

import kalvora
from kalvora.formula import PI, Formula, add, div, mul, neg, number, power, symbol
from kalvora.functions import sqrt
from tex_clients import katex_rejects, needs_katex, needs_pdflatex, pdflatex_rejects

x, y, r = symbol("x"), symbol("y"), symbol("r")

EXPAND = [
    ("(x+1)^3", "x^{3} + 3x^{2} + 3x + 1"),
    ("(x+1)^2 - (x-1)^2", "4x"),
    ("x^9 + x^10 + x", "x^{10} + x^{9} + x"),
    ("(a-b)^2", "a^{2} - 2ab + b^{2}"),
    ("(x+y+1)^2", "x^{2} + 2xy + y^{2} + 2x + 2y + 1"),
    ("(x+y)^3", "x^{3} + 3x^{2}y + 3xy^{2} + y^{3}"),
    ("(x-1)*(x-2)", "x^{2} - 3x + 2"),
    ("9 - x", "-x + 9"),
    ("(x+2)^2/4", "\\frac{1}{4}x^{2} + x + 1"),
    ("x/2 + x/3", "\\frac{5}{6}x"),
    ("100000*100000", "10000000000"),
    ("x*sqrt(3)*2", "2\\sqrt{3}x"),
    ("r^3*pi*4/3", "\\frac{4}{3}\\pi r^{3}"),
    ("-x^2/2", "-\\frac{1}{2}x^{2}"),
    ("(sqrt(2)+sqrt(3))^2", "5 + 2\\sqrt{6}"),
    ("x*(x+1)^2*x^(-2)", "x + 2 + \\frac{1}{x}"),
    ("(beta + alpha + x_2 + x_10 + b)^1", "b + x_{2} + x_{10} + \\alpha + \\beta"),
]

SIMPLIFY = [
    ("1/x + 1/(x+1)", "\\frac{2x + 1}{x\\left(x + 1\\right)}"),
    ("(x^2-1)/(x-1)", "x + 1"),
    ("2*3 + 4/6", "\\frac{20}{3}"),
    ("sqrt(8)", "2\\sqrt{2}"),
    ("sqrt(2)*sqrt(2)", "2"),
    ("sqrt(2)*sqrt(3)", "\\sqrt{6}"),
    ("sqrt(9/4)", "\\frac{3}{2}"),
    ("cbrt(16)", "2\\sqrt[3]{2}"),
    ("cbrt(-27)", "-3"),
    ("1/sqrt(2)", "\\frac{\\sqrt{2}}{2}"),
    ("1/(1+sqrt(2))", "\\sqrt{2} - 1"),
    ("1/(sqrt(3)+sqrt(2))", "\\sqrt{3} - \\sqrt{2}"),
    ("1/(2*sqrt(x))", "\\frac{1}{2\\sqrt{x}}"),
    ("log(1)", "0"),
    ("log(e^3)", "3"),
    ("e^(log(x))", "x"),
    ("sin(pi/6)", "\\frac{1}{2}"),
    ("cos(2*pi/3)", "-\\frac{1}{2}"),
    ("tan(pi/3)", "\\sqrt{3}"),
    ("sin(-pi/4)", "-\\frac{\\sqrt{2}}{2}"),
    ("e^2*e", "e^{3}"),
    ("sqrt(x)*sqrt(x) + cbrt(x+1)^3", "2x + 1"),
    ("(sqrt(x) + 1)^2", "x + 2\\sqrt{x} + 1"),
]

FACTOR = [
    ("2*x + 4", "2\\left(x + 2\\right)"),
    ("x^3 + 3*x^2 + 3*x + 1", "\\left(x + 1\\right)^{3}"),
    ("a^2 - 2*a*b + b^2", "\\left(a - b\\right)^{2}"),
    ("x^2 - 5*x + 6", "\\left(x - 2\\right)\\left(x - 3\\right)"),
    ("x^2*y - x*y^2", "xy\\left(x - y\\right)"),
    ("x^4 - 1", "\\left(x^{2} + 1\\right)\\left(x + 1\\right)\\left(x - 1\\right)"),
    ("x^2 + 1", "x^{2} + 1"),
    ("1 - x^2", "-\\left(x + 1\\right)\\left(x - 1\\right)"),
    # coefficients past 64 bits
    ("x^2 - 10^30", "\\left(x + 1000000000000000\\right)\\left(x - 1000000000000000\\right)"),
    ("(x - 10^20)^2*(y + 3)", "\\left(x - 100000000000000000000\\right)^{2}\\left(y + 3\\right)"),
]


@pytest.mark.parametrize(("text", "expected"), EXPAND)
def test_expand(text: str, expected: str) -> None:
    assert kalvora.latex(kalvora.expand(text)) == expected


@pytest.mark.parametrize(("text", "expected"), SIMPLIFY + [(t, e) for t, e in EXPAND if "^(-" not in t])
def test_simplify(text: str, expected: str) -> None:
    assert kalvora.latex(kalvora.simplify(text)) == expected


@pytest.mark.parametrize(("text", "expected"), FACTOR)
def test_factor(text: str, expected: str) -> None:
    assert kalvora.latex(kalvora.factor(text)) == expected


def test_arranged_by_one_variable() -> None:
    assert kalvora.latex(kalvora.expand("(x+y+1)^2", by="x")) == "x^{2} + \\left(2y + 2\\right)x + y^{2} + 2y + 1"
    assert kalvora.latex(kalvora.expand("(x-y-1)^2", by=x)) == "x^{2} - \\left(2y + 2\\right)x + y^{2} + 2y + 1"


def test_exact_coefficients_of_any_size() -> None:
    expected = " + ".join(
        f"{math.comb(40, k) * 2**k if k else ''}{'x' if 40 - k else ''}{f'^{{{40 - k}}}' if 40 - k > 1 else ''}"
        for k in range(41))
    assert kalvora.latex(kalvora.expand("(x+2)^40")) == expected


# The tree shapes the printer renders (checked on the trees themselves, printer aside).
SHAPES = [
    ("(x-1)*(x-2)", add(power(x, number(2)), mul(number(-3), x), number(2))),
    ("(x+2)^2/4", add(mul(div(number(1), number(4)), power(x, number(2))), x, number(1))),
    ("9 - x", add(neg(x), number(9))),  # as parse("-x + 9") reads it
    ("x*sqrt(3)*2", mul(number(2), sqrt(3), x)),
    ("r^3*pi*4/3", mul(div(number(4), number(3)), PI, power(r, number(3)))),
    ("-x^2/2", mul(div(number(-1), number(2)), power(x, number(2)))),
    ("(sqrt(2)+sqrt(3))^2", add(number(5), mul(number(2), sqrt(6)))),
    ("1/(1+sqrt(2))", add(sqrt(2), number(-1))),
    ("1/x + 1/(x+1)", div(add(mul(number(2), x), number(1)), mul(x, add(x, number(1))))),
    ("-x/y", neg(div(x, y))),
]


@pytest.mark.parametrize(("text", "tree"), SHAPES)
def test_tree_shapes(text: str, tree: Formula) -> None:
    assert kalvora.simplify(text) == tree


@pytest.mark.parametrize("twelfths", [k for k in range(-30, 31) if k % 2 == 0 or k % 3 == 0])
@pytest.mark.parametrize("function", ["sin", "cos", "tan"])
def test_trigonometric_table(function: str, twelfths: int) -> None:
    angle = Fraction(twelfths, 12)
    text = f"{function}({angle.numerator}*pi/{angle.denominator})"
    if function == "tan" and twelfths % 12 == 6:
        with pytest.raises(kalvora.MathError, match="tan"):
            kalvora.simplify(text)
        return
    value = kalvora.simplify(text)
    assert value.free_symbols == frozenset() and "sin" not in str(value) and "cos" not in str(value)
    assert float(value) == pytest.approx(getattr(math, function)(float(angle) * math.pi), abs=1e-12)


ERRORS = [
    ("1/(x - x)", "0 で割る", "1/(x - x)"),
    ("(x+1)/(2 - 2)^3", "0 で割る", "(2 - 2)^3"),
    ("0^(-1)", "0 の負の累乗", "0^"),
    ("(x - x)^0", "0 の 0 乗", "(x - x)^0"),
    ("(-2)^x", "負の数の累乗", "^x"),
    ("(x+1)^(10^12)", "大きすぎ", "(x + 1)^"),
    ("s^(-10^4400)", "大きすぎ", "s^(-10^4400)"),  # flint cannot even factor such an exponent
    ("(200/7581)^677943", "大きすぎ", "(200/7581)^677943"),  # millions of digits: minutes of gcd
    ("sqrt(1 - 5)", "負の数の平方根", "sqrt(1 - 5)"),
    ("log(2 - 2)", "対数", "log(2 - 2)"),
    ("x + log(-1/2)", "対数", "log("),
    ("tan(3*pi/2)", "tan", "tan(3*pi/2)"),
]


@pytest.mark.parametrize(("text", "reason", "where"), ERRORS)
@pytest.mark.parametrize("operation", [kalvora.expand, kalvora.simplify, kalvora.factor])
def test_errors_name_the_subexpression(operation: object, text: str, reason: str, where: str) -> None:
    assert callable(operation)
    with pytest.raises(kalvora.MathError) as caught:
        operation(text)
    assert reason in str(caught.value) and where in str(caught.value)


@pytest.mark.parametrize("wrong", [None, 1.5, b"x", [1]])
def test_wrong_argument_types(wrong: object) -> None:
    for operation in (kalvora.expand, kalvora.simplify, kalvora.factor):
        with pytest.raises(TypeError):
            operation(wrong)  # type: ignore[arg-type]


def _results() -> list[str]:
    """The LaTeX of every example's answer and of the answers to random formulas."""
    texts = [e for _, e in EXPAND + SIMPLIFY + FACTOR]
    for f in sample(formulas(), 150):
        for operation in (kalvora.expand, kalvora.simplify, kalvora.factor):
            try:
                texts.append(kalvora.latex(operation(f)))
            except kalvora.MathError:
                pass
    return texts


@needs_katex
def test_results_are_accepted_by_katex() -> None:
    assert katex_rejects(_results()) == []


@needs_pdflatex
def test_results_are_accepted_by_pdflatex() -> None:
    assert pdflatex_rejects(_results()) == []


@pytest.mark.parametrize(("args", "expected"), [
    (["expand", "100000*100000"], "10000000000\n"),
    (["expand", "--core", "100000*100000"], "1410065408\n"),
    (["simplify", "1/x + 1/(x+1)"], "\\frac{2x + 1}{x\\left(x + 1\\right)}\n"),
    (["factor", "x^2 - 5*x + 6", "2*x + 4"], "\\left(x - 2\\right)\\left(x - 3\\right)\n2\\left(x + 2\\right)\n"),
])
def test_command_line_uses_the_textbook_algebra(args: list[str], expected: str) -> None:
    source = str(Path(__file__).resolve().parent.parent / "python")
    environment = {**os.environ, "PYTHONPATH": source}
    done = subprocess.run([sys.executable, "-m", "kalvora", *args], capture_output=True, text=True, env=environment)
    assert (done.returncode, done.stdout) == (0, expected)
