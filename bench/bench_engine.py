#!/usr/bin/env python3
"""Speed and memory figures for the _graphql engine, each set against an
alternative measured in the same run (graphql-core, plain Python threads
talking through queue.Queue, the json module).

Shared machines make absolute timings drift, so every comparison alternates
its contenders round by round (A B, B A, ...) and reports medians: read the
ratios. Nothing asserts a timing; aims are printed as met or missed.

Usage: python bench/bench_engine.py [--quick]
"""
import argparse, ctypes, gc, json, os, queue, random, statistics, sys, threading, time  # noqa: E401
from contextlib import contextmanager
from pathlib import Path

try:
    import _graphql
except ImportError:  # running from a checkout after scripts/dev-build
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "build" / "dev"))
    import _graphql
import graphql

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.contract import placeholder_text  # noqa: E402  (the one copy of the contract texts)
from support.proc import rss_bytes  # noqa: E402

perf = time.perf_counter


# ---------------------------------------------------------------- timing

def loop(fn):
    """Turn a no-argument callable into a batch function: n calls -> s/call."""
    def batch(n):
        t0 = perf()
        for _ in range(n):
            fn()
        return (perf() - t0) / n
    return batch


def batch_size(batch, target):
    """Calls per batch so that one batch lasts about `target` seconds."""
    n, total = 1, batch(1)  # the first call also warms up lazy initialisation
    while total < target / 10 and n < 1 << 20:
        n *= 4
        total = batch(n) * n
    return max(1, round(n * target / max(total, 1e-9)))


def interleaved(contenders, rounds, target):
    """contenders: {name: batch function}. Returns {name: median s/call}."""
    sizes = {k: batch_size(b, target) for k, b in contenders.items()}
    samples, names = {k: [] for k in contenders}, list(contenders)
    for r in range(rounds):
        for k in names if r % 2 == 0 else names[::-1]:
            samples[k].append(contenders[k](sizes[k]))
    return {k: statistics.median(v) for k, v in samples.items()}


def throughput(fn, threads, seconds):
    """Calls per second of fn, summed over `threads` threads running it in a loop."""
    counts, stop, start = [0] * threads, threading.Event(), threading.Barrier(threads + 1)

    def work(i):
        start.wait()
        while not stop.is_set():
            fn()
            counts[i] += 1

    pool = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0 = perf()
    time.sleep(seconds)
    stop.set()
    for t in pool:
        t.join()
    return sum(counts) / (perf() - t0)


def fmt_time(s):
    return f"{s:9.3f} s " if s >= 1 else f"{s * 1e3:9.3f} ms" if s >= 1e-3 else f"{s * 1e6:9.2f} µs"


def row(label, value):
    print(f"  {label:<52} {value}")


def ratio(label, x, aim=None):
    row(label, f"{x:9.1f} x" + ("" if aim is None else f"   aim >= {aim}x: {'MET' if x >= aim else 'MISSED'}"))


# ---------------------------------------------------------------- memory

_libc = ctypes.CDLL(None)


def rss_growth(make, count):
    """RSS gained while `count` objects from make() are alive. Freed heap goes
    back to the kernel first, so earlier work can't hide the growth."""
    gc.collect()
    _libc.malloc_trim(0)
    before = rss_bytes()
    keep = [make() for _ in range(count)]
    gc.collect()
    grown = rss_bytes() - before
    del keep
    gc.collect()
    _libc.malloc_trim(0)
    return grown


# ---------------------------------------------------------------- workloads

def tool_list(servers, per_server):
    """(server, tool name, GraphQL field name) per tool; '-' becomes '_' in field names."""
    return [(f"s{s}", f"tool-{t}", f"s{s}_tool_{t}") for s in range(servers) for t in range(per_server)]


def catalogue(servers, per_server):
    return json.dumps([
        {"server": f"s{s}", "serverDescription": f"Server {s}: benchmark tools",
         "tools": [{"name": f"tool-{t}", "description": f"Tool {t} of server {s}: reads and summarises records",
                    "annotations": {"readOnlyHint": t % 2 == 0}} for t in range(per_server)]}
        for s in range(servers)])


def sdl(tools, args, result):
    fields = "\n".join(f'  "Tool {f} of the benchmark"\n  {f}({args}): {result}' for _, _, f in tools)
    return ("scalar JSON\ntype ToolResult { isError: Boolean! json: JSON text: String }\n"
            f"type Query {{\n{fields}\n}}\n")


def gql_schema(tools, result, make_resolver):
    """graphql-core schema with the engine's fields; make_resolver(server, tool) -> resolver.
    Arguments are declared per field as GraphQL requires; nested ones are JSON scalars."""
    args = "path: String, limit: Int, flag: Boolean, mode: String, ids: [Int], n: Int, filter: JSON, sort: JSON"
    schema = graphql.build_schema(sdl(tools, args, result))
    for server, tool, field in tools:
        schema.query_type.fields[field].resolve = make_resolver(server, tool)
    return schema


