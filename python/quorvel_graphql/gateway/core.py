"""What the fronts share: one host (a running tool host, or a bare engine
whose tool fields give placeholders), the tool list for discovery, and query
execution off the event loop with one log line per request.

Requests speak standard GraphQL through the typed layer (:class:`GraphQL`)
unless the gateway is made ``raw``, when they go to the engine's own
language as they are."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import ipaddress
import json
import logging
import re
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Protocol

from _graphql import SchemaEngine

from ..common import JsonObject, engine_tools, failed_fields, tool_error_paths, variables_json
from ..discovery import describe_sdl, search_tools
from ..typed import GraphQL
from .telemetry import Telemetry

log = logging.getLogger("quorvel_graphql.gateway")

LOG_SCAN_LIMIT = 64 << 10
# The typed layer's answer to a mutation it was told not to run; the HTTP
# front turns it into the 405 GraphQL over HTTP asks for on GET.
MUTATION_REFUSED = "Can only perform a mutation operation from a POST request."


class Host(Protocol):
    """What the gateway needs of a host; ``ToolHost`` is one."""

    @property
    def engine(self) -> SchemaEngine: ...

    @property
    def read_only(self) -> bool:
        """Whether calls to tools that are not read-only are refused."""
        ...

    def catalogue_tools(self) -> list[JsonObject]: ...

    def stop_calling_tools(self) -> None:
        """Answers every query waiting on a tool now; later ones call none."""
        ...


class PlaceholderHost:
    """The host of a bare engine: no tool is ever called, so tool fields
    give placeholders and every query answers at once."""

    read_only = False

    def __init__(self, engine: SchemaEngine) -> None:
        self.engine = engine

    def catalogue_tools(self) -> list[JsonObject]:
        return engine_tools(self.engine)

    def stop_calling_tools(self) -> None:
        pass


@dataclass(frozen=True, slots=True)
class QueryShape:
    """What a cheap scan of the query text tells: operation type and the
    top-level field names (not aliases)."""

    operation: str
    fields: tuple[str, ...]
    has_fragments: bool


@dataclass
class QueryResult:
    text: str
    fields: tuple[str, ...]
    seconds: float

    @functools.cached_property
    def document(self) -> JsonObject:
        # Parsed only when asked for: the HTTP front sends the text as it is,
        # and a large response would hold up the event loop for nothing.
        document: JsonObject = json.loads(self.text)
        return document

    @property
    def kind(self) -> str:
        """"refused" or "ok", read off the text without parsing it: the
        engine, the typed layer and _refused below write ``data`` first and
        compactly, and the typed layer leaves it out of a refusal."""
        return "refused" if self.text.startswith(('{"data":null', '{"errors"')) else "ok"

    @property
    def request_failed(self) -> bool:
        """The request as a whole was refused (parse error, bad variables...)."""
        return self.document.get("data") is None

    @property
    def mutation_refused(self) -> bool:
        """A mutation was refused because the request may not change things."""
        errors = self.document.get("errors") or []
        return self.request_failed and len(errors) == 1 and errors[0].get("message") == MUTATION_REFUSED

    @property
    def outcome(self) -> str:
        errors = self.document.get("errors") or []
        if self.request_failed:
            return f"refused: {errors[0].get('message', '') if errors else 'no data'}"
        # A typed answer reports a failed tool as an error with its path; a
        # raw one as an isError value in data.
        tool_errors = len(tool_error_paths(self.document))
        failed = tool_errors + len(failed_fields(self.document))
        parts = [f"{len(errors) - tool_errors} errors"] if len(errors) > tool_errors else []
        if failed:
            parts.append(f"{failed} of {len(self.document['data'] or {})} fields failed")
        return ", ".join(parts) or "ok"


@dataclass
class _Serving:
    """What the gateway serves at one time: replaced as a whole when a tool
    server that failed at start-up comes up, so a request never mixes the
    engine of one with the tool list of the other."""

    host: Host
    engine: SchemaEngine
    tools: list[JsonObject] | None = None
    sdl: str | None = None
    typed: GraphQL | None = None


class Gateway:
    """Runs GraphQL requests for the fronts.

    ``host`` is a running ``ToolHost`` (tool fields call real tools), any
    other :class:`Host`, or a bare ``SchemaEngine``, which gets a
    :class:`PlaceholderHost`.  Engine calls block while the tools run, so
    they go to a pool of their own, never shared with tool handlers, sized
    for the number of queries that may wait at once.  Queries that cannot
    reach a tool (built-in fields only, or a placeholder host) answer in
    microseconds and run inline.  The tool list and the read-only policy are
    the host's.

    Requests are standard GraphQL over the typed schema of the host served,
    built on first use: from ``catalogue_json`` for a bare engine (the text
    it was built from, with the tools' input and output schemas), else from
    what the host knows of its tools (its ``catalogue_json``, or its
    ``input_schemas``).  ``typed_limits`` are the typed layer's request
    limits (``max_depth``, ``max_selected_fields``, ``max_tool_calls``,
    ``max_document_bytes``).  With ``raw``, requests are the engine's own
    language instead, and discovery prints the engine's SDL-style listing.
    """

    def __init__(
        self,
        host: Host | SchemaEngine,
        *,
        max_concurrent_queries: int = 64,
        name: str = "quorvel-graphql",
        telemetry: Telemetry | None = None,
        raw: bool = False,
        catalogue_json: str | None = None,
        typed_limits: Mapping[str, int] | None = None,
    ) -> None:
        if max_concurrent_queries < 1:
            raise ValueError("max_concurrent_queries must be at least 1")
        self.raw = raw
        self._catalogue_json = catalogue_json
        self._typed_limits = dict(typed_limits or {})
        first: Host = PlaceholderHost(host) if isinstance(host, SchemaEngine) else host
        self._serving = _Serving(first, first.engine)
        self._earlier: list[Host] = []
        self.calls_tools = not isinstance(first, PlaceholderHost)
        self.name = name
        self._pool = concurrent.futures.ThreadPoolExecutor(max_concurrent_queries, thread_name_prefix="quorvel-gateway")
        self._stopping = False
        self.telemetry = telemetry if telemetry is not None else Telemetry()
        self._observe(first)
        self.telemetry.watch_servers(getattr(first, "server_status", None))

    @property
    def host(self) -> Host:
        return self._serving.host

    @property
    def engine(self) -> SchemaEngine:
        return self._serving.engine

    def replace_host(self, host: Host) -> None:
        """Serves ``host`` (running, over the same tool servers plus those
        that came up late) from now on; safe from any thread.  Queries
        already running finish on the previous host, which its owner keeps
        open until the end."""
        self._observe(host)
        self._earlier.append(self.host)
        self._serving = _Serving(host, host.engine)
        if self._stopping:  # a shutdown began meanwhile: the new host calls no tool either
            host.stop_calling_tools()

    def _observe(self, host: Host) -> None:
        # A ToolHost reports its tool calls; other hosts have none to report.
        if hasattr(host, "call_observer"):
            host.call_observer = self.telemetry  # type: ignore[attr-defined]

    def close(self) -> None:
        self._pool.shutdown(wait=False, cancel_futures=True)

    def stop_calling_tools(self) -> None:
        """First step of a shutdown: every query waiting on a tool gets its
        answer now (the tool fields say the bridge is detached) instead of
        holding the shutdown until its tools finish."""
        self._stopping = True
        for host in [*self._earlier, self.host]:
            host.stop_calling_tools()

    # -- health -------------------------------------------------------------

    def readiness(self) -> JsonObject:
        """Whether this gateway should get requests: it is not shutting down,
        its tool host runs, and every required tool server is up (the others
        are listed with their state all the same).  A balancer takes a
        gateway out on this, so one that lost a server gets no traffic that
        would fail there while its peers can still answer."""
        servers = self.telemetry.server_status()
        problems = [f"server '{s['name']}' is {s['state']}" for s in servers
                    if s["state"] != "up" and s.get("required", True)]
        state = getattr(self.host, "state", None)
        if state is not None and state.value != "running":
            problems.insert(0, f"the tool host is {state.value}")
        if self._stopping:
            problems.insert(0, "shutting down")
        return {"ready": not problems, "problems": problems, "servers": servers}

    # -- discovery ----------------------------------------------------------

    def tools(self) -> list[JsonObject]:
        return _tools_of(self._serving)

    def typed(self) -> GraphQL:
        """The typed layer over the tools of the host served, made on first
        use (a placeholder host types its bare engine by the catalogue)."""
        return self._typed_of(self._serving)

    def _typed_of(self, serving: _Serving) -> GraphQL:
        if serving.typed is None:
            if isinstance(serving.host, PlaceholderHost):
                serving.typed = GraphQL(serving.engine, self._catalogue_json, **self._typed_limits)
            else:
                serving.typed = GraphQL(serving.host, **self._typed_limits)
        return serving.typed

    def sdl(self) -> str:
        serving = self._serving
        if serving.sdl is None:
            serving.sdl = describe_sdl(_tools_of(serving)) if self.raw else self._typed_of(serving).sdl()
        return serving.sdl

    def discover(self, text: str | None = None, server: str | None = None, limit: int | None = None) -> JsonObject:
        """Matching fields (all when no filter) and the SDL of just those."""
        matches = search_tools(self.tools(), text, server)
        shown = matches if limit is None else matches[:limit]
        whole = text is None and server is None and len(shown) == len(matches)
        return {
            "fields": shown,
            "total": len(matches),
            "truncated": len(shown) < len(matches),
            "sdl": self.sdl() if whole else self._filtered_sdl(shown),
        }

    def _filtered_sdl(self, shown: list[JsonObject]) -> str:
        if self.raw:
            return describe_sdl(shown)
        return self.typed().sdl([tool["field"] for tool in shown])

    def all_read_only(self) -> bool:
        """Whether no query can change anything: the host refuses every call
        to a tool that is not read-only, or there is no such tool."""
        return self.host.read_only or all(tool["readOnly"] for tool in self.tools())

    # -- execution ----------------------------------------------------------

    async def execute(self, query: str, variables: Mapping[str, Any] | None, *, via: str,
                      operation_name: str | None = None, allow_mutations: bool = True) -> QueryResult:
        """Runs one request; ``via`` names the front ("http ...", "mcp ...")
        for the log line, the metrics and the span.  ``allow_mutations=False``
        refuses mutation operations (GET requests)."""
        started = time.perf_counter()
        shape = scan_query(query) if self._worth_scanning(query) else None
        fields = shape.fields if shape else ()
        front = via.partition(" ")[0]
        with self.telemetry.request_span(via) as span:
            try:
                if self.raw:
                    text = await self._run(query, self.engine.execute, query, variables_json(variables))
                else:
                    text = await self._run(query, self.typed().schema.execute, query, variables_json(variables),
                                           operation_name, allow_mutations=allow_mutations)
            except UnicodeEncodeError:  # raised by the engine, which takes only text UTF-8 can hold
                text = _refused("the query text is not valid Unicode (it holds a lone surrogate)", self.raw)
            except ValueError as problem:  # variables that cannot be JSON
                text = _refused(str(problem), self.raw)
            except asyncio.CancelledError:
                # The client gave up (an MCP cancellation, a closed stream);
                # the engine still finishes the query on its thread.
                seconds = time.perf_counter() - started
                self.telemetry.request_done(front, "cancelled", seconds, span)
                log.info("%s fields=%s %.1f ms cancelled by the client", via, ",".join(fields) or "-", seconds * 1e3)
                raise
            result = QueryResult(text, fields, time.perf_counter() - started)
            self.telemetry.request_done(front, result.kind, result.seconds, span)
        if log.isEnabledFor(logging.INFO):
            log.info("%s fields=%s %.1f ms %s", via, ",".join(result.fields) or "-", result.seconds * 1e3,
                     result.outcome)
        return result

    async def _run(self, query: str, run: Callable[..., str], *args: Any, **options: Any) -> str:
        """``run(*args, **options)``: the engine's or the typed layer's
        execute, bound to the host served when the request came in."""
        if not self.calls_tools or not reaches_tools(query):
            return run(*args, **options)
        self.telemetry.query_queued()
        job = self._pool.submit(self._execute_counted, functools.partial(run, *args, **options))
        job.add_done_callback(self._note_dropped)
        return await asyncio.wrap_future(job)

    def _note_dropped(self, job: concurrent.futures.Future[str]) -> None:
        if job.cancelled():  # cancelled while it waited: it never started, so never left the queue
            self.telemetry.query_dropped()

    def _execute_counted(self, run: Callable[[], str]) -> str:
        self.telemetry.query_started()
        try:
            return run()
        finally:
            self.telemetry.query_ended()

    def _worth_scanning(self, query: str) -> bool:
        # The scan only names the fields in the log line, and costs more than
        # the engine's own parse; long queries are logged without names.
        return len(query) <= LOG_SCAN_LIMIT and log.isEnabledFor(logging.INFO)


# Every tool field's name holds an underscore between its server and tool
# parts, and a GraphQL name cannot be written any other way.
_UNDERSCORED_NAME = re.compile(r"[_0-9A-Za-z]*_[_0-9A-Za-z]*")


def reaches_tools(query: str) -> bool:
    """Whether ``query`` may select a tool field: False only when the one
    name in it holding an underscore is ``__typename``, so such a query
    answers in microseconds, without a thread.  Conservative: an underscore
    in a string or an alias counts too."""
    return any(match.group() != "__typename" for match in _UNDERSCORED_NAME.finditer(query))


def _tools_of(serving: _Serving) -> list[JsonObject]:
    if serving.tools is None:
        serving.tools = serving.host.catalogue_tools()
    return serving.tools


@functools.lru_cache(maxsize=256)
def is_loopback(host: str) -> bool:
    """Whether ``host`` (a name or address, IPv6 with or without brackets)
    is this machine: one rule for the address the gateway binds and the
    Host and Origin headers it then accepts."""
    host = host.lower()
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.removeprefix("[").removesuffix("]")).is_loopback
    except ValueError:
        return False


def _refused(message: str, raw: bool) -> str:
    # The engine writes "data": null on a refused request; standard GraphQL
    # leaves data out when the request could not run at all.
    errors = [{"message": message}]
    return json.dumps({"data": None, "errors": errors} if raw else {"errors": errors}, separators=(",", ":"))


_TOKEN = re.compile(
    r'(?P<skip>[\s,\ufeff]+|#[^\n\r]*)'
    r'|(?P<block>"""(?:\\"""|[^"]|"(?!""))*""")'
    r'|(?P<string>"(?:\\.|[^"\\\n\r])*")'
    r'|(?P<spread>\.\.\.)'
    r'|(?P<name>[_A-Za-z][_0-9A-Za-z]*)'
    r'|(?P<number>-?[0-9][0-9.eE+-]*)'
    r'|(?P<punct>[!$&()\[\]{}:=@|])'
)
_OPERATIONS = frozenset({"query", "mutation", "subscription"})


