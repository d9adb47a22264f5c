"""The HTTP gateway's sockets and processes: TCP_NODELAY on the listening
socket and on every accepted connection (read from the running gateway's own
sockets), and ``--workers``: one port, a worker that dies is replaced, a
worker that cannot start ends the start-up with its status."""

from __future__ import annotations

import contextlib
import ctypes
import errno
import importlib.util
import json
import os
import pathlib
import queue
import re
import signal
import socket
import subprocess
from collections.abc import Iterator
from urllib.parse import urlsplit

import pytest

pytest.importorskip("uvicorn")

from conftest import EXAMPLE_CATALOGUE  # noqa: E402
from support.gateway import START_TIMEOUT, RunningGateway, child_env, gateway_command, http_gateway  # noqa: E402
from support.http_client import client as http  # noqa: E402
from support.proc import alive, children_of  # noqa: E402

SYS_PIDFD_GETFD = 438  # the same number on every Linux architecture
LISTENING = 0x0A
REQUEST = b'POST /graphql HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: 24\r\n\r\n' \
          b'{"query": "{ servers }"}'


def _tcp_table() -> dict[int, tuple[int, int, int]]:
    """Socket inode -> (local port, remote port, state), IPv4 and IPv6."""
    table = {}
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as rows:
            next(rows)
            for row in rows:
                fields = row.split()
                local, remote = (int(address.rsplit(":", 1)[1], 16) for address in fields[1:3])
                table[int(fields[9])] = (local, remote, int(fields[3], 16))
    return table


def _socket_fds(pid: int) -> Iterator[tuple[int, int]]:
    """(fd, socket inode) of every socket ``pid`` holds."""
    for entry in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{entry}")
        except OSError:
            continue
        if target.startswith("socket:["):
            yield int(entry), int(target[8:-1])


