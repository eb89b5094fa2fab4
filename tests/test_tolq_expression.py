"""The expression parser and the slot layout it produces."""
import pickle

import numpy as np
import pytest

import _tolq
import tolq
from tolq._expression import Call, Name, parse
from tolq._nodes import NODE_TYPES
from builders import model

ISSUE_EXAMPLE = "sine(gaussian(multiply(linear(x0, x1), tanh(x0, x1)), x1))"


def shape(node):
    """The parse tree without positions."""
    if isinstance(node, Name):
        return node.text if node.transform else node.name
    return (node.function, *map(shape, node.args))


def layout(m):
    g = m.graph
    return [(g[i].type, g[i].name if g[i].type in ("fixed", "cat") else "", g[i].sources)
            for i in range(len(g))]


@pytest.mark.parametrize("text, tree", [
    ("x0", "x0"),
    ("sine(x0)", ("sine", "x0")),
    ("  linear ( a ,b )  ", ("linear", "a", "b")),
    ("multiply(x, x)", ("multiply", "x", "x")),
    ("tanh(_a1)", ("tanh", "_a1")),
    ("gaussian('unit price', \"it's\")", ("gaussian", "unit price", "it's")),
    ("linear(sine)", ("linear", "sine")),  # a function name without "(" is an input
    ("linear(log(x), inv ( 'unit price' ))", ("linear", "log(x)", "inv('unit price')")),
    ("sqrt(log)", "sqrt(log)"),
    (ISSUE_EXAMPLE, ("sine", ("gaussian", ("multiply", ("linear", "x0", "x1"),
                                           ("tanh", "x0", "x1")), "x1"))),
])
def test_valid_expressions_parse(text, tree):
    assert shape(parse(text)) == tree


@pytest.mark.parametrize("text, position, message", [
    ("", 0, "empty expression"),
    ("   ", 0, "empty expression"),
    ("sin(x0)", 0, "unknown function 'sin'"),
    ("linear(Sine(x0))", 7, "unknown function 'Sine'"),
    ("sine(x0, x1)", 0, "sine takes 1 argument but 2 were given"),
    ("tanh(multiply(x0))", 5, "multiply takes 2 arguments but 1 was given"),
    ("linear()", 0, "linear takes 1 or 2 arguments but 0 were given"),
    ("gaussian(a, b, c)", 0, "gaussian takes 1 or 2 arguments but 3 were given"),
    ("linear(x0,)", 10, "expected an input name or a function call but found ')'"),
    ("linear(x0 x1)", 10, "expected ',' or ')' but found 'x'"),
    ("linear(x0", 9, "expected ',' or ')' but the expression ends"),
    ("tanh(x0))", 8, "unexpected ')' after the end"),
    ("x0 x1", 3, "unexpected 'x' after the end"),
    ("2 * x", 0, "found '2'"),
    ("sine('x0)", 5, "unterminated quoted name"),
    ("sine('')", 5, "empty quoted name"),
    ("log(linear(x))", 4, "log applies to an input column, not to a call"),
    ("sqrt(log(x))", 5, "sqrt applies to an input column"),
    ("inv(x, y)", 5, "expected ')' but found ','"),
])
def test_invalid_expressions_point_at_the_fault(text, position, message):
    with pytest.raises(tolq.ExpressionError) as info:
        parse(text)
    err = info.value
    assert isinstance(err, ValueError)
    assert err.position == position
    assert message in err.message and err.message.endswith(f"at position {position}")
    first, echo, caret = str(err).split("\n")
    assert echo == "  " + text and caret == "  " + " " * position + "^"


def test_expression_error_survives_pickling():
    # Errors cross process boundaries when models are built in a process pool.
    with pytest.raises(tolq.ExpressionError) as info:
        parse("tanh(x0, )")
    again = pickle.loads(pickle.dumps(info.value))
    assert (again.message, again.position, str(again)) == \
           (info.value.message, info.value.position, str(info.value))


