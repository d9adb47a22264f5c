"""The call bridge and the host protocol, end to end through ``execute``."""

from __future__ import annotations

import gc
import json
import queue
import random
import threading
import time
from typing import Any, Callable, Iterator

import pytest

import _graphql
from conftest import (
    JOIN_TIMEOUT, STRESS_SECONDS, WORKED_EXAMPLE, Background, Host, catalogue, engine_threads, execute_in_thread,
    placeholder_text,
)

DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}
CATALOGUE = catalogue(("s", "t", True), ("s", "w", False))


def placeholder(server: str, tool: str) -> dict:
    return {"isError": True, "json": None, "text": placeholder_text(server, tool)}


def data_of(document: str) -> dict:
    parsed = json.loads(document)
    assert parsed["errors"] == []
    return parsed["data"]


def receive(engine: _graphql.SchemaEngine) -> tuple[str, dict]:
    text = engine.receive_tool_call(int(JOIN_TIMEOUT * 1000))
    assert text is not None, "no tool call arrived"
    return text, json.loads(text)


def drain(engine: _graphql.SchemaEngine) -> list[dict]:
    requests = []
    while (text := engine.receive_tool_call(0)) is not None:
        requests.append(json.loads(text))
    return requests


def fields(count: int) -> str:
    return "{ " + " ".join(f"f{i}: s_t(i: {i})" for i in range(count)) + " }"


def echo(request: dict) -> tuple[str, str]:
    return "respond", json.dumps({"id": request["request_id"], "args": request["arguments"]})


@pytest.fixture
def engine() -> Iterator[_graphql.SchemaEngine]:
    engine = _graphql.SchemaEngine(CATALOGUE)
    yield engine
    engine.detach_call_bridge()  # releases any call that a failed test left waiting


@pytest.mark.parametrize(
    "query, variables, expected",
    [
        ('{ files_read_file(path: "a.txt") }', None,
         '{"request_id":"tool-call-1","server":"files","tool":"read_file",'
         '"arguments":{"path":"a.txt"},"operation":"query"}'),
        ("mutation { files_read_file }", None,
         '{"request_id":"tool-call-1","server":"files","tool":"read_file","arguments":{},"operation":"query"}'),
        ('query { x: files_write_file(z: 1, a: {d: [{n: 2, m: "é\\n"}], c: null}) }', None,
         '{"request_id":"tool-call-1","server":"files","tool":"write file",'
         '"arguments":{"a":{"c":null,"d":[{"m":"é\\n","n":2}]},"z":1},"operation":"mutation"}'),
        ("query Q($v: Obj) { notes_list(v: $v, b: true) }", '{"v": {"k": [1, -2.5], "a": "\\"q\\""}}',
         '{"request_id":"tool-call-1","server":"notes","tool":"list",'
         '"arguments":{"b":true,"v":{"a":"\\"q\\"","k":[1,-2.5]}},"operation":"query"}'),
    ],
)
def test_request_document_text(query: str, variables: str | None, expected: str) -> None:
    engine = _graphql.SchemaEngine(WORKED_EXAMPLE)
    engine.attach_call_bridge()
    try:
        running = Background(engine.execute, query, variables)
        raw, request = receive(engine)
        assert raw == expected
        assert engine.respond_tool_call(request["request_id"], "1")
        assert list(data_of(running.result()).values()) == [1]
    finally:
        engine.detach_call_bridge()


def test_numbering_carries_across_queries_detach_and_attach(engine: _graphql.SchemaEngine) -> None:
    answer_id = lambda request: ("respond", json.dumps(request["request_id"]))
    with Host(engine, answer_id):
        assert data_of(execute_in_thread(engine, "{ a: s_t b: s_w }")) == {"a": "tool-call-1", "b": "tool-call-2"}
        assert data_of(execute_in_thread(engine, "{ s_t }")) == {"s_t": "tool-call-3"}
    # Detached: placeholders, and no id is used up.
    placeholders = {"s_t": placeholder("s", "t"), "s_w": placeholder("s", "w")}
    assert data_of(execute_in_thread(engine, "{ s_t s_w }")) == placeholders
    assert engine.receive_tool_call(0) is None
    with Host(engine, answer_id):
        assert data_of(execute_in_thread(engine, "{ s_w }")) == {"s_w": "tool-call-4"}


