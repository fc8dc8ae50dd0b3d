"""The native simplify and expand against the literal model in reference.py, on random and on corner trees."""
import operator
from functools import reduce

import _kalvora_core as core
import pytest
import sympy
from hypothesis import HealthCheck, assume, event, given, note, reject, settings
from hypothesis import strategies as st

import reference as ref
from strategies import (EXPONENTS, EXTREME_INTS, INT_MAX, INT_MIN, RULE_INTS, any_trees, letter_polynomials,
                        polynomials, powers_and_products_of_sums, tame_trees)

MAX_PRODUCTS = 1500  # keeps every example to a fraction of a second; larger expansions are rejected
HEALTH = [HealthCheck.too_slow, HealthCheck.filter_too_much]
FAST = settings(max_examples=400, deadline=None, suppress_health_check=HEALTH)


def walk(e):
    yield e
    for child in ref.children(e):
        yield from walk(child)


def outcome(operation, e):
    """(result, None) or (None, message of the ValueError raised); any other exception escapes."""
    try:
        return operation(e), None
    except ValueError as error:
        return None, str(error)


def assert_same_sharing(got, want, argument_ids):
    """Where the model hands back a node of the argument, the core hands back that very node; elsewhere a new one."""
    if id(want) in argument_ids:
        assert got is want, f"expected the argument's own node {ref.shape(want)}"
    else:
        assert id(got) not in argument_ids, f"expected a new node, got the argument's {ref.shape(got)}"
    for g, w in zip(ref.children(got), ref.children(want)):
        assert_same_sharing(g, w, argument_ids)


def model_run(operation, e):
    """The model's outcome, and the run that tells what is fixed about it; too large an expansion is rejected."""
    run = ref.Expansion(MAX_PRODUCTS)
    try:
        return outcome(run.expand if operation == "expand" else ref.simplify, e), run
    except ref.TooLarge:
        reject()


def assert_agrees(operation, e):
    """core.<operation>(e) gives the model's tree, text and shared leaves, or raises its error; e is left as it was.

    Returns the model's run, whose flags say which comparisons an open factor order left out."""
    argument = list(walk(e))  # keeps the argument's Python objects alive, so that identity is comparable
    before = ref.shape(e)
    (want, want_error), run = model_run(operation, e)
    got, got_error = outcome(getattr(core, operation), e)
    assert ref.shape(e) == before, "the argument changed"
    assert got_error == want_error
    if want_error is None and not run.text_is_open:
        assert got.to_string() == want.to_string()
    if want_error is None and not run.order_is_open:
        assert ref.shape(got) == ref.shape(want)
        assert_same_sharing(got, want, {id(node) for node in argument})
    return run


@pytest.mark.parametrize("operation", ["simplify", "expand"])
@FAST
@given(e=st.one_of(any_trees(), polynomials()))
def test_core_agrees_with_model(operation, e):
    note(f"argument: {ref.shape(e)}")
    run = assert_agrees(operation, e)
    event("text compared" if not run.text_is_open else "only errors compared: factor order changes the text")
    event("shape compared" if not run.order_is_open else "shape not compared: factor order open")


@FAST
@given(e=letter_polynomials())
def test_polynomials_in_letters_agree_with_model(e):
    note(f"argument: {ref.shape(e)}")
    assert_agrees("expand", e)


@FAST
@given(e=powers_and_products_of_sums())
def test_powers_and_products_of_sums_agree_with_model(e):
    """Powers of sums whose terms share no letter are taken by the multinomial theorem, products of
    sums without a common letter term by term, and terms are ordered by ranks of their exponents."""
    note(f"argument: {ref.shape(e)}")
    assert_agrees("expand", e)


# Subtrees that simplify refuses, one per error message.
FAILING = (
    lambda: core.Div(core.Var("x"), core.Int(0)),
    lambda: core.Sqrt(core.Int(-4)),
    lambda: core.Tan(core.Div(core.Pi(), core.Int(2))),
    lambda: core.Pow(core.Int(2), core.Int(-32)),
    lambda: core.Neg(core.Rational(INT_MIN, 3)),
)


