"""The host kit's short paths keep its guarantees: handlers measured cheap
run on the receiving thread, yet one that blocks after all stalls no other
call and no close(); JSON text passes unread; execute can return text."""

from __future__ import annotations

import asyncio
import json
import threading
from typing import Any

import pytest

from quorvel_graphql import JsonText, ToolHost
from quorvel_graphql.call_server import HandlerCost

CATALOGUE = json.dumps([{"server": "s", "tools": [{"name": "flaky"}, {"name": "other"}, {"name": "raw"}]}])
BOUND = 30.0  # seconds: an upper bound on waits that end by an event long before


def warm(host: ToolHost, query: str, runs: int = 40) -> None:
    for _ in range(runs):
        assert "isError" not in host.execute_text(query)


def test_a_cheap_handler_that_blocks_stalls_no_other_call_and_no_close() -> None:
    release = threading.Event()
    blocking = threading.Event()

    def flaky() -> str:
        if blocking.is_set():
            release.wait(BOUND)
        return "done"

    host = ToolHost(CATALOGUE, poll_ms=10, shutdown_timeout=1.0)
    host.register("s", "flaky", flaky)
    host.register("s", "other", lambda: "other")
    host.start()
    try:
        warm(host, "{ s_flaky }")  # now measured cheap: it runs on the receiving thread
        blocking.set()
        stuck: dict[str, Any] = {}
        waiter = threading.Thread(target=lambda: stuck.update(host.execute("{ s_flaky }")), daemon=True)
        waiter.start()
        # Received while flaky still blocks: another thread took over receiving.
        assert host.execute("{ a: s_other b: s_other }")["data"] == {"a": "other", "b": "other"}
        assert waiter.is_alive()
        release.set()
        waiter.join(BOUND)
        assert stuck["data"] == {"s_flaky": "done"}
        blocking.clear()
        release.clear()
        blocking.set()  # after overrunning once it is never run on the receiving thread again
        waiter = threading.Thread(target=lambda: host.execute("{ s_flaky }"), daemon=True)
        waiter.start()
        assert host.execute("{ s_other }")["data"] == {"s_other": "other"}
    finally:
        closer = threading.Thread(target=host.close, daemon=True)
        closer.start()
        closer.join(BOUND)
        release.set()
    assert not closer.is_alive(), "close() hung on a handler blocked on the receiving thread"


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (JsonText('{"b": [1, 2.5, null], "a": "x"}'), {"a": "x", "b": [1, 2.5, None]}),
        ('{"b": 1}', '{"b": 1}'),  # a plain string stays a string
        ({"nested": JsonText("[1]")}, {"nested": "[1]"}),  # the mark counts for the whole result only
        (JsonText("not json"), "error"),
        (float("nan"), "error"),
    ],
    ids=["json-text", "plain-string", "nested-mark", "bad-json-text", "nan"],
)
def test_results_as_json_text(result: Any, expected: Any) -> None:
    with ToolHost(CATALOGUE) as host:
        host.register("s", "raw", lambda: result)
        for _ in range(20):  # the same answer on the pool and, once cheap, on the receiving thread
            value = host.execute("{ s_raw }")["data"]["s_raw"]
            if expected == "error":
                assert value["isError"] is True and "JSON" in value["text"], value
            else:
                assert value == expected


def test_execute_text_is_the_engine_document() -> None:
    async def other() -> str:
        return "other"

    async def run(host: ToolHost) -> tuple[str, dict[str, Any]]:
        async with host:
            return await host.execute_text_async("{ s_other }"), await host.execute_async("{ s_other }")

    host = ToolHost(CATALOGUE)
    host.register("s", "other", other)
    text, document = asyncio.run(run(host))
    assert isinstance(text, str) and json.loads(text) == document == {"data": {"s_other": "other"}, "errors": []}
    with ToolHost(CATALOGUE) as host:
        host.register("s", "other", lambda: "other")
        assert host.execute_text("{ s_other }", {"unused": 1}) == host.engine.execute("{ s_other }")


@pytest.mark.parametrize(
    ("register", "expected"),
    [
        (lambda h: h.register("s", "raw", lambda x: {"x": x}), {"x": 1}),
        (lambda h: h.register("s", "raw", lambda args: sorted(args), pass_dict=True), ["x"]),
        (lambda h: h.register_fallback(lambda call: [call.tool, call.arguments, call.operation]),
         ["raw", {"x": 1}, "query"]),
        (lambda h: h.register("s", "raw", lambda x: 1 / 0), "ZeroDivisionError: division by zero"),
        (lambda h: h.register("s", "raw", lambda x: {x}),
         "TypeError: result of s.raw is not JSON: Object of type set is not JSON serializable"),
    ],
    ids=["keywords", "one-dict", "fallback", "raises", "not-json"],
)
def test_the_receiving_thread_serves_every_handler_style_as_the_pool_does(register: Any, expected: Any) -> None:
    with ToolHost(CATALOGUE) as host:
        register(host)
        registration = host._calls.handlers.get(("s", "raw"), host._calls.fallback)
        inline_runs = 0
        for _ in range(200):  # the pool until measured cheap (a run slowed by a busy machine delays it), then here
            inline_runs += registration.cost.cheap
            value = host.execute("{ s_raw(x: 1) }")["data"]["s_raw"]
            assert value == expected or (value["isError"] and value["text"] == expected), value
            if inline_runs == 4:
                break
        assert inline_runs == 4


class Outcomes:
    def __init__(self) -> None:
        self.started: list[tuple[str, str]] = []
        self.ended: list[str] = []

    def call_started(self, request_id: str, server: str, tool: str) -> None:
        self.started.append((server, tool))

    def call_ended(self, request_id: str, outcome: str) -> None:
        self.ended.append(outcome)


@pytest.mark.parametrize("inline", [True, False])
@pytest.mark.parametrize(
    ("result", "outcome"),
    [({"isError": True, "text": "no"}, "error"), ({"isError": "yes"}, "ok"), ([1], "ok"), (ValueError("x"), "failed")],
    ids=["is-error", "not-a-flag", "list", "raises"],
)
def test_the_observer_hears_each_outcome_on_both_paths(result: Any, outcome: str, inline: bool) -> None:
    def handler() -> Any:
        if isinstance(result, Exception):
            raise result
        return result

    observer = Outcomes()
    with ToolHost(CATALOGUE) as host:
        host.call_observer = observer
        host.register("s", "raw", handler, inline=inline)
        host.execute("{ a: s_raw b: s_raw }")
    assert observer.started == [("s", "raw")] * 2 and observer.ended == [outcome] * 2


@pytest.mark.parametrize(
    ("runs", "cheap"),
    [
        ([50e-6] * 16, True),
        ([50e-6] * 15, False),
        ([50e-6] * 16 + [500e-6], False),  # one dearer run: measured again from the start
        ([50e-6] * 16 + [500e-6] + [50e-6] * 16, True),
        ([2e-3] + [50e-6] * 40, False),  # once slow, never cheap again
        ([50e-6] * 16 + ["overran"] + [50e-6] * 40, False),
    ],
    ids=["sixteen-cheap", "fifteen", "then-dearer", "cheap-again", "slow", "overran"],
)
def test_what_makes_a_handler_cheap(runs: list[Any], cheap: bool) -> None:
    cost = HandlerCost()
    for seconds in runs:
        cost.overran() if seconds == "overran" else cost.note(seconds)
    assert cost.cheap is cheap
