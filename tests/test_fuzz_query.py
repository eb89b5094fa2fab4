"""Random graphs: a query over N rows gives the very bits of N one-row queries, and the inline
loop the bits of the types' table passes. Short here; TOLQ_FUZZ=large runs many more."""
import numpy as np
import pytest

from _fuzz import LARGE
from builders import LOSS_NAMES, da_of, graph, node, register

SEEDS = range(300 if LARGE else 8)
ROWS = 2000 if LARGE else 600  # crosses several blocks of 256
FUNCTIONS = ["linear", "tanh", "gaussian", "sine", "multiply", "fixed", "cat"]
LIVELY = {"linear": dict(w0=0.6, w1=-0.5, bias=0.1), "tanh": dict(w0=0.9, w1=-0.7, bias=0.2),
          "gaussian": dict(center0=0.1, center1=-0.2, w0=0.3, w1=0.5),
          "sine": dict(x0=0.3, k=2.0)}


def layout(seed):
    """(slots, data) of one random case; slots are plain tuples, so a case can be rebuilt."""
    rng = np.random.default_rng(seed)
    slots, n_in = [], int(rng.integers(1, 4))
    for i in range(n_in):
        slots.append(("cat", f"c{i}") if rng.random() < 0.3 else ("in", f"x{i}"))
    for _ in range(int(rng.integers(2, 7))):
        here = len(slots)
        shareable = [j for j in range(n_in, here) if slots[j][0] in LIVELY or
                     slots[j][0] == "multiply"]
        if shareable and rng.random() < 0.15:  # one interaction in two slots
            slots.append(("same", int(rng.choice(shareable))))
            continue
        kind = str(rng.choice(FUNCTIONS))
        srcs = [int(rng.integers(0, here)) for _ in range(2)]
        if rng.random() < 0.08:  # a source in a later slot: the previous sample's value
            srcs[0] = here + 1
        jitter = {k: v * float(rng.uniform(0.5, 1.5)) for k, v in LIVELY.get(kind, {}).items()}
        nsrc = 2 if kind == "multiply" else int(rng.integers(1, 3))
        slots.append((kind, srcs[:1] if kind in ("sine", "fixed", "cat") else srcs[:nsrc],
                      jitter))
    slots.append(("out", len(slots) - 1, str(rng.choice(LOSS_NAMES))))
    X = {}
    for s in slots[:n_in]:
        X[s[1]] = (rng.integers(0, 5, ROWS) if s[0] == "cat" else rng.uniform(-2.5, 2.5, ROWS))
    y = rng.uniform(-2.5, 2.5, ROWS)
    if rng.random() < 0.5:  # a value that is not finite, inside a block
        col = str(rng.choice([k for k in X if k.startswith("x")] + ["y"]))
        (y if col == "y" else X[col])[int(rng.integers(1, ROWS))] = rng.choice([np.nan, np.inf])
    return slots, X, y


def build(slots):
    items = []
    for s in slots:
        if s[0] == "same":
            items.append(items[s[1]])
        elif s[0] in ("in", "out"):
            r = register(s[1] if s[0] == "in" else "y", -1 if s[0] == "in" else s[1],
                         lo=-2.0, hi=2.0, adapt=False)  # frozen: some values clamp
            if s[0] == "out":
                r._loss = s[2]
            items.append(r)
        elif s[0] == "cat" and len(s) == 2:
            items.append(node("cat", -1, name=s[1]))
        else:
            kind, srcs, params = s
            n = node(kind, *srcs)
            for k, v in params.items():
                setattr(n.state, k, v)
            items.append(n)
    g = graph(*items)
    for x in items:
        if x.state._to_dict().keys() == {"categories"}:
            x.state.categories = [(k, 0.1 * k - 0.2) for k in range(5)]
    return g


def snapshot(g):
    return repr([(g[i].state._to_dict(), g[i].activation.tobytes(), float(da_of(g[i])),
                  g[i]._errcode) for i in range(len(g))])


def run(g, X, y):
    try:
        return g._query(X, y).tobytes(), None, snapshot(g)
    except RuntimeError as e:
        return None, str(e), snapshot(g)


def run_rows_one_by_one(g, X, y):
    out = []
    for i in range(ROWS):
        row = {k: v[i:i + 1] for k, v in X.items()}
        got, err, _ = run(g, row, None if y is None else y[i:i + 1])
        if err is not None:
            return None, err, snapshot(g)
        out.append(got)
    return b"".join(out), None, snapshot(g)


def case(seed, train):
    slots, X, y = layout(seed)
    return slots, X, (y if train else None)


@pytest.mark.parametrize("train", [False, True], ids=["predict", "train"])
@pytest.mark.parametrize("seed", SEEDS)
def test_rows_equal_one_row_queries(seed, train):
    slots, X, y = case(seed, train)
    assert run(build(slots), X, y) == run_rows_one_by_one(build(slots), X, y)


@pytest.mark.parametrize("train", [False, True], ids=["predict", "train"])
@pytest.mark.parametrize("col, at", [("x1", 0), ("x1", 255), ("x1", 256), ("y", 255), ("y", 256),
                                     ("y", ROWS - 1)])
def test_value_not_finite_at_a_block_edge(col, at, train):
    slots = [("in", "x0"), ("in", "x1"), ("tanh", [0, 1], LIVELY["tanh"]),
             ("sine", [2], LIVELY["sine"]), ("out", 3, "mean_squared_error")]
    rng = np.random.default_rng(at)
    X = {k: rng.uniform(-2.5, 2.5, ROWS) for k in ("x0", "x1")}
    y = rng.uniform(-2.5, 2.5, ROWS)
    (y if col == "y" else X[col])[at] = np.inf
    y = y if train else None
    want = run_rows_one_by_one(build(slots), X, y)
    assert (want[1] is None) == (col == "y" and not train)  # a prediction reads no y
    assert run(build(slots), X, y) == want
