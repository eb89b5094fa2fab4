"""Benchmark of _tolq's query driver: prints a table, asserts nothing.

Run with `make bench`. Figures are medians of several runs in one process.
"""
import platform
import statistics
import time

import numpy as np

import _tolq

SAMPLES = 1_000_000
REPEATS = 5


def node(kind, sources, name=""):
    x = _tolq.Interaction(kind, (0, 0, 0), 0, name)
    for ix, src in enumerate(sources):
        x._set_source(ix, src)
    return x


def graph_of(layout):
    g = _tolq.Graph(len(layout))
    for slot, (kind, sources, *name) in enumerate(layout):
        g[slot] = node(kind, sources, *name)
    return g


# Two inputs, their product, the output register.
MULTIPLY = [("fixed", [-1], "x0"), ("fixed", [-1], "x1"), ("multiply", [0, 1]), ("fixed", [2], "y")]

# Every function type: y = sin(x0 * x1) + 0.5 * x1 is what it is trained on.
B8 = [
    ("fixed", [-1], "x0"),
    ("fixed", [-1], "x1"),
    ("linear", [0, 1]),
    ("tanh", [0, 1]),
    ("multiply", [2, 3]),
    ("gaussian", [4, 1]),
    ("sine", [5]),
    ("fixed", [6], "y"),
]


def data(n=SAMPLES):
    rng = np.random.default_rng(7)
    x0 = rng.uniform(-3, 3, n)
    x1 = rng.uniform(-3, 3, n)
    return {"x0": x0, "x1": x1}, np.sin(x0 * x1) + 0.5 * x1


def median_seconds(fn, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def row(label, value, unit):
    print(f"  {label:<52s} {value:>12,.1f} {unit}")


def bench_graph(title, layout):
    X, y = data()
    g = graph_of(layout)
    train = median_seconds(lambda: g._query(X, y))
    predict = median_seconds(lambda: g._query(X))
    print(f"{title} ({len(layout)} slots, {SAMPLES:,} samples)")
    row("training", SAMPLES / train, "samples/s")
    row("training", train / SAMPLES * 1e9, "ns/sample")
    row("prediction", SAMPLES / predict, "samples/s")
    row("prediction", predict / SAMPLES * 1e9, "ns/sample")
    X1 = {k: v[:1] for k, v in X.items()}
    y1 = y[:1]
    calls = 20_000
    one = median_seconds(lambda: [g._query(X1, y1) for _ in range(calls)]) / calls
    row("one-sample training query", one * 1e6, "µs")


# A categorical column beside a numeric one: y = 0.5 * x1 + offset[store].
CATEGORICAL = [
    ("fixed", [-1], "x1"),
    ("cat", [-1], "store"),
    ("linear", [0, 1]),
    ("fixed", [2], "y"),
]


def bench_categorical_training():
    X, _ = data()
    rng = np.random.default_rng(7)
    store = rng.integers(0, 50, SAMPLES)
    offsets = rng.uniform(-1, 1, 50)
    y = 0.5 * X["x1"] + offsets[store]
    Xc = {"x1": X["x1"], "store": store}
    g = graph_of(CATEGORICAL)
    train = median_seconds(lambda: g._query(Xc, y), repeats=3)
    print(f"graph with a categorical input ({len(CATEGORICAL)} slots, {SAMPLES:,} samples, "
          "50 stores; the time includes the bind)")
    row("training", SAMPLES / train, "samples/s")
    row("training", train / SAMPLES * 1e9, "ns/sample")


def bench_categorical():
    print(f"categorical bind ({SAMPLES:,} rows, int64 column)")
    rng = np.random.default_rng(7)
    for distinct in (10, 1_000, 100_000):
        column = rng.integers(0, distinct, SAMPLES)
        cat = node("cat", [-1], "c")
        out = node("fixed", [0], "y")
        g = _tolq.Graph(2)
        g[0], g[1] = cat, out
        seconds = median_seconds(lambda: g._query({"c": column}), repeats=3)
        row(f"{distinct:,} distinct categories", seconds * 1e3, "ms")


def main():
    print(f"_tolq benchmark on {platform.machine()}, {platform.processor() or 'unknown CPU'}, "
          f"Python {platform.python_version()}, NumPy {np.__version__}\n")
    bench_graph("multiply graph", MULTIPLY)
    print()
    bench_graph("B8, every function type", B8)
    print()
    bench_categorical_training()
    print()
    bench_categorical()


if __name__ == "__main__":
    main()
