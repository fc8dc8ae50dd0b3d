"""The systems measured in-process: how each builds a workload and reads its result.

Each system turns a workload's recipe into the computation to time and converts the
result (outside the timed region) to the canonical form shared by all
systems: {exponent tuple: coefficient}, exponents in the workload's variable
order.  GiNaC runs in its own C++ driver (ginac_driver.cpp).
"""

from __future__ import annotations

import functools
import importlib
import operator
import sys
from pathlib import Path
from typing import Any, Callable

from workloads import Algebra


class System:
    name: str
    module_name: str

    def __init__(self):
        self.module = importlib.import_module(self.module_name)

    def before_run(self) -> None:
        """Called before every timed run, outside the timed region."""


class TreeSystem(System):
    """A system whose input is an unexpanded expression tree and whose work is `expand`."""

    def algebra(self) -> Algebra:
        raise NotImplementedError

    def prepare(self, workload, variables) -> Callable[[], Any]:
        tree = workload.recipe(self.algebra())
        return lambda: self.module.expand(tree)


class KalVora(TreeSystem):
    name, module_name = "KalVora", "_kalvora_core"

    def algebra(self) -> Algebra:
        kc = self.module
        # One node per variable, as a user writes x = Var("x") once.
        return Algebra(functools.cache(kc.Var), kc.Int, kc.Add, kc.Mul, lambda a, k: kc.Pow(a, kc.Int(k)))

    def canonical(self, result, variables) -> dict:
        return kalvora_polynomial(self.module, result, variables)


class SymPy(TreeSystem):
    name, module_name = "SymPy", "sympy"

    def algebra(self) -> Algebra:
        sp = self.module
        return Algebra(sp.Symbol, sp.Integer, operator.add, operator.mul, operator.pow)

    def before_run(self) -> None:
        # SymPy memoises expand; without this every run after the first is a cache hit.
        self.module.core.cache.clear_cache()

    def canonical(self, result, variables) -> dict:
        return sympy_polynomial(result, variables)


class SymEngine(TreeSystem):
    name, module_name = "SymEngine", "symengine"

    def algebra(self) -> Algebra:
        se = self.module
        return Algebra(se.Symbol, se.Integer, operator.add, operator.mul, operator.pow)

    def canonical(self, result, variables) -> dict:
        return sympy_polynomial(result._sympy_(), variables)


class Flint(System):
    """python-flint's fmpz_mpoly: polynomials are always expanded, so the arithmetic itself is the work."""

    name, module_name = "flint", "flint"

    def prepare(self, workload, variables) -> Callable[[], Any]:
        context = self.module.fmpz_mpoly_ctx.get(tuple(variables), "lex")
        gens = dict(zip(variables, context.gens()))
        algebra = Algebra(gens.__getitem__, int, operator.add, operator.mul, operator.pow)
        if workload.operands:  # fmpz_mpoly_mul alone
            p, q = workload.operands(algebra)
            return lambda: p * q
        return lambda: workload.recipe(algebra)

    def canonical(self, result, variables) -> dict:
        return {tuple(map(int, exponents)): int(c) for exponents, c in result.to_dict().items()}


class Textbook(TreeSystem):
    """kalvora.expand from this source tree: exact textbook expansion of a Formula, flint inside.

    e is always Napier's constant in a Formula, so the variable named e is spelt u here.
    """

    name, module_name = "KalVora textbook", "kalvora"
    SPELLING = {"e": "u"}

    def __init__(self):
        sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
        super().__init__()

    def algebra(self) -> Algebra:
        kv = self.module
        name = functools.cache(lambda v: kv.symbol(self.SPELLING.get(v, v)))
        return Algebra(name, kv.Formula, operator.add, operator.mul, operator.pow)

    def canonical(self, result, variables) -> dict:
        return formula_polynomial(self.module, result, [self.SPELLING.get(v, v) for v in variables])


