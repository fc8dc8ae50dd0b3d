"""The benchmark's workloads, one table for every system.

W1-W6 and W8 are polynomial expansions written once as recipes over a small
`Algebra` (variables, integers, sums, products, integer powers); every system
supplies its own algebra, so all of them build the same input tree.  Every
coefficient of W1-W6 fits in 32 bits, so KalVora's wrapping arithmetic
computes the same polynomial as the peers.  W8 is a product at scale whose
coefficients do not fit: flint's exact result, reduced modulo 2^32, is what
KalVora must give, and flint is timed on the multiplication alone.

W7 scales KalVora alone: simplify and to_string of random trees, and expand of
long sums whose terms collect.  W9 times inputs that were once quadratic: a
chain of divisions by square roots, and a sum of roots whose factors all
shared one hash before the hashes were keyed per process.
"""

from __future__ import annotations

import math
import random
from collections import Counter
from dataclasses import dataclass
from functools import reduce
from typing import Any, Callable

SEED = 20240607


@dataclass(frozen=True)
class Algebra:
    """How one system builds unexpanded expressions."""

    var: Callable[[str], Any]
    num: Callable[[int], Any]
    add: Callable[[Any, Any], Any]
    mul: Callable[[Any, Any], Any]
    pow: Callable[[Any, int], Any]


def total(alg: Algebra, summands: list) -> Any:
    return reduce(alg.add, summands)


def product(alg: Algebra, factors: list) -> Any:
    return reduce(alg.mul, factors)


def plus_one(alg: Algebra, names: str) -> Any:
    """Left-nested (v1 + v2 + ... + 1)."""
    return total(alg, [alg.var(v) for v in names] + [alg.num(1)])


def power_and_successor(names: str, k: int) -> Callable[[Algebra], tuple[Any, Any]]:
    """p and p + 1 with p = (names summed + 1)^k left unexpanded, one p shared by both."""
    def operands(alg: Algebra) -> tuple[Any, Any]:
        p = alg.pow(plus_one(alg, names), k)
        return p, alg.add(p, alg.num(1))
    return operands


def times(operands: Callable[[Algebra], tuple[Any, Any]]) -> Callable[[Algebra], Any]:
    return lambda alg: alg.mul(*operands(alg))


@dataclass(frozen=True)
class Polynomial:
    """Expansion of one polynomial, run by KalVora and every peer."""

    name: str
    title: str
    variables: tuple[str, ...]
    recipe: Callable[[Algebra], Any]
    # For a product p * q at scale: the factors p and q, which systems that expand as they
    # build (flint) build outside the timed part, so that only the multiplication is timed.
    operands: Callable[[Algebra], tuple[Any, Any]] | None = None
    wraps: bool = False  # coefficients exceed 32 bits: KalVora's are checked modulo 2^32
    peers: tuple[str, ...] | None = None  # the peers that run it; None for all

    def prepare(self, system) -> Callable[[], Any]:
        return system.prepare(self, self.variables)

    def reference(self) -> dict | None:
        return None


FOURTEEN = "abcdefghijklmn"

POLYNOMIALS = (
    Polynomial("W1", "(x + 1)^30", ("x",),
               lambda alg: alg.pow(plus_one(alg, "x"), 30)),
    Polynomial("W2", "(x + y + z + 1)^18", tuple("xyz"),
               lambda alg: alg.pow(plus_one(alg, "xyz"), 18)),
    Polynomial("W3", "p(p + 1), p = (x + y + z + 1)^6", tuple("xyz"),
               times(power_and_successor("xyz", 6))),
    Polynomial("W4", "(a + b + c + d + e + f + 1)^6", tuple("abcdef"),
               lambda alg: alg.pow(plus_one(alg, "abcdef"), 6)),
    Polynomial("W5", "(x + 1)(x + 2)...(x + 12)", ("x",),
               lambda alg: product(alg, [alg.add(alg.var("x"), alg.num(k)) for k in range(1, 13)])),
    Polynomial("W6", "(a + 1)(b + 1)...(n + 1)", tuple(FOURTEEN),
               lambda alg: product(alg, [plus_one(alg, v) for v in FOURTEEN])),
    Polynomial("W8", "p(p + 1), p = (x + y + z + t + 1)^20", tuple("xyzt"),
               times(power_and_successor("xyzt", 20)), operands=power_and_successor("xyzt", 20),
               wraps=True, peers=("flint",)),
)


