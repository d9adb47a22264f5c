"""The HTTP front under attack, with raw sockets against a real uvicorn on
127.0.0.1: connections that never finish their headers, more connections
than the cap, clients that never read, token guessing, session floods."""

from __future__ import annotations

import asyncio
import contextlib
import select
import socket
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

pytest.importorskip("starlette")
uvicorn = pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

from conftest import EXAMPLE_CATALOGUE  # noqa: E402
from support.gateway import http_gateway  # noqa: E402
from support.http_client import client as http  # noqa: E402

from quorvel_graphql.gateway.connections import ConnectionGuard, guarded_protocol  # noqa: E402
from quorvel_graphql.gateway.http_front import GuessThrottle  # noqa: E402

PROTOCOLS = ["h11", pytest.param("httptools", marks=pytest.mark.skipif(
    not __import__("importlib").util.find_spec("httptools"), reason="httptools is not installed"))]
BOUND = 60.0  # seconds any wait below may take before the test fails: a guard for a loaded machine
REQUEST = b"GET /slow HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


class SlowApp:
    """``/slow`` answers once ``release`` is set; ``/big`` sends 64 MB."""

    def __init__(self) -> None:
        self.release = threading.Event()

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            return
        if scope["path"] == "/big":
            await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"67108864")]})
            chunk = b"x" * (1 << 20)
            for index in range(64):
                await send({"type": "http.response.body", "body": chunk, "more_body": index < 63})
            return
        while not self.release.is_set():
            await asyncio.sleep(0.01)
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"2")]})
        await send({"type": "http.response.body", "body": b"ok"})


@contextlib.contextmanager
def guarded_server(guard: ConnectionGuard, http: str) -> Iterator[tuple[tuple[str, int], SlowApp]]:
    app = SlowApp()
    listener = socket.create_server(("127.0.0.1", 0))
    config = uvicorn.Config(app, http=guarded_protocol(guard, http), lifespan="off", log_level="warning",
                            timeout_keep_alive=5)
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    try:
        wait_for(lambda: server.started)
        yield listener.getsockname(), app
    finally:
        app.release.set()
        server.should_exit = True
        thread.join(BOUND)
        listener.close()


def wait_for(condition: Callable[[], bool]) -> None:
    deadline = time.monotonic() + BOUND
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def connect(address: tuple[str, int], send: bytes = b"") -> socket.socket:
    sock = socket.create_connection(address, timeout=BOUND)
    if send:
        sock.sendall(send)
    return sock


def read_all(sock: socket.socket) -> bytes:
    chunks = []
    while chunk := sock.recv(65536):
        chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.parametrize("http", PROTOCOLS)
@pytest.mark.parametrize("sent", [b"", b"GET /slow HTTP/1.1\r\nHost: 127.0.0.1\r\n"])
def test_a_connection_without_complete_headers_is_closed(http: str, sent: bytes) -> None:
    guard = ConnectionGuard(max_connections=8, header_seconds=0.2)
    with guarded_server(guard, http) as (address, _):
        with connect(address, sent) as sock:
            assert read_all(sock) == b""  # closed by the server, nothing answered
        wait_for(lambda: guard.open == 0)


@pytest.mark.parametrize("http", PROTOCOLS)
def test_at_the_cap_an_idle_connection_makes_room_for_a_request(http: str) -> None:
    guard = ConnectionGuard(max_connections=2, header_seconds=BOUND)
    with guarded_server(guard, http) as (address, app):
        app.release.set()
        idle = [connect(address) for _ in range(2)]
        wait_for(lambda: guard.open == 2)
        with connect(address, REQUEST) as sock:
            assert sock.recv(4096).startswith(b"HTTP/1.1 200")
        assert guard.evicted == 1
        # The oldest one was closed; the other keeps waiting for its headers
        # (BOUND seconds), so the first to end must be the oldest.
        ended, _, _ = select.select(idle, [], [], BOUND)
        assert ended == [idle[0]] and read_all(idle[0]) == b""
        for sock in idle:
            sock.close()


