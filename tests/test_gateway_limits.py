"""The gateway in process under hostile queries: nothing that can call a tool
runs on the event loop, request limits refuse before any tool runs, the
calls in flight are bounded, and a shutdown or a lack of threads is said
plainly."""

from __future__ import annotations

import asyncio
import contextlib
import json
import socket
import threading
from collections.abc import AsyncIterator, Callable, Iterator
from contextlib import asynccontextmanager
from typing import Any

import pytest

from conftest import catalogue
from quorvel_graphql import ToolHost
from quorvel_graphql.gateway import Gateway
from quorvel_graphql.gateway.admission import CUT_OFF, SHUTTING_DOWN
from quorvel_graphql.gateway.core import QueryResult
from quorvel_graphql.limits import RequestLimits

CATALOGUE = json.dumps([{"server": "adv", "serverDescription": "adversary",
                         "tools": [{"name": "hang"}, {"name": "echo", "annotations": {"readOnlyHint": True}}]}])
WAIT = 20.0  # bound on any single wait in these tests; never reached when they pass


@asynccontextmanager
async def gateway_over(handlers: dict[str, Callable[..., Any]], **options: Any) -> AsyncIterator[Gateway]:
    # The engine's own language: its requests are the ones admitted by rehearsal.
    options.setdefault("raw", True)
    host = ToolHost(CATALOGUE, max_workers=4)
    for tool, handler in handlers.items():
        host.register("adv", tool, handler)
    async with host:
        gateway = Gateway(host, **options)
        try:
            yield gateway
        finally:
            gateway.stop_calling_tools()
            gateway.close()


@pytest.mark.parametrize("query", [
    '{ servers { """ " } x: adv_hang { " """ } }',
    '{ search { """ " } adv_hang { " """ } }',
])
def test_a_tool_call_hidden_from_a_scanner_never_runs_on_the_loop(query: str) -> None:
    released = threading.Event()

    def hang() -> str:
        return "released" if released.wait(WAIT) else "the event loop was frozen"

    async def scenario() -> dict[str, Any]:
        async with gateway_over({"hang": hang}) as gateway:
            running = asyncio.ensure_future(gateway.execute(query, None, via="test"))
            await asyncio.sleep(0.05)  # the loop must still turn while the tool runs
            released.set()
            return (await running).document

    document = asyncio.run(asyncio.wait_for(scenario(), WAIT * 2))
    values = [value for value in document["data"].values() if isinstance(value, str)]
    assert values == ["released"]


@pytest.mark.parametrize(
    ("limits", "query", "message", "code"),
    [
        (RequestLimits(max_tool_calls=3), "{ a: adv_echo b: adv_echo c: adv_echo d: adv_echo }",
         "makes 4 tool calls, more than the limit of 3", "TOO_MANY_TOOL_CALLS"),
        (RequestLimits(max_tool_calls=3), '{ search { """ " } a: adv_echo b: adv_echo c: adv_echo d: adv_echo '
         '{ " """ } }', "makes 4 tool calls", "TOO_MANY_TOOL_CALLS"),
        (RequestLimits(max_document_bytes=64), "{ servers " + "# pad\n" * 20 + "}", "larger than the limit of 64",
         "QUERY_TOO_LARGE"),
        (RequestLimits(max_document_bytes=64), "{ servers # " + "é" * 30 + "\n}", "larger than the limit of 64",
         "QUERY_TOO_LARGE"),
        (RequestLimits(max_response_bytes=2000), "{ " + " ".join(f"s{i}: search" for i in range(20)) + " }",
         "response would be larger than the limit of 2000", "RESPONSE_TOO_LARGE"),
        (RequestLimits(max_calls_in_flight=2), "{ a: adv_echo b: adv_echo c: adv_echo }",
         "more than this gateway runs at once (2)", "TOO_MANY_TOOL_CALLS"),
    ],
)
def test_limits_refuse_before_any_tool_runs(limits: RequestLimits, query: str, message: str, code: str) -> None:
    calls: list[str] = []

    async def scenario() -> Any:
        async with gateway_over({"echo": lambda: calls.append("echo") or "ok"}, limits=limits) as gateway:
            return await gateway.execute(query, None, via="test")

    result = asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert result.request_failed and message in result.document["errors"][0]["message"]
    assert result.document["errors"][0]["extensions"] == {"code": code}
    assert calls == []


