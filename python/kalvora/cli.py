"""コマンドライン: ``kalvora expand "(x+1)^3"`` (``python -m kalvora`` でも同じ)。

出力は入力の一つの式につき一行で、式が誤っていても空の行を出すので、答えは問いと
同じ行に並ぶ (誤りのメッセージは行番号つきで標準エラーに出る)。

終了コード:
  0    成功
  1    誤った式がある、または画像を作れない
  2    使い方の誤り
  120  標準出力に書けない (ディスクが満杯など; 標準エラーに一行)
  130  Ctrl-C で中断した
  141  標準出力が閉じられた (``| head`` など; SIGPIPE で終わったときと同じ値で、何も言わない)
"""

from __future__ import annotations

import argparse
import errno
import io
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from functools import partial
from typing import TYPE_CHECKING

import _kalvora_core as core

from . import __version__
from .algebra import expand, factor, simplify
from .bridge import core_latex
from .calculus import diff, integrate, limit
from .calculus.differentiate import variable_name
from .checking import FORMS, check
from .formula import Formula
from .latex import latex
from .parse import parse
from .plot import plot
from .sheet_command import add_sheet_command
from .tree import tree

if TYPE_CHECKING:
    from _typeshed import SupportsWrite


@dataclass(frozen=True)
class Verb:
    """What a verb prints for one formula, and how it introduces itself."""

    summary: str  # its one line in ``kalvora --help``
    output: Callable[..., str]  # output(formula), or output(args, formula) with `options`
    core_output: Callable[[Formula], str] | None = None  # the engine's own text, under --core
    draws: bool = True  # the output is LaTeX, so --png and --svg can draw it
    details: str = ""  # more for ``kalvora VERB --help``
    options: Callable[[argparse.ArgumentParser], None] | None = None  # adds the verb's own options


_TEXTBOOK = """\
数は正確に (整数の大きさに制限なく) 計算し、結果を教科書の形 (降べきの順) の LaTeX で出す。
--core は仕様どおりのエンジン _kalvora_core (整数は 32 ビットで巡回する) の LaTeX をそのまま出す。"""


