"""Exercise sheets and generated exercises: reading exercise files, the LaTeX of the sheet and
its key, the PDF through LuaLaTeX, and generated exercises held to KalVora's own verbs."""

import io
import re
import shutil
import subprocess
import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kalvora
from kalvora import cli
from kalvora.formula import Kind, walk
from kalvora.generate import KINDS, LEVELS, generate
from kalvora.sheet import (Part, Section, SheetError, answer_latex, compile_pdf, exercise, question_latex,
                           read_exercises, read_head, sheet_latex, typesetting_engine)

from tex_clients import katex_rejects, needs_katex, needs_lualatex, needs_pdflatex, pdflatex_rejects

EXERCISES = """\
# 次の式を展開せよ
expand: (2x-3)(x+5)
expnd: (x+1)^2
expand: (a-b)^3

# 次の式を因数分解せよ
factor: x^2-5x+6
factor: x^2 - 1
simplify: 1/(x-x)
factor (x+1)
# 次の式を簡単にせよ
simplify: 1/(1+sqrt(2))
simplify: (x+
simplify：sin(5pi/6)
# 次の関数を微分せよ
diff: x^2 sin x
diff: t^3
diff: x y
"""


def test_exercise_file_keeps_good_lines_and_names_bad_ones():
    sections, errors = read_exercises(EXERCISES.splitlines())
    assert [(e.number, e.message.split(":")[0]) for e in errors] == [
        (3, "知らない動詞です"),
        (9, "0 で割ることはできません"),
        (10, "「動詞"),
        (13, "5 文字目"),
    ]
    assert all(str(e).startswith(f"{e.number} 行目: ") for e in errors)
    assert [(s.heading, [e.line for e in s.exercises]) for s in sections] == [
        ("次の式を展開せよ", ["expand: (2x-3)(x+5)", "expand: (a-b)^3"]),
        ("次の式を因数分解せよ", ["factor: x^2-5x+6", "factor: x^2 - 1"]),
        ("次の式を簡単にせよ", ["simplify: 1/(1+sqrt(2))", "simplify：sin(5pi/6)"]),
        ("次の関数を微分せよ", ["diff: x^2 sin x", "diff: t^3", "diff: x y"]),
    ]
    answers = [kalvora.latex(e.answer) for s in sections for e in s.exercises]
    assert answers[:7] == ["2x^{2} + 7x - 15", "a^{3} - 3a^{2}b + 3ab^{2} - b^{3}",
                           r"\left(x - 2\right)\left(x - 3\right)", r"\left(x + 1\right)\left(x - 1\right)",
                           r"\sqrt{2} - 1", r"\frac{1}{2}", r"x^{2}\cos x + 2x\sin x"]
    assert answers[7:] == ["3t^{2}", "y"]  # t: the only variable; x y: by x


@pytest.mark.parametrize("head, verb, variable, bounds, point, side", [
    ("expand", "expand", "x", None, None, ""),
    ("  factor ", "factor", "x", None, None, ""),
    ("integrate", "integrate", "x", None, None, ""),
    ("integrate 0..pi", "integrate", "x", ("0", "pi"), None, ""),
    ("integrate -1 .. 1/2", "integrate", "x", ("-1", "1/2"), None, ""),
    ("limit x->0", "limit", "x", None, "0", ""),
    ("limit t → 2", "limit", "t", None, "2", ""),
    ("limit x->0+", "limit", "x", None, "0", "+"),
    ("limit x->+0", "limit", "x", None, "0", "+"),
    ("limit x -> -0", "limit", "x", None, "0", "-"),
    ("limit x->-1-", "limit", "x", None, "-1", "-"),
    ("limit x->1+0", "limit", "x", None, "1", "+"),
    ("limit x->pi/2-0", "limit", "x", None, "pi/2", "-"),
    ("limit x->oo", "limit", "x", None, "oo", ""),
    ("limit x->-∞", "limit", "x", None, "-oo", ""),
])
def test_heads(head, verb, variable, bounds, point, side):
    task = read_head(head)
    assert (task.verb, task.variable, task.side) == (verb, variable, side)
    assert task.bounds == (None if bounds is None else tuple(kalvora.parse(b) for b in bounds))
    assert task.point == (None if point is None else kalvora.parse(point))
    assert read_head(task.head) == task  # the head a generated line is written with reads back


