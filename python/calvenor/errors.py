"""Exceptions a handler raises to answer with a status other than 200."""
from collections.abc import Mapping
from http import HTTPStatus
from typing import Any


class HTTPError(Exception):
    """Raise from a handler to send `status` with `detail`: a str as text/plain, a dict
    as JSON; `headers` go on the response."""

    def __init__(self, status: int, detail: str | dict[str, Any] | None = None,
                 headers: Mapping[str, str] | None = None):
        if detail is None:
            try:
                detail = HTTPStatus(status).phrase
            except ValueError:
                detail = str(status)
        super().__init__(status, detail)
        self.status = status
        self.detail = detail
        self.headers = headers

    @property
    def status_code(self) -> int:
        return self.status


class HTTPException(HTTPError):
    """`HTTPError` under the name and signature code ported from Starlette or FastAPI uses:
    `raise HTTPException(status_code=404, detail="Item not found")`."""

    def __init__(self, status_code: int, detail: str | dict[str, Any] | None = None,
                 headers: Mapping[str, str] | None = None):
        super().__init__(status_code, detail, headers)


class InvalidJSON(ValueError):
    """A request body that does not decode as JSON; the message is the decoder's own."""
