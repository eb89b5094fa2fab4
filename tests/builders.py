"""What the tests build graphs and models with, and float32 models of the module's arithmetic."""
import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
from numpy.lib.stride_tricks import as_strided

import _tolq
import tolq

f32 = np.float32
TYPES = ("fixed", "cat", "linear", "tanh", "gaussian", "sine", "multiply")
PARAMS = {"fixed": ("feature_min", "feature_max", "auto_adapt"), "cat": ("categories",),
          "linear": ("w0", "w1", "bias"), "tanh": ("w0", "w1", "bias"),
          "gaussian": ("center0", "center1", "w0", "w1"), "sine": ("x0", "k"), "multiply": ()}
PROPERTIES = ("sources", "_location", "_latticeloc", "state", "type", "_gluamine", "name",
              "_tooltip", "_loss", "_linkdata", "activation", "depth", "_errcode")
LOSS_NAMES = ("mean_absolute_error", "mean_squared_error", "categorical_cross_entropy")


# ---- interactions and graphs of the raw module ------------------------------------------

def node(kind="multiply", *sources, loc=(0, 0, 0), gluamine=0, name="", **params):
    """An interaction reading `sources` in order (a first source of -1 makes a register an
    input), its parameters set by name."""
    x = _tolq.Interaction(kind, loc, gluamine, name)
    for ix, src in enumerate(sources):
        x._set_source(ix, src)
    for key, value in params.items():
        setattr(x.state, key, value)
    return x


def register(name, source=-1, lo=None, hi=None, adapt=True):
    """A "fixed" register; source -1 makes it an input. lo/hi preset the range."""
    r = node("fixed", source, name=name)
    if lo is not None:
        r.state.feature_min = lo
    if hi is not None:
        r.state.feature_max = hi
    r.state.auto_adapt = adapt
    return r


def frozen(name, source=-1, lo=-1.0, hi=1.0):
    """A register whose range never moves; over [-1, 1] values pass unscaled."""
    return register(name, source, lo, hi, adapt=False)


def graph(*items):
    """A graph of the items in their order; None leaves a slot empty."""
    g = _tolq.Graph(len(items))
    for i, x in enumerate(items):
        if x is not None:
            g[i] = x
    return g


def product_graph(**out):
    """x0, x1 -> multiply -> y."""
    return graph(register("x0"), register("x1"), node("multiply", 0, 1, name="m"),
                 register("y", 2, **out))


def columns(*cols):
    """The columns x0, x1, ... as float64 arrays."""
    return {f"x{i}": np.array(c, dtype=float) for i, c in enumerate(cols)}


def query(g, y=None, **x):
    X = {k: np.asarray(v, np.float32).reshape(-1) for k, v in x.items()}
    return g._query(X, None if y is None else np.asarray(y, np.float32).reshape(-1))


def params(x):
    return x.state._to_dict()


def act(x):
    return x.activation[0]


def da_of(x):
    """The record holds `da` right after its one-float `activation`; Python has no property
    for it, so read it through a two-element view over the activation."""
    return as_strided(x.activation, shape=(2,), strides=(4,), writeable=False)[1]


def attached(x):
    """Whether x stands in a graph: only there has it a depth."""
    try:
        return x.depth >= -1
    except RuntimeError as err:
        assert "not in a graph" in str(err), err
        return False


def span(x):
    return x.state.feature_min, x.state.feature_max


class Collides:
    """A dictionary key hashed like the str `name` whose comparison fails: looking `name` up
    in a dictionary holding it raises."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise MemoryError("no memory for the comparison")


def child_env(*first):
    """The environment of a child process that imports the same _tolq and tolq as this one,
    installed or not, after the folders `first`; all else (a sanitizer preload) carries over."""
    paths = [*first, os.path.dirname(_tolq.__file__),
             os.path.dirname(os.path.dirname(tolq.__file__)), os.environ.get("PYTHONPATH")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, paths)))


def python_child(*args, first=(), **kw):
    """This interpreter run with `args` in a child of `child_env`; output captured as text."""
    return subprocess.run([sys.executable, *args], env=child_env(*first), capture_output=True,
                          text=True, **kw)


def at_once(*calls):
    """Runs the calls in threads of their own, released together; raises the first error
    any of them met, once all have ended."""
    start, errors = threading.Barrier(len(calls)), []

    def run(call):
        start.wait()
        try:
            call()
        except BaseException as exc:  # noqa: B902 - raised in the caller's thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(call,)) for call in calls]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def growth(step, tracked=(), warm=200, rounds=10_000):
    """What `rounds` more calls of step(i) leave behind once `warm` calls have filled free
    lists and caches: the change of each tracked object's reference count, the change of
    None's, and the bytes Python's allocators hold in addition."""
    for i in range(warm):
        step(i)
    gc.collect()
    counts, nones = [sys.getrefcount(o) for o in tracked], sys.getrefcount(None)
    tracemalloc.start()
    try:
        for i in range(warm, warm + 100):  # what tracing itself allocates settles first
            step(i)
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        for i in range(warm + 100, warm + 100 + rounds):
            step(i)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in tracked]  # counted alike: no tuple holds o
    return [a - b for a, b in zip(after, counts)], sys.getrefcount(None) - nones, grown


# ---- a Python model of the structural hash and the edge count ---------------------------

def wrap32(v):
    """v as a signed 32-bit int, wrapping like two's-complement arithmetic."""
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= (1 << 31) else v


