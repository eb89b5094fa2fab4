"""``Model``: a graph built from an expression, trained on tables, saved as JSON."""
from __future__ import annotations

import contextlib
import dataclasses
import errno
import functools
import json
import math
import os
import secrets
import stat
import threading
from dataclasses import dataclass, replace
from typing import (Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence,
                    Tuple, Type, TypeVar, Union)

import numpy as np
from numpy.typing import NDArray

import _tolq

from . import _data, _format, _formula, _onerow, _transforms
from ._categories import UNSEEN, Coder
from ._expression import MAX_NESTING, Name, Node, arity_text, parse, transformed_name
from ._format import LOSSES, FormatError, check_arg
from ._nodes import CATEGORICAL, FUNCTIONS, NODE_TYPES, NUMERIC, PARAMETERS, NodeType, Place
from ._onerow import Plan
from ._training import History, Validation, loss_sum, readable, train_epochs
from ._transforms import TARGET_TRANSFORMS

M = TypeVar("M", bound="Model")
R = TypeVar("R")


@dataclass(frozen=True)
class _Slot:
    """One slot of the layout; ``sources`` is (-1,) for an input register."""

    type: str
    name: str
    sources: Tuple[int, ...]
    latticeloc: Tuple[int, int, int]
    gluamine: int
    transform: str = ""  # of an input register: what it reads of its column

    @property
    def is_input(self) -> bool:
        return self.sources == (-1,)

    @property
    def numeric(self) -> bool:
        """A numeric register: a numeric input, or the output."""
        return NODE_TYPES[self.type].numeric

    @property
    def categorical(self) -> bool:
        """A categorical register (an input)."""
        return NODE_TYPES[self.type].categorical

    @functools.cached_property
    def key(self) -> str:
        """The register's name in the graph and its array's key in a query: the column's
        name, or the input's text (``log(x)``) when it reads the column transformed."""
        return transformed_name(self.name, self.transform) if self.transform else self.name


# Converted columns by ``column_key`` (and the key with a transform's name, transformed).
Cache = Dict[Tuple[Any, ...], Any]


def column_key(name: str, categorical: bool, missing: str) -> Tuple[Any, ...]:
    """The key of a column converted for a model (``Model._inputs_of``) in a cache that
    models share: those of ``fit_many``, the search's."""
    return (categorical, name, missing)


def _check_name(name: str, what: str) -> None:
    if not isinstance(name, str) or not _data.can_write_name(name):
        raise ValueError(f"{what} must be a non-empty string without both kinds of quote, "
                         f"got {name!r}")
    if "\0" in name or len(name.encode("utf-8")) > _format.NAME_BYTES:
        raise ValueError(f"{what} {name!r} is too long or holds a NUL character "
                         f"(at most {_format.NAME_BYTES} UTF-8 bytes)")


def _layout(tree: Node, target: str, categorical: Sequence[str], gluamine: int,
            target_transform: str = "") -> List[_Slot]:
    """Inputs in order of first appearance, then calls in post-order, then the output.

    Post-order puts every call after its arguments, so each source lies in an earlier
    slot. Every call gets a node of its own; inputs are shared by name.
    """
    names: Dict[str, Name] = {}  # ordered, and a lookup that stays linear in the inputs
    stack: List[Node] = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, Name):
            names.setdefault(node.text, node)
        else:
            stack.extend(reversed(node.args))
    slots: List[_Slot] = []

    def add(kind: str, name: str, sources: Tuple[int, ...], transform: str = "") -> int:
        slot = len(slots)
        # The structural hash multiplies lattice keys along edges; slot + 1 keeps slot 0's
        # edges from vanishing in it.
        slots.append(_Slot(kind, name, sources, (slot + 1, 0, 0), gluamine, transform))
        return slot

    where = {text: add(CATEGORICAL if n.name in categorical else NUMERIC, n.name, (-1,),
                       n.transform)
             for text, n in names.items()}

    def place(node: Node) -> int:
        if isinstance(node, Name):
            return where[node.text]
        return add(node.function, "", tuple(place(arg) for arg in node.args))

    add(NUMERIC, target, (place(tree),), target_transform)
    return slots


def _check_layout(slots: Sequence[_Slot]) -> None:
    """Refuse any structure that ``from_expression`` could not have produced in some order."""
    if len(slots) < 2:
        raise FormatError("a model needs at least one input and the output")
    users = [0] * len(slots)
    depth = [0] * len(slots)
    inputs = set()
    columns = set()
    for i, s in enumerate(slots):
        where = f"slot {i}"
        last = i == len(slots) - 1
        if s.is_input:
            if not NODE_TYPES[s.type].register or last:
                raise FormatError(f"{where}: a {s.type} node cannot be an input")
            if s.key in inputs:
                raise FormatError(f"{where}: input {s.key!r} appears twice")
            if s.transform and not s.numeric:
                raise FormatError(f"{where}: a {s.type} input cannot be transformed")
            inputs.add(s.key)
            columns.add(s.name)
            continue
        if s.transform and not (last and s.transform in TARGET_TRANSFORMS):
            raise FormatError(f"{where}: only an input or the output can be transformed "
                              f"(the output by {', '.join(TARGET_TRANSFORMS)})")
        if last:
            if not s.numeric or len(s.sources) != 1:
                raise FormatError(f"{where}: the output must be a {NUMERIC} register with one "
                                  "source")
        elif NODE_TYPES[s.type].register:
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
    if slots[-1].name in columns:
        raise FormatError(f"the target {slots[-1].name!r} is also an input")


def _check_transform(item: Dict[str, Any], where: str, version: int) -> str:
    if "transform" not in item:
        return ""
    transform = item["transform"]
    if version < 2:
        raise FormatError(f"{where}.transform: transforms need format version 2")
    if not NODE_TYPES[item["type"]].numeric or transform not in _transforms.TRANSFORMS:
        raise FormatError(f"{where}.transform: {transform!r} is not a transform of a "
                          "numeric register")
    return str(transform)


_Columns = Dict[str, NDArray[Any]]


def _top_level(document: Any) -> Tuple[Dict[str, Any], int]:
    """A model document's top level, checked, and its format version."""
    doc = _format.check_keys(document, "model", ("format", "version", "loss", "slots"),
                             ("expression", "missing", "means"))
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
    return doc, version


def _slot_of(item: Any, where: str, version: int) -> Tuple[_Slot, Dict[str, Any]]:
    """A document's slot, checked: its place in the layout and its parameters."""
    item = _format.check_keys(item, where, ("type", "sources", "latticeloc", "gluamine",
                                            "state"), ("name", "transform"))
    kind = item["type"]
    if not isinstance(kind, str) or kind not in PARAMETERS:
        raise FormatError(f"{where}.type: unknown node type {kind!r}")
    name = item.get("name", "")
    register = NODE_TYPES[kind].register
    if register != ("name" in item):
        raise FormatError(f"{where}: registers, and only they, have a name")
    if register:
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
    slot = _Slot(
        kind, name,
        tuple(_format.check_int(v, f"{where}.sources", -1) for v in sources),
        (_format.check_int(loc[0], f"{where}.latticeloc"),
         _format.check_int(loc[1], f"{where}.latticeloc"),
         _format.check_int(loc[2], f"{where}.latticeloc")),
        _format.check_int(item["gluamine"], f"{where}.gluamine", 0),
        _check_transform(item, where, version))
    if -1 in slot.sources and not slot.is_input:
        raise FormatError(f"{where}.sources: -1 may only stand alone, marking an input")
    return slot, _format.decode_state(kind, item["state"], f"{where}.state")


def _missing_of(doc: Dict[str, Any], version: int) -> str:
    missing = doc.get("missing", "error")
    if missing not in _data.MISSING or missing == "error" and "missing" in doc:
        raise FormatError(f"missing: expected 'zero' or 'mean', got {missing!r}")
    if "missing" in doc and version < 2:
        raise FormatError("missing: a missing policy needs format version 2")
    return str(missing)


