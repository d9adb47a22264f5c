"""Start-up with tool servers that fail: the gateway serves those that came
up and says why the others did not (their own stderr), or exits with
--require-all; a tools filter that leaves nothing is a warning."""

from __future__ import annotations

import concurrent.futures
import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("mcp_server_time")
pytest.importorskip("httpx")

from support.gateway import (  # noqa: E402
    START_TIMEOUT, STOP_TIMEOUT, RunningGateway, child_env, gateway_command, http_gateway,
)
from support.http_client import client as http  # noqa: E402
from support.line_tool_server import SCRIPT as LINE_TOOL_SERVER  # noqa: E402
from support.proc import alive, children_of, command_line  # noqa: E402

FAILING_SERVER = """\
import sys
print("loading settings from /etc/quorvel-test.toml", file=sys.stderr)
print("fatal: SEARCH_TOKEN is not set", file=sys.stderr)
sys.exit(3)
"""


def config(folder: pathlib.Path) -> pathlib.Path:
    script = folder / "failing_server.py"
    script.write_text(FAILING_SERVER)
    # One real server beside the failing one; the filtered-out one is the
    # hand-written stdio server, which costs no SDK import.
    servers = {
        "time": {"command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]},
        "search": {"command": sys.executable, "args": [str(script)]},
        "lines": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER)],
                  "tools": {"include": ["ping_*_typo"], "exclude": ["ping"]}},
    }
    path = folder / "servers.json"
    path.write_text(json.dumps({"servers": servers}))
    return path


def test_gateway_serves_the_servers_that_came_up(partial_gateway: tuple[RunningGateway, pathlib.Path]) -> None:
    gateway, _ = partial_gateway
    answer = http.post(f"{gateway.url}/graphql", timeout=30,
                        json={"query": '{ time_get_current_time(timezone: "UTC") { timezone } }'}).json()
    ready = http.get(f"{gateway.url}/readyz", timeout=30)
    log = gateway.startup
    assert answer["data"]["time_get_current_time"] == {"timezone": "UTC"}
    assert "MCP server 'search' failed to start" in log and "fatal: SEARCH_TOKEN is not set" in log
    assert "include ['ping_*_typo'], exclude ['ping']" in log and "leaves its only tool out" in log
    # Nothing is required without --require-all: the gateway is ready, and says what is missing.
    assert ready.status_code == 200
    servers = {server["name"]: server for server in ready.json()["servers"]}
    assert servers["time"]["state"] == "up" and servers["lines"]["tools"] == 0
    search = servers["search"]
    assert search["state"] in ("down", "restarting") and search["required"] is False
    assert search["error"].endswith("loading settings from /etc/quorvel-test.toml\n    fatal: SEARCH_TOKEN is not set")


