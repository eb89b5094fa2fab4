"""The training loop of ``Model.fit``: its epochs, the validation tracker and the progress bar.

The loop knows a graph by its query alone: one query per epoch trains on every row in
order, inside the module and without the interpreter lock, so Python's share of the time
stays small.
"""
from __future__ import annotations

import math
import sys
import time
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

try:
    from tqdm import tqdm as _tqdm  # type: ignore[import-untyped,unused-ignore]
except ImportError:  # bars are a nicety; training works without them
    _tqdm = None  # type: ignore[assignment,misc,unused-ignore]

Columns = Dict[str, NDArray[Any]]
# The graph's training query: rows and their targets in, each row's prediction (made just
# before the row was learned) out.
Query = Callable[[Columns, NDArray[np.float64]], NDArray[np.float32]]
# A prediction query: rows in, predictions out.
Predict = Callable[[Columns], NDArray[np.float32]]
# The summed loss of predictions against targets.
Loss = Callable[[NDArray[np.float32], NDArray[np.float64]], float]

# Seconds of training before a progress bar appears.
BAR_AFTER = 0.5


class History(List[float]):
    """What ``fit`` returns: the training loss of each epoch, as a list.

    ``validation`` holds the validation loss of each epoch when there was validation
    data (else None); ``best_epoch`` is the 1-based epoch whose parameters early stopping
    kept (else None). The training loss of an epoch is the mean loss of each row's
    prediction made just before the model learned from that row.
    """

    def __init__(self, training: Iterable[float] = (),
                 validation: Optional[List[float]] = None,
                 best_epoch: Optional[int] = None) -> None:
        super().__init__(training)
        self.validation = validation
        self.best_epoch = best_epoch

    @property
    def training(self) -> List[float]:
        return list(self)

    def __repr__(self) -> str:
        return (f"History(training={list(self)!r}, validation={self.validation!r}, "
                f"best_epoch={self.best_epoch!r})")


def loss_sum(loss: str, pred: NDArray[np.float32], y: NDArray[np.float64],
             low: float, high: float) -> float:
    """The summed ``loss`` (one of ``LOSSES``) of ``pred`` against ``y``, for an output
    whose range is [low, high]."""
    p = pred.astype(np.float64)
    if loss == "mean_absolute_error":
        return float(np.sum(np.abs(p - y)))
    if loss == "categorical_cross_entropy":
        # The lowest target value is the negative class; the prediction's place in the
        # output range is the probability of the positive one.
        span = high - low
        prob = (p - low) / span if span > 0 else np.full_like(p, 0.5)
        prob = np.clip(prob, 1e-7, 1 - 1e-7)
        positive = y > low
        return float(-np.sum(np.where(positive, np.log(prob), np.log1p(-prob))))
    return float(np.sum((p - y) ** 2))


def readable(value: float) -> str:
    """A loss or a parameter as a person reads it: 4 significant digits."""
    return f"{value:.4g}"


def show_progress(progress: Optional[bool]) -> bool:
    """Bars only where a person watches, unless ``progress`` says otherwise."""
    if _tqdm is None:
        return False
    if progress is not None:
        return bool(progress)
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):  # a replaced or closed stderr
        return False


def bar(total: int, desc: str, unit: str, initial: int = 0, leave: bool = True) -> Any:
    """A tqdm bar; None where tqdm is not installed."""
    if _tqdm is None:
        return None
    return _tqdm(total=total, initial=initial, desc=desc, unit=unit, leave=leave)


class ProgressBar:
    """A bar over the epochs, where ``show_progress`` allows, once training has lasted
    ``BAR_AFTER`` seconds: for short runs its own cost would be a large share, and nobody
    needs it."""

    def __init__(self, progress: Optional[bool], epochs: int) -> None:
        self.show = show_progress(progress)
        self.epochs = epochs
        self.bar: Any = None
        self.started = time.monotonic()

    def update(self, epoch: int, history: History) -> None:
        """Epoch ``epoch`` (from 0) is done; ``history`` holds its losses."""
        if self.show and self.bar is None and time.monotonic() - self.started > BAR_AFTER:
            self.bar = bar(self.epochs, "training", " epochs", initial=epoch, leave=False)
        if self.bar is not None:
            self.bar.update(1)
            losses = {"loss": readable(history[-1])}
            if history.validation:
                losses["validation"] = readable(history.validation[-1])
            self.bar.set_postfix(losses, refresh=False)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Validation:
    """The validation loss of each epoch, kept in the history with the best epoch; with
    early stopping, the parameters of the best epoch (``snapshot()``, as ``kept``) and
    when to stop."""

    def __init__(self, early_stopping: bool, patience: int,
                 snapshot: Callable[[], Any]) -> None:
        self.early_stopping = early_stopping
        self.patience = patience
        self.snapshot = snapshot
        self.best = math.inf
        self.waited = 0  # epochs since the best
        self.kept: Any = None

    def record(self, history: History, epoch: int, loss: float) -> None:
        assert history.validation is not None
        history.validation.append(loss)
        if loss < self.best:
            self.best, self.waited = loss, 0
            history.best_epoch = epoch + 1
            if self.early_stopping:
                self.kept = self.snapshot()
        else:
            self.waited += 1

    @property
    def stop(self) -> bool:
        return self.early_stopping and self.waited >= self.patience


def train_epochs(train: Query, predict: Predict, loss: Loss, rows: Columns,
                 target: NDArray[np.float64],
                 valid: Optional[Tuple[Columns, NDArray[np.float64]]], history: History,
                 tracker: Optional[Validation], epochs: int, shuffle: bool,
                 seed: Optional[int], progress: Optional[bool]) -> None:
    """Train on ``rows`` for up to ``epochs`` passes, each in an order drawn from
    ``numpy.random.default_rng(seed)`` when ``shuffle`` is set; each epoch's loss goes to
    ``history``, and with ``valid`` (and its ``tracker``) the validation loss too."""
    n = len(target)
    rng = np.random.default_rng(seed)
    bar = ProgressBar(progress, epochs)
    try:
        for epoch in range(epochs):
            if shuffle:
                order = rng.permutation(n)
                x, y = {k: v[order] for k, v in rows.items()}, target[order]
            else:
                x, y = rows, target
            history.append(loss(train(x, y), y) / n)
            if valid is not None and tracker is not None:
                tracker.record(history, epoch, loss(predict(valid[0]), valid[1]) / len(valid[1]))
            bar.update(epoch, history)
            if tracker is not None and tracker.stop:
                break
    finally:
        bar.close()