def _means_of(doc: Dict[str, Any], slots: Sequence[_Slot], missing: str
              ) -> Dict[int, Tuple[float, int]]:
    """The means a document keeps under missing="mean", by slot."""
    means: Dict[int, Tuple[float, int]] = {}
    if "means" in doc:
        if missing != "mean" or not isinstance(doc["means"], dict):
            raise FormatError("means: an object kept only under missing='mean'")
        numeric = {s.key: i for i, s in enumerate(slots) if s.is_input and s.numeric}
        for name, item in doc["means"].items():
            if name not in numeric or not (isinstance(item, list) and len(item) == 2):
                raise FormatError(f"means: {name!r} is no numeric input, or its entry is "
                                  "not [mean, count]")
            means[numeric[name]] = (_format.decode_float(item[0], f"means.{name}"),
                                    _format.check_int(item[1], f"means.{name}", 1,
                                                      2**63 - 1))
    return means


def _check_validation(validation: Optional[Tuple[Any, Any]], validation_fraction: float,
                      early_stopping: bool) -> None:
    """``fit``'s validation arguments, checked."""
    if not (isinstance(validation_fraction, (int, float))
            and 0.0 <= validation_fraction < 1.0):
        raise ValueError(f"validation_fraction must be in [0, 1), got {validation_fraction!r}")
    if validation is not None and validation_fraction:
        raise ValueError("give validation data or validation_fraction, not both")
    if validation is not None and not (isinstance(validation, tuple)
                                       and len(validation) == 2):
        raise TypeError("validation must be a pair (X_val, y_val)")
    if early_stopping and not validation_fraction and validation is None:
        raise ValueError("early_stopping needs validation data: give validation= or "
                         "validation_fraction=")


class _Converted(Dict[str, Union[NDArray[Any], _data.Distinct]]):
    """Input columns checked and converted, keyed by each input's ``key``; categories not
    yet coded: a categorical column is its distinct values, which only the model's coders
    turn into codes (``_coded``, under the lock). ``slots`` is the structure the columns
    were read for; for a model whose categorical inputs were still to be decided then
    (``decide``), ``convert`` names the numeric input slots the data make categorical."""

    slots: Tuple[_Slot, ...] = ()
    convert: Tuple[int, ...] = ()
    decide: bool = False


# Training data as ``fit`` reads them: checked and converted columns, and the targets.
Prepared = Tuple[_Converted, NDArray[np.float64]]


class _Stale(RuntimeError):
    """Training data read for a model whose categorical inputs another call has decided,
    or taken back, since: ``fit`` and ``fit_many`` read them again."""


