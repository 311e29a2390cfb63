"""The body of the request being handled, and the helpers that build a Request from it.

The native dispatch gives a handler a plain dict without the body. The body of the current
request sits in a context variable (each ASGI request runs in its own task, so concurrent
requests never see each other's), and `request(req)` turns the dict and that body into a
`Request` with lazy decoding. Nothing is built unless a handler asks for it.
"""
from contextvars import ContextVar
from typing import Any

from ._core import Request
from .errors import HTTPError

current_body: ContextVar[bytes] = ContextVar("calvenor_body", default=b"")


def request(req: dict[str, Any]) -> Request:
    """A `Request` for the request dict `req`, with its headers and body set."""
    # The layer hands the query string to the core as Latin-1 text (one char per raw byte);
    # the dict holds that text's UTF-8 form, so decoding it gives the same text back.
    r = Request(req["method"], req["path"], req["query_string"].decode("utf-8"))
    r.set_headers(req["headers"])
    r.set_body(current_body.get())
    return r


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


def form(
    req: dict[str, Any],
) -> tuple[dict[str, list[str]], dict[str, list[tuple[str, str, bytes]]]]:
    """`(fields, files)` of a multipart/form-data body; 400 when it is not one or is cut short."""
    r = request(req)
    boundary = multipart_boundary(r.get_header("content-type") or "")
    if boundary is None:
        raise HTTPError(400, "Expected a multipart/form-data body with a boundary")
    # The parser skips what it cannot read; a missing closing delimiter means the upload was
    # cut short, which a client should hear about rather than get a partial form.
    if current_body.get().rfind(b"--" + boundary.encode() + b"--") < 0:
        raise HTTPError(400, "Truncated multipart body")
    return r.parse_multipart(boundary)
