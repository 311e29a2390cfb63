"""WebSocket connections: the object a `@app.websocket` handler gets, and the ASGI entry
that routes a websocket scope to its handler."""
import enum
import inspect
from collections.abc import AsyncIterator, Callable, Iterable, Mapping
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any, NoReturn

from ._core import Request as _NativeRequest
from ._core import Response as _NativeResponse
from .asgi import Message, Receive, Scope, Send, lenient_path, log, route_path
from .connection import Address, full_url
from .responses import header_name, header_value

if TYPE_CHECKING:
    from .app import App

# Told of a handler's exception besides the log: the test client sets it to raise the
# exception in the test.
report_failure: ContextVar[Callable[[Exception], None] | None] = ContextVar("report_failure", default=None)


def json_text(data: Any) -> str:
    """`data` as JSON text, by the native encoder."""
    return _NativeResponse.json(data, None).body.decode()


class InvalidMessage(ValueError):
    """A client's message that does not decode as the handler asked (UTF-8 text, JSON).
    Left to the connection, it closes with 1007 (invalid payload), not as a server fault."""


def json_value(message: Message) -> Any:
    """The JSON value of a text or binary message, by the native decoder; InvalidMessage
    ("Invalid JSON: ...") when it does not decode."""
    data = message.get("text")
    body = data.encode() if data is not None else (message.get("bytes") or b"")
    decoder = _NativeRequest("GET", "/", "")
    decoder.set_body(body)
    try:
        return decoder.json()
    except ValueError as exc:
        raise InvalidMessage(*exc.args) from None


class WebSocketDisconnect(Exception):
    """The client closed the connection (or it broke: code 1006)."""

    def __init__(self, code: int = 1000, reason: str = "") -> None:
        super().__init__(code, reason)
        self.code = code
        self.reason = reason


class _State(enum.Enum):
    CONNECTING = enum.auto()
    OPEN = enum.auto()
    CLOSED = enum.auto()  # closed by us, or the client left


_OPEN = _State.OPEN


