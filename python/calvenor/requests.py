"""What a handler reads from its request dict: a `Request` with lazy decoding, cookies and forms.

Nothing is built unless a handler asks for it.
"""
import re
from typing import Any

from ._core import Request as NativeRequest
from .asgi import Scope
from .connection import Address, full_url, origin, scope_of, url_path
from .current import current_body
from .errors import HTTPError, InvalidJSON
from .urls import serving_app

Form = tuple[dict[str, list[str]], dict[str, list[tuple[str, str, bytes]]]]

_COOKIE_NAME = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")


class Request:
    """The request being handled: the dict's fields, its body, and decoders over both.

    `scope` is the ASGI scope the dict came with, None once its handler has returned."""

    __slots__ = ("req", "body", "native", "scope", "_has_headers")

    def __init__(self, req: dict[str, Any]) -> None:
        self.req = req
        self.scope: Scope | None = scope_of(req)
        self.body: bytes = current_body.get()
        # One character per raw byte: the native query decoder restores the bytes exactly,
        # whether or not they are UTF-8.
        self.native = NativeRequest(req["method"], req["path"], req["query_string"].decode("latin-1"))
        self.native.set_body(self.body)
        # Headers go to the native request when first asked for: most handlers read only the
        # body or the query, and copying every pair was a third of building a Request.
        self._has_headers = False

    def _with_headers(self) -> NativeRequest:
        if not self._has_headers:
            self.native.set_headers(self.req["headers"])
            self._has_headers = True
        return self.native

    @property
    def method(self) -> str:
        return self.req["method"]  # type: ignore[no-any-return]

    @property
    def path(self) -> str:
        return self.req["path"]  # type: ignore[no-any-return]

    @property
    def route_params(self) -> dict[str, Any]:
        return self.req["route_params"]  # type: ignore[no-any-return]

    @property
    def path_params(self) -> dict[str, Any]:
        return self.req["route_params"]  # type: ignore[no-any-return]

    @property
    def client(self) -> Address | None:
        """The peer's (host, port), as the server gave it; None when it gave none."""
        client = self.scope.get("client") if self.scope is not None else None
        return None if client is None else Address(*client)

    @property
    def scheme(self) -> str:
        return self.scope.get("scheme", "http") if self.scope is not None else "http"

    @property
    def root_path(self) -> str:
        return self.scope.get("root_path", "") if self.scope is not None else ""

    @property
    def url(self) -> str:
        """scheme://host[:port]root_path+path[?query]; host from the Host header, else the server."""
        return full_url(self.scope, self.get_header("host"), self.path, self.req["query_string"])

    @property
    def base_url(self) -> str:
        """The URL of the application's root: scheme://host[:port]root_path/."""
        return origin(self.scope, self.get_header("host")) + url_path(self.root_path.rstrip("/") + "/")

    @property
    def headers(self) -> dict[str, str]:
        """Names lower-cased; of repeated headers the last."""
        return self._with_headers().headers

    def get_header(self, name: str) -> str | None:
        """The first header called `name` (any case), or None."""
        return self._with_headers().get_header(name)

    @property
    def query(self) -> dict[str, list[str]]:
        return self.native.query

    query_params = query

    @property
    def cookies(self) -> dict[str, str]:
        return cookies(self.req)

    def json(self) -> Any:
        """The body as JSON ({} without a body); `InvalidJSON` (a ValueError) when it is not JSON."""
        try:
            return self.native.json()
        except ValueError as exc:
            raise InvalidJSON(*exc.args) from None

    def parse_multipart(self, boundary: str) -> Form:
        return self.native.parse_multipart(boundary)

    def url_for(self, name: str, /, **path_params: Any) -> str:
        """The absolute URL of the route called `name`: `base_url` and the serving app's
        `url_path_for(name, **path_params)`."""
        return self.base_url.rstrip("/") + serving_app().url_path_for(name, **path_params)


def request(req: dict[str, Any]) -> Request:
    """A `Request` for the request dict `req`, with its headers and body."""
    return Request(req)


def cookies(req: dict[str, Any]) -> dict[str, str]:
    """The cookies of every Cookie header; a pair that is not `name=value` is skipped, and of
    repeated names the first is kept (browsers send the most specific path first)."""
    jar: dict[str, str] = {}
    for name, value in req["headers"]:
        if name.lower() != b"cookie":
            continue
        for pair in value.decode("utf-8", "replace").split(";"):
            key, eq, val = pair.partition("=")
            key = key.strip()
            if not eq or not _COOKIE_NAME.fullmatch(key):
                continue
            val = val.strip()
            if len(val) >= 2 and val[0] == val[-1] == '"':
                val = val[1:-1]
            jar.setdefault(key, val)
    return jar


def multipart_boundary(content_type: str) -> str | None:
    """The boundary of a multipart/form-data content type, or None for anything else."""
    kind, *params = content_type.split(";")
    if kind.strip().lower() != "multipart/form-data":
        return None
    for param in params:
        key, _, value = param.partition("=")
        if key.strip().lower() == "boundary":
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] == '"':
                value = value[1:-1]
            return value or None
    return None


def form(req: dict[str, Any]) -> Form:
    """`(fields, files)` of a multipart/form-data or application/x-www-form-urlencoded body
    (no files); 415 for another type, 400 for a multipart body without boundary or cut short."""
    r = Request(req)
    content_type = r.get_header("content-type") or ""
    kind = content_type.partition(";")[0].strip().lower()
    if kind == "application/x-www-form-urlencoded":
        # The same decoding as a query string.
        return NativeRequest("POST", "/", r.body.decode("latin-1")).query, {}
    if kind != "multipart/form-data":
        raise HTTPError(415, "Expected a form body (multipart/form-data or application/x-www-form-urlencoded)")
    boundary = multipart_boundary(content_type)
    if boundary is None:
        raise HTTPError(400, "Expected a multipart/form-data body with a boundary")
    # The parser skips what it cannot read; a missing closing delimiter means the upload was
    # cut short, which a client should hear about rather than get a partial form.
    if r.body.rfind(b"--" + boundary.encode() + b"--") < 0:
        raise HTTPError(400, "Truncated multipart body")
    return r.native.parse_multipart(boundary)
