"""Reading the everyday input, integers and variables under sums, negations, products and
natural powers, straight into python-flint's `fmpz_mpoly`, which multiplies about twice as
fast as `fmpq_mpoly` and needs none of the general Reader's quotients and atoms.

The generators and their order are those of a `Space` over the same variables, so the
result is what the general Reader gives, in flint's other coefficient ring.
"""

from __future__ import annotations

import flint

from ..formula import Formula, Kind
from .polynomials import IntegerPoly, _check_size, _power_bits, alphabetical

# An operand as read: an integer stays a Python int until it meets a variable.
_Value = IntegerPoly | int

_CONTEXTS: dict[tuple[str, ...], tuple[flint.fmpz_mpoly_ctx, dict[str, IntegerPoly]]] = {}
_SUPPORTED = frozenset({Kind.NUMBER, Kind.SYMBOL, Kind.ADD, Kind.MUL, Kind.POW, Kind.NEG})


def integer_polynomial(formula: Formula) -> tuple[list[str], IntegerPoly] | None:
    """The formula as (its variables in alphabetical order, the polynomial over them), when
    it is made only of integers and variables under sums, negations, products and natural
    powers; None when anything else occurs, for the general Reader (which also raises the
    errors, 0^0 included)."""
    found = _nodes_and_names(formula)
    if found is None:
        return None
    nodes, names = found
    variables = alphabetical(list(names))
    context, generators = _context(tuple(variables))
    values: dict[int, _Value] = {}
    for node in nodes:
        kind = node.kind
        if kind is Kind.SYMBOL:
            values[id(node)] = generators[node.name]
        elif kind is Kind.NUMBER:
            values[id(node)] = node.value  # type: ignore[assignment]  # an int: checked by _nodes_and_names
        else:
            value = _combined(node, [values[id(operand)] for operand in node.args], context)
            if value is None:
                return None
            values[id(node)] = value
    result = values[id(formula)]
    return variables, result if isinstance(result, IntegerPoly) else context.constant(result)


def _nodes_and_names(root: Formula) -> tuple[list[Formula], set[str]] | None:
    """Every distinct node, operands before the nodes that use them, and the variables' names;
    None at the first node of an unsupported kind or a non-integer number."""
    ordered: list[Formula] = []
    names: set[str] = set()
    seen: set[int] = set()
    stack: list[tuple[Formula, tuple[Formula, ...] | None]] = [(root, None)]
    while stack:
        node, operands = stack.pop()
        if operands is not None:  # the second visit: its operands are all in `ordered`
            ordered.append(node)
            continue
        if id(node) in seen:
            continue
        seen.add(id(node))
        kind = node.kind
        if kind not in _SUPPORTED:
            return None
        operands = node.args
        if operands:
            stack.append((node, operands))
            stack.extend((operand, None) for operand in reversed(operands))
            continue
        if kind is Kind.SYMBOL:
            names.add(node.name)
        elif not isinstance(node.value, int):
            return None
        ordered.append(node)
    return ordered, names


def _context(variables: tuple[str, ...]) -> tuple[flint.fmpz_mpoly_ctx, dict[str, IntegerPoly]]:
    found = _CONTEXTS.get(variables)
    if found is None:
        context = flint.fmpz_mpoly_ctx.get(variables, "deglex")
        found = _CONTEXTS[variables] = (context, dict(zip(variables, context.gens())))
    return found


def _combined(node: Formula, operands: list[_Value], context: flint.fmpz_mpoly_ctx) -> _Value | None:
    """A sum, product, negation or power of read operands (None: a power the Reader handles)."""
    kind = node.kind
    if kind is Kind.ADD:
        return sum(operands[1:], operands[0])
    if kind is Kind.MUL:
        product = operands[0]
        for factor in operands[1:]:
            if isinstance(product, IntegerPoly) and isinstance(factor, IntegerPoly):
                _check_size(len(product) * len(factor), node)
            product = product * factor
        return product
    if kind is Kind.NEG:
        return -operands[0]
    exponent = operands[1]
    if not isinstance(exponent, int) or exponent < 0:
        return None
    base = operands[0] if isinstance(operands[0], IntegerPoly) else context.constant(operands[0])
    if exponent == 0 and base.is_zero():
        return None
    _check_size(_power_bits(base, exponent), node)
    return base ** exponent
