"""Graphs: the exact marks against SymPy, the files, the command line. Not pixels."""

import io
import os
import subprocess
import sys
from pathlib import Path

import pytest
import sympy
from hypothesis import example, given, settings, strategies as st

import kalvora
from kalvora import cli
from kalvora.graph import Feature, marks

pytest.importorskip("matplotlib")

X = sympy.Symbol("x", real=True)
_SYMPY_NAMES = {"x": X, "e": sympy.E, "pi": sympy.pi, "log": sympy.log, "sqrt": sympy.sqrt}


def to_sympy(f):
    return sympy.sympify(str(f).replace("^", "**"), locals=_SYMPY_NAMES)


def same_numbers(ours, theirs):
    """Two lists of exact reals are equal, in order."""
    ours = sorted((to_sympy(v) for v in ours), key=float)
    theirs = sorted(theirs, key=float)
    return len(ours) == len(theirs) and all(sympy.simplify(a - b) == 0 for a, b in zip(ours, theirs))


def oracle_extrema(f, low, high):
    """(x, kind) of SymPy's critical points in (low, high) where f' changes sign."""
    slope = sympy.diff(f, X)
    found = []
    for c in sympy.solveset(slope, X, sympy.Interval.open(low, high)):
        step = sympy.Rational(1, 10**6)
        left, right = (slope.subs(X, c + s).evalf(50) for s in (-step, step))
        if left * right < 0:
            found.append((c, Feature.MAXIMUM if left > 0 else Feature.MINIMUM))
    return found


def oracle_poles(f, low, high):
    return [c for c in sympy.singularities(f, X, sympy.Interval(low, high))
            if any(abs(sympy.limit(f, X, c, side)) == sympy.oo for side in "+-")]


# (function, low, high): all of them have intercepts and extrema that the algebra writes exactly.
TABLE = [
    ("x^3 - 3x", -3, 3),
    ("x^2 - 2", -3, 3),
    ("x^2 - 4x + 1", -1, 5),
    ("x^4 - 5x^2 + 4", -3, 3),
    ("x^3 - 6x^2 + 9x - 4", -1, 5),
    ("1/(x - 1)", -3, 3),
    ("(x^2 + 1)/x", -3, 3),
    ("(x^2 - 1)/(x - 2)", -3, 6),
    ("x/(x^2 + 1)", -4, 4),
    ("(x^2 - 1)/(x - 1)", -3, 3),
    ("x - 2sqrt(x)", 0, 9),
    ("(x - 1)sqrt(x)", 0, 3),
    ("x sqrt(4 - x^2)", -2, 2),
    ("sin(x)", 0, "2pi"),
    ("2sin(x) - 1", 0, "2pi"),
    ("cos(2x)", "-pi", "pi"),
    ("tan(x)", -3, 3),
    ("1/sin(x)", -4, 4),
    ("x e^x", -4, "3/2"),
    ("e^x - 2", -2, 2),
    ("log(x)", "1/2", 5),
    ("x log(x)", "1/10", 3),
    ("log(x)/x", "1/2", 10),
]


@pytest.mark.parametrize("text, low, high", TABLE)
def test_marks_are_sympys_intercepts_extrema_and_poles(text, low, high):
    found = marks(text, ("x", low, high))
    f, a, b = to_sympy(kalvora.parse(text)), to_sympy(kalvora.parse(str(low))), to_sympy(kalvora.parse(str(high)))
    by_feature = {feature: [p for p in found.points if p.feature is feature] for feature in Feature}

    zeros = sympy.solveset(f, X, sympy.Interval(a, b))
    assert same_numbers([p.x for p in by_feature[Feature.ZERO]], list(zeros))
    assert all(p.y == kalvora.Formula(0) for p in by_feature[Feature.ZERO])

    for feature in (Feature.MAXIMUM, Feature.MINIMUM):
        expected = [c for c, kind in oracle_extrema(f, a, b) if kind is feature]
        points = by_feature[feature]
        assert same_numbers([p.x for p in points], expected), feature
        assert all(sympy.simplify(to_sympy(p.y) - f.subs(X, to_sympy(p.x))) == 0 for p in points)

    intercept = by_feature[Feature.Y_INTERCEPT]
    if a <= 0 <= b and f.subs(X, 0).is_finite and f.subs(X, 0) != 0:
        assert [sympy.simplify(to_sympy(p.y) - f.subs(X, 0)) for p in intercept] == [0]
    else:
        assert intercept == []

    assert same_numbers(found.vertical, oracle_poles(f, a, b))


