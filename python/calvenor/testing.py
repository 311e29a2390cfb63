"""`TestClient`: call an ASGI app synchronously with httpx, without a server.

    with TestClient(app) as client:      # runs the lifespan and its hooks
        assert client.get("/users/42").json() == {"id": "42"}
        with client.websocket_connect("/ws") as ws:
            ws.send_json({"hello": 1})

The app runs on an event loop in a thread of the client's own, so tests stay synchronous.
"""
import asyncio
import threading
from collections.abc import Coroutine, Iterable, Mapping
from types import TracebackType
from typing import Any, TypeVar

import httpx

from .asgi import ASGIApp, Message
from .connection import url_path
from .websocket_session import WebSocketTestSession

T = TypeVar("T")


def request_scope(request: httpx.Request, kind: str, scheme: str, root_path: str = "") -> dict[str, Any]:
    """The ASGI scope of an HTTP or WebSocket request, as a server on testserver makes it: a
    server told the app's root_path puts it in front of the URL's path."""
    url = request.url
    return {
        "type": kind,
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "scheme": scheme,
        "path": root_path + url.path,
        "raw_path": url_path(root_path).encode() + url.raw_path.split(b"?")[0],
        "query_string": url.query,
        "root_path": root_path,
        "headers": [(name.lower(), value) for name, value in request.headers.raw],
        "client": ("testclient", 50000),
        "server": (url.host, url.port or (443 if url.scheme == "https" else 80)),
        "extensions": {},
    }


class _Loop:
    """An event loop running in a daemon thread; coroutines are run on it and waited for."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="calvenor-testclient", daemon=True)
        self.thread.start()

    def run(self, coro: Coroutine[Any, Any, T]) -> T:
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result()

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


class _Transport(httpx.BaseTransport):
    def __init__(self, client: "TestClient") -> None:
        self.client = client

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        scope = request_scope(request, "http", request.url.scheme, self.client.root_path)
        scope["method"] = request.method
        status, headers, body = self.client.loop().run(self._call(scope, request.read()))
        return httpx.Response(status, headers=headers, content=body, request=request)

    async def _call(self, scope: dict[str, Any], body: bytes) -> tuple[int, list[tuple[bytes, bytes]], bytes]:
        done = asyncio.Event()
        sent_body = False
        start: Message = {}
        chunks: list[bytes] = []

        async def receive() -> Message:
            nonlocal sent_body
            if not sent_body:
                sent_body = True
                return {"type": "http.request", "body": body, "more_body": False}
            await done.wait()
            return {"type": "http.disconnect"}

        async def send(message: Message) -> None:
            if message["type"] == "http.response.start":
                start.update(message)
            elif message["type"] == "http.response.body":
                chunks.append(message.get("body", b""))
                if not message.get("more_body"):
                    done.set()

        try:
            await self.client.app(scope, receive, send)
        finally:
            done.set()
        if not start:
            raise RuntimeError("the app sent no response")
        return start["status"], list(start.get("headers", [])), b"".join(chunks)


class TestClient(httpx.Client):
    """A synchronous httpx client for `app`. Inside `with`, lifespan start-up has run."""

    __test__ = False  # not a pytest test class

    def __init__(self, app: ASGIApp, base_url: str = "http://testserver", root_path: str = "", **kwargs: Any) -> None:
        self.app = app
        self.root_path = root_path
        self._loop: _Loop | None = None
        self._lifespan: asyncio.Queue[Message] | None = None
        self._lifespan_out: asyncio.Queue[Message] | None = None
        super().__init__(transport=_Transport(self), base_url=base_url, **kwargs)

    def loop(self) -> _Loop:
        if self._loop is None:
            self._loop = _Loop()
        return self._loop

    def websocket_connect(self, path: str, subprotocols: Iterable[str] | None = None,
                          headers: Mapping[str, str] | None = None) -> WebSocketTestSession:
        """A WebSocket to `path`, opened on entering the session's `with`."""
        offered = list(subprotocols or ())
        extra = dict(headers or {})
        extra.update({"connection": "upgrade", "upgrade": "websocket", "sec-websocket-version": "13",
                      "sec-websocket-key": "dGhlIHNhbXBsZSBub25jZQ=="})
        if offered:
            extra["sec-websocket-protocol"] = ", ".join(offered)
        request = self.build_request("GET", path, headers=extra)
        scope = request_scope(request, "websocket", "wss" if request.url.scheme == "https" else "ws", self.root_path)
        scope["subprotocols"] = offered
        return WebSocketTestSession(self.app, scope, self.loop().loop)

    def __enter__(self) -> "TestClient":
        super().__enter__()
        loop = self.loop()
        self._lifespan, self._lifespan_out = loop.run(self._queues())
        asyncio.run_coroutine_threadsafe(self._run_lifespan(), loop.loop)
        try:
            self._lifespan_step("startup")
        except BaseException:
            self.close()  # no __exit__ follows: stop the loop's thread here
            raise
        return self

    def __exit__(self, exc_type: type[BaseException] | None = None, exc: BaseException | None = None,
                 tb: TracebackType | None = None) -> None:
        try:
            self._lifespan_step("shutdown")
        finally:
            super().__exit__(exc_type, exc, tb)

    def close(self) -> None:
        super().close()
        if self._loop is not None:
            self._loop.close()
            self._loop = None

    async def _queues(self) -> tuple["asyncio.Queue[Message]", "asyncio.Queue[Message]"]:
        return asyncio.Queue(), asyncio.Queue()

    async def _run_lifespan(self) -> None:
        assert self._lifespan is not None and self._lifespan_out is not None
        scope = {"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}}
        await self.app(scope, self._lifespan.get, self._lifespan_out.put)

    def _lifespan_step(self, phase: str) -> None:
        inbox, outbox = self._lifespan, self._lifespan_out
        assert inbox is not None and outbox is not None

        async def step() -> Message:
            await inbox.put({"type": f"lifespan.{phase}"})
            return await asyncio.wait_for(outbox.get(), 30)

        reply = self.loop().run(step())
        if reply["type"] != f"lifespan.{phase}.complete":
            raise RuntimeError(f"lifespan {phase} failed: {reply.get('message', '')}")
