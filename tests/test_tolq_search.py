"""tolq.search: finding a known formula, the precise fit, the choice, threads and Dask."""
import math
import os
import time

import numpy as np
import pytest

import tolq
from tolq import _search
from tolq._search import Shape
from builders import EXPRESSIONS, bits, data, model, python_child


def sine_data(n=600, seed=0):
    rng = np.random.default_rng(seed)
    X = {f"x{i}": rng.uniform(-2, 2, n) for i in range(3)}
    return X, np.sin(X["x0"] * X["x1"])


def product_data(n=800, seed=0):
    rng = np.random.default_rng(seed)
    X = {"m": rng.uniform(1, 5, n), "v": rng.uniform(1, 5, n), "t": rng.uniform(200, 300, n)}
    return X, X["m"] * X["v"] ** 2


def summary(result):
    """What must not depend on the workers: every front model's bits and the choice."""
    X = sine_data()[0]
    return ([(m.expression, loss, bits(m.predict(X))) for m, loss in
             zip(result.front, result.losses)], result.cv_losses, result.chosen,
            bits(result.best.predict(X)))


@pytest.fixture(scope="module")
def threaded():
    X, y = sine_data()
    return tolq.search(X, y, generations=3, random_state=5, workers=2)


def test_a_short_search_finds_the_formula(threaded):
    assert threaded.best.expression == "sine(multiply(x0, x1))"
    X, y = sine_data()
    assert np.mean((threaded.best.predict(X) - y) ** 2) < 1e-3 * np.var(y)
    # The front: larger models only where they lower the cross-validated loss.
    assert all(a < b for a, b in zip(threaded.sizes, threaded.sizes[1:]))
    assert all(a > b for a, b in zip(threaded.cv_losses, threaded.cv_losses[1:]))
    assert [m.graph.edge_count for m in threaded.front] == threaded.sizes
    assert all(len(m.graph) - 1 <= 12 for m in threaded.front)
    assert threaded.front[threaded.chosen].expression == threaded.best.expression
    assert threaded.choose(math.inf) is threaded.front[0] and threaded.generations == 3
    assert "* " in threaded.table() and threaded.best.expression in str(threaded)


def test_same_result_for_any_number_of_threads(threaded):
    X, y = sine_data()
    alone = tolq.search(X, y, generations=3, random_state=5, workers=1)
    assert summary(alone) == summary(threaded)
    assert alone.scored == threaded.scored


def test_same_result_and_fit_many_on_a_dask_cluster(threaded):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        X, y = sine_data()
        for _ in range(2):  # a second run on the same data finds its data scattered anew
            remote = tolq.search(X, y, generations=3, random_state=5, client=client)
            assert summary(remote) == summary(threaded)

        X, y = data(800)
        here = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
        there = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
        expected = tolq.fit_many(here, X, y, epochs=2, seed=3)
        histories = tolq.fit_many(there, X, y, epochs=2, seed=3, client=client)
        assert histories == expected and all(isinstance(h, tolq.History) for h in histories)
        assert [bits(m.predict(X)) for m in there] == [bits(m.predict(X)) for m in here]
        # Ranges and the category codes come back too, not only the parameters.
        assert [m.to_dict() for m in there] == [m.to_dict() for m in here]


def test_dask_calls_on_the_same_data_one_after_the_other(dask_client):
    # Each call scatters the data and lets them go at its end: the next call on the same
    # data must get data of its own, not the ones being let go.
    X, y = data(300)
    runs = [tolq.fit_many([model(e, seed=i) for i, e in enumerate(EXPRESSIONS[:2])], X, y,
                          epochs=1, client=dask_client) for _ in range(3)]
    assert runs[0] == runs[1] == runs[2]
    numeric = {"x0": X["x0"], "x1": X["x1"]}
    fronts = [[bits(m.predict(numeric)) for m in
               tolq.search(numeric, y, generations=1, client=dask_client).front]
              for _ in range(3)]
    assert fronts[0] == fronts[1] == fronts[2]


