"""Allocation failures, one point at a time: every operation either succeeds with the
result of a clean run or raises (MemoryError, or a clean error of its own), its objects
stay usable (a retry gives the clean result), the module's failure paths leak nothing,
and nothing crashes. Each case runs in a child process, which sweeps the failure points
of one operation in turn."""
import ast
import json

import pytest

from _fuzz import LARGE, report
from builders import python_child

# The child: `setup()` makes fresh objects, `op(objs)` is the operation swept, `look(objs, r)`
# the text compared with a clean run. Point k fails the k-th allocation of `op` (or, in
# the persistent sweep, every allocation from the k-th on).
CHILD = r'''
import sys, os, pickle, tempfile
import numpy as np
import _testcapi
import _tolq
import tolq

def fixed(name, src=-1, lo=-1.0, hi=1.0):
    r = _tolq.Interaction("fixed", (1, 0, 0), 0, name)
    r._set_source(0, src)
    r.state._from_dict({"feature_min": lo, "feature_max": hi, "auto_adapt": True})
    return r

def node(kind, *sources, **params):
    n = _tolq.Interaction(kind, (len(sources) + 2, 1, 0), 1)
    for ix, s in enumerate(sources):
        n._set_source(ix, s)
    n.state._from_dict(params)
    return n

def chain():
    """Every type in one graph: x0, x1, c -> ... -> y."""
    items = [fixed("x0"), fixed("x1"), node("cat"), node("multiply", 0, 1),
             node("linear", 3, 2, w0=0.5, w1=-0.25, bias=0.1),
             node("tanh", 4, w0=0.7, w1=0.2, bias=0.0),
             node("gaussian", 5, 0, center0=0.1, center1=-0.2, w0=0.5, w1=0.4),
             node("sine", 6, x0=0.3, k=1.1), fixed("y", 7, -2.0, 2.0)]
    items[2]._set_source(0, -1)
    g = _tolq.Graph(len(items))
    for i, x in enumerate(items):
        g[i] = x
    return g

def data(n, categories=5):
    rng = np.random.default_rng(1)
    X = {"x0": rng.uniform(-1, 1, n), "x1": rng.uniform(-1, 1, n).astype(np.float32),
         "": np.array(["c%d" % (i % categories) for i in range(n)], dtype=object)}
    return X, rng.uniform(-1, 1, n)

def params(g):
    out = []  # a loop, not a comprehension: see `leaked_blocks`
    for i in range(len(g)):
        out.append(g[i].state._to_dict())
    return out

def model():
    m = tolq.Model("linear(sine(multiply(x0, x1)), c)", categorical=["c"], seed=3)
    return m

def model_data(n=40):
    rng = np.random.default_rng(2)
    return ({"x0": rng.uniform(-1, 1, n), "x1": rng.uniform(-1, 1, n),
             "c": np.array(["a", "b", "c", "d"] * (n // 4), dtype=object)}, rng.uniform(-1, 1, n))

FOLDER = tempfile.mkdtemp()

CASE

def numpy_lost_it(err):
    """NumPy's ufuncs can lose the MemoryError of a failed allocation, and the interpreter
    then reports a SystemError in NumPy's frame (or names the ufunc)."""
    tb = err.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    where = tb.tb_frame.f_code.co_filename if tb is not None else ""
    return isinstance(err, SystemError) and (
        str(err).startswith("<built-in method reduce of numpy.ufunc")
        or os.sep + "numpy" + os.sep in where)

def fail_at(k, persistent):
    objs = setup()
    _testcapi.set_nomemory(k, 0 if persistent else k + 1)
    try:
        op(objs)
    except BaseException:
        pass
    finally:
        _testcapi.remove_mem_hooks()

def leaked_blocks(first, last, stride, persistent):
    """Memory blocks one more round of every failure gains, once caches are warm; None
    when the interpreter does not count them (PYTHONMALLOC=malloc). The interpreter and
    NumPy leak on some failures of their own (a closure cell, a reduction's keywords),
    so the raw cases' operations make neither."""
    import gc
    counts = []
    for _ in range(3):
        for k in range(first, last, stride):
            fail_at(k, persistent)
        gc.collect()
        counts.append(sys.getallocatedblocks())
    return counts[2] - counts[1] if counts[2] else None

def main(first, last, stride, persistent):
    clean = look(setup_clean := setup(), op(setup_clean))
    # A case with `kept` compares what a failed operation leaves with what it was given
    # (training cannot be retried to the same bits: Adam's moments are not rolled back).
    before = kept(setup()) if "kept" in globals() else None
    out = {"points": 0, "raised": {}, "silent": [], "unusable": [], "foreign": []}
    quiet = 0
    k = first
    while k < last and quiet < 40:
        objs = setup()
        sys.stderr.write("%d\n" % k)
        result = err = None
        _testcapi.set_nomemory(k, 0 if persistent else k + 1)
        try:
            result = op(objs)
        except BaseException as e:
            err = e
        finally:
            _testcapi.remove_mem_hooks()
        out["points"] += 1
        if err is None:
            quiet += 1
            try:
                same = look(objs, result) == clean
            except Exception:  # a wrong object may not even be usable
                same = False
            if not same:
                out["silent"].append(k)
        else:
            quiet = 0
            name = type(err).__name__
            if not isinstance(err, MemoryError) and not numpy_lost_it(err) \
                    and not any(text in str(err) for text in CLEAN_ERRORS):
                out["foreign"].append("%d %s: %s" % (k, name, err))
            out["raised"][name] = out["raised"].get(name, 0) + 1
            try:
                again = kept(objs) if before is not None else look(objs, op(objs))
            except Exception as e:
                again = "raised %r" % e
            if again != (before if before is not None else clean):
                out["unusable"].append(k)
        k += stride
    if CHECK_LEAKS:
        out["leaked"] = leaked_blocks(first, k, stride, persistent)
    print(repr(out))

main(int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1")
'''

