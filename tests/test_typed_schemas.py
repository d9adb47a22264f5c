"""The typed layer over JSON Schemas as real servers write them: models in
``$defs`` reached by ``$ref``, Optional as ``anyOf`` with null, one-member
``allOf``, float defaults. Every schema goes through graphql-core: the SDL
through ``build_schema`` (which validates it), the introspection answer
through ``build_client_schema``; and mcp-server-time's own ``convert_time``
is queried through the layer."""

from __future__ import annotations

import json
import sys

import graphql
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _graphql
import _graphql_typed
from conftest import examples
from quorvel_graphql import GraphQL, ToolHost


def catalogue_of(*tools: dict) -> str:
    return json.dumps([{"server": "s", "tools": list(tools)}])


def typed_schema(catalogue: str) -> _graphql_typed.TypedSchema:
    return _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue), catalogue)


def client_schema(typed: _graphql_typed.TypedSchema) -> graphql.GraphQLSchema:
    """The schema a client builds from introspection, checked to be a valid
    schema and to print as the layer's own SDL."""
    sdl = typed.sdl()
    assert graphql.print_schema(graphql.build_schema(sdl)) == sdl
    answer = json.loads(typed.execute(graphql.get_introspection_query(descriptions=True)))
    assert "errors" not in answer
    schema = graphql.build_client_schema(answer["data"])
    assert graphql.validate_schema(schema) == []
    assert graphql.print_schema(schema) == sdl
    return schema


ORDER = {"type": "object", "description": "An order.", "required": ["id"],
         "properties": {"id": {"type": "integer"}, "note": {"type": ["string", "null"]}}}
DEFS = {"Order": ORDER, "Color": {"type": "string", "enum": ["red", "green"]}}


@pytest.mark.parametrize(("prop", "required", "as_input", "as_output"), [
    ({"$ref": "#/$defs/Order"}, True, "OrderInput!", "Order!"),
    ({"$ref": "#/$defs/Order"}, False, "OrderInput", "Order"),
    ({"$ref": "#/$defs/Order", "description": "sibling keywords"}, True, "OrderInput!", "Order!"),
    ({"anyOf": [{"$ref": "#/$defs/Order"}, {"type": "null"}], "default": None}, True, "OrderInput", "Order"),
    ({"oneOf": [{"type": "null"}, {"$ref": "#/$defs/Order"}]}, True, "OrderInput", "Order"),
    ({"allOf": [{"$ref": "#/$defs/Order"}], "description": "pydantic v1"}, True, "OrderInput!", "Order!"),
    ({"type": "array", "items": {"$ref": "#/$defs/Order"}}, True, "[OrderInput!]!", "[Order]!"),
    ({"type": ["array", "null"], "items": {"$ref": "#/$defs/Color"}}, True, "[Color!]", "[Color]"),
    ({"$ref": "#/$defs/Color"}, True, "Color!", "Color!"),
    ({"anyOf": [{"$ref": "#/$defs/Color"}, {"type": "null"}]}, True, "Color", "Color"),
    ({"$ref": "#/definitions/Order"}, True, "OrderInput!", "Order!"),  # the same text: the same type
    ({"$ref": "#/%24defs/Order"}, True, "OrderInput!", "Order!"),
    ({"$ref": "#/$defs/Missing"}, True, "JSON", "JSON"),
    ({"$ref": "https://example.com/order.json"}, True, "JSON", "JSON"),
    ({"$ref": "other.json#/$defs/Order"}, True, "JSON", "JSON"),
    ({"$ref": "#Order"}, True, "JSON", "JSON"),
    ({"$ref": 7}, True, "JSON", "JSON"),
    ({"anyOf": [{"type": "string"}, {"type": "integer"}]}, True, "JSON!", "JSON!"),
    ({"anyOf": [{"type": "string"}, {"type": "integer"}, {"type": "null"}]}, True, "JSON", "JSON"),
    ({"type": "object"}, True, "JSON!", "JSON!"),
    ({}, True, "JSON", "JSON"),
    ({"enum": ["a", "b", None]}, True, "STX", "STResultX"),
    ({"type": "array", "items": {"anyOf": [{"$ref": "#/$defs/Order"}, {"type": "null"}]}}, False,
     "[OrderInput]", "[Order]"),
])
def test_property_types_on_both_sides(prop, required, as_input, as_output):
    def document() -> dict:
        return {"type": "object", "$defs": DEFS, "definitions": DEFS, "properties": {"x": prop},
                "required": ["x"] if required else []}

    schema = client_schema(typed_schema(catalogue_of({"name": "t", "inputSchema": document(),
                                                      "outputSchema": document()})))
    field = schema.query_type.fields["s_t"]
    assert (str(field.args["x"].type), str(field.type.fields["x"].type)) == (as_input, as_output)
    # A model keeps its own name and description, on each side.
    order_input, order = schema.get_type("OrderInput"), schema.get_type("Order")
    if "Order" in as_input:
        assert isinstance(order_input, graphql.GraphQLInputObjectType) and order_input.description == "An order."
        assert str(order_input.fields["id"].type) == "Int!" and str(order_input.fields["note"].type) == "String"
        assert isinstance(order, graphql.GraphQLObjectType) and str(order.fields["id"].type) == "Int!"
    else:
        assert order_input is None and order is None