def _add_variable(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--var", default="x", type=_variable, help="変数 (既定 x)")


def _variable(text: str) -> str:
    try:
        return variable_name(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _add_interval(parser: argparse.ArgumentParser) -> None:
    _add_variable(parser)
    parser.add_argument("--from", dest="lower", metavar="A", type=_bound, help="定積分の下端 (--to と組で)")
    parser.add_argument("--to", dest="upper", metavar="B", type=_bound, help="定積分の上端 (負の数は --to=-1 と書く)")
    parser.add_argument("--constant", action="store_true", help="不定積分に積分定数 + C をつける")


def _bound(text: str) -> Formula:
    try:
        return parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _integral(args: argparse.Namespace, formula: Formula) -> str:
    if (args.lower is None) != (args.upper is None):
        args.parser.error("定積分には --from と --to の両方が必要です")
    if args.lower is None:
        return latex(integrate(formula, args.var), constant=args.constant)
    return latex(integrate(formula, (args.var, args.lower, args.upper)))


def _add_point(parser: argparse.ArgumentParser) -> None:
    _add_variable(parser)
    parser.add_argument("--at", metavar="A", type=_bound, required=True,
                        help="近づける点: 数式か oo, -oo (- で始まる点は --at=-oo と書く)")
    parser.add_argument("--dir", choices=["+", "-"], help="片側極限: + は右から、- は左から")


VERBS: dict[str, Verb] = {
    "expand": Verb(
        "展開して同類項をまとめる",
        lambda formula: latex(expand(formula)),
        partial(core_latex, engine=core.expand),
        details=_TEXTBOOK,
    ),
    "simplify": Verb(
        "教科書の答えの形に簡単にする (分数式は一つの既約分数、根号・三角関数の値も)",
        lambda formula: latex(simplify(formula)),
        partial(core_latex, engine=core.simplify),
        details=_TEXTBOOK,
    ),
    "factor": Verb(
        "有理数の範囲で因数分解する",
        lambda formula: latex(factor(formula)),
        details="共通因数が先、次に次数の高い因数から並べる。",
    ),
    "latex": Verb(
        "入力したとおりの式を教科書の形の LaTeX で出す",
        latex,
        core_latex,
        details="計算も並べ替えもしない。--core はエンジン _kalvora_core の LaTeX を出す。",
    ),
    "tree": Verb("式の木の構造を出す", tree, draws=False),
    "diff": Verb(
        "微分して導関数を教科書の形で出す",
        lambda args, formula: latex(diff(formula, args.var)),
        details="--var で微分する変数を選ぶ (既定は x)。",
        options=_add_variable,
    ),
    "integrate": Verb(
        "不定積分 (C は省く) か定積分 (--from, --to) を求める",
        _integral,
        details="--var で積分変数を選ぶ (既定は x)。数Ⅲの範囲の積分だけを扱い、範囲外は誤りとして報告する。",
        options=_add_interval,
    ),
    "limit": Verb(
        "極限を求める: 発散すれば \\infty か -\\infty",
        lambda args, formula: latex(limit(formula, args.var, args.at, args.dir)),
        details="--at で近づける点、--dir で片側 (+ か -)、--var で変数 (既定は x) を選ぶ。極限がなければ誤りとして報告する。",
        options=_add_point,
    ),
}

_CORE_HELP = "仕様どおりのエンジン _kalvora_core の出力をそのまま出す (そのバイト列に頼るプログラム向け)"
_DEFAULT_DPI = 200.0
_PICTURE_HINT = "--png と --svg には matplotlib が必要です: pip install 'kalvora[picture]'"
_DASH_HINT = "'-' で始まる式は -- の後に書く: kalvora latex -- -x^2"

_EPILOG = """\
例:
  kalvora expand "(x+1)^3"          → x^{3} + 3x^{2} + 3x + 1
  kalvora simplify "sqrt(8)" "2/4"  (式はいくつでも)
  echo "(a-b)^2" | kalvora expand   (式を省くと標準入力から一行ずつ読む)
  kalvora expand "(x+1)^2" --png out.png
  kalvora expand --help             (動詞ごとの説明)
  kalvora check "(x+1)^2" "x^2+2x+1" --form factored   (答えの判定)
  kalvora plot "x^3 - 3x" --from -3 --to 3 -o graph.png  (グラフ)

終了コード: 0 成功、1 誤った式がある・画像を作れない、2 使い方の誤り、
  120 標準出力に書けない、130 Ctrl-C で中断、141 標準出力が閉じられた (何も言わずに終わる)
"""

_VERB_EPILOG = f"""\
式を省くと標準入力を一行ずつ読む。出力は式一つにつき一行で、空の行には空の行を、
誤った式には空の行を出す (メッセージは何行目か、何番目の式かを添えて標準エラーへ)。
一つでも誤りがあれば終了コードは 1。
{_DASH_HINT}
"""


class _OutputFailed(Exception):
    """Standard output cannot be written any more."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _ArgumentParser(argparse.ArgumentParser):
    """argparse ignores errors writing --help and --version; write those through ``_write``,
    so that a closed or full standard output ends them like any other output."""

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        if message and file is sys.stdout:
            _write(message)
        else:
            super()._print_message(message, file)


def _positive_dpi(text: str) -> float:
    try:
        dpi = float(text)
    except ValueError:
        dpi = math.nan
    if not (math.isfinite(dpi) and dpi > 0):
        raise argparse.ArgumentTypeError(f"正の数が必要です: {text!r}")
    return dpi


def _add_verb(verbs: argparse._SubParsersAction[_ArgumentParser], name: str, verb: Verb) -> None:
    parser = verbs.add_parser(
        name,
        help=verb.summary,
        description=f"{verb.summary}。\n{verb.details}",
        epilog=_VERB_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    # Verbs that cannot draw still answer args.png and args.svg, with None.
    parser.set_defaults(parser=parser, output=verb.output, png=None, svg=None, dpi=_DEFAULT_DPI,
                        options=verb.options is not None)
    if verb.options:
        verb.options(parser)
    parser.add_argument("exprs", nargs="*", metavar="EXPR", help="数式 (省略すると標準入力の各行)")
    if verb.core_output:
        parser.add_argument("--core", dest="output", action="store_const", const=verb.core_output, help=_CORE_HELP)
    if verb.draws:
        parser.add_argument("--png", metavar="FILE", help="出力の数式を PNG 画像にも描く (一行に一つ; matplotlib が必要)")
        parser.add_argument("--svg", metavar="FILE", help="出力の数式を SVG 画像にも描く (一行に一つ; matplotlib が必要)")
        parser.add_argument("--dpi", type=_positive_dpi, default=_DEFAULT_DPI,
                            help=f"PNG の解像度 (既定 {_DEFAULT_DPI:g})")


def _add_check(verbs: argparse._SubParsersAction[_ArgumentParser]) -> None:
    summary = "生徒の答えが正しい答えと等しいか、指定の形で書かれているかを判定する"
    parser = verbs.add_parser(
        "check",
        help=summary,
        description=f"{summary}。\n判定のメッセージを一行出す。終了コードは正解で形も合えば 0、それ以外は 1。",
        epilog=f"例: kalvora check \"(x+1)^2\" \"x^2+2x+1\" --form factored\n{_DASH_HINT}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(parser=parser, command=_run_check)
    parser.add_argument("exprs", nargs="*", metavar="EXPR", help="生徒の答えと正しい答えの二つ")
    parser.add_argument("--form", choices=list(FORMS), help="求める答えの形")


def _run_check(args: argparse.Namespace) -> int:
    if len(args.exprs) != 2:
        args.parser.error("生徒の答えと正しい答えの二つの式を指定してください")
    answer, expected = args.exprs
    try:
        result = check(answer, expected, args.form)
    except ValueError as error:  # the expected answer does not parse or has no value
        _complain(f"正しい答え: {error}")
        return 1
    _write(result.message + "\n")
    return 0 if result.ok else 1


def _add_plot(verbs: argparse._SubParsersAction[_ArgumentParser]) -> None:
    summary = "関数のグラフを教科書の図のように描く (切片・極値は正確な値で、漸近線は破線で)"
    parser = verbs.add_parser(
        "plot",
        help=summary,
        description=f"{summary}。\n式がいくつもあれば一つの図に重ねて描く。形式は出力ファイルの拡張子 (.png, .svg, .pdf) で決まる。",
        epilog=f"例: kalvora plot \"x^3 - 3x\" --from -3 --to 3 -o graph.png\n"
               f"'-' で始まる範囲の端は = でつなぐ: --from=-pi\n{_DASH_HINT}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(parser=parser, command=_run_plot)
    parser.add_argument("exprs", nargs="*", metavar="EXPR", help="関数 (省略すると標準入力の各行)")
    parser.add_argument("--from", dest="low", default="-5", type=_bound, metavar="A", help="範囲の左端 (既定 -5)")
    parser.add_argument("--to", dest="high", default="5", type=_bound, metavar="B", help="範囲の右端 (既定 5)")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="出力するファイル (.png, .svg, .pdf)")
    _add_variable(parser)


def _run_plot(args: argparse.Namespace) -> int:
    """Draw every formula that parses into one figure; 1 if any did not or none could be drawn."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        args.parser.error("plot には matplotlib が必要です: pip install 'kalvora[picture]'")
    functions: list[Formula] = []
    succeeded = True
    for label, text in _inputs(args.exprs):
        if text.strip():
            try:
                functions.append(parse(text))
            except ValueError as error:
                _complain(f"{label}: {error}")
                succeeded = False
    if not functions:
        _complain("描く式がありません")
        return 1
    try:
        plot(functions, (args.var, args.low, args.high), path=args.output)
    except (OSError, ValueError) as error:  # an unwritable file, a wrong range or suffix, a MathError
        _complain(f"グラフを描けません: {error}")
        return 1
    return 0 if succeeded else 1


class _VerbListFormatter(argparse.RawDescriptionHelpFormatter):
    """argparse measures the column of the verbs' summaries without the indentation the verbs
    are printed with, which would put the summary of a nine-letter verb (integrate) on a line
    of its own."""

    def add_argument(self, action: argparse.Action) -> None:
        super().add_argument(action)
        if isinstance(action, argparse._SubParsersAction):
            self._action_max_length += self._indent_increment


def _argument_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog="kalvora",
        description="数式を展開・簡略化・因数分解・微分・積分し、教科書の形の LaTeX で出力する。極限、グラフ、答えの判定、演習プリントも。",
        epilog=_EPILOG,
        formatter_class=_VerbListFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    verbs = parser.add_subparsers(dest="verb", required=True, metavar="VERB")
    for name, verb in VERBS.items():
        _add_verb(verbs, name, verb)
    _add_check(verbs)
    _add_plot(verbs)
    add_sheet_command(verbs, _write, _complain)
    return parser


def _parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    args, extras = _argument_parser().parse_known_args(argv)
    # A verb's expressions stop at its first option; those after it come back as extras,
    # followed by everything after a "--", which is an expression whatever it looks like.
    cut = extras.index("--") if "--" in extras else len(extras)
    unknown = [arg for arg in extras[:cut] if arg.startswith("-") and arg != "-"]
    if unknown:
        hint = f" ({_DASH_HINT})" if any(not arg.startswith("--") for arg in unknown) else ""
        args.parser.error(f"解釈できない引数 {' '.join(unknown)}{hint}")
    args.exprs += extras[:cut] + extras[cut + 1:]
    return args


def _complain(message: str) -> None:
    print(f"kalvora: {message}", file=sys.stderr, flush=True)


def _write(text: str) -> None:
    # Flushed at once, so a program that feeds us line by line gets each answer in time.
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as error:
        raise _OutputFailed(error) from None


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that the interpreter's last flush of what is
    still buffered succeeds instead of printing "Exception ignored ... BrokenPipeError"."""
    try:
        descriptor = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):  # not a real file (a test's capture)
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, descriptor)
    os.close(devnull)


def _stdin_lines() -> Iterable[str]:
    # Undecodable bytes become U+FFFD, which the parser rejects as that line's error.
    if isinstance(sys.stdin, io.TextIOWrapper):
        sys.stdin.reconfigure(errors="replace")
    return sys.stdin


def _inputs(exprs: list[str]) -> Iterator[tuple[str, str]]:
    """(label for messages, text) of each formula: the arguments, or else the lines of stdin."""
    if exprs:
        return ((f"{n} 番目の式", text) for n, text in enumerate(exprs, 1))
    return ((f"{n} 行目", line.strip()) for n, line in enumerate(_stdin_lines(), 1))


def _answer(output: Callable[[Formula], str], inputs: Iterable[tuple[str, str]],
            answered: list[tuple[str, str]]) -> bool:
    """Print one line per input and collect the answers; True when every input succeeded."""
    succeeded = True
    for label, text in inputs:
        line = ""
        if text.strip():
            try:
                line = output(parse(text))
            except ValueError as error:  # a ParseError or a MathError
                _complain(f"{label}: {error}")
                succeeded = False
            except MemoryError:
                _complain(f"{label}: メモリが足りません")
                succeeded = False
            else:
                answered.append((label, line))
        _write(line + "\n")
    return succeeded


def _check_drawable(label: str, formula: str) -> None:
    from matplotlib.mathtext import MathTextParser

    try:
        MathTextParser("path").parse(f"${formula}$")
    except ValueError as error:  # mathtext knows only part of LaTeX; its last line says what
        raise ValueError(f"{label}は mathtext で描けません: {str(error).strip().splitlines()[-1]}") from None
    except RecursionError:  # mathtext's parser recurses on nesting
        raise ValueError(f"{label}は入れ子が深すぎて mathtext で描けません") from None


def _draw(formulas: Sequence[str], path: str, fmt: str, dpi: float) -> None:
    """Draw the LaTeX formulas one per line through matplotlib's mathtext."""
    from matplotlib.figure import Figure

    figure = Figure()
    figure.text(0, 0, "\n".join(f"${formula}$" for formula in formulas), fontsize=20)
    figure.savefig(path, format=fmt, dpi=dpi, bbox_inches="tight", pad_inches=0.1)


def _pictures(args: argparse.Namespace) -> list[tuple[str, str]]:
    """The (path, format) of each picture asked for; a usage error without matplotlib."""
    pictures = [(path, fmt) for path, fmt in ((args.png, "png"), (args.svg, "svg")) if path]
    if pictures:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            args.parser.error(_PICTURE_HINT)
    return pictures


def _make_pictures(pictures: list[tuple[str, str]], answered: list[tuple[str, str]], dpi: float) -> bool:
    """Draw every picture; True when all were written, else False after one line on stderr."""
    if not pictures or not answered:
        return True
    try:
        for label, formula in answered:
            _check_drawable(label, formula)
        for path, fmt in pictures:
            _draw([formula for _, formula in answered], path, fmt, dpi)
    except (OSError, ValueError) as error:  # an unwritable file, an undrawable text, too large an image
        _complain(f"画像を作れません: {error}")
        return False
    return True


def _run(argv: Sequence[str] | None) -> int:
    args = _parse_arguments(argv)
    if "command" in args:  # a verb with its own way of answering
        status: int = args.command(args)
        return status
    pictures = _pictures(args)
    answered: list[tuple[str, str]] = []
    output = partial(args.output, args) if args.options else args.output
    succeeded = _answer(output, _inputs(args.exprs), answered)
    drawn = _make_pictures(pictures, answered, args.dpi)
    return 0 if succeeded and drawn else 1


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: ``sys.argv[1:]``) and return its exit status."""
    try:
        return _run(argv)
    except KeyboardInterrupt:
        _complain("中断しました")
        return 130
    except _OutputFailed as failure:
        _silence_stdout()
        if failure.error.errno == errno.EPIPE:
            return 141
        _complain(f"標準出力に書けません: {failure.error.strerror}")
        return 120
