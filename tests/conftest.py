"""Shared helpers for the _graphql tests.

Anything that can block in ``execute`` runs it in a daemon thread joined with
a timeout, so a hang fails the test instead of freezing the run.
"""

from __future__ import annotations

import gc
import json
import os
import pathlib
import signal
import subprocess
import threading
from typing import Any, Callable, Optional

import pytest
from hypothesis import settings

import _graphql
from support.contract import PLACEHOLDER, placeholder_text  # noqa: F401  (re-exported for the tests)
from support.proc import threads_named

EXAMPLE_CATALOGUE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "catalogue.json"

# The worked example of the catalogue format: servers "files" and "notes".
WORKED_EXAMPLE = json.dumps(
    [
        {
            "server": "files",
            "serverDescription": "Local files",
            "tools": [
                {"name": "read_file", "description": "Read a file", "annotations": {"readOnlyHint": True}},
                {"tool_name": "write file", "readOnly": False},
            ],
        },
        {"server_id": "notes", "name": "list"},
    ]
)

JOIN_TIMEOUT = 20.0

# The README's command runs every test in a short form, so that the whole
# suite takes about a minute; HYPOTHESIS_PROFILE=ci (which .ci/run sets)
# selects the long forms: many more generated cases, longer stress runs.
# No deadline in either: this machine is shared, and a slow example is not a wrong one.
settings.register_profile("default", max_examples=40, deadline=None)
settings.register_profile("ci", max_examples=400, deadline=None, print_blob=True)
PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "default")
settings.load_profile(PROFILE)
# How long the stress tests keep their threads racing.
STRESS_SECONDS = 4.0 if PROFILE == "ci" else 1.0


def examples(long_form: int) -> int:
    """Generated cases for a test that names its own count: that count in
    the long form, a fifth of it (at least 20) in the README's short form."""
    return long_form if PROFILE == "ci" else max(20, long_form // 5)


def pytest_configure(config: pytest.Config) -> None:
    # A suite started from a background shell inherits SIGINT ignored, and an
    # ignored signal stays ignored across exec: the children that tests
    # interrupt would never see their Ctrl-C.  A caught signal is reset to
    # the default at exec, so catching it here gives every child the default.
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def engine_threads() -> int:
    """Threads of this process named like the engines' workers."""
    return threads_named("quorvel-graphql")


def git_repo(path: pathlib.Path, subject: str) -> pathlib.Path:
    """A new git repository at ``path`` with one committed file, for the git tool server."""
    path.mkdir()
    git = ["git", "-C", str(path), "-c", "user.name=Test", "-c", "user.email=test@example.org"]
    subprocess.run(["git", "init", "-q", str(path)], check=True)
    (path / "notes.txt").write_text("hello\n")
    subprocess.run([*git, "add", "notes.txt"], check=True)
    subprocess.run([*git, "commit", "-qm", subject], check=True)
    return path


def catalogue(*tools: tuple[str, str] | tuple[str, str, bool]) -> str:
    """Catalogue text of (server, tool[, read_only]) triples."""
    entries = []
    for tool in tools:
        entry: dict[str, Any] = {"server": tool[0], "name": tool[1]}
        if len(tool) > 2:
            entry["readOnly"] = tool[2]
        entries.append(entry)
    return json.dumps(entries)


class Background:
    """Runs ``fn`` on a daemon thread; ``result()`` joins with a timeout and
    fails the test if the call hangs, or raises what the call raised."""

    def __init__(self, fn: Callable[..., Any], *args: Any):
        self.outcome: dict[str, Any] = {}
        self.thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self.thread.start()

    def _run(self, fn: Callable[..., Any], args: tuple) -> None:
        try:
            self.outcome["value"] = fn(*args)
        except BaseException as error:  # surfaced in the test thread
            self.outcome["error"] = error

    def result(self, timeout: float = JOIN_TIMEOUT) -> Any:
        self.thread.join(timeout)
        assert not self.thread.is_alive(), f"call did not return within {timeout} s"
        if "error" in self.outcome:
            raise self.outcome["error"]
        return self.outcome["value"]


def call_in_thread(fn: Callable[[], Any], timeout: float = JOIN_TIMEOUT) -> Any:
    """Runs ``fn()`` on a daemon thread and fails the test if it hangs."""
    return Background(fn).result(timeout)


def execute_in_thread(
    engine: _graphql.SchemaEngine,
    query: str,
    variables_json: Optional[str] = None,
    timeout: float = JOIN_TIMEOUT,
) -> str:
    """Runs ``execute`` on a daemon thread and fails the test if it hangs."""
    return Background(engine.execute, query, variables_json).result(timeout)


class Host:
    """Serves an engine's bridge from a daemon thread.

    ``handler(request) -> (kind, payload)`` where kind is "respond" (payload
    is the result text), "fail" (payload is the message) or "ignore".
    """

    def __init__(self, engine: _graphql.SchemaEngine, handler: Callable[[dict], tuple[str, str]]):
        self.engine = engine
        self.handler = handler
        self.requests: list[dict] = []
        self.raw: list[str] = []
        self.answers: list[bool] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self) -> None:
        while not self._stop.is_set():
            text = self.engine.receive_tool_call(20)
            if text is None:
                continue
            request = json.loads(text)
            self.raw.append(text)
            self.requests.append(request)
            kind, payload = self.handler(request)
            if kind == "respond":
                self.answers.append(self.engine.respond_tool_call(request["request_id"], payload))
            elif kind == "fail":
                self.answers.append(self.engine.fail_tool_call(request["request_id"], payload))

    def __enter__(self) -> "Host":
        self.engine.attach_call_bridge()
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.engine.detach_call_bridge()
        self._stop.set()
        self._thread.join(JOIN_TIMEOUT)
        assert not self._thread.is_alive(), "host thread did not stop"


