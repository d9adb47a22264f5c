"""The HTTP server: GraphQL over HTTP at ``/graphql``, the playground page,
discovery as JSON, and the MCP streamable HTTP endpoint at ``/mcp``, all
behind one guard (bearer token, allowed hosts and origins, body limit)."""

from __future__ import annotations

import asyncio
import contextlib
import functools
import hmac
import json
import math
import signal
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Generator, Iterable, Iterator, MutableMapping
from dataclasses import dataclass
from importlib import resources
from typing import TYPE_CHECKING, Any, TypeVar
from urllib.parse import parse_qs, urlsplit

import anyio
import anyio.to_thread
import uvicorn
from starlette.applications import Starlette
from starlette.routing import Route

from .. import json_text
from ..error_codes import ErrorCode
from .batching import DEFAULT_MAX_OPERATIONS, BatchRefused, BatchRunner, GraphQLRequest, error_text, read_body
from .compression import DEFAULT_MINIMUM_SIZE, Compression
from .core import Gateway, QueryResult, is_loopback, log
from .operations import HEALTH_PATHS, CorsOrigins, check_origin, operation_routes
from .persisted import DEFAULT_STORE_BYTES, PersistedQueries, PersistedQueryError
from .sessions import MAX_SESSIONS, SESSION_IDLE_SECONDS, SessionQuota

if TYPE_CHECKING:
    from mcp.server.lowlevel import Server
    from mcp.server.streamable_http_manager import StreamableHTTPSessionManager

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

_T = TypeVar("_T")

DEFAULT_MAX_BODY = 1 << 20
BODY_SECONDS = 30  # for the whole body once the headers are in
RETRY_AFTER_SECONDS = 1
GRAPHQL_RESPONSE = "application/graphql-response+json"
APPLICATION_JSON = "application/json"
# The playground is one static file; its script runs only code it carries
# and talks only to the origin that served it.
PLAYGROUND_POLICY = (
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)


def create_app(
    gateway: Gateway,
    *,
    token: str | None = None,
    max_body: int = DEFAULT_MAX_BODY,
    mcp_server: Server[Any] | None = None,
    loopback_only: bool = True,
    on_ready: Callable[[], None] | None = None,
    public_health: bool = False,
    cors_origins: Iterable[str] = (),
    max_sessions: int = MAX_SESSIONS,
    session_idle_seconds: float = SESSION_IDLE_SECONDS,
    mcp_stateless: bool = False,
    graphql_options: GraphQLOptions | None = None,
    compress_from: int | None = DEFAULT_MINIMUM_SIZE,
) -> ASGIApp:
    """The whole HTTP front as one ASGI app.  With ``token``, every request
    but the static playground page needs ``Authorization: Bearer <token>``
    (``public_health`` exempts ``/healthz`` and ``/readyz`` too, for probes
    that cannot send one); with ``loopback_only``, requests must name a
    loopback host and come from no page of another origin (a web page cannot
    reach a local gateway) unless the origin is one of ``cors_origins``,
    whose pages may then use the gateway through CORS.  ``on_ready`` runs
    once the app has started.  MCP sessions idle for ``session_idle_seconds``
    end; at ``max_sessions`` a new one ends the least recently used idle
    session of the client holding the most.  ``mcp_stateless`` serves MCP
    without sessions (the SDK's stateless mode): every request stands alone,
    so any gateway process may answer it.
    ``graphql_options`` tune
    ``/graphql`` (batches, persisted queries, caching of GET answers);
    responses of ``compress_from`` bytes or more are compressed (None: never)."""
    if max_body < 1:
        raise ValueError("max_body must be a positive number of bytes")
    mcp = McpEndpoint(gateway, mcp_server, max_body=max_body, max_sessions=max_sessions,
                      idle_seconds=session_idle_seconds, stateless=mcp_stateless)
    # Without sessions there is no table for one client to fill.
    mcp_route = mcp if mcp_stateless else SessionQuota(mcp, max_sessions=max_sessions,
                                                       idle_seconds=session_idle_seconds)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        async with mcp.running():
            if on_ready is not None:
                on_ready()
            yield

    page = PlaygroundPage()
    graphql = GraphQLEndpoint(gateway, page, graphql_options)
    app = Starlette(
        routes=[
            Route("/graphql", graphql, methods=None),
            Route("/", page, methods=None),
            Route("/discovery", DiscoveryEndpoint(gateway), methods=None),
            Route("/validate", ValidateEndpoint(gateway), methods=None),
            Route("/mcp", mcp_route, methods=None),
            *operation_routes(gateway),
        ],
        lifespan=lifespan,
        # Starlette answers a failing route itself, in plain text, unless told how.
        exception_handlers={Exception: _starlette_server_error},
    )
    guard = Guard(app, token=token, max_body=max_body, loopback_only=loopback_only, public_health=public_health,
                  graphql=graphql, compress_from=compress_from)
    origins = [check_origin(origin) for origin in cors_origins]
    return JsonErrors(CorsOrigins(guard, origins) if origins else guard)


