"""scikit-learn estimators over ``tolq.Model``: ``TolqRegressor`` and ``TolqClassifier``.

Installed with the optional extra ``sklearn`` (``pip install '.[sklearn]'`` in a clone).
They work in ``Pipeline``, ``cross_val_score`` and ``GridSearchCV`` like any other
scikit-learn estimator.
"""
from __future__ import annotations

import warnings
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray
# scikit-learn ships no type information: its names are Any here.
from sklearn.base import (  # type: ignore[import-untyped,unused-ignore]
    BaseEstimator, ClassifierMixin, RegressorMixin)
from sklearn.exceptions import (  # type: ignore[import-untyped,unused-ignore]
    DataConversionWarning)
from sklearn.utils.multiclass import (  # type: ignore[import-untyped,unused-ignore]
    type_of_target)
from sklearn.utils.validation import (  # type: ignore[import-untyped,unused-ignore]
    check_is_fitted)

try:  # scikit-learn 1.6 and later
    from sklearn.utils.validation import (  # type: ignore[import-untyped,unused-ignore]
        _check_feature_names)
except ImportError:  # earlier: a method of the estimator
    def _check_feature_names(estimator: Any, X: Any, *, reset: bool) -> None:
        estimator._check_feature_names(X, reset=reset)

from . import _data
from ._expression import Name, parse
from ._model import Internals, Model
from ._search import search
from ._training import History, loss_sum

_DEFAULT_LOSS = "mean_squared_error"
# Rows up to which partial_fit trains through the model's one-row path (learn_one's): a
# small batch costs little more than its rows.
_SMALL_BATCH = 64


def _sparse(X: Any) -> bool:
    return hasattr(X, "tocsr") or type(X).__module__.startswith("scipy.sparse")


def _names_in(expression: str) -> List[str]:
    """The input names of an expression, in order of first appearance."""
    names: Dict[str, None] = {}
    stack = [parse(expression)]
    while stack:
        node = stack.pop()
        if isinstance(node, Name):
            names.setdefault(node.name)
        else:
            stack.extend(reversed(node.args))
    return list(names)


