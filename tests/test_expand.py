"""Expansion and term collection seen from Python."""
import operator
from functools import reduce
from math import comb

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _kalvora_core as k
from reference import shape, term_order, wrap
from test_tree import MAX, MIN, PI, full, message, mk


def chain(*terms):
    return reduce(lambda s, t: ("Add", s, t), terms)


def xp(n):
    return ("Pow", "x", n)


X1 = ("Add", "x", 1)
SQUARE = chain(xp(2), ("Mul", 2, "x"), 1)

CASES = [
    (("Mul", X1, ("Add", "x", 2)), chain(xp(2), ("Mul", 3, "x"), 2)),
    (("Pow", X1, 2), SQUARE), (("Mul", X1, X1), SQUARE),
    (("Pow", ("Add", "x", "y"), 2), chain(("Mul", 2, ("Mul", "y", "x")), ("Pow", "y", 2), xp(2))),
    (("Pow", X1, 3), chain(xp(3), ("Mul", 3, xp(2)), ("Mul", 3, "x"), 1)),
    (("Pow", ("Add", "x", -1), 2), chain(xp(2), ("Mul", -2, "x"), 1)),
    (("Mul", X1, ("Add", "x", -1)), chain(xp(2), -1)),
    (("Pow", ("Mul", 2, "x"), 3), ("Mul", 8, xp(3))),
    (("Mul", 3, ("Neg", ("Mul", 2, "y"))), ("Mul", -6, "y")),
    (("Neg", ("Mul", 2, "x")), ("Mul", -2, "x")), (("Mul", -1, "x"), ("Neg", "x")),
    # factor order inside a term
    (("Mul", "x", "y"), ("Mul", "y", "x")), (("Mul", "X", "x"), ("Mul", "x", "X")),
    (("Mul", PI, "x"), ("Mul", "x", PI)), (("Mul", ("Sqrt", 2), "x"), ("Mul", "x", ("Sqrt", 2))),
    (("Mul", ("Mul", "x", "y"), "x"), ("Mul", "y", xp(2))),
    (("Mul", xp(2), ("Pow", "y", 10)), ("Mul", ("Pow", "y", 10), xp(2))),
    (("Mul", ("Mul", ("Mul", 2, "x"), ("Pow", "y", 3)), "z"),
     ("Mul", 2, ("Mul", ("Mul", "z", ("Pow", "y", 3)), "x"))),
    (("Mul", ("Sqrt", 2), ("Sqrt", 2)), ("Pow", ("Sqrt", 2), 2)),
    # term order
    (("Add", 3, "x"), ("Add", "x", 3)), (("Add", "a", "b"), ("Add", "b", "a")),
    (chain(xp(10), xp(2), xp(9)), chain(xp(9), xp(2), xp(10))),
    (chain(xp(10), xp(9), "x"), chain(xp(9), xp(10), "x")),
    (chain("1b", "B", PI, "a", ("Sqrt", "x"), 7), chain("a", ("Sqrt", "x"), PI, "B", "1b", 7)),
    (chain("z", "é", "α"), chain("α", "é", "z")),
    (("Add", "x", xp("n")), ("Add", xp("n"), "x")),
    # like terms
    (chain(("Mul", "x", "x"), ("Mul", "x", 2), ("Mul", 1, "x"), ("Mul", 1, 2)), chain(xp(2), ("Mul", 3, "x"), 2)),
    (("Add", ("Mul", "x", "y"), ("Mul", "y", "x")), ("Mul", 2, ("Mul", "y", "x"))),
    (("Add", ("Mul", 2, "x"), ("Mul", "x", 2)), ("Mul", 4, "x")),
    (("Add", ("Mul", 2, "x"), ("Mul", -3, "x")), ("Neg", "x")),
    (("Add", xp(2), ("Mul", "x", "x")), ("Mul", 2, xp(2))),
    (("Add", "x", ("Add", "y", "x")), ("Add", "y", ("Mul", 2, "x"))),
    (("Add", ("Mul", MAX, "x"), "x"), ("Mul", MIN, "x")),
    (("Mul", 65536, ("Mul", 65536, "x")), 0),
    (("Add", "x", ("Neg", "x")), 0), (("Add", ("Mul", 2, "x"), ("Mul", -2, "x")), 0),
    (("Mul", ("Add", "x", "y"), ("Add", "x", ("Neg", "y"))), ("Add", ("Neg", ("Pow", "y", 2)), xp(2))),
    (("Pow", ("Add", "x", ("Neg", "x")), 2), 0),
    # keys are rendered texts; a group keeps the factors of its first member
    (("Add", ("Div", "1", 2), ("Rational", 1, 2)), ("Mul", 2, ("Div", "1", 2))),
    (("Add", ("Rational", 1, 2), ("Div", "1", 2)), ("Mul", 2, ("Rational", 1, 2))),
    (("Add", "yx", ("Mul", "x", "y")), ("Mul", 2, "yx")),
    (("Add", ("Mul", "x", "y"), "yx"), ("Mul", 2, ("Mul", "y", "x"))),
    # fractions are factors
    (("Mul", 2, ("Rational", 1, 2)), ("Mul", 2, ("Rational", 1, 2))),
    (("Add", ("Rational", 1, 2), ("Rational", 1, 3)), ("Add", ("Rational", 1, 3), ("Rational", 1, 2))),
    (("Add", ("Rational", 1, 2), ("Rational", 1, 2)), ("Mul", 2, ("Rational", 1, 2))),
    # exponents add up and wrap
    (("Mul", "x", xp(-1)), 1), (("Add", ("Mul", "x", xp(-1)), 4), 5),
    (("Mul", ("Mul", "x", "y"), xp(-1)), "y"), (("Mul", xp(-2), xp(3)), "x"),
    (("Mul", xp(2), xp(3)), xp(5)),
    (("Mul", xp(MAX), "x"), xp(MIN)),
    # what is not distributed
    (("Neg", X1), ("Neg", X1)), (("Add", "x", ("Neg", X1)), ("Add", ("Neg", X1), "x")),
    (("Mul", -1, X1), ("Add", ("Neg", "x"), -1)),
    (("Mul", X1, ("Neg", X1)), ("Add", ("Neg", X1), ("Neg", ("Mul", X1, "x")))),
    (xp(-2), xp(-2)), (("Pow", X1, -1), ("Pow", X1, -1)),
    (("Pow", X1, "n"), ("Pow", X1, "n")),
    (("Pow", ("Add", 1, "x"), ("Rational", 2, 1)), ("Pow", X1, ("Rational", 2, 1))),
    (("Pow", ("Add", "x", ("Neg", "x")), "n"), ("Pow", 0, "n")),
    (("Div", ("Pow", X1, 2), "y"), ("Div", ("Pow", X1, 2), "y")),
    (("Div", ("Add", 1, "x"), "y"), ("Div", ("Add", 1, "x"), "y")),
    (("Sqrt", ("Mul", X1, X1)), ("Sqrt", SQUARE)), (("Log", ("Pow", X1, 2)), ("Log", SQUARE)),
    (("Sin", ("Add", 1, "x")), ("Sin", X1)), (("Cos", ("Add", PI, 0)), -1),
    # a zero power is 1 without its base being multiplied out
    (("Add", ("Mul", ("Pow", ("Pow", ("Add", "x", "y"), 10**6), 0), "y"), "y"), ("Mul", 2, "y")),
]