def echo_handler(request: dict) -> tuple[str, str]:
    """Answers every call with its own server, tool, arguments and operation."""
    return "respond", json.dumps(
        {
            "server": request["server"],
            "tool": request["tool"],
            "arguments": request["arguments"],
            "operation": request["operation"],
        }
    )


@pytest.fixture
def worked_engine() -> _graphql.SchemaEngine:
    return _graphql.SchemaEngine(WORKED_EXAMPLE)


@pytest.fixture
def example_engine() -> _graphql.SchemaEngine:
    return _graphql.SchemaEngine(EXAMPLE_CATALOGUE.read_text())


@pytest.hookimpl(tryfirst=True)  # before pytest-xdist reads the groups
def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    """Keeps the tests that share a module's fixture on one worker (pytest-xdist's
    loadgroup): a fixture such as a shared gateway would otherwise start once
    per worker.  Every other test goes wherever a worker is free, which evens
    out the workers' ends far better than whole files do."""
    for item in items:
        module = item.nodeid.split("::", 1)[0]
        # pytest shows an item's fixture definitions, with their scopes, only here.
        info = getattr(item, "_fixtureinfo", None)
        definitions = info.name2fixturedefs.values() if info is not None else ()
        if any(d.scope == "module" and d.baseid == module for chain in definitions for d in chain):
            item.add_marker(pytest.mark.xdist_group(module))


def pytest_collection_finish(session: pytest.Session) -> None:
    # What the collection imported and built (the MCP SDK's models, Hypothesis,
    # the test items) lives until the end: freezing it keeps every full garbage
    # collection after this, the tests' own and pytest's at exit, from walking it.
    gc.freeze()


def pytest_xdist_auto_num_workers(config: pytest.Config) -> int:
    """One worker more than the CPUs: a good part of the suite waits on child
    processes (tool servers, gateways) starting and stopping, and the third
    worker runs tests meanwhile."""
    return len(os.sched_getaffinity(0)) + 1