class _TolqEstimator(BaseEstimator):  # type: ignore[misc,unused-ignore]
    """The parts the regressor and the classifier share: data, fitting, the model."""

    expression: str
    categorical: Optional[Iterable[str]]
    missing: str
    search_budget: Optional[float]
    loss: str
    epochs: int
    rate_level: int
    validation_fraction: float
    early_stopping: bool
    patience: int
    random_state: Optional[int]
    progress: Optional[bool]

    model_: Model
    expression_: str
    history_: History
    n_features_in_: int
    feature_names_in_: NDArray[Any]

    def _keep(self, params: Dict[str, Any]) -> None:
        """scikit-learn's rule for __init__: store every parameter as given, nothing else."""
        for name, value in params.items():
            if name not in ("self", "__class__"):
                setattr(self, name, value)

    # ---- data -----------------------------------------------------------------------

    def _settle(self, attributes: Dict[str, Any]) -> None:
        """Set the attributes a fit learned, once it has succeeded: a refused fit leaves the
        estimator as it was (None removes an attribute)."""
        for name, value in attributes.items():
            if value is not None:
                setattr(self, name, value)
            elif hasattr(self, name):
                delattr(self, name)

    def _columns(self, X: Any, fitting: bool) -> Tuple[Dict[str, Any], Dict[str, Any]]:
        """``X`` as named columns, and when ``fitting`` the attributes they give
        (``n_features_in_``, ``feature_names_in_``); a 2-D array's columns are x0, x1, ...
        or the names seen."""
        if _sparse(X):
            raise TypeError("A sparse matrix was passed, but dense data is required: "
                            "tolq models read named columns")
        named = isinstance(X, dict) or hasattr(X, "column_names") or (
            hasattr(X, "columns") and not isinstance(X, np.ndarray))
        if named and not isinstance(X, dict):
            raw = X.column_names if hasattr(X, "column_names") else X.columns
            # Column names that are not all strings are no names (scikit-learn's rule).
            named = all(isinstance(name, str) for name in raw)
        return self._named_columns(X, fitting) if named else self._array_columns(X, fitting)

    def _named_columns(self, X: Any, fitting: bool) -> Tuple[Dict[str, Any], Dict[str, Any]]:
        names = _data.column_names(X)
        if not fitting and not hasattr(self, "feature_names_in_") and \
                not isinstance(X, dict):
            # Fitted on an array: scikit-learn warns, and the columns count by position.
            _check_feature_names(self, X, reset=False)
            if len(names) != self.n_features_in_:
                raise ValueError(f"X has {len(names)} features, but {type(self).__name__} "
                                 f"is expecting {self.n_features_in_} features as input.")
            names, X = [f"x{j}" for j in range(len(names))], \
                {f"x{j}": _data.get_column(X, n) for j, n in enumerate(names)}
        # A dict keyed by its names as they are, cheaply (one row of partial_fit);
        # else each column found by its name (a label 0 is named "0").
        columns = (dict(X) if isinstance(X, dict) and names == list(X)
                   else {n: _data.get_column(X, n) for n in names})
        seen = ({"feature_names_in_": np.asarray(names, dtype=object),
                 "n_features_in_": len(names)} if fitting else {})
        n_rows = len(next(iter(columns.values()))) if columns else 0
        if not columns or n_rows == 0:
            raise ValueError(f"Found array with {n_rows} sample(s) and {len(columns)} "
                             "feature(s) while a minimum of 1 is required.")
        return columns, seen

    def _array_columns(self, X: Any, fitting: bool) -> Tuple[Dict[str, Any], Dict[str, Any]]:
        array = np.asarray(X)
        if array.dtype.kind == "c":
            raise ValueError("Complex data not supported")
        if array.ndim != 2:
            raise ValueError(f"Expected 2D array, got {array.ndim}D array instead. Reshape "
                             "your data either using array.reshape(-1, 1) if your data has a "
                             "single feature or array.reshape(1, -1) if it contains a single "
                             "sample.")
        n_rows, n_cols = array.shape
        if n_rows == 0 or n_cols == 0:
            raise ValueError(f"Found array with {n_rows} sample(s) and {n_cols} feature(s) "
                             f"(shape={array.shape}) while a minimum of 1 is required.")
        if fitting:
            seen: Dict[str, Any] = {"feature_names_in_": None, "n_features_in_": n_cols}
            names = [f"x{j}" for j in range(n_cols)]
        else:
            seen = {}
            if n_cols != self.n_features_in_:
                raise ValueError(f"X has {n_cols} features, but {type(self).__name__} is "
                                 f"expecting {self.n_features_in_} features as input.")
            fitted = getattr(self, "feature_names_in_", None)
            if fitted is not None:
                # Fitted on named columns: scikit-learn warns, and the columns take the
                # names by position.
                _check_feature_names(self, array, reset=False)
            names = ([str(n) for n in fitted] if fitted is not None
                     else [f"x{j}" for j in range(n_cols)])
        return {name: array[:, j] for j, name in enumerate(names)}, seen

    @staticmethod
    def _target(y: Any) -> NDArray[Any]:
        if y is None:
            raise ValueError("requires y to be passed, but the target y is None")
        array = np.asarray(y.to_numpy() if hasattr(y, "to_numpy") else y)
        if array.ndim == 2 and array.shape[1] == 1:
            warnings.warn("A column-vector y was passed when a 1d array was expected; "
                          "it is read as one column", DataConversionWarning, stacklevel=3)
            array = array[:, 0]
        if array.ndim != 1:
            raise ValueError(f"y must be one-dimensional, got shape {array.shape}")
        return array

    def _target_name(self, columns: Dict[str, Any], expression: str) -> str:
        name = "y"
        while name in columns or name in expression:
            name += "_"
        return name

    def _categorical_of(self, columns: Dict[str, Any], inputs: List[str]) -> List[str]:
        """The categorical inputs among ``inputs``: the columns declared (those the
        expression does not use take no part), or those whose type says so."""
        if self.categorical is None:
            return _data.categorical_columns(columns, inputs)
        declared = ((self.categorical,) if isinstance(self.categorical, str)
                    else tuple(self.categorical))
        for name in declared:
            if name not in columns:
                raise _data.DataError(f"categorical column {name!r} is not a column of X")
        return [name for name in inputs if name in declared]

    # ---- fitting --------------------------------------------------------------------

    def _new_model(self, columns: Dict[str, Any], expression: Optional[str] = None) -> Model:
        expression = self.expression if expression is None else expression
        return Model(expression, target=self._target_name(columns, expression),
                     categorical=self._categorical_of(columns, _names_in(expression)),
                     loss=self.loss, rate_level=self.rate_level, seed=self.random_state,
                     missing=self.missing)

    def _fit_target(self, y: NDArray[Any], fitting: bool, classes: Optional[Any] = None
                    ) -> Tuple[NDArray[np.float64], Dict[str, Any]]:
        """The training target, and when ``fitting`` the attributes it gives."""
        return (np.asarray(y, dtype=np.float64) if y.dtype.kind in "biuf" else y), {}

    def _seed(self) -> int:
        return (self.random_state if self.random_state is not None
                else int(np.random.default_rng().integers(2**31)))

    def _fit(self, X: Any, y: Any, expression: Optional[str] = None) -> "_TolqEstimator":
        columns, seen = self._columns(X, fitting=True)
        target, learned = self._fit_target(self._target(y), fitting=True)
        if expression is None and self.expression == "auto":
            expression = search(columns, target, categorical=self.categorical,
                                time_budget=self.search_budget, random_state=self._seed(),
                                missing=self.missing).best.expression
        model = self._new_model(columns, expression)
        history = model.fit(columns, target, epochs=self.epochs, seed=self.random_state,
                            progress=self.progress, validation_fraction=self.validation_fraction,
                            early_stopping=self.early_stopping, patience=self.patience)
        self._settle({**seen, **learned, "model_": model, "history_": history,
                      "expression_": model.expression})
        return self

    def _partial_fit(self, X: Any, y: Any, classes: Optional[Any] = None) -> "_TolqEstimator":
        first = not hasattr(self, "model_")
        if first and self.expression == "auto":
            raise ValueError('expression="auto" searches in fit: call fit before partial_fit')
        columns, seen = self._columns(X, fitting=first)
        target, learned = self._fit_target(self._target(y), fitting=first, classes=classes)
        model = self._new_model(columns) if first else self.model_
        if len(target) <= _SMALL_BATCH:
            # The rows learned as by learn_one, the batch's ranges widened first: the same
            # bits as the one-pass fit below, at a small batch's cost.
            inner = Internals(model)
            pred = inner.learn_columns(
                {name: _data.as_array(columns[name], f"column {name!r}").tolist()
                 for name in model.inputs if name in columns},
                np.asarray(target, dtype=np.float64).tolist())
            low, high = inner.output_range()
            history = [loss_sum(model.loss, pred, target, low, high) / len(target)]
        else:
            history = model.fit(columns, target, epochs=1, shuffle=False,
                                seed=self.random_state, progress=False)
        if first:
            self._settle({**seen, **learned, "model_": model, "history_": History(),
                          "expression_": model.expression})
        self.history_.extend(history)
        return self

    def _predict(self, X: Any) -> NDArray[np.float64]:
        check_is_fitted(self, "model_")
        columns, _ = self._columns(X, fitting=False)
        return self.model_.predict(columns).astype(np.float64)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = self.missing != "error"
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        tags.input_tags.dict = True
        tags.non_deterministic = False
        return tags

    def _more_tags(self) -> Dict[str, Any]:  # scikit-learn before 1.6
        return {"poor_score": True, "allow_nan": self.missing != "error", "categorical": True}


