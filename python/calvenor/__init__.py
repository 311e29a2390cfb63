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
    from .app import App
    from .errors import HTTPError, HTTPException, InvalidJSON
    from .requests import Request, cookies, form, multipart_boundary, request
    from .responses import HTMLResponse, JSONResponse, PlainTextResponse, RedirectResponse, Response
    from .routing import Group
    from .urls import NoMatchFound
    from .files import FileResponse
    from .sse import EventSourceResponse
    from .staticfiles import StaticFiles
    from .streaming import StreamingResponse
    from .websockets import WebSocket, WebSocketDisconnect

__all__ = [
    "App",
    "Group",
    "HTMLResponse",
    "HTTPError",
    "HTTPException",
    "InvalidJSON",
    "JSONResponse",
    "NoMatchFound",
    "PlainTextResponse",
    "RedirectResponse",
    "Request",
    "Response",
    "cookies",
    "form",
    "multipart_boundary",
    "request",
    "EventSourceResponse",
    "FileResponse",
    "StaticFiles",
    "StreamingResponse",
    "WebSocket",
    "WebSocketDisconnect",
]

_HOMES = {
    "App": ".app",
    "Group": ".routing",
    "HTMLResponse": ".responses",
    "HTTPError": ".errors",
    "HTTPException": ".errors",
    "InvalidJSON": ".errors",
    "JSONResponse": ".responses",
    "NoMatchFound": ".urls",
    "PlainTextResponse": ".responses",
    "RedirectResponse": ".responses",
    "Request": ".requests",
    "Response": ".responses",
    "cookies": ".requests",
    "form": ".requests",
    "multipart_boundary": ".requests",
    "request": ".requests",
    "EventSourceResponse": ".sse",
    "FileResponse": ".files",
    "StaticFiles": ".staticfiles",
    "StreamingResponse": ".streaming",
    "WebSocket": ".websockets",
    "WebSocketDisconnect": ".websockets",
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
