"""Exercise sheets: an exercise file read into exercises whose answers KalVora computes,
and the LaTeX document of the sheet with its answer key (解答), compiled with LuaLaTeX.

An exercise file has one thing per line::

    # 次の式を展開せよ
    expand: (2x-3)(x+5)
    integrate 0..pi: sin x
    limit x->0: sin(x)/x

A ``#`` line is a heading (the instruction of the exercises below it), every other
non-blank line is ``verb: expression``. A line that cannot be read or solved is reported
with its number and left out; the others stay.
"""

from __future__ import annotations

import enum
import re
import shutil
import subprocess
import tempfile
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from .algebra import expand, factor, simplify
from .calculus import diff, integrate, limit
from .formula import Formula, Kind, symbol
from .latex import latex
from .parse import parse

INSTALL_HINT = "apt-get install texlive-luatex texlive-lang-japanese"
_COMPILE_TIMEOUT = 180.0  # seconds; the first run on a machine builds luaotfload's font cache


class SheetError(ValueError):
    """An exercise that cannot be read or solved, or a sheet that cannot be typeset."""


# --- what an exercise asks ---------------------------------------------------------------


@dataclass(frozen=True)
class Task:
    """What to do with an exercise's formula: the verb of its line, with its parameters."""

    verb: str  # expand, factor, simplify, diff, integrate, limit
    variable: str = "x"  # of diff, integrate and limit
    bounds: tuple[Formula, Formula] | None = None  # integrate a..b
    point: Formula | None = None  # limit x->a, a number or ±∞
    side: str = ""  # limit x->a+ or x->a-

    @property
    def head(self) -> str:
        """The text before the colon of the exercise line."""
        if self.bounds is not None:
            return f"integrate {self.bounds[0]}..{self.bounds[1]}"
        if self.verb == "limit":
            return f"limit {self.variable}->{self.point}{self.side}"
        return self.verb

    def solve(self, question: Formula) -> Formula:
        """The answer, computed by KalVora."""
        if self.verb == "diff":
            return diff(question, self.variable)
        if self.verb == "integrate":
            return integrate(question, self.variable if self.bounds is None else (self.variable, *self.bounds))
        if self.verb == "limit":
            assert self.point is not None
            return limit(question, self.variable, self.point, dir=self.side or None)
        return _ALGEBRA[self.verb](question)


_ALGEBRA: dict[str, Callable[[Formula], Formula]] = {"expand": expand, "factor": factor, "simplify": simplify}


def _infinite(point: Formula) -> bool:
    return point.kind is Kind.INFINITY or point.kind is Kind.NEG and point.args[0].kind is Kind.INFINITY


@dataclass(frozen=True)
class Exercise:
    """One exercise: ``question`` and ``answer`` are formulas, ``line`` the exercise-file
    line that reproduces it."""

    task: Task
    question: Formula
    answer: Formula
    line: str

    @property
    def verb(self) -> str:
        return self.task.verb


@dataclass
class Section:
    """A heading and the exercises under it (the heading is empty before the first ``#`` line)."""

    heading: str
    exercises: list[Exercise] = field(default_factory=list)


@dataclass(frozen=True)
class LineError:
    number: int
    message: str

    def __str__(self) -> str:
        return f"{self.number} 行目: {self.message}"


# --- reading exercise files ----------------------------------------------------------------

_VERBS = ("expand", "factor", "simplify", "diff", "integrate", "limit")
_HEAD = re.compile(r"(?P<verb>[a-z]+)\s*(?P<rest>.*)")
_BOUNDS = re.compile(r"(?P<lower>.+?)\s*\.\.\s*(?P<upper>.+)")
# x->a, x->oo; one side as x->a+ or, as textbooks write it, x->a+0 and x->+0
_APPROACH = re.compile(r"(?P<variable>[^-→]+?)(?:->|→)(?:(?P<zero>[+-])0|(?P<point>.+?)(?P<side>[+-]0?)?)")


def read_head(head: str) -> Task:
    """The task of an exercise line's head: ``expand``, ``integrate 0..pi``, ``limit x->0+``."""
    match = _HEAD.fullmatch(head.strip())
    if match is None or match["verb"] not in _VERBS:
        raise SheetError(f"知らない動詞です: {head.strip()!r} ({', '.join(_VERBS)} のどれか)")
    verb, rest = match["verb"], match["rest"]
    if verb == "integrate" and rest:
        bounds = _BOUNDS.fullmatch(rest)
        if bounds is None:
            raise SheetError(f"定積分の範囲は integrate 0..pi のように書いてください: {rest!r}")
        return Task(verb, bounds=(parse(bounds["lower"]), parse(bounds["upper"])))
    if verb == "limit":
        return _limit_task(rest)
    if rest:
        raise SheetError(f"{verb} の後には何も書きません: {rest!r}")
    return Task(verb)


