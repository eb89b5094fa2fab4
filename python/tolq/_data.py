"""Turning user data (dicts of arrays, data frames, CSV files) into checked 1-D arrays."""
from __future__ import annotations

import csv
import math
import os
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

FLOAT32_MAX = float(np.finfo(np.float32).max)

# What a model does with a missing value (None, NaN, NA): refuse it; read a number as the
# middle of its learned range and a category as one never seen; or read a number as its
# training mean and a category as one of its own, learned like the others.
MISSING = ("error", "zero", "mean")


def check_missing(missing: str) -> str:
    if missing not in MISSING:
        raise ValueError(f"missing must be one of {', '.join(map(repr, MISSING))}, "
                         f"not {missing!r}")
    return missing


def can_write_name(name: str) -> bool:
    """Whether some spelling of ``name`` parses back to it in an expression (a name holding
    both kinds of quote has none)."""
    return bool(name) and not ("'" in name and '"' in name)


class DataError(ValueError):
    """Input data that a model cannot use: a missing column, a non-numeric value, ..."""


def _is_matrix(X: Any) -> bool:
    return isinstance(X, np.ndarray) and X.ndim == 2


def _labels(X: Any) -> List[Any]:
    """The column labels of a dict, a data frame (pandas, polars), a pyarrow Table, or a
    2-D NumPy array (whose columns are x0, x1, ...), as the table keys them (a pandas
    frame may use numbers).

    No data frame library is imported here: they are told apart by what they offer.
    """
    if isinstance(X, Mapping):
        return list(X)
    if _is_matrix(X):
        return [f"x{j}" for j in range(X.shape[1])]
    names = getattr(X, "column_names", None)  # pyarrow; its .columns are the data
    if names is None:
        names = getattr(X, "columns", None)
    if names is not None and not isinstance(X, np.ndarray):
        return list(names)
    shape = f" of shape {X.shape}" if isinstance(X, np.ndarray) else ""
    raise DataError("X must be a dict of 1-D arrays, a data frame, a pyarrow Table or a 2-D "
                    f"array, not {type(X).__name__}{shape}")


def column_names(X: Any) -> List[str]:
    """The column names of a dict, a data frame (pandas, polars), a pyarrow Table, or a
    2-D NumPy array (x0, x1, ...); a label that is not a str (a pandas frame's 0, 1, ...)
    is named by its text."""
    return [str(c) for c in _labels(X)]


def get_column(X: Any, name: str) -> Any:
    """The column named ``name``: the label ``name`` itself, else the one label whose text
    it is (the column 0 of a pandas frame is named "0")."""
    labels = _labels(X)
    if _is_matrix(X):
        if name in labels:
            return X[:, labels.index(name)]
    elif any(isinstance(c, str) and c == name for c in labels):
        return X[name]
    else:
        found = [c for c in labels if str(c) == name]
        if len(found) == 1:
            return X[found[0]]
        if found:
            raise DataError(f"column name {name!r} is ambiguous: the labels "
                            f"{', '.join(repr(c) for c in found[:5])} all read as it")
    names = [str(c) for c in labels]
    shown = ", ".join(repr(n) for n in names[:20]) + (", ..." if len(names) > 20 else "")
    raise DataError(f"missing column {name!r} (columns: {shown or 'none'})")


def is_categorical(values: Any) -> bool:
    """Whether a column's type says it holds categories: a pandas ``category`` or string
    dtype, a polars Categorical, Enum or String (Utf8), a pyarrow string or dictionary
    type, NumPy text; or objects of which at least one is neither a number nor missing
    (text in a pandas ``object`` column, say). Numbers stored as objects stay numbers."""
    dtype = getattr(values, "dtype", None)
    if dtype is None:
        dtype = getattr(values, "type", None)  # a pyarrow array
    name = str(dtype) if dtype is not None else ""
    if (name == "category" or name in ("str", "string") or name.startswith("string[")
            or name.split("(")[0] in ("Categorical", "Enum", "String", "Utf8")
            or name in ("large_string", "utf8", "large_utf8", "string_view")
            or name.startswith("dictionary<")):
        return True
    kind = getattr(dtype, "kind", None)
    if kind in ("U", "S"):
        return True
    if kind == "O" or dtype is None:
        try:
            array = as_array(values, "column")
        except DataError:
            return False
        if array.dtype.kind in "US":
            return True
        if array.dtype.kind != "O":
            return False
        return any(not (is_missing(v) or isinstance(v, (int, float, np.number)))
                   for v in array.tolist())
    return False


def categorical_columns(X: Any, names: Sequence[str]) -> List[str]:
    """The columns among ``names`` whose type says they hold categories."""
    present = set(column_names(X))
    return [n for n in names if n in present and is_categorical(get_column(X, n))]