@pytest.mark.parametrize("tree,expected", CASES)
def test_expand(tree, expected):
    assert shape(k.expand(mk(tree))) == full(expected)


def test_tenth_power_order():
    middle = [("Mul", m, xp(p)) for p, m in
              ((9, 10), (8, 45), (7, 120), (6, 210), (5, 252), (4, 210), (3, 120), (2, 45))]
    assert shape(k.expand(mk(("Pow", X1, 10)))) == full(chain(*middle, xp(10), ("Mul", 10, "x"), 1))


def degree_and_coefficient(term):
    name, *args = term
    if name in ("Int", "Var"):
        return (0, args[0]) if name == "Int" else (1, 1)
    if name == "Pow":
        return args[1][1], 1
    inner, coeff = (args[0], -1) if name == "Neg" else (args[1], args[0][1])
    return degree_and_coefficient(inner)[0], coeff


@pytest.mark.parametrize("n", [5, 33, 34, 40])
def test_binomial_coefficients_wrap(n):
    s, terms = shape(k.expand(mk(("Pow", X1, n)))), []
    while s[0] == "Add":
        s, t = s[1], s[2]
        terms.append(t)
    got = dict(degree_and_coefficient(t) for t in [s, *terms])
    assert got == {p: wrap(comb(n, p)) for p in range(n + 1) if wrap(comb(n, p))}
    if n == 34:
        assert all(got[p] < 0 for p in (16, 17, 18))


