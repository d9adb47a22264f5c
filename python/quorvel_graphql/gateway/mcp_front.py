"""The engine as an MCP server: a ``graphql`` tool that runs one query over
every configured tool, and a ``search_tools`` tool for discovery.  Built on
the SDK's low-level ``Server`` so results carry exactly the document the
engine wrote (as text) and its parsed form (as structured content).

The tool servers' resources and prompts are passed through (see
``passthrough``).  When a tool server joins late, clients are told the
lists changed (``notifications/*/list_changed``), so they fetch the
``graphql`` tool's new description: on the connection of a client that
made the handshake, and on the ``subscriptions/listen`` streams of clients
of the newer protocol."""

from __future__ import annotations

import asyncio
import json
import weakref
from dataclasses import dataclass
from typing import Any

import mcp_types as types
from mcp import MCPError
from mcp.server.lowlevel import NotificationOptions, Server
from mcp.server.subscriptions import (InMemorySubscriptionBus, ListenHandler, PromptsListChanged,
                                      ResourcesListChanged, ToolsListChanged)

from ..discovery import field_signature
from .core import Gateway, JsonObject, log

# A catalogue this small is listed in the graphql tool's own description, so
# an agent can write a query without a discovery round trip.
LISTED_FIELDS_MAX = 40
SEARCH_LIMIT_DEFAULT = 50
INSTRUCTIONS = ("Call many tools in one request: 'graphql' runs a GraphQL query whose top-level fields are tools "
                "(<server>_<tool>), all at once; 'search_tools' finds fields and their arguments.")

_TYPED_FORM = """\
Run one GraphQL request over the tools of {servers} and get one JSON document back.
Every tool is a field named <server>_<tool>: read-only tools are Query fields, the others Mutation fields \
(write them under `mutation {{ ... }}`; they run one after another). Its arguments are the tool's typed arguments.
Select the parts of each result you need; a tool without an output schema answers a ToolResult \
(text, json, content, structuredContent, isError):
  {{ a: {first} b: {second} }}
The fields of a query run concurrently, so one call can do the work of many tool calls. Aliases (a:, b:) \
call one tool several times. Variables, fragments, @include/@skip and several operations with \
operationName work as in any GraphQL server:
  query($x: String!) {{ f: some_field(arg: $x) {{ text }} }}   with variables {{"x": "..."}}
A failing tool answers null for its field and an entry in "errors" with its path; a request that does not \
validate calls no tool. Built-in fields: servers {{ name toolCount }}, search {{ field description }}\
{introspection}."""

_QUERY_FORM = """\
Run one GraphQL query over the tools of {servers} and get one JSON document back.
Every tool is a top-level field named <server>_<tool>; its arguments are the tool's arguments.
All fields of a query run concurrently, so one call can do the work of many tool calls:
  {{ a: {first} b: {second} }}
Aliases (a:, b:) call one tool several times. Values go inline or as variables:
  query($x: String!) {{ f: some_field(arg: $x) }}   with variables {{"x": "..."}}
Each field's value is that tool's whole result ({{"content": [...], "structuredContent": ..., "isError": ...}}), \
so write no sub-selections; a failing tool fails only its own field.
Built-in fields: servers (tool servers), search (all tools)."""


def build_mcp_server(gateway: Gateway) -> Server[Any]:
    listed: dict[str, Any] = {}

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        # Made again when the gateway serves a new engine (a tool server came up late).
        if listed.get("engine") is not gateway.engine:
            listed.update(engine=gateway.engine, tools=_tool_definitions(gateway))
        return types.ListToolsResult(tools=listed["tools"])

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        arguments = dict(params.arguments or {})
        try:
            if params.name == "graphql":
                return await _run_graphql(gateway, arguments)
            if params.name == "search_tools":
                return _run_search(gateway, arguments)
            return _error(f"unknown tool {params.name!r}; this server has 'graphql' and 'search_tools'")
        except _BadArguments as problem:
            log.info("mcp %s refused: %s", params.name, problem)
            return _error(str(problem))

    changes = ListChanges()
    gateway.on_tools_changed(changes.announce)
    passed = _Passthrough(gateway)
    server = _GatewayServer(
        gateway.name,
        version=gateway.telemetry.version,
        instructions=INSTRUCTIONS,
        on_list_tools=list_tools,
        on_call_tool=call_tool,
        on_list_resources=passed.list_resources,
        on_list_resource_templates=passed.list_resource_templates,
        on_read_resource=passed.read_resource,
        on_list_prompts=passed.list_prompts,
        on_get_prompt=passed.get_prompt,
        on_subscriptions_listen=changes.listen,
    )
    server.add_notification_handler("notifications/initialized", types.NotificationParams, changes.joined)
    return server