class TextbookLatex(Textbook):
    """kalvora.latex of the textbook expansion, which is made outside the timed region."""

    name = "KalVora textbook latex"

    def prepare(self, workload, variables) -> Callable[[], Any]:
        self.expanded = self.module.expand(workload.recipe(self.algebra()))
        return lambda: self.module.latex(self.expanded)

    def canonical(self, result, variables) -> dict:
        return super().canonical(self.expanded, variables)


class TextbookTerms(Textbook):
    """kalvora.expand followed by reading every term (`args`), which a result makes on first use."""

    name = "KalVora textbook terms"

    def prepare(self, workload, variables) -> Callable[[], Any]:
        tree = workload.recipe(self.algebra())

        def expand_and_read():
            result = self.module.expand(tree)
            result.args
            return result

        return expand_and_read


SYSTEMS = {cls.name: cls for cls in (KalVora, SymPy, SymEngine, Flint, Textbook, TextbookLatex, TextbookTerms)}


def formula_polynomial(kv, result, variables) -> dict:
    """Reads a textbook sum of terms c, c*product or product, where a factor is v or v^k."""
    Kind = kv.Kind
    position = {v: i for i, v in enumerate(variables)}
    polynomial: dict = {}
    for term in result.args if result.kind is Kind.ADD else (result,):
        factors = list(term.args) if term.kind is Kind.MUL else [term]
        coefficient = factors.pop(0).value if factors[0].kind is Kind.NUMBER else 1
        exponents = [0] * len(variables)
        for factor in factors:
            base, power = (factor.args[0], factor.args[1].value) if factor.kind is Kind.POW else (factor, 1)
            exponents[position[base.name]] = power
        polynomial[tuple(exponents)] = coefficient
    return polynomial


def sympy_polynomial(expr, variables) -> dict:
    import sympy

    poly = sympy.Poly(expr, *[sympy.Symbol(v) for v in variables])
    return {exponents: int(c) for exponents, c in poly.as_dict().items()}


def kalvora_polynomial(kc, result, variables) -> dict:
    """Reads KalVora's collected sum: a left-nested Add chain of terms c, c*product, -product or product.

    Anything else (another node kind, a repeated variable or monomial) is
    reported as an error rather than read loosely.  Iterative, since results
    can be long chains.
    """
    position = {v: i for i, v in enumerate(variables)}
    polynomial: dict = {}
    for term in left_chain(result, kc.Add):
        coefficient, factors = split_coefficient(kc, term)
        exponents = [0] * len(variables)
        for factor in factors:
            name, power = read_factor(kc, factor)
            if exponents[position[name]]:
                raise ValueError(f"variable {name} repeated in term {term.to_string()}")
            exponents[position[name]] = power
        if tuple(exponents) in polynomial:
            raise ValueError(f"monomial {term.to_string()} appears twice")
        polynomial[tuple(exponents)] = coefficient
    return polynomial


def left_chain(node, kind) -> list:
    """The operands of a left-nested chain of `kind` nodes, leftmost first."""
    rights = []
    while isinstance(node, kind):
        rights.append(node.right())
        node = node.left()
    return [node, *reversed(rights)]


def split_coefficient(kc, term) -> tuple[int, list]:
    if isinstance(term, kc.Int):
        return term.value(), []
    if isinstance(term, kc.Neg):
        return -1, left_chain(term.operand(), kc.Mul)
    if isinstance(term, kc.Mul) and isinstance(term.left(), kc.Int):
        return term.left().value(), left_chain(term.right(), kc.Mul)
    return 1, left_chain(term, kc.Mul)


def read_factor(kc, factor) -> tuple[str, int]:
    if isinstance(factor, kc.Var):
        return factor.name(), 1
    if isinstance(factor, kc.Pow) and isinstance(factor.base(), kc.Var) and isinstance(factor.exp(), kc.Int):
        return factor.base().name(), factor.exp().value()
    raise ValueError(f"unexpected factor {factor.to_string()}")
