"""`FileResponse`: a file from disk with validators, conditional requests and byte ranges,
read in chunks off the event loop (or handed to the server when it can send files itself)."""
import asyncio
import concurrent.futures
import functools
import mimetypes
import os
import re
import stat
import threading
from collections.abc import Callable
from email.utils import formatdate, parsedate_to_datetime
from typing import Any, ClassVar
from urllib.parse import quote

from .asgi import Receive, Scope, Send
from .background import run_background
from .responses import Response
from .streaming import send_until_disconnect

# Large enough that a send per chunk costs little, small enough to stay out of RSS.
CHUNK_SIZE = 1024 * 1024
# Chunks read but not yet sent, at most.
READ_AHEAD = 4
# Files this small are read with one call on the loop: cheaper than a thread hop, or
# than the server's own file sending.
SMALL_FILE = 64 * 1024

# Threads that read files: reading jobs never wait on a client, so a few serve every transfer.
FILE_THREADS = 8


@functools.cache
def _file_pool() -> concurrent.futures.ThreadPoolExecutor:
    return concurrent.futures.ThreadPoolExecutor(FILE_THREADS, thread_name_prefix="calvenor-file")


# Possessive: with an empty number, two greedy runs of spaces side by side would make a
# long run of them take quadratic time to refuse.
_RANGE = re.compile(r"\s*+bytes\s*+=\s*+(\d{0,18})\s*+-\s*+(\d{0,18})\s*+", re.ASCII | re.IGNORECASE)
_NOT_MODIFIED_DROPS = frozenset({b"content-type", b"content-length", b"content-disposition"})


# Cached: a static directory asks for the same few names and dates on every request.
@functools.lru_cache(maxsize=1024)
def guess_media_type(name: str) -> str:
    return mimetypes.guess_type(name)[0] or "application/octet-stream"


@functools.lru_cache(maxsize=1024)
def http_date(timestamp: float) -> bytes:
    return formatdate(timestamp, usegmt=True).encode()


def content_disposition(filename: str, disposition: str = "attachment") -> str:
    if filename.isascii() and filename.isprintable():
        escaped = filename.replace("\\", "\\\\").replace('"', '\\"')
        return f'{disposition}; filename="{escaped}"'
    return f"{disposition}; filename*=UTF-8''{quote(filename, safe='')}"


def parse_range(value: str, size: int) -> tuple[int, int] | None | bool:
    """The one byte range of a Range header as (first, last) inclusive; None when the header
    is to be ignored (malformed, another unit, several ranges); False when unsatisfiable."""
    match = _RANGE.fullmatch(value)
    if match is None:
        return None
    first_text, last_text = match.groups()
    if not first_text:  # suffix: the last n bytes
        if not last_text:
            return None
        length = int(last_text)
        if length == 0 or size == 0:
            return False
        return max(0, size - length), size - 1
    first = int(first_text)
    if not last_text:
        return (first, size - 1) if first < size else False
    last = int(last_text)
    if last < first:
        return None
    if first >= size:
        return False
    return first, min(last, size - 1)


def _etag_matches(header: str, etag: str) -> bool:
    # Weak comparison: a W/ prefix on either side does not matter here.
    bare = etag.removeprefix("W/")
    for candidate in header.split(","):
        candidate = candidate.strip()
        if candidate == "*" or candidate.removeprefix("W/") == bare:
            return True
    return False


def _not_modified_since(header: str, mtime: float) -> bool:
    try:
        since = parsedate_to_datetime(header)
    except Exception:  # any malformed date is no date
        return False
    if since.tzinfo is None:
        return False
    return int(mtime) <= since.timestamp()


