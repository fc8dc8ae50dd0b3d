"""The parser: what each construct builds, the normalisation of typed text, errors and
their positions in the typed text, depth, long literals, and fuzzing."""

import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from kalvora import (Formula, MathError, ParseError, cbrt, core_expand, cos, e, exp, expand, factor, latex, log, parse, pi,
                     simplify, sin, sqrt, symbol, symbols, tan, tree)
from kalvora.formula import decimal, neg, number, power
from formula_strategies import unlimited_int_text

x, y, a, b, c, i = symbols("x y a b c i")
alpha, beta, theta, xi, Delta = symbols("alpha beta theta xi Delta")
N = number

CONSTRUCTS = [
    # numbers, names and constants
    ("12", N(12)),
    ("007", N(7)),
    ("x", x),
    ("α", alpha),
    ("alpha", alpha),
    ("x1", symbol("x_1")),
    ("x_1", symbol("x_1")),
    ("x_ab", symbol("x_ab")),
    ("x_{ab}", symbol("x_ab")),
    ("x12y", symbol("x_12") * y),
    ("θ_0", symbol("theta_0")),
    ("alpha2", symbol("alpha_2")),
    ("pi + π", pi + pi),
    ("e", e),
    # runs of letters: function, constant and Greek words first (longest), otherwise single letters
    ("ab", a * b),
    ("ab1", a * symbol("b_1")),
    ("2pix", 2 * pi * x),
    ("xe", x * e),
    ("xsin(x)", x * sin(x)),
    ("2alpha x", 2 * alpha * x),
    ("2alphax", 2 * alpha * x),
    ("thetax", theta * x),
    ("betax", beta * x),
    ("xi", xi),
    ("Delta x", Delta * x),
    ("αβ", alpha * beta),
    # sums and signs
    ("x + y + 1", x + y + 1),
    ("x - y", x - y),
    ("x - 3", x + N(-3)),
    ("x - -y", x - (-y)),
    ("+x", x),
    ("-5", N(-5)),
    ("--5", N(5)),
    ("-2x", -(2 * x)),
    ("-2x", N(-2) * x),  # the sign of a leading number is the number's, as in Python
    ("x - 3y", x + N(-3) * y),
    ("x - 1/2y", x + N(-1) / 2 * y),
    ("x - 0.5y", x - Formula("0.5") * y),
    ("-2^2", neg(N(2) ** 2)),  # the base of a power keeps its own sign: -(2^2)
    ("-(2x)", N(-2) * x),
    ("-x/y", -(x / y)),
    ("(a+b)+c", a + b + c),
    ("a+(b+c)", a + (b + c)),
    # products and quotients, explicit and implicit, all left to right
    ("2 * x", 2 * x),
    ("3(x+1)", 3 * (x + 1)),
    ("(x+1)(x-1)", (x + 1) * (x - 1)),
    ("2*3*4", N(2) * 3 * 4),
    ("2*(3*4)", N(2) * (N(3) * 4)),
    ("3/4", N(3) / 4),
    ("1/2x", N(1) / 2 * x),
    ("x/y/2", x / y / 2),
    ("a/bc", a / b * c),
    ("a*b/c", a * b / c),
    ("2*-3", N(2) * N(-3)),
    ("2*-3x", N(2) * N(-3) * x),
    ("x/-y", x / -y),
    ("x*(-3)", x * N(-3)),
    # powers: tighter than signs and products, right-associative
    ("x^2", x**2),
    ("x**2", x**2),
    ("-2^2", -(N(2) ** 2)),
    ("2^3^2", N(2) ** (N(3) ** 2)),
    ("2^-1", N(2) ** N(-1)),
    ("2^-x^2", N(2) ** -(x**2)),
    ("2x^2y", 2 * x**2 * y),
    ("(x+1)^2(x-1)", (x + 1) ** 2 * (x - 1)),
    ("e^(i pi)", e ** (i * pi)),
    # functions with parentheses
    ("sqrt(x)", sqrt(x)),
    ("cbrt(8)", cbrt(8)),
    ("sin(x) cos(x) tan(x)", sin(x) * cos(x) * tan(x)),
    ("ln(x) + log(x)", log(x) + log(x)),
    ("exp(x)", exp(x)),
    ("exp(x)", e**x),
    ("sin^2(x)", sin(x) ** 2),
    ("sin**2(x)", sin(x) ** 2),
    ("sin(x)^2", sin(x) ** 2),
    ("sin (x+1)", sin(x + 1)),
    ("2sin(pi/2)", 2 * sin(pi / 2)),
    (" ( ( x ) ) ", x),
    # functions applied to the monomial that follows
    ("sin x", sin(x)),
    ("sinx", sin(x)),
    ("sin 2x", sin(2 * x)),
    ("sin2x", sin(2 * x)),
    ("log x", log(x)),
    ("sin^2 x", sin(x) ** 2),
    ("sin x cos x", sin(x) * cos(x)),
    ("sin x + 1", sin(x) + 1),
    ("sin x^2", sin(x**2)),
    ("sin x^2 y", sin(x**2 * y)),
    ("sin x/2", sin(x) / 2),
    ("sin x*y", sin(x) * y),
    ("2sin x", 2 * sin(x)),
    ("sin 2pi x", sin(2 * pi * x)),
    ("-sin x y", -sin(x * y)),
    ("sin x sqrt(2)", sin(x) * sqrt(2)),
    ("sqrt 2x", sqrt(2 * x)),
    ("exp x", exp(x)),
    ("sin 0.5x", sin(decimal(Fraction(1, 2), "0.5") * x)),
    ("cos^2 x + sin^2 x", cos(x) ** 2 + sin(x) ** 2),
    ("sin x^(a+b) c", sin(x ** (a + b) * c)),
    # root signs cover one factor, as a radical sign does
    ("√2", sqrt(2)),
    ("√(x+1)", sqrt(x + 1)),
    ("∛8", cbrt(8)),
    ("√2x", sqrt(2) * x),
    ("2√3", 2 * sqrt(3)),
    ("√x^2", sqrt(x**2)),
    ("√√2", sqrt(sqrt(2))),
    ("√-1", sqrt(-1)),
    ("-√2", -sqrt(2)),
    ("√sin x", sqrt(sin(x))),
    ("sin x √2", sin(x) * sqrt(2)),
    # decimals: exact, remembering how they were typed
    ("0.25", decimal(Fraction(1, 4), "0.25")),
    ("1.5x", decimal(Fraction(3, 2), "1.5") * x),
    ("2.0", decimal(Fraction(2), "2.0")),
    ("-0.25", decimal(Fraction(-1, 4), "-0.25")),
]


