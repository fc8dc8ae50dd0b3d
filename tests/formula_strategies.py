"""Hypothesis strategies for random `kalvora.Formula` values, of every kind of node.

`formulas()` draws trees built through the public constructors (so they keep the shape
rules), with small, big and negative integers, typed decimals, Latin, Greek and subscripted
names, the constants, and nested sums, products, quotients, powers and functions.
`sample(strategy, count)` draws a fixed list of examples, for checks that need many
formulas in one batch (an external program run once). `unlimited_int_text()` lifts Python's
limit on converting long digit strings, for oracles that use int() and str() themselves.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from fractions import Fraction

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kalvora.formula import E, FUNCTIONS, PI, add, decimal, div, mul, neg, number, power, symbol, apply

LATIN = [c for c in "abcdfghkmnprstuvwxyzABCXY"]  # every letter but e, which is Napier's constant
GREEK = ["alpha", "beta", "theta", "lambda", "omega", "phi", "Delta", "Omega", "epsilon"]
SUBSCRIPTED = ["x_1", "x_2", "a_12", "theta_0", "x_ab", "y_n", "alpha_1"]
# Past Python's default limit for converting integers to text (4,300 digits).
HUGE = 10**4400 + 12345

integers = st.one_of(
    st.integers(0, 12),
    st.integers(-12, -1),
    st.integers(-(10**40), 10**40),
    st.sampled_from([1, -1, 0, 2**31, -(2**63), HUGE, -HUGE]),
)


@st.composite
def decimals(draw: st.DrawFn) -> object:
    """A decimal as typed: ``0.25``, ``12.50``, ``3.0``, possibly negated (``-0.5``)."""
    whole = draw(st.integers(0, 999))
    digits = draw(st.text("0123456789", min_size=1, max_size=4))
    spelling = f"{whole}.{digits}"
    number_node = decimal(Fraction(spelling), spelling)
    return neg(number_node) if draw(st.booleans()) else number_node


names = st.sampled_from(LATIN + GREEK + SUBSCRIPTED)

leaves = st.one_of(
    integers.map(number),
    decimals(),
    names.map(symbol),
    st.sampled_from([PI, E]),
)


def _extend(children: st.SearchStrategy) -> st.SearchStrategy:
    operands = st.lists(children, min_size=2, max_size=4)
    return st.one_of(
        children.map(neg),
        operands.map(lambda terms: add(*terms)),
        operands.map(lambda factors: mul(*factors)),
        st.tuples(children, children).map(lambda pair: div(*pair)),
        st.tuples(children, children).map(lambda pair: power(*pair)),
        st.tuples(st.sampled_from(sorted(FUNCTIONS, key=str)), children).map(lambda pair: apply(*pair)),
    )


def formulas(depth: int = 4) -> st.SearchStrategy:
    """Formulas at most `depth` operations deep; at every level an operation is twice as
    likely as a leaf (st.recursive mostly draws a handful of nodes, too few for nesting)."""
    strategy: st.SearchStrategy = leaves
    for _ in range(depth):
        operation = _extend(strategy)
        strategy = st.one_of(leaves, operation, operation)
    return strategy


def sample(strategy: st.SearchStrategy, count: int) -> list:
    """`count` examples of the strategy, the same on every run."""
    found: list = []

    @settings(max_examples=count, derandomize=True, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(strategy)
    def collect(example: object) -> None:
        found.append(example)

    collect()
    return found


@contextmanager
def unlimited_int_text() -> Iterator[None]:
    """Python's own int() and str() without their limit on digits, for the oracle's side."""
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        yield
    finally:
        sys.set_int_max_str_digits(limit)
