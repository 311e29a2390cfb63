"""Streams, events, files, a static directory and WebSockets, for the real-server tests.
FILES_DIR (environment) is the directory served at /static and read by /file."""
import asyncio
import os
from typing import Any

import calvenor

app = calvenor.App()
FILES = os.environ.get("FILES_DIR", ".")
app.static("/static", FILES, html=True)
closed = {"streams": 0}


async def counted(n: int, delay: float):
    try:
        for i in range(n):
            yield f"{i}\n"
            await asyncio.sleep(delay)
    finally:
        closed["streams"] += 1


@app.get("/stream/{n:int}")
def stream(req: dict[str, Any]) -> calvenor.StreamingResponse:
    return calvenor.StreamingResponse(counted(req["route_params"]["n"], 0.001), media_type="text/plain")


@app.get("/endless")
def endless(req: dict[str, Any]) -> calvenor.StreamingResponse:
    return calvenor.StreamingResponse(counted(10**9, 0.001))


@app.get("/broken")
def broken(req: dict[str, Any]) -> calvenor.StreamingResponse:
    def chunks():
        yield b"x" * 1000
        raise RuntimeError("stream broke")

    return calvenor.StreamingResponse(chunks())


@app.get("/events")
def events(req: dict[str, Any]) -> calvenor.EventSourceResponse:
    return calvenor.EventSourceResponse(["one", {"event": "two", "data": "a\nb", "id": "2"}])


@app.get("/file")
def file(req: dict[str, Any]) -> calvenor.FileResponse:
    return calvenor.FileResponse(os.path.join(FILES, "big.bin"), filename="grand été.bin")


@app.get("/state")
def state(req: dict[str, Any]) -> dict[str, int]:
    return {"fds": len(os.listdir("/proc/self/fd")), "tasks": len(asyncio.all_tasks()), **closed}


@app.websocket("/ws/{room}")
async def room(ws: calvenor.WebSocket) -> None:
    await ws.accept()
    async for message in ws:
        if message == "json?":
            try:
                await ws.receive_json()
            except ValueError as exc:
                await ws.send_json({"error": str(exc)})
        else:
            await ws.send_text(f"{ws.path_params['room']}: {message}") if isinstance(message, str) \
                else await ws.send_bytes(message)


@app.websocket("/ws-fail")
async def fail(ws: calvenor.WebSocket) -> None:
    await ws.accept()
    raise RuntimeError("handler broke")