@pytest.mark.parametrize("text, slant", [
    ("1/(x - 1)", "0"),
    ("(2x + 1)/(x - 3)", "2"),
    ("(x^2 + 1)/x", "x"),
    ("(x^2 - 1)/(x - 2)", "x + 2"),
    ("(x^3 + 1)/(x - 2)", None),  # grows like x^2: no line
    ("x^2 - 2", None),
    ("sin(x)/x", None),  # not a rational function: left out
])
def test_horizontal_and_oblique_asymptotes(text, slant):
    found = marks(text, ("x", -3, 3)).slant
    assert (found is None) if slant is None else kalvora.simplify(found - kalvora.parse(slant)) == kalvora.Formula(0)
    if slant is not None:  # the line is the limit of f - line at infinity, by SymPy
        f = to_sympy(kalvora.parse(text))
        assert sympy.limit(f - to_sympy(kalvora.parse(slant)), X, sympy.oo) == 0


@pytest.mark.parametrize("text", ["sin(x)/x", "x/(e^x - 1)", "(x^2 - 1)/(x - 1)", "x log(abs(x))"])
def test_a_removable_gap_is_not_an_asymptote(text):
    assert marks(text, ("x", -2, 2)).vertical == ()


def products_of_factors():
    """Random P/Q, P and Q products of linear and quadratic factors over Q."""
    linear = st.builds(lambda r: f"(x - ({r}))", st.integers(-4, 4))
    quadratic = st.builds(lambda k, m: f"(x^2 - {k}x - ({m}))", st.integers(-3, 3), st.integers(-3, 6))
    factors = st.lists(st.one_of(linear, quadratic), min_size=1, max_size=3)
    return st.tuples(factors, st.lists(linear, max_size=2), st.integers(1, 3))


def real_roots(f, low, high):
    """The real roots of f's numerator in [low, high], exact (CRootOf beyond degree 2)."""
    top = sympy.numer(sympy.together(f))
    if top.is_zero:
        return []
    return [r for r in sympy.Poly(top, X).real_roots() if low <= r <= high]


@settings(max_examples=15, deadline=None)
@given(products_of_factors())
@example((["(x - (0))", "(x - (0))"], ["(x - (0))"], 1))  # x·x/x: a hole at 0, not a zero
def test_marked_points_of_random_rational_functions_agree_with_sympy(parts):
    top, bottom, scale = parts
    text = f"{scale}*{'*'.join(top)}" + (f"/({'*'.join(bottom)})" if bottom else "")
    found = marks(text, ("x", -5, 5))
    f = sympy.cancel(to_sympy(kalvora.parse(text)))
    denominator = sympy.Mul(*(to_sympy(kalvora.parse(b)) for b in bottom))

    def defined(c):  # x·x/x has no value at 0, though its cancelled form x has
        return denominator.subs(X, c) != 0

    # every zero is found: the factors are of degree 1 or 2
    zeros = sorted({r for r in real_roots(f, -5, 5) if defined(r)}, key=float)
    assert same_numbers([p.x for p in found.points if p.feature is Feature.ZERO], zeros)
    # the extrema are right, and complete among those that are rational or quadratic irrationals
    slope = sympy.cancel(sympy.diff(f, X))
    expected = []
    for c in sorted(set(real_roots(slope, -5, 5)), key=float):
        step = sympy.Rational(1, 10**6)
        left, right = (slope.subs(X, c + s).evalf(50) for s in (-step, step))
        if left * right < 0 and not isinstance(c, sympy.CRootOf) and -5 < c < 5 and defined(c):
            expected.append((c, Feature.MAXIMUM if left > 0 else Feature.MINIMUM))
    ours = [(p.x, p.feature) for p in found.points if p.feature in (Feature.MAXIMUM, Feature.MINIMUM)]
    assert [kind for _, kind in ours] == [kind for _, kind in expected]
    assert same_numbers([x for x, _ in ours], [c for c, _ in expected])


