"""`EventSourceResponse`: server-sent events in the text/event-stream format, with a
keep-alive comment while the source is silent."""
import asyncio
import re
from collections.abc import AsyncIterator, Callable, Mapping
from typing import Any

from ._core import Response as _NativeResponse
from .asgi import Send
from .streaming import Content, StreamingResponse, close_source

_LINE_BREAK = re.compile(r"\r\n|\r|\n")
_FIELDS = frozenset({"data", "event", "id", "retry"})
PING = b": ping\n\n"


def _single_line(name: str, value: object) -> str:
    text = str(value)
    if "\r" in text or "\n" in text or "\x00" in text:
        raise ValueError(f"server-sent event {name} contains CR, LF or NUL: {text!r}")
    return text


def format_event(item: Any) -> bytes:
    """One event: a str is its data; a dict may hold data, event, id and retry. Data that is
    not a str is sent as JSON; multi-line data becomes one `data:` line per line. An event or
    id with a line break or NUL raises ValueError (it would forge other fields)."""
    if isinstance(item, bytes):
        item = item.decode()
    if isinstance(item, str):
        return b"".join(b"data: %s\n" % line.encode() for line in _LINE_BREAK.split(item)) + b"\n"
    if not isinstance(item, Mapping):
        raise TypeError(f"a server-sent event is a str or a dict, not {type(item).__name__}")
    unknown = item.keys() - _FIELDS
    if unknown:
        raise ValueError(f"unknown server-sent event fields: {sorted(unknown)}")
    lines: list[str] = []
    if item.get("event") is not None:
        lines.append("event: " + _single_line("event", item["event"]))
    if item.get("id") is not None:
        lines.append("id: " + _single_line("id", item["id"]))
    if item.get("retry") is not None:
        retry = item["retry"]
        if not isinstance(retry, int) or isinstance(retry, bool) or retry < 0:
            raise ValueError(f"server-sent event retry must be a non-negative int, not {retry!r}")
        lines.append(f"retry: {retry}")
    data = item.get("data")
    if data is not None:
        if isinstance(data, bytes):
            data = data.decode()
        elif not isinstance(data, str):
            data = _NativeResponse.json(data, None).body.decode()
        lines.extend("data: " + line for line in _LINE_BREAK.split(data))
    if not lines:
        raise ValueError("a server-sent event needs at least one of data, event, id, retry")
    return ("\n".join(lines) + "\n\n").encode()


class EventSourceResponse(StreamingResponse):
    """Server-sent events from a sync or async iterable of str or dict items (see
    `format_event`). After `ping` seconds without an event a `: ping` comment goes out, so
    proxies keep the connection; `ping=None` or 0 turns that off. Stops when the client
    disconnects."""

    media_type = "text/event-stream"

    def __init__(self, content: Content, ping: float | None = 15, headers: Any = None,
                 background: Callable[[], object] | None = None) -> None:
        super().__init__(content, 200, headers, None, background)
        self.ping = ping or None
        present = {name for name, _ in self.raw_headers}
        for name, value in ((b"cache-control", b"no-cache"), (b"x-accel-buffering", b"no")):
            if name not in present:
                self.raw_headers.append((name, value))

    def encode_chunk(self, chunk: Any) -> bytes:
        return format_event(chunk)

    async def _send_body(self, source: AsyncIterator[Any], send: Send) -> None:
        if self.ping is None:
            return await super()._send_body(source, send)
        pending: asyncio.Future[Any] | None = None
        try:
            while True:
                pending = asyncio.ensure_future(anext(source))
                while True:
                    done, _ = await asyncio.wait((pending,), timeout=self.ping)
                    if done:
                        break
                    await send({"type": "http.response.body", "body": PING, "more_body": True})
                try:
                    item = pending.result()
                except StopAsyncIteration:
                    break
                finally:
                    pending = None
                await send({"type": "http.response.body", "body": format_event(item), "more_body": True})
        finally:
            if pending is not None:
                pending.cancel()
                await asyncio.gather(pending, return_exceptions=True)
            await close_source(source)
        await send({"type": "http.response.body", "body": b""})
