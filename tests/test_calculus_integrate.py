"""kalvora.integrate: textbook antiderivatives byte for byte, each differentiated back to its
integrand, definite integrals against SymPy's exact values, random integrands of every
supported family, what is refused, the command line, and the LaTeX clients."""

from __future__ import annotations

from typing import Any

import pytest
import sympy
from hypothesis import given, settings
from hypothesis import strategies as st

import kalvora
from kalvora.cli import main
from tex_clients import katex_rejects, needs_katex, needs_pdflatex, pdflatex_rejects

TEXTBOOK = [
    # powers, the basic functions, a^x
    ("x^2 + 3x", "\\frac{1}{3}x^{3} + \\frac{3}{2}x^{2}"),
    ("1/x", "\\log\\left|x\\right|"),
    ("√x", "\\frac{2}{3}x\\sqrt{x}"),
    ("1/√x", "2\\sqrt{x}"),
    ("1/x^2", "-\\frac{1}{x}"),
    ("x ∛x", "\\frac{3}{7}x^{2}\\sqrt[3]{x}"),
    ("sin x", "-\\cos x"),
    ("cos x", "\\sin x"),
    ("e^x", "e^{x}"),
    ("1/cos(x)^2", "\\tan x"),
    ("2^x", "\\frac{2^{x}}{\\log 2}"),
    ("3", "3x"),
    ("a x^2", "\\frac{1}{3}ax^{3}"),
    # linear substitution
    ("sin(2x+1)", "-\\frac{1}{2}\\cos\\left(2x + 1\\right)"),
    ("e^(3x)", "\\frac{1}{3}e^{3x}"),
    ("e^(-x)", "-e^{-x}"),
    ("(2x+1)^5", "\\frac{1}{12}\\left(2x + 1\\right)^{6}"),
    ("1/(2x+1)", "\\frac{1}{2}\\log\\left|2x + 1\\right|"),
    ("1/(2x+1)^3", "-\\frac{1}{4\\left(2x + 1\\right)^{2}}"),
    ("√(2x+1)", "\\frac{1}{3}\\left(2x + 1\\right)\\sqrt{2x + 1}"),
    ("1/cos(3x)^2", "\\frac{1}{3}\\tan 3x"),
    ("log(2x+1)", "\\frac{1}{2}\\left(2x + 1\\right)\\log\\left(2x + 1\\right) - x"),
    ("(2x+1)^5 + 1", "\\frac{1}{12}\\left(2x + 1\\right)^{6} + x"),
    # f'(x)/f(x)
    ("2x/(x^2+1)", "\\log\\left(x^{2} + 1\\right)"),
    ("cos x/sin x", "\\log\\left|\\sin x\\right|"),
    ("(2x+1)/(x^2+x)", "\\log\\left|x^{2} + x\\right|"),
    ("1/(x log x)", "\\log\\left|\\log x\\right|"),
    ("e^x/(e^x+1)", "\\log\\left(e^{x} + 1\\right)"),
    # integration by parts
    ("x e^x", "xe^{x} - e^{x}"),
    ("x sin x", "-x\\cos x + \\sin x"),
    ("x^2 cos x", "x^{2}\\sin x + 2x\\cos x - 2\\sin x"),
    ("x e^(2x)", "\\frac{1}{2}xe^{2x} - \\frac{1}{4}e^{2x}"),
    ("log x", "x\\log x - x"),
    ("x log x", "\\frac{1}{2}x^{2}\\log x - \\frac{1}{4}x^{2}"),
    ("x^2 log x", "\\frac{1}{3}x^{3}\\log x - \\frac{1}{9}x^{3}"),
    # products of sines and cosines
    ("sin x cos x", "-\\frac{1}{4}\\cos 2x"),
    ("sin(x)^2", "\\frac{1}{2}x - \\frac{1}{4}\\sin 2x"),
    ("cos(3x) cos(x)", "\\frac{1}{4}\\sin 2x + \\frac{1}{8}\\sin 4x"),
    ("sin(x)^3", "-\\frac{3}{4}\\cos x + \\frac{1}{12}\\cos 3x"),
    # partial fractions
    ("1/(x(x+1))", "\\log\\left|x\\right| - \\log\\left|x + 1\\right|"),
    ("1/(x^2-1)", "\\frac{1}{2}\\log\\left|x - 1\\right| - \\frac{1}{2}\\log\\left|x + 1\\right|"),
    ("(x^2+1)/(x+1)", "\\frac{1}{2}x^{2} - x + 2\\log\\left|x + 1\\right|"),
    ("1/(x+1)^2", "-\\frac{1}{x + 1}"),
    ("x/(x-1)^2", "\\log\\left|x - 1\\right| - \\frac{1}{x - 1}"),
    ("x/(2x+1)", "\\frac{1}{2}x - \\frac{1}{4}\\log\\left|2x + 1\\right|"),
    ("1/(4x^2-1)", "\\frac{1}{4}\\log\\left|2x - 1\\right| - \\frac{1}{4}\\log\\left|2x + 1\\right|"),
]

