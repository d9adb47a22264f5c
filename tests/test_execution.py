"""Request pipeline and response documents of ``execute`` with no bridge attached."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _graphql
from conftest import WORKED_EXAMPLE, placeholder_text

SERVERS = json.loads(
    '[{"description":"Local files","name":"files","readOnlyCount":1,"toolCount":2},'
    '{"description":"","name":"notes","readOnlyCount":1,"toolCount":1}]'
)
TOOLS = ["files_read_file", "files_write_file", "notes_list"]


def placeholder(server, tool):
    return {"isError": True, "json": None, "text": placeholder_text(server, tool)}


READ, WRITE, LIST = placeholder("files", "read_file"), placeholder("files", "write file"), placeholder("notes", "list")


@pytest.fixture(scope="module")
def engine():
    return _graphql.SchemaEngine(WORKED_EXAMPLE)


def error_document(message):
    return json.dumps({"data": None, "errors": [{"message": message}]}, separators=(",", ":"), ensure_ascii=False)


@pytest.mark.parametrize(
    "query, variables, message",
    [
        ("", None, "GraphQL query must not be blank"),
        (" \t\n\r\f\v", "not json", "GraphQL query must not be blank"),
        ("\u00a0\u00a0", "[1]", "GraphQL query must not be blank"),
        ("\u2028\u3000\u0085\u2003", "{", "GraphQL query must not be blank"),
        (",,,", None, "expected GraphQL name, found end of input"),
        ("{ __typename }", "[1]", "variables_json must decode to a JSON object"),
        ("{ nope(x: $v) }", None, "missing GraphQL variable: $v"),
        ("{ }", "{", "invalid variables JSON: "),
        ("{ servers nope }", None, "unknown GraphQL field: nope"),
        ("{ files_read_file nope }", None, "unknown GraphQL field: nope"),
        ("{ servers: nope }", None, "unknown GraphQL field: nope"),
        ("{ x: nope1 y: nope2 }", None, "unknown GraphQL field: nope1"),
        ("{ Servers }", None, "unknown GraphQL field: Servers"),
        ("{ __TYPENAME }", None, "unknown GraphQL field: __TYPENAME"),
        ("{ files_read_fil }", None, "unknown GraphQL field: files_read_fil"),
        ("{ servers(x: $undefined) }", None, "missing GraphQL variable: $undefined"),
        ("{ search(x: [$v]) }", '{"w": 1}', "missing GraphQL variable: $v"),
    ],
)
def test_request_failures(engine, query, variables, message):
    document = engine.execute(query, variables)
    if message.endswith(": ") and message.startswith("invalid"):
        assert document.startswith(error_document(message)[:-4]), document
    else:
        assert document == error_document(message)


@pytest.mark.parametrize(
    "query, data",
    [
        ("{ __typename }", {"__typename": "Query"}),
        ("\u00a0{ __typename }\u00a0", {"__typename": "Query"}),
        ("mutation { __typename }", {"__typename": "Query"}),
        ("subscription S { t: __typename }", {"t": "Query"}),
        ("{ b: servers a: __typename }", {"a": "Query", "b": SERVERS}),
        ("{ x: __typename x: servers }", {"x": SERVERS}),
        ("{ x: servers x: __typename }", {"x": "Query"}),
        ("{ x: files_read_file x: __typename }", {"x": READ}),
        ("{ x: __typename x: files_read_file }", {"x": READ}),
        ("{ x: files_read_file x: notes_list }", {"x": LIST}),
        ("{ x: notes_list x: files_read_file y: servers }", {"x": READ, "y": SERVERS}),
        ("{ nope: servers }", {"nope": SERVERS}),
        ("{ servers { name } }", {"servers": SERVERS}),
        ("mutation { files_write_file(path: 1) notes_list }", {"files_write_file": WRITE, "notes_list": LIST}),
    ],
)
def test_successful_documents(engine, query, data):
    # Exact text: compact, members sorted by key, "data" before "errors".
    document = engine.execute(query)
    assert document == json.dumps({"data": data, "errors": []}, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def test_search_lists_every_tool_whatever_its_arguments(engine):
    hits = json.loads(engine.execute('{ search(query: "read", limit: 1, first: {a: [1]}) }'))["data"]["search"]
    assert [hit["field"] for hit in hits] == TOOLS
    assert hits[0] == {"description": "Read a file", "field": "files_read_file", "readOnly": True, "server": "files", "tool": "read_file"}


@pytest.mark.parametrize(
    "query, raw",
    [
        ('{ "x" }', '"expected GraphQL name, found \\""'),
        ("{ \x01 }", '"expected GraphQL name, found \\u0001"'),
        ("{ \v }", '"expected GraphQL name, found \\u000b"'),
        ("{ \x7f }", '"expected GraphQL name, found \x7f"'),
        ("{ / }", '"expected GraphQL name, found /"'),
        ("{ \\ }", '"expected GraphQL name, found \\\\"'),
        ("{ é }", '"expected GraphQL name, found Ã"'),
        ("{ __typename(x: +) }", '"unexpected character in GraphQL argument value: +"'),
    ],
)
def test_error_message_escapes(engine, query, raw):
    assert engine.execute(query) == '{"data":null,"errors":[{"message":' + raw + "}]}"


def test_data_string_escapes():
    text = 'q"\\/\b\f\n\r\t\x01\x1f\x7fé€😀'
    engine = _graphql.SchemaEngine(json.dumps([{"server": "s", "name": "t", "description": "x" + text}]))
    document = engine.execute("{ search }")
    escaped = 'q\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7fé€😀'
    assert document == '{"data":{"search":[{"description":"x' + escaped + '","field":"s_t","readOnly":true,"server":"s","tool":"t"}]},"errors":[]}'


DEEP_SCRIPT = textwrap.dedent(
    r"""
    import json, sys
    import _graphql
    engine = _graphql.SchemaEngine('[{"server": "s", "name": "t"}]')
    N = 100000
    def message(query, variables=None):
        document = json.loads(engine.execute(query, variables))
        return document["errors"][0]["message"] if document["errors"] else None
    results = {
        "lists": message("{ s_t(x: " + "[" * N + " }"),
        "objects": message("{ s_t(x: " + "{a:" * N + " }"),
        "lists_257": message("{ s_t(x: " + "[" * 257 + "]" * 257 + ") }"),
        "lists_256": message("{ s_t(x: " + "[" * 256 + "]" * 256 + ") }"),
        "objects_256": message("{ s_t(x: " + "{a:" * 256 + "1" + "}" * 256 + ") }"),
        "variable": message("{ s_t(x: " + "[" * 250 + "$v" + "]" * 250 + ") }", json.dumps({"v": json.loads("[" * 120 + "]" * 120)})),
        "selections": message("{ s_t " + "{ a " * N + "}" * N + " }"),
        "unclosed_selections": message("{ s_t " + "{ " * N),
    }
    print(json.dumps(results))
    """
)


def test_deeply_nested_input_is_bounded_without_crashing():
    build = pathlib.Path(_graphql.__file__).parent
    done = subprocess.run([sys.executable, "-c", DEEP_SCRIPT], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": str(build)})
    assert done.returncode == 0, done.stderr[-2000:]
    results = json.loads(done.stdout)
    too_deep = "GraphQL argument value nested deeper than 256 levels"
    assert results == {
        "lists": too_deep, "objects": too_deep, "lists_257": too_deep,
        "lists_256": None, "objects_256": None, "variable": None,
        "selections": None, "unclosed_selections": "unterminated GraphQL balanced block: {",
    }


# Queries built from the accepted grammar.
names = st.from_regex(r"[A-Za-z_][A-Za-z0-9_]{0,6}", fullmatch=True)
ignored = st.lists(st.sampled_from([" ", "\t", "\n", "\r\n", "\f", ",", "# c\n"]), min_size=1, max_size=3).map("".join)
scalars = st.one_of(
    st.integers(-(2**70), 2**70).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.text(max_size=8).map(lambda s: json.dumps(s, ensure_ascii=bool(len(s) % 2))),
    st.sampled_from(["true", "false", "null", "ENUM", "$v", "$ w"]),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3).map(lambda items: "[" + " ".join(items) + "]"),
        st.lists(st.tuples(names, inner), max_size=3).map(lambda ms: "{" + ", ".join(f"{k}: {v}" for k, v in ms) + "}"),
    ),
    max_leaves=8,
)
arguments = st.lists(st.tuples(names, values), max_size=3).map(
    lambda args: "(" + ", ".join(f"{k}: {v}" for k, v in args) + ")" if args else ""
)
directives = st.lists(st.tuples(names, st.booleans()), max_size=2).map(
    lambda ds: "".join(f" @{d}(if: true)" if a else f" @{d}" for d, a in ds)
)
nested = st.sampled_from(["", " { a b(x: 1) { c } }", ' { ...F # }\n }', ' { a(s: "}") }'])


@st.composite
def fields(draw, field_names):
    alias = draw(st.one_of(st.just(""), names.map(lambda n: n + ": ")))
    return alias + draw(field_names) + draw(arguments) + draw(directives) + draw(nested)


@st.composite
def queries(draw, field_names=st.sampled_from(TOOLS + ["servers", "search", "__typename"])):
    header = draw(st.sampled_from(["", "query ", "mutation M ", "subscription S($v: Int = 1) @d "]))
    gap = draw(ignored)
    body = gap.join(draw(st.lists(fields(field_names), min_size=1, max_size=4)))
    return header + "{" + gap + body + gap + "}" + draw(st.sampled_from(["", " trailing", "\n# end"]))


VARIABLES = json.dumps({"v": [1, {"a": None}], "w": "x"})


@st.composite
def mutated(draw):
    text = draw(queries(st.one_of(st.sampled_from(TOOLS), names)))
    for _ in range(draw(st.integers(1, 3))):
        at = draw(st.integers(0, len(text)))
        choice = draw(st.sampled_from(["cut", "insert", "delete", "swap"]))
        if choice == "cut":
            text = text[:at]
        elif choice == "insert":
            text = text[:at] + draw(st.sampled_from(list('{}()[]:$@"\\#.,-é\u00a0\ufeff\v\x00') + ["..."])) + text[at:]
        elif choice == "delete":
            text = text[:at] + text[at + 1:]
        else:
            pair = draw(st.sampled_from(["{(", ")}", "[{", ":,", '"#', "$@"]))
            text = text.translate(str.maketrans(pair, pair[::-1]))
    return text


def assert_well_formed(document):
    parsed = json.loads(document)
    assert list(parsed) == ["data", "errors"]
    if parsed["data"] is None:
        [error] = parsed["errors"]
        assert list(error) == ["message"] and isinstance(error["message"], str) and error["message"]
    else:
        assert isinstance(parsed["data"], dict) and parsed["errors"] == []
    return parsed


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(query=queries())
def test_generated_queries_over_known_fields_succeed(engine, query):
    parsed = assert_well_formed(engine.execute(query, VARIABLES))
    assert parsed["errors"] == [], (query, parsed)


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(query=mutated(), variables=st.sampled_from([None, VARIABLES, "{", "[]"]))
def test_any_input_yields_one_response_document(engine, query, variables):
    assert_well_formed(engine.execute(query, variables))