CASES = {
    "create each type": '''
def setup(): return None
def op(_):
    return [_tolq.Interaction(k, (1, 2, 3), 4, "n") for k in
            ("fixed", "cat", "linear", "tanh", "gaussian", "sine", "multiply")] + [_tolq.Graph(30)]
def look(_, xs):
    return repr([(x.type, x.name, x._latticeloc, sorted(x.state._to_dict()))
                 for x in xs[:-1]] + [len(xs[-1])])
''',
    "place and wire": '''
def setup():
    return _tolq.Graph(9), [_tolq.Interaction(k, (i, 1, 0)) for i, k in
                            enumerate(["fixed", "cat", "linear", "tanh", "sine"] * 2)]
def op(objs):
    g, xs = objs
    for i in range(9):
        g[i] = xs[i]
        xs[i]._set_source(0, i - 1)
    g[8] = xs[9]
    del g[0]
    return None
def look(objs, _):
    g = objs[0]
    return repr((hash(g), g.edge_count, [g[i] for i in range(9)], [x.sources for x in objs[1]]))
''',
    "train": '''
def setup(): return chain(), data(40)
def op(objs):
    g, (X, y) = objs
    return g._query(X, y)
def look(objs, r): return repr((r.tobytes(), params(objs[0])))
''',
    "predict": '''
def setup(): return chain(), data(40)
def op(objs):
    g, (X, y) = objs
    return g._query(X)
def look(objs, r): return repr((r.tobytes(), params(objs[0])))
''',
    "bind many categories": '''
def setup():
    g = chain()
    for i in (0, 1, 8):  # ranges fixed: no NumPy reduction, see `leaked_blocks`
        g[i].state.auto_adapt = False
    return g, data(600, categories=400)
def op(objs):
    g, (X, y) = objs
    return g._query(X, y)
def look(objs, r): return repr((r.tobytes(), params(objs[0])))
''',
    "to_dict": '''
def setup():
    g = chain()
    g._query(*data(20))
    return g
def op(g): return params(g)
def look(g, r): return repr(r)
''',
    "from_dict": '''
SOURCE = chain()
SOURCE._query(*data(20))
STATES = params(SOURCE)
def setup(): return chain()
def op(g):
    for i, d in enumerate(STATES):
        g[i].state._from_dict(d)
def look(g, _): return repr(params(g))
''',
    "model fit": '''
def setup(): return model(), model_data()
def op(objs):
    m, (X, y) = objs
    return m.fit(X, y, epochs=1, shuffle=False, progress=False)
def look(objs, r): return repr((r, objs[0].to_dict()))
def kept(objs): return repr(objs[0].to_dict())
''',
    "model predict": '''
def setup():
    m, (X, y) = model(), model_data()
    m.fit(X, y, epochs=1, progress=False)
    return m, X
def op(objs): return objs[0].predict(objs[1])
def look(objs, r): return repr(r.tobytes())
''',
    "model save": '''
def setup():
    m, (X, y) = model(), model_data()
    m.fit(X, y, epochs=1, progress=False)
    path = os.path.join(FOLDER, "m.json")
    with open(path, "w") as f:
        f.write("old")
    return m, path
def op(objs): objs[0].save(objs[1])
def look(objs, _):
    with open(objs[1]) as f:
        return f.read()
''',
    "model load": '''
M = model()
M.fit(*model_data(), epochs=1, progress=False)
PATH = os.path.join(FOLDER, "m.json")
M.save(PATH)
def setup(): return None
def op(_): return tolq.Model.load(PATH)
def look(_, m): return repr(m.to_dict())
''',
    "model pickle": '''
def setup():
    m = model()
    m.fit(*model_data(), epochs=1, progress=False)
    return m
def op(m): return pickle.loads(pickle.dumps(m))
def look(m, r): return repr((r.to_dict(), r.predict(model_data()[0]).tobytes()))
''',
}

