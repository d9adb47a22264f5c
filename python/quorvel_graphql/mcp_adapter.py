"""Serve an engine's tool calls with real MCP tool servers over stdio.

Configuration (JSON)::

    {"servers": {"time": {"command": "mcp-server-time", "args": ["--local-timezone", "UTC"],
                          "env": {"TZ": "UTC"}, "cwd": "/somewhere"}}}

``"mcpServers"`` is accepted in place of ``"servers"``.  Each server is started
as a child process, its tools are listed into catalogue JSON (grouped by
server), and every bridge request for ``server.tool`` becomes an MCP
``tools/call`` on that server.  The answer is the tool's result as JSON:
``{"content": [...], "structuredContent": ..., "isError": bool}``
(``structuredContent`` only when the server gave one).

The SDK is asyncio-based; all sessions live on one event-loop thread owned by
:class:`McpServers`, and bridge requests are awaited there directly, so a
fan-out query does not tie up one worker thread per call.
"""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import json
import os
import sys
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any, TextIO

try:
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import get_default_environment, stdio_client
except ImportError as _missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quorvel_graphql.mcp_adapter needs the MCP Python SDK, which is not installed "
        "(pip install 'quorvel-graphql[mcp]' or pip install 'mcp>=1.2')"
    ) from _missing

from _graphql import SchemaEngine

from .errors import ConfigError, McpCallError, ServerStartError
from .host import ToolCall, ToolHost, describe_exception
from .loop_thread import LoopThread

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

JsonObject = dict[str, Any]


@dataclass(frozen=True)
class ServerConfig:
    name: str
    command: str
    args: tuple[str, ...] = ()
    env: Mapping[str, str] | None = None
    cwd: str | None = None


def load_config(path: str | os.PathLike[str]) -> dict[str, ServerConfig]:
    """Reads a configuration file; ConfigError names the file and the fault."""
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except OSError as error:
        raise ConfigError(f"cannot read server config {os.fspath(path)}: {error.strerror or error}") from error
    try:
        data = json.loads(text)
    except json.JSONDecodeError as error:
        raise ConfigError(f"server config {os.fspath(path)} is not valid JSON: {error}") from error
    return parse_config(data, origin=os.fspath(path))


def parse_config(data: Any, origin: str = "server config") -> dict[str, ServerConfig]:
    """Validates already-parsed configuration JSON."""
    if not isinstance(data, dict):
        raise ConfigError(f"{origin}: the top level must be an object")
    table = data.get("servers", data.get("mcpServers"))
    if not isinstance(table, dict):
        raise ConfigError(f"{origin}: expected an object under \"servers\" (or \"mcpServers\")")
    configs: dict[str, ServerConfig] = {}
    for name, entry in table.items():
        where = f"{origin}: server '{name}'"
        if not isinstance(entry, dict):
            raise ConfigError(f"{where} must be an object")
        command = entry.get("command")
        if not isinstance(command, str) or not command.strip():
            raise ConfigError(f"{where} needs a non-empty string \"command\"")
        args = entry.get("args", [])
        if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
            raise ConfigError(f"{where}: \"args\" must be a list of strings")
        env = entry.get("env")
        if env is not None and not (
            isinstance(env, dict) and all(isinstance(k, str) and isinstance(v, str) for k, v in env.items())
        ):
            raise ConfigError(f"{where}: \"env\" must map names to strings")
        cwd = entry.get("cwd")
        if cwd is not None and not isinstance(cwd, str):
            raise ConfigError(f"{where}: \"cwd\" must be a string")
        configs[name] = ServerConfig(name, command, tuple(args), env, cwd)
    return configs


@dataclass
class _Server:
    config: ServerConfig
    stop: asyncio.Event = field(default_factory=asyncio.Event)
    session: ClientSession | None = None
    tools: list[JsonObject] = field(default_factory=list)
    description: str = ""
    failure: str | None = None
    task: asyncio.Task[None] | None = None


