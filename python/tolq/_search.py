"""``search``: find the expression of a model by evolving a population of graphs.

A candidate is an expression tree over the input columns (each numeric column as it is
and through the transforms its values allow: ``log(x)``, ``inv(x)``, ``sqrt(x)``) and a
transform of the target (none, ``log`` or ``inv``, where y allows). The search runs in
named steps (``_Search``):

1. ``first_generation``: every function of one input and of two, and the linear models
   that a greedy least-squares selection of inputs proposes for each target transform.
2. ``next_generation``: one-step extensions of the front, and children bred from the
   best by mutation and crossover. Each candidate is trained online by the module for a
   fixed number of steps on the training rows, its output's scale and offset solved by
   least squares, and it is scored by its mean squared error on the validation rows.
   Shapes are told apart by their canonical expression text; none is trained twice.
3. ``finish``: every shape on the front of validation loss against size is refit
   precisely (several starts, dead nodes revived, a falling learning rate, the output's
   scale and offset solved again); the most accurate shapes are cross-validated over
   all rows, and the chosen one is refit on all rows (``SearchResult.best``).

All random choices are made here, in the calling thread, from generators seeded by
``random_state`` and each candidate's expression; only training runs in parallel, and a
job's result depends on its job alone. That is why the result is the same for any number
of threads and on a Dask cluster.
"""
from __future__ import annotations

import functools
import json
import math
import os
import secrets
import shutil
import sys
import time
import zlib
from dataclasses import dataclass, field
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple,
                    Union)

import numpy as np
from numpy.typing import NDArray

from . import _data, _transforms
from ._expression import quote_name, transformed_name
from ._format import FormatError, check_arg
from ._model import Internals, Model, Part, column_key
from ._nodes import AFFINE, FUNCTIONS, NODE_TYPES
from ._parallel import Runner

# An expression tree: an input's text ("x", "log(x)"), or (function, arguments).
Tree = Union[str, Tuple[str, Tuple[Any, ...]]]
# An input column converted once: numbers, or a categorical column's distinct values.
_Column = Union[NDArray[Any], _data.Distinct]
Rows = NDArray[np.intp]

# Candidates per generation. Fixed, so that the result does not depend on the workers.
POPULATION = 48
# Share of children bred by crossover (the rest by mutation alone).
CROSSOVER = 0.4
# Tournament size for choosing a parent.
TOURNAMENT = 2
# Online steps a candidate trains for: enough for small graphs to settle.
STEPS = 20_000
# Generations without a better front after which the search stops, when neither
# ``generations`` nor ``time_budget`` is given; and the most it runs then.
PATIENCE = 5
MAX_GENERATIONS = 40
# Folds of the cross-validation that chooses ``best``, and the shapes it scores.
FOLDS = 5
CHOICE_SHAPES = 8
# Losses the choice takes for equal: within this share of the lowest, or within this share
# of the targets' variance (an R² within 1e-4: a term that adds less is not worth it).
TIE = 1e-3
TIE_R2 = 1e-4
# The greedy selection's linear models that join them.
PROPOSALS = 3
# The precise fit: starts of the shape refit on every row (an even number keeps two
# threads busy) and of each front shape on the training rows, and the learning-rate
# levels it steps down through.
STARTS = 4
REFIT_STARTS = 2
LEVELS = (10, 200, 100_000)
# A lighter schedule for the cross-validation, which only ranks the shapes: half the steps
# at the start and at each of the two slowest levels.
LIGHT_LEVELS = (200, 100_000)
# Rows the search works on at most; the chosen shape is refit on all of them.
SEARCH_ROWS = 20_000
# What a start of a precise fit costs in candidates' trainings, and one of the lighter
# schedule of the cross-validation (steps, and the least squares after each stage).
PRECISE_COST = 7.0
LIGHT_COST = 3.0
# Rows a candidate's least squares are solved on.
SOLVE_ROWS = 512
# Share of ``time_budget`` the generations may use at most; the rest is for ``finish``.
SEARCH_SHARE = 0.85
# What the final fits cost, in candidates' trainings, to leave time for them.
FINISH_COST = 150


# ---- expression trees -------------------------------------------------------------------

@functools.lru_cache(maxsize=65536)
def render(tree: Tree) -> str:
    """The expression text of ``tree``."""
    if isinstance(tree, str):
        return tree
    fn, args = tree
    return f"{fn}({', '.join(render(a) for a in args)})"


@functools.lru_cache(maxsize=65536)
def _canonical(tree: Tree) -> Tree:
    """One spelling per shape: a node of an associative type (linear) feeding one of the
    same type adds nothing, and the arguments of a symmetric type may trade places."""
    if isinstance(tree, str):
        return tree
    fn, args = tree
    parts = tuple(_canonical(a) for a in args)
    kind = NODE_TYPES[fn]
    if kind.associative:
        flat: List[Tree] = []
        for a in parts:
            if not isinstance(a, str) and a[0] == fn and len(parts) + len(a[1]) - 1 <= 2:
                flat.extend(a[1])
            else:
                flat.append(a)
        parts = tuple(flat)
    if len(parts) == 2 and kind.symmetric:
        parts = tuple(sorted(parts, key=render))
    return (fn, parts)


@functools.lru_cache(maxsize=65536)
def _node_count(tree: Tree) -> int:
    """Graph nodes besides the output: the calls plus the distinct inputs."""
    calls = 0
    names = set()
    stack = [tree]
    while stack:
        t = stack.pop()
        if isinstance(t, str):
            names.add(t)
        else:
            calls += 1
            stack.extend(t[1])
    return calls + len(names)


def _paths(tree: Tree, at: Tuple[int, ...] = ()) -> List[Tuple[int, ...]]:
    out = [at]
    if not isinstance(tree, str):
        for i, a in enumerate(tree[1]):
            out.extend(_paths(a, at + (i,)))
    return out


def _get(tree: Tree, path: Tuple[int, ...]) -> Tree:
    for i in path:
        assert not isinstance(tree, str)
        tree = tree[1][i]
    return tree


def _put(tree: Tree, path: Tuple[int, ...], new: Tree) -> Tree:
    if not path:
        return new
    assert not isinstance(tree, str)
    fn, args = tree
    i = path[0]
    return (fn, args[:i] + (_put(args[i], path[1:], new),) + args[i + 1:])


def _leaves(tree: Tree) -> set[str]:
    return {tree} if isinstance(tree, str) else set().union(*(_leaves(a) for a in tree[1]))


@dataclass(frozen=True)
class Shape:
    """A candidate: an expression tree and the transform of the target ("" for none)."""

    tree: Tree
    target: str = ""

    @property
    def text(self) -> str:
        return render(self.tree)

    @property
    def key(self) -> str:
        """The canonical text that tells shapes apart."""
        return f"{self.target}: {self.text}" if self.target else self.text

    def canonical(self) -> Shape:
        return Shape(_canonical(self.tree), self.target)


