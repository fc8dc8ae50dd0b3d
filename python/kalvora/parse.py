"""学校で書く形の数式テキストを式の木に変換する構文解析器。

文法と各構文が作る木はパッケージの説明 (``help(kalvora)``) にある。
再帰下降で解析し、括弧・符号・指数の入れ子は MAX_DEPTH 段までに制限して
どんな入力でも Python のスタックを使い切らないようにしている。
"""

from __future__ import annotations

import unicodedata
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import NamedTuple

from .errors import ParseError
from .formula import E, PI, Formula, Kind, add, apply, div, mul, neg, number, power, symbol

Expr = Formula

MAX_DEPTH = 100
"""括弧・符号・指数を合わせた入れ子の上限。一段で最大 7 フレーム使い、既定の再帰上限 1000 に収まる。"""

_INT_MAX = 2**31 - 1

_FUNCTIONS: dict[str, Callable[[Expr], Expr]] = {
    "sqrt": lambda a: apply(Kind.SQRT, a),
    "cbrt": lambda a: apply(Kind.CBRT, a),
    "sin": lambda a: apply(Kind.SIN, a),
    "cos": lambda a: apply(Kind.COS, a),
    "tan": lambda a: apply(Kind.TAN, a),
    "ln": lambda a: apply(Kind.LOG, a),
    "log": lambda a: apply(Kind.LOG, a),
    "exp": lambda arg: power(E, arg),
}
_CONSTANTS: dict[str, Callable[[], Expr]] = {"pi": lambda: PI, "π": lambda: PI, "e": lambda: E}
# Longest first, so that a run of letters is split greedily ("sqrt" before "s").
_WORDS = sorted([*_FUNCTIONS, *_CONSTANTS], key=len, reverse=True)
_SYMBOLS = {c: c for c in "+-*/^()"} | {"−": "-", "×": "*", "·": "*", "÷": "/"}
_SIGNS = ("+", "-")
_FACTOR_STARTS = ("name", "const", "func", "(")  # what may follow a factor as an implicit product


class _Token(NamedTuple):
    kind: str  # "int", "name", "const", "func", "end" or one of the operators "+-*/^()"
    text: str  # for "name": the variable's name; otherwise the token as written
    pos: int


def parse(text: str) -> Expr:
    """数式テキストを式の木にする。誤りがあれば ParseError を送出する。"""
    return _Parser(text).parse()


def _is_digit(c: str) -> bool:
    return "0" <= c <= "9"


def _is_subscript(c: str) -> bool:
    return c.isalpha() or _is_digit(c)


def _scan(text: str, i: int, accept: Callable[[str], bool]) -> int:
    """Index just past the run of accepted characters starting at i."""
    while i < len(text) and accept(text[i]):
        i += 1
    return i


def _tokenize(text: str) -> list[_Token]:
    tokens: list[_Token] = []
    i = 0
    while i < len(text):
        c = text[i]
        if c.isspace():
            i += 1
        elif text.startswith("**", i):
            tokens.append(_Token("^", "**", i))
            i += 2
        elif c in _SYMBOLS:
            tokens.append(_Token(_SYMBOLS[c], c, i))
            i += 1
        elif _is_digit(c):
            end = _scan(text, i, _is_digit)
            digits = text[i:end].lstrip("0")
            if len(digits) > len(str(_INT_MAX)) or int(digits or "0") > _INT_MAX:
                raise ParseError(text, i, f"整数が大きすぎます ({_INT_MAX} まで)")
            tokens.append(_Token("int", text[i:end], i))
            i = end
        elif c.isalpha():
            i = _letters(text, i, tokens)
        else:
            hint = " (小数は 5/2 のように分数で書いてください)" if c == "." else ""
            raise ParseError(text, i, f"使えない文字 '{c}' があります{hint}")
    tokens.append(_Token("end", "", len(text)))
    return tokens


def _letters(text: str, i: int, tokens: list[_Token]) -> int:
    """Split a run of letters into function and constant words (longest first)
    and single-letter variables; only the run's last letter may carry a subscript."""
    end = _scan(text, i, str.isalpha)
    while i < end:
        word = next((w for w in _WORDS if text.startswith(w, i, end)), None)
        if word is not None:
            tokens.append(_Token("func" if word in _FUNCTIONS else "const", word, i))
            i += len(word)
            continue
        start, name = i, text[i]
        i += 1
        if i == end:
            subscript, i = _subscript(text, i)
            if subscript:
                name = f"{name}_{subscript}"
        tokens.append(_Token("name", name, start))
    return i


