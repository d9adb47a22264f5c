"""Helpers for the gateway tests: a gateway started as a child process with
real tool servers, bounded in time, and checked to leave nothing running."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from typing import TextIO

import _graphql
import conftest
import quorvel_graphql
from support.proc import alive, children_of

# Guards against a hang, not expectations: every wait bounded by them ends
# at its event (an address printed, a process gone), in a second or two on an
# idle machine.  They are wide because the suite must also pass beside
# another copy of itself, where starting a gateway and its tool servers (each
# importing the MCP SDK) or stopping them can take many times as long.
STOP_TIMEOUT = 60.0
START_TIMEOUT = 240.0


def child_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    """The environment of a child that imports the same extension and package as the tests."""
    # The package first: where the extension is installed, an older copy of
    # the package may sit beside it.
    paths = [str(pathlib.Path(quorvel_graphql.__file__).resolve().parent.parent),
             str(pathlib.Path(_graphql.__file__).resolve().parent)]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*paths, env.get("PYTHONPATH", "")])
    env.pop("QUORVEL_GATEWAY_TOKEN", None)
    env.update(extra or {})
    return env


def git_repo(path: pathlib.Path) -> pathlib.Path:
    return conftest.git_repo(path, "first commit of the gateway test")


def servers_config(folder: pathlib.Path, repo: pathlib.Path) -> pathlib.Path:
    config = {
        "servers": {
            "time": {"command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]},
            "git": {"command": sys.executable, "args": ["-m", "mcp_server_git", "--repository", str(repo)]},
        }
    }
    path = folder / "servers.json"
    path.write_text(json.dumps(config))
    return path


REMOTE_TOOL_SERVER = pathlib.Path(__file__).resolve().parent / "remote_tool_server.py"


@contextlib.contextmanager
def serving_child(command: list[str], pattern: str,
                  env: dict[str, str] | None = None) -> Iterator[tuple[subprocess.Popen[str], str]]:
    """A child that prints ``pattern`` (one group: its URL) on stderr once it
    serves; yields it and that URL, and ends it (SIGTERM, then SIGKILL)."""
    process = subprocess.Popen(command, env=child_env(env), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    try:
        found: list[str] = []
        ready = threading.Event()

        def read() -> None:
            with process.stderr:  # type: ignore[union-attr]  # closed here, once the child's output ends
                for line in process.stderr:  # type: ignore[union-attr]
                    match = re.search(pattern, line)
                    if match and not found:
                        found.append(match.group(1))
                        ready.set()
            ready.set()

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        assert ready.wait(START_TIMEOUT) and found, f"{command[:4]} did not start (status {process.poll()})"
        yield process, found[0]
    finally:
        if process.poll() is None:
            process.terminate()
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)
        reader.join(STOP_TIMEOUT)


def remote_tool_server() -> contextlib.AbstractContextManager[tuple[subprocess.Popen[str], str]]:
    """tests/remote_tool_server.py (streamable HTTP, tools echo, pause, shout) and its URL."""
    return serving_child([sys.executable, str(REMOTE_TOOL_SERVER)], r"listening on (\S+)")


def gateway_command(*args: str) -> list[str]:
    return [sys.executable, "-m", "quorvel_graphql.gateway", *args]


class RunningGateway:
    def __init__(self, process: subprocess.Popen[str], url: str, lines: queue.Queue[str], startup: str = "") -> None:
        self.process = process
        self.url = url
        self.lines = lines
        self.startup = startup
        """What the gateway wrote before it served."""

    def stderr_so_far(self) -> str:
        collected = []
        while True:
            try:
                collected.append(self.lines.get_nowait())
            except queue.Empty:
                return "".join(collected)

    def wait_for_line(self, text: str, timeout: float = START_TIMEOUT) -> str:
        """The standard error read until a line holding ``text`` (that line included)."""
        collected: list[str] = []
        deadline = time.monotonic() + timeout
        while not collected or text not in collected[-1]:
            try:
                collected.append(self.lines.get(timeout=max(0.0, deadline - time.monotonic())))
            except queue.Empty:
                raise AssertionError(f"no line with {text!r} within {timeout} s: {''.join(collected)}") from None
        return "".join(collected)


@contextlib.contextmanager
def http_gateway(args: Sequence[str], env: dict[str, str] | None = None) -> Iterator[RunningGateway]:
    """``serve --http 0`` as a child; yields once it prints its address.
    On exit: SIGTERM, a bounded wait, and no tool server left running."""
    process = subprocess.Popen(gateway_command(*args, "--http", "127.0.0.1:0"), env=child_env(env),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               text=True)
    lines: queue.Queue[str] = queue.Queue()
    reader = threading.Thread(target=_forward_lines, args=(process.stderr, lines), daemon=True)
    reader.start()
    seen: list[str] = []
    try:
        url = None
        while url is None:
            try:
                line = lines.get(timeout=START_TIMEOUT)
            except queue.Empty:
                raise AssertionError(f"gateway printed no address within {START_TIMEOUT} s: {''.join(seen)}")
            seen.append(line)
            match = re.search(r"on (http://\S+)", line)
            url = match.group(1) if match else None
            if url is None and process.poll() is not None:
                raise AssertionError(f"gateway exited with {process.returncode}: {''.join(seen)}")
        yield RunningGateway(process, url, lines, "".join(seen))
    finally:
        try:
            stop(process)
        finally:
            reader.join(STOP_TIMEOUT)


def _forward_lines(stream: TextIO, lines: queue.Queue[str]) -> None:
    with stream:  # closed here, once the gateway's output ends
        for line in stream:
            lines.put(line)


def stop(process: subprocess.Popen[str]) -> int:
    """SIGTERM, then check the gateway and every tool server it started are gone."""
    servers = children_of(process.pid)
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        status = process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(5)
        raise AssertionError("gateway did not stop on SIGTERM")
    left = [pid for pid in servers if alive(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert not left, f"tool servers still running after the gateway stopped: {left}"
    assert status == 0, f"gateway exited with {status} on SIGTERM"
    return status