class TolqRegressor(RegressorMixin, _TolqEstimator):  # type: ignore[misc,unused-ignore]
    """A scikit-learn regressor that trains a ``tolq.Model`` online, one row at a time.

    Parameters
    ----------
    expression : str, default "auto"
        The graph, over the column names of ``X``: for example
        ``"linear(sine(multiply(x0, x1)), store)"``. The columns of a 2-D array are named
        ``x0``, ``x1``, ...; those of a DataFrame (pandas, polars), a pyarrow Table or a
        dict of 1-D arrays keep their names (``feature_names_in_``).

        "auto": ``fit`` searches for the expression (``tolq.search`` over every column,
        its best model then trained on all the rows). The search chooses the number of
        passes and holds back its own validation rows and trains with the squared error,
        so ``loss``, ``epochs``, ``rate_level``, ``validation_fraction``,
        ``early_stopping`` and ``patience`` take no part, and ``history_`` is empty.
    categorical : sequence of str or None
        The categorical input columns: one learned weight per category. None infers them
        from the columns' types (pandas ``category``, ``string`` and text ``object``
        columns, polars ``Categorical`` and ``String``, pyarrow strings, NumPy text). A
        list wins: it names every categorical column, and nothing is inferred; a column
        it names that the expression does not use takes no part (so ``GridSearchCV`` can
        vary the expression).
    missing : {"error", "zero", "mean"}
        What to do with a missing input value (see ``tolq.Model``): refuse it, read it
        as the middle of the range (a category as one never seen), or as the training
        mean (a category as one of its own). A missing target is always refused.
    loss : str
        One of ``tolq.LOSSES``.
    epochs : int
        Passes over the rows in ``fit``.
    rate_level : int
        0 or more, 0 the fastest: every node's learning rate is its type's base rate
        divided by ln(rate_level + 2) (linear and tanh 0.005, gaussian 0.0001, sine
        0.01). Category weights move by a fixed step.
    validation_fraction : float
        A share of the rows held out (drawn with ``random_state``) to report the
        validation loss per epoch in ``history_.validation``.
    early_stopping : bool
        Stop after ``patience`` epochs without a lower validation loss and keep the
        parameters of the best epoch; needs ``validation_fraction > 0``.
    patience : int
        See ``early_stopping``.
    random_state : int or None
        Seed of the starting parameters, the row order and the held-out rows (and of the
        search); None draws a fresh seed.
    progress : bool or None
        A progress bar over the epochs; None shows it when standard error is a terminal.
    search_budget : float or None
        Seconds the search of expression="auto" may take in all; None lets it run until
        its front stops improving (``tolq.search``'s default).

    Attributes
    ----------
    model_ : tolq.Model
    expression_ : str
        The expression of ``model_`` (the one found, for "auto").
    history_ : tolq.History
        Training loss per epoch, with ``.validation``.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Only when ``X`` had column names.

    Notes
    -----
    ``fit`` starts over with a fresh model; ``partial_fit`` trains one pass over the rows
    in their order and goes on where the last call ended (a batch of up to 64 rows costs
    little more than ``Model.learn_one`` of its rows). ``predict`` returns float64 and
    never changes the model; predictions stay within the range of the targets trained
    on (see ``tolq.Model.predict``).

    An estimator fitted on named columns warns, as scikit-learn's own do, when it
    predicts a 2-D array (whose columns then take the names in order), and one fitted on
    an array warns when it predicts a data frame (whose columns count by position). An
    input column equal to the target is used with a warning.

    Every check of scikit-learn's ``check_estimator`` passes for an expression over
    ``x0`` alone. The estimator is tagged ``poor_score``: how well it fits depends on the
    expression, which the checks' generic data cannot know, so the score check of
    ``check_regressors_train`` is left out (its other parts run).
    """

    def __init__(self, expression: str = "auto", *, categorical: Optional[Iterable[str]] = None,
                 missing: str = "error", loss: str = _DEFAULT_LOSS, epochs: int = 10,
                 rate_level: int = 0, validation_fraction: float = 0.0,
                 early_stopping: bool = False, patience: int = 5,
                 random_state: Optional[int] = 0, progress: Optional[bool] = False,
                 search_budget: Optional[float] = None) -> None:
        self._keep(locals())

    def fit(self, X: Any, y: Any) -> "TolqRegressor":
        """Train a fresh model for ``epochs`` passes over the rows, or search for it when
        the expression is "auto"."""
        if self.expression != "auto":
            self._fit(X, y)
            return self
        columns, seen = self._columns(X, fitting=True)
        target, _ = self._fit_target(self._target(y), fitting=True)
        model = search(columns, target, categorical=self.categorical,
                       time_budget=self.search_budget, random_state=self._seed(),
                       missing=self.missing).best
        self._settle({**seen, "model_": model, "expression_": model.expression,
                      "history_": History()})
        return self

    def partial_fit(self, X: Any, y: Any) -> "TolqRegressor":
        """One pass over the rows in their order, going on from the last call."""
        self._partial_fit(X, y)
        return self

    def predict(self, X: Any) -> NDArray[np.float64]:
        """The predictions for the rows of ``X``, as float64."""
        return self._predict(X)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.regressor_tags.poor_score = True
        return tags


