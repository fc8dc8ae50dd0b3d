"""Textbook LaTeX of a formula, exactly as it was written: ``kalvora.latex``.

Nothing is evaluated or reordered; the conventions are those of Japanese textbooks, and
every text is accepted by KaTeX (strict) and by pdflatex with amsmath.
"""

from __future__ import annotations

import enum
import re
import string
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import NamedTuple

from .formula import Formula, FormulaLike, Kind, as_formula, deferred_source
from .latex_terms import monomial_sum_latex
from .names import latex_name
from .printer import Level, Piece, Printer, negative_number, number_text, precedence


class Lead(enum.Enum):
    """What a node's text starts with, as far as its neighbours care."""

    MINUS = enum.auto()  # a minus sign that negates the whole node: -3, -x, -2x, -\frac{1}{2}
    DIGIT = enum.auto()
    FRACTION = enum.auto()
    FUNCTION = enum.auto()  # \sin, \cos, \tan, \log
    OTHER = enum.auto()


class Place(NamedTuple):
    """What the parent asks of a node's text."""

    magnitude: bool  # leave out the leading minus sign: the parent writes it as a subtraction
    followed: bool  # another factor follows without an operator (decides \sin x against \sin\left(x\right))


PLAIN = Place(False, False)


def _default_function_names() -> dict[Kind, str]:
    return {Kind.SIN: r"\sin", Kind.COS: r"\cos", Kind.TAN: r"\tan", Kind.LOG: r"\log"}


@dataclass(frozen=True)
class LatexSettings:
    """The conventions, named. The defaults are those of Japanese textbooks."""

    times: str = r" \times "
    """Written between factors that juxtaposition would misread (see `LatexPrinter`)."""
    function_names: dict[Kind, str] = field(default_factory=_default_function_names)
    """The natural logarithm is \\log, as 数Ⅲ writes it."""
    power_form: frozenset[Kind] = frozenset({Kind.SIN, Kind.COS, Kind.TAN})
    """Functions whose positive integer powers are written \\sin^{2} x; others get (\\log x)^{2}."""
    bare_arguments: bool = True
    """\\sin x and \\sin 2x for a monomial argument; False puts every argument in \\left( \\right)."""
    term_order: Callable[[tuple[Formula, ...]], Sequence[Formula]] | None = None
    """Arranges the terms of each sum before printing; None keeps them as written."""


_BARE_BASES = frozenset({Kind.NUMBER, Kind.SYMBOL, Kind.PI, Kind.E, Kind.ABS})
_MONOMIAL_LETTERS = frozenset({Kind.SYMBOL, Kind.PI, Kind.E})
# A control word followed by a letter would swallow it: \pir is not \pi r.
_ENDS_WITH_CONTROL_WORD = re.compile(r"\\[A-Za-z]+\Z")
_LETTERS = frozenset(string.ascii_letters)


