"""Training, prediction, saving, loading, pickling and fit_many of tolq.Model."""
import ast
import copy
import dataclasses
import json
import os
import pickle
import sys
import stat
import threading
import time
from decimal import Decimal

import numpy as np
import pytest

import tolq
from tolq._nodes import REGISTERS
from builders import EXPR, EXPRESSIONS, at_once, bits, data, model, rows_of, trained

def test_fit_learns_and_reports_one_loss_per_epoch():
    X, y = data(3000)
    m = model()
    losses = m.fit(X, y, epochs=6, progress=False)
    assert len(losses) == 6 and all(isinstance(v, float) for v in losses)
    assert losses[-1] < losses[0] and losses[-1] < 0.7 * np.var(y)  # beats the mean
    assert m.fit(X, y, epochs=0) == []


@pytest.mark.parametrize("loss", tolq.LOSSES)
def test_epoch_loss_is_that_of_predictions_before_each_update(loss):
    X, y = data(300)
    y = np.where(y > 0, 1.0, 0.0) if loss == "categorical_cross_entropy" else y
    a, b = model(loss=loss), model(loss=loss)
    (reported,) = a.fit(X, y, epochs=1, shuffle=False, progress=False)
    assert b.graph[-1]._loss == loss
    # The same epoch through the raw module, in one query that sees all the data at once
    # and widens the ranges itself: it returns each row's prediction made before the row
    # was learned.
    for slot in range(len(b.graph)):
        if b.graph[slot].type == "fixed":
            b.graph[slot].state.auto_adapt = True
    pred = b.graph._query(dict(X), y).astype(np.float64)
    if loss == "mean_squared_error":
        expected = np.mean((pred - y) ** 2)
    elif loss == "mean_absolute_error":
        expected = np.mean(np.abs(pred - y))
    else:
        p = np.clip(pred, 1e-7, 1 - 1e-7)  # the target range is [0, 1]
        expected = -np.mean(np.where(y > 0, np.log(p), np.log(1 - p)))
    assert reported == pytest.approx(expected, rel=1e-12)


def test_result_does_not_depend_on_progress_batching():
    pytest.importorskip("tqdm")
    X, y = data(5000)  # more rows than one progress step
    a, b = model(), model()
    assert a.fit(X, y, epochs=2, progress=True) == b.fit(X, y, epochs=2, progress=False)
    assert a.to_dict() == b.to_dict()


def test_predict_keeps_ranges_and_clamps():
    m, X = trained()
    before = m.to_dict()
    far = {"x0": np.array([1e6, X["x0"].max()]), "x1": np.array([0.5, 0.5]),
           "store": np.array(["north", "north"], dtype=object)}
    p = m.predict(far)
    assert p.dtype == np.float32 and p[0] == p[1]
    assert m.to_dict() == before


def test_predict_before_training_is_refused():
    X, _ = data(10)
    with pytest.raises(RuntimeError, match="not been trained"):
        model().predict(X)
    with pytest.raises(RuntimeError, match="not been trained"):
        model().predict_one({k: v[0] for k, v in X.items()})


@pytest.mark.parametrize("change, message", [
    (lambda X, y: X.pop("x1"), "missing column 'x1'"),
    (lambda X, y: X.update(x0=np.array(["1.5", "abc"] * 300, dtype=object)), "'abc' at row 1"),
    (lambda X, y: X["x1"].__setitem__(7, np.nan), "missing value \\(NaN\\) at row 7"),
    (lambda X, y: X.update(x0=X["x0"].reshape(2, -1)), "one-dimensional"),
    (lambda X, y: X.update(x1=X["x1"][:-1]), "differ in length"),
    (lambda X, y: X["store"].__setitem__(3, float("nan")), "missing value"),
    (lambda X, y: y.__setitem__(0, np.inf), "row 0 is not a finite"),
    # Finite in float64, not in float32: refused before any range is widened.
    (lambda X, y: X["x0"].__setitem__(5, 1e39), "row 5 is beyond the float32 range"),
    (lambda X, y: X["x0"].__setitem__(slice(0, 2), [-3e38, 3e38]), "column 'x0' spans"),
    (lambda X, y: y.__setitem__(slice(0, 2), [-3e38, 3e38]), "the target spans"),
    (lambda X, y: X["store"].__setitem__(4, "nor\ud800th"), "row 4 holds a lone surrogate"),
])
def test_bad_data_is_refused_before_training(change, message):
    X, y = data()
    change(X, y)
    m = model()
    before = m.to_dict()
    with pytest.raises(tolq.DataError, match=message):
        m.fit(X, y, progress=False)
    assert m.to_dict() == before


def test_y_of_other_length_is_refused():
    X, y = data()
    with pytest.raises(tolq.DataError, match="y has 599 values"):
        model().fit(X, y[:-1], progress=False)


@pytest.mark.parametrize("case", ["y a column", "pandas", "integer labels", "2-d array"])
def test_other_tables_give_the_model_of_a_dict(case):
    X, y = data()
    expr, plain = EXPR, (X, y)
    if case == "y a column":
        other = ({**X, "target": y}, "target")
    elif case == "2-d array":  # its columns are x0, x1, ...
        expr, plain = "sine(multiply(x0, x1))", ({"x0": X["x0"], "x1": X["x1"]}, y)
        other = (np.column_stack([X["x0"], X["x1"]]), y)
    else:
        pd = pytest.importorskip("pandas")
        other = (pd.DataFrame(X), pd.Series(y))
        if case == "integer labels":  # named by their text
            expr = "linear(tanh('0', '1'), store)"
            plain = ({"0": X["x0"], "1": X["x1"], "store": X["store"]}, y)
            other = (pd.DataFrame({0: X["x0"], 1: X["x1"], "store": X["store"]}), y)
    a, b = model(expr), model(expr)
    a.fit(*plain, epochs=2, progress=False)
    b.fit(*other, epochs=2, progress=False)
    assert a.to_dict() == b.to_dict()
    assert bits(a.predict(plain[0])) == bits(b.predict(other[0]))


