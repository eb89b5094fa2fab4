"""Turning user data (dicts of arrays, data frames, CSV files) into checked 1-D arrays."""
from __future__ import annotations

import csv
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray


FLOAT32_MAX = float(np.finfo(np.float32).max)


class DataError(ValueError):
    """Input data that a model cannot use: a missing column, a non-numeric value, ..."""


def _labels(X: Any) -> List[Any]:
    """The column labels of a dict, a data frame (pandas, polars) or a pyarrow Table, as
    the table keys them (a pandas frame may use numbers).

    No data frame library is imported here: they are told apart by what they offer.
    """
    if isinstance(X, Mapping):
        return list(X)
    names = getattr(X, "column_names", None)  # pyarrow; its .columns are the data
    if names is None:
        names = getattr(X, "columns", None)
    if names is not None and not isinstance(X, np.ndarray):
        return list(names)
    raise DataError("X must be a dict of 1-D arrays, a data frame or a pyarrow Table, "
                    f"not {type(X).__name__}")


def column_names(X: Any) -> List[str]:
    """The column names of a dict, a data frame (pandas, polars) or a pyarrow Table; a
    label that is not a str (a pandas frame's 0, 1, ...) is named by its text."""
    return [str(c) for c in _labels(X)]


def get_column(X: Any, name: str) -> Any:
    """The column named ``name``: the label ``name`` itself, else the one label whose text
    it is (the column 0 of a pandas frame is named "0")."""
    labels = _labels(X)
    if any(isinstance(c, str) and c == name for c in labels):
        return X[name]
    found = [c for c in labels if str(c) == name]
    if len(found) == 1:
        return X[found[0]]
    if found:
        raise DataError(f"column name {name!r} is ambiguous: the labels "
                        f"{', '.join(repr(c) for c in found[:5])} all read as it")
    names = [str(c) for c in labels]
    shown = ", ".join(repr(n) for n in names[:20]) + (", ..." if len(names) > 20 else "")
    raise DataError(f"missing column {name!r} (columns: {shown or 'none'})")


def _as_array(values: Any, what: str) -> NDArray[Any]:
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


def numeric(values: Any, what: str, missing: str = "error") -> NDArray[np.float64]:
    """``values`` as finite float64 numbers, or DataError naming the first bad row.

    A missing value (NaN, None, NA) is refused unless ``missing`` is "zero"; it is then
    NaN in the result, for the caller to fill.
    """
    array = _as_array(values, what)
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
                raise DataError(f"{what}: {shorten(value)} at row {row} is not a number") from None
        raise DataError(f"{what} is not numeric") from None
    nan = np.isnan(out)
    if missing != "zero" and nan.any():
        row = int(np.argmax(nan))
        raise DataError(f"{what}: missing value (NaN) at row {row}; pass missing='zero' to "
                        "give it the middle of the learned range")
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


def categorical(values: Any, what: str) -> Distinct:
    """``values`` as categories: distinct by equality, as a dict tells keys apart."""
    array = _as_array(values, what)
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
                    raise DataError(f"{os.fspath(path)}, line {reader.line_num}: {len(row)} fields, "
                                    f"the header has {len(header)}")
                for name, cell in zip(header, row):
                    columns[name].append(cell)
                lines.append(reader.line_num)
        except csv.Error as exc:
            raise DataError(f"{os.fspath(path)}, line {reader.line_num}: {exc}") from None
        except UnicodeDecodeError as exc:
            raise DataError(f"{os.fspath(path)}: not UTF-8 text ({exc.reason})") from None
    return header, columns, lines


def csv_numeric(cells: Sequence[str], name: str, lines: Sequence[int],
                source: str) -> NDArray[np.float64]:
    """A CSV column as numbers, naming the file, column and line of the first bad cell."""
    out = np.empty(len(cells), dtype=np.float64)
    for i, cell in enumerate(cells):
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
