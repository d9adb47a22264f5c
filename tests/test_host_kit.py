"""ToolHost: dispatch styles, failure answers, parallel pool, detach on exit, asyncio entry, lifecycle, policy."""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import JOIN_TIMEOUT, catalogue, execute_in_thread
from quorvel_graphql import HostStateError, QuorvelError, ToolHost, UnknownToolError

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
         "ValueError: result of files.read_file is not JSON: "),
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
            elif expected.endswith(": "):  # the rest is the json module's own wording
                assert failed["text"].startswith(expected)
            else:
                assert failed["text"] == expected


@pytest.mark.parametrize("per_registration", [True, False], ids=["registration-limit", "host-limit"])
def test_time_limit_answers_a_hung_call_and_drops_its_late_answer(per_registration):
    release = threading.Event()
    host = ToolHost(CATALOGUE, time_limit=None if per_registration else 0.2)
    host.register("slow", "wait", lambda: release.wait(JOIN_TIMEOUT) and "late",
                  time_limit=0.2 if per_registration else None)
    host.register("math", "sum", lambda numbers: sum(numbers))
    with host:
        try:
            document = run(host, "{ w: slow_wait s: math_sum(numbers: [4]) }")
        finally:
            release.set()  # before closing, which would wait for the hung handler
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


class Unprintable(Exception):
    def __str__(self) -> str:
        raise RuntimeError("no text")


def nested(depth: int) -> dict:
    """A dict ``depth`` levels deep.  Tests build deep values when they run:
    built for a parameter list, they would be collected on every worker and
    kept there for the whole run, for every garbage collection to walk."""
    value: dict = {}
    for _ in range(depth):
        value = {"a": value}
    return value


def recursive() -> list:
    value: list = []
    value.append(value)
    return value


async def exits() -> None:
    raise SystemExit(4)


async def interrupted() -> None:
    raise KeyboardInterrupt


def raise_(error: BaseException):
    raise error


@pytest.mark.parametrize(
    "handler, expected",
    [
        (lambda: nested(100_000), "ValueError: result of slow.wait is not JSON: it is nested too deeply"),
        (recursive, "ValueError: result of slow.wait is not JSON: Circular reference detected"),
        (lambda: raise_(Unprintable()), "Unprintable: (its message could not be read)"),
        (lambda: raise_(ValueError("bad \ud800 text")), "ValueError: bad \\ud800 text"),
        (lambda: raise_(SystemExit(3)), "SystemExit: 3"),
        (exits, "ToolHandlerError: slow.wait raised SystemExit: 4"),
        (interrupted, "ToolHandlerError: slow.wait raised KeyboardInterrupt"),
    ],
    ids=["deep", "recursive", "unprintable", "surrogate", "plain-exit", "async-exit", "async-interrupt"],
)
def test_every_call_is_answered_once_whatever_the_handler_does(handler, expected):
    async def still_alive(path: str) -> str:
        return "alive"

    with ToolHost(CATALOGUE) as host:
        host.register("slow", "wait", handler)
        host.register("files", "read_file", still_alive)
        for _ in range(2):  # the loop and the receiving thread survive the first round
            document = run(host, '{ w: slow_wait f: files_read_file(path: "p") }')
            assert document["data"]["w"]["isError"] is True and document["data"]["w"]["text"].startswith(expected)
            assert document["data"]["f"] == "alive"
        assert host.receive_error_count == 0


def test_execute_async_never_waits_for_a_shared_pool():
    # One call more than the default executor has threads: were the waits
    # for the engine on that executor, they would hold every thread and the
    # handlers, which need one too, could never run.
    calls = default_executor_threads() + 1

    async def nap() -> str:
        await asyncio.to_thread(threading.Event().wait, 0.3)  # needs the loop's default executor
        return "rested"

    async def main() -> list:
        async with ToolHost(CATALOGUE) as host:
            host.register("slow", "wait", nap)
            return await asyncio.wait_for(asyncio.gather(*(host.execute_async("{ slow_wait }") for _ in range(calls))),
                                          JOIN_TIMEOUT)

    documents = asyncio.run(main())
    assert [d["data"]["slow_wait"] for d in documents] == ["rested"] * calls


