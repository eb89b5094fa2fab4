import sys

import numpy as np
import pytest

import _tolq
from builders import PROPERTIES, graph, growth, node

rc = sys.getrefcount


def test_slots_own_one_reference_each():
    x = node()
    base = rc(x)
    g = _tolq.Graph(4)
    g[0] = x
    g[1] = x
    assert rc(x) == base + 2
    g[1] = node()  # replacement releases the old occupant
    assert rc(x) == base + 1
    del g[0]
    assert rc(x) == base
    g[2] = x
    g.__init__(2)
    assert rc(x) == base
    g[0] = x
    del g
    assert rc(x) == base


def test_failed_operations_keep_counts():
    x, value = node(), object()
    g = _tolq.Graph(2)
    bx, bv, bg = rc(x), rc(value), rc(g)
    for op in (lambda: g.__setitem__(0, value), lambda: g.__setitem__(5, x),
               lambda: g.__getitem__(5), lambda: x.__setattr__("_loss", value),
               lambda: x._set_source(3, 0), lambda: x.depth, lambda: x.state._from_dict(value)):
        with pytest.raises((ValueError, IndexError, AttributeError, RuntimeError)):
            op()
    assert (rc(x), rc(value), rc(g)) == (bx, bv, bg)


def test_linkdata_references():
    x, a, b = node(), object(), object()
    ba, bb = rc(a), rc(b)
    x._linkdata = a
    assert rc(a) == ba + 1
    x._linkdata = b
    assert (rc(a), rc(b)) == (ba, bb + 1)
    del x._linkdata
    assert rc(b) == bb
    x._linkdata = a
    del x
    assert rc(a) == ba


def test_loss_reference():
    loss = "".join(["mean_", "absolute_error"])
    other = "".join(["mean_", "squared_error"])
    x = node("fixed")
    bl, bo = rc(loss), rc(other)
    x._loss = loss
    assert rc(loss) == bl + 1
    with pytest.raises(ValueError):
        x._loss = "".join(["no", "pe"])
    x._loss = other
    assert (rc(loss), rc(other)) == (bl, bo + 1)
    del x
    assert rc(other) == bo


def test_activation_view_holds_interaction():
    x = node()
    g = _tolq.Graph(1)
    g[0] = x
    base = rc(x)
    view = x.activation
    assert rc(x) == base + 1
    del g
    assert view.base is x
    del view
    assert rc(x) == base - 1  # the graph's reference went with it


def churn(g, h, a, b, link, loss):
    """One round of everything that creates, moves or reads references."""
    r = _tolq.Interaction("fixed", (0, 0, 0), 0, "r")
    r._loss = loss
    r.state.feature_min = 0.5
    r.state._to_dict(), r.state.__dict__, r.state.auto_adapt, r._tooltip, r.name
    r.state._from_dict({"feature_max": 2.0})
    try:
        _ = r.state.lr
    except AttributeError:
        pass
    x = _tolq.Interaction("multiply", (1, 2, 3), 5, "n")
    x._linkdata = link
    x._set_source(0, 0)
    x._set_source(1, 1)
    g[0], g[1], g[2] = a, b, x
    g[2] = a
    g[2] = x
    del g[1]
    g[1] = b
    for name in PROPERTIES:
        getattr(x, name)
    h[0] = x
    x.state._to_dict(), x.state.__dict__, x.state._from_dict({"w0": 1.0})
    hash(g), g.edge_count, str(g), repr(x), g[-1]
    for op in (lambda: g[9], lambda: g.__setitem__(0, link), lambda: x._set_source(5, 0),
               lambda: _tolq.Interaction("nosuch", (0, 0, 0)), lambda: x.__setattr__("_loss", link),
               lambda: node().depth, lambda: x.state.w0, lambda: node().state._to_dict(),
               lambda: _tolq.Interaction.__new__(_tolq.Interaction).state):
        try:
            op()
        except (IndexError, ValueError, AttributeError, RuntimeError, ReferenceError):
            pass
    x._linkdata = None
    del h[0]
    del g[2]
    t = _tolq.Graph(3)
    t[0] = x
    t.__init__(2)
    t[1] = x