def _limit_task(rest: str) -> Task:
    approach = _APPROACH.fullmatch(rest.replace(" ", ""))
    if approach is None:
        raise SheetError(f"極限は limit x->0 のように書いてください: {rest!r}")
    variable = parse(approach["variable"])
    if variable.kind is not Kind.SYMBOL:
        raise SheetError(f"-> の前には変数を一つ書きます: {approach['variable']!r}")
    point = parse(approach["point"] or "0")
    side = approach["zero"] or (approach["side"] or "")[:1]
    if _infinite(point) and side:
        raise SheetError("∞ への極限には + も - も付けません")
    return Task("limit", variable=variable.name, point=point, side=side)


def _variable_of(task: Task, question: Formula) -> Task:
    """diff and integrate go by x, or by the formula's only variable when it has no x."""
    if task.verb not in ("diff", "integrate"):
        return task
    names = sorted(s.name for s in question.free_symbols)
    if not names or "x" in names:
        return task
    if len(names) > 1:
        raise SheetError(f"どの変数で{'微分' if task.verb == 'diff' else '積分'}するか決められません "
                         f"(x がなく、{', '.join(names)} があります)")
    return Task(task.verb, variable=names[0], bounds=task.bounds)


def exercise(line: str, answer: Formula | None = None) -> Exercise:
    """The exercise of one ``verb: expression`` line; KalVora computes the answer unless it is given."""
    head, colon, text = line.replace("：", ":").partition(":")
    if not colon:
        raise SheetError("「動詞: 式」の形の行 (例 expand: (x+1)^2) か、# で始まる見出しを書いてください")
    if not text.strip():
        raise SheetError("式がありません")
    question = parse(text)
    task = _variable_of(read_head(head), question)
    return Exercise(task, question, task.solve(question) if answer is None else answer, line.strip())


def read_exercises(lines: Iterable[str]) -> tuple[list[Section], list[LineError]]:
    """The sections of an exercise file, and the errors of the lines that were left out."""
    sections = [Section("")]
    errors: list[LineError] = []
    for number, raw in enumerate(lines, 1):
        line = raw.strip()
        if line.startswith("#"):
            sections.append(Section(line.lstrip("#").strip()))
        elif line:
            try:
                sections[-1].exercises.append(exercise(line))
            except ValueError as error:  # SheetError, ParseError, MathError
                errors.append(LineError(number, str(error)))
    return [s for s in sections if s.exercises], errors


# --- typesetting ------------------------------------------------------------------------


class Part(enum.Enum):
    """What the document holds."""

    BOTH = "both"  # the exercises, then the answer key on its own page
    QUESTIONS = "questions"
    ANSWERS = "answers"


def _operand(formula: Formula) -> str:
    """A formula after \\int or \\lim: a sum goes in parentheses, as textbooks write it."""
    text = latex(formula)
    return rf"\left({text}\right)" if formula.kind is Kind.ADD else text


def _point_latex(task: Task) -> str:
    assert task.point is not None
    # Japanese textbooks write one-sided limits x \to 1 + 0, and x \to +0 at zero.
    point = "" if task.point == Formula(0) else latex(task.point) + " "
    return f"{point}{task.side}0" if task.side else latex(task.point)


def question_latex(exercise: Exercise) -> str:
    """How an exercise is printed on the sheet: with y =, \\int or \\lim where its verb asks."""
    task = exercise.task
    d = rf"\,d{latex(symbol(task.variable))}"
    if task.verb == "diff":
        return f"y = {latex(exercise.question)}"
    if task.verb == "integrate" and task.bounds is not None:
        lower, upper = (latex(bound) for bound in task.bounds)
        return rf"\int_{{{lower}}}^{{{upper}}} {_operand(exercise.question)}{d}"
    if task.verb == "integrate":
        return rf"\int {_operand(exercise.question)}{d}"
    if task.verb == "limit":
        return rf"\lim_{{{latex(symbol(task.variable))} \to {_point_latex(task)}}} {_operand(exercise.question)}"
    return latex(exercise.question)


def answer_latex(exercise: Exercise) -> str:
    """How an answer is printed in the key: y' = for derivatives, + C for antiderivatives."""
    indefinite = exercise.verb == "integrate" and exercise.task.bounds is None
    text = latex(exercise.answer, constant=indefinite)
    return f"y' = {text}" if exercise.verb == "diff" else text


_PREAMBLE = r"""\documentclass[a4paper,11pt]{ltjsarticle}
\usepackage[margin=18mm,top=15mm]{geometry}
\usepackage{amsmath}
\usepackage{multicol}
\pagestyle{empty}
\setlength{\columnsep}{2\zw}
\renewcommand{\labelenumi}{(\arabic{enumi})}
% A heading starts a new page rather than stand alone at the foot of one (needspace's trick).
\makeatletter
\newcommand{\needspace}[1]{\begingroup\setlength{\dimen@}{#1}\vskip\z@\@plus\dimen@\penalty-100
  \vskip\z@\@plus-\dimen@\vskip\dimen@\penalty9999\vskip-\dimen@\vskip\z@skip\endgroup}
\makeatother
\newcommand{\heading}[2]{\par\needspace{6\baselineskip}\bigskip\noindent\framebox[1.6em]{\textbf{#1}}\quad #2\par\smallskip}
\begin{document}
"""
_NAME_LINE = (r"\noindent\hfill\underline{\hspace{2\zw}}年\underline{\hspace{2\zw}}組"
              r"\underline{\hspace{2\zw}}番\quad 氏名\underline{\hspace{12\zw}}\par\medskip" "\n")