@pytest.mark.parametrize("line", ["diff: x^2", "integrate: x", "integrate 0..1: x", "limit x->1: x^2",
                                  "limit x->oo: 1/x", "limit x->0+: 1/x", "limit x->-oo: 2^x"])
def test_every_verb_gives_an_exercise_or_a_line_error(line):
    """Whatever the calculus of this version can do, a line never stops the sheet."""
    sections, errors = read_exercises(["# 計算せよ", line])
    assert len(errors) + sum(len(s.exercises) for s in sections) == 1
    assert all(e.number == 2 for e in errors)


@pytest.mark.parametrize("head", ["expnd", "diff x", "integrate 0", "integrate 0..", "limit 0", "limit x",
                                  "limit 2->0", "limit x->oo+", "Expand", ""])
def test_bad_heads(head):
    with pytest.raises(ValueError):
        read_head(head)


def test_questions_are_typeset_as_textbooks_write_them():
    cases = {
        "expand: (2x-3)(x+5)": (r"\left(2x - 3\right)\left(x + 5\right)", "2x^{2} + 7x - 15"),
        "diff: x^3": ("y = x^{3}", "y' = 3x^{2}"),
        "integrate: x^2 + 1": (r"\int \left(x^{2} + 1\right)\,dx", None),
        "integrate 0..pi/2: cos x": (r"\int_{0}^{\frac{\pi}{2}} \cos x\,dx", None),
        "limit x->oo: 1/x": (r"\lim_{x \to \infty} \frac{1}{x}", None),
        "limit x->0+: 1/x": (r"\lim_{x \to +0} \frac{1}{x}", None),
        "limit x->1-: x^2 - 1": (r"\lim_{x \to 1 -0} \left(x^{2} - 1\right)", None),
    }
    for line, (question, answer) in cases.items():
        exercise_ = exercise(line, answer=kalvora.parse("7"))
        assert question_latex(exercise_) == question
        if answer is not None:
            assert answer_latex(exercise(line)) == answer
    assert answer_latex(exercise("integrate: x", answer=kalvora.parse("x^2/2"))) == r"\frac{x^{2}}{2} + C"


def _sections():
    sections, errors = read_exercises(EXERCISES.splitlines())
    return sections


def test_document_has_every_exercise_and_answer_in_its_part():
    sections = _sections()
    exercises = [e for s in sections for e in s.exercises]
    both = sheet_latex(sections, "小テスト")
    questions, answers = both.split(r"\newpage")
    for e in exercises:
        assert question_latex(e) in questions and answer_latex(e) in answers
    assert all(s.heading in questions and s.heading in answers for s in sections)
    assert "小テスト" in questions and "解答" in answers and "解答" not in questions
    only_questions = sheet_latex(sections, part=Part.QUESTIONS)
    only_answers = sheet_latex(sections, part=Part.ANSWERS)
    assert "解答" not in only_questions and all(question_latex(e) in only_questions for e in exercises)
    assert "氏名" not in only_answers and all(answer_latex(e) in only_answers for e in exercises)
    assert not any(answer_latex(e) in only_questions for e in exercises if e.verb == "diff")


def _sheet_formulas():
    exercises = [e for kind in KINDS for level in LEVELS for e in generate(kind, 3, 5, level)]
    exercises += [e for s in _sections() for e in s.exercises]
    return [f(e) for e in exercises for f in (question_latex, answer_latex)]


@needs_katex
def test_every_formula_of_a_sheet_is_accepted_by_katex():
    assert katex_rejects(_sheet_formulas()) == []


@needs_pdflatex
def test_every_formula_of_a_sheet_is_accepted_by_pdflatex():
    assert pdflatex_rejects(_sheet_formulas()) == []


def test_two_columns_only_where_the_formulas_fit():
    short = [exercise(f"expand: (x+{k})^2") for k in range(1, 5)]
    long = short + [exercise("expand: (x^2 + 2x + 1)(x^3 - 3x^2 + 3x - 1)(y^2 + y + 1)(z + 1)")]
    assert r"\begin{multicols}{2}" in sheet_latex([Section("展開", short)], part=Part.QUESTIONS)
    assert r"\begin{multicols}" not in sheet_latex([Section("展開", long)], part=Part.QUESTIONS)


