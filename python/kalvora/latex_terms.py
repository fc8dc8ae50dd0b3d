"""The textbook LaTeX of a sum of monomials in variables, written straight from exponents and
coefficients: the same bytes as `LatexPrinter` gives for the terms the algebra makes
(``x^{2} - 2xy + \\frac{1}{2}y^{2}``), without a node per term. Expanded polynomials have
many terms and few distinct pieces, so each power and coefficient is written once.
"""

from __future__ import annotations

import operator
import re

from .formula import MonomialSum, Number
from .names import latex_name
from .printer import decimal_digits

_CONTROL_WORD_END = re.compile(r"\\[A-Za-z]+\Z")


class _CoefficientTexts(dict[Number, str]):
    """A coefficient's magnitude as written before the variables of its term: 1 is left
    out, a fraction is \\frac{p}{q} (never \\frac{px}{q})."""

    def __missing__(self, value: Number) -> str:
        if abs(value) == 1:
            text = ""
        elif isinstance(value, int):
            text = decimal_digits(abs(value))
        else:
            text = rf"\frac{{{decimal_digits(abs(value.numerator))}}}{{{decimal_digits(value.denominator)}}}"
        self[value] = text
        return text


def monomial_sum_latex(terms: MonomialSum) -> str | None:
    """The LaTeX of the sum; None, for the printer to write it, when the powers are sparse
    (x^{1000} + 1: a table of every power would cost more than the terms), or when a name
    would need the printer's space after a control word (\\alpha x), which the
    alphabetical order of factors never asks for."""
    names = [latex_name(v) for v in terms.variables]
    if _needs_spacing(names) or sum(terms.degrees) > 4 * len(terms.coefficients) + 16:
        return None
    # By exponent, indexed directly: flint's exponents are fmpz, slow to hash, quick to index by.
    powers = [["", name, *(f"{name}^{{{k}}}" for k in range(2, degree + 1))]
              for name, degree in zip(names, terms.degrees)]
    coefficients = _CoefficientTexts()
    pieces: list[str] = []
    for exponents, c in zip(terms.exponents, terms.coefficients):
        sign = " - " if c < 0 else " + "
        body = "".join(map(operator.getitem, powers, exponents))
        pieces += (sign, coefficients[c], body) if body else (sign, coefficients[c] or "1")
    if not pieces:
        return "0"
    pieces[0] = "-" if pieces[0] == " - " else ""
    return "".join(pieces)


def _needs_spacing(names: list[str]) -> bool:
    """Whether a control word (a Greek letter) comes before a name that starts with a letter."""
    words = [i for i, name in enumerate(names) if _CONTROL_WORD_END.search(name)]
    return bool(words) and any(name[:1].isalpha() for name in names[words[0] + 1:])
