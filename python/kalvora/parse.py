"""The parser: text as people type it, to a `Formula`.

The grammar, what each construct builds and how typed text is normalised are described
in `parse`'s docstring, which ``help(kalvora)`` points to.

The parser is an operator-precedence parser with explicit stacks, so nesting costs list
entries, not Python frames: the parser runs in a small fixed number of frames and in
time proportional to the length of the text, however deep the formula.
"""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Callable, Generator, Iterator, Sequence
from dataclasses import dataclass
from fractions import Fraction
from functools import partial
from typing import NamedTuple

from .errors import ParseError
from .formula import E, INFINITY, PI, Formula, Kind, add, apply, decimal, div, mul, neg, number, power, symbol
from .names import GREEK, greek_word

__all__ = ["parse"]


def parse(text: str) -> Formula:
    """数式テキストを `Formula` にする。誤りがあれば ParseError を送出する。

    入れ子の深さに上限はない (括弧 10 万段も読める)。誤りは ``ParseError`` だけで、
    その ``position`` は入力した文字列 (正規化の前) の位置を指す。

    文法 (EBNF。下ほど強く結びつく。空白は区切りにしかならない)::

        expr     = term { ("+" | "-") term }
        term     = { "+" | "-" } product
        product  = factor { ("*" | "/") signed | factor }   (二つ目の factor は暗黙の積。数では始まれない)
        signed   = { "+" | "-" } factor
        factor   = ("√" | "∛") signed | power
        power    = atom [ ("^" | "**") signed ]
        atom     = 数 | 文字 | "(" expr ")" | 関数 [ "^" 整数 ] ( "(" expr ")" | 引数 )
        引数     = 引数の因子 { 文字で始まる引数の因子 }
        引数の因子 = (数 | 文字) [ "^" signed ]
        数       = 数字 { 数字 } [ "." 数字 { 数字 } ]
        文字     = 変数 | "pi" | "π" | "e" | "oo" | "∞"
        関数     = "sqrt" | "cbrt" | "sin" | "cos" | "tan" | "log" | "ln" | "exp" | "abs"

    各構文が作る式 (a, b は任意の式。Add などは kalvora.Kind の種類)::

        a + b        Add(a, b)          a + b + c = Add(a, b, c) (和は一本の鎖)
        a - b        Add(a, Neg(b))     引き算のノードはない。x - 3 = Add(x, -3)
        -a           Neg(a)             符号は後の積全体にかかる: -xy = Neg(Mul(x, y))
        -3           -3                 数に直接付く - は数の一部: -2x = Mul(-2, x)、
                                        x - 3y = Add(x, Mul(-3, y))。累乗の底は別: -2^2 = Neg(Pow(2, 2))
        a * b        Mul(a, b)          2x, 3(x+1), (x+1)(x-1), 2pi, ab も同じ。a*b*c = Mul(a, b, c)
        a / b        Div(a, b)          3/4 = Div(3, 4)。1/2x = Mul(Div(1, 2), x)
        a ^ b        Pow(a, b)          a ** b、x² も同じ。右結合: 2^3^2 = Pow(2, Pow(3, 2))
        √a, ∛a       Sqrt(a), Cbrt(a)   後の一つの因子にかかる: √2x = Mul(Sqrt(2), x)、√x² = Sqrt(Pow(x, 2))
        sqrt(a)      Sqrt(a)            cbrt(a) = Cbrt(a)
        sin(a)       Sin(a)             cos, tan も同様。sin^2(a) = sin(a)^2 = Pow(Sin(a), 2)
        sin a        Sin(a)             括弧のない引数 (下を参照): sin 2x = Sin(Mul(2, x))
        log(a)       Log(a)             ln(a) も同じ。どちらも自然対数
        exp(a)       Pow(E, a)          e^a と同じ
        abs(a)       Abs(a)             絶対値 |a|
        pi, π, e     PI, PI, E          e は常にネイピア数で、変数にはならない
        oo, ∞        INFINITY           極限の ∞ (-oo は -∞)。計算には使えない
        12           12                 任意の長さの整数。007 = 7
        0.25         1/4 (小数)         値は正確に 1/4。書いたとおり 0.25 と表示される
        x, α, alpha  変数 x, alpha, alpha
        x1, x_1, x₁  変数 x_1           x_ab, x_{ab} は変数 x_ab

    - 強さの順は + - < 項の符号 < * / と暗黙の積 < 因子の符号と √ ∛ < ^ 。したがって
      -2^2 = -(2^2)、2^-1 = 2^(-1)、2*-3x = 2·(-3)·x、a/bc = (a/b)·c、2x^2 = 2·(x^2)。
    - 暗黙の積: 式の後に文字・関数・√・'(' が続けば掛け算になる。数は続けられない
      ("x 2" や "(x+1)2" は誤り。2x か x*2 と書く)。
    - 文字の並びは左から関数名・定数名・ギリシャ文字名を最長一致で取り、残りは一文字ずつの
      変数の積にする: ab = a·b、2pix = 2·π·x、2alphax = 2·α·x、xsin(x) = x·sin(x)。
      ギリシャ文字名が優先するので xi は ξ、eta は η (x·i は x i か x*i と書く)。
      添字は並びの最後の変数にだけ付く: ab1 = a·b_1、x12y = x_12·y。
    - 関数の括弧のない引数は、関数名の後に演算子なしで続く数・文字とその累乗の積 (最長):
      sin x cos x = sin(x)·cos(x)、sin x + 1 = sin(x) + 1、sin x^2 = sin(x^2)、
      sin^2 x = sin(x)^2、sin x/2 = sin(x)/2。別の関数名・√・演算子で引数は終わる。
      引数の直後の '(' はあいまいなので誤り (sin 2(x+1) は sin(2(x+1)) か sin(2)(x+1) と書く)。
      関数名の直後の符号も誤り (sin(-x) と書く)。
    - √ と ∛ は教科書の根号と同じく直後の一つの因子 (数・文字・括弧・関数とその累乗) に
      かかる: √3x = √3·x (傾き √3 の直線 y = √3x)、√(x+1)、2√2。sqrt x は関数なので
      sqrt 2x = sqrt(2x) になる。
    - 整数は何桁でも読める。小数は 0.5 のように書き、.5 や 1. は誤り。
      分数は 5/2 と書く (½ のような文字は使えない)。

    入力の正規化 (入力方式が打つ文字を読めるようにする。位置は元の文字列で数える):

    - Unicode の NFKC: 全角の英数字と記号 (（ｘ＋１）＊＊２)、数学用の文字 (𝑥) など。
    - 上付き文字は指数: x² = x^2、x¹⁰ = x^10、x⁻¹ = x^(-1)、xⁿ = x^(n)。
      sin²x = sin^2 x。上付きの並び全体が一つの指数になる。
    - 下付き文字は添字: x₁ = x_1、aᵢⱼ = a_ij、x₁y = x_1·y。
    - √ ∛ は根号。− ‐ – ー は -、× · ⋅ ∙ ・ は *、÷ は / 。
    - ギリシャ文字は名前として読む: α = alpha、θ = theta、π は定数 pi。

    誤りは ParseError (ValueError の一種) で、理由 (``reason``)、入力 (``text``)、
    位置 (``position``、0 始まり) を持ち、メッセージは位置に ^ 印を付けて示す。
    """
    if not isinstance(text, str):
        raise TypeError(f"parse には数式の文字列が必要です ({type(text).__name__} ではなく)")
    return _Parser(_Source(text)).parse()


