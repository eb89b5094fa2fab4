"""The node types: one table read by the parser, the file format, the model and the search.

Every fact the package knows of a type by its name is a field of its ``NodeType`` row: no
other module compares type names. A new type of the module is one more row here.
"""
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
# Make a node (a ``_tolq.Interaction``) compute the negative of what it computes; the second
# argument does so for one of its sources, by slot. True when done.
Negate = Callable[[Any, Callable[[int], bool]], bool]
# New parameters for a node that has died, from its parameters, its sources' activations,
# its own activation and a generator; None when it is alive.
Revive = Callable[[Mapping[str, float], Sequence[Array], Array, np.random.Generator],
                  Optional[Dict[str, float]]]


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
    categorical: bool = False  # a register of categories, one learned weight each
    # What the search asks. Its canonical shapes: a node of an associative type over
    # another of that type is one node; a symmetric type's two sources may trade places.
    associative: bool = False
    symmetric: bool = False
    # Its least squares: an affine type computes clamp(bias + w0*a0 + w1*a1), which they
    # solve exactly; a product type multiplies its sources, solved factor by factor.
    affine: bool = False
    product: bool = False
    negate: Optional[Negate] = None  # None: the type cannot compute its negative
    revive: Optional[Revive] = None  # None: a node of the type never dies
    search_start: Tuple[Tuple[str, float], ...] = ()  # parameters a candidate starts from

    @property
    def numeric(self) -> bool:
        """A register of numbers: an input read as numbers, or the output."""
        return self.register and not self.categorical


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


def _negate_weighted(node: Any, negate_source: Callable[[int], bool]) -> bool:
    # An odd function of the weighted sum: every weight and the bias change sign.
    p = node.state._to_dict()
    node.state._from_dict({k: -v for k, v in p.items()})
    return True


def _negate_sine(node: Any, negate_source: Callable[[int], bool]) -> bool:
    node.state.x0 = node.state.x0 + math.pi  # sin(z + pi) = -sin(z)
    return True


def _negate_product(node: Any, negate_source: Callable[[int], bool]) -> bool:
    return any(negate_source(src) for src in node.sources)


def _saturated(limit: float) -> Revive:
    """A weighted sum that lies beyond ``limit`` on (nearly) every row passes no gradient
    and never recovers: restart its weights, its sum centred on the rows."""
    def revive(p: Mapping[str, float], a: Sequence[Array], own: Array,
               rng: np.random.Generator) -> Optional[Dict[str, float]]:
        z = p["bias"] + p["w0"] * a[0] + (p["w1"] * a[1] if len(a) == 2 else 0.0)
        if np.mean(np.abs(z) >= limit) > 0.99:
            w = rng.uniform(-0.5, 0.5, 2)
            centre = float(np.mean(w[0] * a[0] + (w[1] * a[1] if len(a) == 2 else 0.0)))
            return {"w0": float(w[0]), "w1": float(w[1]), "bias": -centre}
        return None
    return revive


def _revive_gaussian(p: Mapping[str, float], a: Sequence[Array], own: Array,
                     rng: np.random.Generator) -> Optional[Dict[str, float]]:
    # 0 (or 1) everywhere, it learns nothing: centre it on a row drawn at random.
    if not 0.001 < float(np.mean((own > 1e-3) & (own < 0.999))):
        row = int(rng.integers(len(a[0])))
        return {"center0": float(a[0][row]), "w0": 0.5, "w1": 0.5, "center1": float(a[-1][row])}
    return None


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
    NodeType("cat", True, (1, 1), ("categories",), (), formula=_cat_formula, categorical=True),
    NodeType("linear", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _linear, _linear_value,
             _linear_formula, associative=True, symmetric=True, affine=True,
             negate=_negate_weighted, revive=_saturated(1.0)),
    NodeType("tanh", False, (1, 2), ("w0", "w1", "bias"), ("w1",), _tanh, _tanh_value,
             _tanh_formula, symmetric=True, negate=_negate_weighted, revive=_saturated(3.0)),
    NodeType("gaussian", False, (1, 2), ("center0", "center1", "w0", "w1"),
             ("center1", "w1"), _gaussian, _gaussian_value, _gaussian_formula,
             symmetric=True, revive=_revive_gaussian),
    # Online training raises a frequency readily but rarely lowers one that started too
    # high: the search starts it at the lowest the module draws.
    NodeType("sine", False, (1, 1), ("x0", "k"), (), _sine, _sine_value, _sine_formula,
             negate=_negate_sine, search_start=(("k", math.pi),)),
    NodeType("multiply", False, (2, 2), (), (), None, _multiply_value, _multiply_formula,
             symmetric=True, product=True, negate=_negate_product),
)}

# function name -> (fewest, most) arguments
FUNCTIONS: Dict[str, Tuple[int, int]] = {
    t.name: t.arity for t in NODE_TYPES.values() if not t.register}
REGISTERS: Tuple[str, ...] = tuple(t.name for t in NODE_TYPES.values() if t.register)
PARAMETERS: Dict[str, Tuple[str, ...]] = {t.name: t.parameters for t in NODE_TYPES.values()}


def _the_one(what: str, test: Callable[[NodeType], bool]) -> str:
    names = [t.name for t in NODE_TYPES.values() if test(t)]
    assert len(names) == 1, f"one {what} type expected, found {names}"
    return names[0]


# The types the package builds by role: the numeric and the categorical register, and the
# affine function the search adds terms with.
NUMERIC = _the_one("numeric register", lambda t: t.numeric)
CATEGORICAL = _the_one("categorical register", lambda t: t.categorical)
AFFINE = _the_one("affine", lambda t: t.affine)
