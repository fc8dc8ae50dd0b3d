"""KalVora: 学校で書くとおりに数式を入力し、展開・簡略化して LaTeX で得る。

    >>> import kalvora
    >>> kalvora.latex(kalvora.expand(kalvora.parse("(x+1)^3")))
    'x^{3} + 3x^{2} + 3x + 1'

式の木のクラス (Int, Var, Add, ...) と simplify, expand は C++ のコア
``_kalvora_core`` のものをそのまま公開している。

文法 (EBNF。下ほど強く結びつく。空白は無視する)::

    expr    = term { ("+" | "-") term }
    term    = { "+" | "-" } product
    product = power { ("*" | "/") signed | power }  (二つ目の power は暗黙の積)
    signed  = { "+" | "-" } power
    power   = atom [ ("^" | "**") signed ]
    atom    = 整数 | 名前 | 定数 | "(" expr ")" | 関数 [ "^" 整数 ] "(" expr ")"

各構文が作る木 (a, b は任意の式)::

    a + b        Add(a, b)        左結合: a + b + c = Add(Add(a, b), c)
    a - b        Add(a, Neg(b))   引き算のノードはない
    -a           Neg(a)           符号は後の積全体にかかる: -2x = Neg(Mul(2, x))
    a * b        Mul(a, b)        2x, 3(x+1), (x+1)(x-1), 2pi, ab も同じ
    a / b        Div(a, b)        3/4 も Div(Int(3), Int(4)) (簡略化で Rational になる)
    a ^ b        Pow(a, b)        a ** b も同じ。右結合: 2^3^2 = Pow(2, Pow(3, 2))
    sqrt(a)      Sqrt(a)          cbrt(a) は Cbrt(a)
    sin(a)       Sin(a)           cos, tan も同様。sin^2(a) = Pow(Sin(a), Int(2))
    ln(a)        Log(a)           log(a) も自然対数 Log(a)
    exp(a)       Pow(E(), a)
    pi, π, e     Pi(), Pi(), E()
    12           Int(12)          2147483647 まで。-5 は Neg(Int(5))
    x, α         Var('x'), Var('α')
    x1, x_1      Var('x_{1}')     添字は数字の列、または '_' の後の英数字の列: x_ab = Var('x_{ab}')

- 強さの順は + - < 符号 < * / と暗黙の積 < ^ 。したがって
  -2^2 = Neg(Pow(2, 2))、2^-1 = Pow(2, Neg(1))、1/2x = Mul(Div(1, 2), x)、
  2x^2 = Mul(2, Pow(x, 2))、a/bc = Mul(Div(a, b), c)。
- 暗黙の積: 式の後に名前・定数・関数・'(' が続けば掛け算になる。数は続けられない
  ("x 2" や "(x+1)2" は誤り。2x か x*2 と書く)。
- 文字の並びは左から関数名・定数名を最長一致で取り、残りは一文字ずつの変数の積にする:
  ab = Mul(a, b)、2pix = 2·π·x、xsin(x) = x·sin(x)。e は常にネイピア数 E() である。
  添字は並びの最後の文字にだけ付く: ab1 = a·b_{1}。
- 関数の引数には括弧が必要 (sin x は誤り)。× ÷ · − も * / * - として使える。
- 小数はない (5/2 と書く)。括弧・符号・指数の入れ子は 100 段まで。
- 誤りは ParseError (ValueError の一種) になり、メッセージに位置と ^ 印が付く。
"""

from _kalvora_core import (
    Add,
    Cbrt,
    Cos,
    Div,
    E,
    Expr,
    Int,
    Log,
    Mul,
    Neg,
    Pi,
    Pow,
    Rational,
    Sin,
    Sqrt,
    Tan,
    Var,
    expand,
    simplify,
)

from ._display import Formula, latex, show, tree
from ._parser import MAX_DEPTH, ParseError, parse

__all__ = [
    "Add",
    "Cbrt",
    "Cos",
    "Div",
    "E",
    "Expr",
    "Formula",
    "Int",
    "Log",
    "MAX_DEPTH",
    "Mul",
    "Neg",
    "ParseError",
    "Pi",
    "Pow",
    "Rational",
    "Sin",
    "Sqrt",
    "Tan",
    "Var",
    "expand",
    "latex",
    "parse",
    "show",
    "simplify",
    "tree",
]