def _subscript(text: str, i: int) -> tuple[str, int]:
    """A subscript written as digits (x12) or after '_' (x_1, x_ab) starting at i."""
    if i < len(text) and _is_digit(text[i]):
        end = _scan(text, i, _is_digit)
        return text[i:end], end
    if text.startswith("_", i):
        end = _scan(text, i + 1, _is_subscript)
        if end == i + 1:
            raise ParseError(text, i, "'_' の後に添字が必要です")
        return text[i + 1 : end], end
    return "", i


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = _tokenize(text)
        self.index = 0
        self.depth = 0
        
    def parse(self) -> Expr:
        if self._peek().kind == "end":
            raise self._error(self._peek(), "式が空です")
        result = self._expr()
        rest = self._peek()
        if rest.kind == "end":
            return result
        if rest.kind == ")":
            raise self._error(rest, "対応する '(' のない ')' があります")
        raise self._error(rest, "ここに演算子が必要です (数を掛けるときは * を書いてください)")

    def _peek(self) -> _Token:
        return self.tokens[self.index]

    def _take(self) -> _Token:
        token = self.tokens[self.index]
        self.index += 1
        return token

    def _error(self, token: _Token, reason: str) -> ParseError:
        return ParseError(self.text, token.pos, reason)

    @contextmanager
    def _nested(self, token: _Token) -> Iterator[None]:
        if self.depth >= MAX_DEPTH:
            raise self._error(token, f"括弧・符号・指数の入れ子が深すぎます ({MAX_DEPTH} 段まで)")
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1

    def _expr(self) -> Expr:
        left = self._signed(self._product)
        while self._peek().kind in _SIGNS:
            minus = self._take().kind == "-"
            right = self._signed(self._product)
            left = add(left, neg(right) if minus else right)
        return left

    def _signed(self, operand: Callable[[], Expr]) -> Expr:
        """Leading signs: '-' negates everything that operand() reads, '+' is dropped."""
        token = self._peek()
        if token.kind not in _SIGNS:
            return operand()
        self._take()
        with self._nested(token):
            result = self._signed(operand)
        return neg(result) if token.kind == "-" else result

    def _product(self) -> Expr:
        left = self._power()
        while True:
            kind = self._peek().kind
            if kind in ("*", "/"):
                self._take()
                right = self._signed(self._power)
                left = mul(left, right) if kind == "*" else div(left, right)
            elif kind in _FACTOR_STARTS:
                left = mul(left, self._power())
            else:
                return left

    def _power(self) -> Expr:
        base = self._atom()
        if self._peek().kind != "^":
            return base
        caret = self._take()
        with self._nested(caret):
            return power(base, self._signed(self._power))

    def _atom(self) -> Expr:
        token = self._take()
        if token.kind == "int":
            return number(int(token.text))
        if token.kind == "name":
            return symbol(token.text)
        if token.kind == "const":
            return _CONSTANTS[token.text]()
        if token.kind == "(":
            return self._group(token)
        if token.kind == "func":
            return self._call(token)
        if token.kind == "end":
            raise self._error(token, "式が途中で終わっています")
        raise self._error(token, f"'{token.text}' ではなく数・文字・'(' のどれかが必要です")

    def _group(self, opening: _Token) -> Expr:
        with self._nested(opening):
            inner = self._expr()
        closing = self._take()
        if closing.kind == ")":
            return inner
        if closing.kind == "end":
            raise self._error(opening, "この '(' が閉じられていません")
        raise self._error(closing, "ここに演算子か ')' が必要です")

    def _call(self, function: _Token) -> Expr:
        exponent = None
        if self._peek().kind == "^":  # sin^2(x)
            self._take()
            exponent = self._take()
            if exponent.kind != "int":
                raise self._error(exponent, f"関数の累乗は {function.text}^2(x) のように整数で書いてください")
        opening = self._take()
        if opening.kind != "(":
            raise self._error(opening, f"{function.text} の後には '(' が必要です")
        result = _FUNCTIONS[function.text](self._group(opening))
        return result if exponent is None else power(result, number(int(exponent.text)))
