"""The typed GraphQL layer (``_graphql_typed.TypedSchema``, ``quorvel_graphql.GraphQL``)
against graphql-core as the oracle: the same SDL, the same tool results, the
same documents; plus what only this layer promises (calls made or not,
their order and concurrency, limits, the MCP adapter)."""

from __future__ import annotations

import json
import sys
import threading

import graphql
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _graphql
import _graphql_typed
from conftest import EXAMPLE_CATALOGUE, Background, Host, examples
from quorvel_graphql import GraphQL, ToolHost
from support.typed_oracle import LAB_JSON, LabTools, Oracle, generated_request, known_difference


@pytest.fixture(scope="module")
def lab():
    """A running host over the lab's tools, its typed layer, and the oracle."""
    tools = LabTools()
    host = ToolHost(LAB_JSON)
    host.register_methods(tools, inline=True)
    with host:
        layer = GraphQL(host, LAB_JSON)
        yield layer, tools


ORACLES: dict[int, Oracle] = {}  # by layer, built once


def compare_with_oracle(layer: GraphQL, tools: LabTools, query: str, variables: dict | None = None,
                        operation_name: str | None = None, messages: bool = True) -> dict:
    oracle = ORACLES.get(id(layer)) or ORACLES.setdefault(id(layer), Oracle(layer, tools))
    return oracle.compare(query, variables, operation_name, messages)


# -- the schema ------------------------------------------------------------------


@pytest.mark.parametrize(("schema", "expected"), [
    ({"type": "string"}, "x: String"),
    ({"type": "integer"}, "x: Int"),
    ({"type": "integer", "maximum": 2 ** 40}, "x: Float"),
    ({"type": "number"}, "x: Float"),
    ({"type": ["boolean", "null"]}, "x: Boolean"),
    ({"anyOf": [{"type": "string"}, {"type": "null"}]}, "x: String"),
    ({"oneOf": [{"type": "string"}, {"type": "integer"}]}, "x: JSON"),
    ({"type": "array", "items": {"type": "integer"}}, "x: [Int!]"),
    ({"enum": ["red", "green"]}, "x: LabToolX"),
    ({"enum": ["red-ish", "green"]}, "x: String"),
    ({"enum": ["true", "x"]}, "x: String"),
    ({"type": "object"}, "x: JSON"),
    ({"type": "object", "properties": {"a": {"type": "string"}}}, "x: LabToolXInput"),
    ({"type": "string", "default": "q\"uote"}, 'x: String = "q\\"uote"'),
])
def test_argument_types_from_json_schema(schema, expected):
    catalogue = json.dumps([{"server": "lab", "tools": [{"name": "tool", "inputSchema": {
        "type": "object", "properties": {"x": schema}}}]}])
    sdl = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue).sdl()
    assert f"lab_tool({expected}): ToolResult" in sdl
    graphql.build_schema(sdl)  # and graphql-core reads it


def test_names_map_reversibly_and_unpassable_arguments_are_left_out(lab):
    catalogue = json.dumps([{"server": "s", "tools": [{"name": "t", "inputSchema": {"type": "object", "properties": {
        "ok": {"type": "object", "properties": {"a-b": {"type": "string"}, "a_b": {"type": "string"}}}, "bad-name":
        {"type": "string"}}}, "outputSchema": {"type": "object", "properties": {"2x": {"type": "string"},
                                                                               "__hidden": {"type": "integer"}}}}]}])
    engine = _graphql.SchemaEngine(catalogue)
    sdl = _graphql_typed.TypedSchema(engine, catalogue).sdl()
    assert "s_t(ok: STOkInput): STResult" in sdl
    assert "  a_b: String\n  a_b_2: String\n" in sdl and "  _2x: String\n  x__hidden: Int\n" in sdl
    seen = []
    host = ToolHost(engine)
    host.register("s", "t", lambda **args: seen.append(args) or {"2x": "two", "__hidden": 7})
    with host:
        answer = GraphQL(host, catalogue).execute('{ s_t(ok: {a_b: "dash", a_b_2: "under"}) { _2x x__hidden } }')
    assert answer == {"data": {"s_t": {"_2x": "two", "x__hidden": 7}}}
    assert seen == [{"ok": {"a-b": "dash", "a_b": "under"}}]


