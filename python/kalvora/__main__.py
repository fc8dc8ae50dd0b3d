"""コマンドライン: ``kalvora expand "(x+1)^3"`` (``python -m kalvora`` でも同じ)。

終了コード: 0 成功、1 誤った式がある・画像を書けない (メッセージは標準エラー)、2 使い方の誤り。
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterable, Sequence

from _kalvora_core import Expr, expand, simplify

from ._display import latex, tree
from ._parser import parse

_TRANSFORMS: dict[str, Callable[[Expr], Expr]] = {
    "expand": expand,
    "simplify": simplify,
    "latex": lambda expr: expr,
    "tree": lambda expr: expr,
}

_EPILOG = """\
例:
  kalvora expand "(x+1)^3"          → x^{3} + 3x^{2} + 3x + 1
  kalvora simplify "sqrt(8)" "2/4"  (式はいくつでも)
  echo "(a-b)^2" | kalvora expand   (式を省くと標準入力から一行ずつ読む)
  kalvora expand "(x+1)^2" --png out.png
'-' で始まる式は -- の後に書く: kalvora latex -- -x^2
"""


def _argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kalvora",
        description="数式を展開・簡略化し、LaTeX で出力する。",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "verb",
        choices=_TRANSFORMS,
        help="expand: 展開, simplify: 簡略化, latex: そのまま LaTeX に, tree: 木の構造を表示",
    )
    parser.add_argument("exprs", nargs="*", metavar="EXPR", help="数式 (省略すると標準入力の各行)")
    parser.add_argument("--png", metavar="FILE", help="結果の数式を PNG 画像にも描く (matplotlib が必要)")
    parser.add_argument("--svg", metavar="FILE", help="結果の数式を SVG 画像にも描く (matplotlib が必要)")
    return parser


def _stdin_lines() -> Iterable[str]:
    return (line for line in map(str.strip, sys.stdin) if line)


def _draw(formulas: Sequence[str], path: str, fmt: str) -> None:
    """LaTeX の数式を一行に一つずつ matplotlib の mathtext で画像に描く。"""
    from matplotlib.figure import Figure

    figure = Figure()
    figure.text(0, 0, "\n".join(f"${formula}$" for formula in formulas), fontsize=20)
    figure.savefig(path, format=fmt, dpi=150, bbox_inches="tight", pad_inches=0.1)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _argument_parser()
    args, unknown = parser.parse_known_intermixed_args(argv)
    if unknown:
        parser.error(f"解釈できない引数 {' '.join(unknown)} ('-' で始まる式は -- の後に書く: kalvora latex -- -x^2)")
    pictures = [(path, fmt) for fmt, path in (("png", args.png), ("svg", args.svg)) if path]
    if pictures:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error("--png と --svg には matplotlib が必要です: pip install 'kalvora[picture]'")

    transform = _TRANSFORMS[args.verb]
    formulas: list[str] = []
    failed = False
    for text in args.exprs or _stdin_lines():
        try:
            result = transform(parse(text))
        except ValueError as error:  # a ParseError, or an error of the algebra such as division by zero
            print(f"kalvora: {error}", file=sys.stderr, flush=True)
            failed = True
            continue
        formulas.append(latex(result))
        print(tree(result) if args.verb == "tree" else formulas[-1], flush=True)

    for path, fmt in pictures if formulas else []:
        try:
            _draw(formulas, path, fmt)
        except OSError as error:  # the picture file cannot be written
            print(f"kalvora: {error}", file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
