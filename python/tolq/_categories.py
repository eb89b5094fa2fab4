"""A categorical column's values, coded as small integers before they reach the module.

The module tells categories apart by their hash alone, so -1 and -2 (equal hashes) would
share one weight there; here they are told apart by equality, as a dict does. Each value
gets a code (1, 2, ...) once per data set; the module's map holds codes only, plus code 0:
the weight every value never trained with is predicted from. Code 0 is never trained, so
it keeps a fresh category's weight, 0.0, and predicting never adds entries to the map.
"""
from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from ._data import DataError, Distinct, is_missing, shorten
from ._format import encode_key

UNSEEN = 0
# The category every missing value (None, NaN, NA) is under missing="mean": one of its own.
MISSING = None
# The code missing values train under missing="zero": code 0 must keep the weight 0.0 it
# is predicted with, and this one is never saved (like Adam's moments), so a saved model
# predicts as the one in memory.
DROPPED = -1


def _kind(value: Any) -> str:
    if isinstance(value, (str, np.str_)):
        return "text"
    if isinstance(value, (int, float, np.integer, np.floating)):  # bool is an int
        return "number"
    return type(value).__name__


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class Coder:
    """The values of one categorical column and their codes, in the order first met."""

    def __init__(self, name: str, values: Iterable[Any] = ()) -> None:
        self.name = name
        self.codes: Dict[Any, int] = {}
        self.kinds: set[str] = set()
        self.next_code = UNSEEN + 1
        for value in values:
            if value in self.codes:
                raise ValueError(f"category {value!r} appears twice")
            self.codes[value] = self.next_code
            if value is not MISSING:
                self.kinds.add(_kind(value))
            self.next_code += 1

    def values(self) -> List[Tuple[Any, int]]:
        """(value, code) pairs in the order the values were first met."""
        return list(self.codes.items())

    def _convert(self, value: Any) -> Any:
        """``value`` in the one kind the column was trained with; DataError if it has none."""
        kind = _kind(value)
        if len(self.kinds) != 1 or kind in self.kinds:
            return value
        (trained,) = self.kinds
        if trained == "number" and kind == "text":
            text = str(value).strip()
            for convert in (int, float):
                try:
                    number = convert(text)
                except ValueError:
                    continue
                if isinstance(number, int) or math.isfinite(number):
                    return number
        elif trained == "text" and kind == "number":
            number = value.item() if isinstance(value, np.generic) else value
            if isinstance(number, int) and not isinstance(number, bool):
                return str(number)
            if isinstance(number, float) and number.is_integer():
                # "3" and "3.0" both read as 3.0: refused only when both are known. When
                # neither is, 3.0 is a category never met, as 3 and 3.5 would be.
                found = [t for t in (str(int(number)), repr(number)) if t in self.codes]
                if len(found) == 1:
                    return found[0]
                if not found:
                    return repr(number)
            elif isinstance(number, float):
                return repr(number)
        raise DataError(f"column {self.name!r} was trained with {trained} categories; "
                        f"{shorten(value)} ({type(value).__name__}) cannot be converted to one")

    def code(self, column: Distinct, *, learn: bool, missing: str
             ) -> Tuple[NDArray[np.int64], Dict[Any, int]]:
        """The codes of ``column``'s rows and the values new to this column.

        With ``learn`` a value never met gets a new code, recorded only by ``commit``;
        else it gets ``UNSEEN``. The codes given count on nothing else being committed
        before these are: the model codes and commits under its lock, in one step. A
        missing value (None, NaN, NA) is refused naming its row when ``missing`` is
        "error"; "zero" gives it ``UNSEEN``, "mean" the category ``MISSING`` (None),
        learned like any other. A new value that a model file could not keep is refused
        naming its row.
        """
        table = np.empty(len(column.values), dtype=np.int64)
        new: Dict[Any, int] = {}
        next_code = self.next_code
        for i, value in enumerate(column.values):
            if is_missing(value):
                if missing == "error":
                    raise DataError(f"column {self.name!r}: missing value ({shorten(value)}) "
                                    f"at row {column.first_row(i)}; pass missing='zero' "
                                    "(the weight of a category never seen) or missing='mean' "
                                    "(a category of its own)")
                if missing == "zero":
                    table[i] = DROPPED if learn else UNSEEN
                    continue
                value = MISSING
            known = self.codes.get(value)
            if known is None:
                converted = value if value is MISSING else self._convert(value)
                known = self.codes.get(converted)
                if known is None:
                    known = new.get(converted)
                if known is None and learn:
                    self._check_savable(converted, column.first_row(i))
                    known = new[converted] = next_code
                    next_code += 1
            table[i] = UNSEEN if known is None else known
        codes: NDArray[np.int64] = table[column.inverse]
        return codes, new

    def _check_savable(self, value: Any, row: Optional[int]) -> None:
        """Refuse, at training, a category that saving, pickling or a cluster would refuse
        later: the model would hold a weight that no copy of it can keep. ``row`` is
        named when there is one (not for ``learn_one``'s single row)."""
        at = "" if row is None else f" at row {row}"
        if isinstance(value, str) and not _is_utf8(value):
            raise DataError(f"column {self.name!r}: the text{at} holds a lone "
                            "surrogate, which a model file cannot keep")
        try:
            encode_key(value)
        except ValueError:
            raise DataError(f"column {self.name!r}: {shorten(value)}{at} is a "
                            f"{type(value).__name__}, which a model file cannot keep as a "
                            "category; categories must be int, float, str, bool, bytes or "
                            "None (convert the column first)") from None

    def commit(self, new: Dict[Any, int]) -> None:
        for value, code in new.items():
            self.codes[value] = code
            if value is not MISSING:
                self.kinds.add(_kind(value))
            self.next_code = max(self.next_code, code + 1)

    def _known(self, value: Any) -> Optional[int]:
        try:
            return self.codes.get(value)
        except TypeError:  # unhashable
            raise DataError(f"column {self.name!r}: {shorten(value)} cannot be a "
                            "category") from None

    def code_one(self, value: Any, missing: str = "error") -> Optional[int]:
        """The code of one value for prediction, ``UNSEEN`` for a value never trained;
        None when it is missing and ``missing`` is "error"."""
        known = self._known(value)
        if known is not None:
            return known
        if is_missing(value):
            if missing == "error":
                return None
            known = self.codes.get(MISSING) if missing == "mean" else None
        else:
            known = self.codes.get(self._convert(value))
        return UNSEEN if known is None else known

    def learn_one(self, value: Any, missing: str, pending: Dict[Any, int],
                  row: Optional[int] = None) -> Optional[int]:
        """The code of one value for training: a value never met gets the next code,
        recorded in ``pending`` (``commit`` makes it the column's); None when it is
        missing and ``missing`` is "error". A new value that a model file could not keep
        is refused, naming ``row`` when given."""
        known = self._known(value)
        if known is not None:
            return known
        if is_missing(value):
            if missing == "error":
                return None
            if missing == "zero":
                return DROPPED
            value = MISSING
        else:
            value = self._convert(value)
        known = self.codes.get(value)
        if known is None:
            known = pending.get(value)
        if known is None:
            self._check_savable(value, row)
            known = pending[value] = self.next_code + len(pending)
        return known
