"""ToolHost: dispatch styles, failure answers, parallel pool, detach on exit, asyncio entry."""

from __future__ import annotations

import asyncio
import json
import threading

import pytest

from conftest import JOIN_TIMEOUT, catalogue, execute_in_thread
from quorvel_graphql import ToolHost

CATALOGUE = catalogue(("files", "read_file"), ("files", "nope"), ("math", "sum"), ("slow", "wait"))


def run(host: ToolHost, query: str, variables: dict | None = None) -> dict:
    return json.loads(execute_in_thread(host.engine, query, json.dumps(variables) if variables else None))


def kwargs_handler(path: str, limit: int = 0) -> dict:
    return {"path": path, "limit": limit}


def dict_handler(arguments: dict) -> dict:
    return {"path": arguments["path"], "limit": arguments.get("limit", 0)}


async def async_handler(path: str, limit: int = 0) -> dict:
    await asyncio.sleep(0)
    return {"path": path, "limit": limit}


@pytest.mark.parametrize(
    "handler, pass_dict",
    [(kwargs_handler, False), (dict_handler, True), (async_handler, False)],
    ids=["keywords", "one-dict", "coroutine"],
)
def test_handler_styles_receive_the_arguments(handler, pass_dict):
    with ToolHost(CATALOGUE) as host:
        host.register("files", "read_file", handler, pass_dict=pass_dict)
        document = run(host, 'query($p: String!) { a: files_read_file(path: $p, limit: 3) b: files_read_file(path: "x") }',
                       {"p": "a.txt"})
    assert document == {"data": {"a": {"path": "a.txt", "limit": 3}, "b": {"path": "x", "limit": 0}}, "errors": []}


def _raises(path: str) -> None:
    raise ValueError(f"bad path {path}")


@pytest.mark.parametrize(
    "register, expected",
    [
        (lambda h: h.register("files", "read_file", _raises), "ValueError: bad path a"),
        (lambda h: h.register("files", "read_file", lambda path: {1, 2}),
         "TypeError: result of files.read_file is not JSON: Object of type set is not JSON serializable"),
        (lambda h: h.register("files", "read_file", lambda path: float("nan")),
         "ValueError: result of files.read_file is not JSON: Out of range float values are not JSON compliant"),
        (lambda h: h.register("files", "nope", lambda path: 1), "LookupError: no handler for files.read_file"),
        (lambda h: h.register("files", "read_file", lambda: 1), None),  # wrong parameters
    ],
    ids=["raises", "set", "nan", "missing", "signature"],
)
def test_a_failing_handler_fails_only_its_field_and_the_host_keeps_serving(register, expected):
    with ToolHost(CATALOGUE) as host:
        register(host)
        host.register("math", "sum", lambda numbers: sum(numbers))
        for _ in range(2):  # the second round shows the receiving thread survived
            document = run(host, '{ f: files_read_file(path: "a") s: math_sum(numbers: [1, 2]) }')
            failed = document["data"]["f"]
            assert failed["isError"] is True and document["data"]["s"] == 3
            if expected is None:
                assert failed["text"].startswith("TypeError: ")
            else:
                assert failed["text"] == expected


@pytest.mark.parametrize("per_registration", [True, False], ids=["registration-limit", "host-limit"])
def test_time_limit_answers_a_hung_call_and_drops_its_late_answer(per_registration):
    release = threading.Event()
    host = ToolHost(CATALOGUE, time_limit=None if per_registration else 0.2)
    host.register("slow", "wait", lambda: release.wait(JOIN_TIMEOUT) and "late",
                  time_limit=0.2 if per_registration else None)
    host.register("math", "sum", lambda numbers: sum(numbers))
    try:
        with host:
            document = run(host, "{ w: slow_wait s: math_sum(numbers: [4]) }")
    finally:
        release.set()
    assert document["data"] == {"w": {"isError": True, "json": None,
                                      "text": "TimeoutError: tool slow.wait took longer than 0.2 s"}, "s": 4}


@pytest.mark.parametrize("workers, all_at_once", [(6, True), (3, False)])
def test_pool_runs_slow_tools_in_parallel_up_to_its_size(workers, all_at_once):
    barrier = threading.Barrier(6, timeout=1.0 if not all_at_once else JOIN_TIMEOUT)

    def wait() -> str:
        barrier.wait()  # passes only when six calls run at the same time
        return "met"

    query = "{ " + " ".join(f"w{i}: slow_wait" for i in range(6)) + " }"
    with ToolHost(CATALOGUE, max_workers=workers) as host:
        host.register("slow", "wait", wait)
        values = run(host, query)["data"].values()
    if all_at_once:
        assert list(values) == ["met"] * 6
    else:
        assert all(v["isError"] and v["text"].startswith("BrokenBarrierError") for v in values)


def test_leaving_the_host_releases_a_waiting_execute():
    entered, release = threading.Event(), threading.Event()
    host = ToolHost(CATALOGUE, shutdown_timeout=0.5)
    host.register("slow", "wait", lambda: entered.set() or release.wait(JOIN_TIMEOUT))
    outcome: dict = {}
    worker = threading.Thread(target=lambda: outcome.update(doc=host.execute("{ w: slow_wait }")), daemon=True)
    try:
        with host:
            worker.start()
            assert entered.wait(JOIN_TIMEOUT)
        worker.join(JOIN_TIMEOUT)
    finally:
        release.set()
    assert outcome["doc"]["data"]["w"] == {"isError": True, "json": None, "text": "CallBridge is detached"}
    assert not host.running and not any(t.name == "quorvel-host" for t in threading.enumerate())


@pytest.mark.parametrize("entry", ["async-with", "with"])
def test_coroutine_handlers_run_on_the_callers_loop_or_a_private_one(entry):
    seen: list[asyncio.AbstractEventLoop] = []

    async def read_file(path: str) -> str:
        seen.append(asyncio.get_running_loop())
        return path.upper()

    async def main() -> dict:
        host = ToolHost(CATALOGUE)
        host.register("files", "read_file", read_file)
        query = "query($p: String!) { files_read_file(path: $p) }"
        if entry == "async-with":
            async with host:
                return await asyncio.wait_for(host.execute_async(query, {"p": "abc"}), JOIN_TIMEOUT)
        with host:
            return await asyncio.wait_for(host.execute_async(query, {"p": "abc"}), JOIN_TIMEOUT)

    loop = asyncio.new_event_loop()
    try:
        document = loop.run_until_complete(main())
    finally:
        loop.close()
    assert document == {"data": {"files_read_file": "ABC"}, "errors": []}
    assert (seen[0] is loop) == (entry == "async-with")


def test_register_methods_binds_catalogue_fields_by_name():
    class Tools:
        def files_read_file(self, path: str) -> str:
            return f"read {path}"

        def math_sum(self, numbers: list) -> int:
            return sum(numbers)

    with ToolHost(CATALOGUE) as host:
        assert sorted(host.register_methods(Tools())) == ["files_read_file", "math_sum"]
        document = run(host, '{ a: files_read_file(path: "p") b: math_sum(numbers: [1, 2]) }')
    assert document["data"] == {"a": "read p", "b": 3}
