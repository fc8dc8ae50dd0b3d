"""The value type: construction, exactness, value semantics, the core bridge, and scale."""

import copy
import pickle
import sys
from fractions import Fraction

import _kalvora_core as core
import pytest

import kalvora
from kalvora import Formula, Kind, MathError, parse
from kalvora.formula import add, div, mul, neg, number, power, symbol

x, y = kalvora.symbols("x y")


@pytest.mark.parametrize(("built", "typed"), [
    (x + 1, "x + 1"),
    (1 - x, "1 - x"),
    (2 * x, "2x"),
    (x / 2, "x/2"),
    (x**3, "x^3"),
    (-x, "-x"),
    (x * -2, "x*(-2)"),
    (Fraction(1, 3) * x, "1/3*x"),
    (Fraction(-1, 3) * x, "-1/3*x"),
    (x + y + 1, "x+y+1"),
    (x + (y + 1), "x+(y+1)"),
    (x * y * 2, "xy*2"),
    ((x + 1) ** 3, "(x+1)^3"),
    (kalvora.sqrt(x) + kalvora.cbrt(8), "sqrt(x) + cbrt(8)"),
    (kalvora.sin(x) * kalvora.cos(x) / kalvora.tan(x), "sin(x)cos(x)/tan(x)"),
    (kalvora.log(x) - kalvora.ln(y), "log(x) - ln(y)"),
    (kalvora.exp(2 * x), "exp(2x)"),
    (2 * kalvora.pi * kalvora.symbol("r"), "2pi r"),
    (kalvora.e**x, "e^x"),
    (kalvora.symbol("alpha") + kalvora.symbol("x_1"), "alpha + x_1"),
])
def test_python_arithmetic_builds_what_the_same_text_parses_to(built, typed):
    assert built == parse(typed)
    assert hash(built) == hash(parse(typed))
    assert built == Formula(typed)


def test_numbers_are_exact_whatever_their_size():
    big = number(10**400)
    assert (big * big).args[1].value == 10**400
    assert Formula(-(10**50)).value == -(10**50)
    assert Formula(Fraction(6, 4)) == div(number(3), number(2))
    assert Formula(Fraction(4, 2)) == number(2)


@pytest.mark.parametrize("bad", [1.5, float("nan"), 0.0])
def test_a_float_is_refused_everywhere_with_advice(bad):
    for attempt in (lambda: x + bad, lambda: bad * x, lambda: x**bad, lambda: Formula(bad),
                    lambda: kalvora.sqrt(bad), lambda: x.subs(x=bad)):
        with pytest.raises(TypeError, match="Fraction"):
            attempt()


@pytest.mark.parametrize("bad", [None, b"x", [x], True, object()])
def test_wrong_argument_types_are_type_errors_naming_what_was_expected(bad):
    with pytest.raises(TypeError, match="Formula"):
        Formula(bad)
    with pytest.raises(TypeError):
        kalvora.sin(bad)
    with pytest.raises(TypeError):
        x + bad


def test_formulas_are_immutable():
    f = x + 1
    with pytest.raises(AttributeError):
        f._args = ()  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del f._kind


@pytest.mark.parametrize(("a", "b"), [
    (x + 1, 1 + x),                      # no operation is commutative here
    (parse("2*3"), number(6)),           # nothing is evaluated
    (x + y + 1, x + (y + 1)),
    (symbol("x_1"), symbol("x_2")),
    (number(1), div(number(1), number(1))),
])
def test_structurally_different_formulas_are_unequal(a, b):
    assert a != b
    assert not a == b


def test_decimals_equal_the_same_number_and_hash_alike():
    quarter = parse("0.25")
    assert quarter.value == Fraction(1, 4) and quarter.spelling == "0.25"
    assert quarter == parse("0.250") and hash(quarter) == hash(parse("0.250"))
    assert parse("-0.5").value == Fraction(-1, 2)


def test_equality_against_other_types_is_false_not_an_error():
    assert (x == "x") is False
    assert x != 1
    assert {x: 1}[symbol("x")] == 1


@pytest.mark.parametrize("f", [
    x + 1, "0.25x - 3/4", "sin^2 x + alpha_1", number(-(10**60)), (x + 1) ** -2, kalvora.pi / kalvora.e,
])
def test_pickle_copy_and_repr_round_trip(f):
    f = Formula(f)
    assert pickle.loads(pickle.dumps(f)) == f
    assert copy.copy(f) is f and copy.deepcopy([f])[0] is f
    text = repr(f)
    assert text.startswith("Formula(") and eval(text, {"Formula": Formula}) == f
    assert parse(str(f)) == f


def test_pickle_keeps_shared_subtrees_shared():
    f = x
    for _ in range(60):  # 2^60 leaves as a tree, 61 nodes as a graph
        f = f + f
    restored = pickle.loads(pickle.dumps(f))
    assert restored.args[0] is restored.args[1]
    assert restored == f and hash(restored) == hash(f)
    assert restored.free_symbols == {x}


