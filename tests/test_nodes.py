"""The function nodes: starting values, forward values, training steps against float32 models,
gradients against finite differences, parameters by name, tooltips."""
import ast
import functools
import math

import numpy as np
import pytest

from builders import (PARAMS, adam32, cosf, expf, f32, frozen, graph, node, params, python_child,
                      query, rate, sinf, tanhf)


def in_a_fresh_process(code):
    return ast.literal_eval(python_child("-c", code, check=True).stdout.strip())


@functools.lru_cache(maxsize=None)
def rand_values(count=4):
    """The C library's rand() sequence under its default seed."""
    return in_a_fresh_process("import ctypes; c = ctypes.CDLL(None); c.srand(1); "
                              f"print([c.rand() for _ in range({count})])")


def unit(r):
    """rand()'s value scaled by 2^-31, in float32."""
    return f32(f32(r) * f32(2.0 ** -31))


STARTS = {
    "linear": lambda r: {"w0": unit(r[0]) - f32(0.5), "w1": unit(r[1]) - f32(0.5), "bias": 0.0},
    "tanh": lambda r: dict(zip(["w0", "w1", "bias"],
                               ((f32(v) * f32(10)) * f32(2.0 ** -31) - f32(5) for v in r[:3]))),
    "gaussian": lambda r: {"center0": unit(r[0]), "center1": unit(r[1]),
                           "w0": f32(float(f32(r[2])) * 0.5 / 2147483647),
                           "w1": f32(float(f32(r[3])) * 0.5 / 2147483647)},
    "sine": lambda r: {"x0": 0.0, "k": f32((r[0] % 3 + 1) * 3.141592653589793)},
}


@pytest.mark.parametrize("kind", STARTS)
def test_starting_values_follow_rand(kind):
    first = in_a_fresh_process(f"import _tolq; n = _tolq.Interaction({kind!r}, (0, 0, 0)); "
                               "print(n.state._to_dict())")
    assert first == {k: float(v) for k, v in STARTS[kind](rand_values()).items()}


# ---- forward values and single steps, by hand

@pytest.mark.parametrize("w0, bias, x, want", [
    (0.5, 0.5, 1.0, 1.0), (0.5, -0.5, -1.0, -1.0), (1.5, 0.0, 1.0, 1.0), (7.0, 0.0, -1.0, -1.0),
    (0.25, 0.125, 0.5, 0.25), (math.nan, 0.0, 0.5, math.nan)])
def test_linear_clamps_the_sum(w0, bias, x, want):
    n = node("linear", 0, w0=w0, w1=5.0, bias=bias)  # w1 takes no part with one source
    g = graph(frozen("x"), n, frozen("y", 1))  # kept: a node out of its graph has no activation
    query(g, x=[x])
    np.testing.assert_array_equal(n.activation, [want])


@pytest.mark.parametrize("sources", [(0,), (0, 1)])
def test_sine_at_k_pi(sources):
    n = node("sine", *sources, k=math.pi, x0=0)
    g = graph(frozen("x"), n, frozen("y", 1))
    query(g, x=[0.5])
    assert n.activation[0] == sinf(f32(0.5) * f32(math.pi)) == pytest.approx(1.0, abs=1e-7)
    out = query(g, x=[0.0])
    assert (n.activation[0], out[0]) == (0.0, 0.0)


@pytest.mark.parametrize("gluamine", [0, 1, 10])
def test_sine_k_moves_twice_as_far_as_x0(gluamine):
    # input 1: the gradient products of x0 and k are equal
    n = node("sine", 0, gluamine=gluamine, k=0.5, x0=0.125)
    query(graph(frozen("x"), n, frozen("y", 1)), [-0.75], x=[1.0])
    k, x0, lr = f32(0.5), f32(0.125), rate("sine", gluamine)
    a = sinf(f32(1) * k + x0)
    da = (a + f32(0.75)) + (a + f32(0.75))
    c = cosf(k * f32(1) + x0)
    want = dict(x0=x0 - (c * da) * lr, k=k - ((f32(1) * da) * c) * (lr + lr))
    assert params(n) == {name: float(v) for name, v in want.items()}
    assert k - want["k"] == pytest.approx(2 * (x0 - want["x0"]), rel=1e-5)


