"""Scale-out: Debian's HAProxy with deploy/haproxy/haproxy.cfg in front of
three gateways that share one remote (streamable HTTP) tool server.  A
bounded load runs through the balancer, one gateway is killed mid-run, and
every request that was not in flight on it must still be answered, while
the balancer stops sending to it."""

from __future__ import annotations

import asyncio
import contextlib
import csv
import io
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import threading
import time
from dataclasses import dataclass

import pytest

pytestmark = pytest.mark.balancer
pytest.importorskip("mcp")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")
HAPROXY = shutil.which("haproxy") or (os.path.exists("/usr/sbin/haproxy") and "/usr/sbin/haproxy") or None
if not HAPROXY:
    pytest.skip("HAProxy is not installed (Debian: apt-get install haproxy)", allow_module_level=True)

from conftest import EXAMPLE_CATALOGUE, PROFILE  # noqa: E402
from support.gateway import (  # noqa: E402
    START_TIMEOUT, STOP_TIMEOUT, child_env, gateway_command, remote_tool_server, serving_child,
)

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONFIG = ROOT / "deploy" / "haproxy" / "haproxy.cfg"
# The short form still kills the gateway with every client mid-request and
# keeps the load going well past the balancer's take-out; the long form
# (HYPOTHESIS_PROFILE=ci) runs three times the load.
LONG = PROFILE == "ci"
REQUESTS = 600 if LONG else 240
CLIENTS = 8
KILL_AFTER = REQUESTS // 3  # answered requests before one gateway is killed
LOAD_DEADLINE = 120.0  # seconds for the whole load, a bound on a stuck run rather than an expectation
TAKE_OUT_DEADLINE = 30.0


@dataclass
class Outcome:
    started: float
    ended: float
    answered: bool
    served_by: str
    problem: str = ""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def server_stats(stats_socket: pathlib.Path) -> dict[str, dict[str, str]]:
    """HAProxy's "show stat" for the gateways' backend, by server name."""
    with socket.socket(socket.AF_UNIX) as connection:
        connection.settimeout(5)
        connection.connect(str(stats_socket))
        connection.sendall(b"show stat\n")
        chunks = []
        while chunk := connection.recv(65536):
            chunks.append(chunk)
    text = b"".join(chunks).decode().lstrip("# ")
    return {row["svname"]: row for row in csv.DictReader(io.StringIO(text)) if row["pxname"] == "gateways"}


def wait_for(condition: object, deadline: float, what: str) -> float:
    """Polls ``condition`` (HAProxy's state can only be asked for) until it
    holds; returns when it did.  Bounded by ``deadline`` seconds."""
    start = time.monotonic()
    pause = threading.Event()
    while not condition():  # type: ignore[operator]
        assert time.monotonic() - start < deadline, f"{what} did not happen within {deadline} s"
        pause.wait(0.02)
    return time.monotonic()


def run_load(url: str, kill: threading.Event) -> list[Outcome]:
    outcomes: list[Outcome] = []
    lock = threading.Lock()
    numbers = iter(range(REQUESTS))
    deadline = time.monotonic() + LOAD_DEADLINE

    def worker() -> None:
        with httpx.Client(timeout=30) as http:
            while time.monotonic() < deadline:
                with lock:
                    number = next(numbers, None)
                if number is None:
                    return
                query = f'{{ a: remote_echo(text: "n{number}", ms: 10) {{ result }} }}'
                started = time.monotonic()
                try:
                    answer = http.post(f"{url}/graphql", json={"query": query})
                    data = answer.json()["data"]
                    answered = answer.status_code == 200 and data["a"]["result"] == f"n{number}"
                    outcome = Outcome(started, time.monotonic(), answered, answer.headers.get("x-served-by", ""),
                                      "" if answered else answer.text[:200])
                except Exception as error:  # a request lost with the killed gateway
                    outcome = Outcome(started, time.monotonic(), False, "", repr(error)[:200])
                with lock:
                    outcomes.append(outcome)
                    if sum(o.answered for o in outcomes) >= KILL_AFTER:
                        kill.set()

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(LOAD_DEADLINE + 30)
        assert not thread.is_alive(), "a load client did not finish"
    return outcomes


