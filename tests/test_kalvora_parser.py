import pytest
from hypothesis import given, strategies as st

import kalvora
from kalvora import MAX_DEPTH, ParseError, parse, tree

x, y = "Var('x')", "Var('y')"

CONSTRUCTS = [
    # numbers, names and constants
    ("12", "Int(12)"),
    ("007", "Int(7)"),
    ("2147483647", "Int(2147483647)"),
    ("x", x),
    ("α", "Var('α')"),
    ("x1", "Var('x_{1}')"),
    ("x_1", "Var('x_{1}')"),
    ("x_ab", "Var('x_{ab}')"),
    ("x12y", f"Mul(Var('x_{{12}}'), {y})"),
    ("pi + π", "Add(Pi(), Pi())"),
    ("e", "E()"),
    # runs of letters: function and constant words first, otherwise single letters
    ("ab", "Mul(Var('a'), Var('b'))"),
    ("ab1", "Mul(Var('a'), Var('b_{1}'))"),
    ("2pix", f"Mul(Mul(Int(2), Pi()), {x})"),
    ("xe", f"Mul({x}, E())"),
    ("xsin(x)", f"Mul({x}, Sin({x}))"),
    # sums and signs
    ("x + y + 1", f"Add(Add({x}, {y}), Int(1))"),
    ("x - y", f"Add({x}, Neg({y}))"),
    ("x - -y", f"Add({x}, Neg(Neg({y})))"),
    ("+x", x),
    ("-5", "Neg(Int(5))"),
    ("-2x", f"Neg(Mul(Int(2), {x}))"),
    ("-x/y", f"Neg(Div({x}, {y}))"),
    ("x − y", f"Add({x}, Neg({y}))"),
    # products and quotients, explicit and implicit, all left to right
    ("2 * x", f"Mul(Int(2), {x})"),
    ("2 × x · y", f"Mul(Mul(Int(2), {x}), {y})"),
    ("3(x+1)", f"Mul(Int(3), Add({x}, Int(1)))"),
    ("(x+1)(x-1)", f"Mul(Add({x}, Int(1)), Add({x}, Neg(Int(1))))"),
    ("3/4", "Div(Int(3), Int(4))"),
    ("x ÷ 2", f"Div({x}, Int(2))"),
    ("1/2x", f"Mul(Div(Int(1), Int(2)), {x})"),
    ("x/y/2", f"Div(Div({x}, {y}), Int(2))"),
    ("2*-3", "Mul(Int(2), Neg(Int(3)))"),
    ("x/-y", f"Div({x}, Neg({y}))"),
    # powers: tighter than signs and products, right-associative
    ("x^2", f"Pow({x}, Int(2))"),
    ("x**2", f"Pow({x}, Int(2))"),
    ("-2^2", "Neg(Pow(Int(2), Int(2)))"),
    ("2^3^2", "Pow(Int(2), Pow(Int(3), Int(2)))"),
    ("2^-1", "Pow(Int(2), Neg(Int(1)))"),
    ("2x^2y", f"Mul(Mul(Int(2), Pow({x}, Int(2))), {y})"),
    ("(x+1)^2(x-1)", f"Mul(Pow(Add({x}, Int(1)), Int(2)), Add({x}, Neg(Int(1))))"),
    ("e^(i pi)", "Pow(E(), Mul(Var('i'), Pi()))"),
    # functions
    ("sqrt(x)", f"Sqrt({x})"),
    ("cbrt(8)", "Cbrt(Int(8))"),
    ("sin(x) cos(x) tan(x)", f"Mul(Mul(Sin({x}), Cos({x})), Tan({x}))"),
    ("ln(x) + log(x)", f"Add(Log({x}), Log({x}))"),
    ("exp(x)", f"Pow(E(), {x})"),
    ("sin^2(x)", f"Pow(Sin({x}), Int(2))"),
    ("2sin(pi/2)", "Mul(Int(2), Sin(Div(Pi(), Int(2))))"),
    (" ( ( x ) ) ", x),
]


@pytest.mark.parametrize(("text", "expected"), CONSTRUCTS)
def test_each_construct_gives_its_tree(text, expected):
    assert tree(parse(text)) == expected


@pytest.mark.parametrize(("text", "expected"), CONSTRUCTS)
def test_tree_text_rebuilds_the_same_tree(text, expected):
    rebuilt = eval(tree(parse(text)), vars(kalvora))
    assert tree(rebuilt) == expected


ERRORS = [
    ("", 0, "式が空です"),
    ("   ", 3, "式が空です"),
    ("x +", 3, "式が途中で終わっています"),
    ("x + * 2", 4, "'*' ではなく"),
    ("()", 1, "')' ではなく"),
    ("x 2", 2, "演算子が必要です"),
    ("(x+1)2", 5, "演算子が必要です"),
    ("(x+1", 0, "閉じられていません"),
    ("((x+1) 2", 7, "演算子か ')' が必要です"),
    ("x)", 1, "対応する '(' のない ')'"),
    ("sin x", 4, "sin の後には '(' が必要です"),
    ("sin2(x)", 3, "sin の後には '(' が必要です"),
    ("sin^x(y)", 4, "整数で書いてください"),
    ("2.5", 1, "小数は"),
    ("x $ y", 2, "使えない文字 '$'"),
    ("x_", 1, "'_' の後に添字"),
    ("pi_1", 2, "使えない文字 '_'"),
    ("1 + 2147483648", 4, "整数が大きすぎます"),
    ("9" * 5000, 0, "整数が大きすぎます"),
]


@pytest.mark.parametrize(("text", "position", "reason"), ERRORS)
def test_bad_input_names_the_position(text, position, reason):
    with pytest.raises(ParseError) as caught:
        parse(text)
    error = caught.value
    assert isinstance(error, ValueError)
    assert (error.position, error.text) == (position, text)
    assert reason in error.reason
    assert str(error).split("\n") == [f"{position + 1} 文字目: {error.reason}", f"  {text}", "  " + " " * position + "^"]


@pytest.mark.parametrize(("text", "column"), [("あ$", 2), ("αβ $", 3), ("x\t$", 2)])
def test_caret_counts_wide_characters_as_two_columns(text, column):
    with pytest.raises(ParseError) as caught:
        parse(text)
    assert str(caught.value).split("\n")[2] == "  " + " " * column + "^"


@pytest.mark.parametrize("unit", ["(", "-", "sqrt(", "2^"])
def test_nesting_up_to_the_limit_parses_and_deeper_is_refused(unit):
    closing = ")" * unit.count("(")
    assert parse(unit * MAX_DEPTH + "2" + closing * MAX_DEPTH) is not None
    with pytest.raises(ParseError, match="入れ子が深すぎます"):
        parse(unit * 5000 + "2" + closing * 5000)


def test_long_flat_input_is_not_limited():
    assert tree(parse("+".join(["x"] * 20000))).count("Add(") == 19999


@given(st.text(alphabet="xy2 +-*/^()_.sinpe√π", max_size=30))
def test_any_text_gives_a_tree_or_a_parse_error(text):
    try:
        parse(text)
    except ParseError as error:
        assert 0 <= error.position <= len(text)