def placeholder_resolver(server, tool):
    value = {"isError": True, "json": None, "text": placeholder_text(server, tool)}
    return lambda obj, info, **args: value


def gql_runner(schema, query, variables=None):
    """What a Python server does per request: decode variables, execute, encode."""
    def run():
        result = graphql.graphql_sync(schema, query, variable_values=json.loads(variables) if variables else None)
        return json.dumps(result.formatted, separators=(",", ":"))
    return run


def same_data(engine_text, gql_text, label):
    mine, theirs = json.loads(engine_text), json.loads(gql_text)
    if mine["errors"] or theirs.get("errors") or mine["data"] != theirs["data"]:
        print(f"  WARNING: {label}: engine and graphql-core answers differ")


def query_a(sub):
    return (f"query Lookup($path: String) {{ __typename a: s0_tool_0(path: $path, limit: 10){sub} "
            f'b: s1_tool_3(flag: true, mode: "fast"){sub} c: s3_tool_7(ids: [1, 2, 3]){sub} }}')


def query_b(sub):
    return "{ " + " ".join(
        f'f{i}: s{i % 5}_tool_{i % 10}(filter: {{where: [{{path: ["owner", "login"], '
        f'match: {{eq: "user{i}", in: [1, 2, 3]}}}}, {{range: {{lo: 1.5, hi: {i}}}}}], limit: {i}}}, '
        f'sort: [{{key: "name", desc: true}}]){sub}' for i in range(200)) + " }"


def big_document(size):
    """Deterministic nested JSON text (objects, arrays, strings, numbers) of about `size` bytes."""
    rnd, items, total = random.Random(7), [], 0
    while total < size:
        i = len(items)
        items.append({
            "id": i, "name": f"item-{i}", "score": rnd.random() * 1000, "count": rnd.randrange(-10**9, 10**9),
            "tags": [rnd.choice(["alpha", "beta", "gamma", "délta", "ëpsilon"]) for _ in range(3)],
            "owner": {"login": f"user{rnd.randrange(10**6)}", "active": rnd.random() < 0.5,
                      "meta": {"created": 1_700_000_000 + i, "ratios": [rnd.random() for _ in range(3)],
                               "note": None if i % 3 else "résumé \"quoted\" line\nbreak"}}})
        total += len(json.dumps(items[-1], ensure_ascii=False, separators=(",", ":")).encode()) + 1
    return json.dumps({"kind": "bench", "items": items}, ensure_ascii=False, separators=(",", ":"))


# ---------------------------------------------------------------- hosts

def request_id(doc):
    # The request document always opens with {"request_id":"...", so slicing
    # saves the host a json.loads per call; ids never contain escapes.
    return doc[15:doc.index('"', 15)]


@contextmanager
def engine_host(engine, reply):
    """Serve the engine's bridge from a daemon thread; reply(doc) -> result JSON."""
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            doc = engine.receive_tool_call(20)
            if doc is not None:
                engine.respond_tool_call(request_id(doc), reply(doc))

    engine.attach_call_bridge()
    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        engine.detach_call_bridge()
        thread.join(2)


@contextmanager
def queue_host(reply):
    """The same host loop behind two queue.Queue objects; yields call(doc) -> reply."""
    requests, replies = queue.Queue(), queue.Queue()

    def serve():
        while (doc := requests.get()) is not None:
            request_id(doc)
            replies.put(reply(doc))

    def call(doc):
        requests.put(doc)
        return replies.get()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield call
    finally:
        requests.put(None)
        thread.join(2)


# ---------------------------------------------------------------- sections

