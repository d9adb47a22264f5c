"""Operating the gateway: health and readiness, Prometheus metrics read by
prometheus_client's own parser, OpenTelemetry spans in an in-memory
exporter, cancelled requests, and CORS for named origins only."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import pathlib
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
prometheus = pytest.importorskip("prometheus_client")
httpx = pytest.importorskip("httpx")

from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from conftest import EXAMPLE_CATALOGUE, JOIN_TIMEOUT  # noqa: E402
from quorvel_graphql import SchemaEngine, ToolHost  # noqa: E402
from quorvel_graphql.gateway import Gateway, create_app  # noqa: E402
from quorvel_graphql.gateway.operations import check_origin  # noqa: E402
from quorvel_graphql.gateway.telemetry import Telemetry  # noqa: E402
from support.gateway import http_gateway  # noqa: E402
from support.http_client import client as http  # noqa: E402
from support.proc import alive, children_of  # noqa: E402

APP_ORIGIN = "https://app.example.org"
TOKEN = "ops-t0ken"


def samples(text: str) -> dict[tuple[str, frozenset[tuple[str, str]]], float]:
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, frozenset(sample.labels.items()))] = sample.value
    return found


def value(found: dict[tuple[str, frozenset[tuple[str, str]]], float], name: str, **labels: str) -> float | None:
    return found.get((name, frozenset(labels.items())))


def graphql(url: str, query: str) -> dict[str, Any]:
    answer = http.post(f"{url}/graphql", json={"query": query}, timeout=30)
    return answer.json()


def test_metrics_and_readiness_follow_a_real_tool_server_down_and_back(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("mcp_server_time")
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"servers": {"time": {
        "command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]}}}))
    with http_gateway(["--servers", str(config), "--require-all"]) as gateway:
        document = graphql(gateway.url, '{ a: time_get_current_time(timezone: "UTC") { timezone } '
                                        'b: time_get_current_time(timezone: "Not/AZone") { timezone } }')
        assert document["data"]["b"] is None and document["errors"][0]["path"] == ["b"]
        assert graphql(gateway.url, "{ nope }").get("data") is None
        graphql(gateway.url, "{ servers { name } }")

        scraped = http.get(f"{gateway.url}/metrics", timeout=30)
        assert scraped.status_code == 200 and scraped.headers["content-type"].startswith("text/plain")
        found = samples(scraped.text)
        assert value(found, "quorvel_gateway_requests_total", front="http", outcome="ok") == 2
        assert value(found, "quorvel_gateway_requests_total", front="http", outcome="refused") == 1
        assert value(found, "quorvel_gateway_request_duration_seconds_count", front="http") == 3
        tool = {"server": "time", "tool": "get_current_time"}
        assert value(found, "quorvel_gateway_tool_calls_total", **tool, outcome="ok") == 1
        assert value(found, "quorvel_gateway_tool_calls_total", **tool, outcome="error") == 1
        assert value(found, "quorvel_gateway_tool_call_duration_seconds_count", **tool) == 2
        assert value(found, "quorvel_gateway_tool_calls_in_flight") == 0
        assert value(found, "quorvel_gateway_queries_queued") == 0
        assert value(found, "quorvel_gateway_server_up", server="time") == 1

        ready = http.get(f"{gateway.url}/readyz", timeout=30)
        assert ready.status_code == 200
        assert ready.json()["servers"] == [{"name": "time", "state": "up", "error": None, "restarts": 0, "tools": 2,
                                            "required": True}]

        for pid in children_of(gateway.process.pid):
            os.kill(pid, signal.SIGKILL)
        lost = graphql(gateway.url, '{ time_get_current_time(timezone: "UTC") { timezone } }')
        assert lost["data"]["time_get_current_time"] is None and lost["errors"][0]["extensions"]["code"] == "TOOL_ERROR"
        down = http.get(f"{gateway.url}/readyz", timeout=30)
        assert down.status_code == 503 and down.json()["ready"] is False
        assert down.json()["problems"] == ["server 'time' is down"]
        assert down.json()["servers"][0]["error"].startswith("it stopped answering")
        assert http.get(f"{gateway.url}/healthz", timeout=30).status_code == 200  # the process still serves

        back = graphql(gateway.url, '{ time_get_current_time(timezone: "UTC") { timezone } }')
        assert back["data"]["time_get_current_time"] == {"timezone": "UTC"}
        status = http.get(f"{gateway.url}/readyz", timeout=30).json()
        assert status["ready"] is True and status["servers"][0]["restarts"] == 1
        assert status["servers"][0]["error"].startswith("it stopped answering")  # the last error stays visible
        found = samples(http.get(f"{gateway.url}/metrics", timeout=30).text)
        assert value(found, "quorvel_gateway_server_restarts_total", server="time") == 1
        assert value(found, "quorvel_gateway_tool_calls_total", **tool, outcome="failed") == 1
        left = [pid for pid in children_of(gateway.process.pid) if alive(pid)]
        assert len(left) == 1  # exactly the restarted server


@pytest.fixture
def catalogue_gateway() -> Iterator[Gateway]:
    gateway = Gateway(SchemaEngine(EXAMPLE_CATALOGUE.read_text()))
    yield gateway
    gateway.close()


def client(app: Any) -> httpx.AsyncClient:
    return httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://127.0.0.1:8000")


@pytest.mark.parametrize("public_health", [False, True])
def test_health_endpoints_follow_the_token_rule_unless_public(catalogue_gateway: Gateway,
                                                              public_health: bool) -> None:
    app = create_app(catalogue_gateway, token=TOKEN, public_health=public_health)
    authorized = {"authorization": f"Bearer {TOKEN}"}

    async def scenario() -> dict[str, tuple[int, int]]:
        statuses = {}
        async with client(app) as http:
            for path in ("/healthz", "/readyz", "/metrics"):
                anonymous = await http.get(path)
                with_token = await http.get(path, headers=authorized)
                statuses[path] = (anonymous.status_code, with_token.status_code)
            catalogue_gateway.stop_calling_tools()
            statuses["/readyz stopping"] = ((await http.get("/readyz", headers=authorized)).status_code, 0)
        return statuses

    statuses = asyncio.run(scenario())
    open_status = 200 if public_health else 401
    assert statuses == {"/healthz": (open_status, 200), "/readyz": (open_status, 200), "/metrics": (401, 200),
                        "/readyz stopping": (503, 0)}


def test_spans_and_metrics_of_each_tool_call_outcome() -> None:
    sdk = pytest.importorskip("opentelemetry.sdk.trace")
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
    from opentelemetry.trace import StatusCode

    exporter = InMemorySpanExporter()
    provider = sdk.TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    telemetry = Telemetry(tracer_provider=provider)
    tools = [{"name": "ok", "annotations": {"readOnlyHint": True}}, {"name": "bad", "annotations": {"readOnlyHint": True}},
             {"name": "err", "annotations": {"readOnlyHint": True}}, {"name": "slow", "annotations": {"readOnlyHint": True}},
             {"name": "write", "readOnly": False}]
    release = threading.Event()
    host = ToolHost(json.dumps([{"server": "s", "tools": tools}]), read_only=True)
    host.register("s", "ok", lambda: {"fine": True})
    host.register("s", "bad", lambda: 1 / 0)
    host.register("s", "err", lambda: {"content": [], "isError": True})
    host.register("s", "slow", lambda: release.wait(JOIN_TIMEOUT), time_limit=0.05)
    host.register("s", "write", lambda: "written")
    with host:
        # Raw: one request reaches every outcome, a tool that writes among
        # those that read, which a typed document would split in two.
        gateway = Gateway(host, telemetry=telemetry, raw=True)
        try:
            result = asyncio.run(gateway.execute("{ s_ok s_bad s_err s_slow s_write }", None, via="mcp graphql"))
        finally:
            release.set()
            gateway.close()
    assert result.kind == "ok"
    expected = {"ok": "ok", "bad": "failed", "err": "error", "slow": "timeout", "write": "refused"}
    spans = exporter.get_finished_spans()
    tool_spans = {span.attributes["quorvel.tool"]: span for span in spans if span.name.startswith("tool ")}
    assert {tool: span.attributes["quorvel.outcome"] for tool, span in tool_spans.items()} == expected
    assert all(span.attributes["quorvel.server"] == "s" for span in tool_spans.values())
    assert {tool for tool, span in tool_spans.items() if span.status.status_code == StatusCode.ERROR} \
        == {tool for tool, outcome in expected.items() if outcome != "ok"}
    (request,) = [span for span in spans if span.name == "graphql mcp graphql"]
    assert request.attributes["quorvel.outcome"] == "ok"
    for tool, outcome in expected.items():
        assert telemetry.registry.get_sample_value(
            "quorvel_gateway_tool_calls_total", {"server": "s", "tool": tool, "outcome": outcome}) == 1
    assert telemetry.registry.get_sample_value("quorvel_gateway_tool_calls_in_flight") == 0


def test_without_a_tracer_provider_nothing_is_recorded() -> None:
    with Telemetry().request_span("http POST /graphql") as span:
        assert not span.is_recording()


def test_a_request_the_client_cancels_still_gets_its_log_line(caplog: pytest.LogCaptureFixture) -> None:
    started, release = threading.Event(), threading.Event()

    def blocking() -> str:
        started.set()
        release.wait(JOIN_TIMEOUT)
        return "late"

    host = ToolHost(json.dumps([{"server": "s", "tools": [{"name": "wait"}]}]))
    host.register("s", "wait", blocking)

    async def scenario(gateway: Gateway) -> None:
        task = asyncio.ensure_future(gateway.execute("{ s_wait { text } }", None, via="mcp graphql"))
        await asyncio.get_running_loop().run_in_executor(None, started.wait, JOIN_TIMEOUT)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    with host, caplog.at_level(logging.INFO, logger="quorvel_graphql.gateway"):
        gateway = Gateway(host)
        try:
            asyncio.run(scenario(gateway))
        finally:
            release.set()
            gateway.close()
    assert any(r.message.startswith("mcp graphql ") and "cancelled by the client" in r.message
               for r in caplog.records)
    assert gateway.telemetry.registry.get_sample_value(
        "quorvel_gateway_requests_total", {"front": "mcp", "outcome": "cancelled"}) == 1


@pytest.mark.parametrize("token", [None, TOKEN])
def test_cors_only_for_the_named_origins(catalogue_gateway: Gateway, token: str | None) -> None:
    app = create_app(catalogue_gateway, token=token, cors_origins=[APP_ORIGIN + "/"])
    preflight = {"access-control-request-method": "POST",
                 "access-control-request-headers": "authorization, content-type"}
    body = {"query": "{ servers { name } }"}

    async def scenario() -> dict[str, httpx.Response]:
        async with client(app) as http:
            return {
                "preflight": await http.options("/graphql", headers={"origin": APP_ORIGIN, **preflight}),
                "other preflight": await http.options("/graphql", headers={"origin": "https://evil.example.org",
                                                                           **preflight}),
                "anonymous": await http.post("/graphql", json=body, headers={"origin": APP_ORIGIN}),
                "authorized": await http.post("/graphql", json=body, headers={
                    "origin": APP_ORIGIN, "authorization": f"Bearer {TOKEN}"}),
                "other origin": await http.post("/graphql", json=body, headers={
                    "origin": "https://evil.example.org", "authorization": f"Bearer {TOKEN}"}),
            }

    answers = asyncio.run(scenario())
    allowed = answers["preflight"]
    assert allowed.status_code == 200 and allowed.headers["access-control-allow-origin"] == APP_ORIGIN
    assert "authorization" in allowed.headers["access-control-allow-headers"].lower()
    assert answers["authorized"].status_code == 200
    assert answers["authorized"].headers["access-control-allow-origin"] == APP_ORIGIN
    assert answers["anonymous"].status_code == (401 if token else 200)
    for other in ("other preflight", "other origin"):  # the loopback guard, exactly as without CORS
        assert answers[other].status_code == 403 and "access-control-allow-origin" not in answers[other].headers


@pytest.mark.parametrize("origin", ["*", "https://app.example.org/path", "ftp://app.example.org",
                                    "https://app.example.org:99999", "https://user@app.example.org", "app.example.org"])
def test_an_origin_must_be_scheme_host_and_port(origin: str) -> None:
    with pytest.raises(ValueError, match="origin"):
        check_origin(origin)