def test_require_all_exits_with_the_servers_own_reason(tmp_path: pathlib.Path) -> None:
    # Beside the failing server, one that comes up: the hand-written stdio
    # server, which needs no SDK import of its own.
    script = tmp_path / "failing_server.py"
    script.write_text(FAILING_SERVER)
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": {
        "bystander": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER)]},
        "search": {"command": sys.executable, "args": [str(script)]}}}))
    done = subprocess.run(gateway_command("--servers", str(path), "--require-all"), env=child_env(),
                          capture_output=True, text=True, timeout=START_TIMEOUT + STOP_TIMEOUT,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 3, done.stderr
    assert "MCP server 'search' failed to start" in done.stderr and "fatal: SEARCH_TOKEN is not set" in done.stderr
    assert "Traceback" not in done.stderr


def test_a_gateway_with_no_server_up_does_not_start(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-server-here"}}}))
    done = subprocess.run(gateway_command("--servers", str(path)), env=child_env(), capture_output=True, text=True,
                          timeout=START_TIMEOUT + STOP_TIMEOUT, stdin=subprocess.DEVNULL)
    assert done.returncode == 3 and "command not found: no-such-mcp-server-here" in done.stderr


# The first start fails, as a server whose database is not up yet would.
# Later starts wait for the flag instead of failing again, so the test does
# not sit out the doubling back-off between attempts: the retry that is
# under way when the flag appears is the one that comes up.
LATE_SERVER = """\
import pathlib, runpy, sys, threading, time
flag, server = pathlib.Path(sys.argv[1]), sys.argv[2]
tried = flag.with_name(flag.name + ".tried")
if not tried.exists():
    tried.touch()
    print("waiting for", flag, file=sys.stderr)
    sys.exit(1)
deadline = time.monotonic() + 60
while not flag.exists() and time.monotonic() < deadline:
    threading.Event().wait(0.05)
runpy.run_path(server, run_name="__main__")
"""
LATE_DEADLINE = 60.0


@pytest.fixture(scope="module")
def partial_gateway(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[RunningGateway, pathlib.Path]]:
    """One gateway for the tests that only ask it things: the failing, the
    filtered-out and the late server beside a working one, and the flag
    that lets the late one come up.  Only the late-server test touches the
    flag, and the other test asks nothing of that server."""
    folder = tmp_path_factory.mktemp("partial")
    path, flag, script = config(folder), folder / "database-ready", folder / "late_server.py"
    script.write_text(LATE_SERVER)
    servers = json.loads(path.read_text())
    servers["servers"]["late"] = {"command": sys.executable, "args": [str(script), str(flag), str(LINE_TOOL_SERVER)]}
    path.write_text(json.dumps(servers))
    with http_gateway(["--servers", str(path)]) as gateway:
        yield gateway, flag


def test_a_server_that_comes_up_late_joins_with_its_tools(
        partial_gateway: tuple[RunningGateway, pathlib.Path]) -> None:
    gateway, flag = partial_gateway
    query = {"query": '{ late_ping { text } }'}
    assert "waiting for" in gateway.startup
    before = http.post(f"{gateway.url}/graphql", json=query, timeout=30).json()
    assert "late_ping" in before["errors"][0]["message"]  # no such field yet
    flag.touch()
    # The retry comes after the back-off; watch the gateway until the field answers.
    deadline, pause = time.monotonic() + LATE_DEADLINE, threading.Event()
    while True:
        after = http.post(f"{gateway.url}/graphql", json=query, timeout=30).json()
        if after.get("data") is not None or time.monotonic() > deadline:
            break
        pause.wait(0.1)
    status = {s["name"]: s for s in http.get(f"{gateway.url}/readyz", timeout=30).json()["servers"]}
    assert after["data"]["late_ping"] == {"text": "pong"}
    assert status["late"]["state"] == "up" and status["late"]["tools"] == 1


# A server that never finishes its handshake, after saying it has started.
STUCK_SERVER = """\
import pathlib, sys, threading
pathlib.Path(sys.argv[1]).touch()
threading.Event().wait(600)
"""


@pytest.mark.parametrize("front", [[], ["--http", "127.0.0.1:0"]], ids=["stdio", "http"])
def test_sigterm_during_start_up_stops_every_tool_server(tmp_path: pathlib.Path, front: list[str]) -> None:
    script, started = tmp_path / "stuck_server.py", tmp_path / "stuck-started"
    script.write_text(STUCK_SERVER)
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": {
        "lines": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER)]},
        "stuck": {"command": sys.executable, "args": [str(script), str(started)]}}}))
    # Standard input stays open (its end would stop a stdio gateway), and
    # standard error goes to a file, which never fills up.
    errors = tmp_path / "stderr.txt"
    with open(errors, "wb") as stderr_file, subprocess.Popen(
            gateway_command("--servers", str(path), "--startup-timeout", "300", *front), env=child_env(),
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=stderr_file) as process:
        servers = stop_while_starting(process, started)
    stderr = errors.read_text()
    left = [pid for pid in servers if alive(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert not left, f"tool servers still running after the gateway stopped: {left}"
    assert process.returncode == 0 and "Traceback" not in stderr, stderr


def stop_while_starting(process: subprocess.Popen[bytes], started: pathlib.Path) -> set[int]:
    """SIGTERM once both tool servers run and one is stuck in its handshake;
    the servers' process ids."""
    servers: set[int] = set()
    try:
        pause, deadline = threading.Event(), time.monotonic() + START_TIMEOUT
        while len(servers) < 2 or not started.exists():
            assert process.poll() is None and time.monotonic() < deadline, "the tool servers did not start"
            servers = children_of(process.pid)
            pause.wait(0.02)
        process.send_signal(signal.SIGTERM)
        process.wait(STOP_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return servers


@pytest.mark.parametrize(("required", "ready"), [({"search": True}, 503), ({"search": False}, 200), ({}, 200)])
def test_readiness_waits_for_the_servers_marked_required(tmp_path: pathlib.Path, required: dict[str, bool],
                                                         ready: int) -> None:
    script = tmp_path / "failing_server.py"
    script.write_text(FAILING_SERVER)
    servers: dict[str, dict[str, object]] = {
        "lines": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER)], "required": True},
        "search": {"command": sys.executable, "args": [str(script)]}}
    for name, value in required.items():
        servers[name]["required"] = value
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": servers}))
    with http_gateway(["--servers", str(path)]) as gateway:
        answer = http.get(f"{gateway.url}/readyz", timeout=30)
    states = {server["name"]: (server["state"], server["required"]) for server in answer.json()["servers"]}
    assert answer.status_code == ready, answer.text
    assert states["lines"] == ("up", True)
    assert states["search"][1] is required.get("search", False)
    problems = answer.json()["problems"]
    assert (problems == []) if ready == 200 else any("server 'search'" in problem for problem in problems)


# Serves once; every restart after that fails, so a killed server stays down.
ONCE_SERVER = """\
import pathlib, runpy, sys
ran = pathlib.Path(sys.argv[1])
if ran.exists():
    sys.exit("already ran once")
ran.touch()
runpy.run_path(sys.argv[2], run_name="__main__")
"""


