"""Fixtures shared by the test files; what they build graphs and models with is builders.py."""
import pytest

import _native


@pytest.fixture(scope="session")
def native(tmp_path_factory):
    """The loss derivatives and the Adam step, built into a small shared object."""
    return _native.load(tmp_path_factory)


@pytest.fixture(scope="session")
def dask_client():
    """A small cluster in this process: the Dask route without the cost of processes."""
    distributed = pytest.importorskip("distributed")
    # Its HTTP server on a free port: 8787, the default, may be another cluster's.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": ":0"}) as cluster, \
            distributed.Client(cluster) as client:
        yield client
