"""Serve an engine's tool calls with real MCP tool servers.

Configuration (JSON)::

    {"read_only": false,
     "servers": {
       "time": {"command": "mcp-server-time", "args": ["--local-timezone", "UTC"],
                "env": {"TZ": "UTC"}, "cwd": "servers/time",
                "tools": {"include": ["get_*"], "exclude": ["*_debug"]},
                "time_limit": 10, "max_concurrency": 4,
                "tool_settings": {"get_*": {"read_only": true, "time_limit": 2}}},
       "search": {"url": "https://mcp.example.org/mcp", "transport": "streamable-http",
                  "headers": {"Authorization": "Bearer ${SEARCH_TOKEN}"}, "read_only": true}}}

``"mcpServers"`` is accepted in place of ``"servers"``.  A server has either a
``command`` (a child process spoken to over stdio) or a ``url`` (streamable
HTTP, or ``"transport": "sse"`` for older servers).  Header values may name
environment variables as ``${NAME}``.  A relative ``cwd`` is taken from the
config file's folder.  ``read_only`` (top level, or per server) refuses calls
to tools that are not read-only.  ``tool_settings`` (per tool, by name or glob)
overrides what the server says of a tool: ``read_only``, ``time_limit``,
``description`` and the ``name`` its field is made from.

Each server's tools are listed into catalogue JSON (grouped by server), and
every bridge request for ``server.tool`` becomes an MCP ``tools/call`` on that
server.  The answer is the tool's result as JSON:
``{"content": [...], "structuredContent": ..., "isError": bool}``
(``structuredContent`` only when the server gave one).

The SDK is asyncio-based; all sessions live on one event-loop thread owned by
:class:`McpServers`, and bridge requests are awaited there directly, so a
fan-out query does not tie up one worker thread per call.  A server whose
connection broke is started again on its next call, with a growing pause
between attempts while it keeps failing.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import contextlib
import json
import logging
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any, TextIO

try:
    import mcp_types
    from mcp import ClientSession, MCPError
    from mcp.client.stdio import get_default_environment
except ImportError as _missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quorvel_graphql.mcp_adapter needs the MCP Python SDK 2 or later, which is not installed "
        "(pip install 'quorvel-graphql[mcp]' or pip install 'mcp>=2')"
    ) from _missing

from _graphql import SchemaEngine

from .common import JsonObject, check_time_limit, describe_exception, engine_tools, with_input_schemas
from .config import ServerConfig, load_config, parse_config
from .errors import ConfigError, HostStateError, McpCallError, ReadOnlyError, ServerStartError
from .host import ToolCall, ToolHost
from .loop_thread import LoopThread
from .passthrough import McpPassthrough
from .stdio_transport import stdio_transport

__all__ = [
    "ConfigError",
    "McpCallError",
    "McpServers",
    "ServerConfig",
    "ServerStartError",
    "load_config",
    "parse_config",
    "serve_config",
]

log = logging.getLogger("quorvel_graphql.mcp")

STDERR_TAIL = 8  # lines of a server's stderr shown when it fails to start
STDERR_WAIT = 1.0  # seconds to wait for the rest of a failed server's stderr
RESTART_PAUSE_MAX = 30.0  # seconds between attempts to restart a server that keeps failing
STABLE_AFTER = 30.0  # a server up this long counts as healthy again: its next restart is immediate


class _SlotWait:
    """``async with`` one of a server's slots (when it has any), telling
    afterwards whether the slot was ever taken."""

    def __init__(self, slots: asyncio.Semaphore | None) -> None:
        self.slots = slots
        self.entered = slots is None

    async def __aenter__(self) -> None:
        if self.slots is not None:
            await self.slots.acquire()
            self.entered = True

    async def __aexit__(self, *exc: object) -> None:
        if self.slots is not None and self.entered:
            self.slots.release()


def _check_result_size(answer: JsonObject, config: ServerConfig, tool: str) -> None:
    limit = config.max_result_bytes
    if limit is None:
        return
    # Measured as the engine will get it; the text of each content item is
    # most of it, so a cheap sum refuses the large ones before the dump.
    rough = sum(len(str(item.get("text", ""))) for item in answer["content"])
    size = rough if rough > limit else len(json.dumps(answer, ensure_ascii=False))
    if size > limit:
        raise McpCallError(f"MCP server '{config.name}' answered {tool} with a result of {size} bytes or more, "
                           f"larger than its limit of {limit} bytes (\"max_result_bytes\")")


@dataclass(slots=True)
class _Server:
    config: ServerConfig
    stop: asyncio.Event = field(default_factory=asyncio.Event)
    session: ClientSession | None = None
    tools: list[JsonObject] = field(default_factory=list)
    description: str = ""
    failure: str | None = None
    task: asyncio.Task[None] | None = None
    slots: asyncio.Semaphore | None = None
    up_since: float = 0.0
    next_start: float = 0.0  # monotonic time before which no restart is tried
    pause: float = 0.0  # the pause before the restart after the next failure
    restarting: asyncio.Lock = field(default_factory=asyncio.Lock)
    pid: int | None = None  # the stdio child, a process-group leader, when it could be told apart
    restarts: int = 0  # successful starts after the first
    stderr: _LogPipe | None = None
    last_error: str | None = None  # why it last went down, kept once it is up again
    real_names: dict[str, str] = field(default_factory=dict)  # tools renamed by the config: shown -> real
    limits: dict[str, float] = field(default_factory=dict)  # per-tool time limits of the config, by shown name

    def status(self, required: bool) -> JsonObject:
        up = self.session is not None
        state = "up" if up else "restarting" if self.restarting.locked() else "down"
        return {"name": self.config.name, "state": state, "error": self.last_error if up else self.failure,
                "restarts": self.restarts, "tools": len(self.tools), "required": required}

    @property
    def log(self) -> logging.Logger:
        return logging.getLogger(f"quorvel_graphql.server.{self.config.name}")


class McpServers:
    """The configured MCP servers, started together and closed together."""

    def __init__(
        self,
        servers: Mapping[str, ServerConfig] | str | os.PathLike[str],
        *,
        startup_timeout: float = 30.0,
        shutdown_timeout: float = 10.0,
        errlog: TextIO | None = None,
        require_all: bool = True,
    ) -> None:
        configs = servers if isinstance(servers, Mapping) else load_config(servers)
        self.require_all = require_all
        self._retrying: list[concurrent.futures.Future[None]] = []
        self.on_late_start: list[Callable[[str], None]] = []
        """Called (on :attr:`loop`) with a server's name when a server that
        failed at start-up came up later, or one that was restarted lists
        other tools than before: the catalogue changed."""
        self.startup_timeout = check_time_limit(startup_timeout, "startup_timeout") or 30.0
        self.shutdown_timeout = shutdown_timeout
        self._errlog = errlog
        self._configs = dict(configs)
        self._servers: dict[str, _Server] = {}
        self._thread: LoopThread | None = None
        self._closed = False
        self._tools: list[JsonObject] | None = None  # as the latest engine() lists them
        self._spawning: asyncio.Lock | None = None

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        if self._thread is None:
            raise HostStateError("McpServers is not started")
        return self._thread.loop

    # -- lifecycle ----------------------------------------------------------

    def start(self) -> McpServers:
        """Starts every server and lists its tools.  A server that fails
        closes everything and raises ServerStartError naming each failed
        server, unless ``require_all`` is false and some server came up: then
        the failed ones are logged and retried in the background with the
        usual back-off."""
        if self._thread is not None:
            raise HostStateError("McpServers is already started")
        if self._closed:
            raise HostStateError("McpServers is closed and cannot be started again; create a new one")
        self._thread = LoopThread("quorvel-mcp")
        try:
            failures = self._thread.submit(self._start_all()).result(self.startup_timeout + self.shutdown_timeout)
        except BaseException as error:  # the start-up itself got stuck, broke or was interrupted
            self.close(terminate=not isinstance(error, Exception))
            if not isinstance(error, Exception):
                raise
            failures = {name: describe_exception(error) for name in self._configs}
        if failures and (self.require_all or len(failures) == len(self._configs)):
            self.close()
            raise ServerStartError(failures)
        for name, why in failures.items():
            log.warning("MCP server '%s' failed to start: %s; serving the other servers and retrying it",
                        name, why)
            self._retrying.append(self._thread.submit(self._retry_start(self._servers[name])))
        return self

    async def _retry_start(self, server: _Server) -> None:
        """Starts a server that failed at start-up, with the restart back-off,
        until it comes up or the servers close."""
        server.pause = max(server.pause, 1.0)
        self._back_off(server)
        while not self._closed:
            await asyncio.sleep(max(0.0, server.next_start - time.monotonic()))
            async with server.restarting:
                if self._closed:
                    return
                why = await self._start_one(server)
            if why is None and server.session is not None:
                server.log.warning("MCP server '%s' is up after failing to start", server.config.name)
                self._catalogue_changed(server)
                return
            server.failure = why or server.failure
            server.log.info("MCP server '%s' still fails to start: %s", server.config.name, server.failure)
            self._back_off(server)

    def _catalogue_changed(self, server: _Server) -> None:
        self._tools = None  # listed again by the next engine()
        for callback in list(self.on_late_start):
            try:
                callback(server.config.name)
            except Exception:
                log.exception("a late-start callback failed")

    def close(self, *, terminate: bool = False) -> None:
        """Ends every session and child process; safe to repeat.

        Normally each stdio server gets the graceful MCP shutdown (its input
        closed, up to two seconds to exit).  ``terminate=True`` (used when
        leaving on KeyboardInterrupt) sends SIGTERM to every server's process
        group first, so that an interrupted run ends at once."""
        self._closed = True
        thread, self._thread = self._thread, None
        if thread is None:
            return
        for retry in self._retrying:
            retry.cancel()
        if terminate:
            self._terminate_children()
        with contextlib.suppress(Exception):
            thread.submit(self._stop_all()).result(self.shutdown_timeout + 5)
        thread.stop(self.shutdown_timeout)

    def __enter__(self) -> McpServers:
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close(terminate=kind is not None and issubclass(kind, KeyboardInterrupt))

    def _terminate_children(self) -> None:
        for server in list(self._servers.values()):
            pid = server.pid  # set from spawn to exit, handshake or not
            if pid is not None:
                with contextlib.suppress(OSError):
                    os.killpg(pid, signal.SIGTERM)

    async def _start_all(self) -> dict[str, str]:
        self._spawning = asyncio.Lock()
        self._servers = {name: _Server(config) for name, config in self._configs.items()}
        for server in self._servers.values():
            if server.config.max_concurrency is not None:
                server.slots = asyncio.Semaphore(server.config.max_concurrency)
        outcomes = await asyncio.gather(*(self._start_one(s) for s in self._servers.values()))
        return {name: why for name, why in zip(self._servers, outcomes) if why is not None}

    async def _start_one(self, server: _Server) -> str | None:
        server.stop = asyncio.Event()
        ready: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        server.task = asyncio.create_task(self._run(server, ready))
        try:
            await asyncio.wait_for(asyncio.shield(ready), self.startup_timeout)
        except asyncio.TimeoutError:
            server.task.cancel()
            with contextlib.suppress(BaseException):
                await asyncio.wait_for(server.task, self.shutdown_timeout)
            return f"no MCP handshake within {self.startup_timeout:g} s{_stderr_tail(server.stderr)}"
        except Exception as error:
            return str(error)
        return None

    async def _run(self, server: _Server, ready: asyncio.Future[None]) -> None:
        config = server.config
        try:
            async with contextlib.AsyncExitStack() as stack:
                read, write = await self._connect(stack, server)
                session = await stack.enter_async_context(ClientSession(
                    read, write, logging_callback=_log_notification(server.log),
                    message_handler=_note_progress(server.log)))
                try:
                    info = await session.initialize()
                except Exception as error:
                    # The real reason is usually on the server's stderr: wait
                    # (bounded) for the rest of it before the process is reaped.
                    if server.stderr is not None:
                        await asyncio.get_running_loop().run_in_executor(None, server.stderr.ended.wait,
                                                                         STDERR_WAIT)
                    raise _StartFailure(f"{_start_failure(error, config)}{_stderr_tail(server.stderr)}") from error
                listed = await _list_tools(session)
                kept = [tool for tool in listed if config.keeps(str(tool.get("name", "")))]
                server.tools, server.real_names, server.limits = _apply_tool_settings(config, kept, server.log)
                if listed and not server.tools:
                    server.log.warning("MCP server '%s' has no tool field: its tools filter (%s) leaves %s out",
                                       config.name, _filter_text(config),
                                       "its only tool" if len(listed) == 1 else f"all {len(listed)} of its tools")
                server.description = _server_description(info)
                server.last_error = server.failure or server.last_error
                server.session, server.failure, server.up_since = session, None, time.monotonic()
                ready.set_result(None)
                await server.stop.wait()
        except Exception as error:
            leaf = _leaf(error)
            reason = str(leaf) if isinstance(leaf, _StartFailure) else _start_failure(error, config)
            server.failure = reason
            if not ready.done():
                ready.set_exception(RuntimeError(reason))
            else:
                server.log.warning("MCP server '%s' stopped: %s", config.name, reason)
        finally:
            server.session, server.pid = None, None
            if server.failure is None:
                server.failure = "the server has been closed"

    async def _connect(self, stack: contextlib.AsyncExitStack, server: _Server) -> tuple[Any, Any]:
        config = server.config
        if config.transport == "stdio":
            env = {**get_default_environment(), **(config.env or {})}
            # Room for a result at the limit twice over (as text and as
            # structured content) and the message around it.
            limit = None if config.max_result_bytes is None else 2 * config.max_result_bytes + (1 << 20)

            def spawn(errlog: TextIO) -> Any:
                return stdio_transport(config.command, list(config.args), env=env, cwd=config.cwd, errlog=errlog,
                                       max_line=limit, name=config.name)

            if self._errlog is not None:
                return await stack.enter_async_context(spawn(self._errlog))
            errlog = server.stderr = _LogPipe(server.log)
            assert self._spawning is not None
            try:
                # One spawn at a time, so the new child can be told apart.
                async with self._spawning:
                    before = _child_pids()
                    streams = await stack.enter_async_context(spawn(errlog.writer))
                    born = _child_pids() - before
            finally:
                errlog.close_writer()  # the child holds its own copy
            server.pid = born.pop() if len(born) == 1 else None
            return streams
        if config.transport == "sse":
            from mcp.client.sse import sse_client

            streams = await stack.enter_async_context(sse_client(config.url or "", headers=dict(config.headers or {})))
            return streams[0], streams[1]
        return await _open_streamable_http(stack, config)

    async def _stop_all(self) -> None:
        tasks = [s.task for s in self._servers.values() if s.task is not None]
        for server in self._servers.values():
            server.stop.set()
        if tasks:
            await asyncio.wait(tasks, timeout=self.shutdown_timeout)

    def status(self) -> list[JsonObject]:
        """Each server's state ("up", "down" or "restarting"), its last error,
        how often it was restarted and whether it is required (its config's
        ``"required"``; every server is when all must start); safe to call
        from any thread."""
        return [server.status(self.require_all or server.config.required) for server in list(self._servers.values())]

    def sessions(self) -> list[tuple[str, ClientSession]]:
        """The live session of each server that is up, in configuration
        order; for use on :attr:`loop` (resources and prompts go through
        them, see ``passthrough``)."""
        return [(name, server.session) for name, server in self._servers.items() if server.session is not None]

    # -- catalogue ----------------------------------------------------------

    def tools(self) -> list[JsonObject]:
        """One dict per tool field, in configuration order: ``server``,
        ``tool``, ``field`` (the GraphQL field name the engine gives it),
        ``description``, ``readOnly`` and ``inputSchema`` (from tools/list)."""
        if self._tools is None:
            self.engine()
        assert self._tools is not None
        return with_input_schemas(self._tools, self.input_schemas())

    def input_schemas(self) -> dict[tuple[str, str], JsonObject]:
        return {(name, tool["name"]): tool["inputSchema"] for name, server in self._servers.items()
                for tool in server.tools if isinstance(tool.get("inputSchema"), dict)}

    def catalogue(self) -> list[JsonObject]:
        """Catalogue entries grouped by server, in configuration order.  MCP's
        default for ``readOnlyHint`` is false, so a tool without the hint is
        written as not read-only."""
        entries: list[JsonObject] = []
        for name, server in self._servers.items():
            tools: list[JsonObject] = []
            for tool in server.tools:
                entry: JsonObject = {"name": tool["name"]}
                if tool.get("description"):
                    entry["description"] = tool["description"]
                entry["annotations"] = {"readOnlyHint": _read_only(tool)}
                entry.update((k, tool[k]) for k in ("inputSchema", "outputSchema") if isinstance(tool.get(k), dict))
                tools.append(entry)
            group: JsonObject = {"server": name, "tools": tools}
            if server.description:
                group["serverDescription"] = server.description
            entries.append(group)
        return entries

    def catalogue_json(self) -> str:
        return json.dumps(self.catalogue(), ensure_ascii=False)

    def engine(self) -> SchemaEngine:
        """An engine over the servers' tools.  Two tools whose names map to
        the same GraphQL field are logged as a warning: only one is reachable."""
        engine = SchemaEngine(self.catalogue_json())
        self._tools = engine_tools(engine)
        owners: dict[str, str] = {}
        for entry in self._tools:
            label = f"{entry['server']}.{entry['tool']}"
            if entry["field"] in owners:
                log.warning("tools %s and %s both become the GraphQL field %s; only %s is reachable",
                            owners[entry["field"]], label, entry["field"], owners[entry["field"]])
            else:
                owners[entry["field"]] = label
        return engine

    # -- calls --------------------------------------------------------------

    async def call_tool(self, server: str, tool: str, arguments: Mapping[str, Any]) -> JsonObject:
        """Calls one tool; runs on :attr:`loop`.  A protocol or connection
        failure raises McpCallError; a tool-level error is a result with
        ``isError`` true, as the server reported it.  A server whose
        connection broke is started again first (see the module notes)."""
        record = self._servers.get(server)
        if record is None:
            raise LookupError(f"no MCP server named '{server}'")
        # The limit runs from here: a call waiting for one of the server's
        # slots is as late for its caller as one the server is slow to answer.
        limit = record.limits.get(tool, record.config.time_limit)
        waiting = _SlotWait(record.slots)
        try:
            return await asyncio.wait_for(self._call_in_slot(record, tool, arguments, waiting), limit)
        except asyncio.TimeoutError:
            where = (f"; it waited the whole time for one of the server's {record.config.max_concurrency} slots"
                     if not waiting.entered else "")
            raise McpCallError(f"MCP server '{record.config.name}' did not answer {tool} within "
                               f"{limit:g} s{where}") from None

    async def _call_in_slot(self, server: _Server, tool: str, arguments: Mapping[str, Any],
                            waiting: _SlotWait) -> JsonObject:
        async with waiting:
            return await self._call(server, tool, arguments)

    async def _call(self, server: _Server, tool: str, arguments: Mapping[str, Any]) -> JsonObject:
        name = server.config.name
        session = await self._session(server)
        try:
            result = await session.call_tool(server.real_names.get(tool, tool), dict(arguments))
        except Exception as error:
            leaf = _leaf(error)
            if not _is_protocol_error(leaf):
                self._mark_down(server, describe_exception(leaf) or "connection lost")
            raise McpCallError(f"MCP server '{name}' could not complete {tool}: {describe_exception(leaf)}") from error
        answer = _result_json(result)
        _check_result_size(answer, server.config, tool)
        return answer

    async def _session(self, server: _Server) -> ClientSession:
        if server.session is not None:
            return server.session
        name = server.config.name
        async with server.restarting:
            if server.session is not None:
                return server.session
            if self._closed:
                raise McpCallError(f"MCP server '{name}' is not running: the servers are closing")
            wait = server.next_start - time.monotonic()
            if wait > 0:
                raise McpCallError(f"MCP server '{name}' is down ({server.failure}); "
                                   f"next restart attempt in {wait:.1f} s")
            server.log.info("restarting MCP server '%s' (%s)", name, server.failure)
            listed = [tool.get("name") for tool in server.tools]
            why = await self._start_one(server)
            if why is not None or server.session is None:
                self._back_off(server)
                server.failure = why or server.failure
                raise McpCallError(f"MCP server '{name}' is down and could not be restarted: {why}")
            server.restarts += 1
            if [tool.get("name") for tool in server.tools] != listed:
                # Upgraded while it was down, say: the tools it has now are
                # served from the next request on (this call goes ahead).
                server.log.warning("MCP server '%s' came back with other tools", name)
                self._catalogue_changed(server)
            return server.session

    def _mark_down(self, server: _Server, reason: str) -> None:
        if server.session is None:
            return
        if time.monotonic() - server.up_since >= STABLE_AFTER:
            server.pause = 0.0
        self._back_off(server)
        server.session, server.failure = None, f"it stopped answering: {reason}"
        server.log.warning("MCP server '%s' is down: %s", server.config.name, reason)
        server.stop.set()  # lets its task close the connection and end the process

    @staticmethod
    def _back_off(server: _Server) -> None:
        """The first failure after a healthy run restarts at once; each quick
        failure after that doubles the pause, up to RESTART_PAUSE_MAX."""
        server.next_start = time.monotonic() + server.pause
        server.pause = min(RESTART_PAUSE_MAX, max(1.0, server.pause * 2))

    def serve(self, host: ToolHost, *, time_limit: float | None = None) -> None:
        """Makes ``host`` route every call without a handler of its own here,
        and gives it the tools' input schemas for :meth:`ToolHost.catalogue_tools`
        and the catalogue text its engine was built from, for the typed layer."""

        async def forward(call: ToolCall) -> JsonObject:
            config = self._configs.get(call.server)
            if config is not None and config.read_only and call.operation == "mutation":
                raise ReadOnlyError(f"refused {call.label}: the tool is not read-only and server "
                                    f"'{call.server}' is configured read_only")
            return await self.call_tool(call.server, call.tool, call.arguments)

        host.input_schemas.update(self.input_schemas())
        host.catalogue_json = self.catalogue_json()
        host.server_status = self.status
        host.passthrough = McpPassthrough(self)
        host.register_fallback(forward, time_limit=time_limit, loop=self.loop)


@contextlib.contextmanager
def serve_config(
    config: Mapping[str, ServerConfig] | str | os.PathLike[str],
    *,
    max_workers: int = 8,
    time_limit: float | None = None,
    startup_timeout: float = 30.0,
    shutdown_timeout: float = 10.0,
    errlog: TextIO | None = None,
    read_only: bool = False,
    require_all: bool = True,
    on_new_host: Callable[[ToolHost], None] | None = None,
) -> Iterator[ToolHost]:
    """Starts the servers, builds an engine from their tools and yields a
    running ToolHost that serves it; closes host, sessions and processes.
    ``read_only`` makes the host refuse every call to a tool that is not
    read-only; ``host.catalogue_tools()`` carries the tools' input schemas.
    With ``require_all`` false, servers that fail to start are left out
    (see :meth:`McpServers.start`); when one comes up later, a new running
    host over all the servers' tools goes to ``on_new_host``.  Every host
    made stays open until the end, for the queries still running on it."""
    limit = check_time_limit(time_limit)
    with McpServers(config, startup_timeout=startup_timeout, shutdown_timeout=shutdown_timeout,
                    errlog=errlog, require_all=require_all) as servers, contextlib.ExitStack() as hosts:

        def new_host() -> ToolHost:
            host = hosts.enter_context(ToolHost(servers.engine(), max_workers=max_workers, time_limit=limit,
                                                read_only=read_only, shutdown_timeout=shutdown_timeout))
            servers.serve(host)
            return host

        def late_start(name: str) -> None:
            def hand_over() -> None:
                try:
                    host = new_host()
                except Exception:
                    log.exception("could not serve the tools of MCP server '%s', which came up late", name)
                    return
                log.warning("MCP server '%s' is up: now serving %d tool fields", name, len(host.catalogue_tools()))
                if on_new_host is not None:
                    on_new_host(host)

            # Off the servers' loop: the new host's start must not hold up tool calls.
            threading.Thread(target=hand_over, name="quorvel-late-start", daemon=True).start()

        servers.on_late_start.append(late_start)
        yield new_host()


def _child_pids() -> set[int]:
    """This process's children (empty where /proc does not list them)."""
    pids: set[int] = set()
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return pids
    for task in tasks:
        try:
            with open(f"/proc/self/task/{task}/children") as listing:
                pids.update(int(pid) for pid in listing.read().split())
        except (OSError, ValueError):
            continue
    return pids


