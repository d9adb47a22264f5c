"""graphql-core as the oracle of the typed layer: a lab of tools, graphql-core's
schema built from the SDL the layer prints and resolved by the same tools,
a generator of documents over it, and the comparison of both answers. The
property test in test_typed.py and the oracle fuzz target (tests/fuzz)
share all of it, so a difference fixed for one is fixed for both."""

from __future__ import annotations

import json
import re
from collections.abc import Sequence
from typing import Protocol, TypeVar

import graphql

import _graphql

T = TypeVar("T")

LAB = [{"server": "lab", "tools": [
    {"name": "weather", "readOnly": True, "description": "Weather of a city",
     "inputSchema": {"type": "object", "required": ["city"], "properties": {
         "city": {"type": "string"}, "unit": {"enum": ["C", "F"], "default": "C"},
         "days": {"type": "integer", "minimum": 1, "maximum": 7}}},
     "outputSchema": {"type": "object", "required": ["city", "temperature"], "properties": {
         "city": {"type": "string"}, "temperature": {"type": "number"}, "unit": {"enum": ["C", "F"]},
         "tags": {"type": "array", "items": {"type": "string"}},
         "wind": {"type": "object", "properties": {"speed": {"type": "number"}, "dir": {"type": "string"}}},
         "readings": {"type": "array", "items": {"type": "object", "required": ["value"], "properties": {
             "at": {"type": "string"}, "value": {"type": "integer"}}}}}}},
    {"name": "echo", "readOnly": True, "inputSchema": {"type": "object", "properties": {"text": {"type": "string"}}}},
    {"name": "fail", "readOnly": True},
    {"name": "broken", "readOnly": True,
     "outputSchema": {"type": "object", "required": ["value"], "properties": {"value": {"type": "string"}}}},
    {"name": "listy", "readOnly": True, "outputSchema": {"type": "object", "properties": {"items": {
        "type": "array", "items": {"type": "object", "required": ["n"], "properties": {"n": {"type": "integer"}}}}}}},
    {"name": "odd", "readOnly": True, "outputSchema": {"type": "object", "properties": {
        "i": {"type": "integer"}, "e": {"enum": ["A", "B"]}, "f": {"type": "number"}, "s": {"type": "string"},
        "ok": {"type": "string"}}}},
    # Answers values its types take only as graphql-js 16 serializes them
    # (numbers as strings, flags as numbers), and some no serializer takes.
    {"name": "loose", "readOnly": True, "inputSchema": {"type": "object", "properties": {
        "q": {"type": "object", "required": ["k"], "properties": {"k": {"type": "string"}}},
        "ids": {"type": "array", "items": {"type": "integer"}}}},
     "outputSchema": {"type": "object", "properties": {
         "s": {"type": "string"}, "i": {"type": "integer"}, "f": {"type": "number"}, "b": {"type": "boolean"},
         "t": {"type": "string"}, "j": {"type": "integer"}, "k": {"type": "integer"}, "z": {"type": "boolean"},
         "big": {"type": "integer"}, "bad": {"type": "number"}, "got": {"type": "string"}}}},
    {"name": "count", "readOnly": False, "inputSchema": {"type": "object", "properties": {"by": {"type": "integer"}}},
     "outputSchema": {"type": "object", "required": ["total"], "properties": {"total": {"type": "integer"}}}},
]}]
LAB_JSON = json.dumps(LAB)