def bench_catalogue(cfg):
    print("\n== 1. Catalogue build: 10,000 tools over 100 servers")
    cat, schema_sdl = catalogue(100, 100), sdl(tool_list(100, 100), "path: String", "JSON")
    per_tool = rss_growth(lambda: _graphql.SchemaEngine(cat), 20) / 200_000
    per_engine = rss_growth(_graphql.SchemaEngine, 20) / 20
    per_field = rss_growth(lambda: graphql.build_schema(schema_sdl), 1) / 10_000

    def build_many(make):
        def batch(n):
            t0 = perf()
            keep = [make() for _ in range(n)]
            elapsed = perf() - t0
            del keep  # engines join their worker threads here, outside the timing
            return elapsed / n
        return batch

    t = interleaved({"full": build_many(lambda: _graphql.SchemaEngine(cat)),
                     "empty": build_many(_graphql.SchemaEngine),
                     "gql": build_many(lambda: graphql.build_schema(schema_sdl))}, cfg.build_rounds, cfg.target * 4)
    walk = t["full"] - t["empty"]
    row("SchemaEngine(catalogue) [raw]", fmt_time(t["full"]))
    row("SchemaEngine() empty, worker pool only [raw]", fmt_time(t["empty"]))
    row("(a) reading and walking the catalogue (difference)", f"{fmt_time(walk)}  = {walk / 1e4 * 1e9:.0f} ns/tool")
    row("(b) starting the worker pool", fmt_time(t["empty"]))
    row(f"graphql-core build_schema (SDL, {len(schema_sdl) / 1e6:.2f} MB)", fmt_time(t["gql"]))
    ratio("speed-up over build_schema (whole construction)", t["gql"] / t["full"])
    row("memory per tool record (20 engines kept alive)", f"{per_tool:9.0f} B   (catalogue text {len(cat) / 1e4:.0f} B/tool)")
    row("memory per empty engine (pool and bridge)", f"{per_engine / 1024:9.1f} KiB")
    row("graphql-core memory per field (1 schema kept alive)", f"{per_field:9.0f} B")
    ratio("memory saving over graphql-core", per_field / per_tool)


def bench_queries(cfg, engine):
    variables, sub, tools = json.dumps({"path": "/srv/data/report.csv"}), " { isError json text }", tool_list(5, 10)
    scalar = gql_schema(tools, "JSON", placeholder_resolver)
    typed = gql_schema(tools, "ToolResult", placeholder_resolver)
    for label, make_query, vars_json, aim in (
            ("2. Query (a): 3 tool fields, arguments, a variable, __typename", query_a, variables, 100),
            ("3. Query (b): 200 aliased fields, nested list/object arguments", query_b, None, None)):
        print(f"\n== {label} (50 tools, placeholders)")
        run_engine = lambda q=make_query(sub), v=vars_json: engine.execute(q, v)  # noqa: E731
        run_scalar = gql_runner(scalar, make_query(""), vars_json)
        run_typed = gql_runner(typed, make_query(sub), vars_json)
        same_data(run_engine(), run_scalar(), "JSON-scalar schema")
        same_data(run_engine(), run_typed(), "object-type schema")
        t = interleaved({"engine": loop(run_engine), "scalar": loop(run_scalar), "typed": loop(run_typed)},
                        cfg.rounds, cfg.target)
        row("engine.execute", fmt_time(t["engine"]))
        row("graphql-core, JSON scalar result + json.dumps", fmt_time(t["scalar"]))
        row("graphql-core, ToolResult object + json.dumps", fmt_time(t["typed"]))
        ratio("speed-up over graphql-core, JSON scalar", t["scalar"] / t["engine"], aim)
        ratio("speed-up over graphql-core, ToolResult object", t["typed"] / t["engine"], aim)
    return lambda: engine.execute(query_a(sub), variables), gql_runner(scalar, query_a(""), variables)


def bench_threads(cfg, run_engine, run_gql):
    print("\n== 4. Thread scaling: query (a) in a loop on one engine / one schema")
    counts, kinds = (1, 2, 4), {"engine": run_engine, "gql": run_gql}
    samples = {(k, n): [] for k in kinds for n in counts}
    for r in range(cfg.thread_rounds):
        for n in counts:
            for k in kinds if r % 2 == 0 else list(kinds)[::-1]:
                samples[k, n].append(throughput(kinds[k], n, cfg.thread_seconds))
    qps = {key: statistics.median(v) for key, v in samples.items()}
    print(f"  {'threads':<10}{'engine q/s':>14}{'scaling':>10}{'graphql-core q/s':>20}{'scaling':>10}{'engine/gql':>12}")
    for n in counts:
        e, g = qps["engine", n], qps["gql", n]
        print(f"  {n:<10}{e:14.0f}{e / qps['engine', 1]:9.2f}x{g:20.0f}{g / qps['gql', 1]:9.2f}x{e / g:11.1f}x")
    print(f"  ({os.cpu_count()} CPUs, shared with other work; medians of {cfg.thread_rounds} x {cfg.thread_seconds} s)")


