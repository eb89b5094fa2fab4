"""The "tanh" interaction: starting values, unclamped tangent, Adam training, gradients."""
import numpy as np
import pytest

from _graphs import (f32, first_interaction_state, fixed, gradient_check, graph, node, params,
                     query, rand_values, train32)


def test_starting_values_follow_rand():
    w0, w1, bias = ((f32(r) * f32(10)) * f32(2.0 ** -31) - f32(5) for r in rand_values()[:3])
    assert first_interaction_state("tanh") == {"w0": float(w0), "w1": float(w1),
                                               "bias": float(bias)}


@pytest.mark.parametrize("gluamine", [0, 1, 10])
@pytest.mark.parametrize("nsrc, p, x, t", [
    (2, dict(w0=0.3, w1=-0.2, bias=0.1), (0.5, -0.25), 0.75),
    (1, dict(w0=0.7, w1=-0.2, bias=-0.1), (-0.5, 0.25), 0.5),
    (1, dict(w0=3.0, w1=0.0, bias=0.0), (1.0, 0.0), 0.0),      # sum 3: no clamp to 1
    (2, dict(w0=5.0, w1=2.0, bias=5.0), (1.0, 0.5), -1.0),     # tanhf gives exactly 1: dz is 0
])
def test_adam_training_matches_float32_model(gluamine, nsrc, p, x, t):
    n = node("tanh", *(0, 1)[:nsrc], gluamine=gluamine, **p)
    g = graph(fixed("x0"), fixed("x1"), n, fixed("y", 2))
    for samples in (1, 2):
        query(g, [t], x0=[x[0]], x1=[x[1]])
        a, want = train32("tanh", p, x, t, nsrc, gluamine, samples)
        assert (n.activation[0], params(n)) == (a, {k: float(v) for k, v in want.items()})
    if p["bias"] == 5.0:  # saturated: neither the parameters nor the moments moved
        assert params(n) == p


def test_state_attributes():
    n = node("tanh", 0, w0=2, w1=0.1, bias=-2.5)
    assert n.state.__dict__ == {"w0": 2.0, "w1": float(f32(0.1)), "bias": -2.5}
    assert list(n.state.__dict__) == ["w0", "w1", "bias"]
    with pytest.raises(AttributeError, match="^No such attribute 'lr'$"):
        n.state.lr = 1.0
    with pytest.raises(AttributeError, match="^No such attribute 'lr'$"):
        n.state.lr
    with pytest.raises(AttributeError, match="^No such attribute 'bias'$"):
        n.state.bias = np.array([1.0, 2.0])
    assert n.state.bias == -2.5


@pytest.mark.parametrize("sources, want", [
    ((0,), "w: 0.25\nbias: -1.50"),
    ((0, 1), "w0: 0.25\nw1: -0.12\nbias: -1.50"),
])
def test_tooltip(sources, want):
    assert node("tanh", *sources, w0=0.25, w1=-0.125, bias=-1.5)._tooltip == want


def test_tooltip_of_huge_values_is_cut():
    v = float(f32(-1e38))
    full = "w0: %.2f\nw1: %.2f\nbias: %.2f" % (v, v, v)
    assert node("tanh", 0, 1, w0=v, w1=v, bias=v)._tooltip == full[:127]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("nsrc", [1, 2])
def test_gradients_match_finite_differences(nsrc, seed):
    for key, (got, want, tol) in gradient_check("tanh", nsrc, seed).items():
        assert abs(got - want) <= tol, key
