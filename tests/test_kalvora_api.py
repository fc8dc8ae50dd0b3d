"""The package's entry points around formulas: tree, show, latex, and the types a user script sees."""

import os
import re
import site
import subprocess
import sys
import textwrap
from fractions import Fraction
from pathlib import Path

import _kalvora_core
import pytest
from hypothesis import given

import kalvora
from formula_strategies import formulas, unlimited_int_text
from kalvora import latex, show, tree
from kalvora.formula import E, INFINITY, PI, Kind, add, apply, decimal, div, mul, neg, number, power, symbol


def test_core_classes_are_the_core_objects_themselves():
    for name in ["Expr", "Int", "Var", "Rational", "Neg", "Add", "Mul", "Div", "Pow", "Sqrt",
                 "Pi", "Cbrt", "Sin", "Cos", "Tan", "Log"]:
        assert getattr(kalvora, name) is getattr(_kalvora_core, name)


@pytest.mark.parametrize(("formula", "expected"), [
    ("x+1", "Add(Symbol('x'), Number(1))"),
    (decimal(Fraction(1, 4), "0.25"), "Number(Fraction(1, 4), '0.25')"),
    (decimal(Fraction(2), "2.0"), "Number(2, '2.0')"),
    (add(symbol("x_1"), neg(symbol("alpha"))), "Add(Symbol('x_1'), Neg(Symbol('alpha')))"),
    (_kalvora_core.Rational(6, -4), "Div(Number(-3), Number(2))"),
    (_kalvora_core.Div(_kalvora_core.Pi(), _kalvora_core.Neg(_kalvora_core.E())), "Div(Pi(), Neg(E()))"),
    (_kalvora_core.Log(_kalvora_core.Cbrt(_kalvora_core.Sqrt(_kalvora_core.Pow(_kalvora_core.Int(-1),
                                                                                 _kalvora_core.Int(0))))),
     "Log(Cbrt(Sqrt(Pow(Number(-1), Number(0)))))"),
])
def test_tree_shows_every_field(formula, expected):
    assert tree(formula) == expected


def _number(value, spelling=None):
    return number(value) if spelling is None else decimal(Fraction(value), spelling)


# Every name tree writes, as a constructor: a tree's text evaluates back to its formula.
REBUILD = {"Number": _number, "Fraction": Fraction, "Symbol": symbol, "Pi": lambda: PI, "E": lambda: E,
           "Neg": neg, "Add": add, "Mul": mul, "Div": div, "Pow": power,
           **{kind.value: (lambda k: lambda operand: apply(k, operand))(kind)
              for kind in (Kind.SQRT, Kind.CBRT, Kind.SIN, Kind.COS, Kind.TAN, Kind.LOG, Kind.ABS)},
           "Infinity": lambda: INFINITY}



@given(formulas())
def test_tree_text_evaluates_back(formula):
    with unlimited_int_text():
        assert eval(tree(formula), dict(REBUILD)) == formula


def test_text_arguments_are_parsed():
    assert tree("x+1") == "Add(Symbol('x'), Number(1))"
    assert latex("(x+1)^2/2") == r"\frac{\left(x + 1\right)^{2}}{2}"
    for entry in (latex, tree, show):
        with pytest.raises(kalvora.ParseError):
            entry("x +")


@pytest.mark.parametrize("entry", [latex, tree, show])
@pytest.mark.parametrize("wrong", [None, 1.5, b"x", [1]])
def test_entry_points_refuse_what_is_not_a_formula(entry, wrong):
    with pytest.raises(TypeError, match="Fraction" if isinstance(wrong, float) else "Formula"):
        entry(wrong)


def test_show_renders_in_notebooks():
    formula = kalvora.expand("(x+1)^2")
    assert show(formula) is formula
    assert show("(x+1)^2") == kalvora.parse("(x+1)^2")
    assert formula._repr_latex_() == r"$\displaystyle x^{2} + 2x + 1$"
    assert str(formula) == "x^2 + 2*x + 1"


@pytest.mark.slow
@pytest.mark.parametrize(("grow", "node"), [(neg, "Neg("), (lambda f: add(number(1), f), "Add(")],
                         ids=["negations", "right-nested sums"])
def test_tree_walks_a_million_levels_without_recursion(grow, node):
    depth = 1_000_000
    formula = symbol("x")
    for _ in range(depth):
        formula = grow(formula)
    text = tree(formula)
    assert text.count("(") == text.count(")") and text.count("Symbol('x')") == 1
    assert text.count(node) == depth


@pytest.mark.slow
def test_a_million_terms_print():
    formula = add(*[number(i if i % 2 else -i) for i in range(1, 1_000_001)])
    expected = "1 - 2 + 3 - 4 + " + " + ".join(f"{i} - {i + 1}" for i in range(5, 1_000_000, 2))
    assert latex(formula) == str(formula) == expected


USER_SCRIPT = """\
    from fractions import Fraction

    import kalvora
    from kalvora import Formula, Kind, expand, latex, parse

    def square_of_sum(a: str, b: str) -> str:
        x, y = kalvora.symbols(f"{a} {b}")
        return latex(expand((x + y)**2))

    f: Formula = parse("(x+1)^3") / 2 + Fraction(1, 3) * kalvora.sin(kalvora.pi)
    if f.kind is Kind.ADD:
        terms: tuple[Formula, ...] = f.args
    try:
        parse("x +")
    except kalvora.ParseError as error:
        print(error)
    shown: Formula = kalvora.show("x^2")
    print(square_of_sum("x", "y"), kalvora.tree(f), repr(f), shown._repr_latex_(), latex(3))
"""
MISTAKES = """\
    import kalvora
    kalvora.latex(None)
    kalvora.latex(1.5)
    x = kalvora.symbol("x")
    value: int = x.value
    kalvora.tree(b"x")
    depth: str = kalvora.show(x)
"""


def run_mypy(tmp_path: Path, *targets: str) -> subprocess.CompletedProcess[str]:
    """mypy --strict in tmp_path, on the kalvora under test: mypy finds an installed one by
    itself (and refuses site-packages in MYPYPATH); a source tree on PYTHONPATH is pointed to."""
    package_root = Path(kalvora.__file__).parent.parent
    installed = str(package_root) in site.getsitepackages()
    env = {**os.environ} if installed else {**os.environ, "MYPYPATH": str(package_root)}
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *targets],
                          cwd=tmp_path, capture_output=True, text=True, env=env)


@pytest.mark.parametrize(("source", "error_lines"), [(USER_SCRIPT, []), (MISTAKES, [2, 3, 5, 6, 7])],
                         ids=["typical script", "mistakes"])
def test_mypy_knows_the_types(tmp_path, source, error_lines):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    run = run_mypy(tmp_path, script.name)
    found = sorted({int(n) for n in re.findall(r"^script\.py:(\d+): error", run.stdout, re.M)})
    assert (found, run.returncode) == (error_lines, 1 if error_lines else 0), run.stdout + run.stderr


def test_the_package_source_passes_mypy_strict(tmp_path):
    # The repository's source, not an installed copy: mypy keeps quiet about errors in
    # installed packages.
    source = Path(__file__).parent.parent / "python"
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                          "-p", "kalvora"], cwd=tmp_path, capture_output=True, text=True,
                         env={**os.environ, "MYPYPATH": str(source)})
    assert run.returncode == 0 and "Success" in run.stdout, run.stdout + run.stderr
