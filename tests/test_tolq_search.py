"""tolq.search: finding a known formula, the front, determinism on threads and on Dask."""
import math

import numpy as np
import pytest

import tolq
from tolq import _search
from test_tolq_model import EXPRESSIONS, bits, data, model


def sine_data(n=600, seed=0):
    rng = np.random.default_rng(seed)
    X = {f"x{i}": rng.uniform(-2, 2, n) for i in range(3)}
    return X, np.sin(X["x0"] * X["x1"])


def front_of(result):
    return [(m.expression, loss, bits(m.predict(sine_data()[0]))) for m, loss in
            zip(result.front, result.losses)]


@pytest.fixture(scope="module")
def threaded():
    X, y = sine_data()
    return tolq.search(X, y, generations=3, random_state=5, workers=2)


def test_a_short_search_finds_the_formula(threaded):
    assert threaded.best.expression == "sine(multiply(x0, x1))"
    assert threaded.r2[threaded.front.index(threaded.best)] > 0.99
    # The front: larger models only where they lower the validation loss.
    assert all(a < b for a, b in zip(threaded.sizes, threaded.sizes[1:]))
    assert all(a > b for a, b in zip(threaded.losses, threaded.losses[1:]))
    assert [m.graph.edge_count for m in threaded.front] == threaded.sizes
    assert all(len(m.graph) - 1 <= 12 for m in threaded.front)
    assert threaded.choose(0.0).expression == threaded.front[-1].expression
    assert threaded.choose(math.inf) is threaded.front[0]
    assert "* " in threaded.table() and threaded.best.expression in str(threaded)


def test_same_front_for_any_number_of_threads(threaded):
    X, y = sine_data()
    alone = tolq.search(X, y, generations=3, random_state=5, workers=1)
    assert front_of(alone) == front_of(threaded)
    assert alone.scored == threaded.scored


def test_same_front_and_fit_many_on_a_dask_cluster(threaded):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        X, y = sine_data()
        remote = tolq.search(X, y, generations=3, random_state=5, client=client)
        assert front_of(remote) == front_of(threaded)

        X, y = data(800)
        here = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
        there = [model(e, seed=i) for i, e in enumerate(EXPRESSIONS)]
        expected = tolq.fit_many(here, X, y, epochs=2, seed=3)
        histories = tolq.fit_many(there, X, y, epochs=2, seed=3, client=client)
        assert histories == expected and all(isinstance(h, tolq.History) for h in histories)
        assert [bits(m.predict(X)) for m in there] == [bits(m.predict(X)) for m in here]
        # Ranges and the category codes come back too, not only the parameters.
        assert [m.to_dict() for m in there] == [m.to_dict() for m in here]


def test_time_budget_categories_and_saving(tmp_path):
    X, y = data(400)
    result = tolq.search(X, y, categorical="store", time_budget=1e-9, workers=1)
    assert result.generations == 0 and result.scored > 0
    assert any("store" in m.categorical for m in result.front)
    result.save(tmp_path / "out")
    best = tolq.Model.load(tmp_path / "out" / "best.json")
    assert bits(best.predict(X)) == bits(result.best.predict(X))
    assert len(list((tmp_path / "out").glob("front-*.json"))) == len(result.front)


@pytest.mark.parametrize("dtype", [object, str])
def test_prepared_columns_train_as_fit_does(dtype):
    X, y = data(300)
    X["store"] = X["store"].astype(dtype)
    rows = np.flatnonzero(X["store"] != "east")[::-1]  # a category none of the rows holds
    _, columns, _ = _search._columns(X, y, ("store",))
    prepared, here = model("linear(tanh(x0, x1), store)"), model("linear(tanh(x0, x1), store)")
    _search._fit(prepared, {k: _search._rows(v, rows) for k, v in columns.items()}, y[rows], 3, 7)
    here.fit({k: v[rows] for k, v in X.items()}, y[rows], epochs=3, seed=7, progress=False)
    assert bits(prepared.predict(X)) == bits(here.predict(X))
    assert prepared.category_weights("store") == here.category_weights("store")
    assert set(here.category_weights("store")) == {"north", "south"}


