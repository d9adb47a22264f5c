"""Bounded load test of the HTTP gateway on loopback (not part of the test run).

64 concurrent clients for 15 s (by default) send a mix of good queries over
two real tool servers (mcp-server-time and a small server written with the
SDK), malformed bodies, oversize bodies, requests without the token, wrong
methods, alias bombs (thousands of calls in one query) and calls of a tool
that hangs; a third of the way in, and again at two thirds, a tool server is
killed.  Through the middle third a slowloris phase holds as many idle
connections open as it can.  At the end the gateway gets SIGTERM.

Checked and reported: every request answered, good ones with a response
document and bad ones with the right status and a message; latency of good
requests (p50, p99); the gateway's memory, descriptors and threads at the
start and the end; its exit within a bound, and no tool server left.
Exit status 0 when all of that holds.

    python3 bench/load_gateway.py [--clients 64] [--seconds 15] [--slowloris 3000]
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any

import httpx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from support.proc import alive, children_of, command_line, rss_bytes  # noqa: E402

TOKEN = "load-test-token"
MAX_BODY = 64 << 10
FAST_SERVER = """
from mcp.server.mcpserver import MCPServer
from mcp.types import ToolAnnotations
app = MCPServer("fast")

@app.tool(annotations=ToolAnnotations(readOnlyHint=True))
def echo(text: str) -> str:
    return text

@app.tool()
def hang() -> str:
    # A tool that never returns; the server itself handles one call at a
    # time, so it lives on a server of its own ("slow").
    import time
    time.sleep(3600)
    return "woke"

app.run()
"""
GOOD_QUERY = '{ e: fast_echo(text: "hello") { result } t: time_get_current_time(timezone: "UTC") { datetime } s: servers { name } }'
# kind: (weight, method, body, headers without auth?, expected status)
KINDS: dict[str, tuple[int, str, bytes, bool, int]] = {
    "good": (70, "POST", json.dumps({"query": GOOD_QUERY}).encode(), False, 200),
    "malformed": (8, "POST", b'{"query": "{ servers }"', False, 400),
    "not a request": (4, "POST", b'{"variables": {}}', False, 400),
    "oversize": (6, "POST", json.dumps({"query": "{ servers }", "pad": "x" * (MAX_BODY * 2)}).encode(), False, 413),
    "no token": (6, "POST", json.dumps({"query": "{ servers }"}).encode(), True, 401),
    "wrong method": (6, "PUT", b"", False, 405),
    # Refused before any tool runs (more calls than a request may make).
    "alias bomb": (2, "POST", json.dumps({"query": "{ " + " ".join(f"a{i}: fast_echo(text: \"x\")"
                                                                   for i in range(2000)) + " }"}).encode(), False, 200),
    # Answered when the gateway's time limit ends the call.
    "hanging tool": (2, "POST", json.dumps({"query": "{ h: slow_hang e: fast_echo(text: \"y\") }"}).encode(),
                     False, 200),
}
TIME_LIMIT = 5


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def descriptors(pid: int) -> int:
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def threads(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def gauges(pid: int) -> tuple[int, int, int]:
    """RSS in KiB, open descriptors and threads of ``pid``."""
    return rss_kib(pid), descriptors(pid), threads(pid)


class Tally:
    def __init__(self) -> None:
        self.sent: collections.Counter[str] = collections.Counter()
        self.answered: collections.Counter[str] = collections.Counter()
        self.right: collections.Counter[str] = collections.Counter()
        self.failed_fields = 0
        self.failures: collections.Counter[str] = collections.Counter()
        self.wrong: list[str] = []
        self.good_seconds: list[float] = []
        self.slowloris_opened = 0
        self.slowloris_closed = 0

    def check(self, kind: str, response: httpx.Response) -> None:
        expected = KINDS[kind][4]
        self.sent[kind] += 1
        self.answered[kind] += 1
        try:
            body = response.json()
        except ValueError:
            body = None
        if response.status_code != expected or not isinstance(body, dict):
            self.wrong.append(f"{kind}: HTTP {response.status_code} {response.text[:120]!r}")
        elif kind == "good" and not isinstance(body.get("data"), dict):
            self.wrong.append(f"{kind}: no data {response.text[:120]!r}")
        elif kind == "hanging tool" and not (body.get("data") or {}).get("h", {}).get("isError"):
            self.wrong.append(f"{kind}: the hanging call did not fail {response.text[:120]!r}")
        elif kind not in ("good", "hanging tool") and not (body.get("errors") or [{}])[0].get("message"):
            self.wrong.append(f"{kind}: no message {response.text[:120]!r}")
        else:
            self.right[kind] += 1
            if kind == "good":
                # A failed tool is its field's null and an error with its path.
                failed = [error for error in body.get("errors") or () if error.get("path")]
                self.failed_fields += len(failed)
                self.failures.update(str(error.get("message", ""))[:80] for error in failed)


async def client(url: str, stop_at: float, tally: Tally, seed: int) -> None:
    chooser = random.Random(seed)
    names = list(KINDS)
    weights = [KINDS[name][0] for name in names]
    async with httpx.AsyncClient(timeout=30) as http:
        while time.monotonic() < stop_at:
            kind = chooser.choices(names, weights)[0]
            _, method, body, anonymous, _ = KINDS[kind]
            headers = {"content-type": "application/json"}
            if not anonymous:
                headers["authorization"] = f"Bearer {TOKEN}"
            started = time.monotonic()
            try:
                response = await http.request(method, f"{url}/graphql", content=body or None, headers=headers)
            except httpx.HTTPError as error:
                tally.sent[kind] += 1
                tally.wrong.append(f"{kind}: {type(error).__name__}: {error}")
                continue
            if kind == "good":
                tally.good_seconds.append(time.monotonic() - started)
            tally.check(kind, response)


SLOWLORIS = """
import asyncio, sys, time
host, port, delay, length, count = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
opened = closed = 0

