"""python -m quorvel_graphql, run as a subprocess."""

from __future__ import annotations

import json
import os
import pathlib
import pty
import subprocess
import sys

import pytest

from conftest import EXAMPLE_CATALOGUE, placeholder_text

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def cli(*args: str, stdin: str | None = None, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quorvel_graphql", *args], input=stdin, capture_output=True,
                          text=True, env=ENV, timeout=120, **kwargs)


@pytest.fixture
def files(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "broken.json").write_text('[{"server": "a", "name": ')
    (tmp_path / "ghost.json").write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-command-9"}}}))
    (tmp_path / "time.json").write_text(json.dumps({"mcpServers": {"time": {
        "command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]}}}))
    return tmp_path


@pytest.mark.parametrize(
    "args, status, message",
    [
        (("--catalogue", "{dir}/absent.json", "{ servers }"), 2, "cannot read catalogue {dir}/absent.json"),
        (("--catalogue", "{dir}/broken.json", "{ servers }"), 2, "invalid catalogue JSON: "),
        (("--variables", "{oops", "{ servers }"), 2, "--variables is not valid JSON"),
        (("--servers", "{dir}/broken.json", "{ servers }"), 2, "is not valid JSON"),
        (("--servers", "{dir}/ghost.json", "{ servers }"), 3,
         "MCP server 'ghost' failed to start: command not found: no-such-mcp-command-9"),
    ],
    ids=["missing-file", "bad-catalogue", "bad-variables", "bad-config", "server-start"],
)
def test_input_problems_give_one_line_and_a_status(files, args, status, message):
    result = cli(*(a.replace("{dir}", str(files)) for a in args))
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


def _read(fd: int) -> bytes:
    try:
        return os.read(fd, 65536)
    except OSError:  # the terminal reports EIO once the writer has closed it
        return b""
