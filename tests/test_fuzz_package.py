"""Models with categories used from two threads at once, with failures injected, against a
serial reference. Whatever two calls do together, the model and its saved files end as
one call after the other would leave them, each call answers as it would there, every
failure is a documented exception, and a failure leaves the model and its file as they
were: no category lost, none sharing another's code. A model starts with its categorical
inputs declared, or to be decided by its first data (a fit's or a learn_one's)."""
import collections
import errno
import os
import pickle
import sys
import threading
import time
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

import tolq
from tolq import _model
from _fuzz import PACKAGE_OPS, report, run_machine
from builders import at_once

EXPR = "linear(tanh(x0), linear(store, region))"
STORES = [f"s{i}" for i in range(10)]
REGIONS = [0, 1, 2, 257, -1, -2]  # -1 and -2 share a hash; 0 and 257 a bucket
PATHS = ["a.json", "b.json"]

# The fault planned for the operation the calling thread runs, and what it has done.
PLAN = threading.local()


class Injected(Exception):
    """Stands for any error from inside a call (the module's, a hook's)."""


class FaultyGraph:
    """The model's graph: the planned query of the calling thread's operation raises
    before the query runs, or after it has trained."""

    def __init__(self, graph):
        self.graph = graph

    def __getattr__(self, name):
        return getattr(self.graph, name)

    def __getitem__(self, slot):
        return self.graph[slot]

    def __setitem__(self, slot, node):  # a slot the first data make categorical
        self.graph[slot] = node

    def __len__(self):
        return len(self.graph)

    def _query(self, *args):
        fault = getattr(PLAN, "fault", None)
        if fault is None or fault[0] != "query":
            return self.graph._query(*args)
        _, at, when, error = fault
        PLAN.queries += 1
        if PLAN.queries - 1 != at:
            return self.graph._query(*args)
        PLAN.fired += 1
        if when == "after":
            self.graph._query(*args)
        raise error("injected")


class FaultyOs:
    """``os`` as the model module sees it: the planned rename of a saved file fails, as
    a full disk or an interrupt would make it."""

    def __getattr__(self, name):
        return getattr(os, name)

    @staticmethod
    def replace(source, destination):
        fault = getattr(PLAN, "fault", None)
        if fault is not None and fault[0] == "file":
            PLAN.fired += 1
            if fault[1] == "full":
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            raise KeyboardInterrupt("injected")
        os.replace(source, destination)


def restore(document, infer):
    m = _model._restore(tolq.Model, document, infer)
    m._graph = FaultyGraph(m._graph)
    return m


# ---- data -------------------------------------------------------------------------------

FLAVOURS = ["plain"] * 6 + ["new", "numbers in store", "text in region", "nan in y",
                            "decimal", "no region", "missing"]