@pytest.mark.parametrize("gluamine", [0, 1, 10])
def test_gaussian_first_step_from_e_to_the_minus_one(gluamine):
    # center 0.5, width 0.25, input 1: equal center and width gradients
    n = node("gaussian", 0, gluamine=gluamine, center0=0.5, w0=0.25, center1=0.3, w1=0.2)
    g = graph(frozen("x"), n, frozen("y", 1))
    query(g, [-1.0], x=[1.0])
    a, lr = expf(f32(-1)), rate("gaussian", gluamine)
    assert n.activation[0] == a == pytest.approx(math.exp(-1), rel=1e-7)
    da = (a + f32(1)) + (a + f32(1))
    dc = (f32(0.5) * ((da + da) * a)) / f32(0.25)
    dw = ((da * a) * (f32(-0.5) * f32(-0.5))) / (f32(0.25) * f32(0.25))
    want = dict(center0=f32(0.5) - (lr * f32(4)) * dc, center1=f32(0.3), w0=f32(0.25) - lr * dw,
                w1=f32(0.2))
    assert params(n) == {k: float(v) for k, v in want.items()}
    assert 0.5 - want["center0"] == pytest.approx(4 * (0.25 - want["w0"]), rel=1e-4)


@pytest.mark.parametrize("nsrc, p, want", [
    (2, dict(center0=0.47, w0=1e-3, center1=0.53, w1=1e-3), dict(w0=1e-4, w1=1e-4)),
    (1, dict(center0=0.47, w0=1e-3, center1=0.3, w1=-0.5), dict(w0=1e-4, center1=0.3, w1=1e-4)),
    (1, dict(center0=0.47, w0=1e-3, center1=0.3, w1=0.2), dict(w0=1e-4, center1=0.3, w1=0.2)),
    (1, dict(center0=0.47, w0=0.3, center1=-2.0, w1=0.0), dict(center1=-2.0, w1=1e-4)),
])
def test_gaussian_width_floor(nsrc, p, want):
    n = node("gaussian", *(0, 0)[:nsrc], **p)
    query(graph(frozen("x"), n, frozen("y", 1)), [-1.0], x=[0.5])
    got = params(n)
    assert {k: got[k] for k in want} == {k: float(f32(v)) for k, v in want.items()}


# ---- Adam training of linear and tanh against a float32 model

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


@pytest.mark.parametrize("gluamine, lr", [(0, 0.0072135), (1, 0.0045512), (10, 0.0020121)])
@pytest.mark.parametrize("kind, nsrc, p, x, t", [
    ("linear", 2, dict(w0=0.3, w1=-0.2, bias=0.1), (0.5, -0.25), 0.75),
    ("linear", 1, dict(w0=0.3, w1=-0.2, bias=0.1), (0.5, -0.25), -0.5),
    ("linear", 1, dict(w0=1.5, w1=0.0, bias=0.0), (1.0, 0.0), 0.0),    # clamped: gradient stops
    ("linear", 2, dict(w0=0.5, w1=0.5, bias=0.0), (-1.0, -1.0), 0.5),  # a sum of exactly -1
    ("tanh", 2, dict(w0=0.3, w1=-0.2, bias=0.1), (0.5, -0.25), 0.75),
    ("tanh", 1, dict(w0=0.7, w1=-0.2, bias=-0.1), (-0.5, 0.25), 0.5),
    ("tanh", 1, dict(w0=3.0, w1=0.0, bias=0.0), (1.0, 0.0), 0.0),      # sum 3: no clamp to 1
    ("tanh", 2, dict(w0=5.0, w1=2.0, bias=5.0), (1.0, 0.5), -1.0),     # tanhf gives exactly 1
])
def test_adam_training_matches_float32_model(kind, gluamine, lr, nsrc, p, x, t):
    n = node(kind, *(0, 1)[:nsrc], gluamine=gluamine, **p)
    g = graph(frozen("x0"), frozen("x1"), n, frozen("y", 2))
    for samples in (1, 2):  # the graph's sample count drives the bias correction
        query(g, [t], x0=[x[0]], x1=[x[1]])
        a, want = train32(kind, p, x, t, nsrc, gluamine, samples)
        assert (n.activation[0], params(n)) == (a, {k: float(v) for k, v in want.items()})
        if abs(a) == 1:  # at the clamp, or saturated: no gradient, nothing moves
            assert params(n) == {k: float(f32(v)) for k, v in p.items()}
        elif samples == 1:  # a fresh step is the rate times the gradient's sign, less 1e-6/|g|
            assert abs(params(n)["bias"] - p["bias"]) == pytest.approx(lr, rel=1e-4)


# ---- gradients against finite differences in float64