def as_array(values: Any, what: str) -> NDArray[Any]:
    to_numpy = getattr(values, "to_numpy", None)
    if callable(to_numpy):  # a pandas Series, whatever its dtype
        values = to_numpy()
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as exc:
        raise DataError(f"{what} cannot be read as an array: {exc}") from None
    if array.ndim != 1:
        raise DataError(f"{what} must be one-dimensional, got shape {array.shape}")
    return array


def shorten(value: Any, limit: int = 40) -> str:
    """``repr(value)`` cut to ``limit`` characters: messages never dump data."""
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def is_missing(value: Any) -> bool:
    """None, a NaN, or a data frame library's NA marker."""
    if value is None:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    return type(value).__name__ in ("NAType", "NaTType")


def numeric(values: Any, what: str, missing: str = "error", *, column: str = "",
            target: bool = False) -> NDArray[np.float64]:
    """``values`` as finite float64 numbers, or DataError naming the first bad row.

    A missing value (NaN, None, NA) is refused when ``missing`` is "error" (always for a
    ``target``); else it is NaN in the result, for the caller to fill. ``column`` names
    the input in a hint to declare it categorical when it holds text.
    """
    array = as_array(values, what)
    if array.dtype.kind not in "biufOUS":
        raise DataError(f"{what} is not numeric (dtype {array.dtype})")
    if array.dtype.kind == "O":
        items = array.tolist()
        array = np.array([math.nan if is_missing(v) else v for v in items], dtype=object)
    try:
        out = array.astype(np.float64)
    except (TypeError, ValueError):
        for row, value in enumerate(array.tolist()):
            try:
                float(value)
            except (TypeError, ValueError):
                hint = (f" (a categorical column? pass categorical=[{column!r}])"
                        if column and isinstance(value, (str, bytes, np.str_, np.bytes_))
                        else "")
                raise DataError(f"{what}: {shorten(value)} at row {row} is not a number"
                                f"{hint}") from None
        raise DataError(f"{what} is not numeric") from None
    nan = np.isnan(out)
    if (missing == "error" or target) and nan.any():
        row = int(np.argmax(nan))
        if target:
            raise DataError(f"{what}: missing value (NaN) at row {row}; a target must be "
                            "known: drop the rows without one")
        raise DataError(f"{what}: missing value (NaN) at row {row}; pass missing='zero' or "
                        "missing='mean' to fill it")
    bad = np.isinf(out)
    if bad.any():
        row = int(np.argmax(bad))
        raise DataError(f"{what}: {out[row]} at row {row} is not a finite number")
    # The module computes in float32: a larger value would become infinite there.
    with np.errstate(invalid="ignore"):
        big = np.abs(out) > FLOAT32_MAX
    if big.any():
        row = int(np.argmax(big))
        raise DataError(f"{what}: {out[row]} at row {row} is beyond the float32 range")
    return out


@dataclass(frozen=True)
class Distinct:
    """A categorical column as its distinct values and, per row, the index of its value.

    Computed once per data set: each model then codes the few distinct values, not rows.
    """

    values: List[Any]
    inverse: NDArray[np.intp]

    def __len__(self) -> int:
        return len(self.inverse)

    def first_row(self, index: int) -> int:
        return int(np.argmax(self.inverse == index))

    def take(self, rows: NDArray[np.intp]) -> Distinct:
        """The column's ``rows``, keeping only the values they hold (in the same order):
        training on a part of the rows must not give codes to values it never meets."""
        inverse = self.inverse[rows]
        used = np.unique(inverse)
        renumber = np.zeros(len(self.values), dtype=np.intp)
        renumber[used] = np.arange(len(used))
        return Distinct([self.values[i] for i in used.tolist()], renumber[inverse])


def categorical_values(values: Any, what: str) -> Distinct:
    """``values`` as categories: distinct by equality, as a dict tells keys apart."""
    array = as_array(values, what)
    if array.dtype.kind not in "biufOUSM":
        raise DataError(f"{what} cannot be used as categories (dtype {array.dtype})")
    if array.dtype.kind in "biuUS":  # sorted in C, no Python object per row
        uniques, inverse = np.unique(array, return_inverse=True)
        return Distinct(uniques.tolist(), inverse.reshape(-1).astype(np.intp, copy=False))
    index: Dict[Any, int] = {}
    try:
        inverse = np.fromiter((index.setdefault(v, len(index)) for v in array.tolist()),
                              dtype=np.intp, count=len(array))
    except TypeError as exc:
        raise DataError(f"{what}: a value cannot be a category ({exc})") from None
    return Distinct(list(index), inverse)


