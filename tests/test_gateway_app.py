"""The gateway in process: Accept negotiation, the graphql tool's description, and many
concurrent queries whose handlers themselves use threads."""

from __future__ import annotations

import asyncio
import json
import threading
import time
from typing import Any, Callable

import pytest

pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")

from quorvel_graphql import ToolHost  # noqa: E402
from quorvel_graphql.gateway import Gateway, create_app  # noqa: E402
from quorvel_graphql.gateway.http_front import response_media_type  # noqa: E402
from quorvel_graphql.gateway.mcp_front import LISTED_FIELDS_MAX, graphql_description  # noqa: E402


@pytest.mark.parametrize(
    ("accept", "media"),
    [
        (None, "application/json"),
        ("", "application/json"),
        ("*/*", "application/json"),
        ("application/*", "application/json"),
        ("application/graphql-response+json", "application/graphql-response+json"),
        ("application/json;q=0.5, application/graphql-response+json", "application/graphql-response+json"),
        ("application/graphql-response+json;q=0.5, application/json", "application/json"),
        ("text/html", None),
        ("application/json;q=0", None),
        ("application/json;q=bogus, text/plain", None),
    ],
)
def test_accept_negotiation(accept: str | None, media: str | None) -> None:
    assert response_media_type(accept) == media


def catalogue_tools(count: int) -> list[dict[str, Any]]:
    return [{"field": f"s_t{i}", "server": "s", "tool": f"t{i}", "description": "", "readOnly": i % 2 == 0,
             "inputSchema": {"type": "object", "properties": {"q": {"type": "string"}}, "required": ["q"]}}
            for i in range(count)]


def test_graphql_description_lists_a_small_catalogue_only() -> None:
    small = graphql_description(catalogue_tools(3))
    assert "s_t0(q: String!)" in small and "s_t1(q: String!) (changes things)" in small
    large = graphql_description(catalogue_tools(LISTED_FIELDS_MAX + 1))
    assert "s_t5(" not in large and "search_tools" in large


def test_many_concurrent_queries_with_handlers_that_use_threads() -> None:
    """Handlers that await asyncio.to_thread on the gateway's own loop must not
    starve the engine calls (or the reverse): all queries finish."""
    clients = 40
    catalogue = json.dumps([{"server": "slow", "tools": [{"name": "nap"}]}])
    running = 0
    peak = 0
    lock = threading.Lock()

    def nap(seconds: float) -> str:
        nonlocal running, peak
        with lock:
            running += 1
            peak = max(peak, running)
        time.sleep(seconds)
        with lock:
            running -= 1
        return "rested"

    async def scenario() -> list[Any]:
        host = ToolHost(catalogue)
        host.input_schemas[("slow", "nap")] = {"type": "object", "properties": {"seconds": {"type": "number"}}}

        @host.tool("slow", "nap")
        async def handler(seconds: float) -> str:
            return await asyncio.to_thread(nap, seconds)

        async with host:
            gateway = Gateway(host)
            transport = httpx.ASGITransport(app=create_app(gateway))
            try:
                async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
                    body = {"query": "{ a: slow_nap(seconds: 0.1) { text } b: slow_nap(seconds: 0.1) { text } }"}
                    return await asyncio.gather(*(client.post("/graphql", json=body) for _ in range(clients)))
            finally:
                gateway.close()

    responses = asyncio.run(asyncio.wait_for(scenario(), 60))
    assert all(r.status_code == 200 and r.json()["data"]["a"] == {"text": "rested"} for r in responses)
    assert peak > 2  # the naps overlapped: nothing ran them one at a time


def nested(depth: int) -> dict[str, Any]:
    value: dict[str, Any] = {}
    for _ in range(depth):
        value = {"a": value}
    return value


