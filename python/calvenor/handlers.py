"""What becomes of a handler: the callable registered in the native table, and its result
turned into a response.

The native dispatch answers a dict or a str itself. Anything else a handler returns is held
for the layer while dispatch answers an empty text; a handler's exceptions leave dispatch as
exceptions that carry them to the layer. An async handler runs inside dispatch up to its
first suspension: one that returns without waiting is answered like a sync one, and one that
waits is held for the layer to run to its end. So the route is matched and the request dict
built once, natively, for every kind of handler.
"""
import inspect
import logging
import types
import typing
from collections.abc import Awaitable, Callable, Generator, Mapping
from threading import get_ident
from typing import Any, NoReturn, TypeAlias, TypeGuard

from ._core import Response as NativeResponse
from .asgi import Scope
from .connection import current_scope
from .responses import JSONResponse, PlainTextResponse, Response
from .errors import HTTPError, InvalidJSON

log = logging.getLogger("calvenor")

# The dict the native dispatch passes: method, path, query_string, headers, route_params.
RequestDict: TypeAlias = dict[str, Any]
# A handler returns a dict or list (JSON), a str, a Response or anything else (its str());
# an async one, an awaitable of that, which is itself an `object`.
Handler: TypeAlias = Callable[[RequestDict], object]
AsyncHandler: TypeAlias = Callable[[RequestDict], Awaitable[object]]
# (req, exc) -> any handler result, sync or async.
ErrorHandler: TypeAlias = Callable[[RequestDict, Any], object]
# Keyed by exception class, or by the status of an HTTPError and of the layer's own errors.
ErrorHandlers: TypeAlias = Mapping[type[BaseException] | int, ErrorHandler]
# Turns the matched texts of "route_params" into values in place; NoMatch when one does not convert.
Converter: TypeAlias = Callable[[dict[str, Any]], None]


# A handler's result that the native dispatch would only turn into text, kept for the layer
# by thread while dispatch answers an empty text instead. Dispatch holds its application, so
# one thread has at most one result in flight, and the layer takes it back as soon as
# dispatch returns. (A dict of thread ids: reads and writes cost a fraction of a
# threading.local's.)
Held: TypeAlias = dict[int, object]

# Held in place of an async handler's result when dispatch returns before it is known:
# (PENDING, an awaitable of the result, the request dict, the error handlers of its group).
PENDING = object()
Pending: TypeAlias = tuple[object, Awaitable[object], RequestDict, tuple[ErrorHandlers, ...]]


@types.coroutine
def resume(coro: Any, waiting: object) -> Generator[object, Any, object]:
    """The rest of `coro`, which has yielded `waiting` for the event loop: hands that on, then
    passes everything between the loop and `coro` as `await coro` would; returns its result."""
    while True:
        try:
            sent = yield waiting
        except GeneratorExit:
            coro.close()
            raise
        except BaseException as exc:
            try:
                waiting = coro.throw(exc)
            except StopIteration as done:
                return done.value
        else:
            if sent is None:  # what asyncio sends: from here on the interpreter relays everything itself
                return (yield from coro)
            try:
                waiting = coro.send(sent)
            except StopIteration as done:
                return done.value


async def finished(result: object) -> object:
    """An awaitable of a result already known."""
    return result


async def failed(exc: BaseException) -> NoReturn:
    """An awaitable that raises what a handler raised while dispatch ran it."""
    raise exc


class HandlerFailed(Exception):
    """A handler's exception, with the request dict and the error handlers of its group."""


class NoMatch(Exception):
    """A route parameter did not convert: the path matches no route after all."""


def is_async(handler: object) -> TypeGuard[AsyncHandler]:
    return inspect.iscoroutinefunction(handler) or inspect.iscoroutinefunction(
        getattr(handler, "__call__", None)
    )


def returns_plain(handler: object) -> bool:
    """Is `handler` annotated to return a dict or a str, which the core answers itself?"""
    hint = getattr(handler, "__annotations__", {}).get("return")
    if isinstance(hint, str):  # postponed annotations: "dict[...]" or "str" and nothing around
        name, bracket, rest = hint.strip().partition("[")
        if name not in ("dict", "str"):
            return False
        depth = 1 if bracket else 0
        for i, char in enumerate(rest):
            depth += (char == "[") - (char == "]")
            if depth == 0:
                return i == len(rest) - 1
        return not bracket
    return (typing.get_origin(hint) or hint) in (dict, str)


