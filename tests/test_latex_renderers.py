"""Every text the core renders is accepted by a real renderer: KaTeX in strict mode.

Variable names are copied into the text verbatim, and no renderer accepts arbitrary ones (braces,
a lone backslash, Unicode in strict mode). The random trees here therefore name their variables
with ASCII letters or Greek control words such as \\alpha; everything else about them is random.
"""
from collections.abc import Iterator

import _kalvora_core as core
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st

from strategies import FRACTIONS, RULE_INTS, trees
from test_tree import RENDER, mk
from tex_clients import katex_rejects, needs_katex

pytestmark = needs_katex

NAMES = ("x", "y", "r", "e", "X", "R", "ab", "\\alpha", "\\beta", "\\pi", "\\theta", "\\Omega")


def renderable_trees(depth: int = 4) -> st.SearchStrategy[core.Expr]:
    return trees(st.sampled_from(RULE_INTS), st.sampled_from(NAMES), st.sampled_from(FRACTIONS),
                 lambda sub: st.one_of(st.integers(-2, 3).map(core.Int), sub), depth)


def texts_of(e: core.Expr) -> Iterator[str]:
    """The text of e and of its simplify and expand results, where they are not errors."""
    yield e.to_string()
    for operation in (core.simplify, core.expand):
        try:
            yield operation(e).to_string()
        except ValueError:
            pass


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(renderable_trees(), min_size=25, max_size=25))
def test_katex_accepts_texts_of_random_trees(es: list[core.Expr]) -> None:
    texts = [text for e in es for text in texts_of(e)]
    note(f"{len(texts)} texts")
    assert katex_rejects(texts) == []


def test_katex_accepts_the_rendering_table() -> None:
    assert katex_rejects([mk(tree).to_string() for tree, _ in RENDER]) == []
