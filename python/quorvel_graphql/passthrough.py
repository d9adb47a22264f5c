"""The resources and prompts of the tool servers, passed through as other
MCP aggregators do: a gateway lists them all, each under its server's
prefix, and sends each read or get to the server that offers it.

Names get the prefix the tool fields have (``<server>_<name>``), so a
client can tell whose they are and two servers' prompts never clash; a
prompt is got by its prefixed name.  Resource URIs are the servers' own
(a URI names a thing, and clients may already know it): a read goes to the
server that listed the URI, or that offers a template the URI fits.  Where
two servers list one URI, the first in the configuration keeps it.

The sessions live on the servers' event loop (see ``mcp_adapter``); each
call here is carried there and its answer back."""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Awaitable, Callable, Coroutine
from typing import TYPE_CHECKING, Any, TypeVar

import mcp_types as types
from mcp import ClientSession, MCPError

if TYPE_CHECKING:
    from .mcp_adapter import McpServers

log = logging.getLogger("quorvel_graphql.mcp")

_T = TypeVar("_T")
# Pages of one server's listing read at most: a server whose cursor never
# ends must not hold a gateway's listing forever.
MAX_PAGES = 64


class McpPassthrough:
    """Resources and prompts of the servers of one :class:`McpServers`;
    its methods are awaited on any event loop."""

    def __init__(self, servers: McpServers) -> None:
        self._servers = servers
        self._resource_owner: dict[str, str] = {}  # URI -> server, from the latest listing
        self._prompts: dict[str, tuple[str, str]] = {}  # prefixed name -> (server, the server's name)
        self._templates: list[tuple[str, str]] = []  # (server, the template's text before its first variable)

    # -- resources --------------------------------------------------------------

    async def list_resources(self) -> list[types.Resource]:
        return await self._there(self._list_resources())

    async def list_resource_templates(self) -> list[types.ResourceTemplate]:
        return await self._there(self._list_templates())

    async def read_resource(self, uri: str) -> types.ReadResourceResult:
        return await self._there(self._read(uri))

    # -- prompts ------------------------------------------------------------------

    async def list_prompts(self) -> list[types.Prompt]:
        return await self._there(self._list_prompts())

    async def get_prompt(self, name: str, arguments: dict[str, str] | None) -> types.GetPromptResult:
        return await self._there(self._get_prompt(name, arguments))

    # -- on the servers' loop -----------------------------------------------------

    async def _there(self, work: Coroutine[Any, Any, _T]) -> _T:
        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(work, self._servers.loop))

    def _offering(self, capability: str) -> list[tuple[str, ClientSession]]:
        offered = []
        for name, session in self._servers.sessions():
            capabilities = session.server_capabilities
            if capabilities is not None and getattr(capabilities, capability) is not None:
                offered.append((name, session))
        return offered

    async def _list_resources(self) -> list[types.Resource]:
        listed: list[types.Resource] = []
        owners: dict[str, str] = {}
        for server, session in self._offering("resources"):
            for resource in await _all_pages(session.list_resources, "resources", server):
                uri = str(resource.uri)
                if uri in owners:
                    log.warning("MCP servers '%s' and '%s' both offer the resource %s; '%s' answers for it",
                                owners[uri], server, uri, owners[uri])
                    continue
                owners[uri] = server
                listed.append(resource.model_copy(update={"name": f"{server}_{resource.name}",
                                                          "title": _titled(server, resource.title)}))
        self._resource_owner = owners
        return listed

    async def _list_templates(self) -> list[types.ResourceTemplate]:
        listed: list[types.ResourceTemplate] = []
        fixed: list[tuple[str, str]] = []
        for server, session in self._offering("resources"):
            for template in await _all_pages(session.list_resource_templates, "resource_templates", server):
                fixed.append((server, template.uri_template.split("{", 1)[0]))
                listed.append(template.model_copy(update={"name": f"{server}_{template.name}",
                                                          "title": _titled(server, template.title)}))
        self._templates = fixed
        return listed

    async def _read(self, uri: str) -> types.ReadResourceResult:
        server = self._owner(uri)
        if server is None:  # listed since, or never: the servers are asked again once
            await self._list_resources()
            await self._list_templates()
            server = self._owner(uri)
        session = dict(self._servers.sessions()).get(server or "")
        if session is None:
            why = "no tool server offers it" if server is None else f"its server '{server}' is not up"
            raise MCPError(types.INVALID_PARAMS, f"cannot read the resource {uri}: {why}")
        return await session.read_resource(uri)

    def _owner(self, uri: str) -> str | None:
        owner = self._resource_owner.get(uri)
        if owner is not None:
            return owner
        # The longest fixed start wins: "db://tables/{t}" before "db://{path}".
        fits = [(len(start), server) for server, start in self._templates if start and uri.startswith(start)]
        return max(fits)[1] if fits else None

    async def _list_prompts(self) -> list[types.Prompt]:
        listed: list[types.Prompt] = []
        names: dict[str, tuple[str, str]] = {}
        for server, session in self._offering("prompts"):
            for prompt in await _all_pages(session.list_prompts, "prompts", server):
                shown = f"{server}_{prompt.name}"
                names[shown] = (server, prompt.name)
                listed.append(prompt.model_copy(update={"name": shown, "title": _titled(server, prompt.title)}))
        self._prompts = names
        return listed

    async def _get_prompt(self, name: str, arguments: dict[str, str] | None) -> types.GetPromptResult:
        if name not in self._prompts:
            await self._list_prompts()
        known = self._prompts.get(name)
        if known is None:
            raise MCPError(types.INVALID_PARAMS, f"unknown prompt {name!r}: prompts/list names them "
                           "(<server>_<prompt>)")
        server, own = known
        session = dict(self._servers.sessions()).get(server)
        if session is None:
            raise MCPError(types.INVALID_PARAMS, f"cannot get the prompt {name!r}: its server '{server}' is not up")
        return await session.get_prompt(own, arguments)


async def _all_pages(method: Callable[..., Awaitable[Any]], field: str, server: str) -> list[Any]:
    items: list[Any] = []
    cursor: str | None = None
    for _ in range(MAX_PAGES):
        try:
            page = await method(params=types.PaginatedRequestParams(cursor=cursor) if cursor else None)
        except MCPError as error:  # one server's failure hides only its own items
            log.warning("MCP server '%s' refused to list its %s: %s", server, field.replace("_", " "), error)
            return items
        items.extend(getattr(page, field))
        cursor = page.next_cursor
        if not cursor:
            return items
    log.warning("MCP server '%s' lists its %s in more than %d pages; the rest are left out", server,
                field.replace("_", " "), MAX_PAGES)
    return items


def _titled(server: str, title: str | None) -> str | None:
    return f"{title} ({server})" if title else None