@pytest.mark.parametrize("tree, expected", [
    (("linear", (("linear", ("x1",)), "x0")), "linear(x0, x1)"),
    (("linear", (("linear", ("x1", "x2")), "x0")), "linear(linear(x1, x2), x0)"),
    (("multiply", (("sine", ("x0",)), "x1")), "multiply(sine(x0), x1)"),
    (("tanh", ("x1", ("linear", (("linear", ("x0",)),)))), "tanh(linear(x0), x1)"),
])
def test_equivalent_trees_share_one_spelling(tree, expected):
    assert _search.render(_search._canonical(tree)) == expected


@pytest.mark.parametrize("change, error, message", [
    (dict(functions=("sin",)), ValueError, "unknown function 'sin'"),
    (dict(max_nodes=1), ValueError, "max_nodes"),
    (dict(validation_fraction=1.0), ValueError, "validation_fraction"),
    (dict(time_budget=0), ValueError, "time_budget"),
    (dict(categorical=("x7",)), tolq.DataError, "'x7' is not an input column"),
    (dict(y=np.zeros(5)), tolq.DataError, "y has 5 values"),
])
def test_bad_arguments_are_refused(change, error, message):
    X, y = sine_data(40)
    args = dict(dict(y=y), **change)
    with pytest.raises(error, match=message):
        tolq.search(X, args.pop("y"), generations=1, **args)


def test_search_expression_trains_the_best_shape_on_all_rows():
    X, y = sine_data()
    m = _search._search_expression(X, y, generations=1, random_state=5, workers=1)
    assert m.expression == "sine(multiply(x0, x1))"
    assert np.mean((m.predict(X) - y) ** 2) < 0.01 * np.var(y)


@pytest.mark.parametrize("records, expected", [
    ([(3, 0.5, 0), (1, 0.9, 1), (2, 0.9, 2), (4, 0.5, 3)], [(1, 0.9, 1), (3, 0.5, 0)]),
    ([(1, math.inf, 0), (2, math.nan, 1), (3, 0.2, 2)], [(3, 0.2, 2)]),
    ([(2, 0.1, 5), (2, 0.1, 4)], [(2, 0.1, 4)]),
])
def test_pareto_front(records, expected):
    assert _search._pareto(records) == expected


@pytest.mark.parametrize("tolerance, index", [(0.01, 2), (0.001, 3), (0.5, 1), (10, 0)])
def test_best_is_the_smallest_within_the_tolerance(tolerance, index):
    result = _search.SearchResult(["a", "b", "c", "d"], [2.0, 0.5, 0.105, 0.1], [1, 2, 3, 4],
                                  1.0, 1, 4, 0.0)
    assert result.choose(tolerance) == "abcd"[index]


def test_bred_trees_are_valid_expressions_within_the_size_limit():
    breeder = _search._Breeder(np.random.default_rng(0), ["a", "b", "c"],
                               tuple(tolq.FUNCTIONS), max_nodes=6)
    trees = [breeder.grow(3) for _ in range(50)]
    for _ in range(400):
        a, b = trees[-1], trees[-7]
        tree = breeder.cross(a, b) if len(trees) % 3 else breeder.mutate(a)
        text = _search.render(_search._canonical(tree))
        tolq.Model(text)  # refuses a call with the wrong number of arguments
        if breeder.fits(tree):
            trees.append(tree)
    assert max(len(tolq.Model(_search.render(t)).graph) - 1 for t in trees[50:]) <= 6


def test_each_shape_is_trained_once_and_progress_is_reported(monkeypatch):
    trained, reports = [], []
    real = _search._train_one

    def counting(job, data):
        trained.append((hash(job.model.graph), job.model.inputs))
        return real(job, data)
    monkeypatch.setattr(_search, "_train_one", counting)
    X, y = sine_data(200)
    X["y"] = y
    result = tolq.search(X, "y", generations=2, workers=1,
                         progress=lambda g, r: reports.append((g, r.scored)))
    assert len(trained) == len(set(trained)) == result.scored
    assert [g for g, _ in reports] == [0, 1, 2] and reports[-1][1] == result.scored
    assert all(m.target == "y" and "y" not in m.inputs for m in result.front)


def test_only_the_functions_named_are_used():
    X, y = sine_data(300)
    result = tolq.search(X, y, functions=("sine", "multiply"), generations=2, workers=1)
    assert result.best.expression == "sine(multiply(x0, x1))"
    kinds = {result.front[i].graph[j].type for i in range(len(result.front))
             for j in range(len(result.front[i].graph))}
    assert kinds <= {"sine", "multiply", "fixed"}
