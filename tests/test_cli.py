"""python -m quorvel_graphql, run as a subprocess."""

from __future__ import annotations

import json
import os
import pathlib
import pty
import re
import signal
import subprocess
import sys
import time
from collections.abc import Iterator

import pytest

from conftest import EXAMPLE_CATALOGUE, placeholder_text
from support.line_tool_server import SCRIPT as LINE_TOOL_SERVER
from support.time_server import time_server_over_http

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def cli(*args: str | bytes, stdin: str | bytes | None = None, **kwargs) -> subprocess.CompletedProcess:
    text = not any(isinstance(a, bytes) for a in (*args, stdin))
    result = subprocess.run([sys.executable, "-m", "quorvel_graphql", *args], input=stdin, capture_output=True,
                            text=text, env=ENV, timeout=120, **kwargs)
    if not text:
        result.stdout, result.stderr = result.stdout.decode(), result.stderr.decode()
    return result


@pytest.fixture(scope="module")
def time_url() -> Iterator[str]:
    """mcp-server-time in this process, shared by the runs that query it: each
    run's own stdio server would be one more process importing the MCP SDK."""
    with time_server_over_http() as url:
        yield url


@pytest.fixture
def files(tmp_path: pathlib.Path, time_url: str) -> pathlib.Path:
    (tmp_path / "broken.json").write_text('[{"server": "a", "name": ')
    (tmp_path / "ghost.json").write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-command-9"}}}))
    (tmp_path / "time.json").write_text(json.dumps({"mcpServers": {"time": {"url": time_url}}}))
    (tmp_path / "latin1.json").write_bytes(b'[{"server": "caf\xe9", "name": "t"}]')
    (tmp_path / "sleepy.py").write_text(SLEEPY_SERVER)
    (tmp_path / "sleepy.json").write_text(json.dumps({"servers": {"sleepy": {
        "command": sys.executable, "args": ["sleepy.py", str(tmp_path / "started")], "cwd": "."}}}))
    return tmp_path


# Named relative to the config's folder ("cwd": "."); the hand-written
# server, whose call sleeps, needs no SDK import of its own.
SLEEPY_SERVER = f"""
import runpy, sys
sys.argv[1:] = ["--nap", sys.argv[1]]
runpy.run_path({str(LINE_TOOL_SERVER)!r}, run_name="__main__")
"""


@pytest.mark.parametrize(
    "args, status, message",
    [
        (("--catalogue", "{dir}/absent.json", "{ servers }"), 2, "cannot read catalogue {dir}/absent.json"),
        (("--catalogue", "{dir}/broken.json", "{ servers }"), 2, "invalid catalogue JSON: "),
        (("--variables", "{oops", "{ servers }"), 2, "--variables is not valid JSON"),
        (("--servers", "{dir}/broken.json", "{ servers }"), 2, "is not valid JSON"),
        (("--servers", "{dir}/ghost.json", "{ servers }"), 3,
         "MCP server 'ghost' failed to start: command not found: no-such-mcp-command-9"),
        (("{ servers }",), 2, "give --catalogue FILE (placeholder answers) or --servers CONFIG"),
        (("--catalogue", "{dir}/latin1.json", "{ servers }"), 2, "is not valid UTF-8"),
        (("--servers", "{dir}/latin1.json", "{ servers }"), 2, "is not UTF-8 text"),
        (("--catalogue", "{dir}/broken.json", b"{ caf\xe9 }"), 2, "QUERY is not valid UTF-8"),
        (("--catalogue", "{dir}/broken.json", "--variables", b'{"a": "\xff"}', "{ x }"), 2,
         "--variables is not valid UTF-8"),
        (("--servers", "{dir}/ghost.json", "--time-limit", "inf", "{ servers }"), 2,
         "must be a positive, finite number of seconds, not 'inf'"),
        (("--servers", "{dir}/ghost.json", "--time-limit", "nan", "{ servers }"), 2, "not 'nan'"),
        (("--servers", "{dir}/ghost.json", "--startup-timeout", "0", "{ servers }"), 2, "not '0'"),
    ],
    ids=["missing-file", "bad-catalogue", "bad-variables", "bad-config", "server-start", "no-source",
         "catalogue-utf-8", "config-utf-8", "query-utf-8", "variables-utf-8", "limit-inf", "limit-nan",
         "startup-zero"],
)
def test_input_problems_give_one_line_and_a_status(files, args, status, message):
    result = cli(*(a.replace("{dir}", str(files)) if isinstance(a, str) else a for a in args))
    assert result.returncode == status and result.stdout == ""
    assert message.replace("{dir}", str(files)) in result.stderr and result.stderr.count("\n") == 1 and "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "args, query, stdin, status",
    [((), "{ servers { name } clock_now { text } }", None, 0),
     ((), "-", "{ servers { name } nope }", 1),
     (("--raw",), "{ servers clock_now }", None, 0),
     (("--raw",), "-", "{ servers nope }", 1)],
    ids=["placeholders", "errors-from-stdin", "raw-placeholders", "raw-errors"],
)
def test_catalogue_queries_print_the_compact_document(args, query, stdin, status):
    result = cli("--catalogue", str(EXAMPLE_CATALOGUE), *args, query, stdin=stdin)
    assert result.returncode == status
    document = json.loads(result.stdout)
    assert result.stdout == json.dumps(document, separators=(",", ":"), ensure_ascii=False) + "\n"
    raw = bool(args)
    if status == 0 and raw:
        assert document["data"]["clock_now"]["text"] == placeholder_text("clock", "now")
    elif status == 0:
        # A placeholder is a failed tool call in standard GraphQL, not a failure of the run.
        assert document["data"]["clock_now"] is None and document["errors"][0]["path"] == ["clock_now"]
        assert document["errors"][0]["extensions"]["text"] == placeholder_text("clock", "now")
    elif raw:
        assert document == {"data": None, "errors": [{"message": "unknown GraphQL field: nope"}]}
    else:
        assert document == {"errors": [{"message": 'Cannot query field "nope" on type "Query".',
                                        "locations": [{"line": 1, "column": 20}],
                                        "extensions": {"code": "GRAPHQL_VALIDATION_FAILED"}}]}