@pytest.mark.parametrize("categorical", [("store",), None])
def test_two_threads_fitting_one_model_end_as_one_fit_after_the_other(categorical):
    # Each fit brings 3000 categories of its own: coded at the same time, they must still
    # get codes of their own, as when one fit follows the other. Without the list, both
    # are first fits: one decides that store is categorical while the other reads.
    batches = [({"x0": np.linspace(-1, 1, 3000),
                 "store": np.array([f"{k}{i}" for i in range(3000)], dtype=object)},
                np.linspace(0, 1, 3000)) for k in "ab"]

    def serial(order):
        m = tolq.Model("linear(x0, store)", categorical=categorical, seed=1)
        for k in order:
            m.fit(*batches[k], epochs=1, progress=False)
        return m.to_dict()

    m = tolq.Model("linear(x0, store)", categorical=categorical, seed=1)
    at_once(*(lambda k=k: m.fit(*batches[k], epochs=1, progress=False) for k in (0, 1)))
    assert len(m.category_weights("store")) == 6000
    assert m.to_dict() in (serial((0, 1)), serial((1, 0)))


def test_loss_is_selected_by_name():
    m = model()
    m.loss = "mean_absolute_error"
    assert m.graph[-1]._loss == "mean_absolute_error" and m.loss == "mean_absolute_error"
    with pytest.raises(ValueError, match="unknown loss"):
        m.loss = "mse"
    assert m.loss == "mean_absolute_error"


# ---- persistence ----------------------------------------------------------------------

def mixed_keys_model():
    """A categorical input whose keys are of every type a file keeps.

    3 and 260 share a bucket of the module's map (257 buckets), so their order in it
    depends on the order in which they were inserted.
    """
    m = model("linear(x0, store)")
    keys = np.array([3, 0.1 + 0.2, "north", True, b"\x00raw", -1, 260, -2], dtype=object)
    X = {"x0": np.linspace(-1, 1, 80), "store": np.tile(keys, 10)}
    m.fit(X, np.linspace(0, 3, 80), epochs=2, progress=False)
    return m, X


def test_save_and_load_give_identical_bits(tmp_path):
    m, X = mixed_keys_model()
    path = tmp_path / "model.json"
    m.save(path)
    text = path.read_text()
    assert "NaN" not in text and "Infinity" not in text
    loaded = tolq.Model.load(path)
    assert bits(loaded.predict(X)) == bits(m.predict(X))
    cats = loaded.category_weights("store")
    assert [(type(k), k, w) for k, w in cats.items()] == \
           [(type(k), k, w) for k, w in m.category_weights("store").items()]
    assert {type(k) for k in cats} == {int, float, str, bool, bytes}
    assert cats[-1] != cats[-2]  # equal hashes, two weights
    loaded.save(tmp_path / "again.json")
    assert (tmp_path / "again.json").read_text() == text
    assert str(loaded) == str(m) and loaded.graph.edge_count == m.graph.edge_count
    assert hash(loaded.graph) == hash(m.graph)


@pytest.mark.parametrize("value", [1e-45, -0.0, 3.4028234663852886e38, 0.1, float("inf"),
                                   float("-inf"), float("nan")])
def test_awkward_floats_round_trip(tmp_path, value):
    m = model("tanh(x0, x1)")
    m.graph[2].state.w1 = value
    m.save(tmp_path / "m.json")
    again = tolq.Model.load(tmp_path / "m.json")
    assert repr(again.graph[2].state.w1) == repr(m.graph[2].state.w1)
    # Unknown (NaN) ranges of the untrained model come back as well.
    assert again.to_dict() == m.to_dict()


@pytest.mark.parametrize("clone", [
    lambda m: pickle.loads(pickle.dumps(m)), copy.deepcopy,
    lambda m: tolq.Model.from_dict(json.loads(json.dumps(m.to_dict())))])
def test_pickle_and_copies_give_identical_bits(clone):
    m, X = trained()
    other = clone(m)
    assert type(other) is tolq.Model and other is not m
    assert bits(other.predict(X)) == bits(m.predict(X))
    assert other.graph is not m.graph


def valid_document():
    return model("sine(linear(x0, store))").to_dict()


def edit(path, value, **top):
    """A function that replaces the item at ``path`` of a document with ``value``, and sets
    the items ``top`` at its top."""
    def apply(doc):
        doc.update(top)
        target = doc
        for key in path[:-1]:
            target = target[key]
        if value is KeyError:
            del target[path[-1]]
        else:
            target[path[-1]] = value
        return doc
    return apply


