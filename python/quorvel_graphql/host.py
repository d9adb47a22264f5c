"""A ready-made host loop for one :class:`_graphql.SchemaEngine`.

The engine never calls a tool itself: it queues bridge requests and waits for
an answer per request, without any time limit.  :class:`ToolHost` is the
serving side of that exchange.  It receives requests on one thread at a
time, runs the registered handler for each (inline, on at most ``max_workers``
daemon threads, or on an event loop for coroutine handlers), and answers every
request exactly once, so an ``execute`` on another thread can never stay
blocked because of a handler that raised, hung past its time limit, returned
something that is not JSON, or was never registered.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import difflib
import enum
import heapq
import inspect
import itertools
import json
import logging
import math
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, TypeVar

from _graphql import SchemaEngine

from .errors import HostStateError, ReadOnlyError, ToolHandlerError, UnknownToolError
from .loop_thread import LoopThread
from .workers import Workers

__all__ = [
    "Handler",
    "HostState",
    "ToolCall",
    "ToolHost",
    "check_time_limit",
    "describe_exception",
    "engine_tools",
    "failed_fields",
    "variables_json",
]

Handler = Callable[..., Any]
"""A tool handler: a plain callable or a coroutine function."""

_F = TypeVar("_F", bound=Callable[..., Any])

log = logging.getLogger("quorvel_graphql.host")

# A limit is turned into milliseconds for the receive timeout; past this the
# arithmetic stops being exact, and no tool call is meant to wait a year.
MAX_TIME_LIMIT = 365 * 24 * 3600.0

UNSENDABLE = "the tool call failed and its error message could not be sent"


def describe_exception(error: BaseException) -> str:
    """The one-line message a failed call carries: ``"ValueError: bad path"``.
    Never raises, whatever the exception's ``__str__`` does."""
    name = type(error).__name__
    try:
        text = str(error)
    except Exception:
        text = "(its message could not be read)"
    return f"{name}: {text}" if text else name


def check_time_limit(limit: float | None, what: str = "time_limit") -> float | None:
    """``limit`` as seconds, or None; ValueError unless positive and finite."""
    if limit is None:
        return None
    try:
        seconds = float(limit)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number of seconds, not {limit!r}") from None
    if not (0 < seconds <= MAX_TIME_LIMIT):
        raise ValueError(f"{what} must be a positive, finite number of seconds (at most a year), not {limit!r}")
    return seconds


def engine_tools(engine: SchemaEngine) -> list[dict[str, Any]]:
    """The engine's catalogue, one dict per tool field: ``server``, ``tool``,
    ``field`` (the GraphQL field name), ``description``, ``readOnly`` and
    ``inputSchema`` (None: the catalogue does not carry schemas).

    Field names come from the engine itself, so they always agree with what a
    query must use; its ``search`` field is the one way the module exposes them.
    """
    document = json.loads(engine.execute("{ search }"))
    return [
        {"server": hit["server"], "tool": hit["tool"], "field": hit["field"],
         "description": hit.get("description", ""), "readOnly": bool(hit.get("readOnly")), "inputSchema": None}
        for hit in document["data"]["search"]
    ]


def variables_json(variables: Mapping[str, Any] | str | None) -> str | None:
    """Query variables as the JSON text the engine takes (text is passed on
    as it is); ValueError saying why when they cannot be JSON.  ASCII escapes
    let the engine itself report a lone surrogate as a variables error."""
    if variables is None or isinstance(variables, str):
        return variables
    try:
        return json.dumps(dict(variables), allow_nan=False)
    except RecursionError:
        raise ValueError("the variables nest too deeply") from None
    except (TypeError, ValueError) as error:
        raise ValueError(f"the variables are not JSON: {error}") from None


def failed_fields(document: Mapping[str, Any]) -> list[str]:
    """The top-level fields of a response document whose tool call failed
    (their value is an error result, ``"isError": true``)."""
    data = document.get("data")
    if not isinstance(data, Mapping):
        return []
    return [name for name, value in data.items() if isinstance(value, Mapping) and value.get("isError") is True]