class WebSocket:
    """One WebSocket connection. Receiving after the client closed, or sending to a client that
    left, raises `WebSocketDisconnect` with the close code."""

    def __init__(self, scope: Scope, receive: Receive, send: Send, path_params: dict[str, Any] | None = None) -> None:
        self.scope = scope
        self.path_params: dict[str, Any] = path_params or {}
        self._receive = receive
        self._send = send
        self._state = _State.CONNECTING
        self._connected = False  # websocket.connect received
        self._close_code: int | None = None
        self._headers: dict[str, str] | None = None

    @property
    def path(self) -> str:
        """The path below the app's root_path, as routes see it (a request's `path` too)."""
        return route_path(self.scope)

    @property
    def headers(self) -> dict[str, str]:
        """Request headers, names lower-cased; of repeated ones the last."""
        if self._headers is None:
            self._headers = {k.decode("latin-1"): v.decode("latin-1") for k, v in self.scope["headers"]}
        return self._headers

    @property
    def query(self) -> dict[str, list[str]]:
        query: bytes = self.scope.get("query_string", b"")
        if not query:
            return {}
        return _NativeRequest("GET", "/", query.decode("latin-1")).query

    query_params = query

    @property
    def client(self) -> Address | None:
        """The peer's (host, port), as the server gave it; None when it gave none."""
        client = self.scope.get("client")
        return None if client is None else Address(*client)

    @property
    def url(self) -> str:
        """ws[s]://host[:port]root_path+path[?query], as a request's `url`."""
        return full_url(self.scope, self.headers.get("host"), self.path, self.scope.get("query_string", b""))

    @property
    def subprotocols(self) -> list[str]:
        return list(self.scope.get("subprotocols", ()))

    async def accept(self, subprotocol: str | None = None,
                     headers: Mapping[str, str] | Iterable[tuple[str, str]] | None = None) -> None:
        if self._state is not _State.CONNECTING:
            raise RuntimeError("the WebSocket is already accepted or closed")
        if not await self._await_connect():
            self._gone(self._close_code or 1006)
        message: Message = {"type": "websocket.accept", "subprotocol": subprotocol}
        if headers:
            pairs = headers.items() if isinstance(headers, Mapping) else headers
            message["headers"] = [(header_name(k), header_value(v)) for k, v in pairs]
        await self._send_message(message)
        self._state = _State.OPEN

    async def _await_connect(self) -> bool:
        """Take the websocket.connect message if not yet taken; False when the client left
        before the handshake."""
        if not self._connected:
            message = await self._receive()
            self._connected = True
            if message["type"] == "websocket.disconnect":
                self._state = _State.CLOSED
                self._close_code = message.get("code", 1006)
        return self._state is not _State.CLOSED

    def _gone(self, code: int, reason: str = "") -> None:
        self._state = _State.CLOSED
        self._close_code = code
        raise WebSocketDisconnect(code, reason)

    async def receive(self) -> Message:
        """The next websocket.receive message as the server sent it."""
        if self._state is not _OPEN:
            self._not_open("receiving")
        message = await self._receive()
        if message["type"] == "websocket.disconnect":
            self._gone(message.get("code", 1005), message.get("reason") or "")
        return message

    async def receive_text(self) -> str:
        """A text message; a binary one is decoded as UTF-8 (InvalidMessage, a ValueError,
        when it is not)."""
        message = await self.receive()
        text: str | None = message.get("text")
        if text is not None:
            return text
        try:
            return (message.get("bytes") or b"").decode()
        except UnicodeDecodeError as exc:
            raise InvalidMessage(f"WebSocket message is not valid UTF-8: {exc}") from None

    async def receive_bytes(self) -> bytes:
        """A binary message; a text one is encoded as UTF-8."""
        message = await self.receive()
        data: bytes | None = message.get("bytes")
        if data is not None:
            return data
        return (message.get("text") or "").encode()

    async def receive_json(self) -> Any:
        """A text or binary message decoded by the native JSON decoder; InvalidMessage, a
        ValueError ("Invalid JSON: ..."), when it does not decode."""
        return json_value(await self.receive())

    # The sends and iter_messages check the state and await the server inline: an echo loop
    # pays for one coroutine per message each way, not three.
    async def send_text(self, data: str) -> None:
        if self._state is not _OPEN:
            self._not_open("sending")
        try:
            await self._send({"type": "websocket.send", "text": data})
        except OSError:  # the server reports a client that left on send
            self._gone(1006)

    async def send_bytes(self, data: bytes) -> None:
        if self._state is not _OPEN:
            self._not_open("sending")
        try:
            await self._send({"type": "websocket.send", "bytes": bytes(data)})
        except OSError:
            self._gone(1006)

    async def send_json(self, data: Any) -> None:
        """`data` as a text message, through the native JSON encoder."""
        if self._state is not _OPEN:
            self._not_open("sending")
        message = {"type": "websocket.send", "text": json_text(data)}
        try:
            await self._send(message)
        except OSError:
            self._gone(1006)

    def _not_open(self, doing: str) -> NoReturn:
        if self._state is _State.CONNECTING:
            raise RuntimeError(f"accept() the WebSocket before {doing}")
        raise WebSocketDisconnect(self._close_code or 1000)

    async def _send_message(self, message: Message) -> None:
        try:
            await self._send(message)
        except OSError:  # the server reports a client that left on send
            self._gone(1006)

    async def close(self, code: int = 1000, reason: str = "") -> None:
        """Close the connection; before accept() this rejects it (403 on most servers)."""
        if self._state is _State.CLOSED or not await self._await_connect():
            return
        self._state = _State.CLOSED
        self._close_code = code
        try:
            await self._send({"type": "websocket.close", "code": code, "reason": reason})
        except OSError:
            pass

    async def iter_messages(self) -> AsyncIterator[str | bytes]:
        """Each incoming message, str or bytes as sent, until the client closes."""
        receive = self._receive
        while True:
            if self._state is not _OPEN:
                if self._state is _State.CONNECTING:
                    raise RuntimeError("accept() the WebSocket before receiving")
                return
            message = await receive()
            if message["type"] == "websocket.disconnect":
                self._state = _State.CLOSED
                self._close_code = message.get("code", 1005)
                return
            text = message.get("text")
            yield text if text is not None else (message.get("bytes") or b"")

    def __aiter__(self) -> AsyncIterator[str | bytes]:
        return self.iter_messages()


async def reject(scope: Scope, receive: Receive, send: Send, status: int = 403) -> None:
    """Refuse a connection before accepting it: an HTTP status where the server supports
    that, else a close before the handshake (which servers answer with 403)."""
    await receive()  # websocket.connect
    if "websocket.http.response" in scope.get("extensions", ()):
        body = b"Forbidden" if status == 403 else b"Not Found"
        await send({"type": "websocket.http.response.start", "status": status, "headers": [
            (b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"%d" % len(body))]})
        await send({"type": "websocket.http.response.body", "body": body})
    else:
        await send({"type": "websocket.close", "code": 1008})


async def serve_websocket(app: "App", scope: Scope, receive: Receive, send: Send) -> None:
    """Route a websocket scope to its handler; unmatched paths are refused before accept."""
    path = route_path(scope)
    if not path.isascii():
        path = lenient_path(path)
    match = app.match_websocket(path)
    if match is None:
        return await reject(scope, receive, send)
    handler, params = match
    ws = WebSocket(scope, receive, send, params)
    try:
        result = handler(ws)
        if inspect.isawaitable(result):
            await result
    except WebSocketDisconnect:
        pass
    except InvalidMessage:
        await ws.close(1007)
        return
    except Exception as exc:
        log.exception("WebSocket handler for %s failed", scope["path"])
        report = report_failure.get()
        if report is not None:
            report(exc)
        await ws.close(1011)  # before accept, a refusal
        return
    await ws.close(1000)
