"""Route patterns with converters, and `Group`: routes registered under a prefix and
included into an App later.

`{id:int}`, `{x:float}`, `{key:uuid}` become the native `{name}` with a conversion run by
the handler's wrapper; `{rest:path}` becomes the native catch-all `{*rest}`. A pattern
without converters goes to the native table unchanged.
"""
import re
import uuid
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any, TypeVar

from .asgi import ASGIApp
from .handlers import Converter, ErrorHandler, ErrorHandlers, Handler, NoMatch

H = TypeVar("H", bound=Handler)
E = TypeVar("E", bound=ErrorHandler)
W = TypeVar("W", bound=Callable[..., Any])

_PARAM = re.compile(r"(?<!\{)\{([A-Za-z_][A-Za-z0-9_]*):([a-z]+)\}")
_FLOAT = re.compile(r"[0-9]+(?:\.[0-9]+)?")
_UUID = re.compile(r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}")


def _to_int(text: str) -> int:
    # int() alone would take "+1", " 1", "1_0" and other digits than ASCII.
    if not (text.isascii() and text.isdigit()):
        raise ValueError(text)
    return int(text)  # ValueError past the interpreter's digit limit


def _to_float(text: str) -> float:
    if not _FLOAT.fullmatch(text):
        raise ValueError(text)
    return float(text)


def _to_uuid(text: str) -> uuid.UUID:
    if not _UUID.fullmatch(text):
        raise ValueError(text)
    return uuid.UUID(text)


CONVERTERS: dict[str, Callable[[str], object]] = {"int": _to_int, "float": _to_float, "uuid": _to_uuid}


def compile_pattern(path: str) -> tuple[str, Converter | None]:
    """The native pattern for `path` and the conversion of its parameters (None: nothing to do)."""
    steps: list[tuple[str, Callable[[str], object]]] = []

    def native(match: re.Match[str]) -> str:
        name, kind = match.group(1), match.group(2)
        if kind == "path":
            return "{*" + name + "}"
        if kind != "str":
            fn = CONVERTERS.get(kind)
            if fn is None:
                raise ValueError(f"unknown converter {kind!r} in route {path!r}")
            steps.append((name, fn))
        return "{" + name + "}"

    pattern = _PARAM.sub(native, path)
    if not steps:
        return pattern, None
    conversions = tuple(steps)

    def convert(params: dict[str, Any]) -> None:
        try:
            for name, fn in conversions:
                params[name] = fn(params[name])
        except ValueError:
            raise NoMatch from None

    return pattern, convert


def join(prefix: str, path: str) -> str:
    return prefix.rstrip("/") + path if prefix else path


class Routes:
    """The registration decorators App and Group share."""

    def __init__(self) -> None:
        self.error_handlers: dict[type[BaseException] | int, ErrorHandler] = {}

    def add_route(self, path: str, methods: Iterable[str], handler: Handler,
                  errors: tuple[ErrorHandlers, ...] = ()) -> None:
        raise NotImplementedError

    def add_websocket(self, path: str, handler: Callable[..., Any]) -> None:
        raise NotImplementedError

    def mount(self, prefix: str, app: ASGIApp) -> None:
        raise NotImplementedError

    def include(self, group: "Group", prefix: str = "") -> None:
        """Add a group's routes, websockets and mounts under `prefix` (joined with the group's)."""
        for path, methods, handler, errors in group.routes:
            self.add_route(join(prefix, path), methods, handler, errors)
        for path, ws in group.websockets:
            self.add_websocket(join(prefix, path), ws)
        for path, app in group.mounts:
            self.mount(join(prefix, path), app)

    def route(self, path: str, methods: Iterable[str] = ("GET",)) -> Callable[[H], H]:
        def register(handler: H) -> H:
            self.add_route(path, methods, handler)
            return handler

        return register

    def get(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("GET",))

    def post(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("POST",))

    def put(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("PUT",))

    def patch(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("PATCH",))

    def delete(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("DELETE",))

    def options(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("OPTIONS",))

    def head(self, path: str) -> Callable[[H], H]:
        return self.route(path, ("HEAD",))

    def websocket(self, path: str) -> Callable[[W], W]:
        def register(handler: W) -> W:
            self.add_websocket(path, handler)
            return handler

        return register

    def exception_handler(self, exc_class_or_status_code: type[BaseException] | int) -> Callable[[E], E]:
        """Answer exceptions of a class (and its subclasses) with `handler(req, exc)`; or, for
        a status, HTTPErrors of that status (before a handler for HTTPError itself, after one
        for a subclass) and, on an App, its own 404, 405 and 413 answers, as an HTTPError."""
        def register(handler: E) -> E:
            self.error_handlers[exc_class_or_status_code] = handler
            return handler

        return register

    def static(self, prefix: str, directory: str | Path, html: bool = False) -> None:
        """Serve the files under `directory` at `prefix`."""
        from .staticfiles import StaticFiles  # type: ignore[import-not-found,unused-ignore]

        self.mount(prefix, StaticFiles(directory, html=html))


class Group(Routes):
    """Routes, websockets, mounts and error handlers kept until `App.include` adds them."""

    def __init__(self, prefix: str = "") -> None:
        super().__init__()
        self.prefix = prefix
        self.routes: list[tuple[str, tuple[str, ...], Handler, tuple[ErrorHandlers, ...]]] = []
        self.websockets: list[tuple[str, Callable[..., Any]]] = []
        self.mounts: list[tuple[str, ASGIApp]] = []

    def add_route(self, path: str, methods: Iterable[str], handler: Handler,
                  errors: tuple[ErrorHandlers, ...] = ()) -> None:
        self.routes.append((join(self.prefix, path), tuple(methods), handler, (*errors, self.error_handlers)))

    def add_websocket(self, path: str, handler: Callable[..., Any]) -> None:
        self.websockets.append((join(self.prefix, path), handler))

    def mount(self, prefix: str, app: ASGIApp) -> None:
        self.mounts.append((join(self.prefix, prefix), app))