def test_requests_within_the_limits_are_answered_whole() -> None:
    limits = RequestLimits(max_tool_calls=3, max_document_bytes=200, max_response_bytes=10_000)

    async def scenario() -> Any:
        async with gateway_over({"echo": lambda: "ok"}, limits=limits) as gateway:
            return await gateway.execute("{ a: adv_echo b: adv_echo c: adv_echo servers { name } }", None, via="t")

    document = asyncio.run(asyncio.wait_for(scenario(), WAIT)).document
    assert [document["data"][k] for k in "abc"] == ["ok", "ok", "ok"] and not document["errors"]


@pytest.mark.parametrize("raw, query, answer", [
    (True, "{ a: adv_hang b: adv_hang }", "done"),
    (False, "{ a: adv_hang { text } b: adv_hang { text } }", {"text": "done"}),
], ids=["engine language", "standard GraphQL"])
def test_calls_in_flight_are_bounded_across_requests(raw: bool, query: str, answer: Any) -> None:
    """Three requests of two calls each with room for four calls: the third
    starts only when one of the first two has finished."""
    running = 0
    peak = 0
    lock = threading.Lock()
    release = threading.Event()

    def hang() -> str:
        nonlocal running, peak
        with lock:
            running += 1
            peak = max(peak, running)
        release.wait(WAIT)
        with lock:
            running -= 1
        return "done"

    async def scenario() -> list[Any]:
        async with gateway_over({"hang": hang}, limits=RequestLimits(max_calls_in_flight=4), raw=raw) as gateway:
            queries = [gateway.execute(query, None, via="t") for _ in range(3)]
            tasks = [asyncio.ensure_future(q) for q in queries]
            while gateway.budget.in_use < 4 or not gateway.budget._queue:
                await asyncio.sleep(0.01)
            assert running <= 4
            release.set()
            return await asyncio.gather(*tasks)

    results = asyncio.run(asyncio.wait_for(scenario(), WAIT * 2))
    assert all(r.document["data"] == {"a": answer, "b": answer} for r in results), results[0].text
    assert peak <= 4


def test_a_request_that_cannot_get_room_in_time_is_told_the_gateway_is_busy() -> None:
    release = threading.Event()

    async def scenario() -> Any:
        async with gateway_over({"hang": lambda: release.wait(WAIT) and "done"},
                                limits=RequestLimits(max_calls_in_flight=1), time_limit=0.05) as gateway:
            first = asyncio.ensure_future(gateway.execute("{ adv_hang }", None, via="t"))
            while gateway.budget.in_use == 0:
                await asyncio.sleep(0.01)
            second = await gateway.execute("{ adv_hang }", None, via="t")
            release.set()
            await first
            return second

    result = asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert result.busy and "the gateway is busy" in result.document["errors"][0]["message"]
    assert result.document["errors"][0]["extensions"] == {"code": "GATEWAY_BUSY"}


def test_a_request_cancelled_while_waiting_for_room_calls_no_tool() -> None:
    """What a client that left gets: its query was still waiting, so none of
    its tools runs (a mutation queued behind the cap is not performed)."""
    release = threading.Event()
    calls: list[str] = []

    async def scenario() -> None:
        async with gateway_over({"hang": lambda: release.wait(WAIT) and "done",
                                 "echo": lambda: calls.append("echo") or "ok"},
                                limits=RequestLimits(max_calls_in_flight=1)) as gateway:
            first = asyncio.ensure_future(gateway.execute("{ adv_hang }", None, via="t"))
            while gateway.budget.in_use == 0:
                await asyncio.sleep(0.01)
            left = asyncio.ensure_future(gateway.execute("{ adv_echo }", None, via="t"))
            while not gateway.budget._queue:
                await asyncio.sleep(0.01)
            left.cancel()
            release.set()
            await first
            assert gateway.budget.in_use == 0 and not gateway.budget._queue

    asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert calls == []


def test_queries_at_shutdown_say_the_gateway_is_shutting_down() -> None:
    started, finish = threading.Event(), threading.Event()

    def hang() -> str:
        started.set()
        finish.wait(WAIT)
        return "too late"

    async def scenario() -> tuple[Any, Any]:
        async with gateway_over({"hang": hang}) as gateway:
            gateway.call_grace = 0.05  # the tool never answers in it
            running = asyncio.ensure_future(gateway.execute("{ a: adv_hang }", None, via="t"))
            await asyncio.to_thread(started.wait, WAIT)
            gateway.stop_calling_tools()
            cut_off = await running
            finish.set()
            return cut_off, await gateway.execute("{ servers { name } }", None, via="t")

    cut_off, later = asyncio.run(asyncio.wait_for(scenario(), WAIT * 2))
    # It was running when it was cut off: it may have done its work.
    assert cut_off.document["data"]["a"]["text"] == CUT_OFF
    assert "CallBridge" not in cut_off.text
    assert later.busy and later.document["errors"][0]["message"] == "the gateway is shutting down"
    assert later.document["errors"][0]["extensions"] == {"code": "SHUTTING_DOWN"}


