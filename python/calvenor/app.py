"""`App`: the ASGI entry point over the native `CalvenorApp`.

The native core routes, calls handlers (an async one up to its first wait) and builds the
responses of dict and str results, before and after a body is read; this layer reads the
body, answers CORS preflights, adds the CORS, gzip and length headers, and takes the slow
paths: other results, async handlers that wait, errors, misses (405, HEAD, OPTIONS, trailing
slashes), mounts and WebSockets.
"""
import functools
import operator
import sys
import types
from collections.abc import Awaitable, Callable, Generator, Iterable
from contextlib import AbstractAsyncContextManager
from threading import get_ident
from types import SimpleNamespace
from typing import Any, TypeVar

from ._core import CalvenorApp, Response as NativeResponse
from .asgi import (
    TOO_LARGE, ASGIApp, Hook, Message, Receive, Scope, Send, declared_too_large, lenient_path, mount_scope, path_root,
    read_rest, refused_header_lists, route_path, run_lifespan, send_plain,
)
from .background import run_background
from .connection import current_scope, url_path, url_query
from .current import current_body
from .encoding import accepts_gzip
from .errors import HTTPError, InvalidJSON
from .handlers import (
    Converter, ErrorHandlers, Handler, HandlerFailed, Held, NoMatch, PENDING, finish, framework_response,
    handle_error, http_error_default, internal_fault, invalid_json_default, make_target, to_response,
)
from .responses import NO_BODY_STATUSES, PlainTextResponse, RedirectResponse, Response
from .routing import E, Routes, compile_pattern, route_name
from .urls import NoMatchFound, Template, fill

K = TypeVar("K", bound=Hook)

# The core's text responses are UTF-8; say so on the wire.
_WIRE_CONTENT_TYPES = {
    "text/plain": b"text/plain; charset=utf-8",
    "application/json; charset=utf-8": b"application/json; charset=utf-8",
}
# HTTP/1.x requests without either header have no body; other versions may.
_BODYLESS_VERSIONS = frozenset({"1.1", "1.0", None})
# The native table's pseudo-method for WebSocket routes.
WEBSOCKET = "WEBSOCKET"
_NOT_FOUND = PlainTextResponse("Not Found", 404)
_TEXT_HEADERS = [(b"content-type", b"text/plain; charset=utf-8")]
# The misses an exception handler keyed by status may answer, and their HTTPError's detail.
_MISS_TEXTS = {404: "Not Found", 405: "Method Not Allowed"}
# What the core raises when a dispatch already holds it.
_BUSY = ("Already borrowed",)


@types.coroutine
def _step_aside() -> Generator[None, None, None]:
    """Let the event loop run once (a bare yield, as asyncio.sleep(0))."""
    yield


class State(SimpleNamespace):
    """What an application keeps for its handlers: `app.state.db = ...` in a lifespan."""


