"""Training on threads or on a Dask cluster: ``fit_many``, and the runner of the search's jobs.

Threads: the module releases the interpreter lock while it trains, so trainings in a
pool of threads run in parallel. A ``Runner`` gives results in the order of the work
given to it; the first failure cancels what has not started.

Dask: the data go to every worker once; tasks then carry only the work, several items per
task, since a task costs about as much as training one small model. Each runner scatters
its data under keys of its own (not keys hashed from the data): a second call on the same
data, at once or while the cluster still forgets the first one's, must not share them, or
the first call's cancel would cancel the second's data. Models travel as their saved
documents (``Model.__reduce__``), so a model trained remotely predicts bit for bit as one
trained here.
"""
from __future__ import annotations

import functools
import math
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from concurrent.futures import wait as wait_for
from typing import Any, Callable, Dict, Generic, Iterable, List, Optional, Sequence, Tuple, TypeVar

from ._format import check_arg
from ._model import Cache, Internals, Model
from ._training import History, bar

T = TypeVar("T")
R = TypeVar("R")


def _cluster_threads(client: Any) -> int:
    info = client.scheduler_info()
    threads = sum(int(w.get("nthreads", 1)) for w in info.get("workers", {}).values())
    return max(1, threads)


def batches(items: Sequence[T], client: Any) -> List[List[T]]:
    """``items`` cut into about two batches per cluster thread, in order."""
    count = max(1, min(len(items), 2 * _cluster_threads(client)))
    size = math.ceil(len(items) / count) if items else 1
    return [list(items[i:i + size]) for i in range(0, len(items), size)]


def _run_batch(task: Callable[[T, Any], R], items: Sequence[T], shared: Any) -> List[R]:
    return [task(item, shared) for item in items]


class Runner(Generic[T, R]):
    """Runs ``task(item, shared)`` for every item: in the calling thread (``threads`` 0),
    on a pool of ``threads`` threads (None: the pool's default), or on the Dask cluster
    of ``client``. Results come in the order of the items.

    On threads, ``cost`` (an item's cost, roughly) sends the longest first, so that no
    thread is left with one at the end. With ``settle``, a failure or an interrupt waits
    for the items under way before it is raised (``fit_many`` takes back what they did);
    without, it is raised at once. A task that fails with several under way raises the
    first failure in the order of the items.
    """

    def __init__(self, task: Callable[[T, Any], R], shared: Any, threads: Optional[int],
                 client: Any = None, *, cost: Optional[Callable[[T], float]] = None,
                 settle: bool = False) -> None:
        self.task, self.shared, self.client = task, shared, client
        self.cost, self.settle = cost, settle
        self.pool: Optional[ThreadPoolExecutor] = None
        if client is not None:
            [self.remote] = client.scatter([shared], broadcast=True, hash=False)
        elif threads != 0:
            self.pool = ThreadPoolExecutor(max_workers=threads)

    def run(self, items: Sequence[T], done: Optional[Callable[[], None]] = None) -> List[R]:
        """``task`` over ``items``; ``done()`` after each item done on threads."""
        if self.client is not None:
            futures = self.client.map(functools.partial(_run_batch, self.task),
                                      batches(items, self.client), shared=self.remote,
                                      pure=False)
            return [out for part in self.client.gather(futures) for out in part]
        if self.pool is None:
            return _run_batch(self.task, items, self.shared)
        return self._threaded(self.pool, items, done)

    def _threaded(self, pool: ThreadPoolExecutor, items: Sequence[T],
                  done: Optional[Callable[[], None]]) -> List[R]:
        order: Sequence[int] = range(len(items))
        if self.cost is not None:
            cost = self.cost
            order = sorted(order, key=lambda i: -cost(items[i]))
        futures: Dict[int, Future[R]] = {
            i: pool.submit(self.task, items[i], self.shared) for i in order}
        try:
            for future in as_completed(futures.values()):
                if future.exception() is not None:
                    break
                if done is not None:
                    done()
            # After a failure what has not started never will.
            self._stop(futures.values())
            for i in range(len(items)):  # the first failure in the order of the items
                if futures[i].done() and not futures[i].cancelled():
                    error = futures[i].exception()
                    if error is not None:
                        raise error
            return [futures[i].result() for i in range(len(items))]
        except BaseException:
            # An interrupt or a failed item: what has not started never will.
            self._stop(futures.values())
            raise

    def _stop(self, futures: Iterable[Future[R]]) -> None:
        """Cancel what has not started; with ``settle``, wait for what has."""
        started = [f for f in futures if not f.cancel()]
        if self.settle:
            wait_for(started)

    def close(self) -> None:
        if self.pool is not None:
            self.pool.shutdown(wait=self.settle, cancel_futures=True)
        if self.client is not None:
            self.client.cancel([self.remote])


