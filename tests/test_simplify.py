"""The rule-based simplifier seen from Python."""
import pytest

import _kalvora_core as k
from reference import shape
from test_tree import E, MAX, MIN, PI, full, message, mk

SQ2_2 = ("Div", ("Sqrt", 2), 2)

CASES = [
    # Neg
    (("Neg", ("Neg", "x")), "x"), (("Neg", ("Neg", ("Neg", "x"))), ("Neg", "x")),
    (("Neg", 5), -5), (("Neg", 0), 0), (("Neg", MIN), MIN),
    (("Neg", ("Rational", 1, 2)), ("Rational", -1, 2)), (("Neg", ("Rational", 4, 2)), ("Rational", -2, 1)),
    (("Neg", ("Rational", -MAX, 3)), ("Rational", MAX, 3)), (("Neg", ("Rational", MAX, 2)), ("Rational", -MAX, 2)),
    (("Neg", ("Add", "x", "y")), ("Neg", ("Add", "x", "y"))),
    # Add
    (("Add", 0, "x"), "x"), (("Add", "x", 0), "x"), (("Add", ("Neg", 0), "x"), "x"),
    (("Add", 3, ("Neg", 2)), 1), (("Add", MAX, 1), MIN),
    (("Add", "x", "x"), ("Mul", 2, "x")), (("Add", "x", ("Add", "x", 0)), ("Mul", 2, "x")),
    (("Add", ("Add", "x", "x"), ("Add", "x", "x")), ("Mul", 2, ("Mul", 2, "x"))),
    (("Add", ("Rational", 1, 2), ("Rational", 1, 2)), ("Mul", 2, ("Rational", 1, 2))),
    (("Add", ("Rational", 0, 1), "x"), ("Add", ("Rational", 0, 1), "x")),
    (("Add", 1, ("Rational", 1, 2)), ("Add", 1, ("Rational", 1, 2))),
    (("Add", "x", ("Neg", "x")), ("Add", "x", ("Neg", "x"))),
    (("Add", 1, ("Add", 2, "x")), ("Add", 1, ("Add", 2, "x"))),
    (("Add", ("Mul", 2, "x"), ("Mul", "x", 2)), ("Add", ("Mul", 2, "x"), ("Mul", "x", 2))),
    (("Add", ("Sin", ("Div", PI, 4)), ("Cos", ("Div", PI, 4))), ("Mul", 2, SQ2_2)),
    # Mul
    (("Mul", "x", 0), 0), (("Mul", 0, "x"), 0), (("Mul", "x", ("Mul", 0, "y")), 0),
    (("Mul", 1, "x"), "x"), (("Mul", "x", 1), "x"), (("Mul", 6, 7), 42),
    (("Mul", 65536, 65536), 0), (("Mul", MIN, -1), MIN),
    (("Mul", "x", "x"), ("Mul", "x", "x")), (("Mul", 2, ("Mul", 3, "x")), ("Mul", 2, ("Mul", 3, "x"))),
    (("Mul", ("Rational", 1, 1), "x"), ("Mul", ("Rational", 1, 1), "x")),
    (("Mul", ("Rational", 0, 1), "x"), ("Mul", ("Rational", 0, 1), "x")),
    # Div
    (("Div", 0, "x"), 0), (("Div", 0, ("Sqrt", 2)), 0), (("Div", 6, 3), 2), (("Div", 6, -3), -2),
    (("Div", 6, 4), ("Rational", 3, 2)), (("Div", 6, -4), ("Rational", -3, 2)),
    (("Div", MIN, -1), MIN), (("Div", MIN, 2), -1073741824), (("Div", MIN, 3), ("Rational", MIN, 3)),
    (("Div", 2, MIN), ("Rational", -1, 1073741824)),
    (("Div", "x", "x"), 1), (("Div", ("Rational", 1, 2), ("Rational", 1, 2)), 1),
    (("Div", ("Rational", 0, 1), "x"), ("Div", ("Rational", 0, 1), "x")),
    (("Div", 1, ("Sqrt", 2)), SQ2_2), (("Div", "x", ("Sqrt", 3)), ("Div", ("Mul", "x", ("Sqrt", 3)), 3)),
    (("Div", 2, ("Sqrt", 2)), ("Div", ("Mul", 2, ("Sqrt", 2)), 2)),
    (("Div", ("Sqrt", 3), ("Sqrt", 2)), ("Div", ("Mul", ("Sqrt", 3), ("Sqrt", 2)), 2)),
    (("Div", ("Sqrt", 2), ("Sqrt", 2)), 1), (("Div", 1, ("Sqrt", 8)), ("Div", 1, ("Mul", 2, ("Sqrt", 2)))),
    (("Div", 1, ("Sqrt", 4)), ("Rational", 1, 2)), (("Div", "x", ("Sqrt", "x")), ("Div", "x", ("Sqrt", "x"))),
    (("Div", "x", 1), ("Div", "x", 1)), (("Div", "x", ("Neg", -1)), ("Div", "x", 1)),
    (("Div", "x", ("Rational", 1, 1)), ("Div", "x", ("Rational", 1, 1))),
    # Pow
    (("Pow", 0, 0), 1), (("Pow", "x", 0), 1), (("Pow", ("Rational", 1, 2), 0), 1),
    (("Pow", "x", 1), "x"), (("Pow", 0, -1), 0), (("Pow", 0, -3), 0), (("Pow", 1, "n"), 1),
    (("Pow", 1, -5), 1), (("Pow", 2, 10), 1024), (("Pow", 2, 31), MIN), (("Pow", -2, 31), MIN),
    (("Pow", 2, 32), 0), (("Pow", 3, 20), -808182895), (("Pow", 2, -2), ("Rational", 1, 4)),
    (("Pow", -2, -3), ("Rational", -1, 8)), (("Pow", -1, -3), ("Rational", -1, 1)),
    (("Pow", ("Pow", "x", 2), 3), ("Pow", ("Pow", "x", 2), 3)),
    (("Pow", ("Rational", 1, 2), 2), ("Pow", ("Rational", 1, 2), 2)),
    (("Pow", ("Rational", 1, 1), "x"), ("Pow", ("Rational", 1, 1), "x")),
    # Sqrt
    (("Sqrt", 0), 0), (("Sqrt", 1), 1), (("Sqrt", 9), 3), (("Sqrt", 12), ("Mul", 2, ("Sqrt", 3))),
    (("Sqrt", 48), ("Mul", 4, ("Sqrt", 3))), (("Sqrt", 72), ("Mul", 6, ("Sqrt", 2))),
    (("Sqrt", 1000000), 1000), (("Sqrt", 2147395600), 46340), (("Sqrt", 2), ("Sqrt", 2)),
    (("Sqrt", MAX), ("Sqrt", MAX)), (("Sqrt", ("Pow", "x", 2)), ("Sqrt", ("Pow", "x", 2))),
    (("Sqrt", ("Rational", 1, 4)), ("Sqrt", ("Rational", 1, 4))), (("Sqrt", ("Add", 4, 5)), 3),
    # Cbrt
    (("Cbrt", 0), 0), (("Cbrt", 1), 1), (("Cbrt", 27), 3), (("Cbrt", ("Neg", 8)), -2), (("Cbrt", -1), -1),
    (("Cbrt", 2146689000), 1290), (("Cbrt", -2146689000), -1290), (("Cbrt", ("Pow", "x", 3)), "x"),
    (("Cbrt", ("Pow", ("Neg", "x"), 3)), ("Neg", "x")), (("Cbrt", ("Pow", 2, 3)), 2),
    (("Cbrt", 16), ("Cbrt", 16)), (("Cbrt", MAX), ("Cbrt", MAX)),
    (("Cbrt", ("Pow", "x", ("Rational", 3, 1))), ("Cbrt", ("Pow", "x", ("Rational", 3, 1)))),
    # Log
    (("Log", 1), 0), (("Log", E), 1), (("Log", ("Pow", E, "x")), "x"), (("Log", ("Pow", E, 2)), 2),
    (("Log", ("Pow", "x", E)), ("Log", ("Pow", "x", E))), (("Log", 0), ("Log", 0)), (("Log", -1), ("Log", -1)),
    # Sin, Cos, Tan
    (("Sin", 0), 0), (("Cos", 0), 1), (("Tan", 0), 0), (("Sin", PI), 0), (("Cos", PI), -1), (("Tan", PI), 0),
    (("Tan", ("Div", PI, 1)), 0), (("Sin", ("Div", PI, 2)), 1), (("Cos", ("Div", PI, 2)), 0),
    (("Sin", ("Div", PI, 4)), SQ2_2), (("Cos", ("Div", PI, 4)), SQ2_2), (("Tan", ("Div", PI, 4)), 1),
    (("Sin", ("Div", PI, ("Add", 2, 2))), SQ2_2), (("Cos", ("Div", ("Mul", 1, PI), 2)), 0),
    (("Cos", ("Add", PI, 0)), -1),
    (("Sin", ("Div", PI, 6)), ("Sin", ("Div", PI, 6))), (("Sin", ("Div", PI, 3)), ("Sin", ("Div", PI, 3))),
    (("Sin", ("Div", PI, -2)), ("Sin", ("Div", PI, -2))), (("Sin", ("Mul", 2, PI)), ("Sin", ("Mul", 2, PI))),
    (("Cos", ("Div", PI, ("Rational", 2, 1))), ("Cos", ("Div", PI, ("Rational", 2, 1)))),
    (("Tan", ("Rational", 0, 1)), ("Tan", ("Rational", 0, 1))), (("Sin", "x"), ("Sin", "x")),
]


