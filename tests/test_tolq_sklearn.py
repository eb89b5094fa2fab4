"""The scikit-learn estimators: conventions, pipelines, search, every kind of table."""
import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.datasets import load_breast_cancer, load_diabetes  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score, train_test_split  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

import tolq  # noqa: E402
from tolq import _search  # noqa: E402
from tolq.sklearn import TolqClassifier, TolqRegressor  # noqa: E402

DIABETES = "linear(linear(bmi, s5), linear(bp, s3))"


@pytest.mark.parametrize("estimator", [TolqRegressor("linear(tanh(x0))", epochs=5),
                                       TolqClassifier("tanh(x0)", epochs=5)])
@pytest.mark.filterwarnings("ignore:column 'x0' equals the target")  # the checks' own data
def test_check_estimator(estimator):
    # on_skip=None: the array-API check skips itself unless SCIPY_ARRAY_API is set.
    check_estimator(estimator, on_skip=None)


def wave(n=400, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2, 2, (n, 2))
    return X, np.sin(X[:, 0]) + 0.5 * X[:, 1]


def test_pipeline_cross_val_score_and_grid_search():
    X, y = wave()
    pipe = make_pipeline(StandardScaler(), TolqRegressor("linear(tanh(x0), x1)", epochs=20))
    scores = cross_val_score(pipe, X, y, cv=3)
    assert scores.min() > 0.8
    search = GridSearchCV(TolqRegressor("linear(tanh(x0), x1)"),
                          {"epochs": [1, 20], "rate_level": [0, 3]}, cv=3).fit(X, y)
    assert search.best_params_["epochs"] == 20 and search.best_score_ > 0.8
    assert tolq.TolqRegressor is TolqRegressor


def test_auto_expression_searches_in_fit():
    X, _ = wave(300)
    y = 3 * X[:, 0] - X[:, 1]
    est = TolqRegressor("auto", search_budget=1e-9)  # the first generation only
    assert clone(est).get_params()["search_budget"] == 1e-9
    with pytest.raises(ValueError, match="call fit before partial_fit"):
        clone(est).partial_fit(X, y)
    assert est.fit(X, y).score(X, y) > 0.95
    assert set(est.model_.inputs) <= {"x0", "x1"} and est.history_ == []


def tables():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    # A pyarrow built for NumPy 2 refuses to import under NumPy 1.26: then it is skipped.
    pa = pytest.importorskip("pyarrow", exc_type=ImportError)
    X, y = wave(200)
    store = np.array(["a", "b", "c", "d"], dtype=object)[np.arange(200) % 4]
    cols = {"x0": X[:, 0], "x1": X[:, 1], "store": store}
    return cols, y + (store == "a"), [cols, pd.DataFrame(cols), pl.DataFrame(cols),
                                      pa.table(cols)]


def test_every_kind_of_table_gives_the_same_model():
    cols, y, kinds = tables()
    fitted = [TolqRegressor("linear(tanh(x0, x1), store)", categorical=["store"]).fit(X, y)
              for X in kinds]
    expected = fitted[0].predict(cols)
    for est, X in zip(fitted, kinds):
        assert est.predict(X).dtype == np.float64
        assert np.array_equal(est.predict(X), expected)
        assert est.n_features_in_ == 3 and list(est.feature_names_in_) == ["x0", "x1", "store"]
        assert est.model_.to_dict() == fitted[0].model_.to_dict()
    # After a fit with names, a 2-D array's columns take those names, with scikit-learn's
    # warning; after a fit on an array, a frame's columns count by position, warned too.
    numeric = TolqRegressor("linear(x1)").fit(kinds[1][["x0", "x1"]], y)
    array = np.column_stack([cols["x0"], cols["x1"]])
    with pytest.warns(UserWarning, match="X does not have valid feature names"):
        by_position = numeric.predict(array)
    assert np.array_equal(by_position, numeric.predict(kinds[1][["x0", "x1"]]))
    unnamed = TolqRegressor("linear(x1)").fit(array, y)
    frame = kinds[1][["x0", "x1"]].set_axis(["a", "b"], axis=1)
    with pytest.warns(UserWarning, match="X has feature names, but TolqRegressor was fitted"):
        assert np.array_equal(unnamed.predict(frame), unnamed.predict(array))


