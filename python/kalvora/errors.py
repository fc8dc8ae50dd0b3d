"""The two errors of the people's layer. Both are ValueErrors, so callers that catch
ValueError keep working."""

from __future__ import annotations

import unicodedata


class ParseError(ValueError):
    """数式テキストの誤り。``position`` は誤りの位置 (0 始まりの文字番号)。

    メッセージは理由、入力、その位置を指す ``^`` の三行からなる。
    """

    def __init__(self, text: str, position: int, reason: str) -> None:
        shown = "".join(" " if c.isspace() else c for c in text)
        # Wide (full-width) characters take two columns in a terminal.
        column = sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in shown[:position])
        super().__init__(f"{position + 1} 文字目: {reason}\n  {shown}\n  {' ' * column}^")
        self.text = text
        self.position = position
        self.reason = reason

    def __reduce__(self) -> tuple[type[ParseError], tuple[str, int, str]]:
        return (ParseError, (self.text, self.position, self.reason))


class MathError(ValueError):
    """数学的に定義されない計算 (ゼロ除算、負の数の平方根など) や、扱えない数・式。"""