@pytest.mark.parametrize("text, low, high, expected", [
    ("x^(2/3)", -1, 1, [(Feature.MINIMUM, "0", "0"), (Feature.ZERO, "0", "0")]),  # a cusp at O
    ("x^(2/3) - 1", -2, 2, [(Feature.ZERO, "-1", "0"), (Feature.MINIMUM, "0", "-1"), (Feature.Y_INTERCEPT, "0", "-1"),
                            (Feature.ZERO, "1", "0")]),
    ("x - 3x^(1/3)", -2, 2, [(Feature.MAXIMUM, "-1", "2"), (Feature.ZERO, "0", "0"), (Feature.MINIMUM, "1", "-2")]),
    ("sqrt(x)", -1, 1, [(Feature.ZERO, "0", "0")]),  # undefined on the left: not an extremum
    ("abs(x - 1)", 0, 3, [(Feature.Y_INTERCEPT, "0", "1"), (Feature.MINIMUM, "1", "0"), (Feature.ZERO, "1", "0")]),
    ("abs(x^2 - 1) - 1", -2, 2, [(Feature.ZERO, r"-\sqrt{2}", "0"), (Feature.MINIMUM, "-1", "-1"),
                                (Feature.MAXIMUM, "0", "0"), (Feature.ZERO, "0", "0"), (Feature.MINIMUM, "1", "-1"),
                                (Feature.ZERO, r"\sqrt{2}", "0")]),
])
def test_extrema_where_the_derivative_is_undefined(text, low, high, expected):
    found = marks(text, ("x", low, high))
    assert [(p.feature, kalvora.latex(p.x), kalvora.latex(p.y)) for p in found.points] == expected


@pytest.mark.parametrize("text", ["x^5 - x - 1", "x - cos(x)", "x^3 - 3x + 1"])
def test_points_the_algebra_cannot_write_are_left_out_not_guessed(text):
    found = marks(text, ("x", -3, 3))
    assert [p for p in found.points if p.feature is Feature.ZERO] == []


@pytest.mark.parametrize("domain, error", [
    (("x", 3, 1), kalvora.MathError),
    (("x", 1, 1), kalvora.MathError),
    (("x", "y", 1), kalvora.MathError),
    (("x", 0.5, 1), TypeError),
    (("x", 0, 1, 2), TypeError),
    ([("x", 0, 1)], TypeError),
    (("2x", 0, 1), kalvora.MathError),
])
def test_wrong_domains_are_refused(domain, error):
    with pytest.raises(error):
        marks("x^2", domain)


def test_a_function_of_another_variable_is_refused():
    with pytest.raises(kalvora.MathError):
        marks("x y", ("x", 0, 1))


def test_variable_other_than_x():
    found = marks("t^2 - 1", ("t", -2, 2))
    assert {str(p.x) for p in found.points if p.feature is Feature.ZERO} == {"-1", "1"}


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".svg", b"<?xml"), (".pdf", b"%PDF")])
def test_plot_saves_the_format_of_the_suffix(tmp_path, suffix, magic):
    path = tmp_path / f"graph{suffix}"
    figure = kalvora.plot("x^3 - 3x", ("x", -3, 3), path=path)
    assert path.read_bytes().startswith(magic)
    assert len(figure.axes) == 1