OUT_OF_MEMORY = "the gateway ran out of memory for this request; try again later"
INTERNAL_ERROR = "the gateway failed on this request (its log says why)"
# Made before they are needed: an answer to MemoryError should not need much memory.
_OUT_OF_MEMORY_BODY = json.dumps({"errors": [{"message": OUT_OF_MEMORY}]}).encode()
_INTERNAL_ERROR_BODY = json.dumps({"errors": [{"message": INTERNAL_ERROR}]}).encode()


def _server_error(error: BaseException) -> tuple[int, bytes, dict[str, str]]:
    # Out of memory is the load of the moment, worth a retry; anything else is a fault.
    if isinstance(error, MemoryError):
        return 503, _OUT_OF_MEMORY_BODY, {"retry-after": str(RETRY_AFTER_SECONDS)}
    return 500, _INTERNAL_ERROR_BODY, {}


async def _starlette_server_error(request: Any, error: Exception) -> Any:
    from starlette.responses import Response

    status, body, headers = _server_error(error)
    return Response(body, status_code=status, headers=headers, media_type=f"{APPLICATION_JSON}; charset=utf-8")


class JsonErrors:
    """The outermost layer: a request that fails inside the gateway is
    answered in JSON like every other refusal, not with the server's
    plain-text 500 (POST /graphql is served outside Starlette's own error
    layer), and the failure is logged once."""

    def __init__(self, app: ASGIApp) -> None:
        object.__setattr__(self, "app", app)

    # The layer below (the guard) keeps its settings reachable through this one.
    def __getattr__(self, name: str) -> Any:
        return getattr(self.app, name)

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self.app, name, value)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = False

        async def noting_send(message: Message) -> None:
            nonlocal started
            started = started or message["type"] == "http.response.start"
            await send(message)

        try:
            await self.app(scope, receive, noting_send)
        except Exception as error:
            log.error("http %s %s failed: %s", scope.get("method"), scope.get("path"), error,
                      exc_info=not isinstance(error, MemoryError))
            if started:  # the status is out already: the connection ends instead
                raise
            status, body, headers = _server_error(error)
            await _send(send, status, body, f"{APPLICATION_JSON}; charset=utf-8", headers)


class McpEndpoint:
    """The MCP streamable HTTP endpoint, set up by its first request.

    Loading the MCP SDK costs a gateway more CPU than everything else it
    loads; a gateway whose clients only speak GraphQL never pays it, and the
    first MCP client waits for it once.  The SDK's session manager runs from
    that request until the app stops (``running()`` is the app's lifespan)."""

    def __init__(self, gateway: Gateway, server: Server[Any] | None, *, max_body: int, max_sessions: int,
                 idle_seconds: float, stateless: bool = False) -> None:
        self._gateway = gateway
        self._server = server
        # The manager's own limit stays above the quota's, which makes room
        # before the manager would refuse anyone.
        self._limits = {"max_request_body_size": max_body, "session_idle_timeout": idle_seconds,
                        "max_sessions": max_sessions + 16, "stateless": stateless}
        self._app: ASGIApp | None = None
        self._starting = asyncio.Lock()
        self._tasks: anyio.abc.TaskGroup | None = None
        self._stopping: anyio.Event | None = None

    @contextlib.asynccontextmanager
    async def running(self) -> AsyncIterator[None]:
        self._stopping = stopping = anyio.Event()
        async with anyio.create_task_group() as tasks:
            self._tasks = tasks
            try:
                yield
            finally:
                self._tasks = None
                stopping.set()  # the session manager ends its sessions and returns

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        app = self._app or await self._start()
        await app(scope, receive, send)

    async def _start(self) -> ASGIApp:
        # Shielded: one client hanging up must not cancel the start the
        # others are waiting for.
        with anyio.CancelScope(shield=True):
            async with self._starting:
                if self._app is None:
                    tasks, stopping = self._tasks, self._stopping
                    if tasks is None or stopping is None:
                        raise RuntimeError("the MCP endpoint serves only while the app runs (its lifespan)")
                    # Off the event loop, which keeps answering GraphQL meanwhile.
                    sessions = await anyio.to_thread.run_sync(self._session_manager)
                    self._app = await tasks.start(self._serve, sessions, stopping)
        return self._app

    def _session_manager(self) -> StreamableHTTPSessionManager:
        from mcp.server.streamable_http_manager import StreamableHTTPSessionManager

        if self._server is None:
            from .mcp_front import build_mcp_server

            self._server = build_mcp_server(self._gateway)
        return StreamableHTTPSessionManager(app=self._server, **self._limits)

    async def _serve(self, sessions: StreamableHTTPSessionManager, stopping: anyio.Event, *,
                     task_status: anyio.abc.TaskStatus[ASGIApp]) -> None:
        from mcp.server.streamable_http_manager import StreamableHTTPASGIApp

        async with sessions.run():
            task_status.started(StreamableHTTPASGIApp(sessions))
            await stopping.wait()