def test_convert_time_of_mcp_server_time_answers_nested_objects():
    pytest.importorskip("mcp_server_time")
    from quorvel_graphql.mcp_adapter import McpServers, ServerConfig
    from support.time_server import time_server_over_http

    query = """{ time_convert_time(source_timezone: "UTC", time: "12:00", target_timezone: "Asia/Tokyo") {
        source { timezone datetime } target { timezone datetime is_dst } time_difference } }"""
    with time_server_over_http() as url, McpServers({"time": ServerConfig("time", url=url)}) as servers, \
            ToolHost(servers.engine()) as host:
        servers.serve(host)
        layer = GraphQL(host)
        answer = layer.execute(query)
        introspection = layer.execute(graphql.get_introspection_query())
    schema = graphql.build_client_schema(introspection["data"])
    result = schema.query_type.fields["time_convert_time"].type
    assert str(result.fields["source"].type) == str(result.fields["target"].type) == "TimeResult!"
    assert graphql.validate(schema, graphql.parse(query)) == []
    converted = answer["data"]["time_convert_time"]
    assert "errors" not in answer
    assert (converted["source"]["timezone"], converted["target"]["timezone"]) == ("UTC", "Asia/Tokyo")
    assert converted["source"]["datetime"][10:16] == "T12:00" and converted["target"]["datetime"][10:16] == "T21:00"
    assert converted["target"]["is_dst"] is False and converted["time_difference"] == "+9.0h"


SHOP_SERVER = """
from typing import Optional
from pydantic import BaseModel
try:
    from mcp.server.mcpserver import MCPServer as Server
except ImportError:
    from mcp.server.fastmcp import FastMCP as Server
app = Server("shop")

class Item(BaseModel):
    sku: str
    quantity: int = 1

class Order(BaseModel):
    id: int
    items: list[Item]
    note: Optional[str] = None
    parent: Optional["Order"] = None

class Receipt(BaseModel):
    order: Order
    total: float

@app.tool()
def place(order: Order, discount: float = 1.0, coupon: Optional[str] = None) -> Receipt:
    return Receipt(order=order, total=10.0 * discount * len(order.items))
"""


def test_pydantic_models_of_an_sdk_server_become_types(tmp_path, monkeypatch):
    """The schemas the MCP SDK writes for pydantic models, read from the
    SDK in this process, and its own validation answering the calls."""
    pytest.importorskip("mcp")
    import importlib

    import anyio

    (tmp_path / "shop_server.py").write_text(SHOP_SERVER)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "shop_server", raising=False)
    app = importlib.import_module("shop_server").app
    listed = anyio.run(app.list_tools)
    tools = [tool.model_dump(by_alias=True, exclude_none=True) for tool in listed]
    catalogue = json.dumps([{"server": "shop", "tools": tools}])

    async def place(arguments: dict) -> dict:
        result = await app.call_tool("place", arguments)
        return result[1] if isinstance(result, tuple) else result.structured_content

    host = ToolHost(catalogue)
    host.register("shop", "place", place, pass_dict=True)
    with host:
        layer = GraphQL(host)
        answer = layer.execute("""{ shop_place(order: {id: 7, items: [{sku: "a"}, {sku: "b", quantity: 2}],
            parent: {id: 6, items: []}}) { total order { id note items { sku quantity } parent { id parent { id } } } } }""")
    schema = client_schema(layer.schema)
    place_field = schema.query_type.fields["shop_place"]
    assert {name: str(arg.type) for name, arg in place_field.args.items()} == {
        "order": "OrderInput!", "discount": "Float", "coupon": "String"}
    assert graphql.value_from_ast(place_field.args["discount"].default.literal, graphql.GraphQLFloat) == 1.0
    order_input = schema.get_type("OrderInput")
    assert {name: str(f.type) for name, f in order_input.fields.items()} == {
        "id": "Int!", "items": "[ItemInput!]!", "note": "String", "parent": "OrderInput"}
    assert str(schema.get_type("Order").fields["items"].type) == "[Item]!"
    assert answer == {"data": {"shop_place": {"total": 20.0, "order": {
        "id": 7, "note": None, "items": [{"sku": "a", "quantity": 1}, {"sku": "b", "quantity": 2}],
        "parent": {"id": 6, "parent": None}}}}}


