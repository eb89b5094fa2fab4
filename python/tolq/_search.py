"""``search``: find the expression of a model by evolving a population of graphs.

Each candidate is an expression tree over the input columns. It is built as a ``Model``,
trained online on the training rows and scored by its mean squared error on the
validation rows; the next generation is bred from the best by mutation and crossover.
All random choices are made here, in the calling thread, from one generator seeded by
``random_state``; only the training of a generation's candidates runs in parallel, and
every candidate's training depends only on its own expression. That is why the front is
the same for any number of threads and on a Dask cluster.
"""
from __future__ import annotations

import math
import os
import sys
import time
import zlib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple,
                    Union)

import numpy as np
from numpy.typing import NDArray

from . import _data, _format
from ._expression import quote_name
from ._model import Model
from ._nodes import FUNCTIONS

# An expression tree: an input name, or (function, arguments).
Tree = Union[str, Tuple[str, Tuple[Any, ...]]]
# An input column converted once: numbers, or a categorical column's distinct values.
_Column = Union[NDArray[Any], _data.Distinct]

# Candidates per generation. Fixed, so that the result does not depend on the workers.
POPULATION = 48
# Share of children bred by crossover (the rest by mutation alone).
CROSSOVER = 0.4
# Tournament size for choosing a parent.
TOURNAMENT = 2
# Default tolerance of ``SearchResult.best``, in validation R².
TOLERANCE = 0.01
# Tiled training values (rows times numeric columns) beyond which candidates train epoch
# by epoch instead: 32 MB of float64.
_TILE_LIMIT = 4_000_000


# ---- expression trees -------------------------------------------------------------------

def render(tree: Tree) -> str:
    """The expression text of ``tree``."""
    if isinstance(tree, str):
        return quote_name(tree)
    fn, args = tree
    return f"{fn}({', '.join(render(a) for a in args)})"


def _canonical(tree: Tree) -> Tree:
    """One spelling per shape: a linear node feeding a linear node adds nothing, and
    every two-argument function is symmetric in its arguments once trained."""
    if isinstance(tree, str):
        return tree
    fn, args = tree
    parts = tuple(_canonical(a) for a in args)
    if fn == "linear":
        flat: List[Tree] = []
        for a in parts:
            if not isinstance(a, str) and a[0] == "linear" and len(parts) + len(a[1]) - 1 <= 2:
                flat.extend(a[1])
            else:
                flat.append(a)
        parts = tuple(flat)
    if len(parts) == 2:
        parts = tuple(sorted(parts, key=render))
    return (fn, parts)


def _node_count(tree: Tree) -> int:
    """Graph nodes besides the output: the calls plus the distinct input columns."""
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


def _depth(tree: Tree) -> int:
    return 0 if isinstance(tree, str) else 1 + max(_depth(a) for a in tree[1])


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


