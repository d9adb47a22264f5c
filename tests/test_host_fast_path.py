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
