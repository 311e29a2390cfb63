"""Streams, files, a static directory and WebSockets for the real-server tests;
FILES_DIR (environment) is served at /static and holds /file's big.bin."""
import asyncio
import os

import calvenor

app = calvenor.App()
FILES = os.environ.get("FILES_DIR", ".")
app.static("/static", FILES, html=True)
closed = {"streams": 0}


async def counted(n):
    try:
        for i in range(n):
            yield f"{i}\n"
            await asyncio.sleep(0.001)
    finally:
        closed["streams"] += 1


app.get("/stream/{n:int}")(lambda req: calvenor.StreamingResponse(counted(req["route_params"]["n"]), media_type="text/plain"))
app.get("/endless")(lambda req: calvenor.StreamingResponse(counted(10**9)))
app.get("/file")(lambda req: calvenor.FileResponse(os.path.join(FILES, "big.bin"), filename="grand été.bin"))
app.get("/state")(lambda req: {"fds": len(os.listdir("/proc/self/fd")), "tasks": len(asyncio.all_tasks()), **closed})


@app.websocket("/ws/{room}")
async def room(ws):
    await ws.accept()
    async for message in ws:
        if isinstance(message, str):
            await ws.send_text(f"{ws.path_params['room']}: {message}")
        else:
            await ws.send_bytes(message)
