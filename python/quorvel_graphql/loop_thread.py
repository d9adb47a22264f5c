"""An asyncio event loop running on a daemon thread of its own.

Both the host kit (coroutine handlers without a loop of their own) and the
MCP adapter (every client session) need a loop that outlives any one call and
that no call can stop: a handler that lets SystemExit or KeyboardInterrupt
out of a task would otherwise end ``run_forever`` and every later call on the
loop would wait for good.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import threading
from collections.abc import Awaitable
from typing import Any

__all__ = ["LoopThread"]

log = logging.getLogger("quorvel_graphql.loop")


class LoopThread:
    """Runs ``loop.run_forever()`` on a daemon thread until :meth:`stop`."""

    def __init__(self, name: str) -> None:
        self.loop = asyncio.new_event_loop()
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)
        while True:
            try:
                self.loop.run_forever()
            except BaseException as error:  # a task let SystemExit or KeyboardInterrupt out
                log.error("event loop %s: %s escaped a task; the loop keeps running",
                          self._thread.name, type(error).__name__)
                continue
            if self._stopping:
                return

    def submit(self, coroutine: Awaitable[Any]) -> concurrent.futures.Future[Any]:
        return asyncio.run_coroutine_threadsafe(_as_coroutine(coroutine), self.loop)

    def stop(self, timeout: float = 10.0) -> None:
        """Cancels what still runs on the loop, stops it and joins the thread."""
        if self.loop.is_closed():
            return

        async def cancel_all() -> None:
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            if tasks:
                await asyncio.wait(tasks, timeout=timeout)

        if self._thread.is_alive():
            try:
                self.submit(cancel_all()).result(timeout)
            except (concurrent.futures.TimeoutError, concurrent.futures.CancelledError):
                pass
            self._stopping = True
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(timeout)
        if not self._thread.is_alive():
            self.loop.close()


async def _as_coroutine(awaitable: Awaitable[Any]) -> Any:
    return await awaitable
