"""``serve``: start the configured tool servers and serve the engine to MCP
clients (stdio, the default) or over HTTP (GraphQL, playground and MCP).

Exit status: 0 after a clean shutdown (end of input, SIGTERM, SIGINT), 2 for
a usage or configuration problem, 3 when no tool server starts (any that fails,
with --require-all).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ipaddress
import logging
import os
import re
import shutil
import signal
import socket
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from _graphql import SchemaEngine

from ..cli_common import (EXIT_INTERRUPTED, CommandFailure, OneLineParser, add_tool_options, catalogue_engine,
                          read_text, seconds, serving)
from ..limits import DEFAULT_TIME_LIMIT, add_limit_options, limits_from_args
from .batching import DEFAULT_MAX_OPERATIONS
from .compression import DEFAULT_MINIMUM_SIZE
from .connections import (HEADER_SECONDS, MAX_CONNECTIONS, MAX_HEADER_BYTES, WRITE_SECONDS, ConnectionGuard,
                          default_max_connections, guarded_protocol)
from .core import CALL_GRACE_SECONDS, Gateway, Host, is_loopback, log
from .persisted import DEFAULT_STORE_BYTES
from .serving import LOOPS, PARSERS, Stack, choose_stack, listen
from .sessions import MAX_SESSIONS, SESSION_IDLE_SECONDS
from .supervisor import WORKER_OPTION, Supervisor, WorkerRole, available_cpus

PROG = "python -m quorvel_graphql serve"
TOKEN_VARIABLE = "QUORVEL_GATEWAY_TOKEN"


def _parser() -> argparse.ArgumentParser:
    parser = OneLineParser(
        prog=PROG,
        description="Serve tools as one GraphQL query surface: to MCP clients over stdio (default) or, with "
        "--http, as GraphQL over HTTP at /graphql, a playground page at / and MCP at /mcp.",
        epilog=f"The bearer token may also come from ${TOKEN_VARIABLE} (preferred: a --token value is visible "
        "to other users of the machine). Exit status: 0 clean shutdown, 2 usage or config error, "
        "3 no tool server started (any, with --require-all).",
    )
    add_tool_options(parser, source_required=True, time_limit=DEFAULT_TIME_LIMIT)
    parser.add_argument("--http", metavar="[HOST:]PORT",
                        help="serve HTTP instead of stdio (host 127.0.0.1 unless given; port 0 picks a free one)")
    parser.add_argument("--token", help=f"bearer token for HTTP requests (default ${TOKEN_VARIABLE}); required "
                        "when HOST is not a loopback address")
    parser.add_argument("--max-body", metavar="BYTES", type=_byte_count, default=1 << 20,
                        help="largest HTTP request body, e.g. 65536, 512K, 4M (default 1M)")
    parser.add_argument("--max-workers", metavar="N", type=_positive_int, default=8,
                        help="threads for tool handlers (default 8)")
    parser.add_argument("--max-concurrent-queries", metavar="N", type=_positive_int, default=64,
                        help="queries that may run at once; more wait their turn (default 64)")
    parser.add_argument("--raw", action="store_true",
                        help="speak the engine's own query language (one operation of top-level tool fields, each "
                        "answering the tool's whole result) instead of standard GraphQL over the typed schema")
    parser.add_argument("--no-introspection", dest="introspection", action="store_false",
                        help="refuse __schema and __type in requests (standard GraphQL only; __typename still "
                        "answers), for a production gateway whose schema clients should not browse")
    parser.add_argument("--workers", metavar="N", type=_worker_count, default=1,
                        help="gateway processes sharing the HTTP port, each with its own tool servers; "
                        "auto: one per CPU available (default 1)")
    parser.add_argument("--loop", choices=LOOPS, default="auto",
                        help="event loop for HTTP (default auto: uvloop when installed)")
    parser.add_argument("--http-parser", choices=PARSERS, default="auto",
                        help="HTTP/1.1 parser (default auto: httptools when installed)")
    parser.add_argument(WORKER_OPTION, type=WorkerRole.parse, help=argparse.SUPPRESS)
    parser.add_argument("--require-all", action="store_true",
                        help="exit (status 3) when any tool server fails to start, instead of serving the others "
                        "and retrying it; every server is then required for /readyz")
    parser.add_argument("--public-health", action="store_true",
                        help="answer /healthz and /readyz without the bearer token (for probes that cannot send "
                        "one; /readyz then shows server names and errors to anyone who can reach it)")
    parser.add_argument("--forwarded-allow-ips", metavar="IPS", type=_trusted_proxies,
                        help="comma-separated addresses or networks of proxies (a balancer) whose X-Forwarded-For "
                        "and X-Forwarded-Proto are believed, as uvicorn's option of that name ('*': any); the "
                        "token throttle and the MCP session quota then count the client the proxy names. "
                        "Default: no one (unlike uvicorn, which believes 127.0.0.1)")
    parser.add_argument("--cors-origin", metavar="ORIGIN", action="append", type=_origin, default=[],
                        help="let pages of ORIGIN (scheme://host[:port]) call the gateway from a browser; "
                        "repeatable; the token rule still applies")
    parser.add_argument("--max-connections", metavar="N", type=_positive_int, default=default_max_connections(),
                        help="open HTTP connections (per worker); beyond it the idlest connection still sending "
                        f"its headers is closed, or the new one refused (default {default_max_connections()}: "
                        f"{MAX_CONNECTIONS} or half the descriptor limit)")
    parser.add_argument("--shutdown-grace", metavar="SECONDS", type=seconds, default=CALL_GRACE_SECONDS,
                        help="at SIGTERM or SIGINT, the time a tool call already running has to answer; its answer "
                        f"is delivered (default {CALL_GRACE_SECONDS:g})")
    parser.add_argument("--header-timeout", metavar="SECONDS", type=seconds, default=HEADER_SECONDS,
                        help=f"time an HTTP client has to send a request's headers (default {HEADER_SECONDS:g})")
    parser.add_argument("--write-timeout", metavar="SECONDS", type=seconds, default=WRITE_SECONDS,
                        help=f"time an HTTP client may leave its response unread (default {WRITE_SECONDS:g})")
    parser.add_argument("--max-mcp-sessions", metavar="N", type=_positive_int, default=MAX_SESSIONS,
                        help="open MCP sessions over HTTP; a new one beyond it ends the least recently used idle "
                        f"session of the client holding the most (default {MAX_SESSIONS})")
    parser.add_argument("--mcp-stateless", action="store_true",
                        help="serve MCP over HTTP without sessions (the MCP SDK's stateless mode), so that any "
                        "gateway process can answer any request; always so with --workers above 1")
    parser.add_argument("--mcp-session-idle", metavar="SECONDS", type=seconds, default=SESSION_IDLE_SECONDS,
                        help=f"an MCP session with no request for this long ends (default {SESSION_IDLE_SECONDS:g})")
    parser.add_argument("--max-batch", metavar="N", type=_positive_int, default=DEFAULT_MAX_OPERATIONS,
                        help="operations in one batched POST /graphql (a JSON array of requests); their tool calls "
                        f"together keep to --max-tool-calls (default {DEFAULT_MAX_OPERATIONS})")
    parser.add_argument("--persisted-queries", metavar="BYTES", type=_byte_count_or_none, default=DEFAULT_STORE_BYTES,
                        help="size of the store of automatic persisted queries (query texts by their SHA-256 "
                        f"hash), least recently used out first; 'none' turns them off (default "
                        f"{DEFAULT_STORE_BYTES >> 20}M)")
    parser.add_argument("--get-cache-control", metavar="VALUE", type=_header_value,
                        help="Cache-Control of GET /graphql answers without errors, so proxies may keep read-only "
                        "queries, e.g. 'public, max-age=60' (default: no header; answers with errors get no-store)")
    parser.add_argument("--compress-from", metavar="BYTES", type=_byte_count_or_none, default=DEFAULT_MINIMUM_SIZE,
                        help="compress HTTP responses of this size or more (gzip, or brotli when the client ranks "
                        f"it as high); 'none' turns compression off (default {DEFAULT_MINIMUM_SIZE})")
    add_limit_options(parser)
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="-v: one log line per request; -vv: debug and HTTP access logs")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    _configure_logging(args.verbose, worker=args.worker_of is not None)
    signals = _StopSignals()
    try:
        bind = _bind_address(args.http) if args.http is not None else None
        token = _token(args, bind)
        if bind is None and (args.workers != 1 or args.loop != "auto" or args.http_parser != "auto"):
            raise CommandFailure("--workers, --loop and --http-parser apply to --http only")
        if bind is not None and args.workers > 1 and args.worker_of is None:
            return _supervise(args, argv, bind, token)
        if args.raw and not args.introspection:
            raise CommandFailure("--no-introspection applies to standard GraphQL, not --raw")
        if bind is None and (args.public_health or args.cors_origin or args.forwarded_allow_ips
                             or args.mcp_stateless):
            raise CommandFailure("--public-health, --cors-origin, --forwarded-allow-ips and --mcp-stateless "
                                 "apply to --http only")
        late = _LateHosts()
        with _open_target(args, late) as (target, catalogue_json):
            gateway = Gateway(target, max_concurrent_queries=args.max_concurrent_queries, raw=args.raw,
                              catalogue_json=catalogue_json, limits=limits_from_args(args),
                              time_limit=args.time_limit, introspection=args.introspection)
            if not gateway.raw:
                try:  # a catalogue the typed layer cannot read fails here, not on the first request
                    gateway.typed()
                except ValueError as error:
                    raise CommandFailure(f"cannot build the typed schema: {error}") from error
            gateway.call_grace = args.shutdown_grace
            late.attach(gateway)
            try:
                if bind is None:
                    _run_stdio(gateway)
                else:
                    guard = ConnectionGuard(args.max_connections, args.header_timeout, args.write_timeout)
                    _run_http(gateway, bind, token, args, guard)
            finally:
                signals.closing()
                gateway.close()
    except CommandFailure as failure:
        print(f"{PROG}: error: {failure}", file=sys.stderr)
        return failure.status
    except _Terminated:  # before serving began: stopped as asked, every tool server closed
        return 0
    except KeyboardInterrupt:  # before serving began; once serving, a signal is a clean stop
        return EXIT_INTERRUPTED
    finally:
        signals.restore()
    return 0


class _Terminated(KeyboardInterrupt):
    """SIGTERM outside serving: the clean-up Ctrl-C gets (a KeyboardInterrupt
    makes the tool servers close at once), and a clean exit."""


class _StopSignals:
    """SIGTERM and SIGINT while the gateway is not serving.

    Python's default for SIGTERM ends the process on the spot, and the tool
    servers, each in a process group of its own, would live on: so from
    the start either signal raises where the main thread waits, and the
    ``with`` blocks close what was started.  Serving installs handlers of its
    own; once it ends, the clean-up has begun and a further signal is only
    logged, so that it cannot cut the clean-up short."""

    def __init__(self) -> None:
        self._stopping = False
        self._previous = {number: signal.signal(number, self._on_signal)
                          for number in (signal.SIGTERM, signal.SIGINT)}

    def closing(self) -> None:
        # Serving may have put the defaults back (asyncio does on leaving).
        self._stopping = True
        for number in self._previous:
            signal.signal(number, self._on_signal)

    def restore(self) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _on_signal(self, number: int, frame: Any) -> None:
        if self._stopping:
            log.info("signalled again: still closing the tool servers")
            return
        self._stopping = True
        raise _Terminated if number == signal.SIGTERM else KeyboardInterrupt


# -- options ----------------------------------------------------------------


_SIZE = re.compile(r"\s*([0-9]+)\s*(?:([kKmM])(?:i?[bB])?|[bB])?\s*")


def _byte_count(text: str) -> int:
    match = _SIZE.fullmatch(text)
    if match is None or int(match.group(1)) < 1:
        raise argparse.ArgumentTypeError(f"not a positive size in bytes (e.g. 65536, 512K, 4M): {text!r}")
    return int(match.group(1)) << {None: 0, "k": 10, "m": 20}[match.group(2) and match.group(2).lower()]


def _byte_count_or_none(text: str) -> int | None:
    return None if text.strip().lower() == "none" else _byte_count(text)


def _header_value(text: str) -> str:
    if not text.strip() or not text.isascii() or any(c in text for c in "\r\n\0"):
        raise argparse.ArgumentTypeError(f"not a header value: {text!r}")
    return text.strip()


def _positive_int(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive integer: {text!r}")
    return int(text)


def _worker_count(text: str) -> int:
    return available_cpus() if text == "auto" else _positive_int(text)


def _origin(text: str) -> str:
    from .operations import check_origin

    try:
        return check_origin(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _trusted_proxies(text: str) -> str:
    for item in (part.strip() for part in text.split(",")):
        if item == "*":
            continue
        try:
            ipaddress.ip_network(item, strict=False)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an address or network (e.g. 10.0.0.5, 10.0.0.0/24, *): "
                                             f"{item!r}") from None
    return text


def _bind_address(text: str) -> tuple[str, int]:
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not (port.isascii() and port.isdigit()) or int(port) > 65535:
        raise CommandFailure(f"--http needs [HOST:]PORT with a port from 0 to 65535, not {text!r}")
    return host, int(port)


def _token(args: argparse.Namespace, bind: tuple[str, int] | None) -> str | None:
    token = args.token if args.token is not None else os.environ.get(TOKEN_VARIABLE) or None
    if args.token is not None and not args.token.strip():
        raise CommandFailure("--token must not be empty")
    if bind is None:
        if args.token is not None:
            raise CommandFailure("--token applies to --http only (stdio is private to the client that started it)")
        return None
    if token is None and not is_loopback(bind[0]):
        raise CommandFailure(f"refusing to listen on {bind[0]} without a bearer token: set ${TOKEN_VARIABLE} "
                      "or pass --token (only loopback addresses may go without one)")
    return token


def _configure_logging(verbose: int, worker: bool = False) -> None:
    # The whole package: tool servers' stderr and start-up problems are
    # logged beside the gateway's own lines.
    package = logging.getLogger("quorvel_graphql")
    handler = logging.StreamHandler(sys.stderr)
    # Workers share the supervisor's stderr; the process id tells their lines apart.
    shape = "%(asctime)s %(name)s[%(process)d]: %(message)s" if worker else "%(asctime)s %(name)s: %(message)s"
    handler.setFormatter(logging.Formatter(shape))
    package.addHandler(handler)
    package.setLevel(logging.DEBUG if verbose >= 2 else logging.INFO if verbose == 1 else logging.WARNING)
    package.propagate = False


# -- tool servers -----------------------------------------------------------


@contextlib.contextmanager
def _open_target(args: argparse.Namespace, late: _LateHosts) -> Iterator[tuple[Host | SchemaEngine, str | None]]:
    """The host to serve, and the catalogue text when there is one to type
    the engine by (a host knows its tools' schemas itself)."""
    if args.catalogue is not None:
        if args.read_only:
            raise CommandFailure("--read-only needs --servers (a bare catalogue calls no tools)")
        text = read_text(args.catalogue, "catalogue")
        yield catalogue_engine(args.catalogue, text), text
        return
    with serving(args.servers, max_workers=args.max_workers, time_limit=args.time_limit,
                 startup_timeout=args.startup_timeout, read_only=args.read_only,
                 require_all=args.require_all, on_new_host=late.offer) as host:
        yield host, None


class _LateHosts:
    """Hosts made when a tool server comes up after start-up, handed to the
    gateway in the order they were made (each serves every server up then)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._gateway: Gateway | None = None
        self._pending: Host | None = None

    def offer(self, host: Host) -> None:
        with self._lock:
            if self._gateway is None:
                self._pending = host
            else:
                self._gateway.replace_host(host)

    def attach(self, gateway: Gateway) -> None:
        with self._lock:
            self._gateway = gateway
            if self._pending is not None:
                gateway.replace_host(self._pending)


# -- fronts -----------------------------------------------------------------


def _run_stdio(gateway: Gateway) -> None:
    from .mcp_front import build_mcp_server
    from .stdio import serve_stdio

    asyncio.run(_until_signalled(serve_stdio(build_mcp_server(gateway)), gateway))


# Time for answers already computed to reach the client once tool calls stop.
ANSWER_FLUSH_SECONDS = 0.2


async def _until_signalled(work: Any, gateway: Gateway) -> None:
    """Runs ``work`` until it ends or SIGTERM/SIGINT arrives."""
    task = asyncio.ensure_future(work)
    loop = asyncio.get_running_loop()
    stopping: list[asyncio.Task[None]] = []

    async def answer_then_stop() -> None:
        # Requests in flight get their answers first: their calls may have
        # done their work, and the grace bounds the wait.
        await gateway.drained(gateway.call_grace + ANSWER_FLUSH_SECONDS)
        await asyncio.sleep(ANSWER_FLUSH_SECONDS)
        task.cancel()

    def stop() -> None:
        if stopping:
            task.cancel()  # a second signal stops waiting for the answers
            return
        gateway.stop_calling_tools()
        stopping.append(loop.create_task(answer_then_stop()))

    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop)
    log.info("serving %d tool fields to the MCP client on stdio", len(gateway.tools()))
    try:
        await task
    except asyncio.CancelledError:
        log.info("signalled: shutting down")
    finally:
        for number in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(number)


def _run_http(gateway: Gateway, bind: tuple[str, int], token: str | None, args: argparse.Namespace,
              guard: ConnectionGuard) -> None:
    import uvicorn

    from .http_front import GraphQLOptions, UvicornServer, create_app

    host, port = bind
    stack = _stack(args)
    role: WorkerRole | None = args.worker_of
    listener = role.adopt() if role is not None else _listen(host, port)

    def announce() -> None:
        log.info("HTTP on %s", stack.describe())
        if role is not None:
            role.report_ready(len(gateway.tools()))
        else:
            _announce(listener, len(gateway.tools()), token)

    app = create_app(gateway, token=token, max_body=args.max_body, loopback_only=is_loopback(host),
                     on_ready=announce, public_health=args.public_health, cors_origins=args.cors_origin,
                     max_sessions=args.max_mcp_sessions, session_idle_seconds=args.mcp_session_idle,
                     # A session lives in the worker that made it, and the
                     # kernel hands each connection to any worker.
                     mcp_stateless=args.mcp_stateless or args.workers > 1,
                     graphql_options=GraphQLOptions(args.max_batch, args.persisted_queries, args.get_cache_control),
                     compress_from=args.compress_from)
    verbose = args.verbose
    config = uvicorn.Config(app, log_level="info" if verbose >= 2 else "warning", access_log=verbose >= 2,
                            # Room for the calls' grace and then the answers.
                            timeout_graceful_shutdown=gateway.call_grace + 1, lifespan="on", server_header=False,
                            **_proxy_headers(args.forwarded_allow_ips),
                            loop=stack.loop, http=guarded_protocol(guard, stack.protocol), **SERVER_LIMITS,
                            # uvicorn counts connections and running requests
                            # against one limit; the guard caps connections.
                            limit_concurrency=2 * guard.max_connections)
    server = UvicornServer(config, on_stop=gateway.stop_calling_tools)
    try:
        server.run(sockets=[listener])
    finally:
        listener.close()


def _proxy_headers(trusted: str | None) -> dict[str, Any]:
    # uvicorn's middleware rewrites the client address from X-Forwarded-For
    # of a trusted proxy; trusting no one is turning it off.
    return {"proxy_headers": False} if trusted is None else {"proxy_headers": True, "forwarded_allow_ips": trusted}


def _announce(listener: socket.socket, tool_fields: int, token: str | None, workers: int = 1) -> None:
    # Printed once serving (signal handlers in place): scripts and tests wait for this line.
    name = listener.getsockname()
    shown = f"[{name[0]}]" if ":" in name[0] else name[0]
    print(f"quorvel-graphql gateway: {tool_fields} tool fields on http://{shown}:{name[1]} "
          f"(GraphQL /graphql, playground /, MCP /mcp){' with bearer token' if token else ''}"
          f"{f', {workers} workers' if workers > 1 else ''}", file=sys.stderr, flush=True)


def _stack(args: argparse.Namespace) -> Stack:
    try:
        return choose_stack(args.loop, args.http_parser)
    except ValueError as error:
        raise CommandFailure(str(error)) from error


def _supervise(args: argparse.Namespace, argv: Sequence[str] | None, bind: tuple[str, int],
               token: str | None) -> int:
    """``--workers N``: this process only holds the port and minds the workers."""
    _stack(args)  # a stack that is not installed is refused here, once, not by every worker
    listener = _listen(*bind)
    listener.set_inheritable(True)
    command = [sys.executable, "-m", "quorvel_graphql.gateway", *(sys.argv[1:] if argv is None else argv)]
    try:
        with _shared_metrics() as worker_ended:
            return Supervisor(command, args.workers, listener,
                              lambda fields: _announce(listener, fields, token, args.workers),
                              on_exit=worker_ended).run()
    finally:
        listener.close()


@contextlib.contextmanager
def _shared_metrics() -> Iterator[Callable[[int], None]]:
    """A private folder for the workers' metrics (prometheus_client's
    multiprocess mode), named to them in the environment they inherit and
    removed at the end; yields what to call when a worker ends, whose
    gauges of work under way then stop counting."""
    from .telemetry import MULTIPROCESS_VARIABLE

    folder = tempfile.mkdtemp(prefix="quorvel-metrics-")
    previous = os.environ.get(MULTIPROCESS_VARIABLE)
    os.environ[MULTIPROCESS_VARIABLE] = folder

    def worker_ended(pid: int) -> None:
        try:
            from prometheus_client import multiprocess
        except ImportError:  # no metrics at all
            return
        multiprocess.mark_process_dead(pid, folder)

    try:
        yield worker_ended
    finally:
        if previous is None:
            os.environ.pop(MULTIPROCESS_VARIABLE, None)
        else:
            os.environ[MULTIPROCESS_VARIABLE] = previous
        shutil.rmtree(folder, ignore_errors=True)


# uvicorn's own limits, spelled out: an idle keep-alive connection closes
# after 5 s, and the listen queue holds the connections the guard has not
# accepted yet.  The guard bounds request headers under either parser; h11's
# own bound stays as a second line.
SERVER_LIMITS: dict[str, Any] = {"timeout_keep_alive": 5, "h11_max_incomplete_event_size": MAX_HEADER_BYTES,
                                 "backlog": 2048}


def _listen(host: str, port: int) -> socket.socket:
    try:
        return listen(host, port, backlog=SERVER_LIMITS["backlog"])
    except OSError as error:
        raise CommandFailure(f"cannot listen on {host}:{port}: {error.strerror or error}") from error
