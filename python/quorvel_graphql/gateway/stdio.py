"""MCP over stdio with a standard input that a signal can interrupt.

The SDK reads stdin in a worker thread that cancellation cannot stop, so a
SIGTERM would wait for the client's next line; reading through the event
loop's own pipe transport ends at once instead."""

from __future__ import annotations

import asyncio
import os
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


async def open_stdin() -> StdinLines | None:
    """Standard input through the loop, or None where it is a regular file
    (the loop's pipe transport does not take those; the SDK's reader does)."""
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=MAX_LINE)
    pipe = os.fdopen(os.dup(0), "rb", buffering=0)
    try:
        transport, _ = await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), pipe)
    except (ValueError, OSError):
        pipe.close()
        return None
    return StdinLines(reader, transport)


async def serve_stdio(server: Server[Any]) -> None:
    stdin = await open_stdin()
    try:
        async with stdio_server(stdin=stdin) as (read, write):  # type: ignore[arg-type]
            await server.run(read, write, server.create_initialization_options())
    finally:
        if stdin is not None:
            stdin.close()
