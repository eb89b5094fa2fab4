"""Benchmark of tolq.search beside pyoperon and gplearn: prints tables, asserts nothing.

Run with `make bench-search` (about two hours; BENCH_SEARCH_QUICK=1 runs one seed and one
formula in three; the settings below run parts of it). Four parts:

1. Ground-truth formulas (bench/formulas.py, ``BENCH``; the search's settings were tried
   on ``DEV`` only): 2,000 rows from each formula's ranges, three seeds, noise-free and
   with Gaussian noise of 1 % of the target's standard deviation added to the training
   rows. Every tool learns from the same 75 % of the rows and is scored by R² against the
   true formula on the other 25 %; "solved" means test R² > 0.999. Every tool runs on
   one thread at its defaults (tolq: ``workers=1``, the default stopping rule).
2. Public data sets (diabetes, cars, Seattle weather; bench/public.py), three random
   splits each: held-out R² of ``search().best`` beside least squares with one-hot
   categoricals, and pyoperon (categoricals one-hot) and gplearn.
3. The search on one and on two threads, interleaved rounds, wall-clock medians.
4. A time budget on a million rows: the seconds a 5-second search takes.

Sizes: tolq counts graph nodes (calls plus inputs, without the output), the peers the
nodes of their expression trees. Other jobs may share the machine: the load average is
printed with the figures.
"""
import os
import platform
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import formulas  # noqa: E402
import public  # noqa: E402

import tolq  # noqa: E402

QUICK = os.environ.get("BENCH_SEARCH_QUICK") == "1"
SEEDS = (0,) if QUICK else (0, 1, 2)
# Parts of a run, for a machine that cannot spare the hour: BENCH_SEARCH_SEEDS=0,
# BENCH_SEARCH_TOOLS=tolq,pyoperon, BENCH_SEARCH_PARTS=ground,public,threads,budget.
if os.environ.get("BENCH_SEARCH_SEEDS"):
    SEEDS = tuple(int(s) for s in os.environ["BENCH_SEARCH_SEEDS"].split(","))
PARTS = os.environ.get("BENCH_SEARCH_PARTS", "ground,public,threads,budget").split(",")
NOISES = (0.0, 0.01)
ROWS = 2000


def r2(y, p):
    return 1.0 - float(np.mean((np.asarray(p, dtype=np.float64) - y) ** 2)) / float(np.var(y))


def matrix(X, levels=None):
    """Columns as a 2-D array for the peers, categoricals one-hot."""
    cols = []
    for k, v in X.items():
        if levels is not None and k in levels:
            cols += [(v == level).astype(float) for level in levels[k]]
        else:
            cols.append(np.asarray(v, dtype=float))
    return np.column_stack(cols)


def run_tolq(Xtr, ytr, Xte, categorical=()):
    result = tolq.search(Xtr, ytr, categorical=categorical, random_state=0, workers=1)
    best = result.best
    return best.predict(Xte), len(best.graph) - 1, f"{best._target_text} = {best.expression}"


def run_pyoperon(Xtr, ytr, Xte, categorical=()):
    from pyoperon.sklearn import SymbolicRegressor
    levels = {k: sorted(set(Xtr[k].tolist())) for k in categorical}
    est = SymbolicRegressor(random_state=0).fit(matrix(Xtr, levels), ytr)
    text = est.get_model_string(est.model_, 3) if hasattr(est, "get_model_string") else ""
    return est.predict(matrix(Xte, levels)), est.model_.Length, text


def run_gplearn(Xtr, ytr, Xte, categorical=()):
    from gplearn.genetic import SymbolicRegressor
    levels = {k: sorted(set(Xtr[k].tolist())) for k in categorical}
    est = SymbolicRegressor(random_state=0).fit(matrix(Xtr, levels), ytr)
    return est.predict(matrix(Xte, levels)), len(est._program.program), str(est._program)


TOOLS = [("tolq", run_tolq), ("pyoperon", run_pyoperon), ("gplearn", run_gplearn)]


def installed(name):
    if name == "tolq":
        return True
    try:
        __import__(name)
    except ImportError:
        print(f"{name} is not installed: its rows are skipped")
        return False
    return True


def timed(run, *args):
    start = time.perf_counter()
    try:
        pred, size, text = run(*args)
    except Exception as exc:  # a peer that fails is reported, not fatal
        return None, time.perf_counter() - start, None, f"failed: {type(exc).__name__}: {exc}"
    return pred, time.perf_counter() - start, size, text


