"""An ASGI app served by uvicorn on a thread of the test process, for tests
about our client side: the server costs no child process and no second
import of the MCP SDK, and ends with the block."""

from __future__ import annotations

import contextlib
import socket
import threading
from collections.abc import Iterator
from typing import Any

import uvicorn

# Guards, as in support.gateway: a loaded machine may need all of them.
START_TIMEOUT = 120.0
STOP_TIMEOUT = 60.0


@contextlib.contextmanager
def serving_in_thread(app: Any) -> Iterator[str]:
    """Serves ``app`` on a free port of 127.0.0.1; yields ``http://127.0.0.1:PORT``."""
    listener = socket.create_server(("127.0.0.1", 0), backlog=128)
    port = listener.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on", timeout_graceful_shutdown=2))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, name="in-process-server",
                              daemon=True)
    thread.start()
    try:
        deadline = threading.Event()
        for _ in range(int(START_TIMEOUT / 0.02)):
            if server.started or not thread.is_alive():
                break
            deadline.wait(0.02)
        assert server.started, "in-process server did not start"
        yield f"http://127.0.0.1:{port}"
    finally:
        # The test is done with the server: a tool call it gave up on (a
        # slow tool past its time limit) must not hold the block's end.
        server.should_exit = server.force_exit = True
        thread.join(STOP_TIMEOUT)
        listener.close()
        assert not thread.is_alive(), "in-process server did not stop"
