"""`App`: route registration and the ASGI entry point over the native `CalvenorApp`.

The native core routes, calls sync handlers and builds responses; this layer only reads
the body, answers CORS preflights, adds the CORS and gzip headers and turns handler
errors into 4xx/5xx responses.
"""
import sys
from collections.abc import Callable, Iterable
from typing import TypeVar

from ._core import CalvenorApp
from .asgi import (
    TOO_LARGE, Hook, Receive, Scope, Send, declared_too_large, lenient_path, read_rest, run_lifespan,
    send_plain,
)
from .current import current_body
from .encoding import accepts_gzip
from .handlers import (
    AsyncCall, AsyncHandler, Handler, RequestDict, error_response, is_async, stand_in, to_response,
)

# Decorators hand back what they were given, so handlers and hooks keep their own types.
H = TypeVar("H", bound=Handler)
K = TypeVar("K", bound=Hook)

# The core's text responses are UTF-8; say so on the wire.
_WIRE_CONTENT_TYPES = {
    "text/plain": b"text/plain; charset=utf-8",
    "application/json; charset=utf-8": b"application/json; charset=utf-8",
}
_NO_BODY_STATUSES = frozenset({204, 304})


class App:
    """An ASGI 3 application.

    Handlers take the request dict of the native dispatch (method, path, query_string,
    headers, route_params) and return a dict (JSON), a str (text) or anything else (its
    str() as text). `calvenor.request(req)` gives a `Request` with the body for JSON, query
    and form decoding; raising `calvenor.HTTPError(status, detail)` answers with that status.
    """

    def __init__(self, *, max_body_size: int = 1 << 20, gzip_min_size: int | None = 1024,
                 on_startup: Iterable[Hook] = (), on_shutdown: Iterable[Hook] = ()) -> None:
        self.core = CalvenorApp()
        self.max_body_size = max_body_size
        # None turns compression off.
        self.gzip_min_size = sys.maxsize if gzip_min_size is None else gzip_min_size
        self._startup = list(on_startup)
        self._shutdown = list(on_shutdown)
        self._cors = False
        self._cors_wildcard = False

    # Registration

    def route(self, path: str, methods: Iterable[str] = ("GET",)) -> Callable[[H], H]:
        def register(handler: H) -> H:
            target = stand_in(handler) if is_async(handler) else handler
            for method in methods:
                self.core.add_route(method.upper(), path, target)
            return handler

        return register

    def get(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("GET",))

    def post(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("POST",))

    def put(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("PUT",))

    def patch(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("PATCH",))

    def delete(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("DELETE",))

    def options(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("OPTIONS",))

    def head(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("HEAD",))

    def cors(self, origins: str | Iterable[str] = "*", methods: str | Iterable[str] | None = None,
             headers: str | Iterable[str] | None = None, max_age: int | None = None) -> None:
        """Allow cross-origin requests. Lists are joined with commas; None keeps the default
        (all common methods, any header, 600 seconds)."""
        def text(value: str | int | Iterable[str] | None) -> str | None:
            if value is None or isinstance(value, str):
                return value
            if isinstance(value, int):
                return str(value)
            return ",".join(value)

        self.core.set_cors(text(origins), text(methods), text(headers), text(max_age))
        self._cors = True
        self._cors_wildcard = self.core.cors_is_wildcard()

    def on_startup(self, hook: K) -> K:
        """Register a sync or async function to run at server start-up."""
        self._startup.append(hook)
        return hook

    def on_shutdown(self, hook: K) -> K:
        self._shutdown.append(hook)
        return hook

    # ASGI

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return await self._other_scope(scope, receive, send)
        headers: list[tuple[bytes, bytes]] = scope["headers"]
        fields = dict(headers)  # the server lowercases names
        limit = self.max_body_size
        declared = fields.get(b"content-length")
        if declared is not None and declared_too_large(declared, limit):
            return await send_plain(send, 413, "Payload Too Large")
        message = await receive()
        body: bytes = message.get("body", b"")
        if message.get("more_body"):
            rest = await read_rest(receive, body, limit)
            if rest is None:
                return  # the client went away
            if rest is TOO_LARGE:
                return await send_plain(send, 413, "Payload Too Large")
            body = rest
        if len(body) > limit:
            return await send_plain(send, 413, "Payload Too Large")

        method: str = scope["method"]
        path: str = scope["path"]
        if not path.isascii():
            path = lenient_path(path)
        origin: str | None = None
        if self._cors:
            raw_origin = fields.get(b"origin")
            if raw_origin is not None:
                origin = raw_origin.decode("latin-1")
                if method == "OPTIONS" and b"access-control-request-method" in fields:
                    allowed = self.core.cors_preflight_headers(origin)
                    if allowed is not None:
                        return await self._send_preflight(send, allowed)

        # Setting a context variable costs as much as the rest of this block; most requests
        # have no body, and the servers run each request in a context of its own.
        if body or current_body.get():
            current_body.set(body)
        # Latin-1 keeps one character per raw byte, which the core's query decoder restores.
        query_string: bytes = scope["query_string"]
        query = query_string.decode("latin-1") if query_string else ""
        try:
            try:
                # The core never hands the body to handlers; passing it would only copy it.
                response = self.core.handle_request(method, path, query, headers, b"")
            except AsyncCall as call:
                handler: AsyncHandler
                req: RequestDict
                handler, req = call.args
                response = to_response(await handler(req))
        except Exception as exc:
            response = error_response(exc, method, path)

        status = response.status
        body = response.body
        content_type = response.content_type
        out = [(b"content-type", _WIRE_CONTENT_TYPES.get(content_type) or content_type.encode())]
        if origin is not None:
            allow = self.core.cors_origin(origin)
            if allow is not None:
                out.append((b"access-control-allow-origin", allow.encode("latin-1")))
                if not self._cors_wildcard:
                    out.append((b"vary", b"origin"))
        if len(body) > self.gzip_min_size:
            out.append((b"vary", b"accept-encoding"))
            accept = fields.get(b"accept-encoding")
            if accept is not None and accepts_gzip(accept):
                body = self.core.gzip_compress(body)
                out.append((b"content-encoding", b"gzip"))
        if status in _NO_BODY_STATUSES:
            body = b""
        else:
            out.append((b"content-length", b"%d" % len(body)))
        await send({"type": "http.response.start", "status": status, "headers": out})
        await send({"type": "http.response.body", "body": body})

    async def _send_preflight(self, send: Send, allowed: dict[str, str]) -> None:
        out = [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in allowed.items()]
        if not self._cors_wildcard:
            out.append((b"vary", b"origin"))
        await send({"type": "http.response.start", "status": 204, "headers": out})
        await send({"type": "http.response.body", "body": b""})

    async def _other_scope(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            return await run_lifespan(receive, send, self._startup, self._shutdown)
        if scope["type"] == "websocket":
            await receive()  # websocket.connect
            await send({"type": "websocket.close", "code": 1000})
            return
        raise ValueError(f"unsupported ASGI scope type {scope['type']!r}")
