"""The body of the request being handled.

The native dispatch gives a handler a plain dict without the body. The body of the current
request sits in a context variable (each ASGI request runs in its own task, so concurrent
requests never see each other's), set only when there is one.
"""
from contextvars import ContextVar

current_body: ContextVar[bytes] = ContextVar("calvenor_body", default=b"")
