"""The one-row path of ``learn_one``, ``predict_one`` and the estimators' small batches.

A ``Plan`` binds one-element arrays to the graph's queries once; a row is then written
into its cells and queried. The checks of a row (or of a small batch) find everything that
learning it changes, besides the parameters, before anything changes: the model commits
those ``Changes`` and learns in one step, under its lock.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from ._categories import Coder
from ._data import FLOAT32_MAX, DataError, is_missing, shorten
from ._transforms import apply, apply_one

Means = Dict[int, Tuple[float, int]]  # per numeric input slot: the mean, and of how many

# The least width float32 arithmetic rounds to infinity: the largest float32 plus half of
# its unit in the last place.
_FLOAT32_OVERFLOW = float.fromhex("0x1.ffffffp+127")


class Input(NamedTuple):
    """An input register as the one-row path writes it."""

    slot: int
    name: str  # the column
    key: str  # the register's key in a query
    cell: Any  # a writable view of its one-element array
    coder: Optional[Coder]  # None for a number
    state: Any  # the register's state
    adapt: bool  # whether the model widens its range
    transform: str


@dataclass(frozen=True)
class Plan:
    """The one-row arrays and the queries bound to them, made once under the model's lock
    and replaced, never changed, when the model's structure or coders change."""

    inputs: Tuple[Input, ...]
    predict: Callable[[], NDArray[np.float32]]
    train: Callable[[], NDArray[np.float32]]
    target: Any  # a writable view of the target's one-element array
    output: Any  # the output register's state
    widen_output: bool
    transform: str  # the target's


@dataclass
class Changes:
    """What learning a row or a batch changes besides the parameters: ranges to widen
    (state, low, high), each coder's new codes, and the means under missing="mean"."""

    means: Means
    widen: List[Tuple[Any, float, float]] = field(default_factory=list)
    pending: List[Tuple[Coder, Dict[Any, int]]] = field(default_factory=list)


def widened(low: float, high: float, value: float, what: str) -> Tuple[float, float]:
    """The range [low, high] (NaN while unknown) widened over ``value`` as ``fit`` widens
    it, in float32; DataError when its width would be beyond the float32 range."""
    v = float(np.float32(value))
    if math.isnan(low):
        return v, v
    low, high = min(low, v), max(high, v)
    # Both ends are float32 values: float64 holds their difference closely enough to
    # tell whether float32 would round it to infinity.
    if high - low >= _FLOAT32_OVERFLOW:
        raise DataError(f"{what} spans {low:g} to {high:g}, a width beyond the float32 "
                        "range; rescale it")
    return low, high


def one_number(value: Any, name: str) -> float:
    """One cell as a number, NaN when it is missing; DataError when it is none."""
    if type(value) is float:
        number = value
    else:
        try:
            number = float(value)
        except (TypeError, ValueError):
            if is_missing(value):
                return math.nan
            hint = (f" (a categorical column? pass categorical=[{name!r}])"
                    if isinstance(value, (str, bytes)) else "")
            raise DataError(f"column {name!r}: {shorten(value)} is not a number"
                            f"{hint}") from None
    if not -FLOAT32_MAX <= number <= FLOAT32_MAX and not math.isnan(number):
        raise DataError(f"column {name!r}: {shorten(value)} is not a finite "
                        "float32 number")
    return number


def _refuse_missing(name: str) -> DataError:
    return DataError(f"column {name!r}: missing value; pass missing='zero' or "
                     "missing='mean' when building the model to fill it")


def _value(row: Mapping[str, Any], name: str) -> Any:
    try:
        return row[name]
    except KeyError:
        raise DataError(f"missing column {name!r}") from None


# ---- predict_one ------------------------------------------------------------------------

