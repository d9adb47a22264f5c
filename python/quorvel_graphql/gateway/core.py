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
import time
import weakref
from collections.abc import Callable, Coroutine, Mapping
from dataclasses import dataclass
from typing import Any, Protocol, TypeVar

from _graphql import SchemaEngine

from ..common import JsonObject, engine_tools, failed_fields, tool_error_paths, variables_json
from ..discovery import describe_sdl, search_tools
from ..error_codes import ErrorCode
from ..limits import DEFAULT_TIME_LIMIT, RequestLimits
from ..typed import GraphQL, catalogue_of
from .admission import (SHUTTING_DOWN, CallBudget, Refusal, Rehearsal, check_document, check_rehearsal,
                        mark_shutdown, rehearsal_engine, rehearse, response_too_large)
from .telemetry import Telemetry

log = logging.getLogger("quorvel_graphql.gateway")

_T = TypeVar("_T")

INLINE_REHEARSAL_CHARS = 8 << 10
# Fragment spreads and inline fragments ("...") a request planned on the
# event loop may hold.  Planning is linear in the text, save that each
# spread can send validation through a fragment's text again.
INLINE_SPREADS = 16
# At shutdown, the time a tool call already running has to answer.
CALL_GRACE_SECONDS = 1.0
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

    def stop_calling_tools(self, grace: float = 0.0) -> None:
        """Starts no tool call from now on; calls already running have
        ``grace`` seconds to answer, then every query still waiting on a
        tool is answered."""
        ...


class PlaceholderHost:
    """The host of a bare engine: no tool is ever called, so tool fields
    give placeholders and every query answers at once."""

    read_only = False

    def __init__(self, engine: SchemaEngine) -> None:
        self.engine = engine

    def catalogue_tools(self) -> list[JsonObject]:
        return engine_tools(self.engine)

    def stop_calling_tools(self, grace: float = 0.0) -> None:
        pass


