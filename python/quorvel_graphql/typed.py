"""Standard GraphQL over the tools of an engine.

The engine (:class:`SchemaEngine`) speaks a deliberate subset of GraphQL:
one operation of top-level tool fields, each answering one JSON value.
:class:`GraphQL` is what GraphQL clients expect in front of it: a typed
schema built from each tool's ``inputSchema`` and ``outputSchema``, several
operations and ``operationName``, fragments, variables with defaults,
``@skip``/``@include``, validation before any tool runs, introspection, and
results cut down to the fields a query selects.  The engine still makes
every tool call, so the call bridge, the host and concurrency are the same.

Typing rules, in short: read-only tools are ``Query`` fields, the others
``Mutation`` fields; arguments come from the tool's ``inputSchema``
properties (a tool without one takes no arguments here); results are typed
by the ``outputSchema`` when it describes an object, else a tool field
answers a ``ToolResult`` (``text``, ``json``, ``content``,
``structuredContent``, ``isError``).  JSON Schema parts GraphQL cannot type
become the ``JSON`` scalar.  Property and enum names that are not GraphQL
names are renamed (other characters become ``_``) and mapped back on the
way to the tool; an argument whose name is not a GraphQL name is left out,
since the engine's language could not pass it on.  A failed tool answers
``null`` for its field and an error with ``path`` and ``extensions``
(``code`` ``"TOOL_ERROR"``, ``server``, ``tool``, ``text``).
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from _graphql import SchemaEngine
from _graphql_typed import TypedSchema

from .common import engine_tools, variables_json
from .errors import HostStateError
from .workers import Workers

if TYPE_CHECKING:
    # Only for annotations: the gateway builds this class over hosts of its
    # own and must not pull in the host kit with it.
    from .host import ToolHost

__all__ = ["GraphQL", "catalogue_of"]

# Waiting requests get a thread each (never the loop's default executor,
# which coroutine tool handlers may need); idle threads end by themselves.
_waiters = Workers("quorvel-graphql")


def catalogue_of(engine: SchemaEngine, input_schemas: Mapping[tuple[str, str], Any] | None = None,
                 output_schemas: Mapping[tuple[str, str], Any] | None = None) -> str:
    """Catalogue JSON for the engine's own tools, with the JSON Schemas known
    for them by (server, tool): what :class:`GraphQL` types an engine by when
    it is given no catalogue text."""
    servers: dict[str, list[dict[str, Any]]] = {}
    for tool in engine_tools(engine):
        entry: dict[str, Any] = {"name": tool["tool"], "description": tool["description"],
                                 "readOnly": tool["readOnly"]}
        key = (tool["server"], tool["tool"])
        if input_schemas and key in input_schemas:
            entry["inputSchema"] = input_schemas[key]
        if output_schemas and key in output_schemas:
            entry["outputSchema"] = output_schemas[key]
        servers.setdefault(tool["server"], []).append(entry)
    return json.dumps([{"server": name, "tools": tools} for name, tools in servers.items()], ensure_ascii=False)


class GraphQL:
    """Standard GraphQL in front of a :class:`ToolHost` or a bare
    :class:`SchemaEngine`.

    ``catalogue_json`` is the catalogue the engine was built from, with each
    tool's ``inputSchema`` and ``outputSchema``; when it is None, the
    host's ``catalogue_json`` is used when it has one, else the catalogue is
    read back from the engine, typed by the host's ``input_schemas`` (a bare
    engine's tools then take no arguments).  Any object with an ``engine`` serves as the
    host (the gateway's hosts do); ``running``, when it has one, guards
    requests.

    The limits bound every request before any tool runs: nesting depth of
    selections, selected fields (fragments expanded), tool calls (aliases
    and fragments counted) and document size; a request beyond one is
    answered with a validation error.

    With a host, requests need the host running, as ``ToolHost.execute``
    does; with a bare engine whose bridge is not attached, every tool field
    fails with the engine's placeholder message.
    """

    def __init__(
        self,
        host_or_engine: ToolHost | SchemaEngine,
        catalogue_json: str | None = None,
        *,
        max_depth: int = 32,
        max_selected_fields: int = 1000,
        max_tool_calls: int = 100,
        max_document_bytes: int = 1 << 20,
    ) -> None:
        if isinstance(host_or_engine, SchemaEngine):
            self.host: ToolHost | None = None
            engine = host_or_engine
        elif isinstance(getattr(host_or_engine, "engine", None), SchemaEngine):
            self.host = host_or_engine
            engine = host_or_engine.engine
        else:
            raise TypeError(f"GraphQL() needs a ToolHost or a SchemaEngine, not {type(host_or_engine).__name__}")
        if catalogue_json is None:
            catalogue_json = getattr(self.host, "catalogue_json", None)
        if catalogue_json is None:
            catalogue_json = catalogue_of(engine, getattr(self.host, "input_schemas", None))
        self.engine = engine
        self.schema = TypedSchema(engine, catalogue_json, max_depth=max_depth,
                                  max_selected_fields=max_selected_fields, max_tool_calls=max_tool_calls,
                                  max_document_bytes=max_document_bytes)

    def sdl(self, fields: Sequence[str] | None = None) -> str:
        """The typed schema in GraphQL SDL (what introspection describes);
        with ``fields``, only those tool fields, the built-in ones and the
        types they reach."""
        return self.schema.sdl(fields)

    def tool_count(self) -> int:
        """Tool fields of the typed schema, Query and Mutation together."""
        return self.schema.tool_count()

    def execute_text(self, query: str, variables: Mapping[str, Any] | str | None = None,
                     operation_name: str | None = None, *, allow_mutations: bool = True) -> str:
        """The response document as JSON text, as the engine wrote it:
        ``{"data": ...}`` plus ``"errors"`` only when there are any (a
        request refused before it ran has ``errors`` and no ``data``).
        ``allow_mutations=False`` refuses mutation operations, as GraphQL
        over HTTP requires for GET."""
        self._check_running()
        return self.schema.execute(query, variables_json(variables), operation_name,
                                   allow_mutations=allow_mutations)

    def execute(self, query: str, variables: Mapping[str, Any] | str | None = None,
                operation_name: str | None = None, *, allow_mutations: bool = True) -> dict[str, Any]:
        """Runs one request and returns the parsed response document."""
        document: dict[str, Any] = json.loads(
            self.execute_text(query, variables, operation_name, allow_mutations=allow_mutations))
        return document

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None,
                            operation_name: str | None = None, *, allow_mutations: bool = True) -> dict[str, Any]:
        """Like :meth:`execute`, awaited without blocking the running loop:
        the request waits on a thread of its own."""
        self._check_running()
        text = variables_json(variables)
        loop = asyncio.get_running_loop()
        outcome: asyncio.Future[dict[str, Any]] = loop.create_future()

        def settle(result: Any, failed: bool) -> None:
            if outcome.done():
                return
            if failed:
                outcome.set_exception(result)
            else:
                outcome.set_result(result)

        def run() -> None:
            failed = False
            try:
                result: Any = json.loads(self.schema.execute(query, text, operation_name,
                                                             allow_mutations=allow_mutations))
            except BaseException as error:
                result, failed = error, True
            try:
                loop.call_soon_threadsafe(settle, result, failed)
            except RuntimeError:  # the caller's loop has closed meanwhile
                pass

        _waiters.submit(run)
        return await outcome

    def _check_running(self) -> None:
        if self.host is not None and not getattr(self.host, "running", True):
            raise HostStateError(f"ToolHost is {self.host.state.value}, not running: start it (or use 'with host:') "
                                 "before executing queries")