class _Breeder:
    """The random parts of the search: new trees, mutations, crossover."""

    def __init__(self, rng: np.random.Generator, leaves: Dict[str, Tuple[str, str]],
                 functions: Sequence[str], targets: Sequence[str], max_nodes: int) -> None:
        self.rng = rng
        self.columns = dict(leaves)  # input text -> (column, transform)
        self.leaves = list(leaves)
        self.functions = list(functions)
        self.targets = list(targets)
        self.max_nodes = max_nodes
        self.by_arity = {k: [f for f in functions if FUNCTIONS[f][0] <= k <= FUNCTIONS[f][1]]
                         for k in (1, 2)}

    def pick(self, items: Sequence[Any]) -> Any:
        return items[int(self.rng.integers(len(items)))]

    def leaf(self) -> Tree:
        return str(self.pick(self.leaves))

    def call(self, fn: str, first: Tree, depth: int) -> Tree:
        low, high = FUNCTIONS[fn]
        arity = low if low == high else int(self.rng.integers(low, high + 1))
        return (fn, (first,) if arity == 1 else (first, self.grow(depth)))

    def grow(self, depth: int) -> Tree:
        if depth <= 0 or self.rng.random() < 0.3:
            return self.leaf()
        return self.call(self.pick(self.functions), self.grow(depth - 1), depth - 1)

    def smallest(self) -> List[Shape]:
        """Every function of one input and of two inputs of different columns, for each
        target transform, shuffled, at most ``4 * POPULATION`` of them."""
        trees: List[Tree] = [(fn, (c,)) for fn in self.by_arity[1] for c in self.leaves]
        trees += [(fn, (a, b)) for fn in self.by_arity[2]
                  for i, a in enumerate(self.leaves) for b in self.leaves[i + 1:]
                  if self.columns[a][0] != self.columns[b][0]]
        shapes = [Shape(t, target) for target in self.targets for t in trees]
        return [shapes[i] for i in self.rng.permutation(len(shapes))[:4 * POPULATION]]

    def terms(self, shape: Shape) -> List[Shape]:
        """``shape`` plus one more term: an input, or a one-argument function of one."""
        added: List[Tree] = list(self.leaves)
        added += [(fn, (c,)) for fn in self.by_arity[1] for c in self.leaves if fn != AFFINE]
        return [Shape((AFFINE, (shape.tree, added[i])), shape.target)
                for i in self.rng.permutation(len(added))]

    def mutate(self, shape: Shape) -> Shape:
        if len(self.targets) > 1 and self.rng.random() < 0.1:  # the same tree, another target
            return Shape(shape.tree, self.pick([t for t in self.targets if t != shape.target]))
        tree = shape.tree
        path = self.pick(_paths(tree))
        node = _get(tree, path)
        # Wrapping is drawn most often: it is how a good shape gains the call it lacks.
        kind = int(self.rng.choice(4, p=(0.25, 0.2, 0.35, 0.2)))
        if kind == 0:  # change one node, keeping its arguments
            if isinstance(node, str):
                new: Tree = self.leaf()
            else:
                new = (self.pick(self.by_arity[len(node[1])] or [node[0]]), node[1])
        elif kind == 1:  # a fresh subtree
            new = self.grow(2)
        elif kind == 2:  # wrap the node in a call
            new = self.call(self.pick(self.functions), node, 1)
        else:  # hoist: a call gives way to one of its arguments
            new = node if isinstance(node, str) else self.pick(node[1])
        return Shape(_put(tree, path, new), shape.target)

    def cross(self, a: Shape, b: Shape) -> Shape:
        tree = _put(a.tree, self.pick(_paths(a.tree)), _get(b.tree, self.pick(_paths(b.tree))))
        return Shape(tree, a.target)

    def fits(self, shape: Shape) -> bool:
        return _node_count(shape.tree) <= self.max_nodes


def _stepwise(leaves: Dict[str, NDArray[np.float64]], column_of: Dict[str, Tuple[str, str]],
              y: NDArray[np.float64], most: int) -> List[str]:
    """Inputs chosen one at a time, each the one that most lowers the squared error of a
    least-squares fit of ``y`` on those chosen so far (one input per column)."""
    names = list(leaves)
    columns = np.column_stack([leaves[n] for n in names]) if names else np.empty((len(y), 0))
    chosen: List[int] = []
    for _ in range(min(most, len(names))):
        best, best_error = -1, math.inf
        for j in range(len(names)):
            if j in chosen or any(column_of[names[j]][0] == column_of[names[c]][0]
                                  for c in chosen):
                continue
            a = np.column_stack([columns[:, chosen + [j]], np.ones(len(y))])
            coef = _least_squares(a, y)
            error = float(np.sum((a @ coef - y) ** 2)) if coef is not None else math.inf
            if error < best_error:
                best, best_error = j, error
        if best < 0:
            break
        chosen.append(best)
    return [names[j] for j in chosen]


def _linear_chain(leaves: Sequence[str]) -> List[Tree]:
    """linear(a), linear(a, b), linear(linear(a, b), c), ...: one tree per prefix."""
    trees: List[Tree] = []
    tree: Optional[Tree] = None
    for i, leaf in enumerate(leaves):
        if tree is None:
            tree = (AFFINE, (leaf,))
        elif i == 1:
            tree = (AFFINE, (leaves[0], leaf))
        else:
            tree = (AFFINE, (tree, leaf))
        trees.append(tree)
    return trees


# ---- training one candidate -------------------------------------------------------------

@dataclass
class _Data:
    """What every job trains and is scored on; sent once to each Dask worker.

    ``rows`` names sets of rows: "train" and "valid" split the rows the search works on,
    "fold<k>" are the folds of the cross-validation over them and "rest<k>" the other
    folds, and "all" is every row.
    """

    target: str
    categorical: Tuple[str, ...]
    missing: str  # the models' policy for missing input values
    columns: Dict[str, _Column]  # every row, by column name
    leaves: Dict[str, Tuple[str, str]]  # the inputs offered: text -> (column, transform)
    y: NDArray[np.float64]
    rows: Dict[str, Rows]
    steps: int  # online steps of a candidate
    seed: int
    # What every job of a worker shares, computed once: converted columns, targets,
    # ranges and the rows of the online steps, for each set of rows.
    memo: Dict[Tuple[Any, ...], Any] = field(default_factory=dict)

    def __getstate__(self) -> Dict[str, Any]:
        # Workers fill their own: sending it would multiply the data.
        return dict(self.__dict__, memo={})

    def _memo(self, key: Tuple[Any, ...], make: Callable[[], Any]) -> Any:
        found = self.memo.get(key)
        if found is None:
            found = self.memo[key] = make()
        return found

    def cache(self, rows: str) -> Dict[Tuple[Any, ...], Any]:
        """The columns of a set of rows, keyed as a model looks converted columns up; the
        models add their transformed columns as they go."""
        take = self.rows[rows]
        return self._memo(("columns", rows), lambda: {  # type: ignore[no-any-return]
            column_key(k, isinstance(v, _data.Distinct), self.missing): _take(v, take)
            for k, v in self.columns.items()})

    def target_values(self, rows: str, transform: str) -> NDArray[np.float64]:
        values = self.y[self.rows[rows]]
        return self._memo(("target", rows, transform),  # type: ignore[no-any-return]
                          lambda: _transforms.apply(
            transform, values, "y") if transform else values)

    def ranges(self, rows: str, transform: str) -> Dict[str, Tuple[float, float]]:
        """The range of every numeric input and of the target over ``rows``, as a model
        would widen them, by register name ("" for the target)."""
        def make() -> Dict[str, Tuple[float, float]]:
            out = {"": _range(self.target_values(rows, transform))}
            for name, t in self.leaves.values():
                column = self.columns[name]
                if not isinstance(column, _data.Distinct):
                    values = column[self.rows[rows]]
                    key = transformed_name(name, t) if t else name
                    out[key] = _range(_transforms.apply(t, values, name) if t else values)
            return out
        return self._memo(("ranges", rows, transform), make)  # type: ignore[no-any-return]

    def sample(self, rows: str) -> str:
        """Rows to solve least squares and to compare starts on: ``rows`` itself, or the
        rows the search works on when ``rows`` are more (the final refit on many rows)."""
        return rows if len(self.rows[rows]) <= SEARCH_ROWS else "search"

    def steps_of(self, rows: str, steps: int) -> Rows:
        """The rows of ``steps`` online steps over ``rows``: the same for every job."""
        return self._memo(("steps", rows, steps), lambda: _steps_of(  # type: ignore[no-any-return]
            len(self.rows[rows]), steps, np.random.default_rng((self.seed, steps))))

    def tiled(self, rows: str, steps: int, key: str, column: NDArray[Any]) -> NDArray[Any]:
        return self._memo(("tiled", rows, steps, key),  # type: ignore[no-any-return]
                          lambda: column[self.steps_of(rows, steps)])