def test_nesting_is_bounded_without_recursion_error():
    deep = "sine(" * 5000 + "x" + ")" * 5000
    with pytest.raises(tolq.ExpressionError, match="nested deeper"):
        parse(deep)


@pytest.mark.parametrize("text", [
    "x0", ISSUE_EXAMPLE, "multiply(tanh(x), tanh(x))",
    "linear(tanh(sine(multiply(x0, x1)), gaussian(x1)), store)",
    "linear('unit price', \"it's\")",
])
def test_layout_inputs_first_sources_before_users_output_last(text):
    m = model(text)
    slots = layout(m)
    n_inputs = len(m.inputs)
    tree = parse(text)
    calls = []
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, Call):
            calls.append(node)
            stack.extend(node.args)
    assert len(slots) == n_inputs + len(calls) + 1
    for i, (kind, name, sources) in enumerate(slots):
        if i < n_inputs:
            assert kind == ("cat" if name == "store" else "fixed") and sources == ()
            assert m.graph[i].depth == -1
        else:
            assert kind not in ("cat",) and sources and all(0 <= s < i for s in sources)
    assert slots[-1][:2] == ("fixed", "y")
    # The printed expression reads back as the same tree.
    assert shape(parse(m.expression)) == shape(tree)


@pytest.mark.parametrize("text, expected", [
    (ISSUE_EXAMPLE, [("fixed", "x0", ()), ("fixed", "x1", ()), ("linear", "", (0, 1)),
                     ("tanh", "", (0, 1)), ("multiply", "", (2, 3)), ("gaussian", "", (4, 1)),
                     ("sine", "", (5,)), ("fixed", "y", (6,))]),
    # equal subexpressions are separate nodes
    ("multiply(tanh(x), tanh(x))", [("fixed", "x", ()), ("tanh", "", (0,)), ("tanh", "", (0,)),
                                    ("multiply", "", (1, 2)), ("fixed", "y", (3,))]),
])
def test_layout_examples(text, expected):
    assert layout(model(text)) == expected


@pytest.mark.parametrize("kwargs, message", [
    (dict(target="x0"), "also an input"),
    (dict(categorical=("zz",)), "does not appear"),
    (dict(target=""), "target"),
    (dict(target="y" * 127), "too long"),
    (dict(loss="hinge"), "unknown loss"),
    (dict(rate_level=-1), "rate_level"),
    (dict(rate_level=1.5), "rate_level must be an int"),
    (dict(target_transform="sqrt"), "unknown target transform 'sqrt'"),
])
def test_bad_model_arguments(kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message):
        tolq.Model.from_expression("sine(x0)", **kwargs)


def test_seed_gives_reproducible_start():
    a, b, c = (model(ISSUE_EXAMPLE, seed=seed).to_dict() for seed in (5, 5, 6))
    assert a == b and a != c


def test_str_shows_learned_parameters():
    m = tolq.Model.from_expression("sine(linear(x0))", target="out")
    m.graph[1].state._from_dict({"w0": 0.25, "w1": 9.0, "bias": -1.5})
    m.graph[2].state._from_dict({"x0": 0.0, "k": 2.0})
    first = m.describe().splitlines()[0]
    # w1 takes no part with one source and is not shown.
    assert first == "out = sine[x0=0, k=2](linear[w0=0.25, bias=-1.5](x0))"


@pytest.mark.parametrize("node_type", NODE_TYPES.values(), ids=lambda t: t.name)
def test_node_table_matches_the_module(node_type):
    node = _tolq.Interaction(node_type.name, (1, 0, 0))
    assert tuple(node.state._to_dict()) == node_type.parameters
    assert set(node_type.second_source) <= set(node_type.parameters)
    if node_type.draw is not None:
        drawn = node_type.draw(np.random.default_rng(0))
        assert tuple(drawn) == node_type.parameters
        node.state._from_dict(drawn)  # the module takes every drawn value
