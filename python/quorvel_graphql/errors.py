"""The package's exceptions: one family under :class:`QuorvelError`.

Each class also keeps the built-in base it had before the family existed, so
``except ValueError`` around config loading or ``except RuntimeError``
around start-up keep working while new code can catch ``QuorvelError``.
"""

from __future__ import annotations

from collections.abc import Mapping

__all__ = [
    "ConfigError",
    "HostStateError",
    "McpCallError",
    "QuorvelError",
    "ReadOnlyError",
    "ServerStartError",
    "ToolHandlerError",
    "UnknownToolError",
]


class QuorvelError(Exception):
    """Root of every exception this package raises on purpose."""


class ConfigError(QuorvelError, ValueError):
    """A server configuration cannot be read or is malformed."""


class ServerStartError(QuorvelError, RuntimeError):
    """One or more servers did not start; ``failures`` maps name to reason."""

    def __init__(self, failures: Mapping[str, str]) -> None:
        self.failures = dict(failures)
        super().__init__("; ".join(f"MCP server '{name}' failed to start: {why}" for name, why in failures.items()))


class McpCallError(QuorvelError, RuntimeError):
    """A tool call that the server (or its connection) could not complete."""


class HostStateError(QuorvelError, RuntimeError):
    """A ToolHost (or McpServers) used in a state that does not allow it:
    executing before ``start()``, starting twice, reopening after ``close()``."""


class UnknownToolError(QuorvelError, LookupError):
    """A handler registered for a (server, tool) the catalogue does not have."""


class ReadOnlyError(QuorvelError, PermissionError):
    """A call to a tool that is not read-only, refused by a read-only policy."""


class ToolHandlerError(QuorvelError, RuntimeError):
    """A handler ended with a BaseException (SystemExit, KeyboardInterrupt...)
    that must not unwind the host's threads or loops; the call fails instead."""