class LabTools:
    """The lab's tools; one instance per run, so both runs count from zero."""

    def __init__(self) -> None:
        self.total = 0
        self.calls: list[str] = []

    def lab_weather(self, city: str, unit: str = "C", days: int | None = None) -> dict:
        self.calls.append("weather")
        return {"city": city, "temperature": 20.5 if city == "Oslo" else -3, "unit": unit, "tags": ["a", city],
                "wind": {"speed": 4, "dir": "N"}, "readings": [{"at": "t0", "value": days or 1}, {"value": 2}]}

    def lab_echo(self, text: str = "") -> str:
        self.calls.append("echo")
        return text

    def lab_fail(self) -> str:
        self.calls.append("fail")
        raise ValueError("boom")

    def lab_broken(self) -> dict:
        self.calls.append("broken")
        return {"value": None}

    def lab_listy(self) -> dict:
        self.calls.append("listy")
        return {"items": [{"n": 1}, {"n": "x"}, {"n": None}, {}, {"n": 2}]}

    def lab_odd(self) -> dict:
        self.calls.append("odd")
        return {"i": 1.5, "e": "C", "f": "x", "s": {"a": 1}, "ok": "fine"}

    def lab_loose(self, q: dict | None = None, ids: list | None = None) -> dict:
        self.calls.append("loose")
        return {"s": 1.5, "i": "12", "f": "1.5", "b": 1, "t": True, "j": 7.0, "k": False, "z": 0,
                "big": "99999999999", "bad": "x1", "got": json.dumps([q, ids], sort_keys=True)}

    def lab_count(self, by: int | None = 1) -> dict:
        self.calls.append("count")
        self.total += 1 if by is None else by
        return {"total": self.total}


def tool_result(value: object) -> dict:
    """What a ToolResult holds for a host handler's plain answer."""
    text = value if isinstance(value, str) else json.dumps(value, separators=(",", ":"))
    return {"text": text, "json": value, "content": None, "structuredContent": None, "isError": False}


def oracle_schema(sdl: str, tools: LabTools) -> graphql.GraphQLSchema:
    """graphql-core's schema from this layer's SDL, resolved by the same tools."""
    schema = graphql.build_schema(sdl)
    views = json.loads(_graphql.SchemaEngine(LAB_JSON).execute("{ servers search }"))["data"]
    for name in views:
        schema.query_type.fields[name].resolve = lambda _root, _info, name=name: views[name]
    typed = {"weather", "broken", "count", "listy", "odd", "loose"}
    for root in (schema.query_type, schema.mutation_type):
        for name, field in root.fields.items():
            if not name.startswith("lab_"):
                continue
            method = getattr(tools, name)
            if name[4:] in typed:
                field.resolve = lambda _root, _info, method=method, **args: method(**args)
            elif name == "lab_fail":
                def fail(_root, _info, method=method, **args):
                    try:
                        method(**args)
                    except ValueError as error:
                        raise Exception(f"ValueError: {error}") from None
                field.resolve = fail
            else:
                field.resolve = lambda _root, _info, method=method, **args: tool_result(method(**args))
    return schema


