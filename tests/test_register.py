"""The numeric register as input, output and pass-through: ranges, scaling, state, failures."""
import fractions
import math
import re

import numpy as np
import pytest

from builders import (act, bits, cce, da_of, f32, frozen, graph, mse, product_graph, register,
                      scale_in, scale_out, span)

nan = math.nan


def identity_out(x):
    """x -> an output frozen at [-1, 1], whose predictions are x's activations."""
    return graph(x, frozen("y", 0))


def test_fresh_register():
    r = register("col")
    d = r.state.__dict__
    assert list(d) == list(r.state._to_dict()) == ["feature_min", "feature_max", "auto_adapt"]
    assert all(map(math.isnan, span(r))) and d["auto_adapt"] is True
    d["auto_adapt"] = False  # a copy: the parameter stays
    assert r.state.auto_adapt is True and set(d) <= set(dir(r.state))
    assert r._tooltip == "col"


def test_range_widens_and_never_shrinks():
    g = identity_out(register("x"))
    assert list(g._query({"x": np.array([2, 4, 6])})) == [-1.0, 0.0, 1.0]
    assert list(g._query({"x": np.array([3.0, 5.0])})) == [-0.5, 0.5]
    assert span(g[0]) == (2.0, 6.0)
    g._query({"x": np.array([10.0])})
    g._query({"x": np.array([0.5, 1.5])})
    assert span(g[0]) == (0.5, 10.0) and g[0]._errcode == 0


@pytest.mark.parametrize("arr", [
    np.array([5, -3, 7], np.int16),
    np.array([0.1, 0.3, 0.2]),
    np.array([1.5, -2.25, 8.0], ">f8"),
    np.arange(10.0)[::3],
    np.array([True, False, True]),
    np.array([200, 3, 90], np.uint8),
], ids=["int16", "float64", "big-endian", "strided", "bool", "uint8"])
def test_any_numeric_column(arr):
    arr.flags.writeable = False
    before = arr.copy()
    g = identity_out(register("x"))
    out = g._query({"x": arr})
    lo, hi = f32(arr.min()), f32(arr.max())
    assert span(g[0]) == (lo, hi)
    assert bits(out) == bits([scale_out(scale_in(v, lo, hi)[0], -1, 1) for v in arr])
    assert np.array_equal(arr, before)


@pytest.mark.parametrize("lo, hi, x", [
    (2.0, 6.0, 4.0), (0.1, 0.7, 0.3), (-3.5, 1.25, 0.2), (0.0, 1.0, 0.1), (1e-3, 1e3, 7.0),
    (1.0, -1.0, 0.5),                   # no cross-check of the ends
    (0.0, 1.0, 5.0), (0.0, 1.0, -2.0), (-1.0, 1.0, 1.0000001),
])
def test_scaling_in_and_out(lo, hi, x):
    r = frozen("x", lo=lo, hi=hi)
    g = graph(r)                        # input and output at once
    out = g._query({"x": np.array([x])})
    s, clamped = scale_in(x, lo, hi)
    assert bits(act(r)) == bits(s) and bits(out) == bits([scale_out(s, lo, hi)])
    assert out.dtype == np.float32 and r._errcode == clamped


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("length", [1, 2, 9, 64, 65, 300])
def test_range_matches_numpy_bit_for_bit(dtype, length):
    # Short columns have their range read without NumPy's reductions; the bits of both ends
    # must not depend on which way was taken: signed zeros, NaN, infinities, tiny values.
    specials = [0.0, -0.0, nan, math.inf, -math.inf, 1.5, -2.5, 1e300, -1e300, 1e-45, -1e-50]
    gen = np.random.default_rng(length)
    for trial in range(150):
        pick = gen.choice(specials, length) if trial % 2 else gen.normal(size=length)
        g = identity_out(register("x"))
        with np.errstate(all="ignore"):  # 1e300 overflows float32 on purpose
            arr = np.array(pick, dtype)[:: 1 + trial % 3]
            want = (f32(arr.min()), f32(arr.max()))
            try:
                g._query({"x": arr})
            except RuntimeError:
                pass  # non-finite inputs fail the pass, after the bind has widened the range
        assert bits(span(g[0])) == bits(want), arr


