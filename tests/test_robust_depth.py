"""Trees a million levels deep: built, rendered, compared, simplified, expanded and released.

Every expected text is assembled here by joining strings, independently of the core.
KALVORA_DEPTH scales the depth down for instrumented builds; the normal run uses a million.
"""
import gc
import os
from typing import Callable, NamedTuple

import _kalvora_core as k
import pytest

DEPTH = int(os.environ.get("KALVORA_DEPTH", 1_000_000))
ZERO_DIVISION = "ゼロ除算エラー"

pytestmark = pytest.mark.slow


class Shape(NamedTuple):
    build: Callable[[int], k.Expr]
    text: Callable[[int], str]        # to_string of the tree
    simplified: Callable[[int], str]  # to_string of simplify(tree)
    expanded: Callable[[int], str]    # to_string of expand(tree)


def names(n, prefix="x"):
    return [f"{prefix}{i}" for i in range(n)]


def chain(n, step, start=None):
    """step applied n times, starting from x."""
    e = start or k.Var("x")
    for i in range(n):
        e = step(e, i)
    return e


def left_sum(n):
    return chain(n - 1, lambda e, i: k.Add(e, k.Var(f"x{i + 1}")), k.Var("x0"))


def right_sum(n):
    return chain(n - 1, lambda e, i: k.Add(k.Var(f"x{i + 1}"), e), k.Var("x0"))


def distinct_terms_expanded(n):
    return " + ".join(sorted(names(n), reverse=True))  # terms in descending byte order of their text


# A repeating sum: zeros that simplify drops, like terms written in both factor orders that
# cancel and come back, a power, a negative constant. Seven terms per round, so that 10^6 terms
# end one xy short of a full round and xy survives with coefficient 1.
ROUND = (
    (lambda: k.Mul(k.Var("x"), k.Var("y")), " + xy"),
    (lambda: k.Int(0), " + 0"),
    (lambda: k.Neg(k.Mul(k.Var("y"), k.Var("x"))), " - yx"),
    (lambda: k.Pow(k.Var("x"), k.Int(2)), " + x^{2}"),
    (lambda: k.Int(-5), " - 5"),
    (lambda: k.Mul(k.Int(3), k.Pow(k.Var("x"), k.Int(2))), " + 3x^{2}"),
    (lambda: k.Var("y"), " + y"),
)


def repeating_sum(n):
    return chain(n - 1, lambda e, i: k.Add(e, ROUND[(i + 1) % 7][0]()), ROUND[0][0]())


def repeating_text(n, keep=lambda piece: True):
    pieces = (ROUND[i % 7][1] for i in range(n))
    return "".join(p for p in pieces if keep(p))[3:]  # the first term has no " + " before it


