"""The configuration of a set of MCP tool servers: reading and checking it,
expanding ``${NAME}`` in header values, the per-server tool filters and
the per-tool settings.

Nothing here needs the MCP SDK, so a configuration can be checked (and its
errors reported) where the SDK is not installed.  The format is described in
:mod:`quorvel_graphql.mcp_adapter` and docs/host-kit.md.
"""

from __future__ import annotations

import fnmatch
import json
import os
import re
import shutil
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from .common import check_time_limit
from .errors import ConfigError

__all__ = ["SERVER_KEYS", "TOP_KEYS", "TRANSPORTS", "ServerConfig", "ToolSettings", "load_config", "parse_config"]

TRANSPORTS = {"stdio": "stdio", "streamable-http": "streamable-http", "streamable_http": "streamable-http",
              "streamablehttp": "streamable-http", "http": "streamable-http", "sse": "sse"}
SERVER_KEYS = ("command", "args", "env", "cwd", "url", "transport", "type", "headers", "tools", "time_limit",
               "max_concurrency", "read_only", "tool_settings", "max_result_bytes")
TOOL_SETTING_KEYS = ("read_only", "readOnly", "time_limit", "description", "name")
MAX_RESULT_BYTES = 16 << 20  # a server's largest result unless its config says otherwise


@dataclass(frozen=True, slots=True)
class ToolSettings:
    """What the config says of the tools a name or glob ``pattern`` matches,
    over what their server says; None leaves the server's word."""

    pattern: str
    read_only: bool | None = None
    time_limit: float | None = None
    description: str | None = None
    name: str | None = None  # the tool's name in its field, <server>_<name>

    def matches(self, tool: str) -> bool:
        return fnmatch.fnmatchcase(tool, self.pattern)

TOP_KEYS = ("servers", "mcpServers", "read_only")


@dataclass(frozen=True, slots=True)
class ServerConfig:
    name: str
    command: str = ""
    args: tuple[str, ...] = ()
    env: Mapping[str, str] | None = field(default=None, repr=False)
    cwd: str | None = None
    url: str | None = None
    transport: str = "stdio"
    headers: Mapping[str, str] | None = field(default=None, repr=False)  # may hold secrets: never shown
    include: tuple[str, ...] = ()
    exclude: tuple[str, ...] = ()
    time_limit: float | None = None
    max_concurrency: int | None = None
    read_only: bool = False
    tool_settings: tuple[ToolSettings, ...] = ()
    max_result_bytes: int | None = MAX_RESULT_BYTES

    def __post_init__(self) -> None:
        if self.url is not None and self.transport == "stdio":
            object.__setattr__(self, "transport", "streamable-http")

    @property
    def where(self) -> str:
        """The command or URL, for messages (no headers, no environment)."""
        return self.url if self.url is not None else self.command

    def cannot_start(self) -> str | None:
        """Why this stdio server cannot start, when that is certain without
        starting it: its working directory is missing, or its command is a
        bare name found in none of the PATH's folders.  None when it may
        start, or when only starting it can tell."""
        if self.url is not None:
            return None
        if self.cwd is not None and not os.path.isdir(self.cwd):
            return f"working directory not found: {self.cwd}"
        path = (self.env or {}).get("PATH", os.environ.get("PATH", os.defpath))
        if os.sep in self.command or not all(os.path.isabs(folder) for folder in path.split(os.pathsep)):
            return None  # resolved from the child's working directory: only the start can tell
        return None if shutil.which(self.command, path=path) else f"command not found: {self.command}"

    def keeps(self, tool: str) -> bool:
        """Whether the include/exclude filters let ``tool`` become a field."""
        if self.include and not any(fnmatch.fnmatchcase(tool, p) for p in self.include):
            return False
        return not any(fnmatch.fnmatchcase(tool, p) for p in self.exclude)

    def settings_for(self, tool: str) -> ToolSettings | None:
        """The settings of ``tool`` (its real name): those of every matching
        glob in config order, then those of its exact name, later ones
        overriding earlier ones field by field."""
        matching = [s for s in self.tool_settings if s.pattern != tool and s.matches(tool)]
        matching += [s for s in self.tool_settings if s.pattern == tool]
        if not matching:
            return None
        merged: dict[str, Any] = {"pattern": tool}
        for settings in matching:
            merged.update({key: getattr(settings, key) for key in ("read_only", "time_limit", "description", "name")
                           if getattr(settings, key) is not None})
        return ToolSettings(**merged)


