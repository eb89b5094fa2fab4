"""Transforms of a numeric column or of the target, applied in float64 before the module.

A product or a ratio of raw quantities has no exact form in a graph whose inputs are
scaled around their middle, but it is a sum of their logarithms; a sum of reciprocals is
a sum of ``inv`` columns. An input column may be written ``log(x)``, ``inv(x)`` or
``sqrt(x)`` in an expression; a model's target may be transformed too, and its
predictions are taken back through the inverse.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Dict, Optional

import numpy as np
from numpy.typing import NDArray

from ._data import DataError, shorten

Array = NDArray[np.float64]


@dataclass(frozen=True)
class Transform:
    """One transform: its function, where it is defined, and for a target its inverse."""

    name: str
    apply: Callable[[Array], Array]
    allowed: Callable[[Array], NDArray[np.bool_]]  # where the data allow it
    refusal: str  # what a value outside ``allowed`` is called in an error
    inverse: Optional[Callable[[Array], Array]]  # None: not offered for targets
    formula: str  # the function that writes it in a formula (``_formula.FUNCTIONS``)
    inverse_formula: str = ""  # and the one that writes its inverse


def _inv(v: Array) -> Array:
    with np.errstate(divide="ignore"):
        out: Array = 1.0 / v
    return out


TRANSFORMS: Dict[str, Transform] = {t.name: t for t in (
    Transform("log", np.log, lambda v: v > 0, "a value that is not positive", np.exp,
              "log", "exp"),
    Transform("inv", _inv, lambda v: v != 0, "zero", _inv, "inv", "inv"),
    Transform("sqrt", np.sqrt, lambda v: v >= 0, "a negative value", None, "sqrt"),
)}

TARGET_TRANSFORMS = tuple(name for name, t in TRANSFORMS.items() if t.inverse is not None)


def check_name(name: Optional[str], for_target: bool = False) -> None:
    known = TARGET_TRANSFORMS if for_target else tuple(TRANSFORMS)
    if name is not None and name not in known:
        what = "target transform" if for_target else "transform"
        raise ValueError(f"unknown {what} {name!r}; choose one of {', '.join(known)}")


def apply(name: str, values: Array, what: str) -> Array:
    """``values`` transformed; DataError naming ``what`` and the first row the transform
    does not allow. Missing values (NaN) stay missing."""
    t = TRANSFORMS[name]
    with np.errstate(invalid="ignore"):
        bad = ~(t.allowed(values) | np.isnan(values))
    if bad.any():
        row = int(np.argmax(bad))
        raise DataError(f"{what}: {name} of {t.refusal} ({shorten(float(values[row]))} at "
                        f"row {row}); the data do not allow this transform")
    with np.errstate(invalid="ignore", divide="ignore"):
        out = t.apply(values)
    return out


def apply_one(name: str, value: float, what: str) -> float:
    """One value transformed as ``apply`` transforms an array's (the same bits)."""
    return float(apply(name, np.array([value]), what)[0])


def allows(name: str, values: Array) -> bool:
    """Whether the search should offer the transform for ``values`` (no NaN among them):
    every value admits it, the result stays within what float32 holds, and 1/x does not
    cross zero."""
    t = TRANSFORMS[name]
    if not bool(t.allowed(values).all()):
        return False
    if name == "inv" and values.min(initial=0.0) < 0 < values.max(initial=0.0):
        return False  # 1/x across zero: values from both ends of the line
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        out = t.apply(values)
    return bool(np.isfinite(out).all() and np.abs(out).max(initial=0.0) < 1e30)


def inverse(name: str, values: Array) -> Array:
    t = TRANSFORMS[name]
    assert t.inverse is not None
    with np.errstate(over="ignore", divide="ignore"):
        return t.inverse(values)
