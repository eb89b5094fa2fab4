"""The demo behind ``python -m tolq demo``: a synthetic table, a model with every node type."""
from __future__ import annotations

import importlib
from typing import Any, Dict, Optional, TextIO, Tuple

import numpy as np
from numpy.typing import NDArray

from ._model import Model

# y = sin(x0 * x1) + exp(-2 * x1**2) + offset[store]
STORE_OFFSETS = {"north": 0.6, "south": -0.4, "east": 0.2, "west": -0.8, "online": 0.0}
EXPRESSION = "linear(tanh(sine(multiply(x0, x1)), gaussian(x1)), store)"


def make_data(rows: int, rng: np.random.Generator
              ) -> Tuple[Dict[str, NDArray[Any]], NDArray[np.float64]]:
    x0 = rng.uniform(-2, 2, rows)
    x1 = rng.uniform(-2, 2, rows)
    names = np.array(list(STORE_OFFSETS), dtype=object)
    store = names[rng.integers(0, len(names), rows)]
    offset = np.array([STORE_OFFSETS[s] for s in store])
    y = np.sin(x0 * x1) + np.exp(-2 * x1**2) + offset
    return {"x0": x0, "x1": x1, "store": store}, y


def load_pyplot() -> Any:
    """matplotlib's pyplot on a file-only backend; ImportError when it is not installed."""
    matplotlib = importlib.import_module("matplotlib")
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")


def run(out: TextIO, rows: int = 20_000, epochs: int = 8, seed: int = 3,
        progress: bool = True, plot: Optional[str] = None) -> float:
    """Train on 80 % of a synthetic table, report on the rest; returns the held-out error."""
    pyplot = load_pyplot() if plot else None
    if rows < 10:
        raise ValueError("the demo needs at least 10 rows")
    rng = np.random.default_rng(seed)
    X, y = make_data(rows, rng)
    cut = int(0.8 * rows)
    X_train = {k: v[:cut] for k, v in X.items()}
    X_test = {k: v[cut:] for k, v in X.items()}
    y_train, y_test = y[:cut], y[cut:]

    print("data: y = sin(x0 * x1) + exp(-2 * x1**2) + offset[store], x0 and x1 uniform in "
          f"[-2, 2], {len(STORE_OFFSETS)} stores", file=out)
    print(f"      {cut} rows to train on, {rows - cut} held out", file=out)
    model = Model.from_expression(EXPRESSION, target="y", categorical=("store",), seed=seed)
    print(f"model: {model!r}\n", file=out, flush=True)

    losses = model.fit(X_train, y_train, epochs=epochs, seed=seed, progress=progress)
    for epoch, loss in enumerate(losses, 1):
        print(f"epoch {epoch:2d}: training loss {loss:.4f}", file=out)

    predicted = model.predict(X_test).astype(np.float64)
    held_out = float(np.mean((predicted - y_test) ** 2))
    baseline = float(np.mean((y_test - y_train.mean()) ** 2))
    print(f"\nheld-out mean squared error {held_out:.4f}; predicting the mean gives "
          f"{baseline:.4f} ({held_out / baseline:.1%} of it)\n", file=out)
    print(f"learned:\n{model}\n", file=out)

    print("    x0      x1  store    truth  predicted", file=out)
    for i in range(min(6, len(y_test))):
        print(f"  {X_test['x0'][i]:6.2f}  {X_test['x1'][i]:6.2f}  {X_test['store'][i]:6s}"
              f" {y_test[i]:6.3f}  {predicted[i]:9.3f}", file=out)

    if pyplot is not None and plot is not None:
        fig, ax = pyplot.subplots(figsize=(5, 5))
        ax.scatter(y_test, predicted, s=4, alpha=0.4)
        low, high = float(min(y_test.min(), predicted.min())), float(max(y_test.max(), predicted.max()))
        ax.plot([low, high], [low, high], color="black", linewidth=1)
        ax.set_xlabel("truth")
        ax.set_ylabel("prediction")
        ax.set_title(f"held-out rows, mean squared error {held_out:.4f}")
        fig.savefig(plot, dpi=100, bbox_inches="tight")
        pyplot.close(fig)
        print(f"\nwrote {plot}", file=out)
    return held_out
