"""What becomes of a handler: async handlers awaited by the layer, results and errors
turned into responses."""
import inspect
import logging
from collections.abc import Awaitable, Callable
from typing import Any, NoReturn, TypeAlias, TypeGuard

from ._core import Response
from .errors import HTTPError

log = logging.getLogger("calvenor")

# The dict the native dispatch passes: method, path, query_string, headers, route_params.
RequestDict: TypeAlias = dict[str, Any]
# A handler returns a dict (JSON), a str or anything else (its str()); an async one, an
# awaitable of that, which is itself an `object`.
Handler: TypeAlias = Callable[[RequestDict], object]
AsyncHandler: TypeAlias = Callable[[RequestDict], Awaitable[object]]


class AsyncCall(Exception):
    """Raised by the stand-in of an async handler, so that the handler is awaited by the layer.

    Dispatch passes a handler's exceptions through unchanged, so the route is matched and the
    request dict built once, natively, exactly as for a sync handler."""


def stand_in(handler: AsyncHandler) -> Callable[[RequestDict], NoReturn]:
    def call(req: RequestDict) -> NoReturn:
        raise AsyncCall(handler, req)

    return call


def is_async(handler: object) -> TypeGuard[AsyncHandler]:
    return inspect.iscoroutinefunction(handler) or inspect.iscoroutinefunction(
        getattr(handler, "__call__", None)
    )


def to_response(result: object) -> Response:
    """What the native dispatch does with a handler result, for awaited results."""
    if isinstance(result, dict):
        return Response.json(result, None)
    text = result if isinstance(result, str) else str(result)
    try:
        return Response.text(text, None)
    except UnicodeEncodeError:  # lone surrogates: same replacement as the native dispatch
        return Response.text(text.encode("utf-8", "surrogatepass").decode("utf-8", "replace"), None)


def error_response(exc: Exception, method: str, path: str) -> Response:
    if isinstance(exc, HTTPError):
        return Response.text(exc.detail, exc.status)
    if isinstance(exc, ValueError) and exc.args and str(exc.args[0]).startswith("Invalid JSON: "):
        return Response.text(str(exc.args[0]), 400)
    log.error("handler for %s %s failed", method, path, exc_info=exc)
    return Response.text("Internal Server Error", 500)
