"""Bounded load test of the HTTP gateway on loopback (not part of the test run).

64 concurrent clients for 15 s (by default) send a mix of good queries over
two real tool servers (mcp-server-time and a small server written with the
SDK), malformed bodies, oversize bodies, requests without the token and
wrong methods; a third of the way in, and again at two thirds, a tool server
is killed.  At the end the gateway gets SIGTERM.

Checked and reported: every good request answered with a response document,
every bad one refused with the right status and a message, the gateway's
memory over the run, its exit within a bound, and no tool server left.
Exit status 0 when all of that holds.

    python3 bench/load_gateway.py [--clients 64] [--seconds 15]
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
}


class Tally:
    def __init__(self) -> None:
        self.sent: collections.Counter[str] = collections.Counter()
        self.right: collections.Counter[str] = collections.Counter()
        self.failed_fields = 0
        self.wrong: list[str] = []

    def check(self, kind: str, response: httpx.Response) -> None:
        expected = KINDS[kind][4]
        self.sent[kind] += 1
        try:
            body = response.json()
        except ValueError:
            body = None
        if response.status_code != expected or not isinstance(body, dict):
            self.wrong.append(f"{kind}: HTTP {response.status_code} {response.text[:120]!r}")
        elif kind == "good" and not isinstance(body.get("data"), dict):
            self.wrong.append(f"{kind}: no data {response.text[:120]!r}")
        elif kind != "good" and not body.get("errors", [{}])[0].get("message"):
            self.wrong.append(f"{kind}: no message {response.text[:120]!r}")
        else:
            self.right[kind] += 1
            if kind == "good":
                # A failed tool is its field's null and an error with its path.
                self.failed_fields += sum(1 for error in body.get("errors") or () if error.get("path"))


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
            try:
                response = await http.request(method, f"{url}/graphql", content=body or None, headers=headers)
            except httpx.HTTPError as error:
                tally.sent[kind] += 1
                tally.wrong.append(f"{kind}: {type(error).__name__}: {error}")
                continue
            tally.check(kind, response)


async def run_load(url: str, clients: int, seconds: float, gateway: subprocess.Popen[str]) -> tuple[Tally, list[int]]:
    tally = Tally()
    stop_at = time.monotonic() + seconds
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

    await asyncio.gather(chaos(), *(client(url, stop_at, tally, seed) for seed in range(clients)))
    return tally, memory


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=64)
    parser.add_argument("--seconds", type=float, default=15.0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        server_script = pathlib.Path(folder) / "fast_server.py"
        server_script.write_text(FAST_SERVER)
        config = pathlib.Path(folder) / "servers.json"
        config.write_text(json.dumps({"servers": {
            "fast": {"command": sys.executable, "args": [str(server_script)]},
            "time": {"command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]},
        }}))
        env = {**os.environ, "QUORVEL_GATEWAY_TOKEN": TOKEN}
        gateway = subprocess.Popen(
            [sys.executable, "-m", "quorvel_graphql.gateway", "--servers", str(config), "--http", "127.0.0.1:0",
             "--max-body", str(MAX_BODY), "--time-limit", "10"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert gateway.stderr is not None
        line = gateway.stderr.readline()
        match = re.search(r"on (http://\S+)", line)
        if match is None:
            print(f"gateway did not start: {line}{gateway.stderr.read()}")
            return 1
        print(f"{args.clients} clients for {args.seconds:.0f} s against {match.group(1)}")
        tally, memory = asyncio.run(run_load(match.group(1), args.clients, args.seconds, gateway))
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
    return report(tally, memory, status, stop_seconds, left)


def report(tally: Tally, memory: list[int], status: int | None, stop_seconds: float, left: list[int]) -> int:
    print(f"{'kind':<15}{'sent':>8}{'right':>8}")
    for kind in KINDS:
        print(f"{kind:<15}{tally.sent[kind]:>8}{tally.right[kind]:>8}")
    print(f"good requests whose tool fields failed (servers killed, restarting): {tally.failed_fields} fields")
    for problem in tally.wrong[:10]:
        print(f"  WRONG {problem}")
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
