"""Query and variables parsing, observed end to end through ``execute``.

Arguments are made visible by a host that echoes every tool call, so each
case checks what a tool would really receive.  Tools: q_a, q_b, q_c.
"""

from __future__ import annotations

import json
import re

import pytest

import _graphql
from conftest import Host, catalogue, echo_handler, execute_in_thread


class Prefix(str):
    """An expected message of which only the start is fixed; the rest is a JSON fault description."""


def A(**arguments):
    return ("a", arguments)


@pytest.fixture(scope="module")
def host():
    engine = _graphql.SchemaEngine(catalogue(("q", "a"), ("q", "b"), ("q", "c")))
    with Host(engine, echo_handler) as running:
        yield running


def run(host, query, variables=None):
    return json.loads(execute_in_thread(host.engine, query, variables))


def check(host, query, variables, expected):
    document = run(host, query, variables)
    if isinstance(expected, str):
        assert list(document) == ["data", "errors"] and document["data"] is None, document
        [error] = document["errors"]
        assert list(error) == ["message"]
        if isinstance(expected, Prefix):
            assert error["message"].startswith(expected), error
            assert re.search(r" at line \d+ column \d+$", error["message"]), error
        else:
            assert error["message"] == expected
    else:
        assert document["errors"] == [], document
        seen = {key: (value["tool"], value["arguments"]) for key, value in document["data"].items()}
        # Compare as JSON text so 1 and 1.0, or key order inside arguments, are told apart.
        assert json.dumps(seen, sort_keys=True) == json.dumps(expected, sort_keys=True)


LEXICAL = [
    ("# only a comment", "expected GraphQL name, found end of input"),
    ("{ q_a # comment runs to the end }", "unterminated GraphQL selection set"),
    ("{ q_a#b\nq_b }", {"q_a": A(), "q_b": ("b", {})}),
    ("{ q_a # note\r\nq_b }", {"q_a": A(), "q_b": ("b", {})}),
    (",,{,,q_a,,(,,x,:,1,,),,}", {"q_a": A(x=1)}),
    ("{\fq_a\f(x:\f1)\f}", {"q_a": A(x=1)}),
    ("{\vq_a }", "expected GraphQL name, found \v"),
    ("{ \ufeffq_a }", "expected GraphQL name, found \u00ef"),
    ("\ufeff{ q_a }", "expected GraphQL name, found \u00ef"),
    ("{ q_a\u00a0}", "expected GraphQL name, found \u00c2"),
    ("{ q_a-b }", "expected GraphQL name, found -"),
    ("{ 1a }", "expected GraphQL name, found 1"),
    ("{ é }", "expected GraphQL name, found Ã"),
    ("{ q_aé }", "expected GraphQL name, found Ã"),
    ("{ .. }", "expected GraphQL name, found ."),
    # Blocks that are skipped: only their own bracket pair counts, strings and comments hide brackets.
    ('{ q_a @d(a: ")", b: [1, 2]) q_b }', {"q_a": A(), "q_b": ("b", {})}),
    ("{ q_a @d(a: # )\n) q_b }", {"q_a": A(), "q_b": ("b", {})}),
    ('{ q_a @d("a\\"b)") q_b }', {"q_a": A(), "q_b": ("b", {})}),
    ('{ q_a @d("a\\\\") q_b }', {"q_a": A(), "q_b": ("b", {})}),
    ('{ q_a @d(x: """a)""") q_b }', {"q_a": A(), "q_b": ("b", {})}),
    ('{ q_a { b(x: "}") c # }\n } q_b }', {"q_a": A(), "q_b": ("b", {})}),
    ("{ q_a { ( ] } q_b }", {"q_a": A(), "q_b": ("b", {})}),
    ('{ q_a { b(x: "\n") } }', {"q_a": A()}),
    ('{ q_a @d("abc) }', "unterminated GraphQL string literal"),
    ("{ q_a { b }", "unterminated GraphQL selection set"),
    ("{ q_a { b ", "unterminated GraphQL balanced block: {"),
    ("{ q_a @d(x: 1 }", "unterminated GraphQL balanced block: ("),
    # Directives are passed over without effect.
    ("{ q_a @ skip ( if: true ) @include q_b }", {"q_a": A(), "q_b": ("b", {})}),
    ("{ q_a @skip(if: true) }", {"q_a": A()}),
    ("{ q_a(x: 1) @d @e(y: 2) { b } }", {"q_a": A(x=1)}),
    ("{ q_a @# note\nd }", {"q_a": A()}),
    ("{ q_a @(x) }", "expected GraphQL name, found ("),
    ("{ q_a @ }", "expected GraphQL name, found }"),
]

