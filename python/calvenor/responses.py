"""Response objects a handler may return: a body with a status, headers and cookies.

The App sends buffered responses itself (adding CORS headers, gzip and content-length);
unbuffered ones (streams, files) send themselves through `__call__`.
"""
import re
from collections.abc import Iterable, Mapping
from datetime import datetime
from email.utils import format_datetime
from http.cookies import CookieError, SimpleCookie
from typing import Any, ClassVar, TypeAlias
from urllib.parse import quote

from ._core import Response as _NativeResponse
from .asgi import Receive, Scope, Send
from .background import BackgroundTask, run_background

Headers: TypeAlias = Mapping[str, str] | Iterable[tuple[str, str]]

# 1xx, 204 and 304 have no body (RFC 9110 §6.4.1).
NO_BODY_STATUSES = frozenset({100, 101, 102, 103, 204, 304})
REDIRECT_STATUSES = frozenset({301, 302, 303, 307, 308})

_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
_CTL = re.compile(r"[\r\n\x00]")
# Validated header names, lower-cased; applications use a handful, so this stays small.
_NAMES: dict[str, bytes] = {}
# Spellings of content-type other than the two usual ones, as they come up.
_ODD_TYPE_NAMES: set[str] = set()


def header_name(name: str) -> bytes:
    known = _NAMES.get(name)
    if known is not None:
        return known
    if not _TOKEN.fullmatch(name):
        raise ValueError(f"invalid header name {name!r}")
    raw = name.lower().encode("ascii")
    if raw == b"content-type" and name not in ("content-type", "Content-Type"):
        _ODD_TYPE_NAMES.add(name)
    if len(_NAMES) < 1024:
        _NAMES[name] = raw
    return raw


def header_value(value: str) -> bytes:
    # Tabs are legal in values but not printable; only then look closer.
    if not value.isprintable() and _CTL.search(value):
        raise ValueError(f"header value contains CR, LF or NUL: {value!r}")
    return value.encode("latin-1")


def encode_headers(headers: Headers) -> list[tuple[bytes, bytes]]:
    """Validated (name, value) bytes pairs, names lower-cased."""
    names = _NAMES
    return [
        (names.get(name) or header_name(name), value.encode("latin-1") if value.isprintable() else header_value(value))
        for name, value in (headers.items() if type(headers) is dict or isinstance(headers, Mapping) else headers)
    ]


def content_type(media_type: str, charset: str) -> str:
    if (media_type.startswith("text/") or media_type == "application/json") and "charset=" not in media_type:
        return f"{media_type}; charset={charset}"
    return media_type


# Content-type headers of UTF-8 responses by media type.
_CONTENT_TYPES: dict[str, tuple[bytes, bytes]] = {}


def _content_type_header(media_type: str, charset: str) -> tuple[bytes, bytes]:
    header = (b"content-type", header_value(content_type(media_type, charset)))
    if charset == "utf-8" and len(_CONTENT_TYPES) < 256:
        _CONTENT_TYPES[media_type] = header
    return header