_TWO_COLUMN_WIDTH = 30  # visible characters of the widest formula that still fits a column
_LATEX_SPECIALS = {c: "\\" + c for c in "#$%&_{}"} | {"\\": r"\textbackslash{}", "^": r"\^{}", "~": r"\~{}"}


def _escape(text: str) -> str:
    return "".join(_LATEX_SPECIALS.get(c, c) for c in text)


def _visible_width(text: str) -> int:
    """About how many characters wide a formula prints: its text without control words and braces
    (the spaces around + and - stand for the room those take)."""
    return len(re.sub(r"\\[A-Za-z]+|[{}^_]|\\[,;!]", "", text))


def _items(heading: str, formulas: Sequence[str], spacing: str) -> str:
    """A heading and its numbered formulas, in two columns when the widest fits in one."""
    items = "".join(f"\\item $\\displaystyle {formula}$\n" for formula in formulas)
    body = f"\\begin{{enumerate}}\\setlength{{\\itemsep}}{{{spacing}}}\n{items}\\end{{enumerate}}\n"
    if len(formulas) > 1 and max(map(_visible_width, formulas)) <= _TWO_COLUMN_WIDTH:
        # multicols keeps its optional heading on the page where its columns start
        return f"\\begin{{multicols}}{{2}}[{heading}]\n{body}\\end{{multicols}}\n"
    return heading + body


def _part(sections: Sequence[Section], answers: bool) -> str:
    show, spacing = (answer_latex, r"0.6\baselineskip") if answers else (question_latex, r"1.8\baselineskip")
    blocks = []
    for number, section in enumerate(sections, 1):
        heading = f"\\heading{{{number}}}{{{_escape(section.heading)}}}" if len(sections) > 1 or section.heading else ""
        note = ""
        if answers and any(e.verb == "integrate" and e.task.bounds is None for e in section.exercises):
            note = "\\noindent ただし，$C$ は積分定数\n"
        blocks.append(_items(heading, [show(e) for e in section.exercises], spacing) + note)
    return "".join(blocks)


def _title(text: str) -> str:
    return f"\\begin{{center}}{{\\Large\\bfseries {_escape(text)}}}\\end{{center}}\n"


def sheet_latex(sections: Sequence[Section], title: str = "演習問題", part: Part = Part.BOTH) -> str:
    """The LaTeX document of a sheet (LuaLaTeX with luatexja)."""
    body = ""
    if part is not Part.ANSWERS:
        body += _title(title) + _NAME_LINE + _part(sections, answers=False)
    if part is Part.BOTH:
        body += "\\newpage\n"
    if part is not Part.QUESTIONS:
        body += _title(f"{title}　解答") + _part(sections, answers=True)
    return _PREAMBLE + body + "\\end{document}\n"


# --- compiling ----------------------------------------------------------------------------


def typesetting_engine() -> str | None:
    """The path of lualatex when it and luatexja are installed, else None."""
    engine = shutil.which("lualatex")
    kpsewhich = shutil.which("kpsewhich")
    if engine is None:
        return None
    if kpsewhich is not None:
        found = subprocess.run([kpsewhich, "ltjsarticle.cls"], capture_output=True, text=True,
                               stdin=subprocess.DEVNULL, check=False)
        if not found.stdout.strip():
            return None
    return engine


def _first_error(log: str) -> str:
    errors = [line for line in log.splitlines() if line.startswith("!")]
    return errors[0] if errors else (log.strip().splitlines() or ["(ログなし)"])[-1]


def compile_pdf(document: str, output: Path, engine: str, timeout: float = _COMPILE_TIMEOUT) -> None:
    """Typeset the document into ``output`` in a temporary directory; SheetError with the log's
    first error line when LuaLaTeX fails or does not finish in time."""
    with tempfile.TemporaryDirectory(prefix="kalvora-sheet-") as name:
        directory = Path(name)
        (directory / "sheet.tex").write_text(document, encoding="utf-8")
        for _ in range(2):  # a second run only when the first asks for it
            try:
                run = subprocess.run([engine, "-interaction=nonstopmode", "-halt-on-error", "sheet.tex"],
                                     cwd=directory, capture_output=True, text=True, errors="replace",
                                     stdin=subprocess.DEVNULL, timeout=timeout, check=False)
            except subprocess.TimeoutExpired:
                raise SheetError(f"LuaLaTeX が {timeout:g} 秒で終わりませんでした") from None
            if run.returncode != 0:
                raise SheetError(f"LuaLaTeX が失敗しました: {_first_error(run.stdout)}")
            if "Rerun" not in run.stdout:
                break
        shutil.copyfile(directory / "sheet.pdf", output)