def ordered(value: object) -> object:
    """The value with its key order made visible to ==."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    if isinstance(value, list):
        return [ordered(item) for item in value]
    return value


def schema_types_by_name(value: object, key: str = "") -> object:
    """The value with every `__schema { types }` list sorted by name: this
    layer lists the built-in types first, graphql-core's schema in the order
    its SDL defines them, and the order means nothing to a client."""
    if isinstance(value, dict):
        return {name: schema_types_by_name(item, name) for name, item in value.items()}
    if isinstance(value, list):
        items = [schema_types_by_name(item) for item in value]
        if key == "types" and all(isinstance(item, dict) and "name" in item for item in items):
            return sorted(items, key=lambda item: str(item["name"]))
        return items
    return value


# -- where this layer knowingly differs from graphql-core -------------------------

# Refusals that graphql-core has no counterpart for: the request limits
# (graphql-core nests, counts and sizes without bound) and validation's stop
# after a hundred errors, whose set then differs from graphql-core's.
# The parser's nesting bound refuses as a syntax error.
LIMIT_MESSAGE = re.compile(r"^(Syntax Error: )?(Selections nest deeper than|Fragment spreads nest deeper than|Document nests deeper than"
                           r"|Document is larger than|The operation selects more than|The operation calls more than"
                           r"|Too many validation errors)")


# Where a root field is asked of the other root type, this layer says where
# it is instead of suggesting near names (graphql-core's "Did you mean").
ROOT_HINT = re.compile(r' "\w+" is a (Query|Mutation) field: use `(query|mutation) \{ \w+ \}`\.$')
UNKNOWN_FIELD = re.compile(r'^Cannot query field "\w+" on type "\w+"\.')


def without_root_hints(ours: list[str], theirs: list[str]) -> tuple[list[str], list[str]]:
    """Both lists of messages with each root hint of ours taken out, and the
    suggestions it stands for taken out of graphql-core's message for the
    same field."""
    hinted = set()
    stripped = []
    for message in ours:
        if ROOT_HINT.search(message):
            message = ROOT_HINT.sub("", message)
            hinted.add(message)
        stripped.append(message)
    cut = [match.group(0) if (match := UNKNOWN_FIELD.match(m)) and match.group(0) in hinted else m for m in theirs]
    return stripped, cut


def offset_of(document: str, line: int, column: int) -> int:
    """The index in `document` of a GraphQL location (lines end at \\n, \\r\\n or \\r)."""
    starts = [0] + [match.end() for match in re.finditer(r"\r\n|\r|\n", document)]
    return starts[line - 1] + column - 1 if 0 < line <= len(starts) else len(document)


def empty_selection_set(document: str, mine: dict) -> bool:
    """graphql-core 3.3 reads `{ }` as an empty selection set; the grammar (and
    this layer) refuse it."""
    for error in mine.get("errors", ()):
        if error["message"].startswith('Syntax Error: Expected Name, found "}"') and error.get("locations"):
            at = offset_of(document, error["locations"][0]["line"], error["locations"][0]["column"])
            # Comments are ignored tokens too (a `#` inside a string only
            # widens this check, never narrows it).
            before = re.sub(r"#[^\r\n]*", "", document[:at])
            if before.rstrip(" \t\r\n,\ufeff").endswith("{"):
                return True
    try:
        parsed = graphql.parse(document)
    except graphql.GraphQLError:
        return False
    found = []

    class Visitor(graphql.Visitor):
        def enter_selection_set(self, node, *_):
            if not node.selections:
                found.append(node)

    graphql.visit(parsed, Visitor())
    return bool(found)


TYPE_SYSTEM = {"schema", "scalar", "type", "interface", "union", "enum", "input", "directive"}


def passed_over_from(document: str) -> tuple[int, int] | None:
    """Where this layer starts passing over the document's first type system
    definition: after its keyword(s) and name, which it does check."""
    tokens = []
    lexer = graphql.language.Lexer(graphql.Source(document))
    try:
        token = lexer.advance()
        while token.kind != graphql.TokenKind.EOF:
            tokens.append(token)
            token = lexer.advance()
    except graphql.GraphQLError:
        pass
    tokens.append(None)
    depth, at_start = 0, True
    for index, token in enumerate(tokens[:-1]):
        if depth == 0 and at_start and token.kind == graphql.TokenKind.NAME and token.value in TYPE_SYSTEM | {"extend"}:
            rest = tokens[index:]
            if token.value == "extend":
                rest = rest[1:]
                if rest[0] is None or rest[0].kind != graphql.TokenKind.NAME or rest[0].value not in TYPE_SYSTEM:
                    return None
            skip = 1 if rest[0].value == "schema" else 2 + (rest[0].value == "directive" and rest[1] is not None
                                                             and rest[1].kind == graphql.TokenKind.AT)
            if skip >= len(rest) or not all(rest[:skip]):
                return None
            after = rest[skip]
            if after is None:  # the document ends with the name: the pass starts at its end
                last = rest[skip - 1]
                return last.line, last.column + last.end - last.start
            return after.line, after.column
        if token.kind in (graphql.TokenKind.BRACE_L, graphql.TokenKind.PAREN_L, graphql.TokenKind.BRACKET_L):
            depth += 1
        elif token.kind in (graphql.TokenKind.BRACE_R, graphql.TokenKind.PAREN_R, graphql.TokenKind.BRACKET_R):
            depth -= 1
        at_start = (depth == 0 and token.kind == graphql.TokenKind.BRACE_R) or (
            at_start and token.kind in (graphql.TokenKind.STRING, graphql.TokenKind.BLOCK_STRING))
    return None


def passed_over_syntax(document: str, theirs: graphql.ExecutionResult) -> bool:
    """A type system definition is refused as not executable after a pass
    over its tokens (brackets balanced, nothing more), so a syntax error
    inside or after one is graphql-core's alone."""
    syntax = [e for e in theirs.errors or () if isinstance(e, graphql.GraphQLSyntaxError)]
    start = passed_over_from(document) if syntax else None
    return start is not None and start <= (syntax[0].locations[0].line, syntax[0].locations[0].column)