@pytest.mark.parametrize("http", PROTOCOLS)
def test_beyond_the_cap_of_busy_connections_a_new_one_is_refused_clearly(http: str) -> None:
    guard = ConnectionGuard(max_connections=2, header_seconds=BOUND)
    with guarded_server(guard, http) as (address, app):
        busy = [connect(address, REQUEST) for _ in range(2)]
        wait_for(lambda: guard.open == 2 and not guard.waiting)
        with connect(address, REQUEST) as sock:
            refusal = read_all(sock)
        assert refusal.startswith(b"HTTP/1.1 503") and b"too many open connections" in refusal
        app.release.set()
        for sock in busy:
            assert sock.recv(4096).startswith(b"HTTP/1.1 200")
            sock.close()


@pytest.mark.parametrize("http", PROTOCOLS)
def test_a_client_that_never_reads_its_response_is_dropped(http: str) -> None:
    guard = ConnectionGuard(max_connections=8, header_seconds=BOUND, write_seconds=0.2)
    with guarded_server(guard, http) as (address, _):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.connect(address)
        sock.sendall(b"GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        wait_for(lambda: guard.open == 0)
        sock.close()


def exchange(address: tuple[str, int], request: bytes, pieces: int = 1) -> bytes:
    """Sends ``request`` (in ``pieces`` writes, or 64 KiB writes when it is
    large) while reading the answer, until the server closes; a server that
    stops reading part way is no error here."""
    with connect(address) as sock:
        size = len(request) // pieces if len(request) <= 1 << 20 else 1 << 16

        def send() -> None:
            with contextlib.suppress(OSError):
                for start in range(0, len(request), size):
                    sock.sendall(request[start:start + size])

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        answer = b""
        with contextlib.suppress(ConnectionResetError):
            while chunk := sock.recv(65536):
                answer += chunk
                if answer.startswith(b"HTTP/1.1 200") and answer.endswith(b"ok"):
                    break
        sock.shutdown(socket.SHUT_RDWR)
        sender.join(BOUND)
        return answer


def request_with_header(size: int, method: bytes = b"GET", body: bytes = b"") -> bytes:
    """A request whose header section is ``size`` bytes in all."""
    head = method + b" /slow HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + str(len(body)).encode() + b"\r\nX-Pad: "
    return head + b"a" * (size - len(head) - 4) + b"\r\n\r\n" + body


LIMIT = 4 << 10


@pytest.mark.parametrize("http", PROTOCOLS)
@pytest.mark.parametrize("size", [LIMIT + 1, 1 << 20, 32 << 20])
def test_request_headers_over_the_limit_are_refused_under_every_parser(http: str, size: int) -> None:
    guard = ConnectionGuard(max_connections=8, header_seconds=BOUND, max_header_bytes=LIMIT)
    with guarded_server(guard, http) as (address, app):
        app.release.set()
        answer = exchange(address, request_with_header(size))
        assert answer.startswith(b"HTTP/1.1 431") and f"limit of {LIMIT} bytes".encode() in answer, answer[:200]
        wait_for(lambda: guard.open == 0)


@pytest.mark.parametrize("parser", ["h11", pytest.param("httptools", marks=PROTOCOLS[1].marks)])
def test_the_gateway_refuses_oversize_headers_under_either_parser(parser: str) -> None:
    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE), "--http-parser", parser]) as gateway:
        host, port = gateway.url.removeprefix("http://").rsplit(":", 1)
        answer = exchange((host, int(port)), request_with_header(1 << 20))
        body = b'{"query": "{ servers { name } }"}'
        served = exchange((host, int(port)), b"POST /graphql HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                          b"application/json\r\nConnection: close\r\nContent-Length: "
                          + str(len(body)).encode() + b"\r\n\r\n" + body)
    assert answer.startswith(b"HTTP/1.1 431") and b"16384 bytes" in answer, answer[:200]
    assert served.startswith(b"HTTP/1.1 200"), served[:200]


@pytest.mark.parametrize("http", PROTOCOLS)
@pytest.mark.parametrize(("request_", "pieces"), [
    (request_with_header(LIMIT), 1),
    (request_with_header(LIMIT), 7),  # a blank line split between two reads
    (request_with_header(LIMIT) + b"GET /sl", 1),  # the start of a pipelined request, never finished
    (request_with_header(200, b"POST", b"b" * (1 << 20)), 1),  # a body is not header
    (request_with_header(200, b"POST", b"b" * 5000) + request_with_header(LIMIT), 1),  # pipelined after a body
], ids=["at-limit", "split", "pipelined-start", "large-body", "pipelined-after-body"])
def test_requests_within_the_header_limit_are_served(http: str, request_: bytes, pieces: int) -> None:
    guard = ConnectionGuard(max_connections=8, header_seconds=BOUND, max_header_bytes=LIMIT)
    with guarded_server(guard, http) as (address, app):
        app.release.set()
        assert exchange(address, request_, pieces).startswith(b"HTTP/1.1 200")