def nested_schemas(inner):
    return st.one_of(
        st.builds(lambda items: {"type": "array", "items": items}, inner),
        st.builds(lambda props, req: {"type": "object", "properties": props, "required": [k for k in props if req]},
                  st.dictionaries(st.sampled_from(["a", "b-c", "2d", "__e", "f"]), inner, max_size=3), st.booleans()),
        st.builds(lambda a: {"anyOf": [a, {"type": "null"}]}, inner))


JSON_SCHEMAS = st.recursive(
    st.sampled_from([{"type": "string"}, {"type": "integer"}, {"type": "number"}, {"type": "boolean"},
                     {"enum": ["A", "B"]}, {"enum": ["x y"]}, {"type": ["string", "null"]}, {}, {"type": "null"}]),
    nested_schemas, max_leaves=8)


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.tuples(JSON_SCHEMAS, JSON_SCHEMAS, st.booleans()), min_size=1, max_size=4))
def test_sdl_and_introspection_round_trip_through_graphql_core(tools):
    catalogue = json.dumps([{"server": "gen", "tools": [
        {"name": f"t{i}", "readOnly": ro, "inputSchema": {"type": "object", "properties": {"arg": inp}},
         "outputSchema": {"type": "object", "properties": {"out": out}}}
        for i, (inp, out, ro) in enumerate(tools)]}])
    typed = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue)
    sdl = typed.sdl()
    assert graphql.print_schema(graphql.build_schema(sdl)) == sdl
    introspection = json.loads(typed.execute(graphql.get_introspection_query(
        descriptions=True, specified_by_url=True, directive_is_repeatable=True, input_value_deprecation=True)))
    assert "errors" not in introspection
    client = graphql.build_client_schema(introspection["data"])
    assert graphql.print_schema(client) == sdl
    assert graphql.validate(client, graphql.parse(graphql.get_introspection_query())) == []


def test_example_catalogue_introspects_like_graphql_core():
    catalogue = EXAMPLE_CATALOGUE.read_text()
    typed = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue)
    query = graphql.get_introspection_query(descriptions=True)
    mine = json.loads(typed.execute(query))["data"]["__schema"]
    theirs = graphql.graphql_sync(graphql.build_schema(typed.sdl()), query).data["__schema"]
    # The schema's own types agree member for member; the meta-types and
    # directives follow graphql-js 16, which graphql-core 3.3 has moved past.
    own = lambda schema: sorted((t for t in schema["types"] if not t["name"].startswith("__")),  # noqa: E731
                                key=lambda t: t["name"])
    assert own(mine) == own(theirs)
    assert [mine[k] for k in ("queryType", "mutationType", "subscriptionType")] == [
        theirs[k] for k in ("queryType", "mutationType", "subscriptionType")]
    assert {d["name"] for d in mine["directives"]} < {d["name"] for d in theirs["directives"]}


# -- execution against the oracle -----------------------------------------------


@pytest.mark.parametrize(("query", "variables", "operation"), [
    ('{ lab_weather(city: "Oslo") { city temperature unit tags wind { speed } readings { value at } } }', None, None),
    ('query($c: String! = "Rome", $u: LabWeatherUnit) { w: lab_weather(city: $c, unit: $u) { unit temperature } }',
     {"u": "F"}, None),
    ('{ a: lab_echo(text: "x") { text json isError content __typename } b: lab_echo { text } }', None, None),
    ('{ lab_fail { text } ok: lab_echo(text: "fine") { text } }', None, None),
    ('{ lab_broken { value } }', None, None),
    ('query A { lab_echo(text: "a") { text } } query B { lab_echo(text: "b") { text } }', None, "B"),
    ('mutation { a: lab_count { total } b: lab_count(by: 5) { total } c: lab_count { total } }', None, None),
    ('query($go: Boolean!) { lab_echo(text: "a") @include(if: $go) { text } n: lab_fail @skip(if: $go) { text } }',
     {"go": False}, None),
    ('{ ...W ... on Query { e: lab_echo(text: "i") { text } } } fragment W on Query { lab_weather(city: "Oslo") '
     '{ ... on LabWeatherResult { city } ...T } } fragment T on LabWeatherResult { temperature __typename }',
     None, None),
    ('{ servers { name toolCount readOnlyCount } search { field readOnly } __typename }', None, None),
    ('{ lab_weather(city: "x") { cty } }', None, None),
    ('{ lab_weather { city } }', None, None),
    ('{ lab_weather(city: "x") }', None, None),
    ('{ x: lab_echo(text: "a") { text } x: lab_echo(text: "b") { text } }', None, None),
    ('query($n: Int) { lab_count(by: $n) { total } }', None, None),
    ('{ lab_weather(city: "x", days: 99999999999) { city } }', None, None),
    ('query A { __typename } query B { __typename }', None, None),
    ('{ lab_echo(text: "a") { text }', None, None),
    # Found by the oracle fuzz target: only type system kinds follow `extend`.
    ('{ __typename } extend ry ema { query: Query }', None, None),
    ('{ __typename } extend directive @d on FIELD', None, None),
    ('"d" scalar @(a: 1) { __typename }', None, None),  # only a directive's name follows an @
    # Descriptions go with variable definitions as with operations (graphql-js 17).
    ('"Op" query("a" $t: String = "x", """b""" $u: Int) { lab_weather(city: $t, days: $u) { city } }', None,
     None),
    ('query($t: String "d") { lab_echo(text: $t) { text } }', None, None),
    ('query("d" $v: Int) { lab_weather(city: "x", days: $v) { city } }', None, None),
])
def test_agrees_with_graphql_core(lab, query, variables, operation):
    layer, tools = lab
    compare_with_oracle(layer, tools, query, variables, operation)


