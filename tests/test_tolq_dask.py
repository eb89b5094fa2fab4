"""The Dask route of fit_many and search, on a cluster in this process."""
import numpy as np
import pytest

import tolq
from test_tolq_model import EXPRESSIONS, bits, data, model


def test_calls_on_the_same_data_one_after_the_other(dask_client):
    # Each call scatters the data and lets them go at its end: the next call on the same
    # data must get data of its own, not the ones being let go.
    X, y = data(300)
    runs = [tolq.fit_many([model(e, seed=i) for i, e in enumerate(EXPRESSIONS[:2])], X, y,
                          epochs=1, client=dask_client) for _ in range(3)]
    assert runs[0] == runs[1] == runs[2]
    numeric = {"x0": X["x0"], "x1": X["x1"]}
    fronts = [[bits(m.predict(numeric)) for m in
               tolq.search(numeric, y, generations=1, client=dask_client).front]
              for _ in range(3)]
    assert fronts[0] == fronts[1] == fronts[2]
