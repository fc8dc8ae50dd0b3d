"""Hypothesis strategies for expression trees of the native core."""
from functools import reduce

import _kalvora_core as core
from hypothesis import strategies as st

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
RULE_INTS = (0, 1, -1, 2, 3, 4, -4, 8, -8, 9, 12, 27, 72)  # identities, squares and cubes, square factors
EXTREME_INTS = (INT_MIN, INT_MAX, -INT_MAX, 46340**2, 2**30, 65536, 46341, 1290**3)
EXPONENTS = (*range(-3, 7), 31, 32, -31, -32, INT_MIN, INT_MAX)  # powers that wrap to 0 or to INT_MIN
# Names that render like other nodes (\pi and Pi, e and E, \frac{1}{2} and a half, 2 and Int 2),
# that sort around each other by byte (upper case, LaTeX commands, UTF-8), the empty name, long
# names that agree on their first fifty bytes, and names that end in a control word or start one.
NAMES = ("x", "y", "X", "\\pi", "x^{2}", "yx", "", "α", "e", "\\frac{1}{2}", "2", "w" * 50, "w" * 50 + "v",
         "\\alpha", "w" * 50 + "\\pi", "\\")
FRACTIONS = ((1, 2), (2, 4), (-1, 2), (4, 2), (0, 5), (-3, 1), (1, -3), (INT_MAX, 2), (INT_MIN, 3), (1, INT_MAX))
UNARY = (core.Neg, core.Sqrt, core.Cbrt, core.Sin, core.Cos, core.Tan, core.Log)
BINARY = (core.Add, core.Add, core.Mul, core.Mul, core.Div)  # sums and products twice as likely

# Arguments the trigonometric table knows, and its near misses.
pi_fractions = st.sampled_from((1, 2, 4, 3, 0, -2)).map(lambda n: core.Div(core.Pi(), core.Int(n)))


def nested(leaf, extend, depth):
    """Trees at most `depth` levels deep: at each level a leaf, or one of the branches of `extend`, each as likely.

    (st.recursive mostly draws trees of a handful of nodes, too few for products of sums.)"""
    if depth == 0:
        return leaf
    # one_of merges nested one_of branches; mapping keeps all leaves together as one branch
    return st.one_of(leaf.map(lambda e: e), extend(nested(leaf, extend, depth - 1)))


def trees(ints, names, fractions, exponents, depth):
    """Trees over all sixteen kinds; `exponents(sub)` draws the exponent of a power."""
    leaf = st.one_of(
        ints.map(core.Int),
        names.map(core.Var),
        fractions.map(lambda nd: core.Rational(*nd)),
        st.builds(core.Pi),
        st.builds(core.E),
        pi_fractions,
    )

    def extend(sub):
        # what the root, logarithm and trigonometric rules look for in their operand
        operand = st.one_of(sub, ints.map(core.Int), pi_fractions, st.builds(core.E),
                            st.builds(lambda a: core.Pow(core.E(), a), sub),
                            st.builds(lambda a: core.Pow(a, core.Int(3)), sub))
        return st.one_of(
            st.builds(lambda node, a: node(a), st.sampled_from(UNARY), operand),
            st.builds(lambda node, a, b: node(a, b), st.sampled_from(BINARY), sub, sub),
            st.builds(core.Pow, sub, exponents(sub)),
            st.builds(lambda a, k: core.Div(a, core.Sqrt(core.Int(k))), sub, st.sampled_from((2, 3, 8, 12))),
        )

    return nested(leaf, extend, depth)


def any_trees(depth=4):
    """Trees with extreme integers and names that collide in rendering: wrapping and errors included."""
    ints = st.one_of(st.sampled_from(RULE_INTS), st.sampled_from(EXTREME_INTS))
    exponents = st.sampled_from(EXPONENTS).map(core.Int)
    return trees(ints, st.sampled_from(NAMES), st.sampled_from(FRACTIONS),
                 lambda sub: st.one_of(exponents, sub), depth)


def tame_trees(depth=4):
    """Trees with small integers, distinct-looking names and small integer exponents."""
    fractions = st.sampled_from(((1, 2), (-1, 2), (3, 4), (-5, 3), (2, 1)))
    return trees(st.integers(-4, 4), st.sampled_from(("x", "y", "X", "α")), fractions,
                 lambda sub: st.integers(-2, 4).map(core.Int), depth)


# Leaves that render alike in pairs, so that terms and factors collide by text.
COLLIDING = (
    lambda: core.Var("x"), lambda: core.Var("\\pi"), core.Pi, lambda: core.Var("e"), core.E,
    lambda: core.Rational(1, 2), lambda: core.Var("\\frac{1}{2}"), lambda: core.Div(core.Var("1"), core.Int(2)),
    lambda: core.Int(2), lambda: core.Var("2"), lambda: core.Rational(2, 1), lambda: core.Int(-1),
)


def polynomials(depth=5):
    """Sums, products and small powers over colliding leaves: the ground of term collection."""
    leaf = st.sampled_from(COLLIDING).map(lambda make: make())

    def extend(sub):
        return st.one_of(
            st.builds(core.Add, sub, sub),
            st.builds(core.Mul, sub, sub),
            st.builds(core.Neg, sub),
            st.builds(core.Pow, sub, st.integers(-1, 4).map(core.Int)),
        )

    return nested(leaf, extend, depth)


# One node per letter, as user code writes x = Var("x") once and reuses it.
LETTERS = tuple(core.Var(c) for c in "xyzaX")


def letter_polynomials(depth=5):
    """Sums, products, negations and powers over integers and shared one-letter variables.

    The everyday input, expanded on packed exponents; negated sums and huge exponents leave that path."""
    leaf = st.one_of(st.sampled_from(LETTERS), st.sampled_from(RULE_INTS + EXTREME_INTS).map(core.Int))

    def extend(sub):
        return st.one_of(
            st.builds(core.Add, sub, sub),
            st.builds(core.Mul, sub, sub),
            st.builds(core.Neg, sub),
            st.builds(core.Pow, sub, st.sampled_from((0, 1, 2, 3, 4, -1, 65536, INT_MAX)).map(core.Int)),
        )

    return nested(leaf, extend, depth)


def sums_of_monomials(max_terms=5):
    """c1*m1 + c2*m2 + ..., each m a product of powers of x, y and X up to the 12th: terms often share no
    letter, or share one with exponents apart in their bits (x + x^2)."""
    letters = st.sampled_from((LETTERS[0], LETTERS[1], LETTERS[4]))
    power = st.tuples(letters, st.sampled_from((0, 1, 2, 3, 4, 5, 8, 10, 12))).map(
        lambda p: core.Pow(p[0], core.Int(p[1])))
    monomial = st.tuples(st.sampled_from(RULE_INTS + EXTREME_INTS), st.lists(power, max_size=2)).map(
        lambda t: reduce(core.Mul, t[1], core.Int(t[0])))
    return st.lists(monomial, min_size=1, max_size=max_terms).map(lambda terms: reduce(core.Add, terms))


def powers_and_products_of_sums():
    """s^n, s*t and s^n * t over sums of monomials: multi-digit exponents, capitals among small letters."""
    s = sums_of_monomials()
    n = st.integers(2, 9).map(core.Int)
    return st.one_of(st.builds(core.Pow, s, n), st.builds(core.Mul, s, s),
                     st.builds(lambda a, k, b: core.Mul(core.Pow(a, k), b), s, n, s))
