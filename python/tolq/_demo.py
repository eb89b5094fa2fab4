"""The demo behind ``python -m tolq demo``: a synthetic table, a model with every node type."""
from __future__ import annotations

import csv
import importlib
import io
import os
import textwrap
from typing import Any, Dict, Optional, TextIO, Tuple

import numpy as np
from numpy.typing import NDArray

from ._model import Model
from ._training import History

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


class NoMatplotlib(ImportError):
    """--plot was asked for, but matplotlib is not installed."""


def load_pyplot() -> Any:
    """matplotlib's pyplot on a file-only backend; NoMatplotlib when it is not installed."""
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        raise NoMatplotlib("matplotlib is not installed") from None
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")


def print_history(history: History, out: TextIO) -> None:
    for epoch, loss in enumerate(history, 1):
        line = f"epoch {epoch:3d}: training loss {loss:.6g}"
        if history.validation is not None:
            line += f", validation loss {history.validation[epoch - 1]:.6g}"
        print(line, file=out)
    if history.best_epoch is not None:
        print(f"kept the parameters of epoch {history.best_epoch}, the best on validation",
              file=out)


def _curves(ax: Any, history: History) -> None:
    epochs = np.arange(1, len(history) + 1)
    ax.plot(epochs, list(history), marker=".", label="training")
    if history.validation is not None:
        ax.plot(epochs, history.validation, marker=".", label="validation")
    if history.best_epoch is not None:  # early stopping kept this epoch's parameters
        ax.axvline(history.best_epoch, color="gray", linestyle="--", linewidth=1,
                   label=f"kept: epoch {history.best_epoch}")
    ax.set_xlabel("epoch")
    ax.set_ylabel("loss")
    ax.set_yscale("log")
    ax.legend()


def plot_history(pyplot: Any, history: History, path: str, title: str) -> bytes:
    """The learning curves (training and validation loss per epoch) in the format that
    ``path``'s extension names, as bytes: drawn before any file is written, so that a
    picture that cannot be drawn leaves every output as it was."""
    fig, ax = pyplot.subplots(figsize=(5, 3.5))
    try:
        _curves(ax, history)
        # Wrapped to the axes' width: a long expression would run off both sides.
        ax.set_title("\n".join(textwrap.wrap(title, 70)), fontsize=8)
        picture = io.BytesIO()
        kind = os.path.splitext(path)[1][1:].lower() or None
        fig.savefig(picture, format=kind, dpi=80, bbox_inches="tight")
    finally:
        pyplot.close(fig)
    return picture.getvalue()


def write_csv(path: str, X: Dict[str, NDArray[Any]], y: NDArray[np.float64]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow([*X, "y"])
        writer.writerows(zip(*(v.tolist() for v in X.values()), y.tolist()))


def run(out: TextIO, rows: int = 20_000, epochs: int = 20, seed: int = 3,
        progress: Optional[bool] = None, plot: Optional[str] = None,
        table: Optional[str] = None) -> float:
    """Train on 80 % of a synthetic table, report on the rest; returns the held-out error.
    ``table`` names a CSV file to write the table to, for trying the command line on."""
    pyplot = load_pyplot() if plot else None
    if rows < 10:
        raise ValueError("the demo needs at least 10 rows")
    rng = np.random.default_rng(seed)
    X, y = make_data(rows, rng)
    if table is not None:
        write_csv(table, X, y)
        print(f"wrote the table to {table} (columns x0, x1, store, y)", file=out)
    cut = int(0.8 * rows)
    X_train = {k: v[:cut] for k, v in X.items()}
    X_test = {k: v[cut:] for k, v in X.items()}
    y_train, y_test = y[:cut], y[cut:]

    print("data: y = sin(x0 * x1) + exp(-2 * x1**2) + offset[store], x0 and x1 uniform in "
          f"[-2, 2], {len(STORE_OFFSETS)} stores", file=out)
    print(f"      {cut} rows to train on, {rows - cut} held out", file=out)
    model = Model.from_expression(EXPRESSION, target="y", categorical=("store",), seed=seed)
    print(f"model: {model!r}\n", file=out, flush=True)

    history = model.fit(X_train, y_train, epochs=epochs, seed=seed, progress=progress,
                        validation=(X_test, y_test))
    print_history(history, out)

    predicted = model.predict(X_test).astype(np.float64)
    held_out = float(np.mean((predicted - y_test) ** 2))
    baseline = float(np.mean((y_test - y_train.mean()) ** 2))
    print(f"\nheld-out mean squared error {held_out:.4f}; predicting the mean gives "
          f"{baseline:.4f} ({held_out / baseline:.2%} of it)\n", file=out)
    print(f"learned:\n{model}\n", file=out)
    _print_stores(model, out)
    print("\n    x0      x1  store    truth  predicted", file=out)
    for i in range(min(6, len(y_test))):
        print(f"  {X_test['x0'][i]:6.2f}  {X_test['x1'][i]:6.2f}  {X_test['store'][i]:6s}"
              f" {y_test[i]:6.3f}  {predicted[i]:9.3f}", file=out)
    if pyplot is not None and plot is not None:
        _plot(pyplot, plot, history, y_test, predicted, held_out)
        print(f"\nwrote {plot}", file=out)
    return held_out


def _print_stores(model: Model, out: TextIO) -> None:
    """A store's share of the prediction, centred like the true offsets so they compare."""
    weights = model.category_weights("store")
    mean_true = float(np.mean(list(STORE_OFFSETS.values())))
    shares = {k: model.predict_one({"x0": 0.0, "x1": 0.0, "store": k}) for k in weights}
    mean_share = float(np.mean(list(shares.values())))
    print("store offsets, centred:  true  learned", file=out)
    for name, offset in STORE_OFFSETS.items():
        print(f"  {name:20s} {offset - mean_true:6.3f}  {shares[name] - mean_share:6.3f}",
              file=out)


def _plot(pyplot: Any, path: str, history: History, truth: NDArray[np.float64],
          predicted: NDArray[np.float64], held_out: float) -> None:
    """The learning curves, and the held-out predictions against the truth."""
    fig, (left, right) = pyplot.subplots(1, 2, figsize=(9, 3.8))
    _curves(left, history)
    left.set_title("learning curves (mean squared error)")
    right.scatter(truth, predicted, s=3, alpha=0.3)
    low = float(min(truth.min(), predicted.min()))
    high = float(max(truth.max(), predicted.max()))
    right.plot([low, high], [low, high], color="black", linewidth=1)
    right.set_xlabel("truth")
    right.set_ylabel("prediction")
    right.set_title(f"held-out rows, mean squared error {held_out:.4f}")
    fig.tight_layout()
    fig.savefig(path, dpi=72)
    pyplot.close(fig)