# --- normalisation --------------------------------------------------------------------

# What NFKC leaves alone but input methods and word processors type for operators. "ー" is
# what a Japanese input method types for the minus key in kana mode.
_OPERATOR_LOOKALIKES = {
    "−": "-", "‐": "-", "–": "-", "ー": "-",
    "×": "*", "·": "*", "⋅": "*", "∙": "*", "・": "*",
    "÷": "/",
    "∞": "oo",
}


class _Source:
    """The typed text, its normalised form, and for every normalised character the index
    of the typed character it came from (one more entry for the end of the text)."""

    def __init__(self, typed: str) -> None:
        self.typed = typed
        self.text, self.origin = _normalise(typed)

    def error(self, at: int, reason: str) -> ParseError:
        return ParseError(self.typed, self.origin[at], reason)

    def typed_span(self, at: int, length: int = 1) -> str:
        """What was typed for the normalised characters at..at+length."""
        return self.typed[self.origin[at]:self.origin[at + length - 1] + 1]


_SCRIPTS = {"<super>": "^", "<sub>": "_"}


def _script(c: str) -> str | None:
    """'^' for a superscript character, '_' for a subscript one, None otherwise."""
    tag, _, target = unicodedata.decomposition(c).partition(" ")
    if " " in target:  # ™ is a superscript "TM", not an exponent
        return None
    return _SCRIPTS.get(tag)


