"""One HTTP client for the tests' plain requests to gateways.  Each new httpx
client builds an SSL context, about 25 ms of CPU even for an http:// URL,
and ``httpx.get`` makes a new client per call.  No connection is kept, so a
request never lands on a connection to a gateway that has since stopped."""

from __future__ import annotations

import httpx

client = httpx.Client(timeout=30, limits=httpx.Limits(max_keepalive_connections=0))