@pytest.mark.parametrize(("document", "reason"), [
    ("{ }", "empty selection set"),
    ("{ __typename } type X { a b c }", "type system definitions passed over"),
    ('"d" scalar X @a(b: [1, 2) { __typename }', "type system definitions passed over"),
    ('{ __type(name: "Query") ' + "{ ofType " * 40 + "{ name" + " }" * 42, "request limits"),
    ("{ lab_echo(text: " + "[" * 130 + "], b: {}) { text } }", "request limits"),  # the parser's bound
    # Disagreements the filters must leave to the comparison.
    ("{ __typename } extend ry ema { a }", None),
    ("{ __typename } extend directive @ d", "type system definitions passed over"),
    ("{ __typename } type", None),
    ('{ lab_echo(text: "a") { text }', None),
    ('{ lab_echo(text: "a") { text } } { __typename }', None),
])
def test_only_the_documented_differences_are_let_through(lab, document, reason):
    # The oracle is only as sharp as this filter is narrow.
    layer, tools = lab
    oracle = Oracle(layer, tools)
    assert known_difference(document, layer.execute(document), graphql.graphql_sync(oracle.schema, document)) == reason


class Drawn:
    """The generator's choices drawn by Hypothesis."""

    def __init__(self, data) -> None:
        self.data = data

    def integer(self, low: int, high: int) -> int:
        return self.data.draw(st.integers(low, high))

    def pick(self, options):
        return self.data.draw(st.sampled_from(options))


