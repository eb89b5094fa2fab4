"""A model as a formula in the data's own units: the folded form the node types build,
its text, its SymPy expression, and the text evaluated with NumPy.

Each node type (``_nodes``) builds a ``Sum``, ``a*t + b*u + ... + c`` over terms, from its
parameters and its sources' sums. Building folds what can be folded: a register's scaling,
a linear node's weights and bias and the output's scaling back all end up in one
coefficient per term, and a coefficient of a lookup goes into its table. Every term knows
the bounds of its values, carried by interval arithmetic from the inputs' ranges, so a
linear node's clamp is written only where its argument can leave [-1, 1]: never left out
where it can matter, now and then written where it cannot.

The text is a Python expression: numbers, column names (quoted where they are not Python
identifiers, as ``'unit price'``), ``+ - * / **``, and calls of ``exp``, ``log``,
``sqrt``, ``tanh``, ``sin``, ``sign``, ``clip(v, low, high)`` and
``lookup(column, {category: weight, ...})``: the weight of the row's category, 0.0 for a
category not in the table. ``evaluate_formula`` computes it with NumPy.
"""
from __future__ import annotations

import ast
import keyword
import math
import unicodedata
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from . import _data

Array = NDArray[np.float64]
Bounds = Tuple[float, float]
Number = Callable[[float], str]  # how a number is written
Symbol = Callable[[str], Any]  # the SymPy symbol of a name

_EVERYWHERE: Bounds = (-math.inf, math.inf)
# How far past [-1, 1] a clamp's argument may reach, by the rounding of the folding
# alone, and still be left out: far below what float32 arithmetic tells apart.
_SLACK = 2.0**-30


def _increasing(f: Callable[[float], float]) -> Callable[[Bounds], Bounds]:
    return lambda b: (f(b[0]), f(b[1]))


def _exp(v: float) -> float:
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def _sine_bounds(b: Bounds) -> Bounds:
    low, high = b
    if not (math.isfinite(low) and math.isfinite(high)) or high - low >= 2 * math.pi:
        return (-1.0, 1.0)
    values = [math.sin(low), math.sin(high)]
    turn = 2 * math.pi
    for peak in (math.pi / 2, -math.pi / 2):  # a maximum or a minimum inside
        if math.floor((high - peak) / turn) >= math.ceil((low - peak) / turn):
            values.append(math.sin(peak))
    return (min(values), max(values))


def _unknown(b: Bounds) -> Bounds:
    return _EVERYWHERE


def _reciprocal(v: Array) -> Array:
    out: Array = 1.0 / v
    return out


@dataclass(frozen=True)
class Function:
    """A function of one argument a formula may hold: how it is written, computed with
    NumPy and with SymPy, and the bounds of its values from those of its argument."""

    name: str
    written: str  # "{}" stands for the argument
    numpy: Callable[[Array], Array]
    sympy: Callable[[Any, Any], Any]  # (the sympy module, the argument)
    bounds: Callable[[Bounds], Bounds]

    @property
    def call(self) -> bool:
        """Whether it is written as a call, which delimits its argument."""
        return self.written == self.name + "({})"


FUNCTIONS: Dict[str, Function] = {f.name: f for f in (
    Function("tanh", "tanh({})", np.tanh, lambda sp, a: sp.tanh(a), _increasing(math.tanh)),
    Function("sin", "sin({})", np.sin, lambda sp, a: sp.sin(a), _sine_bounds),
    Function("exp", "exp({})", np.exp, lambda sp, a: sp.exp(a), _increasing(_exp)),
    Function("log", "log({})", np.log, lambda sp, a: sp.log(a), _unknown),
    Function("sqrt", "sqrt({})", np.sqrt, lambda sp, a: sp.sqrt(a), _unknown),
    Function("inv", "1/{}", _reciprocal, lambda sp, a: 1 / a, _unknown),
)}


