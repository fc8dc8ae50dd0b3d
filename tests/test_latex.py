"""kalvora.latex: textbook conventions byte for byte, and acceptance by KaTeX and pdflatex."""

import re
from fractions import Fraction

import pytest
from hypothesis import given

from formula_strategies import formulas, sample
from kalvora import latex
from kalvora.formula import (E, PI, Kind, add, apply, decimal, div, mul, neg, number, power, rational,
                             subtract, symbol)
from tex_clients import katex_rejects, needs_katex, needs_pdflatex, pdflatex_rejects

a, b, c, r, x, y = map(symbol, "abcrxy")
n = number
sqrt, cbrt, sin, cos, log = (lambda k: lambda f: apply(k, f))(Kind.SQRT), *(
    (lambda k: lambda f: apply(k, f))(k) for k in (Kind.CBRT, Kind.SIN, Kind.COS, Kind.LOG))
half = div(n(1), n(2))

TEXTBOOK = [
    # numbers, decimals, names
    (mul(n(2), n(3)), r"2 \times 3"),
    (decimal(Fraction(1, 4), "0.25"), "0.25"),
    (neg(decimal(Fraction(5, 2), "2.50")), "-2.50"),
    (n(10**5000), "1" + "0" * 5000),
    (mul(symbol("alpha"), x), r"\alpha x"),
    (mul(PI, power(r, n(2))), r"\pi r^{2}"),
    (add(symbol("x_1"), symbol("theta_ab")), r"x_{1} + \theta_{ab}"),
    (power(E, x), "e^{x}"),
    # signs
    (mul(x, n(-2)), r"x\left(-2\right)"),
    (mul(x, neg(y)), r"x\left(-y\right)"),
    (div(n(-1), n(2)), r"-\frac{1}{2}"),
    (neg(half), r"-\frac{1}{2}"),
    (subtract(a, b), "a - b"),
    (add(a, n(-3)), "a - 3"),
    (add(a, mul(n(-3), x)), "a - 3x"),
    (add(a, div(n(-1), n(2))), r"a - \frac{1}{2}"),
    (mul(n(-1), x), "-x"),
    (neg(x), "-x"),
    (add(a, mul(n(-1), x)), "a - x"),
    (mul(n(-1), n(2)), r"-1 \times 2"),
    (neg(neg(x)), r"-\left(-x\right)"),
    (neg(add(a, b)), r"-\left(a + b\right)"),
    (add(a, add(neg(b), c)), r"a + \left(-b + c\right)"),
    (div(add(neg(x), n(1)), n(2)), r"\frac{-x + 1}{2}"),
    (power(n(-2), n(2)), r"\left(-2\right)^{2}"),
    (neg(power(n(2), n(2))), "-2^{2}"),
    # juxtaposition and the multiplication sign
    (mul(x, n(2)), r"x \times 2"),
    (mul(power(x, n(2)), n(3)), r"x^{2} \times 3"),
    (mul(n(2), half), r"2 \times \frac{1}{2}"),
    (mul(x, mul(y, a)), r"x\left(ya\right)"),
    (mul(power(n(2), x), power(n(3), x)), r"2^{x} \times 3^{x}"),
    # functions
    (sin(x), r"\sin x"),
    (sin(mul(n(2), x)), r"\sin 2x"),
    (sin(add(x, n(1))), r"\sin\left(x + 1\right)"),
    (power(sin(x), n(2)), r"\sin^{2} x"),
    (power(sin(x), add(y, n(1))), r"\left(\sin x\right)^{y + 1}"),
    (power(log(x), n(2)), r"\left(\log x\right)^{2}"),
    (log(x), r"\log x"),
    (sin(div(PI, n(6))), r"\sin \frac{\pi}{6}"),
    (sin(mul(x, n(2))), r"\sin\left(x \times 2\right)"),
    (mul(sin(x), y), r"\sin\left(x\right)y"),
    (mul(sin(x), cos(x)), r"\sin x\cos x"),
    (mul(neg(sin(x)), y), r"-\sin\left(x\right)y"),
    (sqrt(n(2)), r"\sqrt{2}"),
    (cbrt(x), r"\sqrt[3]{x}"),
    (power(sqrt(n(2)), n(2)), r"\left(\sqrt{2}\right)^{2}"),
    # powers
    (power(power(x, n(2)), n(3)), r"\left(x^{2}\right)^{3}"),
    (power(x, power(y, n(2))), "x^{y^{2}}"),
    (power(half, n(2)), r"\left(\frac{1}{2}\right)^{2}"),
    # what the algebra prints
    (add(power(x, n(2)), mul(n(-3), x), n(2)), "x^{2} - 3x + 2"),
    (add(mul(div(n(1), n(4)), power(x, n(2))), x, n(1)), r"\frac{1}{4}x^{2} + x + 1"),
    (add(neg(x), n(9)), "-x + 9"),
    (mul(n(2), sqrt(n(3)), x), r"2\sqrt{3}x"),
    (mul(div(n(4), n(3)), PI, power(r, n(3))), r"\frac{4}{3}\pi r^{3}"),
    (neg(mul(half, power(x, n(2)))), r"-\frac{1}{2}x^{2}"),
    (mul(div(n(-1), n(2)), power(x, n(2))), r"-\frac{1}{2}x^{2}"),
    (add(n(5), mul(n(2), sqrt(n(6)))), r"5 + 2\sqrt{6}"),
    (add(sqrt(n(2)), n(-1)), r"\sqrt{2} - 1"),
    (div(add(mul(n(2), x), n(1)), mul(x, add(x, n(1)))), r"\frac{2x + 1}{x\left(x + 1\right)}"),
    (add(power(x, n(2)), mul(add(mul(n(2), y), n(2)), x), power(y, n(2)), mul(n(2), y), n(1)),
     r"x^{2} + \left(2y + 2\right)x + y^{2} + 2y + 1"),
    (mul(add(x, n(-2)), add(x, n(-3))), r"\left(x - 2\right)\left(x - 3\right)"),
    (mul(x, y, add(x, neg(y))), r"xy\left(x - y\right)"),
    (power(add(x, n(1)), n(3)), r"\left(x + 1\right)^{3}"),
    (add(mul(power(x, x), log(x)), power(x, x)), r"x^{x}\log x + x^{x}"),
    (div(n(1), mul(n(2), sqrt(x))), r"\frac{1}{2\sqrt{x}}"),
    (mul(n(2), cos(mul(n(2), x))), r"2\cos 2x"),
    (div(n(1), power(cos(x), n(2))), r"\frac{1}{\cos^{2} x}"),
    (add(mul(x, power(E, x)), power(E, x)), r"xe^{x} + e^{x}"),
    (rational(Fraction(-3, 4)), r"-\frac{3}{4}"),
]