class _LogPipe:
    """A pipe whose lines (a child's stderr) go to ``logger`` at INFO level;
    the last few are kept for the message of a failed start."""

    def __init__(self, logger: logging.Logger) -> None:
        read_fd, write_fd = os.pipe()
        self.writer: TextIO = os.fdopen(write_fd, "w")
        self.tail: collections.deque[str] = collections.deque(maxlen=STDERR_TAIL)
        self.ended = threading.Event()
        reader = os.fdopen(read_fd, "r", encoding="utf-8", errors="replace")
        threading.Thread(target=self._forward, args=(reader, logger), name="quorvel-server-log",
                         daemon=True).start()

    def close_writer(self) -> None:
        with contextlib.suppress(OSError):
            self.writer.close()

    def _forward(self, reader: TextIO, logger: logging.Logger) -> None:
        try:
            with reader:
                for line in reader:
                    if line.strip():
                        self.tail.append(line.rstrip())
                        logger.info("%s", line.rstrip())
        finally:
            self.ended.set()


class _StartFailure(Exception):
    """A start that failed, with its message already written for people."""


def _stderr_tail(pipe: _LogPipe | None) -> str:
    if pipe is None or not pipe.tail:
        return ""
    return "; its stderr ended with:\n    " + "\n    ".join(pipe.tail)


