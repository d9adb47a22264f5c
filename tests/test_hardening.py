"""Long-running use must not leak: memory stays flat over many requests,
and engines leave no threads behind."""

from __future__ import annotations

import ctypes
import gc
import itertools
import json
import os
import random
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

import _graphql
from conftest import JOIN_TIMEOUT, PLACEHOLDER, STRESS_SECONDS, catalogue, engine_threads
from support.child import python_env
from support.proc import rss_bytes

# AddressSanitizer keeps freed memory in quarantine, so RSS says nothing there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
RSS_BOUND = float("inf") if UNDER_ASAN else 4 * 1024 * 1024


def serve_all(engine: _graphql.SchemaEngine, stop: threading.Event) -> None:
    """Answers every call; every fifth one fails, every seventh gets an invalid reply."""
    served = 0
    while not stop.is_set():
        text = engine.receive_tool_call(10)
        if text is None:
            continue
        served += 1
        request_id = json.loads(text)["request_id"]
        if served % 5 == 0:
            engine.fail_tool_call(request_id, "boom")
        elif served % 7 == 0:
            engine.respond_tool_call(request_id, "{not json")
        else:
            engine.respond_tool_call(request_id, text)


def mixed_requests(engine: _graphql.SchemaEngine, count: int) -> None:
    queries = [
        ('{ a: s_t(x: [1, {y: "z"}]) b: s_u(n: $n) __typename }', '{"n": [1, 2, 3]}'),
        ("{ servers search }", None),
        ("{ nope }", None),
        ("{ s_t(x: ", None),
        ("{ s_t }", "[1]"),
    ]
    for i in range(count):
        query, variables = queries[i % len(queries)]
        document = json.loads(engine.execute(query, variables))
        assert set(document) == {"data", "errors"}
        if i % len(queries) == 0:  # really went through the host, not placeholders
            value = document["data"]["a"]
            assert "request_id" in value or value["text"] == "boom" or "invalid JSON" in value["text"]


class _MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_in_use() -> int:
    """Bytes the C allocator has handed out and not had back, over all its
    arenas: exact where RSS moves in pages, so a few bytes kept per request
    show after thousands of requests rather than hundreds of thousands.
    0 where the C library has no mallinfo2 (not glibc 2.33 or later)."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return 0
    mallinfo2.restype = _MallocInfo
    info = mallinfo2()
    return info.uordblks + info.hblkhd


# The long form (HYPOTHESIS_PROFILE=ci) runs four and a half times as many.
MEASURED_REQUESTS = 90_000 if STRESS_SECONDS > 1 else 20_000
HEAP_BOUND = float("inf") if UNDER_ASAN else 64 * 1024


def test_memory_is_flat_over_many_requests_with_tool_calls() -> None:
    engine = _graphql.SchemaEngine(catalogue(("s", "t"), ("s", "u", False)))
    stop = threading.Event()
    host = threading.Thread(target=serve_all, args=(engine, stop), daemon=True)
    engine.attach_call_bridge()
    host.start()
    try:
        mixed_requests(engine, MEASURED_REQUESTS // 9)  # warm up allocator pools and caches
        gc.collect()
        tracemalloc.start()
        rss_before = rss_bytes()
        heap_before = heap_in_use()
        python_before = tracemalloc.get_traced_memory()[0]
        mixed_requests(engine, MEASURED_REQUESTS)
        gc.collect()
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
        heap_growth = heap_in_use() - heap_before
        rss_growth = rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
        engine.detach_call_bridge()
        stop.set()
        host.join(JOIN_TIMEOUT)
    # Two tool calls in a fifth of the requests: a leak of even a few bytes
    # per request or call would show far above these bounds (the C heap
    # moves by a few KiB over the whole run when nothing leaks).
    assert python_growth < 256 * 1024, python_growth
    assert heap_growth < HEAP_BOUND, heap_growth
    assert rss_growth < RSS_BOUND, rss_growth


def test_a_thousand_engines_leave_no_threads_and_no_growth() -> None:
    gc.collect()
    threads_before = engine_threads()
    text = catalogue(("s", "t"), ("s", "u"))

    def churn(count: int) -> None:
        for _ in range(count):
            engine = _graphql.SchemaEngine(text)
            engine.execute("{ s_t servers }")
            del engine

    churn(100)
    rss_before = rss_bytes()
    churn(1_000)
    rss_growth = rss_bytes() - rss_before
    assert engine_threads() == threads_before
    assert rss_growth < RSS_BOUND, rss_growth


FORKED_CHILD = """
import os, sys, _graphql
engine = _graphql.SchemaEngine('{"server": "s", "name": "t"}')
pid = os.fork()
if pid == 0:
    # The child has the engine but not its worker threads: a timed receive
    # must still end, and freeing the engine must not wait for them.
    assert engine.receive_tool_call(100) is None
    assert '"s_t"' in engine.execute("{ s_t }")
    del engine
    os._exit(0)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""


