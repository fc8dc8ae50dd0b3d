"""Extreme integers in every position, and hostile arguments at the Python boundary."""
import contextlib

import _kalvora_core as k
import pytest

from reference import simplify_sqrt, wrap

MIN, MAX = -(2**31), 2**31 - 1
ZERO_DIVISION = "ゼロ除算エラー"
ZERO_DENOMINATOR = "エラー: 分母をゼロにすることはできません。"
NEGATIVE_SQRT = "負の数の平方根はサポートされていません。"
TOO_WIDE = "エラー: 約分した分数が32ビット整数の範囲に収まりません。"

I, R, x, y = k.Int, k.Rational, k.Var("x"), k.Var("y")


def as_built(tree):
    return tree


# (operation, tree builder, the result's text or the message of the ValueError raised)
EXTREMES = [
    # numerators and denominators: normalised in 64 bits, refused when the result needs 33
    (as_built, lambda: R(MIN, 1), "-2147483648"),
    (as_built, lambda: R(MIN, MIN), "1"),
    (as_built, lambda: R(MIN, -2), "1073741824"),
    (as_built, lambda: R(0, MIN), "0"),
    (as_built, lambda: R(MAX, -1), "-2147483647"),
    (as_built, lambda: R(MIN, MAX), "-\\frac{2147483648}{2147483647}"),
    (as_built, lambda: R(1, MIN), TOO_WIDE),
    (as_built, lambda: R(MIN, -1), TOO_WIDE),
    (as_built, lambda: R(MAX, MIN), TOO_WIDE),
    (as_built, lambda: R(MIN, 0), ZERO_DENOMINATOR),
    # negating -2147483648 for display is done wide
    (as_built, lambda: k.Add(x, I(MIN)), "x - 2147483648"),
    (as_built, lambda: k.Add(x, R(MIN, 3)), "x - \\frac{2147483648}{3}"),
    (as_built, lambda: k.Neg(I(MIN)), "--2147483648"),
    (as_built, lambda: k.Mul(I(-1), I(MIN)), "--2147483648"),
    (as_built, lambda: k.Mul(I(MIN), I(MIN)), "-2147483648 \\cdot -2147483648"),
    (as_built, lambda: k.Pow(I(MIN), x), "\\left(-2147483648\\right)^{x}"),
    # folding wraps; no division traps
    (k.simplify, lambda: k.Neg(I(MIN)), "-2147483648"),
    (k.simplify, lambda: k.Neg(R(MIN, 1)), TOO_WIDE),  # a negated fraction is exact, so it cannot keep its sign
    (k.simplify, lambda: k.Neg(R(MIN, 3)), TOO_WIDE),
    (k.simplify, lambda: k.Add(I(MAX), I(1)), "-2147483648"),
    (k.simplify, lambda: k.Add(I(MIN), I(-1)), "2147483647"),
    (k.simplify, lambda: k.Mul(I(MIN), I(-1)), "-2147483648"),
    (k.simplify, lambda: k.Mul(I(65536), I(65536)), "0"),
    (k.simplify, lambda: k.Div(I(MIN), I(-1)), "-2147483648"),
    (k.simplify, lambda: k.Div(I(MIN), I(MIN)), "1"),
    (k.simplify, lambda: k.Div(I(MIN), I(-2)), "1073741824"),
    (k.simplify, lambda: k.Div(I(MIN), I(3)), "-\\frac{2147483648}{3}"),
    (k.simplify, lambda: k.Div(I(2), I(MIN)), "-\\frac{1}{1073741824}"),
    (k.simplify, lambda: k.Div(I(MIN), I(-3)), TOO_WIDE),
    (k.simplify, lambda: k.Div(I(1), I(MIN)), TOO_WIDE),
    (k.simplify, lambda: k.Div(I(MIN), I(0)), ZERO_DIVISION),
    (k.simplify, lambda: k.Div(x, R(0, MIN)), ZERO_DIVISION),
    # exponents
    (k.simplify, lambda: k.Pow(I(2), I(31)), "-2147483648"),
    (k.simplify, lambda: k.Pow(I(3), I(MAX)), str(wrap(pow(3, MAX, 2**32)))),
    (k.simplify, lambda: k.Pow(I(-1), I(MAX)), "-1"),
    (k.simplify, lambda: k.Pow(I(MIN), I(2)), "0"),
    (k.simplify, lambda: k.Pow(I(MAX), I(-1)), "\\frac{1}{2147483647}"),
    (k.simplify, lambda: k.Pow(I(0), I(MIN)), "0"),
    (k.simplify, lambda: k.Pow(I(1), I(MIN)), "1"),
    (k.simplify, lambda: k.Pow(x, I(MIN)), "x^{-2147483648}"),
    (k.simplify, lambda: k.Pow(I(2), I(-31)), TOO_WIDE),
    (k.simplify, lambda: k.Pow(I(MIN), I(-1)), TOO_WIDE),
    (k.simplify, lambda: k.Pow(I(2), I(-32)), ZERO_DENOMINATOR),
    (k.simplify, lambda: k.Pow(I(-1), I(MIN)), ZERO_DENOMINATOR),
    # radicands
    (k.simplify, lambda: k.Sqrt(I(MAX)), "\\sqrt{2147483647}"),
    (k.simplify, lambda: k.Sqrt(I(46340**2)), "46340"),
    (k.simplify, lambda: k.Sqrt(I(46339 * 46341)), "{}\\sqrt{{{}}}".format(*simplify_sqrt(46339 * 46341))),
    (k.simplify, lambda: k.Sqrt(I(2**30)), "32768"),
    (k.simplify, lambda: k.Sqrt(I(MIN)), NEGATIVE_SQRT),
    (k.simplify, lambda: k.Cbrt(I(MIN)), "\\sqrt[3]{-2147483648}"),
    (k.simplify, lambda: k.Cbrt(I(MAX)), "\\sqrt[3]{2147483647}"),
    (k.simplify, lambda: k.Cbrt(I(-(1290**3))), "-1290"),
    (k.simplify, lambda: k.Div(I(MIN), k.Sqrt(I(2))), "\\frac{-2147483648\\sqrt{2}}{2}"),
    (k.simplify, lambda: k.Div(x, k.Sqrt(I(MAX))), "\\frac{x\\sqrt{2147483647}}{2147483647}"),
    (k.simplify, lambda: k.Sin(k.Div(k.Pi(), I(MIN))), "\\sin\\left(\\frac{\\pi}{-2147483648}\\right)"),
    # coefficients and exponents collected by expansion wrap
    (k.expand, lambda: k.Add(k.Mul(I(MAX), x), x), "-2147483648x"),
    (k.expand, lambda: k.Neg(k.Mul(I(MIN), x)), "-2147483648x"),
    (k.expand, lambda: k.Mul(I(MIN), k.Add(x, I(-1))), "-2147483648x - 2147483648"),
    (k.expand, lambda: k.Add(k.Mul(I(MIN), x), k.Mul(I(MIN), y)), "-2147483648y + -2147483648x"),
    (k.expand, lambda: k.Mul(k.Pow(x, I(MAX)), x), "x^{-2147483648}"),
    (k.expand, lambda: k.Mul(k.Pow(x, I(MIN)), k.Pow(x, I(MIN))), "1"),
    (k.expand, lambda: k.Pow(k.Mul(x, y), I(MAX)), "y^{2147483647}x^{2147483647}"),
    (k.expand, lambda: k.Pow(k.Mul(I(2), x), I(MAX)), "0"),
    (k.expand, lambda: k.Pow(k.Add(x, I(1)), I(MIN)), "\\left(x + 1\\right)^{-2147483648}"),
    (k.expand, lambda: k.Mul(k.Add(x, I(MAX)), k.Add(x, I(1))), "x^{2} + -2147483648x + 2147483647"),
]