class Guard:
    """One layer for every rule that applies before a request is read:
    allowed hosts and origins, bearer token, body size.  The body is read here
    (up to the limit) and handed on whole, so no endpoint sees an oversize one.

    A ``POST /graphql`` goes from here straight to ``graphql`` with the
    headers and body already read: it is the request a gateway serves by the
    thousand, and routing it through the app would cost more than most
    queries take to run.  Whatever passes is answered through the
    compression layer (see ``compression``), the guard's fast path included."""

    PUBLIC = frozenset({("GET", "/"), ("HEAD", "/"), ("GET", "/graphql"), ("HEAD", "/graphql")})

    def __init__(self, app: ASGIApp, *, token: str | None, max_body: int, loopback_only: bool,
                 public_health: bool = False, graphql: GraphQLEndpoint | None = None,
                 compress_from: int | None = None) -> None:
        self.app = app
        self.graphql = graphql
        self.body_seconds = BODY_SECONDS
        self._expected = token.encode() if token else None
        self.max_body = max_body
        self.loopback_only = loopback_only
        self.allowed_origins: frozenset[str] = frozenset()
        self.public = self.PUBLIC | {(method, path) for path in HEALTH_PATHS for method in ("GET", "HEAD")} \
            if public_health else self.PUBLIC
        self.guesses = GuessThrottle()
        self._serve: ASGIApp = Compression(self._guarded, compress_from) if compress_from is not None \
            else self._guarded

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self._serve(scope, receive, send)

    async def _guarded(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "websocket":  # nothing here speaks it; refuse before any other check
            await send({"type": "websocket.close", "code": 1008})
            return
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = _headers(scope)
        refusal = self._refusal(scope, headers)
        if refusal is not None:
            await _send_error(scope, send, *refusal)
            return
        if scope["method"] in ("GET", "HEAD", "DELETE", "OPTIONS"):
            await self.app(scope, receive, send)
            return
        declared = headers.get("content-length")
        size = _count(declared) if declared is not None else 0
        if size is None:
            await _send_error(scope, send, 400, "bad Content-Length")
            return
        if size > self.max_body:
            await _send_error(scope, send, 413, self._too_large())
            return
        try:
            body = await self._read_body(receive)
        except TimeoutError:
            await _send_error(scope, send, 408, f"the request body did not arrive within {self.body_seconds:g} s")
            return
        if body is None:
            await _send_error(scope, send, 413, self._too_large())
            return
        if self.graphql is not None and scope["method"] == "POST" and scope["path"] == "/graphql":
            await self.graphql.post(scope, headers, body, receive, send)
            return
        await self.app(scope, _replay(body, receive), send)

    def _refusal(self, scope: Scope, headers: dict[str, str]) -> tuple[int, str, dict[str, str]] | None:
        if self.loopback_only:
            if not is_loopback(_host_name(headers.get("host", ""))):
                return 421, "this gateway answers only requests addressed to a loopback host", {}
            origin = headers.get("origin")
            if origin is not None and origin.lower() not in self.allowed_origins \
                    and not same_origin(origin, headers.get("host", ""), scope.get("scheme", "http")):
                return 403, "requests from pages of other origins are refused", {}
        if self._expected is None or ((scope["method"], scope["path"]) in self.public and not _runs_query(scope)):
            return None
        authorization = headers.get("authorization", "")
        if not authorization:  # not a guess: nothing to throttle
            return 401, "missing or wrong bearer token (Authorization: Bearer <token>)", {"www-authenticate": "Bearer"}
        client = _client_address(scope)
        wait = self.guesses.wait(client)
        if wait > 0:
            return 429, f"too many failed token checks from this client; retry in {wait:.0f} s", \
                {"retry-after": str(math.ceil(wait))}
        if not hmac.compare_digest(bearer_credentials(authorization), self._expected):
            self.guesses.failed(client)
            return 401, "missing or wrong bearer token (Authorization: Bearer <token>)", {"www-authenticate": "Bearer"}
        return None

    async def _read_body(self, receive: Receive) -> bytes | None:
        """The whole body, or None when it is over the limit; TimeoutError
        when it takes longer than ``body_seconds`` in all."""
        deadline = asyncio.get_running_loop().time() + self.body_seconds
        message = await _before(deadline, receive())
        chunks: list[bytes] = []
        size = 0
        while message["type"] == "http.request":
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > self.max_body:
                return None
            if not message.get("more_body", False):
                return b"".join((*chunks, chunk)) if chunks else chunk
            chunks.append(chunk)
            message = await _before(deadline, receive())
        return b"".join(chunks)  # the client left part way: the endpoint sees what came

    def _too_large(self) -> str:
        return f"request body larger than the limit of {self.max_body} bytes"


def bearer_credentials(authorization: str) -> bytes:
    """The token of an ``Authorization: Bearer <token>`` value; RFC 9110
    makes the scheme's name case-insensitive and allows more than one space
    after it.  Empty for any other scheme."""
    scheme, _, credentials = authorization.partition(" ")
    return credentials.lstrip(" ").encode("latin-1") if scheme.lower() == "bearer" else b""


def same_origin(origin: str, host_header: str, scheme: str = "http") -> bool:
    """Whether a page of ``origin`` is one this gateway served: its scheme,
    a loopback host, and the port the request was sent to (another port is
    another origin, even on the same machine)."""
    defaults = {"http": 80, "https": 443}
    try:
        parts = urlsplit(origin)
        port = parts.port or defaults.get(parts.scheme)
        own_port = urlsplit(f"//{host_header}").port or defaults.get(scheme)
    except ValueError:  # a port that is not a number
        return False
    return parts.scheme == scheme and is_loopback(_host_name(parts.netloc)) and port == own_port


class GuessThrottle:
    """Failed token checks per client address, as a leaky bucket: a burst of
    ``burst`` failures passes, then one per ``per_second``.  A client over it
    is refused before its token is compared, so refusals tell nothing about
    the token and guessing runs at the bucket's pace."""

    def __init__(self, burst: int = 10, per_second: float = 1.0, clients: int = 4096) -> None:
        self.burst = burst
        self.per_second = per_second
        self.clients = clients
        self._level: dict[str, tuple[float, float]] = {}  # client -> (failures, when last counted)

    def _drained(self, client: str, now: float) -> float:
        level, when = self._level.get(client, (0.0, now))
        return max(0.0, level - (now - when) * self.per_second)

    def wait(self, client: str) -> float:
        """Seconds before this client may try again; 0 when it may now."""
        level = self._drained(client, time.monotonic())
        over = level - (self.burst - 1)
        return over / self.per_second if over > 0 else 0.0

    def failed(self, client: str) -> None:
        now = time.monotonic()
        if len(self._level) >= self.clients and client not in self._level:
            self._level = {c: v for c, v in self._level.items() if self._drained(c, now) > 0}
            if len(self._level) >= self.clients:  # the table stays bounded: the longest known go first
                self._level = dict(list(self._level.items())[self.clients // 2:])
        level = self._drained(client, now) + 1
        self._level.pop(client, None)
        self._level[client] = (level, now)


async def until_client_leaves(work: Awaitable[_T], receive: Receive) -> _T | None:
    """Awaits ``work`` unless the client disconnects first, in which case the
    work is cancelled (the gateway then starts none of its tool calls that it
    has not handed to the engine yet) and the answer is None."""
    task = asyncio.ensure_future(work)
    watcher = asyncio.ensure_future(_disconnected(receive))
    try:
        await asyncio.wait((task, watcher), return_when=asyncio.FIRST_COMPLETED)
    finally:
        watcher.cancel()
    if not task.done():
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task
        return None
    return task.result()


async def _before(deadline: float, message: Awaitable[_T]) -> _T:
    """``await message`` with a deadline, the timer armed only if it has to
    wait: the body of a small request is there by the time it is asked for,
    and a timer per request would cost more than the rest of the guard."""
    steps = message.__await__()
    try:
        pending = steps.send(None)
    except StopIteration as arrived:
        value: _T = arrived.value
        return value
    async with asyncio.timeout_at(deadline):
        return await _Resumed(steps, pending)


class _Resumed(Awaitable[_T]):
    """The rest of an awaitable whose first step has run and yielded
    ``pending``: awaiting this hands the task's wake-ups (and cancellation)
    on to it as if it had been awaited from the start."""

    def __init__(self, steps: Generator[Any, Any, _T], pending: Any) -> None:
        self._steps = steps
        self._pending = pending

    def __await__(self) -> Generator[Any, Any, _T]:
        pending = self._pending
        while True:
            try:
                sent = yield pending
            except BaseException as error:  # cancellation (or close) goes on to the awaitable
                step = functools.partial(self._steps.throw, error)
            else:
                step = functools.partial(self._steps.send, sent)
            try:
                pending = step()
            except StopIteration as done:
                value: _T = done.value
                return value


async def _disconnected(receive: Receive) -> None:
    while (await receive())["type"] != "http.disconnect":
        pass


def _client_address(scope: Scope) -> str:
    client = scope.get("client")
    return str(client[0]) if client else "-"
def _runs_query(scope: Scope) -> bool:
    """A GET of /graphql that carries a query (its text, or a persisted
    query's hash in ``extensions``) runs it; without one it is the static
    playground page, which needs no token."""
    return scope["path"] == "/graphql" and any(
        part.split(b"=", 1)[0] in (b"query", b"extensions") for part in scope.get("query_string", b"").split(b"&"))


def _replay(body: bytes, receive: Receive) -> Receive:
    sent = False

    async def replay() -> Message:
        nonlocal sent
        if not sent:
            sent = True
            return {"type": "http.request", "body": body, "more_body": False}
        return await receive()

    return replay


class PlaygroundPage:
    """The playground: one static HTML file shipped in this package."""

    def __init__(self) -> None:
        self.body = resources.files(__package__).joinpath("playground.html").read_bytes()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["method"] not in ("GET", "HEAD"):
            await _send_error(scope, send, 405, f"{scope['method']} is not allowed here", {"allow": "GET, HEAD"})
            return
        body = self.body if scope["method"] == "GET" else b""
        await _send(send, 200, body, "text/html; charset=utf-8",
                    {"content-security-policy": PLAYGROUND_POLICY, "x-content-type-options": "nosniff",
                     "cache-control": "no-store"}, length=len(self.body))


_VIA = {method: f"http {method} /graphql" for method in ("GET", "POST")}


@dataclass(frozen=True)
class GraphQLOptions:
    """What an operator tunes of ``/graphql``: operations per batch, the
    persisted query store's size in bytes (None: no persisted queries), and
    the ``Cache-Control`` of GET answers a proxy may keep (None: no header)."""

    max_batch: int = DEFAULT_MAX_OPERATIONS
    persisted_bytes: int | None = DEFAULT_STORE_BYTES
    get_cache_control: str | None = None


class GraphQLEndpoint:
    """``POST /graphql``: a JSON body ``{"query", "variables",
    "operationName", "extensions"}``, or an array of them (a batch).
    ``GET /graphql?query=&variables=&operationName=&extensions=``
    runs query operations only, as GraphQL over HTTP has it (a mutation is a
    405); a ``GET`` without ``query`` or ``extensions`` is the playground page.
    Either may name a persisted query by its hash instead of its text."""

    ALLOW = "GET, HEAD, POST"

    def __init__(self, gateway: Gateway, page: PlaygroundPage, options: GraphQLOptions | None = None) -> None:
        self.gateway = gateway
        self.page = page
        self.options = options or GraphQLOptions()
        self.persisted = PersistedQueries(self.options.persisted_bytes) \
            if self.options.persisted_bytes is not None else None
        self.batches = BatchRunner(gateway, self.persisted, self.options.max_batch)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        method = scope["method"]
        if method == "GET" and _runs_query(scope):
            await self._get(scope, receive, send)
        elif method in ("GET", "HEAD"):
            await self.page(scope, receive, send)
        elif method == "POST":
            await self.post(scope, _headers(scope), (await receive()).get("body", b""), receive, send)
        else:
            await _send_error(scope, send, 405, f"{method} is not allowed here; POST a GraphQL request",
                              {"allow": self.ALLOW})

    async def post(self, scope: Scope, headers: dict[str, str], body: bytes, receive: Receive, send: Send) -> None:
        """A POST whose headers and whole body are read already (the guard
        reads them)."""
        media = response_media_type(headers.get("accept"))
        if media is None:
            await _send_error(scope, send, 406, f"can answer only {APPLICATION_JSON} or {GRAPHQL_RESPONSE}")
            return
        refusal = content_type_refusal(headers)
        if refusal is not None:
            await _send_error(scope, send, 415, refusal)
            return
        try:
            request = read_body(body)
        except ValueError as problem:
            await _send_error(scope, send, 400, str(problem))
            return
        if isinstance(request, list):
            await self._batch(scope, media, receive, send, request)
            return
        await self._answer("POST", media, receive, send, request)

    async def _get(self, scope: Scope, receive: Receive, send: Send) -> None:
        media = response_media_type(_headers(scope).get("accept"))
        if media is None:
            await _send_error(scope, send, 406, f"can answer only {APPLICATION_JSON} or {GRAPHQL_RESPONSE}")
            return
        try:
            request = parse_query_string(scope.get("query_string", b""))
        except ValueError as problem:
            await _send_error(scope, send, 400, str(problem))
            return
        if self.gateway.raw:
            # The engine's language cannot tell a read from a change before it
            # runs, and GET must never change anything.
            await _send_error(scope, send, 405, "GET runs only query operations of standard GraphQL; POST this "
                              "request to run the engine's own language", {"allow": self.ALLOW})
            return
        await self._answer("GET", media, receive, send, request)

    async def _answer(self, method: str, media: str, receive: Receive, send: Send, request: GraphQLRequest) -> None:
        via = _VIA[method]
        try:
            query = request.text(self.persisted)
        except ValueError as problem:
            await self._refuse_text(send, media, problem)
            return
        # A request answered inline is done before anything could notice
        # the client leave: only one that waits needs a watcher.
        outcome = self.gateway.start(query, request.variables, via=via, operation_name=request.operation_name,
                                     allow_mutations=method == "POST")
        result = outcome if isinstance(outcome, QueryResult) else await until_client_leaves(outcome, receive)
        if result is None:
            log.info("%s: the client left before its query ran; no tool was called", via)
            return
        if result.busy:
            await _send(send, 503, result.text.encode(), f"{APPLICATION_JSON}; charset=utf-8",
                        {"retry-after": str(RETRY_AFTER_SECONDS)})
            return
        if result.mutation_refused:
            await _send(send, 405, result.text.encode(), f"{media}; charset=utf-8", {"allow": "POST"})
            return
        status = 400 if media == GRAPHQL_RESPONSE and result.request_failed else 200
        headers = self._cache_headers(result) if method == "GET" else None
        await _send(send, status, result.text.encode(), f"{media}; charset=utf-8", headers)

    def _cache_headers(self, result: QueryResult) -> dict[str, str] | None:
        # Only a whole answer may be kept by a proxy: a tool that failed
        # now may answer on the next request.
        policy = self.options.get_cache_control
        if policy is None:
            return None
        # The media type follows the Accept header, so a cache keeps one answer per Accept.
        return {"cache-control": policy if not result.request_failed and not result.document.get("errors")
                else "no-store", "vary": "accept"}

    async def _refuse_text(self, send: Send, media: str, problem: ValueError) -> None:
        """A request whose text could not be had: a persisted query the store
        does not know is an ordinary GraphQL answer (the client resends), a
        hash that does not match its text a bad request.  Never kept by a
        proxy: the same URL answers once the store knows the hash."""
        log.info("http /graphql refused: %s", problem)
        answer = isinstance(problem, PersistedQueryError) and problem.code is not None
        status = 200 if answer and media == APPLICATION_JSON else 400
        await _send(send, status, error_text(problem).encode(), f"{media}; charset=utf-8", {"cache-control": "no-store"})

    async def _batch(self, scope: Scope, media: str, receive: Receive, send: Send, elements: list[Any]) -> None:
        try:
            batch = await until_client_leaves(self.batches.run(elements), receive)
        except BatchRefused as problem:
            await _send_error(scope, send, 400, str(problem))
            return
        if batch is None:
            log.info("%s: the client left before its batch ran", BatchRunner.VIA)
            return
        if batch.all_busy:
            await _send(send, 503, batch.body(), f"{APPLICATION_JSON}; charset=utf-8",
                        {"retry-after": str(RETRY_AFTER_SECONDS)})
            return
        await _send(send, 200, batch.body(), f"{media}; charset=utf-8")


class DiscoveryEndpoint:
    """``GET /discovery?text=&server=&limit=``: the discovery result as
    JSON (matching fields with input schemas, and their SDL)."""

    def __init__(self, gateway: Gateway) -> None:
        self.gateway = gateway

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["method"] not in ("GET", "HEAD"):
            await _send_error(scope, send, 405, f"{scope['method']} is not allowed here", {"allow": "GET, HEAD"})
            return
        params = parse_qs(scope.get("query_string", b"").decode("latin-1"))
        text = params.get("text", [""])[0] or None
        server = params.get("server", [""])[0] or None
        limit_text = params.get("limit", [""])[0]
        limit = _count(limit_text) if limit_text else None
        if limit_text and not limit:
            await _send_error(scope, send, 400, "limit must be a positive integer")
            return
        found = self.gateway.discover(text, server, limit)
        await _send(send, 200, json.dumps(found).encode(), f"{APPLICATION_JSON}; charset=utf-8")


class ValidateEndpoint:
    """``POST /validate``: the body of a ``POST /graphql``, answered with
    ``{"errors": [...]}``, the errors that would refuse it as a whole (with
    their locations), without running it: the playground marks them as its
    user types."""

    def __init__(self, gateway: Gateway) -> None:
        self.gateway = gateway

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["method"] != "POST":
            await _send_error(scope, send, 405, f"{scope['method']} is not allowed here; POST a GraphQL request",
                              {"allow": "POST"})
            return
        refusal = content_type_refusal(_headers(scope))
        if refusal is not None:
            await _send_error(scope, send, 415, refusal)
            return
        try:
            request = parse_request((await receive()).get("body", b""))
            query = request.text(None)  # a check has the text: a hash alone names nothing to check
        except ValueError as problem:
            await _send_error(scope, send, 400, str(problem))
            return
        errors = await self.gateway.check(query, request.variables, request.operation_name)
        await _send(send, 200, json.dumps({"errors": errors}).encode(), f"{APPLICATION_JSON}; charset=utf-8")


def content_type_refusal(headers: dict[str, str]) -> str | None:
    """Why a request body is not read as JSON, or None when it says it is."""
    content_type = headers.get("content-type", "").split(";")[0].strip().lower()
    if content_type == APPLICATION_JSON:
        return None
    return f"send the request as {APPLICATION_JSON}, not {content_type or 'no type'}"


def parse_query_string(raw: bytes) -> GraphQLRequest:
    """The request in a GET request's URL parameters; ValueError with a
    message for the client when they are bad."""
    try:
        params = parse_qs(raw.decode("utf-8"), keep_blank_values=True, errors="strict")
    except UnicodeDecodeError:
        raise ValueError("the URL parameters are not UTF-8") from None
    for name, values in params.items():
        if len(values) > 1:
            raise ValueError(f"the URL gives {name!r} more than once")
    variables = _url_json(params, "variables")
    extensions = _url_json(params, "extensions")
    query: str | None = params.get("query", [""])[0]
    if not (query or "").strip():
        if not (extensions and "persistedQuery" in extensions):
            raise ValueError('the URL needs "query": the GraphQL query text')
        query = None
    return GraphQLRequest(query, variables, params.get("operationName", [""])[0] or None, extensions)


def _url_json(params: dict[str, list[str]], name: str) -> dict[str, Any] | None:
    text = params.get(name, [""])[0]
    if not text:
        return None
    try:
        value = json.loads(text)
    except (json.JSONDecodeError, RecursionError):
        raise ValueError(f'"{name}" in the URL is not JSON') from None
    if value is not None and not isinstance(value, dict):
        raise ValueError(f'"{name}" must be an object or null')
    return value


def parse_request(body: bytes) -> GraphQLRequest:
    """One GraphQL-over-HTTP JSON body; ValueError with a message for the
    client when it is not one (a batch included: see :func:`read_body`)."""
    request = read_body(body)
    if isinstance(request, list):
        raise ValueError('the request body must be a JSON object {"query": ..., "variables": ...}')
    return request


@functools.lru_cache(maxsize=64)  # a client sends the same Accept header with every request
def response_media_type(accept: str | None) -> str | None:
    """The media type to answer with for an Accept header: the GraphQL
    response type only when the client ranks it at least as high as plain
    JSON, plain JSON by default, None when the client accepts neither."""
    if not accept or not accept.strip():
        return APPLICATION_JSON
    ranks: dict[str, float] = {}
    for item in accept.split(","):
        media, *parameters = (part.strip() for part in item.split(";"))
        quality = 1.0
        for parameter in parameters:
            if parameter.startswith("q="):
                try:
                    quality = float(parameter[2:])
                except ValueError:
                    quality = 0.0
        media = media.lower()
        ranks[media] = max(ranks.get(media, 0.0), quality)

    def rank(media: str) -> float:
        family = media.split("/")[0] + "/*"
        return ranks.get(media, ranks.get(family, ranks.get("*/*", 0.0)))

    graphql, plain = rank(GRAPHQL_RESPONSE), rank(APPLICATION_JSON)
    if graphql <= 0 and plain <= 0:
        return None
    return GRAPHQL_RESPONSE if graphql > 0 and GRAPHQL_RESPONSE in ranks and graphql >= plain else APPLICATION_JSON


def _count(text: str) -> int | None:
    # str.isdigit() alone also passes digits of other scripts and "²", which
    # int() takes differently or not at all.
    return int(text) if text.isascii() and text.isdigit() else None


def _headers(scope: Scope) -> dict[str, str]:
    return {key.decode("latin-1").lower(): value.decode("latin-1") for key, value in scope["headers"]}


def _host_name(netloc: str) -> str:
    netloc = netloc.strip().lower()
    if netloc.startswith("["):
        return netloc[: netloc.find("]") + 1] if "]" in netloc else netloc
    return netloc.rsplit(":", 1)[0] if ":" in netloc else netloc


# The code of an error the HTTP layer answers by itself, by its status.
_STATUS_CODES = {401: ErrorCode.UNAUTHENTICATED, 403: ErrorCode.FORBIDDEN, 421: ErrorCode.FORBIDDEN,
                 413: ErrorCode.QUERY_TOO_LARGE, 429: ErrorCode.GATEWAY_BUSY, 503: ErrorCode.GATEWAY_BUSY}


async def _send_error(scope: Scope, send: Send, status: int, message: str,
                      headers: dict[str, str] | None = None) -> None:
    log.info("http %s %s refused %d: %s", scope["method"], scope["path"], status, message)
    code = _STATUS_CODES.get(status, ErrorCode.BAD_REQUEST)
    body = json.dumps({"errors": [{"message": message, "extensions": {"code": code.value}}]}).encode()
    await _send(send, status, body, f"{APPLICATION_JSON}; charset=utf-8", headers)


async def _send(send: Send, status: int, body: bytes, content_type: str, headers: dict[str, str] | None = None,
                *, length: int | None = None) -> None:
    raw = [(b"content-type", content_type.encode()), (b"content-length", str(len(body) if length is None
                                                                                 else length).encode())]
    raw.extend((k.encode(), v.encode("latin-1")) for k, v in (headers or {}).items())
    await send({"type": "http.response.start", "status": status, "headers": raw})
    await send({"type": "http.response.body", "body": body})


class UvicornServer(uvicorn.Server):
    """uvicorn's server with signal handling that only asks it to stop:
    uvicorn's own re-raises the signal after shutdown, which would end the
    process before the tool servers are closed.  ``on_stop`` runs at the
    first signal, so requests in flight can finish before the grace period."""

    def __init__(self, config: uvicorn.Config, on_stop: Callable[[], None] | None = None) -> None:
        super().__init__(config)
        self._on_stop = on_stop

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        previous = {number: signal.signal(number, self._stop) for number in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)

    def _stop(self, number: int, frame: Any) -> None:
        # A second signal stops waiting for open connections.
        self.force_exit = self.should_exit
        self.should_exit = True
        on_stop, self._on_stop = self._on_stop, None
        if on_stop is not None:
            on_stop()