@pytest.mark.parametrize(
    "reply, expected_text",
    [
        ('  {"b":1,"a":2}  ', '{"a":2,"b":1}'),
        ('\n{"z":{"y":[1,{"b":0,"a":0}]},"a":""}\t', '{"a":"","z":{"y":[1,{"a":0,"b":0}]}}'),
        ("42", "42"),
        ("-7", "-7"),
        ('"tab\\there é"', '"tab\\there é"'),
        ('[1, "x", null, [], {}]', '[1,"x",null,[],{}]'),
        ("true", "true"),
        ("null", "null"),
        ('{"text":"boom","json":3,"isError":true}', '{"isError":true,"json":3,"text":"boom"}'),
    ],
)
def test_reply_lands_unchanged(engine: _graphql.SchemaEngine, reply: str, expected_text: str) -> None:
    engine.attach_call_bridge()
    running = Background(engine.execute, "{ x: s_t }")
    _, request = receive(engine)
    assert engine.respond_tool_call(request["request_id"], reply) is True
    assert running.result() == '{"data":{"x":' + expected_text + '},"errors":[]}'


@pytest.mark.parametrize("reply", ["", "   ", "{", "nul", "1 2", "{'a':1}", '{"a":1}x', "[1,]"])
def test_invalid_reply_becomes_tool_error(engine: _graphql.SchemaEngine, reply: str) -> None:
    engine.attach_call_bridge()
    running = Background(engine.execute, "{ x: s_t }")
    _, request = receive(engine)
    assert engine.respond_tool_call(request["request_id"], reply) is True
    value = data_of(running.result())["x"]
    assert (value["isError"], value["json"]) == (True, None) and set(value) == {"isError", "json", "text"}
    assert value["text"].startswith("CallBridge returned invalid JSON: ")


@pytest.mark.parametrize(
    "message",
    ['say "hi"\n\tthen \\ leave\r', "ünïcødé ✓ 😀 \u2028", "", "\x01\x1f\x7f", '{"isError":false}'],
)
def test_fail_message_arrives_unchanged(engine: _graphql.SchemaEngine, message: str) -> None:
    with Host(engine, lambda request: ("fail", message)) as host:
        values = data_of(execute_in_thread(engine, "{ x: s_w }"))
    assert values == {"x": {"isError": True, "json": None, "text": message}}
    assert host.answers == [True]


@pytest.mark.parametrize("first", ["respond", "fail"])
@pytest.mark.parametrize("second", ["respond", "fail"])
def test_answering_twice_and_unknown_ids(engine: _graphql.SchemaEngine, first: str, second: str) -> None:
    answer = {
        "respond": lambda rid: engine.respond_tool_call(rid, "1"),
        "fail": lambda rid: engine.fail_tool_call(rid, "no"),
    }
    for unknown in ["tool-call-1", "tool-call-0", "", "tool-call-2 ", "TOOL-CALL-2"]:
        assert answer[first](unknown) is False
    engine.attach_call_bridge()
    running = Background(engine.execute, "{ a: s_t b: s_t }")
    ids = [receive(engine)[1]["request_id"], receive(engine)[1]["request_id"]]
    assert ids == ["tool-call-1", "tool-call-2"]
    # Answered from yet another thread while execute is still blocked on the other field.
    assert Background(answer[first], ids[0]).result() is True
    assert running.thread.is_alive()
    assert answer[second](ids[0]) is False
    assert Background(answer[second], ids[1]).result() is True
    assert answer[first](ids[1]) is False
    values = data_of(running.result())
    expected = {"respond": 1, "fail": {"isError": True, "json": None, "text": "no"}}
    assert values == {"a": expected[first], "b": expected[second]}