OUT_OF_MEMORY = """
import resource, _graphql
from support.proc import mapped_bytes
engine = _graphql.SchemaEngine('{"server": "s", "name": "t"}')
big = "x" * (300 * 1024 * 1024)
# Room for the argument but not for the engine's own copy of it.
resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + 200 * 1024 * 1024, resource.RLIM_INFINITY))
for call in (lambda: engine.respond_tool_call("tool-call-1", big), lambda: engine.execute(big),
             lambda: engine.fail_tool_call("x", big), lambda: _graphql.SchemaEngine(big)):
    try:
        call()
    except MemoryError:
        continue
    raise SystemExit("no MemoryError")
"""


@pytest.mark.parametrize("script", [FORKED_CHILD, OUT_OF_MEMORY], ids=["fork", "out-of-memory"])
def test_the_process_survives(script: str) -> None:
    """A forked child keeps a usable engine; exhausted memory raises MemoryError instead of aborting."""
    if "RLIMIT_AS" in script and UNDER_ASAN:
        pytest.skip("AddressSanitizer reserves more address space than the limit allows")
    finished = subprocess.run([sys.executable, "-c", script], timeout=60, capture_output=True, text=True,
                              env=python_env())
    assert finished.returncode == 0, finished.stderr


def random_json(rng: random.Random, depth: int = 0) -> object:
    kind = rng.randrange(7 if depth < 4 else 4)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, -1, 2**63 - 1, -(2**63), 2**64 - 1, rng.random(), 1e300])
    if kind in (2, 3):
        return "".join(rng.choice('ab"\\\n\x01é€😀/') for _ in range(rng.randrange(8)))
    if kind in (4, 5):
        return [random_json(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {random_json(rng, 4): random_json(rng, depth + 1) for _ in range(rng.randrange(4))}  # type: ignore[misc]


def test_stress_hosts_answer_out_of_order_while_engines_come_and_go() -> None:
    """Two hosts hold requests and answer them in random order after random
    delays, with random JSON or failures, while queries run, the bridge is
    detached and re-attached, and other engines are built and dropped."""
    gc.collect()  # engines that earlier tests on this worker left in reference cycles
    threads_before = engine_threads()
    engine = _graphql.SchemaEngine(catalogue(("s", "t"), ("s", "w", False)))
    stop, stop_hosts = threading.Event(), threading.Event()
    second_answers: list[bool] = []
    problems: list[str] = []
    counts = {"queries": 0, "fields": 0, "detaches": 0}

    def host(seed: int) -> None:
        rng, held = random.Random(seed), []
        while not stop_hosts.is_set() or held:
            text = engine.receive_tool_call(5)
            if text is not None:
                held.append(json.loads(text))
            # A few requests are held back and answered in random order.
            while len(held) > rng.randrange(8) or (held and text is None):
                request = held.pop(rng.randrange(len(held)))
                if rng.random() < 0.02:
                    time.sleep(rng.random() * 0.005)
                tag, request_id = request["arguments"]["q"], request["request_id"]
                if rng.random() < 0.2:
                    engine.fail_tool_call(request_id, f"failed {tag}")
                else:
                    reply = {"q": tag, "payload": random_json(rng)}
                    engine.respond_tool_call(request_id, json.dumps(reply, ensure_ascii=False))
                second_answers.append(engine.respond_tool_call(request_id, "null"))

    def executor(index: int) -> None:
        rng = random.Random(index)
        for round_ in itertools.count():
            if stop.is_set():
                return
            tags = [f"{index}.{round_}.{i}" for i in range(rng.choice([1, 2, 16, 1100]))]
            fields = " ".join(f'f{i}: s_{rng.choice("tw")}(q: "{tag}")' for i, tag in enumerate(tags))
            data = json.loads(engine.execute("{ " + fields + " }"))["data"]
            counts["queries"] += 1
            counts["fields"] += len(tags)
            for i, tag in enumerate(tags):
                value = data[f"f{i}"]
                if not (value.get("q") == tag or value.get("text") in (f"failed {tag}", "CallBridge is detached")
                        or value.get("text", "").startswith(PLACEHOLDER.partition("{server}")[0] + "s.")):
                    problems.append(f"{tag}: {value}")

    def churn() -> None:
        rng = random.Random(7)
        while not stop.is_set():
            engine.detach_call_bridge()
            counts["detaches"] += 1
            engine.attach_call_bridge()
            other = _graphql.SchemaEngine(catalogue(("x", "y")))
            other.execute("{ x_y }")
            del other
            time.sleep(rng.random() * 0.02)

    engine.attach_call_bridge()
    workers = [threading.Thread(target=host, args=(seed,), daemon=True) for seed in (1, 2)]
    workers += [threading.Thread(target=executor, args=(i,), daemon=True) for i in range(3)]
    workers += [threading.Thread(target=churn, daemon=True)]
    for worker in workers:
        worker.start()
    time.sleep(STRESS_SECONDS)
    stop.set()
    for worker in workers[2:]:
        worker.join(JOIN_TIMEOUT)
    stop_hosts.set()
    engine.detach_call_bridge()
    for worker in workers[:2]:
        worker.join(JOIN_TIMEOUT)
    assert not any(worker.is_alive() for worker in workers), "a thread did not finish"
    assert not problems, problems[:5]
    assert second_answers and not any(second_answers)
    print(f"stress: {counts}, tool calls answered {len(second_answers)}")
    del engine
    gc.collect()
    assert engine_threads() == threads_before
