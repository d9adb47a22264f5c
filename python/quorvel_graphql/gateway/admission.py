"""Deciding, before any tool runs, whether a request may run.

The engine is the only reader of its query language; a second reader in
Python would sooner or later disagree with it (a block string the engine does
not know, a comment it reads differently) and let a tool call through
unseen.  So a request is first run on a *rehearsal engine*: an engine built
from the same catalogue whose call bridge is never attached, so every tool
field it meets gives its placeholder at once.  Its response tells how many
tool calls the real run will make, and how large a response of built-in
fields will be, by the engine's own reading of the query.
"""

from __future__ import annotations

import asyncio
import json
import time
from dataclasses import dataclass
from typing import Any

from _graphql import SchemaEngine

from ..call_server import NOT_STARTED
from ..common import engine_tools
from ..error_codes import ErrorCode
from ..limits import RequestLimits

PLACEHOLDER_SUFFIX = " but CallBridge is not wired yet"
SHUTTING_DOWN = "the gateway is shutting down"
CUT_OFF = "the gateway shut down while this tool call was running: it may have taken effect"
# What a tool field says when a shutdown stopped it, in the host's words and
# in the gateway's: a call that never started reads as not done, and one cut
# off while it ran says that it may have been done.
_NOT_STARTED_TEXT = NOT_STARTED
_CUT_OFF_TEXT = "CallBridge is detached"


class Refusal(Exception):
    """A request turned away before any tool ran; ``status`` is the HTTP
    status that fits (400 for the request itself, 503 for the gateway's load)
    and ``code`` the error's ``extensions.code``."""

    def __init__(self, message: str, status: int = 400, code: ErrorCode = ErrorCode.BAD_REQUEST) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.code = code


def rehearsal_engine(engine: SchemaEngine) -> SchemaEngine:
    """A detached twin of ``engine``, rebuilt from what its built-in fields
    tell about its catalogue (servers, tool names, descriptions, read-only
    flags), so that its fields and field names are the same."""
    document = json.loads(engine.execute("{ servers { name } }"))
    described = {server["name"]: server.get("description", "") for server in document["data"]["servers"]}
    groups: dict[str, dict[str, Any]] = {}
    for tool in engine_tools(engine):
        group = groups.setdefault(tool["server"], {"server": tool["server"], "tools": []})
        if described.get(tool["server"]):
            group["serverDescription"] = described[tool["server"]]
        entry: dict[str, Any] = {"name": tool["tool"], "annotations": {"readOnlyHint": tool["readOnly"]}}
        if tool["description"]:
            entry["description"] = tool["description"]
        group["tools"].append(entry)
    twin = SchemaEngine(json.dumps(list(groups.values())))
    if [t["field"] for t in engine_tools(twin)] != [t["field"] for t in engine_tools(engine)]:
        raise RuntimeError("the rehearsal engine does not name the catalogue's fields as the engine does")
    return twin


@dataclass(frozen=True)
class Rehearsal:
    text: str
    tool_calls: int
    refused: bool  # the engine refused the request as a whole: the real run would too


def rehearse(engine: SchemaEngine, query: str, variables_text: str | None) -> Rehearsal:
    """Runs the request on a rehearsal engine; blocking, but calls no tool."""
    text = engine.execute(query, variables_text)
    data = json.loads(text).get("data")
    if not isinstance(data, dict):
        return Rehearsal(text, 0, True)
    calls = sum(1 for value in data.values() if _is_placeholder(value))
    return Rehearsal(text, calls, False)


def check_document(query: str, limits: RequestLimits) -> None:
    limit = limits.max_document_bytes
    # Each character takes at most four bytes: the exact count only near the limit.
    if limit is not None and len(query) * 4 > limit and len(query.encode("utf-8", "surrogatepass")) > limit:
        raise Refusal(f"the query is larger than the limit of {limit} bytes", code=ErrorCode.QUERY_TOO_LARGE)


def check_rehearsal(rehearsal: Rehearsal, limits: RequestLimits) -> None:
    calls, limit = rehearsal.tool_calls, limits.max_tool_calls
    if limit is not None and calls > limit:
        raise Refusal(f"the query makes {calls} tool calls, more than the limit of {limit} per request; "
                      "split it into smaller queries", code=ErrorCode.TOO_MANY_TOOL_CALLS)
    if limits.max_response_bytes is not None and len(rehearsal.text) > limits.max_response_bytes:
        raise Refusal(response_too_large(limits.max_response_bytes), code=ErrorCode.RESPONSE_TOO_LARGE)