def _normalise(typed: str) -> tuple[str, Sequence[int]]:
    if typed.isascii():  # nothing to do, and no index table to build
        return typed, range(len(typed) + 1)
    pieces: list[str] = []
    origin: list[int] = []

    def emit(piece: str, at: int) -> None:
        pieces.append(piece)
        origin.extend([at] * len(piece))

    def emit_plain(chars: str, at: int) -> None:
        for c in unicodedata.normalize("NFKC", chars):
            emit(_OPERATOR_LOOKALIKES.get(c, c), at)

    i = 0
    while i < len(typed):
        script = _script(typed[i])
        end = i + 1
        if script is None:
            # NFKC composes a character with its combining marks, so they go in together.
            while end < len(typed) and unicodedata.combining(typed[end]):
                end += 1
            emit_plain(typed[i:end], i)
        else:
            # A run of super- or subscripts is one exponent or one subscript; NFKC alone
            # would turn x² into x2.
            while end < len(typed) and _script(typed[end]) == script:
                end += 1
            opening, closing = _script_marks(script, unicodedata.normalize("NFKC", typed[i:end]))
            emit(opening, i)
            for at in range(i, end):
                emit_plain(typed[at], at)
            emit(closing, end - 1)
        i = end
    origin.append(len(typed))
    return "".join(pieces), origin


def _script_marks(script: str, run: str) -> tuple[str, str]:
    """What stands around a run of super- or subscripts once they are normal characters."""
    if script == "_":
        return "_{", "}"
    if _is_digits(run):  # x² is x^2; the space keeps x²3 from reading as x^23
        return "^", " "
    return "^(", ")"  # x⁻¹ is x^(-1): the run is one exponent


# --- tokens ---------------------------------------------------------------------------


class _Token(NamedTuple):
    kind: str  # "number", "letter" (a variable or constant), "function", "root", "end", or an operator "+-*/^()"
    text: str  # as written after normalisation ("sin", "0.25", "**"); a variable's name ("x_1", "alpha")
    at: int  # index in the normalised text
    leaf: Formula | None = None  # the formula of a number or letter


_FUNCTIONS: dict[str, Callable[[Formula], Formula]] = {
    "sqrt": partial(apply, Kind.SQRT),
    "cbrt": partial(apply, Kind.CBRT),
    "sin": partial(apply, Kind.SIN),
    "cos": partial(apply, Kind.COS),
    "tan": partial(apply, Kind.TAN),
    "log": partial(apply, Kind.LOG),
    "ln": partial(apply, Kind.LOG),
    "abs": partial(apply, Kind.ABS),
    "exp": partial(power, E),
}
_CONSTANTS = {"pi": PI, "e": E, "oo": INFINITY}
_ROOTS = {"√": _FUNCTIONS["sqrt"], "∛": _FUNCTIONS["cbrt"]}
_WORDS = frozenset(_FUNCTIONS) | frozenset(_CONSTANTS) | GREEK
_CHUNK_DIGITS = 512  # int() of this many digits is within any limit Python lets one set (640 at least)


def _is_digits(text: str) -> bool:
    return text.isascii() and text.isdigit()