@pytest.mark.parametrize(
    ("args", "status", "expected"),
    [
        (("--operation-name", "B"), 0, {"data": {"__typename": "Query"}}),
        (("--operation-name", "C"), 1, 'Unknown operation named "C".'),
        ((), 1, "Must provide operation name if query contains multiple operations."),
        (("--raw", "--operation-name", "B"), 2, "--operation-name needs standard GraphQL"),
    ],
)
def test_operation_name_picks_one_of_several(args, status, expected):
    result = cli("--catalogue", str(EXAMPLE_CATALOGUE), *args, "query A { servers { name } } query B { __typename }")
    assert result.returncode == status, result.stderr
    if status == 2:
        assert expected in result.stderr and result.stdout == ""
    elif status == 0:
        assert json.loads(result.stdout) == expected
    else:
        assert json.loads(result.stdout) == {"errors": [{"message": expected,
                                                         "extensions": {"code": "OPERATION_RESOLUTION_FAILURE"}}]}


def test_servers_answer_through_the_adapter_and_a_terminal_gets_pretty_output(files):
    leader, follower = pty.openpty()
    try:
        process = subprocess.run(
            [sys.executable, "-m", "quorvel_graphql", "--servers", str(files / "time.json"), "--variables",
             '{"z": "Asia/Tokyo"}', "query($z: String!) { t: time_get_current_time(timezone: $z) { timezone } }"],
            stdout=follower, stderr=subprocess.DEVNULL, env=ENV, timeout=120)
        os.close(follower)
        output = b"".join(iter(lambda: _read(leader), b""))
    finally:
        os.close(leader)
    text = output.decode().replace("\r\n", "\n")
    assert process.returncode == 0 and text.startswith('{\n  "data": {\n')
    assert json.loads(text)["data"]["t"] == {"timezone": "Asia/Tokyo"}


def test_failed_tool_fields_give_status_4_and_stdin_must_be_utf8(files):
    failed = cli("--servers", str(files / "time.json"),
                 '{ t: time_get_current_time(timezone: "Nowhere/Nothing") { timezone } }')
    document = json.loads(failed.stdout)
    assert failed.returncode == 4 and document["data"] == {"t": None}
    assert document["errors"][0]["path"] == ["t"] and document["errors"][0]["extensions"]["code"] == "TOOL_ERROR"
    raw = cli("--servers", str(files / "time.json"), "--raw", '{ t: time_get_current_time(timezone: "Nowhere/Nothing") }')
    assert raw.returncode == 4 and json.loads(raw.stdout)["data"]["t"]["isError"] is True
    garbled = cli("--catalogue", str(EXAMPLE_CATALOGUE), "-", stdin=b"{ servers \xff }")
    assert garbled.returncode == 2 and "the query on stdin is not valid UTF-8" in garbled.stderr


def test_ctrl_c_cancels_a_running_query_and_ends_the_servers(files):
    started = files / "started"
    process = subprocess.Popen([sys.executable, "-m", "quorvel_graphql", "--servers", str(files / "sleepy.json"),
                                "{ sleepy_ping { __typename } }"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV)
    try:
        deadline = time.monotonic() + 60
        while not started.exists() and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.05)
        assert started.exists(), process.stderr.read() if process.poll() is not None else "tool never started"
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 130 and stdout == "" and "Traceback" not in stderr


@pytest.mark.parametrize(
    ("args", "result_line"),
    [((), "): TimeGetCurrentTimeResult"), (("--raw",), "): JSON @readOnly")],
)
def test_schema_lists_typed_fields(files, args, result_line):
    result = cli("--servers", str(files / "time.json"), "--schema", *args)
    assert result.returncode == 0, result.stderr
    # The field's lines without the descriptions between them.
    bare = re.sub(r'"""[\s\S]*?"""|"[^"\n]*"', "", result.stdout)
    lines = [line.strip() for line in bare.splitlines() if line.strip()]
    start = lines.index("time_get_current_time(")
    assert lines[start:start + 3] == ["time_get_current_time(", "timezone: String!", result_line]


def _read(fd: int) -> bytes:
    try:
        return os.read(fd, 65536)
    except OSError:  # the terminal reports EIO once the writer has closed it
        return b""
