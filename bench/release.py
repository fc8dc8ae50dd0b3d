"""What releasing a large tree costs next to building it: the core's nodes only.

    python bench/release.py [--repeat 5]

Each workload builds a tree, then drops the only reference to it; both steps are timed,
and the best of the repeats is shown, with the release time per node. Expansion results
are long left-nested sums whose terms share their letter powers; the chains are built by
a Python loop, a million levels deep.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import _kalvora_core as k


def total(names: str) -> k.Expr:
    e: k.Expr = k.Int(1)
    for name in names:
        e = k.Add(k.Var(name), e)
    return e


def product_of_binomials() -> k.Expr:  # (a+1)(b+1)...(n+1): 16,384 terms
    e: k.Expr = k.Int(1)
    for name in "abcdefghijklmn":
        e = k.Mul(e, k.Add(k.Var(name), k.Int(1)))
    return k.expand(e)


def square_of_power() -> k.Expr:  # p(p+1), p = (x+y+z+t+1)^20: 135,751 terms
    p = k.Pow(total("xyzt"), k.Int(20))
    return k.expand(k.Mul(p, k.Add(p, k.Int(1))))


def sixth_power() -> k.Expr:  # (a+b+c+d+e+f+1)^6: 924 terms
    return k.expand(k.Pow(total("abcdef"), k.Int(6)))


def deep_sum() -> k.Expr:
    e: k.Expr = k.Var("x")
    for i in range(1_000_000):
        e = k.Add(e, k.Var("y"))
    return e


def deep_negation() -> k.Expr:
    e: k.Expr = k.Var("x")
    for _ in range(1_000_000):
        e = k.Neg(e)
    return e


def nodes(e: k.Expr) -> int:
    """Distinct nodes, each shared one counted once, as releasing frees them. The wrappers
    are kept alive, so that a node reached twice comes back as the same Python object."""
    seen, pending = {}, [e]
    while pending:
        node = pending.pop()
        if id(node) not in seen:
            seen[id(node)] = node
            pending.extend(children(node))
    return len(seen)


def children(node: k.Expr) -> list[k.Expr]:
    for pair in (("left", "right"), ("num", "den"), ("base", "exp")):
        if hasattr(node, pair[0]):
            return [getattr(node, name)() for name in pair]
    return [node.operand()] if hasattr(node, "operand") else []


WORKLOADS: dict[str, tuple[Callable[[], k.Expr], int]] = {  # build, trees per timing
    "(a+b+c+d+e+f+1)^6, 924 terms": (sixth_power, 20),
    "(a+1)(b+1)...(n+1), 16,384 terms": (product_of_binomials, 1),
    "p(p+1), p=(x+y+z+t+1)^20, 135,751 terms": (square_of_power, 1),
    "sum 10^6 deep": (deep_sum, 1),
    "negation 10^6 deep": (deep_negation, 1),
}


def measure(build: Callable[[], k.Expr], batch: int) -> tuple[float, float]:
    start = time.perf_counter()
    trees = [build() for _ in range(batch)]
    built = time.perf_counter()
    del trees
    return built - start, time.perf_counter() - built


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"{'workload':42} {'nodes':>9} {'build s':>9} {'release s':>10} {'ns/node':>8}")
    for name, (build, batch) in WORKLOADS.items():
        count = nodes(build()) * batch
        times = [measure(build, batch) for _ in range(args.repeat)]
        build_s, release_s = min(t[0] for t in times), min(t[1] for t in times)
        print(f"{name:42} {count:>9,} {build_s:>9.4f} {release_s:>10.4f} {release_s / count * 1e9:>8.1f}")


if __name__ == "__main__":
    main()