@pytest.mark.parametrize("change, message", [
    (edit(["format"], "other"), "not a tolq model"),
    (edit(["version"], 3), "newer than this tolq reads"),
    (edit(["slots", 0, "transform"], "log"), "need format version 2"),
    (edit(["version"], "1"), "version"),
    (edit(["version"], True), "version"),
    (edit(["loss"], "mse"), "unknown loss"),
    (edit(["slots"], KeyError), "missing 'slots'"),
    (edit(["extra"], 1), "unknown 'extra'"),
    (edit(["expression"], "y = sine(x0)"), "does not match"),
    (edit(["slots", 2, "type"], "cosine"), "unknown node type"),
    (edit(["slots", 2, "type"], ["linear"]), "unknown node type"),
    (edit(["slots", 2, "sources"], [0, 3]), "earlier slot"),
    (edit(["slots", 3, "sources"], [3]), "earlier slot"),
    (edit(["slots", 3, "sources"], [2, 0]), "sine takes 1 argument, got 2"),
    (edit(["slots", 3, "sources"], [0]), "used nowhere"),
    (edit(["slots", 4], {"type": "cat", "name": "y", "sources": [3], "latticeloc": [5, 0, 0],
                         "gluamine": 0, "state": {"categories": []}}),
     "output must be a fixed register"),
    (edit(["slots", 2, "sources"], [-1]), "a linear node cannot be an input"),
    (edit(["slots", 2, "sources"], [-1, 1]), "may only stand alone"),
    (edit(["slots", 1, "name"], "x0"), "appears twice"),
    (edit(["slots", 0, "latticeloc"], [1, 2]), "three integers"),
    (edit(["slots", 0, "gluamine"], 2**31), "gluamine"),
    (edit(["slots", 2, "gluamine"], -1), "gluamine"),
    (edit(["slots", 2, "state", "w0"], "big"), "expected a number"),
    (edit(["slots", 2, "state", "lr"], 0.1), "parameters"),
    (edit(["slots", 0, "state", "auto_adapt"], 1), "true or false"),
    (edit(["slots", 1, "state", "categories"], [[["int", "7"], 0.5]]), "category key"),
    (edit(["slots", 1, "state", "categories"], [[["int", 1], 0.5], [["bool", True], 0.1]]),
     "appears twice"),
    (edit(["slots", 2, "name"], "linear"), "only they, have a name"),
    (edit(["slots", 0, "transform"], "exp", version=2),
     "'exp' is not a transform of a numeric register"),
    (edit(["slots", 1, "transform"], "log", version=2),  # the categorical input
     "not a transform of a numeric register"),
    (edit(["slots", 2, "transform"], "log", version=2), "not a transform of a numeric register"),
    (edit(["slots", 4, "transform"], "sqrt", version=2),
     "only an input or the output can be transformed"),
])
def test_invalid_documents_are_refused(change, message):
    doc = change(valid_document())
    with pytest.raises(tolq.FormatError, match=message):
        tolq.Model.from_dict(doc)


def test_transformed_inputs_and_target_learn_a_product_and_round_trip(tmp_path):
    rng = np.random.default_rng(0)
    X = {"m": rng.uniform(1, 5, 500), "v": rng.uniform(1, 5, 500)}
    y = X["m"] * X["v"] ** 2
    m = tolq.Model("linear(log(m), log(v))", target="E", target_transform="log", seed=0)
    m.fit(X, y, epochs=20, progress=False)
    pred = m.predict(X)
    assert np.mean((pred - y) ** 2) < 1e-3 * np.var(y)
    # The graph learns log(E): its raw output, taken through exp, is the prediction.
    raw = m.graph._query({"log(m)": np.log(X["m"]), "log(v)": np.log(X["v"])})
    assert bits(np.exp(raw.astype(np.float64)).astype(np.float32)) == bits(pred)
    assert m.predict_one({"m": 2.0, "v": 3.0}) == pytest.approx(18.0, rel=0.02)
    assert [m.predict_one({"m": X["m"][i], "v": X["v"][i]}) for i in range(5)] == \
        pred[:5].tolist()
    # One row at a time learns as fit does, through the transforms.
    streamed, fitted = (tolq.Model("linear(log(m), log(v))", target="E", target_transform="log",
                                   seed=0) for _ in range(2))
    for one in (streamed, fitted):  # the ranges, widened over every row first
        one.fit(X, y, epochs=1, progress=False)
    for i in range(50):
        streamed.learn_one({"m": X["m"][i], "v": X["v"][i]}, y[i])
    fitted.fit({k: v[:50] for k, v in X.items()}, y[:50], epochs=1, shuffle=False,
               progress=False)
    assert bits(streamed.predict(X)) == bits(fitted.predict(X))
    assert repr(m) == "<tolq.Model log(E) = linear(log(m), log(v))>" and m.inputs == ("m", "v")
    m.save(tmp_path / "m.json")
    doc = json.loads((tmp_path / "m.json").read_text())
    assert doc["version"] == 2 and doc["expression"] == "log(E) = linear(log(m), log(v))"
    assert bits(tolq.Model.load(tmp_path / "m.json").predict(X)) == bits(pred)
    assert valid_document()["version"] == 1  # no transform: readable by older versions


@pytest.mark.parametrize("expression, target_transform, X, y, message", [
    ("linear(log(a))", None, {"a": [1.0, 0.0]}, [1.0, 2.0], r"column 'a': log of a value "
     r"that is not positive \(0.0 at row 1\)"),
    ("linear(inv(a))", None, {"a": [1.0, -0.0]}, [1.0, 2.0], "column 'a': inv of zero"),
    ("linear(sqrt(a), a)", None, {"a": [-1.0, 2.0]}, [1.0, 2.0], "sqrt of a negative value"),
    ("linear(a)", "log", {"a": [1.0, 2.0]}, [1.0, -2.0], "y: log of a value that is not pos"),
    ("linear(a)", "inv", {"a": [1.0, 2.0]}, [0.0, 2.0], "y: inv of zero"),
])
def test_transforms_refuse_data_they_do_not_allow(expression, target_transform, X, y, message):
    m = tolq.Model(expression, target_transform=target_transform, seed=0)
    with pytest.raises(tolq.DataError, match=message):
        m.fit({k: np.array(v) for k, v in X.items()}, np.array(y), progress=False)
    assert m.to_dict() == tolq.Model(expression, target_transform=target_transform,
                                     seed=0).to_dict()


def test_categorical_column_cannot_be_transformed():
    with pytest.raises(ValueError, match="categorical column cannot be transformed"):
        tolq.Model("linear(log(store))", categorical=["store"])


@pytest.mark.parametrize("how", ["fit", "learn_one"])
def test_text_never_makes_a_transformed_input_categorical(how):
    fresh = tolq.Model("linear(log(a), b)", seed=0).to_dict()
    m = tolq.Model("linear(log(a), b)", seed=0)  # the first data decide
    with pytest.raises(tolq.DataError, match="column 'a': 'x' .*is not a number"):
        if how == "fit":
            m.fit({"a": np.array(["x", "y"], dtype=object), "b": np.array([1.0, 2.0])},
                  np.array([1.0, 2.0]), progress=False)
        else:
            m.learn_one({"a": "x", "b": 1.0}, 1.0)
    assert m.categorical == () and m.to_dict() == fresh


