"""Command line: run one GraphQL query against a catalogue or live MCP servers.

    python -m quorvel_graphql --catalogue examples/catalogue.json '{ servers { name } }'
    python -m quorvel_graphql --servers examples/servers.json --variables '{"z":"UTC"}' \\
        'query($z: String!) { time_get_current_time(timezone: $z) }'
    python -m quorvel_graphql --servers examples/servers.json --schema
    python -m quorvel_graphql serve --servers examples/servers.json   # the gateway

Exit status: 0 for a clean document, 1 when the response has errors, 2 for a
usage or input problem (missing file, invalid JSON or UTF-8, bad limit), 3
when a server fails to start, 4 when the document has no errors but some tool
fields of live servers failed (``isError`` true), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import threading
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, TextIO

from _graphql import SchemaEngine

PROG = "python -m quorvel_graphql"
EXIT_ERRORS, EXIT_USAGE, EXIT_SERVERS, EXIT_TOOL_FAILURES, EXIT_INTERRUPTED = 1, 2, 3, 4, 130


class _Failure(Exception):
    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.status = status


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not (value > 0 and math.isfinite(value) and value <= 365 * 24 * 3600):
        raise argparse.ArgumentTypeError(f"must be a positive, finite number of seconds, not {text!r}")
    return value


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, like every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Run one GraphQL query over a tool catalogue and print the response document. "
        f"'{PROG} serve ...' runs the gateway instead (see '{PROG} serve --help').",
        epilog="Exit status: 0 clean document, 1 the response has errors, 2 usage or input error, "
        "3 a tool server failed to start, 4 some tool fields failed, 130 interrupted.",
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--catalogue", metavar="FILE", help="catalogue JSON; tool fields give placeholders")
    source.add_argument("--servers", metavar="CONFIG", help="MCP server config JSON; tool fields call the servers")
    parser.add_argument("--variables", metavar="JSON", help="variables as a JSON object")
    parser.add_argument("--time-limit", metavar="SECONDS", type=_seconds, help="per tool call limit (with --servers)")
    parser.add_argument("--startup-timeout", metavar="SECONDS", type=_seconds, default=30.0,
                        help="how long each server may take to start (default 30)")
    parser.add_argument("--read-only", action="store_true",
                        help="refuse calls to tools that are not read-only (with --servers)")
    parser.add_argument("--schema", action="store_true",
                        help="print an SDL-style description of every tool field instead of running a query")
    parser.add_argument("--format", choices=("auto", "pretty", "compact"), default="auto",
                        help="output layout; auto is pretty on a terminal, compact otherwise")
    parser.add_argument("query", metavar="QUERY", nargs="?",
                        help="GraphQL query text, or - to read it from stdin")
    return parser


def _read(path: str, what: str) -> str:
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise _Failure(f"cannot read {what} {path}: {error.strerror or error}") from error
    return _decode(raw, f"{what} {path}")


def _decode(raw: bytes, what: str) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _Failure(f"{what} is not valid UTF-8 ({error.reason} at byte {error.start})") from None


def _argument_text(text: str, what: str) -> str:
    """Arguments arrive decoded with surrogateescape; undecodable bytes show
    up as lone surrogates, which no engine call can take."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise _Failure(f"{what} is not valid UTF-8") from None
    return text


def _check_json(text: str, what: str) -> None:
    try:
        json.loads(text)
    except json.JSONDecodeError as error:
        raise _Failure(f"{what} is not valid JSON: {error}") from error


def _query(args: argparse.Namespace) -> str:
    if args.query is None:
        raise _Failure("give a QUERY (or - to read it from stdin), or --schema")
    if args.query == "-":
        return _decode(sys.stdin.buffer.read(), "the query on stdin")
    return _argument_text(args.query, "QUERY")


def _interruptible(work: Callable[[], Any]) -> Any:
    """Runs ``work`` on a daemon thread so that Ctrl-C reaches this one at
    once, even while the engine waits inside ``execute``."""
    outcome: dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["value"] = work()
        except BaseException as error:
            outcome["error"] = error

    thread = threading.Thread(target=run, name="quorvel-cli-query", daemon=True)
    thread.start()
    while thread.is_alive():
        thread.join(0.1)
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def _describe(tools: list[dict[str, Any]]) -> str:
    try:
        from .discovery import describe_sdl
    except ImportError as error:
        raise _Failure(f"--schema needs quorvel_graphql.discovery, which is not available: {error}") from error
    return str(describe_sdl(tools))


def _run(args: argparse.Namespace) -> str:
    """The text to print: the response document, or the schema description."""
    if args.variables is not None:
        _check_json(_argument_text(args.variables, "--variables"), "--variables")
    if args.servers is None and args.catalogue is None:
        raise _Failure("give --catalogue FILE (placeholder answers) or --servers CONFIG (live tool servers)")
    query = None if args.schema else _query(args)
    if args.servers is None:
        catalogue = _read(args.catalogue, "catalogue")
        try:
            engine = SchemaEngine(catalogue)
        except ValueError as error:
            raise _Failure(f"{args.catalogue}: {error}") from error
        if query is None:
            from .host import engine_tools

            return _describe(engine_tools(engine))
        return str(_interruptible(lambda: engine.execute(query, args.variables)))
    return _run_servers(args, query)


def _run_servers(args: argparse.Namespace, query: str | None) -> str:
    try:
        from .mcp_adapter import ConfigError, McpServers, ServerStartError, load_config, serve_config
    except ImportError as error:
        raise _Failure(str(error)) from error
    try:
        config = load_config(args.servers)
        if query is None:
            with McpServers(config, startup_timeout=args.startup_timeout) as servers:
                return _describe(servers.tools())
        with serve_config(config, time_limit=args.time_limit, startup_timeout=args.startup_timeout,
                          read_only=args.read_only) as host:
            return str(_interruptible(lambda: host.engine.execute(query, args.variables)))
    except ConfigError as error:
        raise _Failure(str(error)) from error
    except ServerStartError as error:
        raise _Failure(str(error), EXIT_SERVERS) from error


def _status(document: dict[str, Any], live: bool) -> int:
    """Placeholders of a catalogue-only run are not failures; failed live calls are."""
    if document.get("errors"):
        return EXIT_ERRORS
    if not live:
        return 0
    data = document.get("data")
    values = data.values() if isinstance(data, dict) else ()
    if any(isinstance(value, dict) and value.get("isError") is True for value in values):
        return EXIT_TOOL_FAILURES
    return 0


def _serve(argv: Sequence[str]) -> int:
    try:
        from .gateway import main as gateway_main
    except ImportError as error:
        print(f"{PROG}: error: the serve command is not available: {error}", file=sys.stderr)
        return EXIT_USAGE
    return int(gateway_main(list(argv)))


def main(argv: Sequence[str] | None = None, stdout: TextIO | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["serve"]:
        return _serve(arguments[1:])
    out = stdout or sys.stdout
    args = _parser().parse_args(arguments)
    try:
        text = _run(args)
    except _Failure as failure:
        print(f"{PROG}: error: {failure}", file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if args.schema:
        out.write(text if text.endswith("\n") else text + "\n")
        return 0
    document = json.loads(text)
    pretty = args.format == "pretty" or (args.format == "auto" and out.isatty())
    out.write((json.dumps(document, indent=2, ensure_ascii=False) if pretty else text) + "\n")
    return _status(document, live=args.servers is not None)
