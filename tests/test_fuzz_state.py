"""Random programs against the raw module: whatever a caller does, no crash, only the
documented exception types, and no graph or interaction left marked busy afterwards."""
import sys
import time

import numpy as np
import pytest
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule

import _tolq
from _fuzz import LARGE, OPS, report, run_machine
from builders import LOSS_NAMES, PARAMS, PROPERTIES, TYPES

NAMES = ["x", "y", "z", "c", "k", ""]
ANY_PARAMETER = ["zz", *(p for names in PARAMS.values() for p in names)]  # "zz": no type's


class HookError(Exception):
    """Raised by the callers' hooks below; it must pass through or be reworded, never lost."""


class Number:
    """A value converted through __float__ / __index__, as user classes are."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return float(self.v)

    def __index__(self):
        return int(self.v)


class Refusing:
    """Every conversion and the hash raise."""

    def __float__(self):
        raise HookError("float")

    def __index__(self):
        raise HookError("index")

    def __hash__(self):
        raise HookError("hash")


class SubArray(np.ndarray):
    pass


class SubGraph(_tolq.Graph):
    pass


# What a caller may see: the documented errors, the interpreter's own argument errors,
# ReferenceError from a proxy whose interaction is gone, and the hooks' own exceptions.
ALLOWED = (ValueError, RuntimeError, IndexError, AttributeError, TypeError, OverflowError,
           ReferenceError, HookError)

ints32 = st.integers(-2**31, 2**31 - 1)
any_int = st.one_of(st.integers(-3, 12), ints32, st.integers(-2**70, 2**70))
floats = st.one_of(st.floats(-2, 2), st.floats(), st.sampled_from([0.0, -0.0, 1e300, -1e-45]))
values = st.one_of(floats, any_int, st.booleans(), st.none(), st.text(max_size=3),
                   st.builds(Number, floats), st.builds(Refusing),
                   floats.map(np.float32), st.just(np.zeros(2)))
keys = st.one_of(st.integers(-300, 300), st.text(max_size=2), st.none(), st.floats(),
                 st.tuples(st.integers(0, 3)), st.builds(Refusing), st.just([1]))
categories = st.one_of(
    st.lists(st.tuples(keys, values), max_size=6),
    st.lists(st.one_of(st.tuples(keys, floats), st.lists(keys, max_size=3), keys), max_size=4),
    st.tuples(st.tuples(keys, floats)), st.dictionaries(st.text(max_size=2), floats))
# Names beyond the 126-byte field are ASCII only: a longer non-ASCII name is cut inside a
# character (a known fault, mended separately), which reading `name` then reports.
names = st.one_of(st.sampled_from(NAMES), st.text(max_size=20),
                  st.text("ab", min_size=120, max_size=200))
latticelocs = st.one_of(st.tuples(ints32, ints32, ints32), st.tuples(any_int, any_int, any_int),
                        st.tuples(st.builds(Number, st.integers(-5, 5)), st.builds(Refusing),
                                  st.just(0)),
                        st.lists(st.integers(0, 3), max_size=4), st.tuples(st.integers()))
DTYPES = ["f4", "f8", "f2", ">f4", ">f8", "i1", "i4", "i8", ">i8", "u1", "u8", "?", "c8",
          "O", "U3"]


def make_array(rng, n, dtype, layout, special):
    """A 1-D column of n values (or another shape, by `layout`) of one dtype."""
    v = rng.uniform(-3, 3, 2 * n)
    if special == "nan" and n:
        v[rng.integers(0, 2 * n)] = np.nan
    elif special == "inf" and n:
        v[rng.integers(0, 2 * n)] = -np.inf
    elif special == "few":
        v = rng.integers(-2, 3, 2 * n).astype(float)
    if dtype == "O":
        pool = [1, 2.5, "a", "b", None, (1, 2), -1, True, float("nan")]
        if special == "unhashable":
            pool.append([0])
        a = np.empty(2 * n, dtype=object)
        a[:] = [pool[i] for i in rng.integers(0, len(pool), 2 * n)]
    elif dtype == "U3":
        a = np.array([("%.1f" % x) if special != "text" else "ab" for x in v], dtype="U3")
    else:
        with np.errstate(all="ignore"):
            a = v.astype(dtype)
    if layout == "strided":
        return a[::2]
    if layout == "reversed":
        return a[n:][::-1]
    if layout == "2d":
        return a[:n].reshape(n, 1)
    if layout == "0d":
        return np.zeros((), dtype=a.dtype)
    if layout == "sub":
        return a[:n].view(SubArray)
    return np.ascontiguousarray(a[:n])


columns = st.tuples(st.sampled_from(DTYPES),
                    st.sampled_from(["plain"] * 4 + ["strided", "reversed", "2d", "0d", "sub"]),
                    st.sampled_from([None] * 5 + ["nan", "inf", "few", "unhashable", "text"]))


class Operations(RuleBasedStateMachine):
    """Pools of interactions, graphs, state proxies and activation views that rules pick from."""

    steps = 0  # rules run
    calls = 0  # calls into the module

    def __init__(self):
        super().__init__()
        self.xs = []       # interactions, some never initialised
        self.graphs = []
        self.stale = []    # (proxy, whether its interaction is gone)
        self.views = []    # activation arrays, which keep their interaction alive

    def step(self):
        Operations.steps += 1

    @staticmethod
    def count(calls):
        Operations.calls += calls

    def pick(self, data, pool):
        return pool[data.draw(st.integers(0, len(pool) - 1))]

    # -- creation ------------------------------------------------------------------------
    @precondition(lambda self: len(self.xs) < 20)
    @rule(kind=st.one_of(st.sampled_from(TYPES), st.sampled_from(["", "nosuch", "Linear"])),
          loc=latticelocs, gluamine=st.one_of(st.integers(-3, 12), any_int), name=names,
          raw=st.integers(0, 15))
    def create(self, kind, loc, gluamine, name, raw):
        self.step()
        self.count(1)
        if raw == 0:  # never initialised: every use must refuse, nothing may crash
            self.xs.append(_tolq.Interaction.__new__(_tolq.Interaction))
            return
        try:
            self.xs.append(_tolq.Interaction(kind, loc, gluamine, name))
        except ALLOWED:
            pass

    @precondition(lambda self: self.xs)
    @rule(data=st.data(), kind=st.sampled_from(TYPES), loc=latticelocs, name=names)
    def reinit(self, data, kind, loc, name):
        self.step()
        attempt(lambda: self.pick(data, self.xs).__init__(kind, loc, 0, name))

    @precondition(lambda self: len(self.graphs) < 4)
    @rule(size=st.one_of(st.integers(0, 9), st.sampled_from([-1, 2**40, "3", None])),
          sub=st.booleans(), raw=st.integers(0, 15))
    def create_graph(self, size, sub, raw):
        self.step()
        cls = SubGraph if sub else _tolq.Graph
        self.count(1)
        if raw == 0:
            self.graphs.append(cls.__new__(cls))
            return
        try:
            self.graphs.append(cls() if size is None else cls(size))
        except ALLOWED:
            pass

    @rule(data=st.data(), size=st.integers(2, 9), inputs=st.integers(1, 3),
          output=st.sampled_from(["fixed"] * 6 + ["cat", "linear"]),
          loss=st.sampled_from(LOSS_NAMES))
    def build(self, data, size, inputs, output, loss):
        """A whole graph as a caller wires one: input registers first, then function nodes
        reading earlier slots (now and then a later slot or none of the graph's), output last."""
        self.step()
        g = _tolq.Graph(size)
        for i in range(size):
            if i == size - 1:
                kind = output
            elif i < inputs:
                kind = data.draw(st.sampled_from(["fixed", "fixed", "cat"]))
            else:
                kind = data.draw(st.sampled_from(TYPES))
            x = _tolq.Interaction(kind, (i + 1, 0, 0), i % 3, data.draw(st.sampled_from(NAMES)))
            for ix in range(data.draw(st.integers(1, 2))) if 0 < i else ():
                odd = data.draw(st.integers(0, 15)) == 0
                x._set_source(ix, data.draw(st.integers(-2, size + 1) if odd
                                            else st.integers(0, i - 1)))
            if i < inputs and i != size - 1:
                x._set_source(0, -1)
            if kind == "fixed" and data.draw(st.booleans()):
                x._loss = loss
            g[i] = x
            self.count(5)
            self.xs.append(x)
        self.xs = self.xs[-20:]
        self.graphs = self.graphs[-3:] + [g]
        self.run_query(data, g)

    @precondition(lambda self: self.graphs)
    @rule(data=st.data(), size=st.integers(-1, 9))
    def reinit_graph(self, data, size):
        self.step()
        attempt(lambda: self.pick(data, self.graphs).__init__(size))

    # -- slots ---------------------------------------------------------------------------
    @precondition(lambda self: self.graphs and self.xs)
    @rule(data=st.data(), key=st.one_of(st.integers(-2, 9), st.sampled_from(
        [2**32 + 1, 2**64, "0", 1.5]), st.builds(Number, st.just(1)), st.builds(Refusing)),
        what=st.integers(0, 9))
    def place(self, data, key, what):
        self.step()
        g = self.pick(data, self.graphs)
        value = self.pick(data, self.xs) if what else object()
        attempt(lambda: g.__setitem__(key, value))

    @precondition(lambda self: self.graphs)
    @rule(data=st.data(), key=st.one_of(st.integers(-10, 10), st.builds(Refusing)),
          delete=st.booleans())
    def slot(self, data, key, delete):
        self.step()
        g = self.pick(data, self.graphs)
        attempt(lambda: g.__delitem__(key) if delete else g[key])

    @precondition(lambda self: self.graphs)
    @rule(data=st.data())
    def graph_properties(self, data):
        self.step()
        g = self.pick(data, self.graphs)
        for read in (len, hash, str, repr, lambda g: g.edge_count):
            attempt(read, g)

    # -- interactions --------------------------------------------------------------------
    @precondition(lambda self: self.xs)
    @rule(data=st.data(), ix=st.sampled_from([0, 0, 1, 1, -1, 2, 2**31]),
          src=st.one_of(st.integers(-2, 10), st.sampled_from([2**31 - 1, -2**31, 2**40])))
    def set_source(self, data, ix, src):
        self.step()
        x = self.pick(data, self.xs)
        attempt(lambda: x._set_source(ix, src))

    @precondition(lambda self: self.xs)
    @rule(data=st.data())
    def properties(self, data):
        self.step()
        x = self.pick(data, self.xs)
        str(x)
        self.count(1)
        for name in PROPERTIES:
            value = attempt(getattr, x, name)
            if name == "activation" and value is not None and len(self.views) < 8:
                self.views.append(value)

    @precondition(lambda self: self.xs)
    @rule(data=st.data(), value=values, name=st.sampled_from(["feature_min", "feature_max",
          "auto_adapt", "w0", "w1", "bias", "center0", "center1", "x0", "k", "categories",
          "lr", "_x", "__dict__", "zz"]), how=st.sampled_from(["set", "get", "del"]))
    def parameter(self, data, value, name, how):
        self.step()
        state = attempt(lambda: self.pick(data, self.xs).state)
        if state is None:
            return
        if how == "get":
            attempt(lambda: getattr(state, name))
        elif how == "del":
            attempt(lambda: delattr(state, name))
        else:
            attempt(lambda: setattr(state, name, value))

    @precondition(lambda self: self.xs)
    @rule(data=st.data(), cats=categories)
    def set_categories(self, data, cats):
        self.step()
        state = attempt(lambda: self.pick(data, self.xs).state)
        if state is not None:
            attempt(lambda: setattr(state, "categories", cats))

    @precondition(lambda self: self.xs)
    @rule(data=st.data(), mix=st.dictionaries(st.sampled_from(ANY_PARAMETER), values, max_size=4),
          how=st.sampled_from(["copy", "mix", "list"]))
    def dicts(self, data, mix, how):
        self.step()
        a, b = self.pick(data, self.xs), self.pick(data, self.xs)
        d = attempt(lambda: a.state._to_dict())
        if how == "mix" or d is None:
            d = mix
        state = attempt(lambda: b.state)
        if state is not None:
            attempt(lambda: state._from_dict([] if how == "list" else d))
            attempt(lambda: state.__dict__)

    @precondition(lambda self: self.xs)
    @rule(data=st.data(), loss=st.one_of(st.sampled_from(LOSS_NAMES), st.sampled_from(
        [b"mean_squared_error", "Mean_squared_error", "", None, 3, "\udcff"])),
          delete=st.booleans(), link=st.sampled_from([None, "link", object]))
    def loss_and_link(self, data, loss, delete, link):
        self.step()
        x = self.pick(data, self.xs)
        attempt(lambda: delattr(x, "_loss") if delete else setattr(x, "_loss", loss))
        attempt(lambda: setattr(x, "_linkdata", link))
        attempt(lambda: setattr(x, "type", "tanh"))  # read-only

    @precondition(lambda self: self.xs)
    @rule(data=st.data())
    def drop(self, data):
        """Forgets an interaction; a proxy kept from it must then refuse with ReferenceError
        once nothing else holds the interaction."""
        self.step()
        x = self.xs.pop(data.draw(st.integers(0, len(self.xs) - 1)))
        state = attempt(getattr, x, "state")
        del_ok = sys.getrefcount(x) <= 2  # only this name and the call's argument
        del x
        if state is not None:
            self.stale = self.stale[-5:] + [(state, del_ok)]

    @precondition(lambda self: self.graphs)
    @rule(data=st.data())
    def drop_graph(self, data):
        self.step()
        self.graphs.pop(data.draw(st.integers(0, len(self.graphs) - 1)))

    @precondition(lambda self: self.stale or self.views)
    @rule(data=st.data(), value=values)
    def use_leftovers(self, data, value):
        self.step()
        for state, gone in self.stale:
            self.count(5)
            for op in (lambda s: s.w0, lambda s: s._to_dict(), lambda s: s.__dict__,
                       lambda s: setattr(s, "w0", value), lambda s: s._from_dict({"k": 1})):
                try:
                    op(state)
                except ReferenceError:
                    continue
                except ALLOWED:
                    assert not gone, "a proxy of a freed interaction answered"
                    continue
                assert not gone, "a proxy of a freed interaction answered"
        for view in self.views:
            float(view.sum())
            self.count(1)

    # -- queries -------------------------------------------------------------------------
    def run_query(self, data, g):
        n = data.draw(st.sampled_from([0, 1, 2, 3, 5, 17, 70, 300]))
        rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
        cols = data.draw(st.lists(columns, min_size=1, max_size=4))
        keys = sorted({x.name for x in self.xs if type_of(x) in ("fixed", "cat")} | {"x"})
        X = {name: make_array(rng, n, *cols[i % len(cols)]) for i, name in enumerate(keys)}
        xkind = data.draw(st.sampled_from(["dict"] * 8 + ["list", "missing", "extra"]))
        if xkind == "missing":
            X.pop(keys[0])
        elif xkind == "extra":
            X["other"] = [1.0] * n
        ykind = data.draw(st.sampled_from(["none", "same", "same", "short", "long", "2d",
                                           "list", "nan", "O", ">f4"]))
        y = {"none": None, "same": rng.normal(size=n), "short": rng.normal(size=max(n - 1, 0)),
             "long": rng.normal(size=n + 3), "2d": np.zeros((n, 1)), "list": [0.0] * n,
             "nan": np.full(n, np.nan), "O": np.array([1.5] * n, dtype=object),
             ">f4": rng.normal(size=2 * n).astype(">f4")[::2]}[ykind]
        result = attempt(lambda: g._query(list(X.values()) if xkind == "list" else X, y))
        if result is not None:
            assert isinstance(result, np.ndarray) and result.dtype == np.float32
            assert result.shape == (n,)
        self.check_not_busy(g)

    @precondition(lambda self: self.graphs)
    @rule(data=st.data())
    def query(self, data):
        self.step()
        self.run_query(data, self.pick(data, self.graphs))

    @precondition(lambda self: self.graphs)
    @rule(data=st.data())
    def query_latest(self, data):
        """Most graphs made by `build` can run, so their queries reach the passes."""
        self.step()
        self.run_query(data, self.graphs[-1])

    def check_not_busy(self, g):
        """A follow-up operation on the graph and each of its interactions is not refused
        as busy."""
        self.count(1 + len(g))
        try:
            g._query({})
        except ALLOWED as e:
            assert "busy" not in str(e), e
        for x in [g[i] for i in range(len(g))] if len(g) else []:
            if x is not None:
                try:
                    x.state._from_dict({"zz": 0})
                except ALLOWED as e:
                    assert "busy" not in str(e), e

    def teardown(self):
        for g in self.graphs:
            self.check_not_busy(g)


def type_of(x):
    try:
        return x.type
    except ALLOWED:
        return None


def attempt(op, *args):
    """Runs op(*args); a documented exception is fine (None), anything else fails the test."""
    Operations.calls += 1
    try:
        return op(*args)
    except ALLOWED:
        return None


@pytest.mark.filterwarnings("ignore")  # NumPy's cast and conversion warnings are not at issue
def test_random_operations():
    """A few seconds in the suite; under TOLQ_FUZZ=large, runs until TOLQ_FUZZ_OPS calls."""
    Operations.steps = Operations.calls = 0
    start = time.monotonic()
    runs = run_machine(Operations, (50, 30), (300, 100), lambda: Operations.calls >= OPS)
    if LARGE:
        report(f"state machine: {Operations.calls} operations (calls into _tolq) in "
               f"{Operations.steps} rule steps, {runs} runs, {time.monotonic() - start:.0f} s")
    assert Operations.calls > Operations.steps > 0
