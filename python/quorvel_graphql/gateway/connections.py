"""What uvicorn's own settings do not bound: connections that never finish
their headers, the number of open connections, and clients that stop reading.

uvicorn closes a keep-alive connection that stays idle, but a connection that
sends part of a request line, or nothing, holds its descriptor for as long as
the client likes; and a response the client never reads stays buffered.  The
guard here is a subclass of whichever HTTP protocol uvicorn runs (h11 or
httptools) that adds three timers and one shared count:

* headers deadline: a connection must finish a request's headers within
  ``header_seconds`` of connecting (and of its previous response);
* connection cap: at ``max_connections`` a new connection first closes the
  oldest connection still waiting for its headers (the one most likely to be
  an attacker's), and is refused with a plain 503 when every open connection
  is busy with a request;
* write deadline: a response the client has not taken in for
  ``write_seconds`` (the transport stays over its high-water mark) drops the
  connection instead of buffering it without end;
* header limit: a request whose header section (request line and fields)
  passes ``max_header_bytes`` is answered 431 and the connection closed,
  counted before the bytes reach the parser.  h11 has a bound of its own
  (``h11_max_incomplete_event_size``), httptools none: it keeps a header
  value growing for as long as the client sends it.
"""

from __future__ import annotations

import asyncio
import collections
import json
import logging
import resource
from dataclasses import dataclass, field
from typing import Any

import h11
from uvicorn.config import HTTP_PROTOCOLS
from uvicorn.importer import import_from_string

from ..error_codes import ErrorCode

log = logging.getLogger("quorvel_graphql.gateway")

HEADER_SECONDS = 10.0
WRITE_SECONDS = 30.0
MAX_CONNECTIONS = 1000
MAX_HEADER_BYTES = 16 << 10
REFUSAL_LINGER = 0.5
HEADER_END = b"\r\n\r\n"


