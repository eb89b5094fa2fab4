"""Small graphs around one function node, float32 and float64 reference models of the nodes."""
import ast
import ctypes
import ctypes.util
import functools
import os
import subprocess
import sys

import numpy as np

import _tolq

f32 = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _libm_f(name, nargs=1):
    fn = getattr(_libm, name)
    fn.restype, fn.argtypes = ctypes.c_float, [ctypes.c_float] * nargs
    return lambda *args: f32(fn(*(float(a) for a in args)))


# The module's float32 results are those of the C library, so the exact models use it too.
expf, sinf, cosf, tanhf, logf = (_libm_f(n) for n in ("expf", "sinf", "cosf", "tanhf", "logf"))
powf = _libm_f("powf", 2)

NAMES = {"linear": ["w0", "w1", "bias"], "tanh": ["w0", "w1", "bias"],
         "gaussian": ["center0", "center1", "w0", "w1"], "sine": ["x0", "k"]}
BASE_RATE = {"linear": 0.005, "tanh": 0.005, "gaussian": 1e-4, "sine": 0.01}


def rate(kind, gluamine=0):
    return f32(BASE_RATE[kind] / float(logf(f32(gluamine + 2))))


def fixed(name, src=-1):
    """A numeric register over [-1, 1]: inputs and targets on that range pass unscaled."""
    r = _tolq.Interaction("fixed", (0, 0, 0), 0, name)
    r._set_source(0, src)
    r.state.auto_adapt = False
    r.state.feature_min, r.state.feature_max = -1.0, 1.0
    return r


def node(kind, *sources, gluamine=0, **params):
    n = _tolq.Interaction(kind, (0, 0, 0), gluamine)
    for ix, src in enumerate(sources):
        n._set_source(ix, src)
    for name, value in params.items():
        setattr(n.state, name, value)
    return n


def graph(*nodes):
    g = _tolq.Graph(len(nodes))
    for i, n in enumerate(nodes):
        g[i] = n
    return g


def query(g, y=None, **x):
    X = {k: np.asarray(v, np.float32).reshape(-1) for k, v in x.items()}
    return g._query(X, None if y is None else np.asarray(y, np.float32).reshape(-1))


def params(n):
    return n.state._to_dict()


def adam32(m, n, grad):
    """One Adam step in float32 on the moment pair m (a list, updated)."""
    b1, b2, one = f32(0.9), f32(0.999), f32(1)
    m[0] = (m[0] * b1) + ((one - b1) * grad)
    m[1] = (b2 * m[1]) + (((one - b2) * grad) * grad)
    m1u, m2u = m
    if n < 20:
        m1u = m[0] / (one - powf(b1, f32(n)))
    if n < 1000:
        m2u = m[1] / (one - powf(b2, f32(n)))
    return f32(float(m1u) / (float(np.sqrt(m2u)) + 1e-6))


def _run(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.dirname(_tolq.__file__), env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, text=True,
                         stdout=subprocess.PIPE).stdout
    return ast.literal_eval(out.strip())


@functools.lru_cache(maxsize=None)
def rand_values(count=4):
    """The C library's rand() sequence under its default seed, from a fresh process."""
    return _run("import ctypes; c = ctypes.CDLL(None); c.srand(1); "
                f"print([c.rand() for _ in range({count})])")


def first_interaction_state(kind):
    """Parameters of the first interaction a fresh process creates."""
    return _run(f"import _tolq; n = _tolq.Interaction({kind!r}, (0, 0, 0)); "
                "print(n.state._to_dict())")


# Float64 forward passes, the oracle of the gradient checks.
def _fwd(kind, p, u):
    if kind == "sine":
        return np.sin(p["k"] * u[0] + p["x0"])
    if kind == "gaussian":
        return np.exp(-sum((a - p[f"center{i}"]) ** 2 / p[f"w{i}"] for i, a in enumerate(u)))
    z = p["bias"] + sum(p[f"w{i}"] * a for i, a in enumerate(u))
    return np.tanh(z) if kind == "tanh" else np.clip(z, -1, 1)


def _chain(kind, nsrc, p, x, t):
    """Loss of x0, x1 -> sine U0 (slot 2), U1 (slot 3) -> node (slot 4) -> output."""
    u = [np.sin(p[2 + i, "k"] * x[i] + p[2 + i, "x0"]) for i in range(2)]
    return (_fwd(kind, {n: p[4, n] for n in NAMES[kind]}, u[:nsrc]) - t) ** 2


def _grid(rng, lo, hi, size=None):
    return np.round(rng.uniform(lo, hi, size) * 1024) / 1024  # passes the registers exactly


