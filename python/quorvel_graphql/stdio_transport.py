"""MCP over a child's stdin and stdout, reading in time proportional to size.

The SDK's stdio client joins each chunk it reads onto everything it has read
of the current line, so a line of n bytes costs about n²/64 KiB of copying: a
20 MB tool result took half a minute, a 100 MB one never arrived.  Here the
line grows in one buffer and only the new chunk is searched for its end; a
line past ``max_line`` is skipped without being kept, and the request it
answers gets a JSON-RPC error at once instead of waiting for its time limit.
"""

from __future__ import annotations

import contextlib
import logging
import os
import re
import signal
import subprocess
from collections.abc import AsyncIterator
from typing import Any, TextIO

import anyio
import mcp_types
from mcp.shared.message import SessionMessage

log = logging.getLogger("quorvel_graphql.mcp")

# Seconds a server has to exit once its input is closed (MCP's first step),
# then after SIGTERM.  An idle server that reads its input in a thread (the
# Python SDK's does) takes well over a second to notice the end of it, and
# SIGTERM ends it at once: a shorter first wait keeps a gateway's shutdown
# near one second.
INPUT_CLOSED_GRACE = 1.0
STOP_GRACE = 2.0
# The id of a JSON-RPC answer is one of its first members in practice; this
# much of a skipped line is kept to find it.
ID_WINDOW = 4096
_ID = re.compile(rb'"id"\s*:\s*(-?[0-9]+|"(?:[^"\\]|\\.)*")')


class LineReader:
    """Splits a byte stream into lines; one longer than ``max_line`` comes
    out as its first ``ID_WINDOW`` bytes with ``oversize`` set."""

    def __init__(self, max_line: int | None) -> None:
        self.max_line = max_line
        self._line = bytearray()
        self._skipping = False

    def feed(self, chunk: bytes) -> list[tuple[bytes, bool]]:
        """The lines ``chunk`` completes, each with whether it was oversize."""
        done: list[tuple[bytes, bool]] = []
        start = 0
        while (end := chunk.find(b"\n", start)) >= 0:
            self._take(chunk[start:end])
            done.append((bytes(self._line), self._skipping))
            self._line.clear()
            self._skipping = False
            start = end + 1
        self._take(chunk[start:])
        return done

    def _take(self, part: bytes) -> None:
        if self._skipping:
            return
        self._line += part
        if self.max_line is not None and len(self._line) > self.max_line:
            del self._line[ID_WINDOW:]
            self._skipping = True


def oversize_answer(head: bytes, max_line: int | None) -> SessionMessage | None:
    """The error that answers the request whose reply was ``head``..., or
    None when no id can be found in it."""
    match = _ID.search(head)
    if match is None:
        return None
    raw = match.group(1)
    request_id: str | int = int(raw) if raw[:1] != b'"' else raw[1:-1].decode("utf-8", "replace")
    error = mcp_types.ErrorData(code=mcp_types.INTERNAL_ERROR,
                                message=f"the server's answer is longer than the limit of {max_line} bytes")
    return SessionMessage(mcp_types.JSONRPCError(jsonrpc="2.0", id=request_id, error=error))


def _parse(line: bytes) -> SessionMessage | Exception:
    try:
        return SessionMessage(mcp_types.jsonrpc_message_adapter.validate_json(line, by_name=False))
    except ValueError as error:
        return error


@contextlib.asynccontextmanager
async def stdio_transport(command: str, args: list[str], *, env: dict[str, str] | None, cwd: str | None,
                          errlog: TextIO, max_line: int | None, name: str = "") -> AsyncIterator[tuple[Any, Any]]:
    """The (read, write) streams of a ``ClientSession`` over a new child
    process, which leads a process group of its own; closing ends it (input
    closed, then SIGTERM, then SIGKILL to the group)."""
    process = await anyio.open_process([command, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=errlog, env=env, cwd=cwd, start_new_session=True)
    read_writer, read_stream = anyio.create_memory_object_stream[SessionMessage | Exception](0)
    write_stream, write_reader = anyio.create_memory_object_stream[SessionMessage](0)

    async def read_lines() -> None:
        assert process.stdout is not None
        lines = LineReader(max_line)
        with contextlib.suppress(anyio.ClosedResourceError, anyio.BrokenResourceError, anyio.EndOfStream):
            async with read_writer:
                async for chunk in process.stdout:
                    for line, oversize in lines.feed(chunk):
                        if not oversize:
                            await read_writer.send(_parse(line))
                            continue
                        log.warning("MCP server '%s' sent a message longer than %s bytes; skipped", name or command,
                                    max_line)
                        answer = oversize_answer(line, max_line)
                        if answer is not None:
                            await read_writer.send(answer)

    async def write_messages() -> None:
        assert process.stdin is not None
        with contextlib.suppress(anyio.ClosedResourceError, anyio.BrokenResourceError, OSError):
            async with write_reader:
                async for message in write_reader:
                    text = message.message.model_dump_json(by_alias=True, exclude_unset=True)
                    await process.stdin.send(text.encode("utf-8") + b"\n")

    async with anyio.create_task_group() as tasks:
        tasks.start_soon(read_lines)
        tasks.start_soon(write_messages)
        try:
            yield read_stream, write_stream
        finally:
            with anyio.CancelScope(shield=True):
                await _stop(process)
            tasks.cancel_scope.cancel()


async def _stop(process: Any) -> None:
    with contextlib.suppress(OSError, anyio.BrokenResourceError, anyio.ClosedResourceError):
        await process.stdin.aclose()
    for sent, grace in ((None, INPUT_CLOSED_GRACE), (signal.SIGTERM, STOP_GRACE), (signal.SIGKILL, STOP_GRACE)):
        if sent is not None:
            with contextlib.suppress(OSError):
                os.killpg(process.pid, sent)
        with anyio.move_on_after(grace):
            while process.returncode is None:
                await anyio.sleep(0.02)
        if process.returncode is not None:
            break
    with contextlib.suppress(OSError, anyio.BrokenResourceError, anyio.ClosedResourceError):
        await process.stdout.aclose()