def _filter_text(config: ServerConfig) -> str:
    parts = [f"include {list(config.include)}"] if config.include else []
    if config.exclude:
        parts.append(f"exclude {list(config.exclude)}")
    return ", ".join(parts)


_LEVELS = {"debug": logging.DEBUG, "info": logging.INFO, "notice": logging.INFO, "warning": logging.WARNING}


def _log_notification(logger: logging.Logger) -> Any:
    async def log_message(params: mcp_types.LoggingMessageNotificationParams) -> None:
        logger.log(_LEVELS.get(str(params.level), logging.ERROR), "%s", params.data)

    return log_message


def _note_progress(logger: logging.Logger) -> Any:
    async def handle(message: mcp_types.ServerNotification | Exception) -> None:
        if isinstance(message, mcp_types.ProgressNotification):
            params = message.params
            logger.debug("progress %s/%s %s", params.progress, params.total or "?", params.message or "")
        elif isinstance(message, Exception):
            logger.warning("transport error: %s", describe_exception(message))
        await asyncio.sleep(0)

    return handle


async def _open_streamable_http(stack: contextlib.AsyncExitStack, config: ServerConfig) -> tuple[Any, Any]:
    from mcp.client import streamable_http
    from mcp.shared._httpx_utils import create_mcp_http_client

    client = await stack.enter_async_context(create_mcp_http_client(headers=dict(config.headers or {})))
    streams = await stack.enter_async_context(streamable_http.streamable_http_client(config.url or "",
                                                                                     http_client=client))
    return streams[0], streams[1]