def test_plot_without_a_path_saves_nothing_and_refuses_other_suffixes(tmp_path):
    figure = kalvora.plot(["x^2", "x^3 - 3x"], ("x", -2, 2))
    assert len(figure.axes[0].get_legend().get_texts()) == 2
    with pytest.raises(ValueError):
        kalvora.plot("x", ("x", 0, 1), path=tmp_path / "graph.txt")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("text, low, high", [
    ("log(x)", -3, 3),  # undefined left of 0
    ("sqrt(x)", -2, 2),
    ("1/(x^3 - x - 1)", -3, 3),  # a pole the algebra cannot write
    ("x^x", -2, 2),
    ("1/x^2", -1, 1),
    ("tan(x)", -10, 10),
    ("0", -1, 1),
    ("x^(1/3)", -8, 8),
    ("e^(x^2)", -4, 4),
    ("sin(1/x)", -1, 1),
    ("log(x) - 1000", 1, 2),  # its zero e^{1000} is beyond floats
    ("x^2 - 10^40", -1, 1),  # coefficients past 64 bits
    ("(10^400 x + 1)/x", -1, 1),
])
def test_awkward_functions_still_make_a_figure(tmp_path, text, low, high):
    kalvora.plot(text, ("x", low, high), path=tmp_path / "graph.png")
    assert (tmp_path / "graph.png").stat().st_size > 0


@pytest.mark.slow
def test_a_formula_nested_past_the_recursion_limit_is_drawn(tmp_path):
    x = kalvora.symbol("x")
    f = x
    for _ in range(1500):  # 1 - (1 - (1 - ... x)): x or 1 - x
        f = 1 - f
    found = marks(f, ("x", -2, 2))
    assert [(p.feature, str(p.x)) for p in found.points] == [(Feature.ZERO, "0")]
    kalvora.plot(f, ("x", -2, 2), path=tmp_path / "graph.svg")


def test_import_kalvora_does_not_import_matplotlib():
    code = "import sys, kalvora; assert 'matplotlib' not in sys.modules and 'numpy' not in sys.modules"
    parent = str(Path(kalvora.__file__).resolve().parents[1])
    subprocess.run([sys.executable, "-c", code], check=True, env={**os.environ, "PYTHONPATH": parent})


# --- the command line ---------------------------------------------------------------------


@pytest.fixture
def plot_cli(capsys, monkeypatch, tmp_path):
    """Run ``kalvora plot`` in-process in tmp_path: (exit status, stdout, stderr)."""
    monkeypatch.chdir(tmp_path)

    def run(*args, stdin=""):
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        try:
            status = cli.main(["plot", *args])
        except SystemExit as exit:  # argparse's usage errors
            status = exit.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".svg", b"<?xml"), (".pdf", b"%PDF")])
def test_cli_draws_one_figure_of_every_expression(plot_cli, tmp_path, suffix, magic):
    status = plot_cli("t^3 - 3t", "sin t", "--var", "t", "--from=-pi", "--to", "pi", "-o", f"graph{suffix}")
    assert status == (0, "", "")
    assert (tmp_path / f"graph{suffix}").read_bytes().startswith(magic)


def test_cli_reads_stdin_and_names_a_wrong_line(plot_cli, tmp_path):
    status, out, err = plot_cli("-o", "graph.png", stdin="x^2\n\n(x\n")
    assert (status, out) == (1, "") and err.startswith("kalvora: 3 行目: ")
    assert (tmp_path / "graph.png").exists()  # the lines that parse are drawn


@pytest.mark.parametrize("args, status", [
    (["x"], 2),  # no -o
    (["x", "-o", "graph.txt"], 1),
    (["x", "--from", "2", "--to", "1", "-o", "graph.png"], 1),
    (["x y", "-o", "graph.png"], 1),
    (["x", "--from", "(", "-o", "graph.png"], 2),  # a bound that does not parse is a usage error
    (["-o", "graph.png"], 1),  # nothing to draw
])
def test_cli_errors(plot_cli, tmp_path, args, status):
    result = plot_cli(*args)
    assert result[0] == status and result[2].startswith(("kalvora", "usage"))
    assert list(tmp_path.iterdir()) == []


def test_cli_without_matplotlib_is_a_usage_error(plot_cli, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib raises ImportError
    status, _, err = plot_cli("x", "-o", "graph.png")
    assert status == 2 and "matplotlib" in err
    assert list(tmp_path.iterdir()) == []