class App(Routes, functools.partial[Awaitable[None]]):
    """An ASGI 3 application.

    Handlers take the request dict of the native dispatch (method, path, query_string,
    headers, route_params) and return a dict or list (JSON), a str (text), a `Response`, or
    anything else (its str() as text). `calvenor.request(req)` gives a `Request` with the
    body for JSON, query and form decoding; raising `calvenor.HTTPError(status, detail)`
    answers with that status.

    `lifespan(app)`, an async context manager factory, is entered at server start-up before
    the `on_startup` hooks run and left at shutdown after the `on_shutdown` hooks ran;
    `app.state` holds what it sets up.
    """

    # A partial of its own `_serve`: the server's call per request goes straight to it by
    # vectorcall, where an instance of a class with `__call__` costs an argument tuple and a
    # method lookup.
    def __new__(cls, *args: Any, **kwargs: Any) -> "App":
        app = super().__new__(cls, cls._serve)
        functools.partial.__setstate__(app, (cls._serve, (app,), None, None))  # type: ignore[attr-defined]
        return app

    # Slots: what the plain path reads per request, read fast (a partial's attributes are
    # looked up in its dict).
    __slots__ = ("core", "gzip_min_size")

    # Not a partial anywhere else: its own repr, and no binding as a class attribute.
    __repr__ = object.__repr__

    def __get__(self, instance: object, owner: type | None = None) -> "App":
        return self

    def __init__(self, *, max_body_size: int = 1 << 20, gzip_min_size: int | None = 1024,
                 redirect_slashes: bool = True,
                 on_startup: Iterable[Hook] = (), on_shutdown: Iterable[Hook] = (),
                 lifespan: Callable[["App"], AbstractAsyncContextManager[object]] | None = None) -> None:
        super().__init__()
        # Registered like the user's own, so that a handler for Exception does not take
        # these, and registering one of these classes replaces its default.
        self.error_handlers[HTTPError] = http_error_default
        self.error_handlers[InvalidJSON] = invalid_json_default
        self.core = CalvenorApp()
        # Sizes are whole numbers: a float here would fail on every request instead of now.
        self.max_body_size = operator.index(max_body_size)
        # None turns compression off.
        self.gzip_min_size = sys.maxsize if gzip_min_size is None else operator.index(gzip_min_size)
        self.redirect_slashes = redirect_slashes
        self._startup = list(on_startup)
        self._shutdown = list(on_shutdown)
        self._lifespan = lifespan
        self._cors = False
        self._cors_wildcard = False
        self._cors_args: tuple[str | None, ...] | None = None
        self._preflights: dict[str, list[tuple[bytes, bytes]]] = {}
        # (method, native pattern) -> target, in registration order; HEAD routes made for GET
        # routes are in `_auto_head` too, so an explicit HEAD route can replace them.
        self._table: dict[tuple[str, str], object] = {}
        self._auto_head: set[str] = set()
        self._method_list: tuple[str, ...] = ()
        self._mounts: list[tuple[str, ASGIApp]] = []
        self._mount_prefixes: tuple[str, ...] = ()
        # Route and mount names -> their paths, in registration order; named mounts.
        self._names: dict[str, list[Template]] = {}
        self._named_mounts: list[tuple[str, str, ASGIApp]] = []
        self._app: ASGIApp = self._serve
        self._held: Held = {}
        self.state = State()
        # What servers look at to tell an ASGI 3 app, unless a subclass has a __call__ of its own.
        if type(self).__call__ is functools.partial.__call__:
            self.__dict__["__call__"] = self._serve

    # Registration

    def add_route(self, path: str, methods: Iterable[str], handler: Handler,
                  errors: tuple[ErrorHandlers, ...] = (), *, name: str | None = None) -> None:
        pattern, convert = compile_pattern(path)
        target = make_target(handler, convert, errors, self._held)
        for method in methods:
            method = method.upper()
            if method == "HEAD" and pattern in self._auto_head:
                # The core never removes a route: build the table again without it.
                self._auto_head.discard(pattern)
                del self._table[("HEAD", pattern)]
                self._rebuild()
            self._add(method, pattern, target)
            if method == "GET" and ("HEAD", pattern) not in self._table:
                self._add("HEAD", pattern, target)
                self._auto_head.add(pattern)
        self._name(route_name(handler, name), Template(path))

    def add_websocket(self, path: str, handler: Callable[..., Any], *, name: str | None = None) -> None:
        pattern, convert = compile_pattern(path)
        self._add(WEBSOCKET, pattern, (handler, convert))
        self._name(route_name(handler, name), Template(path))

    def _name(self, name: str | None, template: Template) -> None:
        if name is not None:
            self._names.setdefault(name, []).append(template)

    def _add(self, method: str, pattern: str, target: object) -> None:
        self.core.add_route(method, pattern, target)  # type: ignore[arg-type]
        self._table[(method, pattern)] = target
        if method != WEBSOCKET:
            self._method_list = tuple(sorted({*self._method_list, method}))

    def _rebuild(self) -> None:
        core = CalvenorApp()
        for (method, pattern), target in self._table.items():
            core.add_route(method, pattern, target)  # type: ignore[arg-type]
        if self._cors_args is not None:
            core.set_cors(*self._cors_args)
        self.core = core

    def mount(self, prefix: str, app: ASGIApp, *, name: str | None = None) -> None:
        """Pass requests (and WebSockets) under `prefix` that no route takes to another ASGI app;
        `url_path_for(name, path=...)` is a path under it, "name:child" a named path of its own."""
        self._mounts.append((prefix.rstrip("/"), app))
        self._mount_prefixes = tuple(prefix for prefix, _ in self._mounts)
        if name is not None:
            self._name(name, Template(prefix.rstrip("/") + "/", rest="path"))
            self._named_mounts.append((prefix.rstrip("/"), name, app))

    def url_path_for(self, name: str, /, **path_params: Any) -> str:
        """The path of the route (or mount) called `name`, its parameters filled in and escaped;
        `NoMatchFound` for an unknown name, missing or extra parameters, or a value its
        converter refuses. Of routes with one name, the first that takes these parameters."""
        path = fill(self._names, name, path_params)
        if path is not None:
            return path
        for prefix, mount_name, app in self._named_mounts:
            child = name.removeprefix(mount_name + ":")
            if child == name or not hasattr(app, "url_path_for"):
                continue
            try:
                return prefix + str(app.url_path_for(child, **path_params))
            except Exception as exc:  # another framework's own refusal
                raise NoMatchFound(f"{name!r}: {exc}") from exc
        raise NoMatchFound(f"no route is named {name!r}")

    def add_middleware(self, cls: Callable[..., ASGIApp], **options: Any) -> None:
        """Wrap the app in an ASGI middleware, `cls(app, **options)`; the last added runs first."""
        self._app = cls(self._app, **options)
        self.__class__ = _WrappedApp
        self.__dict__.pop("__call__", None)

    def match_websocket(self, path: str) -> tuple[Callable[..., Any], dict[str, Any]] | None:
        """The WebSocket handler for `path` and its converted parameters, or None."""
        found = self.core.resolve(WEBSOCKET, path)
        if found is None:
            return None
        target: Any = found[0]
        handler: Callable[..., Any] = target[0]
        convert: Converter | None = target[1]
        values: dict[str, Any] = dict(found[1] or {})
        if convert is not None:
            try:
                convert(values)
            except NoMatch:
                return None
        return handler, values

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

        self._cors_args = (text(origins), text(methods), text(headers), text(max_age))
        self.core.set_cors(*self._cors_args)
        self._preflights.clear()
        self._cors = True
        self._cors_wildcard = self.core.cors_is_wildcard()

    def exception_handler(self, exc_class_or_status_code: type[BaseException] | int) -> Callable[[E], E]:
        if exc_class_or_status_code in _MISS_TEXTS and "_miss" not in self.__dict__:
            # Only from now on do misses look for a handler: without one they cost what they did.
            self.__dict__["_miss"] = self._miss_or_handler
            self.__dict__["_recover"] = self._recover_or_handler
        return super().exception_handler(exc_class_or_status_code)

    def on_startup(self, hook: K) -> K:
        """Register a sync or async function to run at server start-up."""
        self._startup.append(hook)
        return hook

    def on_shutdown(self, hook: K) -> K:
        self._shutdown.append(hook)
        return hook

    # ASGI

    async def _serve(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return await self._other_scope(scope, receive, send)
        # The plain request, whole in the core: a route's dict or str result with no body to
        # read, answered with the two messages to send. None leaves everything else to the
        # general path below. No body is in the context here: the general path takes back
        # the one it set.
        try:
            served = self.core.serve_request(scope, self.gzip_min_size)
        except BaseException as exc:
            if exc.__class__ is RuntimeError and exc.args == _BUSY:
                return await self._serve_when_free(exc, scope, receive, send)
            headers: list[tuple[bytes, bytes]] = scope["headers"]
            response = await self._recover(exc, scope, scope["method"], route_path(scope), scope["query_string"], headers)
            return await self._send_answer(response, scope, receive, send, headers, self._origin(headers))
        if isinstance(served, tuple):
            start, body_message = served
            await send(start)
            await send(body_message)
            return
        if served is None:
            return await self._serve_general(scope, receive, send)
        if served is False:  # no route, no body, no preflight: a mount's or a miss
            return await self._unrouted(scope, receive, send)
        # [status, headers, body]: a body to compress, or an empty one that may stand for a held result
        return await self._send_listed(served, scope, receive, send)

    async def _serve_when_free(self, exc: RuntimeError, scope: Scope, receive: Receive, send: Send) -> None:
        """Serve a request that found the core dispatching on this thread: an async handler of
        this app calls the app before its first wait. Waiting once ends that dispatch."""
        await _step_aside()
        try:
            self.core.has_cors()  # fails while a dispatch still holds the core
        except RuntimeError:
            raise exc from None
        return await self._serve(scope, receive, send)

    async def _serve_general(self, scope: Scope, receive: Receive, send: Send) -> None:
        if self._mounts and await self._pass_to_mount(scope, receive, send):
            return
        fields = dict(scope["headers"])  # the server lowercases names
        declared = fields.get(b"content-length")
        if declared is not None or b"transfer-encoding" in fields or scope.get("http_version") not in _BODYLESS_VERSIONS:
            if declared is not None and declared_too_large(declared, self.max_body_size):
                return await self._too_large(scope, receive, send)
            received = await self._read_body(scope, receive, send)
            if received is None:
                return
            if received:
                # Taken back when the request is over, so that a context the server reuses
                # never shows this body to a later request.
                current_body.set(received)
                try:
                    return await self._serve_body(scope, receive, send, fields)
                finally:
                    current_body.set(b"")
            return await self._serve_body(scope, receive, send, fields)
        return await self._serve_read(scope, receive, send, fields)

    async def _serve_body(self, scope: Scope, receive: Receive, send: Send, fields: dict[bytes, bytes]) -> None:
        """A request whose body is read (and in the context): the core serves it as it serves
        a plain one when it can; the general path takes the rest."""
        try:
            served = self.core.serve_read_request(scope, self.gzip_min_size)
        except BaseException as exc:
            headers: list[tuple[bytes, bytes]] = scope["headers"]
            response = await self._recover(exc, scope, scope["method"], route_path(scope), scope["query_string"], headers)
            return await self._send_answer(response, scope, receive, send, headers, self._origin(headers))
        if isinstance(served, tuple):
            await send(served[0])
            await send(served[1])
            return
        if served is None:
            return await self._serve_read(scope, receive, send, fields)
        if served is False:
            headers = scope["headers"]
            return await self._miss(scope, receive, send, headers, self._origin(headers), scope["method"], route_path(scope))
        return await self._send_listed(served, scope, receive, send)

    async def _send_listed(self, served: list[Any], scope: Scope, receive: Receive, send: Send) -> None:
        """Send what the core served as [status, headers, body] without the length: a body to
        compress, or an empty one that may stand for a held result."""
        status, out, body = served
        headers = scope["headers"]
        if not body and self._held:
            held = self._held.pop(get_ident(), None)
            if held is not None:
                if held.__class__ is tuple and held[0] is PENDING:
                    response = await finish(held, self.error_handlers, scope)
                else:
                    response = framework_response(held)
                origin = self._origin(headers) if self._cors else None
                return await self._send_answer(response, scope, receive, send, headers, origin)
        if len(body) > self.gzip_min_size:
            body = self._gzip(out, body, headers)
        out.append((b"content-length", b"%d" % len(body)))
        if scope["method"] == "HEAD":
            body = b""
        await send({"type": "http.response.start", "status": status, "headers": out})
        await send({"type": "http.response.body", "body": body})

    async def _serve_read(self, scope: Scope, receive: Receive, send: Send, fields: dict[bytes, bytes]) -> None:
        """The general path once the body, if any, is in the context."""
        method: str = scope["method"]
        path = route_path(scope)
        headers: list[tuple[bytes, bytes]] = scope["headers"]
        if not path.isascii():
            path = lenient_path(path)
        origin: str | None = None
        if self._cors:
            raw_origin = fields.get(b"origin")
            if raw_origin is not None:
                origin = raw_origin.decode("latin-1")
                if method == "OPTIONS" and b"access-control-request-method" in fields:
                    allowed = self._preflights.get(origin) or self._preflight_headers(origin)
                    if allowed is not None:
                        return await self._send_preflight(send, allowed)

        query_string: bytes = scope["query_string"]
        response: NativeResponse | Response
        # For the dict the native dispatch makes: it has no scope to record.
        token = current_scope.set((scope, None))
        try:
            try:
                try:
                    # The dict holds the UTF-8 form of this text: the bytes the client sent.
                    query = query_string.decode() if query_string else ""
                except UnicodeDecodeError:
                    response = self._dispatch_raw(scope, method, path, query_string, headers)
                else:
                    try:
                        # The core never hands the body to handlers; passing it would only copy it.
                        response = self.core.handle_request(method, path, query, headers, b"")
                    except TypeError as exc:
                        if not refused_header_lists(exc, headers):
                            raise
                        headers = [(bytes(name), bytes(value)) for name, value in headers]
                        response = self.core.handle_request(method, path, query, headers, b"")
            finally:
                current_scope.reset(token)
        except BaseException as exc:
            response = await self._recover(exc, scope, method, path, query_string, headers)

        if type(response) is NativeResponse:
            body = response.body
            held = None if body or not self._held else self._held.pop(get_ident(), None)
            if held is None:
                status = response.status
                if status == 404:  # only a miss: the core builds no other 404
                    return await self._miss(scope, receive, send, headers, origin, method, path)
                return await self._send_answer(response, scope, receive, send, headers, origin)
            # the empty text dispatch answered for a result it would only have made text of
            if held.__class__ is tuple and held[0] is PENDING:
                response = await finish(held, self.error_handlers, scope)
            else:
                response = framework_response(held)
        await self._send_answer(response, scope, receive, send, headers, origin)

    async def _unrouted(self, scope: Scope, receive: Receive, send: Send) -> None:
        if await self._pass_to_mount(scope, receive, send):
            return
        headers = scope["headers"]
        await self._miss(scope, receive, send, headers, self._origin(headers), scope["method"], route_path(scope))

    async def _pass_to_mount(self, scope: Scope, receive: Receive, send: Send) -> bool:
        """Hand the request to the app mounted where its path falls, if there is one."""
        path = route_path(scope)
        if not (self._mounts and path.startswith(self._mount_prefixes)):
            return False
        mounted = self._mounted(scope["method"], path)
        if mounted is None:
            return False
        await mounted[1](mount_scope(scope, mounted[0]), receive, send)
        return True

    async def _recover(self, exc: BaseException, scope: Scope, method: str, path: str, query_string: bytes,
                       headers: list[tuple[bytes, bytes]]) -> NativeResponse | Response:
        """The response for what dispatch raised: a handler's error, a converter's refusal (404)
        or an unexpected exception."""
        if isinstance(exc, HandlerFailed):
            error, req, errors = exc.args
            answer = handle_error(error, req, (*errors, self.error_handlers))
        elif isinstance(exc, NoMatch):
            return _NOT_FOUND
        elif isinstance(exc, Exception):  # from a handler registered as it is, or a result the encoder refuses
            found = self.core.resolve(method, path)
            params = dict(found[1] or {}) if found is not None else {}
            chain: tuple[ErrorHandlers, ...] = (self.error_handlers,)
            awaits = getattr(found[0], "awaits", None) if found is not None else None
            if awaits is not None:  # an async handler's result: its route's converter and group apply
                convert, errors = awaits
                if convert is not None:
                    convert(params)
                chain = (*errors, self.error_handlers)
            req = {"method": method, "path": path, "query_string": query_string, "headers": headers,
                   "route_params": params}
            answer = handle_error(exc, req, chain)
        else:
            return internal_fault(exc, method, path)
        token = current_scope.set((scope, req))
        try:
            return await answer
        finally:
            current_scope.reset(token)

    async def _recover_or_handler(self, exc: BaseException, scope: Scope, method: str, path: str,
                                  query_string: bytes, headers: list[tuple[bytes, bytes]]) -> NativeResponse | Response:
        """`_recover` once a 404 or 405 handler is registered: a converter's refusal goes to the 404 one."""
        response = await App._recover(self, exc, scope, method, path, query_string, headers)
        if response is _NOT_FOUND and 404 in self.error_handlers:
            return await self._status_answer(scope, 404, "Not Found", method, path, headers)
        return response

    async def _status_answer(self, scope: Scope, status: int, text: str, method: str, path: str,
                             headers: list[tuple[bytes, bytes]], extra: dict[str, str] | None = None,
                             ) -> NativeResponse | Response:
        """What the app's handler for `status` answers in place of the layer's own error."""
        req = {"method": method, "path": path, "query_string": scope["query_string"], "headers": headers,
               "route_params": {}}
        token = current_scope.set((scope, req))
        try:
            return await handle_error(HTTPError(status, text, extra), req, (self.error_handlers,))
        finally:
            current_scope.reset(token)

    async def _too_large(self, scope: Scope, receive: Receive, send: Send) -> None:
        if 413 not in self.error_handlers:
            return await send_plain(send, 413, "Payload Too Large")
        headers = scope["headers"]
        path = route_path(scope)
        response = await self._status_answer(scope, 413, "Payload Too Large", scope["method"],
                                             path if path.isascii() else lenient_path(path), headers)
        await self._send_answer(response, scope, receive, send, headers, self._origin(headers))

    def _origin(self, headers: list[tuple[bytes, bytes]]) -> str | None:
        raw_origin = dict(headers).get(b"origin") if self._cors else None
        return None if raw_origin is None else raw_origin.decode("latin-1")

    async def _send_answer(self, response: NativeResponse | Response, scope: Scope, receive: Receive, send: Send,
                           headers: list[tuple[bytes, bytes]], origin: str | None,
                           allow: tuple[bytes, bytes] | None = None) -> None:
        """Send a native or framework response with its CORS, gzip and length headers, and
        `allow` unless the response has an Allow header."""
        background = None
        if type(response) is NativeResponse:
            status = response.status
            content_type = response.content_type
            out = [(b"content-type", _WIRE_CONTENT_TYPES.get(content_type) or content_type.encode())]
            if allow is not None:
                out.append(allow)
        else:
            out = list(response.raw_headers)
            if allow is not None and all(name != b"allow" for name, _ in out):
                out.append(allow)
            if not response.buffered:  # streams and files send themselves
                if origin is not None:
                    self._add_cors(out, origin)
                response.raw_headers = out
                return await response(scope, receive, send)
            status = response.status_code
            background = response.background
        body = response.body
        if origin is not None:
            self._add_cors(out, origin)
        if status in NO_BODY_STATUSES:
            body = b""
        else:
            if len(body) > self.gzip_min_size:
                body = self._gzip(out, body, headers)
            out.append((b"content-length", b"%d" % len(body)))
            if scope["method"] == "HEAD":
                body = b""
        await send({"type": "http.response.start", "status": status, "headers": out})
        await send({"type": "http.response.body", "body": body})
        if background is not None:
            await run_background(background)

    async def _read_body(self, scope: Scope, receive: Receive, send: Send) -> bytes | None:
        """The whole body, or None when the request is over: the client left, or 413 was sent."""
        limit = self.max_body_size
        message = await receive()
        if message["type"] != "http.request":
            return None  # the client went away before the body came
        body: bytes = message.get("body", b"")
        if message.get("more_body"):
            rest = await read_rest(receive, body, limit)
            if rest is None:
                return None
            if rest is TOO_LARGE:
                await self._too_large(scope, receive, send)
                return None
            body = rest
        if len(body) > limit:
            await self._too_large(scope, receive, send)
            return None
        return body

    def _add_cors(self, out: list[tuple[bytes, bytes]], origin: str) -> None:
        allow = self.core.cors_origin(origin)
        if allow is not None:
            out.append((b"access-control-allow-origin", allow.encode("latin-1")))
            if not self._cors_wildcard:
                out.append((b"vary", b"origin"))

    def _gzip(self, out: list[tuple[bytes, bytes]], body: bytes, headers: list[tuple[bytes, bytes]]) -> bytes:
        out.append((b"vary", b"accept-encoding"))
        accept = dict(headers).get(b"accept-encoding")
        if accept is not None and accepts_gzip(accept):
            out.append((b"content-encoding", b"gzip"))
            return self.core.gzip_compress(body)
        return body

    def _dispatch_raw(self, scope: Scope, method: str, path: str, query_string: bytes,
                      headers: list[tuple[bytes, bytes]]) -> NativeResponse | Response:
        """Dispatch as the core does, for a query string that is not UTF-8: no text has those
        bytes as its UTF-8 form, so the request dict is built here."""
        found = self.core.resolve(method, path)
        if found is None:
            return NativeResponse.text("Not Found", 404)
        target, params = found
        req = {"method": method, "path": path, "query_string": query_string,
               "headers": [(bytes(name), bytes(value)) for name, value in headers],
               "route_params": dict(params or {})}
        token = current_scope.set((scope, req))
        try:
            result = target(req)
        finally:
            current_scope.reset(token)
        return to_response(result)  # an empty text may stand for a held result, as dispatch's does

    async def _miss(self, scope: Scope, receive: Receive, send: Send, headers: list[tuple[bytes, bytes]],
                    origin: str | None, method: str, path: str) -> None:
        """No route for this method and path: 405, OPTIONS, a trailing-slash redirect or 404."""
        resolve = self.core.resolve
        allowed = [m for m in self._method_list if resolve(m, path) is not None]
        if allowed:
            if "OPTIONS" not in allowed:
                allowed.append("OPTIONS")
                allowed.sort()
            out = [(b"allow", ", ".join(allowed).encode())]
            if method == "OPTIONS":
                status, body = 204, b""
            else:
                status, body = 405, b"Method Not Allowed"
                out += _TEXT_HEADERS
        elif self.redirect_slashes and path != "/" and resolve(method, path[:-1] if path.endswith("/") else path + "/"):
            query = scope["query_string"]
            other = path[:-1] if path.endswith("/") else path + "/"
            # Escape the query's raw bytes as they are, the path as UTF-8; the root stays in front
            # without its own trailing slash: under root_path "/", "//name/" is another site.
            url = url_path(path_root(scope).rstrip("/") + other) + url_query(query)
            return await self._send_answer(RedirectResponse(url), scope, receive, send, headers, origin)
        else:
            status, body, out = 404, b"Not Found", list(_TEXT_HEADERS)
        if origin is not None:
            self._add_cors(out, origin)
        if status != 204:
            out.append((b"content-length", b"%d" % len(body)))
        if method == "HEAD":
            body = b""
        await send({"type": "http.response.start", "status": status, "headers": out})
        await send({"type": "http.response.body", "body": body})

    async def _miss_or_handler(self, scope: Scope, receive: Receive, send: Send, headers: list[tuple[bytes, bytes]],
                               origin: str | None, method: str, path: str) -> None:
        """`_miss` once a 404 or 405 handler is registered: such a handler answers in its place."""
        sent: list[Message] = []

        async def keep(message: Message) -> None:
            sent.append(message)

        await App._miss(self, scope, receive, keep, headers, origin, method, path)
        status: int = sent[0]["status"]
        if status in _MISS_TEXTS and status in self.error_handlers:
            allow = next((line for line in sent[0]["headers"] if line[0] == b"allow"), None)
            response = await self._status_answer(scope, status, _MISS_TEXTS[status], method, path, headers,
                                                 None if allow is None else {"allow": allow[1].decode()})
            return await self._send_answer(response, scope, receive, send, headers, origin, allow)
        for message in sent:
            await send(message)

    def _mounted(self, method: str, path: str) -> tuple[str, ASGIApp] | None:
        for prefix, app in self._mounts:
            if path.startswith(prefix) and (len(path) == len(prefix) or path[len(prefix)] == "/"):
                # A route of the app's own wins over a mount.
                if self.core.resolve(method, path if path.isascii() else lenient_path(path)) is None:
                    return prefix, app
        return None

    def _preflight_headers(self, origin: str) -> list[tuple[bytes, bytes]] | None:
        """The preflight answer's headers for an allowed origin, kept for the next preflight
        from it while there is room (any origin passes a wildcard: the room is bounded)."""
        allowed = self.core.cors_preflight_headers(origin)
        if allowed is None:
            return None
        out = [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in allowed.items()]
        if not self._cors_wildcard:
            out.append((b"vary", b"origin"))
        if len(self._preflights) < 256:
            self._preflights[origin] = out
        return out

    async def _send_preflight(self, send: Send, allowed: list[tuple[bytes, bytes]]) -> None:
        # A copy: the kept list must not change with what a server does to the message.
        await send({"type": "http.response.start", "status": 204, "headers": list(allowed)})
        await send({"type": "http.response.body", "body": b""})

    async def _other_scope(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            lifespan = self._lifespan
            opener = None if lifespan is None else functools.partial(lifespan, self)
            return await run_lifespan(receive, send, self._startup, self._shutdown, opener)
        if scope["type"] == "websocket":
            mounted = self._mounted(WEBSOCKET, route_path(scope)) if self._mounts else None
            if mounted is not None:
                return await mounted[1](mount_scope(scope, mounted[0]), receive, send)
            try:
                from .websockets import serve_websocket
            except ImportError:
                await receive()  # websocket.connect
                await send({"type": "websocket.close", "code": 1000})
                return
            return await serve_websocket(self, scope, receive, send)
        raise ValueError(f"unsupported ASGI scope type {scope['type']!r}")


class _WrappedApp(App):
    """An App with middleware: ASGI calls go through the outermost middleware first."""

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self._app(scope, receive, send)