def default_executor_threads() -> int:
    """The thread count of an event loop's default executor, which asyncio
    creates with ThreadPoolExecutor's own default size."""
    with concurrent.futures.ThreadPoolExecutor() as pool:
        return pool._max_workers  # no public name; the size depends on the CPU count and Python version


@pytest.mark.parametrize("limit", [float("inf"), float("nan"), 0, -1, 1e300, "soon"])
def test_time_limits_are_checked_up_front(limit):
    with pytest.raises(ValueError, match="time_limit must be a"):
        ToolHost(CATALOGUE, time_limit=limit)
    with pytest.raises(ValueError, match="time_limit must be a"):
        ToolHost(CATALOGUE).register("math", "sum", sum, time_limit=limit)


@pytest.mark.parametrize("variables, message", [
    ({"n": float("nan")}, "the variables are not JSON"),
    ({"s": {1, 2}}, "the variables are not JSON"),
    (lambda: nested(100_000), "the variables nest too deeply"),  # built when run: see nested()
])
def test_variables_that_cannot_be_json_are_a_clear_value_error(variables, message):
    variables = variables() if callable(variables) else variables
    with ToolHost(CATALOGUE) as host:
        host.register("math", "sum", lambda numbers: sum(numbers), inline=True)
        with pytest.raises(ValueError, match=message):
            host.execute("{ math_sum }", variables)
        with pytest.raises(ValueError, match=message):
            asyncio.run(host.execute_async("{ math_sum }", variables))
        assert host.execute("{ s: math_sum(numbers: [1, 2]) }")["data"]["s"] == 3


def test_lifecycle_and_registration_errors_are_clear():
    host = ToolHost(CATALOGUE)
    with pytest.raises(HostStateError, match="ToolHost is created, not running"):
        host.execute("{ math_sum }")
    with pytest.raises(UnknownToolError, match=r"no tool files\.read_fil; close matches: files\.read_file"):
        host.register("files", "read_fil", lambda: 1)
    with host:
        with pytest.raises(HostStateError, match="already running"):
            host.start()
    host.close()  # repeated: harmless
    with pytest.raises(HostStateError, match="closed and cannot be started again"):
        host.start()
    with pytest.raises(QuorvelError):
        asyncio.run(host.execute_async("{ math_sum }"))
    assert host.state.value == "closed"


def test_read_only_host_refuses_mutations_and_inline_handlers_answer():
    tools = catalogue(("files", "read_file", True), ("files", "delete", False))
    with ToolHost(tools, read_only=True) as host:
        host.register("files", "read_file", lambda path: f"read {path}", inline=True)
        host.register("files", "delete", lambda path: pytest.fail("a refused call ran"))
        document = run(host, '{ r: files_read_file(path: "a") d: files_delete(path: "a") }')
        listed = host.catalogue_tools()
    assert document["data"]["r"] == "read a"
    assert document["data"]["d"]["text"] == ("ReadOnlyError: refused files.delete: the tool is not read-only "
                                             "and this host serves read-only calls only")
    assert [(t["field"], t["readOnly"], t["inputSchema"]) for t in listed] == [
        ("files_read_file", True, None), ("files_delete", False, None)]


def test_calls_queued_behind_hung_handlers_say_so_and_the_process_still_exits():
    script = textwrap.dedent("""
        import json, threading
        from quorvel_graphql import ToolHost
        host = ToolHost(json.dumps([{"server": "s", "name": "hang"}]), max_workers=1, time_limit=0.3,
                        shutdown_timeout=0.2)
        host.register("s", "hang", lambda: threading.Event().wait())
        with host:
            document = host.execute("{ a: s_hang b: s_hang }")
        print(json.dumps(document))
    """)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    data = json.loads(result.stdout)["data"]
    assert data["a"]["text"] == "TimeoutError: tool s.hang took longer than 0.3 s"
    assert data["b"]["text"] == ("TimeoutError: tool s.hang did not start within 0.3 s: all 1 worker threads "
                                 "were busy with earlier calls")