def test_token_guessing_is_throttled_per_client_without_telling_the_token() -> None:
    from _graphql import SchemaEngine

    from quorvel_graphql.gateway import Gateway, create_app

    app = create_app(Gateway(SchemaEngine("[]")), token="right")
    app.guesses = GuessThrottle(burst=10, per_second=1e-3)  # drains too slowly to matter within the test

    async def guesses() -> tuple[list[int], int, int]:
        async def post(client: tuple[str, int], token: str) -> httpx.Response:
            transport = httpx.ASGITransport(app=app, client=client)
            async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as http:
                return await http.post("/graphql", json={"query": "{ __typename }"},
                                       headers={"authorization": f"Bearer {token}"})

        attacker, other = ("127.0.0.7", 1000), ("127.0.0.8", 1000)
        transport = httpx.ASGITransport(app=app, client=attacker)
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as http:
            for _ in range(20):  # no token at all is no guess
                assert (await http.post("/graphql", json={"query": "{ __typename }"})).status_code == 401
        statuses = [(await post(attacker, f"guess{i}")).status_code for i in range(12)]
        right_from_attacker = await post(attacker, "right")
        right_from_other = await post(other, "right")
        assert right_from_attacker.headers.get("retry-after")
        return statuses, right_from_attacker.status_code, right_from_other.status_code

    statuses, attacker, other = asyncio.run(asyncio.wait_for(guesses(), BOUND))
    assert statuses[:10] == [401] * 10 and statuses[10:] == [429, 429]
    assert (attacker, other) == (429, 200)


@pytest.mark.parametrize(("authorization", "status"), [
    ("Bearer right", 200), ("bearer right", 200), ("BEARER   right", 200),
    ("Basic right", 401), ("Bearer wrong", 401), ("Bearerright", 401), ("Bearer  right x", 401),
])
def test_the_bearer_scheme_is_case_insensitive(authorization: str, status: int) -> None:
    from _graphql import SchemaEngine

    from quorvel_graphql.gateway import Gateway, create_app

    app = create_app(Gateway(SchemaEngine("[]")), token="right")

    async def post() -> int:
        transport = httpx.ASGITransport(app=app, client=("127.0.0.1", 1000))
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
            answer = await client.post("/graphql", json={"query": "{ __typename }"},
                                       headers={"authorization": authorization})
            return answer.status_code

    assert asyncio.run(asyncio.wait_for(post(), BOUND)) == status


@pytest.mark.parametrize(("trusted", "other_client"), [("127.0.0.1", 200), ("10.9.9.9", 429)],
                         ids=["trusted-proxy", "untrusted-peer"])
def test_the_token_throttle_counts_the_client_a_trusted_proxy_names(trusted: str, other_client: int) -> None:
    """The test acts as a proxy on 127.0.0.1 that forwards two clients: a
    guesser and one with the right token.  Believed only when the gateway
    trusts 127.0.0.1, which then tells the two apart."""
    args = ["--catalogue", str(EXAMPLE_CATALOGUE), "--forwarded-allow-ips", trusted]
    with http_gateway(args, {"QUORVEL_GATEWAY_TOKEN": "right"}) as gateway, httpx.Client(timeout=BOUND) as client:
        def post(forwarded_for: str, token: str) -> int:
            return client.post(f"{gateway.url}/graphql", json={"query": "{ servers { name } }"},
                               headers={"authorization": f"Bearer {token}",
                                        "x-forwarded-for": forwarded_for}).status_code

        # A guesser at full speed that also names a new address each time:
        # only a trusted proxy's word about the client counts.
        guesses = [post(f"203.0.113.{i % 2}", f"guess{i}") for i in range(30)]
        legitimate = [post("198.51.100.7", "right") for _ in range(3)]
    assert guesses.count(429) >= 10 and set(guesses) == {401, 429}
    assert legitimate == [other_client] * 3


def test_the_guess_throttle_drains_and_forgets_quiet_clients() -> None:
    throttle = GuessThrottle(burst=2, per_second=1000.0, clients=4)
    for _ in range(3):
        throttle.failed("a")
    assert throttle.wait("a") > 0
    wait_for(lambda: throttle.wait("a") == 0)
    for client in "bcdefg":
        throttle.failed(client)
    assert len(throttle._level) <= 4 + 1


