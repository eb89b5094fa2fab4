"""The node types: one table read by the parser, the file format and the model."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Dict, Mapping, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

Draw = Callable[[np.random.Generator], Dict[str, float]]
Array = NDArray[np.float64]
# A node's activation in float64 from its parameters and its sources' activations (the
# second is None for a node with one source): what the module computes, up to rounding.
Value = Callable[[Mapping[str, float], Array, Optional[Array]], Array]


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
    return np.clip(p["bias"] + _weighted(p, a0, a1), -1.0, 1.0)


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


NODE_TYPES: Dict[str, NodeType] = {t.name: t for t in (
    NodeType("fixed", True, (1, 1), ("feature_min", "feature_max", "auto_adapt"), ()),
    NodeType("cat", True, (1, 1), ("categories",), ()),
    NodeType("linear", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _linear, _linear_value),
    NodeType("tanh", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _tanh, _tanh_value),
    NodeType("gaussian", False, (1, 2), ("center0", "center1", "w0", "w1"),
             ("center1", "w1"), _gaussian, _gaussian_value),
    NodeType("sine", False, (1, 1), ("x0", "k"), (), _sine, _sine_value),
    NodeType("multiply", False, (2, 2), (), (), None, _multiply_value),
)}

# function name -> (fewest, most) arguments
FUNCTIONS: Dict[str, Tuple[int, int]] = {
    t.name: t.arity for t in NODE_TYPES.values() if not t.register}
REGISTERS: Tuple[str, ...] = tuple(t.name for t in NODE_TYPES.values() if t.register)
PARAMETERS: Dict[str, Tuple[str, ...]] = {t.name: t.parameters for t in NODE_TYPES.values()}