class McpServers:
    """The configured MCP servers, started together and closed together."""

    def __init__(
        self,
        servers: Mapping[str, ServerConfig] | str | os.PathLike[str],
        *,
        startup_timeout: float = 30.0,
        shutdown_timeout: float = 10.0,
        errlog: TextIO | None = None,
    ) -> None:
        configs = servers if isinstance(servers, Mapping) else load_config(servers)
        self.startup_timeout = startup_timeout
        self.shutdown_timeout = shutdown_timeout
        self._errlog = errlog
        self._configs = dict(configs)
        self._servers: dict[str, _Server] = {}
        self._thread: LoopThread | None = None

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        if self._thread is None:
            raise RuntimeError("McpServers is not started")
        return self._thread.loop

    # -- lifecycle ----------------------------------------------------------

    def start(self) -> McpServers:
        """Starts every server and lists its tools; on any failure closes what
        did start and raises ServerStartError naming each failed server."""
        if self._thread is not None:
            raise RuntimeError("McpServers is already started")
        self._thread = LoopThread("quorvel-mcp")
        try:
            failures = self._thread.submit(self._start_all()).result(self.startup_timeout + self.shutdown_timeout)
        except Exception as error:  # the start-up itself got stuck or broke
            failures = {name: describe_exception(error) for name in self._configs}
        if failures:
            self.close()
            raise ServerStartError(failures)
        return self

    def close(self) -> None:
        thread, self._thread = self._thread, None
        if thread is None:
            return
        with contextlib.suppress(Exception):
            thread.submit(self._stop_all()).result(self.shutdown_timeout + 5)
        thread.stop(self.shutdown_timeout)

    def __enter__(self) -> McpServers:
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    async def _start_all(self) -> dict[str, str]:
        self._servers = {name: _Server(config) for name, config in self._configs.items()}
        outcomes = await asyncio.gather(*(self._start_one(s) for s in self._servers.values()))
        return {name: why for name, why in zip(self._servers, outcomes) if why is not None}

    async def _start_one(self, server: _Server) -> str | None:
        ready: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        server.task = asyncio.create_task(self._run(server, ready))
        try:
            await asyncio.wait_for(asyncio.shield(ready), self.startup_timeout)
        except asyncio.TimeoutError:
            server.task.cancel()
            return f"no MCP handshake within {self.startup_timeout} s"
        except Exception as error:
            return str(error)
        return None

    async def _run(self, server: _Server, ready: asyncio.Future[None]) -> None:
        config = server.config
        try:
            async with contextlib.AsyncExitStack() as stack:
                env = {**get_default_environment(), **config.env} if config.env else None
                params = StdioServerParameters(command=config.command, args=list(config.args), env=env, cwd=config.cwd)
                read, write = await stack.enter_async_context(stdio_client(params, errlog=self._errlog or sys.stderr))
                session = await stack.enter_async_context(ClientSession(read, write))
                info = await session.initialize()
                server.tools = await _list_tools(session)
                server.description = _server_description(info)
                server.session = session
                ready.set_result(None)
                await server.stop.wait()
        except Exception as error:
            reason = _start_failure(error, config)
            server.failure = reason
            if not ready.done():
                ready.set_exception(RuntimeError(reason))
        finally:
            server.session = None
            if server.failure is None:
                server.failure = "the server has been closed"

    async def _stop_all(self) -> None:
        tasks = [s.task for s in self._servers.values() if s.task is not None]
        for server in self._servers.values():
            server.stop.set()
        if tasks:
            await asyncio.wait(tasks, timeout=self.shutdown_timeout)

    # -- catalogue ----------------------------------------------------------

    @property
    def tools(self) -> dict[str, list[JsonObject]]:
        """Each server's tools as its tools/list gave them (camelCase keys)."""
        return {name: list(server.tools) for name, server in self._servers.items()}

    def catalogue(self) -> list[JsonObject]:
        """Catalogue entries grouped by server, in configuration order."""
        entries: list[JsonObject] = []
        for name, server in self._servers.items():
            tools: list[JsonObject] = []
            for tool in server.tools:
                entry: JsonObject = {"name": tool["name"]}
                if tool.get("description"):
                    entry["description"] = tool["description"]
                hint = (tool.get("annotations") or {}).get("readOnlyHint")
                if isinstance(hint, bool):
                    entry["annotations"] = {"readOnlyHint": hint}
                tools.append(entry)
            group: JsonObject = {"server": name, "tools": tools}
            if server.description:
                group["serverDescription"] = server.description
            entries.append(group)
        return entries

    def catalogue_json(self) -> str:
        return json.dumps(self.catalogue(), ensure_ascii=False)

    def engine(self) -> SchemaEngine:
        return SchemaEngine(self.catalogue_json())

    # -- calls --------------------------------------------------------------

    async def call_tool(self, server: str, tool: str, arguments: Mapping[str, Any]) -> JsonObject:
        """Calls one tool; runs on :attr:`loop`.  A protocol or connection
        failure raises McpCallError; a tool-level error is a result with
        ``isError`` true, as the server reported it."""
        record = self._servers.get(server)
        if record is None:
            raise LookupError(f"no MCP server named '{server}'")
        session = record.session
        if session is None:
            raise McpCallError(f"MCP server '{server}' is not running: {record.failure}")
        try:
            result = await session.call_tool(tool, dict(arguments))
        except Exception as error:
            raise McpCallError(
                f"MCP server '{server}' could not complete {tool}: {describe_exception(_leaf(error))}"
            ) from error
        return _result_json(result)

    def call(self, server: str, tool: str, arguments: Mapping[str, Any], timeout: float | None = None) -> JsonObject:
        """Blocking :meth:`call_tool` for threads other than the loop's."""
        future = asyncio.run_coroutine_threadsafe(self.call_tool(server, tool, arguments), self.loop)
        try:
            return future.result(timeout)
        except BaseException:
            future.cancel()
            raise

    def serve(self, host: ToolHost, *, time_limit: float | None = None) -> None:
        """Makes ``host`` route every call without a handler of its own here."""

        async def forward(call: ToolCall) -> JsonObject:
            return await self.call_tool(call.server, call.tool, call.arguments)

        host.register_fallback(forward, time_limit=time_limit, loop=self.loop)


