"""Several gateway processes on one port.

One interpreter runs Python on about one core at a time, so ``serve --http
--workers N`` starts N copies of the gateway, each a complete single-worker
gateway (its own tool host and tool servers, its own event loop), all
accepting from one listening socket that this supervisor made and handed
down.  The supervisor runs no tool host itself: it starts the workers,
announces the address once all are serving, replaces a worker that dies, and
passes SIGTERM and SIGINT on so that each worker shuts down as a lone one
would.

A worker learns its role from a hidden option, ``--worker-of
PID:LISTEN_FD:READY_FD``: it serves the inherited socket, reports ``ready
<tool fields>`` on the ready pipe instead of printing the address, and asks
the kernel for SIGTERM should the supervisor die without stopping it.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import selectors
import signal
import socket
import subprocess
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from .core import log

WORKER_OPTION = "--worker-of"
# A worker that dies this soon after starting is restarted after a pause that
# doubles each time (up to the cap), so a fault that kills every worker at
# start-up does not become a fork loop.
QUICK_DEATH_SECONDS = 10.0
MAX_RESTART_PAUSE = 30.0
PR_SET_PDEATHSIG = 1


def available_cpus() -> int:
    """CPUs this process may run on (its affinity mask, not the machine's count)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


@dataclass(frozen=True)
class WorkerRole:
    """What ``--worker-of`` tells a worker."""

    supervisor: int
    listen_fd: int
    ready_fd: int

    @classmethod
    def parse(cls, text: str) -> WorkerRole:
        parts = text.split(":")
        if len(parts) != 3 or not all(part.isascii() and part.isdigit() for part in parts):
            raise ValueError(f"{WORKER_OPTION} takes PID:LISTEN_FD:READY_FD, not {text!r}")
        return cls(*(int(part) for part in parts))

    def adopt(self) -> socket.socket:
        """Ties this process's life to the supervisor's and returns the
        inherited listening socket."""
        _exit_with_parent()
        if os.getppid() != self.supervisor:  # it died before the request above took effect
            raise ProcessLookupError(f"the supervisor {self.supervisor} is gone")
        return socket.socket(fileno=self.listen_fd)

    def report_ready(self, tool_fields: int) -> None:
        with contextlib.suppress(OSError):
            os.write(self.ready_fd, f"ready {tool_fields}\n".encode())
            os.close(self.ready_fd)


def _exit_with_parent() -> None:
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):  # not Linux: the worker then outlives a killed supervisor
        log.debug("cannot ask for SIGTERM on the supervisor's death")


@dataclass
class _Worker:
    number: int
    process: subprocess.Popen[bytes]
    ready_pipe: int
    started: float
    ready: bool = False
    tool_fields: int = 0


@dataclass
class _Restart:
    number: int
    due: float


