"""MCP over stdio through the event loop's own pipe transports.

The SDK reads stdin in a worker thread that cancellation cannot stop, so a
SIGTERM would wait for the client's next line, and it writes each message
with two thread hand-offs; the loop's pipe transports end at once and write
without a thread."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import re
import stat
from asyncio.streams import FlowControlMixin
from collections.abc import AsyncIterator
from typing import Any

import anyio
import mcp_types
from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server
from mcp.shared.message import SessionMessage
from mcp_types import INVALID_REQUEST, PARSE_ERROR

from ..common import describe_exception
from .core import log

try:  # the SDK's own streams carry context variables to the handlers
    from mcp.shared._context_streams import create_context_streams
except ImportError:  # pragma: no cover - older SDKs
    create_context_streams = None  # type: ignore[assignment]

# An MCP message is one line; a query with large variables can make a long one.
MAX_LINE = 64 << 20
# What the reader yields in place of a line longer than MAX_LINE.
OVERSIZE = "\0oversize line\0"


class StdinLines:
    """``async for line in ...`` over standard input, as text."""

    def __init__(self, reader: asyncio.StreamReader, transport: asyncio.BaseTransport) -> None:
        self._reader = reader
        self._transport = transport

    def __aiter__(self) -> StdinLines:
        return self

    async def __anext__(self) -> str:
        """The next line; an oversize one is skipped up to its end and comes
        out as ``OVERSIZE`` rather than ending the input."""
        try:
            line = await self._reader.readuntil(b"\n")
        except asyncio.IncompleteReadError as end:
            line = end.partial
        except asyncio.LimitOverrunError as overrun:
            await self._skip_line(overrun.consumed)
            return OVERSIZE
        if not line:
            raise StopAsyncIteration
        return line.decode("utf-8", errors="replace")

    async def _skip_line(self, consumed: int) -> None:
        while True:
            await self._reader.readexactly(consumed)
            try:
                await self._reader.readuntil(b"\n")
                return
            except asyncio.IncompleteReadError:
                return
            except asyncio.LimitOverrunError as overrun:
                consumed = overrun.consumed

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
        if stdin is not None and stdout is not None:
            async with answering_transport(stdin, stdout) as (read, write):
                await server.run(read, write, server.create_initialization_options())
        else:
            async with stdio_server(stdin=stdin, stdout=stdout) as (read, write):  # type: ignore[arg-type]
                await server.run(read, write, server.create_initialization_options())
    finally:
        for stream in (stdin, stdout):
            if stream is not None:
                stream.close()


@contextlib.asynccontextmanager
async def answering_transport(stdin: StdinLines, stdout: StdoutLines) -> AsyncIterator[tuple[Any, Any]]:
    """The SDK's stdio transport, except that a line the SDK would drop
    without a word gets a JSON-RPC error answer: the client of a request with
    an id always hears back."""
    if create_context_streams is not None:
        read_writer, read_stream = create_context_streams[SessionMessage | Exception](0)
        write_stream, write_reader = create_context_streams[SessionMessage](0)
    else:
        read_writer, read_stream = anyio.create_memory_object_stream[SessionMessage | Exception](0)
        write_stream, write_reader = anyio.create_memory_object_stream[SessionMessage](0)
    writing = asyncio.Lock()

    async def put_line(text: str) -> None:
        async with writing:
            await stdout.write(text + "\n")

    async def read_lines() -> None:
        with contextlib.suppress(anyio.ClosedResourceError):
            async with read_writer:
                async for line in stdin:
                    message, answer = screen_line(line)
                    if message is not None:
                        await read_writer.send(SessionMessage(message))
                    elif answer is not None:
                        await put_line(answer)

    async def write_messages() -> None:
        with contextlib.suppress(anyio.ClosedResourceError):
            async with write_reader:
                async for session_message in write_reader:
                    await put_line(session_message.message.model_dump_json(by_alias=True, exclude_unset=True))

    async with anyio.create_task_group() as tasks:
        tasks.start_soon(read_lines)
        tasks.start_soon(write_messages)
        yield read_stream, write_stream


def screen_line(line: str) -> tuple[Any | None, str | None]:
    """A line as the message to serve, or else the error text to answer
    with (None when nothing may be answered: a broken notification)."""
    if line is OVERSIZE:
        return None, _error(None, PARSE_ERROR, f"the message is longer than the limit of {MAX_LINE} bytes")
    if not line.strip():
        return None, None
    try:
        message = mcp_types.jsonrpc_message_adapter.validate_json(line, by_name=False)
    except ValueError:
        pass
    else:
        if isinstance(message, mcp_types.JSONRPCNotification) and '"id"' in line and _has_id(line):
            # An id that is neither text nor a number makes the SDK take the
            # request for a notification, which nobody would answer.
            return None, _error(None, INVALID_REQUEST, "invalid request: \"id\" must be a string or a number")
        return message, None
    # The SDK's reader refuses some JSON that the standard library reads
    # (escaped lone surrogates, deep nesting): judge those by their content,
    # so that the engine reports such a query as the HTTP front would.
    try:
        data = json.loads(line)
    except RecursionError:
        # Too deep for the standard library to read, not necessarily broken:
        # the id is read without recursing, so that its client hears back.
        return None, _error(top_level_id(line), INVALID_REQUEST, "invalid request: the message nests too deeply")
    except ValueError as error:
        return None, _error(None, PARSE_ERROR, f"the message is not JSON: {describe_exception(error)}")
    if isinstance(data, list):
        answers = [_error_object(item.get("id"), INVALID_REQUEST, "batches are not supported; send one message "
                                 "per line") for item in data if isinstance(item, dict) and "id" in item]
        return None, json.dumps(answers or _error_object(None, INVALID_REQUEST, "an empty batch"))
    try:
        return mcp_types.jsonrpc_message_adapter.validate_python(data, by_name=False), None
    except (ValueError, RecursionError) as error:
        if not isinstance(data, dict) or "id" not in data:
            log.info("stdio: dropped a message that is not a JSON-RPC 2.0 message and has no id")
            return None, None
        why = "it is not a JSON-RPC 2.0 request (\"jsonrpc\": \"2.0\", \"method\", object \"params\")"
        if isinstance(error, RecursionError):
            why = "it nests too deeply"
        return None, _error(data["id"], INVALID_REQUEST, f"invalid request: {why}")


# The tokens that give a JSON text its structure: strings (whose content
# could hold any of the others) and the brackets and commas between values.
_STRUCTURE = re.compile(r'"(?:[^"\\]|\\.)*"|[{}\[\],]', re.DOTALL)
_SCALAR_START = frozenset('"-0123456789')


def top_level_id(text: str) -> Any:
    """The ``"id"`` member of a JSON object however deep the rest nests,
    read in one pass without recursion; None when there is none or the
    text does not open as an object."""
    depth = 0
    expecting_key = False
    for token in _STRUCTURE.finditer(text):
        kind = token.group()[0]
        if kind == '"':
            if depth == 1 and expecting_key:
                expecting_key = False
                colon = _skip_space(text, token.end())
                if token.group() == '"id"' and colon < len(text) and text[colon] == ":":
                    return _scalar_at(text, _skip_space(text, colon + 1))
        elif kind in "{[":
            if depth == 0 and (kind != "{" or text[:token.start()].strip()):
                return None
            depth += 1
            expecting_key = depth == 1
        elif kind in "}]":
            depth -= 1
            if depth <= 0:
                return None
        else:  # a comma
            expecting_key = depth == 1
    return None


def _skip_space(text: str, at: int) -> int:
    while at < len(text) and text[at] in " \t\r\n":
        at += 1
    return at


def _scalar_at(text: str, at: int) -> Any:
    if at >= len(text) or text[at] not in _SCALAR_START:
        return None  # an object, an array, a literal: no id the answer could carry
    try:
        value, _ = json.JSONDecoder().raw_decode(text, at)
    except ValueError:
        return None
    return value


def _has_id(line: str) -> bool:
    try:
        data = json.loads(line)
    except (ValueError, RecursionError):
        return False
    return isinstance(data, dict) and data.get("id") is not None


def _error_object(request_id: Any, code: int, message: str) -> dict[str, Any]:
    valid_id = request_id if isinstance(request_id, (str, int)) and not isinstance(request_id, bool) else None
    return {"jsonrpc": "2.0", "id": valid_id, "error": {"code": code, "message": message}}


def _error(request_id: Any, code: int, message: str) -> str:
    return json.dumps(_error_object(request_id, code, message))
