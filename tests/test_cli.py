"""python -m quorvel_graphql, run as a subprocess."""

from __future__ import annotations

import json
import os
import pathlib
import pty
import signal
import subprocess
import sys
import time

import pytest

from conftest import EXAMPLE_CATALOGUE, placeholder_text

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def cli(*args: str | bytes, stdin: str | bytes | None = None, **kwargs) -> subprocess.CompletedProcess:
    text = not any(isinstance(a, bytes) for a in (*args, stdin))
    result = subprocess.run([sys.executable, "-m", "quorvel_graphql", *args], input=stdin, capture_output=True,
                            text=text, env=ENV, timeout=120, **kwargs)
    if not text:
        result.stdout, result.stderr = result.stdout.decode(), result.stderr.decode()
    return result


@pytest.fixture
def files(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "broken.json").write_text('[{"server": "a", "name": ')
    (tmp_path / "ghost.json").write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-command-9"}}}))
    (tmp_path / "time.json").write_text(json.dumps({"mcpServers": {"time": {
        "command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]}}}))
    (tmp_path / "latin1.json").write_bytes(b'[{"server": "caf\xe9", "name": "t"}]')
    (tmp_path / "sleepy.py").write_text(SLEEPY_SERVER)
    (tmp_path / "sleepy.json").write_text(json.dumps({"servers": {"sleepy": {
        "command": sys.executable, "args": ["sleepy.py", str(tmp_path / "started")], "cwd": "."}}}))
    return tmp_path


SLEEPY_SERVER = """
import pathlib, sys, time
try:
    from mcp.server.mcpserver import MCPServer as Server
except ImportError:
    from mcp.server.fastmcp import FastMCP as Server
app = Server("sleepy")

@app.tool()
def nap() -> str:
    pathlib.Path(sys.argv[1]).write_text("started")
    time.sleep(60)
    return "woke"

app.run()
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
    "query, stdin, status",
    [("{ servers { name } clock_now }", None, 0), ("-", "{ servers nope }", 1)],
    ids=["placeholders", "errors-from-stdin"],
)
def test_catalogue_queries_print_the_compact_document(query, stdin, status):
    result = cli("--catalogue", str(EXAMPLE_CATALOGUE), query, stdin=stdin)
    assert result.returncode == status
    document = json.loads(result.stdout)
    assert result.stdout == json.dumps(document, separators=(",", ":"), ensure_ascii=False) + "\n"
    if status == 0:
        assert document["data"]["clock_now"]["text"] == placeholder_text("clock", "now")
    else:
        assert document == {"data": None, "errors": [{"message": "unknown GraphQL field: nope"}]}


def test_servers_answer_through_the_adapter_and_a_terminal_gets_pretty_output(files):
    leader, follower = pty.openpty()
    try:
        process = subprocess.run(
            [sys.executable, "-m", "quorvel_graphql", "--servers", str(files / "time.json"), "--variables",
             '{"z": "Asia/Tokyo"}', "query($z: String!) { t: time_get_current_time(timezone: $z) }"],
            stdout=follower, stderr=subprocess.DEVNULL, env=ENV, timeout=120)
        os.close(follower)
        output = b"".join(iter(lambda: _read(leader), b""))
    finally:
        os.close(leader)
    text = output.decode().replace("\r\n", "\n")
    assert process.returncode == 0 and text.startswith('{\n  "data": {\n')
    assert json.loads(json.loads(text)["data"]["t"]["content"][0]["text"])["timezone"] == "Asia/Tokyo"


def test_failed_tool_fields_give_status_4_and_stdin_must_be_utf8(files):
    failed = cli("--servers", str(files / "time.json"), '{ t: time_get_current_time(timezone: "Nowhere/Nothing") }')
    assert failed.returncode == 4 and json.loads(failed.stdout)["data"]["t"]["isError"] is True
    garbled = cli("--catalogue", str(EXAMPLE_CATALOGUE), "-", stdin=b"{ servers \xff }")
    assert garbled.returncode == 2 and "the query on stdin is not valid UTF-8" in garbled.stderr


def test_ctrl_c_cancels_a_running_query_and_ends_the_servers(files):
    started = files / "started"
    process = subprocess.Popen([sys.executable, "-m", "quorvel_graphql", "--servers", str(files / "sleepy.json"),
                                "{ sleepy_nap }"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV)
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


def test_schema_lists_typed_fields(files):
    result = cli("--servers", str(files / "time.json"), "--schema")
    assert result.returncode == 0, result.stderr
    # The field's lines without the descriptions between them.
    lines = [line.strip() for line in result.stdout.splitlines() if not line.strip().startswith('"')]
    start = lines.index("time_get_current_time(")
    assert lines[start:start + 3] == ["time_get_current_time(", "timezone: String!", "): JSON @readOnly"]


def _read(fd: int) -> bytes:
    try:
        return os.read(fd, 65536)
    except OSError:  # the terminal reports EIO once the writer has closed it
        return b""
