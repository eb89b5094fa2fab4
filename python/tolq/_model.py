"""``Model``: a graph built from an expression, trained on tables, saved as JSON."""
from __future__ import annotations

import json
import math
import os
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Type, TypeVar

import numpy as np
from numpy.typing import NDArray

import _tolq

from . import _data, _format
from ._expression import (FUNCTIONS, MAX_NESTING, Name, Node, arity_text, can_write_name, parse,
                          quote_name)
from ._format import LOSSES, FormatError

try:
    from tqdm import tqdm as _tqdm  # type: ignore[import-untyped,unused-ignore]
except ImportError:  # bars are a nicety; training works without them
    _tqdm = None  # type: ignore[assignment,misc,unused-ignore]

M = TypeVar("M", bound="Model")

# Rows per training query when a progress bar is shown; training itself does not depend
# on it, since every query is online training one sample at a time.
_CHUNK = 2048


@dataclass(frozen=True)
class _Slot:
    """One slot of the layout; ``sources`` is (-1,) for an input register."""

    type: str
    name: str
    sources: Tuple[int, ...]
    latticeloc: Tuple[int, int, int]
    gluamine: int

    @property
    def is_input(self) -> bool:
        return self.sources == (-1,)


def _check_name(name: str, what: str) -> None:
    if not isinstance(name, str) or not can_write_name(name):
        raise ValueError(f"{what} must be a non-empty string without both kinds of quote, "
                         f"got {name!r}")
    if "\0" in name or len(name.encode("utf-8")) > _format.NAME_BYTES:
        raise ValueError(f"{what} {name!r} is too long or holds a NUL character "
                         f"(at most {_format.NAME_BYTES} UTF-8 bytes)")


def _layout(tree: Node, target: str, categorical: Sequence[str], gluamine: int) -> List[_Slot]:
    """Inputs in order of first appearance, then calls in post-order, then the output.

    Post-order puts every call after its arguments, so each source lies in an earlier
    slot. Every call gets a node of its own; inputs are shared by name.
    """
    names: List[str] = []
    stack: List[Node] = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, Name):
            if node.name not in names:
                names.append(node.name)
        else:
            stack.extend(reversed(node.args))
    slots: List[_Slot] = []

    def add(kind: str, name: str, sources: Tuple[int, ...]) -> int:
        slot = len(slots)
        # The structural hash multiplies lattice keys along edges; slot + 1 keeps slot 0's
        # edges from vanishing in it.
        slots.append(_Slot(kind, name, sources, (slot + 1, 0, 0), gluamine))
        return slot

    where = {name: add("cat" if name in categorical else "fixed", name, (-1,)) for name in names}

    def place(node: Node) -> int:
        if isinstance(node, Name):
            return where[node.name]
        return add(node.function, "", tuple(place(arg) for arg in node.args))

    add("fixed", target, (place(tree),))
    return slots


def _check_layout(slots: Sequence[_Slot]) -> None:
    """Refuse any structure that ``from_expression`` could not have produced in some order."""
    if len(slots) < 2:
        raise FormatError("a model needs at least one input and the output")
    users = [0] * len(slots)
    depth = [0] * len(slots)
    inputs = set()
    for i, s in enumerate(slots):
        where = f"slot {i}"
        last = i == len(slots) - 1
        if s.is_input:
            if s.type not in _format.REGISTERS or last:
                raise FormatError(f"{where}: a {s.type} node cannot be an input")
            if s.name in inputs:
                raise FormatError(f"{where}: input {s.name!r} appears twice")
            inputs.add(s.name)
            continue
        if last:
            if s.type != "fixed" or len(s.sources) != 1:
                raise FormatError(f"{where}: the output must be a fixed register with one source")
        elif s.type in _format.REGISTERS:
            raise FormatError(f"{where}: a {s.type} register must be an input or the output")
        else:
            low, high = FUNCTIONS[s.type]
            if not low <= len(s.sources) <= high:
                raise FormatError(f"{where}: {s.type} takes {arity_text(low, high)}, "
                                  f"got {len(s.sources)}")
        for src in s.sources:
            if not 0 <= src < i:
                raise FormatError(f"{where}: source {src} does not name an earlier slot")
            users[src] += 1
            depth[i] = max(depth[i], depth[src] + 1)
        if depth[i] > MAX_NESTING + last:  # as deep as the parser allows, plus the output
            raise FormatError(f"{where}: nested deeper than {MAX_NESTING} calls")
    for i, s in enumerate(slots[:-1]):
        if users[i] == 0:
            raise FormatError(f"slot {i}: its value is used nowhere")
        if not s.is_input and users[i] > 1:
            raise FormatError(f"slot {i}: a function node may feed only one other node")
    if slots[-1].name in inputs:
        raise FormatError(f"the target {slots[-1].name!r} is also an input")


