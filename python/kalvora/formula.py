"""The value type: `Formula`, an immutable tree of exact numbers, names and operations.

A formula records what was written, nothing more: ``2*3`` stays a product and ``x/2`` a
quotient until an algebra function rewrites it. Numbers are Python integers of any size,
and decimals typed as ``0.25`` (exact, remembering how they were typed). A fraction from
Python (``Fraction(1, 3)``) becomes the quotient 1/3, which is how people write it.

Shape rules that every constructor keeps, so that equal input gives equal trees:
- sums and products are flat chains, ``a + b + c`` = Add(a, b, c): an Add never has an
  Add as its first term, and likewise for Mul (a later operand may be one: a + (b + c));
- a minus sign directly on a number is part of the number: ``-3`` is Number(-3), and
  ``-3x`` is Mul(Number(-3), x), as are Python's ``-3*x`` and ``-(3*x)``;
- a subtraction ``a - b`` is Add(a, Neg(b)).

Every walk over a tree is iterative, so formulas nested 100,000 levels deep behave like
any other. Nodes are shared freely; walks visit a shared subtree once.
"""

from __future__ import annotations

import enum
from itertools import chain
from collections.abc import Callable, Iterable, Mapping, Sequence
from fractions import Fraction
from typing import TYPE_CHECKING, NamedTuple, NoReturn, Protocol, SupportsIndex, TypeVar, Union

from .errors import MathError
from .names import normal_name

if TYPE_CHECKING:
    import _kalvora_core


class Kind(enum.Enum):
    """The kinds of node. The value is the node's name in `kalvora.tree`."""

    NUMBER = "Number"
    SYMBOL = "Symbol"
    PI = "Pi"
    E = "E"
    NEG = "Neg"
    ADD = "Add"
    MUL = "Mul"
    DIV = "Div"
    POW = "Pow"
    SQRT = "Sqrt"
    CBRT = "Cbrt"
    SIN = "Sin"
    COS = "Cos"
    TAN = "Tan"
    LOG = "Log"
    ABS = "Abs"
    INFINITY = "Infinity"

    # Enum's own hash runs in Python; every node hashes its kind once when it is made.
    __hash__ = object.__hash__


# Bound once for the accessors of every node: looking up an Enum member is slow.
_NUMBER, _SYMBOL = Kind.NUMBER, Kind.SYMBOL

LEAVES = frozenset({Kind.NUMBER, Kind.SYMBOL, Kind.PI, Kind.E, Kind.INFINITY})
# One-operand kinds written as functions, with the name they are typed and printed by.
FUNCTIONS: dict[Kind, str] = {
    Kind.SQRT: "sqrt",
    Kind.CBRT: "cbrt",
    Kind.SIN: "sin",
    Kind.COS: "cos",
    Kind.TAN: "tan",
    Kind.LOG: "log",
    Kind.ABS: "abs",
}

Number = Union[int, Fraction]
FormulaLike = Union["Formula", str, int, Fraction]
"""What every public function accepts as a formula: a Formula, text to parse, or an exact number."""

_FLOAT_REFUSED = "float は誤差を含むので使えません。Fraction(1, 3) のような分数か、'0.25' のような文字列で書いてください"
_EXPECTED = "Formula、数式の文字列、int、Fraction のどれか"

T = TypeVar("T")