def fit_many(models: Iterable[Model], X: Any, y: Any, epochs: int = 10, *,
             shuffle: bool = True, seed: Optional[int] = 0, workers: Optional[int] = None,
             progress: bool = False, client: Any = None) -> List[History]:
    """Train several models on the same data in a pool of threads.

    Each model ends exactly as ``model.fit(X, y, epochs, shuffle, seed, progress=False)``
    would leave it: the models share no mutable state, and the module releases the
    interpreter lock while it trains, so they run in parallel. ``workers`` caps the
    threads (the pool's default when None). ``progress`` shows one bar over the models.
    Returns each model's ``History``, in the order of ``models``.

    All or nothing: when any model's training fails (data it refuses, no memory, an
    interrupt) ``fit_many`` raises that error and leaves every model as it was, those
    already trained included; the data are checked for every model before any trains.
    The same holds with ``client``.

    With ``client`` (a ``dask.distributed.Client``) the models train on its cluster
    instead, several per task, and each model takes back all its remote copy learned
    (parameters, ranges, category codes); Adam's moments are not, as with ``save`` and
    ``load``.
    """
    models = list(models)
    for m in models:
        if not isinstance(m, Model):
            raise TypeError(f"fit_many trains tolq.Model objects, not {type(m).__name__}")
    if len({id(m) for m in models}) != len(models):
        raise ValueError("a model appears more than once; it cannot train twice at once")
    if workers is not None:
        check_arg(workers, "workers", 1)
    check_arg(epochs, "epochs", 0)
    # Every model's data are checked here, on either route, before any model trains; a
    # model whose categorical inputs the data decide reads them as the data say.
    cache: Cache = {}
    prepared = [Internals(m).read_training(X, y, cache) for m in models]
    if client is not None:
        return _fit_remote(models, X, y, epochs, shuffle, seed, client)
    return _fit_threads(models, prepared, X, y, epochs, shuffle, seed, workers, progress)


def _fit_threads(models: Sequence[Model], prepared: Sequence[Any], X: Any, y: Any,
                 epochs: int, shuffle: bool, seed: Optional[int], workers: Optional[int],
                 progress: bool) -> List[History]:
    inner = [Internals(m) for m in models]
    starts = [each.checkpoint() for each in inner]
    trained: List[int] = []  # the models whose training ended well, to take back on failure

    def train(k: int, shared: Any) -> History:
        history = inner[k].train(prepared[k], X, y, epochs, shuffle, seed)
        trained.append(k)
        return history

    models_bar = bar(len(models), "models", " models") if progress else None
    runner: Runner[int, History] = Runner(train, None, workers, settle=True)
    try:
        return runner.run(range(len(models)),
                          models_bar.update if models_bar is not None else None)
    except BaseException:
        for k in trained:  # one that failed has rolled itself back
            inner[k].rollback(starts[k])
        raise
    finally:
        runner.close()
        if models_bar is not None:
            models_bar.close()


def _fit_copy(model: Model, data: Tuple[Any, Any], epochs: int, shuffle: bool,
              seed: Optional[int]) -> Tuple[Model, History]:
    return model, model.fit(data[0], data[1], epochs, shuffle, seed, progress=False)


def _fit_remote(models: Sequence[Model], X: Any, y: Any, epochs: int, shuffle: bool,
                seed: Optional[int], client: Any) -> List[History]:
    """Train copies of ``models`` on the cluster; each local model then equals its remote
    copy: parameters, ranges and the mapping of categories to codes. Adam's moments stay
    behind, as with ``save`` and ``load``: the models predict as if trained here, but
    further training starts from fresh moments."""
    task = functools.partial(_fit_copy, epochs=epochs, shuffle=shuffle, seed=seed)
    runner: Runner[Model, Tuple[Model, History]] = Runner(task, (X, y), 0, client)
    try:
        trained = runner.run(models)
    finally:
        runner.close()
    for model, (remote, _) in zip(models, trained):
        Internals(model).take_state(remote)
    return [history for _, history in trained]