class _Breeder:
    """The random parts of the search: new trees, mutations, crossover."""

    def __init__(self, rng: np.random.Generator, columns: Sequence[str],
                 functions: Sequence[str], max_nodes: int) -> None:
        self.rng = rng
        self.columns = list(columns)
        self.functions = list(functions)
        self.max_nodes = max_nodes
        self.by_arity = {k: [f for f in functions if FUNCTIONS[f][0] <= k <= FUNCTIONS[f][1]]
                         for k in (1, 2)}

    def pick(self, items: Sequence[Any]) -> Any:
        return items[int(self.rng.integers(len(items)))]

    def leaf(self) -> Tree:
        return str(self.pick(self.columns))

    def grow(self, depth: int) -> Tree:
        if depth <= 0 or self.rng.random() < 0.3:
            return self.leaf()
        fn = self.pick(self.functions)
        low, high = FUNCTIONS[fn]
        arity = low if low == high else int(self.rng.integers(low, high + 1))
        return (fn, tuple(self.grow(depth - 1) for _ in range(arity)))

    def smallest(self) -> List[Tree]:
        """Every function of one column and of two distinct columns, shuffled, at most
        ``4 * POPULATION`` of them."""
        trees: List[Tree] = [(fn, (c,)) for fn in self.by_arity[1] for c in self.columns]
        trees += [(fn, (a, b)) for fn in self.by_arity[2]
                  for i, a in enumerate(self.columns) for b in self.columns[i + 1:]]
        return [trees[i] for i in self.rng.permutation(len(trees))[:4 * POPULATION]]

    def terms(self, tree: Tree) -> List[Tree]:
        """``tree`` plus one more term: a column, or a one-argument function of one."""
        added: List[Tree] = list(self.columns)
        added += [(fn, (c,)) for fn in self.by_arity[1] for c in self.columns if fn != "linear"]
        return [("linear", (tree, added[i])) for i in self.rng.permutation(len(added))]

    def mutate(self, tree: Tree) -> Tree:
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
            fn = self.pick(self.functions)
            low, high = FUNCTIONS[fn]
            arity = low if low == high else int(self.rng.integers(low, high + 1))
            new = (fn, (node,) if arity == 1 else (node, self.grow(1)))
        else:  # hoist: a call gives way to one of its arguments
            new = node if isinstance(node, str) else self.pick(node[1])
        return _put(tree, path, new)

    def cross(self, a: Tree, b: Tree) -> Tree:
        return _put(a, self.pick(_paths(a)), _get(b, self.pick(_paths(b))))

    def fits(self, tree: Tree) -> bool:
        return _node_count(tree) <= self.max_nodes


# ---- training one candidate -------------------------------------------------------------

@dataclass
class _Data:
    """What every candidate trains and is scored on; sent once to each Dask worker."""

    target: str
    epochs: int
    train: Dict[str, _Column]
    train_y: NDArray[np.float64]
    # The training rows repeated for all epochs, each epoch in its own shuffled order, so
    # that a candidate over numeric inputs trains in one query with the lock released.
    tiled: Optional[Dict[str, NDArray[Any]]]
    tiled_y: Optional[NDArray[np.float64]]
    valid: Dict[str, _Column]
    valid_y: NDArray[np.float64]


@dataclass(frozen=True)
class _Job:
    model: Model  # built, not yet trained
    seed: int


def _seed_of(expression: str, random_state: int) -> int:
    # crc32, not hash(): str hashes differ from process to process.
    return (zlib.crc32(expression.encode("utf-8")) ^ (random_state * 0x9E3779B1)) % 2**32


def _start(model: Model) -> Model:
    """Sine nodes start at the lowest frequency the module draws (k = pi).

    Online training raises a frequency readily but rarely lowers one that started too
    high (it settles on a nearby ridge of the loss), so a shape started at 2 pi or 3 pi
    would be judged by a poor local fit.
    """
    for i in range(len(model.graph)):
        node = model.graph[i]
        if node is not None and node.type == "sine":
            node.state.k = math.pi
    return model


def _converted(columns: Dict[str, _Column], missing: str) -> Dict[Tuple[str, ...], Any]:
    """Columns converted once per data set, keyed as a model looks converted columns up,
    so that each candidate only codes the distinct values of its categorical inputs."""
    return {("cat" if isinstance(v, _data.Distinct) else "fixed", k, missing): v
            for k, v in columns.items()}


def _fit(model: Model, columns: Dict[str, _Column], y: NDArray[np.float64], epochs: int,
         seed: int) -> None:
    """``model.fit`` on prepared columns: the ranges, weights and predictions it gives."""
    inputs, target = model._training_data({}, y, cache=_converted(columns, model.missing))
    model._train(inputs, target, epochs, True, seed, False)


def _error(model: Model, columns: Dict[str, _Column], y: NDArray[np.float64]) -> float:
    """Mean squared error of ``model`` on prepared columns; the model does not change."""
    inputs, _ = model._coded(model._inputs_of({}, cache=_converted(columns, model.missing)),
                             learn=False)
    pred = model.graph._query(model._fill_missing(inputs)).astype(np.float64)
    loss = float(np.mean((pred - y) ** 2))
    return loss if math.isfinite(loss) else math.inf


