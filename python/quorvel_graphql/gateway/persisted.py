"""Automatic persisted queries, as Apollo's clients speak them: a request
may carry ``extensions.persistedQuery = {"version": 1, "sha256Hash": ...}``
instead of its text.  A hash the store knows stands for its text; an unknown
one is answered ``PERSISTED_QUERY_NOT_FOUND``, and the client sends the text
with the hash once, which the store then keeps.  A short hash in a GET URL
lets a proxy cache a read-only query whose text would not fit in one.

The store is bounded by the total size of the texts it keeps, least
recently used first out, so no client can grow it past what the operator
set."""

from __future__ import annotations

import hashlib
import hmac
from collections import OrderedDict
from typing import Any

DEFAULT_STORE_BYTES = 8 << 20
NOT_FOUND = "PersistedQueryNotFound"  # the message Apollo's clients match, beside the code
NOT_FOUND_CODE = "PERSISTED_QUERY_NOT_FOUND"
NOT_SUPPORTED = "PersistedQueryNotSupported"
NOT_SUPPORTED_CODE = "PERSISTED_QUERY_NOT_SUPPORTED"
HASH_MISMATCH = "provided sha does not match query"


class PersistedQueryError(ValueError):
    """A persisted query the gateway cannot run: the response is this one
    error; ``retry`` when a client should resend with the text."""

    def __init__(self, message: str, code: str | None = None, *, retry: bool = False) -> None:
        super().__init__(message)
        self.code = code
        self.retry = retry

    def document(self) -> dict[str, Any]:
        error: dict[str, Any] = {"message": str(self)}
        if self.code is not None:
            error["extensions"] = {"code": self.code}
        return {"errors": [error]}


class PersistedQueries:
    """The store: query texts by the SHA-256 of their UTF-8 form, at most
    ``max_bytes`` of text in all (a text larger than that is run but not
    kept).  Used from the event loop only, so it takes no lock."""

    def __init__(self, max_bytes: int = DEFAULT_STORE_BYTES) -> None:
        if max_bytes < 1:
            raise ValueError("the persisted query store needs a positive size in bytes")
        self.max_bytes = max_bytes
        self._texts: OrderedDict[str, tuple[str, int]] = OrderedDict()  # hash -> (text, its UTF-8 size)
        self._bytes = 0

    def __len__(self) -> int:
        return len(self._texts)

    @property
    def bytes(self) -> int:
        return self._bytes

    def resolve(self, query: str | None, extensions: dict[str, Any] | None) -> str | None:
        """The text to run: ``query`` itself when the request names no
        persisted query, the stored text for a known hash; a text sent with
        its hash is checked against it and kept.  None when the request has
        neither (the caller says the query is missing)."""
        persisted = (extensions or {}).get("persistedQuery")
        if persisted is None:
            return query
        if not isinstance(persisted, dict) or persisted.get("version") != 1:
            raise PersistedQueryError(NOT_SUPPORTED, NOT_SUPPORTED_CODE)
        digest = persisted.get("sha256Hash")
        if not isinstance(digest, str) or len(digest) != 64:
            raise PersistedQueryError('"persistedQuery" needs "sha256Hash": 64 hexadecimal digits')
        digest = digest.lower()
        if query is None:
            known = self._texts.get(digest)
            if known is None:
                raise PersistedQueryError(NOT_FOUND, NOT_FOUND_CODE, retry=True)
            self._texts.move_to_end(digest)
            return known[0]
        try:
            actual = hashlib.sha256(query.encode("utf-8")).hexdigest()
        except UnicodeEncodeError:  # a lone surrogate: no hash can name it, and the engine would refuse it
            raise PersistedQueryError(HASH_MISMATCH) from None
        if not hmac.compare_digest(actual, digest):
            raise PersistedQueryError(HASH_MISMATCH)
        self._keep(digest, query)
        return query

    def _keep(self, digest: str, query: str) -> None:
        size = len(query.encode("utf-8"))
        if digest in self._texts:
            self._texts.move_to_end(digest)
            return
        if size > self.max_bytes:
            return
        self._texts[digest] = (query, size)
        self._bytes += size
        while self._bytes > self.max_bytes:
            _, (_, dropped) = self._texts.popitem(last=False)
            self._bytes -= dropped
