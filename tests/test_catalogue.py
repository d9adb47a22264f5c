"""Catalogue reading and the catalogue views, observed through the built-in fields."""

import json
import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _graphql
from conftest import WORKED_EXAMPLE, catalogue, execute_in_thread, placeholder_text

E = _graphql.SchemaEngine
FAULT = re.compile(r"^invalid catalogue JSON: .+ at line (\d+) column (\d+)$", re.S)


def views(text):
    """(search hits, server summaries) of an engine built from text."""
    engine = E(text)
    document = json.loads(execute_in_thread(engine, "{ search servers }"))
    assert document["errors"] == [] and engine.tool_count() == len(document["data"]["search"])
    assert engine.describe() == f"quorvel GraphQL schema engine stub ({engine.tool_count()} tool fields)"
    return document["data"]["search"], document["data"]["servers"]


def hits(value):
    return [(h["server"], h["tool"], h["field"], h["readOnly"], h["description"]) for h in views(json.dumps(value))[0]]


def test_worked_example():
    engine = E(WORKED_EXAMPLE)
    assert execute_in_thread(engine, "{ servers }") == (
        '{"data":{"servers":[{"description":"Local files","name":"files","readOnlyCount":1,"toolCount":2},'
        '{"description":"","name":"notes","readOnlyCount":1,"toolCount":1}]},"errors":[]}')
    assert execute_in_thread(engine, "{ search }").startswith(
        '{"data":{"search":[{"description":"Read a file","field":"files_read_file","readOnly":true,'
        '"server":"files","tool":"read_file"},')
    assert hits(json.loads(WORKED_EXAMPLE)) == [("files", "read_file", "files_read_file", True, "Read a file"),
                                                ("files", "write file", "files_write_file", False, ""),
                                                ("notes", "list", "notes_list", True, "")]


@pytest.mark.parametrize("text", [
    None, "", " \n\t\r ", "\u00a0\u3000\u2028\u2029\u0085", "null", "[]", "{}", "42", '"text"', "true", " \r\n[ ]\t",
    '{"server":"s","tools":[]}', '[{"name":"t"}]', '{"tools":[{"name":"t"}]}', '{"server":"s","n":{"name":"t"}}'])
def test_catalogues_without_tools(text):
    assert views(text) == ([], [])


S = "s"


@pytest.mark.parametrize("value, expected", [
    ([{"server": "a", "tools": [{"name": "x"}, {"name": "y"}]}, {"server": "b", "tools": [{"name": "z"}]}],
     [("a", "x", "a_x", True, ""), ("a", "y", "a_y", True, ""), ("b", "z", "b_z", True, "")]),
    ([{"server_id": "a", "name": "x"}, [[{"server_id": "b", "name": "y"}]]], [("a", "x", "a_x", True, ""), ("b", "y", "b_y", True, "")]),
    ({"server": "a", "tools": [{"server": "b", "name": "x"}, {"name": "y"}]}, [("b", "x", "b_x", True, ""), ("a", "y", "a_y", True, "")]),
    ({"server": "a", "tools": [{"server": "b", "tools": [[{"name": "x"}]]}, {"server": " ", "name": "y"}]},
     [("b", "x", "b_x", True, ""), ("a", "y", "a_y", True, "")]),
    ({"server": S, "name": "self", "tools": {"name": "x"}}, [(S, "self", "s_self", True, "")]),
    ({"server": S, "name": "self", "tools": [{"name": "x"}]}, [(S, "x", "s_x", True, "")]),
    ({"server": S, "name": "   ", "tool": "search"}, [(S, "search", "s_search", True, "")]),
    ({"server": S, "name": {"value": " x "}}, [(S, "x", "s_x", True, "")]),
    ({"server": S, "name": {"value": {"value": "x"}}, "tool": "t"}, [(S, "t", "s_t", True, "")]),
    ({"server": {"value": "v"}, "name": "t", "description": {"value": " d "}}, [("v", "t", "v_t", True, "d")]),
    ({"server": S, "name": "t", "readOnly": "false"}, [(S, "t", "s_t", True, "")]),
    ({"server": S, "name": "t", "annotations": {"readOnlyHint": False}}, [(S, "t", "s_t", False, "")]),
    ({"server": S, "name": "t", "readOnly": True, "annotations": {"readOnlyHint": False}}, [(S, "t", "s_t", True, "")]),
    ({"server": S, "name": "t", "readOnly": 0, "read_only": False, "readOnlyHint": True}, [(S, "t", "s_t", False, "")]),
    ({"server": S, "name": "t", "read_only": None, "readOnlyHint": False}, [(S, "t", "s_t", False, "")]),
    ({"server": S, "name": "t", "readOnlyHint": "no", "annotations": {"readOnly": False}}, [(S, "t", "s_t", True, "")]),
    ({"server": "my server", "name": "get-item"}, [("my server", "get-item", "my_server_get_item", True, "")]),
    ({"server": "1st", "name": "x"}, [("1st", "x", "_1st_x", True, "")]),
    ({"server": "caf\u00e9", "name": "\u6f22\U0001f600"}, [("caf\u00e9", "\u6f22\U0001f600", "caf____", True, "")]),
    ({"server": "\u00a0s\u3000", "name": "\u2028t\u0085", "description": "\u2029d "}, [(S, "t", "s_t", True, "d")]),
    ({"server": S, "name": "\u200bt"}, [(S, "\u200bt", "s__t", True, "")]),
    ([{"server": "a b", "name": "t"}, {"server": "a_b", "name": "t"}], [("a b", "t", "a_b_t", True, ""), ("a_b", "t", "a_b_t", True, "")]),
])
def test_records(value, expected):
    assert hits(value) == expected


