"""The HTTP server's sockets and stack: listening sockets with the options
uvicorn's own binding would give, ``TCP_NODELAY`` on every connection
accepted, and the fastest event loop and HTTP parser installed.

Small responses on a keep-alive connection otherwise wait for the client's
delayed acknowledgement (Nagle's algorithm), about 40 ms each.  asyncio's own
loop sets the option only on sockets whose protocol number says TCP, which
``socket.create_server`` leaves at 0, so the option is set here explicitly.
"""

from __future__ import annotations

import asyncio
import importlib.util
import socket
from dataclasses import dataclass
from typing import Any

LOOPS = ("auto", "asyncio", "uvloop")
PARSERS = ("auto", "h11", "httptools")


def listen(host: str, port: int, backlog: int = 2048) -> socket.socket:
    """A TCP listening socket on ``host:port`` whose accepted connections
    start with ``TCP_NODELAY`` (Linux copies the option to them)."""
    family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
    listener = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:  # as socket.create_server: "::" is IPv6 only
            listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        listener.bind((host, port))
        listener.listen(backlog)
    except BaseException:
        listener.close()
        raise
    return listener


def set_nodelay(transport: asyncio.BaseTransport) -> None:
    """``TCP_NODELAY`` on the socket under ``transport``; a transport without
    a TCP socket (a Unix socket, a test double) is left alone."""
    sock = transport.get_extra_info("socket")
    if sock is None or sock.family not in (socket.AF_INET, socket.AF_INET6):
        return
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except OSError:  # the peer may already be gone; the protocol finds out itself
        pass


@dataclass(frozen=True)
class Stack:
    """The event loop and HTTP parser the server runs, by uvicorn's names."""

    loop: str
    parser: str
    protocol: type[asyncio.Protocol]

    def describe(self) -> str:
        import uvicorn

        return f"uvicorn {uvicorn.__version__} with the {self.loop} event loop and the {self.parser} HTTP parser"


def choose_stack(loop: str = "auto", parser: str = "auto") -> Stack:
    """``auto`` takes uvloop and httptools when installed (the gateway extra
    brings them), else asyncio's loop and h11.  ValueError for a choice that
    is not installed."""
    if loop not in LOOPS or parser not in PARSERS:
        raise ValueError(f"unknown loop {loop!r} or HTTP parser {parser!r}")
    loop = _installed_or_default(loop, "uvloop", "asyncio")
    parser = _installed_or_default(parser, "httptools", "h11")
    if parser == "httptools":
        from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol as base
    else:
        from uvicorn.protocols.http.h11_impl import H11Protocol as base  # type: ignore[assignment]
    return Stack(loop, parser, _with_nodelay(base))


def _installed_or_default(choice: str, fast: str, default: str) -> str:
    installed = importlib.util.find_spec(fast) is not None
    if choice == "auto":
        return fast if installed else default
    if choice == fast and not installed:
        raise ValueError(f"{fast} is not installed (pip install 'quorvel-graphql[gateway]' brings it)")
    return choice


def _with_nodelay(base: type[Any]) -> type[asyncio.Protocol]:
    # uvloop sets the option itself; asyncio's loop only on sockets created
    # with IPPROTO_TCP.  Setting it once per connection costs one system call.
    class NoDelayProtocol(base):  # type: ignore[misc, valid-type]
        def connection_made(self, transport: asyncio.BaseTransport) -> None:  # type: ignore[override]
            set_nodelay(transport)
            super().connection_made(transport)

    NoDelayProtocol.__name__ = NoDelayProtocol.__qualname__ = f"NoDelay{base.__name__}"
    return NoDelayProtocol