class ToolCall:
    """One bridge request as the engine sent it."""

    __slots__ = ("request_id", "server", "tool", "arguments", "operation")

    def __init__(self, request_id: str, server: str, tool: str, arguments: dict[str, Any], operation: str) -> None:
        self.request_id = request_id
        self.server = server
        self.tool = tool
        self.arguments = arguments
        self.operation = operation

    @property
    def label(self) -> str:
        return f"{self.server}.{self.tool}"

    @classmethod
    def from_request(cls, request: Mapping[str, Any]) -> ToolCall:
        arguments = request.get("arguments")
        return cls(
            str(request["request_id"]), str(request["server"]), str(request["tool"]),
            arguments if isinstance(arguments, dict) else {}, str(request.get("operation", "query")),
        )

    @classmethod
    def from_json(cls, text: str) -> ToolCall:
        return cls.from_request(json.loads(text))

    def __repr__(self) -> str:
        return (f"ToolCall(request_id={self.request_id!r}, server={self.server!r}, tool={self.tool!r}, "
                f"arguments={self.arguments!r}, operation={self.operation!r})")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ToolCall):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    __hash__ = None  # type: ignore[assignment]


@dataclass(frozen=True)
class _Registration:
    handler: Handler
    pass_dict: bool  # one positional dict instead of keyword arguments
    pass_call: bool  # the whole ToolCall (fallback handlers)
    is_coroutine: bool
    time_limit: float | None
    loop: asyncio.AbstractEventLoop | None
    inline: bool  # run on the receiving thread: for cheap handlers that never block

    def run(self, call: ToolCall) -> Any:
        if self.pass_call:
            return self.handler(call)
        if self.pass_dict:
            return self.handler(dict(call.arguments))
        return self.handler(**call.arguments)


class HostState(enum.Enum):
    CREATED = "created"
    RUNNING = "running"
    CLOSED = "closed"


class _InFlight:
    """A call handed to a worker or a loop and not answered yet.  Whoever
    removes it from the host's table (the handler finishing, its time limit,
    close) is the one that answers it."""

    __slots__ = ("call", "time_limit", "started", "future")

    def __init__(self, call: ToolCall, time_limit: float | None) -> None:
        self.call = call
        self.time_limit = time_limit
        self.started = False
        self.future: concurrent.futures.Future[Any] | None = None