OPTIONS = dict(categorical=None, functions=tuple(tolq.FUNCTIONS), transforms=True, max_nodes=12,
               time_budget=None, generations=1, epochs=None, validation_fraction=0.25,
               random_state=0, workers=1, client=None, progress=None, missing="error")


def prepared(X, y):
    return _search._prepare(X, y, _search._Options(**OPTIONS))


@pytest.mark.parametrize("shape, formula", [
    # A product is a sum of logarithms: exact with a log target.
    (Shape(("linear", ("log(m)", "log(v)")), "log"), lambda X: X["m"] * X["v"] ** 2),
    # An affine function of a product: the output's scale and offset come from least
    # squares, on top of what online training finds.
    (Shape(("multiply", (("linear", ("m",)), ("linear", ("inv(t)",))))),
     lambda X: 3.0 - X["m"] / X["t"]),
    # A reciprocal of a sum of reciprocals.
    (Shape(("linear", ("inv(m)", "inv(v)")), "inv"), lambda X: X["m"] * X["v"] / (X["m"] + X["v"])),
])
def test_precise_fit_recovers_an_exact_form(shape, formula):
    X = product_data()[0]
    data = prepared(X, formula(X))
    model = _search._precise(shape, data, "train", seed=1, starts=1)
    loss = _search._score(model, data, "valid")
    assert 1.0 - loss / _search._variance(data, "valid") > 0.9999


def test_dead_nodes_are_revived():
    X, y = product_data()
    data = prepared(X, y)
    model = _search._build(Shape(("linear", ("m", ("linear", ("v",))))), data, seed=1)
    _search._train(model, data, "train", 2000)
    model.graph[2].state.bias = -5.0  # linear(m): below -1 on every row, so it passes nothing
    rng = np.random.default_rng(0)
    assert _search._revive(model, data, "train", rng)
    assert not _search._revive(model, data, "train", rng)


def test_inputs_and_targets_offered_where_the_data_allow():
    rng = np.random.default_rng(0)
    X = {"pos": rng.uniform(1, 2, 50), "zero": np.r_[0.0, rng.uniform(1, 2, 49)],
         "both": rng.uniform(-1, 1, 50), "store": np.array(["a", "b"] * 25, dtype=object)}
    assert list(prepared(X, np.ones(50)).leaves) == [
        "pos", "log(pos)", "inv(pos)", "sqrt(pos)", "zero", "sqrt(zero)", "both", "store"]
    for y, transforms, offered in [(rng.uniform(1, 2, 50), True, ["", "log", "inv"]),
                                   (rng.uniform(-1, 1, 50), True, [""]),
                                   (rng.uniform(1, 2, 50), False, [""])]:
        options = _search._Options(**dict(OPTIONS, transforms=transforms))
        assert _search._targets(_search._prepare(X, y, options), options) == offered


@pytest.mark.parametrize("a, b, same", [
    (("linear", (("linear", ("x1",)), "x0")), ("linear", ("x0", "x1")), True),
    (("multiply", ("x1", ("sine", ("x0",)))), ("multiply", (("sine", ("x0",)), "x1")), True),
    (("tanh", (("linear", ("x0",)),)), ("linear", (("tanh", ("x0",)),)), False),
    (("sine", ("x0",)), ("sine", ("x1",)), False),
    (("sine", ("log(x0)",)), ("sine", ("x0",)), False),
])
def test_shapes_are_told_apart_by_their_canonical_text(a, b, same):
    assert (Shape(a).canonical().key == Shape(b).canonical().key) == same
    assert Shape(a, "log").canonical().key != Shape(a).canonical().key