# Textbook answers as integrands whose antiderivatives are checked only by differentiating back.
MORE = ["(x+1)(x-1)", "x^2 sin(x)^2", "x^3 e^(-2x+1)", "sin(2x) cos(3x) sin x", "cos(x)^4", "x*2^x",
        "(3x^2+1)/(x^3+x)", "1/(x^3-x)", "x^3/(x+2)^3", "(x+1)/(x^2-5x+6)", "π x", "√2 (x+1)^2",
        "-√(2x+1)", "x^(2/3)", "x^(-3/2)", "(x-1)^(1/3)", "x^2 log(2x+3)", "e^x e^(2x)", "sin(x/2)"]

SX = sympy.Symbol("x")
_SYMPY_NAMES = {"e": sympy.E, "pi": sympy.pi, "cbrt": sympy.cbrt, "log": sympy.log, "abs": sympy.Abs,
                "sqrt": sympy.sqrt, "x": SX, "a": sympy.Symbol("a")}


def to_sympy(f: kalvora.Formula) -> Any:
    return sympy.sympify(str(f), locals=_SYMPY_NAMES)


_POINTS = [sympy.Rational(37, 100), sympy.Rational(13, 10), sympy.Rational(29, 10), sympy.Rational(-17, 10)]


def assert_differentiates_back(f: str | kalvora.Formula, result: kalvora.Formula) -> None:
    """F' = f: by the algebra where it sees it, else (identities such as sin 2x = 2 sin x cos x,
    which the algebra does not apply) by the value of what it left, to 40 digits at points of
    the domain."""
    difference = kalvora.simplify(kalvora.diff(result, "x") - kalvora.Formula(f))
    if difference == kalvora.Formula("0"):
        return
    left = to_sympy(difference)
    values = [left.subs(SX, point).evalf(40) for point in _POINTS]
    real = [value for value in values if value.is_real]
    assert real, (f, result, difference)
    assert all(abs(value) < 1e-30 for value in real), (f, result, difference)


@pytest.mark.parametrize(("f", "expected"), TEXTBOOK)
def test_textbook_antiderivatives(f: str, expected: str) -> None:
    result = kalvora.integrate(f, "x")
    assert kalvora.latex(result) == expected
    assert_differentiates_back(f, result)


@pytest.mark.parametrize("f", MORE)
def test_antiderivatives_differentiate_back(f: str) -> None:
    assert_differentiates_back(f, kalvora.integrate(f, "x"))


def test_the_constant_of_integration_on_request() -> None:
    result = kalvora.integrate("x e^x", "x")
    assert kalvora.latex(result, constant=True) == "xe^{x} - e^{x} + C"
    assert kalvora.latex(kalvora.integrate("1/(x+1)^2", "x"), constant=True) == "-\\frac{1}{x + 1} + C"