def _range(values: NDArray[np.float64]) -> Tuple[float, float]:
    if np.isnan(values).all():  # a column without a value: the model's own rule decides
        return math.nan, math.nan
    return float(np.float32(np.nanmin(values))), float(np.float32(np.nanmax(values)))


def _take(column: _Column, rows: Rows) -> _Column:
    return column.take(rows) if isinstance(column, _data.Distinct) else column[rows]


@dataclass(frozen=True)
class _Job:
    """Train ``shape`` on the rows ``fit`` and score it on ``score``: a candidate's
    training when ``starts`` is 0, else a precise fit with that many starts."""

    shape: Shape
    seed: int
    fit: str
    score: str
    starts: int = 0
    light: bool = False  # the lighter schedule of a precise fit


def _seed_of(key: str, random_state: int) -> int:
    # crc32, not hash(): str hashes differ from process to process.
    return (zlib.crc32(key.encode("utf-8")) ^ (random_state * 0x9E3779B1)) % 2**32


def _build(shape: Shape, data: _Data, seed: int, rate_level: int = 0) -> Model:
    used = {data.leaves[leaf][0] for leaf in _leaves(shape.tree)}
    model = Model(shape.text, data.target, tuple(c for c in data.categorical if c in used),
                  seed=seed, rate_level=rate_level, target_transform=shape.target or None,
                  missing=data.missing)
    for part in Internals(model).parts():
        if part.kind.search_start:
            part.node.state._from_dict(dict(part.kind.search_start))
    return model


def _steps_of(n: int, steps: int, rng: np.random.Generator) -> Rows:
    """Row indices for ``steps`` online steps: whole shuffled passes over the ``n`` rows,
    or, when there are more rows than steps, one pass over a random part of them."""
    if n >= steps:
        return rng.choice(n, steps, replace=False)
    return np.concatenate([rng.permutation(n) for _ in range(max(1, round(steps / n)))])


def _columns(model: Model, data: _Data, rows: str) -> Dict[str, NDArray[Any]]:
    """The model's input columns over ``rows``, as its graph reads them. The model is the
    job's own."""
    return Internals(model).rows(data.cache(rows))[0]


def _train(model: Model, data: _Data, rows: str, steps: int, solve: Optional[str] = None
           ) -> None:
    """``steps`` online steps on ``rows`` in one query, then least squares on the rows
    ``solve`` (by default ``rows``). A new model's ranges cover all of ``rows`` first."""
    transform = model.target_transform or ""
    inner = Internals(model)
    columns, new = inner.rows(data.cache(rows), learn=True, ranges=data.ranges(rows, transform))
    target = data.target_values(rows, transform)
    take = data.steps_of(rows, steps)
    tiled = {k: v[take] if v.dtype == np.int64 else data.tiled(rows, steps, k, v)
             for k, v in columns.items()}  # category codes are each model's own
    inner.learn(tiled, data.tiled(rows, steps, "\0" + transform, target), new)
    solve = solve or data.sample(rows)
    if solve != rows:
        columns = _columns(model, data, solve)
        target = data.target_values(solve, transform)
    _fit_output(model, columns, target)


def _fit_output(model: Model, columns: Dict[str, Any], target: NDArray[np.float64]) -> None:
    """Least squares where it is exact. When the output's source is a linear node, the
    output is an affine function of the activations that feed the linear nodes under it
    (while none clamps): solve its coefficients, spread them over those nodes so that
    none below the top can clamp, and set the output's range to the result's. When it is
    a product, the same for each factor, in turns (``_fit_product``). Else solve the
    output's scale and offset alone. Kept only when it lowers the squared error on
    ``target`` (the target as the graph learns it)."""
    inner = Internals(model)
    parts = inner.parts()
    top = parts[-1].sources[0]
    kind = parts[top].kind
    if not (kind.affine or kind.product):
        _fit_scale(model, columns, target, top)
        return
    acts = inner.activations(columns)
    if kind.product:
        _fit_product(model, parts, acts, target, top)
        return
    region = _linear_region(parts, top)
    leaves = sorted({j for i in region for j in parts[i].sources if j not in region})
    design = np.column_stack([acts[j] for j in leaves] + [np.ones_like(target)])
    coef = _least_squares(design, target)
    if coef is None:
        return
    before = float(np.mean((acts[-1] - target) ** 2))
    if not float(np.mean((design @ coef - target) ** 2)) < before:
        return
    mean, scale = _spread(parts, region, dict(zip(leaves, coef[:-1].tolist())),
                          float(coef[-1]), acts)
    _set_output(model, mean, scale, True)


def _fit_scale(model: Model, columns: Dict[str, Any], target: NDArray[np.float64],
               top: int) -> None:
    """The output's scale and offset alone, from the module's own predictions."""
    low, high = Internals(model).output_range()
    pred = model.graph._query(columns).astype(np.float64)
    a = 2.0 * (pred - low) / (high - low) - 1.0  # the top node's activation
    design = np.column_stack([a, np.ones_like(a)])
    coef = _least_squares(design, target)
    if coef is None or not np.mean((design @ coef - target) ** 2) < np.mean((pred - target) ** 2):
        return
    if coef[0] > 0 or _negate(Internals(model).parts(), top):
        _set_output(model, float(coef[1]), abs(float(coef[0])), True)


def _least_squares(design: NDArray[np.float64], target: NDArray[np.float64]
                   ) -> Optional[NDArray[np.float64]]:
    """The coefficients of the least-squares fit, through the normal equations (a few
    columns, many rows); None when the design holds a value that is not finite."""
    gram = design.T @ design
    if not np.isfinite(gram).all():
        return None
    moment = design.T @ target
    try:
        coef = np.asarray(np.linalg.solve(gram, moment), dtype=np.float64)
    except np.linalg.LinAlgError:  # the same input twice, a constant column
        coef = np.asarray(np.linalg.lstsq(gram, moment, rcond=None)[0], dtype=np.float64)
    return coef if np.isfinite(coef).all() else None


def _negate(parts: Sequence[Part], slot: int) -> bool:
    """Make the node in ``slot`` compute the negative of what it computes, where its type
    allows (a gaussian does not); True when done."""
    negate = parts[slot].kind.negate
    return negate is not None and negate(parts[slot].node, lambda src: _negate(parts, src))


def _linear_region(parts: Sequence[Part], top: int) -> List[int]:
    """The affine (linear) nodes reached from ``top`` through affine nodes alone, ``top``
    first."""
    region: List[int] = []
    stack = [top]
    while stack:
        i = stack.pop()
        if parts[i].kind.affine:
            region.append(i)
            stack.extend(parts[i].sources)
    return region


def _spread(parts: Sequence[Part], region: Sequence[int], coef: Dict[int, float], constant: float,
            acts: List[NDArray[np.float64]], exact: bool = False) -> Tuple[float, float]:
    """Parameters of the linear nodes of ``region`` (top first) that make the top compute
    F = sum(coef[j] * activation j) + constant: exactly F with ``exact``, else
    (F - mean) / scale, which spans [-1, 1]; returns (mean, scale). Every node below the
    top stays within [-0.9, 0.9], off its clamp."""
    given: set[int] = set()
    value: Dict[int, Tuple[NDArray[np.float64], float, float]] = {}  # f, mean, scale
    for i in reversed(region):  # sources before the nodes they feed
        weights, shift, f = [], 0.0, np.zeros_like(acts[i])
        for j in parts[i].sources:
            if j in value:
                fj, mean, scale = value[j]
                weights.append(scale)
                shift += mean
                f = f + fj
            else:
                c = coef[j] if j not in given else 0.0  # a shared input counts once
                given.add(j)
                weights.append(c)
                f = f + c * acts[j]
        if i == region[0]:
            f = f + constant
            shift += constant
        mean = float(np.mean(f))
        spread = float(np.max(np.abs(f - mean), initial=0.0))
        scale = spread / (1.0 if i == region[0] else 0.9) if spread > 0 else 1.0
        if exact and i == region[0]:
            mean, scale = 0.0, 1.0
        value[i] = (f, mean, scale)
        params = {"w0": weights[0] / scale, "bias": (shift - mean) / scale}
        if len(weights) == 2:
            params["w1"] = weights[1] / scale
        parts[i].node.state._from_dict(params)
    _, mean, scale = value[region[0]]
    return mean, scale


