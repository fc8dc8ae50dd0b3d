"""Polynomial results: their terms are made only when read, their LaTeX is written straight
from flint's terms, and integer polynomials are read by a reader of their own. Each of these
shortcuts is held to the path it replaces: the printer, an eagerly built tree, the general
Reader."""

from __future__ import annotations

import math
import pickle
from collections.abc import Callable

import flint
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kalvora
from kalvora.algebra.operations import read_quotient
from kalvora.algebra.order import formula_of
from kalvora.algebra.polynomials import _power_bits
from kalvora.formula import Formula, Kind, add, deferred_source, mul, neg, number, power, rational, symbol
from kalvora.latex import LatexPrinter

from formula_strategies import HUGE, LATIN, SUBSCRIPTED, unlimited_int_text

NAMES = LATIN[:6] + ["alpha", "beta", "Omega"] + SUBSCRIPTED
COEFFICIENTS = st.one_of(
    st.integers(-3, 3),
    st.sampled_from([10**30, -(10**30), 2**63]),
    st.fractions(min_value=-5, max_value=5, max_denominator=12),
)


@st.composite
def polynomials(draw: st.DrawFn) -> Formula:
    """A sum of monomials c·v^k···, unexpanded, times (1 + a sum) or raised to a small power,
    so that like terms collect, cancel and get many kinds of coefficient."""
    names = draw(st.lists(st.sampled_from(NAMES), min_size=1, max_size=4, unique=True))
    terms = []
    for _ in range(draw(st.integers(1, 5))):
        factors = [power(symbol(n), number(draw(st.integers(0, 3)))) for n in names if draw(st.booleans())]
        terms.append(mul(rational(draw(COEFFICIENTS)), *factors) if factors else rational(draw(COEFFICIENTS)))
    base = terms[0] if len(terms) == 1 else add(*terms)
    shape = draw(st.sampled_from(["plain", "squared", "product", "negated"]))
    if shape == "squared":
        return power(base, number(2))
    if shape == "product":
        return mul(base, add(number(1), *(symbol(n) for n in names)))
    return neg(base) if shape == "negated" else base


def _general(f: Formula, expanding: bool = True) -> Formula:
    """The result of the general Reader, bypassing the integer reader and deferral."""
    space, q = read_quotient(f)
    return formula_of(space, q, expanding=expanding)


def _eager(f: Formula) -> Formula:
    """An equal tree built node by node from the result's own operands."""
    return add(*f.args) if f.kind is Kind.ADD else f


@settings(max_examples=300, deadline=None)
@given(polynomials())
def test_latex_written_from_terms_is_the_printers(f: Formula) -> None:
    result = kalvora.expand(f)
    with unlimited_int_text():
        assert kalvora.latex(result) == LatexPrinter().doprint(result)


@settings(max_examples=200, deadline=None)
@given(polynomials())
def test_results_are_those_of_the_general_reader(f: Formula) -> None:
    result = kalvora.expand(f)
    general = _general(f)
    assert result == general and hash(result) == hash(general)
    assert kalvora.simplify(f) == _general(f, expanding=False)


@settings(max_examples=150, deadline=None)
@given(polynomials())
def test_deferred_sum_behaves_as_the_built_tree(f: Formula) -> None:
    built = _eager(kalvora.expand(f))
    assert kalvora.expand(f) == built  # compared before its terms exist
    fresh = kalvora.expand(f)
    assert hash(fresh) == hash(built) and fresh == built  # hashed before its terms exist
    assert {kalvora.expand(f): 1}[built] == 1
    with unlimited_int_text():
        assert str(kalvora.expand(f)) == str(built)
        assert pickle.loads(pickle.dumps(kalvora.expand(f))) == built
    x = symbol("x")
    assert kalvora.expand(f) + x == built + x
    assert kalvora.expand(f) * x == built * x


def test_a_sum_is_deferred_until_read() -> None:
    result = kalvora.expand("(x + y + 1)^3")
    assert deferred_source(result) is not None
    assert result.kind is Kind.ADD and len(result.args) == 10
    assert kalvora.expand("(x + 1)(x - 1) + 1") == power(symbol("x"), number(2))  # one term: built at once
    with pytest.raises(AttributeError, match="value"):
        result.value  # the property's own message, not a generic one
    with pytest.raises(AttributeError):
        result.no_such_attribute  # type: ignore[attr-defined]