@pytest.mark.parametrize(("flag", "required", "ready"), [
    (["--require-all"], False, 503), ([], True, 503), ([], False, 200)])
def test_a_required_server_that_dies_makes_the_gateway_unready(tmp_path: pathlib.Path, flag: list[str],
                                                               required: bool, ready: int) -> None:
    script = tmp_path / "once_server.py"
    script.write_text(ONCE_SERVER)
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": {
        "lines": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER)]},
        "once": {"command": sys.executable, "args": [str(script), str(tmp_path / "ran"), str(LINE_TOOL_SERVER)],
                 "required": required}}}))
    with http_gateway(["--servers", str(path), *flag]) as gateway:
        before = http.get(f"{gateway.url}/readyz", timeout=30).status_code
        once = [pid for pid in children_of(gateway.process.pid) if str(script) in command_line(pid)]
        assert len(once) == 1
        os.kill(once[0], signal.SIGKILL)
        # Noticed at its next call, which fails its field.
        failed = http.post(f"{gateway.url}/graphql", json={"query": "{ once_ping { text } }"}, timeout=30).json()
        after = http.get(f"{gateway.url}/readyz", timeout=30)
    assert before == 200 and failed["data"]["once_ping"] is None
    assert after.status_code == ready, after.text


# One tool that does its work only once the test lets it: a change that is
# under way when the gateway is told to stop.
RELEASED_SERVER = """\\
import json, pathlib, sys, threading
started, release = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
for line in sys.stdin:
    request = json.loads(line)
    if "id" not in request:
        continue
    method, result = request["method"], {}
    if method == "initialize":
        result = {"protocolVersion": request["params"]["protocolVersion"], "capabilities": {"tools": {}},
                  "serverInfo": {"name": "released", "version": "1"}}
    elif method == "tools/list":
        result = {"tools": [{"name": "work", "inputSchema": {"type": "object", "properties": {}}}]}
    elif method == "tools/call":
        started.touch()
        while not release.exists():
            threading.Event().wait(0.01)
        result = {"content": [{"type": "text", "text": "done"}], "isError": False}
    print(json.dumps({"jsonrpc": "2.0", "id": request["id"], "result": result}), flush=True)
"""


@pytest.mark.parametrize("front", ["stdio", "http"])
def test_a_call_running_at_sigterm_is_answered_with_its_result(tmp_path: pathlib.Path, front: str) -> None:
    script, started, release = tmp_path / "released.py", tmp_path / "started", tmp_path / "release"
    script.write_text(RELEASED_SERVER)
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": {"w": {"command": sys.executable,
                                                  "args": [str(script), str(started), str(release)]}}}))
    args = ["--servers", str(path), "--shutdown-grace", str(START_TIMEOUT)]
    query = "mutation { w_work { text } }"
    if front == "http":
        with http_gateway(args) as gateway, concurrent.futures.ThreadPoolExecutor(1) as pool:
            pending = pool.submit(http.post, f"{gateway.url}/graphql", json={"query": query}, timeout=START_TIMEOUT)
            wait_for_file(started, gateway.process)
            gateway.process.send_signal(signal.SIGTERM)
            release.touch()
            document = pending.result(START_TIMEOUT).json()
    else:
        document = stdio_call_through_sigterm(args, query, started, release)
    assert document == {"data": {"w_work": {"text": "done"}}}


def wait_for_file(path: pathlib.Path, process: subprocess.Popen[Any]) -> None:
    pause, deadline = threading.Event(), time.monotonic() + START_TIMEOUT
    while not path.exists():
        assert process.poll() is None and time.monotonic() < deadline, f"{path.name} never appeared"
        pause.wait(0.02)


def stdio_call_through_sigterm(args: list[str], query: str, started: pathlib.Path,
                               release: pathlib.Path) -> dict[str, Any]:
    initialize = {"jsonrpc": "2.0", "id": 0, "method": "initialize",
                  "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                             "clientInfo": {"name": "raw", "version": "1"}}}
    call = {"jsonrpc": "2.0", "id": 5, "method": "tools/call",
            "params": {"name": "graphql", "arguments": {"query": query}}}
    with subprocess.Popen(gateway_command(*args), env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL) as process:
        assert process.stdin is not None and process.stdout is not None
        try:
            for message in (initialize, {"jsonrpc": "2.0", "method": "notifications/initialized"}, call):
                process.stdin.write(json.dumps(message).encode() + b"\n")
                process.stdin.flush()
            wait_for_file(started, process)
            process.send_signal(signal.SIGTERM)
            release.touch()
            answers = [json.loads(line) for line in process.stdout]  # to the end: the gateway stopped
            assert process.wait(STOP_TIMEOUT) == 0
        finally:
            if process.poll() is None:
                process.kill()
    answer = next(a for a in answers if a.get("id") == 5)
    return answer["result"]["structuredContent"]
