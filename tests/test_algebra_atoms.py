"""The rules for atoms beyond exact values: roots of expressions, odd and even functions,
periods, logarithms of powers; held to tables and, on random arguments, to SymPy's values."""

from __future__ import annotations

import math
from fractions import Fraction

import pytest
import sympy
from hypothesis import given, settings
from hypothesis import strategies as st
from test_algebra_properties import POINTS, Pair, expressions, to_sympy

import kalvora
from kalvora.formula import PI, Formula, Kind, add, apply, mul, number, power, rational, symbol, walk
from tex_clients import katex_rejects, needs_katex, needs_pdflatex, pdflatex_rejects

RULES = [
    # Roots: numbers and powers that are right for every sign leave; |x| never appears.
    ("sqrt(4*x)", "2\\sqrt{x}"),
    ("sqrt(8*x^3)", "2\\sqrt{2x^{3}}"),
    ("sqrt(x^4*y)", "x^{2}\\sqrt{y}"),
    ("sqrt(x^2*y)", "\\sqrt{x^{2}y}"),
    ("sqrt(-4*x)", "2\\sqrt{-x}"),
    ("sqrt(4*x + 4)", "2\\sqrt{x + 1}"),
    ("sqrt(x/2)", "\\frac{1}{2}\\sqrt{2x}"),
    ("sqrt(x/y^4)", "\\frac{\\sqrt{x}}{y^{2}}"),
    ("sqrt(pi^2*x)", "\\pi\\sqrt{x}"),
    ("(4*x)^(3/2)", "8x\\sqrt{x}"),
    ("sqrt(4*x)^2", "4x"),
    ("cbrt(8*x)", "2\\sqrt[3]{x}"),
    ("cbrt(-x)", "-\\sqrt[3]{x}"),
    ("cbrt(1 - x)", "-\\sqrt[3]{x - 1}"),
    ("cbrt(x^3*y)", "x\\sqrt[3]{y}"),
    # Odd and even functions, by the leading sign of the canonical argument.
    ("sin(-x)", "-\\sin x"),
    ("cos(-x)", "\\cos x"),
    ("tan(-x)", "-\\tan x"),
    ("sin(1 - x)", "-\\sin\\left(x - 1\\right)"),
    ("cos(1 - x)", "\\cos\\left(x - 1\\right)"),
    ("sin(-1/x)", "-\\sin \\frac{1}{x}"),
    # Periods and quarter turns.
    ("sin(x + 2*pi)", "\\sin x"),
    ("sin(x + pi)", "-\\sin x"),
    ("cos(x - pi)", "-\\cos x"),
    ("sin(pi - x)", "\\sin x"),
    ("cos(pi/2 - x)", "\\sin x"),
    ("sin(x + pi/2)", "\\cos x"),
    ("cos(x + 3*pi/2)", "\\sin x"),
    ("tan(x + pi)", "\\tan x"),
    ("tan(x + pi/2)", "\\tan\\left(x + \\frac{\\pi}{2}\\right)"),
    ("cos(2*x + 2*pi)", "\\cos 2x"),
    ("sin(x + 7*pi/3)", "\\sin\\left(x + \\frac{\\pi}{3}\\right)"),
    ("sin(6*pi/5)", "-\\sin \\frac{\\pi}{5}"),
    ("cos(4*pi/5)", "-\\cos \\frac{\\pi}{5}"),
    ("tan(-pi/5)", "-\\tan \\frac{\\pi}{5}"),
    ("sin(pi*x)", "\\sin \\pi x"),
    # Logarithms: of odd powers and roots; of even powers only through |x|, so they stay.
    ("log(x^3)", "3\\log x"),
    ("log(x^2)", "\\log x^{2}"),
    ("log(sqrt(x))", "\\frac{1}{2}\\log x"),
    ("log(cbrt(x))", "\\frac{1}{3}\\log x"),
    ("log(sqrt(2))", "\\frac{1}{2}\\log 2"),
    ("log(e^3)", "3"),
    ("log(e^(x+1))", "x + 1"),
    ("log(e^(-2))", "-2"),
    ("log 8", "3\\log 2"),
    ("log(1/4) + log 2", "-\\log 2"),
    ("log(10^6)", "6\\log 10"),
    ("log 6", "\\log 6"),
    ("log(4/9)", "\\log \\frac{4}{9}"),
    ("log(1/exp(x)^2)", "-2x"),
    ("log(1/x)", "-\\log x"),
    ("log(1/x^2)", "\\log \\frac{1}{x^{2}}"),
    ("e^(log(x))", "x"),
    ("e^(2*log(x))", "x^{2}"),
    ("e^x*e^y", "e^{x}e^{y}"),
    # Operands read in rings of their own: a root's relation reaches every ring that needs it.
    ("sqrt(sqrt(x) + 1)^4", "x + 2\\sqrt{x} + 1"),
    ("(sqrt(x) + 1)^(1 + 1)", "x + 2\\sqrt{x} + 1"),
    ("sqrt(x)^(2*1)", "x"),
    ("sin(sqrt(x)*sqrt(x))", "\\sin x"),
]


@pytest.mark.parametrize(("text", "expected"), RULES)
def test_rules(text: str, expected: str) -> None:
    assert kalvora.latex(kalvora.simplify(text)) == expected