async def hold(stop_at):
    global opened, closed
    while time.monotonic() < stop_at:
        try:
            reader, writer = await asyncio.open_connection(host, port)
        except OSError:
            await asyncio.sleep(0.1)
            continue
        opened += 1
        writer.write(b"GET / HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\n")
        try:
            await asyncio.wait_for(reader.read(), max(0.01, stop_at - time.monotonic()))
            closed += 1
        except OSError:
            closed += 1  # reset by the gateway
        except asyncio.TimeoutError:
            pass
        finally:
            writer.close()

async def main():
    await asyncio.sleep(delay)
    stop_at = time.monotonic() + length
    await asyncio.gather(*(hold(stop_at) for _ in range(count)))
    print(opened, closed)

asyncio.run(main())
"""


async def slowloris(url: str, delay: float, length: float, count: int, tally: Tally) -> None:
    """Holds up to ``count`` connections that send half a request line and
    nothing more, opening a new one whenever the gateway closes one.  It runs
    in a process of its own, so that the clients measured here do not wait
    for its connections."""
    if count <= 0:
        return
    host, port = url.removeprefix("http://").rsplit(":", 1)
    attack = await asyncio.create_subprocess_exec(sys.executable, "-c", SLOWLORIS, host, port, str(delay),
                                                  str(length), str(count), stdout=asyncio.subprocess.PIPE)
    output, _ = await attack.communicate()
    opened, closed = (int(part) for part in output.split())
    tally.slowloris_opened, tally.slowloris_closed = opened, closed


async def run_load(url: str, clients: int, seconds: float, gateway: subprocess.Popen[str],
                   slow_connections: int) -> tuple[Tally, list[int]]:
    tally = Tally()
    begun = time.monotonic()
    stop_at = begun + seconds
    memory: list[int] = []

    async def chaos() -> None:
        victims = ["fast", "mcp_server_time"]
        started = time.monotonic()
        while time.monotonic() < stop_at:
            await asyncio.sleep(1.0)
            memory.append(rss_bytes(gateway.pid) // 1024)
            elapsed = time.monotonic() - started
            if victims and elapsed >= seconds * (3 - len(victims)) / 3:
                victim = victims.pop(0)
                for pid in children_of(gateway.pid):
                    if victim in command_line(pid):
                        os.kill(pid, signal.SIGKILL)
                        print(f"  t={elapsed:4.1f} s: killed tool server {victim} (pid {pid})")

    attack = slowloris(url, seconds / 3, seconds / 3, slow_connections, tally)
    await asyncio.gather(chaos(), attack, *(client(url, stop_at, tally, seed) for seed in range(clients)))
    return tally, memory


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=64)
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--slowloris", type=int, default=3000, help="idle connections to hold (0: no attack)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        server_script = pathlib.Path(folder) / "fast_server.py"
        server_script.write_text(FAST_SERVER)
        config = pathlib.Path(folder) / "servers.json"
        config.write_text(json.dumps({"servers": {
            "fast": {"command": sys.executable, "args": [str(server_script)]},
            "slow": {"command": sys.executable, "args": [str(server_script)], "tools": {"include": ["hang"]}},
            "time": {"command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]},
        }}))
        env = {**os.environ, "QUORVEL_GATEWAY_TOKEN": TOKEN}
        gateway = subprocess.Popen(
            [sys.executable, "-m", "quorvel_graphql.gateway", "--servers", str(config), "--http", "127.0.0.1:0",
             "--max-body", str(MAX_BODY), "--time-limit", str(TIME_LIMIT)],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert gateway.stderr is not None
        line = gateway.stderr.readline()
        match = re.search(r"on (http://\S+)", line)
        if match is None:
            print(f"gateway did not start: {line}{gateway.stderr.read()}")
            return 1
        # The gateway's later log lines must not fill the pipe and stall it.
        threading.Thread(target=lambda: collections.deque(gateway.stderr or (), maxlen=50), daemon=True).start()
        print(f"{args.clients} clients for {args.seconds:.0f} s against {match.group(1)}")
        start = gauges(gateway.pid)
        tally, memory = asyncio.run(run_load(match.group(1), args.clients, args.seconds, gateway, args.slowloris))
        time.sleep(1.0)  # let the gateway close what the clients left behind
        end = gauges(gateway.pid)
        servers = children_of(gateway.pid)
        gateway.send_signal(signal.SIGTERM)
        stopped = time.monotonic()
        try:
            status: int | None = gateway.wait(15)
        except subprocess.TimeoutExpired:
            gateway.kill()
            status = None
        stop_seconds = time.monotonic() - stopped
        left = [pid for pid in servers if alive(pid)]
        for pid in left:
            os.kill(pid, signal.SIGKILL)
    return report(tally, memory, status, stop_seconds, left, start, end)


def report(tally: Tally, memory: list[int], status: int | None, stop_seconds: float, left: list[int],
           start: tuple[int, int, int], end: tuple[int, int, int]) -> int:
    print(f"{'kind':<15}{'sent':>8}{'answered':>10}{'right':>8}")
    for kind in KINDS:
        print(f"{kind:<15}{tally.sent[kind]:>8}{tally.answered[kind]:>10}{tally.right[kind]:>8}")
    sent, answered = sum(tally.sent.values()), sum(tally.answered.values())
    print(f"{'all':<15}{sent:>8}{answered:>10}{sum(tally.right.values()):>8}   wrong: {len(tally.wrong)}")
    latencies = sorted(tally.good_seconds)
    if latencies:
        p50, p99 = latencies[len(latencies) // 2], latencies[min(len(latencies) - 1, len(latencies) * 99 // 100)]
        print(f"good requests: p50 {p50 * 1e3:.1f} ms, p99 {p99 * 1e3:.1f} ms")
    print(f"slowloris: {tally.slowloris_opened} idle connections opened, {tally.slowloris_closed} closed by the gateway")
    print(f"gateway at start / end: RSS {start[0] / 1024:.1f} / {end[0] / 1024:.1f} MiB, descriptors {start[1]} / "
          f"{end[1]}, threads {start[2]} / {end[2]}")
    print(f"good requests whose tool fields failed (servers killed, restarting): {tally.failed_fields} fields")
    for text, count in tally.failures.most_common(3):
        print(f"  x{count}: {text}")
    for problem, count in collections.Counter(problem[:90] for problem in tally.wrong).most_common(10):
        print(f"  WRONG x{count}: {problem}")
    settled = memory[2:] or memory
    if settled:
        print(f"gateway RSS: {settled[0] / 1024:.1f} MiB after warm-up, {max(settled) / 1024:.1f} MiB peak, "
              f"{settled[-1] / 1024:.1f} MiB at the end")
    print(f"SIGTERM: exit status {status} after {stop_seconds:.2f} s; tool servers left running: {left or 'none'}")
    grew = bool(settled) and settled[-1] > settled[0] * 1.25 + 8 * 1024
    ok = not tally.wrong and status == 0 and not left and not grew
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