@pytest.mark.parametrize("content, message", [
    *[(text, r"bad\.json") for text in [b"", b"{", b"\xff\xfe", b"[]", b'{"format": NaN}',
                                       b"[" * 100_000 + b"]" * 100_000]],
    (json.dumps(dict(valid_document(), version=99)).encode(), r"bad\.json: .*version 99, newer"),
])
def test_files_that_are_not_models(tmp_path, content, message):
    path = tmp_path / "bad.json"
    path.write_bytes(content)
    with pytest.raises(tolq.FormatError, match=message):
        tolq.Model.load(path)


@pytest.mark.parametrize("values, row", [
    (np.array(["a", (1, 2)], dtype=object), 1),
    (np.array([Decimal("1.5"), Decimal(2)], dtype=object), 0),
    (np.array(["2020-01-01", "2020-01-02"], dtype="datetime64[D]"), 0),
])
@pytest.mark.parametrize("how", ["fit", "learn_one"])
def test_category_a_file_cannot_keep_is_refused_in_training(values, row, how):
    # Saving, pickling and a cluster would refuse the model later.
    m = model("linear(x0, store)")
    before = m.to_dict()
    if how == "fit":
        with pytest.raises(tolq.DataError,
                           match=f"column 'store': .* at row {row} is a .*cannot keep"):
            m.fit({"x0": np.arange(2.0), "store": values}, [0.0, 1.0], epochs=1, progress=False)
    else:
        with pytest.raises(tolq.DataError, match="column 'store': .* is a .*cannot keep"):
            m.learn_one({"x0": 0.0, "store": values[row]}, 0.0)
    assert m.to_dict() == before


@pytest.mark.parametrize("mode, umask, expected", [
    (0o600, 0o022, 0o600), (0o644, 0o077, 0o644),
    (None, 0o022, 0o644),  # a new file: the usual permissions
])
def test_save_keeps_the_mode_of_the_file_it_replaces(tmp_path, mode, umask, expected):
    m, _ = trained()
    path = tmp_path / "m.json"
    if mode is not None:
        path.write_text("old")
        path.chmod(mode)
    old = os.umask(umask)
    try:
        m.save(path)
    finally:
        os.umask(old)
    assert stat.S_IMODE(path.stat().st_mode) == expected
    assert tolq.Model.load(path).to_dict() == m.to_dict()


def test_save_writes_through_a_symbolic_link(tmp_path):
    m, _ = trained()
    (tmp_path / "models").mkdir()
    target = tmp_path / "models" / "v1.json"
    target.write_text("old")
    link = tmp_path / "current.json"
    link.symlink_to(target)
    m.save(link)
    assert link.is_symlink() and tolq.Model.load(target).to_dict() == m.to_dict()
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["current.json", "models", "v1.json"]
    with pytest.raises(IsADirectoryError, match="models"):
        m.save(tmp_path / "models")
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["current.json", "models", "v1.json"]


# ---- fit_many -------------------------------------------------------------------------

def test_fit_many_equals_training_one_by_one():
    X, y = data(2000)
    serial = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
    threaded = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
    expected = [m.fit(X, y, epochs=3, seed=4, progress=False) for m in serial]
    assert tolq.fit_many(threaded, X, y, epochs=3, seed=4, workers=4) == expected
    for a, b in zip(serial, threaded):
        assert a.to_dict() == b.to_dict()
        assert bits(a.predict(X)) == bits(b.predict(X))


@pytest.mark.parametrize("route", ["threads", "dask"])
def test_fit_many_trains_every_model_or_none(route, request):
    client = request.getfixturevalue("dask_client") if route == "dask" else None
    X, y = data()
    X["x0"] = X["x0"].copy()
    X["x0"][0] = 1e38
    good = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
    # Its range already reaches -3e38: with 1e38 it would be wider than float32 allows,
    # which only its training finds.
    bad = model("sine(x0)")
    bad.fit({"x0": np.array([-3e38, 0.0])}, [0.0, 1.0], epochs=1, progress=False)
    models = good[:3] + [bad] + good[3:]
    before = [m.to_dict() for m in models]
    with pytest.raises(tolq.DataError, match="column 'x0' spans"):
        tolq.fit_many(models, X, y, epochs=2, workers=2, client=client)
    assert [m.to_dict() for m in models] == before


def test_fit_many_refuses_the_same_model_twice():
    X, y = data()
    m = model()
    with pytest.raises(ValueError, match="more than once"):
        tolq.fit_many([m, m], X, y)


# ---- prediction leaves the model as it was; categories kept apart and converted -------

def test_predict_leaves_saved_bytes_identical(tmp_path):
    m, X = trained()
    m.save(tmp_path / "before.json")
    ids = np.array([f"id{i}" for i in range(5000)], dtype=object)
    new = {"x0": np.zeros(5000), "x1": np.ones(5000), "store": ids}
    p = m.predict(new)
    assert m.predict_one({"x0": 0.0, "x1": 1.0, "store": "id7"}) == p[7]
    m.save(tmp_path / "after.json")
    assert (tmp_path / "after.json").read_bytes() == (tmp_path / "before.json").read_bytes()
    assert len(m.graph[2].state.categories) == 4  # three stores and the never-trained weight
    # A category never trained weighs what a fresh one does: 0.0.
    zero = m.predict({**new, "store": np.array(["x"] * 5000, dtype=object)})
    assert bits(p) == bits(zero)


@pytest.mark.parametrize("trained_with, given, same", [
    (np.array([3, 5, 7] * 20), np.array(["3", "5", "7"] * 20, dtype=object), True),
    (np.array(["3", "5", "7"] * 20, dtype=object), np.array([3, 5, 7] * 20), True),
    (np.array([3.5, 5.0, 7.0] * 20), np.array(["3.5", "5", "7"] * 20), True),
    (np.array([3, 5, 7] * 20), np.array(["3", "five", "7"] * 20, dtype=object), False),
])
def test_category_of_another_type_is_converted_or_refused(trained_with, given, same):
    m = model("linear(x0, store)")
    X = {"x0": np.linspace(-1, 1, 60), "store": trained_with}
    m.fit(X, np.linspace(0, 2, 60) + (trained_with == trained_with[0]), epochs=3, progress=False)
    if same:
        assert bits(m.predict({**X, "store": given})) == bits(m.predict(X))
    else:
        with pytest.raises(tolq.DataError, match="column 'store' was trained with number"):
            m.predict({**X, "store": given})


