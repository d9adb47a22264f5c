"""Discovery: the SDL-style description must be valid GraphQL SDL whose
argument types follow the tools' JSON Schemas, and search must find tools by
words and server."""

from __future__ import annotations

from typing import Any

import pytest

from quorvel_graphql.discovery import describe_sdl, field_signature, graphql_type, search_tools

graphql = pytest.importorskip("graphql")  # graphql-core, used only to check the SDL


def tool(field: str, schema: Any = None, *, description: str = "", read_only: bool = True) -> dict[str, Any]:
    server, _, name = field.partition("_")
    return {"field": field, "server": server, "tool": name, "description": description,
            "readOnly": read_only, "inputSchema": schema}


def built(tools: list[dict[str, Any]]) -> Any:
    return graphql.build_schema(describe_sdl(tools))


@pytest.mark.parametrize(
    ("schema", "required", "expected"),
    [
        ({"type": "string"}, True, "String!"),
        ({"type": "integer"}, False, "Int"),
        ({"type": "number"}, True, "Float!"),
        ({"type": "boolean"}, True, "Boolean!"),
        ({"type": "array", "items": {"type": "string"}}, True, "[String]!"),
        ({"type": "array", "items": {"type": "array", "items": {"type": "integer"}}}, False, "[[Int]]"),
        ({"type": "array"}, False, "[JSON]"),
        ({"type": "array", "items": [{"type": "string"}]}, False, "[JSON]"),
        ({"type": "object", "properties": {"a": {"type": "string"}}}, True, "JSON!"),
        ({"enum": ["a", "b"], "type": "string"}, True, "JSON!"),
        ({"anyOf": [{"type": "string"}, {"type": "integer"}]}, True, "JSON!"),
        ({"anyOf": [{"type": "string"}, {"type": "null"}]}, True, "String"),  # required but may be null
        ({"type": ["integer", "null"]}, True, "Int"),
        ({"type": ["integer", "string"]}, True, "JSON!"),
        ({"$ref": "#/$defs/Thing"}, True, "JSON!"),
        ({}, False, "JSON"),
        (None, True, "JSON"),
        ({"type": 5}, True, "JSON!"),
    ],
)
def test_graphql_type(schema: Any, required: bool, expected: str) -> None:
    assert graphql_type(schema, required) == expected


def test_sdl_is_valid_and_types_arguments() -> None:
    schema = {
        "type": "object",
        "properties": {
            "repo_path": {"type": "string", "description": "Path to the repository"},
            "max_count": {"type": "integer", "default": 10},
            "paths": {"type": "array", "items": {"type": "string"}},
            "mode": {"type": "string", "enum": ["fast", "slow"], "default": "fast"},
            "options": {"type": "object", "default": {"deep": True, "x-y": 1}},
        },
        "required": ["repo_path"],
    }
    built_schema = built([tool("git_git_log", schema, description="Shows the log"),
                          tool("files_write", None, read_only=False)])
    field = built_schema.query_type.fields["git_git_log"]
    assert field.description == "Shows the log"
    types = {name: str(argument.type) for name, argument in field.args.items()}
    assert types == {"repo_path": "String!", "max_count": "Int", "paths": "[String]", "mode": "JSON",
                     "options": "JSON"}
    defaults = {name: argument.ast_node.default_value for name, argument in field.args.items()}
    assert graphql.print_ast(defaults["max_count"]) == "10"
    assert graphql.print_ast(defaults["mode"]) == '"fast"'
    assert defaults["options"] is None  # "x-y" has no GraphQL literal
    assert "fast" in field.args["mode"].description
    assert {"servers", "search", "files_write"} <= set(built_schema.query_type.fields)
    assert not built_schema.query_type.fields["files_write"].args
    assert field.ast_node.directives[0].name.value == "readOnly"
    assert built_schema.query_type.fields["files_write"].ast_node.directives[0].name.value == "mutation"


@pytest.mark.parametrize(
    "description",
    ['Plain', 'Has "quotes" and \\ backslash', 'Line one\nLine two', 'Contains """ triple quotes\nand more',
     'Ends in a quote"', '\t tab and \x01 control', 'Unicode ✓ \u2028 separator', ''],
)
def test_descriptions_survive_as_graphql_strings(description: str) -> None:
    properties = {"x": {"type": "string", "description": description}}
    field = built([tool("s_t", {"type": "object", "properties": properties}, description=description)]) \
        .query_type.fields["s_t"]
    expected = description.strip() or None
    assert field.description == expected
    assert field.args["x"].description == expected


def test_names_that_graphql_cannot_spell_are_noted_not_emitted() -> None:
    schema = {"type": "object", "properties": {"max-count": {"type": "integer"}, "2fa": {"type": "string"},
                                               "ok_name": {"type": "string"}}, "required": ["max-count"]}
    text = describe_sdl([tool("s_t", schema), tool("bad-field", None)])
    field = graphql.build_schema(text).query_type.fields["s_t"]
    assert list(field.args) == ["ok_name"]
    assert '"max-count"' in text and '"2fa"' in text and '"bad-field"' in text


def test_hostile_schemas_do_not_break_the_description() -> None:
    deep: dict[str, Any] = {"type": "string"}
    for _ in range(5000):
        deep = {"type": "array", "items": deep}
    looped: dict[str, Any] = {"type": "array"}
    looped["items"] = looped
    odd = {"type": "object", "properties": {"deep": deep, "looped": looped, "n": "not a schema"},
           "required": "deep"}
    field = built([tool("s_t", odd), tool("s_u", {"properties": []}), tool("s_v", [1, 2])]) \
        .query_type.fields["s_t"]
    assert str(field.args["n"].type) == "JSON"
    assert str(field.args["deep"].type).startswith("[[") and "JSON" in str(field.args["deep"].type)


def test_empty_catalogue_still_describes_built_ins() -> None:
    assert set(built([]).query_type.fields) == {"servers", "search"}


def test_field_signature() -> None:
    schema = {"type": "object", "properties": {"timezone": {"type": "string", "description": "zone"},
                                               "n": {"type": "integer"}}, "required": ["timezone"]}
    assert field_signature(tool("time_now", schema)) == "time_now(timezone: String!, n: Int)"
    assert field_signature(tool("time_now")) == "time_now"


CATALOGUE = [
    tool("git_git_log", description="Shows the commit logs"),
    tool("git_git_status", description="Shows the working tree status"),
    tool("time_get_current_time", description="Get current time in a specific timezone"),
    tool("time_convert_time", description="Convert time between timezones"),
]


@pytest.mark.parametrize(
    ("text", "server", "expected"),
    [
        (None, None, ["git_git_log", "git_git_status", "time_get_current_time", "time_convert_time"]),
        ("LOG", None, ["git_git_log"]),
        ("time zone", None, ["time_get_current_time", "time_convert_time"]),
        ("current time", None, ["time_get_current_time"]),
        ("shows", "git", ["git_git_log", "git_git_status"]),
        ("shows", "TIME", []),
        (None, "time", ["time_get_current_time", "time_convert_time"]),
        ("   ", None, ["git_git_log", "git_git_status", "time_get_current_time", "time_convert_time"]),
        ("nothing-like-this", None, []),
    ],
)
def test_search_tools(text: str | None, server: str | None, expected: list[str]) -> None:
    found = search_tools(CATALOGUE, text, server)
    assert [hit["field"] for hit in found] == expected
    if found:
        found[0]["field"] = "changed"
        assert CATALOGUE[0]["field"] == "git_git_log"  # matches are copies
