"""How `kalvora.parse` scales: time per character for deep and long inputs of growing size.

    PYTHONPATH=python python bench/parse_scaling.py [--largest 1000000]

Parsing is meant to take time proportional to the length of the text whatever its
shape, so each shape's time per character should stay flat as the size grows tenfold.
"""

from __future__ import annotations

import argparse
import time

from kalvora import parse

SHAPES = {
    "nested parentheses": lambda n: "(" * n + "x" + ")" * n,
    "nested signs": lambda n: "-(" * n + "x" + ")" * n,
    "tower of powers": lambda n: "2^" * n + "2",
    "nested sqrt": lambda n: "sqrt(" * n + "x" + ")" * n,
    "full-width parentheses": lambda n: "（" * n + "ｘ" + "）" * n,
    "long sum": lambda n: "+".join(["x"] * n),
    "long implicit product": lambda n: "x" * n,
    "long integer": lambda n: "7" * n,
}


def seconds(text: str) -> float:
    start = time.perf_counter()
    parse(text)
    return time.perf_counter() - start


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    options.add_argument("--largest", type=int, default=1_000_000, help="largest size (default 1000000)")
    largest = options.parse_args().largest
    sizes = [size for size in (1_000, 10_000, 100_000, 1_000_000, 10_000_000) if size <= largest]
    print(f"{'shape':24}" + "".join(f"{size:>12,}" for size in sizes) + "   (µs per character)")
    for name, make in SHAPES.items():
        cells = []
        for size in sizes:
            text = make(size)
            cells.append(f"{seconds(text) / len(text) * 1e6:12.2f}")
        print(f"{name:24}" + "".join(cells))


if __name__ == "__main__":
    main()
