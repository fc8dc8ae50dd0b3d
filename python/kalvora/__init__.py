"""KalVora: 学校で書くとおりに数式を入力し、正確に計算して教科書の形の LaTeX で得る。

    >>> import kalvora
    >>> x, y = kalvora.symbols("x y")
    >>> kalvora.latex((x + 1)**2 / 2)
    '\\\\frac{\\\\left(x + 1\\\\right)^{2}}{2}'

式は不変の値 `Formula` で、数は任意の大きさの整数と有理数を正確に持つ。入力の文法は
``help(kalvora.parse)`` にある。C++ のコア ``_kalvora_core`` (仕様どおりの 32 ビット整数の
エンジン) は ``core_expand`` と ``core_simplify``、``Formula.to_core`` で使える。
"""

from importlib.metadata import PackageNotFoundError, version

from _kalvora_core import Add, Cbrt, Cos, Div, Expr, Int, Log, Mul, Neg, Pi, Pow, Rational, Sin, Sqrt, Tan, Var

from .algebra import expand, factor, simplify
from .bridge import core_expand, core_simplify
from .calculus import diff, integrate, limit, oo
from .checking import CheckResult, check
from .errors import MathError, ParseError
from .formula import Formula, FormulaLike, Kind, symbol, symbols
from .functions import cbrt, cos, e, exp, ln, log, pi, sin, sqrt, tan
from .generate import generate
from .latex import latex, show
from .parse import parse
from .plot import plot  # matplotlib is imported when a graph is drawn
from .sheet import Exercise
from .tree import tree

try:
    __version__ = version("kalvora")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "Add", "Cbrt", "Cos", "Div", "Expr", "Int", "Log", "Mul", "Neg", "Pi", "Pow", "Rational", "Sin", "Sqrt",
    "Tan", "Var",
    "CheckResult", "Exercise", "Formula", "FormulaLike", "Kind", "MathError", "ParseError",
    "cbrt", "check", "core_expand", "core_simplify", "cos", "diff", "e", "exp", "expand", "factor", "generate", "integrate",
    "latex", "limit", "ln", "log", "oo", "parse",
    "pi", "plot", "show", "simplify", "sin", "sqrt",
    "symbol", "symbols", "tan", "tree",
]
