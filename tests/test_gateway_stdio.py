"""The stdio front with raw JSON-RPC lines: every request with an id gets an
answer, an oversize line is refused, and the gateway keeps serving."""

from __future__ import annotations

import json
import queue
import subprocess
import threading
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("mcp")

from conftest import EXAMPLE_CATALOGUE  # noqa: E402
from support.gateway import STOP_TIMEOUT, child_env, gateway_command  # noqa: E402

from quorvel_graphql.gateway.stdio import MAX_LINE, OVERSIZE, screen_line  # noqa: E402

ANSWER_TIMEOUT = 120.0  # a guard: an answer normally comes in milliseconds
INITIALIZE = {"jsonrpc": "2.0", "id": 0, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "raw", "version": "1"}}}


def graphql_call(request_id: Any, query: str, variables: Any = None) -> dict[str, Any]:
    arguments = {"query": query} if variables is None else {"query": query, "variables": variables}
    return {"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
            "params": {"name": "graphql", "arguments": arguments}}


def deep_line(request_id: Any, method: str, depth: int) -> bytes:
    """A request whose params nest ``depth`` arrays deep, too deep for
    json.dumps to write; the id comes last, after the nesting."""
    arrays = "[" * depth + "]" * depth
    params = ('{"name":"graphql","arguments":{"query":"{ servers { name } }","variables":{"v":' + arrays + "}}}"
              if method == "tools/call" else '{"_meta":{"deep":' + arrays + "}}")
    return f'{{"jsonrpc":"2.0","method":"{method}","params":{params},"id":{json.dumps(request_id)}}}'.encode()


def nested(depth: int) -> dict[str, Any]:
    value: dict[str, Any] = {"leaf": 1}
    for _ in range(depth):
        value = {"n": value}
    return value


class StdioGateway:
    def __init__(self, process: subprocess.Popen[bytes]) -> None:
        self.process = process
        self.lines: queue.Queue[bytes] = queue.Queue()
        self.reader = threading.Thread(target=lambda: [self.lines.put(line) for line in process.stdout],  # type: ignore[union-attr]
                                       daemon=True)
        self.reader.start()

    def send(self, line: bytes) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(line + b"\n")
        self.process.stdin.flush()

    def answer(self) -> Any:
        return json.loads(self.lines.get(timeout=ANSWER_TIMEOUT))


@pytest.fixture(scope="module")
def gateway() -> Iterator[StdioGateway]:
    process = subprocess.Popen(gateway_command("--catalogue", str(EXAMPLE_CATALOGUE), "--raw"), env=child_env(),
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    running = StdioGateway(process)
    try:
        running.send(json.dumps(INITIALIZE).encode())
        assert running.answer()["id"] == 0
        running.send(b'{"jsonrpc":"2.0","method":"notifications/initialized"}')
        yield running
    finally:
        assert process.stdin is not None
        process.stdin.close()
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)
            raise
        finally:
            running.reader.join(STOP_TIMEOUT)
            assert process.stdout is not None
            process.stdout.close()


@pytest.mark.parametrize(
    ("line", "request_id", "expected"),
    [
        # Requests the SDK's reader drops: the engine's answer, as over HTTP.
        (rb'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"graphql",'
         rb'"arguments":{"query":"{ servers \ud800 }"}}}', 1, "lone surrogate"),
        (json.dumps(graphql_call(2, "{ servers }", nested(300))).encode(), 2, "invalid variables JSON"),
        # Not JSON-RPC 2.0: an error with the request's id.
        (b'{"id":3,"method":"tools/list","params":{}}', 3, -32600),
        (b'{"jsonrpc":"1.0","id":"four","method":"tools/list"}', "four", -32600),
        (b'{"jsonrpc":"2.0","id":5,"method":"tools/call","params":"x"}', 5, -32600),
        (b'{"jsonrpc":"2.0","id":{"a":1},"method":"tools/list"}', None, -32600),
        (b'{"jsonrpc":"2.0","id":7,', None, -32700),
        # Deeper than the standard library reads before 3.13 (which reads
        # them and answers as usual): either way the id is answered.
        (deep_line(12, "ping", 1000), 12, None),
        (deep_line("deep", "tools/call", 5000), "deep", None),
    ],
)
def test_every_request_with_an_id_is_answered(gateway: StdioGateway, line: bytes, request_id: Any,
                                              expected: str | int | None) -> None:
    gateway.send(line)
    answer = gateway.answer()
    assert answer["id"] == request_id
    if expected is None:
        assert "result" in answer or answer["error"]["code"] == -32600
    elif isinstance(expected, int):
        assert answer["error"]["code"] == expected and answer["error"]["message"]
    else:
        assert answer["result"]["isError"] is True and expected in answer["result"]["content"][0]["text"]


def test_a_batch_gets_one_error_per_request(gateway: StdioGateway) -> None:
    gateway.send(b'[{"jsonrpc":"2.0","id":8,"method":"tools/list"},{"jsonrpc":"2.0","method":"x"},'
                 b'{"jsonrpc":"2.0","id":9,"method":"tools/list"}]')
    answers = gateway.answer()
    assert [a["id"] for a in answers] == [8, 9] and all(a["error"]["code"] == -32600 for a in answers)


def test_an_oversize_line_is_refused_and_the_gateway_serves_on(gateway: StdioGateway) -> None:
    request = graphql_call(10, "{ servers { name } }", {"pad": "x" * (MAX_LINE + 1024)})
    gateway.send(json.dumps(request).encode())
    refusal = gateway.answer()
    assert refusal["id"] is None and "longer than the limit" in refusal["error"]["message"]
    gateway.send(json.dumps(graphql_call(11, "{ servers { name } }")).encode())
    answer = gateway.answer()
    assert answer["id"] == 11 and not answer["result"]["isError"]


@pytest.mark.parametrize(("text", "request_id"), [
    ('{"a":"x\\"id\\":1","id":2}', 2),  # "id" inside a string is no member
    ('{"x":{"id":1},"id":"top"}', "top"),  # nor is one of a nested object
    ('{"ids":1, "id" : 4}', 4),
    ('[{"id":1}]', None),
    ('{"id":{"a":1}}', None),
    ('x{"id":1}', None),
])
def test_the_id_of_a_message_is_read_without_recursion(text: str, request_id: Any) -> None:
    from quorvel_graphql.gateway.stdio import top_level_id

    assert top_level_id(text) == request_id


@pytest.mark.parametrize("line", ["", "   \n", '{"jsonrpc":"2.0","method":"x","params":"bad"}'])
def test_lines_that_need_no_answer_get_none(line: str) -> None:
    assert screen_line(line) == (None, None)


def test_the_oversize_marker_is_not_taken_for_a_line_with_the_same_text() -> None:
    copy = "".join(OVERSIZE)
    assert copy == OVERSIZE and copy is not OVERSIZE
    message, answer = screen_line(copy)
    assert "not JSON" in json.loads(answer or "{}")["error"]["message"]