@pytest.mark.parametrize(
    ("query", "variables", "message"),
    [
        ("{ servers { name } }", lambda: nested(100_000), "nest too deeply"),  # built when run
        ("{ servers { name } }", {"n": float("nan")}, "not JSON"),
        ('{ servers(a: "\ud800") }', None, "lone surrogate"),
        ("{ servers { name } }", {"s": "\udc00"}, "invalid JSON"),
    ],
)
def test_requests_the_engine_cannot_take_are_refused_with_a_message(
    query: str, variables: dict[str, Any] | Callable[[], dict[str, Any]] | None, message: str
) -> None:
    from _graphql import SchemaEngine

    variables = variables() if callable(variables) else variables

    gateway = Gateway(SchemaEngine("[]"))
    try:
        result = asyncio.run(gateway.execute(query, variables, via="test"))
    finally:
        gateway.close()
    assert result.request_failed and message in result.document["errors"][0]["message"]


@pytest.mark.parametrize(
    ("method", "path", "headers", "message"),
    [
        ("GET", "/discovery?limit=%C2%B2", {}, "limit must be a positive integer"),
        ("GET", "/discovery?limit=%D9%A3", {}, "limit must be a positive integer"),
        ("GET", "/discovery?limit=0", {}, "limit must be a positive integer"),
        ("POST", "/graphql", {"content-length": b"\xb2"}, "bad Content-Length"),
    ],
)
def test_counts_that_are_not_ascii_digits_are_refused(method: str, path: str, headers: dict[str, Any],
                                                      message: str) -> None:
    from _graphql import SchemaEngine

    async def request() -> httpx.Response:
        app = create_app(Gateway(SchemaEngine("[]")))
        transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
            return await client.request(method, path, content=b"{}" if method == "POST" else None,
                                        headers={"content-type": "application/json", **headers})

    response = asyncio.run(asyncio.wait_for(request(), 30))
    assert response.status_code == 400 and message in response.json()["errors"][0]["message"]


@pytest.mark.parametrize(
    ("headers", "status"),
    [
        ({"host": "127.0.0.2:8000"}, 200),
        ({"host": "[::1]:8000", "origin": "http://localhost:8000"}, 200),
        ({"host": "127.0.0.1", "origin": "http://127.0.0.1"}, 200),
        ({"host": "127.0.0.1.evil.example"}, 421),
        ({"host": "127.0.0.1", "origin": "http://10.0.0.1"}, 403),
        # Another port is another origin: a page of a local dev server is not the gateway's.
        ({"host": "[::1]:8000", "origin": "http://localhost:3000"}, 403),
        ({"host": "127.0.0.1:8000", "origin": "https://127.0.0.1:8000"}, 403),
        ({"host": "127.0.0.1:8000", "origin": "http://127.0.0.1:99999"}, 403),
    ],
)
def test_loopback_guard_takes_every_loopback_address(headers: dict[str, str], status: int) -> None:
    from _graphql import SchemaEngine

    async def request() -> httpx.Response:
        transport = httpx.ASGITransport(app=create_app(Gateway(SchemaEngine("[]"))))
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
            return await client.post("/graphql", json={"query": "{ __typename }"}, headers=headers)

    assert asyncio.run(asyncio.wait_for(request(), 30)).status_code == status


@pytest.mark.parametrize(("path", "error", "status"), [
    ("/graphql", MemoryError(), 503), ("/graphql", RuntimeError("broken"), 500),
    ("/discovery", MemoryError(), 503), ("/discovery", RuntimeError("broken"), 500),
])
def test_a_request_that_fails_inside_the_gateway_gets_a_json_error(path: str, error: Exception, status: int,
                                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    from _graphql import SchemaEngine

    gateway = Gateway(SchemaEngine("[]"))

    def fail(*args: Any, **kwargs: Any) -> Any:
        raise error

    monkeypatch.setattr(gateway, "start" if path == "/graphql" else "discover", fail)

    async def request() -> httpx.Response:
        transport = httpx.ASGITransport(app=create_app(gateway), raise_app_exceptions=False)
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
            if path == "/graphql":
                return await client.post(path, json={"query": "{ servers { name } }"})
            return await client.get(path)

    try:
        answer = asyncio.run(asyncio.wait_for(request(), 30))
    finally:
        gateway.close()
    assert answer.status_code == status
    assert answer.headers["content-type"].startswith("application/json")
    assert answer.json()["errors"][0]["message"]
    assert ("retry-after" in answer.headers) is (status == 503)