@pytest.mark.parametrize("leaf", [k.Int(3), k.Var("x"), k.Rational(1, 2), k.Pi(), k.E()])
def test_leaf_is_returned_itself(leaf):
    assert k.expand(leaf) is leaf


def test_none():
    assert k.expand(None) is None


@pytest.mark.parametrize("tree,text", [
    (("Div", "x", 0), "ゼロ除算エラー"), (("Mul", X1, ("Div", 1, ("Add", 2, -2))), "ゼロ除算エラー"),
    (("Pow", ("Add", "x", ("Sqrt", -4)), 2), "負の数の平方根はサポートされていません。"),
    (("Add", "x", ("Tan", ("Div", PI, 2))), "tan(pi/2) は定義されていません"),
    (("Mul", X1, ("Pow", 2, -32)), "エラー: 分母をゼロにすることはできません。"),
])
def test_errors_leave_argument_unchanged(tree, text):
    e = mk(tree)
    before = shape(e)
    with pytest.raises(ValueError) as excinfo:
        k.expand(e)
    assert message(excinfo) == text
    assert shape(e) == before


def read_terms(sum_tree):
    """[(key text, {letter: exponent}, coefficient)] of an expanded sum in letters, in its order."""
    terms, node = [], sum_tree
    while isinstance(node, k.Add):
        terms.append(node.right())
        node = node.left()
    terms.append(node)
    read = []
    for term in reversed(terms):
        coeff, product = 1, term
        if isinstance(term, k.Int):
            coeff, product = term.value(), None
        elif isinstance(term, k.Neg):
            coeff, product = -1, term.operand()
        elif isinstance(term, k.Mul) and isinstance(term.left(), k.Int):
            coeff, product = term.left().value(), term.right()
        exponents, factor = {}, product
        while factor is not None:
            last, factor = (factor.right(), factor.left()) if isinstance(factor, k.Mul) else (factor, None)
            base, e = (last.base(), last.exp().value()) if isinstance(last, k.Pow) else (last, 1)
            exponents[base.name()] = e
        read.append((product.to_string() if product else "1", exponents, coeff))
    return read


def assert_agrees_with_flint(result, names, exact):
    """An expanded sum in letters against FLINT's exact polynomial: every coefficient wrapped to 32 bits,
    zeros dropped, and the terms in term order (keys descending as bytes, the constant last)."""
    got = read_terms(result)
    wrapped = {tuple(map(int, m)): wrap(int(c)) for m, c in exact.to_dict().items()}
    assert {tuple(e.get(c, 0) for c in names): coeff for _, e, coeff in got} == {
        m: c for m, c in wrapped.items() if c != 0}
    keys = [key.encode() for key, _, _ in got]
    assert keys == term_order(keys)


def flint_ring(names):
    flint = pytest.importorskip("flint")
    return flint.fmpz_mpoly_ctx.get(tuple(names), "lex").gens()


@pytest.mark.slow
@pytest.mark.parametrize("names, power", [("xyZa", 8), ("xyzt", 20)])
def test_products_at_scale_agree_with_flint_modulo_2_32(names, power):
    """p(p + 1) for p = (sum of the letters + 1)^power."""
    letters = [k.Var(c) for c in names]
    p = k.Pow(reduce(k.Add, letters, k.Int(1)), k.Int(power))
    q = (sum(flint_ring(names)) + 1) ** power
    assert_agrees_with_flint(k.expand(k.Mul(p, k.Add(p, k.Int(1)))), names, q * (q + 1))


# Products of binomials in distinct letters: every letter once per term (keys straight from the
# exponent bits); capitals among small letters, and coefficients other than 1, change the order.
@pytest.mark.parametrize("names, coefficients", [
    ("abcdefghijklmn", [(1, 1)] * 14),
    ("aBcDeFgHiJkLmN", [(1, 1)] * 14),
    ("xyzXYZabcABC", [(2, -3), (1, 1), (-1, 5), (7, 1), (1, -1), (3, 2)] * 2),
])
def test_products_of_binomials_agree_with_flint(names, coefficients):
    factors = [k.Add(k.Mul(k.Int(a), k.Var(c)), k.Int(b)) for c, (a, b) in zip(names, coefficients)]
    exact = 1
    for g, (a, b) in zip(flint_ring(names), coefficients):
        exact *= a * g + b
    assert_agrees_with_flint(k.expand(reduce(k.Mul, factors)), names, exact)


