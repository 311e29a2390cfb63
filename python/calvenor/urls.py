"""Paths built back from route names: what `App.url_path_for` and `Request.url_for` fill in.

A route's path becomes a `Template` when it is registered, beside the native table: the
request path never looks at names.
"""
import functools
import re
import sys
from collections.abc import Iterable
from types import FunctionType
from typing import TYPE_CHECKING, Any
from urllib.parse import quote

from .background import background_app
from .connection import PATH_SAFE
from .routing import CONVERTERS

if TYPE_CHECKING:
    from .app import App

# "{{" and "}}" are literal braces; "{name}", "{name:kind}" and "{*name}" parameters.
_TOKEN = re.compile(r"\{\{|\}\}|\{(\*?)([^{}:]+)(?::([a-z]+))?\}")
# The rest of a named mount's path: may be empty, keeps its "/".
_MOUNT_REST = "mount"


class NoMatchFound(ValueError):
    """No route has this name and these parameters, or a value is one its route would not
    match. A ValueError: the name and values given describe no URL, as any argument of the
    wrong value; `except NoMatchFound` as in Starlette also works."""


class Template:
    """A route's path as literal text, escaped once, and parameters to fill: (name, kind)."""

    __slots__ = ("parts", "params")

    def __init__(self, path: str, rest: str | None = None) -> None:
        parts: list[str | tuple[str, str]] = []
        start = 0
        for match in _TOKEN.finditer(path):
            literal = path[start:match.start()]
            start = match.end()
            if match.group(2) is None:  # an escaped brace
                parts.append(quote(literal + match.group(0)[0], safe=PATH_SAFE))
                continue
            parts.append(quote(literal, safe=PATH_SAFE))
            kind = "path" if match.group(1) else match.group(3) or "str"
            parts.append((match.group(2), kind))
        parts.append(quote(path[start:], safe=PATH_SAFE))
        if rest is not None:
            parts.append((rest, _MOUNT_REST))
        self.parts = tuple(part for part in parts if part)
        self.params = frozenset(part[0] for part in self.parts if isinstance(part, tuple))

    def fill(self, route: str, values: dict[str, Any]) -> str:
        out: list[str] = []
        for part in self.parts:
            if isinstance(part, str):
                out.append(part)
                continue
            param, kind = part
            value = values[param]
            text = _fixed(value) if type(value) is float else str(value)
            if kind == _MOUNT_REST:
                out.append(quote(text.lstrip("/"), safe=PATH_SAFE))
                continue
            convert = CONVERTERS.get(kind)
            try:
                # The router matches the decoded path: a "/" (even as %2F) would split the segment.
                if not text or ("/" in text and kind != "path"):
                    raise ValueError(text)
                if convert is not None:
                    convert(text)
            except ValueError:
                raise NoMatchFound(f"route {route!r} cannot match {value!r} as its {kind} parameter {param!r}") from None
            out.append(quote(text, safe=PATH_SAFE))
        return "".join(out)


def _fixed(value: float) -> str:
    """Digits without an exponent, which no converter reads: 1e+20 as 100000000000000000000."""
    from decimal import Decimal

    return format(Decimal(repr(value)), "f")


def fill(templates: dict[str, list[Template]], name: str, values: dict[str, Any]) -> str | None:
    """The path of the first route called `name` that takes exactly these parameters; None
    when there is no route of that name; NoMatchFound when none of them takes these."""
    found = templates.get(name)
    if found is None:
        return None
    given = values.keys()
    for template in found:
        if template.params == given:
            return template.fill(name, values)
    raise NoMatchFound(f"route {name!r}: " + "; or ".join(_mismatch(t.params, given) for t in found))


def _mismatch(takes: frozenset[str], given: Iterable[str]) -> str:
    missing, extra = sorted(takes.difference(given)), sorted(set(given) - takes)
    return ", ".join([*(f"missing parameter {p!r}" for p in missing), *(f"unexpected parameter {p!r}" for p in extra)])


def serving_app() -> "App":
    """The App serving the current request: the nearest of its methods on the stack, or in a
    sync background task's thread the App that started it. The request dict carries no
    reference to it, and giving it one would cost every request."""
    app = nearest_app()
    if app is None:
        app = background_app.get()
    if app is None:
        raise RuntimeError("url_for needs the app serving the request: call it while a handler runs")
    return app


def nearest_app() -> "App | None":
    """The App of the nearest of its methods on this thread's stack, or None."""
    from .app import App

    codes = _app_codes(App)
    frame = sys._getframe(1)
    while frame is not None:
        if frame.f_code in codes:
            app: App = frame.f_locals["self"]
            return app
        frame = frame.f_back  # type: ignore[assignment]
    return None


@functools.cache
def _app_codes(app_class: type) -> frozenset[object]:
    return frozenset(f.__code__ for f in vars(app_class).values() if isinstance(f, FunctionType))