def test_churn_leaves_counts_and_memory_flat():
    g, h = _tolq.Graph(3), _tolq.Graph(1)
    a, b, link = node(), node(), object()
    loss = "".join(["mean_", "absolute_error"])
    a._set_source(0, -1)
    b._set_source(0, -1)
    counts, nones, grown = growth(lambda _: churn(g, h, a, b, link, loss),
                                  (g, h, a, b, link, loss, a.state, b.state))
    assert counts == [0] * 8 and grown < 64 * 1024
    # every interaction made here holds None as its loss; a lost release per round would show
    assert nones < 5000


class Hook:
    """A key, latticeloc item and value whose conversions and hash all raise."""

    def __float__(self):
        raise ArithmeticError

    __index__ = __hash__ = __float__


def failing_ops(g, x, c, i):
    """Every failure path of the module once, with values made afresh in round i."""
    f = float(i)
    xs = np.full(3, f)
    # Bound categories stay in the map: fresh objects, but always the same three categories.
    cats = np.array([str(i % 2), (i % 2,), str(i % 2 + 1)], dtype=object)
    key = str(i)
    bad_cats = np.array([str(i % 2), [i]], dtype=object)
    return [
        lambda: g._query([xs]), lambda: g._query({"c": cats}), lambda: g._query({"x": [f]}),
        lambda: g._query({"x": xs.reshape(3, 1), "c": cats}),
        lambda: g._query({"x": xs[:2], "c": cats}), lambda: g._query({"x": xs, "c": cats}, [f]),
        lambda: g._query({"x": xs, "c": cats}, xs.reshape(3, 1)),
        lambda: g._query({"x": xs, "c": cats}, xs[:2]),
        lambda: g._query({"x": np.array([f, np.nan, f]), "c": cats}, xs),
        lambda: g._query({"x": xs, "c": cats}, np.array([f, f, np.inf])),
        lambda: g._query({"x": np.array([key, "a", "b"]), "c": cats}),
        lambda: g._query({"x": xs[:2], "c": bad_cats}),
        lambda: g._query({"x": np.array([key, f, f], dtype=object), "c": cats}),
        lambda: setattr(c.state, "categories", ((key, f),)),
        lambda: setattr(c.state, "categories", [(key, f), (key, f, f)]),
        lambda: setattr(c.state, "categories", [(key, f), ([i], f)]),
        lambda: setattr(c.state, "categories", [(key, f), (Hook(), f)]),
        lambda: setattr(c.state, "categories", [(key, key)]),
        lambda: g[1].state._from_dict({"w0": key, "bias": f}),
        lambda: setattr(g[1].state, "w0", key), lambda: setattr(g[1].state, "w0", Hook()),
        lambda: delattr(g[1].state, "w0"), lambda: getattr(g[1].state, key),
        lambda: setattr(x, "_loss", key), lambda: setattr(c, "_loss", key),
        lambda: _tolq.Interaction(key, (i, 0, 0)), lambda: _tolq.Interaction("fixed", [i, 0, 0]),
        lambda: _tolq.Interaction("fixed", (i, Hook(), 0)),
        lambda: _tolq.Interaction("fixed", (i, 0, 0), 2**40 + i),
        lambda: _tolq.Graph(-1 - i), lambda: g.__setitem__(99 + i, x),
        lambda: g.__setitem__(key, x), lambda: g.__setitem__(0, key),
        lambda: g[3].depth, lambda: node().depth,
    ]


def test_failure_paths_leave_counts_and_memory_flat():
    x = node("fixed", -1, loc=(1, 0, 0), name="x")
    c = node("cat", -1, loc=(2, 0, 0), name="c")
    g = graph(x, node("linear", 0, 2, loc=(3, 0, 0)), c,
              node("tanh", 3, loc=(5, 0, 0)),  # reads itself: a cycle for `depth`
              node("fixed", 1, loc=(4, 0, 0), name="y"))
    g._query({"x": np.arange(3.0), "c": np.array(["a", "b", "c"], dtype=object)}, np.ones(3))
    tracked = [g, x, c, x.state, c.state] + [g[i] for i in range(5)]

    def round_(i):
        ops = failing_ops(g, x, c, i)
        failed = 0
        for op in ops:
            try:
                op()
            except (ValueError, TypeError, RuntimeError, AttributeError, IndexError,
                    OverflowError, ArithmeticError):
                failed += 1
        assert failed == len(ops)

    counts, nones, grown = growth(round_, tracked)
    assert counts == [0] * len(tracked)
    assert abs(nones) < 100 and grown < 64 * 1024