def ground_truth(tools):
    print("\n== ground-truth formulas: test R2 against the formula, seconds, size")
    rows = {(name, noise): [] for name, _ in tools for noise in NOISES}
    entries = formulas.BENCH[::3] if QUICK else formulas.BENCH
    for entry in entries:
        for noise in NOISES:
            for seed in SEEDS:
                cols, y, truth = formulas.make(entry, ROWS, noise, seed)
                test = np.random.default_rng(seed + 100).permutation(ROWS)
                te, tr = test[:ROWS // 4], test[ROWS // 4:]
                Xtr = {k: v[tr] for k, v in cols.items()}
                Xte = {k: v[te] for k, v in cols.items()}
                for name, run in tools:
                    pred, seconds, size, text = timed(run, Xtr, y[tr], Xte)
                    score = r2(truth[te], pred) if pred is not None else float("nan")
                    rows[name, noise].append((score, seconds, size))
                    shown = (text or "")[:60]
                    print(f"{entry[0]:22} {noise:4.2f} {seed} {name:9} {score:9.6f} "
                          f"{seconds:7.2f} {size if size is not None else '?':>4}  {shown}",
                          flush=True)
    print(f"\n{'tool':9} {'noise':>5} {'solved':>8} {'median R2':>10} {'median s':>9} "
          f"{'median size':>11}")
    for (name, noise), found in rows.items():
        if not found:
            continue
        scores = [s for s, _, _ in found]
        sizes = [z for _, _, z in found if z is not None]
        solved = sum(s > 0.999 for s in scores)
        print(f"{name:9} {noise:5.2f} {solved:3d}/{len(found):<3d} "
              f"{statistics.median(scores):10.6f} {statistics.median(t for _, t, _ in found):9.2f} "
              f"{statistics.median(sizes) if sizes else float('nan'):11.1f}")


def ols(Xtr, ytr, Xte, categorical):
    levels = {k: sorted(set(Xtr[k].tolist()))[1:] for k in categorical}
    design = lambda X: np.column_stack([np.ones(len(next(iter(X.values())))),  # noqa: E731
                                        matrix(X, levels)])
    coef, *_ = np.linalg.lstsq(design(Xtr), ytr, rcond=None)
    return design(Xte) @ coef


def public_data(tools):
    print("\n== public data sets: held-out R2 (seconds)")
    gaps = {name: [] for name, _ in tools}
    for title, load in public.SETS:
        X, y, categorical = load()
        for split in SEEDS:
            Xtr, ytr, Xte, yte = public.split(X, y, split)
            base = r2(yte, ols(Xtr, ytr, Xte, categorical))
            line = f"{title:16} split {split}: OLS {base:.4f}"
            for name, run in tools:
                pred, seconds, size, text = timed(run, Xtr, ytr, Xte, categorical)
                if pred is None:
                    line += f"  {name} {text}"
                    continue
                score = r2(yte, pred)
                gaps[name].append(score - base)
                line += f"  {name} {score:.4f} ({seconds:.1f} s, size {size})"
            print(line, flush=True)
    for name, found in gaps.items():
        if found:
            print(f"{name:9} held-out R2 minus OLS: median {statistics.median(found):+.4f}, "
                  f"worst {min(found):+.4f}")


def threads():
    from sklearn.datasets import make_friedman1
    X, y = make_friedman1(n_samples=2000, noise=1.0, random_state=0)
    cols = {f"x{i}": X[:1500, i] for i in range(X.shape[1])}
    times = {1: [], 2: []}
    for _ in range(3 if QUICK else 7):
        for workers in (1, 2):
            start = time.perf_counter()
            tolq.search(cols, y[:1500], generations=8, random_state=0, workers=workers)
            times[workers].append(time.perf_counter() - start)
    one, two = statistics.median(times[1]), statistics.median(times[2])
    print(f"\n== threads: tolq.search on friedman1, 8 generations, wall seconds, medians of "
          f"interleaved rounds\n1 thread {one:.2f} s, 2 threads {two:.2f} s: {one / two:.2f}x "
          f"(load average now {os.getloadavg()[0]:.2f})")


def budget():
    rng = np.random.default_rng(0)
    n = 1_000_000
    X = {f"x{i}": rng.uniform(-2, 2, n) for i in range(4)}
    y = np.sin(X["x0"] * X["x1"]) + 0.5 * X["x2"] + rng.normal(0, 0.1, n)
    start = time.perf_counter()
    result = tolq.search(X, y, time_budget=5.0, random_state=0)
    print(f"\n== a 5-second budget on {n:,} rows took {time.perf_counter() - start:.2f} s "
          f"({result.generations} generations, {result.scored} candidates); best: "
          f"{result.best._target_text} = {result.best.expression}")


def main():
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, load "
          f"average at start {os.getloadavg()[0]:.2f}")
    try:
        import sklearn  # noqa: F401
        import vega_datasets  # noqa: F401
    except ImportError:
        print("scikit-learn and vega_datasets are needed: pip install '.[bench-search]'")
        return 1
    wanted = os.environ.get("BENCH_SEARCH_TOOLS", ",".join(name for name, _ in TOOLS))
    tools = [(name, run) for name, run in TOOLS if name in wanted.split(",") and installed(name)]
    print(f"seeds {SEEDS}, tools {[name for name, _ in tools]}, parts {PARTS}")
    for part, run in (("ground", lambda: ground_truth(tools)),
                      ("public", lambda: public_data(tools)), ("threads", threads),
                      ("budget", budget)):
        if part in PARTS:
            run()
    print(f"\nload average at the end {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