def default_max_connections() -> int:
    """``MAX_CONNECTIONS``, or half the descriptors this process may open
    when that is fewer (the rest is for tool servers and the engine)."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return MAX_CONNECTIONS
    return max(16, min(MAX_CONNECTIONS, soft // 2))


@dataclass
class ConnectionGuard:
    """The limits, and the connections of one server that are waiting for
    their headers, oldest first."""

    max_connections: int = field(default_factory=default_max_connections)
    header_seconds: float = HEADER_SECONDS
    write_seconds: float = WRITE_SECONDS
    max_header_bytes: int = MAX_HEADER_BYTES
    open: int = 0
    refused: int = 0
    evicted: int = 0
    lingering: int = 0  # refused connections still reading what their client sent
    # Connections waiting for a request's headers, oldest first: those that
    # never sent a whole request, and those idle between two requests.
    waiting: collections.OrderedDict[Any, None] = field(default_factory=collections.OrderedDict)
    between: collections.OrderedDict[Any, None] = field(default_factory=collections.OrderedDict)

    def __post_init__(self) -> None:
        if self.max_connections < 1:
            raise ValueError("max_connections must be at least 1")
        if not (self.header_seconds > 0 and self.write_seconds > 0):
            raise ValueError("header_seconds and write_seconds must be positive")
        if self.max_header_bytes < 256:
            raise ValueError("max_header_bytes must be at least 256")

    def admit(self) -> bool:
        """Makes room for one more connection; False when there is none."""
        if self.open < self.max_connections:
            return True
        # A connection that never sent a whole request goes first: a client
        # between two requests may be sending the next one right now.
        line = self.waiting or self.between
        if not line:
            self.refused += 1
            return False
        oldest, _ = line.popitem(last=False)
        self.evicted += 1
        oldest.drop("closed to make room: it was waiting for request headers")
        return True


def _refusal() -> bytes:
    return _closing_response("503 Service Unavailable", "the gateway has too many open connections; try again later",
                             "retry-after: 1\r\n", ErrorCode.GATEWAY_BUSY)


def _headers_too_large(limit: int) -> bytes:
    return _closing_response("431 Request Header Fields Too Large",
                             f"the request headers are larger than the limit of {limit} bytes", ErrorCode.BAD_REQUEST)


def _closing_response(status: str, message: str, extra: str = "", code: ErrorCode = ErrorCode.BAD_REQUEST) -> bytes:
    body = json.dumps({"errors": [{"message": message, "extensions": {"code": code.value}}]})
    return (f"HTTP/1.1 {status}\r\ncontent-type: application/json\r\ncontent-length: {len(body)}\r\n"
            f"{extra}connection: close\r\n\r\n{body}").encode()


def _header_end(tail: bytes, data: bytes) -> int:
    """How many bytes of ``data`` end the header section begun before it
    (``tail``: the last bytes of that section so far), or -1 when it does
    not end in ``data``."""
    if tail:
        at = (tail + data[:3]).find(HEADER_END)
        if at >= 0:
            return at + len(HEADER_END) - len(tail)
    at = data.find(HEADER_END)
    return -1 if at < 0 else at + len(HEADER_END)


def guarded_protocol(guard: ConnectionGuard, http: str | type[asyncio.Protocol] = "auto") -> type[asyncio.Protocol]:
    """uvicorn's HTTP protocol ``http`` (a class, or "auto", "h11",
    "httptools") with ``guard`` applied; pass the result as
    ``uvicorn.Config(http=...)``."""
    base: Any = import_from_string(HTTP_PROTOCOLS.get(http, http)) if isinstance(http, str) else http

    class GuardedProtocol(base):  # type: ignore[misc, valid-type]
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self._guard_counted = False
            self._refused: Any = None
            self._lingers = False
            self._header_timer: asyncio.TimerHandle | None = None
            self._write_timer: asyncio.TimerHandle | None = None
            self._header_bytes = 0  # of the header section being received
            self._header_tail = b""  # its last bytes, for an end split between two reads
            self._in_body = False  # httptools: between a request's headers and its end
            app = self.app

            # The app is called once a request's headers are complete, by
            # either base class, so this is where the headers deadline ends.
            async def headers_in(scope: Any, receive: Any, send: Any) -> None:
                self._stop_header_timer()
                await app(scope, receive, send)

            self.app = headers_in

        def connection_made(self, transport: Any) -> None:
            if not guard.admit():
                self._refuse(transport)
                return
            guard.open += 1
            self._guard_counted = True
            super().connection_made(transport)
            self._start_header_timer()

        def _refuse(self, transport: Any, response: bytes | None = None) -> None:
            # Closing with the client's request unread would reset the
            # connection and could lose the refusal on the way: the refusal
            # goes out first, and what the client sends meanwhile is read and
            # dropped for a moment.
            self._refused = transport
            transport.write(_refusal() if response is None else response)
            if guard.lingering >= guard.max_connections or not transport.can_write_eof():
                transport.close()
                return
            transport.write_eof()
            guard.lingering += 1
            self._lingers = True
            self.loop.call_later(REFUSAL_LINGER, transport.close)

        def data_received(self, data: bytes) -> None:
            # Fed to the parser in pieces that end where a header section
            # ends, so that every byte of a header section is counted before
            # the parser holds it; a body goes in pieces of at most the limit,
            # which bounds a header section that begins inside one.
            limit = guard.max_header_bytes
            while data and self._refused is None:
                if self._in_header_section():
                    end = _header_end(self._header_tail, data)
                    if self._header_bytes + (len(data) if end < 0 else end) > limit:
                        self._headers_too_large()
                        return
                    if end < 0:
                        piece, data = data, b""
                        self._header_bytes += len(piece)
                        self._header_tail = (self._header_tail + piece[-3:])[-3:]
                    else:  # a blank line ends a header section, whatever the parser makes of it
                        piece, data = data[:end + limit], data[end + limit:]
                        self._header_bytes, self._header_tail = 0, b""
                else:
                    self._header_bytes, self._header_tail = 0, b""
                    piece, data = data[:limit], data[limit:]
                super().data_received(piece)
                if self.transport.is_closing():
                    return

        def _in_header_section(self) -> bool:
            conn = getattr(self, "conn", None)  # h11's connection; httptools has callbacks instead
            return conn.their_state is h11.IDLE if conn is not None else not self._in_body

        def on_headers_complete(self) -> None:  # httptools only
            self._in_body = True
            super().on_headers_complete()

        def on_message_complete(self) -> None:  # httptools only
            self._in_body = False
            super().on_message_complete()

        def _headers_too_large(self) -> None:
            log.debug("http connection from %s refused: request headers over %d bytes", _peer(self.client),
                      guard.max_header_bytes)
            self._stop_header_timer()
            self._refuse(self.transport, _headers_too_large(guard.max_header_bytes))

        def eof_received(self) -> bool | None:
            if self._refused is not None:
                self._refused.close()
                return None
            return super().eof_received()  # type: ignore[no-any-return]

        def connection_lost(self, exc: Exception | None) -> None:
            if self._lingers:
                self._lingers = False
                guard.lingering -= 1
            if not self._guard_counted:
                return
            self._guard_counted = False
            guard.open -= 1
            self._stop_header_timer()
            self._stop_write_timer()
            super().connection_lost(exc)

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if not self.transport.is_closing():
                self._start_header_timer(guard.between)  # the next request on this connection

        def pause_writing(self) -> None:
            super().pause_writing()
            if self._write_timer is None:
                self._write_timer = self.loop.call_later(guard.write_seconds, self.drop,
                                                         f"it read nothing of its response for {guard.write_seconds:g} s")

        def resume_writing(self) -> None:
            super().resume_writing()
            self._stop_write_timer()

        def drop(self, why: str) -> None:
            log.debug("http connection from %s dropped: %s", _peer(self.client), why)
            self._stop_header_timer()
            self._stop_write_timer()
            self.transport.abort()

        def _start_header_timer(self, line: collections.OrderedDict[Any, None] | None = None) -> None:
            self._stop_header_timer()
            (guard.waiting if line is None else line)[self] = None
            self._header_timer = self.loop.call_later(
                guard.header_seconds, self.drop, f"no complete request headers within {guard.header_seconds:g} s")

        def _stop_header_timer(self) -> None:
            guard.waiting.pop(self, None)
            guard.between.pop(self, None)
            if self._header_timer is not None:
                self._header_timer.cancel()
                self._header_timer = None

        def _stop_write_timer(self) -> None:
            if self._write_timer is not None:
                self._write_timer.cancel()
                self._write_timer = None

    GuardedProtocol.__name__ = GuardedProtocol.__qualname__ = f"Guarded{base.__name__}"
    return GuardedProtocol


def _peer(client: Any) -> str:
    return f"{client[0]}:{client[1]}" if client else "a client"
