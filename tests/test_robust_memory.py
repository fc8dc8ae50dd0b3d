"""Memory: wide expansions grow in proportion, repeated work leaves resident memory flat, and
running out of memory is a MemoryError. Each measurement runs in a fresh interpreter."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.slow

MB = 2**20
DEPTH = int(os.environ.get("KALVORA_DEPTH", 1_000_000))


def asan_loaded():
    with open("/proc/self/maps") as maps:
        return "asan" in maps.read()


ASAN = asan_loaded()

PRELUDE = """
import json, resource
from _kalvora_core import *

def status(field):  # VmRSS: resident now; VmHWM: the peak so far
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))
"""


def run_child(body, asan_options=""):
    """Runs PRELUDE + body in a new interpreter and returns the JSON it prints last."""
    env = {**os.environ, "ASAN_OPTIONS": f"{os.environ.get('ASAN_OPTIONS', '')}:{asan_options}"}
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True,
                          text=True, env=env, timeout=1800)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.splitlines()[-1])


WIDE_PRODUCT = """
def vsum(prefix):
    e = Var(prefix + "0")
    for i in range(1, {n}):
        e = Add(e, Var(f"{{prefix}}{{i}}"))
    return e

product = Mul(vsum("a"), vsum("b"))
before = status("VmRSS")
text = expand(product).to_string()
print(json.dumps({{"growth": status("VmHWM") - before, "text": text}}))
"""


def wide_product(n):
    return run_child(WIDE_PRODUCT.format(n=n))


def test_wide_expansion_is_exact_and_memory_grows_in_proportion():
    small, large = wide_product(300), wide_product(600)  # 90,000 and 360,000 terms
    terms = sorted((f"b{j}a{i}" for i in range(600) for j in range(600)), reverse=True)
    assert large["text"] == " + ".join(terms)
    if not ASAN:  # shadow memory and quarantine are not the library's
        assert large["growth"] < 6 * small["growth"]  # four times the terms: linear
        assert large["growth"] < 2000 * len(terms)


FLAT = """
def measure(work, rounds):
    work(max(rounds // 10, 1))  # warm up: free lists, caches and arenas reach their working size
    before = status("VmRSS")
    work(rounds)
    return status("VmRSS") - before

{work}
print(json.dumps(measure(work, {rounds})))
"""

# Each workload, repeated, must leave resident memory where it was: a node, a string or an
# exception object kept per round would add tens of megabytes.
WORKLOADS = {
    "build and drop trees": ("""
        def work(rounds):
            for i in range(rounds):
                a = Add(Mul(Int(i), Var("x")), Div(Rational(i, 7), Pow(Sqrt(Int(i)), Cbrt(E()))))
                b = Neg(Log(Sin(Cos(Tan(Add(a, Pi()))))))
        """, 1_000_000),
    "simplify, expand and render": ("""
        x, y = Var("x"), Var("y")
        def work(rounds):
            for i in range(rounds):
                t = Mul(Add(x, Int(i)), Pow(Add(y, Div(Int(i), Sqrt(Int(8)))), Int(2)))
                simplify(t).to_string(), expand(t).to_string(), expand(Add(Var(f"v{i}"), t))
        """, 200_000),
    "failing calls": ("""
        x = Var("x")
        bad_name = Var(b"\\xff")
        deep_error = Add(Mul(x, Neg(Var("y"))), Sin(Add(x, Div(Pow(x, Int(2)), Int(0)))))
        calls = [
            lambda: Rational(1, 0), lambda: Rational(1, -2**31), lambda: Int(2**31), lambda: Add(x, None),
            lambda: Neg("x"), lambda: simplify(deep_error), lambda: expand(deep_error),
            lambda: simplify(Tan(Div(Pi(), Int(2)))), lambda: expand(Sqrt(Int(-4))),
            lambda: simplify(Pow(Int(2), Int(-32))), lambda: bad_name.to_string(), lambda: Int.__new__(Int).value(),
        ]
        def work(rounds):
            for i in range(rounds):
                try:
                    calls[i % len(calls)]()
                except (ValueError, TypeError):
                    pass
        """, 1_200_000),
    "deep trees": ("""
        def work(rounds):
            for _ in range(rounds):
                s, t = Var("x"), Var("x")
                for i in range(50_000):
                    s, t = Add(s, Var(f"x{i % 100}")), Sqrt(Neg(t))
                simplify(Add(s, s)), expand(s), expand(t).to_string()
        """, 12),
}


@pytest.mark.parametrize("workload", WORKLOADS)
def test_resident_memory_stays_flat(workload):
    work, rounds = WORKLOADS[workload]
    if ASAN:  # there the point is memory errors, which fewer rounds find as well
        rounds //= 5
    growth = run_child(FLAT.format(work=textwrap.dedent(work), rounds=rounds), asan_options="quarantine_size_mb=0")
    if not ASAN:  # ASan's allocator keeps freed memory in caches of its own
        assert growth < 16 * MB


# The input is built first; the call that runs out of memory is then the first native call of its
# thread, so the runtime's per-thread exception state is not there yet unless the module made it so.
# Whether the runtime could still allocate that state depends on where the call ran out: the
# address space is capped a little above what the interpreter holds, by several margins in turn.
OUT_OF_MEMORY = """
import threading
{build}
outcomes = []
def work():
    try:
        {call}
        outcomes.append("returned")
    except MemoryError:
        outcomes.append("MemoryError")

def in_new_thread():
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for margin in {margins}:
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + margin * 2**20, hard))
    {run}
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps([outcomes, expand(Pow(Add(Var("x"), Int(1)), Int(2))).to_string()]))
"""
MARGINS_MIB = {"work()": [256], "in_new_thread()": list(range(64, 448, 64))}  # the main thread is cold once


@pytest.mark.skipif(ASAN, reason="ASan reserves its shadow memory up front and aborts when an allocation fails")
@pytest.mark.parametrize("run", MARGINS_MIB, ids=["main thread", "new threads"])
@pytest.mark.parametrize("build, call", [
    ('e = Var("x")\nfor _ in range(40): e = Add(e, e)', "e.to_string()"),
    ("big = Var('a0')\nfor i in range(1, 3000): big = Add(big, Var(f'a{i}'))", "expand(Mul(big, big))"),
], ids=["text of 2^40 names", "product of two sums of 3000 terms"])
def test_running_out_of_memory_is_a_memory_error_and_the_interpreter_goes_on(build, call, run):
    margins = MARGINS_MIB[run]
    result = run_child(OUT_OF_MEMORY.format(build=build, call=call, run=run, margins=margins))
    assert result == [["MemoryError"] * len(margins), "x^{2} + 2x + 1"]


# Towers with a second operand at every level: each level's factor is the whole tower below it.
# The address space is capped so that a blow-up ends in MemoryError, not in the kernel's OOM killer.
TOWERS = {  # step, text of the expansion of DEPTH steps
    "square roots of sums": ("Sqrt(Add(e, y))", "\\sqrt{y + " * DEPTH + "x" + "}" * DEPTH),
    "sums of sines": ("Add(Sin(e), y)", "y + \\sin\\left(" * DEPTH + "x" + "\\right)" * DEPTH),
    "products of roots": ("Mul(Sqrt(e), y)", "y\\sqrt{" * DEPTH + "x" + "}" * DEPTH),
}
TOWER = """
e, y = Var("x"), Var("y")
for _ in range({depth}):
    e = {step}
limit = status("VmSize") + 3 * 2**30
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
print(json.dumps(expand(e).to_string()))
"""


@pytest.mark.skipif(ASAN, reason="the cap on the address space cannot be set under ASan")
@pytest.mark.parametrize("tower", TOWERS)
def test_deep_towers_expand_within_bounded_memory(tower):
    step, expanded = TOWERS[tower]
    assert run_child(TOWER.format(depth=DEPTH, step=step)) == expanded