def test_headings_are_escaped():
    document = sheet_latex([Section("100% & #1 {x_1}", [exercise("expand: x")])], title="a^b")
    assert r"100\% \& \#1 \{x\_1\}" in document and r"a\^{}b" in document


# --- generated exercises --------------------------------------------------------------------

ALL_KINDS = [(kind, level) for kind in KINDS for level in LEVELS]


@pytest.mark.parametrize("kind, level", ALL_KINDS)
def test_generated_sheets_repeat_by_seed_and_never_within_themselves(kind, level):
    first = generate(kind, 8, 11, level)
    assert [e.line for e in first] == [e.line for e in generate(kind, 8, 11, level)]
    assert len({e.line for e in first}) == len({(e.task, e.question) for e in first}) == 8
    others = [e.line for seed in (12, 13) for e in generate(kind, 8, seed, level)]
    assert set(others) != {e.line for e in first}
    for e in first:  # the line reproduces the exercise
        again = exercise(e.line, answer=e.answer)
        assert (again.task, again.question) == (e.task, e.question)


def _numbers(formula):
    found = []
    walk(formula, lambda node: found.append(node.value) if node.kind is Kind.NUMBER else None)
    return [Fraction(n) for n in found]


@pytest.mark.parametrize("kind, level", ALL_KINDS)
def test_generated_numbers_stay_small(kind, level):
    bound = {1: 100, 2: 200, 3: 400}[level]
    for e in generate(kind, 10, 2, level):
        parts = [abs(p) for n in _numbers(e.question) + _numbers(e.answer) for p in (n.numerator, n.denominator)]
        assert max(parts, default=0) <= bound, e.line


# The verb of each kind and the form its answer must be in.
FORMS = {
    "expand-binomials": "expanded", "expand-powers": "expanded",
    "factor-quadratic": "factored", "factor-squares": "factored",
    "rationalise": "rationalised", "trig-values": "simplified",
    "diff": "exact", "integrate": "exact", "definite-integral": "simplified", "limit": "simplified",
}


def _available(verb):
    return verb in ("expand", "factor", "simplify") or hasattr(kalvora, verb)


@pytest.mark.parametrize("kind, level", ALL_KINDS)
@settings(max_examples=6, deadline=None)
@given(seed=st.integers(0, 10**9))
def test_generated_answers_are_what_kalvora_computes(kind, level, seed):
    exercises = generate(kind, 3, seed, level)
    if not _available(exercises[0].verb):
        pytest.skip(f"kalvora.{exercises[0].verb} is not there yet")
    for e in exercises:
        solved = e.task.solve(e.question)
        if hasattr(kalvora, "check"):
            verdict = kalvora.check(e.answer, solved, FORMS[kind])
            assert verdict.correct and verdict.form_ok, (e.line, str(e.answer), str(solved), verdict.message)
        else:
            assert kalvora.simplify(kalvora.parse(f"({e.answer}) - ({solved})")) == kalvora.parse("0"), e.line


def test_generate_refuses_what_it_cannot_make():
    with pytest.raises(ValueError, match="知らない種類"):
        generate("expand-everything", 3, 1)
    with pytest.raises(ValueError, match="level"):
        generate("diff", 3, 1, level=4)
    with pytest.raises(ValueError, match="問までしか"):
        generate("trig-values", 40, 1, level=1)  # there are only so many standard angles below π/2
    assert generate("diff", 0, 1) == []


# --- the command line ---------------------------------------------------------------------


@pytest.fixture
def sheet_cli(capsys, monkeypatch):
    def run(*args, stdin=""):
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        try:
            status = cli.main(["sheet", *args])
        except SystemExit as exit:
            status = exit.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


def test_command_writes_the_sheet_and_names_bad_lines(sheet_cli, tmp_path):
    source = tmp_path / "exercises.txt"
    source.write_text(EXERCISES, encoding="utf-8")
    status, out, err = sheet_cli(str(source), "-o", str(tmp_path / "sheet.tex"))
    assert status == 1 and out == ""
    assert re.findall(r"exercises.txt: (\d+) 行目", err) == ["3", "9", "10", "13"]
    document = (tmp_path / "sheet.tex").read_text(encoding="utf-8")
    assert all(question_latex(e) in document for s in _sections() for e in s.exercises)

    status, out, err = sheet_cli("-", "--answers-only", stdin="expand: (x+1)^2\n")
    assert (status, err) == (0, "") and "x^{2} + 2x + 1" in out and "氏名" not in out