class FileResponse(Response):
    """A file sent from disk. GET and HEAD requests get 304 when `If-None-Match` or
    `If-Modified-Since` says the client has it, 206 for one satisfiable `Range` (416 for an
    unsatisfiable one). A Range with several ranges, or one that cannot be parsed, is ignored:
    the whole file is sent with 200. `filename` adds an attachment `content-disposition`."""

    buffered: ClassVar[bool] = False
    chunk_size: int = CHUNK_SIZE

    def __init__(self, path: str | os.PathLike[str], status_code: int = 200, headers: Any = None,
                 media_type: str | None = None, filename: str | None = None,
                 background: Callable[[], object] | None = None, *,
                 stat_result: os.stat_result | None = None) -> None:
        self.path = os.fspath(path)
        self.status_code = status_code
        self.background = background
        self.body = b""
        self.filename = filename
        self.stat_result = stat_result
        self.init_headers(headers, media_type or guess_media_type(filename or self.path))
        if filename is not None:
            self.raw_headers.append((b"content-disposition", content_disposition(filename).encode("latin-1")))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            st = self.stat_result or os.stat(self.path)
        except OSError:
            return await self._send_missing(send)
        if not stat.S_ISREG(st.st_mode):
            return await self._send_missing(send)
        size = st.st_size
        etag = f'"{st.st_size:x}-{st.st_mtime_ns:x}-{st.st_ino:x}"'
        last_modified = http_date(st.st_mtime)
        headers = self.raw_headers + [
            (b"etag", etag.encode()),
            (b"last-modified", last_modified),
            (b"accept-ranges", b"bytes"),
        ]
        status = self.status_code
        first, last = 0, size - 1
        method = scope.get("method", "GET")
        if status == 200 and method in ("GET", "HEAD"):
            request_headers = dict(scope["headers"])
            if self._not_modified(request_headers, etag, st.st_mtime):
                kept = [(k, v) for k, v in headers if k not in _NOT_MODIFIED_DROPS]
                await send({"type": "http.response.start", "status": 304, "headers": kept})
                await send({"type": "http.response.body", "body": b""})
                return await run_background(self.background)
            range_header = request_headers.get(b"range")
            if range_header is not None and self._range_applies(request_headers, etag, last_modified):
                wanted = parse_range(range_header.decode("latin-1"), size)
                if wanted is False:
                    headers.append((b"content-range", b"bytes */%d" % size))
                    headers.append((b"content-length", b"0"))
                    await send({"type": "http.response.start", "status": 416, "headers": headers})
                    await send({"type": "http.response.body", "body": b""})
                    return await run_background(self.background)
                if wanted is not None:
                    first, last = wanted  # type: ignore[misc]
                    status = 206
                    headers.append((b"content-range", b"bytes %d-%d/%d" % (first, last, size)))
        length = last - first + 1
        headers.append((b"content-length", b"%d" % length))
        await send({"type": "http.response.start", "status": status, "headers": headers})
        if method == "HEAD" or length == 0:
            await send({"type": "http.response.body", "body": b""})
        elif length <= SMALL_FILE:
            # Before pathsend: a server opening and reading a small file costs it more than
            # taking the bytes.
            if not await self._send_small(send, first, length):
                return
        elif status == 200 and "http.response.pathsend" in scope.get("extensions", ()):
            await send({"type": "http.response.pathsend", "path": os.path.abspath(self.path)})
        elif not await send_until_disconnect(receive, self._send_chunks(send, first, length)):
            return
        await run_background(self.background)

    @staticmethod
    def _not_modified(request_headers: dict[bytes, bytes], etag: str, mtime: float) -> bool:
        if_none_match = request_headers.get(b"if-none-match")
        if if_none_match is not None:
            return _etag_matches(if_none_match.decode("latin-1"), etag)
        if_modified_since = request_headers.get(b"if-modified-since")
        if if_modified_since is not None:
            return _not_modified_since(if_modified_since.decode("latin-1"), mtime)
        return False

    @staticmethod
    def _range_applies(request_headers: dict[bytes, bytes], etag: str, last_modified: bytes) -> bool:
        if_range = request_headers.get(b"if-range")
        if if_range is None:
            return True
        # A range of a representation the client no longer has would be garbage: send it whole.
        return if_range == etag.encode() or if_range == last_modified

    async def _send_missing(self, send: Send) -> None:
        body = b"Not Found"
        await send({"type": "http.response.start", "status": 404, "headers": [
            (b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"%d" % len(body))]})
        await send({"type": "http.response.body", "body": body})

    async def _send_small(self, send: Send, first: int, length: int) -> bool:
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            return False  # removed since the stat: drop the connection
        try:
            # Unbuffered: a file object would allocate a buffer and stat again.
            data = os.pread(fd, length, first)
        except OSError:
            return False
        finally:
            os.close(fd)
        await send({"type": "http.response.body", "body": data})
        return True

    async def _send_chunks(self, send: Send, first: int, length: int) -> None:
        # Opened on the loop like the stat: a descriptor opened in a thread would leak if the
        # client left (and this task were cancelled) while the open ran.
        fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        reader = _ReadAhead(asyncio.get_running_loop(), fd, first, length, self.chunk_size)
        try:
            reader.start()
        except BaseException:
            os.close(fd)
            raise
        try:
            offset, end = first, first + length
            while offset < end:
                data = await reader.next()
                if not data:
                    raise RuntimeError(f"{self.path} became shorter while it was sent")
                offset += len(data)
                await send({"type": "http.response.body", "body": data, "more_body": offset < end})
        finally:
            reader.stop()