def test_slowloris_does_not_keep_a_valid_request_out() -> None:
    args = ["--catalogue", str(EXAMPLE_CATALOGUE), "--max-connections", "16", "--header-timeout", "0.5"]
    with http_gateway(args) as gateway:
        host, port = gateway.url.removeprefix("http://").rsplit(":", 1)
        idle = [connect((host, int(port))) for _ in range(40)]
        try:
            response = http.post(f"{gateway.url}/graphql", json={"query": "{ servers { name } }"}, timeout=BOUND)
            assert response.status_code == 200 and response.json()["data"]["servers"]
            assert all(read_all(sock) == b"" for sock in idle)  # each closed, by eviction or its deadline
        finally:
            for sock in idle:
                sock.close()


def test_a_session_flood_does_not_lock_out_a_new_mcp_client() -> None:
    pytest.importorskip("mcp")
    from mcp import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    initialize = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
                  "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                             "clientInfo": {"name": "flood", "version": "1"}}}
    headers = {"accept": "application/json, text/event-stream", "content-type": "application/json"}
    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE), "--max-mcp-sessions", "4"]) as gateway:
        with httpx.Client(timeout=BOUND) as client:
            opened = [client.post(f"{gateway.url}/mcp", json=initialize, headers=headers) for _ in range(12)]
        assert all(r.status_code == 200 for r in opened), [r.text for r in opened if r.status_code != 200]

        async def newcomer() -> list[str]:
            async with streamable_http_client(f"{gateway.url}/mcp") as (read, write, *_):
                async with ClientSession(read, write) as session:
                    await session.initialize()
                    return [tool.name for tool in (await session.list_tools()).tools]

        assert asyncio.run(asyncio.wait_for(newcomer(), BOUND)) == ["graphql", "search_tools"]
        sessions = [r.headers["mcp-session-id"] for r in opened]
        with httpx.Client(timeout=BOUND) as client:
            oldest = client.post(f"{gateway.url}/mcp", headers={**headers, "mcp-session-id": sessions[0],
                                                                "mcp-protocol-version": "2025-06-18"},
                                 json={"jsonrpc": "2.0", "id": 2, "method": "tools/list"})
        assert oldest.status_code == 404  # ended to make room


def test_a_session_in_use_outlives_a_flood_from_many_addresses() -> None:
    """With the balancer's word for each client, a flood of initialize
    requests from as many addresses recycles its own sessions, never one
    that has made a call; once every session has, a new one is refused."""
    pytest.importorskip("mcp")
    limit = 16
    args = ["--catalogue", str(EXAMPLE_CATALOGUE), "--max-mcp-sessions", str(limit),
            "--forwarded-allow-ips", "127.0.0.1"]
    headers = {"accept": "application/json, text/event-stream", "content-type": "application/json",
               "mcp-protocol-version": "2025-06-18"}
    initialize = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
                  "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                             "clientInfo": {"name": "flood", "version": "1"}}}
    with http_gateway(args) as gateway, httpx.Client(timeout=BOUND) as client:
        def open_session(address: str) -> httpx.Response:
            return client.post(f"{gateway.url}/mcp", json=initialize, headers={**headers, "x-forwarded-for": address})

        def call(address: str, session: str) -> httpx.Response:
            return client.post(f"{gateway.url}/mcp", json={"jsonrpc": "2.0", "id": 2, "method": "tools/list"},
                               headers={**headers, "x-forwarded-for": address, "mcp-session-id": session})

        legitimate = open_session("198.51.100.7").headers["mcp-session-id"]
        assert call("198.51.100.7", legitimate).status_code == 200
        flood = [open_session(f"203.0.113.{i}").status_code for i in range(5 * limit)]
        after_flood = call("198.51.100.7", legitimate)
        # Sessions that each make a call fill the table; then nothing may go.
        for i in range(limit - 1):
            address = f"192.0.2.{i}"
            assert call(address, open_session(address).headers["mcp-session-id"]).status_code == 200
        refused = open_session("203.0.113.250")
        still = call("198.51.100.7", legitimate)
    assert set(flood) == {200}
    assert after_flood.status_code == 200 and "graphql" in after_flood.text
    assert refused.status_code == 503 and "as many MCP sessions" in refused.text
    assert still.status_code == 200