class ToolHost:
    """Serves the tool calls of one engine.

    Handlers are registered per (server, tool), as the catalogue names them
    (registering a tool the catalogue lacks raises UnknownToolError):

    * a plain callable gets the call's arguments as keyword arguments, or as
      one dict when registered with ``pass_dict=True``; it runs on a pool of
      ``max_workers`` daemon threads, or with ``inline=True`` directly on the
      receiving thread (for cheap handlers that never block: no hand-off);
    * a coroutine function (``async def``) is awaited on an event loop: the
      loop given at registration, else the host's loop (the ``loop`` argument,
      or the running loop when the host is entered with ``async with``), else
      a private loop thread that the host starts on first use;
    * a fallback handler (``register_fallback``) receives the whole
      :class:`ToolCall` for every (server, tool) without its own handler.

    Whatever a handler returns is answered as ``json.dumps(result)``; an
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
        self.max_workers = max_workers
        self.time_limit = check_time_limit(time_limit)
        self.poll_ms = poll_ms
        self.shutdown_timeout = shutdown_timeout
        self.read_only = read_only
        self._given_loop = loop
        self._loop = loop
        self._handlers: dict[tuple[str, str], _Registration] = {}
        self._fallback: _Registration | None = None
        self._catalogue: list[dict[str, Any]] | None = None
        self._known: set[tuple[str, str]] = set()  # (server, tool) pairs of _catalogue
        self._state = HostState.CREATED
        self._state_lock = threading.Lock()
        self._lock = threading.Lock()
        self._inflight: dict[str, _InFlight] = {}
        self._deadlines: list[tuple[float, int, str]] = []
        self._sequence = itertools.count()
        self._pool: Workers | None = None
        self._blocking: Workers | None = None
        self._slots = max_workers  # plain handlers that may run now
        self._waiting: collections.deque[tuple[_Registration, _InFlight]] = collections.deque()
        self._stopping = threading.Event()
        self._receiving_done = threading.Event()
        self._private_loop: LoopThread | None = None
        self.receive_error_count = 0
        """Requests the receiving thread could not handle (each is logged)."""
        self.input_schemas: dict[tuple[str, str], dict[str, Any]] = {}
        """JSON Schemas of tool arguments by (server, tool), where known
        (``McpServers.serve`` fills it from tools/list)."""

    # -- catalogue ----------------------------------------------------------

    def catalogue_tools(self) -> list[dict[str, Any]]:
        """The engine's tool fields, one dict each: ``server``, ``tool``,
        ``field``, ``description``, ``readOnly`` and ``inputSchema`` (None
        when unknown).  The catalogue is read from the engine once."""
        schemas = self.input_schemas
        return [{**tool, "inputSchema": schemas.get((tool["server"], tool["tool"]))} for tool in self._engine_tools()]

    def _engine_tools(self) -> list[dict[str, Any]]:
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
        inline: bool = False,
    ) -> None:
        """Serves ``server.tool`` with ``handler``; replaces an earlier one."""
        self._check_known(server, tool)
        self._handlers[(server, tool)] = _registration(handler, pass_dict, False, time_limit, loop, inline)

    def tool(
        self,
        server: str,
        tool: str,
        *,
        pass_dict: bool = False,
        time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None,
        inline: bool = False,
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
        self._fallback = _registration(handler, False, True, time_limit, loop, False)

    def register_methods(self, tools: object, *, time_limit: float | None = None, inline: bool = False) -> list[str]:
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
            # Threads are not bounded here: at most max_workers run plain
            # handlers (self._slots), plus the one that holds the receiving role.
            self._pool = Workers("quorvel-tool")
            self._blocking = Workers("quorvel-execute")
            self.engine.attach_call_bridge()
            self._pool.submit(self._receive_role)
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
        self.engine.detach_call_bridge()
        self._stopping.set()
        assert self._pool is not None and self._blocking is not None
        self._receiving_done.wait()
        with self._lock:
            leftovers = list(self._inflight.values())
            self._inflight.clear()
            self._deadlines.clear()
            self._waiting.clear()
        for entry in leftovers:  # the detach answered their executes already
            if entry.future is not None:
                entry.future.cancel()
        self._pool.shutdown()
        self._pool.wait_idle(self.shutdown_timeout)
        self._blocking.shutdown()
        if self._private_loop is not None:
            self._private_loop.stop(self.shutdown_timeout)
            self._private_loop = None
        self._loop = self._given_loop

    def __enter__(self) -> ToolHost:
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    async def __aenter__(self) -> ToolHost:
        if self._given_loop is None:
            self._loop = asyncio.get_running_loop()
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
        self._require_running()
        running = _running_loop()
        private = self._private_loop.loop if self._private_loop is not None else None
        if running is not None and running in (self._loop, private):
            raise RuntimeError("execute() would block the event loop that runs the coroutine handlers; "
                               "use 'await host.execute_async(...)' instead")
        document: dict[str, Any] = json.loads(self.engine.execute(query, variables_json(variables)))
        return document

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> dict[str, Any]:
        """Like :meth:`execute`, awaited without blocking the running loop.

        Each call waits on a thread of the host's own (unbounded) set, never
        on the loop's default executor, which coroutine handlers may need."""
        self._require_running()
        text = variables_json(variables)
        loop = asyncio.get_running_loop()
        outcome: asyncio.Future[dict[str, Any]] = loop.create_future()

        def run() -> None:
            settle: Callable[[asyncio.Future[Any], Any], None] = _set_result
            try:
                result: Any = json.loads(self.engine.execute(query, text))
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

    # -- serving ------------------------------------------------------------

    def _receive_role(self) -> None:
        """The receiving loop; exactly one pool thread runs it at a time.

        A lone request for a plain handler is run on this very thread, after
        handing the receiving role to another one: waking a thread is slow,
        and this way the wake-up happens beside the handler instead of before
        it.  Requests that arrive together are handed out to the pool, so a
        fan-out still runs in parallel and the loop keeps receiving."""
        receive = self.engine.receive_tool_call
        handed_on = False
        try:
            while not self._stopping.is_set():
                try:
                    text = receive(self._wait_ms())
                    if text is not None:
                        following = receive(0)  # every request already waiting is taken in this wake-up
                        run_here = self._dispatch(text, may_run_here=following is None)
                        while following is not None:
                            self._dispatch(following, may_run_here=False)
                            following = receive(0)
                        if run_here is not None:
                            assert self._pool is not None
                            self._pool.submit(self._receive_role)
                            handed_on = True
                            run_here()
                            return
                    if self._deadlines:
                        self._expire_overdue()
                except Exception as error:  # the role must outlive any single bad request
                    self._note_receive_error(describe_exception(error))
                    self._stopping.wait(self.poll_ms / 1000)  # never spin on a lasting fault
        finally:
            if not handed_on:
                self._receiving_done.set()

    def _note_receive_error(self, message: str) -> None:
        self.receive_error_count += 1
        count = self.receive_error_count
        if count <= 10 or count % 1000 == 0:
            log.error("tool host receive error #%d: %s", count, message)

    def _wait_ms(self) -> int:
        with self._lock:
            if not self._deadlines:
                return self.poll_ms
            remaining = self._deadlines[0][0] - time.monotonic()
        return max(1, min(self.poll_ms, math.ceil(remaining * 1000)))

    def _dispatch(self, text: str, may_run_here: bool) -> Callable[[], None] | None:
        """Starts serving one request.  Returns the work to run on the calling
        thread when ``may_run_here`` and the request is for a plain handler
        that got a slot; None when it is taken care of otherwise."""
        try:
            request = json.loads(text)
            call_id = str(request["request_id"])
        except Exception as error:
            self._note_receive_error(f"unreadable request {text[:200]!r}: {describe_exception(error)}")
            return None
        try:
            key = (request["server"], request["tool"])
            registration = self._handlers.get(key, self._fallback)
            if self.read_only and request.get("operation") == "mutation":
                raise ReadOnlyError(f"refused {key[0]}.{key[1]}: the tool is not read-only and this host "
                                    "serves read-only calls only")
            if registration is None:
                raise LookupError(f"no handler for {key[0]}.{key[1]}")
            call = ToolCall.from_request(request)
            if registration.inline:
                self._run_inline(registration, call)
                return None
            return self._launch(registration, call, may_run_here)
        except Exception as error:  # nothing started: answer the failure at once
            self._send_failure(call_id, describe_exception(error))
            return None

    def _run_inline(self, registration: _Registration, call: ToolCall) -> None:
        try:
            result = registration.run(call)
        except BaseException as error:
            self._send_failure(call.request_id, describe_exception(error))
            return
        self._send_result(call.request_id, call.label, result)

    def _launch(self, registration: _Registration, call: ToolCall, may_run_here: bool) -> Callable[[], None] | None:
        limit = registration.time_limit if registration.time_limit is not None else self.time_limit
        entry = _InFlight(call, limit)
        with self._lock:
            self._inflight[call.request_id] = entry
            if limit is not None:
                deadline = time.monotonic() + limit
                heapq.heappush(self._deadlines, (deadline, next(self._sequence), call.request_id))
        try:
            if registration.is_coroutine:
                entry.future = asyncio.run_coroutine_threadsafe(
                    self._run_coroutine(registration, entry), self._coroutine_loop(registration))
                return None
            with self._lock:
                if self._slots == 0:  # waits in order; its time limit runs meanwhile
                    self._waiting.append((registration, entry))
                    return None
                self._slots -= 1
            if may_run_here:
                return lambda: self._serve_plain(registration, entry)
            assert self._pool is not None
            self._pool.submit(lambda: self._serve_plain(registration, entry))
            return None
        except BaseException:
            self._claim(call.request_id)
            raise

    def _serve_plain(self, registration: _Registration, entry: _InFlight) -> None:
        """Runs plain handlers while holding one slot: this one, then those
        waiting for a slot, then gives the slot back."""
        job: tuple[_Registration, _InFlight] | None = (registration, entry)
        while job is not None:
            self._run_plain(*job)
            with self._lock:
                if self._waiting and not self._stopping.is_set():
                    job = self._waiting.popleft()
                else:
                    job = None
                    self._slots += 1

    def _coroutine_loop(self, registration: _Registration) -> asyncio.AbstractEventLoop:
        loop = registration.loop or self._loop
        if loop is not None:
            return loop
        if self._private_loop is None:
            self._private_loop = LoopThread("quorvel-host-loop")
        return self._private_loop.loop

    def _run_plain(self, registration: _Registration, entry: _InFlight) -> None:
        entry.started = True
        if self._inflight.get(entry.call.request_id) is not entry:
            return  # expired or closed while it waited for a worker
        try:
            result, failed = registration.run(entry.call), False
        except BaseException as error:
            result, failed = error, True
        self._conclude(entry, result, failed)

    async def _run_coroutine(self, registration: _Registration, entry: _InFlight) -> None:
        entry.started = True
        try:
            result, failed = await registration.run(entry.call), False
        except asyncio.CancelledError:
            if self._claim(entry.call.request_id):
                self._send_failure(entry.call.request_id, f"CancelledError: tool {entry.call.label} was cancelled")
            raise
        except BaseException as error:  # SystemExit and the like must not reach the loop
            if not isinstance(error, Exception):
                error = ToolHandlerError(f"{entry.call.label} raised {describe_exception(error)}")
            result, failed = error, True
        self._conclude(entry, result, failed)

    def _conclude(self, entry: _InFlight, result: Any, failed: bool) -> None:
        if not self._claim(entry.call.request_id):
            return  # already answered by its time limit or by close()
        if failed:
            self._send_failure(entry.call.request_id, describe_exception(result))
        else:
            self._send_result(entry.call.request_id, entry.call.label, result)

    def _claim(self, request_id: str) -> bool:
        with self._lock:
            return self._inflight.pop(request_id, None) is not None

    def _expire_overdue(self) -> None:
        now = time.monotonic()
        overdue: list[_InFlight] = []
        with self._lock:
            while self._deadlines and self._deadlines[0][0] <= now:
                _, _, request_id = heapq.heappop(self._deadlines)
                entry = self._inflight.pop(request_id, None)
                if entry is not None:
                    overdue.append(entry)
        for entry in overdue:
            if entry.future is not None:
                entry.future.cancel()
            label, limit = entry.call.label, entry.time_limit or 0.0
            if entry.started:
                message = f"TimeoutError: tool {label} took longer than {limit} s"
            else:
                message = (f"TimeoutError: tool {label} did not start within {limit} s: all {self.max_workers} "
                           "worker threads were busy with earlier calls")
            self._send_failure(entry.call.request_id, message)

    # -- answers: each request gets exactly one, whatever goes wrong --------

    def _send_result(self, request_id: str, label: str, result: Any) -> None:
        try:
            payload = json.dumps(result, allow_nan=False)
        except RecursionError:
            self._send_failure(request_id, f"ValueError: result of {label} is not JSON: it is nested too deeply "
                                           "(or refers to itself)")
            return
        except Exception as problem:
            self._send_failure(request_id, f"{type(problem).__name__}: result of {label} is not JSON: "
                                           f"{describe_exception(problem).partition(': ')[2]}")
            return
        try:
            self.engine.respond_tool_call(request_id, payload)
        except Exception as error:
            self._send_failure(request_id, f"result of {label} could not be sent: {describe_exception(error)}")

    def _send_failure(self, request_id: str, message: str) -> None:
        for text in (message, _sendable(message), UNSENDABLE):
            try:
                self.engine.fail_tool_call(request_id, text)
                return
            except Exception as error:
                log.warning("could not answer tool call %s: %s", request_id, describe_exception(error))


def _sendable(message: str) -> str:
    try:
        return message.encode("utf-8", "backslashreplace").decode("utf-8")
    except Exception:
        return UNSENDABLE


def _set_result(future: asyncio.Future[Any], value: Any) -> None:
    if not future.done():
        future.set_result(value)


def _set_exception(future: asyncio.Future[Any], error: BaseException) -> None:
    if not future.done():
        future.set_exception(error)


def _registration(
    handler: Handler, pass_dict: bool, pass_call: bool, time_limit: float | None,
    loop: asyncio.AbstractEventLoop | None, inline: bool,
) -> _Registration:
    if not callable(handler):
        raise TypeError(f"handler must be callable, not {type(handler).__name__}")
    is_coroutine = inspect.iscoroutinefunction(handler)
    if inline and (is_coroutine or time_limit is not None):
        raise ValueError("inline=True is for plain handlers without a time limit: "
                         "nothing can stop a handler running on the receiving thread")
    return _Registration(handler, pass_dict, pass_call, is_coroutine, check_time_limit(time_limit), loop, inline)


def _running_loop() -> asyncio.AbstractEventLoop | None:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None