class _ReadAhead:
    """A byte range of a descriptor read in chunks off the loop, at most READ_AHEAD chunks
    ahead of the sender. A reading job runs in the file pool while there is room and leaves
    when there is none; the sender starts another as it takes a chunk. So no thread waits on
    a client: one that stops reading holds its chunks, not a thread. The descriptor is closed
    by whichever side finds the range done or stopped with no job running."""

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, first: int, length: int,
                 chunk_size: int) -> None:
        self._loop = loop
        self._fd = fd
        self._offset, self._end = first, first + length
        self._chunk_size = chunk_size
        self._ready: asyncio.Queue[bytes | Exception] = asyncio.Queue()
        self._lock = threading.Lock()
        self._room = READ_AHEAD
        self._running = False
        self._stopped = False
        self._done = False  # the range is read, or a read failed or came back short

    def start(self) -> None:
        self._resume()

    async def next(self) -> bytes:
        """The next chunk; empty when the file ended early. Raises what the read raised."""
        item = await self._ready.get()
        with self._lock:
            self._room += 1
        self._resume()
        if isinstance(item, Exception):
            raise item
        return item

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            close = not self._running and self._fd >= 0
            fd, self._fd = self._fd, (-1 if close else self._fd)
        if close:
            os.close(fd)

    def _resume(self) -> None:
        with self._lock:
            if self._running or self._stopped or self._done or self._room == 0:
                return
            self._running = True
        try:
            _file_pool().submit(self._run)
        except BaseException:
            with self._lock:
                self._running = False
            raise

    def _run(self) -> None:
        while True:
            with self._lock:
                if self._stopped or self._done or self._room == 0:
                    self._running = False
                    # No read is in flight now: the descriptor may go once nothing will read.
                    close = (self._stopped or self._done) and self._fd >= 0
                    fd, self._fd = self._fd, (-1 if close else self._fd)
                    break
                self._room -= 1
                offset = self._offset
            item: bytes | Exception
            try:
                item = os.pread(self._fd, min(self._chunk_size, self._end - offset), offset)
            except Exception as exc:
                item = exc
            with self._lock:
                if isinstance(item, Exception) or not item:
                    self._done = True
                else:
                    self._offset += len(item)
                    self._done = self._offset >= self._end
            if not self._post(item):
                with self._lock:
                    self._stopped = True
        if close:
            os.close(fd)

    def _post(self, item: bytes | Exception) -> bool:
        try:
            self._loop.call_soon_threadsafe(self._ready.put_nowait, item)
            return True
        except RuntimeError:  # the loop has closed: nobody is waiting
            return False