def response_too_large(limit: int) -> str:
    return f"the response would be larger than the limit of {limit} bytes; ask for less in one query"


def _is_placeholder(value: Any) -> bool:
    return (isinstance(value, dict) and value.get("isError") is True
            and isinstance(value.get("text"), str) and value["text"].endswith(PLACEHOLDER_SUFFIX))


def _shutdown_message(text: str) -> str | None:
    """The gateway's words for a host's answer that a shutdown caused, or
    None when ``text`` is not one."""
    if _CUT_OFF_TEXT in text:
        return CUT_OFF
    if _NOT_STARTED_TEXT in text:
        return SHUTTING_DOWN
    return None


def _field_shutdown_message(value: Any) -> str | None:
    if not (isinstance(value, dict) and value.get("isError") is True and isinstance(value.get("text"), str)):
        return None
    if value["text"] in (_CUT_OFF_TEXT, _NOT_STARTED_TEXT):
        return _shutdown_message(value["text"])
    return SHUTTING_DOWN if _is_placeholder(value) else None  # the bridge was gone before it was asked


def mark_shutdown(text: str) -> str:
    """A response finished while the gateway stops: tool fields that got no
    answer because of the shutdown say so in the gateway's words, instead of
    the host's.  A field whose tool answered keeps its answer."""
    if _CUT_OFF_TEXT not in text and _NOT_STARTED_TEXT not in text and PLACEHOLDER_SUFFIX not in text:
        return text
    document = json.loads(text)
    data = document.get("data")
    changed = False
    # A typed answer reports a stopped field as an error with its path.
    for error in document.get("errors") or ():
        if isinstance(error, dict) and error.get("path"):
            message = _shutdown_message(str(error.get("message", "")))
            if message is not None:
                error["message"], changed = message, True
                extensions = error.get("extensions")
                if isinstance(extensions, dict) and isinstance(extensions.get("text"), str):
                    extensions["text"] = message
    for key, value in data.items() if isinstance(data, dict) else ():
        message = _field_shutdown_message(value)
        if message is not None:
            data[key], changed = {"isError": True, "json": None, "text": message}, True
    return json.dumps(document, ensure_ascii=False, separators=(",", ":")) if changed else text


class CallBudget:
    """The tool calls a gateway lets run or wait at once, over all requests.

    A request reserves all of its calls before it starts, so it never holds
    part of the budget while waiting for the rest; requests are served first
    come, first served, and one that cannot get its share within ``wait``
    seconds is refused rather than left waiting."""

    def __init__(self, capacity: int | None) -> None:
        self.capacity = capacity
        self.in_use = 0
        self._queue: list[tuple[int, asyncio.Future[None]]] = []

    async def reserve(self, calls: int, wait: float | None) -> None:
        if self.capacity is None or calls == 0:
            return
        if calls > self.capacity:
            raise Refusal(f"the query makes {calls} tool calls, more than this gateway runs at once "
                          f"({self.capacity})", code=ErrorCode.TOO_MANY_TOOL_CALLS)
        if not self._queue and self.in_use + calls <= self.capacity:
            self.in_use += calls
            return
        turn: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        entry = (calls, turn)
        self._queue.append(entry)
        started = time.monotonic()
        try:
            await asyncio.wait_for(asyncio.shield(turn), wait)
        except (asyncio.TimeoutError, asyncio.CancelledError) as stop:
            if turn.done() and not turn.cancelled():
                self.release(calls)  # granted at the last moment: give it back
            elif entry in self._queue:
                self._queue.remove(entry)
                self._grant()
            if isinstance(stop, asyncio.CancelledError):
                raise
            raise Refusal(f"the gateway is busy: {self.in_use} tool calls are in flight (limit {self.capacity}) "
                          f"and none finished within {time.monotonic() - started:.0f} s; try again later",
                          503, ErrorCode.GATEWAY_BUSY) from None

    def release(self, calls: int) -> None:
        if self.capacity is None or calls == 0:
            return
        self.in_use -= calls
        self._grant()

    def _grant(self) -> None:
        assert self.capacity is not None
        while self._queue and self.in_use + self._queue[0][0] <= self.capacity:
            calls, turn = self._queue.pop(0)
            if not turn.done():
                self.in_use += calls
                turn.set_result(None)
