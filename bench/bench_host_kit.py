"""Cost of the host kit per tool call, and parallel fan-out.

    PYTHONPATH=build/dev:python python3 bench/bench_host_kit.py [--rounds 15] [--batch 200]

1. Round trips of a one-tool query served by a bare receive/respond loop and by
   ToolHost (same handler), batches interleaved so that machine noise hits both
   alike; medians per query, the ratio, and the kit's extra cost per call.
2. A query of 50 tool fields whose handlers each sleep 20 ms, served by a
   ToolHost with 50 workers (plain handlers) and with coroutine handlers: wall
   time against one call (20 ms) and against serving them one after another
   (1000 ms).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import threading
import time

from _graphql import SchemaEngine

from quorvel_graphql import ToolHost

CATALOGUE = json.dumps([{"server": "bench", "tools": [{"name": "echo"}, {"name": "nap"}, {"name": "anap"}]}])
ONE_TOOL = '{ bench_echo(value: 1) }'
FAN_OUT = "{ " + " ".join(f"n{i}: bench_nap" for i in range(50)) + " }"
ASYNC_FAN_OUT = FAN_OUT.replace("bench_nap", "bench_anap")


def echo(value: int) -> int:
    return value


class BareHost:
    """The minimal host loop of the protocol, with the same handler."""

    def __init__(self, engine: SchemaEngine) -> None:
        self.engine = engine
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self) -> None:
        while not self.stop.is_set():
            text = self.engine.receive_tool_call(50)
            if text is not None:
                request = json.loads(text)
                self.engine.respond_tool_call(request["request_id"], json.dumps(echo(**request["arguments"])))

    def __enter__(self) -> BareHost:
        self.engine.attach_call_bridge()
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.engine.detach_call_bridge()
        self.stop.set()
        self.thread.join()


def per_query(engine: SchemaEngine, query: str, count: int) -> float:
    start = time.perf_counter()
    for _ in range(count):
        engine.execute(query)
    return (time.perf_counter() - start) / count


def overhead(rounds: int, batch: int) -> None:
    bare_engine, kit_engine = SchemaEngine(CATALOGUE), SchemaEngine(CATALOGUE)
    kit = ToolHost(kit_engine)
    kit.register("bench", "echo", echo)
    bare_times: list[float] = []
    kit_times: list[float] = []
    with BareHost(bare_engine), kit:
        assert json.loads(bare_engine.execute(ONE_TOOL))["data"] == json.loads(kit_engine.execute(ONE_TOOL))["data"]
        per_query(bare_engine, ONE_TOOL, batch // 4)  # warm-up
        per_query(kit_engine, ONE_TOOL, batch // 4)
        for _ in range(rounds):
            bare_times.append(per_query(bare_engine, ONE_TOOL, batch))
            kit_times.append(per_query(kit_engine, ONE_TOOL, batch))
    bare, with_kit = statistics.median(bare_times), statistics.median(kit_times)
    print(f"one-tool query round trip, median of {rounds} interleaved rounds x {batch} queries")
    print(f"  bare receive/respond loop : {bare * 1e6:8.1f} us")
    print(f"  ToolHost                  : {with_kit * 1e6:8.1f} us")
    print(f"  ratio kit/bare            : {with_kit / bare:8.2f}")
    print(f"  kit cost per tool call    : {(with_kit - bare) * 1e6:8.1f} us")


def fan_out(repeats: int) -> None:
    engine = SchemaEngine(CATALOGUE)
    host = ToolHost(engine, max_workers=50)

    def nap() -> str:
        time.sleep(0.02)
        return "ok"

    host.register("bench", "nap", nap)

    async def anap() -> str:
        await asyncio.sleep(0.02)
        return "ok"

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
            print(f"  {label:27s}: median {wall * 1e3:6.1f} ms  = {wall / 0.02:4.2f} x one call, "
                  f"{1.0 / wall:5.1f} x faster than serial  (min {min(walls) * 1e3:.1f}, max {max(walls) * 1e3:.1f})")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--batch", type=int, default=200)
    parser.add_argument("--fan-out-repeats", type=int, default=15)
    args = parser.parse_args()
    overhead(args.rounds, args.batch)
    fan_out(args.fan_out_repeats)


if __name__ == "__main__":
    main()