@pytest.mark.parametrize("raw", [False, True])
def test_at_shutdown_a_call_that_ran_is_delivered_and_one_not_started_is_refused(raw: bool) -> None:
    """A mutation's fields run one after another: the first is running when
    the shutdown begins and answers within the grace, so its answer is the
    tool's; the second has not started, and never does."""
    started, finish = threading.Event(), threading.Event()
    calls: list[str] = []

    def hang() -> str:
        calls.append("hang")
        started.set()
        finish.wait(WAIT)
        return "done"

    async def scenario() -> Any:
        async with ToolHost(catalogue(("adv", "hang", False)), max_workers=4) as host:
            host.register("adv", "hang", hang)
            gateway = Gateway(host, raw=raw)
            gateway.call_grace = WAIT
            query = "{ a: adv_hang }" if raw else "mutation { a: adv_hang { text } b: adv_hang { text } }"
            try:
                running = asyncio.ensure_future(gateway.execute(query, None, via="t"))
                await asyncio.to_thread(started.wait, WAIT)
                gateway.stop_calling_tools()
                finish.set()
                return await running
            finally:
                gateway.close()

    result = asyncio.run(asyncio.wait_for(scenario(), WAIT * 2))
    assert calls == ["hang"]
    if raw:
        assert result.document["data"]["a"] == "done"
        return
    assert result.document["data"]["a"] == {"text": "done"}
    assert result.document["data"]["b"] is None
    assert [(e["path"], e["message"]) for e in result.document["errors"]] == [(["b"], SHUTTING_DOWN)]


def test_no_thread_to_run_a_query_is_a_busy_answer_not_a_crash(monkeypatch: pytest.MonkeyPatch) -> None:
    async def scenario() -> tuple[Any, Any]:
        async with gateway_over({"echo": lambda: "ok"}) as gateway:
            real_submit = gateway._pool.submit

            def no_thread(*args: Any, **kwargs: Any) -> Any:
                raise RuntimeError("can't start new thread")

            monkeypatch.setattr(gateway._pool, "submit", no_thread)
            refused = await gateway.execute("{ adv_echo }", None, via="t")
            monkeypatch.setattr(gateway._pool, "submit", real_submit)
            return refused, await gateway.execute("{ adv_echo }", None, via="t")

    refused, recovered = asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert refused.busy and "can't start new thread" in refused.document["errors"][0]["message"]
    assert recovered.document["data"] == {"adv_echo": "ok"}


def test_limits_reject_values_that_are_not_positive_counts() -> None:
    for bad in (0, -1, True, 1.5, "3"):
        with pytest.raises(ValueError, match="max_tool_calls"):
            RequestLimits(max_tool_calls=bad)  # type: ignore[arg-type]
    assert RequestLimits.unlimited().max_tool_calls is None
    assert set(RequestLimits().typed_arguments()) == {"max_depth", "max_selected_fields", "max_tool_calls",
                                                      "max_document_bytes"}


def post_scope(body: bytes) -> dict[str, Any]:
    return {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "POST", "scheme": "http",
            "path": "/graphql", "raw_path": b"/graphql", "root_path": "", "query_string": b"",
            "client": ("127.0.0.1", 5000), "server": ("127.0.0.1", 80),
            "headers": [(b"host", b"127.0.0.1"), (b"content-type", b"application/json"),
                        (b"content-length", str(len(body)).encode())]}


def test_an_http_client_that_leaves_before_its_query_runs_has_no_tool_called() -> None:
    from quorvel_graphql.gateway.http_front import Guard, GraphQLEndpoint, PlaygroundPage

    release, gone = threading.Event(), asyncio.Event()
    calls: list[str] = []
    sent: list[dict[str, Any]] = []

    async def scenario() -> None:
        async with gateway_over({"hang": lambda: release.wait(WAIT) and "done",
                                 "echo": lambda: calls.append("echo") or "ok"},
                                limits=RequestLimits(max_calls_in_flight=1)) as gateway:
            app = Guard(GraphQLEndpoint(gateway, PlaygroundPage()), token=None, max_body=1 << 20,
                        loopback_only=True)
            first = asyncio.ensure_future(gateway.execute("{ adv_hang }", None, via="t"))
            while gateway.budget.in_use == 0:
                await asyncio.sleep(0.01)
            body = json.dumps({"query": "{ adv_echo }"}).encode()
            messages = [{"type": "http.request", "body": body, "more_body": False}]

            async def receive() -> dict[str, Any]:
                if messages:
                    return messages.pop()
                await gone.wait()
                return {"type": "http.disconnect"}

            async def send(message: dict[str, Any]) -> None:
                sent.append(message)

            request = asyncio.ensure_future(app(post_scope(body), receive, send))
            while not gateway.budget._queue:
                await asyncio.sleep(0.01)
            gone.set()
            await request
            release.set()
            await first

    asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert calls == [] and sent == []  # nothing called, nothing sent to a client that is gone