def replace_at(e, index, change):
    """e with its node number `index` (counted in preorder, modulo e's size) replaced by change(node)."""
    index %= sum(1 for _ in walk(e))
    path = []  # (node, number of the child taken) from the root down
    while index:
        index -= 1
        for i, child in enumerate(ref.children(e)):
            size = sum(1 for _ in walk(child))
            if index < size:
                path.append((e, i))
                e = child
                break
            index -= size
    e = change(e)
    for parent, i in reversed(path):
        kids = ref.children(parent)
        kids[i] = e
        e = ref.make(ref.kind(parent), *kids)
    return e


def zero_power_over_error(failing, depth):
    """Replaces a node n by (n with a failing subtree beside its node number `depth`)^0."""
    return lambda n: core.Pow(replace_at(n, depth, lambda m: core.Add(m, failing())), core.Int(0))


@settings(max_examples=100, deadline=None, suppress_health_check=HEALTH)
@given(e=st.one_of(letter_polynomials(4), tame_trees(3)), first=st.sampled_from(FAILING),
       second=st.sampled_from((None, *FAILING)), depths=st.tuples(*[st.integers(0, 50)] * 3))
def test_errors_under_zero_powers_agree_with_model(e, first, second, depths):
    """An error in the base of a zero power, at every position of the tree, at any depth in the base:
    expand raises what simplify raises (the first error met); a second one decides which comes first."""
    for position in range(sum(1 for _ in walk(e))):
        planted = replace_at(e, position, zero_power_over_error(first, depths[0]))
        if second is not None:
            planted = replace_at(planted, depths[1], zero_power_over_error(second, depths[2]))
        note(f"argument: {ref.shape(planted)}")
        assert_agrees("expand", planted)
        assert outcome(core.expand, planted)[1] == outcome(core.simplify, planted)[1] is not None


X, Y = core.Var("x"), core.Var("y")


def plus_one(e=X):
    return core.Add(e, core.Int(1))


def ints(*values):
    return map(core.Int, values)


LONG = "q" * 60