@pytest.mark.parametrize(("prop", "literal", "received"), [
    ({"type": "number", "default": 1.0}, "1.0", 1.0),
    ({"type": "number", "default": 0.25}, "0.25", 0.25),
    ({"type": "number", "default": -2.5e-7}, "-2.5e-07", -2.5e-7),
    ({"type": "number", "default": 1e300}, "1e+300", 1e300),
    ({"anyOf": [{"type": "number"}, {"type": "null"}], "default": 1.5}, "1.5", 1.5),
    ({"type": "number", "default": 3}, "3", 3),
    ({"type": "integer", "default": 1.5}, None, None),  # not an Int: left to the tool
])
def test_float_defaults_are_kept_and_sent(prop, literal, received):
    catalogue = catalogue_of({"name": "t", "inputSchema": {"type": "object", "properties": {"seconds": prop}}})
    seen: list[dict] = []
    host = ToolHost(catalogue)
    host.register("s", "t", lambda **arguments: seen.append(arguments) or "ok", inline=True)
    with host:
        layer = GraphQL(host)
        answer = layer.execute("{ s_t { text } }")
    argument = client_schema(layer.schema).query_type.fields["s_t"].args["seconds"]
    assert answer == {"data": {"s_t": {"text": "ok"}}}
    if literal is None:
        assert argument.default is None and seen == [{}]
    else:
        assert f"seconds: {argument.type} = {literal}" in layer.sdl()
        assert graphql.value_from_ast(argument.default.literal, argument.type) == received
        assert seen == [{"seconds": received}]
        assert type(seen[0]["seconds"]) is type(received)


def test_host_built_from_catalogue_text_types_its_tools():
    catalogue = catalogue_of({"name": "t", "readOnly": True,
                              "inputSchema": {"type": "object", "required": ["n"], "properties": {"n": {"type": "integer"}}},
                              "outputSchema": {"type": "object", "properties": {"double": {"type": "integer"}}}})
    host = ToolHost(catalogue)
    host.register("s", "t", lambda n: {"double": 2 * n}, inline=True)
    with host:
        layer = GraphQL(host)
        assert "s_t(n: Int!): STResult" in layer.sdl()
        assert layer.execute("{ s_t(n: 21) { double } }") == {"data": {"s_t": {"double": 42}}}


# -- references that lead back -----------------------------------------------------------------------------


TREE = {"$defs": {"Node": {"type": "object", "required": ["name"], "properties": {
    "name": {"type": "string"}, "children": {"type": "array", "items": {"$ref": "#/$defs/Node"}},
    "next-node": {"anyOf": [{"$ref": "#/$defs/Node"}, {"type": "null"}]}}}},
    "type": "object", "required": ["tree"], "properties": {"tree": {"$ref": "#/$defs/Node"}}}


def test_recursive_model_is_a_recursive_type_on_both_sides():
    catalogue = catalogue_of({"name": "t", "inputSchema": TREE, "outputSchema": TREE})
    seen: list[dict] = []
    host = ToolHost(catalogue)
    host.register("s", "t", lambda **arguments: seen.append(arguments) or arguments, inline=True)
    with host:
        layer = GraphQL(host)
        answer = layer.execute("""query($t: NodeInput!) { s_t(tree: $t) {
            tree { name next_node { name } children { name children { name next_node { name } } } } } }""",
                               {"t": {"name": "root", "next_node": {"name": "sibling"},
                                      "children": [{"name": "leaf", "children": []}]}})
    schema = client_schema(layer.schema)
    node, node_input = schema.get_type("Node"), schema.get_type("NodeInput")
    assert str(node.fields["children"].type) == "[Node]" and node.fields["next_node"].type is node
    assert str(node_input.fields["children"].type) == "[NodeInput!]" and node_input.fields["next_node"].type is node_input
    tree = {"name": "root", "next-node": {"name": "sibling"}, "children": [{"name": "leaf", "children": []}]}
    assert seen == [{"tree": tree}]
    assert answer == {"data": {"s_t": {"tree": {
        "name": "root", "next_node": {"name": "sibling"},
        "children": [{"name": "leaf", "children": []}]}}}}