def _fit_product(model: Model, parts: Sequence[Part], acts: List[NDArray[np.float64]],
                 target: NDArray[np.float64], top: int) -> None:
    """Least squares for an output that is the product of two factors, each a linear
    region (an affine function of its leaves, solved) or a fixed activation. The target
    alpha * A * B + beta is linear in the products of the two factors' terms: solve
    those, and take the nearest product of two factors (the first singular pair).
    Exact when the target is an affine function of a product of affine functions."""
    factors = [_factor(parts, acts, src) for src in parts[top].sources]
    (region_a, _, xa), (region_b, _, xb) = factors
    both = bool(region_a) and bool(region_b)  # then the product of constants is beta's
    products = (xa[:, :, None] * xb[:, None, :]).reshape(len(target), -1)
    design = products if both else np.column_stack([products, np.ones_like(target)])
    solved = _least_squares(design, target)
    if solved is None:
        return
    c = solved[:products.shape[1]].reshape(xa.shape[1], xb.shape[1])
    beta = 0.0 if both else float(solved[-1])
    if both:
        # A = a.x + a0, B = b.z + b0: the terms of x and z together give a and b (up to
        # a scale that cancels), those of one alone a0 and b0, and the constant beta.
        u, sv, vt = np.linalg.svd(c[:-1, :-1])
        if not sv[0] > 0:
            return
        a, b = u[:, 0] * math.sqrt(sv[0]), vt[0] * math.sqrt(sv[0])
        b0, a0 = float(c[:-1, -1] @ a / (a @ a)), float(c[-1, :-1] @ b / (b @ b))
        beta = float(c[-1, -1]) - a0 * b0
        coefs = [np.append(a, a0), np.append(b, b0)]
    else:  # a fixed factor takes no coefficient of its own
        coefs = [c[:, 0], np.ones(1)] if region_a else [np.ones(1), c[0, :]]
    values = [xa @ coefs[0], xb @ coefs[1]]
    error = float(np.mean((values[0] * values[1] + beta - target) ** 2))
    if not error < float(np.mean((acts[-1] - target) ** 2)):
        return
    _set_product(model, parts, top, factors, coefs, values, beta, acts)


def _set_product(model: Model, parts: Sequence[Part], top: int,
                 factors: Sequence[Tuple[List[int], List[int], Any]],
                 coefs: List[NDArray[np.float64]], values: List[NDArray[np.float64]],
                 beta: float, acts: List[NDArray[np.float64]]) -> None:
    """Set the factors' regions and the output's range to compute alpha * A * B + beta."""
    scales = [float(np.max(np.abs(v), initial=0.0)) / 0.9 or 1.0 if region else 1.0
              for (region, _, _), v in zip(factors, values)]  # regions within [-0.9, 0.9]
    alpha = 1.0
    for (region, _, _), coef, scale in zip(factors, coefs, scales):
        alpha *= scale if region else float(coef[0])  # a fixed activation cannot scale
    if alpha < 0:  # flip a factor's sign: a region's coefficients, or the node above
        flip = next((k for k, (region, _, _) in enumerate(factors) if region), None)
        if flip is not None:
            coefs[flip], alpha = -coefs[flip], -alpha
        elif not _negate(parts, top):
            return
    for (region, leaves, _), coef, scale in zip(factors, coefs, scales):
        if region:
            _spread(parts, region, dict(zip(leaves, (coef[:-1] / scale).tolist())),
                    float(coef[-1]) / scale, acts, exact=True)
    _set_output(model, beta, abs(alpha), True)


def _factor(parts: Sequence[Part], acts: List[NDArray[np.float64]], slot: int
            ) -> Tuple[List[int], List[int], NDArray[np.float64]]:
    """A factor of a product: its linear region, that region's leaves and the design of
    its least squares (the leaves' activations and a constant); or, for any other node,
    no region and its own activation alone."""
    region = _linear_region(parts, slot)
    if not region:
        return [], [slot], acts[slot][:, None]
    leaves = sorted({j for i in region for j in parts[i].sources if j not in region})
    return region, leaves, np.column_stack([acts[j] for j in leaves] +
                                           [np.ones_like(acts[slot])])


def _set_output(model: Model, centre: float, half_width: float, ok: bool) -> None:
    """The output maps [-1, 1] onto [centre - half_width, centre + half_width]."""
    with np.errstate(over="ignore"):
        low, high = np.float32(centre - half_width), np.float32(centre + half_width)
    if ok and half_width > 0 and np.isfinite([low, high]).all() and high > low:
        Internals(model).set_output_range(float(low), float(high))


def _score(model: Model, data: _Data, rows: str) -> float:
    """Mean squared error of ``model`` on ``rows``, on the target's own scale."""
    columns = _columns(model, data, rows)
    pred = Internals(model).predicted(model.graph._query(columns)).astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        loss = float(np.mean((pred - data.y[data.rows[rows]]) ** 2))
    return loss if math.isfinite(loss) else math.inf


def _revive(model: Model, data: _Data, rows: str, rng: np.random.Generator) -> bool:
    """Restart the nodes that have died, as their types tell (a linear or tanh node
    saturated on nearly every row, a gaussian that is 0 or 1 everywhere), their new values
    centred on their inputs' activations. True when any node was restarted."""
    inner = Internals(model)
    acts = inner.activations(_columns(model, data, rows))
    revived = False
    for i, (kind, sources, node) in enumerate(inner.parts()[:-1]):
        if kind.revive is None:
            continue
        new = kind.revive(node.state._to_dict(), [acts[s] for s in sources], acts[i], rng)
        if new is not None:
            node.state._from_dict(new)
            revived = True
    return revived


def _precise(shape: Shape, data: _Data, rows: str, seed: int, starts: int,
             light: bool = False) -> Model:
    """The shape fitted as well as online training can: ``starts`` starts, dead nodes
    restarted, the learning rate stepped down through ``LEVELS`` (or ``LIGHT_LEVELS``)
    with least squares solved after each; the start that fits ``rows`` best."""
    best: Optional[Model] = None
    best_loss = math.inf
    steps = data.steps // 2 if light else data.steps
    for k in range(starts):
        rng = np.random.default_rng((seed, k))
        model = _build(shape, data, int(rng.integers(2**31)))
        _train(model, data, rows, 2 * steps)
        if _revive(model, data, data.sample(rows), rng):
            _train(model, data, rows, steps)
        for level in LIGHT_LEVELS if light else LEVELS:
            model = Internals(model).at_rate_level(level)
            _train(model, data, rows, steps)
        loss = _score(model, data, data.sample(rows))
        if best is None or loss < best_loss:
            best, best_loss = model, loss
    assert best is not None
    return best


def run_job(job: _Job, data: _Data) -> Tuple[Model, float]:
    """Train one job's model and score it."""
    if job.starts:
        model = _precise(job.shape, data, job.fit, job.seed, job.starts, job.light)
    else:
        # A few hundred rows tell a candidate's scale and offset well enough to rank it.
        model = _build(job.shape, data, job.seed)
        _train(model, data, job.fit, data.steps, job.fit + "/solve")
    return model, _score(model, data, job.score)


# ---- the result -------------------------------------------------------------------------