def test_error_names_the_column_without_dumping_it():
    cols, y, kinds = tables()
    est = TolqRegressor("linear(x0, x9)").fit({**cols, "x9": cols["x0"]}, y)
    with pytest.raises(tolq.DataError) as err:
        est.predict(kinds[3])
    assert "missing column 'x9'" in str(err.value) and len(str(err.value)) < 200


def test_fit_starts_over_and_partial_fit_goes_on():
    X, y = wave()
    est = TolqRegressor("linear(tanh(x0), x1)", epochs=3)
    first = est.fit(X, y).predict(X)
    assert np.array_equal(est.fit(X, y).predict(X), first) and len(est.history_) == 3
    # A pass in row order, continuing: the same as the model's own one-epoch fits, for
    # small batches (the one-row path) as for large ones.
    for size in (100, 10, 1):
        stream = TolqRegressor("linear(tanh(x0), x1)")
        model = tolq.Model("linear(tanh(x0), x1)", seed=0)
        expected = []
        for part in range(len(y) // size):
            rows = slice(size * part, size * (part + 1))
            stream.partial_fit(X[rows], y[rows])
            expected += model.fit({"x0": X[rows, 0], "x1": X[rows, 1]}, y[rows], epochs=1,
                                  shuffle=False)
        assert stream.history_ == expected and len(expected) == len(y) // size
        assert model.to_dict()["slots"] == stream.model_.to_dict()["slots"]
        assert size < 100 or expected[-1] < expected[0]


def test_held_out_score_with_early_stopping_does_not_fall_with_epochs():
    X, y = load_diabetes(return_X_y=True, as_frame=True)
    X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)
    scores = []
    for epochs in (10, 50, 200):
        est = TolqRegressor(DIABETES, epochs=epochs, early_stopping=True,
                            validation_fraction=0.2, patience=10).fit(X_train, y_train)
        scores.append(est.score(X_test, y_test))
        h = est.history_
        assert h.validation[h.best_epoch - 1] == min(h.validation)
    assert scores[0] > 0.25 and scores == sorted(scores)
    assert clone(est).get_params()["early_stopping"] is True


def test_classifier_on_breast_cancer():
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X.columns = [c.replace(" ", "_") for c in X.columns]
    X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)
    clf = TolqClassifier("tanh(linear(linear(mean_concave_points, worst_perimeter), "
                         "linear(worst_texture, worst_smoothness)))", epochs=30)
    clf.fit(X_train, y_train.map({0: "malignant", 1: "benign"}))
    assert list(clf.classes_) == ["benign", "malignant"]
    assert clf.score(X_test, y_test.map({0: "malignant", 1: "benign"})) > 0.8
    proba = clf.predict_proba(X_test)
    assert np.allclose(proba.sum(axis=1), 1.0)
    assert np.array_equal(clf.classes_[proba.argmax(axis=1)], clf.predict(X_test))


def test_declared_categoricals_the_expression_does_not_use_take_no_part():
    pd = pytest.importorskip("pandas")
    X, y = wave(300)
    frame = pd.DataFrame({"x0": X[:, 0], "x1": X[:, 1],
                          "store": pd.Categorical(np.array(["a", "b", "c"])[np.arange(300) % 3])})
    target = y + (frame["store"] == "a")
    grid = GridSearchCV(TolqRegressor(categorical=["store"], epochs=5),
                        {"expression": ["linear(x0, x1)", "linear(tanh(x0, x1), store)"]},
                        cv=3, error_score="raise").fit(frame, target)
    assert np.isfinite(grid.cv_results_["mean_test_score"]).all()
    # Without the list, the column's type says it is categorical.
    declared = TolqRegressor("linear(tanh(x0, x1), store)", categorical=["store"], epochs=5)
    inferred = TolqRegressor("linear(tanh(x0, x1), store)", epochs=5).fit(frame, target)
    assert inferred.model_.categorical == ("store",)
    assert np.array_equal(inferred.predict(frame), declared.fit(frame, target).predict(frame))
    with pytest.raises(tolq.DataError, match="'shop' is not a column of X"):
        TolqRegressor("linear(x0)", categorical=["shop"]).fit(frame, target)


