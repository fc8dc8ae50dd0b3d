"""expand, simplify and factor held to SymPy on random expressions: products and powers of
sums, fractions and roots over a few variables. Also: deep and wide inputs."""

from __future__ import annotations

import sys
from fractions import Fraction
from typing import Any

import pytest
import sympy
from hypothesis import given, settings
from hypothesis import strategies as st

import kalvora
from kalvora.formula import Formula, Kind, add, div, mul, number, power, rational, symbol, walk
from kalvora.functions import cbrt, sqrt

NAMES = ("x", "y", "z")
Pair = tuple[Formula, Any]  # the same expression as a Formula and in SymPy


def _leaf(with_roots: bool) -> st.SearchStrategy[Pair]:
    choices: list[st.SearchStrategy[Pair]] = [
        st.sampled_from(NAMES).map(lambda n: (symbol(n), sympy.Symbol(n))),
        st.integers(-4, 5).map(lambda k: (number(k), sympy.Integer(k))),
        st.sampled_from([Fraction(1, 2), Fraction(-2, 3), Fraction(5, 4)]).map(
            lambda q: (rational(q), sympy.Rational(q.numerator, q.denominator))),
    ]
    if with_roots:
        choices.append(st.sampled_from([2, 3, 8, 12]).map(lambda k: (sqrt(k), sympy.sqrt(k))))
        choices.append(st.sampled_from([2, 16]).map(lambda k: (cbrt(k), sympy.cbrt(k))))
    return st.one_of(choices)


def _combine(sub: st.SearchStrategy[Pair]) -> st.SearchStrategy[Pair]:
    def pair_add(a: Pair, b: Pair) -> Pair:
        return add(a[0], b[0]), a[1] + b[1]

    def pair_mul(a: Pair, b: Pair) -> Pair:
        return mul(a[0], b[0]), a[1] * b[1]

    def pair_power(a: Pair, k: int) -> Pair:
        return power(a[0], number(k)), a[1] ** k

    def pair_by_number(a: Pair, k: int) -> Pair:
        return div(a[0], number(k)), a[1] / k

    return st.one_of(
        st.builds(pair_add, sub, sub),
        st.builds(pair_mul, sub, sub),
        st.builds(pair_power, sub, st.integers(1, 3)),  # 0^0 is an error (see the examples)
        st.builds(pair_by_number, sub, st.sampled_from([2, 3, -4])),
    )


def expressions(with_roots: bool) -> st.SearchStrategy[Pair]:
    return st.recursive(_leaf(with_roots), _combine, max_leaves=12)


def to_sympy(f: Formula) -> Any:
    text = str(f).replace("^", "**")
    return sympy.sympify(text, locals={"e": sympy.E, "pi": sympy.pi, "cbrt": sympy.cbrt, "log": sympy.log})


def term_count(f: Formula) -> int:
    return len(f.args) if f.kind is Kind.ADD else 1


def products_of_sums(f: Formula) -> list[Formula]:
    found: list[Formula] = []

    def visit(node: Formula) -> None:
        if node.kind is Kind.MUL and any(arg.kind is Kind.ADD for arg in node.args):
            found.append(node)
        if node.kind is Kind.POW and node.args[0].kind is Kind.ADD:
            found.append(node)

    walk(f, visit)
    return found


POINTS = [{"x": Fraction(1, 3), "y": Fraction(-2), "z": Fraction(5, 7)},
          {"x": Fraction(-7, 2), "y": Fraction(3, 5), "z": Fraction(2)}]


@settings(max_examples=80, deadline=None)
@given(expressions(with_roots=True))
def test_expand_agrees_with_sympy(pair: Pair) -> None:
    formula, oracle = pair
    result = kalvora.expand(formula)
    assert products_of_sums(result) == []
    mine = to_sympy(result)
    for point in POINTS:
        values = {sympy.Symbol(n): sympy.Rational(v.numerator, v.denominator) for n, v in point.items()}
        assert sympy.nsimplify(sympy.expand(mine.subs(values) - oracle.subs(values))) == 0
    assert term_count(result) == len(sympy.Add.make_args(sympy.expand(oracle)))


@settings(max_examples=80, deadline=None)
@given(expressions(with_roots=True))
def test_simplify_agrees_with_expand_on_polynomials(pair: Pair) -> None:
    formula, oracle = pair
    assert sympy.expand(to_sympy(kalvora.simplify(formula)) - oracle) == 0


def _factors(f: Formula) -> list[Formula]:
    """The non-monomial factors of a factored formula."""
    candidates = f.args if f.kind is Kind.MUL else (f,)
    bases = [c.args[0] if c.kind is Kind.POW else c for c in candidates]
    return [b for b in bases if b.kind is Kind.ADD]


@settings(max_examples=80, deadline=None)
@given(expressions(with_roots=False))
def test_factor_multiplies_back_into_irreducible_factors(pair: Pair) -> None:
    formula, _ = pair
    factored = kalvora.factor(formula)
    assert kalvora.expand(factored) == kalvora.expand(formula)
    for f in _factors(factored):
        assert sympy.Poly(to_sympy(f)).is_irreducible, f


@settings(max_examples=60, deadline=None)
@given(expressions(with_roots=False), expressions(with_roots=False))
def test_quotients_are_in_lowest_terms(top: Pair, bottom: Pair) -> None:
    if sympy.expand(bottom[1]) == 0:
        return
    result = kalvora.simplify(div(top[0], bottom[0]))
    assert sympy.simplify(to_sympy(result) - top[1] / bottom[1]) == 0
    if result.kind is Kind.DIV:
        numerator, denominator = sympy.fraction(sympy.together(to_sympy(result)))
        assert sympy.gcd(sympy.expand(numerator), sympy.expand(denominator)).is_number


# --- scale: nothing recursive, nothing quadratic ------------------------------------------


@pytest.mark.slow
def test_deep_nesting() -> None:
    x = symbol("x")
    deep = x
    for _ in range(100_000):
        deep = power(add(deep, number(0)), number(1))
    assert kalvora.expand(deep) == x
    assert kalvora.simplify(deep) == x
    assert kalvora.factor(deep) == x
    assert sys.getrecursionlimit() < 100_000


@pytest.mark.slow
def test_million_terms() -> None:
    variables = [symbol(f"x_{i}") for i in range(20)]
    product = mul(*[add(v, number(1)) for v in variables])  # 2^20 terms
    result = kalvora.expand(product)
    assert term_count(result) == 2**20
    assert result.args[0] == mul(*variables) and result.args[-1] == number(1)
