"""What the HTTP front's extras cost and save, against a running gateway.

    PYTHONPATH=build/dev:python python3 bench/bench_http_features.py [--requests 300]

A gateway over a generated catalogue (many tools with long descriptions,
so that discovery answers are large, as on a real deployment) is started as
a child; one keep-alive httpx client then times:

* compression: the size of a large answer plain, gzip and brotli, and the
  time per request for each (the difference is the server's compression);
* persisted queries: a request that sends a long query's text against one
  that sends only its hash (POST, and GET as a proxy would see it), in
  bytes sent and time per request;
* batching: N requests one by one against one batch of N.

Times are the gateway process's CPU time (from /proc), which other work on
a busy machine does not stretch as it does wall time.

The machine's load average is printed beside the figures."""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import os
import pathlib
import random
import re
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import brotli
import httpx


def catalogue(servers: int = 8, tools: int = 12) -> list[dict[str, Any]]:
    words = ("read", "list", "search", "update", "count", "index", "fetch", "render", "check", "sum")
    # Descriptions of varied words, as real ones are: a repeated phrase
    # would flatter the compression ratio.
    vocabulary = ("records", "owner", "date", "range", "filter", "page", "cursor", "region", "status", "label",
                  "archive", "limit", "order", "newest", "matching", "field", "value", "account", "project", "tag")
    chooser = random.Random(7)

    def prose() -> str:
        return " ".join(chooser.choice(vocabulary) for _ in range(24)) + "."

    return [{"server": f"s{s}", "tools": [{
        "name": f"{words[t % len(words)]}_{t}",
        "description": f"{words[t % len(words)].title()} the records of area {s}.{t}: {prose()}",
        "annotations": {"readOnlyHint": True},
        "inputSchema": {"type": "object", "properties": {"text": {"type": "string", "description": "what to match"},
                                                         "limit": {"type": "integer"}}},
    } for t in range(tools)]} for s in range(servers)]


def start(path: pathlib.Path) -> tuple[subprocess.Popen[str], str]:
    process = subprocess.Popen([sys.executable, "-m", "quorvel_graphql.gateway", "--catalogue", str(path),
                                "--http", "127.0.0.1:0"], stderr=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL)
    assert process.stderr is not None
    for line in process.stderr:
        match = re.search(r"on (http://\S+)", line)
        if match:
            return process, match.group(1)
    raise SystemExit(f"the gateway did not start (status {process.wait()})")


SERVER_PID = 0


def server_cpu() -> float:
    """Seconds of CPU the gateway process has used: unlike wall time, not
    stretched by other work on a busy machine."""
    fields = pathlib.Path(f"/proc/{SERVER_PID}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def per_request(count: int, call: Callable[[], httpx.Response]) -> float:
    """The gateway's CPU time per request, in microseconds."""
    call()  # warm: the document cache, the connection
    began = server_cpu()
    for _ in range(count):
        call().raise_for_status()
    return (server_cpu() - began) / count * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=300)
    count = parser.parse_args().requests
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "catalogue.json"
        path.write_text(json.dumps(catalogue()))
        process, url = start(path)
        global SERVER_PID
        SERVER_PID = process.pid
        try:
            with httpx.Client(base_url=url, timeout=30) as client:
                report(client, count)
        finally:
            process.terminate()
            process.wait(15)
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")


def report(client: httpx.Client, count: int) -> None:
    large = {"query": "{ search { field server tool description readOnly } }"}
    plain = client.post("/graphql", json=large, headers={"accept-encoding": "identity"}).content
    print(f"compression of a {len(plain)} byte answer ({count} requests each):")
    for encoding in ("identity", "gzip", "br"):
        with client.stream("POST", "/graphql", json=large, headers={"accept-encoding": encoding}) as response:
            size = len(b"".join(response.iter_raw()))
        took = per_request(count, lambda: client.post("/graphql", json=large, headers={"accept-encoding": encoding}))
        print(f"  {encoding:8} {size:7} bytes ({len(plain) / size:4.1f}x)  {took:7.0f} us gateway CPU per request")
    for name, squeeze in (("gzip 6", lambda: gzip.compress(plain, 6)), ("brotli 5", lambda: brotli.compress(
            plain, quality=5))):
        began = time.process_time()
        for _ in range(count):
            squeeze()
        print(f"  {name} alone: {(time.process_time() - began) / count * 1e6:.0f} us CPU per answer")

    # A long query with a short answer, so the request is what is measured.
    text = "query Records($show: Boolean = true) {\n" + "\n".join(
        f"  record{i}: __typename @include(if: $show)" for i in range(60)) + "\n}"
    digest = hashlib.sha256(text.encode()).hexdigest()
    extensions = {"persistedQuery": {"version": 1, "sha256Hash": digest}}
    full = {"query": text, "variables": {"show": True}}
    client.post("/graphql", json={**full, "extensions": extensions}).raise_for_status()  # stored
    hashed = {"variables": {"show": True}, "extensions": extensions}
    params = {"extensions": json.dumps(extensions), "variables": json.dumps({"show": True})}
    sent_full, sent_hash = len(json.dumps(full)), len(json.dumps(hashed))
    head = {"accept-encoding": "identity"}
    took_full = per_request(count, lambda: client.post("/graphql", json=full, headers=head))
    took_hash = per_request(count, lambda: client.post("/graphql", json=hashed, headers=head))
    took_get = per_request(count, lambda: client.get("/graphql", params=params, headers=head))
    print(f"persisted query of {len(text)} characters ({count} requests each):")
    print(f"  full text POST {sent_full:6} bytes sent  {took_full:7.0f} us gateway CPU per request")
    print(f"  hash only POST {sent_hash:6} bytes sent  {took_hash:7.0f} us gateway CPU per request "
          f"({took_full / took_hash:.2f}x)")
    print(f"  hash only GET  {len(str(httpx.URL('/graphql', params=params))):6} bytes of URL  {took_get:7.0f} us gateway "
          "CPU per request")

    small = {"query": "{ servers { name toolCount } }"}
    batch = [small] * 10
    took_one = per_request(count, lambda: client.post("/graphql", json=small))
    took_batch = per_request(max(1, count // 10), lambda: client.post("/graphql", json=batch))
    print(f"batching: 10 requests one by one {10 * took_one:7.0f} us gateway CPU, as one batch {took_batch:7.0f} us")


if __name__ == "__main__":
    main()