def forward64(kind, p, u):
    if kind == "sine":
        return np.sin(p["k"] * u[0] + p["x0"])
    if kind == "gaussian":
        return np.exp(-sum((a - p[f"center{i}"]) ** 2 / p[f"w{i}"] for i, a in enumerate(u)))
    z = p["bias"] + sum(p[f"w{i}"] * a for i, a in enumerate(u))
    return np.tanh(z) if kind == "tanh" else np.clip(z, -1, 1)


def chain_loss(kind, nsrc, p, x, t):
    """Loss of x0, x1 -> sine U0 (slot 2), U1 (slot 3) -> node (slot 4) -> output."""
    u = [np.sin(p[2 + i, "k"] * x[i] + p[2 + i, "x0"]) for i in range(2)]
    return (forward64(kind, {n: p[4, n] for n in PARAMS[kind]}, u[:nsrc]) - t) ** 2


def on_grid(rng, lo, hi, size=None):
    return np.round(rng.uniform(lo, hi, size) * 1024) / 1024  # passes the registers exactly


def away_from_kinks(kind, nsrc, rng):
    """A random point away from kinks, the clamp and vanishing gradients."""
    while True:
        up = [dict(k=f32(rng.uniform(0.6, 1.4)), x0=f32(rng.uniform(-0.4, 0.4)))
              for _ in range(2)]
        x, t = on_grid(rng, -1, 1, 2), on_grid(rng, -1, 1)
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
        ok = abs(forward64(kind, pf, u[:nsrc]) - t) > 0.2 and min(abs(v) for v in u) > 0.1
        if kind in ("linear", "tanh"):
            # opposite signs make a swap of the weight gradients visible in the steps' signs
            ok = ok and abs(z) < 0.9 and (nsrc == 1 or u[0] * u[1] < 0)
        if kind == "sine":
            ok = ok and abs(np.cos(pf["k"] * u[0] + pf["x0"])) > 0.2
        if ok:
            return p, up, x, t


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("nsrc", [1, 2])
@pytest.mark.parametrize("kind", ["linear", "tanh", "gaussian", "sine"])
def test_gradients_match_finite_differences(kind, nsrc, seed):
    """One sample trained through the chain. Gaussian and sine take plain steps, so
    (old - new) / rate is their gradient; linear and tanh take a first Adam step,
    g / (|g| + 1e-6) times the rate. The upstream sines reveal, through their own plain
    steps, the gradient the node passed to each source (a sine reads source 0 only: a
    second source neither shapes its output nor learns)."""
    rng = np.random.default_rng(seed)
    gluamine = (0, 1, 10)[seed % 3]
    p, up, x, t = away_from_kinks(kind, nsrc, rng)
    nodes = [frozen("x0"), frozen("x1"), node("sine", 0, **up[0]), node("sine", 1, **up[1]),
             node(kind, *(2, 3)[:nsrc], gluamine=gluamine, **p), frozen("y", 4)]
    before = {(s, n): v for s in (2, 3, 4) for n, v in params(nodes[s]).items()}
    query(graph(*nodes), [t], x0=x[:1], x1=x[1:])
    after = {(s, n): v for s in (2, 3, 4) for n, v in params(nodes[s]).items()}
    for key, old in before.items():
        h, q = 1e-6, dict(before)
        q[key] = old + h
        lp = chain_loss(kind, nsrc, q, x, t)
        q[key] = old - h
        grad = (lp - chain_loss(kind, nsrc, q, x, t)) / (2 * h)
        k = kind if key[0] == 4 else "sine"
        lr = float(rate(k, gluamine if key[0] == 4 else 0))
        lr *= {"k": 2, "center0": 4, "center1": 4}.get(key[1], 1)
        rounding = 2 * float(np.spacing(f32(max(abs(old), abs(after[key]))))) / lr
        got = (old - after[key]) / lr
        if k in ("linear", "tanh"):
            assert abs(got - grad / (abs(grad) + 1e-6)) <= 1e-4 + rounding, key
        else:
            assert abs(got - grad) <= 1e-3 * abs(grad) + rounding, key


# ---- parameters by name