def test_other_variables_and_python_values() -> None:
    t, x = kalvora.symbols("t x")
    assert kalvora.latex(kalvora.integrate(t * kalvora.exp(t), t)) == "te^{t} - e^{t}"
    assert kalvora.latex(kalvora.integrate("x y", "y")) == "\\frac{1}{2}xy^{2}"
    assert kalvora.integrate(x**2, x) == kalvora.integrate("x²", "x")
    f = kalvora.Formula("x e^x")
    kalvora.integrate(f, "x")
    assert f == kalvora.Formula("x e^x")  # the input is never changed


DEFINITE = [
    ("sin x", "0", "pi"), ("log x", "1", "e"), ("x^2", "0", "1"), ("1/x", "1", "e"), ("e^x", "0", "log 2"),
    ("cos x", "0", "pi/6"), ("1/(x^2-1)", "2", "3"), ("x e^x", "0", "1"), ("1/cos(x)^2", "0", "pi/4"),
    ("√x", "0", "4"), ("2x/(x^2+1)", "0", "1"), ("cos x/sin x", "pi/6", "pi/2"), ("1/(x-2)", "0", "1"),
    ("sin(x)^2", "0", "pi"), ("x sin x", "0", "pi"), ("1/x", "-e", "-1"), ("(2x+1)^3", "1", "0"),
    ("x log x", "1", "2"), ("1/(x(x+1))", "1", "2"), ("sin(3x) cos(x)", "0", "pi/2"),
]


@pytest.mark.parametrize(("f", "a", "b"), DEFINITE)
def test_definite_integrals_match_sympy(f: str, a: str, b: str) -> None:
    value = kalvora.integrate(f, ("x", a, b))
    assert "x" not in {s.name for s in value.free_symbols}
    oracle = sympy.integrate(to_sympy(kalvora.Formula(f)), (SX, to_sympy(kalvora.Formula(a)), to_sympy(kalvora.Formula(b))))
    assert sympy.simplify(sympy.expand_log(to_sympy(value) - oracle, force=True)) == 0, (f, a, b, value, oracle)


@pytest.mark.parametrize(("f", "a", "b", "expected"), [
    ("sin x", "0", "pi", "2"), ("log x", "1", "e", "1"), ("x^2", "0", "a", "\\frac{1}{3}a^{3}"),
    ("1/x", "1", "e", "1"), ("x", "1", "1", "0"),
])
def test_definite_values_in_textbook_form(f: str, a: str, b: str, expected: str) -> None:
    assert kalvora.latex(kalvora.integrate(f, ("x", a, b))) == expected


@pytest.mark.parametrize("f", ["tan x", "e^x sin x", "1/(x^2+1)", "x^x", "sin(x^2)", "e^(x^2)", "√(x^2+1)",
                               "log(x)^2", "log(x)/x", "1/(x^3+1)", "sin x/x", "2^x e^x"])
def test_outside_the_scope_is_refused(f: str) -> None:
    with pytest.raises(kalvora.MathError, match="対応していません"):
        kalvora.integrate(f, "x")


@pytest.mark.parametrize(("f", "a", "b"), [
    ("1/x", "-1", "1"), ("1/x^2", "-1", "1"), ("1/cos(x)^2", "0", "pi"), ("1/(x^2-1)", "0", "2"),
    ("cos x/sin x", "-1", "1"), ("log x", "0", "1"), ("1/x", "1", "a"), ("1/(x-1)^2", "1", "2"),
])
def test_definite_integrals_across_a_discontinuity_are_refused(f: str, a: str, b: str) -> None:
    with pytest.raises(kalvora.MathError):
        kalvora.integrate(f, ("x", a, b))


def test_wrong_arguments() -> None:
    with pytest.raises(TypeError):
        kalvora.integrate(None, "x")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        kalvora.integrate("x", 1.5)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        kalvora.integrate("x", ("x", 0))  # type: ignore[arg-type]
    with pytest.raises(kalvora.MathError):
        kalvora.integrate("x", "x + 1")
    with pytest.raises(kalvora.MathError):
        kalvora.integrate("x", ("x", "0", "x"))


