"""MCP over stdio through the event loop's own pipe transports.

The SDK reads stdin in a worker thread that cancellation cannot stop, so a
SIGTERM would wait for the client's next line, and it writes each message
with two thread hand-offs; the loop's pipe transports end at once and write
without a thread."""

from __future__ import annotations

import asyncio
import contextlib
import os
import stat
from asyncio.streams import FlowControlMixin
from typing import Any

from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server

# An MCP message is one line; a query with large variables can make a long one.
MAX_LINE = 64 << 20


class StdinLines:
    """``async for line in ...`` over standard input, as text."""

    def __init__(self, reader: asyncio.StreamReader, transport: asyncio.BaseTransport) -> None:
        self._reader = reader
        self._transport = transport

    def __aiter__(self) -> StdinLines:
        return self

    async def __anext__(self) -> str:
        try:
            line = await self._reader.readuntil(b"\n")
        except asyncio.IncompleteReadError as end:
            line = end.partial
        except asyncio.LimitOverrunError:
            raise ValueError(f"an input line is longer than {MAX_LINE} bytes") from None
        if not line:
            raise StopAsyncIteration
        return line.decode("utf-8", errors="replace")

    def close(self) -> None:
        self._transport.close()


def _pollable(fd: int) -> bool:
    """Whether the loop can wait on ``fd``: pipes, sockets and terminals can;
    regular files and /dev/null cannot (the SDK's threaded streams serve those)."""
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or (stat.S_ISCHR(mode) and os.isatty(fd))


async def open_stdin() -> StdinLines | None:
    """Standard input through the loop, or None where it cannot be polled."""
    if not _pollable(0):
        return None
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=MAX_LINE)
    pipe = os.fdopen(os.dup(0), "rb", buffering=0)
    try:
        transport, _ = await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), pipe)
    except (ValueError, OSError):
        pipe.close()
        return None
    return StdinLines(reader, transport)


class StdoutLines:
    """The ``write``/``flush`` pair the SDK's stdio transport writes through."""

    def __init__(self, writer: asyncio.StreamWriter, private_fd: int) -> None:
        self._writer = writer
        self._private_fd = private_fd

    async def write(self, text: str) -> None:
        self._writer.write(text.encode("utf-8"))
        await self._writer.drain()

    async def flush(self) -> None:
        await self._writer.drain()

    def close(self) -> None:
        self._writer.close()
        with contextlib.suppress(OSError):
            os.dup2(self._private_fd, 1)
        with contextlib.suppress(OSError):
            os.close(self._private_fd)


async def open_stdout() -> StdoutLines | None:
    """Standard output through the loop; fd 1 itself then points at stderr,
    so a stray print cannot corrupt the protocol stream."""
    if not _pollable(1):
        return None
    loop = asyncio.get_running_loop()
    private_fd = os.dup(1)
    pipe = os.fdopen(os.dup(private_fd), "wb", buffering=0)
    try:
        transport, protocol = await loop.connect_write_pipe(FlowControlMixin, pipe)
    except (ValueError, OSError):
        pipe.close()
        os.close(private_fd)
        return None
    os.dup2(2, 1)
    return StdoutLines(asyncio.StreamWriter(transport, protocol, None, loop), private_fd)


async def serve_stdio(server: Server[Any]) -> None:
    stdin = await open_stdin()
    stdout = await open_stdout()
    try:
        async with stdio_server(stdin=stdin, stdout=stdout) as (read, write):  # type: ignore[arg-type]
            await server.run(read, write, server.create_initialization_options())
    finally:
        for stream in (stdin, stdout):
            if stream is not None:
                stream.close()
