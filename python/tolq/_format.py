"""The model document: a JSON-ready dict holding a model's structure and parameters.

Layout (version 1)::

    {"format": "tolq.model", "version": 1,
     "expression": "y = sine(multiply(x0, x1))",   # informative, checked on load
     "loss": "mean_squared_error",
     "slots": [{"type": "fixed", "name": "x0", "sources": [-1],
                "latticeloc": [1, 0, 0], "gluamine": 0,
                "state": {"feature_min": -2.0, "feature_max": 2.0, "auto_adapt": true}},
               ...]}

Version 2 adds an optional ``"transform"`` to a register: "log", "inv" or "sqrt" on an
input, "log" or "inv" on the output (the target the graph learns). A model that uses no
transform is written as version 1, which older readers take.

Floats are written as JSON numbers, which Python prints in their shortest form that reads
back to the same double, so every float32 parameter and float64 category weight survives
exactly. NaN and the infinities, which strict JSON lacks, are the strings "nan", "inf" and
"-inf". A category key is a pair [tag, value] so that its Python type survives: "int",
"float", "str", "bool", "bytes" (hex) or "none".
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Mapping, Sequence, Tuple

import numpy as np

from ._nodes import PARAMETERS

FORMAT = "tolq.model"
# 2 adds "transform" to registers; a model without transforms is still written as 1.
VERSION = 2

LOSSES = ("mean_squared_error", "mean_absolute_error", "categorical_cross_entropy")
INT32 = (-(2**31), 2**31 - 1)
NAME_BYTES = 126  # the module keeps at most this many bytes of a register name

_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


class FormatError(ValueError):
    """A model file or document that is not valid, or from a newer version of tolq."""


def encode_float(value: float) -> float | str:
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return float(value)


def decode_float(value: Any, where: str) -> float:
    if isinstance(value, str) and value in _NON_FINITE:
        return _NON_FINITE[value]
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    raise FormatError(f"{where}: expected a number, got {value!r}")


def encode_key(key: Any) -> List[Any]:
    """A category key as [tag, value]; refuses types that could not come back as they were."""
    if isinstance(key, (bool, np.bool_)):
        return ["bool", bool(key)]
    if isinstance(key, (int, np.integer)):
        return ["int", int(key)]
    if isinstance(key, (float, np.floating)):
        return ["float", encode_float(float(key))]
    if isinstance(key, (str, np.str_)):
        return ["str", str(key)]
    if isinstance(key, (bytes, np.bytes_)):
        return ["bytes", bytes(key).hex()]
    if key is None:
        return ["none", None]
    raise ValueError(f"category {key!r} of type {type(key).__name__} cannot be saved; "
                     "categories must be int, float, str, bool, bytes or None")


def decode_key(value: Any, where: str) -> Any:
    if not (isinstance(value, list) and len(value) == 2 and isinstance(value[0], str)):
        raise FormatError(f"{where}: expected a pair [type, value], got {value!r}")
    tag, raw = value
    if tag == "bool" and isinstance(raw, bool):
        return raw
    if tag == "int" and isinstance(raw, int) and not isinstance(raw, bool):
        return raw
    if tag == "float":
        return decode_float(raw, where)
    if tag == "str" and isinstance(raw, str):
        return raw
    if tag == "bytes" and isinstance(raw, str):
        try:
            return bytes.fromhex(raw)
        except ValueError:
            pass
    if tag == "none" and raw is None:
        return None
    raise FormatError(f"{where}: not a valid category key: {value!r}")


def encode_state(state: Mapping[str, Any]) -> Dict[str, Any]:
    """A node's parameters as the document keeps them."""
    out: Dict[str, Any] = {}
    for name, value in state.items():
        if name == "categories":
            out[name] = [[encode_key(k), encode_float(w)] for k, w in value]
        elif name == "auto_adapt":
            out[name] = bool(value)
        else:
            out[name] = encode_float(value)
    return out


def decode_state(kind: str, value: Any, where: str) -> Dict[str, Any]:
    """The parameter dict for ``_from_dict``, checked against the type's parameter names."""
    if not isinstance(value, dict):
        raise FormatError(f"{where}: expected an object, got {type(value).__name__}")
    names = PARAMETERS[kind]
    if set(value) != set(names):
        raise FormatError(f"{where}: a {kind} node has the parameters "
                          f"{', '.join(names) or 'none'}, found {', '.join(value) or 'none'}")
    out: Dict[str, Any] = {}
    for name in names:
        item = value[name]
        if name == "auto_adapt":
            if not isinstance(item, bool):
                raise FormatError(f"{where}.auto_adapt: expected true or false, got {item!r}")
            out[name] = item
        elif name == "categories":
            out[name] = _decode_categories(item, f"{where}.categories")
        else:
            out[name] = decode_float(item, f"{where}.{name}")
    return out


def _decode_categories(value: Any, where: str) -> List[Tuple[Any, float]]:
    if not isinstance(value, list):
        raise FormatError(f"{where}: expected a list, got {type(value).__name__}")
    pairs: List[Tuple[Any, float]] = []
    seen: Dict[Any, None] = {}
    for i, item in enumerate(value):
        if not (isinstance(item, list) and len(item) == 2):
            raise FormatError(f"{where}[{i}]: expected a pair [key, weight], got {item!r}")
        key = decode_key(item[0], f"{where}[{i}]")
        # Told apart by equality, as the model codes them (1 and True are one category).
        if key in seen:
            raise FormatError(f"{where}[{i}]: category {key!r} appears twice")
        seen[key] = None
        pairs.append((key, decode_float(item[1], f"{where}[{i}]")))
    return pairs


def check_keys(value: Any, where: str, required: Sequence[str],
               optional: Sequence[str] = ()) -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise FormatError(f"{where}: expected an object, got {type(value).__name__}")
    missing = [k for k in required if k not in value]
    if missing:
        raise FormatError(f"{where}: missing {', '.join(repr(k) for k in missing)}")
    extra = [k for k in value if k not in required and k not in optional]
    if extra:
        raise FormatError(f"{where}: unknown {', '.join(repr(k) for k in extra)}")
    return value


def check_int(value: Any, where: str, low: int = INT32[0], high: int = INT32[1]) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise FormatError(f"{where}: expected an integer from {low} to {high}, got {value!r}")
    return value


def check_arg(value: Any, what: str, low: int = INT32[0], high: int = INT32[1]) -> int:
    """An integer argument: TypeError when it is no int, ValueError when out of range."""
    if not isinstance(value, (int, np.integer)) or isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be from {low} to {high}, got {value}")
    return int(value)