@pytest.mark.parametrize(("formula", "expected"), TEXTBOOK, ids=[t for _, t in TEXTBOOK])
def test_textbook_rendering(formula, expected):
    assert latex(formula) == expected


@given(formulas())
def test_signs_are_never_doubled_nor_inside_a_fraction(formula):
    text = latex(formula)
    for wrong in ("+ -", "- -", "--"):
        assert wrong not in text, (wrong, text)
    # a numerator may start with a negative term of a sum, but never with a sign of its own
    assert not re.search(r"\\frac\{-[0-9A-Za-z.\\]*\}", text), text


def test_text_and_numbers_are_accepted():
    assert latex("(x+1)^2/2") == r"\frac{\left(x + 1\right)^{2}}{2}"
    assert latex(Fraction(1, 3)) == r"\frac{1}{3}"
    for wrong in (None, 1.5, b"x"):
        with pytest.raises(TypeError):
            latex(wrong)


DEPTH = 100_000


def deep(shape, depth):
    formula = x
    for _ in range(depth):
        formula = shape(formula)
    return formula


SHAPES = {
    "negations": neg,
    "sums": lambda f: add(n(1), f),
    "products": lambda f: mul(y, f),
    "powers": lambda f: power(f, n(2)),
    "exponents": lambda f: power(n(2), f),
    "roots": sqrt,
    "sines": sin,
    "numerators": lambda f: div(f, n(2)),
    "denominators": lambda f: div(n(1), f),
}


@pytest.mark.slow
@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
def test_deep_formulas_render_without_recursion(shape):
    text = latex(deep(shape, DEPTH))
    assert text.count("{") == text.count("}") and text.count(r"\left(") == text.count(r"\right)")
    assert text.count("x") == 1 and len(text) >= DEPTH


@needs_katex
def test_katex_accepts_the_table_and_random_formulas():
    texts = [latex(f) for f, _ in TEXTBOOK] + [latex(f) for f in set(sample(formulas(), 600))]
    assert katex_rejects(texts) == []


# The clients have capacity limits of their own, whatever the text: KaTeX's recursive
# parser exhausts node's default stack between 400 and 600 levels, and TeX allows 255
# nested groups (about 100 nested fractions). Deeper texts are valid, but not drawable.
MODERATE_DEPTH = 60


@needs_katex
def test_katex_accepts_moderately_deep_formulas():
    assert katex_rejects([latex(deep(shape, MODERATE_DEPTH)) for shape in SHAPES.values()]) == []


@needs_pdflatex
def test_pdflatex_compiles_the_table_and_random_formulas():
    texts = [latex(f) for f, _ in TEXTBOOK] + [latex(f) for f in set(sample(formulas(), 600))]
    assert pdflatex_rejects(texts) == []


@needs_pdflatex
def test_pdflatex_compiles_moderately_deep_formulas():
    assert pdflatex_rejects([latex(deep(shape, MODERATE_DEPTH)) for shape in SHAPES.values()]) == []
