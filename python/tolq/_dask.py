"""Training on a Dask cluster: the route of ``search`` and ``fit_many`` with ``client=``.

The data go to every worker once; tasks then carry only models, several per task, since
a task costs about as much as training one small model. Each call scatters its data under
keys of its own (not keys hashed from the data): a second call on the same data, at once or
while the cluster still forgets the first one's, must not share them, or the first call's
cancel would cancel the second's data. Models travel as their saved
documents (``Model.__reduce__``), so a model trained remotely predicts bit for bit as one
trained here.
"""
from __future__ import annotations

import math
from typing import Any, List, Optional, Sequence, Tuple

from ._model import History, Model


def _threads(client: Any) -> int:
    info = client.scheduler_info()
    threads = sum(int(w.get("nthreads", 1)) for w in info.get("workers", {}).values())
    return max(1, threads)


def batches(items: Sequence[Any], client: Any) -> List[List[Any]]:
    """``items`` cut into about two batches per cluster thread, in order."""
    count = max(1, min(len(items), 2 * _threads(client)))
    size = math.ceil(len(items) / count) if items else 1
    return [list(items[i:i + size]) for i in range(0, len(items), size)]


class Remote:
    """``search``'s runner for a cluster: jobs in, (trained model, loss) out, in order."""

    def __init__(self, client: Any, data: Any) -> None:
        self.client = client
        [self.data] = client.scatter([data], broadcast=True, hash=False)

    def run(self, jobs: Sequence[Any]) -> List[Tuple[Model, float]]:
        from ._search import run_jobs
        futures = self.client.map(run_jobs, batches(jobs, self.client), data=self.data,
                                  pure=False)
        return [out for part in self.client.gather(futures) for out in part]

    def close(self) -> None:
        self.client.cancel([self.data])


def _fit_batch(models: Sequence[Model], X: Any, y: Any, epochs: int, shuffle: bool,
               seed: Optional[int]) -> List[Tuple[Model, History]]:
    return [(m, m.fit(X, y, epochs, shuffle, seed, progress=False)) for m in models]


def fit_many(models: Sequence[Model], X: Any, y: Any, epochs: int, shuffle: bool,
             seed: Optional[int], client: Any) -> List[History]:
    """Train ``models`` on the cluster; each local model then equals its remote copy:
    parameters, ranges and the mapping of categories to codes.

    Adam's moments stay behind, as with ``save`` and ``load``: the models predict as if
    trained here, but further training starts from fresh moments.
    """
    X_future, y_future = client.scatter([X, y], broadcast=True, hash=False)
    try:
        futures = client.map(_fit_batch, batches(models, client), X=X_future, y=y_future,
                             epochs=epochs, shuffle=shuffle, seed=seed, pure=False)
        trained = [out for part in client.gather(futures) for out in part]
    finally:
        client.cancel([X_future, y_future])
    for model, (remote, _) in zip(models, trained):
        model._take_state(remote)
    return [history for _, history in trained]