V = '{"v": null, "n": 5, "deep": {"a": [1, {"b": "c"}]}}'

VALUES = [
    ('{ q_a(x: "caf\\u00e9", y: "é", z: "\\ud83d\\ude00") }', {"q_a": A(x="café", y="é", z="😀")}),
    ('{ q_a(x: "\\"\\\\\\/\\b\\f\\n\\r\\t") }', {"q_a": A(x='"\\/\b\f\n\r\t')}),
    ('{ q_a(x: "a\tb") }', Prefix("invalid GraphQL string literal: ")),
    ('{ q_a(x: "a\nb") }', Prefix("invalid GraphQL string literal: ")),
    ('{ q_a(x: "\\x") }', Prefix("invalid GraphQL string literal: ")),
    ('{ q_a(x: "\\ud83d") }', Prefix("invalid GraphQL string literal: ")),
    ('{ q_a(x: "abc', "unterminated GraphQL string literal"),
    ('{ q_a(x: "abc\\") }', "unterminated GraphQL string literal"),
    ('{ q_a(x: "abc\\', "unterminated GraphQL string literal"),
    ('{ q_a(x: """abc""") }', 'expected GraphQL name, found "'),
    ("{ q_a(a: 0, b: -0, c: -12, d: 3.25, e: 6.02E+23, f: 1e5) }", {"q_a": A(a=0, b=0, c=-12, d=3.25, e=6.02e23, f=1e5)}),
    (
        "{ q_a(x: [18446744073709551615 18446744073709551616 -9223372036854775808 -9223372036854775809]) }",
        {"q_a": A(x=[2**64 - 1, float(2**64), -(2**63), -float(2**63)])},
    ),
    ("{ q_a(x: [12abc]) }", {"q_a": A(x=[12, "abc"])}),
    ("{ q_a(x: [1.2.3]) }", "unexpected character in GraphQL argument value: ."),
    *[(f"{{ q_a(x: {n}) }}", Prefix("invalid GraphQL number literal: ")) for n in ["01", "1.", "1e", "-", "-x", "-.5", "1e400"]],
    ("{ q_a(x: +1) }", "unexpected character in GraphQL argument value: +"),
    ("{ q_a(x: .5) }", "unexpected character in GraphQL argument value: ."),
    ("{ q_a(x: @) }", "unexpected character in GraphQL argument value: @"),
    ("{ q_a(x: ) }", "unexpected character in GraphQL argument value: )"),
    ("{ q_a(x: é) }", "unexpected character in GraphQL argument value: Ã"),
    ("{ q_a(x:", "unexpected end of GraphQL argument value"),
    (
        "{ q_a(a: true, b: false, c: null, d: True, e: NULL, f: nullable, g: ASC, h: _x) }",
        {"q_a": A(a=True, b=False, c=None, d="True", e="NULL", f="nullable", g="ASC", h="_x")},
    ),
    ('{ q_a(a: [], b: {}, c: [1 "a" true null [2]], d: [1,,2,], e: [[[[1]]]]) }',
     {"q_a": A(a=[], b={}, c=[1, "a", True, None, [2]], d=[1, 2], e=[[[[1]]]])}),
    ("{ q_a(x: {b: 1, a: 2, b: 3}, y: {a: {b: [1, {c: null}]}}) }", {"q_a": A(x={"a": 2, "b": 3}, y={"a": {"b": [1, {"c": None}]}})}),
    ("{ q_a(x: [1", "unexpected end of GraphQL argument value"),
    ("{ q_a(x: [1 }) }", "unexpected character in GraphQL argument value: }"),
    ('{ q_a(x: {"a": 1}) }', 'expected GraphQL name, found "'),
    ("{ q_a(x: {a 1}) }", "expected :, found 1"),
    ("{ q_a(x: {a: 1", "expected GraphQL name, found end of input"),
    ("{ q_a(x: 1, x: 2, true: 3) }", {"q_a": A(x=2, true=3)}),
    ("{ q_a() }", {"q_a": A()}),
    ("{ q_a(x 1) }", "expected :, found 1"),
    ("{ q_a(x: 1 }", "expected GraphQL name, found }"),
    ("{ q_a(", "expected GraphQL name, found end of input"),
]