class Formula:
    """数式の値。不変で、数は正確 (任意の大きさの整数と有理数) に持つ。

    作り方: ``Formula("(x+1)^3")`` (= ``kalvora.parse``)、``kalvora.symbols("x y")``、
    Python の演算 (``x + 1``, ``x/2``, ``x**3``)、``kalvora.sqrt(x)`` などの関数、
    ``Formula.from_core(tree)``。``==`` は構造の比較で、``hash`` はそれと一致する。
    """

    __slots__ = ("_kind", "_own", "_prefix", "_value", "_spelling", "_sequence", "_hash")

    _kind: Kind
    # A sum or product extended by `f + term` keeps the chain it extends as `_prefix` and
    # only the new operands as `_own`, so that building a long chain term by term stays
    # linear; `args` reads the whole chain. Every other node has all its operands in `_own`.
    _own: tuple[Formula, ...]
    _prefix: Formula | None
    _value: Number | str | None
    _spelling: str | None
    _sequence: int  # a rolling hash of the operands, extended in O(1) with each new one
    _hash: int

    def __new__(cls, source: FormulaLike) -> Formula:
        return as_formula(source)

    # --- reading the tree -------------------------------------------------------------

    @property
    def kind(self) -> Kind:
        return self._kind

    @property
    def args(self) -> tuple[Formula, ...]:
        """The operands, in the order written (empty for a number, a name or a constant)."""
        if self._prefix is None:
            return self._own
        pieces = []
        link: Formula | None = self
        while link is not None:
            pieces.append(link._own)
            link = link._prefix
        return tuple(chain.from_iterable(reversed(pieces)))

    @property
    def value(self) -> Number:
        """The exact value of a number node."""
        if self._kind is not _NUMBER:
            raise AttributeError(f"{self._kind.value} には value がありません (数のノードだけが持つ)")
        assert isinstance(self._value, (int, Fraction))
        return self._value

    @property
    def name(self) -> str:
        """The name of a variable: ``x``, ``x_1``, ``alpha``."""
        if self._kind is not _SYMBOL:
            raise AttributeError(f"{self._kind.value} には name がありません (変数のノードだけが持つ)")
        assert isinstance(self._value, str)
        return self._value

    @property
    def spelling(self) -> str | None:
        """How a decimal number was typed (``'0.25'``); None for every other node."""
        return self._spelling

    @property
    def free_symbols(self) -> frozenset[Formula]:
        """The variables that occur in the formula."""
        found: set[Formula] = set()
        walk(self, lambda node: found.add(node) if node._kind is Kind.SYMBOL else None)
        return frozenset(found)

    # --- value semantics --------------------------------------------------------------

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError("Formula は変更できません")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError("Formula は変更できません")

    def __hash__(self) -> int:
        return self._hash

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Formula):
            return NotImplemented
        pending = [(self, other)]
        compared: set[tuple[int, int]] = set()  # shared subtrees are compared once
        while pending:
            a, b = pending.pop()
            if a is b:
                continue
            if a._hash != b._hash or a._kind is not b._kind or a._value != b._value:
                return False
            if a._own and (id(a), id(b)) not in compared:
                compared.add((id(a), id(b)))
                a_args, b_args = a.args, b.args
                if len(a_args) != len(b_args):
                    return False
                pending.extend(zip(a_args, b_args))
        return True

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __repr__(self) -> str:
        return f"Formula({str(self)!r})"

    def __str__(self) -> str:
        from .plaintext import plain_text

        return plain_text(self)

    def _repr_latex_(self) -> str:
        from .latex import latex

        return f"$\\displaystyle {latex(self)}$"

    def __copy__(self) -> Formula:
        return self

    def __deepcopy__(self, memo: object) -> Formula:
        return self

    def __reduce__(self) -> tuple[Callable[[list[_Record]], Formula], tuple[list[_Record]]]:
        return (_from_records, (_to_records(self),))

    def __float__(self) -> float:
        from .evaluate import float_value

        return float_value(self)

    def __int__(self) -> int:
        from .evaluate import exact_value

        value = exact_value(self)
        return int(value)  # truncates toward zero, as int(Fraction) does

    def __bool__(self) -> bool:
        return True

    # --- building with Python operators -----------------------------------------------

    def __add__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else add(self, operand)

    def __radd__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else add(operand, self)

    def __sub__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else subtract(self, operand)

    def __rsub__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else subtract(operand, self)

    def __mul__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else mul(self, operand)

    def __rmul__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else mul(operand, self)

    def __truediv__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else div(self, operand)

    def __rtruediv__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else div(operand, self)

    def __pow__(self, other: object, modulo: None = None) -> Formula:
        if modulo is not None:
            raise TypeError("Formula の累乗に法は指定できません")
        operand = _operand(other)
        return NotImplemented if operand is None else power(self, operand)

    def __rpow__(self, other: object) -> Formula:
        operand = _operand(other)
        return NotImplemented if operand is None else power(operand, self)

    def __neg__(self) -> Formula:
        return neg(self)

    def __pos__(self) -> Formula:
        return self

    def __abs__(self) -> Formula:
        return apply(Kind.ABS, self)

    # --- substitution and the core ----------------------------------------------------

    def subs(self, mapping: Mapping[Formula | str, FormulaLike] | None = None, /, **names: FormulaLike) -> Formula:
        """変数に数や式を代入した式を返す: ``f.subs({x: 2})`` または ``f.subs(x=2)``。"""
        if mapping is not None and not isinstance(mapping, Mapping):
            raise TypeError(f"subs には {{変数: 値}} の辞書を渡してください ({type(mapping).__name__} ではなく)")
        replacements: dict[str, Formula] = {}
        for key, value in [*(mapping or {}).items(), *names.items()]:
            replacements[_symbol_name(key)] = as_formula(value)

        def replace(node: Formula, args: list[Formula]) -> Formula:
            if node._kind is Kind.SYMBOL:
                return replacements.get(node.name, node)
            return rebuild(node, args)

        return fold(self, replace)

    def to_core(self) -> _kalvora_core.Expr:
        """The tree of the specified engine ``_kalvora_core``. Numbers must fit in 32 bits."""
        from .bridge import to_core

        return to_core(self)

    @staticmethod
    def from_core(tree: _kalvora_core.Expr) -> Formula:
        """The formula of a ``_kalvora_core`` tree."""
        from .bridge import from_core

        return from_core(tree)


