"""A ready-made host loop for one :class:`_graphql.SchemaEngine`.

The engine never calls a tool itself: it queues bridge requests and waits for
an answer per request, without any time limit.  :class:`ToolHost` is the
serving side of that exchange.  It receives requests on a thread of its own,
runs the registered handler for each on a bounded worker pool (or on an event
loop for coroutine handlers), and always answers exactly once, so an
``execute`` on another thread can never stay blocked because of a handler that
raised, hung past its time limit, returned something that is not JSON, or was
never registered.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import heapq
import inspect
import itertools
import json
import math
import threading
import time
from collections.abc import Awaitable, Callable, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, TypeVar

from _graphql import SchemaEngine

__all__ = ["Handler", "ToolCall", "ToolHost", "describe_exception"]

Handler = Callable[..., Any]
"""A tool handler: a plain callable or a coroutine function."""

_F = TypeVar("_F", bound=Callable[..., Any])

# Answers after a detach find no waiting job; the engine reports that with
# False, which is harmless, so answers are fire-and-forget throughout.


def describe_exception(error: BaseException) -> str:
    """The one-line message a failed call carries: ``"ValueError: bad path"``."""
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


@dataclass(frozen=True)
class ToolCall:
    """One bridge request as the engine sent it."""

    request_id: str
    server: str
    tool: str
    arguments: dict[str, Any]
    operation: str

    @property
    def label(self) -> str:
        return f"{self.server}.{self.tool}"

    @classmethod
    def from_json(cls, text: str) -> ToolCall:
        request = json.loads(text)
        arguments = request.get("arguments")
        return cls(
            request_id=str(request["request_id"]),
            server=str(request["server"]),
            tool=str(request["tool"]),
            arguments=arguments if isinstance(arguments, dict) else {},
            operation=str(request.get("operation", "query")),
        )


@dataclass(frozen=True)
class _Registration:
    handler: Handler
    pass_dict: bool  # one positional dict instead of keyword arguments
    pass_call: bool  # the whole ToolCall (fallback handlers)
    is_coroutine: bool
    time_limit: float | None
    loop: asyncio.AbstractEventLoop | None

    def arguments_for(self, call: ToolCall) -> tuple[tuple[Any, ...], dict[str, Any]]:
        if self.pass_call:
            return (call,), {}
        if self.pass_dict:
            return (dict(call.arguments),), {}
        return (), dict(call.arguments)

    def run(self, call: ToolCall) -> Any:
        args, kwargs = self.arguments_for(call)
        return self.handler(*args, **kwargs)

    async def run_async(self, call: ToolCall) -> Any:
        args, kwargs = self.arguments_for(call)
        return await self.handler(*args, **kwargs)


@dataclass
class _InFlight:
    call: ToolCall
    future: concurrent.futures.Future[Any]
    time_limit: float | None


class _LoopThread:
    """An asyncio event loop running forever on a daemon thread of its own."""

    def __init__(self, name: str) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def submit(self, coroutine: Awaitable[Any]) -> concurrent.futures.Future[Any]:
        return asyncio.run_coroutine_threadsafe(_as_coroutine(coroutine), self.loop)

    def stop(self, timeout: float = 10.0) -> None:
        """Cancels what still runs on the loop, stops it and joins the thread."""
        if self.loop.is_closed():
            return

        async def cancel_all() -> None:
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            if tasks:
                await asyncio.wait(tasks, timeout=timeout)

        if self._thread.is_alive():
            try:
                self.submit(cancel_all()).result(timeout)
            except (concurrent.futures.TimeoutError, concurrent.futures.CancelledError):
                pass
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(timeout)
        if not self._thread.is_alive():
            self.loop.close()


async def _as_coroutine(awaitable: Awaitable[Any]) -> Any:
    return await awaitable


class ToolHost:
    """Serves the tool calls of one engine.

    Handlers are registered per (server, tool), as the catalogue names them:

    * a plain callable gets the call's arguments as keyword arguments, or as
      one dict when registered with ``pass_dict=True``;
    * a coroutine function (``async def``) is awaited on an event loop: the
      loop given at registration, else the host's loop (the ``loop`` argument,
      or the running loop when the host is entered with ``async with``), else
      a private loop thread that the host starts on first use;
    * a fallback handler (``register_fallback``) receives the whole
      :class:`ToolCall` for every (server, tool) without its own handler.

    Plain handlers run on a ``ThreadPoolExecutor`` of ``max_workers`` threads,
    so slow tools run in parallel.  Whatever a handler returns is answered as
    ``json.dumps(result)``; an exception, a result that is not JSON, a missing
    handler or a call exceeding its time limit (per registration, else the
    host's ``time_limit``) fails the call with a one-line message such as
    ``"ValueError: bad path"``.  A plain handler past its limit cannot be
    stopped, so it keeps its worker thread until it returns; its late answer
    is dropped.

    Use it as a context manager: entering attaches the bridge and starts the
    receiving thread; leaving detaches (every waiting ``execute`` then gets
    the "CallBridge is detached" result) and joins the threads.
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
    ) -> None:
        if max_workers < 1:
            raise ValueError("max_workers must be at least 1")
        if poll_ms < 1:
            raise ValueError("poll_ms must be at least 1")
        self.engine = SchemaEngine(engine) if isinstance(engine, str) else engine
        self.max_workers = max_workers
        self.time_limit = _check_limit(time_limit)
        self.poll_ms = poll_ms
        self.shutdown_timeout = shutdown_timeout
        self._given_loop = loop
        self._loop = loop
        self._handlers: dict[tuple[str, str], _Registration] = {}
        self._fallback: _Registration | None = None
        self._lock = threading.Lock()
        self._inflight: dict[str, _InFlight] = {}
        self._deadlines: list[tuple[float, int, str]] = []
        self._sequence = itertools.count()
        self._pool: concurrent.futures.ThreadPoolExecutor | None = None
        self._receiver: threading.Thread | None = None
        self._stopping = threading.Event()
        self._private_loop: _LoopThread | None = None
        self.receive_errors: list[str] = []
        """Requests the engine could not hand over (they cannot be answered)."""

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
    ) -> None:
        """Serves ``server.tool`` with ``handler``; replaces an earlier one."""
        self._handlers[(server, tool)] = _registration(handler, pass_dict, False, time_limit, loop)

    def tool(
        self,
        server: str,
        tool: str,
        *,
        pass_dict: bool = False,
        time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None,
    ) -> Callable[[_F], _F]:
        """Decorator form of :meth:`register`."""

        def decorate(handler: _F) -> _F:
            self.register(server, tool, handler, pass_dict=pass_dict, time_limit=time_limit, loop=loop)
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
        self._fallback = _registration(handler, False, True, time_limit, loop)

    def register_methods(self, tools: object, *, time_limit: float | None = None) -> list[str]:
        """Registers each method of ``tools`` named like a catalogue tool's
        GraphQL field (``files_read_file`` serves files.read_file).  Returns
        the field names that found a method."""
        document = json.loads(self.engine.execute("{ search }"))
        bound: list[str] = []
        for hit in document["data"]["search"]:
            method = getattr(tools, hit["field"], None)
            if callable(method):
                self.register(hit["server"], hit["tool"], method, time_limit=time_limit)
                bound.append(hit["field"])
        return bound

    # -- lifecycle ----------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._receiver is not None

    def start(self) -> ToolHost:
        if self._receiver is not None:
            raise RuntimeError("ToolHost is already running")
        self._stopping = threading.Event()
        self._pool = concurrent.futures.ThreadPoolExecutor(self.max_workers, thread_name_prefix="quorvel-tool")
        self._receiver = threading.Thread(target=self._receive_loop, name="quorvel-host", daemon=True)
        self.engine.attach_call_bridge()
        self._receiver.start()
        return self

    def close(self) -> None:
        """Detaches, stops receiving, and waits (bounded) for running handlers."""
        receiver, pool = self._receiver, self._pool
        if receiver is None or pool is None:
            return
        self.engine.detach_call_bridge()
        self._stopping.set()
        receiver.join()
        with self._lock:
            leftovers = list(self._inflight.values())
            self._inflight.clear()
            self._deadlines.clear()
        for entry in leftovers:
            entry.future.cancel()
        pool.shutdown(wait=False, cancel_futures=True)
        concurrent.futures.wait([e.future for e in leftovers], timeout=self.shutdown_timeout)
        if self._private_loop is not None:
            self._private_loop.stop(self.shutdown_timeout)
            self._private_loop = None
        self._loop = self._given_loop
        self._receiver = self._pool = None

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
        # close() may wait for handlers that run on this very loop.
        await asyncio.to_thread(self.close)

    # -- queries ------------------------------------------------------------

    def execute(self, query: str, variables: Mapping[str, Any] | str | None = None) -> dict[str, Any]:
        """Runs one query and returns the parsed response document."""
        running = _running_loop()
        private = self._private_loop.loop if self._private_loop is not None else None
        if running is not None and running in (self._loop, private):
            raise RuntimeError("execute() would block the event loop that runs the coroutine handlers; "
                               "use 'await host.execute_async(...)' instead")
        document: dict[str, Any] = json.loads(self.engine.execute(query, _variables_text(variables)))
        return document

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> dict[str, Any]:
        """Like :meth:`execute`, awaited without blocking the running loop."""
        text = _variables_text(variables)
        document: dict[str, Any] = json.loads(await asyncio.to_thread(self.engine.execute, query, text))
        return document

    # -- serving ------------------------------------------------------------

    def _receive_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                text = self.engine.receive_tool_call(self._wait_ms())
                self._expire_overdue()
                if text is not None:
                    self._dispatch(text)
            except Exception as error:  # this thread must outlive any single bad request
                self.receive_errors.append(describe_exception(error))

    def _wait_ms(self) -> int:
        with self._lock:
            if not self._deadlines:
                return self.poll_ms
            remaining = self._deadlines[0][0] - time.monotonic()
        return max(1, min(self.poll_ms, math.ceil(remaining * 1000)))

    def _dispatch(self, text: str) -> None:
        try:
            call = ToolCall.from_json(text)
        except (ValueError, KeyError, TypeError) as error:
            self.receive_errors.append(f"unreadable request {text!r}: {describe_exception(error)}")
            return
        try:
            registration = self._handlers.get((call.server, call.tool), self._fallback)
            if registration is None:
                raise LookupError(f"no handler for {call.label}")
            future = self._launch(registration, call)
        except Exception as error:  # nothing started: answer the failure at once
            self.engine.fail_tool_call(call.request_id, describe_exception(error))
            return
        limit = registration.time_limit if registration.time_limit is not None else self.time_limit
        with self._lock:
            self._inflight[call.request_id] = _InFlight(call, future, limit)
            if limit is not None:
                deadline = time.monotonic() + limit
                heapq.heappush(self._deadlines, (deadline, next(self._sequence), call.request_id))
        future.add_done_callback(lambda done: self._finish(call.request_id, done))

    def _launch(self, registration: _Registration, call: ToolCall) -> concurrent.futures.Future[Any]:
        if not registration.is_coroutine:
            assert self._pool is not None
            return self._pool.submit(registration.run, call)
        loop = registration.loop or self._loop
        if loop is None:
            if self._private_loop is None:
                self._private_loop = _LoopThread("quorvel-host-loop")
            loop = self._private_loop.loop
        return asyncio.run_coroutine_threadsafe(registration.run_async(call), loop)

    def _finish(self, request_id: str, future: concurrent.futures.Future[Any]) -> None:
        with self._lock:
            entry = self._inflight.pop(request_id, None)
        if entry is None or future.cancelled():  # already answered by the time limit or by close()
            return
        error = future.exception()
        if error is not None:
            self.engine.fail_tool_call(request_id, describe_exception(error))
            return
        try:
            payload = json.dumps(future.result(), allow_nan=False)
        except (TypeError, ValueError) as problem:
            message = f"{type(problem).__name__}: result of {entry.call.label} is not JSON: {problem}"
            self.engine.fail_tool_call(request_id, message)
            return
        self.engine.respond_tool_call(request_id, payload)

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
            entry.future.cancel()
            message = f"TimeoutError: tool {entry.call.label} took longer than {float(entry.time_limit or 0)} s"
            self.engine.fail_tool_call(entry.call.request_id, message)


def _registration(
    handler: Handler, pass_dict: bool, pass_call: bool, time_limit: float | None, loop: asyncio.AbstractEventLoop | None
) -> _Registration:
    if not callable(handler):
        raise TypeError(f"handler must be callable, not {type(handler).__name__}")
    return _Registration(
        handler, pass_dict, pass_call, inspect.iscoroutinefunction(handler), _check_limit(time_limit), loop
    )


def _check_limit(limit: float | None) -> float | None:
    if limit is not None and not limit > 0:
        raise ValueError("time_limit must be a positive number of seconds")
    return limit


def _variables_text(variables: Mapping[str, Any] | str | None) -> str | None:
    if variables is None or isinstance(variables, str):
        return variables
    return json.dumps(dict(variables), allow_nan=False)


def _running_loop() -> asyncio.AbstractEventLoop | None:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None