def _nodelay_of(pid: int, fd: int) -> int:
    """TCP_NODELAY of another process's socket, through a duplicate of it."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        copy = libc.syscall(SYS_PIDFD_GETFD, pidfd, fd, 0)
        if copy < 0:
            code = ctypes.get_errno()
            if code in (errno.EPERM, errno.ENOSYS):
                pytest.skip(f"cannot look at another process's socket here: {os.strerror(code)}")
            raise OSError(code, os.strerror(code))
    finally:
        os.close(pidfd)
    with socket.socket(fileno=copy) as duplicate:
        return duplicate.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)


def _sockets_of(gateway: RunningGateway, port: int, client_port: int) -> dict[str, list[int]]:
    """TCP_NODELAY of the gateway's listening sockets and of the connection
    it accepted from ``client_port``, in the gateway and its workers."""
    table = _tcp_table()
    found: dict[str, list[int]] = {"listening": [], "accepted": []}
    for pid in (gateway.process.pid, *children_of(gateway.process.pid)):
        for fd, inode in _socket_fds(pid):
            local, remote, state = table.get(inode, (0, 0, 0))
            if local == port and state == LISTENING:
                found["listening"].append(_nodelay_of(pid, fd))
            elif local == port and remote == client_port:
                found["accepted"].append(_nodelay_of(pid, fd))
    return found


TWO_WORKERS = ["--catalogue", str(EXAMPLE_CATALOGUE), "--workers", "2", "-v"]


class _SharedGateway:
    """One gateway with two workers for the tests that look at it, started
    at first use: three processes each importing the MCP SDK.  The test that
    stops it takes it over, and a later user gets a new one."""

    def __init__(self) -> None:
        self._stack: contextlib.ExitStack | None = None
        self._gateway: RunningGateway | None = None

    def gateway(self) -> RunningGateway:
        if self._gateway is None:
            self._stack = contextlib.ExitStack()
            self._gateway = self._stack.enter_context(http_gateway(TWO_WORKERS))
        return self._gateway

    def stop(self) -> None:
        stack, self._stack, self._gateway = self._stack, None, None
        if stack is not None:
            stack.close()


@pytest.fixture(scope="module")
def two_workers() -> Iterator[_SharedGateway]:
    shared = _SharedGateway()
    try:
        yield shared
    finally:
        shared.stop()


def _installed(*modules: str) -> bool:
    return all(importlib.util.find_spec(module) is not None for module in modules)


@pytest.mark.parametrize(
    "options",
    [
        ["--loop", "asyncio", "--http-parser", "h11"],
        pytest.param(["--loop", "uvloop", "--http-parser", "httptools"],
                     marks=pytest.mark.skipif(not _installed("uvloop", "httptools"), reason="no uvloop/httptools")),
        TWO_WORKERS,
    ],
    ids=["asyncio-h11", "uvloop-httptools", "two-workers"],
)
def test_listening_and_accepted_sockets_have_nodelay(options: list[str], two_workers: _SharedGateway) -> None:
    with contextlib.ExitStack() as stack:
        if options is TWO_WORKERS:
            gateway = two_workers.gateway()
        else:
            gateway = stack.enter_context(http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE), *options]))
        port = urlsplit(gateway.url).port
        assert port is not None
        with socket.create_connection(("127.0.0.1", port), timeout=30) as client:
            client.sendall(REQUEST)
            assert client.recv(4096).startswith(b"HTTP/1.1 200")
            found = _sockets_of(gateway, port, client.getsockname()[1])
    assert len(found["listening"]) >= 1 and len(found["accepted"]) == 1, found
    assert all(found["listening"]) and all(found["accepted"]), found


def _wait_for_line(gateway: RunningGateway, needle: str) -> str:
    """The next stderr line holding ``needle``; fails after the start timeout."""
    while True:
        try:
            line = gateway.lines.get(timeout=START_TIMEOUT)
        except queue.Empty:
            raise AssertionError(f"no line with {needle!r} within {START_TIMEOUT} s") from None
        if needle in line:
            return line


def _requests_counted(url: str) -> float:
    text = http.get(f"{url}/metrics").text
    return sum(float(line.rsplit(" ", 1)[1]) for line in text.splitlines()
               if line.startswith("quorvel_gateway_requests_total{"))


def test_metrics_count_the_requests_of_every_worker(two_workers: _SharedGateway) -> None:
    pytest.importorskip("prometheus_client")
    gateway = two_workers.gateway()
    workers = children_of(gateway.process.pid)
    before = {_requests_counted(gateway.url) for _ in range(6)}
    assert len(before) == 1, f"scrapes of different workers disagree: {before}"
    # New connections until each worker has served some: the kernel hands
    # each to whichever worker accepts first, so the log says who it was.
    served: set[int] = set()
    sent = 0
    while served != workers and sent < 400:
        assert _answers(gateway.url)
        sent += 1
        served |= {int(pid) for pid in re.findall(r"\[(\d+)\]: http POST /graphql", gateway.stderr_so_far())}
    assert served == workers, f"{sent} requests all went to {served}"
    counts = {_requests_counted(gateway.url) for _ in range(6)}
    assert counts == {before.pop() + sent}


def _answers(url: str) -> bool:
    with socket.create_connection((urlsplit(url).hostname, urlsplit(url).port), timeout=30) as client:
        client.sendall(REQUEST)
        return client.recv(4096).startswith(b"HTTP/1.1 200")


def test_a_worker_that_dies_is_replaced_and_all_stop_on_sigterm(two_workers: _SharedGateway) -> None:
    try:
        gateway = two_workers.gateway()
        workers = children_of(gateway.process.pid)
        assert len(workers) == 2
        victim = min(workers)
        os.kill(victim, signal.SIGKILL)
        assert f"(process {victim}) ended with signal {signal.SIGKILL}" in _wait_for_line(gateway, "ended with")
        _wait_for_line(gateway, "is serving")
        now = children_of(gateway.process.pid)
        assert len(now) == 2 and victim not in now and (workers - {victim}) <= now
        assert all(_answers(gateway.url) for _ in range(4))
    finally:
        two_workers.stop()
    assert not [pid for pid in now if alive(pid)]  # http_gateway also checked the exit status was 0


MCP_CLIENTS = 10


def test_mcp_sessions_work_across_workers(two_workers: _SharedGateway) -> None:
    """Each SDK client opens its own connections, which the kernel hands to
    either worker: every request must be answered wherever it lands."""
    pytest.importorskip("mcp")
    import asyncio

    from mcp import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    url = f"{two_workers.gateway().url}/mcp"

    async def client(number: int) -> str:
        async with streamable_http_client(url) as (read, write, *_), ClientSession(read, write) as session:
            await session.initialize()
            assert [tool.name for tool in (await session.list_tools()).tools] == ["graphql", "search_tools"]
            result = await session.call_tool("graphql", {"query": f"{{ n{number}: servers {{ name }} }}"})
            assert not result.is_error, result
            return next(iter(result.structured_content["data"]))

    async def clients() -> list[str]:
        return list(await asyncio.gather(*(client(number) for number in range(MCP_CLIENTS))))

    assert asyncio.run(asyncio.wait_for(clients(), 120)) == [f"n{number}" for number in range(MCP_CLIENTS)]


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--servers", "{config}", "--http", "0", "--workers", "2"], 3, "MCP server 'ghost' failed to start"),
        (["--catalogue", str(EXAMPLE_CATALOGUE), "--workers", "2"], 2, "apply to --http only"),
        (["--catalogue", str(EXAMPLE_CATALOGUE), "--http", "0", "--workers", "0"], 2, "not a positive integer"),
        (["--catalogue", str(EXAMPLE_CATALOGUE), "--http", "0", "--workers", "many"], 2, "not a positive integer"),
    ],
    ids=["worker-start-fails", "workers-without-http", "zero-workers", "not-a-number"],
)
def test_workers_that_cannot_start(tmp_path: pathlib.Path, args: list[str], status: int, message: str) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-server-here"}}}))
    done = subprocess.run(gateway_command(*(arg.format(config=config) for arg in args)), env=child_env(),
                          capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert done.returncode == status, done.stderr
    assert message in done.stderr and "Traceback" not in done.stderr
    assert "tool fields on http" not in done.stderr