class _GatewayServer(Server[Any]):
    """The SDK's server, declaring by default that its lists change: every
    front (stdio, streamable HTTP) asks it for its options without any."""

    def create_initialization_options(self, notification_options: NotificationOptions | None = None,
                                      *args: Any, **kwargs: Any) -> Any:
        changing = NotificationOptions(prompts_changed=True, resources_changed=True, tools_changed=True)
        return super().create_initialization_options(notification_options or changing, *args, **kwargs)


class ListChanges:
    """Tells connected clients that the tools, resources and prompts
    changed.  ``announce`` may come from any thread (the host is replaced on
    one of its own); the notices go out on the loop the clients are served
    on, which the first handshake makes known."""

    MAX_LISTENERS = 1024

    def __init__(self) -> None:
        self._connections: weakref.WeakSet[Any] = weakref.WeakSet()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._bus = InMemorySubscriptionBus()
        self.listen = ListenHandler(self._bus, max_subscriptions=self.MAX_LISTENERS)
        self._tasks: set[asyncio.Task[None]] = set()

    async def joined(self, ctx: Any, params: Any) -> None:
        self._loop = asyncio.get_running_loop()
        # The connection, held weakly so a closed one goes: the request's
        # session is made anew for each message, and the SDK gives a
        # notification handler no other way to it.
        connection = getattr(ctx, "connection", None) or getattr(ctx.session, "_connection", None)
        if connection is not None:
            self._connections.add(connection)

    def announce(self) -> None:
        loop = self._loop
        if loop is None:  # nobody has connected: nobody to tell
            return
        try:
            loop.call_soon_threadsafe(self._start_notices)
        except RuntimeError:  # the loop has closed: the gateway is stopping
            pass

    def _start_notices(self) -> None:
        task = asyncio.ensure_future(self._notices())
        self._tasks.add(task)  # held until done: the loop keeps only a weak reference
        task.add_done_callback(self._tasks.discard)

    async def _notices(self) -> None:
        log.info("the tool list changed: telling %d MCP connections", len(self._connections))
        for connection in list(self._connections):
            await connection.send_tool_list_changed()  # best effort: a closed one drops it
            await connection.send_resource_list_changed()
            await connection.send_prompt_list_changed()
        for event in (ToolsListChanged(), ResourcesListChanged(), PromptsListChanged()):
            await self._bus.publish(event)


class _Passthrough:
    """The MCP handlers for the tool servers' resources and prompts; a
    gateway without MCP servers behind it (a bare catalogue) has none."""

    def __init__(self, gateway: Gateway) -> None:
        self._gateway = gateway

    def _source(self) -> Any:
        source = self._gateway.passthrough
        if source is None:
            raise MCPError(types.INVALID_PARAMS, "this gateway serves a catalogue without tool servers: it has no "
                           "resources or prompts")
        return source

    async def list_resources(self, ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListResourcesResult:
        source = self._gateway.passthrough
        return types.ListResourcesResult(resources=await source.list_resources() if source else [])

    async def list_resource_templates(self, ctx: Any, params: types.PaginatedRequestParams | None
                                      ) -> types.ListResourceTemplatesResult:
        source = self._gateway.passthrough
        return types.ListResourceTemplatesResult(
            resource_templates=await source.list_resource_templates() if source else [])

    async def read_resource(self, ctx: Any, params: types.ReadResourceRequestParams) -> types.ReadResourceResult:
        result: types.ReadResourceResult = await self._source().read_resource(str(params.uri))
        return result

    async def list_prompts(self, ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListPromptsResult:
        source = self._gateway.passthrough
        return types.ListPromptsResult(prompts=await source.list_prompts() if source else [])

    async def get_prompt(self, ctx: Any, params: types.GetPromptRequestParams) -> types.GetPromptResult:
        result: types.GetPromptResult = await self._source().get_prompt(params.name, params.arguments)
        return result


class _BadArguments(ValueError):
    pass


async def _run_graphql(gateway: Gateway, arguments: JsonObject) -> types.CallToolResult:
    query = arguments.get("query")
    if not isinstance(query, str) or not query.strip():
        raise _BadArguments('graphql needs "query": the GraphQL query text')
    variables = _variables(arguments.get("variables"))
    operation_name = arguments.get("operationName")
    if operation_name == "":
        operation_name = None
    if operation_name is not None and not isinstance(operation_name, str):
        raise _BadArguments('"operationName" must be a string')
    result = await gateway.execute(query, variables, via="mcp graphql", operation_name=operation_name)
    return types.CallToolResult(
        content=[types.TextContent(type="text", text=result.text)],
        structured_content=result.document,
        is_error=result.request_failed,
    )


def _variables(value: Any) -> JsonObject | None:
    # Agents sometimes send variables as JSON text rather than an object.
    if isinstance(value, str) and value.strip():
        try:
            value = json.loads(value)
        except json.JSONDecodeError as error:
            raise _BadArguments(f'"variables" is text that is not JSON: {error}') from None
    if value is None or value == "":
        return None
    if not isinstance(value, dict):
        raise _BadArguments(f'"variables" must be an object, not {type(value).__name__}')
    return value


def _run_search(gateway: Gateway, arguments: JsonObject) -> types.CallToolResult:
    text, server, limit = arguments.get("text"), arguments.get("server"), arguments.get("limit")
    for name, value in (("text", text), ("server", server)):
        if value is not None and not isinstance(value, str):
            raise _BadArguments(f'"{name}" must be a string')
    if limit is None:
        limit = SEARCH_LIMIT_DEFAULT
    if not isinstance(limit, int) or isinstance(limit, bool) or limit < 1:
        raise _BadArguments('"limit" must be a positive integer')
    found = gateway.discover(text or None, server or None, limit)
    return types.CallToolResult(
        content=[types.TextContent(type="text", text=json.dumps(found, ensure_ascii=False))],
        structured_content=found,
    )


def _error(message: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=message)], is_error=True)


