"""Gateway benchmarks, side by side in one run, reported as ratios.

1. MCP over stdio: one ``graphql`` call through the gateway that runs 3 tools
   on 2 real servers (mcp-server-time, mcp-server-git), against an MCP client
   that calls the same 3 tools itself, one after another and with
   ``asyncio.gather``.
2. HTTP: requests per second and p99 latency at 1, 16 and 64 concurrent
   keep-alive clients on loopback, for a placeholder query (no tool host) and
   for a query of 3 fast in-process tools, against an Ariadne ASGI app with
   an equivalent schema under the same ASGI server (uvicorn, same settings).
   Each server runs in its own process; the load comes from this one.
3. Typed against raw: the same two queries through the gateway's default
   standard GraphQL layer (typed schema, validation, selections) and through
   ``--raw`` (the engine's own language), requests per second side by side,
   with the machine's load average beside each row, since other work on the
   machine moves both columns.

    python3 bench/bench_gateway.py [--seconds 2] [--rounds 20] [--only mcp|http|typed]

Needs the gateway and bench-gateway extras (mcp, starlette, uvicorn,
ariadne) and, for part 1, mcp-server-time and mcp-server-git.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
FAST_CATALOGUE = json.dumps([{"server": "fast", "tools": [
    {"name": name, "description": f"fast tool {name}", "annotations": {"readOnlyHint": True},
     "inputSchema": {"type": "object", "properties": {"x": {"type": "integer"}}}} for name in "abc"]}])
HTTP_QUERY = '{ a: fast_a(x: 1) b: fast_b(x: 2) c: fast_c(x: 3) }'
# The same calls in standard GraphQL: a tool without an output schema
# answers a ToolResult, of which the structured answer is "json".
TYPED_QUERY = '{ a: fast_a(x: 1) { json } b: fast_b(x: 2) { json } c: fast_c(x: 3) { json } }'
QUERIES = {"gateway": TYPED_QUERY, "raw": HTTP_QUERY, "ariadne": HTTP_QUERY}


def fast_tool(name: str) -> Callable[..., Any]:
    def tool(x: int = 0) -> dict[str, Any]:
        return {"tool": name, "x": x, "double": 2 * x}

    return tool


# -- servers (run in child processes) ------------------------------------------


def gateway_app(with_tools: bool, raw: bool = False) -> tuple[Any, Callable[[], None]]:
    from _graphql import SchemaEngine

    from quorvel_graphql import ToolHost
    from quorvel_graphql.gateway import Gateway, create_app

    if not with_tools:
        gateway = Gateway(SchemaEngine(FAST_CATALOGUE), raw=raw, catalogue_json=FAST_CATALOGUE)
        return create_app(gateway), lambda: None
    host = ToolHost(FAST_CATALOGUE, max_workers=8)
    host.catalogue_json = FAST_CATALOGUE  # its input schemas type the arguments
    for name in "abc":
        host.register("fast", name, fast_tool(name))
    host.start()
    return create_app(Gateway(host, raw=raw)), host.close


def raw_gateway_app(with_tools: bool) -> tuple[Any, Callable[[], None]]:
    return gateway_app(with_tools, raw=True)


def ariadne_app(with_tools: bool) -> tuple[Any, Callable[[], None]]:
    from ariadne import QueryType, ScalarType, make_executable_schema
    from ariadne.asgi import GraphQL

    type_defs = """
        scalar JSON
        type Query { servers: JSON  search: JSON  fast_a(x: Int): JSON  fast_b(x: Int): JSON  fast_c(x: Int): JSON }
    """
    query = QueryType()
    placeholder = {"isError": True, "json": None, "text": "placeholder"}
    for name in "abc":
        tool = fast_tool(name)
        query.set_field(f"fast_{name}", (lambda _o, _i, x=0, tool=tool: tool(x)) if with_tools
                        else (lambda _o, _i, x=0: placeholder))
    schema = make_executable_schema(type_defs, query, ScalarType("JSON"))
    return GraphQL(schema), lambda: None


def serve(kind: str) -> None:
    import uvicorn

    builder = {"gateway": gateway_app, "raw": raw_gateway_app, "ariadne": ariadne_app}[kind.split("-")[0]]
    app, close = builder(kind.endswith("tools"))
    listener = socket.create_server(("127.0.0.1", 0), backlog=2048)
    print(listener.getsockname()[1], flush=True)
    config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="auto")
    try:
        uvicorn.Server(config).run(sockets=[listener])
    finally:
        close()


# -- HTTP load -----------------------------------------------------------------


def request_bytes(port: int, query: str) -> bytes:
    body = json.dumps({"query": query}).encode()
    head = (f"POST /graphql HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
            f"Accept: application/json\r\nContent-Length: {len(body)}\r\n\r\n")
    return head.encode() + body


async def read_response(reader: asyncio.StreamReader) -> tuple[int, bytes]:
    head = await reader.readuntil(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    return status, await reader.readexactly(length)


async def load(port: int, query: str, clients: int, seconds: float) -> tuple[float, float, int]:
    """(requests per second, p99 latency in ms, non-200 answers)."""
    payload = request_bytes(port, query)
    latencies: list[float] = []
    failures = 0
    stop_at = time.perf_counter() + seconds

    async def client() -> None:
        nonlocal failures
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            while time.perf_counter() < stop_at:
                started = time.perf_counter()
                writer.write(payload)
                status, body = await read_response(reader)
                latencies.append(time.perf_counter() - started)
                failures += status != 200 or b'"double"' not in body and b'"placeholder' not in body \
                    and b"not wired" not in body
        finally:
            writer.close()

    began = time.perf_counter()
    await asyncio.gather(*(client() for _ in range(clients)))
    elapsed = time.perf_counter() - began
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1e3
    return len(latencies) / elapsed, p99, failures


def start_server(kind: str) -> tuple[subprocess.Popen[str], int]:
    process = subprocess.Popen([sys.executable, __file__, "--serve", kind], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    return process, int(process.stdout.readline())


def http_bench(seconds: float) -> None:
    print(f"\nHTTP POST /graphql, uvicorn in its own process, {seconds:.0f} s per cell, keep-alive clients")
    print(f"{'query':<13}{'clients':>8} | {'gateway rps':>11} {'p99 ms':>8} | {'ariadne rps':>11} {'p99 ms':>8} | "
          f"{'rps ratio':>9}")
    for query_kind in ("placeholder", "tools"):
        servers = {name: start_server(f"{name}-{query_kind}") for name in ("gateway", "ariadne")}
        try:
            for clients in (1, 16, 64):
                row = {}
                for name, (_, port) in servers.items():
                    asyncio.run(load(port, QUERIES[name], clients, 0.3))  # warm up
                    row[name] = asyncio.run(load(port, QUERIES[name], clients, seconds))
                (g_rps, g_p99, g_bad), (a_rps, a_p99, a_bad) = row["gateway"], row["ariadne"]
                note = f"  (non-200 or wrong: gateway {g_bad}, ariadne {a_bad})" if g_bad or a_bad else ""
                print(f"{query_kind:<13}{clients:>8} | {g_rps:>11.0f} {g_p99:>8.2f} | {a_rps:>11.0f} {a_p99:>8.2f} | "
                      f"{g_rps / a_rps:>8.2f}x{note}")
        finally:
            for process, _ in servers.values():
                process.terminate()
                process.wait(10)


def typed_bench(seconds: float, rounds: int) -> None:
    """Typed layer against raw engine language: cells alternate between the
    two servers, ``rounds`` times each, and the median of each column is
    kept, so a burst of other work on the machine hits both alike."""
    print(f"\nHTTP POST /graphql, typed layer (default) against --raw, {seconds:.0f} s per cell, median of {rounds}")
    print(f"{'query':<13}{'clients':>8} | {'typed rps':>10} {'p99 ms':>8} | {'raw rps':>10} {'p99 ms':>8} | "
          f"{'typed/raw':>9} | {'load 1m':>7}")
    for query_kind in ("placeholder", "tools"):
        servers = {name: start_server(f"{name}-{query_kind}") for name in ("gateway", "raw")}
        try:
            for clients in (1, 16, 64):
                cells: dict[str, list[tuple[float, float, int]]] = {name: [] for name in servers}
                for name, (_, port) in servers.items():
                    asyncio.run(load(port, QUERIES[name], clients, 0.3))  # warm up
                for _ in range(rounds):
                    for name, (_, port) in servers.items():
                        cells[name].append(asyncio.run(load(port, QUERIES[name], clients, seconds)))
                typed, raw = (_median_cell(cells[name]) for name in ("gateway", "raw"))
                bad = sum(cell[2] for cell in cells["gateway"] + cells["raw"])
                note = f"  ({bad} non-200 or wrong answers)" if bad else ""
                print(f"{query_kind:<13}{clients:>8} | {typed[0]:>10.0f} {typed[1]:>8.2f} | {raw[0]:>10.0f} "
                      f"{raw[1]:>8.2f} | {typed[0] / raw[0]:>8.2f}x | {os.getloadavg()[0]:>7.2f}{note}")
        finally:
            for process, _ in servers.values():
                process.terminate()
                process.wait(10)


def _median_cell(cells: list[tuple[float, float, int]]) -> tuple[float, float]:
    return statistics.median(c[0] for c in cells), statistics.median(c[1] for c in cells)


# -- MCP over stdio ------------------------------------------------------------


async def mcp_bench(rounds: int) -> None:
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    with tempfile.TemporaryDirectory() as folder:
        repo = pathlib.Path(folder) / "repo"
        repo.mkdir()
        subprocess.run(["git", "init", "-q", str(repo)], check=True)
        (repo / "a.txt").write_text("a\n")
        servers = {
            "time": [sys.executable, "-m", "mcp_server_time", "--local-timezone", "UTC"],
            "git": [sys.executable, "-m", "mcp_server_git", "--repository", str(repo)],
        }
        config = pathlib.Path(folder) / "servers.json"
        config.write_text(json.dumps({"servers": {n: {"command": c[0], "args": c[1:]} for n, c in servers.items()}}))
        calls = [
            ("time", "get_current_time", {"timezone": "UTC"}),
            ("time", "convert_time", {"source_timezone": "UTC", "time": "12:00", "target_timezone": "Asia/Tokyo"}),
            ("git", "git_status", {"repo_path": str(repo)}),
        ]
        query = ('{ a: time_get_current_time(timezone: "UTC") { timezone datetime } '
                 'b: time_convert_time(source_timezone: "UTC", time: "12:00", target_timezone: "Asia/Tokyo") '
                 f'{{ time_difference }} c: git_git_status(repo_path: {json.dumps(str(repo))}) {{ text }} }}')
        env = dict(os.environ)

        def params(command: list[str]) -> StdioServerParameters:
            return StdioServerParameters(command=command[0], args=command[1:], env=env)

        gateway_command = [sys.executable, "-m", "quorvel_graphql.gateway", "--servers", str(config)]
        async with stdio_client(params(gateway_command)) as (gr, gw), ClientSession(gr, gw) as gateway, \
                stdio_client(params(servers["time"])) as (tr, tw), ClientSession(tr, tw) as time_session, \
                stdio_client(params(servers["git"])) as (sr, sw), ClientSession(sr, sw) as git_session:
            for session in (gateway, time_session, git_session):
                await session.initialize()
            direct = {"time": time_session, "git": git_session}

            async def through_gateway() -> None:
                result = await gateway.call_tool("graphql", {"query": query})
                document = result.structured_content
                assert not document.get("errors") and all(document["data"].values()), document

            async def sequential() -> None:
                for server, tool, arguments in calls:
                    assert not (await direct[server].call_tool(tool, arguments)).is_error

            async def gathered() -> None:
                results = await asyncio.gather(*(direct[s].call_tool(t, a) for s, t, a in calls))
                assert not any(r.is_error for r in results)

            variants: dict[str, Callable[[], Awaitable[None]]] = {
                "gateway, one graphql call": through_gateway,
                "client, sequential calls": sequential,
                "client, asyncio.gather": gathered,
            }
            timings: dict[str, list[float]] = {name: [] for name in variants}
            for round_number in range(rounds + 3):
                for name, variant in variants.items():  # interleaved, so drift hits all alike
                    started = time.perf_counter()
                    await variant()
                    if round_number >= 3:
                        timings[name].append(time.perf_counter() - started)
    medians = {name: statistics.median(values) * 1e3 for name, values in timings.items()}
    gateway_ms = medians["gateway, one graphql call"]
    print(f"MCP over stdio: 3 tools on 2 servers (time x2, git x1), median of {rounds} rounds")
    for name, value in medians.items():
        print(f"  {name:<28} {value:8.2f} ms   gateway / this = {gateway_ms / value:5.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=2.0, help="seconds per HTTP cell (default 2)")
    parser.add_argument("--rounds", type=int, default=20, help="MCP rounds per variant (default 20)")
    parser.add_argument("--only", choices=("mcp", "http", "typed"))
    parser.add_argument("--typed-rounds", type=int, default=3, help="alternating cells per column in part 3")
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return
    if args.only in (None, "mcp"):
        asyncio.run(mcp_bench(args.rounds))
    if args.only in (None, "http"):
        http_bench(args.seconds)
    if args.only in (None, "typed"):
        typed_bench(args.seconds, args.typed_rounds)


if __name__ == "__main__":
    main()
