"""How the textbook algebra scales on towers of nested functions: time per level.

    PYTHONPATH=python python bench/tower_scaling.py [--largest 100000]

Every function's operand is read in a polynomial ring of its own, so a tower of k nested
functions should cost time proportional to k: the time per level should stay flat as
the depth grows tenfold.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

from kalvora import simplify
from kalvora.formula import Formula, Kind, add, apply, number, symbol

x = symbol("x")


def tower(levels: int, level: Callable[[Formula], Formula]) -> Formula:
    formula = x
    for _ in range(levels):
        formula = level(formula)
    return formula


SHAPES: dict[str, Callable[[Formula], Formula]] = {
    "sin(... + 1)": lambda inner: apply(Kind.SIN, add(inner, number(1))),
    "sqrt(...)": lambda inner: apply(Kind.SQRT, inner),
    "log(... + x)": lambda inner: apply(Kind.LOG, add(inner, x)),
    "... + x": lambda inner: inner + x,  # a sum extended in a loop: no function at all
}


def seconds(formula: Formula) -> float:
    start = time.perf_counter()
    simplify(formula)
    return time.perf_counter() - start


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    options.add_argument("--largest", type=int, default=100_000, help="deepest tower (default 100000)")
    largest = options.parse_args().largest
    sizes = [size for size in (1_000, 10_000, 100_000) if size <= largest]
    print(f"{'level':16}" + "".join(f"{size:>18,}" for size in sizes) + "   (seconds; ms per level)")
    for name, level in SHAPES.items():
        cells = []
        for size in sizes:
            took = seconds(tower(size, level))
            cells.append(f"{took:8.2f} ({took / size * 1e3:.2f})")
        print(f"{name:16}" + "".join(f"{cell:>18}" for cell in cells))


if __name__ == "__main__":
    main()