CORNERS = {
    # names that render like other nodes: grouped by text, the first member's factor kept
    "var \\pi beside Pi": core.Add(core.Mul(core.Var("\\pi"), X), core.Mul(core.Pi(), X)),
    "Pi beside var \\pi": core.Add(core.Pi(), core.Var("\\pi")),
    "var e times E": core.Mul(core.Var("e"), core.Mul(core.E(), core.Var("e"))),
    "var \\pi squared times Pi": core.Mul(core.Pow(core.Var("\\pi"), core.Int(2)), core.Pi()),
    "half beside symbolic half": core.Add(core.Rational(1, 2), core.Div(core.Var("1"), core.Int(2))),
    "symbolic half beside half": core.Add(core.Div(core.Var("1"), core.Int(2)), core.Rational(1, 2)),
    "half times symbolic half": core.Mul(core.Rational(1, 2), core.Div(core.Var("1"), core.Int(2))),
    "half beside Div(1, 2)": core.Add(core.Rational(1, 2), core.Div(*ints(1, 2))),
    "var x^{2} beside x squared": core.Add(core.Var("x^{2}"), core.Pow(X, core.Int(2))),
    "byte order of names": core.Add(core.Add(core.Add(core.Var("α"), core.Var("X")), core.Var("")),
                                    core.Add(core.Var("\\pi"), core.Var("2"))),
    "var named 1 beside a constant": core.Add(core.Var("1"), core.Int(3)),
    "fraction 1/1 beside a constant": core.Add(core.Rational(1, 1), core.Int(2)),
    "empty name next to a digit": core.Mul(core.Var(""), core.Add(core.Var("2"), core.Int(3))),
    # long texts that agree on their first bytes: ordered and grouped by the whole text
    "long names differing late": core.Mul(core.Add(core.Var(LONG + "x"), core.Var(LONG + "y")),
                                          core.Add(core.Var(LONG + "y"), core.Var(LONG[:40]))),
    "names that begin other names": core.Add(core.Add(core.Add(X, core.Var("xy")), core.Var(LONG[:40])), core.Var(LONG)),
    "product of names that begin others": core.Mul(core.Mul(core.Mul(X, core.Var("xy")), core.Var(LONG[:40])), core.Var(LONG)),
    "long name beside a root rendering alike": core.Add(core.Mul(core.Sqrt(core.Var(LONG)), X),
                                                        core.Mul(X, core.Var("\\sqrt{" + LONG + "}"))),
    "roots of long sums differing late": core.Add(core.Sqrt(core.Add(core.Var(LONG), X)),
                                                  core.Mul(core.Int(2), core.Sqrt(core.Add(core.Var(LONG), Y)))),
    # negative and cancelling exponents
    "x over x": core.Add(core.Mul(X, core.Pow(X, core.Int(-1))), core.Int(4)),
    "squares cancel": core.Mul(core.Pow(X, core.Int(2)), core.Pow(X, core.Int(-2))),
    "inverse sum times sum": core.Mul(core.Pow(plus_one(), core.Int(-1)), plus_one()),
    "product base back to exponent 1": core.Mul(core.Pow(core.Mul(core.Int(2), X), core.Int(2)),
                                                core.Pow(core.Mul(core.Int(2), X), core.Int(-1))),
    # wrapping coefficients and exponents
    "(x + 1)^33": core.Pow(plus_one(), core.Int(33)),
    "(x + 1)^34": core.Pow(plus_one(), core.Int(34)),
    "coefficient wraps": core.Add(core.Mul(core.Int(INT_MAX), X), X),
    "exponent wraps": core.Mul(core.Pow(X, core.Int(INT_MAX)), X),
    "product wraps to zero": core.Add(core.Mul(*ints(65536, 65536)), X),
    # sums inside products, powers and functions
    "(x + 1)^10": core.Pow(plus_one(), core.Int(10)),
    "sum times cubed difference": core.Mul(plus_one(), core.Pow(core.Add(X, core.Neg(Y)), core.Int(3))),
    "squared product of sums": core.Pow(core.Mul(plus_one(), plus_one(Y)), core.Int(2)),
    "root of a square": core.Sqrt(core.Mul(plus_one(), plus_one())),
    "log of a square": core.Log(core.Pow(plus_one(), core.Int(2))),
    "quotient kept whole": core.Div(core.Pow(plus_one(), core.Int(2)), Y),
    "symbolic power kept": core.Pow(plus_one(), core.Var("n")),
    # term order on letters: a letter against "^{" (upper case sorts below it, lower case
    # above), exponents of one and two digits, a letter present against one absent
    "letters of both cases": core.Pow(core.Add(core.Add(core.Add(X, core.Var("X")), Y), core.Int(1)), core.Int(3)),
    "powers of several digits": core.Mul(core.Pow(core.Add(core.Var("a"), Y), core.Int(12)),
                                         core.Add(core.Pow(Y, core.Int(9)), core.Var("Z"))),
    "exponent digits a prefix of another's": core.Add(core.Add(core.Pow(X, core.Int(21)), core.Pow(X, core.Int(2))),
                                                      core.Pow(X, core.Int(2100))),
    # powers of sums whose terms share a letter, also in different bits of its exponents
    "(x^2 + x + 1)^2": core.Pow(core.Add(core.Add(core.Pow(X, core.Int(2)), X), core.Int(1)), core.Int(2)),
    "(xy + x + y)^3": core.Pow(core.Add(core.Add(core.Mul(X, Y), X), Y), core.Int(3)),
    # like terms from different leaves: the first member's nodes are kept
    "(x + y)(x + y) over four leaves": core.Mul(core.Add(X, Y), core.Add(core.Var("x"), core.Var("y"))),
    "-1 times -(x + 1)": core.Mul(core.Int(-1), core.Neg(plus_one())),
    "-(x + 1) squared by hand": core.Mul(core.Neg(plus_one()), core.Neg(plus_one())),
    "x minus (x + 1)": core.Add(X, core.Neg(plus_one())),
    # every division by a root rationalised: the simplified numerator is not simplified again
    "x / sqrt(2) / sqrt(3) / ...": reduce(lambda e, k: core.Div(e, core.Sqrt(core.Int(k))), (2, 3, 2, 8, 12, 2, 3), X),
    "(x + y) / sqrt(2) / (x + y)": core.Div(core.Div(core.Add(X, Y), core.Sqrt(core.Int(2))), core.Add(X, Y)),
    # the extreme integers and the errors
    "-2147483648 / -1": core.Div(*ints(INT_MIN, -1)),
    "divided by a zero fraction": core.Div(core.Int(0), core.Rational(0, 1)),
    "zero fraction over itself": core.Div(core.Rational(0, 1), core.Rational(0, 1)),
    "odd number to the -2147483648": core.Pow(*ints(3, INT_MIN)),
    "left error first": core.Add(core.Div(X, core.Int(0)), core.Sqrt(core.Int(-4))),
    "tan(pi/2) under a sum": core.Mul(plus_one(), core.Tan(core.Div(core.Pi(), core.Int(2)))),
}