def _value(f: Formula, point: dict[str, Fraction]) -> float:
    return float(f.subs({name: rational(value) for name, value in point.items()}))


def _oracle(expression: object, point: dict[str, Fraction]) -> float:
    assert isinstance(expression, sympy.Expr)
    values = {sympy.Symbol(n): sympy.Rational(v.numerator, v.denominator) for n, v in point.items()}
    return float(expression.subs(values).evalf(30))


def _arguments_of(f: Formula, kinds: tuple[Kind, ...]) -> list[Formula]:
    found: list[Formula] = []
    walk(f, lambda node: found.append(node.args[0]) if node.kind in kinds else None)
    return found


TRIG = {"sin": (Kind.SIN, sympy.sin), "cos": (Kind.COS, sympy.cos), "tan": (Kind.TAN, sympy.tan)}


@settings(max_examples=60, deadline=None)
@given(expressions(with_roots=False), st.integers(-13, 13), st.sampled_from([1, 2, 3, 4, 6]),
       st.sampled_from(sorted(TRIG)))
def test_shifted_angles_keep_their_value(u: Pair, k: int, parts: int, name: str) -> None:
    kind, oracle = TRIG[name]
    angle = add(u[0], mul(rational(Fraction(k, parts)), PI))
    try:
        result = kalvora.simplify(apply(kind, angle))
    except kalvora.MathError:  # tan at an odd multiple of π/2
        return
    expected = oracle(u[1] + sympy.Rational(k, parts) * sympy.pi)
    for point in POINTS:
        want = _oracle(expected, point)
        if abs(want) < 1e6:  # not at a pole of tan
            # Both sides to 30 digits: in floats, cos(512x^9 + 2π/3) at x = -7/2 keeps 8 digits.
            assert _oracle(to_sympy(result), point) == pytest.approx(want, rel=1e-9, abs=1e-9)
    for argument in _arguments_of(result, (Kind.SIN, Kind.COS, Kind.TAN)):
        assert not kalvora.latex(argument).startswith("-"), result


@settings(max_examples=60, deadline=None)
@given(expressions(with_roots=False), st.sampled_from([1, 2, 4, 8, 12, 18, -27]), st.integers(0, 6),
       st.sampled_from([2, 3]))
def test_roots_of_expressions_keep_their_value(u: Pair, scale: int, degree: int, index: int) -> None:
    kind = Kind.SQRT if index == 2 else Kind.CBRT
    radicand = mul(number(scale), power(u[0], number(degree)), u[0])
    try:
        result = kalvora.simplify(apply(kind, radicand))
    except kalvora.MathError:  # the square root of a negative number
        return
    inside = scale * u[1] ** (degree + 1)
    for point in POINTS:
        value = _oracle(inside, point)
        if index == 2 and value < 0:
            continue
        expected = math.copysign(abs(value) ** (1 / index), value)
        assert _value(result, point) == pytest.approx(expected, rel=1e-9, abs=1e-9)
    for argument in _arguments_of(result, (Kind.CBRT,)):
        assert not kalvora.latex(argument).startswith("-"), result


@pytest.mark.parametrize("point", [{"x": Fraction(7, 5), "y": Fraction(3, 2)}, {"x": Fraction(-3, 4), "y": Fraction(5, 2)}])
def test_rules_keep_the_value_and_are_final(point: dict[str, Fraction]) -> None:
    for text, _ in RULES:
        typed, result = kalvora.parse(text), kalvora.simplify(text)
        assert kalvora.simplify(result) == result, text
        try:
            expected = _value(typed, point)
        except (ValueError, ArithmeticError):  # outside the domain at this point
            continue
        assert _value(result, point) == pytest.approx(expected, rel=1e-12), text


@needs_katex
def test_rules_are_accepted_by_katex() -> None:
    assert katex_rejects([expected for _, expected in RULES]) == []


@needs_pdflatex
def test_rules_are_accepted_by_pdflatex() -> None:
    assert pdflatex_rejects([expected for _, expected in RULES]) == []


@pytest.mark.slow
@pytest.mark.parametrize("level", [
    lambda inner: apply(Kind.SIN, add(inner, number(1))),
    lambda inner: apply(Kind.SQRT, inner),
    lambda inner: power(add(inner, number(1)), symbol("y")),
])
def test_towers_of_functions(level: object) -> None:
    """Each level's operand in its own ring: 10,000 levels, no recursion, and the answer is
    the tower itself (every operand is already canonical)."""
    assert callable(level)
    tower = symbol("x")
    for _ in range(10_000):
        tower = level(tower)
    assert kalvora.simplify(tower) == tower


@pytest.mark.parametrize(("texts", "expected"), [
    (["sin(x) - cos(x)", "-cos(x) + sin(x)"], "\\sin x - \\cos x"),
    (["sin(sin(x)) - sin(x)", "-sin(x) + sin(sin(x))"], "-\\left(\\sin x - \\sin\\left(\\sin x\\right)\\right)"),
    (["(cos(x) - sin(x))^3", "-(sin(x) - cos(x))^3"], "-\\left(\\sin x - \\cos x\\right)^{3}"),
])
def test_factors_do_not_depend_on_the_order_atoms_are_met(texts: list[str], expected: str) -> None:
    assert [kalvora.latex(kalvora.factor(text)) for text in texts] == [expected] * len(texts)