@pytest.mark.parametrize("why", ["shutting down", "no thread"])
def test_http_answers_a_busy_gateway_with_a_json_503(why: str, monkeypatch: pytest.MonkeyPatch) -> None:
    httpx = pytest.importorskip("httpx")
    from quorvel_graphql.gateway import create_app

    async def scenario() -> Any:
        async with gateway_over({"echo": lambda: "ok"}) as gateway:
            if why == "shutting down":
                gateway.stop_calling_tools()
            else:
                monkeypatch.setattr(gateway._pool, "submit", lambda *a, **k: (_ for _ in ()).throw(
                    RuntimeError("can't start new thread")))
            transport = httpx.ASGITransport(app=create_app(gateway))
            async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
                return await client.post("/graphql", json={"query": "{ adv_echo }"})

    response = asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert response.status_code == 503 and response.headers["retry-after"] == "1"
    assert response.json()["data"] is None and response.json()["errors"][0]["message"]


@pytest.mark.parametrize("query, variables, calls_tool", [
    ("{ servers { name } }", None, False),
    ("{ adv_echo { text } }", None, True),
    ("{ ... on Query { e: adv_echo { text } } }", None, True),
    ("query($s: Boolean!) { adv_echo @skip(if: $s) { text } servers { name } }", {"s": True}, False),
    ("query($s: Boolean!) { adv_echo @skip(if: $s) { text } servers { name } }", {"s": False}, True),
])
def test_only_requests_that_reach_no_tool_are_answered_inline(query: str, variables: Any, calls_tool: bool) -> None:
    calls: list[str] = []

    async def scenario() -> tuple[Any, Any]:
        async with gateway_over({"echo": lambda: calls.append("echo") or "ok"}, raw=False) as gateway:
            outcome = gateway.start(query, variables, via="t")
            if not isinstance(outcome, QueryResult):
                return None, await outcome
            return outcome, await gateway.execute(query, variables, via="t")

    inline, result = asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert (inline is None) == calls_tool
    assert calls == (["echo"] if calls_tool else [])
    assert "errors" not in result.document and (inline is None or inline.text == result.text)


def test_a_request_with_many_spreads_is_planned_off_the_loop() -> None:
    # Each spread can send validation through a fragment again, so only a
    # document with few is planned where it would hold up every front.
    few = "{ ...F } fragment F on Query { servers { name } }"
    many = "{ " + "...F " * 17 + "} fragment F on Query { servers { name } }"

    async def scenario() -> list[tuple[bool, Any]]:
        async with gateway_over({"echo": lambda: "ok"}, raw=False) as gateway:
            outcomes = [gateway.start(query, None, via="t") for query in (few, many)]
            return [(isinstance(outcome, QueryResult), outcome if isinstance(outcome, QueryResult) else await outcome)
                    for outcome in outcomes]

    (few_inline, few_result), (many_inline, many_result) = asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert (few_inline, many_inline) == (True, False)
    assert few_result.document == many_result.document == {"data": {"servers": few_result.document["data"]["servers"]}}


def doubling_chain(levels: int, tail: str) -> str:
    return "\n".join(["{ ...F0 }"] + [f"fragment F{i} on Query {{ ...F{i + 1} ...F{i + 1} }}" for i in range(levels)]
                     + [f"fragment F{levels} on Query {{ {tail} }}"])


ATTACKS = {
    # Under 8 KiB each: short enough that the gateway used to plan them on
    # its event loop, where they stalled every front for seconds to minutes.
    "chain to an unknown fragment": (doubling_chain(24, "...Missing"), "selects more than 1000 fields"),
    "chain back to its start": (doubling_chain(24, "...F0"), "selects more than 1000 fields"),
    "alternating fields under one key": ("{ " + " ".join("x: servers { name }" if i % 2 == 0 else "x: __typename"
                                                        for i in range(480)) + " }", "are different fields"),
}