# Each rule on the integers and arguments at its boundaries.
PI_ARGUMENTS = [core.Int(0), core.Pi(), *(core.Div(core.Pi(), core.Int(n)) for n in (1, 2, 4, 3, 0, -2, -4))]
RULE_TABLE = [
    *(node(core.Int(n)) for node in (core.Neg, core.Sqrt, core.Cbrt, core.Log) for n in RULE_INTS + EXTREME_INTS),
    *(node(a) for node in (core.Sin, core.Cos, core.Tan) for a in PI_ARGUMENTS),
    *(core.Pow(*ints(m, k)) for m in (0, 1, -1, 2, -2, 3, 65536) for k in EXPONENTS),
    *(node(*ints(p, q)) for node in (core.Add, core.Mul, core.Div) for p in (0, 1, -1, 6, INT_MIN, INT_MAX)
      for q in (0, 1, -1, -4, 4, INT_MIN, INT_MAX)),
]


@pytest.mark.parametrize("operation", ["simplify", "expand"])
@pytest.mark.parametrize("e", [*CORNERS.values(), *RULE_TABLE], ids=[*CORNERS, *(e.to_string() for e in RULE_TABLE)])
def test_core_agrees_with_model_on_corners(operation, e):
    assert_agrees(operation, e)


def total(*summands):
    return reduce(core.Add, summands)


def power(base, n):
    return core.Pow(base, core.Int(n))


x, y, z, a, X, Z = map(core.Var, "xyzaXZ")
P3 = power(total(x, y, z, core.Int(1)), 3)

# Products at the root dense enough to be summed by word, whose terms are then read back in
# term order: first powers before a lowercase letter, before a capital and at the end of a
# term, exponents whose texts sort apart from their values, sums that cancel.
ROOT_PRODUCTS = {
    "mixed letters": core.Mul(power(total(y, x, X, core.Int(1)), 3), power(total(y, X, core.Int(2)), 2)),
    "first power before a capital": core.Mul(power(total(y, x, core.Int(1)), 4), power(total(y, X, core.Int(1)), 2)),
    "lowercase letters and a capital": core.Mul(power(total(a, z, core.Int(1)), 4), power(total(z, X, a, core.Int(1)), 2)),
    "exponents past 9": core.Mul(power(plus_one(x), 11), total(x, core.Int(2))),
    "cancelling": core.Mul(power(total(x, y, core.Int(1)), 3), power(total(x, core.Neg(y)), 3)),
    "capitals only": core.Mul(power(total(X, Z, core.Int(1)), 4), plus_one(X)),
    "p(p + 1)": core.Mul(P3, plus_one(P3)),
}


@pytest.mark.parametrize("e", ROOT_PRODUCTS.values(), ids=ROOT_PRODUCTS)
def test_root_products_agree_with_model(e):
    run = assert_agrees("expand", e)
    assert not run.order_is_open