@pytest.mark.parametrize("tree,expected", CASES)
def test_simplify(tree, expected):
    assert shape(k.simplify(mk(tree))) == full(expected)


ZERO_DIV = "ゼロ除算エラー"
ZERO_DEN = "エラー: 分母をゼロにすることはできません。"
NEG_SQRT = "負の数の平方根はサポートされていません。"
TAN = "tan(pi/2) は定義されていません"
RANGE = "エラー: 約分した分数が32ビット整数の範囲に収まりません。"


@pytest.mark.parametrize("tree,text", [
    (("Div", "x", 0), ZERO_DIV), (("Div", 0, 0), ZERO_DIV), (("Div", "x", ("Add", 1, -1)), ZERO_DIV),
    (("Div", "x", ("Mul", "y", 0)), ZERO_DIV), (("Div", "x", ("Rational", 0, 1)), ZERO_DIV),
    (("Div", 0, ("Rational", 0, 1)), ZERO_DIV), (("Div", ("Rational", 0, 1), ("Rational", 0, 1)), ZERO_DIV),
    (("Div", "x", ("Neg", ("Rational", 0, 3))), ZERO_DIV), (("Sin", ("Div", PI, 0)), ZERO_DIV),
    (("Mul", 0, ("Div", 1, 0)), ZERO_DIV), (("Pow", 0, ("Div", 1, 0)), ZERO_DIV),
    (("Pow", 2, -32), ZERO_DEN), (("Pow", 2, MIN), ZERO_DEN), (("Pow", 3, MIN), ZERO_DEN),
    (("Pow", 2, -31), RANGE), (("Div", 1, MIN), RANGE),
    (("Neg", ("Rational", MIN, 3)), RANGE), (("Neg", ("Rational", MIN, 1)), RANGE), (("Neg", ("Div", MIN, 7)), RANGE),
    (("Sqrt", -4), NEG_SQRT), (("Sqrt", ("Neg", 4)), NEG_SQRT), (("Sqrt", MIN), NEG_SQRT),
    (("Add", 0, ("Sqrt", -1)), NEG_SQRT), (("Tan", ("Div", PI, 2)), TAN),
    (("Tan", ("Div", PI, ("Add", 1, 1))), TAN),
    # children are simplified left to right, before the parent's rules
    (("Div", ("Div", 1, 0), ("Sqrt", -1)), ZERO_DIV), (("Div", ("Sqrt", -1), ("Div", 1, 0)), NEG_SQRT),
    (("Add", ("Tan", ("Div", PI, 2)), ("Div", 1, 0)), TAN), (("Pow", ("Sqrt", -1), ("Div", 1, 0)), NEG_SQRT),
])
def test_errors_leave_argument_unchanged(tree, text):
    e = mk(tree)
    before = shape(e)
    with pytest.raises(ValueError) as excinfo:
        k.simplify(e)
    assert message(excinfo) == text
    assert shape(e) == before