def _fmt(value: float) -> str:
    return f"{value:.4g}"


def _loss_sum(loss: str, pred: NDArray[np.float32], y: NDArray[np.float64],
              low: float, high: float) -> float:
    p = pred.astype(np.float64)
    if loss == "mean_absolute_error":
        return float(np.sum(np.abs(p - y)))
    if loss == "categorical_cross_entropy":
        # The lowest target value is the negative class; the prediction's place in the
        # output range is the probability of the positive one.
        span = high - low
        prob = (p - low) / span if span > 0 else np.full_like(p, 0.5)
        prob = np.clip(prob, 1e-7, 1 - 1e-7)
        positive = y > low
        return float(-np.sum(np.where(positive, np.log(prob), np.log1p(-prob))))
    return float(np.sum((p - y) ** 2))


class Model:
    """A graph built from an expression such as ``sine(multiply(x0, x1))``.

    ``Model(expression, target, categorical)`` is the same as ``Model.from_expression``.
    Every function call becomes a node of its own, so two equal sub-expressions are two
    nodes that learn separately; inputs are shared by name.
    """

    _slots: Tuple[_Slot, ...]
    _nodes: Tuple[_tolq.Interaction, ...]
    _graph: _tolq.Graph
    _lock: threading.Lock

    def __init__(self, expression: str, target: str = "y", categorical: Iterable[str] = (),
                 *, loss: str = _tolq.DEFAULT_LOSS, gluamine: int = 0,
                 seed: Optional[int] = None) -> None:
        if not isinstance(expression, str):
            raise TypeError(f"expression must be a str, not {type(expression).__name__}")
        tree = parse(expression)
        _check_name(target, "target")
        if isinstance(categorical, str):
            categorical = (categorical,)
        categorical = tuple(categorical)
        for name in categorical:
            _check_name(name, "categorical column")
        _format.check_int(gluamine, "gluamine", 0)
        slots = _layout(tree, target, categorical, gluamine)
        used = {s.name for s in slots if s.is_input}
        if target in used:
            raise ValueError(f"the target {target!r} is also an input of the expression")
        for name in categorical:
            if name not in used:
                raise ValueError(f"categorical column {name!r} does not appear in the expression")
        for name in used:
            _check_name(name, "input name")
        self._setup(slots, loss)
        if seed is not None:
            self._draw_parameters(np.random.default_rng(seed))

    @classmethod
    def from_expression(cls: Type[M], expression: str, target: str = "y",
                        categorical: Iterable[str] = (), *, loss: str = _tolq.DEFAULT_LOSS,
                        gluamine: int = 0, seed: Optional[int] = None) -> M:
        """Build a model from ``expression`` over input names.

        The functions are linear, tanh and gaussian (one or two arguments), sine (one)
        and multiply (two). Names listed in ``categorical`` become categorical inputs
        (one learned weight per category), the others numeric ones. ``target`` names the
        predicted column. ``gluamine`` lowers the learning rates (0 is the fastest).

        Starting parameters are the module's own random draws; give ``seed`` to draw them
        reproducibly instead, from the same ranges.

        Raises ``ExpressionError`` (a ValueError) pointing at the position of the fault.
        """
        return cls(expression, target, categorical, loss=loss, gluamine=gluamine, seed=seed)

    def _setup(self, slots: Sequence[_Slot], loss: str) -> None:
        graph = _tolq.Graph(len(slots))
        nodes = []
        for i, s in enumerate(slots):
            node = _tolq.Interaction(s.type, s.latticeloc, s.gluamine, s.name)
            for ix, src in enumerate(s.sources):
                node._set_source(ix, src)
            graph[i] = node
            nodes.append(node)
        self._slots = tuple(slots)
        self._nodes = tuple(nodes)
        self._graph = graph
        self._lock = threading.Lock()
        self.loss = loss

    def _draw_parameters(self, rng: np.random.Generator) -> None:
        """Starting values from ``rng``, over the ranges the module itself draws from."""
        for node in self._nodes:
            kind = node.type
            if kind == "linear":
                w = rng.uniform(-0.5, 0.5, 2)
                node.state._from_dict({"w0": w[0], "w1": w[1], "bias": 0.0})
            elif kind == "tanh":
                w = rng.uniform(-5.0, 5.0, 3)
                node.state._from_dict({"w0": w[0], "w1": w[1], "bias": w[2]})
            elif kind == "gaussian":
                c = rng.uniform(0.0, 1.0, 2)
                w = 0.5 - rng.uniform(0.0, 0.5, 2)  # in (0, 0.5]: a width must stay positive
                node.state._from_dict({"center0": c[0], "center1": c[1], "w0": w[0], "w1": w[1]})
            elif kind == "sine":
                node.state._from_dict({"x0": 0.0, "k": float(rng.integers(1, 4)) * math.pi})

    # ---- what the model is --------------------------------------------------------------

    @property
    def graph(self) -> _tolq.Graph:
        """The underlying ``_tolq.Graph``: inputs first, then the nodes, the output last."""
        return self._graph

    @property
    def target(self) -> str:
        return self._slots[-1].name

    @property
    def inputs(self) -> Tuple[str, ...]:
        """Names of the input columns, in slot order."""
        return tuple(s.name for s in self._slots if s.is_input)

    @property
    def categorical(self) -> Tuple[str, ...]:
        """Names of the categorical input columns."""
        return tuple(s.name for s in self._slots if s.is_input and s.type == "cat")

    @property
    def expression(self) -> str:
        """The expression, without parameters; it parses back to the same structure."""
        return self._render(self._slots[-1].sources[0], False)

    @property
    def loss(self) -> str:
        """The training loss: one of ``tolq.LOSSES``."""
        return self._loss

    @loss.setter
    def loss(self, name: str) -> None:
        if name not in LOSSES:
            raise ValueError(f"unknown loss {name!r}; choose one of {', '.join(LOSSES)}")
        self._nodes[-1]._loss = name
        self._loss = name

    def _shown_parameters(self, slot: int) -> Dict[str, Any]:
        s = self._slots[slot]
        params = self._nodes[slot].state._to_dict()
        if len(s.sources) == 1:  # the second input's parameters take no part
            params.pop({"gaussian": "center1"}.get(s.type, ""), None)
            if s.type in ("linear", "tanh", "gaussian"):
                params.pop("w1", None)
        return params

    def _render(self, slot: int, with_parameters: bool) -> str:
        s = self._slots[slot]
        if s.is_input:
            return quote_name(s.name)
        args = ", ".join(self._render(src, with_parameters) for src in s.sources)
        head = s.type
        if with_parameters and s.type != "multiply":
            params = self._shown_parameters(slot)
            head += "[" + ", ".join(f"{k}={_fmt(v)}" for k, v in params.items()) + "]"
        return f"{head}({args})"

    def _range(self, slot: int) -> Tuple[float, float]:
        state = self._nodes[slot].state
        return float(state.feature_min), float(state.feature_max)

    def __str__(self) -> str:
        lines = [f"{quote_name(self.target)} = {self._render(self._slots[-1].sources[0], True)}"]
        for i, s in enumerate(self._slots):
            if s.type == "cat" and s.is_input:
                cats = self._nodes[i].state.categories
                shown = ", ".join(f"{k!r}: {_fmt(w)}" for k, w in cats[:8])
                more = f", ... ({len(cats)} in all)" if len(cats) > 8 else ""
                lines.append(f"  {s.name}: categorical {{{shown}{more}}}")
            elif s.type == "fixed":
                low, high = self._range(i)
                where = "not learned yet" if math.isnan(low) else f"[{_fmt(low)}, {_fmt(high)}]"
                role = "numeric" if s.is_input else f"output, loss {self.loss}"
                lines.append(f"  {s.name}: {role}, range {where}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<tolq.Model {quote_name(self.target)} = {self.expression}>"

    # ---- data ---------------------------------------------------------------------------

    def _inputs_of(self, X: Any, cache: Optional[Dict[Tuple[str, str], Any]] = None
                   ) -> Dict[str, NDArray[Any]]:
        """The input columns, checked and converted; ``cache`` shares them between models."""
        columns: Dict[str, NDArray[Any]] = {}
        for s in self._slots:
            if not s.is_input:
                continue
            key = (s.type, s.name)
            if cache is not None and key in cache:
                columns[s.name] = cache[key]
                continue
            raw = _data.get_column(X, s.name)
            convert = _data.categorical if s.type == "cat" else _data.numeric
            columns[s.name] = convert(raw, f"column {s.name!r}")
            if cache is not None:
                cache[key] = columns[s.name]
        _data.same_length(columns)
        return columns

    def _training_data(self, X: Any, y: Any, cache: Optional[Dict[Tuple[str, str], Any]] = None
                       ) -> Tuple[Dict[str, NDArray[Any]], NDArray[np.float64]]:
        columns = self._inputs_of(X, cache)
        raw = _data.get_column(X, y) if isinstance(y, str) else y
        target = _data.numeric(raw, "y" if not isinstance(y, str) else f"column {y!r}")
        n = len(next(iter(columns.values())))
        if len(target) != n:
            raise _data.DataError(f"y has {len(target)} values but X has {n} rows")
        if n == 0:
            raise _data.DataError("no rows to train on")
        return columns, target

    # ---- training and prediction --------------------------------------------------------

    def fit(self, X: Any, y: Any, epochs: int = 10, shuffle: bool = True,
            seed: Optional[int] = 0, progress: bool = True) -> List[float]:
        """Train online, one sample at a time, for ``epochs`` passes over the rows.

        ``X`` is a dict of 1-D arrays or a pandas DataFrame holding every input column;
        ``y`` an array of targets (or the name of a column of ``X``). Each epoch visits
        the rows in an order drawn from ``numpy.random.default_rng(seed)`` when
        ``shuffle`` is set. ``progress`` shows a bar per epoch (tqdm).

        Returns one figure per epoch: the mean loss of each row's prediction made just
        before the model learned from that row (squared error, absolute error, or
        binary cross-entropy, after ``loss``). It costs no extra pass over the data.

        The ranges of the numeric inputs and of the target are widened to cover the data
        before the first epoch, so the result does not depend on how rows are batched.
        """
        _format.check_int(epochs, "epochs", 0)
        columns, target = self._training_data(X, y)
        return self._train(columns, target, epochs, shuffle, seed, progress)

    def _train(self, columns: Dict[str, NDArray[Any]], target: NDArray[np.float64], epochs: int,
               shuffle: bool, seed: Optional[int], progress: bool) -> List[float]:
        losses: List[float] = []
        if epochs == 0:
            return losses
        n = len(target)
        show = progress and _tqdm is not None
        with self._lock:
            self._widen_ranges(columns, target)
            low, high = self._range(len(self._slots) - 1)
            rng = np.random.default_rng(seed)
            for epoch in range(epochs):
                order = rng.permutation(n) if shuffle else np.arange(n)
                bar = (_tqdm(total=n, desc=f"epoch {epoch + 1}/{epochs}", unit=" rows",
                             leave=True) if show else None)
                step = _CHUNK if show else n
                total = 0.0
                try:
                    for start in range(0, n, step):
                        rows = order[start:start + step]
                        y_rows = target[rows]
                        pred = self._graph._query({k: v[rows] for k, v in columns.items()},
                                                  y_rows)
                        total += _loss_sum(self._loss, pred, y_rows, low, high)
                        if bar is not None:
                            bar.update(len(rows))
                            bar.set_postfix(loss=_fmt(total / (start + len(rows))),
                                            refresh=False)
                finally:
                    if bar is not None:
                        bar.close()
                losses.append(total / n)
        return losses

    def _widen_ranges(self, columns: Dict[str, NDArray[Any]], target: NDArray[np.float64]) -> None:
        """Widen numeric ranges over all the data, as binding it at once would."""
        for i, s in enumerate(self._slots):
            if s.type != "fixed":
                continue
            state = self._nodes[i].state
            if not state.auto_adapt:
                continue
            values = columns[s.name] if s.is_input else target
            high = float(np.float32(values.max()))
            low = float(np.float32(values.min()))
            if math.isnan(state.feature_max) or high > state.feature_max:
                state.feature_max = high
            if math.isnan(state.feature_min) or low < state.feature_min:
                state.feature_min = low

    def predict(self, X: Any) -> NDArray[np.float32]:
        """Predictions for the rows of ``X``, as float32.

        Prediction leaves ranges and parameters as they are: values outside a learned
        range are clamped to it. Categories never seen before are predicted with weight
        0 and are recorded as such.
        """
        columns = self._inputs_of(X)
        with self._lock:
            if math.isnan(self._range(len(self._slots) - 1)[0]):
                raise RuntimeError("the model has not been trained yet: call fit() first")
            frozen = [self._nodes[i].state for i, s in enumerate(self._slots)
                      if s.type == "fixed"]
            adapt = [state.auto_adapt for state in frozen]
            try:
                for state in frozen:
                    state.auto_adapt = False
                return self._graph._query(dict(columns))
            finally:
                for state, flag in zip(frozen, adapt):
                    state.auto_adapt = flag

    # ---- persistence --------------------------------------------------------------------

    def to_dict(self) -> Dict[str, Any]:
        """The model as a JSON-ready dict: structure, loss and every parameter.

        Adam's moment estimates and the count of samples seen are not part of it: a
        restored model predicts exactly as this one does, but further training of it
        starts its moments afresh.
        """
        with self._lock:
            slots = []
            for s, node in zip(self._slots, self._nodes):
                doc: Dict[str, Any] = {"type": s.type}
                if s.type in _format.REGISTERS:
                    doc["name"] = s.name
                doc["sources"] = list(s.sources)
                doc["latticeloc"] = list(s.latticeloc)
                doc["gluamine"] = s.gluamine
                doc["state"] = _format.encode_state(s.type, node.state._to_dict())
                slots.append(doc)
        return {"format": _format.FORMAT, "version": _format.VERSION,
                "expression": f"{quote_name(self.target)} = {self.expression}",
                "loss": self.loss, "slots": slots}

    @classmethod
    def from_dict(cls: Type[M], document: Any) -> M:
        """The model that ``to_dict`` described; FormatError if the document is not valid."""
        doc = _format.check_keys(document, "model", ("format", "version", "loss", "slots"),
                                 ("expression",))
        if doc["format"] != _format.FORMAT:
            raise FormatError(f"not a tolq model (format {doc['format']!r})")
        version = _format.check_int(doc["version"], "version", 1, 2**31 - 1)
        if version > _format.VERSION:
            raise FormatError(f"the model is in format version {version}, newer than this "
                              f"tolq reads (up to {_format.VERSION}); upgrade tolq")
        if doc["loss"] not in LOSSES:
            raise FormatError(f"loss: unknown loss {doc['loss']!r}")
        if not isinstance(doc["slots"], list):
            raise FormatError("slots: expected a list")
        slots, states = [], []
        for i, item in enumerate(doc["slots"]):
            where = f"slots[{i}]"
            item = _format.check_keys(item, where, ("type", "sources", "latticeloc", "gluamine",
                                                    "state"), ("name",))
            kind = item["type"]
            if not isinstance(kind, str) or kind not in _format.PARAMETERS:
                raise FormatError(f"{where}.type: unknown node type {kind!r}")
            name = item.get("name", "")
            if (kind in _format.REGISTERS) != ("name" in item):
                raise FormatError(f"{where}: registers, and only they, have a name")
            if kind in _format.REGISTERS:
                try:
                    _check_name(name, f"{where}.name")
                except ValueError as exc:
                    raise FormatError(str(exc)) from None
            sources = item["sources"]
            if not isinstance(sources, list) or not 1 <= len(sources) <= 2:
                raise FormatError(f"{where}.sources: expected a list of one or two slots")
            loc = item["latticeloc"]
            if not isinstance(loc, list) or len(loc) != 3:
                raise FormatError(f"{where}.latticeloc: expected three integers")
            slots.append(_Slot(
                kind, name,
                tuple(_format.check_int(v, f"{where}.sources", -1) for v in sources),
                (_format.check_int(loc[0], f"{where}.latticeloc"),
                 _format.check_int(loc[1], f"{where}.latticeloc"),
                 _format.check_int(loc[2], f"{where}.latticeloc")),
                _format.check_int(item["gluamine"], f"{where}.gluamine", 0)))
            if -1 in slots[-1].sources and not slots[-1].is_input:
                raise FormatError(f"{where}.sources: -1 may only stand alone, marking an input")
            states.append(_format.decode_state(kind, item["state"], f"{where}.state"))
        _check_layout(slots)
        model = cls.__new__(cls)
        try:
            model._setup(slots, doc["loss"])
            for node, state in zip(model._nodes, states):
                node.state._from_dict(state)
        except (ValueError, TypeError, RuntimeError, AttributeError, OverflowError) as exc:
            raise FormatError(f"the module refused the model: {exc}") from None
        expression = f"{quote_name(model.target)} = {model.expression}"
        if doc.get("expression", expression) != expression:
            raise FormatError(f"expression: {doc['expression']!r} does not match the slots, "
                              f"which describe {expression!r}")
        return model

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the model to ``path`` as JSON (see ``to_dict`` for what is kept).

        ``Model.load`` gives back a model whose predictions are the same bits; Adam's
        moments are not saved, so training the loaded model goes on from fresh moments.
        The file is replaced in one step, so a reader never sees half of it.
        """
        text = _to_json(self.to_dict())
        folder = os.path.dirname(os.path.abspath(path))
        try:
            fd, tmp = tempfile.mkstemp(prefix=".tolq-", suffix=".json", dir=folder)
        except OSError as exc:  # name the file asked for, not the temporary one
            raise OSError(exc.errno, exc.strerror, os.fspath(path)) from None
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
            os.replace(tmp, path)
        except BaseException:
            os.unlink(tmp)
            raise

    @classmethod
    def load(cls: Type[M], path: str | os.PathLike[str]) -> M:
        """The model saved at ``path``; it predicts bit for bit as the saved one did.

        FormatError (a ValueError) when the file is not a valid model or comes from a
        newer version of tolq; OSError when it cannot be read.
        """
        with open(path, "rb") as f:
            raw = f.read()
        try:
            document = json.loads(raw.decode("utf-8"), parse_constant=_refuse_constant)
        except (UnicodeDecodeError, ValueError) as exc:
            raise FormatError(f"{os.fspath(path)}: not a tolq model file ({exc})") from None
        try:
            return cls.from_dict(document)
        except FormatError as exc:
            raise FormatError(f"{os.fspath(path)}: {exc}") from None

    def __reduce__(self) -> Tuple[Callable[..., Any], Tuple[Any, ...]]:
        # Through the same document as save(), so a pickled model restores bit for bit.
        return (_restore, (type(self), self.to_dict()))


def _to_json(document: Dict[str, Any]) -> str:
    """The document with one slot per line: readable, and diffs show which node changed."""
    def dump(value: Any) -> str:
        return json.dumps(value, ensure_ascii=False, allow_nan=False)

    lines = ["{"]
    lines += [f" {dump(k)}: {dump(v)}," for k, v in document.items() if k != "slots"]
    slots = document["slots"]
    lines.append(' "slots": [')
    lines += [f"  {dump(slot)}{',' if i < len(slots) - 1 else ''}" for i, slot in enumerate(slots)]
    lines += [" ]", "}", ""]
    return "\n".join(lines)


def _restore(cls: Type[M], document: Dict[str, Any]) -> M:
    return cls.from_dict(document)


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not valid JSON; non-finite numbers are written as strings")


def fit_many(models: Iterable[Model], X: Any, y: Any, epochs: int = 10, *,
             shuffle: bool = True, seed: Optional[int] = 0, workers: Optional[int] = None,
             progress: bool = False, client: Any = None) -> List[List[float]]:
    """Train several models on the same data in a pool of threads.

    Each model ends exactly as ``model.fit(X, y, epochs, shuffle, seed, progress=False)``
    would leave it: the models share no mutable state, and the module releases the
    interpreter lock while it trains, so they run in parallel. ``workers`` caps the
    threads (the pool's default when None). ``progress`` shows one bar over the models.
    Returns each model's per-epoch losses, in the order of ``models``.

    With ``client`` (a ``dask.distributed.Client``) the models train on its cluster
    instead, several per task, and their parameters and ranges are copied back; Adam's
    moments are not, as with ``save`` and ``load``.
    """
    models = list(models)
    for m in models:
        if not isinstance(m, Model):
            raise TypeError(f"fit_many trains tolq.Model objects, not {type(m).__name__}")
    if len({id(m) for m in models}) != len(models):
        raise ValueError("a model appears more than once; it cannot train twice at once")
    if workers is not None:
        _format.check_int(workers, "workers", 1)
    _format.check_int(epochs, "epochs", 0)
    if client is not None:
        from . import _dask
        return _dask.fit_many(models, X, y, epochs, shuffle, seed, client)
    cache: Dict[Tuple[str, str], Any] = {}
    prepared = [m._training_data(X, y, cache) for m in models]
    results: List[List[float]] = [[] for _ in models]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(m._train, cols, target, epochs, shuffle, seed, False): i
                   for i, (m, (cols, target)) in enumerate(zip(models, prepared))}
        bar = (_tqdm(total=len(models), desc="models", unit=" models")
               if progress and _tqdm is not None else None)
        try:
            for future in as_completed(futures):
                results[futures[future]] = future.result()
                if bar is not None:
                    bar.update(1)
        finally:
            if bar is not None:
                bar.close()
    return results