class Response:
    """A buffered response: `content` as bytes (a str is encoded with `charset`)."""

    # Slots for what every response has (faster to set); other attributes still work.
    __slots__ = ("status_code", "body", "background", "raw_headers", "__dict__")
    status_code: int
    body: bytes
    background: BackgroundTask | None
    raw_headers: list[tuple[bytes, bytes]]
    media_type: str | None = None
    charset: str = "utf-8"
    buffered: ClassVar[bool] = True

    def __init__(self, content: Any = None, status_code: int = 200, headers: Headers | None = None,
                 media_type: str | None = None, background: BackgroundTask | None = None) -> None:
        self.status_code = status_code
        self.background = background
        self.body = self.render(content)
        self.init_headers(headers, media_type)

    def render(self, content: Any) -> bytes:
        if content is None:
            return b""
        if isinstance(content, str):
            return content.encode(self.charset)
        return bytes(content)

    def init_headers(self, headers: Headers | None, media_type: str | None = None) -> None:
        kind = media_type or self.media_type
        raw = encode_headers(headers) if headers else []
        if kind is not None:
            for name, _ in raw:
                if name == b"content-type":
                    break
            else:
                raw.append(_CONTENT_TYPES.get(kind) or _content_type_header(kind, self.charset)
                           if self.charset == "utf-8" else _content_type_header(kind, self.charset))
        self.raw_headers = raw

    @property
    def headers(self) -> dict[str, str]:
        """The headers as text, names lower-cased; of repeated ones the last."""
        return {name.decode(): value.decode("latin-1") for name, value in self.raw_headers}

    def set_cookie(self, key: str, value: str = "", max_age: int | None = None,
                   expires: datetime | str | int | None = None, path: str | None = "/",
                   domain: str | None = None, secure: bool = False, httponly: bool = False,
                   samesite: str | None = "lax") -> None:
        if not _TOKEN.fullmatch(key):
            raise ValueError(f"cookie name is not a token: {key!r}")
        for part in (value, path, domain, expires if isinstance(expires, str) else None):
            if part is not None and _CTL.search(part):
                raise ValueError(f"cookie attribute contains CR, LF or NUL: {part!r}")
        cookie: SimpleCookie = SimpleCookie()
        try:
            cookie[key] = value
        except CookieError as exc:
            raise ValueError(str(exc)) from None
        morsel = cookie[key]
        if max_age is not None:
            morsel["max-age"] = max_age
        if expires is not None:
            morsel["expires"] = format_datetime(expires, usegmt=True) if isinstance(expires, datetime) else expires
        if path is not None:
            morsel["path"] = path
        if domain is not None:
            morsel["domain"] = domain
        if secure:
            morsel["secure"] = True
        if httponly:
            morsel["httponly"] = True
        if samesite is not None:
            if samesite.lower() not in ("strict", "lax", "none"):
                raise ValueError("samesite must be 'strict', 'lax' or 'none'")
            morsel["samesite"] = samesite
        self.raw_headers.append((b"set-cookie", header_value(morsel.OutputString())))

    def delete_cookie(self, key: str, path: str = "/", domain: str | None = None) -> None:
        self.set_cookie(key, max_age=0, expires="Thu, 01 Jan 1970 00:00:00 GMT", path=path, domain=domain)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        headers = self.raw_headers
        body = self.body
        if self.status_code in NO_BODY_STATUSES:
            body = b""
        else:
            headers = [*headers, (b"content-length", b"%d" % len(body))]
            if scope.get("method") == "HEAD":
                body = b""
        await send({"type": "http.response.start", "status": self.status_code, "headers": headers})
        await send({"type": "http.response.body", "body": body})
        await run_background(self.background)


class PlainTextResponse(Response):
    media_type = "text/plain"


class HTMLResponse(Response):
    media_type = "text/html"


_JSON_TYPE = (b"content-type", b"application/json; charset=utf-8")


class JSONResponse(Response):
    """JSON through the native encoder: the same bytes as a handler's dict result."""

    media_type = "application/json"

    def __init__(self, content: Any = None, status_code: int = 200, headers: Headers | None = None,
                 media_type: str | None = None, background: BackgroundTask | None = None) -> None:
        self.status_code = status_code
        self.background = background
        self.body = _NativeResponse.json(content, None).body
        if media_type is None:
            # The common case, inline: a JSON API answers many of these.
            if not headers:
                self.raw_headers = [_JSON_TYPE]
                return
            if type(headers) is dict:
                names = _NAMES
                raw = [(names.get(name) or header_name(name),
                        value.encode("latin-1") if value.isprintable() else header_value(value))
                       for name, value in headers.items()]
                if not ("content-type" in headers or "Content-Type" in headers
                        or _ODD_TYPE_NAMES and not _ODD_TYPE_NAMES.isdisjoint(headers)):
                    raw.append(_JSON_TYPE)
            else:
                raw = encode_headers(headers)
                if b"content-type" not in dict(raw):
                    raw.append(_JSON_TYPE)
            self.raw_headers = raw
        else:
            self.init_headers(headers, media_type)

    def render(self, content: Any) -> bytes:
        return _NativeResponse.json(content, None).body


class RedirectResponse(Response):
    def __init__(self, url: str, status_code: int = 307, headers: Headers | None = None,
                 background: BackgroundTask | None = None) -> None:
        if status_code not in REDIRECT_STATUSES:
            raise ValueError(f"a redirect takes 301, 302, 303, 307 or 308, not {status_code}")
        if _CTL.search(url):
            raise ValueError(f"redirect URL contains CR, LF or NUL: {url!r}")
        super().__init__(b"", status_code, headers, None, background)
        self.raw_headers.append((b"location", quote(url, safe=":/%#?=@[]!$&'()*+,;~").encode("ascii")))