def quote(name: str) -> str:
    """A column's name as the formula writes it: bare when Python reads it as that name,
    else as a string literal."""
    if (name.isidentifier() and not keyword.iskeyword(name)
            and unicodedata.normalize("NFKC", name) == name):
        return name
    return repr(name)


def _key(value: Any) -> str:
    """A category as a Python literal."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("1e999" if value > 0 else "-1e999")
    return repr(value)


def indicator(name: str, category: Any) -> str:
    """The name of the SymPy symbol that is 1 on a column's rows of one category."""
    return f"[{quote(name)} == {_key(category)}]"


def number_format(digits: Optional[int]) -> Number:
    """Numbers in full (the shortest text that reads back to the same double), or with
    ``digits`` significant digits."""
    def number(value: float) -> str:
        if math.isinf(value):  # a literal Python reads as infinity
            return "1e999" if value > 0 else "-1e999"
        return repr(float(value)) if digits is None else f"{value:.{digits}g}"
    return number


class Term:
    """Something a sum multiplies by a coefficient: a column, a call, a product."""

    # Written as one operand: no parentheses needed around it, even before "**".
    atomic = True

    def bounds(self) -> Bounds:
        raise NotImplementedError

    def text(self, number: Number) -> str:
        raise NotImplementedError

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        raise NotImplementedError


@dataclass(frozen=True)
class Sum:
    """``sum(k * term) + const``; build it with ``make`` (or the operators), which folds."""

    terms: Tuple[Tuple[float, Term], ...]
    const: float

    @staticmethod
    def of(term: Term) -> Sum:
        return Sum(((1.0, term),), 0.0)

    @staticmethod
    def make(pairs: Iterable[Tuple[float, Term]], const: float) -> Sum:
        """The sum of ``pairs`` and ``const``, folded: equal terms merged, a coefficient of
        a lookup put into its table (lookups of one column merged), zero terms dropped, and
        a clamp that is the only term taking the coefficient and the constant in."""
        merged: Dict[Any, Tuple[float, Term]] = {}
        for k, term in pairs:
            if k == 0:
                continue
            if isinstance(term, Lookup):
                key: Any = (Lookup, term.column)
                term = term.scaled(k)
                if key in merged:
                    term = term.plus(merged[key][1])  # type: ignore[arg-type]
                merged[key] = (1.0, term)
            else:
                merged[term] = (merged[term][0] + k if term in merged else k, term)
        terms = tuple((k, t) for k, t in merged.values()
                      if k != 0 and not (isinstance(t, Lookup) and t.vanishes))
        if len(terms) == 1:
            k, only = terms[0]
            if isinstance(only, Clip) and only.folds and (k, const) != (1.0, 0.0):
                return Sum.of(only.mapped(k, const))
        return Sum(terms, float(const))

    def __add__(self, other: Union[Sum, float]) -> Sum:
        if isinstance(other, Sum):
            return Sum.make(self.terms + other.terms, self.const + other.const)
        return Sum.make(self.terms, self.const + other)

    def __sub__(self, other: float) -> Sum:
        return self + -other

    def __mul__(self, k: float) -> Sum:
        return Sum.make(((c * k, t) for c, t in self.terms), self.const * k)

    @property
    def bare(self) -> Optional[Term]:
        """The term this sum is, with coefficient 1 and no constant."""
        if len(self.terms) == 1 and self.terms[0][0] == 1.0 and self.const == 0:
            return self.terms[0][1]
        return None

    def monic(self) -> Tuple[float, Sum]:
        """(k, s) with self = k * s, and s's one term's coefficient 1 if it has one term."""
        if len(self.terms) != 1:
            return 1.0, self
        k, term = self.terms[0]
        return k, Sum(((1.0, term),), self.const / k)

    def bounds(self) -> Bounds:
        low = high = self.const
        for k, term in self.terms:
            a, b = term.bounds()
            low, high = low + min(k * a, k * b), high + max(k * a, k * b)
        return (low, high) if not (math.isnan(low) or math.isnan(high)) else _EVERYWHERE

    def text(self, number: Number) -> str:
        parts: List[Tuple[bool, str]] = []
        for k, term in self.terms:
            body, size = term.text(number), number(abs(k))
            parts.append((k < 0, body if abs(k) == 1 or size == "1" else f"{size}*{body}"))
        if self.const != 0 or not parts:
            parts.append((self.const < 0, number(abs(self.const))))
        text = ("-" if parts[0][0] else "") + parts[0][1]
        return text + "".join(f" {'-' if minus else '+'} {p}" for minus, p in parts[1:])

    def operand(self, number: Number) -> str:
        """The text as one operand of ``*`` or ``**``."""
        term = self.bare
        text = self.text(number)
        return text if term is not None and term.atomic else f"({text})"

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        parts = [t.sympy(sp, symbol) if k == 1 else sp.Float(k) * t.sympy(sp, symbol)
                 for k, t in self.terms]
        if self.const != 0 or not parts:
            parts.append(sp.Float(self.const))
        return sp.Add(*parts)


