"""An MCP server over stdio with a tool, resources (one fixed, one by
template) and a prompt, written with the SDK's server class: what the
gateway passes through besides tools."""

from __future__ import annotations

from mcp.server.mcpserver import MCPServer
from mcp.types import ToolAnnotations

server = MCPServer("library", version="1.0")
DAYS = {"monday": "Shelve the new arrivals.", "friday": "Count the returns."}


@server.tool(annotations=ToolAnnotations(readOnlyHint=True))
def opening_hours() -> str:
    """When the library is open."""
    return "9 to 5"


@server.resource("notes://today", name="today", title="Today's note", mime_type="text/plain")
def today() -> str:
    return "Read aloud at eleven."


@server.resource("notes://day/{day}", name="day", mime_type="text/plain")
def day(day: str) -> str:
    return DAYS.get(day, f"nothing planned on {day}")


@server.prompt(name="summarize", title="Summarize a topic")
def summarize(topic: str) -> str:
    """Asks for a summary of one topic from the library's notes."""
    return f"Summarize what the library's notes say about {topic}."


if __name__ == "__main__":
    server.run("stdio")
