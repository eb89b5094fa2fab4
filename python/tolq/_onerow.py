"""The one-row path of ``learn_one``, ``predict_one`` and the estimators' small batches.

A ``Plan`` binds one-element arrays to the graph's queries once; a row is then written
into its cells and queried. The checks of a row (or of a small batch) find everything that
learning it changes, besides the parameters, before anything changes: the model commits
those ``Changes`` and learns in one step, under its lock.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from ._categories import Coder
from ._data import FLOAT32_MAX, DataError, is_missing, shorten
from ._transforms import apply, apply_one

Means = Dict[int, Tuple[float, int]]  # per numeric input slot: the mean, and of how many

# The least width float32 arithmetic rounds to infinity: the largest float32 plus half of
# its unit in the last place.
_FLOAT32_OVERFLOW = float.fromhex("0x1.ffffffp+127")


# An input register as the one-row path writes it: its slot, its column, its key in a
# query, a writable view of its one-element array (the cell), its coder (None for a
# number), its state, whether the model widens its range, and its transform. A plain
# tuple: the loops over a row unpack it, and only a tuple unpacks at full speed.
Input = Tuple[int, str, str, Any, Optional[Coder], Any, bool, str]


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


Widen = List[Tuple[Any, float, float]]  # registers' states and their new ranges
Pending = List[Tuple[Coder, Dict[Any, int]]]  # coders and the codes new to them
# What learning a row or a batch changes besides the parameters: ranges to widen, new
# codes, and the means under missing="mean". A plain tuple: a row's checks are on the
# path of every learn_one.
Changes = Tuple[Widen, Pending, Means]


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


# ---- predict_one ------------------------------------------------------------------------

def fill(plan: Plan, row: Mapping[str, Any], missing: str, means: Means) -> None:
    """Write ``row`` into the plan's cells, for a prediction: a missing number after the
    policy ``missing``, a category never trained as code 0."""
    limit = FLOAT32_MAX
    for i, name, _, cell, coder, state, _, transform in plan.inputs:
        try:
            value = row[name]
        except KeyError:
            raise DataError(f"missing column {name!r}") from None
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
    limit = FLOAT32_MAX
    values: List[Any] = []
    widen: Widen = []
    pending: Pending = []
    holes: List[Tuple[int, Input]] = []
    for inp in plan.inputs:  # the cost of learn_one: kept inline
        _, name, _, _, coder, state, adapt, transform = inp
        try:
            value = row[name]
        except KeyError:
            raise DataError(f"missing column {name!r}") from None
        if coder is None:
            if type(value) is float and -limit <= value <= limit:
                number = value
            else:
                number = one_number(value, name)
            if transform and number == number:
                number = apply_one(transform, number, f"column {name!r}")
            if number != number:
                if missing == "error":
                    raise _refuse_missing(name)
                holes.append((len(values), inp))
            elif adapt:
                low, high = state.feature_min, state.feature_max
                if not low <= number <= high:  # beyond the range, or no range yet
                    widen.append((state, *widened(low, high, number, f"column {name!r}")))
            values.append(number)
        else:
            values.append(_row_code(name, coder, value, missing, pending))
    learned = y if type(y) is float and -limit <= y <= limit else one_number(y, target)
    if learned != learned:
        raise DataError("the target is missing: a target must be known to learn "
                        "from a row")
    if plan.transform:
        learned = apply_one(plan.transform, learned, "the target")
    if plan.widen_output:
        state = plan.output
        low, high = state.feature_min, state.feature_max
        if not low <= learned <= high:
            widen.append((state, *widened(low, high, learned, "the target")))
    if missing == "mean" or holes:
        means = _fill_holes(plan, values, holes, missing, means)
    for (_, _, _, cell, _, _, _, _), value in zip(plan.inputs, values):
        cell[0] = value
    plan.target[0] = learned
    return widen, pending, means


def _row_code(name: str, coder: Coder, value: Any, missing: str, pending: Pending) -> int:
    new: Dict[Any, int] = {}
    code = coder.learn_one(value, missing, new)
    if code is None:
        raise DataError(f"column {name!r}: missing value; pass "
                        "missing='zero' or missing='mean' when building "
                        "the model to fill it")
    if new:
        pending.append((coder, new))
    return code


def _fill_holes(plan: Plan, values: List[Any], holes: Sequence[Tuple[int, Input]],
                missing: str, means: Means) -> Means:
    """The means with a row's numbers folded in (missing="mean"), and its missing
    numbers in ``values`` filled after the policy; a column without a value keeps its
    range."""
    if missing == "mean":
        means = dict(means)
        for (i, _, _, _, coder, _, _, _), value in zip(plan.inputs, values):
            if coder is None and value == value:
                mean, count = means.get(i, (0.0, 0))
                means[i] = ((mean * count + value) / (count + 1), count + 1)
    for k, (i, name, _, _, _, state, _, _) in holes:
        if missing == "mean" and i in means:
            values[k] = means[i][0]
        elif missing == "zero" and not math.isnan(state.feature_min):
            values[k] = (state.feature_min + state.feature_max) / 2
        else:
            raise DataError(f"column {name!r} holds no value, only missing ones")
    return means


# ---- small batches ------------------------------------------------------------------------

def check_batch(plan: Plan, columns: Mapping[str, Sequence[Any]], ys: Sequence[Any],
                missing: str, means: Means, target: str
                ) -> Tuple[Dict[str, NDArray[Any]], NDArray[np.float64], Changes]:
    """Check a small batch, as Python values per column, through the checks of a row:
    its columns by register key and its targets as a query takes them, and what learning
    them (ranges widened over the batch first, then one pass in order) changes."""
    n = len(ys)
    widen: Widen = []
    pending: Pending = []
    means = dict(means)
    arrays: Dict[str, NDArray[Any]] = {}
    for inp in plan.inputs:
        _, name, key, _, coder, _, _, _ = inp
        if name not in columns:
            raise DataError(f"missing column {name!r}")
        raw = columns[name]
        if len(raw) != n:
            raise DataError(f"y has {n} values but X has {len(raw)} rows")
        arrays[key] = (_batch_numbers(inp, raw, missing, widen, means) if coder is None
                       else _batch_codes(name, coder, raw, missing, pending))
    return arrays, _batch_targets(plan, ys, target, widen), (widen, pending, means)


def _batch_numbers(inp: Input, raw: Sequence[Any], missing: str, widen: Widen,
                   means: Means) -> NDArray[np.float64]:
    i, name, _, _, _, state, adapt, transform = inp
    n = len(raw)
    numbers = [one_number(v, name) for v in raw]
    if transform:
        numbers = apply(transform, np.array(numbers, dtype=float),
                        f"column {name!r}").tolist()
    present = [v for v in numbers if v == v]
    if len(present) < n and missing == "error":
        row = next(r for r, v in enumerate(numbers) if v != v)
        raise DataError(f"column {name!r}: missing value at row {row}; "
                        "pass missing='zero' or missing='mean' to fill it")
    low, high = state.feature_min, state.feature_max
    if adapt and present:
        least, most = min(present), max(present)
        if not low <= least <= most <= high:  # or no range yet
            what = f"column {name!r}"
            low, high = widened(low, high, least, what)
            low, high = widened(low, high, most, what)
            widen.append((state, low, high))
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


def _batch_codes(name: str, coder: Coder, raw: Sequence[Any], missing: str,
                 pending: Pending) -> NDArray[np.int64]:
    new: Dict[Any, int] = {}
    codes = [coder.learn_one(v, missing, new, r) for r, v in enumerate(raw)]
    if None in codes:
        raise DataError(f"column {name!r}: missing value at row "
                        f"{codes.index(None)}; pass missing='zero' or "
                        "missing='mean' to fill it")
    if new:
        pending.append((coder, new))
    return np.array(codes, dtype=np.int64)


def _batch_targets(plan: Plan, ys: Sequence[Any], target: str, widen: Widen
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
            widen.append((state, *widened(low, high, most, "the target")))
    return np.array(targets, dtype=np.float64)