@dataclass(frozen=True)
class Var(Term):
    """A column of the data, as it is."""

    name: str

    def bounds(self) -> Bounds:
        return _EVERYWHERE

    def text(self, number: Number) -> str:
        return quote(self.name)

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        return symbol(self.name)


@dataclass(frozen=True)
class Clip(Term):
    """``arg`` clamped to [low, high]. ``folds``: an affine map around it goes in (a
    node's clamp); an input's clamp keeps its range in the column's units instead."""

    arg: Sum
    low: float
    high: float
    folds: bool = True

    def mapped(self, k: float, c: float) -> Clip:
        """``k * self + c`` as one clamp."""
        ends = sorted((self.low * k + c, self.high * k + c))
        return Clip(self.arg * k + c, ends[0], ends[1], self.folds)

    def bounds(self) -> Bounds:
        a, b = self.arg.bounds()
        return (min(max(a, self.low), self.high), max(min(b, self.high), self.low))

    def text(self, number: Number) -> str:
        return f"clip({self.arg.text(number)}, {number(self.low)}, {number(self.high)})"

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        return sp.Max(sp.Float(self.low), sp.Min(sp.Float(self.high), self.arg.sympy(sp, symbol)))


@dataclass(frozen=True)
class Sign(Term):
    """-1, 0 or 1 after the sign of ``arg``."""

    arg: Sum

    def bounds(self) -> Bounds:
        return (-1.0, 1.0)

    def text(self, number: Number) -> str:
        return f"sign({self.arg.text(number)})"

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        return sp.sign(self.arg.sympy(sp, symbol))


@dataclass(frozen=True)
class Lookup(Term):
    """The weight of a categorical column's category; 0.0 for one not in the table."""

    column: str
    table: Tuple[Tuple[Any, float], ...]

    @property
    def vanishes(self) -> bool:
        return all(w == 0 for _, w in self.table)

    def scaled(self, k: float) -> Lookup:
        return Lookup(self.column, tuple((v, w * k) for v, w in self.table))

    def plus(self, other: Lookup) -> Lookup:
        weights = dict(other.table)
        for v, w in self.table:
            weights[v] = weights.get(v, 0.0) + w
        return Lookup(self.column, tuple(weights.items()))

    def bounds(self) -> Bounds:
        weights = [0.0] + [w for _, w in self.table]  # 0.0: a category not in the table
        return (min(weights), max(weights))

    def text(self, number: Number) -> str:
        table = ", ".join(f"{_key(v)}: {number(w)}" for v, w in self.table)
        return f"lookup({quote(self.column)}, {{{table}}})"

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        # One indicator per category: 1 on its rows, 0 elsewhere; all 0 for a category
        # not in the table, which so reads 0.0.
        return sp.Add(*(sp.Float(w) * symbol(indicator(self.column, v)) for v, w in self.table))