def _apply_tool_settings(
    config: ServerConfig, tools: list[JsonObject], logger: logging.Logger
) -> tuple[list[JsonObject], dict[str, str], dict[str, float]]:
    """The tools as the config shows them (renamed, described, marked
    read-only or not), the real name of each renamed one, and the per-tool
    time limits."""
    shown: list[JsonObject] = []
    real_names: dict[str, str] = {}
    limits: dict[str, float] = {}
    for tool in tools:
        real = str(tool.get("name", ""))
        settings = config.settings_for(real)
        if settings is None:
            shown.append(tool)
            continue
        tool = dict(tool)
        if settings.name is not None:
            tool["name"] = settings.name
            real_names[settings.name] = real
        if settings.description is not None:
            tool["description"] = settings.description
        if settings.read_only is not None:
            tool["annotations"] = {**(tool.get("annotations") or {}), "readOnlyHint": settings.read_only}
        if settings.time_limit is not None:
            limits[tool["name"]] = settings.time_limit
        shown.append(tool)
    names = [str(tool.get("name", "")) for tool in tools]
    for settings in config.tool_settings:
        if not any(settings.matches(name) for name in names):
            logger.warning("MCP server '%s': tool_settings %r matches none of its tools", config.name,
                           settings.pattern)
    return shown, real_names, limits