class LatexPrinter(Printer[Place]):
    r"""The textbook renderer: one method per kind of node, the conventions in `LatexSettings`.

    Signs. A node "is negative" when its text starts with a minus sign that negates all
    of it: a negative number, a negation, a product whose first factor is negative, a
    fraction whose numerator is (written -\frac{1}{2}, never \frac{-1}{2}). A sum is never
    negative, even when its first term is, because it is put in parentheses wherever that
    would matter. A negative term after the first is written as a subtraction (a - b,
    never a + -b); a negative factor after the first keeps its parentheses (x\left(-2\right));
    a leading factor -1 is written as a bare minus sign (-x).

    Juxtaposition. Factors are written side by side (2\sqrt{3}x, xy\left(x - y\right)),
    except that `times` joins a factor, after the first, whose text starts with a digit or
    a fraction: digits would run together (2 \times 3, x^{2} \times 3) and a number before
    a fraction would read as a mixed number (2 \times \frac{1}{2}). Sums and products
    inside a product are parenthesised, as they were typed.

    Functions. \sin, \cos, \tan and \log take a monomial argument without parentheses
    (\sin x, \sin 2x, \log x, \sin \frac{\pi}{6}) unless another factor follows that does
    not itself start with one of them, since \sin x y would read as \sin(xy); \sin x\cos x
    stays. A positive integer power of a sine, cosine or tangent is \sin^{2} x.

    Powers. The base of a power is a number, a letter or a constant, or is parenthesised:
    \left(x^{2}\right)^{3} (x^{2}^{3} is not LaTeX), \left(-2\right)^{2}, \left(\sqrt{2}\right)^{2}.
    """

    opening = r"\left("
    closing = r"\right)"

    def __init__(self, settings: LatexSettings | None = None) -> None:
        super().__init__()
        self.settings = settings or LatexSettings()
        self._leads: dict[int, Lead] = {}

    def root_context(self) -> Place:
        return PLAIN

    def start(self) -> None:
        self._leads = {}

    def finish(self, pieces: list[str]) -> str:
        for i in range(1, len(pieces)):
            if pieces[i][:1] in _LETTERS and _ENDS_WITH_CONTROL_WORD.search(pieces[i - 1]):
                pieces[i - 1] += " "
        return "".join(pieces)

    # --- facts about a node's text, without printing it ----------------------------------

    def lead(self, node: Formula) -> Lead:
        """How the node's text starts. Follows first operands down, remembering every node
        on the way, so that all the questions asked while printing a tree cost linear time."""
        path: list[Formula] = []
        found = self._leads.get(id(node))
        while found is None:
            first = self._leading_operand(node)
            if first is None:
                found = self._own_lead(node)
                break
            path.append(node)
            node = first
            found = self._leads.get(id(node))
        self._leads[id(node)] = found
        for parent in reversed(path):
            if parent.kind is Kind.DIV:
                found = Lead.MINUS if found is Lead.MINUS else Lead.FRACTION
            self._leads[id(parent)] = found
        return found

    def _leading_operand(self, node: Formula) -> Formula | None:
        """The operand whose text starts the node's text, if the node does not decide it alone."""
        if node.kind is Kind.DIV or node.kind is Kind.MUL and not self.loose_factor(node.args[0]):
            return node.args[0]
        return None

    def _own_lead(self, node: Formula) -> Lead:
        kind = node.kind
        if kind is Kind.NUMBER:
            return Lead.MINUS if negative_number(node) else Lead.DIGIT
        if kind is Kind.NEG:
            return Lead.MINUS
        if kind in self.settings.function_names or self.power_form(node):
            return Lead.FUNCTION
        if kind is Kind.POW and node.args[0].kind is Kind.NUMBER and not negative_number(node.args[0]):
            return Lead.DIGIT
        return Lead.OTHER

    def negative(self, node: Formula) -> bool:
        return self.lead(node) is Lead.MINUS

    @staticmethod
    def loose_factor(node: Formula) -> bool:
        """A sum or a product inside a product needs parentheses; \\frac needs none."""
        return node.kind is not Kind.DIV and precedence(node) <= Level.PRODUCT

    def factor_lead(self, factor: Formula) -> Lead | None:
        """How a factor's text starts inside a product; None when it is parenthesised as loose."""
        return None if self.loose_factor(factor) else self.lead(factor)

    @staticmethod
    def joins_by_times(lead: Lead | None) -> bool:
        """Whether a factor after the first, starting so, is joined by `times` (see the class docstring)."""
        return lead is Lead.DIGIT or lead is Lead.FRACTION

    def power_form(self, node: Formula) -> bool:
        """Whether a power is written \\sin^{2} x."""
        if node.kind is not Kind.POW:
            return False
        base, exponent = node.args
        return (base.kind in self.settings.power_form and exponent.kind is Kind.NUMBER
                and exponent.spelling is None and exponent.value > 0)

    def monomial(self, node: Formula) -> bool:
        """Whether a function argument reads unambiguously without parentheses."""
        if node.kind is Kind.DIV:
            return not self.negative(node)
        factors = node.args if node.kind is Kind.MUL else (node,)
        return (all(map(self._monomial_factor, factors))
                and not any(self.joins_by_times(self.factor_lead(factor)) for factor in factors[1:]))

    @staticmethod
    def _monomial_factor(node: Formula) -> bool:
        if node.kind is Kind.POW:
            base, exponent = node.args
            return base.kind in _MONOMIAL_LETTERS and (
                exponent.kind is Kind.SYMBOL or exponent.kind is Kind.NUMBER and not negative_number(exponent))
        return node.kind in _MONOMIAL_LETTERS or node.kind is Kind.NUMBER and not negative_number(node)

    # --- one method per kind of node -----------------------------------------------------

    def _print_Number(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [number_text(node, place.magnitude)]

    def _print_Symbol(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [latex_name(node.name)]

    def _print_Pi(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [r"\pi"]

    def _print_E(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return ["e"]

    def _print_Infinity(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [r"\infty"]

    def _print_Neg(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        operand = node.args[0]
        if precedence(operand) is Level.SUM or self.negative(operand):
            body = self.wrapped(operand, PLAIN)  # -\left(a + b\right), -\left(-x\right)
        else:
            body = [(operand, Place(False, place.followed))]
        return body if place.magnitude else ["-", *body]

    def _print_Add(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        order = self.settings.term_order
        terms = order(node.args) if order else node.args
        pieces: list[Piece[Place]] = []
        for i, term in enumerate(terms):
            followed = place.followed and i == len(terms) - 1
            if term.kind is Kind.ADD:  # a + \left(b + c\right), as typed
                pieces += [" + "] if i else []
                pieces += self.wrapped(term, PLAIN)
            elif i == 0:
                pieces.append((term, Place(False, followed)))
            elif self.negative(term):
                pieces += [" - ", (term, Place(True, followed))]
            else:
                pieces += [" + ", (term, Place(False, followed))]
        return pieces

    def _print_Mul(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        factors = node.args
        leads = [self.factor_lead(factor) for factor in factors]
        pieces: list[Piece[Place]] = []
        start = 0
        if self._minus_one(factors[0]) and not self.joins_by_times(leads[1]):
            pieces += [] if place.magnitude else ["-"]
            start = 1
        for i in range(start, len(factors)):
            lead = leads[i]
            if lead is None or i > 0 and lead is Lead.MINUS:
                pieces += self.wrapped(factors[i], PLAIN)
                continue
            if i > 0 and self.joins_by_times(lead):
                pieces.append(self.settings.times)
            followed = leads[i + 1] is not Lead.FUNCTION if i + 1 < len(factors) else place.followed
            pieces.append((factors[i], Place(place.magnitude and i == 0, followed)))
        return pieces

    @staticmethod
    def _minus_one(node: Formula) -> bool:
        return node.kind is Kind.NUMBER and node.spelling is None and node.value == -1

    def _print_Div(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        numerator, denominator = node.args
        minus = self.negative(numerator)
        sign: list[Piece[Place]] = ["-"] if minus and not place.magnitude else []
        return [*sign, r"\frac{", (numerator, Place(minus, False)), "}{", (denominator, PLAIN), "}"]

    def _print_Pow(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        base, exponent = node.args
        superscript: list[Piece[Place]] = ["^{", (exponent, PLAIN), "}"]
        if self.power_form(node):
            name = self.settings.function_names[base.kind]
            return [name, *superscript, *self.argument(base.args[0], place.followed)]
        if base.kind in _BARE_BASES and not self.negative(base):
            return [(base, PLAIN), *superscript]
        return [*self.wrapped(base, PLAIN), *superscript]

    def _print_Sqrt(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [r"\sqrt{", (node.args[0], PLAIN), "}"]

    def _print_Cbrt(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [r"\sqrt[3]{", (node.args[0], PLAIN), "}"]

    def _print_function(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [self.settings.function_names[node.kind], *self.argument(node.args[0], place.followed)]

    _print_Sin = _print_Cos = _print_Tan = _print_Log = _print_function

    def _print_Abs(self, node: Formula, place: Place) -> Sequence[Piece[Place]]:
        return [r"\left|", (node.args[0], PLAIN), r"\right|"]

    def argument(self, operand: Formula, followed: bool) -> list[Piece[Place]]:
        if self.settings.bare_arguments and operand.kind is Kind.ABS:
            return [(operand, PLAIN)]  # \log\left|x\right|: the bars delimit it already
        if self.settings.bare_arguments and not followed and self.monomial(operand):
            return [" ", (operand, PLAIN)]
        return self.wrapped(operand, PLAIN)


def latex(f: FormulaLike, *, constant: bool = False) -> str:
    """数式を教科書の形の LaTeX にする。書かれたとおりに (計算も並べ替えもせず) 表す。
    ``constant=True`` で不定積分の積分定数 " + C" を後ろにつける。

    >>> latex("2*3 + x*(-2) + sin(2x) + log(x)/2")
    '2 \\\\times 3 + x\\\\left(-2\\\\right) + \\\\sin 2x + \\\\frac{\\\\log x}{2}'
    """
    formula = as_formula(f)
    source = deferred_source(formula)
    terms = source.monomials() if source is not None else None
    text = monomial_sum_latex(terms) if terms is not None else None
    written = text if text is not None else LatexPrinter().doprint(formula)
    return f"{written} + C" if constant else written


def show(f: FormulaLike) -> Formula:
    """The formula, for a notebook cell to display: ``show("(x+1)^2")`` shows its rendering."""
    return as_formula(f)
