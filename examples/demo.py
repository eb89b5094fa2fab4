"""Train a small graph online on synthetic data and show what it learned.

The data follow y = sin(x0 * x1) + exp(-2 * x1**2) + offset[store], with x0 and x1
uniform in [-2, 2] and five stores, each with its own offset. The graph reads two numeric
columns and one categorical column and uses every kind of node the module has: a multiply
and a sine for the wave, a gaussian for the bump, a tanh joining them and a linear node
adding the store's learned offset.
"""
import sys
import time

import numpy as np

import _tolq

ROWS = 20_000
EPOCHS = 8
STORE_OFFSETS = {"north": 0.6, "south": -0.4, "east": 0.2, "west": -0.8, "online": 0.0}

# slot: (type, sources, register name); a first source of -1 marks an input register
LAYOUT = [
    ("fixed", [-1], "x0"),
    ("fixed", [-1], "x1"),
    ("cat", [-1], "store"),
    ("multiply", [0, 1], ""),
    ("sine", [3], ""),
    ("gaussian", [1], ""),
    ("tanh", [4, 5], ""),
    ("linear", [6, 2], ""),
    ("fixed", [7], "y"),  # the last slot is the output register
]


def make_data(rng):
    x0 = rng.uniform(-2, 2, ROWS)
    x1 = rng.uniform(-2, 2, ROWS)
    names = np.array(list(STORE_OFFSETS))
    store = names[rng.integers(0, len(names), ROWS)]
    offset = np.array([STORE_OFFSETS[s] for s in store])
    y = np.sin(x0 * x1) + np.exp(-2 * x1**2) + offset
    return {"x0": x0, "x1": x1, "store": store}, y


def build_graph():
    graph = _tolq.Graph(len(LAYOUT))
    for slot, (kind, sources, name) in enumerate(LAYOUT):
        node = _tolq.Interaction(kind, (slot, 0, 0), 0, name)
        for ix, src in enumerate(sources):
            node._set_source(ix, src)
        graph[slot] = node
    return graph


def progress(epoch, done, total, width=30):
    filled = width * done // total
    sys.stdout.write(f"\repoch {epoch + 1}/{EPOCHS} [{'#' * filled}{'.' * (width - filled)}]")
    sys.stdout.flush()


def train_epoch(graph, epoch, X, y, rng, chunk=2_000):
    order = rng.permutation(len(y))
    for start in range(0, len(y), chunk):
        rows = order[start:start + chunk]
        graph._query({k: v[rows] for k, v in X.items()}, y[rows])
        progress(epoch, start + len(rows), len(y))


def mse(graph, X, y):
    return float(np.mean((graph._query(X) - y) ** 2))


def main():
    rng = np.random.default_rng(7)
    X, y = make_data(rng)
    cut = int(0.8 * ROWS)
    X_train = {k: v[:cut] for k, v in X.items()}
    X_test = {k: v[cut:] for k, v in X.items()}
    y_train, y_test = y[:cut], y[cut:]
    baseline = float(np.mean((y_test - y_train.mean()) ** 2))

    graph = build_graph()
    print(f"{graph}: {graph.edge_count} edges, structural hash {hash(graph)}")
    print(f"held-out error of predicting the mean: {baseline:.4f}\n")

    started = time.perf_counter()
    for epoch in range(EPOCHS):
        train_epoch(graph, epoch, X_train, y_train, rng)
        train_err, test_err = mse(graph, X_train, y_train), mse(graph, X_test, y_test)
        print(f"  train {train_err:.4f}  held-out {test_err:.4f}")
    elapsed = time.perf_counter() - started
    print(f"\n{EPOCHS} epochs of {len(y_train)} samples in {elapsed:.2f} s; held-out error "
          f"{test_err:.4f}, {test_err / baseline:.1%} of the mean's\n")

    print("learned parameters:")
    for slot in range(len(graph)):
        node = graph[slot]
        if node.type == "cat":
            state = {k: round(w, 3) for k, w in node.state.categories}
        else:
            state = {k: round(v, 3) if isinstance(v, float) else v
                     for k, v in node.state.__dict__.items()}
        print(f"  {slot}: {node.type:9s} {node.name if node.type in ('fixed', 'cat') else '':6s}"
              f" sources {node.sources}  {state}")

    # The store's share of the prediction: its weight through the last linear node and the
    # output's scaling, centred like the true offsets so the two columns compare directly.
    store_slot = next(i for i, (kind, _, _) in enumerate(LAYOUT) if kind == "cat")
    adder_slot = len(LAYOUT) - 2  # the linear node that adds the store's weight (source 1)
    weights = dict(graph[store_slot].state.categories)
    out = graph[len(graph) - 1].state
    scale = graph[adder_slot].state.w1 * (out.feature_max - out.feature_min) / 2
    learned = {k: w * scale for k, w in weights.items()}
    mean_true = np.mean(list(STORE_OFFSETS.values()))
    mean_learned = np.mean(list(learned.values()))
    print("\nstore offsets, centred:   true  learned")
    for name, offset in STORE_OFFSETS.items():
        print(f"  {name:20s} {offset - mean_true:6.3f}  {learned[name] - mean_learned:6.3f}")

    print("\na few held-out predictions:")
    pred = graph._query({k: v[:8] for k, v in X_test.items()})
    print("    x0      x1   store    truth  predicted")
    for i in range(8):
        print(f"  {X_test['x0'][i]:6.2f}  {X_test['x1'][i]:6.2f}  {X_test['store'][i]:6s}"
              f"  {y_test[i]:6.3f}  {pred[i]:6.3f}")


if __name__ == "__main__":
    main()