@pytest.mark.parametrize("value", [3, 3.5, 3.0, np.float64(3.0), np.int64(3)])
def test_number_never_met_on_a_text_column_is_a_category_never_met(value):
    m = model("linear(x0, store)")
    X = {"x0": np.linspace(-1, 1, 60), "store": np.array(["3.5x", "5", "7"] * 20, dtype=object)}
    m.fit(X, np.linspace(0, 2, 60), epochs=3, progress=False)
    row = {"x0": np.zeros(1), "store": np.array([value], dtype=object)}
    unseen = m.predict({**row, "store": np.array(["never"], dtype=object)})
    assert bits(m.predict(row)) == bits(unseen)
    assert m.predict_one({"x0": 0.0, "store": value}) == unseen[0]


@pytest.mark.parametrize("column, value, message", [
    ("x1", np.nan, "column 'x1': missing value \\(NaN\\) at row 3"),
    ("store", None, "column 'store': missing value \\(None\\) at row 3"),
])
def test_missing_values_are_refused_or_read_as_zero(column, value, message):
    m, X = trained()
    bad = {k: v.copy() for k, v in X.items()}
    bad[column][3] = value
    with pytest.raises(tolq.DataError, match=message):
        m.predict(bad)
    filled = m.predict(bad, missing="zero")
    low, high = m.graph[1].state.feature_min, m.graph[1].state.feature_max
    fixed = {k: v.copy() for k, v in X.items()}
    fixed[column][3] = (low + high) / 2 if column == "x1" else "never seen"
    assert bits(filled) == bits(m.predict(fixed))
    before = m.to_dict()
    with pytest.raises(tolq.DataError, match=message):
        m.fit(bad, data()[1], progress=False)
    assert m.to_dict() == before
    m.fit(bad, data()[1], epochs=1, progress=False, missing="zero")


def test_predict_one_equals_predict():
    m, X = trained()
    rows = [{k: v[i] for k, v in X.items()} for i in range(20)]
    assert bits([m.predict_one(r) for r in rows]) == bits(m.predict(X)[:20])


# ---- history, validation, early stopping ---------------------------------------------

def test_history_with_validation_and_early_stopping():
    X, y = data(2000)
    m = model()
    h = m.fit(X, y, epochs=4, progress=False, validation_fraction=0.25)
    assert len(h) == len(h.validation) == 4 and h.training == list(h) and h.best_epoch is None
    # Held-out rows are drawn with the seed, and the validation loss is that of predict().
    X_val, y_val = data(500, seed=9)
    a, b = model(), model()
    ha = a.fit(X, y, epochs=3, progress=False, validation=(X_val, y_val))
    hb = b.fit(X, y, epochs=3, progress=False)
    assert list(ha) == list(hb) and hb.validation is None
    assert ha.validation[-1] == pytest.approx(np.mean((a.predict(X_val) - y_val) ** 2))

    stop = model(rate_level=0)
    hs = stop.fit(X, y, epochs=60, progress=False, validation=(X_val, y_val),
                  early_stopping=True, patience=2)
    best = min(hs.validation)
    assert hs.validation[hs.best_epoch - 1] == best
    assert len(hs) == min(60, hs.best_epoch + 2)
    # The kept parameters are those of the best epoch.
    assert np.mean((stop.predict(X_val) - y_val) ** 2) == pytest.approx(best, rel=1e-9)


@pytest.mark.parametrize("kwargs, error", [
    (dict(early_stopping=True), ValueError),
    (dict(validation_fraction=1.0), ValueError),
    (dict(validation_fraction=0.5, validation=({}, [])), ValueError),
    (dict(patience=0), ValueError),
    (dict(epochs=1.0), TypeError),
    (dict(missing="drop"), ValueError),
])
def test_bad_fit_arguments(kwargs, error):
    X, y = data(50)
    with pytest.raises(error):
        model().fit(X, y, **kwargs)


def test_rate_level_lowers_every_learning_rate_and_is_saved():
    fast, slow = model(), model(rate_level=10)
    assert slow.rate_level == 10 and slow.to_dict()["slots"][3]["gluamine"] == 10
    assert tolq.Model.from_dict(slow.to_dict()).rate_level == 10
    X, y = data(500)
    fast.fit(X, y, epochs=1, progress=False)
    slow.fit(X, y, epochs=1, progress=False)
    start = model().to_dict()["slots"]
    moved = [[abs(a - b) for a, b in zip(m.to_dict()["slots"][i]["state"].values(),
                                         start[i]["state"].values())]
             for m in (fast, slow) for i in (3, 4)]  # the sine and the multiply's neighbour
    assert sum(map(sum, moved[2:])) < sum(map(sum, moved[:2]))


# ---- learning one row at a time -------------------------------------------------------

def test_learn_one_gives_the_bits_of_a_one_pass_fit():
    X, y = data(400)
    a, b = model(), model()
    for m in (a, b):  # the ranges cover every row: nothing is widened on the way
        m.fit(X, y, epochs=1, progress=False)
    more, y_more = data(300, seed=5)
    y_more = np.clip(y_more, y.min(), y.max())
    for k in ("x0", "x1"):
        more[k] = np.clip(more[k], X[k].min(), X[k].max())
    preds = [a.learn_one(r, t) for r, t in rows_of(more, y_more, range(300))]
    (loss,) = b.fit(more, y_more, epochs=1, shuffle=False, progress=False)
    assert a.to_dict() == b.to_dict()  # Adam's moments and the step count went on alike
    assert bits(a.predict(X)) == bits(b.predict(X))
    low, high = a.graph[-1].state.feature_min, a.graph[-1].state.feature_max
    from tolq._training import loss_sum as _loss_sum
    assert _loss_sum(a.loss, np.array(preds, np.float32), y_more, low, high) / 300 == loss
    # A row beyond the ranges widens them first, as fit on that one row would.
    c, d = tolq.Model.from_dict(a.to_dict()), tolq.Model.from_dict(a.to_dict())
    far = {"x0": 9.0, "x1": -4.0, "store": "west"}
    c.learn_one(far, 7.5)
    d.fit({k: np.array([v], dtype=object if k == "store" else float) for k, v in far.items()},
          [7.5], epochs=1, progress=False)
    assert c.to_dict() == d.to_dict() and c.graph[0].state.feature_max == 9.0


