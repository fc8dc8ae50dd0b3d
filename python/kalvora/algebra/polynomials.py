"""Reading a Formula into a rational function over Q, whose generators are the formula's
variables and, beside them, atoms (π, e, roots, functions applied to canonical arguments).

Arithmetic, gcd and powers are python-flint's (`fmpq_mpoly`). Generators are the
variables in alphabetical order, then atoms in the order they are met; a newly met atom
extends the context, and operands from the narrower context are lifted when combined.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from fractions import Fraction

import flint
from flint.flint_base.flint_base import flint_scalar

from ..errors import MathError
from ..formula import E, PI, Formula, Kind, apply, fold, number, power, symbol, walk
from . import atoms
from .atoms import Atom, Category

Poly = flint.fmpq_mpoly
IntegerPoly = flint.fmpz_mpoly


def fraction(value: flint.fmpq) -> Fraction:
    return Fraction(int(value.p), int(value.q))


def exact(value: flint_scalar) -> int | Fraction:
    """A coefficient of either kind of polynomial (fmpq or fmpz) as an int when it is one."""
    if isinstance(value, flint.fmpz):
        return int(value)
    assert isinstance(value, flint.fmpq)
    return int(value.p) if value.q == 1 else fraction(value)


def alphabetical(variables: list[str]) -> list[str]:
    return sorted(variables, key=atoms.variable_key)


class _Shared:
    """What the Spaces of one computation share: the variables, the heights of atom
    formulas, the defining relations of roots, and the Reader of each scope."""

    def __init__(self, variables: list[str]) -> None:
        self.variables = alphabetical(variables)
        self.variable_index = {name: i for i, name in enumerate(self.variables)}
        self.heights: dict[int, int] = {}  # by id: every node measured lives in some atom
        self.relations: dict[Formula, tuple[int, Poly, Space]] = {}
        self.scopes: dict[int, tuple[Formula, Reader]] = {}  # by id of the operand read


class Space:
    """The generators of one scope of a computation and the context that holds them: the
    variables, and the atoms met in this scope. A function's operand is a scope of its own
    (`scope`), so that a Space holds only what one level of nesting needs."""

    def __init__(self, variables: list[str], shared: _Shared | None = None) -> None:
        self.shared = _Shared(variables) if shared is None else shared
        self.variables = self.shared.variables
        self.atoms: list[Atom] = []
        self._atom_index: dict[Formula, int] = {}
        self.atom_keys: list[atoms.AtomKey] = []
        self._related: dict[int, int] = {}  # generator: root index, for roots of polynomials
        self._radicands: dict[int, Poly] = {}
        self.context = flint.fmpq_mpoly_ctx.get(tuple(self.variables), "deglex")

    def scope(self) -> Space:
        """A new, empty Space of the same computation."""
        return Space(self.variables, self.shared)

    def imported(self, p: Poly, source: Space) -> Poly:
        """p, a polynomial over another Space of this computation, over this one."""
        if source is self:
            return self.lift(p)
        if p.is_constant():
            return self.constant(fraction(p.leading_coefficient()) if not p.is_zero() else 0)
        names, targets = p.context().names(), dict[str | int, str | int]()
        for i, degree in enumerate(p.degrees()):
            if degree:
                atom = source.atom_at(i)
                targets[names[i]] = names[i] if atom is None else self.atom(atom)
        return p.project_to_context(self.context, mapping=targets)

    @property
    def size(self) -> int:
        return len(self.variables) + len(self.atoms)

    def lift(self, p: Poly) -> Poly:
        """p in the current context (which extends every earlier one)."""
        if p.context() is self.context:
            return p
        return p.project_to_context(self.context)

    def constant(self, value: Fraction | int) -> Poly:
        if isinstance(value, int):
            return self.context.constant(value)
        return self.context.constant(flint.fmpq(value.numerator, value.denominator))

    def generator(self, index: int) -> Poly:
        return self.context.gen(index)

    def atom(self, atom: Atom) -> int:
        """The generator index of an atom, adding it to the context when it is new."""
        index = self._atom_index.get(atom.formula)
        if index is None:
            index = self.size
            self.atoms.append(atom)
            self.atom_keys.append(atoms.atom_key(atom, self._height(atom.formula)))
            self._atom_index[atom.formula] = index
            relation = self.shared.relations.get(atom.formula)
            if relation is not None:
                self._related[index] = relation[0]
            names = (*self.variables, *(f"_{i}" for i in range(len(self.atoms))))
            self.context = flint.fmpq_mpoly_ctx.get(names, "deglex")
        return index

    def _height(self, formula: Formula) -> int:
        """The height of an atom's formula, measuring only nodes not met before (atoms share
        the formulas of the atoms inside them)."""
        return fold(formula, lambda _, heights: 1 + max(heights, default=0), self.shared.heights)

    def index_of(self, formula: Formula) -> int | None:
        """The generator of an atom already in the context, else None."""
        return self._atom_index.get(formula)

    def is_positive(self, index: int) -> bool:
        """Whether a generator is a positive number (π, e, a root of a number)."""
        atom = self.atom_at(index)
        return atom is not None and atom.category in (Category.ROOT, Category.PI, Category.E)

    def atom_at(self, index: int) -> Atom | None:
        """The atom of a generator, None for a variable."""
        return self.atoms[index - len(self.variables)] if index >= len(self.variables) else None

    def root(self, index: int, radicand: int) -> Poly:
        """The generator of the index-th root of a positive integer free of index-th powers."""
        return self.generator(self.atom(_root_atom(index, radicand)))

    def root_times(self, value: Fraction, index: int, where: Formula) -> Poly:
        """The index-th root of a rational, reduced: √8 = 2√2."""
        outside, inside = atoms.root_of_number(value, index, where)
        if inside == 1:
            return self.constant(outside)
        root = self.root(index, inside)  # first: it may extend the context
        return root * self.constant(outside)

    # --- the defining relations of roots of numbers ----------------------------------

    def _numeric_roots(self) -> list[tuple[int, Atom]]:
        first = len(self.variables)
        return [(first + i, atom) for i, atom in enumerate(self.atoms) if atom.radicand is not None]

    def relate(self, generator: int, index: int, radicand: Poly) -> None:
        """Records that generator^index = radicand (a root of a polynomial: √x² = x), for
        every Space of the computation: another one imports the radicand when it needs it."""
        atom = self.atom_at(generator)
        assert atom is not None
        self.shared.relations[atom.formula] = (index, radicand, self)
        self._related[generator] = index
        self._radicands[generator] = radicand

    def _radicand(self, generator: int) -> Poly:
        found = self._radicands.get(generator)
        if found is None:
            atom = self.atom_at(generator)
            assert atom is not None
            _, radicand, source = self.shared.relations[atom.formula]
            found = self._radicands[generator] = self.imported(radicand, source)
        return found

    def reduce_roots(self, p: Poly) -> Poly:
        """p with products of roots reduced by their defining relations."""
        return self._reduce_expression_roots(self._reduce_number_roots(p))

    def _reduce_expression_roots(self, p: Poly) -> Poly:
        """√f·√f = f and ∛f³ = f for roots of polynomials f, until no power of a root is
        left (a radicand may hold roots of its own)."""
        reducing = True
        while reducing:
            reducing = False
            for generator, index in list(self._related.items()):
                if self.lift(p).degrees()[generator] < index:
                    continue
                radicand = self._radicand(generator)  # first: it may extend the context
                p, root, radicand = self.lift(p), self.generator(generator), self.lift(radicand)
                reduced = self.constant(0)
                for k, part in _by_degree(p, generator).items():
                    reduced += part * radicand ** (k // index) * root ** (k % index)
                p, reducing = reduced, True
        return p

    def _reduce_number_roots(self, p: Poly) -> Poly:
        """√2² = 2, √2√3 = √6, ∛2∛4 = 2."""
        roots = self._numeric_roots()
        if not roots:
            return p
        p = self.lift(p)
        degrees = p.degrees()
        if all(degrees[i] <= 1 for i, _ in roots) and sum(1 for i, _ in roots if degrees[i]) <= 1:
            return p
        terms: list[tuple[list[int], Fraction]] = []
        for monomial, coefficient in zip(p.monoms(), p.coeffs()):
            exponents, value = [int(k) for k in monomial], fraction(coefficient)
            for index in (2, 3):
                under = 1
                for i, atom in roots:
                    if atom.index == index and exponents[i]:
                        assert atom.radicand is not None
                        under *= atom.radicand ** exponents[i]
                        exponents[i] = 0
                outside, inside = atoms.root_of_number(Fraction(under), index, PI)
                value *= outside
                if inside != 1:
                    position = self.atom(_root_atom(index, inside))  # may extend the context
                    exponents += [0] * (self.size - len(exponents))
                    exponents[position] += 1
            terms.append((exponents, value))
        collected: dict[tuple[int, ...], Fraction] = {}
        size = self.size
        for exponents, value in terms:
            key = tuple(exponents) + (0,) * (size - len(exponents))
            collected[key] = collected.get(key, Fraction(0)) + value
        return self.context.from_dict({k: flint.fmpq(v.numerator, v.denominator)
                                       for k, v in collected.items() if v})


def _root_atom(index: int, radicand: int) -> Atom:
    formula = apply(Kind.SQRT if index == 2 else Kind.CBRT, number(radicand))
    return Atom(formula, Category.ROOT, index, radicand)


class Quotient:
    """num/den in lowest terms; den is 1 or a non-constant polynomial with leading
    coefficient 1 (constants are folded into num)."""

    __slots__ = ("num", "den")

    def __init__(self, num: Poly, den: Poly) -> None:
        self.num = num
        self.den = den

    def is_polynomial(self) -> bool:
        return bool(self.den.is_one())


class Argument:
    """A function's operand as read, with the Reader that read it (whose Space holds its
    generators)."""

    __slots__ = ("reader", "value")

    def __init__(self, reader: Reader, value: Quotient) -> None:
        self.reader = reader
        self.value = value

    def constant(self) -> Fraction | None:
        return self.reader.constant_value(self.value)

    def canonical(self) -> Formula:
        return self.reader.canonical(self.value)

    def single_atom(self) -> tuple[Atom, int, Fraction] | None:
        """(atom, exponent, coefficient) when the operand is c·a^k for one atom a."""
        found = self.reader.single_generator(self.value)
        if found is None:
            return None
        atom = self.reader.space.atom_at(found[0])
        return None if atom is None else (atom, found[1], found[2])

    def with_value(self, value: Quotient) -> Argument:
        return Argument(self.reader, value)

    def negated(self) -> Argument:
        return self.with_value(Quotient(-self.value.num, self.value.den))


class Reader:
    """Reads formulas into Quotients over one Space, applying the rules for atoms."""

    def __init__(self, space: Space, canonical: Callable[[Space, Quotient], Formula]) -> None:
        self.space = space
        self._canonical = canonical  # the textbook formula of a Quotient, for atom arguments
        self._variable_index = space.shared.variable_index
        self._results: dict[int, tuple[Formula, Quotient]] = {}  # by id; the node kept alive

    def read(self, formula: Formula) -> Quotient:
        """The Quotient of a formula, from the leaves up without recursion. A function's
        operand is read by the Reader of its own scope (`_scope`), so that every Space holds
        only one level's generators: a tower of k nested functions costs about k, not k²."""
        pending: list[tuple[Formula, Reader, list[Reader] | None]] = [(formula, self, None)]
        while pending:
            node, reader, scopes = pending.pop()
            if id(node) in reader._results:
                continue
            if scopes is None:
                args = node.args  # built anew on each use for a sum extended in a loop
                scopes = [reader._scope(node, arg, i) for i, arg in enumerate(args)]
                pending.append((node, reader, scopes))
                pending.extend((arg, scope, None) for arg, scope in reversed(list(zip(args, scopes))))
            else:
                operands = [scope._results[id(arg)][1] for arg, scope in zip(node.args, scopes)]
                reader._results[id(node)] = (node, reader._read_node(node, operands, scopes))
        return self._results[id(formula)][1]

    def _scope(self, node: Formula, operand: Formula, position: int) -> Reader:
        """The Reader of an operand: its own scope for the operand of a function (the
        exponent of a power, and its base unless the exponent is an integer), shared by every
        use of the same operand; this Reader for everything else and for numbers and variables."""
        if node.kind not in _SCOPED or operand.kind in (Kind.NUMBER, Kind.SYMBOL):
            return self
        if node.kind is Kind.POW and position == 0 and _is_integer(node.args[1]):
            return self
        found = self.space.shared.scopes.get(id(operand))
        if found is None:
            found = self.space.shared.scopes[id(operand)] = (operand, Reader(self.space.scope(), self._canonical))
        return found[1]

    # --- building Quotients ---------------------------------------------------------

    def polynomial(self, p: Poly) -> Quotient:
        return Quotient(p, self.space.constant(1))

    def constant(self, value: Fraction | int) -> Quotient:
        return self.polynomial(self.space.constant(value))

    def lowest_terms(self, num: Poly, den: Poly) -> Quotient:
        space = self.space
        num, den = space.reduce_roots(num), space.reduce_roots(den)
        num, den = space.lift(num), space.lift(den)  # either reduction may extend the context
        if den.is_constant():
            return self.polynomial(num / den.leading_coefficient())
        common = num.gcd(den)
        if not common.is_one():
            num, den = num / common, den / common
        lead = den.leading_coefficient()
        if den.is_constant():
            return self.polynomial(num / lead)
        return Quotient(num / lead, den / lead)

    def lifted(self, q: Quotient) -> Quotient:
        lift = self.space.lift
        return Quotient(lift(q.num), lift(q.den))

    def constant_value(self, q: Quotient) -> Fraction | None:
        if not q.is_polynomial() or not q.num.is_constant():
            return None
        return fraction(q.num.leading_coefficient()) if not q.num.is_zero() else Fraction(0)

    def single_generator(self, q: Quotient) -> tuple[int, int, Fraction] | None:
        """(generator, exponent, coefficient) when q is c·g^k for one generator, else None."""
        if not q.is_polynomial() or len(q.num) != 1:
            return None
        monomial = q.num.monoms()[0]
        used = [(i, k) for i, k in enumerate(monomial) if k]
        if len(used) != 1:
            return None
        return used[0][0], int(used[0][1]), fraction(q.num.coeffs()[0])

    def atom_of(self, atom: Atom) -> Quotient:
        return self.polynomial(self.space.generator(self.space.atom(atom)))

    def function_atom(self, formula: Formula) -> Quotient:
        return self.atom_of(Atom(formula, Category.FUNCTION))

    def canonical(self, q: Quotient) -> Formula:
        return self._canonical(self.space, q)

    # --- arithmetic -----------------------------------------------------------------

    def add(self, terms: list[Quotient]) -> Quotient:
        terms = [self.lifted(q) for q in terms]
        if all(q.is_polynomial() for q in terms):
            total = terms[0].num
            for q in terms[1:]:
                total = total + q.num
            return self.polynomial(total)
        num, den = terms[0].num, terms[0].den
        for q in terms[1:]:
            if q.den == den:
                num = num + q.num
            else:
                num, den = num * q.den + q.num * den, den * q.den
        return self.lowest_terms(num, den)

    def multiply(self, factors: list[Quotient], where: Formula) -> Quotient:
        factors = [self.lifted(q) for q in factors]
        num = factors[0].num
        for q in factors[1:]:
            _check_size(len(num) * len(q.num), where)
            num = num * q.num
        if all(q.is_polynomial() for q in factors):
            return self.polynomial(self.space.reduce_roots(num))
        den = factors[0].den
        for q in factors[1:]:
            den = den * q.den
        return self.lowest_terms(num, den)

    def divide(self, a: Quotient, b: Quotient, where: Formula) -> Quotient:
        a, b = self.lifted(a), self.lifted(b)
        if b.num.is_zero():
            raise MathError(f"0 で割ることはできません: {where}")
        return self.lowest_terms(a.num * b.den, a.den * b.num)

    def integer_power(self, base: Quotient, exponent: int, where: Formula) -> Quotient:
        base = self.lifted(base)
        if exponent == 0 and base.num.is_zero():
            raise MathError(f"0 の 0 乗は定義されません: {where}")
        if exponent < 0:
            if base.num.is_zero():
                raise MathError(f"0 の負の累乗は 0 で割ることになります: {where}")
            base = Quotient(base.den, base.num)
            exponent = -exponent
        _check_size(_power_bits(base.num, exponent) + _power_bits(base.den, exponent), where)
        return self.lowest_terms(base.num ** exponent, base.den ** exponent)

    # --- rationalising denominators ------------------------------------------------

    def rationalised(self, q: Quotient) -> Quotient:
        """q with no root of a number in its denominator: each square root s is removed by
        the conjugate (A + Bs)(A - Bs) = A² - B²n, a cube root c of a monomial by c²."""
        space = self.space
        for _ in range(_MOST_ROUNDS):
            q = self.lifted(q)
            degrees = q.den.degrees()
            root = next((i for i, atom in space._numeric_roots() if degrees[i]), None)
            if root is None:
                return q
            atom = space.atom_at(root)
            assert atom is not None
            if atom.index == 2:
                parts = _by_degree(q.den, root)  # A + Bs, after the reduction s² = n
                zero = space.constant(0)
                other = parts.get(0, zero) - parts.get(1, zero) * space.generator(root)
            elif len(q.den) == 1:
                other = space.generator(root) ** (3 - degrees[root] % 3)
            else:
                return q  # a sum with a cube root stays in the denominator
            q = self.lowest_terms(q.num * other, q.den * other)
        return q

    # --- reading one node -----------------------------------------------------------

    def _read_node(self, node: Formula, operands: list[Quotient], scopes: list[Reader]) -> Quotient:
        kind = node.kind
        if kind is Kind.NUMBER:
            return self.constant(node.value)
        if kind is Kind.SYMBOL:
            return self.polynomial(self.space.generator(self._variable_index[node.name]))
        if kind is Kind.PI:
            return self.atom_of(Atom(PI, Category.PI))
        if kind is Kind.E:
            return self.atom_of(Atom(E, Category.E))
        if kind is Kind.INFINITY:
            raise MathError(f"∞ は数ではないので計算に使えません (極限は kalvora.limit で求めます): {node}")
        if kind is Kind.ABS:
            return self._absolute(operands[0])
        if kind is Kind.NEG:
            q = operands[0]
            return Quotient(-q.num, q.den)
        if kind is Kind.ADD:
            return self.add(operands)
        if kind is Kind.MUL:
            return self.multiply(operands, node)
        if kind is Kind.DIV:
            return self.divide(operands[0], operands[1], node)
        arguments = [Argument(scope, q) for scope, q in zip(scopes, operands)]
        if kind is Kind.POW:
            return self._power(node, arguments[0], arguments[1])
        if kind in (Kind.SQRT, Kind.CBRT):
            return self._root(node, arguments[0], 2 if kind is Kind.SQRT else 3)
        if kind is Kind.LOG:
            return self._log(node, arguments[0])
        if kind in (Kind.SIN, Kind.COS, Kind.TAN):
            return self._trig(node, arguments[0])
        return self.function_atom(apply(kind, arguments[0].canonical()))

    def imported(self, argument: Argument) -> Quotient:
        """An argument's value in this Reader's Space."""
        source = argument.reader.space
        return Quotient(self.space.imported(argument.value.num, source), self.space.imported(argument.value.den, source))

    def negative(self, q: Quotient) -> Quotient:
        return Quotient(-q.num, q.den)

    def _power(self, node: Formula, base: Argument, exponent: Argument) -> Quotient:
        value = exponent.constant()
        if node.args[0].kind is Kind.E and (value is None or value.denominator != 1):
            return self._exp(exponent)
        if value is None:
            base_value = base.constant()
            if base_value is not None and base_value < 0:
                raise MathError(f"負の数の累乗は指数が整数でないと実数の範囲で定義されません: {node}")
            return self.function_atom(power(base.canonical(), exponent.canonical()))
        if value.denominator == 1:
            return self.integer_power(self.imported(base), value.numerator, node)
        if value.denominator in (2, 3):
            root = self._root(node, base, value.denominator)
            return self.integer_power(root, value.numerator, node)
        return self.function_atom(power(base.canonical(), exponent.canonical()))

    def _exp(self, exponent: Argument) -> Quotient:
        """e^{f} for f not an integer: e^{k log x} = x^k, else the atom e^{f}."""
        found = exponent.single_atom()
        if found is not None:
            atom, degree, coefficient = found
            if atom.formula.kind is Kind.LOG and degree == 1 and coefficient.denominator == 1:
                argument = self.read(atom.formula.args[0])
                return self.integer_power(argument, coefficient.numerator, atom.formula)
        return self.function_atom(power(E, exponent.canonical()))

    def _root(self, node: Formula, radicand: Argument, index: int) -> Quotient:
        value = radicand.constant()
        if value is not None:
            return self.polynomial(self.space.root_times(value, index, node))
        outside, inside = radicand.reader.root_parts(radicand.value, index)
        kind = Kind.SQRT if index == 2 else Kind.CBRT
        sign, argument, formula = _by_parity(kind, radicand.with_value(inside))
        generator = self.space.atom(Atom(apply(kind, formula), Category.FUNCTION))
        if argument.value.is_polynomial():
            self.space.relate(generator, index, self.imported(argument).num)
        factors = [self.imported(radicand.with_value(outside)), self.polynomial(self.space.generator(generator))]
        product = self.multiply(factors, node)
        return product if sign == 1 else self.negative(product)

    def root_parts(self, q: Quotient, index: int) -> tuple[Quotient, Quotient]:
        """q = outside^index · inside, with what may leave the index-th root taken out:
        √(8x) = 2√(2x), √(x⁴y) = x²√y, ∛(x³y) = x∛y, √(x/2) = ½√(2x); √(x²y) stays."""
        q = self.lifted(q)
        above, below = self._leaving_monomial(q.num, index), self._leaving_monomial(q.den, index)
        content = (atoms.rational_content([fraction(c) for c in q.num.coeffs()])
                   / atoms.rational_content([fraction(c) for c in q.den.coeffs()]))
        number, _ = atoms.root_of_number(content, index, PI)
        inside = Quotient(q.num / above ** index / self.space.constant(number ** index), q.den / below ** index)
        return Quotient(above * self.space.constant(number), below), inside

    def _leaving_monomial(self, p: Poly, index: int) -> Poly:
        """The monomial of p's generators whose index-th power leaves the root."""
        space = self.space
        if p.is_constant():
            return space.constant(1)
        exponents = [atoms.exponent_leaving_root(int(k), index, space.is_positive(i)) if k else 0
                     for i, k in enumerate(p.term_content().degrees())]
        return space.context.from_dict({tuple(exponents): 1})

    def _log(self, node: Formula, argument: Argument) -> Quotient:
        value = argument.constant()
        if value is not None:
            atoms.check_log_argument(value, node)
            return self._log_of_number(value, node, argument)
        reader = argument.reader
        found = reader.single_generator(argument.value)
        if found is None and argument.value.num.is_one():  # log 1/g^k = -log g^k
            found = reader.single_generator(Quotient(argument.value.den, argument.value.num))
            found = None if found is None else (found[0], -found[1], found[2])
        if found is not None and found[2] == 1:
            generator, degree, _ = found
            atom = reader.space.atom_at(generator)
            if atom is not None and atom.category is Category.E:  # log e^k = k
                return self.constant(degree)
            if atom is not None and atom.formula.kind is Kind.POW and atom.formula.args[0].kind is Kind.E:
                exponent = self.read(atom.formula.args[1])  # log (e^{f})^k = kf
                return self.multiply([self.constant(degree), exponent], node)
            if degree % 2:
                base = symbol(reader.space.variables[generator]) if atom is None else atom.formula
                return self._log_of_power(node, base, degree)
        return self.function_atom(apply(Kind.LOG, argument.canonical()))

    def _log_of_number(self, value: Fraction, node: Formula, argument: Argument) -> Quotient:
        """log 1 = 0, and the logarithm of a power of a whole number or of its reciprocal as a
        multiple of the smallest base: log 8 = 3 log 2, log 1/4 = -2 log 2 (so logarithms
        from definite integrals combine); log 3/2 stays."""
        if value == 1:
            return self.constant(0)
        sign = -1 if value.numerator == 1 else 1
        whole = value.denominator if sign < 0 else value.numerator
        if value.denominator != 1 and sign > 0:
            return self.function_atom(apply(Kind.LOG, argument.canonical()))
        base, k = atoms.perfect_power(whole)
        return self.multiply([self.constant(sign * k), self.function_atom(apply(Kind.LOG, number(base)))], node)

    def _log_of_power(self, node: Formula, base: Formula, degree: int) -> Quotient:
        """log g^k = k log g for odd k (g^k > 0 exactly where g > 0), and log √f = ½ log f,
        log ∛f = ⅓ log f; log x² stays, since it is 2 log |x|."""
        scale = Fraction(degree)
        if base.kind in (Kind.SQRT, Kind.CBRT):
            scale /= 2 if base.kind is Kind.SQRT else 3
            base = base.args[0]
        logarithm = apply(Kind.LOG, base)
        if scale == 1:
            return self.function_atom(logarithm)
        return self.multiply([self.constant(scale), self.read(logarithm)], node)

    def _absolute(self, argument: Quotient) -> Quotient:
        """|c| of a number; else the atom |u|, its sign chosen so that u's leading term is
        positive (|1 - x| = |x - 1|), with |u|² = u² when u is a polynomial."""
        value = self.constant_value(argument)
        if value is not None:
            return self.constant(abs(value))
        argument = self.lifted(argument)
        if argument.num.leading_coefficient() < 0:
            argument = Quotient(-argument.num, argument.den)
        generator = self.space.atom(Atom(apply(Kind.ABS, self.canonical(argument)), Category.FUNCTION))
        if argument.is_polynomial():
            self.space.relate(generator, 2, argument.num ** 2)
        return self.polynomial(self.space.generator(generator))

    def _trig(self, node: Formula, argument: Argument) -> Quotient:
        """Exact values at multiples of π/6 and π/4; otherwise whole periods and quarter turns
        leave the argument (sin(x + π) = -sin x, cos(π/2 - x) = sin x), and an argument written
        with a leading minus sign leaves by parity (sin(1 - x) = -sin(x - 1))."""
        reader = argument.reader
        multiple, rest = reader.split_pi(argument.value)
        if reader.constant_value(rest) == 0:
            found = atoms.trig_value(node.kind, multiple, node)
            if found is not None:
                coefficient, radicand = found
                root = self.space.root_times(Fraction(radicand), 2, node)
                return self.polynomial(root * self.space.constant(coefficient))
            sign, multiple = atoms.first_quadrant(node.kind, multiple)
            value = self.function_atom(apply(node.kind, reader.canonical(reader.with_pi(rest, multiple))))
            return value if sign == 1 else self.negative(value)
        kind, sign, multiple = atoms.shifted_angle(node.kind, multiple)
        parity, _, formula = _by_parity(kind, argument.with_value(reader.with_pi(rest, multiple)))
        value = self.function_atom(apply(kind, formula))
        return value if sign * parity == 1 else self.negative(value)

    def split_pi(self, q: Quotient) -> tuple[Fraction, Quotient]:
        """q as multiple·π + rest, for a polynomial q (else the multiple is 0)."""
        index = self.space.index_of(PI)
        if index is None or not q.is_polynomial():
            return Fraction(0), q
        num = self.space.lift(q.num)
        multiple = fraction(num[tuple(int(i == index) for i in range(self.space.size))])
        return multiple, Quotient(num - self.space.generator(index) * self.space.constant(multiple), q.den)

    def with_pi(self, q: Quotient, multiple: Fraction) -> Quotient:
        """q + multiple·π."""
        if not multiple:
            return q
        pi = self.space.generator(self.space.atom(Atom(PI, Category.PI)))
        return Quotient(self.space.lift(q.num) + pi * self.space.constant(multiple), q.den)