@contextlib.contextmanager
def serve_config(
    config: Mapping[str, ServerConfig] | str | os.PathLike[str],
    *,
    max_workers: int = 8,
    time_limit: float | None = None,
    startup_timeout: float = 30.0,
    errlog: TextIO | None = None,
) -> Iterator[ToolHost]:
    """Starts the servers, builds an engine from their tools and yields a
    running ToolHost that serves it; closes host, sessions and processes."""
    with McpServers(config, startup_timeout=startup_timeout, errlog=errlog) as servers:
        with ToolHost(servers.engine(), max_workers=max_workers, time_limit=time_limit) as host:
            servers.serve(host)
            yield host


async def _list_tools(session: ClientSession) -> list[JsonObject]:
    # The SDK moved the cursor into a params object in 2.x; accept both.
    paged_by_params = "params" in inspect.signature(session.list_tools).parameters
    lister: Any = session.list_tools
    tools: list[JsonObject] = []
    cursor: str | None = None
    while True:
        if cursor is None:
            page = await lister()
        elif paged_by_params:
            from mcp.types import PaginatedRequestParams

            page = await lister(params=PaginatedRequestParams(cursor=cursor))
        else:
            page = await lister(cursor=cursor)
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


def _start_failure(error: BaseException, config: ServerConfig) -> str:
    leaf = _leaf(error)
    if isinstance(leaf, FileNotFoundError):
        if config.cwd is not None and not os.path.isdir(config.cwd):
            return f"working directory not found: {config.cwd}"
        return f"command not found: {config.command}"
    if isinstance(leaf, PermissionError):
        return f"command is not executable: {config.command}"
    return describe_exception(leaf)
