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

# By the set of variable names: (the names in alphabetical order, their context, their generators).
_CONTEXTS: dict[frozenset[str], tuple[tuple[str, ...], flint.fmpz_mpoly_ctx, dict[str, IntegerPoly]]] = {}
_OPERATORS = frozenset({Kind.ADD, Kind.MUL, Kind.POW, Kind.NEG})
# Bound once: looking up an Enum member costs about as much as reading a node's kind.
_ADD, _MUL, _NEG, _NUMBER, _SYMBOL = Kind.ADD, Kind.MUL, Kind.NEG, Kind.NUMBER, Kind.SYMBOL
# An operator node, its kind and its operands, each read once: a long product gathers its
# operands from its chain on every read.
_Operation = tuple[Formula, Kind, tuple[Formula, ...]]


def integer_polynomial(formula: Formula) -> tuple[list[str], IntegerPoly] | None:
    """The formula as (its variables in alphabetical order, the polynomial over them), when
    it is made only of integers and variables under sums, negations, products and natural
    powers; None when anything else occurs, for the general Reader (which also raises the
    errors, 0^0 included)."""
    found = _leaves_and_operations(formula)
    if found is None:
        return None
    values, variables_at, operations = found
    variables, context, generators = _context(frozenset(variables_at.values()))
    for key, name in variables_at.items():
        values[key] = generators[name]
    for node, kind, operands in operations:
        value = _combined(node, kind, [values[id(operand)] for operand in operands], context)
        if value is None:
            return None
        values[id(node)] = value
    result = values[id(formula)]
    return list(variables), result if isinstance(result, IntegerPoly) else context.constant(result)


def _leaves_and_operations(root: Formula) -> tuple[dict[int, _Value], dict[int, str], list[_Operation]] | None:
    """The integers by node id, the variables' names by node id, and every distinct operator
    node, operands before the nodes that use them; None at the first node of an unsupported
    kind or a non-integer number. Leaves are read where they are met, without a visit of
    their own (most nodes are leaves)."""
    numbers: dict[int, _Value] = {}
    variables_at: dict[int, str] = {}
    operations: list[_Operation] = []
    seen: set[int] = set()
    opened: list[_Operation] = []  # the operator nodes whose operands are being read
    pending = [iter((root,))]  # the operands left to read, of the root and of each opened node
    while pending:
        for node in pending[-1]:
            key = id(node)
            if key in seen:
                continue
            seen.add(key)
            kind = node.kind
            if kind in _OPERATORS:
                operands = node.args
                opened.append((node, kind, operands))
                pending.append(iter(operands))
                break
            if kind is _SYMBOL:
                variables_at[key] = node.name
            elif kind is _NUMBER and type(value := node.value) is int:
                numbers[key] = value
            else:
                return None
        else:
            pending.pop()
            if opened:
                operations.append(opened.pop())
    return numbers, variables_at, operations


def _context(names: frozenset[str]) -> tuple[tuple[str, ...], flint.fmpz_mpoly_ctx, dict[str, IntegerPoly]]:
    found = _CONTEXTS.get(names)
    if found is None:
        variables = tuple(alphabetical(list(names)))
        context = flint.fmpz_mpoly_ctx.get(variables, "deglex")
        found = _CONTEXTS[names] = (variables, context, dict(zip(variables, context.gens())))
    return found


def _combined(node: Formula, kind: Kind, operands: list[_Value], context: flint.fmpz_mpoly_ctx) -> _Value | None:
    """A sum, product, negation or power of read operands (None: a power the Reader handles)."""
    if kind is _ADD:
        return sum(operands[1:], operands[0])
    if kind is _MUL:
        product = operands[0]
        for factor in operands[1:]:
            if isinstance(product, IntegerPoly) and isinstance(factor, IntegerPoly):
                _check_size(len(product) * len(factor), node)
            product = product * factor
        return product
    if kind is _NEG:
        return -operands[0]
    exponent = operands[1]
    if not isinstance(exponent, int) or exponent < 0:
        return None
    base = operands[0] if isinstance(operands[0], IntegerPoly) else context.constant(operands[0])
    if exponent == 0 and base.is_zero():
        return None
    _check_size(_power_bits(base, exponent), node)
    return base ** exponent