def read_columns(X: Any, y: Any, categorical: Any, missing: str
                 ) -> Tuple[str, Dict[str, Any], NDArray[np.float64], Tuple[str, ...]]:
    """Every column of ``X`` but the target, read once for many models: the target's
    name, the columns (numbers, or a categorical column's ``Distinct`` values), the
    target's values and the categorical columns. ``categorical`` None infers them from
    the columns' types; a list names them all. ``y`` is an array or a column name."""
    check_missing(missing)
    names = column_names(X)
    if isinstance(y, str):
        target = y
        y_values = numeric(get_column(X, y), f"column {y!r}", target=True)
    else:
        target = "y"
        while target in names:  # a name no column has, for the model's output
            target += "_"
        y_values = numeric(y, "y", target=True)
    inputs = [n for n in names if n != target]
    for name in inputs:
        if not can_write_name(name) or "\0" in name:
            raise ValueError(f"column {name!r} cannot be named in an expression")
    if categorical is None:
        chosen = tuple(categorical_columns(X, inputs))
    else:
        chosen = (categorical,) if isinstance(categorical, str) else tuple(categorical)
        for name in chosen:
            if name not in inputs:
                raise DataError(f"categorical column {name!r} is not an input column")
    columns: Dict[str, Any] = {}
    for name in inputs:
        raw = get_column(X, name)
        columns[name] = (categorical_values(raw, f"column {name!r}") if name in chosen
                         else numeric(raw, f"column {name!r}", missing, column=name))
    if not columns:
        raise DataError("X holds no input column")
    if same_length(columns) != len(y_values):
        raise DataError(f"y has {len(y_values)} values but X has "
                        f"{same_length(columns)} rows")
    warn_target_copies(columns, y_values, target)
    return target, columns, y_values, chosen


def warn_target_copies(columns: Mapping[str, Any], y: NDArray[np.float64], target: str) -> None:
    """Warn about an input column equal to the target: a model fits it by copying it, and
    that column is seldom known when the target is to be predicted. Over a few rows or a
    constant target equality says little, and nothing is said."""
    if len(y) < 10 or np.all(y == y[0]):
        return
    for name, column in columns.items():
        if isinstance(column, np.ndarray) and column.dtype.kind == "f" and \
                np.array_equal(column, y):
            warnings.warn(f"column {name!r} equals the target {target!r} on every row: a "
                          "model would copy it; leave it out unless that is meant",
                          UserWarning, stacklevel=3)


def same_length(columns: Mapping[str, Any]) -> int:
    lengths = {name: len(col) for name, col in columns.items()}
    if len(set(lengths.values())) > 1:
        shown = ", ".join(f"{name!r} has {n}" for name, n in lengths.items())
        raise DataError(f"columns differ in length: {shown}")
    return next(iter(lengths.values()), 0)


def read_csv(path: str | os.PathLike[str]) -> Tuple[List[str], Dict[str, List[str]], List[int]]:
    """The header, the columns as text keyed by header name, and each row's line number.

    OSError for an unreadable file, DataError for a malformed one.
    """
    with open(path, newline="", encoding="utf-8-sig") as f:
        reader = csv.reader(f)
        try:
            header = next(reader, None)
            if header is None:
                raise DataError(f"{os.fspath(path)}: the file is empty")
            header = [h.strip() for h in header]
            dup = sorted({h for h in header if header.count(h) > 1})
            if dup:
                raise DataError(f"{os.fspath(path)}: column {dup[0]!r} appears twice in the header")
            columns: Dict[str, List[str]] = {h: [] for h in header}
            lines: List[int] = []
            for row in reader:
                if not row:
                    continue  # blank lines carry no sample
                if len(row) != len(header):
                    raise DataError(f"{os.fspath(path)}, line {reader.line_num}: {len(row)} "
                                    f"fields, the header has {len(header)}")
                for name, cell in zip(header, row):
                    columns[name].append(cell)
                lines.append(reader.line_num)
        except csv.Error as exc:
            raise DataError(f"{os.fspath(path)}, line {reader.line_num}: {exc}") from None
        except UnicodeDecodeError as exc:
            raise DataError(f"{os.fspath(path)}: not UTF-8 text ({exc.reason})") from None
    return header, columns, lines


def csv_numeric(cells: Sequence[str], name: str, lines: Sequence[int], source: str,
                missing: str = "error", target: bool = False) -> NDArray[np.float64]:
    """A CSV column as numbers, naming the file, column and line of the first bad cell.

    An empty cell is a missing value: NaN when ``missing`` allows it, else refused (for a
    ``target`` always)."""
    out = np.empty(len(cells), dtype=np.float64)
    for i, cell in enumerate(cells):
        if not cell.strip():
            if target:
                raise DataError(f"{source}, line {lines[i]}: the target {name!r} is empty; "
                                "a target must be known: drop the rows without one")
            if missing == "error":
                raise DataError(f"{source}, line {lines[i]}: column {name!r} is empty; "
                                "--missing zero or --missing mean fills it")
            out[i] = math.nan
            continue
        try:
            value = float(cell)
        except ValueError:
            raise DataError(f"{source}, line {lines[i]}: column {name!r} holds {cell!r}, "
                            "not a number") from None
        if not math.isfinite(value):
            raise DataError(f"{source}, line {lines[i]}: column {name!r} holds {cell!r}, "
                            "not a finite number")
        out[i] = value
    return out
