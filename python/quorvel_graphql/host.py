"""A ready-made host loop for one :class:`_graphql.SchemaEngine`.

The engine never calls a tool itself: it queues bridge requests and waits for
an answer per request, without any time limit.  :class:`ToolHost` is the
serving side of that exchange.  It receives requests on one thread at a
time, runs the registered handler for each (inline, on at most ``max_workers``
daemon threads, or on an event loop for coroutine handlers), and answers every
request exactly once, so an ``execute`` on another thread can never stay
blocked because of a handler that raised, hung past its time limit, returned
something that is not JSON, or was never registered.  The receiving and
dispatch are :class:`~quorvel_graphql.call_server.CallServer`'s; the host
holds the handler table, the lifecycle and the query calls.
"""

from __future__ import annotations

import asyncio
import difflib
import enum
import logging
import threading
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import Any, TypeVar

from _graphql import SchemaEngine

from .call_server import CallObserver, CallServer, Handler, Registration, ToolCall
from .common import (
    JsonObject,
    check_time_limit,
    describe_exception,
    engine_tools,
    failed_fields,
    variables_json,
    with_input_schemas,
)
from . import json_text
from .errors import HostStateError, UnknownToolError
from .workers import Workers

__all__ = [
    "CallObserver",
    "Handler",
    "HostState",
    "ToolCall",
    "ToolHost",
    # Kept importable from here for code written before they moved to .common.
    "check_time_limit",
    "describe_exception",
    "engine_tools",
    "failed_fields",
    "variables_json",
]

_F = TypeVar("_F", bound=Callable[..., Any])

log = logging.getLogger("quorvel_graphql.host")


class HostState(enum.Enum):
    CREATED = "created"
    RUNNING = "running"
    CLOSED = "closed"