def fill(plan: Plan, row: Mapping[str, Any], missing: str, means: Means) -> None:
    """Write ``row`` into the plan's cells, for a prediction: a missing number after the
    policy ``missing``, a category never trained as code 0."""
    limit = FLOAT32_MAX
    for i, name, _, cell, coder, state, _, transform in plan.inputs:
        value = _value(row, name)
        if coder is None:
            if type(value) is float and -limit <= value <= limit and not transform:
                cell[0] = value
                continue
            number = one_number(value, name)
            if number != number:
                number = _filled(missing, means, i, name, state)
            elif transform:
                number = apply_one(transform, number, f"column {name!r}")
            cell[0] = number
        else:
            try:
                code = coder.codes.get(value)
            except TypeError:  # unhashable: refused as predict refuses it
                code = None
            if code is None:
                code = coder.code_one(value, missing)
                if code is None:
                    raise DataError(f"column {name!r}: missing value")
            cell[0] = code


def _filled(missing: str, means: Means, slot: int, name: str, state: Any) -> float:
    """The number a missing cell of one row reads as, after the policy ``missing``."""
    if missing == "error":
        raise _refuse_missing(name)
    if missing == "mean":
        return means[slot][0]
    return (float(state.feature_min) + float(state.feature_max)) / 2


# ---- learn_one ----------------------------------------------------------------------------

def check_row(plan: Plan, row: Mapping[str, Any], y: Any, missing: str, means: Means,
              target: str) -> Changes:
    """Check one row and its target ``y`` (of the column ``target``) and find what learning
    them changes; the row is then in the plan's cells and ``y`` in ``plan.target``."""
    changes = Changes(means)
    values: List[Any] = []
    holes: List[Tuple[int, Input]] = []
    for inp in plan.inputs:
        value = _value(row, inp.name)
        if inp.coder is None:
            number = _row_number(inp, value, missing, changes)
            if number != number:
                holes.append((len(values), inp))
            values.append(number)
        else:
            values.append(_row_code(inp, inp.coder, value, missing, changes))
    learned = _row_target(plan, y, target, changes)
    if missing == "mean":
        changes.means = dict(means)
        for inp, value in zip(plan.inputs, values):
            if inp.coder is None and value == value:
                mean, count = changes.means.get(inp.slot, (0.0, 0))
                changes.means[inp.slot] = ((mean * count + value) / (count + 1), count + 1)
    for k, inp in holes:  # a column without a value keeps its range
        state = inp.state
        if missing == "mean" and inp.slot in changes.means:
            values[k] = changes.means[inp.slot][0]
        elif missing == "zero" and not math.isnan(state.feature_min):
            values[k] = (state.feature_min + state.feature_max) / 2
        else:
            raise DataError(f"column {inp.name!r} holds no value, only missing ones")
    for inp, value in zip(plan.inputs, values):
        inp.cell[0] = value
    plan.target[0] = learned
    return changes


def _row_number(inp: Input, value: Any, missing: str, changes: Changes) -> float:
    """A numeric cell of a row to learn: NaN when missing (refused under "error"), its
    range's widening noted."""
    limit = FLOAT32_MAX
    if type(value) is float and -limit <= value <= limit:
        number = value
    else:
        number = one_number(value, inp.name)
    if inp.transform and number == number:
        number = apply_one(inp.transform, number, f"column {inp.name!r}")
    if number != number:
        if missing == "error":
            raise _refuse_missing(inp.name)
    elif inp.adapt:
        low, high = inp.state.feature_min, inp.state.feature_max
        if not low <= number <= high:  # beyond the range, or no range yet
            changes.widen.append((inp.state, *widened(low, high, number,
                                                      f"column {inp.name!r}")))
    return number


def _row_code(inp: Input, coder: Coder, value: Any, missing: str, changes: Changes) -> int:
    new: Dict[Any, int] = {}
    code = coder.learn_one(value, missing, new)
    if code is None:
        raise DataError(f"column {inp.name!r}: missing value; pass "
                        "missing='zero' or missing='mean' when building "
                        "the model to fill it")
    if new:
        changes.pending.append((coder, new))
    return code


def _row_target(plan: Plan, y: Any, target: str, changes: Changes) -> float:
    limit = FLOAT32_MAX
    value = y if type(y) is float and -limit <= y <= limit else one_number(y, target)
    if value != value:
        raise DataError("the target is missing: a target must be known to learn "
                        "from a row")
    if plan.transform:
        value = apply_one(plan.transform, value, "the target")
    if plan.widen_output:
        state = plan.output
        low, high = state.feature_min, state.feature_max
        if not low <= value <= high:
            changes.widen.append((state, *widened(low, high, value, "the target")))
    return value


