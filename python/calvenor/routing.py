"""Route patterns with converters, and `Group`: routes registered under a prefix and
included into an App later.

`{id:int}`, `{x:float}`, `{key:uuid}` become the native `{name}` with a conversion run by
the handler's wrapper; `{rest:path}` becomes the native catch-all `{*rest}`. A pattern
without converters goes to the native table unchanged.
"""
import inspect
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


def route_name(handler: Callable[..., Any], name: str | None) -> str | None:
    """`name`, else the handler's own as Starlette names it; a lambda has none."""
    if name is not None:
        return name
    if inspect.isroutine(handler) or inspect.isclass(handler):
        own: str = handler.__name__
        return None if own == "<lambda>" else own
    return type(handler).__name__


def join(prefix: str, path: str) -> str:
    return prefix.rstrip("/") + path if prefix else path


class Routes:
    """The registration decorators App and Group share."""

    def __init__(self) -> None:
        self.error_handlers: dict[type[BaseException] | int, ErrorHandler] = {}

    def add_route(self, path: str, methods: Iterable[str], handler: Handler,
                  errors: tuple[ErrorHandlers, ...] = (), *, name: str | None = None) -> None:
        raise NotImplementedError

    def add_websocket(self, path: str, handler: Callable[..., Any], *, name: str | None = None) -> None:
        raise NotImplementedError

    def mount(self, prefix: str, app: ASGIApp, *, name: str | None = None) -> None:
        raise NotImplementedError

    def include(self, group: "Group", prefix: str = "") -> None:
        """Add a group's routes, websockets and mounts under `prefix` (joined with the group's),
        with their names."""
        for path, methods, handler, errors, name in group.routes:
            self.add_route(join(prefix, path), methods, handler, errors, name=name)
        for path, ws, name in group.websockets:
            self.add_websocket(join(prefix, path), ws, name=name)
        for path, app, name in group.mounts:
            self.mount(join(prefix, path), app, name=name)

    def route(self, path: str, methods: Iterable[str] = ("GET",), name: str | None = None) -> Callable[[H], H]:
        """Register the decorated handler for `path` and `methods`, called `name` (by default
        its own name) for `url_path_for`."""
        def register(handler: H) -> H:
            self.add_route(path, methods, handler, name=name)
            return handler

        return register

    def get(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("GET",), name)

    def post(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("POST",), name)

    def put(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("PUT",), name)

    def patch(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("PATCH",), name)

    def delete(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("DELETE",), name)

    def options(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("OPTIONS",), name)

    def head(self, path: str, name: str | None = None) -> Callable[[H], H]:
        return self.route(path, ("HEAD",), name)

    def websocket(self, path: str, name: str | None = None) -> Callable[[W], W]:
        def register(handler: W) -> W:
            self.add_websocket(path, handler, name=name)
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

    def static(self, prefix: str, directory: str | Path, html: bool = False, name: str | None = None) -> None:
        """Serve the files under `directory` at `prefix`; `url_path_for(name, path=file)` links to one."""
        from .staticfiles import StaticFiles  # type: ignore[import-not-found,unused-ignore]

        self.mount(prefix, StaticFiles(directory, html=html), name=name)


class Group(Routes):
    """Routes, websockets, mounts and error handlers kept until `App.include` adds them.

    With a `name`, the names of its routes become "name:route", as under a named Starlette
    mount; without one they stay as they are, as in a FastAPI router."""

    def __init__(self, prefix: str = "", name: str | None = None) -> None:
        super().__init__()
        self.prefix = prefix
        self.name = name
        self.routes: list[tuple[str, tuple[str, ...], Handler, tuple[ErrorHandlers, ...], str | None]] = []
        self.websockets: list[tuple[str, Callable[..., Any], str | None]] = []
        self.mounts: list[tuple[str, ASGIApp, str | None]] = []

    def _name(self, handler: Callable[..., Any], name: str | None) -> str | None:
        name = route_name(handler, name)
        return name if name is None or self.name is None else f"{self.name}:{name}"

    def add_route(self, path: str, methods: Iterable[str], handler: Handler,
                  errors: tuple[ErrorHandlers, ...] = (), *, name: str | None = None) -> None:
        self.routes.append((join(self.prefix, path), tuple(methods), handler, (*errors, self.error_handlers),
                            self._name(handler, name)))

    def add_websocket(self, path: str, handler: Callable[..., Any], *, name: str | None = None) -> None:
        self.websockets.append((join(self.prefix, path), handler, self._name(handler, name)))

    def mount(self, prefix: str, app: ASGIApp, *, name: str | None = None) -> None:
        if name is not None and self.name is not None:
            name = f"{self.name}:{name}"
        self.mounts.append((join(self.prefix, prefix), app, name))
