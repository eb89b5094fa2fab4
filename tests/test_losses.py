"""Loss derivatives: called directly, chosen through `_loss`, delivered by a training query."""
import math

import numpy as np
import pytest

from builders import (LOSS_NAMES, LOSSES, act, bits, da_of, f32, frozen, graph, mse, register,
                      scale_in)

nan = math.nan


@pytest.mark.parametrize("name, y_true, y_pred, want", [
    ("mean_absolute_error", 0.5, 0.5, -1.0),
    ("mean_absolute_error", 0.5, 0.6, 1.0),
    ("mean_absolute_error", 0.6, 0.5, -1.0),
    ("mean_absolute_error", nan, 0.0, 1.0),
    ("mean_absolute_error", 0.0, nan, 1.0),
    ("mean_squared_error", 0.25, 1.0, 1.5),
    ("mean_squared_error", 0.3, 0.3, 0.0),
    ("mean_squared_error", 0.1, 0.7, (f32(0.7) - f32(0.1)) * f32(2)),
    ("categorical_cross_entropy", -1.0, 0.2, f32(0.2) + f32(1)),
    ("categorical_cross_entropy", -0.999, 0.2, f32(0.2) - f32(1)),
    ("categorical_cross_entropy", nan, 0.2, f32(0.2) - f32(1)),
    ("categorical_cross_entropy", 1.0, 1.0, 0.0),
])
def test_derivative(native, name, y_true, y_pred, want):
    assert bits(getattr(native, "shim_" + name)(y_true, y_pred)) == bits(want)


def train_one(out, x, e, out_range=(0.0, 4.0)):
    """x (input, range [-1, 1]) -> out (range out_range), trained on one sample; returns the
    graph and the gradient the output handed back to x."""
    g = graph(frozen("x"), out)
    out.state.feature_min, out.state.feature_max = out_range
    out.state.auto_adapt = False
    g._query({"x": np.array([x])}, np.array([e]))
    return g, da_of(g[0])


def expected_grad(loss, x, e, out_range=(0.0, 4.0)):
    pred, _ = scale_in(x, -1.0, 1.0)
    t, _ = scale_in(e, *out_range)
    return LOSSES[loss](t, pred)


@pytest.mark.parametrize("loss", LOSS_NAMES)
@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
# a tie, the lowest expected value, one clamped above the range, one in between
@pytest.mark.parametrize("x, e", [(0.5, 3.0), (-0.3, 0.0), (0.9, 9.0), (0.25, 2.5)])
def test_selected_loss_reaches_the_source(loss, as_bytes, x, e):
    out = register("y", 0)
    name = loss.encode() if as_bytes else loss
    out._loss = name
    assert out._loss is name
    _, got = train_one(out, x, e)
    assert bits(got) == bits(expected_grad(loss, x, e))
    assert out._errcode == (e > 4.0)


def test_default_is_mean_squared_error():
    assert register("y")._loss is None
    _, got = train_one(register("y", 0), 0.5, 1.0)
    assert bits(got) == bits(expected_grad("mean_squared_error", 0.5, 1.0))


@pytest.mark.parametrize("bad", [
    "Mean_absolute_error", "mean_absolute_error ", " mean_squared_error", "mean_squared",
    "mse", "", b"MEAN_SQUARED_ERROR", b"categorical", 1, None, 2.5, ["mean_squared_error"],
])
def test_refused_name_keeps_previous_loss(bad):
    out = register("y", 0)
    out._loss = "mean_absolute_error"
    with pytest.raises(ValueError, match=r"^Invalid loss function provided$"):
        out._loss = bad
    assert out._loss == "mean_absolute_error"
    _, got = train_one(out, 0.5, 1.0)
    assert bits(got) == bits(expected_grad("mean_absolute_error", 0.5, 1.0))


def test_prediction_query_hands_back_nothing():
    out = frozen("y", 0, lo=0.0, hi=4.0)
    g = graph(frozen("x"), out)
    g._query({"x": np.array([0.5])}, np.array([1.0]))
    assert da_of(g[0]) == mse(-0.5, 0.5)
    g._query({"x": np.array([0.5])})
    assert (da_of(g[0]), act(g[1])) == (0.0, f32(0.5))