@pytest.mark.parametrize("count, reverse", [(2, False), (2, True), (50, True), (50, False)])
def test_fields_of_one_tool_answered_in_any_order(engine: _graphql.SchemaEngine, count: int, reverse: bool) -> None:
    engine.attach_call_bridge()
    running = Background(engine.execute, fields(count))
    requests = [receive(engine)[1] for _ in range(count)]
    assert [r["request_id"] for r in requests] == [f"tool-call-{n}" for n in range(1, count + 1)]
    for request in reversed(requests) if reverse else requests:
        assert engine.respond_tool_call(request["request_id"], echo(request)[1])
    values = data_of(running.result())
    assert list(values) == sorted(f"f{i}" for i in range(count))  # data members are sorted by key
    assert [values[f"f{i}"]["args"] for i in range(count)] == [{"i": i} for i in range(count)]
    assert len({v["id"] for v in values.values()}) == count


def test_concurrent_receivers_get_distinct_requests(engine: _graphql.SchemaEngine) -> None:
    total, received, lock = 60, [], threading.Lock()

    def serve() -> None:
        deadline = time.monotonic() + JOIN_TIMEOUT
        while time.monotonic() < deadline:
            with lock:
                if len(received) >= total:
                    return
            text = engine.receive_tool_call(20)
            if text is not None:
                request = json.loads(text)
                with lock:
                    received.append(request["request_id"])
                engine.respond_tool_call(request["request_id"], echo(request)[1])

    engine.attach_call_bridge()
    running = Background(engine.execute, fields(total))
    receivers = [Background(serve) for _ in range(4)]
    for receiver in receivers:
        receiver.result()
    assert sorted(received) == sorted(f"tool-call-{n}" for n in range(1, total + 1))
    values = data_of(running.result())
    assert all(values[f"f{i}"]["args"] == {"i": i} for i in range(total))


def test_second_receivers_timeout_starts_once_the_first_is_done(engine: _graphql.SchemaEngine) -> None:
    # Receivers are served one after the other, so the second one's wait is
    # its own full timeout after the first gave up: a request sent only once
    # the first receiver has returned still reaches the second.
    engine.attach_call_bridge()
    start, returned = threading.Barrier(2), queue.Queue()

    def receive_once() -> None:
        start.wait(JOIN_TIMEOUT)
        returned.put(engine.receive_tool_call(1000))

    receivers = [Background(receive_once) for _ in range(2)]
    assert returned.get(timeout=JOIN_TIMEOUT) is None
    running = Background(engine.execute, "{ s_t(k: 1) }")
    second = returned.get(timeout=JOIN_TIMEOUT)
    assert second is not None, "the second receiver's timeout ran out while the first one was receiving"
    assert json.loads(second)["request_id"] == "tool-call-1"
    assert engine.respond_tool_call("tool-call-1", "[]")
    assert data_of(running.result()) == {"s_t": []}
    for receiver in receivers:
        receiver.result()


@pytest.mark.parametrize("threads, count", [(4, 10), (3, 1), (2, 1100)])
def test_concurrent_executes_on_one_engine(engine: _graphql.SchemaEngine, threads: int, count: int) -> None:
    with Host(engine, echo) as host:
        queries = ["{ " + " ".join(f"f{i}: s_t(t: {t}, i: {i})" for i in range(count)) + " }" for t in range(threads)]
        runs = [Background(engine.execute, query) for query in queries]
        results = [data_of(run.result()) for run in runs]
    for t, values in enumerate(results):
        assert [values[f"f{i}"]["args"] for i in range(count)] == [{"i": i, "t": t} for i in range(count)]
    ids = [v["id"] for values in results for v in values.values()]
    assert sorted(ids) == sorted(f"tool-call-{n}" for n in range(1, threads * count + 1))
    assert len(host.requests) == threads * count and all(host.answers)


def test_query_beyond_queue_capacity_completes(engine: _graphql.SchemaEngine) -> None:
    with Host(engine, echo) as host:
        values = data_of(execute_in_thread(engine, fields(1100)))
    assert [values[f"f{i}"]["args"] for i in range(1100)] == [{"i": i} for i in range(1100)]
    assert sorted(r["request_id"] for r in host.requests) == sorted(v["id"] for v in values.values())
    assert len({v["id"] for v in values.values()}) == 1100 and all(host.answers)