@settings(max_examples=examples(120), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_generated_documents_agree_with_graphql_core(lab, data):
    layer, tools = lab
    query, variables, operation_name = generated_request(graphql.build_schema(layer.sdl()), Drawn(data))
    compare_with_oracle(layer, tools, query, variables, operation_name)


# -- what only this layer promises ---------------------------------------------------


@pytest.mark.parametrize(("query", "variables", "kwargs", "message"), [
    ('{ d: lab_count { total } }', None, {}, 'Cannot query field "lab_count" on type "Query".'),
    ('mutation { lab_count { total } }', None, {"allow_mutations": False},
     "Can only perform a mutation operation from a POST request."),
    ("query($t: String!) { lab_echo(text: $t) { text } }", {}, {},
     'Variable "$t" of required type "String!" was not provided.'),
    ("query($t: String) { lab_echo(text: $t) { text } }", {"t": 5}, {},
     'Variable "$t" got invalid value 5; String cannot represent a non string value: 5'),
    ("query A { lab_echo { text } } query B { lab_echo { text } }", None, {},
     "Must provide operation name if query contains multiple operations."),
    ("{ lab_echo { text } }", None, {"operation_name": "Z"}, 'Unknown operation named "Z".'),
    ("{ a: lab_echo { text } b: lab_echo { text } c: lab_echo { text } }", None, {"limits": True}, None),
])
def test_refused_requests_call_no_tool(lab, query, variables, kwargs, message):
    layer, tools = lab
    if kwargs.pop("limits", False):
        layer = GraphQL(layer.host, LAB_JSON, max_tool_calls=2)
    before = list(tools.calls)
    answer = layer.execute(query, variables, **kwargs)
    assert "data" not in answer and answer["errors"]
    if message is not None:
        assert answer["errors"][0]["message"].startswith(message)
    assert tools.calls == before


def test_mutation_fields_run_one_after_another_in_document_order(lab):
    layer, tools = lab
    tools.total = 0
    del tools.calls[:]
    answer = layer.execute("mutation { c: lab_count(by: 100) { total } a: lab_count { total } }")
    assert answer == {"data": {"c": {"total": 100}, "a": {"total": 101}}}
    assert tools.calls == ["count", "count"]


def test_query_tool_fields_run_concurrently():
    barrier = threading.Barrier(2, timeout=30)
    host = ToolHost(LAB_JSON)
    host.register("lab", "echo", lambda text="": f"{text}:{barrier.wait()}")
    with host:
        answer = GraphQL(host, LAB_JSON).execute('{ a: lab_echo(text: "a") { text } b: lab_echo(text: "b") { text } }')
    # Each call passed the barrier only because the other one was waiting too.
    assert "errors" not in answer
    assert {answer["data"][k]["text"][-1] for k in "ab"} == {"0", "1"}


def test_failed_tool_error_carries_the_tool_text(lab):
    layer, _ = lab
    answer = layer.execute("{ x: lab_fail { text } }")
    assert answer == {"data": {"x": None}, "errors": [{
        "message": "ValueError: boom", "locations": [{"line": 1, "column": 3}], "path": ["x"],
        "extensions": {"code": "TOOL_ERROR", "server": "lab", "tool": "fail", "text": "ValueError: boom"}}]}


def test_class_surface_and_async(lab):
    layer, _ = lab
    import asyncio
    assert layer.tool_count() == 7
    assert json.loads(layer.execute_text("{ __typename }")) == {"data": {"__typename": "Query"}}
    assert asyncio.run(layer.execute_async('{ lab_echo(text: "z") { text } }')) == {
        "data": {"lab_echo": {"text": "z"}}}
    part = layer.sdl(["lab_echo"])
    assert "lab_echo" in part and "lab_weather" not in part and "LabWeatherResult" not in part
    with pytest.raises(TypeError):
        GraphQL("not an engine")
    with pytest.raises(ValueError, match="max_depth"):
        _graphql_typed.TypedSchema(layer.engine, LAB_JSON, max_depth=0)
    with pytest.raises(ValueError, match="invalid catalogue JSON"):
        _graphql_typed.TypedSchema(layer.engine, "{")


SDK_SERVER = """
from typing import TypedDict
try:
    from mcp.server.mcpserver import MCPServer as Server
except ImportError:
    from mcp.server.fastmcp import FastMCP as Server
from mcp.types import ToolAnnotations
app = Server("forecast")

class Forecast(TypedDict):
    city: str
    high: float
    hours: list[int]

@app.tool(annotations=ToolAnnotations(readOnlyHint=True))
def forecast(city: str, days: int = 1) -> Forecast:
    "Forecast of a city"
    return {"city": city, "high": 21.5 + days, "hours": [6, 12]}

app.run()
"""


def test_sdk_server_with_output_schema_through_host_and_adapter(tmp_path):
    from quorvel_graphql.mcp_adapter import McpServers, ServerConfig

    script = tmp_path / "forecast_server.py"
    script.write_text(SDK_SERVER)
    config = ServerConfig("wx", sys.executable, (str(script),))
    with McpServers({"wx": config}) as servers, ToolHost(servers.engine()) as host:
        servers.serve(host)
        layer = GraphQL(host, servers.catalogue_json())
        assert "wx_forecast(city: String!, days: Int = 1): WxForecastResult" in layer.sdl()
        answer = layer.execute('query($d: Int = 2) { f: wx_forecast(city: "Oslo", days: $d) { city high hours } }')
    assert answer == {"data": {"f": {"city": "Oslo", "high": 23.5, "hours": [6, 12]}}}


def test_cached_document_still_reads_each_requests_variables(lab):
    layer, _ = lab
    query = "query($t: String = \"d\", $go: Boolean = true) { e: lab_echo(text: $t) @include(if: $go) { text } }"
    answers = [layer.execute(query, variables) for variables in ({"t": "one"}, {"t": "two"}, {"go": False}, {})]
    assert answers == [{"data": {"e": {"text": "one"}}}, {"data": {"e": {"text": "two"}}}, {"data": {}},
                       {"data": {"e": {"text": "d"}}}]


# -- completion: null propagation and values that do not fit their type ---------------


@pytest.mark.parametrize("query", [
    "{ lab_listy { items { n } } }",
    "{ lab_listy { items { __typename } } a: lab_listy { items { n __typename } } }",
    "{ lab_odd { i } }", "{ lab_odd { e ok } }", "{ lab_odd { f s ok } }",
    "{ lab_odd { ok ...on LabOddResult { i } } }",
    '{ lab_broken { value } w: lab_weather(city: "Oslo") { readings { value } } }',
])
def test_unfit_values_fail_where_graphql_core_fails_them(lab, query):
    # graphql-core words these messages with Python's repr; paths and
    # locations must agree, the message only in kind.
    layer, tools = lab
    answer = compare_with_oracle(layer, tools, query, messages=False)
    for error in answer.get("errors", ()):
        assert error["message"].split(" ")[0] in {"Int", "Enum", "Float", "String", "Cannot"}, error


# -- values on their way to the tool ------------------------------------------------

LONG_TEXT = 'q"\\\n\t\x01é\u2028😀' * 12000
NESTED = json.dumps([{"server": "s", "tools": [{"name": "t", "inputSchema": {"type": "object", "properties": {
    "opts": {"type": "object", "required": ["mode"], "properties": {
        "mode": {"enum": ["fast", "slow"]}, "level": {"type": "integer", "default": 3},
        "tags": {"type": "array", "items": {"type": "string"}}}},
    "ids": {"type": "array", "items": {"type": "integer"}}, "free": {}}}}]}])


@pytest.mark.parametrize(("arguments", "variables", "received"), [
    ("(opts: {mode: fast})", None, {"opts": {"mode": "fast", "level": 3}}),
    ('(opts: {mode: slow, level: 1, tags: "one"})', None, {"opts": {"mode": "slow", "level": 1, "tags": ["one"]}}),
    ("(ids: 7)", None, {"ids": [7]}),
    ("(ids: $v)", {"v": 7}, {"ids": [7]}),
    ("(opts: $o)", {"o": {"mode": "fast", "tags": "x"}}, {"opts": {"mode": "fast", "level": 3, "tags": ["x"]}}),
    ("(opts: {mode: fast, level: $missing})", None, {"opts": {"mode": "fast", "level": 3}}),
    ('(free: {a: [1, "b", null, true], b: ENUMISH})', None, {"free": {"a": [1, "b", None, True], "b": "ENUMISH"}}),
    ("(free: $v)", {"v": {"deep": [{"x": 1.5}]}}, {"free": {"deep": [{"x": 1.5}]}}),
    # Lone scalars far larger than one write step, with every kind of escape.
    ("(free: $v)", {"v": LONG_TEXT}, {"free": LONG_TEXT}),
    ("(opts: $o)", {"o": {"mode": "slow", "tags": [LONG_TEXT, "", "é"]}},
     {"opts": {"mode": "slow", "level": 3, "tags": [LONG_TEXT, "", "é"]}}),
    ("(free: $v)", {"v": -(2 ** 53)}, {"free": -(2 ** 53)}),
    ("", None, {}),
])
def test_arguments_reach_the_tool_coerced(arguments, variables, received):
    engine = _graphql.SchemaEngine(NESTED)
    seen = []
    host = ToolHost(engine)
    host.register("s", "t", lambda **args: seen.append(args) or "ok", inline=True)
    declared = {"$v": "$v: [Int!]" if "ids" in arguments else "$v: JSON", "$o": "$o: STOptsInput",
                "$missing": "$missing: Int"}
    used = [text for name, text in declared.items() if name in arguments]
    query = f"query{'(' + ', '.join(used) + ')' if used else ''} {{ s_t{arguments} {{ text }} }}"
    with host:
        answer = GraphQL(host, NESTED).execute(query, variables)
    assert answer == {"data": {"s_t": {"text": "ok"}}}, answer
    assert seen == [received]


@pytest.mark.parametrize("special", ['"', "\\", "\x1f", "\x7f", "é", "\u2028", "😀", "\x00"])
def test_text_comes_back_whole_wherever_its_special_byte_falls(special):
    # Every offset across two 8-byte words, plain ASCII on both sides; the
    # tool echoes the text as its answer and raises it as its failure.
    texts = ["ab" * offset + special + "cd" * (9 - offset) for offset in range(10)]
    host = ToolHost(_graphql.SchemaEngine(NESTED))
    host.register("s", "t", lambda free: (_ for _ in ()).throw(ValueError(free)) if free[0] == "!" else free,
                  inline=True)
    query = "query($v: JSON) { s_t(free: $v) { text } }"
    with host:
        layer = GraphQL(host, NESTED)
        answers = [layer.execute(query, {"v": text}) for text in texts]
        failures = [layer.execute(query, {"v": "!" + text}) for text in texts]
    assert answers == [{"data": {"s_t": {"text": text}}} for text in texts]
    assert [(f["errors"][0]["message"], f["errors"][0]["extensions"]["text"]) for f in failures] == [
        ("ValueError: !" + text,) * 2 for text in texts]


@pytest.mark.parametrize(("variables", "message"), [
    ({"o": {"level": 1}}, 'Variable "$o" got invalid value {"level":1}; Field "mode" of required type '
                          '"STOptsMode!" was not provided.'),
    ({"o": {"mode": "warp"}}, 'Variable "$o" got invalid value {"mode":"warp"} at "o.mode"; Value "warp" does '
                              'not exist in "STOptsMode" enum.'),
    ({"o": {"mode": "fast", "zz": 1}}, 'Variable "$o" got invalid value {"mode":"fast","zz":1}; Field "zz" is not '
                                       'defined by type "STOptsInput".'),
    ({"o": {"mode": "fast", "tags": [1]}}, 'Variable "$o" got invalid value {"mode":"fast","tags":[1]} at '
                                           '"o.tags[0]"; String cannot represent a non string value: 1'),
    ({"o": {"mode": "fast", "level": 2 ** 40}}, None),
    ({"o": None, "i": [1, None]}, None),
    ('{"o": ', "Variables are invalid JSON"),
    ("[1]", "Variables must be provided as an Object where each property is a variable value."),
])
def test_bad_variables_are_refused_before_any_call(variables, message):
    engine = _graphql.SchemaEngine(NESTED)
    typed = _graphql_typed.TypedSchema(engine, NESTED)
    text = variables if isinstance(variables, str) else json.dumps(variables)
    answer = json.loads(typed.execute("query($o: STOptsInput!, $i: [Int!]) { s_t(opts: $o, ids: $i) { text } }",
                                      text))
    assert "data" not in answer, answer
    if message is not None:
        assert answer["errors"][0]["message"].startswith(message)
    theirs = graphql.graphql_sync(graphql.build_schema(typed.sdl()),
                                  "query($o: STOptsInput!, $i: [Int!]) { s_t(opts: $o, ids: $i) { text } }",
                                  variable_values=variables if isinstance(variables, dict) else None)
    assert theirs.errors  # graphql-core refuses the same variables (or their absence)


# -- limits, introspection corners, MCP-shaped answers ----------------------------------


@pytest.mark.parametrize(("limits", "query"), [
    ({"max_depth": 2}, '{ lab_weather(city: "x") { wind { speed } } }'),
    ({"max_selected_fields": 3}, '{ lab_weather(city: "x") { city temperature unit } }'),
    ({"max_tool_calls": 1}, '{ ...F ...F } fragment F on Query { a: lab_echo { text } b: lab_echo { text } }'),
    ({"max_document_bytes": 64}, '{ lab_echo(text: "' + "x" * 100 + '") { text } }'),
])
def test_each_limit_refuses_before_any_call(lab, limits, query):
    layer, tools = lab
    before = list(tools.calls)
    answer = GraphQL(layer.host, LAB_JSON, **limits).execute(query)
    assert "data" not in answer and answer["errors"][0]["message"], answer
    assert tools.calls == before
    assert "errors" not in layer.execute(query) or query.count("lab_echo") > 1  # the default limits take it


def test_type_lookup_and_typename_everywhere(lab):
    layer, tools = lab
    query = ('query($n: String!) { t: __type(name: $n) { name kind fields { name type { name kind ofType { name } } } }'
             ' none: __type(name: "Nope") { name } w: lab_weather(city: "Oslo") { __typename wind { __typename } } }')
    compare_with_oracle(layer, tools, query, {"n": "LabWeatherResult"})


class McpShaped:
    """A host answering like the MCP adapter: content items, structuredContent, isError."""

    def __init__(self, engine, reply):
        self.engine, self.reply, self.stop = engine, reply, threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self):
        while not self.stop.is_set():
            request = self.engine.receive_tool_call(20)
            if request is not None:
                self.engine.respond_tool_call(json.loads(request)["request_id"], json.dumps(self.reply))

    def __enter__(self):
        self.engine.attach_call_bridge()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.engine.detach_call_bridge()
        self.thread.join(10)