# What ``_train`` takes: columns as ``_inputs_of`` reads them, or numbers alone (the search).
_ColumnsIn = Mapping[str, Union[NDArray[Any], _data.Distinct]]


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
    _adapt: Dict[int, bool]
    _coders: Dict[int, Coder]
    _one: Optional[Plan]
    _trained: bool
    _missing: str
    # Per numeric input slot under missing="mean": the mean of its values trained on,
    # and how many values it is the mean of.
    _means: Dict[int, Tuple[float, int]]
    # Whether the categorical inputs are still to be decided by the first training data.
    _infer: bool

    def __init__(self, expression: str, target: str = "y",
                 categorical: Optional[Iterable[str]] = None, *,
                 loss: str = _tolq.DEFAULT_LOSS, rate_level: int = 0,
                 seed: Optional[int] = None, missing: str = "error",
                 target_transform: Optional[str] = None) -> None:
        if not isinstance(expression, str):
            raise TypeError(f"expression must be a str, not {type(expression).__name__}")
        tree = parse(expression)
        _check_name(target, "target")
        _data.check_missing(missing)
        infer = categorical is None
        if isinstance(categorical, str):
            categorical = (categorical,)
        categorical = tuple(categorical or ())
        for name in categorical:
            _check_name(name, "categorical column")
        check_arg(rate_level, "rate_level", 0)
        _transforms.check_name(target_transform, for_target=True)
        slots = _layout(tree, target, categorical, rate_level, target_transform or "")
        used = {s.name for s in slots if s.is_input}
        if target in used:
            raise ValueError(f"the target {target!r} is also an input of the expression")
        for name in categorical:
            if name not in used:
                raise ValueError(f"categorical column {name!r} does not appear in the expression")
        for s in slots:
            if s.is_input and s.transform and s.categorical:
                raise ValueError(f"{s.key}: a categorical column cannot be transformed")
            if s.is_input or s.transform:
                _check_name(s.key, "input name" if s.is_input else "transformed target")
        self._setup(slots, loss, missing)
        self._infer = infer
        if seed is not None:
            self._draw_parameters(np.random.default_rng(seed))

    @classmethod
    def from_expression(cls: Type[M], expression: str, target: str = "y",
                        categorical: Optional[Iterable[str]] = None, *,
                        loss: str = _tolq.DEFAULT_LOSS, rate_level: int = 0,
                        seed: Optional[int] = None, missing: str = "error",
                        target_transform: Optional[str] = None) -> M:
        """Build a model from ``expression`` over input names.

        The functions are linear, tanh and gaussian (one or two arguments), sine (one)
        and multiply (two). Names listed in ``categorical`` become categorical inputs
        (one learned weight per category), the others numeric ones. Without the list
        (None), the first training data decide: an input whose column holds text or
        categories by its type (pandas ``category``, ``string`` or ``object`` text,
        polars ``Categorical``/``String``, pyarrow strings, NumPy text; for ``learn_one``
        a str or bytes value) becomes categorical. A list given, even empty, wins: it
        names every categorical input and nothing is inferred. ``target`` names the
        predicted column. ``loss`` is one of ``tolq.LOSSES``.

        ``missing`` is what the model does with a missing input value (None, NaN, NA), in
        training and prediction: "error" refuses it naming its column and row; "zero"
        reads a number as the middle of its learned range and a category as one never
        seen (weight 0.0); "mean" reads a number as the mean of the values trained on and
        every missing category as one category of its own, learned like the others (the
        model keeps the means, and saves them). A missing target is always refused.
        A numeric input may be read through a transform, computed in float64 before the
        graph sees it: ``log(x)``, ``inv(x)`` (1/x) or ``sqrt(x)``; ``x`` and ``log(x)``
        are two inputs. ``target_transform`` ("log" or "inv") makes the graph learn the
        transformed target; predictions are taken back through the inverse (exp, 1/y).
        Where the data do not allow a transform (log of a value that is not positive,
        1/0) fitting and predicting raise ``DataError`` naming the column and the row.

        ``rate_level`` (an int, 0 or more; 0 is the fastest) sets every node's learning
        rate to its type's base rate divided by ln(rate_level + 2): linear and tanh
        0.005, gaussian 0.0001, sine 0.01 (so level 0 gives 0.0072, 0.00014 and 0.014;
        level 1 about 0.63 times those, level 10 about 0.28 times). The weights of
        categories move by a fixed step that no level changes.

        Starting parameters are the module's own random draws; give ``seed`` to draw them
        reproducibly instead, from the same ranges.

        Raises ``ExpressionError`` (a ValueError) pointing at the position of the fault.
        """
        return cls(expression, target, categorical, loss=loss, rate_level=rate_level,
                   seed=seed, missing=missing, target_transform=target_transform)

    def _setup(self, slots: Sequence[_Slot], loss: str, missing: str = "error") -> None:
        graph = _tolq.Graph(len(slots))
        nodes = []
        for i, s in enumerate(slots):
            node = _tolq.Interaction(s.type, s.latticeloc, s.gluamine, s.key)
            for ix, src in enumerate(s.sources):
                node._set_source(ix, src)
            graph[i] = node
            nodes.append(node)
        self._slots = tuple(slots)
        self._nodes = tuple(nodes)
        self._graph = graph
        self._lock = threading.Lock()
        # Ranges are widened by fit() over the whole data; the module never widens them,
        # so no query (a prediction above all) moves them.
        self._adapt = {}
        self._coders = {}
        for i, (s, node) in enumerate(zip(slots, nodes)):
            if s.numeric:
                self._adapt[i] = True
                node.state.auto_adapt = False
            elif s.categorical:
                self._coders[i] = Coder(s.name)
                node.state.categories = [(UNSEEN, 0.0)]
        self._one = None
        self._trained = False
        self._missing = missing
        self._means = {}
        self._infer = False
        self.loss = loss

    def _draw_parameters(self, rng: np.random.Generator) -> None:
        """Starting values from ``rng``, over the ranges the module itself draws from."""
        for s, node in zip(self._slots, self._nodes):
            draw = NODE_TYPES[s.type].draw
            if draw is not None:
                node.state._from_dict(draw(rng))

    # ---- what the model is --------------------------------------------------------------

    @property
    def graph(self) -> _tolq.Graph:
        """The underlying ``_tolq.Graph``: inputs first, then the nodes, the output last.

        Its registers have ``auto_adapt`` off (``fit`` widens the ranges itself), and a
        categorical register holds codes: 0 for every value never trained, then 1, 2, ...
        for the values of ``category_weights``, in order.
        """
        return self._graph

    @property
    def target(self) -> str:
        return self._slots[-1].name

    @property
    def target_transform(self) -> Optional[str]:
        """The transform the graph learns the target through ("log", "inv"), or None."""
        return self._slots[-1].transform or None

    @property
    def inputs(self) -> Tuple[str, ...]:
        """Names of the input columns, in slot order (a column read both as it is and
        transformed is named once)."""
        return tuple(dict.fromkeys(s.name for s in self._slots if s.is_input))

    @property
    def categorical(self) -> Tuple[str, ...]:
        """Names of the categorical input columns."""
        return tuple(s.name for s in self._slots if s.is_input and s.categorical)

    @property
    def expression(self) -> str:
        """The expression, without parameters; it parses back to the same structure."""
        return self._render(self._slots[-1].sources[0], False)

    @property
    def missing(self) -> str:
        """What the model does with a missing input value: "error", "zero" or "mean"
        (see ``from_expression``). Fixed when the model is built: "mean" needs the means
        of the data it trains on."""
        return self._missing

    @property
    def _target_text(self) -> str:
        return transformed_name(self.target, self._slots[-1].transform)

    @property
    def rate_level(self) -> int:
        """The learning-rate level the nodes were created with (0 is the fastest)."""
        return self._slots[-1].gluamine

    @property
    def loss(self) -> str:
        """The training loss: one of ``tolq.LOSSES``.

        "categorical_cross_entropy" is a two-class loss: a target equal to the lowest
        value of the target's range is the negative class, every other target the
        positive one. Its gradient is the prediction minus the class's end of [-1, 1],
        on the scale the output register maps the target range to.
        """
        return self._loss

    @loss.setter
    def loss(self, name: str) -> None:
        if name not in LOSSES:
            raise ValueError(f"unknown loss {name!r}; choose one of {', '.join(LOSSES)}")
        self._nodes[-1]._loss = name
        self._loss = name

    def category_weights(self, column: str) -> Dict[Any, float]:
        """The learned weight of every category of ``column``, in the order first met."""
        with self._lock:  # not halfway through a fit, which may make a slot categorical
            for i, s in enumerate(self._slots):
                if s.is_input and s.categorical and s.name == column:
                    return dict(self._category_pairs(i))
        raise ValueError(f"{column!r} is not a categorical input of the model")

    def _category_pairs(self, slot: int) -> List[Tuple[Any, float]]:
        weights = dict(self._nodes[slot].state.categories)
        return [(value, weights.get(code, 0.0)) for value, code in self._coders[slot].values()]

    def _shown_parameters(self, slot: int) -> Dict[str, Any]:
        s = self._slots[slot]
        params = self._nodes[slot].state._to_dict()
        if len(s.sources) == 1:  # the second input's parameters take no part
            for name in NODE_TYPES[s.type].second_source:
                del params[name]
        return params

    def _render(self, slot: int, with_parameters: bool) -> str:
        s = self._slots[slot]
        if s.is_input:
            return transformed_name(s.name, s.transform)
        args = ", ".join(self._render(src, with_parameters) for src in s.sources)
        head = s.type
        if with_parameters and NODE_TYPES[s.type].parameters:
            params = self._shown_parameters(slot)
            head += "[" + ", ".join(f"{k}={readable(v)}" for k, v in params.items()) + "]"
        return f"{head}({args})"

    def _range(self, slot: int) -> Tuple[float, float]:
        state = self._nodes[slot].state
        return float(state.feature_min), float(state.feature_max)

    def formula(self, digits: Optional[int] = None) -> str:
        """The model as a formula in the data's own units: the right-hand side of
        ``target = ...``, a Python expression over the input columns.

        Every register's scaling is folded into the parameters, so a linear node over an
        input reads ``a*x + b`` in x's units. The notation: numbers, column names (quoted
        where they are not Python identifiers: ``'unit price'``), ``+ - * / **`` and
        ``exp``, ``log``, ``sqrt``, ``tanh``, ``sin``, ``sign``, ``clip(v, low, high)``
        and ``lookup(column, {category: weight, ...})``.

        - A numeric input is ``clip(x, low, high)`` over its learned range (``log(x)``,
          ``1/x`` or ``sqrt(x)`` inside when it is read through a transform): the model
          clamps inputs beyond the range it trained on. A range of one point reads
          ``sign(x - point)``.
        - A categorical input is ``lookup(column, {...})``: its categories' weights (times
          whatever the formula multiplies them by), and 0.0 for a category not in the
          table (never trained; or missing, under missing="zero"). Under missing="mean"
          the key ``None`` is the missing category.
        - A linear node clamps its value to [-1, 1]; that clamp, scaled into the units
          around it, is written as ``clip(...)`` wherever the bounds carried from the input
          ranges let it reach; it is left out only where it cannot matter.
        - A target transform wraps it all: ``exp(...)`` for "log", ``1/(...)`` for "inv".

        With ``digits=None`` every number is written in full (the shortest text that reads
        back to the same double): evaluated in float64, the formula gives ``predict``'s
        values up to float32 rounding. ``digits`` (1 to 17) rounds every number to that
        many significant digits, for reading. ``tolq.evaluate_formula(text, X)`` computes
        the text with NumPy. Missing numeric values are not part of the formula: fill
        them first, as the model's ``missing`` policy does.

        RuntimeError if the model has not been trained yet.
        """
        if digits is not None:
            check_arg(digits, "digits", 1, 17)
        return self._folded().text(_formula.number_format(digits))

    def to_sympy(self) -> Any:
        """The model as a SymPy expression (SymPy is the optional extra ``tolq[sympy]``),
        the same formula as ``formula()``, its numbers exact.

        Its symbols are real (``sympy.Symbol(name, real=True)``, which SymPy tells apart
        from a plain ``Symbol(name)``): a numeric column is the symbol of its name, and a
        categorical column one indicator symbol per category, named
        ``[column == 'category']`` (the name and the category as ``formula`` writes
        them): 1 on rows of that category, else 0, so a category never trained (all of
        them 0) reads 0.0. A clamp is ``Max(low, Min(high, v))``.
        """
        return _formula.to_sympy(self._folded())

    def _folded(self) -> _formula.Sum:
        """The formula of the model, as its node types build it."""
        with self._lock:
            return self._fold()

    def _fold(self) -> _formula.Sum:
        """``_folded`` with the lock held."""
        self._check_trained()
        out: List[_formula.Sum] = []
        for i, s in enumerate(self._slots):
            rule = NODE_TYPES[s.type].formula
            assert rule is not None
            transform = _transforms.TRANSFORMS.get(s.transform)
            function = ("" if transform is None else
                        transform.formula if s.is_input else transform.inverse_formula)
            params: Mapping[str, Any] = (
                {"categories": self._category_pairs(i)} if i in self._coders
                else self._nodes[i].state._to_dict())
            sources = [out[j] for j in s.sources if j >= 0]
            out.append(rule(params, sources, Place(s.name, function)))
        return out[-1]

    def describe(self) -> str:
        """The model as trained: the expression with each node's parameters, which act on
        the internal [-1, 1] scale, and a line per register with its range (in the
        data's units) or its categories' weights."""
        with self._lock:  # not halfway through a fit
            return self._describe()

    def _describe(self) -> str:
        lines = [f"{self._target_text} = {self._render(self._slots[-1].sources[0], True)}"]
        for i, s in enumerate(self._slots):
            if s.categorical and s.is_input:
                cats = self._category_pairs(i)
                shown = ", ".join(f"{_data.shorten(k)}: {readable(w)}" for k, w in cats[:8])
                more = f", ... ({len(cats)} in all)" if len(cats) > 8 else ""
                lines.append(f"  {s.name}: categorical {{{shown}{more}}}")
            elif s.numeric:
                low, high = self._range(i)
                where = ("not learned yet" if math.isnan(low)
                         else f"[{readable(low)}, {readable(high)}]")
                role = "numeric" if s.is_input else f"output, loss {self.loss}"
                lines.append(f"  {s.key}: {role}, range {where}")
        return "\n".join(lines)

    def __str__(self) -> str:
        """The formula in the data's units, to 4 significant digits, then ``describe()``."""
        with self._lock:  # not halfway through a fit
            lines = self._describe().splitlines()
            head = (f"{_formula.quote(self.target)} = "
                    f"{self._fold().text(_formula.number_format(4))}" if self._trained
                    else f"{self._target_text} = {self.expression} (not trained yet)")
        return "\n".join([head, f"  on the internal scale: {lines[0]}", *lines[1:]])

    def __repr__(self) -> str:
        return f"<tolq.Model {self._target_text} = {self.expression}>"

    # ---- data ---------------------------------------------------------------------------

    def _policy(self, missing: Optional[str]) -> str:
        """A call's ``missing``: the model's own policy unless the call names another."""
        if missing is None:
            return self._missing
        _data.check_missing(missing)
        if missing == "mean" and self._missing != "mean":
            raise ValueError("missing='mean' needs the training means, which a model keeps "
                             "when it is built with missing='mean'")
        return missing

    def _inputs_of(self, X: Any, *, missing: Optional[str] = None,
                   cache: Optional[Cache] = None, infer: bool = False,
                   like: Optional[_Converted] = None) -> _Converted:
        """The input columns, checked and converted; categories are coded by ``_coded``.

        ``cache`` shares the converted columns between models (coding is each model's own).
        With ``infer``, a model whose categorical inputs are still to be decided reads a
        numeric input as categorical when its column's type says so (``_decide`` converts
        the slot). ``like`` reads the columns as other columns were read (validation data).
        """
        missing = self._policy(missing)
        columns = _Converted()
        if like is not None:
            columns.slots, columns.decide, columns.convert = like.slots, like.decide, like.convert
        else:
            # Whether the data decide, then the slots: a training call changes the slots
            # first, then that flag; _decide checks the pair under the lock.
            columns.decide = self._infer
            columns.slots = self._slots
            if infer and columns.decide:
                names = set(_data.categorical_columns(X, self.inputs))
                columns.convert = tuple(
                    i for i, s in enumerate(columns.slots) if s.is_input and
                    s.numeric and not s.transform and s.name in names)
        for i, s in enumerate(columns.slots):
            if not s.is_input:
                continue
            categorical = i in columns.convert or s.categorical
            key = column_key(s.name, categorical, missing)
            if cache is not None and key in cache:
                column = cache[key]
            else:
                raw = _data.get_column(X, s.name)
                what = f"column {s.name!r}"
                column = (_data.categorical_values(raw, what) if categorical
                          else _data.numeric(raw, what, missing, column=s.name))
                if cache is not None:
                    cache[key] = column
            if s.transform:
                tkey = key + (s.transform,)
                if cache is not None and tkey in cache:
                    columns[s.key] = cache[tkey]
                else:
                    columns[s.key] = _transforms.apply(s.transform, column, f"column {s.name!r}")
                    if cache is not None:
                        cache[tkey] = columns[s.key]
            else:
                columns[s.key] = column
        _data.same_length(columns)
        return columns

    def _coded(self, columns: _ColumnsIn, *, learn: bool, missing: Optional[str] = None
               ) -> Tuple[_Columns, Dict[int, Dict[Any, int]]]:
        """``columns`` with their categories as codes, and the values new to each coder.

        With ``learn`` the new values get codes that ``_commit`` records. Hold the lock
        from coding to committing: a value coded by two fits at once must get one code,
        and two values must never get the same one.
        """
        missing = self._policy(missing)
        coded: _Columns = {}
        new: Dict[int, Dict[Any, int]] = {}
        for i, s in enumerate(self._slots):
            if s.is_input:
                column = columns[s.key]
                if isinstance(column, _data.Distinct):
                    coded[s.key], new[i] = self._coders[i].code(column, learn=learn,
                                                                missing=missing)
                else:
                    coded[s.key] = column
        return coded, new

    def _target_of(self, X: Any, y: Any, n: int) -> NDArray[np.float64]:
        """The target as the graph learns it: checked, and transformed if the model says."""
        raw = _data.get_column(X, y) if isinstance(y, str) else y
        what = "y" if not isinstance(y, str) else f"column {y!r}"
        target = _data.numeric(raw, what, target=True)
        if len(target) != n:
            raise _data.DataError(f"y has {len(target)} values but X has {n} rows")
        transform = self._slots[-1].transform
        return _transforms.apply(transform, target, what) if transform else target

    def _predicted(self, pred: NDArray[np.float32]) -> NDArray[np.float32]:
        """The graph's output taken back through the target's transform, if any."""
        transform = self._slots[-1].transform
        if not transform:
            return pred
        with np.errstate(over="ignore"):  # beyond float32: inf, as the module would give
            out: NDArray[np.float32] = _transforms.inverse(
                transform, pred.astype(np.float64)).astype(np.float32)
        return out

    def _training_data(self, X: Any, y: Any, missing: Optional[str] = None,
                       cache: Optional[Cache] = None
                       ) -> Tuple[_Converted, NDArray[np.float64]]:
        columns = self._inputs_of(X, missing=missing, cache=cache, infer=True)
        target = self._target_of(X, y, _data.same_length(columns))
        if len(target) == 0:
            raise _data.DataError("no rows to train on")
        return columns, target

    def _fill_missing(self, columns: _Columns, missing: Optional[str] = None) -> _Columns:
        """Missing numbers (NaN, left by missing='zero' or 'mean') as the middle of the
        learned range, or the mean of the values trained on."""
        out = dict(columns)
        mean = self._policy(missing) == "mean"
        for i, s in enumerate(self._slots):
            if s.is_input and s.numeric:
                column = out[s.key]
                holes = np.isnan(column)
                if holes.any():
                    if mean:
                        fill = self._means[i][0]
                    else:
                        low, high = self._range(i)
                        fill = (low + high) / 2
                    out[s.key] = np.where(holes, fill, column)
        return out

    def _update_means(self, columns: _Columns) -> None:
        """Fold the numbers of ``columns`` into each numeric input's mean (missing="mean")."""
        if self._missing != "mean":
            return
        for i, s in enumerate(self._slots):
            if s.is_input and s.numeric:
                column = columns[s.key]
                present = column[~np.isnan(column)]
                mean, count = self._means.get(i, (0.0, 0))
                if len(present):
                    total = mean * count + float(np.sum(present))
                    self._means[i] = (total / (count + len(present)), count + len(present))

    def _convert_slot(self, i: int) -> None:
        """Make the numeric input slot ``i`` a categorical one (a model whose categorical
        inputs the first training data decide)."""
        s = self._slots[i]
        node = _tolq.Interaction(CATEGORICAL, s.latticeloc, s.gluamine, s.name)
        node._set_source(0, -1)
        node.state.categories = [(UNSEEN, 0.0)]
        # In this order, a reader outside the lock finds a coder for every categorical slot.
        self._coders[i] = Coder(s.name)
        self._graph[i] = node
        self._nodes = self._nodes[:i] + (node,) + self._nodes[i + 1:]
        self._slots = self._slots[:i] + (replace(s, type=CATEGORICAL),) + self._slots[i + 1:]
        del self._adapt[i]
        self._means.pop(i, None)
        self._one = None

    def _decide(self, columns: _ColumnsIn) -> None:
        """Check, under the lock, that the model is still what ``columns`` were read for,
        and let the first training data decide the categorical inputs."""
        if not isinstance(columns, _Converted):  # the search's own numbers, for its model
            return
        if columns.decide and not self._infer:  # another thread's training decided first
            raise _Stale("the model's categorical inputs were decided by another "
                         "training call meanwhile; call fit again")
        if columns.slots is not self._slots or columns.decide != self._infer:
            # A first training that decided them failed meanwhile and was taken back.
            raise _Stale("the model's categorical inputs changed while the data were "
                         "read; call fit again")
        if columns.decide:
            for i in columns.convert:
                self._convert_slot(i)
            self._infer = False

    # ---- training and prediction --------------------------------------------------------

    def fit(self, X: Any, y: Any, epochs: int = 10, shuffle: bool = True,
            seed: Optional[int] = 0, progress: Optional[bool] = None, *,
            validation: Optional[Tuple[Any, Any]] = None, validation_fraction: float = 0.0,
            early_stopping: bool = False, patience: int = 5, missing: Optional[str] = None
            ) -> History:
        """Train online, one sample at a time, for ``epochs`` passes over the rows.

        ``X`` is a dict of 1-D arrays, a pandas or polars DataFrame or a pyarrow Table
        holding every input column; ``y`` an array of targets (or the name of a column
        of ``X``). Each epoch visits the rows in an order drawn from
        ``numpy.random.default_rng(seed)`` when ``shuffle`` is set. ``progress`` shows
        a bar over the epochs once training has lasted half a second; by default only
        when standard error is a terminal, True or False force it either way.

        Validation data is ``validation=(X_val, y_val)``, or ``validation_fraction`` of
        the rows held out (drawn with ``seed``). With ``early_stopping`` training stops
        after ``patience`` epochs without a lower validation loss, and the parameters of
        the best epoch are restored (Adam's moments are not).

        ``X`` may also be a 2-D NumPy array, whose columns are named x0, x1, ...

        A missing value (NaN, None, NA) is handled after the model's ``missing`` policy
        (see ``from_expression``) unless the call names another ("error" or "zero"). A
        missing target is always refused. An input column equal to the target is used,
        with a warning. A category must be an int, float, str, bool, bytes or None, the
        types a model file keeps; any other is refused, naming its column and row.

        Returns a ``History``: a list of the training loss per epoch (squared error,
        absolute error, or two-class cross-entropy, after ``loss``), with the validation
        losses in ``.validation``. It costs no extra pass over the training data.

        The ranges of the numeric inputs and of the target are widened to cover the data
        before the first epoch, so the result does not depend on how rows are batched.
        A refused fit leaves the model as it was.
        """
        check_arg(epochs, "epochs", 0)
        check_arg(patience, "patience", 1)
        missing = self._policy(missing)
        _check_validation(validation, validation_fraction, early_stopping)
        read = functools.partial(self._fit_data, X, y, missing, validation,
                                 validation_fraction, seed)
        warned = False
        while True:
            columns, target, held, holdout = self._read(read)
            if not warned:
                _data.warn_target_copies({s.key: columns[s.key]
                                          for i, s in enumerate(columns.slots)
                                          if s.is_input and s.numeric and
                                          i not in columns.convert},
                                         target, self.target)
                warned = True
            try:
                return self._train(columns, target, epochs, shuffle, seed, progress, held=held,
                                   holdout=holdout, early_stopping=early_stopping,
                                   patience=patience, missing=missing)
            except _Stale:  # read while another call decided the categorical inputs
                continue

    def _fit_data(self, X: Any, y: Any, missing: str, validation: Optional[Tuple[Any, Any]],
                  validation_fraction: float, seed: Optional[int]
                  ) -> Tuple[_Converted, NDArray[np.float64], Optional[Prepared],
                             Optional[Tuple[NDArray[np.intp], NDArray[np.intp]]]]:
        """``fit``'s data read: the training columns and targets, and the validation as
        data of its own (``validation``) or as the training and validation rows of a
        split (``validation_fraction``, drawn with ``seed``)."""
        columns, target = self._training_data(X, y, missing)
        held: Optional[Prepared] = None
        holdout: Optional[Tuple[NDArray[np.intp], NDArray[np.intp]]] = None
        if validation_fraction:
            n = len(target)
            n_val = math.ceil(n * validation_fraction)
            if n_val >= n:
                raise ValueError(f"validation_fraction {validation_fraction} leaves no "
                                 f"row of {n} to train on")
            split = np.random.default_rng(None if seed is None else (seed, 1)).permutation(n)
            holdout = (np.sort(split[n_val:]), np.sort(split[:n_val]))
        elif validation is not None:
            # Read as the training data were (a column they make categorical is one here).
            val_columns = self._inputs_of(validation[0], missing=missing, like=columns)
            n_val = _data.same_length(val_columns)
            held = (val_columns, self._target_of(validation[0], validation[1], n_val))
        return columns, target, held, holdout

    def _read(self, read: Callable[[], R]) -> R:
        """``read()``, a call's reading of its data outside the lock. When it refuses the
        data it may have read them halfway through another call that changed the
        categorical inputs (and perhaps took that back): then they are read again under
        the lock, and the refusal, if any, is that of the model as it is."""
        try:
            return read()
        except _data.DataError:
            with self._lock:
                return read()

    def _commit(self, new: Dict[int, Dict[Any, int]]) -> None:
        for slot, values in new.items():
            self._coders[slot].commit(values)

    def _at_rate_level(self, rate_level: int) -> Model:
        """A model of the same structure whose nodes learn at ``rate_level``, holding what
        this one has learned (parameters, ranges, category codes, the missing policy and
        its means; Adam's moments start afresh). This model must not be trained further:
        the two share their coders."""
        other = Model.__new__(Model)
        with self._lock:
            other._setup([dataclasses.replace(s, gluamine=rate_level) for s in self._slots],
                         self._loss, self._missing)
            other._take_learned(self)
        return other

    def _take_learned(self, source: Model) -> None:
        """Take ``source``'s parameters, ranges, means and category codes; the two then
        share their coders."""
        self._means = dict(source._means)
        for node, there in zip(self._nodes, source._nodes):
            node.state._from_dict(there.state._to_dict())
        self._adapt = dict(source._adapt)
        self._coders = source._coders
        self._trained = source._trained

    def _activations(self, columns: _Columns) -> List[NDArray[np.float64]]:
        """Every slot's activation for the rows of ``columns`` (as ``_coded`` gives
        them), computed in float64: the module's values up to float32 rounding. The last
        slot holds the prediction on the target's (transformed) scale."""
        out: List[NDArray[np.float64]] = []
        for i, (s, node) in enumerate(zip(self._slots, self._nodes)):
            last = i == len(self._slots) - 1
            if s.categorical and s.is_input:
                weights = dict(node.state.categories)
                codes = columns[s.key]
                table = np.array([weights.get(c, 0.0)
                                  for c in range(int(codes.max(initial=0)) + 1)])
                out.append(table[codes].astype(np.float32).astype(np.float64))
            elif s.numeric and (s.is_input or last):
                low, high = self._range(i)
                if s.is_input:
                    d = np.asarray(columns[s.key], dtype=np.float64) - low
                    if high == low:  # a one-point range reads its point as 0, others as +-1
                        out.append(np.sign(d))
                    else:
                        out.append(np.clip((d + d) / (high - low) - 1.0, -1.0, 1.0))
                else:
                    out.append((1.0 + out[s.sources[0]]) * (high - low) * 0.5 + low)
            elif NODE_TYPES[s.type].register:
                out.append(out[s.sources[0]])
            else:
                value = NODE_TYPES[s.type].value
                assert value is not None
                second = out[s.sources[1]] if len(s.sources) == 2 else None
                out.append(value(node.state._to_dict(), out[s.sources[0]], second))
        return out

    def _checkpoint(self) -> Tuple[Any, ...]:
        """Everything training changes that the model keeps (Adam's moments aside)."""
        coders = {i: (dict(c.codes), set(c.kinds), c.next_code) for i, c in self._coders.items()}
        structure = (self._slots, self._nodes, dict(self._coders), dict(self._adapt),
                     self._infer)
        return ([(node, node.state._to_dict()) for node in self._nodes], coders, self._trained,
                dict(self._means), structure)

    def _rollback(self, checkpoint: Tuple[Any, ...]) -> None:
        nodes, coders, self._trained, self._means, structure = checkpoint
        self._slots, self._nodes, self._coders, self._adapt, self._infer = structure
        for i, node in enumerate(self._nodes):
            if self._graph[i] is not node:  # a slot the training made categorical
                self._graph[i] = node
        for node, state in nodes:
            node.state._from_dict(state)
        for i, (codes, kinds, next_code) in coders.items():
            coder = self._coders[i]
            coder.codes, coder.kinds, coder.next_code = codes, kinds, next_code
        self._one = None  # the serving plan may hold what was rolled back

    def _snapshot(self) -> List[Tuple[_tolq.Interaction, Dict[str, Any]]]:
        return [(node, node.state._to_dict()) for s, node in zip(self._slots, self._nodes)
                if not s.numeric]

    def _train(self, columns: _ColumnsIn, target: NDArray[np.float64], epochs: int,
               shuffle: bool, seed: Optional[int], progress: Optional[bool], *,
               held: Optional[Tuple[_Converted, NDArray[np.float64]]] = None,
               holdout: Optional[Tuple[NDArray[np.intp], NDArray[np.intp]]] = None,
               early_stopping: bool = False, patience: int = 5,
               missing: Optional[str] = None) -> History:
        """Train on ``columns`` (as ``_inputs_of`` gives them) and ``target``.

        Validation is ``held`` (columns and targets), or ``holdout``: the training and
        validation rows of ``columns``, split after coding so that a category met only in
        the validation rows is coded as one met in training would be.
        """
        history = History([], [] if held is not None or holdout is not None else None)
        with self._lock:
            # Any failure on the way (no memory, an interrupt) leaves the model as it was.
            before = self._checkpoint()
            try:
                # The first data decide the categorical inputs, and new categories are
                # coded and committed, under the lock in one step: two fits at once must
                # not give two values the same code, and a failure takes the codes back.
                self._decide(columns)
                coded, new = self._coded(columns, learn=True, missing=missing)
                if epochs == 0:  # checked, and nothing learned
                    self._rollback(before)
                    return history
                rows, target, valid = self._epoch_rows(coded, target, new, held, holdout,
                                                       missing)
                tracker = (Validation(early_stopping, patience, self._snapshot)
                           if valid is not None else None)
                low, high = self._range(len(self._slots) - 1)
                train_epochs(self._graph._query, self._graph._query,
                             lambda pred, y: loss_sum(self._loss, pred, y, low, high),
                             rows, target, valid, history, tracker, epochs, shuffle, seed,
                             progress)
                self._trained = True
                if (tracker is not None and tracker.kept is not None
                        and history.best_epoch != len(history)):
                    for node, state in tracker.kept:
                        node.state._from_dict(state)
                if not early_stopping:
                    history.best_epoch = None
            except BaseException:
                self._rollback(before)
                raise
        return history

    def _epoch_rows(self, coded: _Columns, target: NDArray[np.float64],
                    new: Dict[int, Dict[Any, int]],
                    held: Optional[Tuple[_Converted, NDArray[np.float64]]],
                    holdout: Optional[Tuple[NDArray[np.intp], NDArray[np.intp]]],
                    missing: Optional[str]
                    ) -> Tuple[_Columns, NDArray[np.float64],
                               Optional[Tuple[_Columns, NDArray[np.float64]]]]:
        """The training rows and targets, and the validation ones, coded and filled, for
        ``_train`` (the lock held): ranges widened over the training rows, the new codes
        committed and the means folded in first."""
        valid: Optional[Tuple[_Columns, NDArray[np.float64]]] = None
        if holdout is not None:
            train_rows, val_rows = holdout
            valid = ({k: v[val_rows] for k, v in coded.items()}, target[val_rows])
            coded = {k: v[train_rows] for k, v in coded.items()}
            target = target[train_rows]
        self._widen_ranges(coded, target)
        self._commit(new)
        self._update_means(coded)
        if held is not None:
            # Categories met first in this training data are known to the validation.
            valid = (self._coded(held[0], learn=False, missing=missing)[0], held[1])
        coded = self._fill_missing(coded, missing)
        if valid is not None:
            valid = (self._fill_missing(valid[0], missing), valid[1])
        return coded, target, valid

    def _widen_ranges(self, columns: _Columns, target: NDArray[np.float64]) -> None:
        """Widen numeric ranges over all the data, as binding it at once would.

        Every new range is checked before any is written, so a refusal changes nothing.
        Missing numbers (NaN) take no part.
        """
        widened: List[Tuple[Any, float, float]] = []
        for i, s in enumerate(self._slots):
            if not s.numeric or not self._adapt[i]:
                continue
            state = self._nodes[i].state
            values = columns[s.key] if s.is_input else target
            if np.isnan(values).all():
                raise _data.DataError(f"column {s.name!r} holds no value, only missing ones")
            low, high = np.float32(np.nanmin(values)), np.float32(np.nanmax(values))
            old_low, old_high = np.float32(state.feature_min), np.float32(state.feature_max)
            low = low if math.isnan(old_low) else min(low, old_low)
            high = high if math.isnan(old_high) else max(high, old_high)
            with np.errstate(over="ignore"):
                span = high - low
            if not np.isfinite(span):
                what = f"column {s.name!r}" if s.is_input else "the target"
                raise _data.DataError(f"{what} spans {float(low):g} to {float(high):g}, a width "
                                      "beyond the float32 range; rescale it")
            widened.append((state, float(low), float(high)))
        for state, new_low, new_high in widened:
            state.feature_min, state.feature_max = new_low, new_high

    def _check_trained(self) -> None:
        if not self._trained:
            raise RuntimeError("the model has not been trained yet: call fit() first")

    def predict(self, X: Any, *, missing: Optional[str] = None) -> NDArray[np.float32]:
        """Predictions for the rows of ``X``, as float32.

        Prediction leaves the model exactly as it was (its saved bytes do not change):
        values outside a learned range are clamped to it, and a category never trained
        is predicted with the weight of a fresh one, 0.0. A category of another type
        than the column was trained with (the text "3" for the number 3, say) is
        converted when that is unambiguous, else refused. ``missing`` as for ``fit``.

        Predictions never leave the range of the targets trained on: every node's value
        lies in [-1, 1], which the output maps onto that range. A model that must
        extrapolate (a trend beyond the training data) is better trained on a target that
        stays within its range, such as the change from the last value or a ratio, or
        given a wider output range before training
        (``model.graph[len(model.graph) - 1].state.feature_min`` and ``feature_max``).
        """
        missing = self._policy(missing)
        columns = self._read(lambda: self._inputs_of(X, missing=missing))
        with self._lock:
            if columns.slots is not self._slots:
                # A first fit decided the categorical inputs meanwhile: read them as it did.
                columns = self._inputs_of(X, missing=missing)
            # Coded under the lock: a fit rolled back meanwhile may have taken codes back.
            coded, _ = self._coded(columns, learn=False, missing=missing)
            self._check_trained()
            return self._predicted(self._graph._query(self._fill_missing(coded, missing)))

    def predict_one(self, row: Mapping[str, Any]) -> float:
        """The prediction for one row given as a mapping of column name to value, as
        river's ``predict_one`` takes it.

        Meant for serving: the per-model work is done once, so a call costs little more
        than the module's own query of one row. The same rules as ``predict`` hold,
        missing values after the model's ``missing`` policy.
        """
        with self._lock:
            plan = self._one if self._one is not None else self._prepare_one()
            if not self._trained:
                self._check_trained()
            _onerow.fill(plan, row, self._missing, self._means)
            if plan.transform:
                return float(self._predicted(plan.predict())[0])
            result: float = plan.predict().item()
            return result

    def learn_one(self, row: Mapping[str, Any], y: Any) -> float:
        """Learn from one row, given as a mapping of column name to value, and its target,
        as river's ``learn_one`` takes them; returns the prediction for the row made
        just before learning from it.

        It is ``fit`` on one row: ranges are widened over the row first, a new category
        gets its weight, missing values follow the model's ``missing`` policy, and bad
        data is refused before anything changes. Adam's moments and the count of
        samples trained go on from call to call (and from ``fit`` to ``learn_one``), so
        a stream of ``learn_one`` calls over rows within the learned ranges gives the
        very bits of ``fit(rows, y, epochs=1, shuffle=False)``; rows beyond them widen
        the ranges one row at a time instead of all at once. A failure leaves the model
        as it was; an interrupt arrives either before the row is learned or after.
        Thread-safe: the row is checked and learned under the model's lock.
        """
        with self._lock:
            if self._infer:
                return self._learn_first(row, y)
            plan = self._one if self._one is not None else self._prepare_one()
            return self._learn_row(plan, row, y)

    def _learn_first(self, row: Mapping[str, Any], y: Any) -> float:
        """``learn_one`` on a model whose categorical inputs its first row decides: a str
        or bytes value makes its column categorical (under the lock)."""
        before = self._checkpoint()
        try:
            for i, s in enumerate(self._slots):
                if s.is_input and not s.transform and isinstance(row.get(s.name), (str, bytes)):
                    self._convert_slot(i)
            self._infer = False
            return self._learn_row(self._prepare_one(), row, y)
        except BaseException:
            self._rollback(before)
            raise

    def _learn_row(self, plan: Plan, row: Mapping[str, Any], y: Any) -> float:
        """Check one row, then commit it; the lock is held."""
        changes = _onerow.check_row(plan, row, y, self._missing, self._means,
                                    self._slots[-1].name)
        prediction = self._commit_and_learn(changes, plan.train)
        if plan.transform:
            return float(self._predicted(prediction)[0])
        result: float = prediction.item()
        return result

    def _learn_columns(self, columns: Mapping[str, Sequence[Any]], ys: Sequence[Any]
                       ) -> NDArray[np.float32]:
        """A small batch, as Python values per column, learned as ``fit(..., epochs=1,
        shuffle=False)`` learns it (ranges widened over the batch first, then one pass in
        order) through the checks of ``learn_one``; the predictions made before each row
        was learned. Refused whole, or learned whole."""
        with self._lock:
            if self._infer:  # the estimators decide the categorical inputs themselves
                raise RuntimeError("the model's categorical inputs are not decided yet")
            plan = self._one if self._one is not None else self._prepare_one()
            arrays, target, changes = _onerow.check_batch(plan, columns, ys, self._missing,
                                                          self._means, self.target)
            prediction = self._commit_and_learn(
                changes, functools.partial(self._graph._query, arrays, target))
            return self._predicted(prediction)

    def _commit_and_learn(self, changes: _onerow.Changes,
                          learn: Callable[[], NDArray[np.float32]]) -> NDArray[np.float32]:
        """Commit what the checks of a row or a small batch found (wider ranges, new
        codes, means), then ``learn()``, the lock held from the checks on. A failure takes
        it all back, the new codes above all: the query refuses before its passes, which
        cannot fail on checked values, so nothing was learned. An interrupt (no Exception)
        met in the query's call is raised as it returns, after the rows were learned:
        they stay."""
        widen, pending, means = changes
        undo = [(state, state.feature_min, state.feature_max) for state, _, _ in widen]
        kept = [(coder, coder.next_code, set(coder.kinds)) for coder, _ in pending]
        old_means, learning = self._means, False
        try:
            for state, low, high in widen:
                state.feature_min, state.feature_max = low, high
            for coder, new in pending:
                coder.commit(new)
            self._means = means
            learning = True
            prediction = learn()
        except BaseException as exc:
            if learning and not isinstance(exc, Exception):
                self._trained = True
                raise
            for state, low, high in undo:
                state.feature_min, state.feature_max = low, high
            for (coder, next_code, kinds), (_, new) in zip(kept, pending):
                for value in new:
                    coder.codes.pop(value, None)
                coder.next_code, coder.kinds = next_code, kinds
            self._means = old_means
            raise
        self._trained = True
        return prediction

    def _prepare_one(self) -> Plan:
        """The one-row plan (under the lock)."""
        inputs: List[_onerow.Input] = []
        columns: _Columns = {}
        for i, s in enumerate(self._slots):
            if s.is_input:
                array = np.zeros(1, dtype=np.int64 if s.categorical else np.float64)
                columns[s.key] = array
                # A memoryview writes one element faster than the array's own indexing.
                cell = memoryview(array)  # type: ignore[arg-type,unused-ignore]
                inputs.append((i, s.name, s.key, cell, self._coders.get(i),
                               self._nodes[i].state, self._adapt.get(i, False), s.transform))
        y = np.zeros(1, dtype=np.float64)
        out = len(self._slots) - 1
        plan = Plan(tuple(inputs), functools.partial(self._graph._query, columns),
                    functools.partial(self._graph._query, columns, y),
                    memoryview(y),  # type: ignore[arg-type,unused-ignore]
                    self._nodes[out].state, self._adapt[out], self._slots[out].transform)
        self._one = plan
        return plan

    # ---- persistence --------------------------------------------------------------------

    def to_dict(self) -> Dict[str, Any]:
        """The model as a JSON-ready dict: structure, loss and every parameter.

        Adam's moment estimates and the count of samples seen are not part of it: a
        restored model predicts exactly as this one does, but further training of it
        starts its moments afresh. A ``missing`` policy other than "error" is kept under
        "missing"; under "mean", "means" holds each numeric input's mean and the number
        of values it is the mean of (a file without them reads as "error").
        """
        with self._lock:
            return self._document()

    def _document(self) -> Dict[str, Any]:
        """``to_dict``'s document, the lock held."""
        slots = []
        for i, (s, node) in enumerate(zip(self._slots, self._nodes)):
            doc: Dict[str, Any] = {"type": s.type}
            if NODE_TYPES[s.type].register:
                doc["name"] = s.name
            if s.transform:
                doc["transform"] = s.transform
            doc["sources"] = list(s.sources)
            doc["latticeloc"] = list(s.latticeloc)
            doc["gluamine"] = s.gluamine
            if s.categorical:
                state: Dict[str, Any] = {"categories": self._category_pairs(i)}
            else:
                state = node.state._to_dict()
                if s.numeric:
                    state["auto_adapt"] = self._adapt[i]
            doc["state"] = _format.encode_state(state)
            slots.append(doc)
        # Transforms and a missing policy are version 2; a model without them stays
        # readable by a tolq that knows only version 1.
        new = self._missing != "error" or any(s.transform for s in self._slots)
        document: Dict[str, Any] = {
            "format": _format.FORMAT, "version": _format.VERSION if new else 1,
            "expression": f"{self._target_text} = {self.expression}",
            "loss": self.loss}
        if self._missing != "error":
            document["missing"] = self._missing
        if self._missing == "mean":
            document["means"] = {self._slots[i].key: [_format.encode_float(mean), count]
                                 for i, (mean, count) in sorted(self._means.items())}
        document["slots"] = slots
        return document

    @classmethod
    def from_dict(cls: Type[M], document: Any) -> M:
        """The model that ``to_dict`` described; FormatError if the document is not valid."""
        doc, version = _top_level(document)
        read = [_slot_of(item, f"slots[{i}]", version) for i, item in enumerate(doc["slots"])]
        slots = [slot for slot, _ in read]
        _check_layout(slots)
        missing = _missing_of(doc, version)
        means = _means_of(doc, slots, missing)
        model = cls.__new__(cls)
        try:
            model._setup(slots, doc["loss"], missing)
            model._means = means
            model._set_states([state for _, state in read])
        except (ValueError, TypeError, RuntimeError, AttributeError, OverflowError) as exc:
            raise FormatError(f"the module refused the model: {exc}") from None
        model._trained = not math.isnan(model._range(len(slots) - 1)[0])
        expression = f"{model._target_text} = {model.expression}"
        if doc.get("expression", expression) != expression:
            raise FormatError(f"expression: {doc['expression']!r} does not match the slots, "
                              f"which describe {expression!r}")
        return model

    def _set_states(self, states: Sequence[Dict[str, Any]]) -> None:
        """Every node's parameters from a document's states (``from_dict``)."""
        for i, (node, state) in enumerate(zip(self._nodes, states)):
            if "auto_adapt" in state:
                self._adapt[i] = state["auto_adapt"]
                state["auto_adapt"] = False
            if "categories" in state:
                pairs = state["categories"]
                coder = self._coders[i] = Coder(self._slots[i].name, (k for k, _ in pairs))
                state["categories"] = [(UNSEEN, 0.0)] + [
                    (code, w) for (_, code), (_, w) in zip(coder.values(), pairs)]
            node.state._from_dict(state)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the model to ``path`` as JSON (see ``to_dict`` for what is kept).

        ``Model.load`` gives back a model whose predictions are the same bits; Adam's
        moments are not saved, so training the loaded model goes on from fresh moments.
        The file is replaced in one step, so a reader never sees half of it.
        """
        write_replacing(path, to_json(self.to_dict()))

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
        except RecursionError:  # nesting no model has
            raise FormatError(f"{os.fspath(path)}: not a tolq model file "
                              "(nested too deeply)") from None
        except (UnicodeDecodeError, ValueError) as exc:
            raise FormatError(f"{os.fspath(path)}: not a tolq model file ({exc})") from None
        try:
            return cls.from_dict(document)
        except FormatError as exc:
            raise FormatError(f"{os.fspath(path)}: {exc}") from None

    def __reduce__(self) -> Tuple[Callable[..., Any], Tuple[Any, ...]]:
        # Through the same document as save(), so a pickled model restores bit for bit;
        # a copy of a model whose first data are to decide its categorical inputs still
        # lets them decide (read with the document, not after a fit that decided them).
        with self._lock:
            return (_restore, (type(self), self._document(), self._infer))


class Part(NamedTuple):
    """A slot of a model as the search reads and sets it."""

    kind: NodeType
    sources: Tuple[int, ...]  # (-1,) for an input
    node: _tolq.Interaction


Checkpoint = Tuple[Any, ...]  # what ``Internals.checkpoint`` keeps


class Internals:
    """``Model``'s interface for the package's other modules, beyond its public methods:
    what the search, ``fit_many`` and the estimators need. Not part of tolq's API.

    The search's methods serve a candidate's model, which its job alone holds: they take
    no lock and cannot take anything back. The others take the model's lock.
    """

    def __init__(self, model: Model) -> None:
        self.model = model

    # ---- the search: a candidate built, trained and solved step by step -------------------

    def parts(self) -> List[Part]:
        m = self.model
        return [Part(NODE_TYPES[s.type], s.sources, node) for s, node in zip(m._slots, m._nodes)]

    def rows(self, cache: Cache, *, learn: bool = False,
             ranges: Optional[Mapping[str, Tuple[float, float]]] = None
             ) -> Tuple[_Columns, Dict[int, Dict[Any, int]]]:
        """The model's input columns taken from ``cache`` (every column converted, by
        ``column_key``): categories coded (a new value gets a code with ``learn``) and
        missing numbers filled; and the values new to each coder, for ``learn``.

        With ``ranges`` (by register key, "" for the output), a model never trained
        takes those ranges and the means of these rows first.
        """
        m = self.model
        columns, new = m._coded(m._inputs_of({}, cache=cache), learn=learn)
        if ranges is not None and not m._trained:
            for i, s in enumerate(m._slots):
                found = ranges.get(s.key if s.is_input else "") if s.numeric else None
                if found is not None:
                    state = m._nodes[i].state
                    state.feature_min, state.feature_max = found
            m._update_means(columns)
        return m._fill_missing(columns), new

    def learn(self, columns: _Columns, target: NDArray[np.float64],
              new: Dict[int, Dict[Any, int]]) -> None:
        """One training query over columns as ``rows`` gives them (the new codes
        committed first): no history, no widening, no way back on failure."""
        m = self.model
        m._commit(new)
        m._graph._query(columns, target)
        m._trained = True

    def activations(self, columns: _Columns) -> List[NDArray[np.float64]]:
        """Every slot's activation, in float64, for columns as ``rows`` gives them."""
        return self.model._activations(columns)

    def predicted(self, pred: NDArray[np.float32]) -> NDArray[np.float32]:
        """The graph's output taken back through the target's transform, if any."""
        return self.model._predicted(pred)

    def output_range(self) -> Tuple[float, float]:
        m = self.model
        return m._range(len(m._slots) - 1)

    def set_output_range(self, low: float, high: float) -> None:
        state = self.model._nodes[-1].state
        state.feature_min, state.feature_max = low, high

    def at_rate_level(self, rate_level: int) -> Model:
        """A copy whose nodes learn at ``rate_level`` (see ``Model._at_rate_level``)."""
        return self.model._at_rate_level(rate_level)

    # ---- fit_many: every model trains or none does ----------------------------------------

    def read_training(self, X: Any, y: Any, cache: Cache) -> Prepared:
        """The training data checked and converted, as ``fit`` reads them; ``cache``
        shares the converted columns between models."""
        m = self.model
        return m._read(functools.partial(m._training_data, X, y, cache=cache))

    def checkpoint(self) -> Checkpoint:
        with self.model._lock:
            return self.model._checkpoint()

    def rollback(self, checkpoint: Checkpoint) -> None:
        with self.model._lock:
            self.model._rollback(checkpoint)

    def train(self, prepared: Prepared, X: Any, y: Any, epochs: int, shuffle: bool,
              seed: Optional[int]) -> History:
        """``fit`` without a bar on the data ``read_training`` gave, read again when
        another call decided the categorical inputs meanwhile."""
        m = self.model
        while True:
            try:
                return m._train(*prepared, epochs, shuffle, seed, False)
            except _Stale:
                prepared = m._read(functools.partial(m._training_data, X, y))

    def take_state(self, other: Model) -> None:
        """Make the model what ``other``, a copy trained elsewhere, has learned:
        parameters, ranges and category codes (``other`` must not be used afterwards,
        its coders move here). Adam's moments are not copied, as with ``save``."""
        def shape(m: Model) -> List[Tuple[str, Tuple[int, ...]]]:
            return [(s.key, s.sources) for s in m._slots]

        m = self.model
        with m._lock:
            # A copy whose training decided the categorical inputs differs in those alone.
            same = other._slots == m._slots or (m._infer and shape(other) == shape(m))
            if not same or other.loss != m.loss or other.missing != m.missing:
                raise ValueError(f"{other!r} is not a copy of {m!r}")
            for i, (mine, theirs) in enumerate(zip(m._slots, other._slots)):
                if mine.type != theirs.type:
                    m._convert_slot(i)
            m._infer = other._infer
            m._take_learned(other)
            m._one = None  # the serving plan holds the old coders

    # ---- the estimators ---------------------------------------------------------------------

    def learn_columns(self, columns: Mapping[str, Sequence[Any]], ys: Sequence[Any]
                      ) -> NDArray[np.float32]:
        """A small batch learned through the one-row path (see ``Model._learn_columns``)."""
        return self.model._learn_columns(columns, ys)