def load_config(path: str | os.PathLike[str]) -> dict[str, ServerConfig]:
    """Reads a configuration file; ConfigError names the file and the fault."""
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise ConfigError(f"cannot read server config {os.fspath(path)}: {error.strerror or error}") from error
    try:
        data = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ConfigError(f"server config {os.fspath(path)} is not UTF-8 text: {error.reason} "
                          f"at byte {error.start}") from error
    except json.JSONDecodeError as error:
        raise ConfigError(f"server config {os.fspath(path)} is not valid JSON: {error}") from error
    folder = os.path.dirname(os.path.abspath(os.fspath(path)))
    return parse_config(data, origin=os.fspath(path), base_dir=folder)


def parse_config(data: Any, origin: str = "server config", base_dir: str | None = None) -> dict[str, ServerConfig]:
    """Validates already-parsed configuration JSON.  A relative ``cwd`` is
    resolved against ``base_dir`` when given (the config file's folder)."""
    if not isinstance(data, dict):
        raise ConfigError(f"{origin}: the top level must be an object")
    _check_keys(data, TOP_KEYS, origin)
    table = data.get("servers", data.get("mcpServers"))
    if not isinstance(table, dict):
        raise ConfigError(f"{origin}: expected an object under \"servers\" (or \"mcpServers\")")
    read_only = _flag(data, "read_only", origin, False)
    return {name: _server_config(name, entry, f"{origin}: server '{name}'", base_dir, read_only)
            for name, entry in table.items()}


def _server_config(name: str, entry: Any, where: str, base_dir: str | None, read_only: bool) -> ServerConfig:
    if not isinstance(entry, dict):
        raise ConfigError(f"{where} must be an object")
    _check_keys(entry, SERVER_KEYS, where)
    command, url = entry.get("command"), entry.get("url")
    if (command is None) == (url is None):
        raise ConfigError(f"{where} needs either a non-empty string \"command\" or a \"url\" (not both)")
    if command is not None and (not isinstance(command, str) or not command.strip()):
        raise ConfigError(f"{where} needs a non-empty string \"command\"")
    if url is not None and (not isinstance(url, str) or not re.match(r"https?://[^/\s]+", url)):
        raise ConfigError(f"{where}: \"url\" must be an http:// or https:// URL")
    transport = _transport(entry, where, url is not None)
    args = entry.get("args", [])
    if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
        raise ConfigError(f"{where}: \"args\" must be a list of strings")
    env = _string_map(entry, "env", where)
    cwd = entry.get("cwd")
    if cwd is not None and not isinstance(cwd, str):
        raise ConfigError(f"{where}: \"cwd\" must be a string")
    if cwd is not None and base_dir is not None:
        cwd = os.path.normpath(os.path.join(base_dir, os.path.expanduser(cwd)))
    headers = _string_map(entry, "headers", where)
    if headers is not None:
        headers = {key: _expand(value, f"{where}: header {key!r}") for key, value in headers.items()}
    include, exclude = _tool_filters(entry.get("tools"), where)
    limit = _time_limit(entry.get("time_limit"), where)
    concurrency = entry.get("max_concurrency")
    if concurrency is not None and (isinstance(concurrency, bool) or not isinstance(concurrency, int)
                                    or concurrency < 1):
        raise ConfigError(f"{where}: \"max_concurrency\" must be a whole number of at least 1")
    result_limit = entry.get("max_result_bytes", MAX_RESULT_BYTES)
    if result_limit is not None and (isinstance(result_limit, bool) or not isinstance(result_limit, int)
                                     or result_limit < 1):
        raise ConfigError(f"{where}: \"max_result_bytes\" must be a whole number of at least 1, or null for none")
    return ServerConfig(name, command or "", tuple(args), env, cwd, url, transport, headers, include, exclude,
                        limit, concurrency, _flag(entry, "read_only", where, read_only),
                        _tool_settings(entry.get("tool_settings"), where), result_limit)


def _time_limit(value: Any, where: str) -> float | None:
    if isinstance(value, bool):  # float() would take true as one second
        raise ConfigError(f"{where}: \"time_limit\" must be a positive, finite number of seconds")
    try:
        return check_time_limit(value, f"{where}: \"time_limit\"")
    except ValueError as error:
        raise ConfigError(str(error)) from None