def _read_only(tool: Mapping[str, Any]) -> bool:
    return (tool.get("annotations") or {}).get("readOnlyHint") is True


async def _list_tools(session: ClientSession) -> list[JsonObject]:
    tools: list[JsonObject] = []
    cursor: str | None = None
    while True:
        params = mcp_types.PaginatedRequestParams(cursor=cursor) if cursor is not None else None
        page = await session.list_tools(params=params)
        dumped = page.model_dump(mode="json", by_alias=True, exclude_none=True)
        tools.extend(dumped.get("tools", []))
        cursor = dumped.get("nextCursor")
        if not cursor:
            return tools


def _server_description(info: Any) -> str:
    dumped = info.model_dump(mode="json", by_alias=True, exclude_none=True)
    instructions = str(dumped.get("instructions") or "").strip()
    if instructions:
        return instructions.splitlines()[0]
    server_info = dumped.get("serverInfo") or {}
    return " ".join(str(server_info[k]) for k in ("name", "version") if server_info.get(k))


def _result_json(result: Any) -> JsonObject:
    dumped = result.model_dump(mode="json", by_alias=True, exclude_none=True)
    answer: JsonObject = {
        # exclude_unset keeps each item exactly as the server sent it.
        "content": [item.model_dump(mode="json", by_alias=True, exclude_unset=True) for item in result.content]
    }
    if "structuredContent" in dumped:
        answer["structuredContent"] = dumped["structuredContent"]
    answer["isError"] = bool(dumped.get("isError", False))
    return answer


def _leaf(error: BaseException) -> BaseException:
    """The first real exception inside (nested) task-group exception groups."""
    while isinstance(error, BaseExceptionGroup) and error.exceptions:
        error = error.exceptions[0]
    return error


def _is_protocol_error(error: BaseException) -> bool:
    """An error the server answered with (the connection is fine)."""
    return isinstance(error, MCPError) and error.code != mcp_types.CONNECTION_CLOSED


def _start_failure(error: BaseException, config: ServerConfig) -> str:
    leaf = _leaf(error)
    if isinstance(leaf, FileNotFoundError):
        if config.cwd is not None and not os.path.isdir(config.cwd):
            return f"working directory not found: {config.cwd}"
        return f"command not found: {config.command}"
    if isinstance(leaf, PermissionError):
        return f"command is not executable: {config.command}"
    if config.url is not None and "Connect" in type(leaf).__name__:
        return f"cannot connect to {config.url}: {describe_exception(leaf)}"
    return describe_exception(leaf)