def lattice_key(loc):
    return wrap32(loc[0] + 100 * loc[1] + 10000 * loc[2])


def model_sources(calls):
    """(sourcecount, sources) after the _set_source calls, by the rule _set_source follows."""
    count, srcs = 0, [0, 0]
    for ix, src in calls:
        if ix >= count and src != -1:
            count = ix + 1
        srcs[ix] = src
    return count, srcs


def model_checksum(size, nodes):
    """nodes: slot -> (type, latticeloc, calls). The structural hash, before the -1 rule."""
    total = 0
    for slot in sorted(nodes):
        type_, loc, calls = nodes[slot]
        total += ord(type_[0])
        count, srcs = model_sources(calls)
        for k in range(min(count, 2)):
            s = srcs[k]
            if s != -1 and s in nodes and 0 <= s < size:
                total += wrap32(lattice_key(nodes[s][1]) * lattice_key(loc))
    return total


def model_edges(nodes):
    edges = 0
    for _type, _loc, calls in nodes.values():
        count, srcs = model_sources(calls)
        edges += sum(1 for k in range(min(count, 2)) if srcs[k] != -1)
    return edges


def build(size, nodes):
    """A graph of `size` slots from nodes: slot -> (type, latticeloc, _set_source calls)."""
    g = _tolq.Graph(size)
    for slot, (type_, loc, calls) in nodes.items():
        x = node(type_, loc=loc)
        for ix, src in calls:
            x._set_source(ix, src)
        g[slot] = x
    return g


# ---- float32 models of the module's arithmetic ------------------------------------------

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _libm_f(name, nargs=1):
    fn = getattr(_libm, name)
    fn.restype, fn.argtypes = ctypes.c_float, [ctypes.c_float] * nargs
    return lambda *args: f32(fn(*(float(a) for a in args)))


# The module's float32 results are those of the C library, so the exact models use it too.
expf, sinf, cosf, tanhf, logf = (_libm_f(n) for n in ("expf", "sinf", "cosf", "tanhf", "logf"))
powf = _libm_f("powf", 2)


def bits(a):
    """The float32 bit patterns of a value or of an array's values (NaN matches NaN)."""
    return np.asarray(a, dtype=np.float32).view(np.uint32).tolist()


def scale_in(x, lo, hi):
    """(scaled value, clamped?) in float32, in the order of operations the module uses."""
    x, lo, hi = f32(x), f32(lo), f32(hi)
    d = x - lo
    s = (d + d) / (hi - lo) - f32(1)
    return (f32(max(min(s, f32(1)), f32(-1))), bool(s > 1 or s < -1))


def scale_out(a, lo, hi):
    return (f32(1) + f32(a)) * (f32(hi) - f32(lo)) * f32(0.5) + f32(lo)


def mse(t, p):
    d = f32(p) - f32(t)
    return d + d


def mae(t, p):
    return f32(-1) if f32(t) >= f32(p) else f32(1)


def cce(t, p):
    return f32(p) + f32(1) if f32(t) == f32(-1) else f32(p) - f32(1)


# The derivative of each loss with respect to the prediction, on the scaled values.
LOSSES = {"mean_absolute_error": mae, "mean_squared_error": mse, "categorical_cross_entropy": cce}
BASE_RATE = {"linear": 0.005, "tanh": 0.005, "gaussian": 1e-4, "sine": 0.01}


def rate(kind, gluamine=0):
    return f32(BASE_RATE[kind] / float(logf(f32(gluamine + 2))))


def adam32(m, n, grad):
    """One Adam step in float32 on the moment pair m (a list, updated) at sample count n."""
    b1, b2, one = f32(0.9), f32(0.999), f32(1)
    grad = f32(grad)
    m[0] = (m[0] * b1) + ((one - b1) * grad)
    m[1] = (b2 * m[1]) + (((one - b2) * grad) * grad)
    m1u, m2u = m
    if n < 20:
        m1u = m[0] / (one - powf(b1, f32(n)))
    if n < 1000:
        m2u = m[1] / (one - powf(b2, f32(n)))
    return f32(float(m1u) / (float(np.sqrt(m2u)) + 1e-6))


# ---- models of the package ------------------------------------------------------------

EXPR = "linear(tanh(sine(multiply(x0, x1)), gaussian(x1)), store)"
EXPRESSIONS = [EXPR, "sine(multiply(x0, x1))", "gaussian(x0, x1)", "linear(tanh(x0, x1), store)",
               "multiply(sine(x0), linear(store))", "tanh(linear(x1))"]


def data(n=600, seed=0):
    """Two numeric columns and a store; y = sin(x0 x1) and an offset per store."""
    rng = np.random.default_rng(seed)
    x0, x1 = rng.uniform(-2, 2, n), rng.uniform(-1, 3, n)
    store = np.array(["north", "south", "east"], dtype=object)[rng.integers(0, 3, n)]
    offset = np.where(store == "north", 0.5, np.where(store == "south", -0.5, 0.0))
    return {"x0": x0, "x1": x1, "store": store}, np.sin(x0 * x1) + offset


def model(expr=EXPR, seed=1, **kw):
    return tolq.Model.from_expression(expr, target="y", categorical=("store",) * ("store" in expr),
                                      seed=seed, **kw)


def trained():
    """The default model after three epochs on `data()`, and the data."""
    m = model()
    X, y = data()
    m.fit(X, y, epochs=3, progress=False)
    return m, X


def rows_of(X, y, rows):
    return [({k: v[i] for k, v in X.items()}, y[i]) for i in rows]
