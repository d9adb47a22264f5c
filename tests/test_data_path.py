"""The JSON data path: what the reader refuses, the form the writer gives,
field lookup, and memory that stays bounded by the input and output."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import _graphql
import _graphql_typed
from conftest import Background, Host, catalogue, execute_in_thread
from support.child import python_env

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def answered_with(reply: str) -> dict:
    """The response to one tool field answered with `reply` by a host thread."""
    engine = _graphql.SchemaEngine(catalogue(("s", "t")))
    engine.attach_call_bridge()

    def host() -> None:
        request = json.loads(engine.receive_tool_call(10_000))
        assert engine.respond_tool_call(request["request_id"], reply)

    thread = threading.Thread(target=host, daemon=True)
    thread.start()
    document = json.loads(execute_in_thread(engine, "{ s_t }"))
    thread.join(10)
    return document


@pytest.mark.parametrize("before", ["[]", "{}", ' {"a": [1, "x"]} '])
def test_text_after_a_nul_is_refused_with_its_position(before: str) -> None:
    text = before + "\x00garbage"
    column = len(before) + 1
    with pytest.raises(ValueError, match=rf"^invalid catalogue JSON: .+ at line 1 column {column}$"):
        _graphql.SchemaEngine(text)
    if before.strip().startswith("{"):
        document = json.loads(_graphql.SchemaEngine().execute("{ __typename }", text))
        assert document["data"] is None
        assert document["errors"][0]["message"].startswith("invalid variables JSON: ")
        assert document["errors"][0]["message"].endswith(f" at line 1 column {column}")
    reply = answered_with(text)["data"]["s_t"]
    assert reply["isError"] is True and reply["json"] is None
    assert reply["text"].startswith("CallBridge returned invalid JSON: ")
    assert reply["text"].endswith(f" at line 1 column {column}")


@pytest.mark.parametrize("reply, written", [
    # Shortest round-trip digits, laid out plainly within [1e-4, 1e15).
    ("[0.30000000000000004, 0.1, 100, 100.0, 1e2, -0, -0.0, 0.0001, 0.00001]",
     "[0.30000000000000004,0.1,100,100.0,100.0,0,-0.0,0.0001,1e-05]"),
    ("[1e15, 1e14, 123456789012345678, 1.5e-7, 5e-324, 1.7976931348623157e308]",
     "[1e+15,100000000000000.0,123456789012345678,1.5e-07,5e-324,1.7976931348623157e+308]"),
    ("[18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809]",
     "[18446744073709551615,1.8446744073709552e+19,-9223372036854775808,-9.223372036854776e+18]"),
    # Members sorted by key bytes, the last of repeated keys winning,
    # nested objects included; strings escaped as before.
    ('{"b": 1, "a": {"y": [1, {"d": 0, "c": 1}], "x": 2}, "b": 3, "\\u00e9": "\\u0001\\t\\u007f/"}',
     '{"a":{"x":2,"y":[1,{"c":1,"d":0}]},"b":3,"\u00e9":"\\u0001\\t\u007f/"}'),
    ('{"long key one": 1, "long key": 2, "long key one!": 3, "": 4}',
     '{"":4,"long key":2,"long key one":1,"long key one!":3}'),
    # Long strings, plain or with escapes that end where the plain text would.
    ('["%s", "%s\\"", "%s\\u0041\\\\", "%s\\n"]' % ("p" * 40, "q" * 40, "r" * 40, "\u00e9" * 40),
     '["%s","%s\\"","%sA\\\\","%s\\n"]' % ("p" * 40, "q" * 40, "r" * 40, "\u00e9" * 40)),
])
def test_replies_are_written_in_the_compact_form(reply: str, written: str) -> None:
    # The typed layer takes the engine's reading of the reply over rather
    # than its response text; a JSON field taking the whole reply must still
    # come out in exactly the engine's form.
    text = catalogue(("s", "t"))
    engine = _graphql.SchemaEngine(text)
    typed = _graphql_typed.TypedSchema(engine, text)
    with Host(engine, lambda request: ("respond", reply)):
        assert execute_in_thread(engine, "{ s_t }") == '{"data":{"s_t":%s},"errors":[]}' % written
        assert Background(typed.execute, "{ s_t { json } }").result() == '{"data":{"s_t":{"json":%s}}}' % written


@pytest.mark.parametrize("cached", [False, True], ids=["fresh", "utf8-cached"])
@pytest.mark.parametrize("sample", ["\u00e9", "\x80\xff", "\u03b5\u2028", "\U0001F600", "\u00e9\U0010FFFF\u0800"])
def test_replies_of_every_str_width_arrive_as_their_utf8(sample: str, cached: bool) -> None:
    # The sample at every offset across two 8-byte words, and in a long run.
    values = ["ab" * k + sample + "cd" * (9 - k) for k in range(10)] + [("x" * 13 + sample) * 700]
    reply = json.dumps({"v": values, sample: sample}, ensure_ascii=False)
    if cached:
        type(reply, (), {})  # CPython keeps the UTF-8 form of a class's name on its str
    assert answered_with(reply) == {"data": {"s_t": {"v": values, sample: sample}}, "errors": []}


def test_the_first_tool_bound_to_a_field_name_answers_it() -> None:
    tools = [("a b", "t"), ("a_b", "t")] + [(f"s{i}", f"t{i}") for i in range(5000)] + [("a-b", "t")]
    document = json.loads(execute_in_thread(_graphql.SchemaEngine(catalogue(*tools)), "{ a_b_t s4999_t4999 }"))
    assert "resolved a b.t " in document["data"]["a_b_t"]["text"]
    assert "resolved s4999.t4999 " in document["data"]["s4999_t4999"]["text"]


PEAK_MEMORY = """
import json, resource, sys, _graphql
def peak(): return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
{setup}
before = peak()
response = engine.execute(query, variables)
assert '"errors":[]' in response[-20:], response[-300:]
print(json.dumps({{"growth": peak() - before, "output": len(response)}}))
"""

AMPLIFICATION = {
    # One 1 MiB variable used 300 times, inside lists and input objects too.
    "variable": """
