"""Graphs of small functions, written as expressions and trained online on tables.

>>> import tolq
>>> model = tolq.Model.from_expression("sine(multiply(x0, x1))", target="y")
>>> losses = model.fit({"x0": x0, "x1": x1}, y, epochs=5)      # doctest: +SKIP
>>> model.save("model.json")                                     # doctest: +SKIP

The raw graph is ``model.graph``, a ``_tolq.Graph``.
"""
from ._data import DataError
from ._expression import FUNCTIONS, Call, ExpressionError, Name, parse
from ._format import LOSSES, FormatError
from ._model import Model, fit_many
from ._search import SearchResult, search

__all__ = [
    "Call",
    "DataError",
    "ExpressionError",
    "FUNCTIONS",
    "FormatError",
    "LOSSES",
    "Model",
    "Name",
    "SearchResult",
    "fit_many",
    "parse",
    "search",
]
