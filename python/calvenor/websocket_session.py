"""`WebSocketTestSession`: the client side of one WebSocket that `TestClient.websocket_connect`
opens, the app running on the client's event loop as for HTTP requests.

    with client.websocket_connect("/ws/lobby") as ws:
        ws.send_text("hi")
        assert ws.receive_text() == "lobby: 'hi'"
"""
import asyncio
import concurrent.futures
from collections.abc import Coroutine
from types import TracebackType
from typing import Any, TypeVar

from .asgi import ASGIApp, Message, Scope
from .websockets import WebSocketDisconnect, json_text, json_value, report_failure

# How long leaving the session waits for the handler to return after the disconnect.
FINISH_TIMEOUT = 30.0
T = TypeVar("T")
# Put after everything the app sent once it has returned.
_ENDED = object()


class WebSocketTestSession:
    """One connection. Entering sends the handshake and raises `WebSocketDisconnect` when the
    app refuses it (closes before accepting); receiving raises it when the app closes. An
    exception in the handler is raised in the test, from the receive that would have got the
    close, from entering, or from leaving. Leaving closes the connection (1000) and waits
    for the handler to return."""

    __test__ = False  # not a pytest test class

    def __init__(self, app: ASGIApp, scope: Scope, loop: asyncio.AbstractEventLoop) -> None:
        self.app = app
        self.scope = scope
        self.accepted_subprotocol: str | None = None
        self.extra_headers: list[tuple[bytes, bytes]] = []
        self._loop = loop
        # Used only on the loop's thread: the client puts and gets through it.
        self._inbox: asyncio.Queue[Message] = asyncio.Queue()
        self._outbox: asyncio.Queue[object] = asyncio.Queue()
        self._future: concurrent.futures.Future[None] | None = None
        self._closed = False  # the client sent its disconnect
        self._ended = False  # the app returned, all it sent taken
        self._close: tuple[int, str] | None = None

    def __enter__(self) -> "WebSocketTestSession":
        self._future = asyncio.run_coroutine_threadsafe(self._run(), self._loop)
        self._put({"type": "websocket.connect"})
        try:
            message = self.receive()
            if message["type"] != "websocket.accept":
                raise RuntimeError(f"the app sent {message['type']!r} before accepting the WebSocket")
        except BaseException:
            self._finish()
            raise
        self.accepted_subprotocol = message.get("subprotocol")
        self.extra_headers = list(message.get("headers") or [])
        return self

    def __exit__(self, exc_type: type[BaseException] | None = None, exc: BaseException | None = None,
                 tb: TracebackType | None = None) -> None:
        self._finish()
        if exc_type is None:
            # What the handler raised that no receive got to.
            for item in self._loop_run(self._drain()):
                if isinstance(item, BaseException):
                    raise item

    # Sending

    def send_text(self, data: str) -> None:
        self._put({"type": "websocket.receive", "text": data})

    def send_bytes(self, data: bytes) -> None:
        self._put({"type": "websocket.receive", "bytes": bytes(data)})

    def send_json(self, data: Any) -> None:
        """`data` as a text message, through the native JSON encoder."""
        self._put({"type": "websocket.receive", "text": json_text(data)})

    def close(self, code: int = 1000, reason: str = "") -> None:
        """Close from the client's side; leaving the session waits for the handler."""
        if not self._closed:
            self._closed = True
            self._put({"type": "websocket.disconnect", "code": code, "reason": reason})

    # Receiving

    def receive(self) -> Message:
        """The app's next message: websocket.send, or websocket.accept on entering."""
        if self._ended:
            raise WebSocketDisconnect(*(self._close or (1006, "")))
        item = self._loop_run(self._outbox.get())
        if isinstance(item, BaseException):
            raise item
        if item is _ENDED:
            # Returned without closing: a server drops the connection.
            self._ended = True
            raise WebSocketDisconnect(*(self._close or (1006, "")))
        assert isinstance(item, dict)
        if item["type"] == "websocket.close":
            self._close = (item.get("code", 1000), item.get("reason") or "")
            raise WebSocketDisconnect(*self._close)
        return item

    def receive_text(self) -> str:
        text: str = self._data("text")
        return text

    def receive_bytes(self) -> bytes:
        data: bytes = self._data("bytes")
        return data

    def receive_json(self) -> Any:
        """A text or binary message, through the native JSON decoder."""
        return json_value(self.receive())

    def _data(self, kind: str) -> Any:
        message = self.receive()
        data = message.get(kind)
        if data is None:
            other = "bytes" if kind == "text" else "text"
            raise TypeError(f"expected a {kind} message, got {other}: {message.get(other)!r:.80}")
        return data

    # The app's side, on the loop

    async def _run(self) -> None:
        # This task's own context: only its handler reports here.
        report_failure.set(self._outbox.put_nowait)
        try:
            await self.app(self.scope, self._receive, self._send)
        except Exception as exc:  # an app other than ours lets the handler's error out
            self._outbox.put_nowait(exc)
        finally:
            self._outbox.put_nowait(_ENDED)

    async def _receive(self) -> Message:
        message = await self._inbox.get()
        if message["type"] == "websocket.disconnect":
            self._inbox.put_nowait(message)  # every later receive gets it too
        return message

    async def _send(self, message: Message) -> None:
        if self._closed:
            raise OSError("the test client closed the WebSocket")  # as servers report it
        self._outbox.put_nowait(message)

    async def _drain(self) -> list[object]:
        items = []
        while not self._outbox.empty():
            items.append(self._outbox.get_nowait())
        return items

    # Plumbing

    def _put(self, message: Message) -> None:
        self._loop.call_soon_threadsafe(self._inbox.put_nowait, message)

    def _loop_run(self, coro: Coroutine[Any, Any, T]) -> T:
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result()

    def _finish(self) -> None:
        """Disconnect unless the app is done, and wait for it to return."""
        assert self._future is not None
        if not self._future.done():
            self.close()
        try:
            self._future.result(FINISH_TIMEOUT)
        except concurrent.futures.TimeoutError:
            self._future.cancel()
            raise RuntimeError(f"the WebSocket app did not return within {FINISH_TIMEOUT:g} s "
                               "of the disconnect") from None