@dataclass
class Supervisor:
    """Runs ``count`` workers of ``command`` on ``listener`` until signalled.

    ``announce(tool_fields)`` runs once, when every first worker is serving.
    ``run`` returns the exit status: 0 after a signalled shutdown in which
    every worker stopped cleanly, else the status of the first that did not;
    a worker that fails before the gateway is first ready ends the whole
    start-up with its status (2 for a config problem, 3 for a tool server)."""

    command: Sequence[str]
    count: int
    listener: socket.socket
    announce: Callable[[int], None]
    on_exit: Callable[[int], None] | None = None  # called with each worker's process id once it has ended
    workers: dict[int, _Worker] = field(default_factory=dict)
    restarts: list[_Restart] = field(default_factory=list)
    quick_deaths: int = 0
    pending_signals: list[int] = field(default_factory=list)
    stopping: bool = False
    status: int = 0

    def run(self) -> int:
        wake_read, wake_write = os.pipe()
        os.set_blocking(wake_write, False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(wake_read, selectors.EVENT_READ)
        previous = self._catch_signals(wake_write)
        try:
            for number in range(self.count):
                self._spawn(number)
            announced = False
            while self.workers or (self.restarts and not self.stopping):
                self._wait(wake_read)
                self._pass_signals_on()
                if self._reap(announced) is not None and not (announced or self.stopping):
                    return self._abort_start()
                if not (announced or self.stopping) and len(self.workers) == self.count \
                        and all(w.ready for w in self.workers.values()):
                    self.announce(next(iter(self.workers.values())).tool_fields)
                    announced = True
                self._restart_due()
            return self.status
        finally:
            self._restore_signals(previous)
            if self.workers:  # only when leaving by an exception
                self._abort_start()
            self._selector.close()
            os.close(wake_read)
            os.close(wake_write)

    # -- signals --------------------------------------------------------------

    def _catch_signals(self, wake_write: int) -> dict[int, object]:
        previous: dict[int, object] = {number: signal.getsignal(number) for number in _SIGNALS}
        signal.signal(signal.SIGTERM, self._on_stop)
        signal.signal(signal.SIGINT, self._on_stop)
        signal.signal(signal.SIGCHLD, lambda number, frame: None)  # wakes the selector through the wake-up fd
        previous["wakeup"] = signal.set_wakeup_fd(wake_write)
        return previous

    @staticmethod
    def _restore_signals(previous: dict[int, object]) -> None:
        signal.set_wakeup_fd(previous.pop("wakeup"))  # type: ignore[call-overload]
        for number, handler in previous.items():
            signal.signal(number, handler)  # type: ignore[arg-type]

    def _on_stop(self, number: int, frame: object) -> None:
        self.pending_signals.append(number)  # passed on by the main loop, which the wake-up fd wakes

    def _pass_signals_on(self) -> None:
        # Workers run in process groups of their own (a terminal's Ctrl-C
        # reaches only the supervisor), so each gets every signal once, from
        # here: a lone gateway's second signal stops waiting for open
        # connections, and so does a worker's.
        while self.pending_signals:
            number = self.pending_signals.pop(0)
            if not self.stopping:
                log.info("signalled: stopping %d workers", len(self.workers))
            self.stopping = True
            self.restarts.clear()
            for worker in self.workers.values():
                with contextlib.suppress(ProcessLookupError):
                    worker.process.send_signal(number)

    # -- workers --------------------------------------------------------------

    def _spawn(self, number: int) -> None:
        ready_read, ready_write = os.pipe()
        role = f"{os.getpid()}:{self.listener.fileno()}:{ready_write}"
        try:
            process = subprocess.Popen([*self.command, WORKER_OPTION, role], stdin=subprocess.DEVNULL,
                                       pass_fds=(self.listener.fileno(), ready_write), process_group=0)
        except BaseException:
            os.close(ready_read)
            raise
        finally:
            os.close(ready_write)
        self.workers[process.pid] = _Worker(number, process, ready_read, time.monotonic())
        self._selector.register(ready_read, selectors.EVENT_READ, process.pid)
        log.debug("worker %d started as process %d", number, process.pid)

    def _wait(self, wake_read: int) -> None:
        timeout = max(0.0, min(r.due for r in self.restarts) - time.monotonic()) if self.restarts else None
        for key, _ in self._selector.select(timeout):
            if key.fd == wake_read:
                with contextlib.suppress(BlockingIOError, InterruptedError):
                    os.read(wake_read, 512)
                continue
            worker = self.workers.get(key.data)
            line = _read_some(key.fd)
            if worker is not None and line.startswith(b"ready"):
                worker.ready = True
                worker.tool_fields = int(line.split()[1]) if len(line.split()) > 1 else 0
                log.info("worker %d (process %d) is serving", worker.number, worker.process.pid)
            self._selector.unregister(key.fd)
            os.close(key.fd)
            if worker is not None:
                worker.ready_pipe = -1

    def _reap(self, announced: bool) -> int | None:
        """Takes note of workers that ended; returns the status of the last."""
        ended = None
        for pid, worker in list(self.workers.items()):
            status = worker.process.poll()
            if status is None:
                continue
            ended = _exit_status(status)
            del self.workers[pid]
            if self.on_exit is not None:
                self.on_exit(pid)
            if worker.ready_pipe >= 0:
                self._selector.unregister(worker.ready_pipe)
                os.close(worker.ready_pipe)
            if self.stopping or not announced:
                if ended and not self.status:
                    self.status = ended
                continue
            self._schedule_restart(worker, status)
        return ended

    def _schedule_restart(self, worker: _Worker, status: int) -> None:
        lived = time.monotonic() - worker.started
        self.quick_deaths = self.quick_deaths + 1 if lived < QUICK_DEATH_SECONDS else 0
        pause = min(MAX_RESTART_PAUSE, 2.0 ** (self.quick_deaths - 1)) if self.quick_deaths else 0.0
        how = f"signal {-status}" if status < 0 else f"status {status}"
        log.warning("worker %d (process %d) ended with %s; starting a new one%s", worker.number,
                    worker.process.pid, how, f" in {pause:.0f} s" if pause else "")
        self.restarts.append(_Restart(worker.number, time.monotonic() + pause))

    def _restart_due(self) -> None:
        now = time.monotonic()
        due = [r for r in self.restarts if r.due <= now]
        self.restarts = [r for r in self.restarts if r.due > now]
        for restart in due:
            self._spawn(restart.number)

    def _abort_start(self) -> int:
        """Stops every worker (SIGTERM, then SIGKILL past the grace period)."""
        for worker in self.workers.values():
            with contextlib.suppress(ProcessLookupError):
                worker.process.send_signal(signal.SIGTERM)
        for worker in self.workers.values():
            _end(worker.process)
        self.workers.clear()
        return self.status or 1


_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGCHLD)
STOP_GRACE_SECONDS = 15.0


def _read_some(fd: int) -> bytes:
    try:
        return os.read(fd, 256)
    except OSError:
        return b""


def _exit_status(returncode: int) -> int:
    """A worker's status as the supervisor's: killed by a signal is 1."""
    return 1 if returncode < 0 else returncode


def _end(process: subprocess.Popen[bytes]) -> None:
    try:
        process.wait(STOP_GRACE_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