def _destination(path: str | os.PathLike[str]) -> Tuple[str, Optional[int]]:
    """The file that writing ``path`` replaces (a symbolic link is followed to its target)
    and the permission bits it has now (None when it does not exist yet)."""
    target = os.path.realpath(path)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return target, None
    except OSError as exc:  # name the file asked for
        raise OSError(exc.errno, exc.strerror, os.fspath(path)) from None
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    return target, stat.S_IMODE(st.st_mode) & 0o777


def _temporary(path: str | os.PathLike[str], target: str, mode: int) -> Tuple[int, str]:
    """A new file beside ``target``, open for writing: its descriptor and name."""
    folder = os.path.dirname(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        tmp = os.path.join(folder, f".tolq-{secrets.token_hex(6)}.tmp")
        try:
            return os.open(tmp, flags, mode), tmp
        except FileExistsError:
            continue
        except OSError as exc:  # name the file asked for, not the temporary one
            raise OSError(exc.errno, exc.strerror, os.fspath(path)) from None
    raise OSError(f"{os.fspath(path)}: no free temporary name beside it")


def check_writable(path: str | os.PathLike[str]) -> None:
    """OSError now, before any work, if ``write_replacing`` could not write ``path``: it
    names a folder, or its folder is missing or refuses a new file."""
    target, _ = _destination(path)
    fd, tmp = _temporary(path, target, 0o600)
    os.close(fd)
    os.unlink(tmp)


def write_replacing(path: str | os.PathLike[str], content: str | bytes) -> None:
    """Write ``content`` beside ``path`` and rename it over ``path`` only once it is complete.

    A failed write (a full disk, a file size limit, an interrupt) leaves the old file as it
    was. A symbolic link is written through: its target is replaced, the link stays. An
    existing file keeps its permission bits (a private file stays private); a new one gets
    those any other new file gets (the umask decides).
    """
    target, mode = _destination(path)
    # Never more open than the file it replaces, even before the bits are copied.
    fd, tmp = _temporary(path, target, 0o666 if mode is None else mode)
    try:
        with os.fdopen(fd, "wb") as f:
            if mode is not None:
                os.fchmod(f.fileno(), mode)  # the umask may have taken bits the old file had
            f.write(content.encode("utf-8") if isinstance(content, str) else content)
        os.replace(tmp, target)
    except BaseException as exc:
        with contextlib.suppress(FileNotFoundError):  # an interrupt after the rename
            os.unlink(tmp)
        if isinstance(exc, OSError) and exc.errno is not None:
            # Name the file asked for: not the temporary one, and not nothing (a full disk).
            raise OSError(exc.errno, exc.strerror, os.fspath(path)) from None
        raise


def to_json(document: Dict[str, Any]) -> str:
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


def _restore(cls: Type[M], document: Dict[str, Any], infer: bool = False) -> M:
    model = cls.from_dict(document)
    model._infer = infer and not model._trained
    return model


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not valid JSON; non-finite numbers are written as strings")