class TolqClassifier(ClassifierMixin, _TolqEstimator):  # type: ignore[misc,unused-ignore]
    """A two-class scikit-learn classifier over a ``tolq.Model``.

    It trains with the "categorical_cross_entropy" loss: the lower class (in sorted
    order) is the negative one, coded 0, the other 1; the model's output, on the range
    [0, 1], is the probability of the positive class. Parameters and attributes as for
    ``TolqRegressor``, without ``loss``; ``classes_`` holds the two classes.

    Every check of scikit-learn's ``check_estimator`` passes for an expression over
    ``x0`` alone; tagged ``poor_score`` for the reason given for ``TolqRegressor``, which
    leaves out the accuracy threshold of ``check_classifiers_train``. More than two
    classes are refused (tagged: no multi-class).

    With expression "auto" (the default) ``fit`` first searches for the expression that
    predicts the positive class (coded 1, the other 0) within ``search_budget``; that
    expression then trains afresh as a given one would, with this estimator's loss,
    ``epochs`` and the rest (``history_`` is that training's).
    """

    classes_: NDArray[Any]

    def __init__(self, expression: str = "auto", *, categorical: Optional[Iterable[str]] = None,
                 missing: str = "error", epochs: int = 10, rate_level: int = 0,
                 validation_fraction: float = 0.0, early_stopping: bool = False,
                 patience: int = 5, random_state: Optional[int] = 0,
                 progress: Optional[bool] = False,
                 search_budget: Optional[float] = None) -> None:
        self._keep(locals())

    @property
    def loss(self) -> str:  # type: ignore[override]
        return "categorical_cross_entropy"

    def _fit_target(self, y: NDArray[Any], fitting: bool, classes: Optional[Any] = None
                    ) -> Tuple[NDArray[np.float64], Dict[str, Any]]:
        if y.dtype.kind == "f" and not np.isfinite(y).all():
            raise ValueError("Input y contains NaN or infinity")
        kind = type_of_target(y, input_name="y")
        if kind not in ("binary", "multiclass"):
            raise ValueError(f"Unknown label type: {kind}; TolqClassifier needs two classes")
        seen = np.unique(y)
        known = self.classes_ if not fitting else None
        if known is None:
            known = np.unique(np.asarray(classes)) if classes is not None else seen
            if len(known) != 2:
                raise ValueError(f"Only binary classification is supported: y holds "
                                 f"{len(known)} class{'es' if len(known) != 1 else ''}")
        if not np.isin(seen, known).all():
            raise ValueError(f"y holds classes beyond {known.tolist()}")
        positive: NDArray[np.float64] = (y == known[1]).astype(np.float64)
        return positive, ({"classes_": known} if fitting else {})

    def _new_model(self, columns: Dict[str, Any], expression: Optional[str] = None) -> Model:
        model = super()._new_model(columns, expression)
        # The target is coded 0 and 1 whatever a batch holds. A first partial_fit of one
        # class would otherwise learn the range [0, 0], whose middle the two-class loss
        # reads as the positive class: it would train towards the other class.
        Internals(model).set_output_range(0.0, 1.0)
        return model

    def fit(self, X: Any, y: Any) -> "TolqClassifier":
        """Train a fresh model for ``epochs`` passes over the rows."""
        self._fit(X, y)
        return self

    def partial_fit(self, X: Any, y: Any, classes: Optional[Any] = None) -> "TolqClassifier":
        """One pass over the rows in their order, going on from the last call.

        ``classes`` names the two classes when the first call's ``y`` does not hold both.
        """
        self._partial_fit(X, y, classes)
        return self

    def predict_proba(self, X: Any) -> NDArray[np.float64]:
        """The probabilities of the two classes, one row per row of ``X``."""
        p = self._positive(X)
        return np.column_stack([1.0 - p, p])

    def _positive(self, X: Any) -> NDArray[np.float64]:
        check_is_fitted(self, "model_")
        low, high = Internals(self.model_).output_range()
        p = (self._predict(X) - low) / (high - low) if high > low else None
        return np.clip(p, 0.0, 1.0) if p is not None else np.full(len(self._predict(X)), 0.5)

    def predict(self, X: Any) -> NDArray[Any]:
        """The more probable class of each row."""
        check_is_fitted(self, "model_")
        chosen: NDArray[Any] = self.classes_[(self._positive(X) > 0.5).astype(np.intp)]
        return chosen

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = False
        tags.classifier_tags.poor_score = True
        return tags


__all__ = ["TolqClassifier", "TolqRegressor"]