# Powers of sums of distinct letters, by the multinomial theorem: large powers (binomials from
# Pascal's triangle), a capital, multi-digit exponents, and coefficients whose powers wrap.
@pytest.mark.parametrize("names, coefficients, power", [
    ("abcdef", [1] * 7, 6),
    ("xyZ", [3, -1, 2, 1], 18),
    ("abBc", [1, 5, -7, 1, 2], 13),
    ("xy", [1, 1, 1], 40),
    ("aBcD", [1, 2, -1, 3, 0], 7),  # no number: the last letter takes what is left
    ("Xa", [1, 1, 0], 9),
    ("abc", [1, 1, 1, 0], 5),
])
def test_multinomial_powers_agree_with_flint(names, coefficients, power):
    summands = [k.Mul(k.Int(a), k.Var(c)) for c, a in zip(names, coefficients)] + [k.Int(coefficients[-1])]
    exact = (sum(a * g for g, a in zip(flint_ring(names), coefficients)) + coefficients[-1]) ** power
    assert_agrees_with_flint(k.expand(k.Pow(reduce(k.Add, summands), k.Int(power))), names, exact)


# Products of at least 4096 term pairs whose factors share terms: the shared part is squared by
# symmetry, and the product at the root read back in term order. `second` makes the second factor
# from p and the letters, over the core's nodes and over FLINT's alike.
SHARING = {
    "p(p + 1)": ("xyz", [1, 1, 1, 1], 6, lambda p, v: p + 1),
    "p p": ("xyz", [1, 1, 1, 1], 6, lambda p, v: p),
    "p(p - 3x)": ("xyz", [1, 1, 1, 1], 6, lambda p, v: p + -3 * v[0]),
    "p(p + X^2)": ("xyX", [1, 2, -1, 3], 7, lambda p, v: p + v[2] ** 2),
    "p(1 + p)": ("abZ", [5, 1, 1, 1], 6, lambda p, v: 1 + p),
}


class Node:
    """A core node with the operators that the cases above use."""

    def __init__(self, node):
        self.node = node

    @staticmethod
    def of(value):
        return value if isinstance(value, Node) else Node(k.Int(value))

    def __add__(self, other):
        return Node(k.Add(self.node, Node.of(other).node))

    def __radd__(self, other):
        return Node(k.Add(Node.of(other).node, self.node))

    def __rmul__(self, other):
        return Node(k.Mul(Node.of(other).node, self.node))

    def __pow__(self, n):
        return Node(k.Pow(self.node, k.Int(n)))


@pytest.mark.parametrize("names, coefficients, power, second", SHARING.values(), ids=SHARING)
def test_products_sharing_terms_agree_with_flint(names, coefficients, power, second):
    letters = [Node(k.Var(c)) for c in names]
    gens = flint_ring(names)
    p = reduce(operator.add, [a * v for v, a in zip(letters, coefficients)], Node.of(coefficients[-1])) ** power
    exact = (sum(a * g for g, a in zip(gens, coefficients)) + coefficients[-1]) ** power
    assert_agrees_with_flint(k.expand(k.Mul(p.node, second(p, letters).node)), names, exact * second(exact, gens))


# Dense products at the root over random letters (capitals among them), coefficients and powers:
# summed by word and read back in term order, or sorted where the walk would cost more.
@settings(max_examples=60, deadline=None)
@given(names=st.lists(st.sampled_from("xyzaXYB"), min_size=1, max_size=3, unique=True),
       coefficients=st.lists(st.integers(-5, 5), min_size=4, max_size=4),
       powers=st.tuples(st.integers(1, 7), st.integers(1, 7)),
       shift=st.integers(-3, 3))
def test_dense_products_agree_with_flint(names, coefficients, powers, shift):
    letters = [Node(k.Var(c)) for c in names]
    gens = flint_ring(names)
    terms = [a * v for v, a in zip(letters, coefficients)] + [Node.of(coefficients[-1])]
    base = reduce(operator.add, terms[1:], terms[0])
    exact_base = sum(a * g for g, a in zip(gens, coefficients)) + coefficients[-1]
    p, q = base ** powers[0], (base + shift) ** powers[1]
    exact = exact_base ** powers[0] * (exact_base + shift) ** powers[1]
    assume(exact != 0)  # expands to the lone 0, which has no terms to compare
    assert_agrees_with_flint(k.expand(k.Mul(p.node, q.node)), names, exact)
