"""Exceptions a handler raises to answer with a status other than 200."""
from http import HTTPStatus


class HTTPError(Exception):
    """Raise from a handler to send `status` with `detail` as a text/plain body."""

    def __init__(self, status: int, detail: str | None = None):
        if detail is None:
            try:
                detail = HTTPStatus(status).phrase
            except ValueError:
                detail = str(status)
        super().__init__(status, detail)
        self.status = status
        self.detail = detail