@dataclass(frozen=True)
class Apply(Term):
    """One of ``FUNCTIONS`` of a sum."""

    function: str
    arg: Sum

    @property
    def atomic(self) -> bool:  # type: ignore[override]
        return FUNCTIONS[self.function].call

    def bounds(self) -> Bounds:
        return FUNCTIONS[self.function].bounds(self.arg.bounds())

    def text(self, number: Number) -> str:
        f = FUNCTIONS[self.function]
        return f.written.format(self.arg.text(number) if f.call else self.arg.operand(number))

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        return FUNCTIONS[self.function].sympy(sp, self.arg.sympy(sp, symbol))


@dataclass(frozen=True)
class Square(Term):
    arg: Sum
    atomic = False

    def bounds(self) -> Bounds:
        a, b = self.arg.bounds()
        high = max(a * a, b * b)
        return (0.0 if a <= 0 <= b else min(a * a, b * b), high)

    def text(self, number: Number) -> str:
        return f"{self.arg.operand(number)}**2"

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        return self.arg.sympy(sp, symbol) ** 2


@dataclass(frozen=True)
class Product(Term):
    left: Sum
    right: Sum
    atomic = False

    def bounds(self) -> Bounds:
        (a, b), (c, d) = self.left.bounds(), self.right.bounds()
        ends = [a * c, a * d, b * c, b * d]
        return _EVERYWHERE if any(map(math.isnan, ends)) else (min(ends), max(ends))

    def text(self, number: Number) -> str:
        return f"{self.left.operand(number)}*{self.right.operand(number)}"

    def sympy(self, sp: Any, symbol: Symbol) -> Any:
        return self.left.sympy(sp, symbol) * self.right.sympy(sp, symbol)


# ---- what the node types build with ----------------------------------------------------

def constant(value: float) -> Sum:
    return Sum((), float(value))


def column(name: str, function: str = "") -> Sum:
    """A column, through one of ``FUNCTIONS`` ("" for none)."""
    return apply(function, Sum.of(Var(name)))


def apply(function: str, arg: Sum) -> Sum:
    """``function(arg)``; ``arg`` itself for ""; a number for a constant argument."""
    if not function:
        return arg
    if not arg.terms:
        with np.errstate(all="ignore"):
            return constant(float(FUNCTIONS[function].numpy(np.array(arg.const))))
    return Sum.of(Apply(function, arg))


def clip(arg: Sum, low: float, high: float, folds: bool = True) -> Sum:
    """``arg`` clamped to [low, high], unless its bounds show it never leaves them."""
    a, b = arg.bounds()
    if a >= low - _SLACK * abs(low) and b <= high + _SLACK * abs(high):
        return arg
    return Sum.of(Clip(arg, low, high, folds))


def input_clip(arg: Sum, low: float, high: float) -> Sum:
    """An input clamped to its learned range, written in the column's units."""
    return Sum.of(Clip(arg, low, high, folds=False))


def sign(arg: Sum) -> Sum:
    return Sum.of(Sign(arg))


def lookup(name: str, table: Sequence[Tuple[Any, float]]) -> Sum:
    return Sum.make([(1.0, Lookup(name, tuple(table)))], 0.0)


def square(arg: Sum) -> Sum:
    if not arg.terms:
        return constant(arg.const * arg.const)
    k, base = arg.monic()
    return Sum.make([(k * k, Square(base))], 0.0)


def product(left: Sum, right: Sum) -> Sum:
    if not left.terms:
        return right * left.const
    if not right.terms:
        return left * right.const
    (k, a), (m, b) = left.monic(), right.monic()
    return Sum.make([(k * m, Square(a) if a == b else Product(a, b))], 0.0)


def to_sympy(formula: Sum) -> Any:
    try:
        import sympy  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ImportError("Model.to_sympy needs SymPy, which is not installed: install the "
                          "extra sympy (pip install 'tolq[sympy]'; from a clone of tolq, "
                          "pip install '.[sympy]')") from None
    return formula.sympy(sympy, lambda name: sympy.Symbol(name, real=True))


# ---- the text evaluated with NumPy ------------------------------------------------------