def _point(kind, nsrc, rng):
    """A random point away from kinks, the clamp and vanishing gradients."""
    while True:
        up = [dict(k=f32(rng.uniform(0.6, 1.4)), x0=f32(rng.uniform(-0.4, 0.4)))
              for _ in range(2)]
        x, t = _grid(rng, -1, 1, 2), _grid(rng, -1, 1)
        u = [np.sin(float(q["k"]) * xi + float(q["x0"])) for q, xi in zip(up, x)]
        if kind == "gaussian":
            p = {f"center{i}": u[i] + rng.choice([-1, 1]) * rng.uniform(0.1, 0.4)
                 for i in range(2)}
            p.update(w0=rng.uniform(0.1, 0.5), w1=rng.uniform(0.1, 0.5))
        elif kind == "sine":
            p = dict(k=rng.uniform(0.5, 3), x0=rng.uniform(-1, 1))
        else:
            w = 0.8 if kind == "linear" else 1.5
            p = dict(w0=rng.uniform(-w, w), w1=rng.uniform(-w, w), bias=rng.uniform(-0.3, 0.3))
        p = {n: f32(v) for n, v in p.items()}
        pf = {n: float(v) for n, v in p.items()}
        z = pf.get("bias", 0) + sum(pf.get(f"w{i}", 0) * u[i] for i in range(nsrc))
        ok = abs(_fwd(kind, pf, u[:nsrc]) - t) > 0.2 and min(abs(v) for v in u) > 0.1
        if kind in ("linear", "tanh"):
            # opposite signs make a swap of the weight gradients visible in the steps' signs
            ok = ok and abs(z) < 0.9 and (nsrc == 1 or u[0] * u[1] < 0)
        if kind == "sine":
            ok = ok and abs(np.cos(pf["k"] * u[0] + pf["x0"])) > 0.2
        if ok:
            return p, up, x, t


def gradient_check(kind, nsrc, seed):
    """Train one sample through the chain; per parameter (observed, expected, tolerance).

    Gaussian and sine take plain steps, so (old - new) / rate is their gradient; linear and
    tanh take a first Adam step, g / (|g| + 1e-6) times the rate. The upstream sines reveal,
    through their own plain steps, the gradient the node passed to each source.
    """
    rng = np.random.default_rng(seed)
    gluamine = (0, 1, 10)[seed % 3]
    p, up, x, t = _point(kind, nsrc, rng)
    nodes = [fixed("x0"), fixed("x1"), node("sine", 0, **up[0]), node("sine", 1, **up[1]),
             node(kind, *(2, 3)[:nsrc], gluamine=gluamine, **p), fixed("y", 4)]
    before = {(s, n): v for s in (2, 3, 4) for n, v in params(nodes[s]).items()}
    query(graph(*nodes), [t], x0=x[:1], x1=x[1:])
    after = {(s, n): v for s in (2, 3, 4) for n, v in params(nodes[s]).items()}
    out = {}
    for key, old in before.items():
        h, q = 1e-6, dict(before)
        q[key] = old + h
        lp = _chain(kind, nsrc, q, x, t)
        q[key] = old - h
        grad = (lp - _chain(kind, nsrc, q, x, t)) / (2 * h)
        k = kind if key[0] == 4 else "sine"
        lr = float(rate(k, gluamine if key[0] == 4 else 0))
        lr *= {"k": 2, "center0": 4, "center1": 4}.get(key[1], 1)
        rounding = 2 * float(np.spacing(f32(max(abs(old), abs(after[key]))))) / lr
        if k in ("linear", "tanh"):
            out[key] = ((old - after[key]) / lr, grad / (abs(grad) + 1e-6), 1e-4 + rounding)
        else:
            out[key] = ((old - after[key]) / lr, grad, 1e-3 * abs(grad) + rounding)
    return out


def train32(kind, p, x, t, nsrc, gluamine, samples):
    """Float32 model of a fresh linear or tanh node trained `samples` times on one sample."""
    p = {k: f32(v) for k, v in p.items()}
    moments = {k: [f32(0), f32(0)] for k in p}
    lr, a0, a1, t = rate(kind, gluamine), f32(x[0]), f32(x[1]), f32(t)
    for n in range(1, samples + 1):
        z = a0 * p["w0"]
        if nsrc == 2:
            z = z + (a1 * p["w1"])
        a = tanhf(z + p["bias"]) if kind == "tanh" else min(max(p["bias"] + z, f32(-1)), f32(1))
        d = a - t
        if kind == "tanh":
            dz = (f32(1) - (a * a)) * (d + d)
        else:  # a linear node at its clamp passes nothing back
            dz = f32(0) if abs(a) == 1 else d + d
        grads = {"w0": a0 * dz, "w1": a1 * dz if nsrc == 2 else f32(0), "bias": dz}
        for k in ("w0", "w1", "bias"):
            p[k] = p[k] - lr * adam32(moments[k], n, grads[k])
    return a, p