def known_difference(document: str, mine: dict, theirs: graphql.ExecutionResult | None) -> str | None:
    """Why the two answers may rightly disagree, or None when they must agree.
    `theirs` is None when graphql-core itself broke down (its recursion on
    deep documents)."""
    if any(LIMIT_MESSAGE.match(error["message"]) for error in mine.get("errors", ())):
        return "request limits"
    if theirs is None:
        return "graphql-core recursion"
    if empty_selection_set(document, mine):
        return "empty selection set"
    if passed_over_syntax(document, theirs):
        return "type system definitions passed over"
    return None


# -- the comparison ---------------------------------------------------------------


def refusal(result: graphql.ExecutionResult) -> bool:
    """graphql-core refused the request as a whole (syntax, validation,
    operation choice, variables): no data and no error on a field path."""
    return result.data is None and all(error.path is None for error in result.errors or ())


# extensions.code is this layer's own: graphql-core gives none, so the code
# each of its errors would carry here is read off the kind of error.
COERCION = re.compile(r"^Variable '\$\w+' (has invalid value|of required type .* was not provided"
                      r"|of non-null type .* must not be None)")
RESULT_FAULT = re.compile(r"^((Int|Float|String|Boolean|ID|Enum '\w+') cannot represent|Cannot return null for"
                          r"|Expected Iterable)")


def expected_code(error: graphql.GraphQLError, refused: bool) -> str:
    if isinstance(error, graphql.GraphQLSyntaxError):
        return "GRAPHQL_PARSE_FAILED"
    if refused:
        if COERCION.match(error.message):
            return "BAD_USER_INPUT"
        if error.message.startswith(("Unknown operation named", "Must provide operation")):
            return "OPERATION_RESOLUTION_FAILURE"
        return "GRAPHQL_VALIDATION_FAILED"
    if error.message.startswith("Argument '"):
        return "BAD_USER_INPUT"
    return "INVALID_TOOL_RESULT" if RESULT_FAULT.match(error.message) else "TOOL_ERROR"


def code_of(error: dict) -> str | None:
    return (error.get("extensions") or {}).get("code")


def locations(errors) -> list[tuple[int, int]]:
    return sorted({(line, column) for line, column in errors})


class Oracle:
    """graphql-core over the same SDL as `layer`, resolved by tools of its own
    that start from the same state as the layer's on every comparison."""

    def __init__(self, layer, tools: LabTools) -> None:
        self.layer, self.tools = layer, tools
        self.oracle_tools = LabTools()
        self.schema = oracle_schema(layer.sdl(), self.oracle_tools)

    def compare(self, query: str, variables: dict | None = None, operation_name: str | None = None,
                messages: bool = True) -> dict:
        """Runs `query` through both and asserts they agree on accept or
        refuse (with the same syntax error location), on `data`, and on the
        errors' paths, locations and (unless `messages` is false) wording."""
        self.tools.total = self.oracle_tools.total = 0
        mine = self.layer.execute(query, variables, operation_name)
        try:
            theirs = graphql.graphql_sync(self.schema, query, variable_values=variables,
                                          operation_name=operation_name)
        except RecursionError:
            theirs = None
        if known_difference(query, mine, theirs):
            return mine
        if refusal(theirs):
            assert "data" not in mine and mine["errors"], (query, mine, theirs.errors)
            assert {code_of(e) for e in mine["errors"]} == {expected_code(e, True) for e in theirs.errors}, (
                query, mine, theirs.errors)
            syntax = [e for e in theirs.errors if isinstance(e, graphql.GraphQLSyntaxError)]
            if syntax:
                assert [(loc["line"], loc["column"]) for e in mine["errors"] for loc in e.get("locations", ())] == [
                    (loc.line, loc.column) for loc in syntax[0].locations], (query, mine, theirs.errors)
            return mine
        assert "data" in mine, (query, mine, theirs.errors)
        assert ordered(schema_types_by_name(mine["data"])) == ordered(schema_types_by_name(theirs.data)), (
            query, mine, theirs.data)
        # graphql-core quotes values as Python's repr does (single quotes,
        # spaces) and says None where graphql-js says null.
        wording = (lambda m: re.sub(r"[\s'\"]", "", m.replace("None", "null"))) if messages else (lambda m: "")
        expected = sorted((tuple(e.path or ()), tuple((loc.line, loc.column) for loc in e.locations or ()),
                           wording(e.message), expected_code(e, False)) for e in theirs.errors or ())
        got = sorted((tuple(e.get("path", ())), tuple((loc["line"], loc["column"]) for loc in e.get("locations", ())),
                      wording(e["message"]), code_of(e)) for e in mine.get("errors", ()))
        assert got == expected, (query, got, expected)
        return mine