@pytest.mark.parametrize(
    "args, kwargs", [((0,), {}), ((), {}), ((1,), {}), ((), {"timeout_ms": 0}), ((), {"timeout_ms": 30})]
)
def test_receive_on_empty_queue_returns_none(engine: _graphql.SchemaEngine, args: tuple, kwargs: dict) -> None:
    engine.attach_call_bridge()
    assert Background(lambda: engine.receive_tool_call(*args, **kwargs)).result() is None


def test_receive_with_huge_timeout_gets_a_later_request(engine: _graphql.SchemaEngine) -> None:
    engine.attach_call_bridge()
    waiting = Background(engine.receive_tool_call, 2**64 - 1)
    time.sleep(0.2)  # let the receiver start its wait before anything is queued
    running = Background(engine.execute, "{ s_t(k: 1) }")
    request = json.loads(waiting.result())
    assert (request["request_id"], request["arguments"]) == ("tool-call-1", {"k": 1})
    assert engine.respond_tool_call("tool-call-1", "[]")
    assert data_of(running.result()) == {"s_t": []}


def test_engine_dropped_during_receive() -> None:
    gc.collect()  # engines of earlier tests held in reference cycles go now, not mid-test
    baseline = engine_threads()
    box = [_graphql.SchemaEngine(CATALOGUE)]
    assert engine_threads() > baseline
    # The receiving thread ends up holding the last reference, so the engine
    # is destroyed there once its receive times out.
    waiting = Background(lambda: box.pop().receive_tool_call(300))
    assert waiting.result() is None
    assert engine_threads() == baseline


@pytest.mark.parametrize(
    "steps",
    [["detach"], ["detach", "detach"], ["attach", "detach"], ["attach", "detach", "detach"],
     ["attach", "attach", "detach"]],
)
def test_detach_with_nothing_pending_is_harmless(engine: _graphql.SchemaEngine, steps: list[str]) -> None:
    for step in steps:
        assert getattr(engine, f"{step}_call_bridge")() is None
    placeholders = {"s_t": placeholder("s", "t"), "a": placeholder("s", "w")}
    assert data_of(execute_in_thread(engine, "{ s_t a: s_w }")) == placeholders
    assert engine.receive_tool_call(0) is None


def test_detach_cancels_queued_requests_and_numbering_carries_on(engine: _graphql.SchemaEngine) -> None:
    engine.attach_call_bridge()
    running = Background(engine.execute, fields(3))
    _, first = receive(engine)  # received, the other two still queued
    time.sleep(0.2)
    engine.detach_call_bridge()
    assert data_of(running.result()) == {"f0": DETACHED, "f1": DETACHED, "f2": DETACHED}
    assert not engine.respond_tool_call(first["request_id"], "1")
    assert not engine.respond_tool_call("tool-call-2", "1") and not engine.fail_tool_call("tool-call-3", "x")
    assert data_of(execute_in_thread(engine, "{ s_w }")) == {"s_w": placeholder("s", "w")}
    # A host attaching later gets only what was queued after it attached:
    # the two calls whose callers were told "detached" are never performed.
    with Host(engine, echo) as host:
        assert data_of(execute_in_thread(engine, "{ s_w }"))["s_w"]["id"] == "tool-call-4"
    assert [r["request_id"] for r in host.requests] == ["tool-call-4"]


def test_detach_releases_jobs_waiting_for_room(engine: _graphql.SchemaEngine) -> None:
    engine.attach_call_bridge()
    running = Background(engine.execute, fields(1100))
    _, first = receive(engine)
    time.sleep(0.3)  # let the remaining jobs register; 76 of them find the queue full
    engine.detach_call_bridge()
    values = data_of(running.result())
    assert list(values.values()) == [DETACHED] * 1100
    assert first["request_id"] == "tool-call-1"
    # Neither the queued requests nor those in line for room are handed out.
    engine.attach_call_bridge()
    assert drain(engine) == []
    assert not any(engine.respond_tool_call(f"tool-call-{n}", "1") for n in range(1, 1101))