def repeating_expanded(n):
    count = [n // 7 + (p < n % 7) for p in range(7)]
    xy, y, square, constant = count[0] - count[2], count[6], count[3] + 3 * count[5], -5 * count[4]
    terms = [f"{c}{f}" if c != 1 else f for c, f in ((xy, "yx"), (y, "y"), (square, "x^{2}")) if c]
    return " + ".join(terms) + f" - {-constant}"


FUNCTIONS = ((k.Sqrt, "\\sqrt{", "}"), (k.Cbrt, "\\sqrt[3]{", "}"), (k.Sin, "\\sin\\left(", "\\right)"),
             (k.Cos, "\\cos\\left(", "\\right)"), (k.Tan, "\\tan\\left(", "\\right)"), (k.Log, "\\ln\\left(", "\\right)"))


def function_tower(n):
    return chain(n, lambda e, i: FUNCTIONS[i % 6][0](e))


def function_text(n):
    return "".join(FUNCTIONS[i % 6][1] for i in reversed(range(n))) + "x" + "".join(FUNCTIONS[i % 6][2] for i in range(n))


def wrapped_power(n, exponent):
    """Pow(Pow(x, a), a)...: a power base is wrapped in parentheses."""
    return "\\left(" * (n - 1) + f"x^{{{exponent}}}" + f"\\right)^{{{exponent}}}" * (n - 1)


def repeated_square_expanded(n):
    exponent = (2 ** min(n, 32) + 2**31) % 2**32 - 2**31  # 2^n on 32 bits: 0 from n = 32 on, so x^0 = 1
    return f"x^{{{exponent}}}" if exponent else "1"


def negations_text(n):
    return "-" * n + "x"


def product_text(n):
    return "x" + "".join(names(n, "y"))


SHAPES = {
    "left sum": Shape(left_sum, lambda n: " + ".join(names(n)), lambda n: " + ".join(names(n)),
                      distinct_terms_expanded),
    "repeating left sum": Shape(repeating_sum, repeating_text, lambda n: repeating_text(n, lambda p: p != " + 0"),
                                repeating_expanded),
    "right sum": Shape(right_sum, lambda n: " + ".join(reversed(names(n))), lambda n: " + ".join(reversed(names(n))),
                       distinct_terms_expanded),
    "negations": Shape(lambda n: chain(n, lambda e, i: k.Neg(e)), negations_text,
                       lambda n: "-x" if n % 2 else "x", lambda n: "-x" if n % 2 else "x"),
    "product": Shape(lambda n: chain(n, lambda e, i: k.Mul(e, k.Var(f"y{i}"))), product_text, product_text,
                     lambda n: "".join(sorted(names(n, "y") + ["x"], reverse=True))),
    "functions": Shape(function_tower, function_text, function_text, function_text),
    "power of power": Shape(lambda n: chain(n, lambda e, i: k.Pow(e, k.Var("y"))), lambda n: wrapped_power(n, "y"),
                            lambda n: wrapped_power(n, "y"), lambda n: wrapped_power(n, "y")),
    "power in exponent": Shape(lambda n: chain(n, lambda e, i: k.Pow(k.Var("y"), e)),
                               lambda n: "y^{" * n + "x" + "}" * n, lambda n: "y^{" * n + "x" + "}" * n,
                               lambda n: "y^{" * n + "x" + "}" * n),
    "repeated square": Shape(lambda n: chain(n, lambda e, i: k.Pow(e, k.Int(2))), lambda n: wrapped_power(n, 2),
                             lambda n: wrapped_power(n, 2), repeated_square_expanded),
}


@pytest.fixture(scope="module", params=list(SHAPES))
def deep(request):
    shape = SHAPES[request.param]
    return shape, shape.build(DEPTH)


def test_renders(deep):
    shape, tree = deep
    assert tree.to_string() == shape.text(DEPTH)


def test_simplifies(deep):
    shape, tree = deep
    assert k.simplify(tree).to_string() == shape.simplified(DEPTH)
    assert tree.to_string() == shape.text(DEPTH)  # the argument is left as it was


def test_expands(deep):
    shape, tree = deep
    assert k.expand(tree).to_string() == shape.expanded(DEPTH)


def test_equal_deep_operands_are_doubled(deep):
    # Add(t, t) compares the two simplified copies of t, which are distinct trees all the way down.
    shape, tree = deep
    doubled = k.simplify(k.Add(tree, tree))
    assert type(doubled) is k.Mul and doubled.left().value() == 2
    assert doubled.right().to_string() == shape.simplified(DEPTH)


def test_deep_operands_differing_at_the_bottom_are_not_equal():
    a, b = chain(DEPTH, lambda e, i: k.Sin(e)), chain(DEPTH, lambda e, i: k.Sin(e), k.Var("y"))
    assert type(k.simplify(k.Add(a, b))) is k.Add


def test_error_at_the_bottom_of_a_deep_tree():
    tree = chain(DEPTH, lambda e, i: k.Neg(k.Add(e, k.Var("y"))), k.Div(k.Var("x"), k.Int(0)))
    before = tree.to_string()
    for operation in (k.simplify, k.expand):
        with pytest.raises(ValueError, match=ZERO_DIVISION):
            operation(tree)
    assert tree.to_string() == before


def test_releasing_the_root_keeps_subtrees_still_referenced():
    half = DEPTH // 2
    tree = left_sum(DEPTH)
    middle = tree
    for _ in range(DEPTH - half):
        middle = middle.left()
    del tree
    gc.collect()
    assert middle.to_string() == " + ".join(names(half))