# -- generated documents ------------------------------------------------------------


class Choices(Protocol):
    """Where a generated document's choices come from: Hypothesis in the
    property test, the fuzzer's bytes in the fuzz target."""

    def integer(self, low: int, high: int) -> int: ...

    def pick(self, options: Sequence[T]) -> T: ...


def selection(type_: graphql.GraphQLObjectType, choose: Choices, depth: int) -> str:
    """A random selection set of `type_`: fields with aliases and arguments,
    directives, inline and named fragments, sometimes a mistake."""
    parts = []
    names = sorted(type_.fields) + ["__typename"]
    for _ in range(choose.integer(1, 3)):
        name = choose.pick(names)
        if name.startswith("lab_fail") and choose.integer(0, 1):
            continue
        field = type_.fields.get(name)
        # "k: " on two different fields is a conflict both sides must refuse.
        text = choose.pick(["", "", f"{name[-3:]}1: ", "k: "]) + name
        if name == "lab_weather":
            text += choose.pick(['(city: "Oslo")', "(city: $city)", '(city: "Rome", unit: F)',
                                 '(city: "Oslo", days: $days)', '(city: "Oslo", days: 2)', ""])
        elif name == "lab_echo":
            text += choose.pick(['(text: "a")', "(text: $city)", "", '(text: "b")', "(text: 3)"])
        elif name == "lab_count":
            text += choose.pick(["", "", "(by: 2)", "(by: $days)", '(by: "x")'])
        elif name == "lab_loose":
            # Variables that may be null where their position is not.
            text += choose.pick(["", "(q: {k: $city})", "(ids: [1, $n])", "(ids: $n)", '(q: {k: "a"}, ids: 2)'])
        text += choose.pick(["", "", " @skip(if: $flag)", " @include(if: $flag)", " @include(if: false)"])
        named = graphql.get_named_type(field.type) if field else None
        if isinstance(named, graphql.GraphQLObjectType):
            if depth < 3 and choose.integer(0, 9) > 0:
                text += " { " + selection(named, choose, depth + 1) + " }"
        elif choose.integer(0, 19) == 0:
            text += " { nope }"
        wrap = choose.integer(0, 5)
        if wrap == 0:
            text = "... { " + text + " }"
        elif wrap == 1:
            text = f"... on {type_.name} {{ {text} }}"
        parts.append(text)
    # Never "{ }": see empty_selection_set.
    return " ".join(parts) or "__typename"


def generated_request(schema: graphql.GraphQLSchema, choose: Choices) -> tuple[str, dict, str | None]:
    """A query or mutation over `schema`, the variables to run it with and
    the operation name to ask for (sometimes one the document lacks)."""
    root, operation = schema.query_type, "query"
    if choose.integer(0, 4) == 0:
        root, operation = schema.mutation_type, "mutation"
    body = selection(root, choose, 1)
    # Only the variables the body uses, since an unused one is an error.
    declared = [text for name, text in (("city", '$city: String = "Oslo"'), ("flag", "$flag: Boolean!"),
                                        ("days", "$days: Int"), ("n", "$n: Int = 1")) if f"${name}" in body]
    query = f"{operation} Op{'(' + ', '.join(declared) + ')' if declared else ''} {{ {body} }}"
    if choose.integer(0, 1):
        query += " fragment Unused on Query { __typename }"
    variables = {"flag": bool(choose.integer(0, 1))}
    if choose.integer(0, 1):
        variables["days"] = choose.pick([3, None])
    # An explicit null overrides a default, which validation cannot see.
    for name, value in (("city", "Rome"), ("n", 5)):
        if choose.integer(0, 2) == 0:
            variables[name] = choose.pick([value, None])
    return query, variables, choose.pick([None, None, "Op", "Other"])
