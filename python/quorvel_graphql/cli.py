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
import contextlib
import json
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NoReturn, TextIO

from _graphql import SchemaEngine

from .discovery import describe_sdl
from .errors import ConfigError, ServerStartError
from .host import ToolHost, check_time_limit, engine_tools, failed_fields

PROG = "python -m quorvel_graphql"
EXIT_ERRORS, EXIT_USAGE, EXIT_SERVERS, EXIT_TOOL_FAILURES, EXIT_INTERRUPTED = 1, 2, 3, 4, 130


class CommandFailure(Exception):
    """A problem the commands report on one line, with their exit status."""

    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.status = status


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


class OneLineParser(argparse.ArgumentParser):
    """Usage errors in one line, like every other error of the commands."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def catalogue_engine(path: str) -> SchemaEngine:
    """An engine over the catalogue file at ``path``."""
    text = _read(path, "catalogue")
    try:
        return SchemaEngine(text)
    except ValueError as error:
        raise CommandFailure(f"{path}: {error}") from error


@contextlib.contextmanager
def serving(
    config: str, *, time_limit: float | None, startup_timeout: float, read_only: bool, max_workers: int = 8
) -> Iterator[ToolHost]:
    """``serve_config`` with its failures as command failures: a bad config
    is a usage problem, a server that does not start is exit status 3."""
    try:
        from .mcp_adapter import serve_config
    except ImportError as error:
        raise CommandFailure(str(error)) from error
    try:
        with serve_config(config, max_workers=max_workers, time_limit=time_limit,
                          startup_timeout=startup_timeout, read_only=read_only) as host:
            yield host
    except ConfigError as error:
        raise CommandFailure(str(error)) from error
    except ServerStartError as error:
        raise CommandFailure(str(error), EXIT_SERVERS) from error


def add_tool_options(parser: argparse.ArgumentParser, *, source_required: bool) -> None:
    """The options of both commands that say where the tools come from and
    how their calls are limited."""
    source = parser.add_mutually_exclusive_group(required=source_required)
    source.add_argument("--catalogue", metavar="FILE", help="catalogue JSON; tool fields give placeholders")
    source.add_argument("--servers", metavar="CONFIG", help="MCP server config JSON; tool fields call the servers")
    parser.add_argument("--time-limit", metavar="SECONDS", type=seconds, help="limit per tool call (with --servers)")
    parser.add_argument("--startup-timeout", metavar="SECONDS", type=seconds, default=30.0,
                        help="how long each tool server may take to start (default 30)")
    parser.add_argument("--read-only", action="store_true",
                        help="refuse calls to tools that are not read-only (with --servers)")


def _parser() -> argparse.ArgumentParser:
    parser = OneLineParser(
        prog=PROG,
        description="Run one GraphQL query over a tool catalogue and print the response document. "
        f"'{PROG} serve ...' runs the gateway instead (see '{PROG} serve --help').",
        epilog="Exit status: 0 clean document, 1 the response has errors, 2 usage or input error, "
        "3 a tool server failed to start, 4 some tool fields failed, 130 interrupted.",
    )
    add_tool_options(parser, source_required=False)
    parser.add_argument("--variables", metavar="JSON", help="variables as a JSON object")
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
        raise CommandFailure(f"cannot read {what} {path}: {error.strerror or error}") from error
    return _decode(raw, f"{what} {path}")


def _decode(raw: bytes, what: str) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandFailure(f"{what} is not valid UTF-8 ({error.reason} at byte {error.start})") from None


def _argument_text(text: str, what: str) -> str:
    """Arguments arrive decoded with surrogateescape; undecodable bytes show
    up as lone surrogates, which no engine call can take."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise CommandFailure(f"{what} is not valid UTF-8") from None
    return text


def _check_json(text: str, what: str) -> None:
    try:
        json.loads(text)
    except json.JSONDecodeError as error:
        raise CommandFailure(f"{what} is not valid JSON: {error}") from error


def _query(args: argparse.Namespace) -> str:
    if args.query is None:
        raise CommandFailure("give a QUERY (or - to read it from stdin), or --schema")
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


def _run(args: argparse.Namespace) -> str:
    """The text to print: the response document, or the schema description."""
    if args.variables is not None:
        _check_json(_argument_text(args.variables, "--variables"), "--variables")
    if args.servers is None and args.catalogue is None:
        raise CommandFailure("give --catalogue FILE (placeholder answers) or --servers CONFIG (live tool servers)")
    query = None if args.schema else _query(args)
    if args.servers is None:
        engine = catalogue_engine(args.catalogue)
        if query is None:
            return describe_sdl(engine_tools(engine))
        return str(_interruptible(lambda: engine.execute(query, args.variables)))
    with serving(args.servers, time_limit=args.time_limit, startup_timeout=args.startup_timeout,
                 read_only=args.read_only) as host:
        if query is None:
            return describe_sdl(host.catalogue_tools())
        return str(_interruptible(lambda: host.engine.execute(query, args.variables)))


def _status(document: dict[str, Any], live: bool) -> int:
    """Placeholders of a catalogue-only run are not failures; failed live calls are."""
    if document.get("errors"):
        return EXIT_ERRORS
    return EXIT_TOOL_FAILURES if live and failed_fields(document) else 0


def _serve(argv: Sequence[str]) -> int:
    from .gateway import main as gateway_main

    return gateway_main(list(argv))


def main(argv: Sequence[str] | None = None, stdout: TextIO | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["serve"]:
        return _serve(arguments[1:])
    out = stdout or sys.stdout
    args = _parser().parse_args(arguments)
    try:
        text = _run(args)
    except CommandFailure as failure:
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
