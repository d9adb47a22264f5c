"""What the tests and benchmarks read from Linux's /proc: the memory of a
process, the names and states of this process's threads, and the process
tree (who started whom, with what command line, whether it still runs).

No pytest import here: the benchmarks and the scripts that tests run as
child processes read it too.
"""

from __future__ import annotations

import os
import resource

PAGE = resource.getpagesize()


def stat_fields(path: str) -> list[str]:
    """The fields of a ``stat`` file after the command name, which may hold
    spaces and parentheses of its own: field 0 is the state, 1 the parent."""
    with open(path) as stat:
        return stat.read().rsplit(")", 1)[1].split()


def rss_bytes(pid: int | str = "self") -> int:
    """Resident memory of a process."""
    with open(f"/proc/{pid}/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def mapped_bytes(pid: int | str = "self") -> int:
    """Address space a process has mapped, the figure RLIMIT_AS limits."""
    with open(f"/proc/{pid}/statm") as statm:
        return int(statm.read().split()[0]) * PAGE


def thread_state(native_id: int) -> str:
    """The scheduler's state letter of one thread of this process ("S" sleeping, "R" running)."""
    return stat_fields(f"/proc/self/task/{native_id}/stat")[0]


def threads_named(name: str) -> int:
    """Threads of this process that carry ``name`` (as set with pthread_setname_np)."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                count += comm.read().strip() == name
        except OSError:  # the thread ended while we looked
            pass
    return count


def parents() -> dict[int, int]:
    """The parent of every process in sight."""
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                found[int(entry)] = int(stat_fields(f"/proc/{entry}/stat")[1])
            except (OSError, IndexError):  # ended while we looked
                pass
    return found


def children_of(pid: int) -> set[int]:
    return {child for child, parent in parents().items() if parent == pid}


def descendants_of(pid: int) -> set[int]:
    """Children, grandchildren and so on; an orphan re-parented to init is no longer counted."""
    tree = parents()
    found = set()
    for candidate in tree:
        ancestor = tree.get(candidate)
        while ancestor not in (None, 0, 1, pid):
            ancestor = tree.get(ancestor)
        if ancestor == pid:
            found.add(candidate)
    return found


def command_line(pid: int) -> str:
    """A process's arguments joined by spaces; empty once it has gone."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as stream:
            return stream.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return ""


def alive(pid: int) -> bool:
    """Running, as opposed to gone or a zombie waiting for its parent."""
    try:
        return stat_fields(f"/proc/{pid}/stat")[0] != "Z"
    except (OSError, IndexError):
        return False
