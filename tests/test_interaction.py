import collections
import gc
import weakref

import numpy as np
import pytest

import _tolq
from builders import build, graph, node

Interaction = _tolq.Interaction
NOT_INIT = "^Interaction is not initialized$"

PROPS = [
    ("sources", "Get the indices of the predecessors of this interaction within the graph."),
    ("_location", "Get interaction location within graph."),
    ("_latticeloc", "Get interaction location within the Vindomar."),
    ("state", "Get internal state of interaction, such as the weigths or other parameters.\n\n"
     "The actual properties of the state depends on the interaction. You may examine them using "
     "dir() or though the InteractionState.__dict__ property.\n\nExample:\n"
     ">>> g = zumbrel.select(data)[0]\n>>> print(g[0].state.__dict__)\n"
     "{'feature_min': -4.996334075927734, 'feature_max': 4.994193077087402, "
     "'auto_adapt': True}\n\n"
     "Or you can modify them dynamically:\n>>> g[0].state.auto_adapt=False\n"),
    ("type", "Get the type of the interaction, such as 'tanh', 'sine', etc."),
    ("_gluamine", "Get the accumulated gluamine of this interaction."),
    ("name", "Get the name of the interaction.\n\nFor register interactions this is the name of "
     "the register. For other interactions, it will normally be the same as the interaction type."),
    ("_tooltip", "Get interaction tooltip."),
    ("_loss", "Get or set the name of the loss function to use."),
    ("_linkdata", "Get or set private linkdata."),
    ("activation", "Get the latest activation(s) from this interaction.\n\nThis is the most "
     "recent value emitted by this interaction after each use - either fit or predict.\n\n"
     "This property is useful to examine the graph's processing of individual samples.\n\n"
     ">>> graph.predict({'x': [3,4]})\n>>> graph[0].activation\n.54\n"),
    ("depth", "Get the depth of this interaction within it's graph."),
    ("_errcode", "Get interaction error code."),
]

TYPE_DOC = (
    "A graph is a collection of Interactions linked together. Interactions can be either "
    "registers or pure mathematical functions such as 'tanh' or 'multiply'.\n\nYou normally get "
    "an interaction by accessing it from a Graph with the index operation. Interactions can be "
    "inspected in various ways to examine the behavior and properties of the graph.\n\nExample "
    "usage. Get a Graph from a Zumbrel and print information about it's first interaction\n"
    ">>> best_graph = zumbrel.select(data)[0]\n>>> interaction = best[0]\n"
    ">>> print(interaction.name, interaction.type)\nx, fixed\n")


def test_docstrings_and_property_order():
    assert Interaction.__doc__ == TYPE_DOC
    assert Interaction._set_source.__doc__ == "Set a source."
    for name, doc in PROPS:
        assert Interaction.__dict__[name].__doc__ == doc, name
    names = [n for n, _ in PROPS]
    assert [k for k in Interaction.__dict__ if k in names] == names


def test_plain_type():
    assert Interaction.__module__ == "_tolq" and Interaction.__name__ == "Interaction"
    with pytest.raises(TypeError):
        class Sub(Interaction):
            pass
    x = node()
    with pytest.raises(TypeError):
        weakref.ref(x)
    assert not gc.is_tracked(x) and not gc.is_tracked(x.state)
    assert x == x and x != node()


def test_fresh_multiply():
    x = Interaction("multiply", (1, 2, 3))
    assert (x.type, x.name, x._tooltip) == ("multiply",) * 3
    assert x._latticeloc == (1, 2, 3) and x._gluamine == 0 and x._location == -1
    assert x.sources == () and x._loss is None and x._linkdata is None and x._errcode == 0
    assert str(x) == repr(x) == "_tolq.Interaction (multiply)"


def test_keywords_and_hidden_function_name():
    x = Interaction(type="multiply", latticeloc=(7, 8, 9), gluamine=-4, name="w")
    assert x.name == "multiply" and x._gluamine == -4 and x._latticeloc == (7, 8, 9)
    assert Interaction("multiply", (0, 0, 0), 0, None).name == "multiply"


