"""The node types: one table read by the parser, the file format and the model."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from . import _formula as F
from ._formula import Sum

Draw = Callable[[np.random.Generator], Dict[str, float]]
Array = NDArray[np.float64]
# A node's activation in float64 from its parameters and its sources' activations (the
# second is None for a node with one source): what the module computes, up to rounding.
Value = Callable[[Mapping[str, float], Array, Optional[Array]], Array]


@dataclass(frozen=True)
class Place:
    """What a register reads or writes: its column, and the formula function its values
    pass through ("" for none): "log" for an input read as log(x), "exp" for a target
    the graph learns as its log."""

    column: str
    function: str = ""


# A node as a formula in the data's units (a ``_formula.Sum``, from which both the text
# and the SymPy expression are printed): from its parameters (a categorical register's
# "categories" as (category, weight) pairs) and its sources' formulas (none for an input).
Formula = Callable[[Mapping[str, Any], Sequence[Sum], Place], Sum]


@dataclass(frozen=True)
class NodeType:
    """What the package knows of one of the module's interaction types."""

    name: str
    register: bool  # reads a column or writes the prediction, instead of computing
    arity: Tuple[int, int]  # fewest and most sources a function takes in an expression
    parameters: Tuple[str, ...]  # in the order the module reports them
    second_source: Tuple[str, ...]  # the parameters that act on the second source only
    draw: Optional[Draw] = None  # seeded starting values, over the module's own ranges
    value: Optional[Value] = None  # the activation, for functions
    formula: Optional[Formula] = None  # how it reads in a formula


def _linear(rng: np.random.Generator) -> Dict[str, float]:
    w = rng.uniform(-0.5, 0.5, 2)
    return {"w0": w[0], "w1": w[1], "bias": 0.0}


def _tanh(rng: np.random.Generator) -> Dict[str, float]:
    w = rng.uniform(-5.0, 5.0, 3)
    return {"w0": w[0], "w1": w[1], "bias": w[2]}


def _gaussian(rng: np.random.Generator) -> Dict[str, float]:
    c = rng.uniform(0.0, 1.0, 2)
    w = 0.5 - rng.uniform(0.0, 0.5, 2)  # in (0, 0.5]: a width must stay positive
    return {"center0": c[0], "center1": c[1], "w0": w[0], "w1": w[1]}


def _sine(rng: np.random.Generator) -> Dict[str, float]:
    return {"x0": 0.0, "k": float(rng.integers(1, 4)) * math.pi}


def _weighted(p: Mapping[str, float], a0: Array, a1: Optional[Array]) -> Array:
    z = a0 * p["w0"]
    return z + a1 * p["w1"] if a1 is not None else z


def _linear_value(p: Mapping[str, float], a0: Array, a1: Optional[Array]) -> Array:
    return np.maximum(np.minimum(p["bias"] + _weighted(p, a0, a1), 1.0), -1.0)


def _tanh_value(p: Mapping[str, float], a0: Array, a1: Optional[Array]) -> Array:
    out: Array = np.tanh(_weighted(p, a0, a1) + p["bias"])
    return out


def _gaussian_value(p: Mapping[str, float], a0: Array, a1: Optional[Array]) -> Array:
    z = (a0 - p["center0"]) ** 2 / p["w0"]
    if a1 is not None:
        z = z + (a1 - p["center1"]) ** 2 / p["w1"]
    out: Array = np.exp(-z)
    return out


def _sine_value(p: Mapping[str, float], a0: Array, a1: Optional[Array]) -> Array:
    out: Array = np.sin(a0 * p["k"] + p["x0"])
    return out


def _multiply_value(p: Mapping[str, float], a0: Array, a1: Optional[Array]) -> Array:
    assert a1 is not None
    return a0 * a1


def _fixed_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    low, high = float(p["feature_min"]), float(p["feature_max"])
    if not a:  # an input: [low, high] mapped onto [-1, 1], clamped there
        x = F.column(place.column, place.function)
        if high == low:  # a one-point range reads its point as 0, any other value as +-1
            return F.sign(x - low)
        scale = 2.0 / (high - low)
        return F.input_clip(x, low, high) * scale + (-1.0 - low * scale)
    half = (high - low) * 0.5  # the output: [-1, 1] mapped back, with no clamp of its own
    return F.apply(place.function, a[0] * half + (low + half))


def _cat_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    # The module reads a weight as float32.
    return F.lookup(place.column, [(v, float(np.float32(w))) for v, w in p["categories"]])


def _weighted_formula(p: Mapping[str, Any], a: Sequence[Sum]) -> Sum:
    z = a[0] * float(p["w0"])
    return z + a[1] * float(p["w1"]) if len(a) == 2 else z


def _linear_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    return F.clip(_weighted_formula(p, a) + float(p["bias"]), -1.0, 1.0)


def _tanh_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    return F.apply("tanh", _weighted_formula(p, a) + float(p["bias"]))


def _gaussian_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    z = F.square(a[0] - float(p["center0"])) * (-1.0 / float(p["w0"]))
    if len(a) == 2:
        z = z + F.square(a[1] - float(p["center1"])) * (-1.0 / float(p["w1"]))
    return F.apply("exp", z)


def _sine_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    return F.apply("sin", a[0] * float(p["k"]) + float(p["x0"]))


def _multiply_formula(p: Mapping[str, Any], a: Sequence[Sum], place: Place) -> Sum:
    return F.product(a[0], a[1])


NODE_TYPES: Dict[str, NodeType] = {t.name: t for t in (
    NodeType("fixed", True, (1, 1), ("feature_min", "feature_max", "auto_adapt"), (),
             formula=_fixed_formula),
    NodeType("cat", True, (1, 1), ("categories",), (), formula=_cat_formula),
    NodeType("linear", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _linear, _linear_value,
             _linear_formula),
    NodeType("tanh", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _tanh, _tanh_value,
             _tanh_formula),
    NodeType("gaussian", False, (1, 2), ("center0", "center1", "w0", "w1"),
             ("center1", "w1"), _gaussian, _gaussian_value, _gaussian_formula),
    NodeType("sine", False, (1, 1), ("x0", "k"), (), _sine, _sine_value, _sine_formula),
    NodeType("multiply", False, (2, 2), (), (), None, _multiply_value, _multiply_formula),
)}

# function name -> (fewest, most) arguments
FUNCTIONS: Dict[str, Tuple[int, int]] = {
    t.name: t.arity for t in NODE_TYPES.values() if not t.register}
REGISTERS: Tuple[str, ...] = tuple(t.name for t in NODE_TYPES.values() if t.register)
PARAMETERS: Dict[str, Tuple[str, ...]] = {t.name: t.parameters for t in NODE_TYPES.values()}
