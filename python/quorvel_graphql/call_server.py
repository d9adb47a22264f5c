"""The serving side of the call bridge: receiving the engine's tool-call
requests, running the registered handler for each, and answering every
request exactly once, whatever the handler does.

:class:`CallServer` is the machinery behind :class:`~quorvel_graphql.ToolHost`,
which keeps the public face (registration, lifecycle, queries) and hands all
receiving and dispatch to it.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import functools
import heapq
import inspect
import itertools
import json
import logging
import math
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Protocol

from _graphql import SchemaEngine

from . import json_text
from .common import check_time_limit, describe_exception
from .errors import ReadOnlyError, ToolHandlerError
from .loop_thread import LoopThread
from .workers import Workers

__all__ = ["CallObserver", "CallServer", "Handler", "Registration", "ToolCall"]

Handler = Callable[..., Any]
"""A tool handler: a plain callable or a coroutine function."""

log = logging.getLogger("quorvel_graphql.host")


class CallObserver(Protocol):
    """Watches tool calls.  ``outcome`` is "ok", "error" (the tool answered
    with ``isError``), "failed", "refused" (read-only policy), "timeout" or
    "cancelled" (the host stopped first).  Called on the serving threads and
    loops, so it must be quick and thread-safe."""

    def call_started(self, request_id: str, server: str, tool: str) -> None: ...

    def call_ended(self, request_id: str, outcome: str) -> None: ...

UNSENDABLE = "the tool call failed and its error message could not be sent"
# The answer to a call that arrives, or still waits for a worker, once the
# host has stopped calling tools: it never ran.
NOT_STARTED = "the host stopped calling tools before this call started"


@dataclass(slots=True)
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
    def from_request(cls, request: Mapping[str, Any]) -> ToolCall:
        arguments = request.get("arguments")
        return cls(
            str(request["request_id"]), str(request["server"]), str(request["tool"]),
            arguments if isinstance(arguments, dict) else {}, str(request.get("operation", "query")),
        )

    @classmethod
    def from_json(cls, text: str) -> ToolCall:
        return cls.from_request(json.loads(text))


class HandlerCost:
    """What a plain handler's runs have cost so far, to tell one cheap
    enough to run on the receiving thread (a hand-off to another thread
    costs tens of microseconds, more than such a handler's whole run).
    Updated without a lock: a lost update only delays a decision.
    ``cheap`` is a plain field, kept by :meth:`note`, because dispatch reads
    it on every call."""

    __slots__ = ("cheap", "cheap_runs", "slow")

    # A handler is cheap after this many runs in a row under CHEAP_SECONDS;
    # once one run takes longer than SLOW_SECONDS it is never cheap again.
    CHEAP_RUNS = 16
    CHEAP_SECONDS = 100e-6
    SLOW_SECONDS = 1e-3

    def __init__(self) -> None:
        self.cheap = False
        self.cheap_runs = 0
        self.slow = False

    def note(self, seconds: float) -> None:
        if seconds < self.CHEAP_SECONDS:
            self.cheap_runs += 1
            if self.cheap_runs >= self.CHEAP_RUNS:
                self.cheap = not self.slow
            return
        self.cheap_runs = 0
        self.cheap = False
        self.slow = self.slow or seconds > self.SLOW_SECONDS

    def overran(self) -> None:
        self.slow = True
        self.cheap = False


@dataclass(frozen=True, slots=True)
class Registration:
    """How one handler is to be run."""

    handler: Handler
    pass_dict: bool  # one positional dict instead of keyword arguments
    pass_call: bool  # the whole ToolCall (fallback handlers)
    is_coroutine: bool
    time_limit: float | None
    loop: asyncio.AbstractEventLoop | None
    inline: bool | None  # on the receiving thread: always, never, or (None) once measured cheap
    cost: HandlerCost = field(default_factory=HandlerCost, compare=False)

    @classmethod
    def of(
        cls, handler: Handler, *, pass_dict: bool = False, pass_call: bool = False, time_limit: float | None = None,
        loop: asyncio.AbstractEventLoop | None = None, inline: bool | None = None,
    ) -> Registration:
        """A checked registration; TypeError or ValueError says what is wrong."""
        if not callable(handler):
            raise TypeError(f"handler must be callable, not {type(handler).__name__}")
        is_coroutine = inspect.iscoroutinefunction(handler)
        if inline is None and (is_coroutine or time_limit is not None):
            inline = False  # a coroutine needs its loop; a time limit, a thread it can leave behind
        if inline and (is_coroutine or time_limit is not None):
            raise ValueError("inline=True is for plain handlers without a time limit: "
                             "nothing can stop a handler running on the receiving thread")
        return cls(handler, pass_dict, pass_call, is_coroutine, check_time_limit(time_limit), loop, inline)

    def run(self, call: ToolCall) -> Any:
        if self.pass_call:
            return self.handler(call)
        if self.pass_dict:
            return self.handler(dict(call.arguments))
        return self.handler(**call.arguments)


@dataclass(slots=True)
class _InFlight:
    """A call handed to a worker or a loop and not answered yet.  Whoever
    removes it from the server's table (the handler finishing, its time limit,
    stopping) is the one that answers it."""

    call: ToolCall
    time_limit: float | None
    started: bool = False
    future: concurrent.futures.Future[Any] | None = None


class CallServer:
    """Receives an engine's tool calls and answers each one exactly once.

    The handler table (``handlers``, ``fallback``) and the host's event loop
    (``loop``) belong to the owner, which may change them at any time; the
    rest is private to the serving threads.  The owner attaches the bridge
    before :meth:`start` and detaches it before :meth:`stop`, so that every
    waiting ``execute`` is answered before handlers are waited for.
    """

    def __init__(
        self, engine: SchemaEngine, *, max_workers: int, time_limit: float | None, poll_ms: int, read_only: bool,
        loop: asyncio.AbstractEventLoop | None,
    ) -> None:
        self.engine = engine
        self.max_workers = max_workers
        self.time_limit = time_limit
        self.poll_ms = poll_ms
        self.read_only = read_only
        self.loop = loop
        self.handlers: dict[tuple[str, str], Registration] = {}
        self.fallback: Registration | None = None
        self.observer: CallObserver | None = None
        self.receive_error_count = 0
        self.refusing = False  # see refuse_new_calls
        self._lock = threading.Lock()  # guards _inflight, _deadlines, _slots, _waiting, _generation
        # (and the clearing of _running_here, which the watchdog checks and clears under it)
        self._inflight: dict[str, _InFlight] = {}
        self._deadlines: list[tuple[float, int, str]] = []
        self._sequence = itertools.count()
        self._slots = max_workers  # plain handlers that may run now
        self._waiting: collections.deque[tuple[Registration, _InFlight]] = collections.deque()
        self._pool: Workers | None = None
        self._stopping = threading.Event()
        self._receiving_done = threading.Event()
        self._generation = 0  # of the receiving role; the watchdog moves it on (under _lock)
        # A handler on the receiving thread: (start, registration, server, tool).
        self._running_here: tuple[float, Registration, str, str] | None = None
        self._private_loop: LoopThread | None = None

    def start(self) -> None:
        # Threads are not bounded here: at most max_workers run plain
        # handlers (_slots), plus the one that holds the receiving role.
        self._pool = Workers("quorvel-tool")
        self._pool.submit(functools.partial(self._receive_role, self._generation))
        threading.Thread(target=self._watch_the_receiver, name="quorvel-watch", daemon=True).start()

    def stop(self, timeout: float) -> None:
        """Stops receiving, drops what is still in flight and waits up to
        ``timeout`` seconds for running plain handlers."""
        self._stopping.set()
        assert self._pool is not None
        self._receiving_done.wait()
        with self._lock:
            leftovers = list(self._inflight.values())
            self._inflight.clear()
            self._deadlines.clear()
            self._waiting.clear()
        for entry in leftovers:  # the detach answered their executes already
            self._observe_end(entry.call.request_id, "cancelled")
            if entry.future is not None:
                entry.future.cancel()
        self._pool.shutdown()
        self._pool.wait_idle(timeout)
        if self._private_loop is not None:
            self._private_loop.stop(timeout)
            self._private_loop = None

    def refuse_new_calls(self) -> None:
        """Answers every call received from now on, and every one still
        waiting for a worker, with ``NOT_STARTED``; handlers already running
        go on and are answered as usual."""
        self.refusing = True
        with self._lock:
            waiting = [entry for _, entry in self._waiting]
            self._waiting.clear()
        for entry in waiting:
            if self._claim(entry.call.request_id):
                self._send_failure(entry.call.request_id, NOT_STARTED, "cancelled")

    def handler_loops(self) -> tuple[asyncio.AbstractEventLoop, ...]:
        """The loops that run coroutine handlers without a loop of their own:
        a query that waits on one of them could never be answered."""
        private = self._private_loop.loop if self._private_loop is not None else None
        return tuple(loop for loop in (self.loop, private) if loop is not None)

    # -- receiving ----------------------------------------------------------

    def _receive_role(self, generation: int) -> None:
        """The receiving loop; exactly one pool thread runs it at a time
        (the one whose ``generation`` is current).

        Cheap plain handlers run right here, and the loop goes straight back
        to waiting: the executing thread wants the interpreter lock back as
        soon as it has its answer, so nothing that could wait is done
        between answering and the next receive.  A lone request for a
        worker is run on this very thread, after handing the receiving role
        to another one: waking a thread is slow, and this way the wake-up
        happens beside the handler instead of before it.  Requests that
        arrive together are handed out to the pool, so a fan-out still runs
        in parallel and the loop keeps receiving."""
        receive = self.engine.receive_tool_call
        handed_on = False
        try:
            while not self._stopping.is_set() and self._generation == generation:
                try:
                    text = receive(self._wait_ms() if self._deadlines else self.poll_ms)
                    if text is not None:
                        run_here = self._dispatch(text, may_run_here=True)
                        if run_here is not None:
                            run_here = self._dispatch_queued(run_here, generation)
                        if run_here is not None or self._generation != generation:
                            if self._generation == generation:
                                assert self._pool is not None
                                self._pool.submit(functools.partial(self._receive_role, generation))
                            handed_on = True
                            if run_here is not None:
                                run_here()
                            return
                    if self._deadlines:
                        self._expire_overdue()
                except Exception as error:  # the role must outlive any single bad request
                    self._note_receive_error(describe_exception(error))
                    self._stopping.wait(self.poll_ms / 1000)  # never spin on a lasting fault
            handed_on = self._generation != generation  # the watchdog's new role holder finishes up
        finally:
            if not handed_on:
                self._receiving_done.set()

    def _dispatch_queued(self, run_here: Callable[[], None], generation: int) -> Callable[[], None] | None:
        """Dispatches every request queued behind one that needs a worker
        (while this thread holds the role); returns that request's work
        when it came alone, to run on this thread.  Asked only then: after
        a request answered here, the next receive takes whatever follows."""
        receive = self.engine.receive_tool_call
        following = receive(0) if self._generation == generation else None
        if following is None:
            return run_here
        assert self._pool is not None
        self._pool.submit(run_here)
        while following is not None:
            self._dispatch(following, may_run_here=False)
            following = receive(0) if self._generation == generation else None
        return None

    def _watch_the_receiver(self) -> None:
        """A handler run on the receiving thread that overruns (a cheap one
        that blocked after all) must not stall every other call: after a
        poll interval another thread takes over receiving, and a handler
        measured cheap is never run there again."""
        while not self._receiving_done.wait(self.poll_ms / 1000):  # stop() needs a receiver that ends
            with self._lock:
                running = self._running_here
                if running is None or time.perf_counter() - running[0] < HandlerCost.SLOW_SECONDS:
                    continue
                self._running_here = None
                self._generation += 1
                generation = self._generation
            running[1].cost.overran()
            log.debug("%s.%s overran on the receiving thread; another thread receives now", *running[2:])
            assert self._pool is not None
            self._pool.submit(functools.partial(self._receive_role, generation))

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

    # -- dispatch -----------------------------------------------------------

    def _dispatch(self, text: str, may_run_here: bool) -> Callable[[], None] | None:
        """Starts serving one request.  Returns the work to run on the calling
        thread when ``may_run_here`` and the request is for a plain handler
        that got a slot; None when it is taken care of otherwise."""
        try:
            request = json_text.loads_engine_text(text)
            call_id = str(request["request_id"])
        except Exception as error:
            self._note_receive_error(f"unreadable request {text[:200]!r}: {describe_exception(error)}")
            return None
        try:
            server, tool = request["server"], request["tool"]
            if self.observer is not None:
                self.observer.call_started(call_id, server, tool)
            if self.refusing:
                self._send_failure(call_id, NOT_STARTED, "cancelled")
                return None
            registration = self.handlers.get((server, tool), self.fallback)
            if self.read_only and request.get("operation") == "mutation":
                raise ReadOnlyError(f"refused {server}.{tool}: the tool is not read-only and this host "
                                    "serves read-only calls only")
            if registration is None:
                raise LookupError(f"no handler for {server}.{tool}")
            inline = registration.inline
            if inline or (inline is None and registration.cost.cheap and self.time_limit is None):
                self._run_inline(registration, call_id, request)
                return None
            return self._launch(registration, ToolCall.from_request(request), may_run_here)
        except Exception as error:  # nothing started: answer the failure at once
            self._send_failure(call_id, describe_exception(error), _failure_outcome(error))
            return None

    def _run_inline(self, registration: Registration, call_id: str, request: dict[str, Any]) -> None:
        """Runs a handler on the receiving thread and answers it.  Keyword
        handlers, the common case, get the request's arguments without a
        :class:`ToolCall` being made.  ``_running_here`` is cleared under
        the lock, so that the watchdog moves receiving on only while a
        handler still runs here: once it has, this thread must not receive
        again."""
        arguments = request.get("arguments")
        if type(arguments) is not dict:
            arguments = {}
        started = time.perf_counter()
        self._running_here = (started, registration, request["server"], request["tool"])
        try:
            if registration.pass_call or registration.pass_dict:
                result = registration.run(ToolCall.from_request(request))
            else:
                result = registration.handler(**arguments)
        except BaseException as error:
            self._ran_here(registration, started)
            self._send_failure(call_id, describe_exception(error))
            return
        self._ran_here(registration, started)
        self._send_result(call_id, result, server=request["server"], tool=request["tool"])

    def _ran_here(self, registration: Registration, started: float) -> None:
        with self._lock:
            self._running_here = None
        registration.cost.note(time.perf_counter() - started)

    def _launch(self, registration: Registration, call: ToolCall, may_run_here: bool) -> Callable[[], None] | None:
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

    def _serve_plain(self, registration: Registration, entry: _InFlight) -> None:
        """Runs plain handlers while holding one slot: this one, then those
        waiting for a slot, then gives the slot back."""
        job: tuple[Registration, _InFlight] | None = (registration, entry)
        while job is not None:
            self._run_plain(*job)
            with self._lock:
                if self._waiting and not self._stopping.is_set():
                    job = self._waiting.popleft()
                else:
                    job = None
                    self._slots += 1

    def _coroutine_loop(self, registration: Registration) -> asyncio.AbstractEventLoop:
        loop = registration.loop or self.loop
        if loop is not None:
            return loop
        if self._private_loop is None:
            self._private_loop = LoopThread("quorvel-host-loop")
        return self._private_loop.loop

    def _run_plain(self, registration: Registration, entry: _InFlight) -> None:
        entry.started = True
        if self._inflight.get(entry.call.request_id) is not entry:
            return  # expired or stopped while it waited for a worker
        started = time.perf_counter()
        try:
            result, failed = registration.run(entry.call), False
        except BaseException as error:
            result, failed = error, True
        registration.cost.note(time.perf_counter() - started)
        self._conclude(entry, result, failed)

    async def _run_coroutine(self, registration: Registration, entry: _InFlight) -> None:
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
            return  # already answered by its time limit or by stopping
        if failed:
            self._send_failure(entry.call.request_id, describe_exception(result), _failure_outcome(result))
        else:
            self._send_result(entry.call.request_id, result, server=entry.call.server, tool=entry.call.tool)

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
            self._send_failure(entry.call.request_id, message, "timeout")

    # -- answers: each request gets exactly one, whatever goes wrong --------

    def _send_result(self, request_id: str, result: Any, *, server: str, tool: str) -> None:
        try:
            payload = json_text.dumps(result)
        except RecursionError:
            self._send_failure(request_id, f"ValueError: result of {server}.{tool} is not JSON: it is nested too "
                                           "deeply (or refers to itself)")
            return
        except Exception as problem:
            self._send_failure(request_id, f"{type(problem).__name__}: result of {server}.{tool} is not JSON: "
                                           f"{describe_exception(problem).partition(': ')[2]}")
            return
        if self.observer is not None:  # what the result says is worth reading only for someone watching
            self._observe_end(request_id, "error" if _reports_error(result) else "ok")
        try:
            self.engine.respond_tool_call(request_id, payload)
        except Exception as error:
            self._send_failure(request_id, f"result of {server}.{tool} could not be sent: "
                                           f"{describe_exception(error)}")

    def _send_failure(self, request_id: str, message: str, outcome: str = "failed") -> None:
        self._observe_end(request_id, outcome)
        for text in (message, _sendable(message), UNSENDABLE):
            try:
                self.engine.fail_tool_call(request_id, text)
                return
            except Exception as error:
                log.warning("could not answer tool call %s: %s", request_id, describe_exception(error))


    def _observe_end(self, request_id: str, outcome: str) -> None:
        observer = self.observer
        if observer is not None:
            try:
                observer.call_ended(request_id, outcome)
            except Exception as error:  # watching must never cost a call its answer
                log.warning("call observer failed on %s: %s", request_id, describe_exception(error))


def _reports_error(result: Any) -> bool:
    """Whether a tool result is an MCP result with ``isError`` set."""
    return isinstance(result, Mapping) and result.get("isError") is True


def _failure_outcome(error: BaseException) -> str:
    if isinstance(error, ReadOnlyError):
        return "refused"
    return "timeout" if isinstance(error, TimeoutError) else "failed"


def _sendable(message: str) -> str:
    try:
        return message.encode("utf-8", "backslashreplace").decode("utf-8")
    except Exception:
        return UNSENDABLE
