"""How long Ctrl-C takes to end a blocked call, beside Python's own blocking calls.

    PYTHONPATH=build/dev:python python3 bench/bench_interrupt.py [--rounds 40]

Each round blocks the main thread in one call, and a timer thread sends
SIGINT to the process after a random 30-80 ms; the latency is the time from
just before os.kill to the KeyboardInterrupt caught on the main thread. The
calls, interleaved round by round so that machine noise hits them alike:

- `execute` of a query whose tool call nobody answers,
- `receive_tool_call` with no time limit and nothing queued,
- `threading.Lock.acquire()` on a held lock and `time.sleep(10)`, Python's
  own interruptible waits, for comparison.

Prints median, 90th percentile and maximum per call, and each median as a
ratio to the lock's.
"""

from __future__ import annotations

import argparse
import os
import random
import signal
import statistics
import threading
import time
from typing import Callable

from _graphql import SchemaEngine


def blocked_calls() -> dict[str, Callable[[], object]]:
    engine = SchemaEngine('{"server": "s", "name": "t"}')
    engine.attach_call_bridge()
    held = threading.Lock()
    held.acquire()

    def execute() -> object:
        try:
            return engine.execute("{ s_t }")
        finally:
            # The withdrawn request is never handed out; nothing to drain.
            assert engine.receive_tool_call(0) is None

    return {
        "execute": execute,
        "receive_tool_call": lambda: engine.receive_tool_call(2**64 - 1),
        "Lock.acquire": held.acquire,
        "time.sleep": lambda: time.sleep(10),
    }


def interrupt_latency(call: Callable[[], object], rng: random.Random) -> float:
    sent: list[float] = []

    def send() -> None:
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(rng.uniform(0.03, 0.08), send)
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        caught = time.perf_counter()
    else:
        raise SystemExit("the call returned without being interrupted")
    timer.join()
    return caught - sent[0]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=40)
    rounds = parser.parse_args().rounds
    calls = blocked_calls()
    rng = random.Random(1)
    latencies: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            latencies[name].append(interrupt_latency(call, rng))
    baseline = statistics.median(latencies["Lock.acquire"])
    print(f"SIGINT to KeyboardInterrupt, {rounds} rounds (ms):")
    for name, values in latencies.items():
        values.sort()
        median = statistics.median(values)
        p90 = values[int(0.9 * (len(values) - 1))]
        print(f"  {name:18} median {median * 1e3:6.2f}  p90 {p90 * 1e3:6.2f}  max {values[-1] * 1e3:6.2f}"
              f"  x{median / baseline:6.1f} of Lock.acquire")


if __name__ == "__main__":
    main()