def get(e, path):
    for name in path:
        e = getattr(e, name)()
    return e


# (tree, path in the result, path in the argument): both lead to the same node.
@pytest.mark.parametrize("tree,res_path,arg_path", [
    (("Add", 0, "x"), (), ("right",)), (("Add", "x", 0), (), ("left",)),
    (("Mul", 1, "x"), (), ("right",)), (("Mul", "x", 1), (), ("left",)),
    (("Pow", "x", 1), (), ("base",)), (("Pow", 0, "y"), (), ("base",)), (("Pow", 1, -2), (), ("base",)),
    (("Neg", ("Neg", "x")), (), ("operand", "operand")), (("Log", ("Pow", E, "x")), (), ("operand", "exp")),
    (("Cbrt", ("Pow", ("Add", "x", 1), 3)), ("left",), ("operand", "base", "left")),
    (("Add", "x", "x"), ("right",), ("left",)), (("Sqrt", 2), ("operand",), ("operand",)),
    (("Add", ("Add", "x", "y"), PI), ("left", "left"), ("left", "left")),
    (("Div", "x", ("Sqrt", 3)), ("num", "left"), ("num",)),
])
def test_shared_subtrees(tree, res_path, arg_path):
    e = mk(tree)
    assert get(k.simplify(e), res_path) is get(e, arg_path)


@pytest.mark.parametrize("leaf", [k.Int(3), k.Var("x"), k.Rational(1, 2), k.Pi(), k.E()])
def test_leaf_is_returned_itself(leaf):
    assert k.simplify(leaf) is leaf


@pytest.mark.parametrize("tree", [("Add", "x", "y"), ("Sqrt", 2), ("Sin", "x"), ("Div", "x", 1)])
def test_unmatched_node_is_rebuilt(tree):
    e = mk(tree)
    result = k.simplify(e)
    assert result is not e and shape(result) == full(tree)


def test_none():
    assert k.simplify(None) is None