def _train_one(job: _Job, data: _Data) -> Tuple[Model, float]:
    model = job.model
    if data.tiled is not None and data.tiled_y is not None and not model.categorical:
        # All epochs as one epoch of the prepared rows, unshuffled: the model widens its
        # ranges over them first (the same values as the training rows), and none of
        # fit's per-epoch Python (conversions, copies) holds the interpreter lock
        # between the passes.
        model._train({name: data.tiled[name] for name in model.inputs}, data.tiled_y,
                     1, False, None, False)
    else:
        _fit(model, data.train, data.train_y, data.epochs, job.seed)
    return model, _error(model, data.valid, data.valid_y)


def _train_batch(jobs: Sequence[_Job], data: _Data) -> List[Tuple[Model, float]]:
    """Several candidates per task: a Dask task costs about as much as a small training."""
    return [_train_one(job, data) for job in jobs]


# ---- the result -------------------------------------------------------------------------

@dataclass
class SearchResult:
    """The outcome of ``search``.

    ``front`` holds the trained models on the Pareto front of validation loss against
    size (the graph's edge count), smallest first; ``losses`` and ``sizes`` go with it.
    A model on the front is smaller than every model with a lower loss.
    """

    front: List[Model]
    losses: List[float]
    sizes: List[int]
    variance: float  # of the validation targets, the scale of ``r2``
    generations: int
    scored: int
    seconds: float
    tolerance: float = TOLERANCE

    @property
    def r2(self) -> List[float]:
        """Validation R² of each front model."""
        if self.variance <= 0:
            return [math.nan for _ in self.losses]
        return [1.0 - loss / self.variance for loss in self.losses]

    def choose(self, tolerance: float = TOLERANCE) -> Model:
        """The smallest front model whose validation loss is within ``tolerance`` times the
        variance of the validation targets of the lowest loss (within ``tolerance`` of the
        best validation R²)."""
        if not self.front:
            raise RuntimeError("the search scored no candidate")
        limit = min(self.losses) + tolerance * max(self.variance, 0.0)
        return next(m for m, loss in zip(self.front, self.losses) if loss <= limit)

    @property
    def best(self) -> Model:
        """``choose(tolerance)``: the model a user should take."""
        return self.choose(self.tolerance)

    def table(self) -> str:
        """The front as a text table, one model per line, the best one marked."""
        best = self.best if self.front else None
        lines = [f"{'':1} {'size':>4} {'validation loss':>15} {'R2':>7}  expression"]
        for m, loss, size, r2 in zip(self.front, self.losses, self.sizes, self.r2):
            mark = "*" if m is best else " "
            lines.append(f"{mark} {size:4d} {loss:15.6g} {r2:7.4f}  {m.expression}")
        lines.append(f"{self.scored} candidates in {self.generations} generations, "
                     f"{self.seconds:.1f} s; * marks the best (R2 within {self.tolerance:g} "
                     "of the highest, smallest first)")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()

    def save(self, folder: str | os.PathLike[str]) -> None:
        """Write ``best.json``, ``front-NN.json`` per front model and ``front.txt``."""
        os.makedirs(folder, exist_ok=True)
        for i, m in enumerate(self.front):
            m.save(os.path.join(folder, f"front-{i:02d}.json"))
        if self.front:
            self.best.save(os.path.join(folder, "best.json"))
        with open(os.path.join(folder, "front.txt"), "w", encoding="utf-8") as f:
            f.write(self.table() + "\n")


def _pareto(records: Iterable[Tuple[int, float, int]]) -> List[Tuple[int, float, int]]:
    """(size, loss, index) on the front, smallest first; ties go to the earlier index."""
    front: List[Tuple[int, float, int]] = []
    for size, loss, index in sorted(records):
        if math.isfinite(loss) and (not front or loss < front[-1][1]):
            front.append((size, loss, index))
    return front


# ---- the search -------------------------------------------------------------------------

def _columns(X: Any, y: Any, categorical: Optional[Iterable[str]], missing: str = "error"
             ) -> Tuple[str, Dict[str, _Column], NDArray[np.float64]]:
    target, columns, y_values, _ = _data.read_columns(X, y, categorical, missing)
    return target, columns, y_values


