"""Small graphs of numeric registers and multiply nodes, and float32 models of their arithmetic."""
import numpy as np
from numpy.lib.stride_tricks import as_strided

import _tolq

f32 = np.float32


def register(name, source=-1, lo=None, hi=None, adapt=True):
    """A "fixed" register; source -1 makes it an input. lo/hi preset the range."""
    r = _tolq.Interaction("fixed", (0, 0, 0), 0, name)
    r._set_source(0, source)
    if lo is not None:
        r.state.feature_min = lo
    if hi is not None:
        r.state.feature_max = hi
    r.state.auto_adapt = adapt
    return r


def multiply(a, b, name="m"):
    m = _tolq.Interaction("multiply", (0, 0, 0), 0, name)
    m._set_source(0, a)
    m._set_source(1, b)
    return m


def graph(*items):
    g = _tolq.Graph(len(items))
    for i, x in enumerate(items):
        g[i] = x
    return g


def product_graph(**out):
    """x0, x1 -> multiply -> y."""
    return graph(register("x0"), register("x1"), multiply(0, 1), register("y", 2, **out))


def act(x):
    return x.activation[0]


def da_of(x):
    """The record holds `da` right after its one-float `activation`; Python has no property
    for it, so read it through a two-element view over the activation."""
    return as_strided(x.activation, shape=(2,), strides=(4,), writeable=False)[1]


def rng(x):
    return x.state.feature_min, x.state.feature_max


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


LOSSES = {"mean_absolute_error": mae, "mean_squared_error": mse, "categorical_cross_entropy": cce}