def _tool_definitions(gateway: Gateway) -> list[types.Tool]:
    graphql = types.Tool(
        name="graphql",
        title="GraphQL query over many tools",
        description=graphql_description(gateway.tools()) if gateway.raw else typed_description(gateway),
        input_schema={
            "type": "object",
            "properties": {
                "query": {"type": "string", "description": "GraphQL document text"},
                "variables": {"type": ["object", "null"], "description": "values of the query's $variables"},
                "operationName": {"type": ["string", "null"],
                                  "description": "which operation of the document to run, when it has several"},
            },
            "required": ["query"],
        },
        output_schema={"type": "object", "description": "the GraphQL response document {data, errors}"},
        annotations=types.ToolAnnotations(read_only_hint=gateway.all_read_only(), open_world_hint=True),
    )
    search = types.Tool(
        name="search_tools",
        title="Find tool fields",
        description=(
            "Find the fields the graphql tool can call: each match has its field name, server, tool, "
            "description, readOnly flag and JSON Schema of arguments, and 'sdl' gives the matches as "
            "GraphQL with typed arguments. All words of 'text' must appear in the field name, tool name "
            "or description (case ignored); 'server' keeps one server's tools."
        ),
        input_schema={
            "type": "object",
            "properties": {
                "text": {"type": "string", "description": "words to look for"},
                "server": {"type": "string", "description": "only this server's tools"},
                "limit": {"type": "integer", "minimum": 1, "description": f"at most this many (default "
                          f"{SEARCH_LIMIT_DEFAULT})"},
            },
        },
        output_schema={
            "type": "object",
            "properties": {"fields": {"type": "array"}, "total": {"type": "integer"},
                           "truncated": {"type": "boolean"}, "sdl": {"type": "string"}},
        },
        annotations=types.ToolAnnotations(read_only_hint=True, open_world_hint=False),
    )
    return [graphql, search]


def graphql_description(tools: list[JsonObject]) -> str:
    """The ``graphql`` tool's description: the query form in a few lines,
    and the fields themselves when there are few enough to list."""
    servers = sorted({tool["server"] for tool in tools})
    named = ", ".join(servers[:8]) + (", ..." if len(servers) > 8 else "")
    first, second = _example_call(tools[:1]), _example_call(tools[1:2] or tools[:1])
    text = _QUERY_FORM.format(servers=f"{len(servers)} servers ({named})" if servers else "no servers",
                              first=first, second=second)
    if not tools:
        return text + "\nNo tool fields are configured."
    if len(tools) > LISTED_FIELDS_MAX:
        return text + f"\n{len(tools)} tool fields: call search_tools to find fields and their arguments."
    listing = "\n".join(f"- {field_signature(tool)}" + (" (changes things)" if not tool["readOnly"] else "")
                        for tool in tools)
    return f"{text}\nFields (call search_tools for descriptions):\n{listing}"


# The root fields with their typed arguments and result types, read through
# introspection so the description says exactly what validation accepts.
_ROOT_FIELDS = """{ __schema {
  queryType { fields { name args { name defaultValue type { ...T } } type { ...T } } }
  mutationType { fields { name args { name defaultValue type { ...T } } type { ...T } } }
} }
fragment T on __Type { kind name ofType { kind name ofType { kind name ofType { kind name ofType { kind name } } } } }"""


