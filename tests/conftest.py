"""Shared helpers: a Python model of the structural hash and edge count, small graphs."""
import pytest

import _tolq


def wrap32(v):
    """v as a signed 32-bit int, wrapping like two's-complement arithmetic."""
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= (1 << 31) else v


def lattice_key(loc):
    return wrap32(loc[0] + 100 * loc[1] + 10000 * loc[2])


def make(type_="multiply", loc=(0, 0, 0), *calls, name=""):
    """An interaction with the given _set_source calls applied in order."""
    x = _tolq.Interaction(type_, loc, 0, name)
    for ix, src in calls:
        x._set_source(ix, src)
    return x


def model_sources(calls):
    """(sourcecount, sources) after the _set_source calls, by the rule _set_source follows."""
    count, srcs = 0, [0, 0]
    for ix, src in calls:
        if ix >= count and src != -1:
            count = ix + 1
        srcs[ix] = src
    return count, srcs


def model_checksum(size, nodes):
    """nodes: slot -> (type, latticeloc, calls). The structural hash, before the -1 rule."""
    total = 0
    for slot in sorted(nodes):
        type_, loc, calls = nodes[slot]
        total += ord(type_[0])
        count, srcs = model_sources(calls)
        for k in range(min(count, 2)):
            s = srcs[k]
            if s != -1 and s in nodes and 0 <= s < size:
                total += wrap32(lattice_key(nodes[s][1]) * lattice_key(loc))
    return total


def model_edges(nodes):
    edges = 0
    for _type, _loc, calls in nodes.values():
        count, srcs = model_sources(calls)
        edges += sum(1 for k in range(min(count, 2)) if srcs[k] != -1)
    return edges


def build(size, nodes):
    g = _tolq.Graph(size)
    for slot, (type_, loc, calls) in nodes.items():
        g[slot] = make(type_, loc, *calls)
    return g


@pytest.fixture
def diamond():
    """Slots 0 and 1 are inputs, slot 2 reads (0, 1), slot 3 reads (2, 0)."""
    g = _tolq.Graph(4)
    g[0] = make("multiply", (0, 0, 0), (0, -1))
    g[1] = make("multiply", (0, 0, 0), (0, -1))
    g[2] = make("multiply", (0, 0, 0), (0, 0), (1, 1))
    g[3] = make("multiply", (0, 0, 0), (0, 2), (1, 0))
    return g


class Collides:
    """A dictionary key hashed like the str `name` whose comparison fails: looking `name` up
    in a dictionary holding it raises."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise MemoryError("no memory for the comparison")


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
