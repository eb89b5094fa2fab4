"""The "sine" interaction: starting value, fixed values, plain steps, attributes, gradients."""
import math

import numpy as np
import pytest

from _graphs import (cosf, f32, first_interaction_state, fixed, gradient_check, graph, node,
                     params, query, rand_values, rate, sinf)


def test_starting_values_follow_rand():
    k = f32((rand_values()[0] % 3 + 1) * 3.141592653589793)
    assert first_interaction_state("sine") == {"x0": 0.0, "k": float(k)}


@pytest.mark.parametrize("sources", [(0,), (0, 1)])
def test_activation_at_k_pi(sources):
    n = node("sine", *sources, k=math.pi, x0=0)
    g = graph(fixed("x"), n, fixed("y", 1))
    query(g, x=[0.5])
    assert n.activation[0] == sinf(f32(0.5) * f32(math.pi)) == pytest.approx(1.0, abs=1e-7)
    out = query(g, x=[0.0])
    assert (n.activation[0], out[0]) == (0.0, 0.0)


@pytest.mark.parametrize("gluamine", [0, 1, 10])
def test_k_moves_twice_as_far_as_x0(gluamine):
    # input 1: the gradient products of x0 and k are equal
    n = node("sine", 0, gluamine=gluamine, k=0.5, x0=0.125)
    query(graph(fixed("x"), n, fixed("y", 1)), [-0.75], x=[1.0])
    k, x0, lr = f32(0.5), f32(0.125), rate("sine", gluamine)
    a = sinf(f32(1) * k + x0)
    da = (a + f32(0.75)) + (a + f32(0.75))
    c = cosf(k * f32(1) + x0)
    want = dict(x0=x0 - (c * da) * lr, k=k - ((f32(1) * da) * c) * (lr + lr))
    assert params(n) == {name: float(v) for name, v in want.items()}
    assert k - want["k"] == pytest.approx(2 * (x0 - want["x0"]), rel=1e-5)


@pytest.mark.parametrize("name", ["K", "phase", "lr"])
def test_unknown_names_are_refused(name):
    n = node("sine", x0=0.25, k=2)
    with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
        setattr(n.state, name, 1.0)
    with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
        getattr(n.state, name)
    assert list(n.state.__dict__.items()) == [("x0", 0.25), ("k", 2.0)]


@pytest.mark.parametrize("bad", ["0.5", None, 1j, np.array([1.0, 2.0])])
def test_non_numbers_are_refused(bad):
    n = node("sine", k=0.5)
    with pytest.raises(AttributeError, match="^No such attribute 'k'$"):
        n.state.k = bad
    with pytest.raises(AttributeError, match="^No such attribute 'zz'$"):
        n.state.zz = bad
    assert n.state.k == 0.5


@pytest.mark.parametrize("sources, x0, k, want", [
    ((0,), 0.1, math.pi, "x0: 0.10\nk: 3.14"),
    ((0, 1), -0.125, 2.0, "x0: -0.12\nk: 2.00"),
])
def test_tooltip(sources, x0, k, want):
    assert node("sine", *sources, x0=x0, k=k)._tooltip == want


def test_tooltip_of_extreme_values_fits():
    v = float(-np.finfo(np.float32).max)
    assert node("sine", 0, x0=v, k=v)._tooltip == "x0: %.2f\nk: %.2f" % (v, v)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("nsrc", [1, 2])
def test_gradients_match_finite_differences(nsrc, seed):
    # the oracle reads source 0 only: a second source neither shapes the output nor learns
    for key, (got, want, tol) in gradient_check("sine", nsrc, seed).items():
        assert abs(got - want) <= tol, key