@pytest.mark.parametrize("keys, observe", [
    (["server", "server_id", "serverId", "server_name"], lambda found, servers: found[0]["server"]),
    (["name", "tool", "tool_name", "toolName"], lambda found, servers: found[0]["tool"]),
    (["serverDescription", "server_description"], lambda found, servers: servers[0]["description"]),
])
@pytest.mark.parametrize("first, unusable", [(0, None), (1, ""), (1, {"value": " "}), (2, "  \u3000"), (2, 7), (3, ["x"]), (3, {"v": "x"})])
def test_key_priority(keys, observe, first, unusable):
    tool = {"server": "srv", "name": "tool"}
    tool.update({key: (unusable if i < first else f"v{i}") for i, key in enumerate(keys)})
    # Past the last key nothing is usable: only the server description may then be absent.
    assert observe(*views(json.dumps([tool]))) == (f"v{first}" if first < len(keys) else "")


def test_duplicate_key_last_wins():
    assert hits(json.loads('{"server":"a","name":"t","server":"b"}')) == [("b", "t", "b_t", True, "")]
    assert views('{"server":"a","name":"t","server":"  "}') == ([], [])


@pytest.mark.parametrize("servers, order", [
    (["b", "a"], ["a", "b"]), (["a", "B"], ["B", "a"]),
    (["ab", "a", "z", "\u00e9", "\U00010000", "\uffff", "a"], ["a", "ab", "z", "\u00e9", "\uffff", "\U00010000"]),
])
def test_server_order(servers, order):
    assert [s["name"] for s in views(catalogue(*[(s, "x") for s in servers]))[1]] == order


@pytest.mark.parametrize("value, summary", [
    ([{"server": "a", "name": "x", "readOnly": False}, {"server": "a", "name": "y"}, {"server": "a", "name": "z"}], ["", 2, 3]),
    ([{"server": "a", "name": "x"}, {"server": "a", "name": "y", "server_description": "D"},
      {"server": "a", "name": "z", "serverDescription": "E"}], ["D", 3, 3]),
    ({"server": "o", "serverDescription": "A", "tools": [{"server": "a", "name": "x", "readOnly": False},
                                                        {"server": "a", "name": "x"}]}, ["A", 1, 2]),
])
def test_server_summary(value, summary):
    description, read_only, tools = summary
    assert views(json.dumps(value))[1] == [{"description": description, "name": "a", "readOnlyCount": read_only, "toolCount": tools}]


