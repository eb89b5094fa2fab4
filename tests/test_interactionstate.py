import math
import weakref

import pytest

import _tolq
from builders import Collides, node

NO_ATTRS = "^Interaction 'multiply' does not support attributes$"
STATE_DOC = ("The InteractionState object encapsulates the state of a single Interaction\n\n"
             "The actual properties of the state depends on the interaction. You may examine them "
             "using dir() or though the InteractionState.__dict__ property.\n")


def test_type_object():
    x = node()
    S = type(x.state)
    assert x.state is x.state
    assert S.__module__ == "_tolq" and S.__name__ == "InteractionState"
    assert not hasattr(_tolq, "InteractionState")
    assert S.__doc__ == STATE_DOC
    assert S._to_dict.__doc__ == ("Get the state as a dict. This internal function is used for "
                                  "serialization of the interaction.")
    assert S._from_dict.__doc__ == ("Update the state from a dict. This internal function is used "
                                    "for deserialization of an interaction.")
    assert S.__dict__["__dict__"].__doc__ == "Get properties of the interaction state"
    assert repr(x.state).startswith("<_tolq.InteractionState object at ")
    with pytest.raises(TypeError):
        S()
    with pytest.raises(TypeError):
        weakref.ref(x.state)
    with pytest.raises(TypeError):
        class Sub(S):
            pass


def test_multiply_has_no_parameters():
    x = node()
    s = x.state
    assert s.__dict__ == {} and s._to_dict() == {}
    assert s._to_dict() is not s._to_dict()
    for op in (lambda: s.w0, lambda: setattr(s, "w0", 1.0), lambda: delattr(s, "w0")):
        with pytest.raises(AttributeError, match=NO_ATTRS):
            op()
    assert s._from_dict({"w0": 1.0}) is None and s._to_dict() == {}


@pytest.mark.parametrize("arg", [[], None, (("w0", 1),), "w0"])
def test_from_dict_needs_dict(arg):
    x = node()
    with pytest.raises(ValueError, match="^Argument must be dict$"):
        x.state._from_dict(arg)


def test_method_signatures():
    x = node()
    s = x.state
    assert s._from_dict(type("D", (dict,), {})()) is None
    with pytest.raises(TypeError):
        s._from_dict()
    with pytest.raises(TypeError):
        s._from_dict({}, {})
    with pytest.raises(TypeError):
        s._to_dict(1)


def test_underscore_names_use_generic_lookup():
    x = node()
    s = x.state
    for op in (lambda: s._x, lambda: setattr(s, "_x", 1), lambda: setattr(s, "__dict__", {})):
        with pytest.raises(AttributeError):
            op()
    assert s._to_dict.__self__ is s and s.__class__ is type(s)
    assert {"_to_dict", "_from_dict"} <= set(dir(s))


def test_orphaned_proxy_raises_reference_error():
    s = node().state  # the interaction dies with the temporary
    for op in (lambda: s.w0, lambda: setattr(s, "w0", 1), lambda: delattr(s, "w0"), s._to_dict,
               lambda: s.__dict__, lambda: s._from_dict({})):
        with pytest.raises(ReferenceError):
            op()


def test_proxy_release_leaves_interaction_intact():
    x = node()
    s = x.state
    del s
    assert x.state._to_dict() == {}


def test_fixed_from_dict():
    xa, xb = node("fixed"), node("fixed")
    a, b = xa.state, xb.state
    assert b._from_dict({"feature_max": 2.0, "zz": 1}) is None
    assert b.feature_max == 2.0 and math.isnan(b.feature_min)
    # table order: feature_min is applied before auto_adapt is refused
    with pytest.raises(RuntimeError, match="^Interaction 'fixed' internal error setting attr"):
        b._from_dict({"auto_adapt": 1, "feature_min": -3.0})
    assert b.feature_min == -3.0 and b.auto_adapt is True
    a.feature_min, a.feature_max, a.auto_adapt = -0.5, 0.25, False
    b._from_dict(a._to_dict())
    assert b._to_dict() == {"feature_min": -0.5, "feature_max": 0.25, "auto_adapt": False}
    assert b._from_dict({}) is None


def test_from_dict_lookup_error_propagates():
    x = node("linear")
    x.state._from_dict({"w0": 0.5, "w1": 0.25, "bias": 0.125})
    with pytest.raises(MemoryError):   # a failed lookup is not a missing name
        x.state._from_dict({"w0": 2.0, Collides("w1"): 1.0, "bias": 1.0})
    assert x.state._to_dict() == {"w0": 2.0, "w1": 0.25, "bias": 0.125}