def test_learn_one_on_a_fresh_model_and_its_missing_values():
    m = model(missing="mean")
    X, y = data(200)
    for r, t in rows_of(X, y, range(200)):
        m.learn_one(r, t)
    assert m.to_dict()["means"]["x0"] == [pytest.approx(X["x0"].mean()), 200]
    before = m.predict_one({"x0": X["x0"].mean(), "x1": 0.5, "store": "north"})
    assert m.predict_one({"x0": None, "x1": 0.5, "store": "north"}) == before
    m.learn_one({"x0": np.nan, "x1": 0.5, "store": None}, 0.0)  # None: a category of its own
    assert None in m.category_weights("store") and m.to_dict()["means"]["x0"][1] == 200


BAD_ROWS = [
    ({"x1": 0.5, "store": "north"}, 1.0, "missing column 'x0'"),
    ({"x0": "abc", "x1": 0.5, "store": "north"}, 1.0,
     r"column 'x0': 'abc' is not a number \(a categorical"),
    ({"x0": np.nan, "x1": 0.5, "store": "north"}, 1.0, "'x0': missing value"),
    ({"x0": 1e39, "x1": 0.5, "store": "north"}, 1.0, "not a finite float32"),
    ({"x0": 3e38, "x1": 0.5, "store": "north"}, 1.0, "column 'x0' spans"),
    ({"x0": 0.5, "x1": 0.5, "store": ["north"]}, 1.0, "cannot be a category"),
    ({"x0": 0.5, "x1": 0.5, "store": None}, 1.0, "'store': missing value"),
    ({"x0": 0.5, "x1": 0.5, "store": "new"}, np.nan, "the target is missing"),
    ({"x0": 0.5, "x1": 0.5, "store": "new"}, -3e38, "the target spans"),
]


@pytest.mark.parametrize("row, target, message", BAD_ROWS)
def test_learn_one_refuses_a_bad_row_before_anything_changes(row, target, message):
    m, _ = trained()
    m.graph[0].state.feature_min = m.graph[len(m.graph) - 1].state.feature_max = 3e38
    m.graph[0].state.feature_min = -3e38
    before = m.to_dict()
    with pytest.raises(tolq.DataError, match=message):
        m.learn_one(row, target)
    assert m.to_dict() == before


@pytest.mark.parametrize("row, _, message", [BAD_ROWS[i] for i in (0, 1, 3, 5)])
def test_predict_one_refuses_a_bad_row_as_predict_does(row, _, message):
    m, X = trained()
    with pytest.raises(tolq.DataError, match=message):
        m.predict_one(row)
    columns = {}
    for k in row:
        columns[k] = np.empty(2, dtype=object)
        columns[k][:] = [row[k], row[k]]
    with pytest.raises(tolq.DataError):
        m.predict(columns)


def failing_query(plan, error):
    def train():
        if error is KeyboardInterrupt:  # met as the query's call returns
            plan.train()
        raise error()
    return dataclasses.replace(plan, train=train)


@pytest.mark.parametrize("error", [MemoryError, KeyboardInterrupt])
def test_learn_one_failing_in_its_query_learns_the_row_whole_or_not_at_all(error):
    (m, _), (reference, _) = trained(), trained()  # the same moments too
    before = m.to_dict()
    row = {"x0": 5.0, "x1": 0.5, "store": "new"}  # a wider range, a new category
    m.predict_one(row)
    m._one = failing_query(m._one, error)
    with pytest.raises(error):
        m.learn_one(row, 0.25)
    m._one = None
    if error is MemoryError:
        assert m.to_dict() == before
    else:
        reference.learn_one(row, 0.25)
        assert m.to_dict() == reference.to_dict()


class FirstInLine:
    """A model's lock that lets another call in first: ``before`` runs the first time the
    lock is taken, as if another thread had taken it just then."""

    def __init__(self, lock, before):
        self.lock, self.before = lock, before

    def __enter__(self):
        before, self.before = self.before, None
        if before is not None:
            before()
        return self.lock.__enter__()

    def __exit__(self, *exc):
        return self.lock.__exit__(*exc)


def test_predict_one_answers_its_own_row_when_a_rolled_back_fit_comes_between():
    m, X = trained()
    mine, other = ({"x0": 1.5, "x1": 2.0, "store": "north"},
                   {"x0": -1.0, "x1": 0.0, "store": "south"})
    expected = m.predict_one(mine)

    def meanwhile():
        m._lock = m._lock.lock
        with pytest.raises(tolq.DataError):  # refused after the plan was dropped
            m.fit({**X, "x0": np.r_[-3e38, 3e38, X["x0"][2:]]}, data()[1], progress=False)
        m.predict_one(other)

    m._lock = FirstInLine(m._lock, meanwhile)
    assert m.predict_one(mine) == expected