# ---- small batches ------------------------------------------------------------------------

def check_batch(plan: Plan, columns: Mapping[str, Sequence[Any]], ys: Sequence[Any],
                missing: str, means: Means, target: str
                ) -> Tuple[Dict[str, NDArray[Any]], NDArray[np.float64], Changes]:
    """Check a small batch, as Python values per column, through the checks of a row:
    its columns by register key and its targets as a query takes them, and what learning
    them (ranges widened over the batch first, then one pass in order) changes."""
    n = len(ys)
    changes = Changes(dict(means))
    arrays: Dict[str, NDArray[Any]] = {}
    for inp in plan.inputs:
        if inp.name not in columns:
            raise DataError(f"missing column {inp.name!r}")
        raw = columns[inp.name]
        if len(raw) != n:
            raise DataError(f"y has {n} values but X has {len(raw)} rows")
        arrays[inp.key] = (_batch_numbers(inp, raw, missing, changes) if inp.coder is None
                           else _batch_codes(inp, inp.coder, raw, missing, changes))
    return arrays, _batch_targets(plan, ys, target, changes), changes


def _batch_numbers(inp: Input, raw: Sequence[Any], missing: str, changes: Changes
                   ) -> NDArray[np.float64]:
    name, n = inp.name, len(raw)
    numbers = [one_number(v, name) for v in raw]
    if inp.transform:
        numbers = apply(inp.transform, np.array(numbers, dtype=float),
                        f"column {name!r}").tolist()
    present = [v for v in numbers if v == v]
    if len(present) < n and missing == "error":
        row = next(r for r, v in enumerate(numbers) if v != v)
        raise DataError(f"column {name!r}: missing value at row {row}; "
                        "pass missing='zero' or missing='mean' to fill it")
    low, high = inp.state.feature_min, inp.state.feature_max
    if inp.adapt and present:
        least, most = min(present), max(present)
        if not low <= least <= most <= high:  # or no range yet
            what = f"column {name!r}"
            low, high = widened(low, high, least, what)
            low, high = widened(low, high, most, what)
            changes.widen.append((inp.state, low, high))
    means, i = changes.means, inp.slot
    if missing == "mean" and present:
        mean, count = means.get(i, (0.0, 0))
        total = mean * count + float(np.sum(np.array(present)))
        means[i] = (total / (count + len(present)), count + len(present))
    if len(present) < n:
        if missing == "mean" and i in means:
            fill = means[i][0]
        elif missing == "zero" and not math.isnan(low):
            fill = (low + high) / 2
        else:
            raise DataError(f"column {name!r} holds no value, only missing ones")
        numbers = [v if v == v else fill for v in numbers]
    return np.array(numbers, dtype=np.float64)


def _batch_codes(inp: Input, coder: Coder, raw: Sequence[Any], missing: str,
                 changes: Changes) -> NDArray[np.int64]:
    new: Dict[Any, int] = {}
    codes = [coder.learn_one(v, missing, new, r) for r, v in enumerate(raw)]
    if None in codes:
        raise DataError(f"column {inp.name!r}: missing value at row "
                        f"{codes.index(None)}; pass missing='zero' or "
                        "missing='mean' to fill it")
    if new:
        changes.pending.append((coder, new))
    return np.array(codes, dtype=np.int64)


def _batch_targets(plan: Plan, ys: Sequence[Any], target: str, changes: Changes
                   ) -> NDArray[np.float64]:
    targets = [one_number(v, target) for v in ys]
    if any(v != v for v in targets):
        row = next(r for r, v in enumerate(targets) if v != v)
        raise DataError(f"y: missing value at row {row}; a target must be known: "
                        "drop the rows without one")
    if plan.transform:
        targets = apply(plan.transform, np.array(targets, dtype=float), "y").tolist()
    if plan.widen_output and targets:
        state = plan.output
        low, high = state.feature_min, state.feature_max
        least, most = min(targets), max(targets)
        if not low <= least <= most <= high:
            low, high = widened(low, high, least, "the target")
            changes.widen.append((state, *widened(low, high, most, "the target")))
    return np.array(targets, dtype=np.float64)
