"""Daemon worker threads for blocking work.

``concurrent.futures.ThreadPoolExecutor`` does not fit the host kit twice
over: its threads are joined at interpreter exit, so one hung tool handler
keeps the process alive after ``close()``; and a bounded pool shared between
``execute`` calls and the handlers they wait for can deadlock.  Here every
job gets a thread at once (an idle one, or a new one), threads are daemons,
and idle threads end after a while.  Callers bound what they submit.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable

__all__ = ["Workers"]

Job = Callable[[], None]


class Workers:
    """Runs jobs (callables that handle their own errors) on daemon threads;
    a job never waits for another job to finish."""

    def __init__(self, name: str, idle_seconds: float = 30.0) -> None:
        self.name = name
        self.idle_seconds = idle_seconds
        self._jobs: queue.SimpleQueue[Job | None] = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._threads = 0
        self._idle = 0  # idle threads not yet promised a queued job
        self._busy = 0
        self._closed = False
        self._all_idle = threading.Condition(self._lock)

    def submit(self, job: Job) -> None:
        with self._lock:
            if self._closed:
                raise RuntimeError(f"worker pool {self.name} is shut down")
            if self._idle > 0:  # promised to an idle thread, which takes it from the queue
                self._idle -= 1
                self._jobs.put(job)
                return
            self._threads += 1
            self._busy += 1
        threading.Thread(target=self._work, args=(job,), name=self.name, daemon=True).start()

    def _work(self, job: Job | None) -> None:
        while job is not None:
            try:
                job()
            except BaseException:  # jobs report their own failures; the thread stays
                pass
            job = self._next()

    def _next(self) -> Job | None:
        with self._lock:
            self._busy -= 1
            if self._closed:
                self._threads -= 1
                self._all_idle.notify_all()
                return None
            self._idle += 1
            self._all_idle.notify_all()
        while True:
            try:
                job = self._jobs.get(timeout=self.idle_seconds)
            except queue.Empty:
                with self._lock:
                    if not self._jobs.qsize() and (self._closed or self._idle > 0):
                        self._idle = max(0, self._idle - 1)
                        self._threads -= 1
                        return None
                continue  # a job was promised to this thread meanwhile
            with self._lock:
                if job is None:
                    self._threads -= 1
                    return None
                self._busy += 1
            return job

    def wait_idle(self, timeout: float) -> bool:
        """Waits until no job runs; False when the timeout came first."""
        with self._lock:
            return self._all_idle.wait_for(lambda: self._busy == 0, timeout)

    def shutdown(self) -> None:
        """Refuses new jobs and ends idle threads; busy ones end after their
        job.  Jobs already submitted still run: each was promised a thread."""
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, 0
        for _ in range(idle):
            self._jobs.put(None)
