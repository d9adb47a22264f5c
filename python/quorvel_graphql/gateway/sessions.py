"""MCP sessions over HTTP that one client cannot use up.

The SDK's session manager refuses every new session once ``max_sessions``
are open, and keeps an idle one for half an hour: a burst of ``initialize``
requests locks every later client out.  This layer sits in front of it and
keeps the table fair instead: when a client is at its share of the limit,
its new session ends its own least recently used idle session; when the
gateway is at its limit, a new session ends the least recently used idle
session of the client that holds the most *unproven* sessions, by sending
the session manager the very ``DELETE`` a client would send to end it.  A
session that has made a call within the idle timeout has proved itself:
no other client's new session ends it, and when only such sessions are left
the new one is refused (503) instead.  A flood of ``initialize`` requests,
from any number of addresses, only recycles its own sessions.
"""

from __future__ import annotations

import collections
import json
import logging
import time
from collections.abc import Awaitable, Callable, MutableMapping
from dataclasses import dataclass
from typing import Any

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

log = logging.getLogger("quorvel_graphql.gateway")

SESSION_IDLE_SECONDS = 300.0
MAX_SESSIONS = 256
SESSION_HEADER = b"mcp-session-id"


@dataclass
class _Session:
    client: str
    last_used: float
    busy: int = 0  # requests of this session in flight (a GET stream may last long)
    version: bytes = b""
    last_call: float | None = None  # when it last sent a request other than initialize

    def proven(self, now: float, idle_seconds: float) -> bool:
        return self.last_call is not None and now - self.last_call <= idle_seconds


FULL = json.dumps({"jsonrpc": "2.0", "id": None, "error": {
    "code": -32000, "message": "the gateway holds as many MCP sessions as it may, all in use; try again later"}})


class SessionQuota:
    """ASGI middleware for the SDK's streamable HTTP app.  ``share`` is the
    fraction of ``max_sessions`` one client address may hold before its own
    sessions are the ones to go."""

    def __init__(self, app: ASGIApp, *, max_sessions: int = MAX_SESSIONS, share: float = 0.25,
                 idle_seconds: float = SESSION_IDLE_SECONDS) -> None:
        if max_sessions < 1 or not 0 < share <= 1 or idle_seconds <= 0:
            raise ValueError("max_sessions must be at least 1, share in (0, 1], idle_seconds positive")
        self.app = app
        self.max_sessions = max_sessions
        self.per_client = max(1, int(max_sessions * share))
        self.idle_seconds = idle_seconds
        self.sessions: collections.OrderedDict[str, _Session] = collections.OrderedDict()
        self.ended = 0  # sessions this layer ended to make room

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        session_id = _header(scope, SESSION_HEADER)
        if session_id is None:
            await self._open(scope, receive, send)
            return
        session = self.sessions.get(session_id)
        if session is None:  # unknown or expired: the session manager answers 404
            await self.app(scope, receive, send)
            return
        self.sessions.move_to_end(session_id)
        session.busy += 1
        try:
            if scope["method"] == "POST":
                receive = await self._note_call(session, receive)
            await self.app(scope, receive, send)
        finally:
            session.busy -= 1
            session.last_used = time.monotonic()
            if scope["method"] == "DELETE":
                self.sessions.pop(session_id, None)

    async def _open(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["method"] != "POST":
            await self.app(scope, receive, send)
            return
        client = _client(scope)
        self._forget_expired()
        if not await self._make_room(client):
            await _send_full(send)
            return
        version = (_header(scope, b"mcp-protocol-version") or "").encode("latin-1")

        async def note_session(message: Message) -> None:
            # Noted before the client can read the id: its next request may
            # arrive before this one's app call returns.
            if message["type"] == "http.response.start" and message["status"] < 400:
                headers = dict((k.lower(), v) for k, v in message.get("headers", []))
                if SESSION_HEADER in headers:
                    session_id = headers[SESSION_HEADER].decode("latin-1")
                    self.sessions[session_id] = _Session(client, time.monotonic(), version=version)
            await send(message)

        await self.app(scope, receive, note_session)

    async def _note_call(self, session: _Session, receive: Receive) -> Receive:
        """Notes whether this POST carries a request (a message with a
        method and an id), which proves the session in use; the body, read
        whole by the guard already, is handed on unchanged."""
        message = await receive()
        body = message.get("body", b"")
        if b'"method"' in body and b'"id"' in body and _is_request(body):
            session.last_call = time.monotonic()
        sent = False

        async def replay() -> Message:
            nonlocal sent
            if not sent:
                sent = True
                return message
            return await receive()

        return replay

    async def _make_room(self, client: str) -> bool:
        """Ends a session if the table needs room for one of ``client``;
        False when none may be ended."""
        held = sum(1 for s in self.sessions.values() if s.client == client)
        if held >= self.per_client:  # its own, proven or not: a client competes only with itself here
            await self._end_one(lambda session: session.client == client)
            return True
        if len(self.sessions) < self.max_sessions:
            return True
        now = time.monotonic()
        unproven = collections.Counter(s.client for s in self.sessions.values()
                                       if s.busy == 0 and not s.proven(now, self.idle_seconds))
        if not unproven:
            log.warning("mcp: a new session from %s refused: all %d sessions are in use", client,
                        len(self.sessions))
            return False
        most = unproven.most_common(1)[0][0]
        return await self._end_one(lambda s: s.client == most and not s.proven(now, self.idle_seconds))

    async def _end_one(self, eligible: Callable[[_Session], bool]) -> bool:
        for session_id, session in self.sessions.items():  # least recently used first
            if session.busy == 0 and eligible(session):
                del self.sessions[session_id]
                self.ended += 1
                log.info("mcp session %s of %s ended to make room for a new one", session_id[:8], session.client)
                await self._delete(session_id, session)
                return True
        return False

    async def _delete(self, session_id: str, session: _Session) -> None:
        headers = [(SESSION_HEADER, session_id.encode("latin-1")), (b"host", b"localhost")]
        if session.version:
            headers.append((b"mcp-protocol-version", session.version))
        scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "DELETE",
                 "scheme": "http", "path": "/mcp", "raw_path": b"/mcp", "root_path": "", "query_string": b"",
                 "headers": headers, "client": None, "server": None}

        async def receive() -> Message:
            return {"type": "http.request", "body": b"", "more_body": False}

        async def discard(message: Message) -> None:
            pass

        try:
            await self.app(scope, receive, discard)
        except Exception as error:  # the session may have ended by itself meanwhile
            log.info("ending mcp session %s: %s", session_id[:8], error)

    def _forget_expired(self) -> None:
        # The session manager ends a session idle this long by itself; only
        # the record here is left to drop.
        now = time.monotonic()
        for session_id in [sid for sid, s in self.sessions.items()
                           if s.busy == 0 and now - s.last_used > self.idle_seconds]:
            del self.sessions[session_id]


def _is_request(body: bytes) -> bool:
    try:
        message = json.loads(body)
    except (ValueError, RecursionError):
        return False
    return isinstance(message, dict) and "id" in message and message.get("method") not in (None, "initialize")


async def _send_full(send: Send) -> None:
    body = FULL.encode()
    await send({"type": "http.response.start", "status": 503,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
                            (b"retry-after", b"5")]})
    await send({"type": "http.response.body", "body": body})


def _header(scope: Scope, name: bytes) -> str | None:
    for key, value in scope.get("headers", ()):
        if key.lower() == name:
            return str(value.decode("latin-1"))
    return None


def _client(scope: Scope) -> str:
    client = scope.get("client")
    return str(client[0]) if client else "-"
