"""Cost of the host kit per tool call, parallel fan-out, and real servers.

    PYTHONPATH=build/dev:python python3 bench/bench_host_kit.py [--rounds 7] [--skip-servers]

On a machine busy with other work every query waits for the scheduler
alike, which pushes the ratios of part 1 towards 1 whatever the host kit
costs; ``chrt -f 1`` in front of the command gives a short run the CPUs
as on a quiet machine (part 1 takes about a second).

1. Round trips of a 1-field and a 1000-field query served by a hand-written
   receive/respond loop on the raw module and by ToolHost (same handler:
   by default, always on the worker pool, and always inline on the
   receiving thread), batches
   interleaved so that machine noise hits all alike; medians per query and
   the ratios to the hand-written loop.
2. A query of 50 tool fields whose handlers each sleep 20 ms, served by a
   ToolHost with 50 workers (plain handlers) and with coroutine handlers.
3. Three tools on two real MCP servers (mcp-server-time, mcp-server-git):
   one query through the kit, against the same three calls made with the
   SDK's ClientSession and asyncio.gather, and with fastmcp's Client over
   an mcpServers config.  All clients are started once; only the calls are
   timed.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable

from _graphql import SchemaEngine

from quorvel_graphql import ToolHost

CATALOGUE = json.dumps([{"server": "bench", "tools": [{"name": "echo"}, {"name": "nap"}, {"name": "anap"}]}])
ONE_FIELD = "{ bench_echo(value: 1) }"
THOUSAND_FIELDS = "{ " + " ".join(f"e{i}: bench_echo(value: {i})" for i in range(1000)) + " }"
FAN_OUT = "{ " + " ".join(f"n{i}: bench_nap" for i in range(50)) + " }"
ASYNC_FAN_OUT = FAN_OUT.replace("bench_nap", "bench_anap")


def echo(value: int) -> int:
    return value


class BareHost:
    """The minimal host loop of the protocol: each request read with
    ``json``, answered with ``handler(**arguments)`` written with ``json``."""

    def __init__(self, engine: SchemaEngine, handler: Callable[..., object] = echo) -> None:
        self.engine = engine
        self.handler = handler
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self) -> None:
        while not self.stop.is_set():
            text = self.engine.receive_tool_call(50)
            if text is not None:
                request = json.loads(text)
                self.engine.respond_tool_call(request["request_id"], json.dumps(self.handler(**request["arguments"])))

    def __enter__(self) -> BareHost:
        self.engine.attach_call_bridge()
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.engine.detach_call_bridge()
        self.stop.set()
        self.thread.join()


def switches() -> int:
    """Context switches of every thread of this process so far (Linux; 0
    elsewhere): each hand-off between threads that sleeps shows here."""
    total = 0
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return 0
    for task in tasks:
        try:
            with open(f"/proc/self/task/{task}/status") as status:
                total += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
        except OSError:
            continue
    return total


def per_query(engine: SchemaEngine, query: str, count: int, switched: list[float] | None = None) -> float:
    before = switches()
    start = time.perf_counter()
    for _ in range(count):
        engine.execute(query)
    elapsed = (time.perf_counter() - start) / count
    if switched is not None:
        switched.append((switches() - before) / count)
    return elapsed


def overhead(rounds: int) -> None:
    engines = {"hand-written loop": SchemaEngine(CATALOGUE), "ToolHost, default": SchemaEngine(CATALOGUE),
               "ToolHost, inline=False": SchemaEngine(CATALOGUE), "ToolHost, inline=True": SchemaEngine(CATALOGUE)}
    default = ToolHost(engines["ToolHost, default"])
    default.register("bench", "echo", echo)
    pooled = ToolHost(engines["ToolHost, inline=False"])
    pooled.register("bench", "echo", echo, inline=False)
    inline = ToolHost(engines["ToolHost, inline=True"])
    inline.register("bench", "echo", echo, inline=True)
    with BareHost(engines["hand-written loop"]), default, pooled, inline:
        for query, batch, label in ((ONE_FIELD, 300, "1-field query"), (THOUSAND_FIELDS, 3, "1000-field query")):
            reference = json.loads(engines["hand-written loop"].execute(query))["data"]
            times: dict[str, list[float]] = {name: [] for name in engines}
            switched: dict[str, list[float]] = {name: [] for name in engines}
            for name, engine in engines.items():
                assert json.loads(engine.execute(query))["data"] == reference
                per_query(engine, query, max(1, batch // 4))  # warm-up
            for _ in range(rounds):
                for name, engine in engines.items():
                    times[name].append(per_query(engine, query, batch, switched[name]))
            bare = statistics.median(times["hand-written loop"])
            print(f"{label}: median of {rounds} interleaved rounds x {batch} queries; "
                  f"load average {os.getloadavg()[0]:.2f} (other work on the machine narrows the ratios)")
            for name, samples in times.items():
                value = statistics.median(samples)
                print(f"  {name:22s}: {value * 1e6:10.1f} us per query  = {value / bare:5.2f} x hand-written, "
                      f"{statistics.median(switched[name]):6.2f} context switches")


def fan_out(repeats: int) -> None:
    engine = SchemaEngine(CATALOGUE)
    host = ToolHost(engine, max_workers=50)

    def nap() -> str:
        time.sleep(0.02)
        return "ok"

    async def anap() -> str:
        await asyncio.sleep(0.02)
        return "ok"

    host.register("bench", "nap", nap)
    host.register("bench", "anap", anap)
    print("\nfan-out: 50 tool fields, each handler sleeps 20 ms (serial would take 1000 ms)")
    with host:
        for label, query in (("plain handlers, 50 workers", FAN_OUT), ("coroutine handlers", ASYNC_FAN_OUT)):
            host.execute(query)  # warm-up: starts pool threads / the private loop
            walls = []
            for _ in range(repeats):
                start = time.perf_counter()
                document = host.execute(query)
                walls.append(time.perf_counter() - start)
                assert list(document["data"].values()) == ["ok"] * 50, document
            wall = statistics.median(walls)
            print(f"  {label:27s}: median {wall * 1e3:6.1f} ms  = {wall / 0.02:4.2f} x one call")


def make_repo(folder: str) -> str:
    subprocess.run(["git", "init", "-q", folder], check=True)
    git = ["git", "-C", folder, "-c", "user.name=Bench", "-c", "user.email=bench@example.org"]
    subprocess.run([*git, "commit", "-q", "--allow-empty", "-m", "bench"], check=True)
    return folder


def servers_config(repo: str) -> dict:
    return {"mcpServers": {
        "time": {"command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]},
        "git": {"command": sys.executable, "args": ["-m", "mcp_server_git", "--repository", repo]}}}


def three_calls(repo: str) -> list[tuple[str, str, dict]]:
    return [("time", "get_current_time", {"timezone": "UTC"}),
            ("time", "convert_time", {"source_timezone": "UTC", "time": "12:00", "target_timezone": "Asia/Tokyo"}),
            ("git", "git_status", {"repo_path": repo})]


def timed(run: Callable[[], object], repeats: int) -> float:
    run()  # warm-up
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def kit_time(config: dict, repo: str, repeats: int) -> float:
    from quorvel_graphql.mcp_adapter import parse_config, serve_config

    query = """query($repo: String!) { a: time_get_current_time(timezone: "UTC")
        b: time_convert_time(source_timezone: "UTC", time: "12:00", target_timezone: "Asia/Tokyo")
        c: git_git_status(repo_path: $repo) }"""
    with serve_config(parse_config(config)) as host:
        def run() -> None:
            document = host.execute(query, {"repo": repo})
            assert not any(v["isError"] for v in document["data"].values()), document
        return timed(run, repeats)


async def session_time(config: dict, repo: str, repeats: int) -> float:
    from contextlib import AsyncExitStack

    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    async with AsyncExitStack() as stack:
        sessions = {}
        for name, entry in config["mcpServers"].items():
            params = StdioServerParameters(command=entry["command"], args=entry["args"])
            read, write = await stack.enter_async_context(stdio_client(params, errlog=subprocess.DEVNULL))
            sessions[name] = await stack.enter_async_context(ClientSession(read, write))
            await sessions[name].initialize()

        async def run() -> None:
            results = await asyncio.gather(*(sessions[s].call_tool(t, a) for s, t, a in three_calls(repo)))
            assert not any(getattr(r, "is_error", getattr(r, "isError", False)) for r in results)

        return await timed_async(run, repeats)


async def fastmcp_time(config: dict, repo: str, repeats: int) -> float:
    from fastmcp import Client

    async with Client(config) as client:
        async def run() -> None:
            results = await asyncio.gather(*(client.call_tool(f"{s}_{t}", a) for s, t, a in three_calls(repo)))
            assert not any(r.is_error for r in results)

        return await timed_async(run, repeats)


async def timed_async(run: Callable[[], object], repeats: int) -> float:
    await run()  # warm-up
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        await run()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def real_servers(repeats: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        repo = make_repo(folder)
        config = servers_config(repo)
        results = {"ToolHost + MCP adapter, one query": kit_time(config, repo, repeats),
                   "ClientSession + asyncio.gather": asyncio.run(session_time(config, repo, repeats))}
        try:
            results["fastmcp Client + asyncio.gather"] = asyncio.run(fastmcp_time(config, repo, repeats))
        except ImportError:
            print("  (fastmcp is not installed: skipped)")
    fastest = min(v for k, v in results.items() if not k.startswith("ToolHost"))
    print(f"\n3 tools on 2 real servers (time, git), median of {repeats} rounds, clients already started")
    for name, value in results.items():
        print(f"  {name:34s}: {value * 1e3:7.2f} ms  = {value / fastest:5.2f} x the fastest other client")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--fan-out-repeats", type=int, default=10)
    parser.add_argument("--server-repeats", type=int, default=30)
    parser.add_argument("--skip-servers", action="store_true")
    args = parser.parse_args()
    overhead(args.rounds)
    fan_out(args.fan_out_repeats)
    if not args.skip_servers:
        real_servers(args.server_repeats)


if __name__ == "__main__":
    main()
