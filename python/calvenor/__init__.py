"""calvenor: an ASGI web framework whose routing, dispatch and encoding are native.

    app = calvenor.App()

    @app.get("/users/{id}")
    def user(req):
        return {"id": req["route_params"]["id"]}

    @app.post("/echo")
    def echo(req):
        return {"echo": calvenor.request(req).json()}

Serve with any ASGI server: `uvicorn module:app`.
"""

from typing import TYPE_CHECKING, Any

# What the lazy loader below returns, for type checkers only.
if TYPE_CHECKING:
    from ._core import Request, Response
    from .app import App
    from .current import form, multipart_boundary, request
    from .errors import HTTPError

__all__ = ["App", "HTTPError", "Request", "Response", "form", "multipart_boundary", "request"]

_HOMES = {
    "App": ".app",
    "HTTPError": ".errors",
    "Request": "._core",
    "Response": "._core",
    "form": ".current",
    "multipart_boundary": ".current",
    "request": ".current",
}


# Loaded on first use, so that `import calvenor._core` stays the bare extension import.
def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'calvenor' has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(home, __name__), name)
    globals()[name] = value
    return value