@dataclass
class QueryResult:
    text: str
    seconds: float
    busy: bool = False  # refused for the gateway's load, not for the request: worth a retry

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
    def keys(self) -> list[str]:
        """The response's top-level keys (aliases where the query gave them),
        as the engine read the query."""
        data = self.document.get("data")
        return list(data) if isinstance(data, dict) else []

    @property
    def request_failed(self) -> bool:
        """The request as a whole was refused (parse error, bad variables...):
        ``data`` is null or absent, read off the text as :attr:`kind` is."""
        return self.kind == "refused"

    @property
    def mutation_refused(self) -> bool:
        """A mutation was refused because the request may not change things."""
        if not self.request_failed:  # the common answer is never parsed for this
            return False
        errors = self.document.get("errors") or []
        return len(errors) == 1 and errors[0].get("message") == MUTATION_REFUSED

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
    rehearsal: SchemaEngine  # the engine's detached twin (see admission), or the engine when no tool is called
    tools: list[JsonObject] | None = None
    sdl: str | None = None
    typed: GraphQL | None = None
    checker: Callable[[str, str | None, str | None], str] | None = None


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
    ``max_document_bytes``).  Without ``introspection``, requests that ask
    for ``__schema`` or ``__type`` anywhere are refused as invalid (the
    fronts still read the schema themselves, for the tool's description).
    With ``raw``, requests are the engine's own
    language instead, and discovery prints the engine's SDL-style listing; a
    raw request is first rehearsed (see ``admission``) so that the limits are
    checked by the engine's own reading of the query before any tool runs.
    """

    def __init__(
        self,
        host: Host | SchemaEngine,
        *,
        max_concurrent_queries: int = 64,
        name: str = "quorvel-graphql",
        telemetry: Telemetry | None = None,
        limits: RequestLimits | None = None,
        time_limit: float | None = DEFAULT_TIME_LIMIT,
        raw: bool = False,
        catalogue_json: str | None = None,
        typed_limits: Mapping[str, int] | None = None,
        introspection: bool = True,
    ) -> None:
        if max_concurrent_queries < 1:
            raise ValueError("max_concurrent_queries must be at least 1")
        self.raw = raw
        if raw and not introspection:
            raise ValueError("the engine's own language has no introspection to turn off")
        self.introspection = introspection
        # What every request's run and count are told; empty when nothing differs from the default.
        self._request_options = {} if introspection else {"allow_introspection": False}
        self._catalogue_json = catalogue_json
        first: Host = PlaceholderHost(host) if isinstance(host, SchemaEngine) else host
        self.calls_tools = not isinstance(first, PlaceholderHost)
        self._serving = self._serving_of(first)
        self._earlier: list[Host] = []
        self._change_listeners: list[Callable[[], None]] = []
        self.name = name
        self.limits = limits if limits is not None else RequestLimits()
        self._typed_limits = dict(typed_limits) if typed_limits is not None else _typed_limits(self.limits)
        self.time_limit = time_limit
        self.budget = CallBudget(self.limits.max_calls_in_flight)
        self._pool = concurrent.futures.ThreadPoolExecutor(max_concurrent_queries, thread_name_prefix="quorvel-gateway")
        self._rehearsal_pool = concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="quorvel-rehearsal")
        self._stopping = False  # refusing new queries: only a gateway that calls tools stops answering
        self._shutting_down = False  # for readiness: a balancer should stop sending either way
        self.call_grace = CALL_GRACE_SECONDS
        # The tasks of requests that had to wait (inline ones are answered
        # before anything could stop them), for a shutdown to wait on.
        self._running: weakref.WeakSet[asyncio.Task[Any]] = weakref.WeakSet()
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
        self._serving = self._serving_of(host)
        if self._stopping:  # a shutdown began meanwhile: the new host calls no tool either
            host.stop_calling_tools(self.call_grace)
        for listener in list(self._change_listeners):
            try:
                listener()
            except Exception:  # one front's failure must not keep the others uninformed
                log.exception("a listener for tool list changes failed")

    def on_tools_changed(self, listener: Callable[[], None]) -> None:
        """Calls ``listener`` (on whichever thread replaces the host) each
        time the tools served change, so that a front can tell its clients."""
        self._change_listeners.append(listener)

    @property
    def passthrough(self) -> Any:
        """The tool servers' resources and prompts (``McpPassthrough``), or
        None where the host has no MCP servers behind it."""
        return getattr(self.host, "passthrough", None)

    def _serving_of(self, host: Host) -> _Serving:
        engine = host.engine
        return _Serving(host, engine, rehearsal_engine(engine) if self.calls_tools and self.raw else engine)

    def _observe(self, host: Host) -> None:
        # A ToolHost reports its tool calls; other hosts have none to report.
        if hasattr(host, "call_observer"):
            host.call_observer = self.telemetry  # type: ignore[attr-defined]

    def close(self) -> None:
        self._pool.shutdown(wait=False, cancel_futures=True)
        self._rehearsal_pool.shutdown(wait=False, cancel_futures=True)

    def stop_calling_tools(self) -> None:
        """First step of a shutdown: new queries are refused, and no tool
        call starts (its field says the gateway is shutting down).  A call
        already running has ``call_grace`` seconds to answer, and its answer
        is delivered: it may have changed something.  One still running then
        is cut off, and its field says it may have taken effect.  A gateway
        over a bare engine has no calls to stop and goes on answering."""
        self._stopping = self.calls_tools
        self._shutting_down = True
        for host in [*self._earlier, self.host]:
            host.stop_calling_tools(self.call_grace)

    async def drained(self, timeout: float) -> None:
        """Waits (up to ``timeout`` seconds) until no request that had to
        wait is running, the sending of its answer included."""
        running = {task for task in self._running if not task.done()}
        if running:
            await asyncio.wait(running, timeout=timeout)

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
        if self._shutting_down:
            problems.insert(0, SHUTTING_DOWN)
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

    async def planned_tool_calls(self, query: str, variables: Mapping[str, Any] | None,
                                 operation_name: str | None = None) -> int:
        """The tool calls a request would make, calling none: what a batch
        adds up against its limit.  A request refused as a whole makes none
        (its run says why)."""
        try:
            variables_text = variables_json(variables)
            serving = self._serving
            if not self.raw:
                typed = self._typed_of(serving).schema
                count = functools.partial(typed.tool_calls, query, variables_text, operation_name,
                                          **self._request_options)
                return int(await self._beside_loop(count, query, variables_text))
            if not self.calls_tools:
                return 0
            rehearsal = await self._rehearse(serving, query, variables_text)
            return 0 if rehearsal.refused else rehearsal.tool_calls
        except (UnicodeEncodeError, ValueError):
            return 0

    # -- checking -----------------------------------------------------------

    async def check(self, query: str, variables: Mapping[str, Any] | None,
                    operation_name: str | None = None) -> list[JsonObject]:
        """The errors that would refuse this request as a whole (syntax,
        validation, variables, the request limits), with their locations, or
        none when it would run: what an editor marks while its user types.
        No tool is called: the request runs where every tool field gives its
        placeholder."""
        try:
            check_document(query, self.limits)
            variables_text = variables_json(variables)
        except _REFUSED as refusal:
            return json.loads(_refusal_text(refusal, self.raw)[0])["errors"]  # type: ignore[no-any-return]
        run = functools.partial(self._checker_of(self._serving), query, variables_text, operation_name)
        try:
            document = json.loads(await self._beside_loop(run, query, variables_text))
        except _REFUSED as refusal:
            return json.loads(_refusal_text(refusal, self.raw)[0])["errors"]  # type: ignore[no-any-return]
        # A refused request has no data (null in the engine's own language);
        # the errors of a request that runs are its placeholders' failures.
        refused = document.get("data") is None if self.raw else "data" not in document
        return list(document.get("errors", [])) if refused else []

    def _checker_of(self, serving: _Serving) -> Callable[[str, str | None, str | None], str]:
        if serving.checker is None:
            if self.raw:
                rehearsal = serving.rehearsal  # detached: the engine itself when nothing is attached
                serving.checker = lambda query, variables, _name: rehearsal.execute(query, variables)
            elif not self.calls_tools:
                serving.checker = functools.partial(self._typed_of(serving).schema.execute, **self._request_options)
            else:
                # The same catalogue text the typed layer of the host was
                # built from, over a twin that no host serves.
                host = serving.host
                catalogue = getattr(host, "catalogue_json", None) or catalogue_of(
                    serving.engine, getattr(host, "input_schemas", None))
                twin = GraphQL(rehearsal_engine(serving.engine), catalogue, **self._typed_limits)
                serving.checker = functools.partial(twin.schema.execute, **self._request_options)
        return serving.checker

    # -- execution ----------------------------------------------------------

    async def execute(self, query: str, variables: Mapping[str, Any] | None, *, via: str,
                      operation_name: str | None = None, allow_mutations: bool = True) -> QueryResult:
        """Runs one request; ``via`` names the front ("http ...", "mcp ...")
        for the log line, the metrics and the span.  ``allow_mutations=False``
        refuses mutation operations (GET requests).  Cancelling it before its
        tools start means none of them runs."""
        outcome = self.start(query, variables, via=via, operation_name=operation_name,
                             allow_mutations=allow_mutations)
        return outcome if isinstance(outcome, QueryResult) else await outcome

    def start(self, query: str, variables: Mapping[str, Any] | None, *, via: str, operation_name: str | None = None,
              allow_mutations: bool = True) -> QueryResult | Coroutine[Any, Any, QueryResult]:
        """:meth:`execute` for a front that would rather not await what needs
        no waiting: the result itself when the request was answered right
        here on the caller's thread (a front's event loop), else the
        coroutine that runs it.  A request is answered here when it is short
        and can reach no tool (no host attached, or a document whose tool
        calls number zero): the engine answers it in microseconds, less than
        the hand-off to a thread and back would cost."""
        plan = self._inline_plan(query, variables, operation_name, allow_mutations)
        if plan is None or isinstance(plan, int):
            return self._execute(query, variables, via, operation_name, allow_mutations, plan)
        started = time.perf_counter()
        busy = False
        task = asyncio.current_task()
        if task is not None:
            self._running.add(task)
        with self.telemetry.request_span(via) as span:
            try:
                check_document(query, self.limits)
                text = self._bounded(plan())
            except _REFUSED as refusal:
                text, busy = _refusal_text(refusal, self.raw)
            return self._finished(via, started, span, text, busy)

    def _inline_plan(self, query: str, variables: Mapping[str, Any] | None, operation_name: str | None,
                     allow_mutations: bool) -> Callable[[], str] | int | None:
        """How a request runs: here, by the returned call; or off the loop,
        with the number of tool calls to reserve room for when it is known
        already, else None."""
        if self._stopping or len(query) > INLINE_REHEARSAL_CHARS:
            return None
        try:
            variables_text = variables_json(variables)
        except ValueError:  # the run off the loop says why
            return None
        if not plans_on_loop(query, variables_text):
            return None
        serving = self._serving
        if self.raw:
            # Only a rehearsal can tell whether a raw query calls a tool; the
            # run off the loop rehearses, then runs the toolless ones inline.
            return None if self.calls_tools else functools.partial(serving.engine.execute, query, variables_text)
        typed = self._typed_of(serving).schema
        if self.calls_tools:
            try:
                calls: int = typed.tool_calls(query, variables_text, operation_name, allow_mutations=allow_mutations,
                                              **self._request_options)
            except UnicodeEncodeError:  # the run off the loop says why
                return None
            if calls:
                return calls
        return functools.partial(typed.execute, query, variables_text, operation_name,
                                 allow_mutations=allow_mutations, **self._request_options)

    async def _execute(self, query: str, variables: Mapping[str, Any] | None, via: str, operation_name: str | None,
                       allow_mutations: bool, calls: int | None) -> QueryResult:
        started = time.perf_counter()
        busy = False
        task = asyncio.current_task()
        if task is not None:
            self._running.add(task)
        with self.telemetry.request_span(via) as span:
            try:
                text = await self._admitted_run(query, variables_json(variables), operation_name, allow_mutations,
                                                calls)
            except _REFUSED as refusal:
                text, busy = _refusal_text(refusal, self.raw)
            except asyncio.CancelledError:
                # The client gave up (an MCP cancellation, a closed stream).
                seconds = time.perf_counter() - started
                self.telemetry.request_done(via.partition(" ")[0], "cancelled", seconds, span)
                log.info("%s %.1f ms cancelled by the client", via, seconds * 1e3)
                raise
            if self._stopping:
                text = mark_shutdown(text)
            return self._finished(via, started, span, text, busy)

    def _finished(self, via: str, started: float, span: Any, text: str, busy: bool) -> QueryResult:
        result = QueryResult(text, time.perf_counter() - started, busy)
        self.telemetry.request_done(via.partition(" ")[0], result.kind, result.seconds, span)
        if log.isEnabledFor(logging.INFO):
            log.info("%s keys=%s %.1f ms %s", via, ",".join(result.keys) or "-", result.seconds * 1e3, result.outcome)
        return result

    async def _admitted_run(self, query: str, variables_text: str | None, operation_name: str | None,
                            allow_mutations: bool, calls: int | None = None) -> str:
        if self._stopping:
            raise Refusal(SHUTTING_DOWN, 503, ErrorCode.SHUTTING_DOWN)
        check_document(query, self.limits)
        serving = self._serving  # one host for the whole request, even if a late server replaces it
        if not self.raw:
            # The typed layer validates the whole document, its tool calls
            # per request included, before any tool runs; it also counts
            # them, so room for them is reserved first.
            typed = self._typed_of(serving).schema
            run = functools.partial(typed.execute, query, variables_text, operation_name,
                                    allow_mutations=allow_mutations, **self._request_options)
            if not self.calls_tools:
                return self._bounded(await self._off_loop(run))
            if calls is None:
                count = functools.partial(typed.tool_calls, query, variables_text, operation_name,
                                          allow_mutations=allow_mutations, **self._request_options)
                calls = await self._beside_loop(count, query, variables_text)
            return await self._run_reserved(calls, run)
        if not self.calls_tools:  # nothing is attached: no tool can run
            return self._bounded(await self._off_loop(serving.engine.execute, query, variables_text))
        rehearsal = await self._rehearse(serving, query, variables_text)
        if rehearsal.refused:
            return rehearsal.text
        check_rehearsal(rehearsal, self.limits)
        if rehearsal.tool_calls == 0 and len(query) + len(variables_text or "") <= INLINE_REHEARSAL_CHARS:
            # The engine itself read no tool field in it: a short query like
            # this answers in microseconds, without a thread.
            return self._bounded(serving.engine.execute(query, variables_text))
        return await self._run_reserved(rehearsal.tool_calls,
                                        functools.partial(serving.engine.execute, query, variables_text))

    async def _run_reserved(self, calls: int, run: Callable[[], str]) -> str:
        """``run()`` off the loop once room for its ``calls`` is reserved."""
        await self.budget.reserve(calls, self.time_limit)
        try:
            if self._stopping:
                raise Refusal(SHUTTING_DOWN, 503, ErrorCode.SHUTTING_DOWN)
            # Shielded: once the engine has the request its calls are under
            # way, and the budget must stay taken until they are done.
            running = self._submit(self._execute_counted, run)
            running.add_done_callback(lambda _: self.budget.release(calls))
        except BaseException:
            self.budget.release(calls)
            raise
        return self._bounded(await asyncio.shield(running))

    async def _rehearse(self, serving: _Serving, query: str, variables_text: str | None) -> Rehearsal:
        return await self._beside_loop(functools.partial(rehearse, serving.rehearsal, query, variables_text),
                                       query, variables_text)

    async def _beside_loop(self, work: Callable[[], _T], query: str, variables_text: str | None) -> _T:
        # Admission work calls no tool, so it cannot wait on one: a request
        # that is cheap to plan is checked right here.  Any other goes to
        # threads of its own, never behind queries that wait on their tools.
        if plans_on_loop(query, variables_text):
            return work()
        return await asyncio.get_running_loop().run_in_executor(self._rehearsal_pool, work)

    async def _off_loop(self, work: Callable[..., _T], *arguments: Any) -> _T:
        return await self._submit(work, *arguments)

    def _submit(self, work: Callable[..., _T], *arguments: Any) -> asyncio.Future[_T]:
        try:
            future = self._pool.submit(work, *arguments)
        except RuntimeError as error:
            # The pool is closed, or "can't start new thread" under a memory
            # or process limit: it has no thread for this request, but keeps
            # the ones it has.
            if "shutdown" in str(error):
                raise Refusal(SHUTTING_DOWN, 503, ErrorCode.SHUTTING_DOWN) from None
            raise Refusal(f"the gateway cannot take more work right now ({error}); try again later", 503,
                          ErrorCode.GATEWAY_BUSY) from None
        return asyncio.wrap_future(future)

    def _bounded(self, text: str) -> str:
        limit = self.limits.max_response_bytes
        if limit is not None and len(text) > limit:
            return _refused(response_too_large(limit) + " (its tool calls have run)", self.raw,
                            ErrorCode.RESPONSE_TOO_LARGE)
        return text

    def _execute_counted(self, run: Callable[[], str]) -> str:
        # Counted as queued only once a thread has it: a request the pool
        # never takes is refused, not queued.
        self.telemetry.query_queued()
        self.telemetry.query_started()
        try:
            return run()
        finally:
            self.telemetry.query_ended()


def plans_on_loop(query: str, variables_text: str | None) -> bool:
    """Whether planning a request (parsing, validating, counting its tool
    calls) is provably small enough to do on the event loop, where it holds
    up every front of the process: a short text, and few spreads to walk it
    again.  Anything else is planned on a thread."""
    return len(query) + len(variables_text or "") <= INLINE_REHEARSAL_CHARS and query.count("...") <= INLINE_SPREADS


def _typed_limits(limits: RequestLimits) -> dict[str, int]:
    # The typed layer takes whole numbers only; a limit turned off is one no
    # document can reach.
    return {name: (1 << 31) - 1 if value is None else value for name, value in limits.typed_arguments().items()}


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


# What a request can be refused with before or while it runs, as opposed to
# a fault of the gateway itself.
_REFUSED = (Refusal, UnicodeEncodeError, ValueError)


def _refusal_text(refusal: Exception, raw: bool) -> tuple[str, bool]:
    """The response to a refused request, and whether it was refused for the
    gateway's load (worth a retry)."""
    if isinstance(refusal, Refusal):
        return _refused(refusal.message, raw, refusal.code), refusal.status == 503
    if isinstance(refusal, UnicodeEncodeError):  # raised by the engine, which takes only text UTF-8 can hold
        return _refused("the query text is not valid Unicode (it holds a lone surrogate)", raw,
                        ErrorCode.BAD_REQUEST), False
    return _refused(str(refusal), raw, ErrorCode.BAD_REQUEST), False  # variables that cannot be JSON


def _refused(message: str, raw: bool, code: ErrorCode) -> str:
    # The engine writes "data": null on a refused request; standard GraphQL
    # leaves data out when the request could not run at all.
    errors = [{"message": message, "extensions": {"code": code.value}}]
    return json.dumps({"data": None, "errors": errors} if raw else {"errors": errors}, separators=(",", ":"))