engine = _graphql.SchemaEngine('[{"server": "s", "name": "t"}]')
variables = json.dumps({"v": ["x" * 64] * 16384})
query = "query($v: [String]) {" + " ".join(f"f{i}: s_t(a: $v, b: [$v, {{c: $v}}])" for i in range(100)) + "}"
""",
    # The search view of 4,000 tools, aliased 100 times.
    "search": """
engine = _graphql.SchemaEngine(json.dumps([{"server": f"s{i % 40}", "name": f"tool{i}", "description": "d" * 60}
                                           for i in range(4000)]))
variables = None
query = "{" + " ".join(f"a{i}: search" for i in range(100)) + "}"
""",
}


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine hides what is freed")
@pytest.mark.parametrize("case", sorted(AMPLIFICATION))
def test_peak_memory_stays_within_a_small_multiple_of_input_and_output(case: str) -> None:
    script = PEAK_MEMORY.format(setup=textwrap.dedent(AMPLIFICATION[case]))
    finished = subprocess.run([sys.executable, "-c", script], timeout=120, capture_output=True, text=True)
    assert finished.returncode == 0, finished.stderr
    figures = json.loads(finished.stdout)
    # The response text, the str made from it and slack for the allocator.
    assert figures["growth"] < 4 * figures["output"] + 48 * 1024 * 1024, figures


OUT_OF_MEMORY_IN_A_REQUEST = """
import json, resource, threading, _graphql
from support.proc import mapped_bytes
engine = _graphql.SchemaEngine('[{{"server": "s", "name": "t"}}]')
reply = "[" + ",".join(["[[[1,2],[3]],{{}}]"] * {count}) + "]"
variables = json.dumps({{"v": [[i] for i in range(1_000_000)]}})
engine.attach_call_bridge()
def host():
    while True:
        text = engine.receive_tool_call(200)
        if text is not None:
            engine.respond_tool_call(json.loads(text)["request_id"], reply)
threading.Thread(target=host, daemon=True).start()
resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + {room} * 1024 * 1024, resource.RLIM_INFINITY))
try:
    document = json.loads(engine.execute({query!r}, variables))
except MemoryError:
    print("MemoryError")
else:
    value = document["data"]["f0"]
    assert not (isinstance(value, dict) and "invalid JSON" in str(value.get("text"))), value
    print("answered")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit allows")
@pytest.mark.parametrize("query, count", [
    ("query($v: [[Int]]) {" + " ".join(f"f{i}: s_t(a: $v)" for i in range(100)) + "}", 10),
    ("{ f0: s_t }", 4_000_000),
], ids=["variable-in-100-fields", "large-nested-reply"])
def test_exhausted_memory_is_memory_error_never_an_abort_or_bad_input(query: str, count: int) -> None:
    script = OUT_OF_MEMORY_IN_A_REQUEST.format(count=count, room=400, query=query)
    finished = subprocess.run([sys.executable, "-c", script], timeout=120, capture_output=True, text=True,
                              env=python_env())
    assert finished.returncode == 0, finished.stderr[-2000:]
    assert finished.stdout.strip() in {"MemoryError", "answered"}
    assert "invalid" not in finished.stdout


@pytest.mark.parametrize("text, line, column", [
    # Literals are read as far as they still match.
    ("tt", 1, 2),
    ("[fx]", 1, 3),
    ('{"a": nul}', 1, 10),
    # A leading zero ends the number; the digits after it are the next token.
    ("01", 1, 2),
    ("[-0012, 1]", 1, 4),
    # A number beyond the float range is refused once it has been read.
    ("1e400", 1, 5),
    ('{"a": [-1e400 ]}', 1, 13),
    # Escapes are read up to the first bad hex digit, or whole when the
    # surrogate they spell is out of place.
    ('"\\u12x4"', 1, 6),
    ('["\\u12"]', 1, 7),
    ('"\\udc00"', 1, 7),
    ('"\\ud800\\u0041"', 1, 13),
    ('"\\ud800\\x"', 1, 9),
    # After a trailing comma, at the bracket; white space is read through.
    ("[1, ]", 1, 5),
    ('{"a": 1,\n }', 2, 2),
    ("[1,\n  2,\n ]", 3, 2),
    ('{"a": [1,],}', 1, 10),
    # An unexpected token is read to its end.
    ('[1 "abc', 1, 8),
    ('{"a" 1234 }', 1, 9),
    ("{} nulx", 1, 7),
    ("{ tru }", 1, 6),
    ('{"a":0 "b"}', 1, 10),
    # A first byte 0xEF is read as a byte order mark as far as it matches.
    ("\uf8ff", 1, 2),
    ("\ufec0", 1, 3),
])
def test_json_faults_are_placed_where_reading_stopped(text: str, line: int, column: int) -> None:
    with pytest.raises(ValueError, match=rf"^invalid catalogue JSON: .+ at line {line} column {column}$"):
        _graphql.SchemaEngine(text)
