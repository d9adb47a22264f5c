#!/usr/bin/env python3
"""Speed of the typed GraphQL layer (_graphql_typed.TypedSchema), each figure set
against graphql-core doing the same work over the same schema (built from the
SDL the layer prints) in the same run.

Contenders alternate round by round and medians are reported: read the
ratios. Nothing asserts a timing; each aim is printed as met or missed.

1. The small query of the engine benchmark (3 tool fields, a variable,
   __typename), tools answering with placeholders, this layer reusing the
   document it validated on the first run, against graphql-core executing
   the cached, validated document (its resolvers return the
   placeholder value instead of raising, which only favours graphql-core).
2. Validation of a 200-field document built from fragments: this layer's
   parse + validate (the document carries one error at its end, so it stops
   there, and a refused document is never cached) against graphql-core's validate of the already parsed document.
3. The full introspection query over 1,000 tools, against graphql-core
   executing the parsed query (both write JSON text).
4. Selecting a few fields out of a 10 MB tool result served through the
   bridge: bytes of the result per second, and the raw engine (which returns
   the whole result) beside it.

Usage: python bench/bench_typed.py [--quick]
"""
import argparse, json, random, sys, threading  # noqa: E401
from pathlib import Path

try:
    import _graphql
    import _graphql_typed
except ImportError:  # running from a checkout after scripts/dev-build
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "build" / "dev"))
    import _graphql
    import _graphql_typed
import graphql

from bench_engine import interleaved, loop  # noqa: E402  (the same timing as the engine's benchmark)


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:9.2f} {unit}"
    return f"{seconds / 1e-9:9.0f} ns"


def row(label, value):
    print(f"  {label:<58}{value}")


def ratio(label, value, aim):
    verdict = "met" if value >= aim else "MISSED"
    row(label, f"{value:9.1f}x   (aim >= {aim}x: {verdict})")


# ---------------------------------------------------------------- schemas

INPUT = {"type": "object", "properties": {
    "path": {"type": "string"}, "limit": {"type": "integer"}, "flag": {"type": "boolean"},
    "mode": {"enum": ["fast", "slow"]}, "ids": {"type": "array", "items": {"type": "integer"}}}}


def catalogue(servers, per_server, output=None):
    return json.dumps([{"server": f"s{s}", "tools": [
        {"name": f"tool_{t}", "description": f"Tool {t} of server {s}", "readOnly": True, "inputSchema": INPUT,
         **({"outputSchema": output} if output else {})}
        for t in range(per_server)]} for s in range(servers)])


def typed_schema(catalogue_json):
    return _graphql_typed.TypedSchema(_graphql.SchemaEngine(catalogue_json), catalogue_json)


def core_schema(typed, resolve):
    """graphql-core's schema from the layer's SDL, tool fields resolved by `resolve(field_name)`."""
    schema = graphql.build_schema(typed.sdl())
    for name, field in schema.query_type.fields.items():
        field.resolve = resolve(name)
    return schema


def core_runner(schema, document, variables=None):
    """graphql-core over a parsed and validated document, answer as JSON text."""
    assert not graphql.validate(schema, document)

    def run():
        result = graphql.execute(schema, document, variable_values=json.loads(variables) if variables else None)
        return json.dumps(result.formatted, separators=(",", ":"))
    return run


# ---------------------------------------------------------------- 1. small query

def bench_small(cfg):
    print("\n== 1. Small query: 3 tool fields, a variable, __typename (50 tools, placeholders)")
    typed = typed_schema(catalogue(5, 10))
    sub = " { isError json text }"
    query = (f"query Lookup($path: String) {{ __typename a: s0_tool_0(path: $path, limit: 10){sub} "
             f"b: s1_tool_3(flag: true, mode: fast){sub} c: s3_tool_7(ids: [1, 2, 3]){sub} }}")
    variables = json.dumps({"path": "/srv/data/report.csv"})

    def placeholder(name):
        value = {"isError": True, "json": None, "text": f"placeholder of {name}"}
        return lambda _obj, _info, **_args: value

    run_core = core_runner(core_schema(typed, placeholder), graphql.parse(query), variables)
    run_typed = lambda: typed.execute(query, variables)  # noqa: E731
    answer = json.loads(run_typed())
    assert answer["data"]["__typename"] == "Query" and len(answer["errors"]) == 3, answer
    t = interleaved({"typed": loop(run_typed), "core": loop(run_core)}, cfg.rounds, cfg.target)
    row("TypedSchema.execute (document validated once, then cached)", fmt_time(t["typed"]))
    row("graphql-core execute, cached validated document + dumps", fmt_time(t["core"]))
    ratio("speed-up over graphql-core", t["core"] / t["typed"], 25)


# ---------------------------------------------------------------- 2. validation