POINT = {"x": sympy.Rational(13, 17), "y": sympy.Rational(-7, 9), "X": sympy.Rational(5, 3), "α": sympy.Rational(2, 11)}
SYMPY = {
    "Neg": operator.neg, "Add": operator.add, "Mul": operator.mul, "Div": operator.truediv, "Pow": operator.pow,
    "Sqrt": sympy.sqrt, "Cbrt": lambda a: sympy.real_root(a, 3),
    "Sin": sympy.sin, "Cos": sympy.cos, "Tan": sympy.tan, "Log": sympy.log,
}
LEAVES = {"Int": lambda e: sympy.Integer(e.value()), "Var": lambda e: POINT[e.name()],
          "Rational": lambda e: sympy.Rational(e.num(), e.den()), "Pi": lambda e: sympy.pi, "E": lambda e: sympy.E}


def value_at_point(e):
    """The exact value of e with its variables set to fixed, unremarkable fractions."""
    if ref.kind(e) in LEAVES:
        return LEAVES[ref.kind(e)](e)
    return SYMPY[ref.kind(e)](*map(value_at_point, ref.children(e)))


def integer_bound(e):
    """Bounds every integer that simplifying and expanding e can produce (variables and constants count as 1)."""
    parts = [integer_bound(child) for child in ref.children(e)]
    k = ref.kind(e)
    if k == "Int":
        return abs(e.value())
    if k == "Rational":
        return max(abs(e.num()), e.den())
    if k == "Add":
        return parts[0] + parts[1]
    if k in ("Mul", "Div"):
        return parts[0] * parts[1]
    if k == "Pow" and ref.kind(e.exp()) == "Int":
        return parts[0] ** abs(e.exp().value())
    return max([1, *parts] if k in ("Var", "Pi", "E", "Neg", "Pow") else [2, *parts])  # trig values reach 2


def reads_back_otherwise(e):
    """Whether some term of expand(e) may read back otherwise than it was collected: a negated sum
    times -1 is one term that looks like several, and a factor whose exponents cancel down to 1
    reads back as the product or power it stands for."""
    return any(ref.kind(n) == "Neg" or ref.kind(n) == "Pow" and ref.kind(n.exp()) == "Int" and n.exp().value() < 0
               for n in walk(e))


def summands(e):
    """The terms of a left-nested sum."""
    rights = []
    while ref.kind(e) == "Add":
        rights.append(e.right())
        e = e.left()
    return [e, *reversed(rights)]


def is_collected(e, run):
    """Non-zero terms with distinct keys, descending, the constant last."""
    monomials = [ref.parse_monomial(t) for t in summands(e)]
    keys = [run.key(m) for m in monomials]
    return all(m.coeff for m in monomials) and keys == ref.term_order(set(keys))


@settings(max_examples=150, deadline=None, suppress_health_check=HEALTH)
@given(tame_trees())
def test_expand_is_equal_to_its_argument_and_collected(e):
    assume(integer_bound(e) < 2**31)  # no integer wraps, so the arithmetic is exact
    note(f"argument: {ref.shape(e)}")
    (_, error), _ = model_run("expand", e)  # rejects expansions too large for the model
    assume(error is None)
    expected = value_at_point(e)
    assume(expected.is_finite)  # a pole or 0/0 at the point, which the rules may cancel
    # The rules are identities of real numbers: cbrt((sqrt(y))^3) = sqrt(y) fails where sqrt(y) is imaginary.
    assume(all(value_at_point(node).is_real for node in walk(e)))
    result = core.expand(e)
    note(f"result: {ref.shape(result)}")
    difference = sympy.N(value_at_point(result) - expected, 50)
    assert abs(difference) <= 1e-30 * (1 + abs(sympy.N(expected, 50)))
    if not reads_back_otherwise(e) and not ref.is_int(result, 0):
        run = ref.Expansion()
        assert is_collected(result, run) or run.text_is_open
