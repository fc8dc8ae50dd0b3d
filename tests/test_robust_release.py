"""Releasing trees: whatever their shape, depth and sharing, the subtrees still referenced from
Python outlive their root, and deep trees are freed from threads started with a small stack.

Each check reads the kept subtrees back after new trees have taken the memory just freed, so a
node freed while still owned shows up as a wrong text (or a crash), not as stale bytes.
"""
import gc
import os
import subprocess
import sys
import textwrap

import _kalvora_core as k
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

DEPTH = int(os.environ.get("KALVORA_DEPTH", 1_000_000))
LEAVES = (lambda: k.Var("x"), lambda: k.Var("y"), lambda: k.Int(2), lambda: k.Pi())
UNARY = (k.Neg, k.Sqrt, k.Sin)
BINARY = (k.Add, k.Mul, k.Pow, k.Div)


def churn():
    """New trees, made both from Python and by the core, kept alive while the caller reads."""
    python_made = [k.Add(k.Var(f"v{i}"), k.Mul(k.Int(i), k.Var("w"))) for i in range(20_000)]
    total = left_sum([k.Var(f"a{i}") for i in range(120)])
    return python_made, k.expand(k.Mul(total, k.Add(total, k.Int(3))))


def texts(trees, alive=()):
    """The texts of `trees`, read while the trees in `alive` exist."""
    return [e.to_string() for e in trees]


def assert_kept_survive(owner, kept):
    """Drops every tree in the list `owner`, then reads each kept subtree back while new trees
    fill the memory just freed."""
    before = texts(kept)
    owner.clear()
    gc.collect()
    assert texts(kept, alive=churn()) == before


# One step grows the tree from the last node: wraps it, or joins it on either side with a new
# leaf (None) or with a node made earlier, which is then shared.
step = st.tuples(st.sampled_from(UNARY + BINARY), st.booleans(), st.none() | st.integers(min_value=0))


@settings(max_examples=60, deadline=None)
@given(steps=st.lists(step, min_size=1, max_size=300), keep=st.sets(st.integers(min_value=0, max_value=299)))
def test_subtrees_kept_from_python_outlive_their_root(steps, keep):
    nodes = [LEAVES[0]()]
    for kind, last_first, earlier in steps:
        if kind in UNARY:
            nodes.append(kind(nodes[-1]))
            continue
        other = LEAVES[len(nodes) % len(LEAVES)]() if earlier is None else nodes[earlier % len(nodes)]
        nodes.append(kind(nodes[-1], other) if last_first else kind(other, nodes[-1]))
    kept = [nodes[i] for i in keep if i < len(nodes) - 1]
    del nodes[:-1]  # the root alone owns the rest
    assert_kept_survive(nodes, kept)


def left_sum(terms):
    total = terms[0]
    for term in terms[1:]:
        total = k.Add(total, term)
    return total


def left_spine(e, steps):
    for _ in range(steps):
        e = e.left()
    return e


def expansion():
    """(a+1)(b+1)...(n+1): 16,384 terms of shared letters, one sum down the left."""
    product = k.Int(1)
    for name in "abcdefghijklmn":
        product = k.Mul(product, k.Add(k.Var(name), k.Int(1)))
    return k.expand(product)


def right_chain(length, leaf):
    e = leaf
    for _ in range(length):
        e = k.Add(k.Var("y"), e)
    return e


def test_terms_and_tails_of_an_expansion_outlive_it():
    result = [expansion()]
    tails = [left_spine(result[0], n) for n in (1, 100, 5_000, 16_000)]
    terms = [tail.right() for tail in tails]
    factors = [term.left() for term in terms if type(term) is k.Mul]  # shared with other terms
    assert factors
    assert_kept_survive(result, tails + terms + factors)


def test_deep_parts_of_many_deep_terms_outlive_their_sum():
    # Every term sinks below the depth that plain recursion reaches: their deep parts pile up,
    # more of them than wait at once, so that the rest is taken apart in place.
    terms = [right_chain(60, k.Var(f"t{i}")) for i in range(3_000)]
    whole = terms[::7]
    wrapped = [k.Neg(term) for term in terms[1::7]]  # another owner outside the sum
    bottoms = terms[2::7]
    for _ in range(40):
        bottoms = [b.right() for b in bottoms]
    owner = [left_sum(terms)]
    del terms
    assert_kept_survive(owner, whole + wrapped + bottoms)


SMALL_STACK = """
import sys, threading
sys.path.insert(0, {tests!r})
import _kalvora_core as k
from test_robust_depth import SHAPES
from test_robust_release import left_sum, right_chain

trees = {{name: shape.build({depth}) for name, shape in SHAPES.items()}}
trees["sum of deep terms"] = left_sum([right_chain(60, k.Var(f"t{{i}}")) for i in range(3_000)])
built, freed = len(trees), []

def free_all():
    while trees:
        trees.popitem()
        freed.append(1)

threading.stack_size({stack})
thread = threading.Thread(target=free_all)
thread.start()
thread.join()
print(f"freed {{len(freed)}} of {{built}}")
"""


@pytest.mark.slow
def test_deep_trees_are_freed_from_a_thread_with_a_small_stack():
    script = SMALL_STACK.format(tests=os.path.dirname(__file__), depth=DEPTH, stack=128 * 1024)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stderr[-3000:]
    freed, built = done.stdout.split()[1::2]
    assert freed == built