@dataclass(frozen=True, slots=True)
class _RootField:
    root: str
    name: str
    arguments: list[tuple[str, str, bool]]  # name, type, whether a call must give it
    result: JsonObject


def typed_description(gateway: Gateway) -> str:
    """The ``graphql`` tool's description for standard GraphQL: the request
    form with nested selections, and the typed tool fields when there are
    few enough to list."""
    tools = gateway.tools()
    servers = sorted({tool["server"] for tool in tools})
    named = ", ".join(servers[:8]) + (", ..." if len(servers) > 8 else "")
    fields = _root_fields(gateway)
    reads = [field for field in fields if field.root == "Query"] or fields
    first, second = _typed_call(gateway, reads[:1]), _typed_call(gateway, reads[1:2] or reads[:1])
    text = _TYPED_FORM.format(servers=f"{len(servers)} servers ({named})" if servers else "no servers",
                              first=first, second=second,
                              introspection=", and introspection (__schema, __type)" if gateway.introspection
                              else "; introspection is turned off (search_tools describes the fields)")
    if not tools:
        return text + "\nNo tool fields are configured."
    if len(tools) > LISTED_FIELDS_MAX:
        return text + f"\n{len(tools)} tool fields: call search_tools to find fields, their arguments and types."
    lines = [f"- {field.root}.{field.name}{_argument_list(field)}: {_type_ref(field.result)}" for field in fields]
    return text + "\nFields (call search_tools for descriptions and result types):\n" + "\n".join(lines)


def _root_fields(gateway: Gateway) -> list[_RootField]:
    document = json.loads(gateway.typed().schema.execute(_ROOT_FIELDS))
    schema = (document.get("data") or {}).get("__schema") or {}
    known = {tool["field"] for tool in gateway.tools()}
    fields: list[_RootField] = []
    for root, label in (("queryType", "Query"), ("mutationType", "Mutation")):
        for field in (schema.get(root) or {}).get("fields") or ():
            if field["name"] in known:
                arguments = [(arg["name"], _type_ref(arg["type"]), arg["type"]["kind"] == "NON_NULL"
                              and arg.get("defaultValue") is None) for arg in field["args"]]
                fields.append(_RootField(label, field["name"], arguments, field["type"]))
    return fields


def _argument_list(field: _RootField) -> str:
    return f"({', '.join(f'{name}: {kind}' for name, kind, _ in field.arguments)})" if field.arguments else ""


def _typed_call(gateway: Gateway, fields: list[_RootField]) -> str:
    """An example call of a tool field: its required arguments and the first
    few leaf fields of its result type."""
    if not fields:
        return 'server_tool(arg: "...") { text }'
    field = fields[0]
    required = ", ".join(f'{name}: "..."' if kind.startswith("String") else f"{name}: ..."
                         for name, kind, needed in field.arguments if needed)
    return f"{field.name}{f'({required})' if required else ''} {{ {' '.join(_leaves(gateway, field.result))} }}"


def _leaves(gateway: Gateway, result: JsonObject) -> list[str]:
    ref = result
    while ref.get("ofType"):
        ref = ref["ofType"]
    query = '{ __type(name: %s) { fields { name type { kind ofType { kind ofType { kind } } } } } }'
    document = json.loads(gateway.typed().schema.execute(query % json.dumps(ref.get("name") or "")))
    found = ((document.get("data") or {}).get("__type") or {}).get("fields") or []
    leaves = [f["name"] for f in found if _unwrapped_kind(f["type"]) in ("SCALAR", "ENUM")]
    return leaves[:2] or ["__typename"]


def _unwrapped_kind(ref: JsonObject) -> str:
    while ref.get("ofType"):
        ref = ref["ofType"]
    return str(ref.get("kind"))


def _type_ref(ref: JsonObject | None) -> str:
    if not ref:
        return "?"
    if ref["kind"] == "NON_NULL":
        return _type_ref(ref.get("ofType")) + "!"
    if ref["kind"] == "LIST":
        return f"[{_type_ref(ref.get('ofType'))}]"
    return str(ref["name"])


def _example_call(tools: list[JsonObject]) -> str:
    if not tools:
        return "server_tool(arg: \"value\")"
    tool = tools[0]
    schema = tool.get("inputSchema") or {}
    properties = schema.get("properties") if isinstance(schema, dict) else None
    if isinstance(properties, dict) and properties:
        first = next(iter(properties))
        return f'{tool["field"]}({first}: "...")'
    return str(tool["field"])
