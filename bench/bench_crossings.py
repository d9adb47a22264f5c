"""Thread crossings on the tool path: context switches and time per query.

    PYTHONPATH=build/dev:python python3 bench/bench_crossings.py [--queries 2000]

Every hand-off between threads (a wait on a condition, a wake-up) shows as
a context switch of the thread that sleeps, so the switches of all threads
of this process per query count the crossings a query pays.  Measured for a
query of 1 and of 3 fast tools served by a hand-written receive/respond loop
and by ToolHost (plain handlers on its workers, inline, coroutine handlers),
called with ``engine.execute`` on this thread and through the gateway
(``Gateway.execute`` on an event loop, as the HTTP front calls it).  The
machine's load average is printed beside the figures; other work on the
machine adds involuntary switches.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import time
from collections.abc import Callable

from _graphql import SchemaEngine

from quorvel_graphql import ToolHost
from quorvel_graphql.gateway import Gateway

from bench_host_kit import BareHost

# The input schemas type "x" for the gateway's standard GraphQL layer; the
# engine's own language ignores them.
CATALOGUE = json.dumps([{"server": "fast", "tools": [
    {"name": name, "inputSchema": {"type": "object", "properties": {"x": {"type": "integer"}}}}
    for name in ("a", "b", "c", "x", "y", "z")]}])
QUERIES = {
    "1 tool": "{ a: fast_a(x: 1) }",
    "3 tools": "{ a: fast_a(x: 1) b: fast_b(x: 2) c: fast_c(x: 3) }",
}
# The same calls in standard GraphQL, each selecting the tool's JSON answer.
TYPED_QUERIES = {
    "1 tool": "{ a: fast_a(x: 1) { json } }",
    "3 tools": "{ a: fast_a(x: 1) { json } b: fast_b(x: 2) { json } c: fast_c(x: 3) { json } }",
}


def tool(x: int = 0) -> dict[str, int]:
    return {"x": x, "double": 2 * x}


async def async_tool(x: int = 0) -> dict[str, int]:
    return {"x": x, "double": 2 * x}


def switches() -> tuple[int, int]:
    """(voluntary, involuntary) context switches of every thread so far."""
    totals = [0, 0]
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/status") as status:
                for line in status:
                    if line.startswith("voluntary_ctxt_switches"):
                        totals[0] += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        totals[1] += int(line.split()[1])
        except OSError:
            continue
    return totals[0], totals[1]


def measure(run: Callable[[], object], count: int) -> tuple[float, float, float]:
    """(voluntary switches, involuntary switches, microseconds) per query."""
    for _ in range(count // 10):
        run()
    before, started = switches(), time.perf_counter()
    for _ in range(count):
        run()
    elapsed, after = time.perf_counter() - started, switches()
    return (after[0] - before[0]) / count, (after[1] - before[1]) / count, elapsed / count * 1e6


MODES = {"default": None, "inline=False": False, "inline=True": True, "coroutine": None}


def host_kit(mode: str) -> ToolHost:
    host = ToolHost(CATALOGUE, max_workers=8)
    host.catalogue_json = CATALOGUE  # type: ignore[attr-defined]  # what the typed layer reads the arguments from
    for name in "abc":
        if mode == "coroutine":
            host.register("fast", name, async_tool)
        elif MODES[mode] is None:
            host.register("fast", name, tool)  # older kits: no "inline" choice but True/False
        else:
            host.register("fast", name, tool, inline=MODES[mode])
    return host


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=2000)
    count = parser.parse_args().queries
    print(f"context switches (voluntary + involuntary) and time per query, {count} queries each; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"{'host':<26}{'caller':<22}{'query':<9}{'vol':>7}{'invol':>7}{'us':>9}")
    rows: list[tuple[str, str, str, tuple[float, float, float]]] = []
    bare_engine = SchemaEngine(CATALOGUE)
    with BareHost(bare_engine, tool):
        for label, query in QUERIES.items():
            rows.append(("hand-written loop", "engine.execute", label,
                         measure(lambda q=query: bare_engine.execute(q), count)))
    for mode in MODES:
        with host_kit(mode) as host:
            for label, query in QUERIES.items():
                rows.append((f"ToolHost, {mode}", "engine.execute", label,
                             measure(lambda q=query: host.engine.execute(q), count)))
                if hasattr(host, "execute_text"):
                    rows.append((f"ToolHost, {mode}", "host.execute_text", label,
                                 measure(lambda q=query: host.execute_text(q), count)))
            for caller, raw, queries in (("Gateway.execute", False, TYPED_QUERIES),
                                         ("Gateway raw", True, QUERIES)):
                gateway = Gateway(host, raw=raw)
                loop = asyncio.new_event_loop()
                try:
                    for label, query in queries.items():
                        answer = loop.run_until_complete(gateway.execute(query, None, via="bench")).document
                        if answer.get("errors"):  # a refusal would be measured as fast as it fails
                            raise RuntimeError(f"{caller} refused the benchmark query: {answer['errors']}")
                        rows.append((f"ToolHost, {mode}", caller, label, measure(
                            lambda q=query, g=gateway: loop.run_until_complete(g.execute(q, None, via="bench")),
                            count)))
                finally:
                    gateway.close()
                    loop.close()
    for host_name, caller, label, (voluntary, involuntary, micros) in rows:
        print(f"{host_name:<26}{caller:<22}{label:<9}{voluntary:>7.1f}{involuntary:>7.1f}{micros:>9.1f}")
    print(f"load average afterwards {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