def test_balancer_routes_around_a_killed_gateway(tmp_path: pathlib.Path) -> None:
    with contextlib.ExitStack() as stack:
        _, tool_url = stack.enter_context(remote_tool_server())
        config = tmp_path / "servers.json"
        config.write_text(json.dumps({"servers": {"remote": {"url": tool_url}}}))
        command = gateway_command("--servers", str(config), "--http", "127.0.0.1:0")
        gateways = [stack.enter_context(serving_child(command, r"on (http://\S+)")) for _ in range(3)]
        stats_socket = tmp_path / "haproxy.sock"
        listen = f"127.0.0.1:{free_port()}"
        environment = {"LISTEN": listen, "STATS_SOCKET": str(stats_socket),
                       **{f"GATEWAY_{i + 1}": url.removeprefix("http://") for i, (_, url) in enumerate(gateways)}}
        haproxy_log = stack.enter_context(open(tmp_path / "haproxy.log", "wb"))
        balancer = subprocess.Popen([HAPROXY, "-db", "-f", str(CONFIG)], env={**os.environ, **environment},
                                    stdin=subprocess.DEVNULL, stdout=haproxy_log, stderr=subprocess.STDOUT)
        stack.callback(lambda: (balancer.terminate(), balancer.wait(STOP_TIMEOUT)))
        wait_for(lambda: stats_socket.exists() and [row["status"] for name, row in server_stats(
            stats_socket).items() if name.startswith("gw")] == ["UP"] * 3, START_TIMEOUT, "all three gateways UP")

        kill = threading.Event()
        victim = gateways[1][0]
        times: dict[str, float] = {}

        def killer() -> None:
            if kill.wait(LOAD_DEADLINE):
                times["kill"] = time.monotonic()
                victim.send_signal(signal.SIGKILL)
                victim.wait(TAKE_OUT_DEADLINE)
                # Its sockets close only as the kernel tears the process down:
                # until then it may still take a connection the balancer sends.
                times["dead"] = time.monotonic()
                times["out"] = wait_for(lambda: server_stats(stats_socket)["gw2"]["status"].startswith("DOWN"),
                                        TAKE_OUT_DEADLINE, "HAProxy taking gw2 out")
                times["sessions"] = float(server_stats(stats_socket)["gw2"]["stot"])

        watcher = threading.Thread(target=killer, daemon=True)
        watcher.start()
        outcomes = run_load(f"http://{listen}", kill)
        watcher.join(TAKE_OUT_DEADLINE + 5)
        final_sessions = float(server_stats(stats_socket)["gw2"]["stot"])
        served_mcp = asyncio.run(asyncio.wait_for(mcp_session(f"http://{listen}/mcp"), 60))

    assert "out" in times, "gw2 was never killed or never taken out"
    lost = [o for o in outcomes if not o.answered]
    print(f"\nbalancer run: {len(outcomes)} requests, {len(outcomes) - len(lost)} answered, {len(lost)} lost, "
          f"gw2 taken out {1e3 * (times['out'] - times['kill']):.0f} ms after it was killed; "
          f"served by {sorted({o.served_by for o in outcomes if o.answered})}")
    assert len(outcomes) == REQUESTS
    # Only requests sent before the gateway was gone may be lost: at most one per client.
    assert all(o.started < times["dead"] for o in lost), [(o.started - times["dead"], o.problem) for o in lost]
    assert len(lost) <= CLIENTS, [o.problem for o in lost]
    assert any(o.served_by == "gw2" and o.ended < times["kill"] for o in outcomes)  # it did share the load
    assert not [o for o in outcomes if o.served_by == "gw2" and o.started > times["dead"]]
    assert final_sessions == times["sessions"], "HAProxy kept sending to gw2 after taking it out"
    assert served_mcp == [f"m{i}" for i in range(MCP_CALLS)]


MCP_CALLS = 6


async def mcp_session(url: str) -> list[str]:
    """One MCP client session through the balancer: its requests must all
    reach the gateway that holds the session."""
    import httpx2
    from mcp import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    texts = []
    async with httpx2.AsyncClient(timeout=30) as http, streamable_http_client(url, http_client=http) as (read, write), \
            ClientSession(read, write) as session:
        await session.initialize()
        for number in range(MCP_CALLS):
            result = await session.call_tool("graphql", {"query": f'{{ remote_echo(text: "m{number}") {{ result }} }}'})
            texts.append(result.structured_content["data"]["remote_echo"]["result"])
    return texts


def test_behind_the_balancer_a_guesser_does_not_lock_out_other_clients(tmp_path: pathlib.Path) -> None:
    """Clients reach HAProxy from two loopback addresses; the gateway, told
    to trust the balancer, throttles the guesser and serves the other."""
    command = gateway_command("--catalogue", str(EXAMPLE_CATALOGUE), "--http", "127.0.0.1:0", "--public-health",
                              "--forwarded-allow-ips", "127.0.0.1")
    with contextlib.ExitStack() as stack:
        _, gateway = stack.enter_context(serving_child(command, r"on (http://\S+)", {"QUORVEL_GATEWAY_TOKEN": "right"}))
        stats_socket = tmp_path / "haproxy.sock"
        listen = f"127.0.0.1:{free_port()}"
        address = gateway.removeprefix("http://")
        environment = {"LISTEN": listen, "STATS_SOCKET": str(stats_socket),
                       **{f"GATEWAY_{i}": address for i in (1, 2, 3)}}
        haproxy_log = stack.enter_context(open(tmp_path / "haproxy.log", "wb"))
        balancer = subprocess.Popen([HAPROXY, "-db", "-f", str(CONFIG)], env={**child_env(), **environment},
                                    stdin=subprocess.DEVNULL, stdout=haproxy_log, stderr=subprocess.STDOUT)
        stack.callback(lambda: (balancer.terminate(), balancer.wait(STOP_TIMEOUT)))
        wait_for(lambda: stats_socket.exists() and any(row["status"] == "UP" for name, row in server_stats(
            stats_socket).items() if name.startswith("gw")), START_TIMEOUT, "a gateway UP")

        def statuses(source: str, token: str, count: int) -> list[int]:
            transport = httpx.HTTPTransport(local_address=source)
            with httpx.Client(transport=transport, timeout=30) as client:
                return [client.post(f"http://{listen}/graphql", json={"query": "{ servers { name } }"},
                                    headers={"authorization": f"Bearer {token}"}).status_code
                        for _ in range(count)]

        guesses = statuses("127.0.0.2", "guess", 20)
        legitimate = statuses("127.0.0.3", "right", 5)
    assert guesses[:10] == [401] * 10 and set(guesses[10:]) == {429}
    assert legitimate == [200] * 5

