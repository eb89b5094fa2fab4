"""The Adam step, called directly and compared bit for bit with a float32 model."""
import math

import numpy as np
import pytest

from _native import Adam
from builders import adam32, bits, f32


def run(lib, grads, start=1):
    """Steps of one parameter over consecutive sample counts, beside the model's."""
    state, moments = Adam(0.0, 0.0), [f32(0), f32(0)]
    for n, g in enumerate(grads, start):
        step = lib.shim_adam_step(state, n, g)
        want = adam32(moments, n, g)
        assert bits([step, state.m1, state.m2]) == bits([want, *moments]), n
        yield step, state


@pytest.mark.parametrize("grad, m1, m2, step", [
    (0.5, 0.050000012, 0.00024999678, 0.999998),
    (-2.0, -0.20000005, 0.0039999485, -0.9999995),
    # The epsilon is added after the root: under it the step would be about 1e-3.
    (1e-6, 1.0000002e-07, 9.999871e-16, 0.5),
])
def test_first_step_from_fresh_moments(native, grad, m1, m2, step):
    got, state = next(run(native, [grad]))
    assert got == pytest.approx(step, rel=1e-6)
    assert (state.m1, state.m2) == (pytest.approx(m1, rel=1e-6), pytest.approx(m2, rel=1e-6))


def test_zero_gradient_never_moves(native):
    for step, state in run(native, [0.0] * 25):
        assert (step, state.m1, state.m2) == (0.0, 0.0, 0.0)


def test_complements_are_float32(native):
    _, state = next(run(native, [1.0]))
    assert state.m1 == 0.10000002384185791015625
    assert state.m2 == 0.000999987125396728515625


def test_constant_gradient_through_the_three_regimes(native):
    steps = [s for s, _ in run(native, [0.5] * 1001)]
    assert steps[:19] == pytest.approx([1.0] * 19, abs=1e-5)
    assert steps[19] == pytest.approx(0.878, abs=1e-3)        # sample 20: m1 uncorrected
    assert steps[19] < steps[500] < steps[998] < 1.0           # climbing back towards 1
    assert steps[999] == pytest.approx(1.2576, abs=1e-4)       # sample 1000: no correction


# Tiny gradients leave the root far below the epsilon, where a float32 epsilon would show.
@pytest.mark.parametrize("scale", [3.0, 1e-8])
def test_random_gradients_bit_exact(native, scale):
    grads = np.random.default_rng(7).normal(0.0, scale, 1100).astype(np.float32)
    assert len(list(run(native, grads))) == 1100


def test_momentum_after_gradients_stop(native):
    gen = run(native, [0.8, -0.3, 1.5] + [0.0] * 5)
    *_, (_, state) = [next(gen) for _ in range(3)]
    m1, m2 = state.m1, state.m2
    for step, state in gen:
        m1, m2 = f32(m1) * f32(0.9), f32(0.999) * f32(m2)
        assert (state.m1, state.m2) == (m1, m2)
        assert step > 0


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_nonfinite_gradient_poisons_moments(native, bad):
    state = Adam(0.0, 0.0)
    native.shim_adam_step(state, 1, bad)
    for n in range(2, 6):
        assert math.isnan(native.shim_adam_step(state, n, 0.5))
        assert not math.isfinite(state.m1) and not math.isfinite(state.m2)