@pytest.mark.parametrize(("text", "expected"), CONSTRUCTS)
def test_each_construct_gives_its_formula(text, expected):
    parsed = parse(text)
    assert parsed == expected
    assert parse(str(parsed)) == parsed  # and the plain text reads back


def test_decimals_keep_their_spelling_and_exact_value():
    quarter = parse("０．２５")
    assert (quarter.value, quarter.spelling) == (Fraction(1, 4), "0.25")
    assert parse("-0.25").spelling == "-0.25"
    assert parse("0.25") != parse("1/4")
    assert parse("0." + "3" * 5000).value == Fraction(int("3" * 4000) * 10**1000 + int("3" * 1000), 10**5000)


NORMALISATION = [
    ("（x＋１）＊＊２", "(x+1)**2"),
    ("ｘ＾２－３ｘ", "x^2-3x"),
    ("𝑥 + 1", "x + 1"),
    ("x\u3000+\u30001", "x + 1"),
    ("x²", "x^2"),
    ("x³", "x^3"),
    ("x¹⁰", "x^10"),
    ("2²", "2^2"),
    ("x²y", "x^2 y"),
    ("x⁻¹", "x^(-1)"),
    ("xⁿ", "x^n"),
    ("eˣ", "e^x"),
    ("x²ʸ", "x^(2y)"),
    ("sin²x", "sin^2 x"),
    ("sin²(x)", "sin^2(x)"),
    ("√2", "sqrt(2)"),
    ("√(x+1)", "sqrt(x+1)"),
    ("∛8", "cbrt(8)"),
    ("x₁", "x_1"),
    ("x₁₂", "x_12"),
    ("x₁y", "x_1 y"),
    ("aᵢⱼ", "a_ij"),
    ("θ₀", "theta_0"),
    ("x − y", "x - y"),
    ("ｘー１", "x-1"),
    ("2 × x · y", "2*x*y"),
    ("2⋅x", "2*x"),
    ("a・b", "a*b"),
    ("6 ÷ 3", "6/3"),
    ("α + β", "alpha + beta"),
    ("ϕ + µ", "phi + mu"),
    ("2πr", "2 pi r"),
    ("Δx", "Delta x"),
    ("０．２５", "0.25"),
]


