"""A plain, literal model of `simplify` and `expand`, built on the native node classes.

The native expansion engine is tuned for speed; this model follows the algorithm step by step
(rendering every factor and every key, one rewrite rule after another) and is the judge the tests
hold the core to: same trees, same text, same errors.

Integers behave as in the core: 32-bit two's complement, wrapping silently. Fractions are made
by the core's own `Rational` constructor, so its normalisation and its errors are the core's.
"""
import math
import re
from functools import reduce
from itertools import groupby, islice, permutations, product
from typing import NamedTuple

import _kalvora_core as core

ZERO_DIVISION = "ゼロ除算エラー"
NEGATIVE_SQRT = "負の数の平方根はサポートされていません。"
TAN_UNDEFINED = "tan(pi/2) は定義されていません"
FRACTION_TOO_WIDE = "エラー: 約分した分数が32ビット整数の範囲に収まりません。"

CHILDREN = {  # accessors of each composite kind, in the order the simplifier visits them
    **dict.fromkeys(("Neg", "Sqrt", "Cbrt", "Sin", "Cos", "Tan", "Log"), ("operand",)),
    **dict.fromkeys(("Add", "Mul"), ("left", "right")),
    "Div": ("num", "den"),
    "Pow": ("base", "exp"),
}
LEAF_FIELDS = {"Int": ("value",), "Var": ("name",), "Rational": ("num", "den"), "Pi": (), "E": ()}
FUNCTIONS = ("Sqrt", "Cbrt", "Sin", "Cos", "Tan", "Log")


def wrap(v):
    """v reduced to a signed 32-bit integer."""
    return (v + 2**31) % 2**32 - 2**31


def kind(e):
    return type(e).__name__


def children(e):
    return [getattr(e, name)() for name in CHILDREN.get(kind(e), ())]


def shape(e):
    """The tree as nested tuples, e.g. ('Add', ('Var', 'x'), ('Int', 1)): equal shapes, equal trees."""
    if kind(e) in LEAF_FIELDS:
        return (kind(e), *(getattr(e, field)() for field in LEAF_FIELDS[kind(e)]))
    return (kind(e), *map(shape, children(e)))


def equals(a, b):
    """Structural, ordered equality; no operation is commutative."""
    return shape(a) == shape(b)


def make(k, *args):
    return getattr(core, k)(*args)


def is_int(e, v):
    return kind(e) == "Int" and e.value() == v


# Integer helpers


def int_pow(base, exp):
    """Exponentiation by squaring with every product wrapped; a negative exponent gives 0."""
    if exp < 0:
        return 0
    result = 1
    while exp:
        if exp & 1:
            result = wrap(result * base)
        base = wrap(base * base)
        exp >>= 1
    return result


def simplify_sqrt(n):
    """(outside, inside) with outside² · inside = n and inside square-free."""
    if n < 0:
        raise ValueError(NEGATIVE_SQRT)
    if n == 0:
        return 0, 1
    outside, i = 1, 2
    while i * i <= n:
        while n % (i * i) == 0:
            outside, n = outside * i, n // (i * i)
        i += 1
    return outside, n


def trunc_div(p, q):
    quotient = abs(p) // abs(q)
    return quotient if (p < 0) == (q < 0) else -quotient


def round_half_away(x):
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


# Simplifier: children first (left to right), then the first rule of the node's kind that applies


def simplify(e):
    if e is None:
        return None
    rule = RULES.get(kind(e))
    if rule is None:
        return e  # leaves come back as the very object passed in
    return rule(*(simplify(c) for c in children(e)))


def simplify_neg(a):
    if kind(a) == "Neg":
        return a.operand()
    if kind(a) == "Int":
        return core.Int(wrap(-a.value()))
    if kind(a) == "Rational":
        if -a.num() >= 2**31:  # negated exactly, so -(-2147483648/q) does not fit
            raise ValueError(FRACTION_TOO_WIDE)
        return core.Rational(-a.num(), a.den())
    return core.Neg(a)


def simplify_add(a, b):
    if is_int(a, 0):
        return b
    if is_int(b, 0):
        return a
    if kind(a) == kind(b) == "Int":
        return core.Int(wrap(a.value() + b.value()))
    if equals(a, b):
        return core.Mul(core.Int(2), a)
    return core.Add(a, b)


def simplify_mul(a, b):
    if is_int(a, 0) or is_int(b, 0):
        return core.Int(0)
    if is_int(a, 1):
        return b
    if is_int(b, 1):
        return a
    if kind(a) == kind(b) == "Int":
        return core.Int(wrap(a.value() * b.value()))
    return core.Mul(a, b)


def is_zero_denominator(b):
    # A fraction of value 0 divides by zero just as the integer 0 does.
    return is_int(b, 0) or (kind(b) == "Rational" and b.num() == 0)