_GREEK_LETTERS = "".join(c for c in map(chr, range(0x370, 0x400)) if c == "π" or greek_word(c))
_LETTER = f"[A-Za-z{_GREEK_LETTERS}]"
_TOKEN = re.compile(rf"""\s*(?:
    (?P<number> [0-9]+ (?:\.[0-9]*)? )
  | (?P<letters> {_LETTER}+ )
  | (?P<operator> \*\* | [-+*/^()√∛] )
)?""", re.VERBOSE)  # only spaces match at the end of the text, or before a character that is no token
# Longest first: the alternation takes the first that matches.
_WORD = re.compile("|".join(sorted(_WORDS, key=len, reverse=True)) + "|" + _LETTER)
_SUBSCRIPT = re.compile(r"(?P<digits>[0-9]+)|_(?:\{(?P<braced>[A-Za-z0-9]+)\}|(?P<bare>[A-Za-z0-9]+))")


def _integer(digits: str) -> int:
    """The value of a digit string of any length. int() refuses more than 4,300 digits
    by default (its conversion is quadratic); chunks merged pairwise are not limited and
    cost a few multiplications of growing size instead."""
    if len(digits) <= _CHUNK_DIGITS:
        return int(digits)
    first = len(digits) % _CHUNK_DIGITS or _CHUNK_DIGITS
    parts = [int(digits[:first])] + [int(digits[i:i + _CHUNK_DIGITS])
                                     for i in range(first, len(digits), _CHUNK_DIGITS)]
    scale = 10**_CHUNK_DIGITS  # every part but the first has exactly the width of scale
    while len(parts) > 1:
        odd = len(parts) % 2  # an odd leading part waits for the next round
        parts = parts[:odd] + [high * scale + low for high, low in zip(parts[odd::2], parts[odd + 1::2])]
        scale *= scale
    return parts[0]


def _tokens(source: _Source) -> Iterator[_Token]:
    text = source.text
    symbols: dict[str, Formula] = {}  # one node per name: leaves may be shared
    i = 0
    while True:
        match = _TOKEN.match(text, i)
        assert match is not None  # the pattern matches the empty text
        kind = match.lastgroup
        start = match.start(kind) if kind else match.end()
        i = match.end()
        if kind == "number":
            yield _number(source, start, match[kind])
        elif kind == "letters":
            i = yield from _letters(source, start, i, symbols)
        elif kind == "operator":
            written = match[kind]
            yield _Token("^" if written == "**" else "root" if written in _ROOTS else written, written, start)
        elif start == len(text):
            yield _Token("end", "", start)
            return
        else:
            hint = " (小数は 0.5 のように書いてください)" if text[start] == "." else ""
            raise source.error(start, f"使えない文字 '{source.typed_span(start)}' があります{hint}")


def _number(source: _Source, start: int, written: str) -> _Token:
    whole, point, fraction = written.partition(".")
    if not point:
        return _Token("number", written, start, number(_integer(whole)))
    if not fraction:
        raise source.error(start + len(written) - 1, "小数点の後に数字が必要です")
    value = Fraction(_integer(whole + fraction), 10 ** len(fraction))
    return _Token("number", written, start, decimal(value, written))


def _letters(source: _Source, i: int, end: int, symbols: dict[str, Formula]) -> Generator[_Token, None, int]:
    """Splits the run of letters from i to end into words (function, constant and Greek
    names, longest first) and single letters; the run's last variable takes the subscript
    written after it. Returns the index past the run and its subscript."""
    text = source.text
    while i < end:
        match = _WORD.match(text, i, end)
        assert match is not None  # a single letter always matches
        word, start, i = match[0], i, match.end()
        if word in _FUNCTIONS:
            yield _Token("function", word, start)
        elif word in _CONSTANTS or word == "π":
            yield _Token("letter", word, start, PI if word == "π" else _CONSTANTS[word])
        else:
            name = word if word.isascii() else greek_word(word) or word  # α is alpha
            if i == end:
                name, end = _subscript(source, name, end)
                i = end
            leaf = symbols.get(name)
            if leaf is None:
                leaf = symbols[name] = symbol(name)
            yield _Token("letter", name, start, leaf)
    return end


def _subscript(source: _Source, name: str, i: int) -> tuple[str, int]:
    """The name with the subscript written from i on (x12, x_1, x_ab, x_{ab}), and the
    index past it."""
    match = _SUBSCRIPT.match(source.text, i)
    if match is None:
        if source.text.startswith("_", i):
            raise source.error(i, "'_' の後には x_1 や x_{ab} のように英数字の添字が必要です")
        return name, i
    return f"{name}_{match[match.lastgroup or 0]}", match.end()