@pytest.mark.parametrize(("reply", "expected", "error"), [
    ({"content": [{"type": "text", "text": "a"}, {"type": "image", "data": "x"}, {"type": "text", "text": "b"}],
      "isError": False},
     {"text": "a\nb", "json": None, "structuredContent": None, "isError": False}, None),
    ({"content": [{"type": "text", "text": '{"k": [1, 2]}'}], "isError": False},
     {"text": '{"k": [1, 2]}', "json": {"k": [1, 2]}, "structuredContent": None, "isError": False}, None),
    ({"content": [], "structuredContent": {"s": 1}, "isError": False},
     {"text": None, "json": {"s": 1}, "structuredContent": {"s": 1}, "isError": False}, None),
    ({"content": [{"type": "text", "text": "no such file"}], "isError": True}, None, "no such file"),
])
def test_tool_result_of_mcp_answers(reply, expected, error):
    catalogue = json.dumps([{"server": "m", "tools": [{"name": "t"}]}])
    typed_catalogue = json.dumps([{"server": "m", "tools": [{"name": "t", "outputSchema": {
        "type": "object", "properties": {"s": {"type": "integer"}}}}]}])
    engine = _graphql.SchemaEngine(typed_catalogue)
    with McpShaped(engine, reply):
        typed = json.loads(_graphql_typed.TypedSchema(engine, typed_catalogue).execute("{ m_t { s } }"))
    if reply.get("structuredContent"):
        assert typed == {"data": {"m_t": reply["structuredContent"]}}
    else:  # a typed tool without structured content (or failing) fails its field
        assert typed["data"] == {"m_t": None} and typed["errors"][0]["path"] == ["m_t"], typed
    engine = _graphql.SchemaEngine(catalogue)
    with McpShaped(engine, reply):
        answer = json.loads(_graphql_typed.TypedSchema(engine, catalogue).execute(
            "{ m_t { text json structuredContent isError content } }"))
    if error is None:
        assert answer == {"data": {"m_t": {**expected, "content": reply["content"]}}}
    else:
        assert answer["data"] == {"m_t": None}
        assert [(e["message"], e["path"], e["extensions"]["text"]) for e in answer["errors"]] == [
            (error, ["m_t"], error)]