def test_detach_while_jobs_are_starting(engine: _graphql.SchemaEngine) -> None:
    placeholder_t, seen = placeholder("s", "t"), set()
    for _ in range(30):
        engine.attach_call_bridge()
        runs = [Background(engine.execute, fields(2000)) for _ in range(3)]
        # Detaching as soon as the first call is out lands while jobs of all
        # three queries are still starting; none of them may be left waiting.
        queued = [receive(engine)[1]]
        engine.detach_call_bridge()
        values = [data_of(run.result(10.0)) for run in runs]
        assert all(v in (DETACHED, placeholder_t) for query in values for v in query.values())
        assert drain(engine) == []  # cancelled by the detach: never handed out
        assert len(queued) <= 1025  # jobs still waiting for room were never queued
        assert sum(v == DETACHED for query in values for v in query.values()) >= len(queued)
        assert not any(engine.respond_tool_call(r["request_id"], "1") for r in queued)
        ids = {r["request_id"] for r in queued}
        assert len(ids) == len(queued) and not ids & seen
        seen |= ids


def test_stress_execute_answer_detach(engine: _graphql.SchemaEngine) -> None:
    # Three executors (some queries beyond the queue's capacity), one host that
    # answers or fails, one thread detaching and re-attaching at random, for
    # STRESS_SECONDS. A field may lose its call to a detach, never get
    # another call's answer.
    stop, host_stop = threading.Event(), threading.Event()
    seen_ids: list[str] = []
    outcomes: list[tuple[list[str], dict]] = []

    def host() -> None:
        rng = random.Random(1)
        while not host_stop.is_set():
            text = engine.receive_tool_call(10)
            if text is None:
                continue
            request = json.loads(text)
            seen_ids.append(request["request_id"])
            if rng.random() < 0.1:
                engine.fail_tool_call(request["request_id"], "failed " + text)
            else:
                engine.respond_tool_call(request["request_id"], echo(request)[1])

    def detacher() -> None:
        rng = random.Random(2)
        while not stop.is_set():
            time.sleep(rng.random() * 0.03)
            engine.detach_call_bridge()
            time.sleep(rng.random() * 0.01)
            engine.attach_call_bridge()

    def executor(index: int) -> None:
        rng = random.Random(100 + index)
        round_ = 0
        while not stop.is_set():
            count = rng.choice([1, 3, 8, 1030])
            tags = [f"{index}-{round_}-{i}" for i in range(count)]
            query = "{ " + " ".join(f"f{i}: s_t(q: \"{tag}\")" for i, tag in enumerate(tags)) + " }"
            outcomes.append((tags, data_of(execute_in_thread(engine, query))))
            round_ += 1

    engine.attach_call_bridge()
    serving = Background(host)
    workers = [Background(executor, i) for i in range(3)] + [Background(detacher)]
    try:
        time.sleep(STRESS_SECONDS)
        stop.set()
        for worker in workers:
            worker.result()
    finally:
        stop.set()
        host_stop.set()
        engine.detach_call_bridge()
        serving.result()

    assert len(seen_ids) == len(set(seen_ids))
    answered_ids = []
    for tags, values in outcomes:
        assert sorted(values) == sorted(f"f{i}" for i in range(len(tags)))
        for i, tag in enumerate(tags):
            value = values[f"f{i}"]
            if value in (DETACHED, placeholder("s", "t")):
                continue
            if "args" in value:
                assert value["args"] == {"q": tag}
                answered_ids.append(value["id"])
            else:
                request = json.loads(value["text"].removeprefix("failed "))
                assert value["isError"] and request["arguments"] == {"q": tag}
                answered_ids.append(request["request_id"])
    assert len(answered_ids) == len(set(answered_ids)) and set(answered_ids) <= set(seen_ids)
    assert answered_ids and len(outcomes) > 3