def batch(rows, seed, flavour):
    rng = np.random.default_rng(seed)
    x0 = rng.uniform(-2, 2, rows)
    store = np.array(STORES, dtype=object)[rng.integers(0, len(STORES), rows)]
    region = np.array(REGIONS)[rng.integers(0, len(REGIONS), rows)]
    y = np.sin(x0) + (store == "s1") - 0.1 * region
    if flavour == "new":
        store[rng.integers(0, rows, 3)] = [f"n{seed % 50}", f"n{seed % 7}", "s1"]
    elif flavour == "numbers in store":
        store[0] = [3, 3.0, 4.5, np.int64(5)][seed % 4]
    elif flavour == "text in region":
        region = region.astype(object)
        region[0] = ["3", "x", "-1", "2.0"][seed % 4]
    elif flavour == "nan in y":
        y[rows - 1] = np.nan
    elif flavour == "decimal":
        store[0] = Decimal(seed % 3)
    elif flavour == "missing":
        store[rows // 2] = None
    X = {"x0": x0, "store": store, "region": region}
    if flavour == "no region":
        del X["region"]
    return X, y


batches = st.tuples(st.integers(1, 40), st.integers(0, 2**16), st.sampled_from(FLAVOURS))
query_faults = st.one_of(st.none(), st.none(), st.tuples(
    st.just("query"), st.integers(0, 3), st.sampled_from(["before", "after"]),
    st.sampled_from([KeyboardInterrupt, MemoryError, Injected])))
# learn_one's one query, a call of the module's own: an error comes from it before its
# passes (they record none), an interrupt only as it returns, the row learned.
one_faults = st.one_of(st.none(), st.none(), st.tuples(
    st.just("query"), st.just(0), st.just("before"), st.sampled_from([MemoryError, Injected])),
    st.just(("query", 0, "after", KeyboardInterrupt)))
operations = st.one_of(
    st.tuples(st.just("fit"), batches, st.integers(0, 3),
              st.sampled_from([None, None, 0.3, "given"]), st.sampled_from(["error", "zero"]),
              query_faults),
    st.tuples(st.just("predict"), batches, st.sampled_from(["error", "zero"]), query_faults),
    st.tuples(st.just("learn_one"), batches, st.integers(0, 39), one_faults),
    st.tuples(st.just("predict_one"), batches, st.integers(0, 39), query_faults),
    st.tuples(st.just("save"), st.sampled_from(PATHS),
              st.sampled_from([None, None, ("file", "full"), ("file", "interrupt")])),
    st.tuples(st.just("load"), st.sampled_from(PATHS)),
    st.sampled_from([("pickle",), ("weights",), ("text",)]))

# What each operation may raise besides an injected failure. A save or a load may fail
# only as injected (or for a file never saved): a file is never half-written.
# A model whose categorical inputs are still to be decided has no categorical "store".
DOCUMENTED = {"fit": (tolq.DataError, ValueError), "predict": (tolq.DataError, RuntimeError),
              "learn_one": (tolq.DataError,), "predict_one": (tolq.DataError, RuntimeError),
              "save": (), "load": (FileNotFoundError,), "pickle": (), "weights": (ValueError,),
              "text": ()}


def one_row(drawn, k):
    """Row ``k`` of a batch (modulo its length), as learn_one and predict_one take it."""
    X, y = batch(*drawn)
    k %= len(y)
    return {name: column[k] for name, column in X.items()}, y[k]


def perform(m, op):
    """Runs ``op`` on ``m``: what it answered, as a value that compares exactly."""
    kind = op[0]
    PLAN.fault = op[-1] if kind not in ("load", "pickle", "weights", "text") else None
    PLAN.queries = PLAN.fired = 0
    try:
        if kind == "fit":
            _, drawn, epochs, validation, missing, _ = op
            X, y = batch(*drawn)
            extra = ({"validation_fraction": validation} if isinstance(validation, float) else
                     {"validation": batch(5, drawn[1] + 1, "plain")} if validation else {})
            h = m.fit(X, y, epochs=epochs, seed=drawn[1], progress=False, missing=missing,
                      **extra)
            return ("fit", [v.hex() for v in h], [v.hex() for v in h.validation or []],
                    h.best_epoch)
        if kind == "predict":
            X, _ = batch(*op[1])
            return ("predict", m.predict(X, missing=op[2]).view(np.uint32).tolist())
        if kind == "learn_one":
            row, y = one_row(op[1], op[2])
            return ("learn_one", m.learn_one(row, y).hex())
        if kind == "predict_one":
            row, _ = one_row(op[1], op[2])
            return ("predict_one", m.predict_one(row).hex())
        if kind == "save":
            m.save(op[1])
            return ("saved",)
        if kind == "load":
            return ("loaded", tolq.Model.load(op[1]).to_dict())
        if kind == "pickle":
            return ("pickled", pickle.loads(pickle.dumps(m)).to_dict())
        if kind == "weights":
            return ("weights", [(type(k), k, w) for k, w in m.category_weights("store").items()])
        return ("text", str(m))
    except BaseException as exc:  # noqa: B902 - judged by the caller
        injected = isinstance(exc, (KeyboardInterrupt, MemoryError, Injected)) or (
            isinstance(exc, OSError) and exc.errno == errno.ENOSPC)
        if not (injected and PLAN.fired) and not isinstance(exc, DOCUMENTED[kind]):
            raise
        return ("raised", type(exc).__name__, str(exc))
    finally:
        PLAN.fault = None


def files():
    """The folder's files and their bytes: the saved models, and nothing left behind."""
    return {name: open(name, "rb").read() for name in sorted(os.listdir("."))}


def put_files(contents):
    for name in os.listdir("."):
        os.unlink(name)
    for name, data in contents.items():
        with open(name, "wb") as f:
            f.write(data)


def serial(document, infer, contents, ops, order):
    """The operations one after the other from ``document`` and ``contents``: answers,
    the model's document, whether its categorical inputs are still to be decided, and
    the files, each failure checked to have changed nothing."""
    put_files(contents)
    m = restore(document, infer)
    answers = [None] * len(ops)
    for k in order:
        doc, undecided, saved = m.to_dict(), m._infer, files()
        answers[k] = perform(m, ops[k])
        if answers[k][0] == "raised":
            # An interrupt after learn_one's passes comes once the row is learned.
            learned = ops[k][0] == "learn_one" and ops[k][-1] is not None and \
                ops[k][-1][2] == "after" and answers[k][1] == "KeyboardInterrupt"
            if not learned:
                assert m.to_dict() == doc and m._infer == undecided, \
                    f"{ops[k]} failed and changed the model"
            assert files() == saved, f"{ops[k]} failed and changed the files"
        elif ops[k][0] == "fit" and ops[k][2] > 0 or ops[k][0] == "learn_one":
            X, y = batch(*ops[k][1])
            rows = [ops[k][2] % len(y)] if ops[k][0] == "learn_one" else slice(None)
            store = {v for v in np.asarray(X["store"])[rows].tolist() if isinstance(v, str)}
            if "store" in m.categorical:
                assert store <= set(m.category_weights("store")), "a category was lost"
    return answers, m.to_dict(), m._infer, files()


class TwoThreads(RuleBasedStateMachine):
    """One model document carried from step to step; each step runs two operations on it
    at once and compares with both serial orders."""

    ran = 0
    injected = 0
    refused = 0
    steps = 0
    undecided = 0  # steps on a model whose categorical inputs are still to be decided
    kinds = collections.Counter()

    def __init__(self):
        super().__init__()
        put_files({})

    @initialize(infer=st.booleans())
    def start(self, infer):
        self.infer = infer
        self.document = tolq.Model(EXPR, target="y", seed=0,
                                   categorical=None if infer else ("store", "region")).to_dict()

    @rule(a=operations, b=operations)
    def two_at_once(self, a, b):
        ops = (a, b)
        before, undecided, contents = self.document, self.infer, files()
        m = restore(before, undecided)
        answers = [None, None]
        fired = [0, 0]

        def run(k):
            answers[k] = perform(m, ops[k])
            fired[k] = PLAN.fired

        at_once(lambda: run(0), lambda: run(1))
        together = (answers, m.to_dict(), m._infer, files())
        TwoThreads.ran += 2
        TwoThreads.steps += 1
        TwoThreads.undecided += undecided
        TwoThreads.kinds.update(op[0] for op in ops)
        TwoThreads.injected += sum(fired)
        TwoThreads.refused += sum(a[0] == "raised" and not f for a, f in zip(answers, fired))
        matches = [serial(before, undecided, contents, ops, order) == together
                   for order in ((0, 1), (1, 0))]
        put_files(together[3])
        assert any(matches), f"{ops}: no serial order gives what the two threads did"
        self.document, self.infer = together[1], together[2]


@pytest.mark.filterwarnings("ignore")  # NumPy's warnings about odd data are not at issue
def test_two_threads_against_a_serial_reference(tmp_path, monkeypatch):
    """A few seconds in the suite; under TOLQ_FUZZ=large, runs until TOLQ_FUZZ_PACKAGE_OPS
    operations."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_model, "os", FaultyOs())
    # Threads switch far more often than every 5 ms: the calls interleave finely.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    TwoThreads.ran = TwoThreads.injected = TwoThreads.refused = TwoThreads.steps = 0
    TwoThreads.undecided = 0
    TwoThreads.kinds = collections.Counter()
    started = time.monotonic()
    try:
        runs = run_machine(TwoThreads, (30, 8), (200, 20), lambda: TwoThreads.ran >= PACKAGE_OPS)
    finally:
        sys.setswitchinterval(interval)
    kinds = ", ".join(f"{n} {kind}" for kind, n in sorted(TwoThreads.kinds.items()))
    report(f"package, two threads: {TwoThreads.ran} operations ({kinds}) in "
           f"{TwoThreads.steps} steps ({TwoThreads.undecided} on a model still to decide its "
           f"categorical inputs), {TwoThreads.injected} failures injected, "
           f"{TwoThreads.refused} refused as documented, {runs} runs, "
           f"{time.monotonic() - started:.1f} s")
    assert TwoThreads.injected > 0 and TwoThreads.refused > 0
    assert TwoThreads.kinds["learn_one"] > 0 and TwoThreads.kinds["predict_one"] > 0
    assert TwoThreads.undecided > 0