@pytest.mark.parametrize("losses, chosen", [
    ([4.0, 2.0, 1.0], 2),
    ([4.0, 1.05, 1.0], 2),  # 5 % is a difference
    ([4.0, 1.0005, 1.0], 1),  # 0.05 % is not: the smaller
    ([2e-4, 1e-5, 5e-6], 1),  # an R² 5e-6 higher is not worth a larger shape
])
def test_the_lowest_loss_and_the_smallest_of_its_equals(losses, chosen):
    assert _search._choice_rule(losses, 1.0) == chosen


@pytest.mark.parametrize("tolerance, index", [(0.0, 3), (0.01, 2), (0.5, 1), (10, 0)])
def test_choose_by_cross_validated_loss(tolerance, index):
    result = _search.SearchResult(list("abcd"), [9.0, 9.0, 9.0, 9.0], [1, 2, 3, 4], 1.0, 1, 4,
                                  0.0, [2.0, 0.5, 0.105, 0.1], [0.0] * 4, 1.0)
    assert result.choose(tolerance) == "abcd"[index]
    for bad in (-1, math.nan, "0.1"):
        with pytest.raises(ValueError, match="tolerance"):
            result.choose(bad)


@pytest.mark.parametrize("change, error, message", [
    (dict(functions=("sin",)), ValueError, "unknown function 'sin'"),
    (dict(max_nodes=1), ValueError, "max_nodes must be from 2"),
    (dict(workers=0), ValueError, "workers must be from 1"),
    (dict(generations=0), ValueError, "generations must be from 1"),
    (dict(generations=2.0), TypeError, "generations must be an int"),
    (dict(random_state=-1), ValueError, "random_state"),
    (dict(validation_fraction=1.0), ValueError, "validation_fraction"),
    (dict(time_budget=0), ValueError, "time_budget"),
    (dict(categorical=("x7",)), tolq.DataError, "'x7' is not an input column"),
    (dict(y=np.zeros(5)), tolq.DataError, "y has 5 values"),
])
def test_bad_arguments_are_refused(change, error, message):
    X, y = sine_data(40)
    args = dict(dict(y=y, generations=1), **change)
    with pytest.raises(error, match=message):
        tolq.search(X, args.pop("y"), **args)


def test_awkward_tables_and_names():
    pd = pytest.importorskip("pandas")
    X, y = sine_data(200)
    frame = pd.DataFrame({0: X["x0"], 1: X["x1"]})  # labels that are not str
    result = tolq.search(frame, y, generations=1, random_state=np.int64(3), workers=1)
    assert set(result.best.inputs) <= {"0", "1"}
    matrix = np.column_stack([X["x0"], X["x1"]])  # a 2-d array: columns x0, x1
    assert set(tolq.search(matrix, y, generations=1, workers=1).best.inputs) <= {"x0", "x1"}
    # A target name no column has, whatever the columns are called.
    named = {"y": X["x0"], "target": X["x1"], "y_": X["x2"]}
    assert tolq.search(named, y, generations=1, workers=1).best.target == "y__"


def test_stops_on_patience_and_time(monkeypatch):
    X, y = sine_data(300)
    monkeypatch.setattr(_search, "PATIENCE", 1)
    patient = tolq.search(X, y, workers=1)
    assert 2 <= patient.generations < _search.MAX_GENERATIONS
    quick = tolq.search(X, y, time_budget=1e-9, workers=1)
    assert quick.generations == 1 and quick.scored == _search.POPULATION
    assert quick.refit is None and quick.best is quick.front[quick.chosen]


def test_each_shape_is_trained_once_and_progress_is_reported(monkeypatch, capsys):
    trained, reports = [], []
    real = _search.run_job

    def counting(job, data):
        if not job.starts:
            trained.append(job.shape.key)
        return real(job, data)
    monkeypatch.setattr(_search, "run_job", counting)
    X, y = sine_data(200)
    X["y"] = y
    result = tolq.search(X, "y", generations=2, workers=1,
                         progress=lambda g, r: reports.append((g, r.scored)))
    assert len(trained) == len(set(trained)) == result.scored
    assert [g for g, _ in reports] == [1, 2] and reports[-1][1] == result.scored
    assert all(m.target == "y" and "y" not in m.inputs for m in result.front)
    tolq.search(X, "y", generations=3, workers=1, progress=True)
    assert capsys.readouterr().err.count("generation ") == 3