@pytest.mark.parametrize(("defs", "root_ref", "as_input", "as_output"), [
    # Mutual references: two types that name each other.
    ({"A": {"type": "object", "properties": {"b": {"$ref": "#/$defs/B"}}},
      "B": {"type": "object", "properties": {"a": {"$ref": "#/$defs/A"}, "v": {"type": "integer"}}}},
     "A", "AInput", "A"),
    # A required field back to itself cannot be given (no finite value has it);
    # GraphQL refuses such an input type, so the closing field is nullable.
    ({"A": {"type": "object", "required": ["a", "v"], "properties": {"a": {"$ref": "#/$defs/A"},
                                                                     "v": {"type": "integer"}}}},
     "A", "AInput", "A"),
    ({"A": {"type": "object", "required": ["b"], "properties": {"b": {"$ref": "#/$defs/B"}}},
      "B": {"type": "object", "required": ["a"], "properties": {"a": {"$ref": "#/$defs/A"}}}},
     "A", "AInput", "A"),
    # No object on the way: nothing GraphQL can spell.
    ({"A": {"$ref": "#/$defs/B"}, "B": {"$ref": "#/$defs/A"}}, "A", "JSON", "JSON"),
    ({"A": {"$ref": "#/$defs/A"}}, "A", "JSON", "JSON"),
    ({"A": {"anyOf": [{"$ref": "#/$defs/A"}, {"type": "null"}]}}, "A", "JSON", "JSON"),
    ({"L": {"type": "array", "items": {"$ref": "#/$defs/L"}}}, "L", "[JSON]", "[JSON]"),
])
def test_reference_cycles_give_valid_schemas(defs, root_ref, as_input, as_output):
    document = {"type": "object", "$defs": defs, "properties": {"x": {"$ref": f"#/$defs/{root_ref}"}}}
    schema = client_schema(typed_schema(catalogue_of({"name": "t", "inputSchema": document,
                                                      "outputSchema": document})))
    field = schema.query_type.fields["s_t"]
    assert (str(field.args["x"].type), str(field.type.fields["x"].type)) == (as_input, as_output)


def test_reference_to_the_whole_document():
    output = {"type": "object", "title": "Folder", "properties": {
        "name": {"type": "string"}, "parent": {"$ref": "#"}, "items": {"type": "array", "items": {"$ref": "#"}}}}
    schema = client_schema(typed_schema(catalogue_of({"name": "t", "outputSchema": output})))
    result = schema.query_type.fields["s_t"].type
    assert result.name == "STResult" and result.fields["parent"].type is result
    assert str(result.fields["items"].type) == "[STResult]"


@pytest.mark.parametrize("side", ["inputSchema", "outputSchema"])
def test_chains_of_references_are_typed_once_each(side):
    # Each entry refers to the next twice: followed naively, 2**60 visits.
    count = 60
    defs = {f"D{i}": {"type": "object", "properties": {
        "left": {"$ref": f"#/$defs/D{i + 1}"}, "right": {"$ref": f"#/$defs/D{i + 1}"}}} for i in range(count)}
    defs[f"D{count}"] = {"type": "object", "properties": {"end": {"type": "boolean"}}}
    document = {"type": "object", "$defs": defs, "properties": {"x": {"$ref": "#/$defs/D0"}}}
    schema = client_schema(typed_schema(catalogue_of({"name": "t", side: document})))
    suffix = "Input" if side == "inputSchema" else ""
    named = sorted((name for name in schema.type_map if name.startswith("D")), key=lambda name: int(
        name[1:].removesuffix(suffix)))
    # One type per entry; past the nesting bound the rest of the chain is JSON.
    assert named == [f"D{i}{suffix}" for i in range(len(named))] and 20 < len(named) < count
    assert {str(f.type) for f in schema.get_type(named[-1]).fields.values()} == {"JSON"}
    assert {str(f.type) for f in schema.get_type(named[0]).fields.values()} == {f"D1{suffix}"}