# --- random integrands of every supported family, differentiated back -----------------

_small = st.integers(-3, 3)
_nonzero = _small.filter(bool)


@st.composite
def _linear(draw: st.DrawFn) -> str:
    return f"({draw(_nonzero)}x + {draw(_small)})"


@st.composite
def _integrands(draw: st.DrawFn) -> str:
    u, v = draw(_linear()), draw(_linear())
    polynomial = " + ".join(f"{draw(_small)}x^{k}" for k in range(draw(st.integers(0, 3)) + 1))
    roots = draw(st.lists(st.integers(-3, 3), min_size=1, max_size=3))
    return draw(st.sampled_from([
        f"({polynomial}) sin{u}", f"({polynomial}) cos{u}", f"({polynomial}) e^{u}",
        f"({polynomial}) log(x)", f"sin{u} cos{v}", f"sin{u} sin{v} cos{u}", f"{u}^{draw(st.integers(-4, 4))}",
        f"({polynomial}) / ({' * '.join(f'(x - {r})' for r in roots)})", f"1/cos{u}^2",
    ]))


@settings(max_examples=40, deadline=None)
@given(_integrands())
def test_random_integrands_differentiate_back(f: str) -> None:
    assert_differentiates_back(f, kalvora.integrate(f, "x"))


def test_deep_and_long_integrands() -> None:
    deep = kalvora.Formula("x")
    for _ in range(100_000):
        deep = -deep
    assert kalvora.latex(kalvora.integrate(deep, "x")) == "\\frac{1}{2}x^{2}"
    long = kalvora.Formula(" + ".join(f"{k}x^{k}" for k in range(1, 300)))
    assert kalvora.latex(kalvora.integrate(long, "x")).startswith("\\frac{299}{300}x^{300}")


# --- the command line and the LaTeX clients ----------------------------------------------


@pytest.mark.parametrize(("argv", "output", "code"), [
    (["integrate", "x e^x"], "xe^{x} - e^{x}\n", 0),
    (["integrate", "sin x", "--from", "0", "--to", "pi"], "2\n", 0),
    (["integrate", "--var", "t", "1/t", "tan t"], "\\log\\left|t\\right|\n\n", 1),
    (["integrate", "x", "--from=-1", "--to", "2"], "\\frac{3}{2}\n", 0),
    (["integrate", "--constant", "cos x"], "\\sin x + C\n", 0),
])
def test_command_line(argv: list[str], output: str, code: int, capsys: pytest.CaptureFixture[str]) -> None:
    assert main(argv) == code
    assert capsys.readouterr().out == output


def test_command_line_needs_both_ends(capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exit:
        main(["integrate", "x", "--from", "0"])
    assert exit.value.code == 2


def _outputs() -> list[str]:
    """Every kind of text integrate gives: the table, antiderivatives with + C, definite values."""
    return [expected for _, expected in TEXTBOOK] + [
        kalvora.latex(kalvora.integrate(f, "x"), constant=True) for f in MORE] + [
        kalvora.latex(kalvora.integrate(f, ("x", a, b))) for f, a, b in DEFINITE]


@needs_katex
def test_katex_accepts_every_result() -> None:
    assert katex_rejects(_outputs()) == []


@needs_pdflatex
def test_pdflatex_accepts_every_result() -> None:
    assert pdflatex_rejects(_outputs()) == []


def test_a_wrong_antiderivative_is_never_returned(monkeypatch: pytest.MonkeyPatch) -> None:
    """The check by differentiating back: a rule that went wrong (here ∫cos = -sin) is refused."""
    from kalvora.calculus import antiderivative

    cyclic = antiderivative.Integrator._cyclic

    def wrong(self: antiderivative.Integrator, g: kalvora.Formula) -> Any:
        found = cyclic(self, g)
        return None if found is None else (-found[0], found[1])

    monkeypatch.setattr(antiderivative.Integrator, "_cyclic", wrong)
    with pytest.raises(kalvora.MathError, match="対応していません"):
        kalvora.integrate("cos x", "x")