# --- the operator-precedence parser ---------------------------------------------------

# How tightly each operator binds: a pending operator is applied when one that binds no
# tighter comes (for ^, which is right-associative: one that binds less tightly).
_GROUP = 0  # "(": applied only by its ")"
_SUM = 10
_TERM_SIGN = 20  # a sign at the start of a term covers the whole product: -2x = -(2x)
_PRODUCT = 30
_CALL = 35  # a function whose argument is written without parentheses
_ARGUMENT = 36  # the implicit product inside such an argument
_FACTOR_SIGN = 40  # a sign after * / ^ or a root, and the roots, cover one power
_POWER = 50

_CHAINS = frozenset({"add", "mul", "argument"})  # n-ary: a + b + c gathers all its terms in one step
_WRITTEN_OPERATORS = {"*": "mul", "/": "div", "^": "pow"}

# A builder takes the operator's operands, in the order written.
_Build = Callable[..., Formula]


@dataclass(slots=True)
class _Operator:
    kind: str  # one of _BINARY, "prefix" (a sign or root), "call" or "group"
    binding: int
    at: int  # where it was written, for errors
    build: _Build
    arity: int


def _call(name: str, exponent: Formula | None) -> Callable[[Formula], Formula]:
    function = _FUNCTIONS[name]
    if exponent is None:
        return function
    return lambda argument: power(function(argument), exponent)


_BINARY: dict[str, tuple[int, _Build]] = {
    "add": (_SUM, add),
    "mul": (_PRODUCT, mul),
    "div": (_PRODUCT, div),
    "argument": (_ARGUMENT, mul),
    "pow": (_POWER, power),
}


def _unchanged(inner: Formula) -> Formula:
    return inner


