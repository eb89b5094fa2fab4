"""The "gaussian" interaction: starting values, fixed values, width floor, attributes, gradients."""
import math

import numpy as np
import pytest

from _graphs import (expf, f32, first_interaction_state, fixed, gradient_check, graph, node,
                     params, query, rand_values, rate)


def test_starting_values_follow_rand():
    r = rand_values()
    centers = [float(f32(v) * f32(2.0 ** -31)) for v in r[:2]]
    widths = [float(f32(float(f32(v)) * 0.5 / 2147483647)) for v in r[2:4]]
    assert first_interaction_state("gaussian") == dict(
        center0=centers[0], center1=centers[1], w0=widths[0], w1=widths[1])


@pytest.mark.parametrize("gluamine", [0, 1, 10])
def test_first_step_from_e_to_the_minus_one(gluamine):
    # center 0.5, width 0.25, input 1: equal center and width gradients
    n = node("gaussian", 0, gluamine=gluamine, center0=0.5, w0=0.25, center1=0.3, w1=0.2)
    g = graph(fixed("x"), n, fixed("y", 1))
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
def test_width_floor(nsrc, p, want):
    n = node("gaussian", *(0, 0)[:nsrc], **p)
    query(graph(fixed("x"), n, fixed("y", 1)), [-1.0], x=[0.5])
    got = params(n)
    assert {k: got[k] for k in want} == {k: float(f32(v)) for k, v in want.items()}


@pytest.mark.parametrize("name", ["centre0", "width", "W0", "lr"])
def test_unknown_names_are_refused(name):
    n = node("gaussian", center0=0.25, center1=-0.5, w0=2, w1=0.1)
    with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
        setattr(n.state, name, 0.3)
    with pytest.raises(AttributeError, match=f"^No such attribute '{name}'$"):
        getattr(n.state, name)
    assert list(n.state.__dict__.items()) == [
        ("center0", 0.25), ("center1", -0.5), ("w0", 2.0), ("w1", float(f32(0.1)))]


@pytest.mark.parametrize("bad", ["0.5", None, 1j, np.array([1.0, 2.0])])
def test_non_numbers_are_refused(bad):
    n = node("gaussian", w1=0.5)
    with pytest.raises(AttributeError, match="^No such attribute 'w1'$"):
        n.state.w1 = bad
    with pytest.raises(AttributeError, match="^No such attribute 'zz'$"):
        n.state.zz = bad
    assert n.state.w1 == 0.5


@pytest.mark.parametrize("sources, want", [
    ((0,), "center: 0.50\nwidth: 0.25"),
    ((0, 1), "center: 0.50, -0.75\nwidth: 0.25, 1.00"),
])
def test_tooltip(sources, want):
    n = node("gaussian", *sources, center0=0.5, center1=-0.75, w0=0.25, w1=1.0)
    assert n._tooltip == want


def test_tooltip_of_huge_values_is_cut():
    v = float(f32(3e38))
    full = "center: %.2f, %.2f\nwidth: %.2f, %.2f" % (v, -v, v, v)
    n = node("gaussian", 0, 1, center0=v, center1=-v, w0=v, w1=v)
    assert n._tooltip == full[:127]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("nsrc", [1, 2])
def test_gradients_match_finite_differences(nsrc, seed):
    for key, (got, want, tol) in gradient_check("gaussian", nsrc, seed).items():
        assert abs(got - want) <= tol, key