# What ``SearchResult.save`` writes; ``load`` reads it back.
_RESULT_FILE = "result.json"
_TABLE_FILE = "front.txt"
_BEST_FILE = "best.json"


@dataclass
class SearchResult:
    """The outcome of ``search``.

    ``front`` holds the models on the Pareto front of validation loss against size (the
    graph's edge count), smallest first, each refit precisely on the training rows;
    ``losses`` (their validation losses) and ``sizes`` go with it. A model on the front
    is smaller than every model with a lower loss.

    ``cv_losses`` holds the cross-validated loss over the training rows of the most accurate
    front shapes (NaN for the others), ``cv_errors`` its standard error over the folds.
    ``best`` is the shape of ``chosen`` (the most accurate by cross-validated loss; of
    those as accurate, the smallest), refit on all the rows.
    """

    front: List[Model]
    losses: List[float]
    sizes: List[int]
    variance: float  # of the validation targets, the scale of ``r2``
    generations: int
    scored: int
    seconds: float
    cv_losses: List[float] = field(default_factory=list)
    cv_errors: List[float] = field(default_factory=list)
    cv_variance: float = math.nan  # of all the targets, the scale of ``cv_r2``
    chosen: int = -1  # index in ``front`` of the chosen shape
    refit: Optional[Model] = None  # the chosen shape refit on every row

    @property
    def r2(self) -> List[float]:
        """Validation R² of each front model."""
        return [_r2(loss, self.variance) for loss in self.losses]

    @property
    def cv_r2(self) -> List[float]:
        """Cross-validated R² of each front shape (NaN where it was not scored)."""
        return [_r2(loss, self.cv_variance) for loss in self.cv_losses]

    def choose(self, tolerance: float = 0.0) -> Model:
        """The smallest front model whose loss is within ``tolerance`` times the variance of
        the targets of the lowest (within ``tolerance`` of the highest R²): by
        cross-validated loss among the shapes that have one, else by validation loss."""
        if not self.front:
            raise RuntimeError("the search scored no candidate")
        if not isinstance(tolerance, (int, float)) or not tolerance >= 0:
            raise ValueError(f"tolerance must be a number, 0 or more, got {tolerance!r}")
        scored = [i for i, loss in enumerate(self.cv_losses) if math.isfinite(loss)]
        if scored:
            losses, variance = self.cv_losses, self.cv_variance
        else:
            scored, losses, variance = list(range(len(self.front))), self.losses, self.variance
        limit = min(losses[i] for i in scored) + tolerance * max(variance, 0.0)
        return self.front[min(i for i in scored if losses[i] <= limit)]

    @property
    def best(self) -> Model:
        """The model a user should take: the most accurate shape by cross-validated loss (of
        those within 0.1 % of its loss, or an R² within 1e-4, the smallest), refit on all
        the rows."""
        if self.refit is not None:
            return self.refit
        if 0 <= self.chosen < len(self.front):
            return self.front[self.chosen]
        return self.choose()

    def table(self, formulas: bool = False) -> str:
        """The front as a text table, one model per line, the chosen one marked; with
        ``formulas``, each model's formula in the data's units (4 digits) follows its
        line."""
        lines = [f"  {'size':>4} {'validation R2':>13} {'CV R2':>9}  expression"]
        cv = self.cv_r2 + [math.nan] * (len(self.front) - len(self.cv_losses))
        for i, (m, size, r2) in enumerate(zip(self.front, self.sizes, self.r2)):
            mark = "*" if i == self.chosen else " "
            shown = f"{cv[i]:9.6f}" if math.isfinite(cv[i]) else f"{'-':>9}"
            lines.append(f"{mark} {size:4d} {r2:13.6f} {shown}  "
                         f"{transformed_name(m.target, m.target_transform or '')} = "
                         f"{m.expression}")
            if formulas:
                lines.append(f"{'':31}{m.target} = {m.formula(digits=4)}")
        lines.append(f"{self.scored} candidates in {self.generations} generations, "
                     f"{self.seconds:.1f} s")
        if 0 <= self.chosen < len(self.front):
            lines.append("* the chosen shape: the lowest cross-validated loss (the smallest of "
                         "those within 0.1 % of it or 1e-4 of R2); best is it refit on all "
                         "rows")
        if self.refit is not None and formulas:
            lines.append(f"best: {self.refit.target} = {self.refit.formula(digits=4)}")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()

    def save(self, folder: str | os.PathLike[str]) -> None:
        """Write ``best.json``, ``front-NN.json`` per front model, ``front.txt`` (the table)
        and ``result.json`` (the figures) into ``folder``; ``load`` reads them back.

        The folder is written whole or not at all: the files go to a new folder beside
        it, which then takes its place. A folder that holds anything but an earlier
        result is refused rather than replaced.
        """
        target = os.path.abspath(folder)
        _check_replaceable(target)
        parent = os.path.dirname(target)
        work = _new_folder(parent, ".tolq-new-")
        try:
            self._write(work)
            _swap_in(work, target)
        except BaseException:
            shutil.rmtree(work, ignore_errors=True)
            raise

    def _write(self, folder: str) -> None:
        for i, m in enumerate(self.front):
            m.save(os.path.join(folder, f"front-{i:02d}.json"))
        if self.front:
            self.best.save(os.path.join(folder, _BEST_FILE))
        figures = {"format": "tolq.search", "version": 1, "losses": self.losses,
                   "sizes": self.sizes, "variance": self.variance,
                   "generations": self.generations, "scored": self.scored,
                   "seconds": self.seconds, "cv_losses": self.cv_losses,
                   "cv_errors": self.cv_errors, "cv_variance": self.cv_variance,
                   "chosen": self.chosen, "refit": self.refit is not None}
        with open(os.path.join(folder, _RESULT_FILE), "w", encoding="utf-8") as f:
            f.write(json.dumps(_jsonable(figures), indent=1) + "\n")
        with open(os.path.join(folder, _TABLE_FILE), "w", encoding="utf-8") as f:
            f.write(self.table() + "\n")

    @classmethod
    def load(cls, folder: str | os.PathLike[str]) -> SearchResult:
        """The result that ``save`` wrote into ``folder``."""
        path = os.path.join(folder, _RESULT_FILE)
        with open(path, encoding="utf-8") as f:
            try:
                doc = json.load(f)
            except ValueError as exc:
                raise FormatError(f"{path}: not a search result ({exc})") from None
        if not isinstance(doc, dict) or doc.get("format") != "tolq.search":
            raise FormatError(f"{path}: not a search result")
        try:
            front = [Model.load(os.path.join(folder, f"front-{i:02d}.json"))
                     for i in range(len(doc["sizes"]))]
            refit = Model.load(os.path.join(folder, _BEST_FILE)) if doc["refit"] else None
            return cls(front, _floats(doc["losses"]), [int(s) for s in doc["sizes"]],
                       float(doc["variance"]), int(doc["generations"]), int(doc["scored"]),
                       float(doc["seconds"]), _floats(doc["cv_losses"]),
                       _floats(doc["cv_errors"]), float(doc["cv_variance"]),
                       int(doc["chosen"]), refit)
        except (KeyError, TypeError, ValueError) as exc:
            if isinstance(exc, FormatError):
                raise
            raise FormatError(f"{path}: not a valid search result ({exc!r})") from None


def _r2(loss: float, variance: float) -> float:
    return 1.0 - loss / variance if variance > 0 and math.isfinite(loss) else math.nan


def _jsonable(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    return value


def _floats(values: Any) -> List[float]:
    return [float(v) for v in values]


def _is_result_file(name: str) -> bool:
    if name in (_RESULT_FILE, _TABLE_FILE, _BEST_FILE):
        return True
    return name.startswith("front-") and name.endswith(".json") and name[6:-5].isdigit()


def check_result_folder(folder: str | os.PathLike[str]) -> None:
    """Refuse, before a search, a folder that ``SearchResult.save`` would refuse after it:
    one whose parent is missing, or that holds anything but an earlier result."""
    target = os.path.abspath(folder)
    if not os.path.isdir(os.path.dirname(target)):
        raise FileNotFoundError(f"{folder}: no such folder {os.path.dirname(target)}")
    _check_replaceable(target)
    try:  # the new folder is made beside it
        os.rmdir(_new_folder(os.path.dirname(target), ".tolq-check-"))
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, os.fspath(folder)) from None