def bench_bridge(cfg):
    print("\n== 5. Bridge round trip (a): one tool field served by a host thread")
    engine, tools = _graphql.SchemaEngine(catalogue(5, 10)), tool_list(5, 10)
    reply_text = '{"ok":true,"rows":3,"path":"/srv/data/report.csv"}'
    query, seen = '{ a: s0_tool_0(path: "/srv/data/report.csv", limit: 10) }', []

    def answer(doc):
        if not seen:
            seen.append(doc)  # one real request text, replayed by the ping-pong
        return reply_text

    with engine_host(engine, answer), \
            queue_host(lambda doc: reply_text) as call:
        engine.execute(query)
        request_text, ids = seen[0], iter(range(1, 1 << 62))

        def bridged(server, tool):
            def resolve(obj, info, **args):
                doc = {"request_id": f"tool-call-{next(ids)}", "server": server, "tool": tool,
                       "arguments": args, "operation": "query"}
                return json.loads(call(json.dumps(doc, separators=(",", ":"))))
            return resolve

        run_gql = gql_runner(gql_schema(tools, "JSON", bridged), query)
        same_data(engine.execute(query), run_gql(), "bridged round trip")
        t = interleaved({"engine": loop(lambda: engine.execute(query)), "queue": loop(lambda: call(request_text)),
                         "gql": loop(run_gql)}, cfg.rounds, cfg.target)
        row("engine.execute + receive/respond on host thread", fmt_time(t["engine"]))
        row("bare queue.Queue ping-pong, same texts", fmt_time(t["queue"]))
        row("graphql-core resolver -> queue.Queue host thread", fmt_time(t["gql"]))
        ratio("engine vs bare ping-pong (>1 = engine faster)", t["queue"] / t["engine"])
        ratio("speed-up over graphql-core", t["gql"] / t["engine"])

        print("\n== 6. Bridge fan-out (b): one query with 1,000 tool fields, one host thread")
        fan = "{ " + " ".join(f"f{i}: s{i % 5}_tool_{i % 10}(n: {i})" for i in range(1000)) + " }"
        data = json.loads(engine.execute(fan))["data"]
        if len(data) != 1000 or any(v != json.loads(reply_text) for v in data.values()):
            print("  WARNING: fan-out answers are not the host's replies")
        t = interleaved({"engine": loop(lambda: engine.execute(fan)),
                         "queue": loop(lambda: [call(request_text) for _ in range(1000)])},
                        cfg.rounds, cfg.target * 2)
        per_call = t["engine"] / 1000
        row("engine.execute, whole query", fmt_time(t["engine"]))
        row("per tool call", f"{fmt_time(per_call)}   aim < 10 µs: {'MET' if per_call < 10e-6 else 'MISSED'}")
        row("bare queue.Queue ping-pong, per call", fmt_time(t["queue"] / 1000))
        ratio("engine per call vs ping-pong (>1 = engine faster)", t["queue"] / t["engine"])


def bench_large(cfg):
    print("\n== 7. Large reply (c): one tool field answered with a ~10 MB JSON document")
    text = big_document(10_000_000)
    engine, payload, query = _graphql.SchemaEngine(catalogue(1, 1)), [text], "{ big: s0_tool_0(part: 1) }"

    def run_engine(n):
        total = 0.0
        for _ in range(n):
            payload[0] = text.encode().decode()  # a fresh str, without CPython's cached UTF-8 copy
            t0 = perf()
            engine.execute(query)
            total += perf() - t0
        return total / n

    def run_python():
        return json.dumps(json.loads(text), sort_keys=True, ensure_ascii=False, separators=(",", ":"))

    with engine_host(engine, lambda doc: payload[0]):
        if json.loads(engine.execute(query))["data"]["big"] != json.loads(text):
            print("  WARNING: engine's reply differs from the document sent")
        t = interleaved({"engine": run_engine, "python": loop(run_python)}, cfg.rounds, cfg.target * 2)
    mb = len(text.encode()) / 1e6
    row("reply size", f"{mb:9.2f} MB")
    row("engine.execute incl. the host's answer", f"{fmt_time(t['engine'])}  = {mb / t['engine']:7.1f} MB/s")
    row("json.loads + json.dumps(sort_keys=True)", f"{fmt_time(t['python'])}  = {mb / t['python']:7.1f} MB/s")
    ratio("engine vs json round trip", t["python"] / t["engine"], 5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="about 30 s instead of about 3 minutes")
    quick = parser.parse_args().quick
    cfg = argparse.Namespace(rounds=5 if quick else 11, build_rounds=3 if quick else 7,
                             target=0.02 if quick else 0.1,
                             thread_rounds=3, thread_seconds=0.25 if quick else 2.0)
    print(f"_graphql benchmark ({'quick' if quick else 'full'}): Python {sys.version.split()[0]}, "
          f"graphql-core {graphql.__version__}, {os.cpu_count()} CPUs; medians of {cfg.rounds} interleaved rounds "
          f"({cfg.build_rounds} for catalogue builds)")
    t0 = perf()
    bench_catalogue(cfg)
    bench_threads(cfg, *bench_queries(cfg, _graphql.SchemaEngine(catalogue(5, 10))))
    bench_bridge(cfg)
    bench_large(cfg)
    print(f"\n(total {perf() - t0:.0f} s)")


if __name__ == "__main__":
    main()