def _by_parity(kind: Kind, argument: Argument) -> tuple[int, Argument, Formula]:
    """f(-u) = ±f(u): the sign, the argument not written with a leading minus, its formula."""
    formula = argument.canonical()
    if kind not in atoms.PARITY or not atoms.leads_with_minus(formula):
        return 1, argument, formula
    argument = argument.negated()
    return atoms.PARITY[kind], argument, argument.canonical()


# The kinds whose operands are read in scopes of their own.
_SCOPED = frozenset((Kind.SQRT, Kind.CBRT, Kind.SIN, Kind.COS, Kind.TAN, Kind.LOG, Kind.POW))


def _is_integer(node: Formula) -> bool:
    return node.kind is Kind.NUMBER and isinstance(node.value, int)


# flint builds a result whole, and aborts the process when it cannot allocate it, so work
# estimated beyond this (terms of a product, or bits of a power) is refused beforehand.
_MOST_WORK = 2**28
# Python's gcd and decimal printing take time quadratic in a number's length, and cannot be
# interrupted: a coefficient past this many bits (some 630,000 digits) would take minutes.
_MOST_COEFFICIENT_BITS = 2**21


def _check_size(estimate: float, where: Formula) -> None:
    if estimate > _MOST_WORK:
        raise MathError(f"結果が大きすぎて計算できません: {where}")