@pytest.mark.parametrize("first", ["fit", "learn_one"])
def test_a_first_fit_decided_by_another_call_meanwhile_reads_its_data_again(first):
    X, y = data(300)
    m, reference = (tolq.Model("linear(x0, store)", seed=1) for _ in range(2))

    def meanwhile():  # the categorical inputs decided after this fit read its data
        m._lock = m._lock.lock
        if first == "fit":
            m.fit(X, y, epochs=1, progress=False)
        else:
            m.learn_one(rows_of(X, y, [0])[0][0], y[0])

    m._lock = FirstInLine(m._lock, meanwhile)
    m.fit(X, y, epochs=1, progress=False)
    if first == "fit":
        reference.fit(X, y, epochs=1, progress=False)
    else:
        reference.learn_one(rows_of(X, y, [0])[0][0], y[0])
    reference.fit(X, y, epochs=1, progress=False)
    assert m.categorical == ("store",) and m.to_dict() == reference.to_dict()


class NextInLine(FirstInLine):
    """A model's lock that lets another call in next: ``after`` runs the first time the
    lock is released, as if another thread had been waiting for it."""

    def __init__(self, lock, after):
        super().__init__(lock, None)
        self.after = after

    def __exit__(self, *exc):
        released = self.lock.__exit__(*exc)
        after, self.after = self.after, None
        if after is not None:
            after()
        return released


def test_a_model_pickled_as_its_first_fit_decides_lets_its_first_data_decide():
    X, y = data(300)
    m = tolq.Model("linear(x0, store)", seed=1)

    def meanwhile():
        m._lock = m._lock.lock
        m.fit(X, y, epochs=1, progress=False)

    m._lock = NextInLine(m._lock, meanwhile)
    copy = pickle.loads(pickle.dumps(m))  # the undecided model, still to be decided
    assert m.categorical == ("store",) and copy.categorical == ()
    copy.fit(X, y, epochs=1, progress=False)
    assert copy.categorical == ("store",)


def test_weights_asked_for_while_a_first_fit_is_taken_back():
    m = tolq.Model("linear(x0, store)", seed=1)
    decided, go, answers = threading.Event(), threading.Event(), []
    coded = m._coded

    def paused(*args, **kwargs):  # in the first fit, store already made categorical
        decided.set()
        go.wait(5)
        return coded(*args, **kwargs)

    def weights():
        try:
            answers.append(m.category_weights("store"))
        except ValueError as exc:
            answers.append(exc)

    m._coded = paused
    asker = threading.Thread(target=weights)
    fitter = threading.Thread(target=lambda: pytest.raises(tolq.DataError, m.fit, {
        "x0": np.arange(2.0), "store": np.array(["a", Decimal(1)], dtype=object)}, [0.0, 1.0]))
    fitter.start()
    decided.wait(5)
    asker.start()
    time.sleep(0.2)  # the question waits for the lock, the fit holds it
    go.set()
    fitter.join()
    asker.join()
    assert m.categorical == () and "not a categorical input" in str(answers[0])


def test_threads_learning_and_predicting_one_model():
    m, X = trained()
    rows = rows_of(X, data()[1], range(600))
    stores = [f"s{i}" for i in range(400)]

    def learn(part):
        for (r, t), s in zip(rows[part::2], stores[part::2]):
            m.learn_one({**r, "store": s}, t)

    def serve():
        for r, _ in rows[:200]:
            m.predict_one(r)

    at_once(lambda: learn(0), lambda: learn(1), serve)
    codes = m._coders[2].codes
    assert len(set(codes.values())) == len(codes) == 403  # every store its own weight
    assert set(stores) <= set(m.category_weights("store"))


# ---- tables as users have them --------------------------------------------------------

def frames():
    X, y = data(300)
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow", exc_type=ImportError)
    text = X["store"].astype(str)
    return y, {
        "numpy str": {**X, "store": text},
        "pandas object": pd.DataFrame(X),
        "pandas category": pd.DataFrame({**X, "store": pd.Categorical(text)}),
        "pandas string": pd.DataFrame({**X, "store": pd.array(text, dtype="string")}),
        "polars String": pl.DataFrame({**X, "store": text}),
        "polars Categorical": pl.DataFrame({**X, "store": text}).with_columns(
            pl.col("store").cast(pl.Categorical)),
        "pyarrow dictionary": pa.table({**X, "store": pa.array(text).dictionary_encode()}),
    }


def test_categorical_inputs_are_inferred_from_column_types():
    y, kinds = frames()
    reference = model()
    reference.fit(kinds["numpy str"], y, epochs=2, progress=False)
    for kind, X in kinds.items():
        m = tolq.Model(EXPR, seed=1)
        assert m.categorical == ()
        m.fit(X, y, epochs=2, progress=False)
        assert m.categorical == ("store",), kind
        # The same weights (text is coded in sorted order, objects as first met).
        assert m.category_weights("store") == reference.category_weights("store"), kind
        assert bits(m.predict(kinds["numpy str"])) == bits(reference.predict(X)), kind
    # A list given wins: nothing is inferred, and text in a numeric column is refused
    # with the hint.
    with pytest.raises(tolq.DataError, match=r"pass categorical=\['store'\]"):
        tolq.Model(EXPR, categorical=[], seed=1).fit(kinds["pandas category"], y)
    # A refused first fit leaves the inputs undecided.
    m = tolq.Model(EXPR, seed=1)
    with pytest.raises(tolq.DataError):
        m.fit(kinds["pandas object"], y[:-1], progress=False)
    assert m.categorical == () and m.to_dict() == tolq.Model(EXPR, seed=1).to_dict()
    m.learn_one({"x0": 0.5, "x1": 1.0, "store": "north"}, 0.5)  # a str decides it too
    assert m.categorical == ("store",)