READ_AS_SENT = json.dumps([{"server": "m", "tools": [
    {"name": "t", "outputSchema": {"type": "object", "properties": {
        "s": {"type": "integer"}, "n": {"type": "object", "properties": {"b": {"type": "string"}}}}}},
    {"name": "u"}]}])


@pytest.mark.parametrize(("reply", "query", "expected"), [
    # Of repeated members the last wins, at every level the selection reads.
    ('{"s": 1, "n": {"b": "x"}, "s": 2, "n": {"b": "y", "b": "z"}}', "{ m_t { s n { b } } }",
     {"m_t": {"s": 2, "n": {"b": "z"}}}),
    ('{"content": [], "structuredContent": {"s": 1}, "isError": false, "structuredContent": {"s": 3, "s": 4}}',
     "{ m_t { s } }", {"m_t": {"s": 4}}),
    ('{"content": [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}], "isError": true, "isError": false}',
     "{ m_u { text isError } }", {"m_u": {"text": "a\nb", "isError": False}}),
    # Unsorted, repeated and escaped members of a whole reply: the engine's
    # compact form, keys sorted.
    (r'{"z": "\u00e9\u0000", "a": [1.50, -0, 1e2], "z": "\ud83d\ude00"}', "{ m_u { json text } }",
     {"m_u": {"json": {"a": [1.5, 0, 100.0], "z": "\U0001F600"}, "text": '{"a":[1.5,0,100.0],"z":"\U0001F600"}'}}),
    (r'"\u00e9\u0000"', "{ m_u { json text } }", {"m_u": {"json": "\u00e9\x00", "text": "\u00e9\x00"}}),
])
def test_selections_read_the_reply_as_the_tool_sent_it(reply, query, expected):
    engine = _graphql.SchemaEngine(READ_AS_SENT)
    typed = _graphql_typed.TypedSchema(engine, READ_AS_SENT)
    with Host(engine, lambda request: ("respond", reply)):
        assert json.loads(Background(typed.execute, query).result()) == {"data": expected}