def scan_query(query: str) -> QueryShape | None:
    """Top-level fields of a query, for the log and for deciding whether it
    can reach a tool; None for text this scan does not follow (the engine
    still gets it and reports any error)."""
    tokens: list[tuple[str, str]] = []
    position = 0
    while position < len(query):
        match = _TOKEN.match(query, position)
        if match is None:
            return None
        position = match.end()
        kind = match.lastgroup or ""
        if kind != "skip":
            tokens.append((kind, match.group()))
    return _shape(tokens)


def _shape(tokens: list[tuple[str, str]]) -> QueryShape | None:
    operation, fragments = "query", False
    fields: list[str] = []
    depth = parens = 0
    index = 0
    while index < len(tokens):
        kind, text = tokens[index]
        index += 1
        if parens:
            parens += {"(": 1, ")": -1}.get(text, 0)
        elif text == "(":
            parens = 1
        elif text == "{":
            depth += 1
        elif text == "}":
            depth -= 1
            if depth < 0:
                return None
        elif depth == 0 and kind == "name":
            if text == "fragment":
                fragments = True
            elif text in _OPERATIONS and not fields:
                operation = text
                if index < len(tokens) and tokens[index][0] == "name":
                    index += 1  # the operation's name
        elif depth == 1 and kind == "spread":
            fragments = True
            index += 1  # a fragment's name, or "on" of an inline fragment
        elif depth == 1 and text == "@":
            index += 1  # the directive's name
        elif depth == 1 and kind == "name":
            if index + 1 < len(tokens) and tokens[index][1] == ":" and tokens[index + 1][0] == "name":
                text = tokens[index + 1][1]  # an alias: the field follows
                index += 2
            fields.append(text)
    if depth != 0 or parens != 0:
        return None
    return QueryShape(operation, tuple(fields), fragments)