def outcome(operation, build):
    try:
        return operation(build()).to_string()
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize("operation, build, expected", EXTREMES,
                         ids=[f"{op.__name__}-{i}" for i, (op, _, _) in enumerate(EXTREMES)])
def test_extreme_integers(operation, build, expected):
    assert outcome(operation, build) == expected


class Indexable:
    def __index__(self):
        return 7


class Hostile:
    def __index__(self):
        raise RuntimeError("no integer here")


class Huge:
    def __index__(self):
        return 2**40


@pytest.mark.parametrize("value", [10**100, -(10**100), 2**32, Huge(), Hostile(), 1.5, 1j, None, b"1", [1]])
def test_unusable_integers_are_type_errors(value):
    for call in (lambda: I(value), lambda: R(value, 1), lambda: R(1, value)):
        with pytest.raises(TypeError):
            call()


def test_integer_subclasses_and_conversions():
    class Small(int):
        pass

    assert [I(v).value() for v in (True, Small(-3), Indexable())] == [1, -3, 7]
    assert (R(True, Small(4)).num(), R(True, Small(4)).den()) == (1, 4)
    assert type(I(Small(5)).value()) is int


def test_names_from_str_subclasses_and_bytes():
    class Name(str):
        pass

    assert k.Var(Name("s")).name() == "s" and type(k.Var(Name("s")).name()) is str
    assert k.Var(bytearray("é".encode())).name() == "é" and k.Var(b"").to_string() == ""
    with pytest.raises(TypeError):
        k.Var("\ud800")  # a lone surrogate has no UTF-8 form


