import re
import subprocess
import sys
import textwrap

import _kalvora_core
import pytest

import kalvora
from kalvora import Add, Cbrt, Div, E, Int, Log, Neg, Pi, Pow, Rational, Sqrt, Var, latex, show, tree


def test_core_names_are_the_core_objects_themselves():
    for name in ["Expr", "Int", "Var", "Rational", "Neg", "Add", "Mul", "Div", "Pow", "Sqrt",
                 "Pi", "E", "Cbrt", "Sin", "Cos", "Tan", "Log", "simplify", "expand"]:
        assert getattr(kalvora, name) is getattr(_kalvora_core, name)


@pytest.mark.parametrize(("expr", "expected"), [
    (Rational(6, -4), "Rational(-3, 2)"),
    (Var("x y\\'"), "Var(\"x y\\\\'\")"),
    (Div(Pi(), Neg(E())), "Div(Pi(), Neg(E()))"),
    (Log(Cbrt(Sqrt(Pow(Int(-1), Int(0))))), "Log(Cbrt(Sqrt(Pow(Int(-1), Int(0)))))"),
])
def test_tree_shows_every_field_and_evaluates_back(expr, expected):
    assert tree(expr) == expected
    assert tree(eval(expected, vars(kalvora))) == expected


def test_text_arguments_are_parsed():
    assert tree("x+1") == "Add(Var('x'), Int(1))"
    assert latex("(x+1)^2/2") == r"\frac{\left(x + 1\right)^{2}}{2}"
    with pytest.raises(kalvora.ParseError):
        latex("x +")


def test_tree_refuses_what_is_not_an_expression():
    with pytest.raises(TypeError):
        tree(42)  # type: ignore[arg-type]


def test_show_renders_in_notebooks():
    formula = show(kalvora.expand(kalvora.parse("(x+1)^2")))
    assert formula._repr_latex_() == r"$\displaystyle x^{2} + 2x + 1$"
    assert str(formula) == formula.latex == "x^{2} + 2x + 1"


@pytest.mark.slow
@pytest.mark.parametrize("grow", [Neg, lambda e: Add(e, Int(1))], ids=["Neg chain", "left-nested sum"])
def test_tree_walks_a_million_levels_without_recursion(grow):
    depth = 1_000_000
    expr = Var("x")
    for _ in range(depth):
        expr = grow(expr)
    text = tree(expr)
    assert text.count("(") == text.count(")") and text.count("Var('x')") == 1
    assert len(re.findall(r"Neg\(|Add\(", text)) == depth


USER_SCRIPT = """\
    import kalvora
    from kalvora import Add, Int, Pow, Var, expand, simplify

    def square_of_sum(a: str, b: str) -> str:
        return kalvora.latex(expand(Pow(Add(Var(a), Var(b)), Int(2))))

    expr: kalvora.Expr = kalvora.parse("(x+1)^2")
    result = simplify(expr)
    if isinstance(result, Int):
        value: int = result.value()
    elif isinstance(result, Pow):
        base: kalvora.Expr = result.base()
    try:
        kalvora.parse("x +")
    except kalvora.ParseError as error:
        position: int = error.position
    print(square_of_sum("x", "y"), kalvora.tree(result), kalvora.show(expr)._repr_latex_())
"""
MISTAKES = """\
    from kalvora import Add, Int, Var, expand
    Int("1")
    Add(1, Var("x"))
    name: int = Var("x").name()
    Int(1).left()
    value: int = expand(Int(1)).value()
"""


@pytest.mark.parametrize(("source", "error_lines"), [(USER_SCRIPT, []), (MISTAKES, [2, 3, 4, 5, 6])],
                         ids=["typical script", "mistakes"])
def test_mypy_knows_the_types(tmp_path, source, error_lines):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), script.name],
        cwd=tmp_path, capture_output=True, text=True,
    )
    found = sorted({int(n) for n in re.findall(r"^script\.py:(\d+): error", run.stdout, re.M)})
    assert (found, run.returncode) == (error_lines, 1 if error_lines else 0), run.stdout + run.stderr
