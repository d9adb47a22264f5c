#!/usr/bin/env python3
"""Figures for the engine's data path, each beside its alternative in the
same run: large replies (Python's json, orjson), catalogues (graphql-core's
build_schema, json.loads), field lookup as the catalogue grows, small
requests (graphql-core executing a parsed document), and memory.

Contenders alternate round by round and medians are reported; read the
ratios. The garbage collector is off while timing, for every contender.

Usage: python bench/bench_data_path.py [--quick] [--allocations PATH]
  --allocations: the request_allocations program (scripts/bench-native
  builds it) to report heap allocations per request.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import random
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_engine import (_graphql, engine_host, fmt_time, graphql, interleaved, loop, perf, ratio, row,  # noqa: E402
                          rss_bytes, rss_growth)

try:
    import orjson
except ImportError:  # reported as missing, the rest still runs
    orjson = None


def realistic_catalogue(tools: int, per_server: int = 100) -> str:
    """Tools as MCP servers list them: ~100-character descriptions, an input
    schema with a few typed properties, annotations."""
    rnd = random.Random(11)
    words = "read write list search fetch create update delete file issue record page user repo branch".split()
    servers = []
    for s in range(max(1, tools // per_server)):
        entries = []
        for t in range(min(per_server, tools - s * per_server)):
            description = " ".join(rnd.choice(words) for _ in range(18))[:100]
            entries.append({
                "name": f"{rnd.choice(words)}_{rnd.choice(words)}_{t}",
                "description": description,
                "inputSchema": {"type": "object", "required": ["path"], "properties": {
                    "path": {"type": "string", "description": "Path of the item"},
                    "limit": {"type": "integer", "minimum": 1, "maximum": 1000},
                    "recursive": {"type": "boolean"}, "tags": {"type": "array", "items": {"type": "string"}}}},
                "annotations": {"readOnlyHint": t % 3 != 0, "title": description[:30]},
            })
        servers.append({"server": f"server{s}", "serverDescription": f"Server {s} of the benchmark", "tools": entries})
    return json.dumps(servers)


def sdl_of(catalogue_text: str) -> str:
    lines = ["scalar JSON", "type ToolResult { isError: Boolean! json: JSON text: String }", "type Query {"]
    for server in json.loads(catalogue_text):
        for tool in server["tools"]:
            field = f"{server['server']}_{tool['name']}"
            lines.append(f'  "{tool["description"]}"')
            lines.append(f"  {field}(path: String!, limit: Int, recursive: Boolean, tags: [String]): ToolResult")
    lines.append("}")
    return "\n".join(lines)


def mixed_document(size: int) -> str:
    """Arrays of objects with strings, integers, floats, unsorted keys and nesting."""
    rnd, items, total = random.Random(7), [], 0
    while total < size:
        i = len(items)
        item = {
            "id": i, "name": f"item-{i}", "score": rnd.random() * 1000, "count": rnd.randrange(-10**9, 10**9),
            "tags": [rnd.choice(["alpha", "beta", "gamma", "délta", "ëpsilon"]) for _ in range(3)],
            "owner": {"login": f"user{rnd.randrange(10**6)}", "active": rnd.random() < 0.5,
                      "meta": {"created": 1_700_000_000 + i, "ratios": [rnd.random() for _ in range(3)],
                               "note": None if i % 3 else "résumé \"quoted\" line\nbreak"}}}
        items.append(item)
        total += len(json.dumps(item, ensure_ascii=False)) + 1
    return json.dumps({"kind": "bench", "items": items}, ensure_ascii=False, separators=(",", ":"))


class gc_off:
    def __enter__(self):
        gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        gc.enable()


def bench_large_reply(cfg) -> None:
    print("\n== Large reply: one tool field answered with a ~10 MB mixed document")
    text = mixed_document(10_000_000)
    engine, query = _graphql.SchemaEngine('{"server": "s", "name": "t"}'), "{ big: s_t }"
    contenders = {"engine": loop(lambda: engine.execute(query)),
                  "json": loop(lambda: json.dumps(json.loads(text), sort_keys=True, ensure_ascii=False,
                                                  separators=(",", ":")))}
    if orjson is not None:
        contenders["orjson"] = loop(lambda: orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS))
    with engine_host(engine, lambda doc: text), gc_off():
        if json.loads(engine.execute(query))["data"]["big"] != json.loads(text):
            print("  WARNING: the engine's reply differs from the document sent")
        t = interleaved(contenders, cfg.rounds, cfg.target * 4)
    mb = len(text.encode()) / 1e6
    row("reply size", f"{mb:9.2f} MB")
    for name, seconds in t.items():
        row(name, f"{fmt_time(seconds)}  = {mb / seconds:7.1f} MB/s")
    ratio("engine vs json.loads + json.dumps(sort_keys=True)", t["json"] / t["engine"], 10)
    if orjson is not None:
        ratio("engine vs orjson with OPT_SORT_KEYS", t["orjson"] / t["engine"], 2.5)


def bench_catalogue(cfg) -> None:
    print("\n== Catalogue: an engine from 10,000 realistic tools")
    text = realistic_catalogue(10_000)
    sdl = sdl_of(text)
    with gc_off():
        t = interleaved({"engine": loop(lambda: _graphql.SchemaEngine(text)),
                         "json.loads": loop(lambda: json.loads(text))}, cfg.rounds, cfg.target * 4)
        t.update(interleaved({"build_schema": loop(lambda: graphql.build_schema(sdl))}, max(1, cfg.rounds // 3),
                             cfg.target * 4))
    row("catalogue size", f"{len(text) / 1e6:9.2f} MB")
    for name, seconds in t.items():
        row(name, fmt_time(seconds))
    ratio("engine vs graphql-core build_schema", t["build_schema"] / t["engine"], 100)
    ratio("engine vs json.loads of the catalogue alone", t["json.loads"] / t["engine"], 3)
    row("resident size per engine", f"{rss_growth(lambda: _graphql.SchemaEngine(text), 5) / 5 / 2**20:9.2f} MiB")


def bench_lookup(cfg) -> None:
    print("\n== Field lookup as the catalogue grows")
    small = _graphql.SchemaEngine(json.dumps([{"server": "s", "name": f"t{i}"} for i in range(100)]))
    large = _graphql.SchemaEngine(json.dumps([{"server": "s", "name": f"t{i}"} for i in range(100_000)]))
    # The last tool of each catalogue: the worst case for a scan.
    many = "{" + " ".join(f"f{i}: s_t{i * 499}" for i in range(200)) + "}"
    with gc_off():
        t = interleaved({"100 tools": loop(lambda: small.execute("{ s_t99 }")),
                         "100,000 tools": loop(lambda: large.execute("{ s_t99999 }")),
                         "200 fields, 100,000 tools": loop(lambda: large.execute(many))}, cfg.rounds, cfg.target)
    for name, seconds in t.items():
        row(name, fmt_time(seconds))
    ratio("one field: 100,000 tools vs 100 tools (aim <= 1.5)", t["100,000 tools"] / t["100 tools"])
    ms = t["200 fields, 100,000 tools"] * 1e3
    row("200 fields on 100,000 tools", f"{ms:9.3f} ms   aim < 1 ms: {'MET' if ms < 1 else 'MISSED'}")


def bench_small_request(cfg, allocations: str | None) -> None:
    print("\n== Small request: 3 tool fields, a variable and __typename, no bridge")
    tools = [(f"s{s}", f"tool-{t}", f"s{s}_tool_{t}") for s in range(5) for t in range(10)]
    engine = _graphql.SchemaEngine(json.dumps([{"server": s, "name": n} for s, n, _ in tools]))
    query = ('query Lookup($path: String) { __typename a: s0_tool_0(path: $path, limit: 10) '
             'b: s1_tool_3(flag: true, mode: "fast") c: s3_tool_7(ids: [1, 2, 3]) }')
    variables = '{"path": "/tmp/x"}'
    fields = "\n".join(f"  {f}(path: String, limit: Int, flag: Boolean, mode: String, ids: [Int]): ToolResult"
                       for _, _, f in tools)
    schema = graphql.build_schema("scalar JSON\ntype ToolResult { isError: Boolean! json: JSON text: String }\n"
                                  f"type Query {{\n{fields}\n}}")
    for server, tool, field in tools:
        value = {"isError": True, "json": None,
                 "text": f"SchemaEngine stub resolved {server}.{tool} but CallBridge is not wired yet"}
        schema.query_type.fields[field].resolve = lambda obj, info, value=value, **args: value
    # graphql-core needs a selection on object types; the engine's fields are whole results.
    document = graphql.parse(query.replace("limit: 10)", "limit: 10) { isError json text }")
                             .replace('"fast")', '"fast") { isError json text }')
                             .replace("[1, 2, 3])", "[1, 2, 3]) { isError json text }"))
    if graphql.validate(schema, document):
        print("  WARNING: the graphql-core document does not validate")

    def run_graphql_core():
        result = graphql.execute(schema, document, variable_values=json.loads(variables))
        return json.dumps(result.formatted, separators=(",", ":"))

    with gc_off():
        t = interleaved({"engine": loop(lambda: engine.execute(query, variables)),
                         "graphql-core": loop(run_graphql_core)}, cfg.rounds, cfg.target)
    for name, seconds in t.items():
        row(name, fmt_time(seconds))
    ratio("engine vs graphql-core on a parsed, validated document", t["graphql-core"] / t["engine"], 25)
    if allocations:
        counted = subprocess.run([allocations], capture_output=True, text=True, check=False)
        row("heap allocations per request (aim < 10)", counted.stdout.strip() or counted.stderr.strip())


def bench_memory(cfg) -> None:
    print("\n== Memory over many requests")
    engine = _graphql.SchemaEngine(realistic_catalogue(1_000))
    query = 'query($p: String) { __typename a: server0_' + json.loads(realistic_catalogue(1_000))[0]["tools"][0]["name"] \
        + '(path: $p) servers }'
    for _ in range(1000):
        engine.execute(query, '{"p": "x"}')
    gc.collect()
    before = rss_bytes()
    for _ in range(cfg.requests):
        engine.execute(query, '{"p": "x"}')
    gc.collect()
    row(f"RSS growth over {cfg.requests:,} requests", f"{(rss_bytes() - before) / 1024:9.1f} KiB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--allocations", help="path of the request_allocations program")
    args = parser.parse_args()
    cfg = argparse.Namespace(rounds=5 if args.quick else 9, target=0.02 if args.quick else 0.05,
                             requests=20_000 if args.quick else 100_000)
    print(f"data path benchmark: Python {sys.version.split()[0]}, graphql-core {graphql.__version__}, "
          f"orjson {getattr(orjson, '__version__', 'missing')}, {os.cpu_count()} CPUs")
    t0 = perf()
    bench_large_reply(cfg)
    bench_catalogue(cfg)
    bench_lookup(cfg)
    bench_small_request(cfg, args.allocations)
    bench_memory(cfg)
    print(f"\n(total {perf() - t0:.0f} s)")


if __name__ == "__main__":
    main()
