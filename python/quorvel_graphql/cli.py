"""Command line: run one GraphQL query against a catalogue or live MCP servers.

    python -m quorvel_graphql --catalogue examples/catalogue.json '{ servers { name } }'
    python -m quorvel_graphql --servers examples/servers.json --variables '{"z":"UTC"}' \\
        'query($z: String!) { time_get_current_time(timezone: $z) }'

Exit status: 0 when the response has no errors, 1 when it has, 2 for a usage
or input problem (missing file, invalid JSON), 3 when a server fails to start.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import TextIO

from _graphql import SchemaEngine

PROG = "python -m quorvel_graphql"
EXIT_ERRORS, EXIT_USAGE, EXIT_SERVERS = 1, 2, 3


class _Failure(Exception):
    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.status = status


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run one GraphQL query over a tool catalogue and print the response document.",
        epilog="Exit status: 0 no errors, 1 the response has errors, 2 usage or input error, "
        "3 a tool server failed to start.",
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--catalogue", metavar="FILE", help="catalogue JSON; tool fields give placeholders")
    source.add_argument("--servers", metavar="CONFIG", help="MCP server config JSON; tool fields call the servers")
    parser.add_argument("--variables", metavar="JSON", help="variables as a JSON object")
    parser.add_argument("--time-limit", metavar="SECONDS", type=float, help="per tool call limit (with --servers)")
    parser.add_argument("--format", choices=("auto", "pretty", "compact"), default="auto",
                        help="output layout; auto is pretty on a terminal, compact otherwise")
    parser.add_argument("query", metavar="QUERY", help="GraphQL query text, or - to read it from stdin")
    return parser


def _read(path: str, what: str) -> str:
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    except OSError as error:
        raise _Failure(f"cannot read {what} {path}: {error.strerror or error}") from error


def _check_json(text: str, what: str) -> None:
    try:
        json.loads(text)
    except json.JSONDecodeError as error:
        raise _Failure(f"{what} is not valid JSON: {error}") from error


def _run(args: argparse.Namespace, query: str) -> str:
    if args.variables is not None:
        _check_json(args.variables, "--variables")
    if args.servers is None:
        catalogue = _read(args.catalogue, "catalogue") if args.catalogue else None
        try:
            engine = SchemaEngine(catalogue)
        except ValueError as error:
            raise _Failure(f"{args.catalogue}: {error}") from error
        return engine.execute(query, args.variables)
    try:
        from .mcp_adapter import ConfigError, ServerStartError, serve_config
    except ImportError as error:
        raise _Failure(str(error)) from error
    try:
        with serve_config(args.servers, time_limit=args.time_limit) as host:
            return host.engine.execute(query, args.variables)
    except ConfigError as error:
        raise _Failure(str(error)) from error
    except ServerStartError as error:
        raise _Failure(str(error), EXIT_SERVERS) from error


def main(argv: Sequence[str] | None = None, stdout: TextIO | None = None) -> int:
    out = stdout or sys.stdout
    args = _parser().parse_args(argv)
    try:
        query = sys.stdin.read() if args.query == "-" else args.query
        document_text = _run(args, query)
    except _Failure as failure:
        print(f"{PROG}: error: {failure}", file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        return 130
    document = json.loads(document_text)
    pretty = args.format == "pretty" or (args.format == "auto" and out.isatty())
    out.write((json.dumps(document, indent=2, ensure_ascii=False) if pretty else document_text) + "\n")
    return EXIT_ERRORS if document.get("errors") else 0
