"""Fuzz target: bytes become expression trees, and every operation runs on them.

Run: python fuzz/fuzz_trees.py [libFuzzer options] CORPUS_DIR...
A crash, or an exception that the library does not document, is a finding.
"""
import sys

import atheris

with atheris.instrument_imports():
    import _kalvora_core as core

MESSAGES = {
    "エラー: 分母をゼロにすることはできません。",
    "エラー: 約分した分数が32ビット整数の範囲に収まりません。",
    "ゼロ除算エラー",
    "負の数の平方根はサポートされていません。",
    "tan(pi/2) は定義されていません",
}
INT_MIN, INT_MAX = -(2**31), 2**31 - 1
INTS = [0, 1, -1, 2, 3, 4, -4, 8, 9, 12, 27, 65536, 46341, INT_MIN, INT_MAX]
NAMES = [b"x", b"y", b"X", b"\\pi", b"x^{2}", b"yx", b"", "α".encode(), b"\xff\xfe", b"e", b"1", b"w" * 50, b"w" * 50 + b"v"]
UNARY = [core.Neg, core.Sqrt, core.Cbrt, core.Sin, core.Cos, core.Tan, core.Log]
BINARY = [core.Add, core.Mul, core.Div, core.Pow]
# Larger inputs are skipped: their size, not their shape, would be tested.
MAX_TERMS = 3000
MAX_NODES = 200_000


def documented(error):
    """ValueErrors must carry one of the library's messages; other exceptions escape."""
    if str(error) not in MESSAGES:
        raise AssertionError(f"undocumented message: {error!r}") from error


def integer(data):
    return data.PickValueInList(INTS) if data.ConsumeBool() else data.ConsumeIntInRange(INT_MIN, INT_MAX)


def chain(data, top):
    """A deep chain over `top`, to reach the code paths of long sums and towers."""
    depth = data.ConsumeIntInRange(0, 3000)
    wrap = data.PickValueInList([core.Neg, lambda e: core.Add(e, core.Int(1)), lambda e: core.Add(core.Var("y"), e),
                                 lambda e: core.Mul(e, core.Var("z")), core.Sqrt])
    for _ in range(depth):
        top = wrap(top)
    return top


@atheris.instrument_func  # coverage of the choices made guides the fuzzer
def build(data):
    """A stack machine: each step pushes a leaf or replaces the top of the stack."""
    stack = [core.Var("x")]
    while data.remaining_bytes() and len(stack) < 48:
        op = data.ConsumeIntInRange(0, 9)
        if op == 0:
            stack.append(core.Int(integer(data)))
        elif op == 1:
            stack.append(core.Var(data.PickValueInList(NAMES)))
        elif op == 2:
            try:
                stack.append(core.Rational(integer(data), integer(data)))
            except ValueError as error:
                documented(error)
        elif op == 3:
            stack.append(core.Pi() if data.ConsumeBool() else core.E())
        elif op == 4:
            stack.append(data.PickValueInList(UNARY)(stack.pop()))
        elif op in (5, 6):
            right = stack.pop()
            left = stack.pop() if stack else right
            stack.append(data.PickValueInList(BINARY)(left, right))
        elif op == 7:
            stack.append(stack[data.ConsumeIntInRange(0, len(stack) - 1)])  # a shared subtree
        elif op == 8:
            stack.append(chain(data, stack.pop()))
        else:
            stack.append(core.Pow(stack.pop(), core.Int(data.ConsumeIntInRange(-3, 6))))
        if not stack:
            stack.append(core.Int(0))
    tree = stack[0]
    for e in stack[1:]:
        tree = core.Add(tree, e)
    return tree


def children(e):
    if isinstance(e, (core.Add, core.Mul)):
        return [e.left(), e.right()]
    if isinstance(e, core.Div):
        return [e.num(), e.den()]
    if isinstance(e, core.Pow):
        return [e.base(), e.exp()]
    if isinstance(e, (core.Neg, core.Sqrt, core.Cbrt, core.Sin, core.Cos, core.Tan, core.Log)):
        return [e.operand()]
    return []


def largest(tree, combine, cap):
    """The largest value of combine(node, values of its children) over the tree, each capped,
    computed without recursion.

    Accessors make a new Python object for a node that has none alive, so every object met is
    kept alive: it then stands for its node for the whole walk, and ids are not reused."""
    value, alive, pending = {}, [], [(tree, None)]
    while pending:
        e, kids = pending.pop()
        if id(e) in value:
            continue
        if kids is None:
            kids = children(e)
            alive.extend(kids)
            pending.append((e, kids))
            pending.extend((k, None) for k in kids)
        else:
            value[id(e)] = min(combine(e, [value[id(k)] for k in kids]), cap)
    return max(value.values())


def terms(e, sizes):
    """An upper bound of the terms that expanding e can produce; expansion also works inside
    nodes that it does not multiply out, hence the largest value over the tree is the bound."""
    if isinstance(e, core.Add):
        return sizes[0] + sizes[1]
    if isinstance(e, core.Mul):
        return sizes[0] * sizes[1]
    if isinstance(e, core.Pow) and isinstance(e.exp(), core.Int) and e.exp().value() > 0:
        return sizes[0] ** min(e.exp().value(), 64)
    return 1


def nodes(e, sizes):
    """The size of e as a tree, a shared subtree counted each time it is met."""
    return 1 + sum(sizes)


def text(e):
    """The rendering, or None for a tree holding a name that is not UTF-8."""
    try:
        return e.to_string()
    except UnicodeDecodeError:
        return None


def read_back(e, limit=500):
    """Reads the parts of up to `limit` nodes through their accessors."""
    pending = [e]
    while pending and limit:
        limit -= 1
        node = pending.pop()
        if isinstance(node, core.Int):
            node.value()
        elif isinstance(node, core.Rational):
            assert node.den() > 0, "a fraction with a denominator that is not positive"
        pending.extend(children(node))


@atheris.instrument_func
def run(operation, tree):
    """The result of operation(tree), or None when it raised a documented error."""
    try:
        result = operation(tree)
    except ValueError as error:
        documented(error)
        return None
    text(result)
    read_back(result)
    return result


def test_one_input(raw):
    data = atheris.FuzzedDataProvider(raw)
    tree = build(data)
    if largest(tree, nodes, MAX_NODES + 1) > MAX_NODES:
        return
    before = text(tree)
    simplified = run(core.simplify, tree)
    # Expansion multiplies out the simplified tree, whose exponents may only appear there
    # (27^3 becomes 19683); a tree that does not simplify fails before anything is multiplied.
    if largest(simplified or tree, terms, MAX_TERMS + 1) <= MAX_TERMS:
        run(core.expand, tree)
    assert text(tree) == before, "an operation changed its argument"


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
