"""The served apps of bench_long_lived.py: calvenor and its Starlette twin, each with a static
directory (BENCH_STATIC), a WebSocket echo and a large file (BENCH_FILE)."""
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