def simplify_div(a, b):
    if is_zero_denominator(b):
        raise ValueError(ZERO_DIVISION)
    if is_int(a, 0):
        return core.Int(0)
    if kind(a) == kind(b) == "Int":
        p, q = a.value(), b.value()
        quotient = trunc_div(p, q)
        # -2147483648 / -1 wraps to -2147483648 like every other integer operation.
        return core.Int(wrap(quotient)) if p == q * quotient else core.Rational(p, q)
    if equals(a, b):
        return core.Int(1)
    if kind(b) == "Sqrt" and kind(b.operand()) == "Int":
        k = b.operand().value()
        return simplify(core.Div(simplify(core.Mul(a, b)), core.Int(k)))
    return core.Div(a, b)


def simplify_pow(a, b):
    if is_int(b, 0):
        return core.Int(1)
    if is_int(b, 1):
        return a
    if is_int(a, 0) or is_int(a, 1):
        return a
    if kind(a) == kind(b) == "Int":
        m, e = a.value(), b.value()
        if e >= 0:
            return core.Int(int_pow(m, e))
        return core.Rational(1, int_pow(m, wrap(-e)))
    return core.Pow(a, b)


def simplify_sqrt_node(a):
    if is_int(a, 0):
        return core.Int(0)
    if is_int(a, 1):
        return core.Int(1)
    if kind(a) == "Int":
        outside, inside = simplify_sqrt(a.value())
        if inside == 1:
            return core.Int(outside)
        if outside > 1:
            return core.Mul(core.Int(outside), core.Sqrt(core.Int(inside)))
    return core.Sqrt(a)


def simplify_cbrt(a):
    if is_int(a, 0):
        return core.Int(0)
    if is_int(a, 1):
        return core.Int(1)
    if kind(a) == "Pow" and is_int(a.exp(), 3):
        return a.base()
    if kind(a) == "Int":
        root = round_half_away(math.cbrt(a.value()))
        if root**3 == a.value():
            return core.Int(root)
    return core.Cbrt(a)


def simplify_log(a):
    if is_int(a, 1):
        return core.Int(0)
    if kind(a) == "E":
        return core.Int(1)
    if kind(a) == "Pow" and kind(a.base()) == "E":
        return a.exp()
    return core.Log(a)


def pi_divisor(a):
    """n when a is π or π/n (n an Int), else None."""
    if kind(a) == "Pi":
        return 1
    if kind(a) == "Div" and kind(a.num()) == "Pi" and kind(a.den()) == "Int":
        return a.den().value()
    return None


TRIG_INTS = {("Sin", 1): 0, ("Cos", 1): -1, ("Tan", 1): 0, ("Sin", 2): 1, ("Cos", 2): 0, ("Tan", 4): 1}


def trig_value(f, n):
    if (f, n) == ("Tan", 2):
        raise ValueError(TAN_UNDEFINED)
    if n == 4 and f != "Tan":
        return core.Div(core.Sqrt(core.Int(2)), core.Int(2))
    return core.Int(TRIG_INTS[f, n])


def simplify_trig(f, a):
    if is_int(a, 0):
        return core.Int(1 if f == "Cos" else 0)
    n = pi_divisor(a)
    if n in (1, 2, 4):
        return trig_value(f, n)
    return make(f, a)


RULES = {
    "Neg": simplify_neg,
    "Add": simplify_add,
    "Mul": simplify_mul,
    "Div": simplify_div,
    "Pow": simplify_pow,
    "Sqrt": simplify_sqrt_node,
    "Cbrt": simplify_cbrt,
    "Log": simplify_log,
    **{f: (lambda a, f=f: simplify_trig(f, a)) for f in ("Sin", "Cos", "Tan")},
}


# Rendering is the core's own, except for what joins the two factor texts of a product (its
# left and right operand, each wrapped in \left( \right) if it binds more loosely).


CONTROL_WORD_AT_END = re.compile(r"(?<!\\)\\[A-Za-z]+\Z")  # a backslash not after a backslash, then letters


def product_separator(left, right, left_text, right_text):
    r""" \cdot between two numbers or two digits, a space where a letter would continue a control word (\pi r)."""
    if kind(left) in ("Int", "Rational") and kind(right) in ("Int", "Rational"):
        return r" \cdot "
    if re.fullmatch("[0-9]", left_text[-1:]) and re.fullmatch("[0-9]", right_text[:1]):
        return r" \cdot "
    if CONTROL_WORD_AT_END.search(left_text) and right_text[:1].isascii() and right_text[:1].isalpha():
        return " "
    return ""


# Term collection: monomials grouped and ordered by the bytes of their rendering


class Monomial(NamedTuple):
    coeff: int
    vars: list  # (factor, exponent) pairs in order of first appearance


def rendering(e):
    """Text compared as unsigned bytes, the longer text winning on a common prefix."""
    return e.to_string().encode()


CONSTANT_KEY = b"1"


def term_order(keys):
    """Keys descending in byte order, the constant's key last."""
    return sorted(keys, key=lambda key: (key != CONSTANT_KEY, key), reverse=True)


def merge_factor(factors, f, exponent):
    for i, (g, j) in enumerate(factors):
        if equals(g, f):
            factors[i] = (g, wrap(j + exponent))
            return
    factors.append((f, exponent))