def test_command_generates_several_kinds_under_their_headings(sheet_cli):
    status, out, err = sheet_cli("--generate", "factor-squares", "--generate", "diff", "--count", "3",
                                 "--seed", "4", "--level", "2", "--no-answers")
    assert (status, err) == (0, "")
    assert out.count(r"\item $") == 6 and "解答" not in out
    assert out.index("次の式を因数分解せよ") < out.index("次の関数を微分せよ")
    for e in generate("diff", 3, 4, 2):
        assert question_latex(e) in out


@pytest.mark.parametrize("args, message", [
    ((), "問題ファイルか --generate"),
    (("a.txt", "b.txt"), "余分な引数"),
    (("--generate", "nonsense"), "invalid choice"),
    (("--generate", "diff", "--level", "5"), "invalid choice"),
    (("--generate", "diff", "-o", "sheet.docx"), ".pdf か .tex"),
    (("--no-answers", "--answers-only", "--generate", "diff"), "not allowed"),
])
def test_command_usage_errors(sheet_cli, args, message):
    status, out, err = sheet_cli(*args)
    assert status == 2 and message in err


def test_missing_file_is_one_line(sheet_cli, tmp_path):
    status, out, err = sheet_cli(str(tmp_path / "none.txt"))
    assert status == 1 and len(err.splitlines()) == 1 and "読めません" in err


def test_without_lualatex_the_tex_is_written_with_how_to_install(sheet_cli, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))  # no lualatex on it
    status, out, err = sheet_cli("--generate", "limit", "--count", "2", "-o", str(tmp_path / "sheet.pdf"))
    assert status == 1 and len(err.splitlines()) == 1
    assert "apt-get install texlive-luatex texlive-lang-japanese" in err
    assert (tmp_path / "sheet.tex").read_text(encoding="utf-8").startswith(r"\documentclass")
    assert not (tmp_path / "sheet.pdf").exists()


# --- the PDF ------------------------------------------------------------------------------


_KEPT_WORDS = {"sin", "cos", "tan", "log", "lim"}
_SYMBOLS = {"pi": "π", "infty": "∞"}


def _signature(latex):
    """The letters and digits of a LaTeX text in order: what survives pdftotext of its typeset form."""
    words = re.sub(r"\\([A-Za-z]+)", lambda m: m[1] if m[1] in _KEPT_WORDS else _SYMBOLS.get(m[1], ""), latex)
    return "".join(c for c in words if c.isalnum())


def _pdf_text(path):
    return _signature(subprocess.run(["pdftotext", "-raw", str(path), "-"], capture_output=True, text=True,
                                     check=True).stdout)


def _in_order(signatures, text):
    """The signatures that are not found in `text`, each searched after the one before."""
    missing, position = [], 0
    for signature in signatures:
        found = text.find(signature, position)
        if found < 0:
            missing.append(signature)
        else:
            position = found + len(signature)
    return missing


@needs_lualatex
def test_pdf_has_every_exercise_and_then_every_answer(sheet_cli, tmp_path):
    source = tmp_path / "exercises.txt"
    source.write_text(EXERCISES, encoding="utf-8")
    status, out, err = sheet_cli(str(source), "--generate", "expand-powers", "--generate", "rationalise",
                                 "--count", "4", "-o", str(tmp_path / "sheet.pdf"))
    assert status == 1 and "LuaLaTeX" not in err  # only the bad lines of the file
    exercises = [e for s in _sections() for e in s.exercises]
    exercises += generate("expand-powers", 4, 1) + generate("rationalise", 4, 1)
    text = _pdf_text(tmp_path / "sheet.pdf")
    questions = [_signature(kalvora.latex(e.question)) for e in exercises]
    answers = [_signature(kalvora.latex(e.answer)) for e in exercises]
    assert _in_order(questions + ["解答"] + answers, text) == []


@needs_lualatex
def test_a_failed_compile_names_the_first_error(tmp_path):
    broken = "\\documentclass{ltjsarticle}\n\\begin{document}\n\\nosuchcommand\n\\end{document}\n"
    with pytest.raises(SheetError, match=r"! Undefined control sequence"):
        compile_pdf(broken, tmp_path / "broken.pdf", typesetting_engine())
    assert not (tmp_path / "broken.pdf").exists()
