"""Type information for the native core, ``calvenor._core``.

Every parameter of every member is required and may be passed by position or
by keyword; an optional value is passed explicitly as ``None``.
"""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, final

__all__ = ["Router", "Request", "Response", "CalvenorApp"]

# Bytes are read item by item through the sequence protocol, so any sequence of
# ints in 0..255 is accepted; a str never is (it is not a Sequence[int]).
_ByteSequence: TypeAlias = bytes | bytearray | memoryview | Sequence[int]

# ASGI header list: (name, value) tuples, stored and passed on as received.
_RawHeaders: TypeAlias = Sequence[tuple[_ByteSequence, _ByteSequence]]

# int, bool or any object with __index__; 0..65535 at runtime.
_Status: TypeAlias = SupportsIndex

# Route parameters: None for a route without parameters, else name -> matched text.
_RouteParams: TypeAlias = dict[str, str] | None

# What a handler of CalvenorApp receives: a new dict per request with the keys
# "method" (str), "path" (str), "query_string" (bytes),
# "headers" (list[tuple[bytes, bytes]]) and "route_params" (dict[str, str]).
# Its result becomes JSON when it is a dict, text otherwise.
_Handler: TypeAlias = Callable[[dict[str, Any]], object]

@final
class Router:
    def __new__(cls) -> Router: ...
    def add(self, method: str, pattern: str, handler: object) -> None: ...
    def lookup(self, method: str, path: str) -> tuple[object, _RouteParams] | None:
        """Fast path lookup. Returns (handler, params) where params is None
        when the route has no path parameters."""

@final
class Request:
    def __new__(cls, method: str, path: str, query_string: str) -> Request: ...
    @property
    def method(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def query_string(self) -> str: ...
    @property
    def headers(self) -> dict[str, str]:
        """All headers, names lowercased; a later duplicate wins. Built on every access."""
    @property
    def query(self) -> dict[str, list[str]]:
        """Decoded query string: name -> every value, in order. Built on every access."""
    def set_headers(self, raw_headers: _RawHeaders) -> None: ...
    def get_header(self, name: str) -> str | None:
        """First header whose name equals ``name`` ignoring ASCII case, or None."""
    def set_body(self, body: _ByteSequence) -> None: ...
    def json(self) -> Any:
        """The body decoded as JSON ({} when no body was stored); ValueError when invalid."""
    def parse_multipart(
        self, boundary: str
    ) -> tuple[dict[str, list[str]], dict[str, list[tuple[str, str, bytes]]]]:
        """Parse a ``multipart/form-data`` body into ``(fields, files)``; each
        file is ``(filename, content_type, data)``."""

@final
class Response:
    def __new__(cls, body: _ByteSequence, status: _Status, content_type: str) -> Response: ...
    @staticmethod
    def json(data: object, status: _Status | None) -> Response:
        """Compact, HTML-safe JSON body; status 200 when ``status`` is None."""
    @staticmethod
    def text(text: str, status: _Status | None) -> Response:
        """UTF-8 text/plain body; status 200 when ``status`` is None."""
    @property
    def status(self) -> int: ...
    @property
    def body(self) -> bytes: ...
    @property
    def content_type(self) -> str: ...

@final
class CalvenorApp:
    def __new__(cls) -> CalvenorApp: ...
    def set_cors(
        self,
        origins: str | None,
        methods: str | None,
        headers: str | None,
        max_age: str | None,
    ) -> None: ...
    def cors_allows(self, origin: str) -> bool: ...
    def cors_is_wildcard(self) -> bool: ...
    def add_route(self, method: str, path: str, handler: _Handler) -> None: ...
    def resolve(self, method: str, path: str) -> tuple[_Handler, _RouteParams] | None:
        """Fast routing lookup: (handler, params) or None."""
    def has_cors(self) -> bool: ...
    def cors_preflight_headers(self, origin: str) -> dict[str, str] | None:
        """CORS preflight headers, only when ``origin`` is allowed."""
    def cors_origin(self, origin: str) -> str | None:
        """Access-Control-Allow-Origin value for normal responses, only when ``origin`` is allowed."""
    def gzip_compress(self, data: _ByteSequence) -> bytes: ...
    def handle_request(
        self,
        method: str,
        path: str,
        query_string: str,
        raw_headers: _RawHeaders,
        body: _ByteSequence,
    ) -> Response:
        """Route one request, call its handler with the request dict and build the
        Response (404 "Not Found" when no route matches)."""
    def serve_request(
        self, scope: Mapping[str, Any], gzip_min_size: int
    ) -> tuple[dict[str, Any], dict[str, Any]] | list[Any] | Literal[False] | None:
        """Serve a bodyless HTTP/1.x request from its ASGI scope as ``handle_request``
        would; a path under the scope's ``root_path`` is routed, and given to the handler,
        as the part below it. A body of 1 to ``gzip_min_size`` bytes comes back as the two
        ASGI messages to send, with the wire content type, the CORS headers of an allowed
        Origin and the content length; any other as [status, headers, body] without the
        length (the caller compresses a long body or not; an empty one may stand for a
        result it holds). HEAD gets an empty body. False when no route matches; None when the
        request is left to the caller (a body may follow, a CORS preflight, a non-ASCII
        path or origin, a non-UTF-8 query, scope values of other types than a server
        gives, a ``root_path`` not a str)."""
    def serve_read_request(
        self, scope: Mapping[str, Any], gzip_min_size: int
    ) -> tuple[dict[str, Any], dict[str, Any]] | list[Any] | Literal[False] | None:
        """``serve_request`` for a request whose body the caller has read and keeps for
        the handler: headers that frame a body and HTTP versions that may carry one do not
        leave it to the caller."""
    @staticmethod
    def dispatched_scope(req: object, /) -> dict[str, Any] | Literal[True] | None:
        """The ASGI scope ``serve_request`` got for ``req`` when ``req`` is the request dict a
        handler is being called with on this thread now; True when ``handle_request`` is
        calling one with it (no scope there); None for any other object."""
