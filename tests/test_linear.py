"""The "linear" interaction: starting values, clamp, Adam training, attributes, gradients."""
import math

import numpy as np
import pytest

from _graphs import (f32, first_interaction_state, fixed, gradient_check, graph, node, params,
                     query, rand_values, train32)


def test_starting_values_follow_rand():
    w0, w1 = (f32(f32(r) * f32(2.0 ** -31)) - f32(0.5) for r in rand_values()[:2])
    assert first_interaction_state("linear") == {"w0": float(w0), "w1": float(w1), "bias": 0.0}


@pytest.mark.parametrize("w0, bias, x, want", [
    (0.5, 0.5, 1.0, 1.0), (0.5, -0.5, -1.0, -1.0), (1.5, 0.0, 1.0, 1.0), (7.0, 0.0, -1.0, -1.0),
    (0.25, 0.125, 0.5, 0.25), (math.nan, 0.0, 0.5, math.nan)])
def test_forward_clamps_the_sum(w0, bias, x, want):
    n = node("linear", 0, w0=w0, w1=5.0, bias=bias)  # w1 takes no part with one source
    g = graph(fixed("x"), n, fixed("y", 1))
    query(g, x=[x])
    np.testing.assert_array_equal(n.activation, [want])


@pytest.mark.parametrize("gluamine, lr", [(0, 0.0072135), (1, 0.0045512), (10, 0.0020121)])
@pytest.mark.parametrize("nsrc, p, x, t", [
    (2, dict(w0=0.3, w1=-0.2, bias=0.1), (0.5, -0.25), 0.75),
    (1, dict(w0=0.3, w1=-0.2, bias=0.1), (0.5, -0.25), -0.5),
    (1, dict(w0=1.5, w1=0.0, bias=0.0), (1.0, 0.0), 0.0),      # clamped: gradient stops
    (2, dict(w0=0.5, w1=0.5, bias=0.0), (-1.0, -1.0), 0.5),    # a sum of exactly -1
])
def test_adam_training_matches_float32_model(gluamine, lr, nsrc, p, x, t):
    n = node("linear", *(0, 1)[:nsrc], gluamine=gluamine, **p)
    g = graph(fixed("x0"), fixed("x1"), n, fixed("y", 2))
    for samples in (1, 2):  # the graph's sample count drives the bias correction
        query(g, [t], x0=[x[0]], x1=[x[1]])
        a, want = train32("linear", p, x, t, nsrc, gluamine, samples)
        assert (n.activation[0], params(n)) == (a, {k: float(v) for k, v in want.items()})
        if samples == 1 and abs(a) == 1:  # at the clamp: no gradient, nothing moves
            assert params(n) == {k: float(f32(v)) for k, v in p.items()}
        elif samples == 1:  # a fresh step is the rate times the gradient's sign, less 1e-6/|g|
            assert abs(params(n)["bias"] - p["bias"]) == pytest.approx(lr, rel=1e-4)


def test_state_attributes():
    n = node("linear", w0=1, w1=0.1, bias=-2.5)
    assert list(n.state.__dict__) == ["w0", "w1", "bias"]
    assert (n.state.w0, n.state.w1, n.state.bias) == (1.0, float(f32(0.1)), -2.5)


@pytest.mark.parametrize("name, value", [
    ("lr", 1.0), ("W0", 1.0), ("w2", 1.0), ("bias ", 1.0),
    ("w0", "0.5"), ("w0", None), ("w0", 1j), ("w0", np.array([1.0, 2.0]))])
def test_refused_assignments(name, value):
    n = node("linear", w0=0.5)
    with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
        setattr(n.state, name, value)
    assert n.state.w0 == 0.5
    if name != "w0":
        with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
            getattr(n.state, name)


@pytest.mark.parametrize("sources, want", [
    ((0,), "w: 0.25\nbias: -1.50"),
    ((0, 1), "w0: 0.25\nw1: -0.12\nbias: -1.50"),
    ((), "w0: 0.25\nw1: -0.12\nbias: -1.50"),
])
def test_tooltip(sources, want):
    assert node("linear", *sources, w0=0.25, w1=-0.125, bias=-1.5)._tooltip == want


def test_tooltip_of_huge_values_is_cut():
    v = float(f32(1e38))
    full = "w0: %.2f\nw1: %.2f\nbias: %.2f" % (v, -v, v)
    assert len(full) > 127
    assert node("linear", 0, 1, w0=v, w1=-v, bias=v)._tooltip == full[:127]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("nsrc", [1, 2])
def test_gradients_match_finite_differences(nsrc, seed):
    for key, (got, want, tol) in gradient_check("linear", nsrc, seed).items():
        assert abs(got - want) <= tol, key