def test_latticeloc_keeps_low_32_bits():
    Loc = collections.namedtuple("Loc", "a b c")  # tuple subclasses are accepted
    x = Interaction("multiply", Loc(2**32 + 5, -1, 2**31))
    assert x._latticeloc == (5, -1, -(2**31))


NO_TYPE = "^No such interaction type: '{}'$"
NOT_A_LOC = "^The latticeloc must be a three item tuple$"


@pytest.mark.parametrize("args, kwargs, exc, message", [
    *[((name, (0, 0, 0)), {}, ValueError, NO_TYPE.format(name))
      for name in ["nosuch", "Multiply", "multiply ", "", "multiply" * 3]],
    *[(("multiply", loc), {}, ValueError, NOT_A_LOC)
      for loc in [[0, 0, 0], (0, 0), (0, 0, 0, 0), None, "abc"]],
    (("multiply", (0, 1.5, 0)), {}, TypeError, None),
    (("multiply", ("a", 0, 0)), {}, TypeError, None),
    (("multiply", (2**64, 0, 0)), {}, OverflowError, None), (("multiply",), {}, TypeError, None),
    ((b"multiply", (0, 0, 0)), {}, TypeError, None),
    (("multiply", (0, 0, 0), 2**31), {}, OverflowError, None),
    (("multiply", (0, 0, 0), 1.0), {}, TypeError, None),
    (("multiply", (0, 0, 0), 0, 5), {}, TypeError, None),
    (("multiply", (0, 0, 0)), {"nme": "x"}, TypeError, None),
])
def test_bad_arguments(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        Interaction(*args, **kwargs)


@pytest.mark.parametrize("attr", [n for n, _ in PROPS if n not in ("_loss", "_linkdata")] + ["x"])
def test_readonly_attributes(attr):
    x = node()
    with pytest.raises(AttributeError):
        setattr(x, attr, 1)


@pytest.mark.parametrize("calls, sources", [
    ([(1, 4)], (0, 4)), ([(0, -1)], ()), ([(0, 3)], (3,)), ([(0, 3), (1, 5), (1, -1)], (3, -1)),
    ([(1, -1)], ()), ([(1, 4), (0, -1)], (-1, 4)), ([(0, 2), (0, 7)], (7,)),
    ([(1, 5), (1, -1)], (0, -1)),
])
def test_set_source(calls, sources):
    x = node()
    for ix, src in calls:
        assert x._set_source(ix, src) is None
    assert x.sources == sources


@pytest.mark.parametrize("args, exc, msg", [
    ((2, 0), ValueError, "^Source index 2 is out of range$"),
    ((-1, 0), ValueError, "^Source index -1 is out of range$"),
    ((0,), TypeError, None), ((0, "1"), TypeError, None), ((0, 2**40), OverflowError, None),
])
def test_set_source_errors(args, exc, msg):
    x = node("multiply", 3)
    with pytest.raises(exc, match=msg):
        x._set_source(*args)
    assert x.sources == (3,)
    with pytest.raises(TypeError):
        x._set_source(ix=0, src=1)


def test_linkdata():
    x, a, b = node(), object(), object()
    x._linkdata = a
    assert x._linkdata is a
    x._linkdata = b
    assert x._linkdata is b
    del x._linkdata
    assert x._linkdata is None
    del x._linkdata
    assert x._linkdata is None


def test_loss_refused_without_set_loss():
    x = node()
    with pytest.raises(AttributeError, match="^Interaction 'multiply' has no loss function$"):
        x._loss = "mean_absolute_error"
    with pytest.raises(AttributeError):
        del x._loss
    assert x._loss is None


def test_register_name_and_loss():
    x = Interaction("fixed", (0, 0, 0), 0, "x")
    assert x.name == x._tooltip == "x"
    assert Interaction("fixed", (0, 0, 0), 0, None).name == ""
    assert Interaction("fixed", (0, 0, 0), 0, "n" * 200).name == "n" * 126
    assert Interaction("fixed", (0, 0, 0), 0, "n" * 126).name == "n" * 126
    loss = "".join(["mean_", "absolute_error"])
    x._loss = loss
    assert x._loss is loss
    for bad in ("nope", 3, None):
        with pytest.raises(ValueError, match="^Invalid loss function provided$"):
            x._loss = bad
    with pytest.raises(AttributeError):
        del x._loss
    assert x._loss is loss
    x._loss = b"mean_squared_error"
    assert x._loss == b"mean_squared_error"


def fitting_prefix(text, limit):
    """The longest prefix of `text` whose UTF-8 form has at most `limit` bytes."""
    return next(text[:k] for k in range(len(text), -1, -1) if len(text[:k].encode()) <= limit)


@pytest.mark.parametrize("char", ["\u00e9", "\u20ac", "\U0001d11e"])
@pytest.mark.parametrize("field, limit", [("name", 126), ("type", 15)])
@pytest.mark.parametrize("shift", [0, 1, 2])
def test_long_text_cut_at_a_character_boundary(field, limit, char, shift):
    text = "n" * (limit - 3 + shift) + char * 2
    x = Interaction.__new__(Interaction)
    if field == "name":
        x.__init__("fixed", (0, 0, 0), 0, text)
    else:
        with pytest.raises(ValueError):   # no such type: the copy stays readable
            x.__init__(text, (0, 0, 0))
    assert getattr(x, field) == fitting_prefix(text, limit)


def test_depth_outside_graph():
    x = node()
    tail = "interaction 'multiply' because it's not in a graph$"
    with pytest.raises(RuntimeError, match="^Cannot compute depth of " + tail):
        _ = x.depth
    with pytest.raises(RuntimeError, match="^Cannot get activations from " + tail):
        _ = x.activation


def test_depth_example():
    # slots 0 and 1 are inputs, slot 2 reads (0, 1), slot 3 reads (2, 0)
    g = graph(node("multiply", -1), node("multiply", -1), node("multiply", 0, 1),
              node("multiply", 2, 0))
    assert [g[i].depth for i in range(4)] == [-1, -1, 0, 1]
    g[3]._set_source(1, -1)  # second source ignored; not cached
    assert g[3].depth == 1
    g[2]._set_source(0, -1)  # first source -1: no sources at all
    assert g[2].depth == -1 and g[3].depth == 0


def test_depth_diamond_and_counted_sources():
    g = graph(node("multiply", -1), node("multiply", 0, 0), node("multiply", 1, 1),
              node("multiply", 2, 1), node("multiply", 0))  # slot 4's entry 1 is 0 but uncounted
    assert [g[i].depth for i in range(5)] == [-1, 0, 1, 2, 0]
    g[1] = node()  # fresh: no sources
    assert g[1].depth == -1 and g[3].depth == 1


@pytest.mark.parametrize("slots", [
    {0: [(0, 1)]},  # source names an empty slot
    {0: [(0, 7)]}, {0: [(0, -5)]},  # outside the slots
    {0: [(0, -1)], 1: [(0, 0), (1, 9)]},  # second source outside
    {0: [(0, 0)]},  # self loop
    {0: [(0, 1)], 1: [(0, 0)]},  # two-cycle
    {0: [(0, -1)], 1: [(0, 0), (1, 2)], 2: [(0, 1)]},  # loop through the second source
])
def test_depth_refuses_broken_graphs(slots):
    g = build(3, {slot: ("multiply", (0, 0, 0), calls) for slot, calls in slots.items()})
    with pytest.raises(RuntimeError, match="^Cannot compute depth of interaction 'multiply'"):
        _ = g[max(slots)].depth


def test_depth_error_names_own_type():
    g = graph(node("multiply", 2), node("fixed", 0), None)
    with pytest.raises(RuntimeError, match="^Cannot compute depth of interaction 'fixed'"):
        _ = g[1].depth


def test_depth_long_chain():
    n = 5000
    g = _tolq.Graph(n)
    g[0] = node("multiply", -1)
    for i in range(1, n):
        g[i] = node("multiply", i - 1)
    assert g[n - 1].depth == n - 2 and g[2500].depth == 2499
    g[0]._set_source(0, n - 1)  # closing the loop must be reported, not followed
    with pytest.raises(RuntimeError, match="'multiply'"):
        _ = g[n - 1].depth


def test_activation_view_before_any_query():
    g, x = _tolq.Graph(1), node()
    g[0] = x
    a = x.activation
    assert a.dtype == np.float32 and a.shape == (0,) and a.base is x
    assert a.flags.c_contiguous and a.flags.aligned and a.flags.writeable and not a.flags.owndata


def test_activation_view_is_live():
    g = graph(node("fixed", -1, name="a"), node("fixed", -1, name="b"), node("multiply", 0, 1),
              node("fixed", 2, name="out"))
    # ranges become [-1, 1], so scaled inputs equal the raw values
    g._query({"a": np.array([-1.0, 0.0, 1.0]), "b": np.array([1.0, 0.0, -1.0])})
    view = g[2].activation
    assert view.dtype == np.float32 and view.shape == (1,) and view[0] == -1.0
    g._query({"a": np.array([-1.0, 0.5]), "b": np.array([1.0, 0.5])})
    assert view[0] == 0.25
    view[0] = 7.0
    assert g[2].activation[0] == 7.0


def test_uninitialised_interaction():
    x = Interaction.__new__(Interaction)
    for attr in ("state", "_loss", "_tooltip", "activation", "depth"):
        with pytest.raises(RuntimeError, match=NOT_INIT):
            getattr(x, attr)
    with pytest.raises(RuntimeError, match=NOT_INIT):
        x._loss = "mean_squared_error"
    assert x.type is None
    g = _tolq.Graph(1)
    with pytest.raises(RuntimeError, match=NOT_INIT):
        g[0] = x
    assert g[0] is None
    del x  # deallocation copes with the missing parts


def test_init_after_failed_init():
    x = Interaction.__new__(Interaction)
    with pytest.raises(ValueError):
        x.__init__("nosuch", (0, 0, 0))
    with pytest.raises(RuntimeError, match=NOT_INIT):
        _ = x.state
    x.__init__("multiply", (1, 2, 3))
    assert x._latticeloc == (1, 2, 3) and x.state._to_dict() == {}


def test_second_init_refused():
    x = Interaction("multiply", (1, 2, 3), 4)
    state = x.state
    with pytest.raises(RuntimeError, match="^Interaction is already initialized$"):
        x.__init__("multiply", (5, 6, 7), 8)
    assert x._latticeloc == (1, 2, 3) and x._gluamine == 4 and x.state is state


@pytest.mark.parametrize("a, b, sources, expected", [
    ([-1.0, 1.0, 0.5], [1.0, -1.0, -0.4], (0, 1), [-1.0, -1.0, -0.2]),
    ([-1.0, 1.0, 0.3], [-1.0, 1.0, 0.0], (0, 0), [1.0, 1.0, 0.09]),  # a square
    ([-1.0, 1.0, 0.3], [-1.0, 1.0, 0.5], (1,), [1.0, 1.0, 0.15]),  # entry 1 still names slot 0
])
def test_multiply_forward(a, b, sources, expected):
    # inputs spanning [-1, 1] scale to themselves; an output queried without y keeps [-1, 1]
    g = graph(node("fixed", -1, name="a"), node("fixed", -1, name="b"),
              node("multiply", *sources), node("fixed", 2, name="out"))
    out = g._query({"a": np.array(a), "b": np.array(b)})
    np.testing.assert_allclose(out, expected, rtol=1e-6, atol=1e-7)
