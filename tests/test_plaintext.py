"""str and repr of formulas: plain text that kalvora.parse reads back to an equal formula."""

from fractions import Fraction

import pytest
from hypothesis import given

from formula_strategies import formulas
from kalvora import Formula, parse
from kalvora.formula import E, PI, Kind, add, apply, decimal, div, mul, neg, number, power, symbol

a, b, c, x, y = map(symbol, "abcxy")
n = number

PLAIN = [
    (add(a, add(b, c)), "a + (b + c)"),
    (add(a, neg(b)), "a - b"),
    (add(a, n(-3)), "a - 3"),
    (add(a, neg(decimal(Fraction(1, 2), "0.50"))), "a - 0.50"),
    (add(a, mul(n(-3), x)), "a - 3*x"),
    (add(a, div(mul(n(-3), x), n(2))), "a - 3*x/2"),
    (neg(mul(n(3), x)), "-3*x"),
    (add(neg(x), n(9)), "-x + 9"),
    (neg(add(a, b)), "-(a + b)"),
    (neg(mul(a, b)), "-a*b"),
    (neg(neg(x)), "--x"),
    (add(a, neg(neg(x))), "a - -x"),
    (mul(x, n(-3)), "x*(-3)"),
    (mul(n(-3), x), "-3*x"),
    (mul(neg(x), y), "(-x)*y"),
    (power(n(-3), x), "(-3)^x"),
    (mul(x, neg(y)), "x*(-y)"),
    (mul(a, mul(b, c)), "a*(b*c)"),
    (power(n(-2), n(2)), "(-2)^2"),
    (neg(power(n(2), n(2))), "-2^2"),
    (power(a, power(b, c)), "a^b^c"),
    (power(power(a, b), c), "(a^b)^c"),
    (power(x, n(-2)), "x^(-2)"),
    (div(div(a, b), c), "a/b/c"),
    (div(a, div(b, c)), "a/(b/c)"),
    (mul(div(n(1), n(2)), x), "1/2*x"),
    (div(mul(a, b), c), "a*b/c"),
    (div(n(1), mul(n(2), x)), "1/(2*x)"),
    (div(n(-1), n(2)), "-1/2"),
    (power(E, x), "e^x"),
    (mul(PI, power(symbol("r"), n(2))), "pi*r^2"),
    (power(apply(Kind.SIN, x), n(2)), "sin(x)^2"),
    (apply(Kind.CBRT, add(x, n(1))), "cbrt(x + 1)"),
    (apply(Kind.LOG, apply(Kind.SQRT, x)), "log(sqrt(x))"),
    (add(symbol("x_1"), symbol("alpha")), "x_1 + alpha"),
    (decimal(Fraction(1, 4), "0.25"), "0.25"),
    (n(-(10**5000)), "-1" + "0" * 5000),
]


@pytest.mark.parametrize(("formula", "expected"), PLAIN, ids=[t[:40] for _, t in PLAIN])
def test_plain_text(formula, expected):
    assert str(formula) == expected
    assert repr(formula) == f"Formula({expected!r})"
    assert parse(expected) == formula


@given(formulas())
def test_str_and_repr_read_back(formula):
    text = str(formula)
    assert parse(text) == formula, text
    assert eval(repr(formula), {"Formula": Formula}) == formula


@pytest.mark.slow
@pytest.mark.parametrize("shape", [neg, lambda f: add(n(1), f), lambda f: mul(y, f), lambda f: power(f, n(2)),
                                   lambda f: power(n(2), f), lambda f: div(n(1), f), lambda f: div(f, n(2)),
                                   lambda f: apply(Kind.SIN, f)],
                         ids=["negations", "sums", "products", "powers", "exponents", "denominators",
                              "numerators", "sines"])
def test_deep_formulas_read_back(shape):
    formula = x
    for _ in range(100_000):
        formula = shape(formula)
    assert parse(str(formula)) == formula