def _default_epochs(rows: int) -> int:
    # About 20,000 online steps per candidate: enough for small graphs to settle.
    return max(3, min(200, math.ceil(20_000 / max(rows, 1))))


def _split(target: str, columns: Dict[str, _Column], y: NDArray[np.float64],
           epochs: Optional[int], validation_fraction: float, random_state: int) -> _Data:
    n = len(y)
    n_valid = int(round(n * validation_fraction))
    if n_valid < 2 or n - n_valid < 2:
        raise _data.DataError(f"{n} rows cannot be split into training and validation rows "
                              f"(validation_fraction {validation_fraction})")
    rng = np.random.default_rng(random_state)
    order = rng.permutation(n)
    valid_rows, train_rows = order[:n_valid], order[n_valid:]
    train = {k: _rows(v, train_rows) for k, v in columns.items()}
    train_y = y[train_rows]
    if epochs is None:
        epochs = _default_epochs(len(train_rows))
    tiled = tiled_y = None
    numbers = {k: v for k, v in train.items() if not isinstance(v, _data.Distinct)}
    if len(train_rows) * epochs * (len(numbers) + 1) <= _TILE_LIMIT:
        rows = np.concatenate([rng.permutation(len(train_rows)) for _ in range(epochs)])
        tiled = {k: v[rows] for k, v in numbers.items()}
        tiled_y = train_y[rows]
    return _Data(target, epochs, train, train_y, tiled, tiled_y,
                 {k: _rows(v, valid_rows) for k, v in columns.items()}, y[valid_rows])


def _rows(column: _Column, rows: NDArray[np.intp]) -> _Column:
    return column.take(rows) if isinstance(column, _data.Distinct) else column[rows]


Progress = Union[None, bool, Callable[[int, SearchResult], None]]