def _tool_settings(value: Any, where: str) -> tuple[ToolSettings, ...]:
    if value is None:
        return ()
    if not isinstance(value, dict):
        raise ConfigError(f"{where}: \"tool_settings\" must map tool names or glob patterns to objects of settings")
    return tuple(_one_tool_settings(pattern, entry, f"{where}: tool_settings {pattern!r}")
                 for pattern, entry in value.items())


def _one_tool_settings(pattern: str, entry: Any, where: str) -> ToolSettings:
    if not pattern:
        raise ConfigError(f"{where}: the tool name or pattern must not be empty")
    if not isinstance(entry, dict):
        raise ConfigError(f"{where} must be an object (keys: {', '.join(TOOL_SETTING_KEYS)})")
    _check_keys(entry, TOOL_SETTING_KEYS, where)
    if "read_only" in entry and "readOnly" in entry:
        raise ConfigError(f"{where}: give \"read_only\" or \"readOnly\", not both")
    read_only = entry.get("read_only", entry.get("readOnly"))
    if read_only is not None and not isinstance(read_only, bool):
        raise ConfigError(f"{where}: \"read_only\" must be true or false")
    texts = {}
    for key in ("description", "name"):
        text = entry.get(key)
        if text is not None and (not isinstance(text, str) or not text.strip()):
            raise ConfigError(f"{where}: \"{key}\" must be a non-empty string")
        texts[key] = text
    if texts["name"] is not None and any(c in pattern for c in "*?["):
        raise ConfigError(f"{where}: \"name\" renames one tool, so it needs the tool's exact name, not a pattern")
    return ToolSettings(pattern, read_only, _time_limit(entry.get("time_limit"), where), texts["description"],
                        texts["name"])


def _check_keys(entry: Mapping[str, Any], known: tuple[str, ...], where: str) -> None:
    unknown = [key for key in entry if key not in known]
    if unknown:
        raise ConfigError(f"{where}: unknown key {unknown[0]!r} (known keys: {', '.join(known)})")


def _flag(entry: Mapping[str, Any], key: str, where: str, default: bool) -> bool:
    value = entry.get(key, default)
    if not isinstance(value, bool):
        raise ConfigError(f"{where}: \"{key}\" must be true or false")
    return value


def _transport(entry: Mapping[str, Any], where: str, remote: bool) -> str:
    given = entry.get("transport", entry.get("type"))
    if given is None:
        return "streamable-http" if remote else "stdio"
    transport = TRANSPORTS.get(given) if isinstance(given, str) else None
    if transport is None:
        raise ConfigError(f"{where}: unknown transport {given!r} (use \"stdio\", \"streamable-http\" or \"sse\")")
    if (transport == "stdio") == remote:
        raise ConfigError(f"{where}: transport {given!r} does not fit a server given by "
                          f"{'url' if remote else 'command'}")
    return transport


def _string_map(entry: Mapping[str, Any], key: str, where: str) -> dict[str, str] | None:
    value = entry.get(key)
    if value is None:
        return None
    if not (isinstance(value, dict) and all(isinstance(k, str) and isinstance(v, str) for k, v in value.items())):
        raise ConfigError(f"{where}: \"{key}\" must map names to strings")
    return dict(value)


def _expand(value: str, where: str) -> str:
    def variable(match: re.Match[str]) -> str:
        name = match.group(1)
        if name not in os.environ:
            raise ConfigError(f"{where} names the environment variable {name}, which is not set")
        return os.environ[name]

    return re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}", variable, value)


def _tool_filters(value: Any, where: str) -> tuple[tuple[str, ...], tuple[str, ...]]:
    if value is None:
        return (), ()
    if not isinstance(value, dict):
        raise ConfigError(f"{where}: \"tools\" must be an object with \"include\" and/or \"exclude\" lists")
    _check_keys(value, ("include", "exclude"), f"{where}: \"tools\"")
    lists = []
    for key in ("include", "exclude"):
        patterns = value.get(key, [])
        if not isinstance(patterns, list) or not all(isinstance(p, str) for p in patterns):
            raise ConfigError(f"{where}: \"tools\".\"{key}\" must be a list of glob patterns")
        lists.append(tuple(patterns))
    return lists[0], lists[1]
