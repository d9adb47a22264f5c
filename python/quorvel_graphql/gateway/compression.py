"""Compressed responses: gzip through Starlette's own middleware, and
brotli (the ``brotli`` package, or ``brotlicffi``) through the same
responder machinery when the client ranks it at least as high as gzip.

Responses under ``minimum_size`` bytes go out as they are: a few hundred
bytes of JSON gain little and would cost a compressor's set-up each.
Event streams (MCP over SSE) are never compressed, so each event reaches
the client when it is sent."""

from __future__ import annotations

import functools
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

import anyio.to_thread
from starlette.middleware.gzip import DEFAULT_EXCLUDED_CONTENT_TYPES, GZipResponder, IdentityResponder

try:
    import brotli
except ImportError:  # pragma: no cover - depends on the environment
    try:
        import brotlicffi as brotli
    except ImportError:
        brotli = None

Scope = MutableMapping[str, Any]
ASGIApp = Callable[[Scope, Any, Any], Awaitable[None]]

DEFAULT_MINIMUM_SIZE = 1024
# A gateway compresses each answer once, while the client waits.  On a 26 KB
# discovery answer brotli 5 is both smaller and cheaper than gzip 6 (4.1 KB
# in 0.3 ms against 4.2 KB in 0.5 ms); brotli 4 and below lose to gzip.
GZIP_LEVEL = 6
BROTLI_QUALITY = 5
THREAD_MINIMUM_SIZE = 128 << 10


def brotli_available() -> bool:
    return brotli is not None


class BrotliResponder(IdentityResponder):
    content_encoding = "br"

    def __init__(self, app: ASGIApp, minimum_size: int, quality: int = BROTLI_QUALITY) -> None:
        super().__init__(app, minimum_size, exclude_content_types=DEFAULT_EXCLUDED_CONTENT_TYPES)
        self._quality = quality
        self._compressor: Any = None

    async def apply_compression(self, body: bytes, *, more_body: bool) -> bytes:
        if len(body) >= THREAD_MINIMUM_SIZE:  # as Starlette's gzip: a large body would hold up the event loop
            return await anyio.to_thread.run_sync(self._compress, body, more_body)
        return self._compress(body, more_body)

    def _compress(self, body: bytes, more_body: bool) -> bytes:
        if self._compressor is None:
            self._compressor = brotli.Compressor(quality=self._quality)
        out: bytes = self._compressor.process(body)
        # A streamed part is flushed so the client can read it now.
        return out + (self._compressor.flush() if more_body else self._compressor.finish())


class Compression:
    """The layer: picks the encoding from ``Accept-Encoding`` and hands the
    response to the responder that applies it."""

    def __init__(self, app: ASGIApp, minimum_size: int = DEFAULT_MINIMUM_SIZE, *, use_brotli: bool = True) -> None:
        self.app = app
        self.minimum_size = minimum_size
        self.use_brotli = use_brotli and brotli is not None

    async def __call__(self, scope: Scope, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        onward: Any = None

        async def route(message: Any) -> None:
            # Most answers are small and say so in Content-Length: they go
            # on as they are (as the responder would send them) without the
            # cost of making one.  The rest go through the responder's own
            # send, which is all its __call__ would wrap the app with.
            nonlocal onward
            if onward is None:
                if message["type"] == "http.response.start" and _declared_length(message) < self.minimum_size:
                    onward = send
                else:
                    responder = self._responder(scope)
                    responder.send = send
                    onward = responder.send_with_compression
            await onward(message)

        await self.app(scope, receive, route)

    def _responder(self, scope: Scope) -> IdentityResponder:
        encoding = choose_encoding(_accept_encoding(scope), self.use_brotli)
        if encoding == "br":
            return BrotliResponder(self.app, self.minimum_size)
        if encoding == "gzip":
            return GZipResponder(self.app, self.minimum_size, compresslevel=GZIP_LEVEL)
        # Still adds "Vary: Accept-Encoding" to what it could have
        # compressed, so a cache never hands this answer to a client that
        # asked for gzip.
        return IdentityResponder(self.app, self.minimum_size)


@functools.lru_cache(maxsize=64)  # a client sends the same header with every request
def choose_encoding(accept: str, use_brotli: bool = True) -> str | None:
    """"br", "gzip" or None (identity) for an ``Accept-Encoding`` header:
    the one the client ranks higher, brotli on a tie; ``q=0`` refuses one."""
    ranks: dict[str, float] = {}
    for item in accept.split(","):
        coding, *parameters = (part.strip() for part in item.split(";"))
        quality = 1.0
        for parameter in parameters:
            if parameter.replace(" ", "").startswith("q="):
                try:
                    quality = float(parameter.split("=", 1)[1])
                except ValueError:
                    quality = 0.0
        if coding:
            ranks[coding.lower()] = quality
    star = ranks.get("*", 0.0)
    gzip = ranks.get("gzip", star)
    br = ranks.get("br", star) if use_brotli else 0.0
    if br > 0 and br >= gzip:
        return "br"
    return "gzip" if gzip > 0 else None


def _declared_length(start: Any) -> int:
    """The Content-Length a response start declares; a streamed answer,
    which declares none, counts as large."""
    for key, value in start.get("headers", ()):
        if key.lower() == b"content-length":
            return int(value) if value.isdigit() else 1 << 62
    return 1 << 62


def _accept_encoding(scope: Scope) -> str:
    for key, value in scope["headers"]:
        if key == b"accept-encoding":
            return str(value.decode("latin-1"))
    return ""