def parse_monomial(e):
    k = kind(e)
    if k == "Int":
        return Monomial(e.value(), [])
    if k == "Neg":
        m = parse_monomial(e.operand())
        return Monomial(wrap(-m.coeff), m.vars)
    if k == "Mul":
        left, right = parse_monomial(e.left()), parse_monomial(e.right())
        factors = list(left.vars)
        for f, exponent in right.vars:
            merge_factor(factors, f, exponent)
        return Monomial(wrap(left.coeff * right.coeff), factors)
    if k == "Pow" and kind(e.exp()) == "Int":
        return Monomial(1, [(e.base(), e.exp().value())])
    return Monomial(1, [(e, 1)])


def flatten_add(e):
    """The monomials of the summands of e, leaves of its Add nodes taken left to right."""
    out, pending = [], [e]
    while pending:
        node = pending.pop()
        if node is None:
            continue
        if kind(node) == "Add":
            pending += [node.right(), node.left()]
        else:
            out.append(parse_monomial(node))
    return out


def product_of(entries):
    """Left-nested product of the contributions of non-empty (factor, exponent) pairs, or None."""
    parts = [f if k == 1 else core.Pow(f, core.Int(k)) for f, k in entries]
    return reduce(core.Mul, parts) if parts else None


class TooLarge(Exception):
    """The run reached its limit on the number of products."""


class Expansion:
    """One run of the literal expansion.

    Factors of one term are sorted descending by their rendering. For factors that render alike
    but differ, that order is not defined; this model keeps them in order of first appearance
    (a stable sort, which is also what std::sort does on such short lists). Each run records
    whether that happened, so that callers know which comparisons are meaningful:
    `order_is_open` - the shape of some term depends on that choice (its text may not);
    `text_is_open` - some other order of those factors renders differently, so even the text
    (and with it grouping and term order) depends on the choice.
    """

    PERMUTATION_LIMIT = 120  # orders tried per term when looking for a text that differs

    def __init__(self, max_products=None):
        self.products_left = max_products
        self.order_is_open = False
        self.text_is_open = False

    def expand(self, e):
        if e is None:
            return None
        e = simplify(e)
        k = kind(e)
        if k == "Add":
            return self.collect_terms(core.Add(self.expand(e.left()), self.expand(e.right())))
        if k == "Mul":
            return self.collect_terms(self.distribute_mul(self.expand(e.left()), self.expand(e.right())))
        if k == "Pow":
            base, exponent = self.expand(e.base()), e.exp()
            if kind(exponent) == "Int" and exponent.value() >= 0:
                return self.collect_terms(self.distribute_pow(base, exponent.value()))
            return core.Pow(base, exponent)
        if k == "Neg":
            return self.collect_terms(core.Neg(self.expand(e.operand())))
        if k in FUNCTIONS:
            return make(k, self.expand(e.operand()))
        return e

    def distribute_mul(self, a, b):
        if kind(a) == "Add":
            return core.Add(self.distribute_mul(a.left(), b), self.distribute_mul(a.right(), b))
        if kind(b) == "Add":
            return core.Add(self.distribute_mul(a, b.left()), self.distribute_mul(a, b.right()))
        self.count_product()
        return core.Mul(a, b)

    def distribute_pow(self, base, n):
        if n == 0:
            return core.Int(1)
        if n == 1:
            return base
        half = self.distribute_pow(base, n // 2)
        result = self.collect_terms(self.distribute_mul(half, half))
        if n % 2:
            result = self.collect_terms(self.distribute_mul(result, base))
        return result

    def collect_terms(self, e):
        groups = {}  # key -> monomial of the group's first member, with the summed coefficient
        for m in flatten_add(e):
            if m.coeff == 0:
                continue
            key = self.key(m)
            if key in groups:
                groups[key] = groups[key]._replace(coeff=wrap(groups[key].coeff + m.coeff))
            else:
                groups[key] = m
        terms = [self.build_monomial(groups[key]) for key in term_order(groups) if groups[key].coeff]
        return reduce(core.Add, terms) if terms else core.Int(0)

    def key(self, m):
        return rendering(self.build_monomial(m._replace(coeff=1)))

    def build_monomial(self, m):
        ordered = sorted(m.vars, key=lambda entry: rendering(entry[0]), reverse=True)
        contributing = [(f, k) for f, k in ordered if k != 0]
        self.note_ties(contributing)
        product_tree = product_of(contributing)
        if m.coeff == 0:
            return core.Int(0)
        if product_tree is None:
            return core.Int(m.coeff)
        if m.coeff == 1:
            return product_tree
        if m.coeff == -1:
            return core.Neg(product_tree)
        return core.Mul(core.Int(m.coeff), product_tree)

    def note_ties(self, ordered):
        groups = [list(g) for _, g in groupby(ordered, key=lambda entry: rendering(entry[0]))]
        if all(len(g) == 1 for g in groups):
            return
        self.order_is_open = True
        orders = islice(product(*map(permutations, groups)), self.PERMUTATION_LIMIT)
        texts = {product_of([entry for group in order for entry in group]).to_string() for order in orders}
        self.text_is_open |= len(texts) > 1

    def count_product(self):
        if self.products_left is not None:
            self.products_left -= 1
            if self.products_left < 0:
                raise TooLarge