# -- names -----------------------------------------------------------------------------------------------


TIME_RESULT = {"type": "object", "required": ["datetime"], "properties": {"datetime": {"type": "string"}}}


def test_models_repeated_across_tools_are_one_type_and_different_ones_are_not():
    def output(model: dict) -> dict:
        return {"type": "object", "$defs": {"TimeResult": model},
                "properties": {"at": {"$ref": "#/$defs/TimeResult"}}}

    other = {**TIME_RESULT, "properties": {"datetime": {"type": "string"}, "zone": {"type": "string"}}}
    schema = client_schema(typed_schema(catalogue_of(
        {"name": "a", "outputSchema": output(TIME_RESULT)},
        {"name": "b", "outputSchema": output(TIME_RESULT)},
        {"name": "c", "outputSchema": output(other)},
        {"name": "d", "inputSchema": output(TIME_RESULT)})))
    fields = schema.query_type.fields
    assert [str(fields[f"s_{name}"].type.fields["at"].type) for name in "abc"] == [
        "TimeResult", "TimeResult", "TimeResult_2"]
    assert str(fields["s_d"].args["at"].type) == "TimeResultInput"


def test_model_names_that_collide_with_other_types_are_suffixed():
    model = {"type": "object", "properties": {"v": {"type": "integer"}}}
    defs = {name: model for name in ("Query", "ToolResult", "String", "OrderInput", "Order", "__Type", "a-b")}
    document = {"type": "object", "$defs": defs,
                "properties": {name: {"$ref": f"#/$defs/{name}"} for name in defs}}
    schema = client_schema(typed_schema(catalogue_of({"name": "t", "inputSchema": document,
                                                      "outputSchema": document})))
    field = schema.query_type.fields["s_t"]
    inputs = {name: str(arg.type) for name, arg in field.args.items()}
    outputs = {name: str(f.type) for name, f in field.type.fields.items()}
    # "a-b" is no argument name the engine's language can pass on.
    assert inputs == {"Query": "QueryInput", "ToolResult": "ToolResultInput", "String": "StringInput",
                      "OrderInput": "OrderInputInput", "Order": "OrderInput", "x__Type": "x__TypeInput"}
    assert outputs == {"Query": "Query_2", "ToolResult": "ToolResult_2", "String": "String_2",
                       "OrderInput": "OrderInput_2", "Order": "Order", "x__Type": "x__Type", "a_b": "a_b"}


# -- any shape -------------------------------------------------------------------------------------------


DEF_NAMES = ["A", "B", "C"]
LEAVES = st.sampled_from([
    {"type": "string"}, {"type": "number", "default": 1.5}, {"enum": ["x", "y"]}, {"type": "null"}, {},
    {"$ref": "#/$defs/Missing"}, {"$ref": "#"}, *({"$ref": f"#/$defs/{name}"} for name in DEF_NAMES)])


def wrapped(inner: st.SearchStrategy) -> st.SearchStrategy:
    return st.one_of(
        st.builds(lambda items: {"type": "array", "items": items}, inner),
        st.builds(lambda props, req: {"type": "object", "properties": props, "required": list(props) if req else []},
                  st.dictionaries(st.sampled_from(["a", "b-c", "d"]), inner, min_size=1, max_size=3), st.booleans()),
        st.builds(lambda a: {"anyOf": [a, {"type": "null"}]}, inner),
        st.builds(lambda a: {"allOf": [a]}, inner))


SCHEMAS = st.recursive(LEAVES, wrapped, max_leaves=6)


@settings(max_examples=examples(80), deadline=None)
@given(st.fixed_dictionaries({name: SCHEMAS for name in DEF_NAMES}), SCHEMAS, SCHEMAS, st.booleans())
def test_any_references_give_a_schema_graphql_core_accepts(defs, argument, result, required):
    def document(prop: dict) -> dict:
        return {"type": "object", "$defs": defs, "properties": {"p": prop, "q": {"$ref": "#/$defs/A"}},
                "required": ["p", "q"] if required else []}

    catalogue = catalogue_of({"name": "t", "inputSchema": document(argument), "outputSchema": document(result)},
                             {"name": "u", "inputSchema": document(result), "outputSchema": document(argument)})
    schema = client_schema(typed_schema(catalogue))
    assert {"s_t", "s_u"} <= set(schema.query_type.fields)