def make_target(handler: Handler, convert: Converter | None, errors: tuple[ErrorHandlers, ...],
                held: Held) -> Callable[[RequestDict], object]:
    """The callable the native table holds for `handler`."""
    if is_async(handler):
        def stand_in(req: RequestDict) -> object:
            if convert is not None:
                convert(req["route_params"])
            try:
                call = handler(req)
            except Exception as exc:
                raise HandlerFailed(exc, req, errors) from None
            if call.__class__ is not types.CoroutineType:  # an awaitable of another kind
                held[get_ident()] = (PENDING, call, req, errors)
                return ""
            try:
                waiting = call.send(None)
            except StopIteration as done:
                result = done.value
            except Exception as exc:
                raise HandlerFailed(exc, req, errors) from None
            except BaseException as exc:  # not the layer's to answer: it raises it once dispatch is over
                held[get_ident()] = (PENDING, failed(exc), req, errors)
                return ""
            else:
                held[get_ident()] = (PENDING, resume(call, waiting), req, errors)
                return ""
            if result.__class__ is dict or result.__class__ is str:
                return result
            # A Response is its own answer; other results become one as an async handler's do.
            held[get_ident()] = result if isinstance(result, Response) else (PENDING, finished(result), req, errors)
            return ""

        # For the layer, when the core fails to encode a dict result: what its error handler sees.
        stand_in.awaits = (convert, errors)  # type: ignore[attr-defined]
        return stand_in

    if convert is None and not errors and returns_plain(handler):
        return handler  # the core answers its results itself; its exceptions pass unchanged

    def call(req: RequestDict) -> object:
        if convert is not None:
            convert(req["route_params"])
        try:
            result = handler(req)
        except Exception as exc:
            raise HandlerFailed(exc, req, errors) from None
        if result.__class__ is dict or result.__class__ is str:
            return result
        held[get_ident()] = result
        return ""

    return call


def to_response(result: object) -> NativeResponse | Response:
    """What a handler's result answers."""
    if isinstance(result, Response):
        return result
    if isinstance(result, (dict, list)):
        return NativeResponse.json(result, None)
    text = result if isinstance(result, str) else str(result)
    try:
        return NativeResponse.text(text, None)
    except UnicodeEncodeError:  # lone surrogates: same replacement as the native dispatch
        return NativeResponse.text(text.encode("utf-8", "surrogatepass").decode("utf-8", "replace"), None)


def framework_response(result: object) -> Response:
    """`result` as a Response object: JSON for a dict or list, else its str() as text."""
    if isinstance(result, Response):
        return result
    if isinstance(result, (dict, list)):
        return JSONResponse(result)
    return PlainTextResponse(to_response(result).body)


def find_error_handler(exc: BaseException, chain: tuple[ErrorHandlers, ...]) -> ErrorHandler | None:
    """The handler for `exc`: the innermost group first, most specific class first. An
    HTTPError's status comes right before HTTPError itself: a handler for one of its
    subclasses is more specific, one for HTTPError or a base of it less."""
    status = exc.status if isinstance(exc, HTTPError) else None
    for handlers in chain:
        if handlers:
            for cls in type(exc).__mro__:
                if cls is HTTPError and status is not None:
                    found = handlers.get(status)
                    if found is not None:
                        return found
                found = handlers.get(cls)
                if found is not None:
                    return found
    return None


def http_error_response(exc: HTTPError) -> Response:
    if isinstance(exc.detail, str):
        return PlainTextResponse(exc.detail, exc.status, exc.headers)
    return JSONResponse(exc.detail, exc.status, exc.headers)


async def finish(pending: Pending, app_errors: ErrorHandlers, scope: Scope) -> NativeResponse | Response:
    """The response of a pending async call, or of the error handler its exception finds in
    its group's handlers or the app's; the connection is in the context meanwhile."""
    _, awaitable, req, errors = pending
    token = current_scope.set((scope, req))
    try:
        try:
            result = await awaitable
        except Exception as exc:
            return await handle_error(exc, req, (*errors, app_errors))
        try:
            return to_response(result)
        except Exception as exc:
            return await handle_error(exc, req, (*errors, app_errors))
        except BaseException as exc:
            return internal_fault(exc, req["method"], req["path"])
    finally:
        current_scope.reset(token)


async def handle_error(exc: Exception, req: RequestDict, chain: tuple[ErrorHandlers, ...]) -> NativeResponse | Response:
    """What the first handler for `exc` in `chain` answers; without one, a logged 500."""
    handler = find_error_handler(exc, chain)
    if handler is None:
        log.error("handler for %s %s failed", req["method"], req["path"], exc_info=exc)
        # A handler keyed by 500 answers what no other takes; the traceback is logged all the same.
        handler = next((found for handlers in chain if (found := handlers.get(500)) is not None), None)
        if handler is None:
            return PlainTextResponse("Internal Server Error", 500)
    try:
        result = handler(req, exc)
        if inspect.isawaitable(result):
            result = await result
        return to_response(result)
    except Exception as failure:
        log.error("exception handler for %r failed", exc, exc_info=failure)
        return PlainTextResponse("Internal Server Error", 500)


def http_error_default(req: RequestDict, exc: HTTPError) -> Response:
    return http_error_response(exc)


def invalid_json_default(req: RequestDict, exc: InvalidJSON) -> Response:
    return PlainTextResponse(str(exc), 400)


_panic: type[BaseException] | None = None


def internal_fault(exc: BaseException, method: str, path: str) -> Response:
    """The core's internal faults (a dict changed while it was encoded) answer 500; other
    BaseExceptions (cancellation, exit) go on."""
    global _panic
    if _panic is None:
        from ._core import Router

        try:  # the one way to learn the core's panic type: provoke one
            Router().add("GET", "/" + "/".join("{p%d}" % i for i in range(26)), None)
        except BaseException as probe:
            _panic = type(probe)
    if type(exc) is not _panic:
        raise exc
    log.error("internal fault handling %s %s", method, path, exc_info=exc)
    return PlainTextResponse("Internal Server Error", 500)