_CALLS: Dict[str, Tuple[int, Callable[..., Any]]] = {
    **{f.name: (1, f.numpy) for f in FUNCTIONS.values() if f.call},
    "sign": (1, np.sign), "clip": (3, np.clip)}
_BINARY: Dict[type, Callable[[Any, Any], Any]] = {
    ast.Add: np.add, ast.Sub: np.subtract, ast.Mult: np.multiply, ast.Div: np.divide,
    ast.Pow: np.power}


class _Evaluator:
    def __init__(self, X: Any) -> None:
        self.X = X
        self.numbers: Dict[str, Array] = {}

    def fail(self, node: ast.AST, what: str) -> ValueError:
        return ValueError(f"not a tolq formula: {what} at offset "
                          f"{getattr(node, 'col_offset', 0)}")

    def column(self, name: str) -> Array:
        if name not in self.numbers:
            self.numbers[name] = _data.numeric(_data.get_column(self.X, name),
                                               f"column {name!r}", "zero")
        return self.numbers[name]

    def name_of(self, node: ast.AST) -> str:
        if isinstance(node, ast.Name):
            return node.id
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return node.value
        raise self.fail(node, "expected a column name")

    def value(self, node: ast.AST) -> Any:
        if isinstance(node, ast.Constant):
            if isinstance(node.value, str):
                return self.column(node.value)
            if isinstance(node.value, (int, float)) and not isinstance(node.value, bool):
                return float(node.value)
            raise self.fail(node, f"unexpected {node.value!r}")
        if isinstance(node, ast.Name):
            return self.column(node.id)
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            operand = self.value(node.operand)
            return -operand if isinstance(node.op, ast.USub) else operand
        if isinstance(node, ast.BinOp) and type(node.op) in _BINARY:
            return _BINARY[type(node.op)](self.value(node.left), self.value(node.right))
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and not node.keywords:
            if node.func.id == "lookup" and len(node.args) == 2:
                return self.lookup(self.name_of(node.args[0]), node.args[1])
            arity, function = _CALLS.get(node.func.id, (-1, np.negative))
            if len(node.args) == arity:
                return function(*(self.value(arg) for arg in node.args))
            raise self.fail(node, f"unknown function {node.func.id!r} or wrong arguments")
        raise self.fail(node, f"unexpected {type(node).__name__}")

    def lookup(self, name: str, node: ast.AST) -> Array:
        if not isinstance(node, ast.Dict):
            raise self.fail(node, "lookup takes a column and a dict")
        try:
            table = {ast.literal_eval(k): float(ast.literal_eval(v))  # type: ignore[arg-type]
                     for k, v in zip(node.keys, node.values)}
        except (ValueError, TypeError, SyntaxError):
            raise self.fail(node, "a lookup table holds literals only") from None
        values = _data.as_array(_data.get_column(self.X, name), f"column {name!r}").tolist()
        try:
            weights = [table.get(None if _data.is_missing(v) else v, 0.0) for v in values]
        except TypeError:
            raise _data.DataError(f"column {name!r} holds a value that cannot be a "
                                  "category") from None
        return np.array(weights, dtype=np.float64)


def evaluate_formula(formula: str, X: Any) -> Array:
    """The values of ``formula`` (the text ``Model.formula`` gives) for the rows of ``X``,
    computed in float64 with NumPy; ``X`` as ``Model.predict`` takes it.

    A missing number gives NaN; a missing category reads as the category ``None`` when
    the table has one (a model built with missing="mean"), else as one not in the table.
    Only the notation ``Model.formula`` writes is read: no other Python runs.
    """
    try:
        tree = ast.parse(formula.strip(), mode="eval")
    except SyntaxError as exc:
        raise ValueError(f"cannot read the formula: {exc.msg}") from None
    names = _data.column_names(X)
    rows = len(_data.as_array(_data.get_column(X, names[0]), "X")) if names else 0
    with np.errstate(all="ignore"):
        values = _Evaluator(X).value(tree.body)
    return np.array(np.broadcast_to(np.asarray(values, dtype=np.float64), (rows,)))