def bench_validation(cfg):
    print("\n== 2. Validation of a 200-field document with fragments (50 tools)")
    typed = typed_schema(catalogue(5, 10))
    fragments = []
    for f in range(10):
        fields = " ".join(f'x{f}_{i}: s{i % 5}_tool_{(i + f) % 10}(path: "p{i}", limit: {i}) {{ text isError }}'
                          for i in range(20))
        fragments.append(f"fragment F{f} on Query {{ {fields} }}")
    body = "{ " + " ".join(f"...F{f}" for f in range(10)) + " }"
    valid = body + " " + " ".join(fragments)
    # One error at the very end stops this layer after validation; graphql-core
    # validates the valid document, already parsed.
    invalid = valid + " fragment Unused on Query { __typename }"
    answer = json.loads(typed.execute(invalid))
    assert "data" not in answer and len(answer["errors"]) == 1, answer["errors"][:3]
    core = graphql.build_schema(typed.sdl())
    parsed = graphql.parse(valid)
    assert not graphql.validate(core, parsed)
    t = interleaved({"typed": loop(lambda: typed.execute(invalid)),
                     "core": loop(lambda: graphql.validate(core, parsed))}, cfg.rounds, cfg.target)
    row("TypedSchema: parse + validate (200 fields, 10 fragments)", fmt_time(t["typed"]))
    row("graphql-core validate (parsed document)", fmt_time(t["core"]))
    ratio("speed-up over graphql-core", t["core"] / t["typed"], 50)


# ---------------------------------------------------------------- 3. introspection

def bench_introspection(cfg):
    print("\n== 3. Full introspection query over 1,000 tools")
    typed = typed_schema(catalogue(20, 50))
    query = graphql.get_introspection_query(descriptions=True)
    core = graphql.build_schema(typed.sdl())
    run_core = core_runner(core, graphql.parse(query))
    text = typed.execute(query)
    row("answer size", f"{len(text) / 1e6:9.2f} MB")
    t = interleaved({"typed": loop(lambda: typed.execute(query)), "core": loop(run_core)},
                    max(3, cfg.rounds // 2), cfg.target)
    row("TypedSchema.execute", fmt_time(t["typed"]))
    row("graphql-core execute (parsed) + dumps", fmt_time(t["core"]))
    ratio("speed-up over graphql-core", t["core"] / t["typed"], 50)


# ---------------------------------------------------------------- 4. big result

def big_result(size):
    rnd, items, total = random.Random(7), [], 0
    while total < size:
        i = len(items)
        item = {"id": i, "name": f"item-{i}", "score": rnd.random() * 1000,
                "tags": [rnd.choice(["alpha", "beta", "gamma", "délta"]) for _ in range(3)],
                "owner": {"login": f"user{rnd.randrange(10 ** 6)}", "active": rnd.random() < 0.5}}
        items.append(item)
        total += len(json.dumps(item, ensure_ascii=False)) + 1
    return {"kind": "bench", "count": len(items), "items": items}


class Host:
    """Answers every tool call with the same text, on a thread of its own."""

    def __init__(self, engine, text):
        self.engine, self.text, self.stop = engine, text, threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self):
        while not self.stop.is_set():
            request = self.engine.receive_tool_call(50)
            if request is not None:
                self.engine.respond_tool_call(json.loads(request)["request_id"], self.text)

    def __enter__(self):
        self.engine.attach_call_bridge()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.engine.detach_call_bridge()
        self.thread.join()


def bench_big_result(cfg):
    print("\n== 4. A few fields out of a 10 MB tool result (through the bridge)")
    output = {"type": "object", "properties": {
        "kind": {"type": "string"}, "count": {"type": "integer"},
        "items": {"type": "array", "items": {"type": "object", "properties": {
            "id": {"type": "integer"}, "name": {"type": "string"}, "score": {"type": "number"},
            "tags": {"type": "array", "items": {"type": "string"}},
            "owner": {"type": "object", "properties": {"login": {"type": "string"}, "active": {"type": "boolean"}}}}}}}}
    cat = json.dumps([{"server": "s", "tools": [{"name": "big", "readOnly": True, "outputSchema": output}]}])
    engine = _graphql.SchemaEngine(cat)
    typed = _graphql_typed.TypedSchema(engine, cat)
    value = big_result(10 << 20)
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    size = len(text.encode())
    few = "{ s_big { kind count } }"
    core = core_schema(typed, lambda name: (lambda _obj, _info: json.loads(text)))
    run_core = core_runner(core, graphql.parse(few))
    with Host(engine, text):
        assert json.loads(typed.execute(few)) == {"data": {"s_big": {"kind": "bench", "count": value["count"]}}}
        t = interleaved({"typed": loop(lambda: typed.execute(few)),
                         "raw": loop(lambda: engine.execute("{ s_big }")),
                         "core": loop(run_core)}, max(3, cfg.rounds // 2), cfg.target)
    row("result size", f"{size / 1e6:9.2f} MB")
    row("TypedSchema.execute, { s_big { kind count } }", f"{fmt_time(t['typed'])}  = {size / t['typed'] / 1e6:7.0f} MB/s")
    row("raw engine, whole result { s_big }", f"{fmt_time(t['raw'])}  = {size / t['raw'] / 1e6:7.0f} MB/s")
    row("graphql-core: json.loads + execute + dumps", f"{fmt_time(t['core'])}  = {size / t['core'] / 1e6:7.0f} MB/s")
    mbps = size / t["typed"] / 1e6
    row("throughput of the selection", f"{mbps:9.0f} MB/s   (aim >= 500 MB/s: {'met' if mbps >= 500 else 'MISSED'})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    cfg = parser.parse_args()
    cfg.rounds, cfg.target = (3, 0.05) if cfg.quick else (7, 0.2)
    bench_small(cfg)
    bench_validation(cfg)
    bench_introspection(cfg)
    bench_big_result(cfg)


if __name__ == "__main__":
    main()