def test_frozen_unknown_range_defaults_and_clamps():
    r = register("x", adapt=False)
    g = identity_out(r)
    assert list(g._query({"x": np.array([0.5])})) == [0.5]
    assert span(r) == (-1.0, 1.0) and r._errcode == 0
    assert list(g._query({"x": np.array([3.0, -7.0])})) == [1.0, -1.0]
    assert r._errcode == 1
    g._query({"x": np.array([0.0])})
    assert r._errcode == 1                                   # never cleared


def test_output_range_defaults_then_widens():
    x = frozen("x")
    y = register("y", 0)
    g = graph(x, y)
    assert list(g._query({"x": np.array([0.25, -0.5])})) == [0.25, -0.5]
    assert span(y) == (-1.0, 1.0)
    g._query({"x": np.array([0.0, 0.0])}, np.array([0.0, 10.0]))
    assert span(y) == (-1.0, 10.0)


def test_output_range_from_expected_ends_exactly():
    y = register("y", 0)
    y._loss = "categorical_cross_entropy"
    g = graph(frozen("x"), y)
    g._query({"x": np.array([0.5, 0.5])}, np.array([10.0, 0.0]))
    assert span(y) == (0.0, 10.0)
    assert da_of(g[0]) == cce(-1.0, 0.5) == 1.5           # 0 is exactly -1: negative class
    y._loss = "mean_squared_error"
    g._query({"x": np.array([0.5])}, np.array([10.0]))
    assert da_of(g[0]) == mse(1.0, 0.5) == -1.0             # 10 is exactly 1


def test_frozen_output_gets_defaults_not_expected_range():
    y = register("y", 0, adapt=False)
    g = graph(frozen("x"), y)
    g._query({"x": np.array([0.5])}, np.array([10.0]))
    assert span(y) == (-1.0, 1.0) and y._errcode == 1


def test_pass_through_copies_forward_and_adds_back():
    x = frozen("x")
    p = register("p", 0)
    g = graph(x, p, frozen("y", 1))
    assert list(g._query({"x": np.array([0.75])}, np.array([0.25]))) == [0.75]
    assert act(p) == 0.75 and all(map(math.isnan, span(p)))   # never bound, never scaled
    assert da_of(x) == da_of(p) == mse(0.25, 0.75)


def test_input_in_last_slot_checks_expected_but_passes_nothing():
    x = frozen("x", lo=0.0, hi=1.0)
    g = graph(x)
    assert list(g._query({"x": np.array([0.5])}, np.array([7.0]))) == [0.5]
    assert x._errcode == 1 and da_of(x) == 0.0
    with pytest.raises(RuntimeError, match=r"^Nan found in expected array in register 'x'$"):
        g._query({"x": np.array([0.5])}, np.array([nan]))


# ---- one-point ranges: the point scales to the middle, not to 0/0

def test_constant_column_scales_to_the_middle():
    x = register("x")
    g = graph(x)
    assert list(g._query({"x": np.array([3.0, 3.0, 3.0])})) == [3.0, 3.0, 3.0]
    assert span(x) == (3.0, 3.0) and act(x) == 0.0 and x._errcode == 0
    x.state.auto_adapt = False
    g = identity_out(x)
    assert list(g._query({"x": np.array([3.0, 5.0, 1.0, 3.0])})) == [0.0, 1.0, -1.0, 0.0]
    assert x._errcode == 1


def test_one_point_output_gives_its_point():
    g = graph(frozen("x"), register("y", 0, lo=7.0, hi=7.0))
    assert list(g._query({"x": np.array([0.5, -0.9, 1.0])})) == [7.0, 7.0, 7.0]


def test_one_sample_first_training_query_stays_finite():
    g = product_graph()
    assert list(g._query({"x0": np.array([2.0]), "x1": np.array([5.0])}, np.array([7.0]))) == [7.0]
    for i, (lo, hi) in enumerate([(2, 2), (5, 5)]):
        assert span(g[i]) == (lo, hi)
    assert [(act(g[i]), da_of(g[i]), g[i]._errcode) for i in range(4)] == [(0.0, 0.0, 0)] * 4
    out = g._query({"x0": np.array([2.0, 4.0]), "x1": np.array([5.0, 6.0])}, np.array([7.0, 9.0]))
    assert list(out) == [9.0, 9.0]   # (-1)(-1) = 1 and 1 * 1 = 1, scaled out of [7, 9]