@pytest.mark.parametrize("text, expected", [
    ("(x+1)^3", "x^{3} + 3x^{2} + 3x + 1"),
    ("(a-b)^2", "a^{2} - 2ab + b^{2}"),
    ("-(x+1)^2", "-x^{2} - 2x - 1"),
    ("(x/2-1)^2", r"\frac{1}{4}x^{2} - x + 1"),
    ("-(x/2+1)^2", r"-\frac{1}{4}x^{2} - x - 1"),
    ("(x-2/3)(x+2/3)", r"x^{2} - \frac{4}{9}"),
    ("(alpha + x_1)^2 + beta*x", r"x\beta + x_{1}^{2} + 2x_{1}\alpha + \alpha^{2}"),
    ("(alpha + beta)^2", r"\alpha^{2} + 2\alpha\beta + \beta^{2}"),
    ("x^1000 + 1", "x^{1000} + 1"),  # sparse: left to the printer
    ("(x+1)(x-1) - x^2 + x", "x - 1"),
])
def test_latex_of_results(text: str, expected: str) -> None:
    assert kalvora.latex(kalvora.expand(text)) == expected


@pytest.mark.parametrize("text", [
    "0^0", "(x-x)^0", "x^(-1)", "(x+1)^(-2)*(x+1)^3", "x/2 + 1", "0.5x + 1", "sqrt(2)x + 1",
    "2^(1/2) + x", "x^y + 1", "(x+1)^(1+1)", "(-2)^3 x + 1", "5", "-x", "pi x + x",
])
def test_inputs_the_integer_reader_leaves_or_takes_give_the_general_result(text: str) -> None:
    for operation, expanding in ((kalvora.expand, True), (kalvora.simplify, False)):
        assert _outcome(lambda: operation(text)) == _outcome(lambda: _general(kalvora.parse(text), expanding))


_x, _y = symbol("x"), symbol("y")
_p = power(add(_x, _y, number(1)), number(2))  # one node, used in several places below


@pytest.mark.parametrize("f", [
    _x,
    mul(_p, add(_p, number(1))),  # a shared subtree, read once
    add(mul(_p, _x), neg(_p), power(_p, number(0))),
    mul(number(3), number(4)),  # no variable at all
    mul(add(_x, number(1)), mul(_y, power(_x, number(2)))),  # y met only deep inside
    power(mul(number(2), _x), number(3)),
])
def test_built_inputs_the_integer_reader_takes_give_the_general_result(f: Formula) -> None:
    assert kalvora.expand(f) == _general(f)
    assert kalvora.simplify(f) == _general(f, expanding=False)


def _full_power_bits(p: flint.fmpz_mpoly, exponent: int) -> float:
    """The size guard's estimate with every bound computed: what the guard must equal."""
    count, coefficients = len(p), p.coeffs()
    if count == 0:
        return 0.0
    if count == 1 and abs(int(coefficients[0])) == 1:
        return 0.0
    bits = exponent * (max(int(c.bit_length()) for c in coefficients) + math.log2(count) + 1)
    if bits > 2**21 or count == 1:
        return math.inf if bits > 2**21 else bits
    multinomial = math.lgamma(exponent + count) - math.lgamma(exponent + 1) - math.lgamma(count)
    dense = sum(math.log(exponent * int(d) + 1) for d in p.degrees())
    return bits * math.exp(min(multinomial, dense, 700.0))


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.tuples(st.integers(0, 6), st.integers(0, 6), st.integers(0, 3)),
                       st.integers(-(2**70), 2**70).filter(bool), max_size=8),
       st.integers(0, 5000))
def test_size_guard_reads_degrees_only_when_they_could_lower_the_estimate(
        terms: dict[tuple[int, int, int], int], exponent: int) -> None:
    p = flint.fmpz_mpoly_ctx.get(("x", "y", "z"), "deglex").from_dict(terms)
    assert _power_bits(p, exponent) == _full_power_bits(p, exponent)


def _outcome(compute: Callable[[], Formula]) -> Formula | str:
    try:
        return compute()
    except kalvora.MathError as error:
        return str(error)


def test_huge_coefficients_and_deep_input() -> None:
    x = symbol("x")
    with unlimited_int_text():
        big = kalvora.expand(mul(number(HUGE), x) + number(1))
        assert kalvora.latex(big) == LatexPrinter().doprint(big)
    deep = x + 1
    for _ in range(100_000):
        deep = neg(deep)
    assert kalvora.expand(deep * (x + 1)) == kalvora.expand("(x+1)^2")