def test_auto_by_default_for_both_estimators(monkeypatch):
    X, y = wave(300)
    reg = TolqRegressor(search_budget=1e-9).fit(X, y)
    assert reg.get_params()["expression"] == "auto" and reg.expression_ == reg.model_.expression
    # One generation and the final fits, whatever the machine's load: a time budget would
    # leave a busy machine only the first generation's choice.
    monkeypatch.setattr(_search, "MAX_GENERATIONS", 1)
    clf = TolqClassifier(epochs=10).fit(X, y > 0)
    assert set(clf.model_.inputs) <= {"x0", "x1"} and len(clf.history_) == 10
    assert clf.model_.loss == "categorical_cross_entropy" and clf.score(X, y > 0) > 0.8


def test_a_column_equal_to_the_target_is_named_in_a_warning():
    X, y = wave(300)
    with pytest.warns(UserWarning, match="column 'x2' equals the target"):
        TolqRegressor("linear(x0, x2)", epochs=1).fit(np.column_stack([X, y]), y)


def test_missing_policy_of_the_estimator():
    X, y = wave(300)
    X[::7, 0] = np.nan
    with pytest.raises(ValueError, match="missing value"):
        TolqRegressor("linear(tanh(x0), x1)").fit(X, y)
    est = TolqRegressor("linear(tanh(x0), x1)", missing="mean", epochs=20).fit(X, y)
    assert est.model_.missing == "mean" and np.isfinite(est.predict(X)).all()
    assert est.score(X, y) > 0.7 and est.__sklearn_tags__().input_tags.allow_nan


@pytest.mark.parametrize("size", [2000, 20])  # one batch, or small ones (learn_one's checks)
@pytest.mark.parametrize("only", ["a", "b"])
def test_partial_fit_of_one_class_learns_that_class(only, size):
    # The first batch holds one class: the model must still learn towards it.
    X, _ = wave(2000)
    clf = TolqClassifier("tanh(x0)")
    for k in range(0, 2000, size):
        clf.partial_fit(X[k:k + size], np.array([only] * size), classes=["a", "b"])
    assert (clf.predict_proba(X)[:, "ab".index(only)] > 0.5).all()


@pytest.mark.parametrize("estimator, labels", [(TolqRegressor("linear(x0)"), None),
                                               (TolqClassifier("tanh(x0)"), ("a", "b"))])
def test_refused_fit_leaves_the_estimator_as_it_was(estimator, labels):
    X, y = wave()
    target = y if labels is None else np.where(y > 0, *labels)
    est = clone(estimator).fit(X, target)
    model, predicted = est.model_, est.predict(X)
    wide = {"x0": X[:, 0].copy(), "x1": X[:, 1], "x2": X[:, 1]}
    if labels is None:
        other = y.copy()
        other[3] = np.nan
    else:  # other classes, and a row the model refuses after they are read
        other = np.where(y > 0, "c", "d")
        wide["x0"][3] = np.nan
    with pytest.raises(ValueError):
        est.fit(wide, other)
    assert est.model_ is model and np.array_equal(est.predict(X), predicted)
    assert est.n_features_in_ == 2 and not hasattr(est, "feature_names_in_")
    if labels is not None:
        assert list(est.classes_) == list(labels)
    for rows in (slice(None), slice(20)):  # a batch fitted, a small one through learn_one's checks
        fresh = clone(estimator)
        with pytest.raises(ValueError):
            fresh.partial_fit({k: v[rows] for k, v in wide.items()}, other[rows],
                              **({} if labels is None else {"classes": ["c", "d"]}))
        assert not any(hasattr(fresh, a) for a in ("model_", "n_features_in_", "classes_"))


def test_integer_keys_of_a_dict_are_column_names():
    X, y = wave()
    est = TolqRegressor("linear('0', '1')").fit({0: X[:, 0], 1: X[:, 1]}, y)
    assert list(est.feature_names_in_) == ["0", "1"]
    with pytest.warns(UserWarning, match="valid feature names"):  # an array: by position
        by_position = est.predict(X)
    assert np.array_equal(est.predict({0: X[:, 0], 1: X[:, 1]}), by_position)
