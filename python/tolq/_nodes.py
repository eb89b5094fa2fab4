"""The node types: one table read by the parser, the file format and the model."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Dict, Optional, Tuple

import numpy as np

Draw = Callable[[np.random.Generator], Dict[str, float]]


@dataclass(frozen=True)
class NodeType:
    """What the package knows of one of the module's interaction types."""

    name: str
    register: bool  # reads a column or writes the prediction, instead of computing
    arity: Tuple[int, int]  # fewest and most sources a function takes in an expression
    parameters: Tuple[str, ...]  # in the order the module reports them
    second_source: Tuple[str, ...]  # the parameters that act on the second source only
    draw: Optional[Draw] = None  # seeded starting values, over the module's own ranges


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


NODE_TYPES: Dict[str, NodeType] = {t.name: t for t in (
    NodeType("fixed", True, (1, 1), ("feature_min", "feature_max", "auto_adapt"), ()),
    NodeType("cat", True, (1, 1), ("categories",), ()),
    NodeType("linear", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _linear),
    NodeType("tanh", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _tanh),
    NodeType("gaussian", False, (1, 2), ("center0", "center1", "w0", "w1"),
             ("center1", "w1"), _gaussian),
    NodeType("sine", False, (1, 1), ("x0", "k"), (), _sine),
    NodeType("multiply", False, (2, 2), (), ()),
)}

# function name -> (fewest, most) arguments
FUNCTIONS: Dict[str, Tuple[int, int]] = {
    t.name: t.arity for t in NODE_TYPES.values() if not t.register}
REGISTERS: Tuple[str, ...] = tuple(t.name for t in NODE_TYPES.values() if t.register)
PARAMETERS: Dict[str, Tuple[str, ...]] = {t.name: t.parameters for t in NODE_TYPES.values()}