def _check_replaceable(folder: str) -> None:
    if not os.path.lexists(folder):
        return
    if not os.path.isdir(folder) or os.path.islink(folder):
        raise FileExistsError(f"{folder}: exists and is not a folder of a search result")
    strangers = [n for n in os.listdir(folder) if not _is_result_file(n)]
    if strangers:
        raise FileExistsError(f"{folder}: holds files that are not part of a search result "
                              f"({', '.join(sorted(strangers)[:3])}); choose another folder")


def _swap_in(work: str, target: str) -> None:
    """Put the folder ``work`` in the place of ``target``, keeping the old one until the
    new one is there."""
    if not os.path.exists(target):
        os.rename(work, target)
        return
    old = _new_folder(os.path.dirname(target), ".tolq-old-")
    os.rmdir(old)
    os.rename(target, old)
    try:
        os.rename(work, target)
    except BaseException:
        os.rename(old, target)
        raise
    shutil.rmtree(old, ignore_errors=True)


def _new_folder(parent: str, prefix: str) -> str:
    """A new, empty folder in ``parent`` with the permissions any new folder gets."""
    for _ in range(100):
        path = os.path.join(parent, prefix + secrets.token_hex(6))
        try:
            os.mkdir(path)
            return path
        except FileExistsError:
            continue
    raise FileExistsError(f"{parent}: no free name for a new folder")


def _pareto(records: Iterable[Tuple[int, float, int]]) -> List[Tuple[int, float, int]]:
    """(size, loss, index) on the front, smallest first; ties go to the earlier index."""
    front: List[Tuple[int, float, int]] = []
    for size, loss, index in sorted(records):
        if math.isfinite(loss) and (not front or loss < front[-1][1]):
            front.append((size, loss, index))
    return front


# ---- the search -------------------------------------------------------------------------

Progress = Union[None, bool, Callable[[int, SearchResult], None]]


@dataclass
class _Options:
    """The arguments of ``search``, checked."""

    categorical: Optional[Tuple[str, ...]]
    functions: Tuple[str, ...]
    transforms: bool
    max_nodes: int
    time_budget: Optional[float]
    generations: Optional[int]
    epochs: Optional[int]
    validation_fraction: float
    random_state: int
    workers: Optional[int]
    client: Any
    progress: Progress
    missing: str

    def __post_init__(self) -> None:
        _data.check_missing(self.missing)
        self.functions = tuple(self.functions)
        for fn in self.functions:
            if fn not in FUNCTIONS:
                raise ValueError(f"unknown function {fn!r}; choose from {', '.join(FUNCTIONS)}")
        if not self.functions:
            raise ValueError("functions: name at least one function")
        self.max_nodes = check_arg(self.max_nodes, "max_nodes", 2)
        self.random_state = check_arg(self.random_state, "random_state", 0, 2**32 - 1)
        if self.generations is not None:
            self.generations = check_arg(self.generations, "generations", 1)
        if self.epochs is not None:
            self.epochs = check_arg(self.epochs, "epochs", 1)
        if self.workers is not None:
            self.workers = check_arg(self.workers, "workers", 1)
        budget = self.time_budget
        if budget is not None and not (isinstance(budget, (int, float)) and budget > 0
                                       and math.isfinite(budget)):
            raise ValueError(f"time_budget must be a positive number of seconds, got {budget!r}")
        fraction = self.validation_fraction
        if not (isinstance(fraction, (int, float)) and 0 < fraction < 1):
            raise ValueError(f"validation_fraction must lie between 0 and 1, got {fraction!r}")


def search(X: Any, y: Any, *, categorical: Optional[Iterable[str]] = None,
           functions: Sequence[str] = tuple(FUNCTIONS),
           transforms: bool = True, max_nodes: int = 12, time_budget: Optional[float] = None,
           generations: Optional[int] = None, epochs: Optional[int] = None,
           validation_fraction: float = 0.25, random_state: int = 0,
           workers: Optional[int] = None, client: Any = None,
           progress: Progress = None, missing: str = "error") -> SearchResult:
    """Search for the expression that predicts ``y`` from the columns of ``X``.

    ``X`` is a dict of 1-D arrays, a data frame or a 2-D array (columns x0, x1, ...);
    every column but the target is an input. ``y`` is an array or the name of a column
    of ``X``. ``categorical`` names the categorical columns; None infers them from the
    columns' types, as ``Model`` does. ``missing`` is the models' policy for missing
    input values (see ``Model``). With ``transforms`` each
    numeric column is also offered as ``log(x)``, ``inv(x)`` and ``sqrt(x)`` where its
    values allow, and the target is also learned through log or inv where y allows.

    A random ``validation_fraction`` of the rows scores the candidates; the rest trains
    them, for ``epochs`` passes each (by default about 20,000 online steps). Candidates use
    the ``functions`` named and at most ``max_nodes`` graph nodes besides the output
    (calls plus distinct inputs). Each generation breeds new shapes from the best so far;
    a shape (told by its canonical expression text) is trained once.

    The search stops after ``generations`` generations (generation 0, which tries every
    function of one and of two inputs, counts as the first), or when ``time_budget``
    seconds are spent (the whole call keeps within it, up to the last job running), or,
    when neither is given, once ``PATIENCE`` generations in a row have not improved the
    front. Then each front shape is refit precisely, the most accurate are scored by
    ``FOLDS``-fold cross-validation over the training rows, and ``best`` is the shape of the
    lowest cross-validated loss (the smallest of those within 0.1 % of it, or within 1e-4
    of its R²), refit on all the rows.

    Training runs on ``workers`` threads, or on a Dask cluster when ``client`` (a
    ``dask.distributed.Client``) is given. For a given ``random_state`` the result does not
    depend on either; with ``time_budget`` it depends on how much fits in it.
    ``progress``: True prints a line per generation to stderr; a callable is called with
    the number of generations done and the result so far.
    """
    if categorical is not None:
        categorical = (categorical,) if isinstance(categorical, str) else tuple(categorical)
    options = _Options(categorical, tuple(functions), bool(transforms), max_nodes,
                       time_budget, generations, epochs, validation_fraction, random_state,
                       workers, client, progress, missing)
    return _Search(options, X, y).run()