@pytest.mark.parametrize("error", [KeyboardInterrupt, RuntimeError])
def test_an_interrupt_cancels_what_is_queued(monkeypatch, error):
    calls = []
    real = _search.run_job

    def interrupted(job, data):
        calls.append(job)
        fifth = len(calls) == 5
        time.sleep(0.02)  # a candidate on many rows: the interrupt comes while most wait
        if fifth:
            raise error
        return real(job, data)
    monkeypatch.setattr(_search, "run_job", interrupted)
    X, y = sine_data(200)
    with pytest.raises(error):
        tolq.search(X, y, generations=2, workers=2)
    done = len(calls)
    time.sleep(0.3)
    # Of about 150 jobs, only those a worker took before the interrupt reached the
    # caller ran (a busy machine lets a few more start); none starts afterwards but
    # one each worker had already taken.
    assert len(calls) <= done + 2 and done <= 20


def test_missing_values_follow_the_policy_given():
    X, y = data(300)
    X["x0"][5], X["store"][7] = np.nan, None
    with pytest.raises(tolq.DataError, match="x0"):
        tolq.search(X, y, categorical="store", generations=1, workers=1)
    result = tolq.search(X, y, categorical="store", generations=1, workers=1, missing="mean")
    assert {m.missing for m in result.front + [result.best]} == {"mean"}
    assert np.isfinite(result.best.predict(X)).all()


def test_only_the_functions_named_are_used():
    X, y = sine_data(300)
    result = tolq.search(X, y, functions=("sine", "multiply"), transforms=False,
                         generations=2, workers=1)
    assert result.best.expression == "sine(multiply(x0, x1))"
    kinds = {m.graph[j].type for m in result.front + [result.best] for j in range(len(m.graph))}
    assert kinds <= {"sine", "multiply", "fixed"}


def test_categories_saving_and_loading(tmp_path):
    X, y = data(400)
    result = tolq.search(X, y, categorical="store", generations=2, workers=1)
    assert any("store" in m.categorical for m in result.front)
    folder = tmp_path / "out"
    folder.mkdir()
    (folder / "front-99.json").write_text("an earlier search's")
    result.save(folder)
    assert not (folder / "front-99.json").exists()
    again = tolq.SearchResult.load(folder)
    assert bits(again.best.predict(X)) == bits(result.best.predict(X))
    assert [bits(m.predict(X)) for m in again.front] == [bits(m.predict(X)) for m in result.front]
    assert again.table() == result.table()
    (folder / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="not part of a search result"):
        result.save(folder)


def test_a_save_that_cannot_be_written_whole_changes_nothing(tmp_path):
    X, y = sine_data(200)
    tolq.search(X, y, generations=1, workers=1).save(tmp_path / "out")
    before = sorted((p.name, p.read_bytes()) for p in (tmp_path / "out").iterdir())
    script = ("import resource, numpy as np, tolq, sys\n"
              "rng = np.random.default_rng(1)\n"
              "X = {f'x{i}': rng.uniform(-2, 2, 200) for i in range(3)}\n"
              "r = tolq.search(X, np.sin(X['x0'] * X['x1']), generations=1, workers=1)\n"
              "resource.setrlimit(resource.RLIMIT_FSIZE, (600, 600))\n"
              "try:\n    r.save(sys.argv[1])\nexcept OSError as e:\n    print(e.errno)\n")
    done = python_child("-c", script, str(tmp_path / "out"))
    assert done.stdout.strip() == "27", done.stderr  # EFBIG
    assert sorted((p.name, p.read_bytes()) for p in (tmp_path / "out").iterdir()) == before
    assert sorted(os.listdir(tmp_path)) == ["out"]
