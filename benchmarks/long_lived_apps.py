"""The served apps of bench_long_lived.py: calvenor and its Starlette twin, each with a static
directory (BENCH_STATIC), a WebSocket echo and a large file (BENCH_FILE); the calvenor app
also sends that file in chunks even where the server could send it (/big-chunked), and as
many constant bytes from memory as the server takes (/ceiling, no file and no framework)."""
import os

from starlette.applications import Starlette
from starlette.routing import Mount, WebSocketRoute
from starlette.staticfiles import StaticFiles

import calvenor

STATIC = os.environ.get("BENCH_STATIC", ".")
BIG_FILE = os.environ.get("BENCH_FILE", "/dev/null")

app = calvenor.App()
app.static("/static", STATIC)


@app.websocket("/echo")
async def echo(ws: calvenor.WebSocket) -> None:
    await ws.accept()
    async for message in ws:
        await ws.send_text(message)  # type: ignore[arg-type]


@app.get("/big")
def big(req: dict[str, object]) -> calvenor.FileResponse:
    return calvenor.FileResponse(BIG_FILE)


async def chunked(scope, receive, send) -> None:  # type: ignore[no-untyped-def]
    # Without the extension in the scope the response reads the file itself.
    scope = dict(scope, extensions={})
    await calvenor.FileResponse(BIG_FILE)(scope, receive, send)


async def ceiling(scope, receive, send) -> None:  # type: ignore[no-untyped-def]
    size, chunk = os.path.getsize(BIG_FILE), b"x" * (1 << 20)
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"%d" % size)]})
    while size > 0:
        part = chunk if size >= len(chunk) else chunk[:size]
        size -= len(part)
        await send({"type": "http.response.body", "body": part, "more_body": size > 0})


app.mount("/big-chunked", chunked)
app.mount("/ceiling", ceiling)


@app.get("/pid")
def pid(req: dict[str, object]) -> str:
    return str(os.getpid())


async def starlette_echo(ws) -> None:  # type: ignore[no-untyped-def]
    await ws.accept()
    async for message in ws.iter_text():
        await ws.send_text(message)


starlette_app = Starlette(routes=[
    Mount("/static", StaticFiles(directory=STATIC)),
    WebSocketRoute("/echo", starlette_echo),
])