class _Search:
    """One run of the search, step by step."""

    def __init__(self, options: _Options, X: Any, y: Any) -> None:
        self.options = options
        self.started = time.perf_counter()
        self.data = _prepare(X, y, options)
        self.rng = np.random.default_rng(options.random_state)
        self.breeder = _Breeder(self.rng, self.data.leaves, options.functions,
                                _targets(self.data, options), options.max_nodes)
        self.shapes: List[Shape] = []
        self.models: List[Optional[Model]] = []
        self.losses: List[float] = []
        self.sizes: List[int] = []
        self.tried: set[str] = set()
        self.generation = 0
        self.stale = 0  # generations in a row that did not improve the front
        self.proposed: set[str] = set()  # the greedy selection's linear models
        self.pace = 0.0  # seconds per candidate trained, lately
        self.report = _reporter(options.progress, options.generations)
        threads = options.workers or os.cpu_count() or 1
        # Each job on a thread of its own, the longest first; or on the cluster.
        self.runner: Runner[_Job, Tuple[Model, float]] = Runner(
            run_job, self.data, threads if threads > 1 else 0, options.client, cost=_cost)

    def run(self) -> SearchResult:
        try:
            self.first_generation()
            while self.go_on():
                self.next_generation()
            return self.finish()
        finally:
            self.runner.close()

    def elapsed(self) -> float:
        return time.perf_counter() - self.started

    def out_of_time(self) -> bool:
        """Whether another batch of candidates and the final fits would overrun the time
        budget, at the pace the candidates have trained (the finish then fits in the
        rest, or does less)."""
        budget = self.options.time_budget
        if budget is None:
            return False
        ahead = (POPULATION + FINISH_COST) * self.pace
        return self.elapsed() + ahead >= budget or self.elapsed() >= SEARCH_SHARE * budget

    def go_on(self) -> bool:
        generations = self.options.generations
        if generations is not None and self.generation >= generations:
            return False
        if self.out_of_time():
            return False
        if generations is None and self.options.time_budget is None:
            return self.stale < PATIENCE and self.generation < MAX_GENERATIONS
        return True

    def first_generation(self) -> None:
        """Every function of one input and of two, and the linear models that a greedy
        least-squares choice of inputs proposes, tried in batches while time remains."""
        proposed = self.fresh(iter(_proposals(self.data, self.breeder)), 10**9)
        self.proposed = {shape.key for shape in proposed}
        shapes = proposed + self.fresh(iter(self.breeder.smallest()), 10**9)
        shapes += self.fresh(iter(lambda: self.breeder.grow(int(self.rng.integers(1, 4))), None),
                             max(0, POPULATION - len(shapes)))
        for i in range(0, len(shapes), POPULATION):
            if i and self.out_of_time():
                break
            self.evaluate(shapes[i:i + POPULATION])
        self.end_generation()

    def next_generation(self) -> None:
        """Up to half the generation goes to steps a front model may be one step short of
        (wrapped in a one-argument function; the most accurate with one more term), the
        rest to children of tournaments, by crossover or mutation."""
        front = self.front()
        steps = [Shape((fn, (self.shapes[i].tree,)), self.shapes[i].target)
                 for _, _, i in front for fn in self.breeder.by_arity[1]]
        if AFFINE in self.options.functions:
            steps += self.breeder.terms(self.shapes[front[-1][2]])
        batch = self.fresh(iter(steps), POPULATION // 2)
        batch += self.fresh(self.children(), POPULATION - len(batch))
        if not batch:
            self.stale = PATIENCE
            return
        self.evaluate(batch)
        self.end_generation()

    def children(self) -> Iterator[Shape]:
        parents = _parents(self.losses, self.sizes)
        while True:
            a = self.parent(parents)
            if self.rng.random() < CROSSOVER:
                yield self.breeder.cross(a, self.parent(parents))
            else:
                yield self.breeder.mutate(a)

    def parent(self, pool: Sequence[int]) -> Shape:
        # Tournament: the lowest loss of a few drawn from the pool.
        drawn = [pool[int(self.rng.integers(len(pool)))] for _ in range(TOURNAMENT)]
        return self.shapes[min(drawn, key=lambda i: (self.losses[i], i))]

    def fresh(self, made: Iterator[Union[Shape, Tree]], count: int) -> List[Shape]:
        """Up to ``count`` shapes not tried before, from ``made`` until it ends."""
        batch: List[Shape] = []
        for _ in range(max(count, 1) * 20):
            if len(batch) >= count:
                break
            item = next(made, None)
            if item is None:
                break
            shape = (item if isinstance(item, Shape) else Shape(item)).canonical()
            if shape.key in self.tried or not self.breeder.fits(shape):
                continue
            self.tried.add(shape.key)
            batch.append(shape)
        return batch

    def evaluate(self, batch: Sequence[Shape]) -> None:
        seed = self.options.random_state
        jobs = [_Job(shape, _seed_of(shape.key, seed), "train", "valid") for shape in batch]
        started = time.perf_counter()
        results = self.runner.run(jobs)
        self.pace = (time.perf_counter() - started) / max(1, len(jobs))
        for shape, (model, loss) in zip(batch, results):
            self.shapes.append(shape)
            self.models.append(model)
            self.losses.append(loss)
            self.sizes.append(model.graph.edge_count)

    def front(self) -> List[Tuple[int, float, int]]:
        return _pareto(zip(self.sizes, self.losses, range(len(self.losses))))

    def end_generation(self) -> None:
        self.generation += 1
        front = self.front()
        better = _improves(front, getattr(self, "last_front", []))
        self.stale = 0 if better else self.stale + 1
        self.last_front = front
        # A model off the front never returns to it: only the front's models are kept.
        keep = {i for _, _, i in front}
        for i in range(len(self.models)):
            if i not in keep:
                self.models[i] = None
        if self.report is not None:
            self.report(self.generation, self.result())

    def result(self) -> SearchResult:
        front = self.front()
        return SearchResult([m for m in (self.models[i] for _, _, i in front) if m is not None],
                            [loss for _, loss, _ in front], [s for s, _, _ in front],
                            _variance(self.data, "valid"), self.generation, len(self.losses),
                            self.elapsed())

    def finish(self) -> SearchResult:
        """Refit precisely the front and the best linear models of the greedy selection,
        score them by cross-validation over the training rows, keep the front of that
        score against size, choose on it, and refit the chosen shape on all the rows.
        Short of time, the search's own fits stand in for the precise ones, fewer
        shapes are cross-validated (none: the validation loss decides), and the chosen
        shape is refit with fewer starts (none: ``best`` is its fit on the training rows).
        """
        shapes, refits = self.refit_finalists()
        sizes = [m.graph.edge_count for m, _ in refits]
        valid = [loss for _, loss in refits]
        cv, errors = self.cross_validate(shapes)
        # Without the time to cross-validate, the validation loss decides.
        scored = cv if any(math.isfinite(loss) for loss in cv) else valid
        front = [i for _, _, i in _pareto(zip(sizes, scored, range(len(shapes))))]
        result = SearchResult([refits[i][0] for i in front], [valid[i] for i in front],
                              [sizes[i] for i in front], _variance(self.data, "valid"),
                              self.generation, len(self.losses), 0.0,
                              [cv[i] for i in front], [errors[i] for i in front],
                              _variance(self.data, "train"))
        if front:
            result.chosen = _choice_rule([scored[i] for i in front],
                                         _variance(self.data, "train"))
            chosen = shapes[front[result.chosen]]
            seed = _seed_of(chosen.key, self.options.random_state)
            # The starts as jobs of their own, which run side by side; the best is kept.
            starts = [_Job(chosen, seed + k, "all", "search", 1)
                      for k in range(min(STARTS, self.affordable(PRECISE_COST)))]
            if starts:
                result.refit = min(self.runner.run(starts), key=lambda r: r[1])[0]
        result.seconds = self.elapsed()
        return result

    def refit_finalists(self) -> Tuple[List[Shape], List[Tuple[Model, float]]]:
        """The finalists with their precise fits on the training rows and validation
        losses; short of time, the front alone with the search's own fits."""
        shapes = self.finalists()
        # Time left for these, the final refit and a cross-validation of two shapes.
        needed = (REFIT_STARTS * len(shapes) + STARTS) * PRECISE_COST + 2 * FOLDS * LIGHT_COST
        if self.affordable(needed) < 1:
            kept = [i for _, _, i in self.front()]
            return ([self.shapes[i] for i in kept],
                    [(m, self.losses[i]) for i in kept if (m := self.models[i]) is not None])
        # Each start a job of its own, side by side; a shape keeps the one that fits the
        # training rows best, and its validation loss is then taken.
        seed = self.options.random_state
        fits = self.runner.run([_Job(s, _seed_of(s.key, seed) + k, "train", "train", 1)
                                for s in shapes for k in range(REFIT_STARTS)])
        best = [min(fits[i:i + REFIT_STARTS], key=lambda fit: fit[1])[0]
                for i in range(0, len(fits), REFIT_STARTS)]
        return shapes, [(m, _score(m, self.data, "valid")) for m in best]

    def affordable(self, cost: float) -> int:
        """How many jobs costing ``cost`` candidates each the rest of the time budget pays
        for, at the pace the candidates were trained."""
        budget = self.options.time_budget
        if budget is None:
            return 2**31
        return max(0, int((budget - self.elapsed()) / max(cost * self.pace, 1e-9)))

    def finalists(self) -> List[Shape]:
        """The front's most accurate shapes, and the greedy selection's linear models with
        the lowest validation loss: on noisy data they often hold up best on new rows."""
        front = sorted(self.front(), key=lambda f: f[1])[:CHOICE_SHAPES]
        chosen = [i for _, _, i in front]
        proposed = sorted((i for i, shape in enumerate(self.shapes) if shape.key in self.proposed
                           and math.isfinite(self.losses[i])), key=lambda i: self.losses[i])
        chosen += [i for i in proposed if i not in chosen][:PROPOSALS]
        return [self.shapes[i] for i in chosen]

    def cross_validate(self, shapes: Sequence[Shape]) -> Tuple[List[float], List[float]]:
        """Each shape's mean loss over the folds of the training rows, and its standard
        error; NaN for the shapes there was no time for."""
        seed = self.options.random_state
        folds = sum(1 for k in self.data.rows if k.startswith("fold"))
        # Short of time, the most accurate shapes by validation loss go first, and with
        # no time for two of them the validation loss decides alone.
        spare = self.affordable(1.0) - STARTS * PRECISE_COST
        count = min(len(shapes), int(spare / (folds * LIGHT_COST)))
        if count < 2:
            return [math.nan] * len(shapes), [0.0] * len(shapes)
        jobs = [_Job(shape, _seed_of(shape.key, seed), f"rest{k}", f"fold{k}", 1, True)
                for shape in shapes[:count] for k in range(folds)]
        scores = np.array([loss for _, loss in self.runner.run(jobs)]).reshape(-1, folds)
        with np.errstate(invalid="ignore"):
            means = np.mean(scores, axis=1).tolist() + [math.nan] * (len(shapes) - count)
            errors = (np.std(scores, axis=1) / math.sqrt(folds)).tolist()
        return means, errors + [0.0] * (len(shapes) - count)


def _choice_rule(losses: Sequence[float], variance: float) -> int:
    """The most accurate, and of those as accurate (a loss within 0.1 % of the lowest, or
    an R² within 1e-4 of the highest) the smallest, which comes first."""
    lowest = min(losses)
    tie = max(TIE * lowest, TIE_R2 * max(variance, 0.0))
    return min(i for i in range(len(losses)) if losses[i] <= lowest + tie)


def _improves(front: Sequence[Tuple[int, float, int]],
              before: Sequence[Tuple[int, float, int]]) -> bool:
    """Whether ``front`` lowers the loss reached at some size by more than 5 %."""
    for size, loss, _ in front:
        reached = min((b for s, b, _ in before if s <= size), default=math.inf)
        if loss < 0.95 * reached:
            return True
    return False


def _variance(data: _Data, rows: str) -> float:
    return float(np.var(data.y[data.rows[rows]]))


def _parents(losses: Sequence[float], sizes: Sequence[int]) -> List[int]:
    """The breeding pool: the best ``POPULATION`` by loss, and the front."""
    order = sorted(range(len(losses)), key=lambda i: (losses[i], sizes[i], i))
    front = [i for _, _, i in _pareto(zip(sizes, losses, range(len(losses))))]
    return sorted(set(order[:POPULATION] + front))


def _reporter(progress: Progress, generations: Optional[int]
              ) -> Optional[Callable[[int, SearchResult], None]]:
    if progress is None or progress is False:
        return None
    if callable(progress):
        return progress
    of = f"/{generations}" if generations is not None else ""

    def line(generation: int, result: SearchResult) -> None:
        best = max(result.r2, default=math.nan)
        print(f"generation {generation}{of}: {result.scored} scored, best validation R2 "
              f"{best:.6f}, front of {len(result.front)}, {result.seconds:.1f} s",
              file=sys.stderr, flush=True)
    return line


# ---- data -------------------------------------------------------------------------------

def _prepare(X: Any, y: Any, options: _Options) -> _Data:
    """The data of every job: the rows the search works on (at most ``SEARCH_ROWS``),
    split into training and validation rows and into folds, and every row for the
    final refit."""
    target, columns, values, categorical = _data.read_columns(X, y, options.categorical,
                                                              options.missing)
    n = len(values)
    used = np.random.default_rng(options.random_state).permutation(n)[:SEARCH_ROWS]
    n_valid = int(round(len(used) * options.validation_fraction))
    if n_valid < 2 or len(used) - n_valid < 2:
        raise _data.DataError(f"{n} rows cannot be split into training and validation rows "
                              f"(validation_fraction {options.validation_fraction})")
    rows = {"valid": used[:n_valid], "train": used[n_valid:], "search": used,
            "all": np.arange(n)}
    rows["train/solve"] = rows["train"][:SOLVE_ROWS]
    # The folds lie in the training rows: the validation rows chose the front, so a score
    # on them would favour the shapes that fit their noise.
    train = rows["train"]
    folds = min(FOLDS, len(train) // 2)
    for k in range(folds):
        rows[f"fold{k}"] = train[k::folds]
        rows[f"rest{k}"] = np.concatenate([train[j::folds] for j in range(folds) if j != k])
    steps = options.epochs * len(rows["train"]) if options.epochs else STEPS
    return _Data(target, categorical, options.missing, columns, _offered(columns, options),
                 values, rows, steps, options.random_state)


def _offered(columns: Dict[str, _Column], options: _Options) -> Dict[str, Tuple[str, str]]:
    """The inputs a candidate may read: every column, and every transform of a numeric
    column that all its values allow; by their text in an expression."""
    leaves = {}
    for name, column in columns.items():
        leaves[quote_name(name)] = (name, "")
        if options.transforms and not isinstance(column, _data.Distinct):
            for t in _transforms.TRANSFORMS:
                if _transforms.allows(t, column):
                    leaves[transformed_name(name, t)] = (name, t)
    return leaves


def _targets(data: _Data, options: _Options) -> List[str]:
    """The transforms of the target worth trying: none, and those that y allows."""
    if not options.transforms:
        return [""]
    return [""] + [t for t in _transforms.TARGET_TRANSFORMS if _transforms.allows(t, data.y)]


def _leaf_values(data: _Data, leaf: str, rows: Rows) -> Optional[NDArray[np.float64]]:
    name, transform = data.leaves[leaf]
    column = data.columns[name]
    if isinstance(column, _data.Distinct):
        return None
    return _transforms.TRANSFORMS[transform].apply(column[rows]) if transform else column[rows]


def _proposals(data: _Data, breeder: _Breeder) -> List[Shape]:
    """For each target transform, the linear models over the inputs that a greedy
    least-squares selection picks, one model per number of inputs."""
    rows = data.rows["train"]
    values = {leaf: _leaf_values(data, leaf, rows) for leaf in breeder.leaves}
    numbers = {k: v for k, v in values.items()  # complete, and not constant
               if v is not None and not np.isnan(v).any() and np.ptp(v) > 0}
    if AFFINE not in breeder.functions or not numbers:
        return []
    most = (breeder.max_nodes + 1) // 2
    shapes = []
    for target in breeder.targets:
        y = data.y[rows]
        if target:
            y = _transforms.TRANSFORMS[target].apply(y)
        chosen = _stepwise(numbers, data.leaves, y, most)
        shapes += [Shape(tree, target) for tree in _linear_chain(chosen)]
    return shapes


def _cost(job: _Job) -> float:
    """A job's cost, roughly: its nodes times its training."""
    work = (LIGHT_COST if job.light else PRECISE_COST) * job.starts if job.starts else 1.0
    return work * _node_count(job.shape.tree)