def test_missing_policies_are_kept_and_a_missing_target_is_always_refused(tmp_path):
    X, y = data(300)
    holes = {k: v.copy() for k, v in X.items()}
    holes["x0"][:5] = np.nan
    holes["store"][5:8] = None
    for missing in ("zero", "mean"):
        m = model(missing=missing)
        m.fit(holes, y, epochs=2, progress=False)
        m.save(tmp_path / "m.json")
        again = tolq.Model.load(tmp_path / "m.json")
        assert again.missing == missing and bits(again.predict(holes)) == bits(m.predict(holes))
        slower = m._at_rate_level(3)  # a copy at another rate level fills holes as m does
        assert slower.missing == missing and bits(slower.predict(holes)) == bits(m.predict(holes))
        assert (None in m.category_weights("store")) == (missing == "mean")
        bad_y = y.copy()
        bad_y[3] = np.nan
        with pytest.raises(tolq.DataError, match="row 3; a target must be known") as err:
            m.fit(holes, bad_y, progress=False)
        assert "missing=" not in str(err.value)
    mean = model(missing="mean")
    mean.fit(holes, y, epochs=1, progress=False)
    filled = {**holes, "x0": np.where(np.isnan(holes["x0"]), np.nanmean(holes["x0"]),
                                      holes["x0"])}
    assert bits(mean.predict(holes)[:5]) == bits(mean.predict(filled)[:5])
    with pytest.raises(ValueError, match="built with missing='mean'"):
        model().predict(holes, missing="mean")
    doc = model(missing="mean").to_dict()
    doc["means"] = {"store": [0.0, 1]}
    with pytest.raises(tolq.FormatError, match="means"):
        tolq.Model.from_dict(doc)


VARIANTS = [(f, k) for f, (low, high) in tolq.FUNCTIONS.items() for k in range(low, high + 1)]


def random_expression(rng, root):
    leaves = ["x0", "x1", "store", "p", "log(p)", "inv(p)", "sqrt(p)", "c"]

    def term(depth):
        if depth == 0 or rng.random() < 0.4:
            return leaves[rng.integers(len(leaves))]
        f, k = VARIANTS[rng.integers(len(VARIANTS))]
        return f"{f}({', '.join(term(depth - 1) for _ in range(k))})"

    return f"{root[0]}({', '.join(term(2) for _ in range(root[1]))})"


def sympy_values(m, X):
    sympy = pytest.importorskip("sympy")
    expression = m.to_sympy()
    symbols = sorted(expression.free_symbols, key=str)
    columns = []
    for s in symbols:
        if s.name.startswith("["):  # [store == 'north']: 1 on that category's rows
            column, category = s.name[1:-1].split(" == ")
            columns.append((X[column] == ast.literal_eval(category)).astype(np.float64))
        else:
            columns.append(X[s.name])
    return np.broadcast_to(sympy.lambdify(symbols, expression, "numpy")(*columns), len(X["x0"]))


@pytest.mark.parametrize("seed", range(36))
def test_formula_and_sympy_give_the_predictions(seed):
    rng = np.random.default_rng(seed)
    expression = random_expression(rng, VARIANTS[seed % len(VARIANTS)])
    target_transform = [None, "log", "inv"][seed % 3]
    X, y = data(400, seed)
    X["p"], X["c"] = np.exp(X["x0"]), np.full(len(y), 2.0)  # positive; one value
    y = y + 2 if target_transform else y  # positive
    m = model(expression, seed=seed, target_transform=target_transform)
    m.fit(X, y, epochs=2, progress=False)
    for node in (m.graph[i] for i in range(len(m.graph))):  # larger parameters: clamps cut
        if node.type not in REGISTERS:
            node.state._from_dict({k: v * rng.uniform(1, 3) for k, v in
                                   node.state._to_dict().items()})
    # Rows beyond every learned range, and a category never trained, as well.
    far = {"x0": X["x0"] * 1.5, "x1": X["x1"] * 1.5, "p": X["p"] * 2, "c": X["x0"],
           "store": np.where(X["store"] == "east", "west", X["store"])}
    both = {k: np.concatenate([X[k], far[k]]) for k in X}
    pred = m.predict(both).astype(np.float64)
    exact = m._activations(m._coded(m._inputs_of(both), learn=False)[0])[-1]  # in float64
    exact = tolq._transforms.inverse(target_transform, exact) if target_transform else exact
    span = y.max() - y.min()
    for values in (tolq.evaluate_formula(m.formula(), both), sympy_values(m, both)):
        assert np.abs(values - pred).max() <= 1e-4 * span, (expression, m.formula())
        assert np.abs(values - exact).max() <= 1e-9 * span


LINEAR = {"w1": 0.0, "bias": 0.0}


@pytest.mark.parametrize("expression, parameters, expected", [
    # a in [0, 10] and y in [0, 100]: the node reads 0.2 a - 1 and y = 50 (1 + node).
    ("linear(a)", [{"w0": 0.5, **LINEAR}], "5*clip(a, 0, 10) + 25"),  # no clamp can cut
    ("linear(a)", [{"w0": 1.5, **LINEAR}], "clip(15*clip(a, 0, 10) - 25, 0, 100)"),
    # sin(0.4 a - 2) reaches 1 inside the range, though not at its ends.
    ("linear(sine(a))", [{"x0": 0.0, "k": 2.0}, {"w0": 0.95, **LINEAR}],
     "47.5*sin(0.4*clip(a, 0, 10) - 2) + 50"),
    ("linear(sine(a))", [{"x0": 0.0, "k": 2.0}, {"w0": 1.05, **LINEAR}],
     "clip(52.5*sin(0.4*clip(a, 0, 10) - 2) + 50, 0, 100)"),
])
def test_formula_folds_the_scaling_and_writes_a_clamp_where_it_can_cut(expression, parameters,
                                                                       expected):
    m = model(expression)
    m.fit({"a": np.array([0.0, 10.0])}, np.array([0.0, 100.0]), epochs=1, progress=False)
    for slot, values in enumerate(parameters, start=1):
        m.graph[slot].state._from_dict(values)
    assert m.formula(digits=6) == expected
    assert str(m).splitlines()[0] == f"y = {m.formula(digits=4)}"
    with pytest.raises(ValueError, match="not a tolq formula"):
        tolq.evaluate_formula("__import__('os').getcwd()", {"a": np.zeros(1)})


def test_to_sympy_without_sympy_names_the_extra(monkeypatch):
    m, _ = trained()
    monkeypatch.setitem(sys.modules, "sympy", None)
    with pytest.raises(ImportError, match=r"tolq\[sympy\]"):
        m.to_sympy()
