"""Gateway benchmarks, side by side in one run, reported as ratios.

1. MCP over stdio: one ``graphql`` call through the gateway that runs 3 tools
   on 2 real servers (mcp-server-time, mcp-server-git), against an MCP client
   that calls the same 3 tools itself, one after another and with
   ``asyncio.gather``.
2. HTTP, loaded with ``wrk`` (Debian package ``wrk``) on loopback: requests
   per second and p99 latency at 1 and 16 keep-alive connections, for a
   query of 3 tool fields answered with placeholders (no tool host) and with
   3 fast in-process tools, against graphql-core behind a bare Starlette
   endpoint with in-process resolvers (and Ariadne and Strawberry, when
   installed), all on the same uvicorn settings.  Contenders are interleaved round by round and
   medians reported; the machine's load average sits beside each figure, as
   other work on the machine moves every number.  The gateway's row also
   shows context switches per request (all threads of the server process).
   The gateway runs twice: with its default standard GraphQL layer (typed
   schema, validation, each field selecting ``{ json }`` of its result) and
   with ``raw=True`` (the engine's own language, whole results); the two
   columns side by side are the cost of the typed layer.
3. HTTP, no tools: ``serve --workers 2`` against ``--workers 1``, through
   the command line.

    python3 bench/bench_gateway.py [--seconds 2] [--rounds 3] [--rounds-mcp 20] [--only mcp|http|workers]

Needs the gateway extra (mcp, starlette, uvicorn[standard]), graphql-core,
wrk, and for part 1 mcp-server-time and mcp-server-git.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import pathlib
import re
import shutil
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
# answers a ToolResult, whose structured answer is "json".
TYPED_QUERY = '{ a: fast_a(x: 1) { json } b: fast_b(x: 2) { json } c: fast_c(x: 3) { json } }'
SDL = """
    scalar JSON
    type Query { servers: JSON  search: JSON  fast_a(x: Int): JSON  fast_b(x: Int): JSON  fast_c(x: Int): JSON }
"""
PLACEHOLDER = {"isError": True, "json": None, "text": "placeholder"}


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
        return create_app(Gateway(SchemaEngine(FAST_CATALOGUE), raw=raw, catalogue_json=FAST_CATALOGUE)), lambda: None
    host = ToolHost(FAST_CATALOGUE, max_workers=8)
    host.catalogue_json = FAST_CATALOGUE  # its input schemas type the arguments
    for name in "abc":
        host.register("fast", name, fast_tool(name))
    host.start()
    return create_app(Gateway(host, raw=raw)), host.close


def raw_gateway_app(with_tools: bool) -> tuple[Any, Callable[[], None]]:
    return gateway_app(with_tools, raw=True)


def graphql_core_app(with_tools: bool) -> tuple[Any, Callable[[], None]]:
    """graphql-core behind one bare Starlette endpoint: the least a Python
    GraphQL server can do per request."""
    from graphql import build_schema, graphql_sync
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    schema = build_schema(SDL)
    fields = schema.query_type.fields  # type: ignore[union-attr]
    for name in "abc":
        tool = fast_tool(name)
        fields[f"fast_{name}"].resolve = ((lambda _o, _i, x=0, tool=tool: tool(x)) if with_tools
                                          else (lambda _o, _i, x=0: PLACEHOLDER))

    async def endpoint(request: Request) -> JSONResponse:
        body = await request.json()
        result = graphql_sync(schema, body["query"], variable_values=body.get("variables"))
        return JSONResponse(result.formatted)

    return Starlette(routes=[Route("/graphql", endpoint, methods=["POST"])]), lambda: None


def ariadne_app(with_tools: bool) -> tuple[Any, Callable[[], None]]:
    from ariadne import QueryType, ScalarType, make_executable_schema
    from ariadne.asgi import GraphQL

    query = QueryType()
    for name in "abc":
        tool = fast_tool(name)
        query.set_field(f"fast_{name}", (lambda _o, _i, x=0, tool=tool: tool(x)) if with_tools
                        else (lambda _o, _i, x=0: PLACEHOLDER))
    schema = make_executable_schema(SDL, query, ScalarType("JSON"))
    return GraphQL(schema), lambda: None


def strawberry_app(with_tools: bool) -> tuple[Any, Callable[[], None]]:
    import strawberry
    from strawberry.asgi import GraphQL
    from strawberry.scalars import JSON

    def field(name: str) -> Any:
        tool = fast_tool(name)

        def resolve(x: int = 0) -> Any:
            return tool(x) if with_tools else PLACEHOLDER

        # This module's annotations are strings; Strawberry needs the types.
        resolve.__annotations__ = {"x": int, "return": JSON}
        return strawberry.field(resolver=resolve, name=f"fast_{name}")

    query = strawberry.type(type("Query", (), {f"fast_{name}": field(name) for name in "abc"}))
    return GraphQL(strawberry.Schema(query=query)), lambda: None


BUILDERS = {"gateway": gateway_app, "raw": raw_gateway_app, "graphql-core": graphql_core_app,
            "ariadne": ariadne_app, "strawberry": strawberry_app}
OPTIONAL = {"ariadne", "strawberry"}  # measured when installed
QUERIES = {"gateway": TYPED_QUERY}  # the others take HTTP_QUERY


def serve(kind: str) -> None:
    """One contender under uvicorn with the gateway's own stack and socket."""
    import uvicorn

    from quorvel_graphql.gateway.serving import choose_stack, listen

    name, _, query_kind = kind.rpartition("-")
    app, close = BUILDERS[name](query_kind == "tools")
    stack = choose_stack()
    listener = listen("127.0.0.1", 0)
    print(listener.getsockname()[1], flush=True)
    config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="auto", loop=stack.loop,
                            http=stack.protocol)
    try:
        uvicorn.Server(config).run(sockets=[listener])
    finally:
        close()