@pytest.mark.parametrize(("typed", "plain"), NORMALISATION)
def test_what_input_methods_type_reads_as_plain_text(typed, plain):
    assert parse(typed) == parse(plain)


ERRORS = [
    ("", 0, "式が空です"),
    ("   ", 3, "式が空です"),
    ("x +", 3, "式が途中で終わっています"),
    ("x + * 2", 4, "'*' ではなく"),
    ("()", 1, "')' ではなく"),
    ("x 2", 2, "演算子が必要です"),
    ("(x+1)2", 5, "演算子が必要です"),
    ("((x+1) 2", 7, "演算子か ')' が必要です"),
    ("(x+1", 0, "閉じられていません"),
    ("(x+(1", 3, "閉じられていません"),
    ("x)", 1, "対応する '(' のない ')'"),
    ("e1", 1, "演算子が必要です"),
    ("sin", 3, "sin の後には"),
    ("sin -x", 4, "sin の後には"),
    ("sin sin x", 4, "sin の後には"),
    ("sin2(x)", 4, "あいまい"),
    ("sin x (x+1)", 6, "あいまい"),
    ("sin^x(y)", 4, "整数で書いてください"),
    ("sin^0.5(x)", 4, "整数で書いてください"),
    ("x $ y", 2, "使えない文字 '$'"),
    ("Я", 0, "使えない文字 'Я'"),
    ("x_", 1, "'_' の後には"),
    ("x_{1", 1, "'_' の後には"),
    ("pi_1", 2, "使えない文字 '_'"),
    ("1.", 1, "小数点の後に数字"),
    (".5", 0, "小数は 0.5 のように"),
    ("1.2.3", 3, "使えない文字 '.'"),
    # positions count in the typed text, before normalisation
    ("（x＋＊１）", 3, "'＊' ではなく"),
    ("x^⁻¹", 2, "'⁻' ではなく"),
    ("（x＋１", 0, "閉じられていません"),
    ("ｘ ＄", 2, "使えない文字 '＄'"),
    ("αβ $", 3, "使えない文字 '$'"),
    ("α + β +", 7, "式が途中で終わっています"),
    ("x²3", 2, "演算子が必要です"),
    ("x² +", 4, "式が途中で終わっています"),
    ("sin⁻¹x", 3, "整数で書いてください"),
    ("x⁻", 1, "'⁻' ではなく"),
    ("½", 0, "使えない文字 '½'"),
    ("x₁ $", 3, "使えない文字 '$'"),
    ("√", 1, "式が途中で終わっています"),
]


@pytest.mark.parametrize(("text", "position", "reason"), ERRORS)
def test_bad_input_names_the_position_in_the_typed_text(text, position, reason):
    with pytest.raises(ParseError) as caught:
        parse(text)
    error = caught.value
    assert isinstance(error, ValueError)
    assert (error.position, error.text) == (position, text)
    assert reason in error.reason
    assert str(error).split("\n")[0] == f"{position + 1} 文字目: {error.reason}"


@pytest.mark.parametrize(("text", "column"), [("（x＋＄", 5), ("αβ $", 3), ("x\t$", 2), ("x $", 2)])
def test_caret_counts_wide_characters_as_two_columns(text, column):
    with pytest.raises(ParseError) as caught:
        parse(text)
    shown = text.replace("\t", " ")
    assert str(caught.value).split("\n")[1:] == [f"  {shown}", "  " + " " * column + "^"]


@pytest.mark.parametrize("bad", [None, b"x+1", 2, 1.5, ["x"]])
def test_only_text_is_parsed(bad):
    with pytest.raises(TypeError, match="文字列"):
        parse(bad)


# --- size -----------------------------------------------------------------------------



@given(digits=st.text(alphabet="0123456789", min_size=1, max_size=12_000))
@settings(max_examples=30, deadline=None)
def test_integers_of_any_length(digits):
    with unlimited_int_text():
        expected = number(int(digits))
    assert parse(digits) == expected