def test_subs_replaces_variables_by_numbers_or_formulas():
    f = x**2 + y
    assert f.subs({x: 2}) == power(number(2), number(2)) + y
    assert f.subs(x=y, y=x) == y**2 + x
    assert f.subs({"x": "a+b"}) == parse("(a+b)^2 + y")
    assert f.subs({y: -3}) == x**2 + number(-3)
    assert f.subs({x: Fraction(1, 2)}) == parse("(1/2)^2 + y")
    assert (x - y).subs(y=3) == add(x, number(-3))  # the minus sign joins the number
    assert f == x**2 + y  # the input is never changed
    with pytest.raises(TypeError):
        f.subs({x + 1: 2})
    with pytest.raises(TypeError):
        f.subs([(x, 2)])  # type: ignore[arg-type]


def test_free_symbols():
    assert parse("a x^2 + sin(theta) + pi + e").free_symbols == set(kalvora.symbols("a x theta"))
    assert parse("2^3").free_symbols == frozenset()


@pytest.mark.parametrize(("text", "as_float", "as_int"), [
    ("2*3 - 1", 5.0, 5),
    ("7/2", 3.5, 3),
    ("-7/2", -3.5, -3),
    ("(2/3)^-2", 2.25, 2),
    ("0.1 + 0.2", 0.3, 0),
    ("2^100", 2.0**100, 2**100),
])
def test_float_and_int_of_closed_formulas(text, as_float, as_int):
    f = parse(text)
    assert float(f) == pytest.approx(as_float, rel=1e-15)
    assert int(f) == as_int


@pytest.mark.parametrize(("text", "message"), [
    ("x + 1", "変数 x"),
    ("1/0", "ゼロ除算"),
    ("sqrt(-1)", None),
    ("log(0)", None),
    ("(-8)^(1/3)", None),
])
def test_float_of_formulas_without_a_real_value_is_a_math_error(text, message):
    with pytest.raises(MathError, match=message):
        float(parse(text))


def test_float_keeps_rational_parts_exact():
    # (x - 2/3)^9 expanded, at x = 3/5: float arithmetic would cancel every digit away
    expanded = kalvora.expand("(x - 2/3)^9").subs(x=Fraction(3, 5))
    assert float(expanded) == float(Fraction(-1, 15) ** 9)
    assert float(kalvora.cbrt(expanded)) == pytest.approx(float(Fraction(-1, 15) ** 3), rel=1e-14)
    assert float(parse("sqrt(2) + 10^400/10^399")) == pytest.approx(10 + 2**0.5)


def test_int_needs_an_exact_rational_value():
    assert float(parse("sqrt(2)")) == pytest.approx(2**0.5)
    with pytest.raises(MathError, match="float"):
        int(parse("sqrt(4)"))
    with pytest.raises(MathError, match="大きすぎ"):
        int(parse("2^(10^10)"))


def test_to_core_and_back():
    f = parse("(x + 1)^3 - 2 sin(alpha x_1) / 4")
    tree = f.to_core()
    assert tree.to_string() == r"\left(x + 1\right)^{3} + \frac{-2\sin\left(\alpha x_{1}\right)}{4}"
    assert Formula.from_core(tree) == f
    assert parse("0.25").to_core().to_string() == r"\frac{1}{4}"  # a decimal comes back as the quotient 1/4


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, Fraction(1, 2**31)])
def test_to_core_refuses_numbers_beyond_32_bits(value):
    with pytest.raises(MathError, match="32ビット"):
        (x + value).to_core()


def test_from_core_accepts_subclasses_and_refuses_unknown_names():
    class MyVar(core.Var):
        pass

    assert Formula.from_core(core.Add(MyVar("x"), core.Int(1))) == x + 1
    assert Formula(core.Mul(core.Rational(1, 3), core.Var("\\theta"))) == parse("1/3 theta")
    with pytest.raises(MathError, match="変数名"):
        Formula.from_core(core.Var("xy"))
    with pytest.raises(TypeError):
        Formula.from_core("x")  # type: ignore[arg-type]


def test_core_functions_return_formulas_and_map_errors():
    assert kalvora.core_expand("(x+1)^2") == parse("x^2 + 2x + 1")
    assert kalvora.core_simplify(parse("sqrt(8)")) == parse("2 sqrt(2)")
    with pytest.raises(MathError, match="ゼロ除算エラー"):
        kalvora.core_simplify("1/0")


DEPTH = 100_000


@pytest.mark.slow
@pytest.mark.parametrize("grow", [
    neg, lambda f: f + 1, lambda f: 1 + f, lambda f: power(f, number(2)), lambda f: div(number(1), kalvora.sqrt(f)),
], ids=["neg", "sum-left", "sum-right", "power-base", "root-in-denominator"])
def test_deep_formulas_compare_hash_pickle_and_convert(grow):
    a, b = x, symbol("x")
    for _ in range(DEPTH):
        a, b = grow(a), grow(b)
    assert a == b and hash(a) == hash(b) and a is not b
    assert a != grow(b)
    assert pickle.loads(pickle.dumps(a)) == a
    assert a.subs(x=y).free_symbols == {y}
    assert Formula.from_core(a.to_core()) == a


@pytest.mark.slow
def test_a_million_terms():
    f = add(*map(number, range(1, 1_000_001)))
    assert len(f.args) == 1_000_000
    assert pickle.loads(pickle.dumps(f)) == f
    longer = f + x
    assert longer != f and len(longer.args) == 1_000_001 and longer.args[:-1] == f.args