# --- W7 -------------------------------------------------------------------

VARIABLES = tuple("wxyz")


def random_tree(kc, size: int, seed: int = SEED):
    """A seeded random tree of exactly `size` nodes, built bottom-up without recursion.

    A pool holds finished subtrees; each step adds a leaf, wraps a pooled
    subtree, or joins two of them, and the leftovers are joined at the end.
    Leaves slightly outnumber joins, so the pool grows and subtrees drawn from
    it at random keep the tree shallow (depth about 150 at 10^5 nodes).  The
    tree avoids every input simplify rejects: there is no Div and no Tan,
    exponents are -1, 2 or 3 (never a power that wraps to a zero denominator),
    and Sqrt only takes symbolic operands, which can never simplify to an Int
    and so never to a negative one.
    """
    rng = random.Random(seed)
    variables = [kc.Var(v) for v in VARIABLES]
    pool: list[tuple[Any, bool]] = []  # (subtree, symbolic)

    def take():
        i = rng.randrange(len(pool))
        pool[i], pool[-1] = pool[-1], pool[i]
        return pool.pop()

    def leaf():
        kind = rng.random()
        if kind < 0.4:
            return rng.choice(variables), True
        if kind < 0.8:
            return kc.Int(rng.randint(-3, 9)), False
        return kc.Rational(rng.randint(-5, 5), rng.randint(1, 6)), False

    def wrap():
        a, symbolic = take()
        kind = rng.choice(("neg", "sin", "sqrt") if symbolic else ("neg", "sin"))
        return {"neg": kc.Neg, "sin": kc.Sin, "sqrt": kc.Sqrt}[kind](a), symbolic

    def power():
        a, symbolic = take()
        return kc.Pow(a, kc.Int(rng.choice((-1, 2, 3)))), symbolic

    def join():
        (a, sa), (b, sb) = take(), take()
        if rng.random() < 0.5:
            return kc.Add(a, b), sa or sb
        return kc.Mul(a, b), sa and sb

    made = 0
    while made < size:
        spare = (size - made) - (len(pool) - 1)  # nodes beyond the joins still owed
        moves = [(leaf, 1, 0.45)] if spare >= 2 else []
        if pool and spare >= 1:
            moves.append((wrap, 1, 0.12))
        if pool and spare >= 2:
            moves.append((power, 2, 0.08))
        if len(pool) >= 2:
            moves.append((join, 1, 0.35))
        move, cost, _ = rng.choices(moves, weights=[w for *_, w in moves])[0]
        pool.append(move())
        made += cost
    return pool[0][0]


def collecting_terms(count: int, seed: int = SEED):
    """(coefficient, variable, exponent) of the terms k * v^e of a sum that collects to a few terms."""
    rng = random.Random(seed)
    for _ in range(count):
        yield rng.randint(1, 9), rng.choice(VARIABLES), rng.randint(1, 6)


def collecting_sum(kc, count: int):
    """Left-nested sum of Mul(Int k, Pow(Var v, Int e)); variables are shared like a user's would be."""
    variables = {v: kc.Var(v) for v in VARIABLES}
    terms = (kc.Mul(kc.Int(k), kc.Pow(variables[v], kc.Int(e))) for k, v, e in collecting_terms(count))
    return reduce(kc.Add, terms)


def collected(count: int) -> dict:
    """The polynomial that the collecting sum of `count` terms adds up to."""
    result: Counter = Counter()
    for k, v, e in collecting_terms(count):
        exponents = tuple(e if w == v else 0 for w in VARIABLES)
        result[exponents] += k
    return dict(result)


