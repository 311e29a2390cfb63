"""The ASGI scope a request dict came with: client, scheme, server, root_path.

A handler gets only the dict. While the native dispatch calls a sync handler it records the
dict and its scope; every other caller of a handler (an async handler, an error handler, a
request with a body) sets `current_scope` to (scope, dict) for as long as the handler runs,
or (scope, None) around a native dispatch that has no scope of its own. A dict asked about
at any other time has no scope: never another request's.
"""
from contextvars import ContextVar
from typing import Any, NamedTuple
from urllib.parse import quote, quote_from_bytes

from ._core import CalvenorApp
from .asgi import Scope

current_scope: ContextVar[tuple[Scope, dict[str, Any] | None] | None] = ContextVar("calvenor_scope", default=None)

# What redirects and URLs leave unescaped: the path is decoded text, the query raw bytes.
QUERY_SAFE = "/?:@!$&'()*+,;=%~"
PATH_SAFE = "/:@!$&'()*+,;=~"
_DEFAULT_PORTS = {"http": 80, "https": 443, "ws": 80, "wss": 443}


class Address(NamedTuple):
    host: str
    port: int


def scope_of(req: dict[str, Any]) -> Scope | None:
    """The scope `req` came with, while its handler (or its error handler) runs; else None."""
    found = CalvenorApp.dispatched_scope(req)
    if found is None or found is True:
        held = current_scope.get()
        if held is not None and (held[1] is req or (found is True and held[1] is None)):
            return held[0]
        return None
    return found


def origin(scope: Scope | None, host: str | None) -> str:
    """scheme://host[:port] from the Host header, else the server; "" without either."""
    scheme = scope.get("scheme", "http") if scope is not None else "http"
    if host is None:
        server = scope.get("server") if scope is not None else None
        if server is None:
            return ""
        name, port = server
        if ":" in name:  # an IPv6 address
            name = f"[{name}]"
        host = name if port is None or port == _DEFAULT_PORTS.get(scheme) else f"{name}:{port}"
    return f"{scheme}://{host}"


def url_path(path: str) -> str:
    return quote(path, safe=PATH_SAFE)


def url_query(query_string: bytes) -> str:
    """"?" and the escaped query, or "" for none."""
    return "?" + quote_from_bytes(query_string, safe=QUERY_SAFE) if query_string else ""


def full_url(scope: Scope | None, host: str | None, path: str, query_string: bytes) -> str:
    """scheme://host[:port]root_path+path[?query], for a `path` below the root."""
    root: str = scope.get("root_path", "") if scope is not None else ""
    return origin(scope, host) + url_path(root.rstrip("/") + path) + url_query(query_string)
