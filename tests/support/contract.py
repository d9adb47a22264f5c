"""Texts of the module's contract that tests and benchmarks compare against.

No pytest import here: the benchmarks read it too.
"""

PLACEHOLDER = "SchemaEngine stub resolved {server}.{tool} but CallBridge is not wired yet"


def placeholder_text(server: str, tool: str) -> str:
    """What a tool field answers when no call bridge is attached."""
    return PLACEHOLDER.format(server=server, tool=tool)