def _power_bits(p: Poly | IntegerPoly, exponent: int) -> float:
    """An upper estimate of the size in bits of p**exponent."""
    count = len(p)
    if count == 0:
        return 0.0
    if exponent > _MOST_WORK:  # exponents past 64 bits break flint's factoring even of x^k
        return math.inf
    coefficients = p.coeffs()
    if count == 1 and abs(exact(coefficients[0])) == 1:
        return 0.0  # ±monomial: only exponents grow
    coefficient_bits = exponent * (max(map(_bits, coefficients)) + math.log2(count) + 1)
    if coefficient_bits > _MOST_COEFFICIENT_BITS:
        return math.inf
    if count == 1:
        return coefficient_bits
    return coefficient_bits * math.exp(min(_log_terms(p, exponent, count), 700.0))


def _log_terms(p: Poly | IntegerPoly, exponent: int, count: int) -> float:
    """The log of an upper bound on the number of terms of p**exponent (count terms): the
    smaller of the multinomial count and the dense count Π(exponent·degree + 1) over the
    variables. The dense count is at least exponent·(total degree) + 1, so p's degrees, slow
    to read, are read only when that does not already exceed the multinomial count."""
    multinomial = math.lgamma(exponent + count) - math.lgamma(exponent + 1) - math.lgamma(count)
    if math.log(exponent * int(p.total_degree()) + 1) >= multinomial:
        return multinomial
    return min(multinomial, sum(math.log(exponent * int(d) + 1) for d in p.degrees()))


def _bits(value: flint_scalar) -> int:
    if isinstance(value, flint.fmpz):
        return int(value.bit_length())
    assert isinstance(value, flint.fmpq)
    return max(int(value.p.bit_length()), int(value.q.bit_length()))


# Each round removes one root; the cap only guards against a sum of many roots.
_MOST_ROUNDS = 32


def _by_degree(p: Poly, generator: int) -> dict[int, Poly]:
    """{k: p_k} with p = Σ p_k·g^k, the p_k free of the generator g."""
    parts: dict[int, dict[tuple[int, ...], flint.fmpq]] = {}
    for monomial, coefficient in zip(p.monoms(), p.coeffs()):
        rest = monomial[:generator] + (0,) + monomial[generator + 1:]
        parts.setdefault(int(monomial[generator]), {})[rest] = coefficient
    context = p.context()
    return {k: context.from_dict(terms) for k, terms in parts.items()}


def variables_of(formula: Formula) -> list[str]:
    names: set[str] = set()
    walk(formula, lambda node: names.add(node.name) if node.kind is Kind.SYMBOL else None)
    return list(names)