class _Parser:
    """Operands wait on one stack, operators on another until an operator that binds no
    tighter comes; a chain (a + b + c, 2xy) waits as one operator with its arity."""

    def __init__(self, source: _Source) -> None:
        self.source = source
        self.tokens = _tokens(source)
        self.pushed_back: list[_Token] = []
        self.operands: list[Formula] = []
        self.operators: list[_Operator] = []
        self.open_groups = 0

    def parse(self) -> Formula:
        if self.peek().kind == "end":
            raise self.source.error(self.peek().at, "式が空です")
        term_start = True  # whether a sign read now starts a term
        while True:
            token = self.take()
            if token.kind in ("+", "-"):
                if token.kind == "-":
                    self.minus(_TERM_SIGN if term_start else _FACTOR_SIGN, token.at)
            elif token.kind in ("number", "letter"):
                assert token.leaf is not None
                self.operands.append(token.leaf)
                after = self.after_operand()
                if after is None:
                    return self.operands[0]
                term_start = after
            elif token.kind == "(":
                self.push_group(token.at, _unchanged)
                term_start = True
            elif token.kind == "root":
                self.push_prefix(_FACTOR_SIGN, token.at, _ROOTS[token.text])
                term_start = False
            elif token.kind == "function":
                term_start = self.function(token)
            elif token.kind == "end":
                raise self.source.error(token.at, "式が途中で終わっています")
            else:
                written = self.source.typed_span(token.at, len(token.text))
                raise self.source.error(token.at, f"'{written}' ではなく数・文字・'(' のどれかが必要です")

    def after_operand(self) -> bool | None:
        """Reads what follows an operand up to the next operand: closing parentheses and
        an operator. Returns whether a sign read next starts a term, or None at the end."""
        while True:
            token = self.take()
            if token.kind == ")":
                self.close_group(token)
            elif token.kind == "end":
                self.finish()
                return None
            elif token.kind in ("+", "-"):
                self.push_binary("add", token.at)
                if token.kind == "-":  # a - b is a + (-b)
                    self.minus(_TERM_SIGN, token.at)
                return True
            elif token.kind in _WRITTEN_OPERATORS:
                self.push_binary(_WRITTEN_OPERATORS[token.kind], token.at)
                return False
            elif token.kind == "number":
                expected = "演算子か ')' " if self.open_groups else "演算子"
                raise self.source.error(token.at, f"ここに{expected}が必要です (数を掛けるときは * を書いてください)")
            else:
                self.implicit_product(token)
                self.pushed_back.append(token)
                return False

    def function(self, token: _Token) -> bool:
        """A function name, its power (sin^2) and the start of its argument. Returns
        whether a sign read next starts a term."""
        exponent = None
        if self.peek().kind == "^":
            self.take()
            written = self.take()
            if written.kind != "number" or written.leaf is None or written.leaf.spelling is not None:
                raise self.source.error(written.at, f"関数の累乗は {token.text}^2(x) のように整数で書いてください")
            exponent = written.leaf
        build = _call(token.text, exponent)
        following = self.peek()
        if following.kind == "(":
            self.take()
            self.push_group(following.at, build)
            return True
        if following.kind in ("number", "letter"):
            self.operators.append(_Operator("call", _CALL, token.at, build, 1))
            return False
        raise self.source.error(
            following.at, f"{token.text} の後には {token.text}(x) や {token.text} x のように引数が必要です")

    def implicit_product(self, token: _Token) -> None:
        """A product without an operator before `token`. Inside a function's argument
        written without parentheses, a letter continues the argument; anything else ends it."""
        self.apply_while(_ARGUMENT)
        if self.operators and self.operators[-1].kind in ("call", "argument"):
            if token.kind == "letter":
                self.push_binary("argument", token.at)
                return
            if token.kind == "(":
                raise self.source.error(
                    token.at, "関数の引数の直後の '(' はあいまいです。sin(2(x+1)) や sin(2)(x+1) のように書いてください")
        self.push_binary("mul", token.at)

    # --- the stacks -------------------------------------------------------------------

    def peek(self) -> _Token:
        if not self.pushed_back:
            self.pushed_back.append(next(self.tokens))
        return self.pushed_back[-1]

    def take(self) -> _Token:
        return self.pushed_back.pop() if self.pushed_back else next(self.tokens)

    def minus(self, binding: int, at: int) -> None:
        """A minus sign. Directly before a number that is not the base of a power it is the
        number's own sign, so that -3x and x - 3y hold the term (-3)·x as Python's -3*x does
        and as the algebra writes it; elsewhere it negates what follows (-2^2 = -(2^2))."""
        if self.peek().kind == "number":
            number = self.take()
            if self.peek().kind != "^":
                assert number.leaf is not None
                self.pushed_back.append(number._replace(leaf=neg(number.leaf)))
                return
            self.pushed_back.append(number)
        self.push_prefix(binding, at, neg)

    def push_prefix(self, binding: int, at: int, build: Callable[[Formula], Formula]) -> None:
        self.operators.append(_Operator("prefix", binding, at, build, 1))

    def push_group(self, at: int, build: Callable[[Formula], Formula]) -> None:
        self.operators.append(_Operator("group", _GROUP, at, build, 1))
        self.open_groups += 1

    def push_binary(self, kind: str, at: int) -> None:
        binding, build = _BINARY[kind]
        self.apply_while(binding)
        top = self.operators[-1] if self.operators else None
        if kind != "pow" and top is not None and top.binding == binding:  # left-associative
            if top.kind == kind and kind in _CHAINS:
                top.arity += 1
                return
            self.apply(self.operators.pop())
        self.operators.append(_Operator(kind, binding, at, build, 2))

    def apply_while(self, binding: int) -> None:
        """Applies the pending operators that bind tighter than `binding`."""
        while self.operators and self.operators[-1].binding > binding:
            self.apply(self.operators.pop())

    def apply(self, operator: _Operator) -> None:
        operands = self.operands[-operator.arity:]
        del self.operands[-operator.arity:]
        self.operands.append(operator.build(*operands))

    def close_group(self, closing: _Token) -> None:
        self.apply_while(_GROUP)
        if not self.operators:
            raise self.source.error(closing.at, "対応する '(' のない ')' があります")
        self.apply(self.operators.pop())
        self.open_groups -= 1

    def finish(self) -> None:
        self.apply_while(_GROUP)
        if self.operators:
            raise self.source.error(self.operators[-1].at, "この '(' が閉じられていません")
