"""Parsing and printing of graph expressions such as ``sine(multiply(x0, x1))``.

The grammar is deliberately tiny::

    expression := term
    term       := input | function "(" term ["," term] ")"
    input      := name | transform "(" name ")"
    name       := identifier | "'" text "'" | '"' text '"'

A call is an identifier directly followed (blanks allowed) by "(", anything else is an
input name. Quotes admit column names that are not identifiers ("'unit price'"). A
transform (log, inv, sqrt) applies to an input column only: ``log(x)`` is an input of
its own, computed from the column ``x``.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Tuple, Union

from ._nodes import FUNCTIONS
from ._transforms import TRANSFORMS

# Deep enough for any sensible model, shallow enough to stay clear of the recursion limit.
MAX_NESTING = 100


class ExpressionError(ValueError):
    """A malformed expression; ``position`` is the 0-based offset of the fault.

    ``str()`` gives the message followed by the expression and a caret under the
    offending character; ``message`` is the first line alone.
    """

    def __init__(self, message: str, expression: str, position: int) -> None:
        self.message = message
        self.expression = expression
        self.position = position
        # Tabs and line breaks would throw the caret off its column.
        shown = "".join(" " if c.isspace() else c for c in expression)
        super().__init__(f"{message}\n  {shown}\n  {' ' * position}^")

    def __reduce__(self) -> Tuple[Any, Tuple[str, str, int]]:
        # The default would call __init__ with the formatted text alone.
        return (type(self), (self.message, self.expression, self.position))


@dataclass(frozen=True)
class Name:
    """A reference to an input column, read as it is or through a transform."""

    name: str
    position: int
    transform: str = ""  # "" or a name of ``TRANSFORMS``: log(x), inv(x), sqrt(x)

    @property
    def text(self) -> str:
        """How the input is written: inputs with the same text are one input."""
        return transformed_name(self.name, self.transform)


@dataclass(frozen=True)
class Call:
    """An application of one of the five functions."""

    function: str
    args: Tuple["Node", ...]
    position: int


Node = Union[Name, Call]


def _is_name_start(c: str) -> bool:
    return c.isalpha() or c == "_"


def _is_name_char(c: str) -> bool:
    return c.isalnum() or c == "_"


def is_identifier(name: str) -> bool:
    """Whether ``name`` can be written in an expression without quotes."""
    return bool(name) and _is_name_start(name[0]) and all(_is_name_char(c) for c in name[1:])


def arity_text(low: int, high: int) -> str:
    if low == high:
        return f"{low} argument" + ("" if low == 1 else "s")
    return f"{low} or {high} arguments"


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0

    def fail(self, message: str, position: int) -> ExpressionError:
        return ExpressionError(f"{message} at position {position}", self.text, position)

    def skip_blanks(self) -> None:
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def peek(self) -> str:
        """The next character after blanks, or "" at the end."""
        self.skip_blanks()
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def expect(self, wanted: str) -> None:
        c = self.peek()
        if c == "":
            raise self.fail(f"expected {wanted} but the expression ends", self.pos)
        raise self.fail(f"expected {wanted} but found {c!r}", self.pos)

    def parse(self) -> Node:
        if self.peek() == "":
            raise self.fail("empty expression", 0)
        node = self.term(0)
        c = self.peek()
        if c != "":
            raise self.fail(f"unexpected {c!r} after the end of the expression", self.pos)
        return node

    def term(self, depth: int) -> Node:
        c = self.peek()
        start = self.pos
        if depth > MAX_NESTING:
            raise self.fail(f"expression nested deeper than {MAX_NESTING} calls", start)
        if c in ("'", '"'):
            end = self.text.find(c, start + 1)
            if end < 0:
                raise self.fail("unterminated quoted name", start)
            if end == start + 1:
                raise self.fail("empty quoted name", start)
            self.pos = end + 1
            return Name(self.text[start + 1:end], start)
        if c == "" or not _is_name_start(c):
            self.expect("an input name or a function call")
        while self.pos < len(self.text) and _is_name_char(self.text[self.pos]):
            self.pos += 1
        word = self.text[start:self.pos]
        if self.peek() != "(":
            return Name(word, start)
        if word in TRANSFORMS:
            return self.transformed(word, start, depth)
        if word not in FUNCTIONS:
            known = ", ".join(sorted(FUNCTIONS) + sorted(TRANSFORMS))
            raise self.fail(f"unknown function {word!r} (known: {known})", start)
        self.pos += 1  # the "("
        args = []
        if self.peek() != ")":
            while True:
                args.append(self.term(depth + 1))
                c = self.peek()
                if c == ",":
                    self.pos += 1
                elif c == ")":
                    break
                else:
                    self.expect("',' or ')'")
        self.pos += 1  # the ")"
        low, high = FUNCTIONS[word]
        if not low <= len(args) <= high:
            raise self.fail(f"{word} takes {arity_text(low, high)} but {len(args)} "
                            f"{'was' if len(args) == 1 else 'were'} given", start)
        return Call(word, tuple(args), start)

    def transformed(self, word: str, start: int, depth: int) -> Name:
        self.pos += 1  # the "("
        inner = self.term(depth + 1)
        if not isinstance(inner, Name) or inner.transform:
            raise self.fail(f"{word} applies to an input column, not to a call", inner.position)
        if self.peek() != ")":
            self.expect("')'")
        self.pos += 1
        return Name(inner.name, start, word)


def transformed_name(name: str, transform: str) -> str:
    """The text of an input: ``name`` quoted as needed, inside its transform if any."""
    return f"{transform}({quote_name(name)})" if transform else quote_name(name)


def parse(text: str) -> Node:
    """Parse ``text`` into a tree of ``Call`` and ``Name`` nodes.

    Raises ``ExpressionError`` (a ``ValueError``) for empty or malformed text, unknown
    functions and wrong numbers of arguments.
    """
    return _Parser(text).parse()


def quote_name(name: str) -> str:
    """``name`` as it must be written in an expression."""
    if is_identifier(name):
        return name
    return f'"{name}"' if "'" in name else f"'{name}'"