def search(X: Any, y: Any, *, categorical: Optional[Iterable[str]] = None,
           functions: Sequence[str] = ("linear", "tanh", "gaussian", "sine", "multiply"),
           max_nodes: int = 12, time_budget: Optional[float] = None,
           generations: Optional[int] = None, epochs: Optional[int] = None,
           validation_fraction: float = 0.25, random_state: int = 0,
           workers: Optional[int] = None, client: Any = None,
           progress: Progress = None, missing: str = "error") -> SearchResult:
    """Search for the expression that predicts ``y`` from the columns of ``X``.

    ``X`` is a dict of 1-D arrays, a data frame or a 2-D array (columns x0, x1, ...);
    every column but the target is an input. ``y`` is an array or the name of a column
    of ``X``. ``categorical`` names the categorical columns; None infers them from the
    columns' types, as ``Model`` does. ``missing`` is the models' policy for missing
    input values (see ``Model``). A random
    ``validation_fraction`` of the rows scores the candidates; the rest trains them, for
    ``epochs`` passes each (by default enough passes for about 20,000 online steps).

    Candidates use the ``functions`` named and at most ``max_nodes`` graph nodes besides
    the output (calls plus distinct input columns). Each generation breeds new shapes
    from the best so far; a shape already scored (same structural hash over the same
    input columns) is not trained again. The search stops after ``generations``
    generations or, between two generations, once ``time_budget`` seconds have passed
    (20 generations when neither is given).

    Training runs on ``workers`` threads, or on a Dask cluster when ``client`` (a
    ``dask.distributed.Client``) is given. For a given ``random_state`` the front does not
    depend on either; with ``time_budget`` it depends on how many generations fit in it.
    ``progress``: True prints a line per generation to stderr; a callable is called with
    the generation number and the result so far.
    """
    functions = tuple(functions)
    for fn in functions:
        if fn not in FUNCTIONS:
            raise ValueError(f"unknown function {fn!r}; choose from {', '.join(FUNCTIONS)}")
    if not functions:
        raise ValueError("functions: name at least one function")
    _format.check_int(max_nodes, "max_nodes", 2)
    _format.check_int(random_state, "random_state", 0)
    if generations is not None:
        _format.check_int(generations, "generations", 0)
    if epochs is not None:
        _format.check_int(epochs, "epochs", 1)
    if workers is not None:
        _format.check_int(workers, "workers", 1)
    if time_budget is not None and not time_budget > 0:
        raise ValueError(f"time_budget must be a positive number of seconds, got {time_budget!r}")
    if not 0 < validation_fraction < 1:
        raise ValueError("validation_fraction must lie between 0 and 1, "
                         f"got {validation_fraction!r}")
    if generations is None and time_budget is None:
        generations = 20

    start = time.perf_counter()
    target, columns, y_values = _columns(X, y, categorical, missing)
    categorical = [k for k, v in columns.items() if isinstance(v, _data.Distinct)]
    data = _split(target, columns, y_values, epochs, validation_fraction, random_state)
    breeder = _Breeder(np.random.default_rng(random_state), list(columns), functions, max_nodes)
    runner = _Runner(data, workers, client)

    trees: List[Tree] = []
    models: List[Optional[Model]] = []
    losses: List[float] = []
    sizes: List[int] = []
    seen: set[Tuple[int, Tuple[str, ...]]] = set()
    tried: set[str] = set()

    def result(generation: int) -> SearchResult:
        front = _pareto(zip(sizes, losses, range(len(losses))))
        return SearchResult([m for m in (models[i] for _, _, i in front) if m is not None],
                            [loss for _, loss, _ in front], [s for s, _, _ in front],
                            float(np.var(data.valid_y)), generation, len(losses),
                            time.perf_counter() - start)

    def evaluate(batch: List[Tree]) -> None:
        kept: List[Tree] = []

        def jobs() -> Iterator[_Job]:
            for tree in batch:
                text = render(tree)
                seed = _seed_of(text, random_state)
                used = tuple(c for c in categorical if c in _names(tree))
                model = _start(Model(text, target, used, seed=seed, missing=missing))
                # The hash sees types and wiring, not which column an input reads.
                key = (hash(model.graph), model.inputs)
                if key not in seen:
                    seen.add(key)
                    kept.append(tree)
                    yield _Job(model, seed)
        for tree, (model, loss) in zip(kept, runner.run(jobs())):
            trees.append(tree)
            models.append(model)
            losses.append(loss)
            sizes.append(model.graph.edge_count)
        # A model off the front never returns to it: only the front's models are kept.
        on_front = {i for _, _, i in _pareto(zip(sizes, losses, range(len(losses))))}
        for i, m in enumerate(models):
            if m is not None and i not in on_front:
                models[i] = None

    def fresh(make: Callable[[], Optional[Tree]], count: int = POPULATION) -> List[Tree]:
        """Up to ``count`` trees not tried before, from ``make`` (until it gives None)."""
        batch: List[Tree] = []
        for _ in range(count * 20):
            made = None if len(batch) == count else make()
            if made is None:
                break
            tree = _canonical(made)
            text = render(tree)
            if text in tried or not breeder.fits(tree):
                continue
            tried.add(text)
            batch.append(tree)
        return batch

    # Generation 0: every function of one column and of two, then random trees.
    first = breeder.smallest()
    seeds = iter(first)
    evaluate(fresh(lambda: next(seeds, None) or breeder.grow(int(breeder.rng.integers(1, 4))),
                   max(POPULATION, len(first))))
    generation = 0
    report = _reporter(progress)
    try:
        while True:
            if report is not None:
                report(generation, result(generation))
            if generations is not None and generation >= generations:
                break
            if time_budget is not None and time.perf_counter() - start >= time_budget:
                break
            generation += 1
            parents = _parents(losses, sizes)

            def parent() -> Tree:
                # Tournament: the lowest loss of a few drawn from the pool.
                drawn = [parents[int(breeder.rng.integers(len(parents)))]
                         for _ in range(TOURNAMENT)]
                return trees[min(drawn, key=lambda i: (losses[i], i))]

            def child() -> Tree:
                a = parent()
                if breeder.rng.random() < CROSSOVER:
                    return breeder.cross(a, parent())
                return breeder.mutate(a)

            # Up to half the generation goes to steps a front model may be one step short
            # of: wrapped in each one-argument function (sine of a product, ...), and for
            # the most accurate one, one more term in a linear node.
            front = _pareto(zip(sizes, losses, range(len(losses))))
            steps: List[Tree] = [(fn, (trees[i],)) for _, _, i in front
                                 for fn in breeder.by_arity[1]]
            steps += breeder.terms(trees[front[-1][2]]) if "linear" in functions else []
            todo = iter(steps)
            batch = fresh(lambda: next(todo, None), POPULATION // 2)
            batch += fresh(child, POPULATION - len(batch))
            if not batch:
                break
            evaluate(batch)
    finally:
        runner.close()
    return result(generation)


def _names(tree: Tree) -> set[str]:
    return {tree} if isinstance(tree, str) else set().union(*(_names(a) for a in tree[1]))


def _parents(losses: Sequence[float], sizes: Sequence[int]) -> List[int]:
    """The breeding pool: the best ``POPULATION`` by loss, and the front."""
    order = sorted(range(len(losses)), key=lambda i: (losses[i], sizes[i], i))
    front = [i for _, _, i in _pareto(zip(sizes, losses, range(len(losses))))]
    return sorted(set(order[:POPULATION] + front))


def _reporter(progress: Progress) -> Optional[Callable[[int, SearchResult], None]]:
    if progress is None or progress is False:
        return None
    if callable(progress):
        return progress

    def line(generation: int, result: SearchResult) -> None:
        best = min(result.losses) if result.losses else math.nan
        print(f"generation {generation}: {result.scored} scored, best validation loss "
              f"{best:.6g}, front of {len(result.front)}, {result.seconds:.1f} s",
              file=sys.stderr, flush=True)
    return line


class _Runner:
    """Trains a list of jobs on threads or on a Dask cluster, results in job order."""

    def __init__(self, data: _Data, workers: Optional[int], client: Any) -> None:
        self.data = data
        self.client = client
        self.pool: Optional[ThreadPoolExecutor] = None
        if client is not None:
            from . import _dask
            self.remote = _dask.Remote(client, data)
        elif (workers or os.cpu_count() or 1) > 1:
            self.pool = ThreadPoolExecutor(max_workers=workers or os.cpu_count())

    def run(self, jobs: Iterable[_Job]) -> List[Tuple[Model, float]]:
        """Results in the order of ``jobs``; on threads each job starts as soon as it is
        made, so training overlaps the building of the next candidates."""
        if self.client is not None:
            return self.remote.run(list(jobs))
        if self.pool is None:
            return _train_batch(list(jobs), self.data)
        futures = [self.pool.submit(_train_one, job, self.data) for job in jobs]
        return [f.result() for f in futures]

    def close(self) -> None:
        if self.pool is not None:
            self.pool.shutdown()
        if self.client is not None:
            self.remote.close()


def _search_expression(X: Any, y: Any, *, categorical: Optional[Iterable[str]] = None,
                       time_budget: Optional[float] = None, random_state: int = 0,
                       epochs: Optional[int] = None, **options: Any) -> Model:
    """The best expression of a search, trained on all the rows.

    For estimators whose expression is "auto": the search holds back validation rows to
    choose the shape; the shape then learns again from every row, from the same start.
    Online training can settle elsewhere on other rows, so the retrained model is kept
    only when it fits all the rows at least as well as the one the search chose.
    """
    found = search(X, y, categorical=categorical, time_budget=time_budget,
                   random_state=random_state, epochs=epochs, **options).best
    target, columns, y_values = _columns(X, y, categorical, found.missing)
    model = _start(Model(found.expression, target, found.categorical, missing=found.missing,
                         seed=_seed_of(found.expression, random_state)))
    _fit(model, columns, y_values, epochs or _default_epochs(len(y_values)), random_state)
    if _error(model, columns, y_values) <= _error(found, columns, y_values):
        return model
    return found