STATES = {  # kind, sources, parameters given -> what the state holds, in its order
    "linear": ((), dict(w0=1, w1=0.1, bias=-2.5), [("w0", 1.0), ("w1", float(f32(0.1))),
                                                    ("bias", -2.5)]),
    "tanh": ((0,), dict(w0=2, w1=0.1, bias=-2.5), [("w0", 2.0), ("w1", float(f32(0.1))),
                                                   ("bias", -2.5)]),
    "gaussian": ((), dict(center0=0.25, center1=-0.5, w0=2, w1=0.1),
                 [("center0", 0.25), ("center1", -0.5), ("w0", 2.0), ("w1", float(f32(0.1)))]),
    "sine": ((), dict(x0=0.25, k=2), [("x0", 0.25), ("k", 2.0)]),
}


@pytest.mark.parametrize("kind", STATES)
def test_state_holds_the_parameters_in_order(kind):
    sources, given, held = STATES[kind]
    n = node(kind, *sources, **given)
    assert list(n.state.__dict__.items()) == held
    assert [(k, getattr(n.state, k)) for k, _ in held] == held


@pytest.mark.parametrize("kind, name", [
    ("linear", "lr"), ("linear", "W0"), ("linear", "w2"), ("linear", "bias "), ("tanh", "lr"),
    ("gaussian", "centre0"), ("gaussian", "width"), ("gaussian", "W0"), ("gaussian", "lr"),
    ("sine", "K"), ("sine", "phase"), ("sine", "lr"),
    # a parameter given what is no number, and a name no node has
    ("linear", "w0"), ("tanh", "bias"), ("gaussian", "w1"), ("sine", "k"),
    ("linear", "zz"), ("tanh", "zz"), ("gaussian", "zz"), ("sine", "zz"),
])
def test_refused_names_and_values(kind, name):
    sources, given, held = STATES[kind]
    n = node(kind, *sources, **given)
    values = ["0.5", None, 1j, np.array([1.0, 2.0])] + [1.0] * (name not in PARAMS[kind])
    for value in values:
        with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
            setattr(n.state, name, value)
    if name not in PARAMS[kind]:
        with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
            getattr(n.state, name)
    assert list(n.state.__dict__.items()) == held


LINEAR_TIP = dict(w0=0.25, w1=-0.125, bias=-1.5)
GAUSSIAN_TIP = dict(center0=0.5, center1=-0.75, w0=0.25, w1=1.0)


@pytest.mark.parametrize("kind, sources, p, want", [
    ("linear", (0,), LINEAR_TIP, "w: 0.25\nbias: -1.50"),
    ("linear", (0, 1), LINEAR_TIP, "w0: 0.25\nw1: -0.12\nbias: -1.50"),
    ("linear", (), LINEAR_TIP, "w0: 0.25\nw1: -0.12\nbias: -1.50"),
    ("tanh", (0,), LINEAR_TIP, "w: 0.25\nbias: -1.50"),
    ("tanh", (0, 1), LINEAR_TIP, "w0: 0.25\nw1: -0.12\nbias: -1.50"),
    ("gaussian", (0,), GAUSSIAN_TIP, "center: 0.50\nwidth: 0.25"),
    ("gaussian", (0, 1), GAUSSIAN_TIP, "center: 0.50, -0.75\nwidth: 0.25, 1.00"),
    ("sine", (0,), dict(x0=0.1, k=math.pi), "x0: 0.10\nk: 3.14"),
    ("sine", (0, 1), dict(x0=-0.125, k=2.0), "x0: -0.12\nk: 2.00"),
])
def test_tooltip(kind, sources, p, want):
    assert node(kind, *sources, **p)._tooltip == want


V, W, MAX = float(f32(1e38)), float(f32(3e38)), float(np.finfo(np.float32).max)


@pytest.mark.parametrize("kind, sources, p, full, cut", [
    ("linear", (0, 1), dict(w0=V, w1=-V, bias=V), "w0: %.2f\nw1: %.2f\nbias: %.2f" % (V, -V, V),
     True),
    ("tanh", (0, 1), dict(w0=-V, w1=-V, bias=-V), "w0: %.2f\nw1: %.2f\nbias: %.2f" % (-V, -V, -V),
     True),
    ("gaussian", (0, 1), dict(center0=W, center1=-W, w0=W, w1=W),
     "center: %.2f, %.2f\nwidth: %.2f, %.2f" % (W, -W, W, W), True),
    ("sine", (0,), dict(x0=-MAX, k=-MAX), "x0: %.2f\nk: %.2f" % (-MAX, -MAX), False),
])
def test_tooltip_of_huge_values_is_cut_to_127_bytes(kind, sources, p, full, cut):
    assert (len(full) > 127) == cut
    assert node(kind, *sources, **p)._tooltip == full[:127]