def test_filtered_sdl_is_a_whole_schema():
    catalogue = EXAMPLE_CATALOGUE.read_text()
    typed = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue)
    for fields in (["math_stats"], ["files_write_scratch", "clock_now"], []):
        part = typed.sdl(fields)
        schema = graphql.build_schema(part)  # every type it names is in it
        tool_fields = {name for root in (schema.query_type, schema.mutation_type) if root
                       for name in root.fields if name not in ("servers", "search")}
        assert tool_fields == set(fields)


# -- the binding: interruption, threads, printing --------------------------------------

INTERRUPTED = """
import json, os, signal, sys, threading
import _graphql
import _graphql_typed
catalogue = json.dumps([{"server": "s", "tools": [{"name": "t"}]}])
engine = _graphql.SchemaEngine(catalogue)
typed = _graphql_typed.TypedSchema(engine, catalogue)
engine.attach_call_bridge()
taken = []

def host_takes_one_and_never_answers():
    taken.append(json.loads(engine.receive_tool_call(20000))["request_id"])
    threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()

threading.Thread(target=host_takes_one_and_never_answers, daemon=True).start()
try:
    typed.execute("{ a: s_t { text } b: s_t { text } }")
except KeyboardInterrupt:
    pass
else:
    sys.exit("execute returned although interrupted")
assert len(taken) == 1 and not engine.respond_tool_call(taken[0], "1"), taken
print("interrupted")
"""