VARIABLES = [
    ("{ q_a(a: $v, b: $ n, c: $#c\nn, d: $deep, e: [$n $v]) }", V, {"q_a": A(a=None, b=5, c=5, d={"a": [1, {"b": "c"}]}, e=[5, None])}),
    ("{ q_a(x: $w) }", V, "missing GraphQL variable: $w"),
    ("{ q_a(x: $N) }", V, "missing GraphQL variable: $N"),
    ("{ q_a(x: $1) }", V, "expected GraphQL name, found 1"),
    ("{ q_a(x: $", V, "expected GraphQL name, found end of input"),
    ("query Q($v: Int = 3) { q_a(n: $v) }", "{}", "missing GraphQL variable: $v"),
    ("query Q($v: Int = 3) { q_a(n: $v) }", None, "missing GraphQL variable: $v"),
    ("query($n: Int) { q_a(x: $n) }", V, {"q_a": A(x=5)}),
    # Unused variables may hold anything; blank texts mean "no variables".
    ("{ q_a }", None, {"q_a": A()}),
    ("{ q_a }", "", {"q_a": A()}),
    ("{ q_a }", " \n\t\u00a0\u3000", {"q_a": A()}),
    ("{ q_a(x: $v) }", " \n {\"v\": [1]} \r\n", {"q_a": A(x=[1])}),
    ("{ q_a(x: $v) }", '{"v": 1, "v": 2}', {"q_a": A(x=2)}),
    *[("{ q_a }", text, "variables_json must decode to a JSON object") for text in ["[1]", "1", "null", '"s"']],
    *[("{ q_a }", text, Prefix("invalid variables JSON: ")) for text in ["{", "{'a': 1}", "{} x", "\u00a0{}", "[" * 128 + "]" * 128]],
]

OPERATIONS = [
    *[(q, {"q_a": A()}) for q in ["{ q_a }", "query { q_a }", "mutation { q_a }", "subscription { q_a }", "query Q { q_a }",
                                   '# hi\n{ q_a }', 'query Q($v: Int = 3, $w: [String!]! = ["a)"]) @d @e(x: 1) { q_a }',
                                   "{ q_a { ...F } }", "{ q_a } anything at all", "{ q_a } query B { q_b }", "{ q_a } }}}"]],
    ("{ x: q_a(x: 1) { c d } y : q_b }", {"x": A(x=1), "y": ("b", {})}),
    ("{ q_a b:q_c }", {"q_a": A(), "b": ("c", {})}),
    ("{ q_a(x:1)q_b }", {"q_a": A(x=1), "q_b": ("b", {})}),
    ("{ q_b: q_a q_a: q_b }", {"q_b": A(), "q_a": ("b", {})}),
    ("{ q_a(x: 1) q_a(x: 2) }", {"q_a": A(x=2)}),
    ("{}", "GraphQL query must select at least one top-level field"),
    ("query {}", "GraphQL query must select at least one top-level field"),
    ("{ ...F }", "GraphQL fragments are not supported by quorvel yet"),
    ("{ ... on T { q_a } }", "GraphQL fragments are not supported by quorvel yet"),
    ("{ q_a ...F }", "GraphQL fragments are not supported by quorvel yet"),
    ("fragment F on T { a }", "unsupported GraphQL operation: fragment"),
    ("Query { q_a }", "unsupported GraphQL operation: Query"),
    ("queryQ { q_a }", "unsupported GraphQL operation: queryQ"),
    ("q_a", "unsupported GraphQL operation: q_a"),
    ("( q_a )", "expected GraphQL name, found ("),
    (",,,", "expected GraphQL name, found end of input"),
    ("query", "expected {, found end of input"),
    ("query Q q_a", "expected {, found q"),
    ("query 1 { q_a }", "expected {, found 1"),
    ("query Q ( { q_a }", "unterminated GraphQL balanced block: ("),
    ("query Q @ { q_a }", "expected GraphQL name, found {"),
    ("{ q_a", "unterminated GraphQL selection set"),
    ("{ q_a: }", "expected GraphQL name, found }"),
]


@pytest.mark.parametrize("query, expected", LEXICAL + VALUES + OPERATIONS)
def test_query_parsing(host, query, expected):
    check(host, query, None, expected)


@pytest.mark.parametrize("query, variables, expected", VARIABLES)
def test_variables(host, query, variables, expected):
    check(host, query, variables, expected)


@pytest.mark.parametrize("query, calls", [("{ q_a q_a }", 2), ("{ x: q_a x: q_b y: q_a }", 3), ("{ q_a nope }", 0), ("{ q_a(x: $w) }", 0)])
def test_every_selected_tool_field_is_called(host, query, calls):
    before = len(host.requests)
    run(host, query)
    assert len(host.requests) - before == calls