@contextlib.contextmanager
def typed_gateway_served() -> Iterator[str]:
    """A typed gateway over the adversary's tools, served by uvicorn on a
    thread with its own event loop, at http://127.0.0.1:PORT."""
    uvicorn = pytest.importorskip("uvicorn")
    from quorvel_graphql.gateway import create_app

    listener = socket.create_server(("127.0.0.1", 0))
    started = threading.Event()
    servers: list[Any] = []

    async def serve() -> None:
        host = ToolHost(CATALOGUE, max_workers=2)
        host.register("adv", "echo", lambda: "ok")
        async with host:
            gateway = Gateway(host)
            server = uvicorn.Server(uvicorn.Config(create_app(gateway), log_level="warning", lifespan="off"))
            servers.append(server)
            started.set()
            try:
                await server.serve(sockets=[listener])
            finally:
                gateway.stop_calling_tools()
                gateway.close()

    thread = threading.Thread(target=asyncio.run, args=(serve(),), name="typed-gateway", daemon=True)
    thread.start()
    try:
        assert started.wait(WAIT)
        for _ in range(int(WAIT / 0.01)):
            if servers[0].started:
                break
            threading.Event().wait(0.01)
        yield f"http://127.0.0.1:{listener.getsockname()[1]}"
    finally:
        if servers:
            servers[0].should_exit = servers[0].force_exit = True
        thread.join(WAIT)
        listener.close()


def test_attack_documents_are_refused_while_healthz_keeps_answering() -> None:
    httpx = pytest.importorskip("httpx")

    async def scenario(base: str) -> tuple[list[Any], list[Any]]:
        async with httpx.AsyncClient(base_url=base, timeout=WAIT) as client:
            attacks = [asyncio.ensure_future(client.post("/graphql", json={"query": query}))
                       for query, _ in ATTACKS.values() for _ in range(2)]
            # Probes sent while the attacks are being answered: a loop held
            # by one of them leaves these waiting past WAIT.
            health = [await client.get("/healthz") for _ in range(3)]
            return health, list(await asyncio.gather(*attacks))

    with typed_gateway_served() as base:
        health, answers = asyncio.run(asyncio.wait_for(scenario(base), WAIT * 2))
    assert [response.status_code for response in health] == [200, 200, 200]
    expected = [fragment for _, fragment in ATTACKS.values() for _ in range(2)]
    assert len(answers) == len(expected)
    for response, fragment in zip(answers, expected):
        body = response.json()
        assert "data" not in body and fragment in body["errors"][0]["message"], body["errors"][:2]


def placeholder_guard(max_body: int = 1 << 20) -> Any:
    from _graphql import SchemaEngine

    from quorvel_graphql.gateway.http_front import Guard, GraphQLEndpoint, PlaygroundPage

    endpoint = GraphQLEndpoint(Gateway(SchemaEngine(CATALOGUE), catalogue_json=CATALOGUE), PlaygroundPage())
    return Guard(endpoint, token=None, max_body=max_body, loopback_only=True, graphql=endpoint)


@pytest.mark.parametrize("pieces, late, max_body, status", [
    (1, False, 1 << 20, 200),  # the whole body in the first message: no deadline armed
    (3, False, 1 << 20, 200),
    (3, True, 1 << 20, 200),  # each piece waited for, under the deadline
    (3, True, 20, 413),
    (0, True, 1 << 20, 408),  # headers, then nothing
])
def test_the_guard_reads_bodies_whole_within_a_deadline(pieces: int, late: bool, max_body: int,
                                                        status: int) -> None:
    body = json.dumps({"query": "{ servers { name } }"}).encode()
    size = -(-len(body) // max(pieces, 1))
    chunks = [body[i:i + size] for i in range(0, len(body), size)] if pieces else []
    sent: list[dict[str, Any]] = []

    async def scenario() -> None:
        guard = placeholder_guard(max_body)
        guard.body_seconds = 0.2
        never = asyncio.Event()

        async def receive() -> dict[str, Any]:
            if late:
                await asyncio.sleep(0)
            if not chunks:
                await never.wait()
            chunk = chunks.pop(0)
            return {"type": "http.request", "body": chunk, "more_body": bool(chunks)}

        async def send(message: dict[str, Any]) -> None:
            sent.append(message)

        await guard(post_scope(body), receive, send)

    asyncio.run(asyncio.wait_for(scenario(), WAIT))
    assert sent[0]["status"] == status
    answer = json.loads(sent[1]["body"])
    assert answer["data"]["servers"] == [{"name": "adv"}] if status == 200 else answer["errors"][0]["message"]