class ToolHost:
    """Serves the tool calls of one engine.

    Handlers are registered per (server, tool), as the catalogue names them
    (registering a tool the catalogue lacks raises UnknownToolError):

    * a plain callable gets the call's arguments as keyword arguments, or as
      one dict when registered with ``pass_dict=True``; it runs on a pool of
      ``max_workers`` daemon threads, or directly on the receiving thread (no
      hand-off) with ``inline=True``, or by default once its runs have
      proved cheap (and no time limit applies); a run there that overruns
      hands receiving to another thread within a poll interval, and that
      handler goes back to the pool for good (``inline=False``: always the pool);
    * a coroutine function (``async def``) is awaited on an event loop: the
      loop given at registration, else the host's loop (the ``loop`` argument,
      or the running loop when the host is entered with ``async with``), else
      a private loop thread that the host starts on first use;
    * a fallback handler (``register_fallback``) receives the whole
      :class:`ToolCall` for every (server, tool) without its own handler.

    Whatever a handler returns is answered as ``json.dumps(result)`` would
    write it (a :class:`~quorvel_graphql.JsonText` as the text it is); an
    exception (any BaseException), a result that is not JSON, a missing
    handler or a call exceeding its time limit (per registration, else the
    host's ``time_limit``) fails the call with a one-line message such as
    ``"ValueError: bad path"``.  With ``read_only=True`` calls whose operation
    is "mutation" (tools not marked read-only) are refused without running.
    A plain handler past its limit cannot be stopped; it keeps its daemon
    thread until it returns and its late answer is dropped.

    Lifecycle: created → running (``start()`` / ``with`` / ``async with``) →
    closed (``close()``, safe to repeat).  Leaving detaches the bridge (every
    waiting ``execute`` gets the "CallBridge is detached" result) and joins
    the receiving thread; a closed host cannot be started again.
    """

    def __init__(
        self,
        engine: SchemaEngine | str,
        *,
        max_workers: int = 8,
        time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None,
        poll_ms: int = 50,
        shutdown_timeout: float = 10.0,
        read_only: bool = False,
    ) -> None:
        if max_workers < 1:
            raise ValueError("max_workers must be at least 1")
        if poll_ms < 1:
            raise ValueError("poll_ms must be at least 1")
        self.engine = SchemaEngine(engine) if isinstance(engine, str) else engine
        self.shutdown_timeout = shutdown_timeout
        self._given_loop = loop
        self._calls = CallServer(self.engine, max_workers=max_workers, time_limit=check_time_limit(time_limit),
                                 poll_ms=poll_ms, read_only=read_only, loop=loop)
        self._catalogue: list[JsonObject] | None = None
        self._known: set[tuple[str, str]] = set()  # (server, tool) pairs of _catalogue
        self._state = HostState.CREATED
        self._state_lock = threading.Lock()
        self._blocking: Workers | None = None
        self._cut_timer: threading.Timer | None = None  # see stop_calling_tools
        self.input_schemas: dict[tuple[str, str], dict[str, Any]] = {}
        """JSON Schemas of tool arguments by (server, tool), where known
        (``McpServers.serve`` fills it from tools/list)."""
        # A host built from catalogue text has the tools' schemas in hand;
        # reading the catalogue back from the engine would lose them.
        self._built_from: str | None = engine if isinstance(engine, str) else None
        self._catalogue_json: str | None = None
        self.server_status: Callable[[], list[dict[str, Any]]] | None = None
        """The state of the tool servers behind the fallback handler, where
        there are any (``McpServers.serve`` sets it)."""
        self.passthrough: Any = None
        """The tool servers' resources and prompts, where they are MCP
        servers (``McpServers.serve`` sets it to a ``McpPassthrough``)."""

    @property
    def catalogue_json(self) -> str | None:
        """The catalogue text that types the tools for
        :class:`~quorvel_graphql.GraphQL` and the gateway, with their input
        and output schemas: the one set here (``McpServers.serve`` sets
        it), else the text the host was built from unless ``input_schemas``
        were given; None: the tools are typed by ``input_schemas``."""
        if self._catalogue_json is None and not self.input_schemas:
            return self._built_from
        return self._catalogue_json

    @catalogue_json.setter
    def catalogue_json(self, text: str | None) -> None:
        self._catalogue_json = text

    @property
    def max_workers(self) -> int:
        return self._calls.max_workers

    @property
    def time_limit(self) -> float | None:
        return self._calls.time_limit

    @property
    def poll_ms(self) -> int:
        return self._calls.poll_ms

    @property
    def read_only(self) -> bool:
        return self._calls.read_only

    @property
    def call_observer(self) -> CallObserver | None:
        """Told when each tool call starts and how it ended (metrics, traces)."""
        return self._calls.observer

    @call_observer.setter
    def call_observer(self, observer: CallObserver | None) -> None:
        self._calls.observer = observer

    @property
    def receive_error_count(self) -> int:
        """Requests the receiving thread could not handle (each is logged)."""
        return self._calls.receive_error_count

    # -- catalogue ----------------------------------------------------------

    def catalogue_tools(self) -> list[JsonObject]:
        """The engine's tool fields, one dict each: ``server``, ``tool``,
        ``field``, ``description``, ``readOnly`` and ``inputSchema`` (None
        when unknown).  The catalogue is read from the engine once."""
        return with_input_schemas(self._engine_tools(), self.input_schemas)

    def _engine_tools(self) -> list[JsonObject]:
        if self._catalogue is None:
            self._catalogue = engine_tools(self.engine)
            self._known = {(t["server"], t["tool"]) for t in self._catalogue}
        return self._catalogue

    def _check_known(self, server: str, tool: str) -> None:
        # A set, so that register_methods over a large catalogue stays linear.
        tools = self._engine_tools()
        if (server, tool) in self._known:
            return
        labels = [f"{t['server']}.{t['tool']}" for t in tools]
        close = difflib.get_close_matches(f"{server}.{tool}", labels, n=3, cutoff=0.5)
        hint = f"; close matches: {', '.join(close)}" if close else ""
        raise UnknownToolError(f"the catalogue has no tool {server}.{tool}{hint}")

    # -- registration -------------------------------------------------------

    def register(
        self,
        server: str,
        tool: str,
        handler: Handler,
        *,
        pass_dict: bool = False,
        time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None,
        inline: bool | None = None,
    ) -> None:
        """Serves ``server.tool`` with ``handler``; replaces an earlier one."""
        self._check_known(server, tool)
        self._calls.handlers[(server, tool)] = Registration.of(
            handler, pass_dict=pass_dict, time_limit=time_limit, loop=loop, inline=inline)

    def tool(
        self,
        server: str,
        tool: str,
        *,
        pass_dict: bool = False,
        time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None,
        inline: bool | None = None,
    ) -> Callable[[_F], _F]:
        """Decorator form of :meth:`register`."""

        def decorate(handler: _F) -> _F:
            self.register(server, tool, handler, pass_dict=pass_dict, time_limit=time_limit, loop=loop, inline=inline)
            return handler

        return decorate

    def register_fallback(
        self,
        handler: Callable[[ToolCall], Any],
        *,
        time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None,
    ) -> None:
        """Serves every tool without a handler of its own; gets the ToolCall."""
        self._calls.fallback = Registration.of(handler, pass_call=True, time_limit=time_limit, loop=loop)

    def register_methods(self, tools: object, *, time_limit: float | None = None,
                         inline: bool | None = None) -> list[str]:
        """Registers each method of ``tools`` named like a catalogue tool's
        GraphQL field (``files_read_file`` serves files.read_file).  Returns
        the field names that found a method."""
        bound: list[str] = []
        for entry in self._engine_tools():
            method = getattr(tools, entry["field"], None)
            if callable(method):
                self.register(entry["server"], entry["tool"], method, time_limit=time_limit, inline=inline)
                bound.append(entry["field"])
        return bound

    # -- lifecycle ----------------------------------------------------------

    @property
    def state(self) -> HostState:
        return self._state

    @property
    def running(self) -> bool:
        return self._state is HostState.RUNNING

    def start(self) -> ToolHost:
        with self._state_lock:
            if self._state is HostState.RUNNING:
                raise HostStateError("ToolHost is already running")
            if self._state is HostState.CLOSED:
                raise HostStateError("ToolHost is closed and cannot be started again; create a new one")
            self._blocking = Workers("quorvel-execute")
            self.engine.attach_call_bridge()
            self._calls.start()
            self._state = HostState.RUNNING
        return self

    def close(self) -> None:
        """Detaches, stops receiving, and waits (bounded) for running handlers.
        Safe to call again, and on a host never started."""
        with self._state_lock:
            was_running = self._state is HostState.RUNNING
            self._state = HostState.CLOSED
        if not was_running:
            return
        if self._cut_timer is not None:
            self._cut_timer.cancel()
        self.engine.detach_call_bridge()
        self._calls.stop(self.shutdown_timeout)
        assert self._blocking is not None
        self._blocking.shutdown()
        self._calls.loop = self._given_loop

    def stop_calling_tools(self, grace: float = 0.0) -> None:
        """The first step of a shutdown, for a server in front of the host:
        no tool call starts from now on (each gets the ``NOT_STARTED``
        failure), and calls already running have ``grace`` seconds to
        answer, so that a call that did its work is reported as done.  Then
        every query still waiting on a tool is answered (its tool fields get
        the "CallBridge is detached" result) instead of holding the shutdown
        until its tools finish.  Handlers still running go on until
        :meth:`close`, which still has to be called."""
        with self._state_lock:
            if self._state is not HostState.RUNNING:
                return
            self._calls.refuse_new_calls()
            if grace <= 0:
                self.engine.detach_call_bridge()
            elif self._cut_timer is None:
                self._cut_timer = threading.Timer(grace, self._cut_running_calls)
                self._cut_timer.daemon = True
                self._cut_timer.start()

    def _cut_running_calls(self) -> None:
        with self._state_lock:
            if self._state is HostState.RUNNING:
                self.engine.detach_call_bridge()

    def __enter__(self) -> ToolHost:
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    async def __aenter__(self) -> ToolHost:
        if self._given_loop is None:
            self._calls.loop = asyncio.get_running_loop()
        return self.start()

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        # close() may wait for handlers that run on this very loop, and must
        # not take a thread of the loop's default executor that they may need.
        loop = asyncio.get_running_loop()
        closed: asyncio.Future[None] = loop.create_future()

        def close() -> None:
            try:
                self.close()
            except Exception:
                log.exception("closing the tool host failed")
            finally:
                loop.call_soon_threadsafe(_set_result, closed, None)

        threading.Thread(target=close, name="quorvel-close", daemon=True).start()
        await closed

    # -- queries ------------------------------------------------------------

    def _require_running(self) -> None:
        if self._state is not HostState.RUNNING:
            raise HostStateError(f"ToolHost is {self._state.value}, not running: start it (or use 'with host:') "
                                 "before executing queries")

    def execute(self, query: str, variables: Mapping[str, Any] | str | None = None) -> dict[str, Any]:
        """Runs one query and returns the parsed response document."""
        document: dict[str, Any] = json_text.loads_engine_text(self.execute_text(query, variables))
        return document

    def execute_text(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str:
        """Like :meth:`execute`, returning the response document as the JSON
        text the engine wrote, for callers that send it on unread."""
        self._require_running()
        running = _running_loop()
        if running is not None and running in self._calls.handler_loops():
            raise RuntimeError("execute() would block the event loop that runs the coroutine handlers; "
                               "use 'await host.execute_async(...)' instead")
        return self.engine.execute(query, variables_json(variables))

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> dict[str, Any]:
        """Like :meth:`execute`, awaited without blocking the running loop.

        Each call waits on a thread of the host's own (unbounded) set, never
        on the loop's default executor, which coroutine handlers may need."""
        document: dict[str, Any] = await self._execute_on_thread(query, variables, json_text.loads_engine_text)
        return document

    async def execute_text_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str:
        """Like :meth:`execute_text`, awaited without blocking the running loop."""
        text: str = await self._execute_on_thread(query, variables, str)
        return text

    async def _execute_on_thread(self, query: str, variables: Mapping[str, Any] | str | None,
                                 finish: Callable[[str], Any]) -> Any:
        self._require_running()
        text = variables_json(variables)
        loop = asyncio.get_running_loop()
        outcome: asyncio.Future[Any] = loop.create_future()

        def run() -> None:
            settle: Callable[[asyncio.Future[Any], Any], None] = _set_result
            try:
                result: Any = finish(self.engine.execute(query, text))
            except BaseException as error:
                result, settle = error, _set_exception
            try:
                loop.call_soon_threadsafe(settle, outcome, result)
            except RuntimeError:  # the caller's loop has closed meanwhile
                pass

        assert self._blocking is not None
        try:
            self._blocking.submit(run)
        except RuntimeError:  # closed between the check above and now
            raise HostStateError("ToolHost is closed, not running") from None
        return await outcome


def _set_result(future: asyncio.Future[Any], value: Any) -> None:
    if not future.done():
        future.set_result(value)


def _set_exception(future: asyncio.Future[Any], error: BaseException) -> None:
    if not future.done():
        future.set_exception(error)


def _running_loop() -> asyncio.AbstractEventLoop | None:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None