# -- HTTP load -----------------------------------------------------------------


WRK_SCRIPT = """
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json"
wrk.body = {body}
"""


def wrk(port: int, query: str, connections: int, seconds: float) -> tuple[float, float]:
    """(requests per second, p99 latency in ms) from ``wrk`` on one thread;
    a run with socket errors or non-2xx answers raises."""
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as script:
        script.write(WRK_SCRIPT.format(body=json.dumps(json.dumps({"query": query}))))
    try:
        done = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{max(1, round(seconds))}s", "--timeout", "30s",
                               "--latency", "-s", script.name,
                               f"http://127.0.0.1:{port}/graphql"], capture_output=True, text=True, check=True)
    finally:
        os.unlink(script.name)
    out = done.stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"wrk saw failures:\n{out}")
    rps = float(re.search(r"Requests/sec:\s+([0-9.]+)", out).group(1))  # type: ignore[union-attr]
    value, unit = re.search(r"99%\s+([0-9.]+)(us|ms|s)", out).groups()  # type: ignore[union-attr]
    return rps, float(value) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


def load_average() -> float:
    with open("/proc/loadavg") as stats:
        return float(stats.read().split()[0])


def context_switches(pid: int) -> int:
    """Voluntary and involuntary switches of every thread of ``pid`` so far."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as status:
                for line in status:
                    if "ctxt_switches:" in line:
                        total += int(line.split()[1])
        except OSError:  # a thread that ended meanwhile
            continue
    return total


def contender(kind: str) -> tuple[subprocess.Popen[str], int]:
    process = subprocess.Popen([sys.executable, __file__, "--serve", kind], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    return process, int(process.stdout.readline())


def gateway_command(workers: int) -> tuple[subprocess.Popen[str], int]:
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as catalogue:
        catalogue.write(FAST_CATALOGUE)
    process = subprocess.Popen([sys.executable, "-m", "quorvel_graphql", "serve", "--catalogue", catalogue.name,
                                "--http", "127.0.0.1:0", "--workers", str(workers)],
                               stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    for line in process.stderr:  # type: ignore[union-attr]
        found = re.search(r"on http://127\.0\.0\.1:(\d+)", line)
        if found:
            os.unlink(catalogue.name)
            return process, int(found.group(1))
    raise RuntimeError(f"the gateway ended before serving (status {process.wait()})")


def stop(process: subprocess.Popen[str]) -> None:
    process.terminate()
    try:
        process.wait(20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def check_answer(port: int, query: str) -> None:
    """wrk counts any 2xx as an answer; a request the server refused (a
    validation error, say) would be measured as fast as it fails."""
    import urllib.request

    request = urllib.request.Request(f"http://127.0.0.1:{port}/graphql", json.dumps({"query": query}).encode(),
                                     {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as response:
        document = json.loads(response.read())
    tool_errors = [e for e in document.get("errors") or () if (e.get("extensions") or {}).get("code") == "TOOL_ERROR"]
    if not isinstance(document.get("data"), dict) or len(tool_errors) != len(document.get("errors") or ()):
        raise RuntimeError(f"port {port} does not answer the benchmark query: {document}")


def interleaved(servers: dict[str, tuple[subprocess.Popen[str], int]], connections: int, seconds: float,
                rounds: int) -> dict[str, tuple[float, float, float, float]]:
    """Per server: median rps, median p99 ms, mean load average, context switches per request."""
    samples: dict[str, list[tuple[float, float, float, float]]] = {name: [] for name in servers}
    for name, (_, port) in servers.items():
        check_answer(port, QUERIES.get(name, HTTP_QUERY))
        wrk(port, QUERIES.get(name, HTTP_QUERY), connections, 1)  # warm-up
    for _ in range(rounds):
        for name, (process, port) in servers.items():
            switches = context_switches(process.pid)
            rps, p99 = wrk(port, QUERIES.get(name, HTTP_QUERY), connections, seconds)
            per_request = (context_switches(process.pid) - switches) / max(1.0, rps * seconds)
            samples[name].append((rps, p99, load_average(), per_request))
    return {name: tuple(statistics.median(column) for column in zip(*rows))  # type: ignore[misc]
            for name, rows in samples.items()}


def http_bench(seconds: float, rounds: int) -> None:
    names = [name for name in BUILDERS if name not in OPTIONAL or _installed(name)]
    print(f"\nHTTP POST /graphql, wrk on loopback, each server in its own process (uvicorn, same stack), "
          f"{seconds:.0f} s per cell, median of {rounds} interleaved rounds; load = 1-min load average")
    header = f"{'query':<12}{'conns':>6} |" + "".join(f" {name + ' rps':>16} {'p99 ms':>7} {'load':>5} |"
                                                         for name in names)
    print(header + f" {'ctx sw/req':>10} | ratios")
    for query_kind in ("placeholder", "tools"):
        servers = {name: contender(f"{name}-{query_kind}") for name in names}
        try:
            for connections in (1, 16):
                row = interleaved(servers, connections, seconds, rounds)
                cells = "".join(f" {row[n][0]:>16.0f} {row[n][1]:>7.2f} {row[n][2]:>5.2f} |" for n in names)
                ratios = ", ".join(f"{row['gateway'][0] / row[n][0]:.2f}x {n}" for n in names if n != "gateway")
                print(f"{query_kind:<12}{connections:>6} |{cells} {row['gateway'][3]:>10.1f} | gateway = {ratios}")
        finally:
            for process, _ in servers.values():
                stop(process)


def workers_bench(seconds: float, rounds: int) -> None:
    print(f"\nserve --catalogue --http, no tools, --workers 2 against 1 (wrk: 1 keep-alive connection, then 16 "
          f"and 64; median of {rounds} interleaved rounds)")
    servers = {f"{count} worker{'s' if count > 1 else ''}": gateway_command(count) for count in (1, 2)}
    QUERIES.update(dict.fromkeys(servers, TYPED_QUERY))
    try:
        for connections in (1, 16, 64):
            row = interleaved(servers, connections, seconds, rounds)
            cells = "  ".join(f"{name}: {rps:7.0f} rps (p99 {p99:.2f} ms, load {load:.2f})"
                              for name, (rps, p99, load, _) in row.items())
            print(f"  {connections:>3} connections  {cells}  ratio {row['2 workers'][0] / row['1 worker'][0]:.2f}x")
    finally:
        for process, _ in servers.values():
            stop(process)


def _installed(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None


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
    parser.add_argument("--rounds", type=int, default=3, help="interleaved HTTP rounds per cell (default 3)")
    parser.add_argument("--rounds-mcp", type=int, default=20, help="MCP rounds per variant (default 20)")
    parser.add_argument("--only", choices=("mcp", "http", "workers"))
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return
    if args.only in (None, "mcp"):
        asyncio.run(mcp_bench(args.rounds_mcp))
    if args.only in (None, "http", "workers") and shutil.which("wrk") is None:
        sys.exit("the HTTP parts need wrk (apt-get install -y wrk)")
    if args.only in (None, "http"):
        http_bench(args.seconds, args.rounds)
    if args.only in (None, "workers"):
        workers_bench(args.seconds, args.rounds)


if __name__ == "__main__":
    main()
