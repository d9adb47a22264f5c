"""What the two commands (the one-query command line and ``serve``) share:
exit statuses, one-line failures and usage errors, the options that say
where the tools come from, and opening that source."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Callable, Iterator
from typing import NoReturn

from _graphql import SchemaEngine

from .common import check_time_limit
from .config import load_config
from .errors import ConfigError, ServerStartError
from .host import ToolHost

__all__ = [
    "EXIT_ERRORS",
    "EXIT_INTERRUPTED",
    "EXIT_SERVERS",
    "EXIT_TOOL_FAILURES",
    "EXIT_USAGE",
    "CommandFailure",
    "OneLineParser",
    "add_tool_options",
    "catalogue_engine",
    "decode_utf8",
    "read_text",
    "seconds",
    "serving",
]

EXIT_ERRORS, EXIT_USAGE, EXIT_SERVERS, EXIT_TOOL_FAILURES, EXIT_INTERRUPTED = 1, 2, 3, 4, 130


class CommandFailure(Exception):
    """A problem the commands report on one line, with their exit status."""

    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.status = status


class OneLineParser(argparse.ArgumentParser):
    """Usage errors in one line, like every other error of the commands."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def seconds(text: str) -> float:
    """argparse type of a time limit: positive, finite, at most a year."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    try:
        check_time_limit(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive, finite number of seconds, not {text!r}") from None
    return value


def seconds_or_none(text: str) -> float | None:
    """argparse type of a time limit that may be turned off with ``none``."""
    return None if text.strip().lower() == "none" else seconds(text)


def add_tool_options(parser: argparse.ArgumentParser, *, source_required: bool,
                     time_limit: float | None = None) -> None:
    """The options of both commands that say where the tools come from and
    how their calls are limited; ``time_limit`` is the default limit per
    call, which ``--time-limit none`` turns off."""
    source = parser.add_mutually_exclusive_group(required=source_required)
    source.add_argument("--catalogue", metavar="FILE", help="catalogue JSON; tool fields give placeholders")
    source.add_argument("--servers", metavar="CONFIG", help="MCP server config JSON; tool fields call the servers")
    if time_limit is None:
        parser.add_argument("--time-limit", metavar="SECONDS", type=seconds, help="limit per tool call (with --servers)")
    else:
        parser.add_argument("--time-limit", metavar="SECONDS", type=seconds_or_none, default=time_limit,
                            help=f"limit per tool call, counted from when the call is received, waits included "
                            f"(with --servers; default {time_limit:g}, 'none' for no limit)")
    parser.add_argument("--startup-timeout", metavar="SECONDS", type=seconds, default=30.0,
                        help="how long each tool server may take to start (default 30)")
    parser.add_argument("--read-only", action="store_true",
                        help="refuse calls to tools that are not read-only (with --servers)")


def read_text(path: str, what: str) -> str:
    """The UTF-8 text of the file at ``path``; ``what`` names it in failures."""
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise CommandFailure(f"cannot read {what} {path}: {error.strerror or error}") from error
    return decode_utf8(raw, f"{what} {path}")


def decode_utf8(raw: bytes, what: str) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandFailure(f"{what} is not valid UTF-8 ({error.reason} at byte {error.start})") from None


def catalogue_engine(path: str, text: str | None = None) -> SchemaEngine:
    """An engine over the catalogue file at ``path`` (``text``: its content,
    when already read)."""
    if text is None:
        text = read_text(path, "catalogue")
    try:
        return SchemaEngine(text)
    except ValueError as error:
        raise CommandFailure(f"{path}: {error}") from error


@contextlib.contextmanager
def serving(
    config: str, *, time_limit: float | None, startup_timeout: float, read_only: bool, max_workers: int = 8,
    require_all: bool = True, on_new_host: Callable[[ToolHost], None] | None = None,
) -> Iterator[ToolHost]:
    """``serve_config`` with its failures as command failures: a bad config
    is a usage problem, a server that does not start is exit status 3."""
    # The file is checked before the MCP SDK loads: a mistyped path or a
    # broken config is reported without the second it takes to import.
    try:
        servers = load_config(config)
    except ConfigError as error:
        raise CommandFailure(str(error)) from error
    # Nor does it load when no server can start: the same failures, at once.
    hopeless = {name: why for name, server in servers.items() if (why := server.cannot_start())}
    if servers and len(hopeless) == len(servers):
        raise CommandFailure(str(ServerStartError(hopeless)), EXIT_SERVERS)
    try:
        from .mcp_adapter import serve_config
    except ImportError as error:
        raise CommandFailure(str(error)) from error
    try:
        with serve_config(servers, max_workers=max_workers, time_limit=time_limit,
                          startup_timeout=startup_timeout, read_only=read_only, require_all=require_all,
                          on_new_host=on_new_host) as host:
            yield host
    except ConfigError as error:
        raise CommandFailure(str(error)) from error
    except ServerStartError as error:
        raise CommandFailure(str(error), EXIT_SERVERS) from error
