"""The forms an answer can be asked for, each a test of how the answer is written.

The tests look at the answer's own tree as the student typed it; only "simplified" and
"factored" ask the algebra, to compare with what simplify writes and to factor each
factor once more. Walks are iterative, like everything over formulas.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from fractions import Fraction

from ..algebra import factor, simplify
from ..errors import MathError
from ..formula import Formula, Kind, fold, mul, walk
from .normal import Forms


# What the algebra raises for a formula it cannot compute: its own refusals, and flint's
# OverflowError for exponents beyond 64 bits (s^{-10^{4400}}).
ALGEBRA_FAILURES = (MathError, ArithmeticError)


def any_node(formula: Formula, test: Callable[[Formula], bool]) -> bool:
    """Whether some node of the formula passes the test."""
    found: list[Formula] = []
    walk(formula, lambda node: found.append(node) if not found and test(node) else None)
    return bool(found)


_FINITE_LEAVES = frozenset({Kind.NUMBER, Kind.SYMBOL, Kind.PI, Kind.E})


def is_infinity(node: Formula) -> bool:
    """∞: the one leaf that is not a number, a variable, π or e."""
    return not node.args and node.kind not in _FINITE_LEAVES


def has_infinity(formula: Formula) -> bool:
    return any_node(formula, is_infinity)


def _integer_power(node: Formula) -> bool:
    """x^{2}, (x+1)^{3}: a power that multiplies its base by itself."""
    exponent = node.args[1]
    return exponent.kind is Kind.NUMBER and exponent.value == int(exponent.value) and exponent.value > 0


def _is_number(node: Formula) -> bool:
    return node.kind is Kind.NUMBER or node.kind is Kind.NEG and node.args[0].kind is Kind.NUMBER


# --- expanded -------------------------------------------------------------------------


def _sum_in_product(answer: Formula) -> bool:
    """Whether a sum is left inside a product, a power, a negation or a sum: (x+1)(x-1),
    2(x+1), (x+1)^2, -(x+1), (x+1)/2, x + (y + 1). A fraction whose denominator is not a
    number may have sums above and below (\\frac{x + 1}{x - 1}), as a whole answer or as a
    term. Function arguments are not looked into."""
    pending = [(answer, True, True)]  # (node, whether a sum may stand there, and a fraction of sums)
    while pending:
        node, sum_allowed, fraction_allowed = pending.pop()
        kind = node.kind
        if kind is Kind.ADD:
            if not sum_allowed:
                return True
            pending.extend((term, False, True) for term in node.args)
        elif kind is Kind.NEG:
            pending.append((node.args[0], False, fraction_allowed))
        elif kind is Kind.MUL:
            pending.extend((operand, False, False) for operand in node.args)
        elif kind is Kind.DIV:
            fraction = fraction_allowed and not _is_number(node.args[1])
            pending.extend((operand, fraction, fraction) for operand in node.args)
        elif kind is Kind.POW and _integer_power(node):
            pending.append((node.args[0], False, False))
    return False


def _like_terms(answer: Formula) -> bool:
    """Whether two terms differ only in their coefficients (x + 2x, 1 + 3)."""
    seen: set[tuple[tuple[int, int], ...]] = set()
    for _, factors in Forms().terms(answer):
        if factors in seen:
            return True
        seen.add(factors)
    return False


def is_expanded(answer: Formula) -> bool:
    return not _sum_in_product(answer) and not _like_terms(answer)


# --- factored -------------------------------------------------------------------------


def _factors(side: Formula) -> Iterator[Formula]:
    """The factors of a product as written, through products, negations, quotients and
    integer powers: 2x(x+1)^2 gives 2, x, x + 1."""
    pending = [side]
    while pending:
        node = pending.pop()
        if node.kind in (Kind.MUL, Kind.NEG, Kind.DIV):
            pending.extend(node.args)
        elif node.kind is Kind.POW and _integer_power(node):
            pending.append(node.args[0])
        else:
            yield node


def _without_sign(node: Formula) -> Formula:
    """-(x - 1) and (-1)(x - 1) as x - 1, so that a factor and its negative are alike."""
    if node.kind is Kind.NEG:
        return node.args[0]
    if node.kind is Kind.MUL and node.args[0] == Formula(-1):
        rest = node.args[1:]
        return rest[0] if len(rest) == 1 else mul(*rest)
    return node


def _prime_factor(node: Formula) -> Formula | None:
    """The factor up to its sign when it is irreducible over Q with its content taken out
    (x + 2, x^{2} + 1); None when it factors further (2x + 4, x^{2} - 1)."""
    factored = _without_sign(factor(node))
    if factored.kind in (Kind.MUL, Kind.DIV) or factored.kind is Kind.POW and _integer_power(factored):
        return None
    return factored


def is_factored(answer: Formula) -> bool:
    """Every factor a number or irreducible with content 1, and a quotient in lowest terms:
    no factor above the line is one below it."""
    body = answer.args[0] if answer.kind is Kind.NEG else answer  # -(x + 1)/(x - 1)
    top, bottom = body.args if body.kind is Kind.DIV else (body, Formula(1))
    sides: list[set[Formula]] = []
    for side in (top, bottom):
        primes = set()
        for node in _factors(side):
            if node.kind is Kind.NUMBER:
                continue
            prime = _prime_factor(node)
            if prime is None:
                return False
            primes.add(prime)
        sides.append(primes)
    return not sides[0] & sides[1]


# --- simplified -----------------------------------------------------------------------


def is_simplified(answer: Formula) -> bool:
    """As simplify writes it, up to the order of terms and factors and the way of writing
    coefficients (see normal.py)."""
    if has_infinity(answer):  # the algebra does not compute with ∞; ∞ and -∞ are simple
        return is_infinity(_without_sign(answer))
    forms = Forms()
    return forms.of(answer) == forms.of(simplify(answer))


# --- rationalised ---------------------------------------------------------------------


def _marked(answer: Formula, mark: Callable[[Formula], bool]) -> set[int]:
    """The ids of the nodes with a node that `mark` accepts in their subtree."""
    marked: set[int] = set()

    def note(node: Formula, operands: list[bool]) -> bool:
        found = mark(node) or any(operands)
        if found:
            marked.add(id(node))
        return found

    fold(answer, note)
    return marked


def _negative(exponent: Formula) -> bool:
    """Whether an exponent is written negative: -1, -1/2, -(1/2)."""
    while exponent.kind in (Kind.MUL, Kind.DIV):
        exponent = exponent.args[0]
    return exponent.kind is Kind.NEG or exponent.kind is Kind.NUMBER and exponent.value < 0


def is_rationalised(answer: Formula) -> bool:
    """No root of a number below a fraction line or under a negative power: 1/√2,
    \\frac{1}{1 + \\sqrt{2}}, 3^{-1/2}; nor a root of a fraction (\\sqrt{\\frac{1}{2}})."""
    with_variables = _marked(answer, lambda node: node.kind is Kind.SYMBOL)
    with_quotient = _marked(answer, lambda node: node.kind is Kind.DIV)
    pending = [(answer, False)]  # (node, whether it is in a denominator)
    while pending:
        node, below = pending.pop()
        inverse = node.kind is Kind.POW and _negative(node.args[1])  # x^{-1/2} is 1/√x
        radicand = _radicand(node)
        if radicand is not None and id(radicand) not in with_variables \
                and (below or inverse or id(radicand) in with_quotient):
            return False
        if node.kind is Kind.DIV:
            pending += [(node.args[0], below), (node.args[1], True)]
        elif inverse:
            pending += [(node.args[0], True), (node.args[1], below)]
        else:
            pending.extend((operand, below) for operand in node.args)
    return True


def _radicand(node: Formula) -> Formula | None:
    """What is under a root: √a, ∛a, a^{1/2}; None for anything else."""
    if node.kind in (Kind.SQRT, Kind.CBRT):
        return node.args[0]
    if node.kind is Kind.POW and node.args[0].kind is not Kind.E and _fractional(node.args[1]):
        return node.args[0]
    return None


def _fractional(exponent: Formula) -> bool:
    """Whether an exponent is a number that is not an integer: 1/2, -2/3, 0.5."""
    if exponent.kind is Kind.NEG:
        exponent = exponent.args[0]
    if exponent.kind is Kind.NUMBER:
        return Fraction(exponent.value).denominator != 1
    if exponent.kind is not Kind.DIV:
        return False
    top, bottom = exponent.args
    if top.kind is not Kind.NUMBER or bottom.kind is not Kind.NUMBER or bottom.value == 0:
        return False
    return (Fraction(top.value) / Fraction(bottom.value)).denominator != 1


# --- exact ----------------------------------------------------------------------------


def is_exact(answer: Formula) -> bool:
    """No decimals: 0.5 is 1/2 in value, but not written exactly."""
    return not any_node(answer, lambda node: node.spelling is not None)


FORMS: dict[str, Callable[[Formula], bool]] = {
    "expanded": is_expanded,
    "factored": is_factored,
    "simplified": is_simplified,
    "rationalised": is_rationalised,
    "exact": is_exact,
}


def in_form(answer: Formula, form: str) -> bool:
    """Whether the answer is written in the form; an answer the algebra cannot read
    (1/0 inside) is in no form."""
    try:
        return FORMS[form](answer)
    except ALGEBRA_FAILURES:
        return False
