"""Command line: run one GraphQL request against a catalogue or live MCP servers.

    python -m quorvel_graphql --catalogue examples/catalogue.json '{ servers { name } }'
    python -m quorvel_graphql --servers examples/servers.json --variables '{"z":"UTC"}' \\
        'query($z: String!) { time_get_current_time(timezone: $z) { text } }'
    python -m quorvel_graphql --servers examples/servers.json --schema
    python -m quorvel_graphql serve --servers examples/servers.json   # the gateway

Requests are standard GraphQL over the typed schema; ``--raw`` sends them to
the engine's own language instead.

Exit status: 0 for a clean document, 1 when the response has errors other
than failed tool calls, 2 for a usage or input problem (missing file, invalid
JSON or UTF-8, bad limit), 3 when a server fails to start, 4 when the only
errors are failed tool calls of live servers (typed: errors with
``extensions.code`` ``TOOL_ERROR``; raw: fields with ``isError`` true), 130
when interrupted.  The placeholders of a catalogue-only run are not failures.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import Any, TextIO

from _graphql import SchemaEngine

from .cli_common import (
    EXIT_ERRORS,
    EXIT_INTERRUPTED,
    EXIT_SERVERS,
    EXIT_TOOL_FAILURES,
    EXIT_USAGE,
    CommandFailure,
    OneLineParser,
    add_tool_options,
    catalogue_engine,
    decode_utf8,
    read_text,
    serving,
)
from .common import engine_tools, failed_fields, tool_error_paths
from .discovery import describe_sdl
from .host import ToolHost
from .typed import GraphQL

__all__ = ["EXIT_ERRORS", "EXIT_INTERRUPTED", "EXIT_SERVERS", "EXIT_TOOL_FAILURES", "EXIT_USAGE", "PROG", "main"]

PROG = "python -m quorvel_graphql"


def _parser() -> argparse.ArgumentParser:
    parser = OneLineParser(
        prog=PROG,
        description="Run one GraphQL query over a tool catalogue and print the response document. "
        f"'{PROG} serve ...' runs the gateway instead (see '{PROG} serve --help').",
        epilog="Exit status: 0 clean document, 1 the response has errors (other than failed tool calls), "
        "2 usage or input error, 3 a tool server failed to start, 4 only tool calls failed, 130 interrupted.",
    )
    add_tool_options(parser, source_required=False)
    parser.add_argument("--variables", metavar="JSON", help="variables as a JSON object")
    parser.add_argument("--operation-name", metavar="NAME",
                        help="the operation to run when the document has several")
    parser.add_argument("--raw", action="store_true",
                        help="use the engine's own query language (each tool field answers its whole result) "
                        "instead of standard GraphQL over the typed schema")
    parser.add_argument("--schema", action="store_true",
                        help="print the typed schema as GraphQL SDL instead of running a query "
                        "(with --raw: the engine's SDL-style description of the tool fields)")
    parser.add_argument("--format", choices=("auto", "pretty", "compact"), default="auto",
                        help="output layout; auto is pretty on a terminal, compact otherwise")
    parser.add_argument("query", metavar="QUERY", nargs="?",
                        help="GraphQL query text, or - to read it from stdin")
    return parser


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
        return decode_utf8(sys.stdin.buffer.read(), "the query on stdin")
    return _argument_text(args.query, "QUERY")


def _run(args: argparse.Namespace) -> str:
    """The text to print: the response document, or the schema description."""
    if args.variables is not None:
        _check_json(_argument_text(args.variables, "--variables"), "--variables")
    if args.servers is None and args.catalogue is None:
        raise CommandFailure("give --catalogue FILE (placeholder answers) or --servers CONFIG (live tool servers)")
    query = None if args.schema else _query(args)
    if args.raw and args.operation_name is not None:
        raise CommandFailure("--operation-name needs standard GraphQL; the engine's language (--raw) has one "
                             "operation per document")
    if args.operation_name is not None:
        _argument_text(args.operation_name, "--operation-name")
    if args.servers is None:
        text = read_text(args.catalogue, "catalogue")
        engine = catalogue_engine(args.catalogue, text)
        if args.raw:
            return describe_sdl(engine_tools(engine)) if query is None else engine.execute(query, args.variables)
        return _run_typed(_typed(engine, text), query, args)
    with serving(args.servers, time_limit=args.time_limit, startup_timeout=args.startup_timeout,
                 read_only=args.read_only) as host:
        if args.raw:
            return describe_sdl(host.catalogue_tools()) if query is None else host.engine.execute(query, args.variables)
        return _run_typed(_typed(host), query, args)


def _typed(target: ToolHost | SchemaEngine, catalogue_json: str | None = None) -> GraphQL:
    try:
        return GraphQL(target, catalogue_json)
    except ValueError as error:
        raise CommandFailure(f"cannot build the typed schema: {error}") from error


def _run_typed(graphql: GraphQL, query: str | None, args: argparse.Namespace) -> str:
    if query is None:
        return graphql.sdl()
    return graphql.execute_text(query, args.variables, args.operation_name)


def _status(document: dict[str, Any], live: bool) -> int:
    """Placeholders of a catalogue-only run are not failures; failed live calls are."""
    errors = document.get("errors") or []
    tool_errors = len(tool_error_paths(document))
    if len(errors) > tool_errors:
        return EXIT_ERRORS
    return EXIT_TOOL_FAILURES if live and (tool_errors or failed_fields(document)) else 0


def _serve(argv: Sequence[str]) -> int:
    from .gateway.cli import main as serve_main

    return serve_main(list(argv))


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