def test_names_that_are_not_utf8_are_kept_byte_for_byte():
    bad, worse = k.Var(b"\xff\xfe"), k.Var(b"\xff\xfd")
    for unreadable in (bad.name, bad.to_string, k.Add(bad, x).to_string):
        with pytest.raises(UnicodeDecodeError):
            unreadable()
    doubled = k.expand(k.Add(bad, k.Var(b"\xff\xfe")))  # equal by their bytes
    assert doubled.left().value() == 2 and doubled.right() is bad
    ordered = k.expand(k.Add(worse, bad))  # descending byte order
    assert ordered.left() is bad and ordered.right() is worse


@pytest.mark.parametrize("value", [1, "x", 1.0, [x], k.Int, object()])
def test_non_node_arguments_are_type_errors(value):
    for call in (lambda: k.Neg(value), lambda: k.Add(x, value), lambda: k.Pow(value, x),
                 lambda: k.simplify(value), lambda: k.expand(value)):
        with pytest.raises(TypeError):
            call()


CLASSES = {"Int": ("value",), "Var": ("name",), "Rational": ("num", "den"), "Neg": ("operand",),
           "Add": ("left", "right"), "Mul": ("left", "right"), "Div": ("num", "den"), "Pow": ("base", "exp"),
           "Sqrt": ("operand",), "Pi": (), "E": (), "Cbrt": ("operand",), "Sin": ("operand",),
           "Cos": ("operand",), "Tan": ("operand",), "Log": ("operand",)}


@pytest.mark.parametrize("name", [*CLASSES, "Expr"])
def test_objects_whose_constructor_never_ran_are_refused(name):
    cls = getattr(k, name)
    hollow = cls.__new__(cls)
    for call in [getattr(hollow, m) for m in (*CLASSES.get(name, ()), "to_string")] + [
            lambda: k.Neg(hollow), lambda: k.Add(x, hollow), lambda: k.simplify(hollow), lambda: k.expand(hollow)]:
        with pytest.raises(TypeError):
            call()


def test_running_a_constructor_again_changes_nothing():
    s, r = k.Add(x, x), R(1, 2)
    for again in (lambda: k.Add.__init__(s, y, y), lambda: k.Rational.__init__(r, 1, 0), lambda: k.Int.__init__(s, 1)):
        with contextlib.suppress(TypeError):
            again()
    assert (s.to_string(), r.to_string()) == ("x + x", "\\frac{1}{2}")
    assert s.left() is x


def test_python_subclasses_of_nodes_are_nodes():
    class Name(k.Var):
        pass

    n = Name("n")
    assert k.simplify(n) is n and k.expand(k.Add(n, n)).to_string() == "2n"
