"""Graphs of small functions, written as expressions and trained online on tables.

>>> import tolq
>>> model = tolq.Model.from_expression("sine(multiply(x0, x1))", target="y")
>>> history = model.fit({"x0": x0, "x1": x1}, y, epochs=5)   # doctest: +SKIP
>>> model.predict_one({"x0": 0.5, "x1": 1.5})                # doctest: +SKIP
>>> model.learn_one({"x0": 0.5, "x1": 1.5}, 0.7)             # doctest: +SKIP
>>> model.save("model.json")                                 # doctest: +SKIP
>>> print(model.formula(digits=4))                          # doctest: +SKIP

``tolq.TolqRegressor`` and ``tolq.TolqClassifier`` are scikit-learn estimators over the
same models (with scikit-learn installed: the extra ``sklearn``). The raw graph is ``model.graph``.
"""
# The modules form layers, each importing only from those below it (docs/design.md):
#   _cli, _demo  >  sklearn  >  _search  >  _parallel  >  _model  >  _training, _onerow
#   >  _expression, _categories, _format  >  _nodes  >  _formula, _transforms, _data
from importlib import metadata as _metadata
from importlib import util as _util
from typing import Any

from ._data import DataError
from ._expression import ExpressionError
from ._format import LOSSES, FormatError
from ._formula import evaluate_formula
from ._model import Model
from ._nodes import FUNCTIONS
from ._parallel import fit_many
from ._search import SearchResult, search
from ._training import History

try:
    __version__ = _metadata.version("tolq")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

_ESTIMATORS = ["TolqClassifier", "TolqRegressor"]

__all__ = [
    "DataError",
    "ExpressionError",
    "FUNCTIONS",
    "FormatError",
    "History",
    "LOSSES",
    "Model",
    "SearchResult",
    "evaluate_formula",
    "fit_many",
    "search",
]
if _util.find_spec("sklearn") is not None:
    __all__ += _ESTIMATORS


def __getattr__(name: str) -> Any:
    # The estimators load scikit-learn, which plain use of tolq should not pay for.
    if name in _ESTIMATORS:
        try:
            from . import sklearn as _estimators
        except ImportError as exc:
            raise AttributeError(f"tolq.{name} needs scikit-learn, which is not installed "
                                 f"(pip install scikit-learn; from a clone of tolq, "
                                 f"pip install '.[sklearn]'): {exc}") from None
        return getattr(_estimators, name)
    raise AttributeError(f"module 'tolq' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(__all__ + ["__version__"])
