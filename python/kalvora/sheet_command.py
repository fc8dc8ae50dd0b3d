"""``kalvora sheet``: a sheet of exercises with its answer key, from an exercise file and
generated exercises, as LaTeX or (through LuaLaTeX) PDF."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any

from .generate import KINDS, LEVELS, generate
from .sheet import INSTALL_HINT, Part, Section, SheetError, compile_pdf, read_exercises, sheet_latex, typesetting_engine

Say = Callable[[str], None]

_DESCRIPTION = """\
問題ファイルから演習プリントと解答 (別のページ) を作る。問題ファイルは一行に一つ:
  # 次の式を展開せよ          (# で始まる行は見出し = 指示文)
  expand: (2x-3)(x+5)         (動詞: 式)
  factor: x^2-5x+6
  simplify: 1/(1+sqrt(2))
  diff: x^2 sin x
  integrate: x e^x
  integrate 0..pi: sin x
  limit x->0: sin(x)/x        (x->oo, x->-oo, 片側は x->0+ / x->0-)
読めない行・解けない行は行番号つきで標準エラーに出し、残りの問題でプリントを作る (終了コード 1)。
-o が .pdf なら LuaLaTeX (luatexja) で組版し、なければ .tex を書いてインストール方法を示す。"""

_EPILOG = f"""\
例:
  kalvora sheet exercises.txt -o sheet.pdf
  kalvora sheet --generate factor-quadratic --generate diff --count 6 --seed 3 --level 2 -o sheet.pdf
  kalvora sheet exercises.txt --answers-only -o key.tex
種類 (--generate): {", ".join(KINDS)}
"""


def add_sheet_command(verbs: argparse._SubParsersAction[Any], write: Say, complain: Say) -> None:
    """Add the ``sheet`` verb to the command line's verbs; it writes to standard output and
    complains through the command line's own functions."""
    parser = verbs.add_parser("sheet", help="問題ファイルから解答つきの演習プリント (LaTeX / PDF) を作る",
                              description=_DESCRIPTION, epilog=_EPILOG,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(parser=parser, exprs=[], command=partial(run_sheet, write=write, complain=complain))
    parser.add_argument("file", nargs="?", metavar="FILE", help="問題ファイル (- で標準入力)")
    parser.add_argument("-o", "--output", metavar="OUT", help="出力先 (.pdf か .tex; 省略すると LaTeX を標準出力へ)")
    parser.add_argument("--title", default="演習問題", help="プリントの題 (既定: 演習問題)")
    parts = parser.add_mutually_exclusive_group()
    parts.add_argument("--no-answers", dest="part", action="store_const", const=Part.QUESTIONS, default=Part.BOTH,
                       help="解答を付けない")
    parts.add_argument("--answers-only", dest="part", action="store_const", const=Part.ANSWERS, help="解答だけを出す")
    parser.add_argument("--generate", metavar="KIND", action="append", choices=list(KINDS), default=[],
                        help="この種類の問題を作って加える (何度でも; 種類ごとに見出しがつく)")
    parser.add_argument("--count", type=int, default=10, help="作る問題の数 (種類ごと; 既定 10)")
    parser.add_argument("--seed", type=int, default=1, help="乱数の種 (同じ種なら同じ問題; 既定 1)")
    parser.add_argument("--level", type=int, choices=LEVELS, default=1, help="難しさ 1..3 (既定 1)")


def _read_file(name: str, complain: Say) -> tuple[list[Section], bool] | None:
    """The sections of the exercise file and whether every line was read; None if it cannot be read."""
    try:
        text = sys.stdin.read() if name == "-" else Path(name).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        complain(f"問題ファイルを読めません: {name}: {error}")
        return None
    sections, errors = read_exercises(text.splitlines())
    for line_error in errors:
        complain(f"{name}: {line_error}")
    return sections, not errors


def _generated(args: argparse.Namespace, complain: Say) -> tuple[list[Section], bool]:
    sections, succeeded = [], True
    for kind in args.generate:
        try:
            sections.append(Section(KINDS[kind].heading, generate(kind, args.count, args.seed, args.level)))
        except ValueError as error:
            complain(str(error))
            succeeded = False
    return sections, succeeded


def _typeset(document: str, output: Path, complain: Say) -> bool:
    """Write the PDF, or the .tex beside it when LuaLaTeX is missing; True when the PDF was made."""
    engine = typesetting_engine()
    if engine is None:
        tex = output.with_suffix(".tex")
        tex.write_text(document, encoding="utf-8")
        complain(f"LuaLaTeX (luatexja) がないので {tex} を書きました。PDF にするにはインストールしてください: {INSTALL_HINT}")
        return False
    try:
        compile_pdf(document, output, engine)
    except SheetError as error:
        complain(str(error))
        return False
    return True


def run_sheet(args: argparse.Namespace, write: Say, complain: Say) -> int:
    """Run ``kalvora sheet``; the exit status."""
    if args.exprs:
        args.parser.error(f"余分な引数 {' '.join(args.exprs)} (問題ファイルは一つ)")
    if args.file is None and not args.generate:
        args.parser.error("問題ファイルか --generate KIND を指定してください")
    if args.count < 0:
        args.parser.error("--count は 0 以上です")
    output = Path(args.output) if args.output else None
    if output is not None and output.suffix not in (".pdf", ".tex"):
        args.parser.error(f"-o のファイルは .pdf か .tex です: {output}")
    sections: list[Section] = []
    succeeded = True
    if args.file is not None:
        read = _read_file(args.file, complain)
        if read is None:
            return 1
        sections, succeeded = read
    generated, all_generated = _generated(args, complain)
    sections += generated
    if not sections:
        complain("プリントに載せる問題がありません")
        return 1
    document = sheet_latex(sections, args.title, args.part)
    try:
        if output is None:
            write(document)
        elif output.suffix == ".tex":
            output.write_text(document, encoding="utf-8")
        else:
            succeeded = _typeset(document, output, complain) and succeeded
    except OSError as error:
        complain(f"{output} に書けません: {error.strerror}")
        return 1
    return 0 if succeeded and all_generated else 1