# --- node construction ----------------------------------------------------------------


_SEQUENCE_FACTOR = 1_000_003
_SEQUENCE_MASK = 2**64 - 1


def _node(kind: Kind, args: tuple[Formula, ...] = (), value: Number | str | None = None,
          spelling: str | None = None, prefix: Formula | None = None) -> Formula:
    node = object.__new__(Formula)
    sequence = prefix._sequence if prefix is not None else 0
    for arg in args:
        sequence = (sequence * _SEQUENCE_FACTOR + arg._hash) & _SEQUENCE_MASK
    setter = object.__setattr__
    setter(node, "_kind", kind)
    setter(node, "_own", args)
    setter(node, "_prefix", prefix)
    setter(node, "_value", value)
    setter(node, "_spelling", spelling)
    setter(node, "_sequence", sequence)
    setter(node, "_hash", hash((kind, value, sequence)))
    return node


def number(value: int) -> Formula:
    """An integer, of any size."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"整数が必要です ({type(value).__name__} ではなく)")
    return _node(Kind.NUMBER, value=value)


def rational(value: Fraction) -> Formula:
    """A rational number as people write it: an integer, or the quotient p/q."""
    if value.denominator == 1:
        return number(value.numerator)
    return div(number(value.numerator), number(value.denominator))


def decimal(value: Fraction, spelling: str) -> Formula:
    """A decimal as typed (``0.25``), worth exactly ``value``."""
    exact: Number = value.numerator if value.denominator == 1 else value
    return _node(Kind.NUMBER, value=exact, spelling=spelling)


def symbol(name: str) -> Formula:
    """The variable of that name (``x``, ``x_1``, ``alpha``; ``α`` and ``x₁`` are read as such)."""
    if not isinstance(name, str):
        raise TypeError(f"変数名は文字列で指定してください ({type(name).__name__} ではなく)")
    return _node(Kind.SYMBOL, value=_checked_name(name))


def neg(operand: Formula) -> Formula:
    """-operand. A minus sign before a number is the number's own sign, also when the number
    leads a product or a quotient (-(3x) is (-3)x, -(1/2) is (-1)/2), as the parser reads
    -3x and x - 3y; what has no leading number (x, 2^2) is negated as a whole."""
    path = [operand]
    while path[-1]._kind in (Kind.MUL, Kind.DIV):
        path.append(path[-1].args[0])
    if path[-1]._kind is not Kind.NUMBER:
        return _node(Kind.NEG, (operand,))
    result = _negative_number(path.pop())
    while path:
        outer = path.pop()
        result = rebuild(outer, (result, *outer.args[1:]))
    return result


def _negative_number(number: Formula) -> Formula:
    spelling = number._spelling
    if spelling is not None:
        spelling = spelling[1:] if spelling.startswith("-") else "-" + spelling
    return _node(Kind.NUMBER, value=-number.value, spelling=spelling)


def _chain(kind: Kind, operands: tuple[Formula, ...]) -> Formula:
    if len(operands) < 2:
        raise ValueError(f"{kind.value} には二つ以上の項が必要です")
    first = operands[0]
    if first._kind is kind:
        return _node(kind, operands[1:], prefix=first)
    return _node(kind, operands)


def add(*terms: Formula) -> Formula:
    """The sum of two or more terms, continuing a sum given as the first term."""
    return _chain(Kind.ADD, terms)


def mul(*factors: Formula) -> Formula:
    """The product of two or more factors, continuing a product given as the first factor."""
    return _chain(Kind.MUL, factors)


def div(numerator: Formula, denominator: Formula) -> Formula:
    return _node(Kind.DIV, (numerator, denominator))


def power(base: Formula, exponent: Formula) -> Formula:
    return _node(Kind.POW, (base, exponent))


def apply(kind: Kind, operand: Formula) -> Formula:
    """A function (one of FUNCTIONS) applied to an operand."""
    if kind not in FUNCTIONS:
        raise ValueError(f"{kind.value} は関数ではありません")
    return _node(kind, (operand,))


def rebuild(node: Formula, args: Iterable[Formula]) -> Formula:
    """A node of the same kind and data as `node` over new operands, keeping the shape rules."""
    operands = tuple(args)
    if node._kind is Kind.NEG:
        return neg(operands[0])
    if node._kind in (Kind.ADD, Kind.MUL):
        return _chain(node._kind, operands)
    if all(new is old for new, old in zip(operands, node.args)):
        return node
    return _node(node._kind, operands, node._value, node._spelling)


def subtract(minuend: Formula, subtrahend: Formula) -> Formula:
    return add(minuend, neg(subtrahend))


PI = _node(Kind.PI)
E = _node(Kind.E)
# ∞, a point and a value of limits; -∞ is its negation. The algebra does not compute with it.
INFINITY = _node(Kind.INFINITY)


class MonomialSum(NamedTuple):
    """A sum of terms c·x^a·y^b··· in variables alone, as exponent vectors (one entry per
    variable; integers or flint's fmpz) and exact coefficients, the terms in canonical
    order: what printers may write straight from the numbers, without a node per term."""

    variables: tuple[str, ...]
    degrees: tuple[int, ...]  # the highest exponent of each variable
    exponents: Sequence[Sequence[SupportsIndex]]
    coefficients: Sequence[Number]


class Deferred(Protocol):
    """The source of a sum or product whose operands are made only when first needed."""

    def operands(self) -> tuple[Formula, ...]:
        """The operands, two or more, keeping the shape rules (no Add first in an Add)."""

    def monomials(self) -> MonomialSum | None:
        """The sum as a MonomialSum, when it is one (its operands are then exactly the
        terms the algebra makes of it); None otherwise."""


class _DeferredFormula(Formula):
    """A node made by `deferred`: its `_own`, `_sequence` and `_hash` stay unset until first
    read, when `__getattr__` (called for unset slots only) fills them. A subclass of its own,
    since a class with `__getattr__` makes every attribute read slower, and other nodes' walks
    should not pay for that."""

    __slots__ = ("_source",)

    _source: Deferred

    if not TYPE_CHECKING:  # hidden from mypy, which would otherwise accept any attribute name
        def __getattr__(self, name: str) -> object:
            if name in _DEFERRED_SLOTS:
                _fill_deferred(self)
            # Raises the attribute's own error otherwise (a property's message included).
            return object.__getattribute__(self, name)


def deferred(kind: Kind, source: Deferred) -> Formula:
    """A sum or product of the operands `source` makes on first use (of `args`, `==`,
    `hash`, printing...): results with many terms cost little until they are read. It is
    indistinguishable from the node built from those operands."""
    node = object.__new__(_DeferredFormula)
    setter = object.__setattr__
    setter(node, "_kind", kind)
    setter(node, "_prefix", None)
    setter(node, "_value", None)
    setter(node, "_spelling", None)
    setter(node, "_source", source)
    return node


def deferred_source(node: Formula) -> Deferred | None:
    """The source of a node made by `deferred`, None for any other node."""
    source: Deferred | None = getattr(node, "_source", None)
    return source


_DEFERRED_SLOTS = frozenset({"_own", "_sequence", "_hash"})


def _fill_deferred(node: _DeferredFormula) -> None:
    operands = node._source.operands()
    sequence = 0
    for operand in operands:
        sequence = (sequence * _SEQUENCE_FACTOR + operand._hash) & _SEQUENCE_MASK
    setter = object.__setattr__
    # The operands last: a node that has them is complete (another thread may fill it too,
    # with equal values).
    setter(node, "_sequence", sequence)
    setter(node, "_hash", hash((node._kind, None, sequence)))
    setter(node, "_own", operands)


# --- conversion of arguments ----------------------------------------------------------


def as_formula(source: object) -> Formula:
    """A Formula from what public functions accept: a Formula, text, an exact number, or
    a ``_kalvora_core`` tree. Anything else is a TypeError that says what was expected."""
    if isinstance(source, Formula):
        return source
    if isinstance(source, str):
        from .parse import parse

        return parse(source)
    exact = _operand(source)
    if exact is not None:
        return exact
    from .bridge import from_core, is_core_tree

    if is_core_tree(source):
        return from_core(source)
    raise TypeError(f"{_EXPECTED}が必要です ({type(source).__name__} ではなく)")


def _operand(value: object) -> Formula | None:
    """The formula of an exact number or a Formula, for arithmetic. A float is refused;
    other types give None (the operators then return NotImplemented, so that Python
    raises its usual TypeError)."""
    if isinstance(value, Formula):
        return value
    if isinstance(value, float):
        raise TypeError(_FLOAT_REFUSED)
    if isinstance(value, int) and not isinstance(value, bool):
        return number(value)
    if isinstance(value, Fraction):
        return rational(value)
    return None


def _checked_name(name: str) -> str:
    try:
        return normal_name(name)
    except ValueError as error:
        raise MathError(str(error)) from None


def _symbol_name(key: object) -> str:
    if isinstance(key, Formula) and key._kind is Kind.SYMBOL:
        return key.name
    if isinstance(key, str):
        return _checked_name(key)
    raise TypeError(f"代入する先は変数 (Formula の変数か変数名の文字列) で指定してください ({key!r} ではなく)")


def symbols(names: str) -> tuple[Formula, ...]:
    """空白かコンマで区切った名前の変数を作る: ``x, y = symbols("x y")``。"""
    if not isinstance(names, str):
        raise TypeError(f"変数名は文字列で指定してください ({type(names).__name__} ではなく)")
    found = names.replace(",", " ").split()
    if not found:
        raise MathError("変数名がありません")
    return tuple(symbol(name) for name in found)


# --- walking trees --------------------------------------------------------------------


def fold(root: Formula, combine: Callable[[Formula, list[T]], T], results: dict[int, T] | None = None) -> T:
    """``combine(node, results of its operands)`` for every node from the leaves up,
    without recursion; a shared subtree is combined once. ``results`` (by node id) may be
    kept from call to call, as long as the nodes in it stay alive: nodes found there are not
    combined again."""
    if results is None:
        results = {}
    stack: list[tuple[Formula, bool]] = [(root, False)]
    while stack:
        node, operands_done = stack.pop()
        if id(node) in results:
            continue
        if not node._own:
            results[id(node)] = combine(node, [])
        elif operands_done:
            results[id(node)] = combine(node, [results[id(arg)] for arg in node.args])
        else:
            stack.append((node, True))
            stack.extend((arg, False) for arg in reversed(node.args))
    return results[id(root)]


def walk(root: Formula, visit: Callable[[Formula], object]) -> None:
    """Calls ``visit`` once on every distinct node, parents before operands."""
    seen: set[int] = set()
    stack = [root]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        visit(node)
        stack.extend(reversed(node.args))


# --- pickling -------------------------------------------------------------------------

# A node as (kind, value, spelling, operand indices into the list): flat, so that pickling
# a deep formula needs no deep recursion, and shared subtrees are stored once.
_Record = tuple[str, Union[Number, str, None], Union[str, None], tuple[int, ...]]


def _to_records(root: Formula) -> list[_Record]:
    records: list[_Record] = []

    def record(node: Formula, operands: list[int]) -> int:
        records.append((node._kind.value, node._value, node._spelling, tuple(operands)))
        return len(records) - 1

    fold(root, record)
    return records


def _from_records(records: list[_Record]) -> Formula:
    nodes: list[Formula] = []
    for kind, value, spelling, operands in records:
        nodes.append(_node(Kind(kind), tuple(nodes[i] for i in operands), value, spelling))
    return nodes[-1]
