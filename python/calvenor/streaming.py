"""`StreamingResponse`: a body sent chunk by chunk as an iterator produces it, and the
machinery the other long-lived responses share: iterating sync sources off the event loop
and stopping when the client goes away."""
import asyncio
import contextvars
import threading
from concurrent.futures import ThreadPoolExecutor
from collections.abc import AsyncIterable, AsyncIterator, Awaitable, Callable, Iterable, Iterator
from typing import Any, ClassVar, TypeAlias

from .asgi import Receive, Scope, Send, log
from .background import run_background
from .responses import Response

Content: TypeAlias = Iterable[Any] | AsyncIterable[Any]


class _End:
    pass


_END = _End()


# Sync iterators may wait long between items (a sync event source sleeping): they get a pool
# of their own, so that they cannot starve the default one that file reads and sync
# background tasks use.
_iterator_threads = ThreadPoolExecutor(max_workers=64, thread_name_prefix="calvenor-iter")


class _InThread:
    """A sync iterator read one item at a time in a worker thread. Closing while a thread is
    still inside next() closes the iterator there, once that call returns."""

    def __init__(self, iterator: Iterator[Any]) -> None:
        self._iterator = iterator
        self._lock = threading.Lock()
        self._busy = False
        self._closed = False

    def __aiter__(self) -> "_InThread":
        return self

    async def __anext__(self) -> Any:
        context = contextvars.copy_context()
        item = await asyncio.get_running_loop().run_in_executor(_iterator_threads, context.run, self._step)
        if item is _END:
            raise StopAsyncIteration
        return item

    def _step(self) -> Any:
        with self._lock:
            if self._closed:
                return _END
            self._busy = True
        try:
            return next(self._iterator, _END)
        finally:
            with self._lock:
                self._busy = False
                late = self._closed
            if late:
                self._close_now()

    def _close_now(self) -> None:
        close = getattr(self._iterator, "close", None)
        if close is not None:
            try:
                close()
            except Exception:
                log.exception("closing a response iterator failed")

    async def aclose(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            busy = self._busy
        if not busy:
            # In a worker too: a generator's cleanup may block, and must not block the loop.
            await asyncio.get_running_loop().run_in_executor(_iterator_threads, self._close_now)


class _InMemory:
    """A list or tuple: nothing to wait for, so no thread."""

    def __init__(self, items: Iterable[Any]) -> None:
        self._items = iter(items)

    def __aiter__(self) -> "_InMemory":
        return self

    async def __anext__(self) -> Any:
        item = next(self._items, _END)
        if item is _END:
            raise StopAsyncIteration
        return item

    async def aclose(self) -> None:
        pass


def async_source(content: Content) -> AsyncIterator[Any]:
    """Any sync or async iterable as an async iterator that has aclose()."""
    if isinstance(content, AsyncIterable):
        return aiter(content)
    if isinstance(content, (list, tuple)):
        return _InMemory(content)
    return _InThread(iter(content))


async def close_source(source: AsyncIterator[Any]) -> None:
    aclose = getattr(source, "aclose", None)
    if aclose is not None:
        try:
            await aclose()
        except Exception:
            log.exception("closing a response iterator failed")


async def _disconnected(receive: Receive) -> None:
    while (await receive())["type"] != "http.disconnect":
        pass


async def send_until_disconnect(receive: Receive, sending: Awaitable[None]) -> bool:
    """Run `sending` while listening for the client going away; on a disconnect, cancel it.
    True when the body went out whole; a failure inside `sending` is logged and gives False,
    leaving the response unfinished so that the server drops the connection."""
    # The body runs in this task and only the listener gets one of its own, which cancels
    # this task on a disconnect: a task less, and no loop round trip to start or to end.
    task = asyncio.current_task()
    assert task is not None
    loop = task.get_loop()
    gone = False
    watcher: asyncio.Task[None] | None = None

    async def watch() -> None:
        nonlocal gone
        try:
            await _disconnected(receive)
        except Exception:  # a server that cannot receive any more has lost the client too
            pass
        gone = True
        task.cancel()

    def start_watching() -> None:
        nonlocal watcher
        watcher = loop.create_task(watch())

    # The listener starts when the body first waits: one that never does is sent before a
    # disconnect could be heard, and costs no task.
    starting = loop.call_soon(start_watching)
    try:
        await sending
    except asyncio.CancelledError:
        # Ours alone: the response is cut short. Anyone else's goes on.
        if gone and task.uncancel() == 0:
            return False
        raise
    except Exception as error:
        if not isinstance(error, OSError):  # a server that reports the disconnect on send
            log.error("response body failed", exc_info=error)
        return False
    finally:
        starting.cancel()
        if watcher is not None:
            watcher.cancel()
    return True


def as_bytes(chunk: Any, charset: str) -> bytes:
    if isinstance(chunk, bytes):
        return chunk
    if isinstance(chunk, str):
        return chunk.encode(charset)
    if isinstance(chunk, (bytearray, memoryview)):
        return bytes(chunk)
    raise TypeError(f"a response chunk must be bytes or str, not {type(chunk).__name__}")


class StreamingResponse(Response):
    """A body produced by a sync or async iterable of bytes or str, sent as it comes.

    Sync iterators run in worker threads of their own pool (64), one next() at a time. A
    client disconnect stops the iteration and closes the iterator (an async generator's
    `finally` runs). An exception mid-stream is logged and the connection is dropped, so the
    client sees a cut-off body rather than a complete one."""

    buffered: ClassVar[bool] = False

    def __init__(self, content: Content, status_code: int = 200, headers: Any = None,
                 media_type: str | None = None, background: Callable[[], object] | None = None) -> None:
        self.status_code = status_code
        self.background = background
        self.body = b""
        self.body_iterator = content
        self.init_headers(headers, media_type or self.media_type)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        source = async_source(self.body_iterator)
        await send({"type": "http.response.start", "status": self.status_code, "headers": self.raw_headers})
        if scope.get("method") == "HEAD":
            await close_source(source)
            await send({"type": "http.response.body", "body": b""})
        elif not await send_until_disconnect(receive, self._send_body(source, send)):
            return
        await run_background(self.background)

    async def _send_body(self, source: AsyncIterator[Any], send: Send) -> None:
        encode = self.encode_chunk
        # Bytes chunks go out as they are unless a subclass encodes them its own way.
        as_is = getattr(encode, "__func__", None) is StreamingResponse.encode_chunk
        try:
            async for chunk in source:
                body = chunk if as_is and chunk.__class__ is bytes else encode(chunk)
                await send({"type": "http.response.body", "body": body, "more_body": True})
        finally:
            await close_source(source)
        await send({"type": "http.response.body", "body": b""})

    def encode_chunk(self, chunk: Any) -> bytes:
        return as_bytes(chunk, self.charset)