# Errors an operation may give besides MemoryError (and NumPy's lost ones, above), by
# their messages:
# - the interpreter reports a lock it cannot allocate as RuntimeError, and pickle a failed
#   import of the restoring function as PicklingError;
# - the state proxy and `_from_dict` reword every failure of a type's setattr, and the
#   package reports `_from_dict`'s as a refused model.
QUERY = ("can't allocate",)
MODEL = QUERY + ("No such attribute",)
CLEAN_ERRORS = {"model load": ("can't allocate",),
                "model pickle": MODEL + ("Can't pickle",)}
CLEAN_ERRORS.update({case: QUERY for case in ("train", "predict", "bind many categories")})
CLEAN_ERRORS.update({case: MODEL for case in ("model fit", "model predict", "model save")})


def sweep(case, first, last, persistent, stride=1):
    code = CHILD.replace("\nCASE\n", CASES[case]).replace(
        "CLEAN_ERRORS", repr(CLEAN_ERRORS.get(case, ("\0",)))).replace(
        "CHECK_LEAKS", repr(not case.startswith("model")))
    proc = python_child("-c", code, str(first), str(last), str(stride),
                        "1" if persistent else "0", timeout=3600 if LARGE else 300)
    tail = proc.stderr.strip().splitlines()[-15:]
    assert proc.returncode == 0, f"{case}: the child died ({proc.returncode})\n" + "\n".join(tail)
    return ast.literal_eval(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("case", CASES)
def test_allocation_failures(case):
    """The suite sweeps single failures (of the package's operations every 7th point);
    `make fuzz` sweeps every point, and the raw module's also with persistent failures."""
    # The package's operations make hundreds of allocations: the suite tries every 7th.
    # They are not swept with persistent failures: when every allocation fails, the
    # interpreter itself can loop for ever unwinding a `finally` of pure Python code.
    package = case.startswith("model")
    modes = [(False, 1)] + [(True, 1)] * (not package) if LARGE else [(False, 7 if package else 1)]
    for persistent, stride in modes:
        out = sweep(case, 0, 10**6, persistent, stride)
        if LARGE:
            report(f"allocation failures, {case}{' (persistent)' if persistent else ''}: "
                   f"{out['points']} points, raised {json.dumps(out['raised'])}, "
                   f"silent {len(out['silent'])}, unusable {len(out['unusable'])}, "
                   f"blocks leaked {out.get('leaked')}")
        assert out["points"] > 0 and out["raised"], out
        assert out["foreign"] == [], out["foreign"]
        assert out["silent"] == [], f"wrong result without an error at points {out['silent']}"
        assert out["unusable"] == [], f"retry differs from a clean run after {out['unusable']}"
        # One block is the measurement's own; a leak on any failure path adds at least one.
        assert out.get("leaked") is None or out["leaked"] <= 1, out["leaked"]


def test_child_reports_a_wrong_result():
    """The sweep itself: an operation that hides a failure is caught as silent."""
    CASES["hides"] = '''
def setup(): return None
def op(_):
    try:
        return [str(i) for i in range(50)]
    except MemoryError:
        return []
def look(_, r): return repr(r)
'''
    try:
        out = sweep("hides", 0, 30, False)
    finally:
        del CASES["hides"]
    assert out["silent"] and not out["foreign"]