def test_ctrl_c_stops_a_waiting_execute_and_withdraws_its_calls():
    import subprocess
    done = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "interrupted"), done.stderr


def test_threads_share_one_schema_and_its_document_cache():
    catalogue = EXAMPLE_CATALOGUE.read_text()
    typed = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue)
    queries = [f'query($n: Int = {i}) {{ __typename s{i}: servers {{ name }} t: __type(name: "Server") {{ name }} }}'
               for i in range(40)]
    expected = {q: typed.execute(q) for q in queries}
    failures = []

    def run(offset):
        for i in range(200):
            q = queries[(i + offset) % len(queries)]
            if typed.execute(q) != expected[q]:
                failures.append(q)

    threads = [threading.Thread(target=run, args=(k * 7,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not failures and not any(thread.is_alive() for thread in threads)


@pytest.mark.parametrize("description", [
    "plain", 'ends with a quote"', "ends with a backslash\\", "  leading spaces", "two\nlines",
    "indented\n  second", "\nleading newline", "trailing newline\n", 'has """ inside', "tab\there",
    "bell \x07 char", "x" * 90, "ünïcödé ✓", "",
])
def test_descriptions_print_as_graphql_core_prints_them(description):
    catalogue = json.dumps([{"server": "s", "tools": [{"name": "t", "description": description, "inputSchema": {
        "type": "object", "properties": {"a": {"type": "string", "description": description},
                                         "b": {"type": "integer"}}}}]}])
    sdl = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue).sdl()
    schema = graphql.build_schema(sdl)
    assert graphql.print_schema(schema) == sdl
    field = schema.query_type.fields["s_t"]
    # The catalogue reader trims a tool's description; schemas keep theirs.
    assert (field.description, field.args["a"].description) == (description.strip() or None, description or None)


def test_colliding_names_get_distinct_types():
    # "aB"+"c" and "a"+"b_c" both spell ABC; "a_b"+"c" takes field a_b_c a
    # second time, which the engine (and so this layer) gives its first tool.
    output = {"type": "object", "properties": {"v": {"type": "integer"}}}
    catalogue = json.dumps([{"server": "aB", "tools": [{"name": "c", "outputSchema": output}]},
                            {"server": "a", "tools": [{"name": "b_c", "outputSchema": output}]},
                            {"server": "a_b", "tools": [{"name": "c"}]}])
    typed = _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue)
    fields = graphql.build_schema(typed.sdl()).query_type.fields
    assert {name: graphql.get_named_type(f.type).name for name, f in fields.items()} == {
        "servers": "Server", "search": "SearchHit", "aB_c": "ABCResult", "a_b_c": "ABCResult_2"}
    assert typed.tool_count() == 2