@pytest.mark.parametrize("text, key, value", [
    (catalogue(("a", "t")), "servers", '[{"description":"","name":"a","readOnlyCount":1,"toolCount":1}]'),
    (catalogue(("s", "t")), "s_t", '{"isError":true,"json":null,"text":"%s"}' % placeholder_text("s", "t")),
    (catalogue((" my server ", "get-item")), "my_server_get_item",
     '{"isError":true,"json":null,"text":"%s"}' % placeholder_text("my server", "get-item")),
    (json.dumps([{"server": "s", "name": "t", "description": 'q"b\\c\u0001\t\u001f/\u007f\n\u00e9\U0001f600'}]), "search",
     '[{"description":"q\\"b\\\\c\\u0001\\t\\u001f/\u007f\\n\u00e9\U0001f600","field":"s_t","readOnly":true,"server":"s","tool":"t"}]'),
])
def test_exact_compact_text(text, key, value):
    assert execute_in_thread(E(text), "{ %s }" % key) == '{"data":{"%s":%s},"errors":[]}' % (key, value)


@pytest.mark.parametrize("text, line", [
    ("[" * 128 + "]" * 128, 1), ('{"a":' * 128 + "1" + "}" * 128, 1), ("[" * 200 + "]" * 200, 1), ("\ufeff[]", 1),
    ("[1e400]", 1), ("[\n-1e400]", 2), ("[] []", 1), ("[1,]", 1), ("{'a':1}", 1), ("NaN", 1), ("[01]", 1),
    ('["a\u0001"]', 1), ("\u200b", 1), ("[\u00e9]", 1), ("\u00a0[]", 1), ('{"a" 1}', 1), ("[1,\n2,\n x]", 3),
    ("\n\n\n{", 4), ('[\r\n"a",\r\n"b"\r\n,]', 4),
])
def test_refused_json(text, line):
    with pytest.raises(ValueError) as info:
        E(text)
    match = FAULT.match(str(info.value))
    assert type(info.value) is ValueError and match and int(match[1]) == line and int(match[2]) >= 1, str(info.value)


@pytest.mark.parametrize("text", ["[" * 127 + "]" * 127, '{"a":' * 127 + "1" + "}" * 127,
                                  "[18446744073709551615,-9223372036854775808,18446744073709551616,1e308,-0.0,5e-324]"])
def test_accepted_json_edges(text):
    assert views(text) == ([], [])


KEYS = ["server", "server_id", "serverId", "server_name", "name", "tool", "tool_name", "toolName", "description",
        "serverDescription", "server_description", "tools", "readOnly", "read_only", "readOnlyHint", "annotations", "value"]
NAMES = st.text(max_size=8) | st.sampled_from(["", " ", "\u3000x", "1st", "caf\u00e9", "a b", "\ud7ff\U0010ffff"])
LEAVES = st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False, allow_infinity=False) | NAMES
TREES = st.recursive(LEAVES, lambda kids: (
    st.lists(kids, max_size=5) | st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=4), kids, max_size=6)
    | st.builds(lambda extra, s, n: {**extra, "server": s, "name": n}, st.dictionaries(st.sampled_from(KEYS), kids, max_size=3), NAMES, NAMES)
), max_leaves=40)


def depth(value):
    children = value if isinstance(value, list) else value.values() if isinstance(value, dict) else None
    return 0 if children is None else 1 + max(map(depth, children), default=0)


@st.composite
def catalogue_texts(draw):
    if draw(st.integers(0, 3)) == 0:  # raw text, mostly not JSON
        return draw(st.text(max_size=30)), None
    tree = draw(TREES)
    for _ in range(draw(st.sampled_from([0, 0, 0, 62, 63, 64, 100]))):
        tree = {"tools": [tree]}
    return json.dumps(tree, ensure_ascii=draw(st.booleans())), depth(tree) < 128


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(catalogue_texts())
def test_any_input_builds_or_reports_invalid_json(case):
    text, should_build = case
    try:
        found, servers = views(text)
    except ValueError as error:
        assert type(error) is ValueError and FAULT.match(str(error)) and should_build is not True, repr(error)
        return
    assert should_build is not False
    assert all(re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", hit["field"]) and "_" in hit["field"] for hit in found)
    assert [s["name"] for s in servers] == sorted({hit["server"] for hit in found})
    assert sum(s["toolCount"] for s in servers) == len(found)