@dataclass(frozen=True)
class Scaling:
    """One size of a KalVora-only operation; `build` makes the input, `run` is what is timed."""

    name: str
    operation: str
    size: int
    build: Callable[[Any, int], Any]
    run: Callable[[Any, Any], Any]
    variables: tuple[str, ...] = ()  # set when the result is a polynomial to check

    @property
    def title(self) -> str:
        return f"{self.operation} {self.size:,}"

    def prepare(self, system) -> Callable[[], Any]:
        kc = system.module
        subject = self.build(kc, self.size)
        return lambda: self.run(kc, subject)

    def reference(self) -> dict | None:
        return collected(self.size) if self.variables else None


def scaling(operation: str, sizes: tuple[int, ...], build, run, variables=(), group="W7") -> tuple[Scaling, ...]:
    return tuple(Scaling(f"{group}.{operation}.{size:.0e}".replace("+0", ""), operation, size, build, run, variables)
                 for size in sizes)


TREE_SIZES = (10**4, 10**5, 10**6)
SUM_SIZES = (2 * 10**4, 2 * 10**5, 2 * 10**6)

SCALING = (
    scaling("simplify", TREE_SIZES, random_tree, lambda kc, tree: kc.simplify(tree))
    + scaling("to_string", TREE_SIZES, random_tree, lambda kc, tree: tree.to_string())
    + scaling("expand", SUM_SIZES, collecting_sum, lambda kc, s: kc.expand(s), VARIABLES)
)


# --- W9 -------------------------------------------------------------------

def divisions_by_roots(kc, count: int):
    """x / sqrt(2) / sqrt(2) / ..., nested to the left as a parser reads it."""
    e = kc.Var("x")
    for _ in range(count):
        e = kc.Div(e, kc.Sqrt(kc.Int(2)))
    return e


MASK = 2**64 - 1
GOLDEN = 0x9E3779B97F4A7C15


def old_mix(seed: int, value: int) -> int:
    """The unkeyed mix (boost's hash_combine) that expand's factor table once hashed with."""
    return seed ^ ((value + GOLDEN + (seed << 6) + (seed >> 2)) & MASK)


def old_fraction_hash(p: int, q: int) -> int:
    return old_mix(old_mix(2, p & MASK), q & MASK)  # 2: the kind of a Rational


def colliding_fractions(count: int) -> list[tuple[int, int]]:
    """Fractions p/q in lowest terms that all had one hash: for each p, the mix is solved for q."""
    p0 = 1_000_003
    target = old_fraction_hash(p0, 2**31 - 1)
    found = []
    for p in range(p0, p0 + 100 * count):
        seed = old_mix(2, p)
        q = ((target ^ seed) - GOLDEN - (seed << 6) - (seed >> 2)) & MASK
        if 0 < q < 2**31 and math.gcd(p, q) == 1:
            found.append((p, q))
            if len(found) == count:
                return found
    raise ValueError("not enough colliding fractions")


def random_fractions(count: int, seed: int = SEED) -> list[tuple[int, int]]:
    rng = random.Random(seed)
    return [(rng.randrange(1, 2**31), rng.randrange(1, 2**31)) for _ in range(count)]


def sum_of_roots(kc, fractions: list[tuple[int, int]]):
    """sqrt(p1/q1) + sqrt(p2/q2) + ...: distinct factors, one per term."""
    return reduce(kc.Add, (kc.Sqrt(kc.Div(kc.Int(p), kc.Int(q))) for p, q in fractions))


DIVISION_SIZES = (10_000, 20_000, 40_000, 80_000)
ROOT_SIZES = (5_000, 10_000, 20_000, 40_000)

ONCE_QUADRATIC = (
    scaling("divisions", DIVISION_SIZES, divisions_by_roots, lambda kc, e: kc.simplify(e), group="W9")
    + scaling("colliding-roots", ROOT_SIZES, lambda kc, n: sum_of_roots(kc, colliding_fractions(n)),
              lambda kc, e: kc.expand(e), group="W9")
    + scaling("random-roots", ROOT_SIZES, lambda kc, n: sum_of_roots(kc, random_fractions(n)),
              lambda kc, e: kc.expand(e), group="W9")
)

WORKLOADS = {w.name: w for w in POLYNOMIALS + SCALING + ONCE_QUADRATIC}