# ---- binding failures

@pytest.mark.parametrize("role", ["input", "expected"])
@pytest.mark.parametrize("bad", [
    np.array(["1", "9"], dtype=object),       # casts, but its maximum is a str
    np.array([2.0, "9"], dtype=object),       # casts, but NumPy cannot order its elements
    np.array(["a", "b"]),
], ids=["numeric-str", "mixed", "str"])
def test_unusable_array_leaves_range_unchanged(role, bad):
    g = graph(register("x0", lo=0.0, hi=3.0), register("target", 0, lo=-2.0, hi=2.0))
    name = {"input": "x0", "expected": "target"}[role]
    X, y = {"x0": np.array([1.0, 2.0])}, np.array([0.0, 1.0])
    if role == "input":
        X["x0"] = bad
    else:
        y = bad
    with pytest.raises((ValueError, TypeError)) as err:
        g._query(X, y)
    if bad.dtype != object:
        assert err.value.args == (f"{role} {name} could not be cast to type of register (float32)",)
    elif isinstance(bad[0], str):
        assert err.type is ValueError and re.search(rf"\b{name}\b", str(err.value))
    else:   # the reduction itself fails: NumPy's own exception comes through
        assert err.type is TypeError
    assert (span(g[0]), span(g[1])) == ((0.0, 3.0), (-2.0, 2.0))


def test_nan_in_bound_array_leaves_ends():
    x = register("x", lo=0.0, hi=2.0)
    fresh = register("z")
    g = graph(x, fresh, register("y", 0))
    with pytest.raises(RuntimeError, match="Nan found in input array in register 'x'"):
        g._query({"x": np.array([1.0, nan, 3.0]), "z": np.array([1.0, 5.0, nan])})
    assert span(x) == (0.0, 2.0) and all(map(math.isnan, span(fresh)))


def test_empty_arrays():
    x, y = register("x"), register("y", 0)
    g = graph(x, y)
    for yarr in (None, np.array([])):
        out = g._query({"x": np.array([])}, yarr)
        assert out.shape == (0,) and out.dtype == np.float32
        assert all(map(math.isnan, span(x))) and span(y) == (-1.0, 1.0)
        assert x.activation.shape == (0,)                    # no pass ran


# ---- state attributes

@pytest.mark.parametrize("value, stored", [
    (2, 2.0), (-0.5, -0.5), (0.1, float(f32(0.1))), (True, 1.0), (np.float64(3.25), 3.25),
    (np.int8(-4), -4.0), (fractions.Fraction(1, 3), float(f32(1 / 3))), (nan, nan),
])
@pytest.mark.parametrize("end", ["feature_min", "feature_max"])
def test_range_ends_accept_numbers(end, value, stored):
    r = register("x")
    setattr(r.state, end, value)
    got = getattr(r.state, end)
    assert type(got) is float and bits(got) == bits(stored)


@pytest.mark.parametrize("name, value", [
    ("feature_min", "1.0"), ("feature_max", None), ("feature_min", [1.0]),
    ("feature_max", 1 + 2j), ("auto_adapt", 1), ("auto_adapt", 0), ("auto_adapt", None),
    ("auto_adapt", np.bool_(False)), ("auto_adapt", "False"), ("scale", 1.0), ("lr", 1.0),
    ("w0", 0.5),
])
def test_refused_values(name, value):
    r = register("x", lo=-3.0, hi=3.0)
    before = r.state._to_dict()
    with pytest.raises(AttributeError, match=rf"^No such attribute '{name}'$"):
        setattr(r.state, name, value)
    assert r.state._to_dict() == before


def test_auto_adapt_reads_as_bool_and_nothing_is_deleted():
    r = register("x", lo=0.1)
    r.state.auto_adapt = False
    assert r.state.auto_adapt is False
    r.state.auto_adapt = True
    assert r.state.auto_adapt is True
    with pytest.raises(AttributeError):
        del r.state.feature_min
    with pytest.raises(AttributeError, match="^No such attribute 'lr'$"):
        _ = r.state.lr
    assert r.state.feature_min == float(f32(0.1))