def test_integer_literal_far_beyond_the_int_limit():
    assert parse("1" + "0" * 100_000) == number(10**100_000)
    assert parse("9" * 5000 + "x") == (10**5000 - 1) * x


def nest(build, leaf, depth):
    for _ in range(depth):
        leaf = build(leaf)
    return leaf


DEPTH = 100_000
DEEP = [
    ("(" * DEPTH + "x" + ")" * DEPTH, x),
    ("-(" * DEPTH + "x" + ")" * DEPTH, nest(neg, x, DEPTH)),
    ("-" * DEPTH + "x", nest(neg, x, DEPTH)),
    ("-" * (DEPTH + 1) + "3", N(-3)),  # each minus folds into the number
    ("2^" * DEPTH + "x", nest(lambda f: power(N(2), f), x, DEPTH)),
    ("sqrt(" * DEPTH + "x" + ")" * DEPTH, nest(sqrt, x, DEPTH)),
    ("√" * DEPTH + "x", nest(sqrt, x, DEPTH)),
    ("（" * DEPTH + "ｘ＋１" + "）" * DEPTH, x + 1),
    ("(x+" * DEPTH + "x" + ")" * DEPTH, nest(lambda f: x + f, x, DEPTH)),
    ("sin x^" * DEPTH + "x", nest(lambda f: sin(x**f), x, DEPTH)),
]


@pytest.mark.slow
@pytest.mark.parametrize(("text", "expected"), DEEP, ids=["parens", "negated", "signs", "number", "powers",
                                                            "sqrt", "radicals", "full-width", "sums", "arguments"])
def test_deep_nesting_has_no_limit(text, expected):
    assert parse(text) == expected


@pytest.mark.slow
def test_long_chains_are_flat():
    terms = 200_000
    assert len(parse("+".join(["x"] * terms)).args) == terms
    assert len(parse("x" * terms).args) == terms
    assert len(parse("sin " + "x" * terms).args[0].args) == terms


def call_at_depth(headroom, function, *args):
    """function(*args), called when only `headroom` frames are left before the recursion limit."""
    frame, depth = sys._getframe(), 0
    while frame is not None:
        frame, depth = frame.f_back, depth + 1

    def descend(remaining):
        return descend(remaining - 1) if remaining else function(*args)

    return descend(sys.getrecursionlimit() - depth - headroom)


def test_parsing_needs_a_few_frames_whatever_the_nesting():
    deep = "(" * 20_000 + "sin x^√2" + ")" * 20_000
    assert call_at_depth(40, parse, deep) == sin(x ** sqrt(2))
    with pytest.raises(ParseError):
        call_at_depth(40, parse, deep + ")")


# --- fuzzing ----------------------------------------------------------------------------

PIECES = ["x", "y", "2", "0.5", "10", "(", ")", "+", "-", "*", "/", "^", "**", " ", "sin", "log", "exp", "sqrt",
          "pi", "e", "√", "∛", "²", "⁻", "¹", "₁", "_", "{", "}", "α", "π", "alpha", "（", "＋", "ー", "×", ".", "$"]


def check_parse(text):
    """Only a ParseError at a position inside the text may come out; what parses prints
    as text that parses back to the same formula."""
    try:
        parsed = parse(text)
    except ParseError as error:
        assert error.text == text and 0 <= error.position <= len(text)
        return
    assert isinstance(parsed, Formula)
    assert parse(str(parsed)) == parsed


@given(st.text(max_size=40))
@settings(max_examples=300, deadline=None)
def test_any_text_gives_a_formula_or_a_parse_error(text):
    check_parse(text)


@given(st.lists(st.sampled_from(PIECES), max_size=30).map("".join))
@settings(max_examples=500, deadline=None)
def test_any_sequence_of_tokens_gives_a_formula_or_a_parse_error(text):
    check_parse(text)


@given(st.lists(st.sampled_from(PIECES), max_size=24).map("".join))
@settings(max_examples=300, deadline=None)
def test_whatever_parses_renders_and_goes_through_the_algebra_or_fails_cleanly(text):
    """Only ParseError and MathError (and MemoryError) may come out of any public function."""
    try:
        formula = Formula(text)
    except ParseError:
        return
    assert isinstance(latex(formula), str) and isinstance(tree(formula), str)
    for operation in (expand, simplify, factor, core_expand, float):
        try:
            operation(formula)
        except MathError:
            pass
