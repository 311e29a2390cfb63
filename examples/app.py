"""The served example: JSON, text, a JSON echo, uploads, CORS and gzip on one small app.

Serve it with `bash scripts/serve.sh` (http://127.0.0.1:8000), or with any ASGI server:
`PYTHONPATH=python uvicorn --app-dir examples app:app`.
"""
import asyncio
import logging
import os
from collections.abc import AsyncIterator, MutableMapping
from pathlib import Path
from typing import Any, NoReturn

import calvenor

# The request dict the core passes to handlers.
Req = dict[str, Any]

log = logging.getLogger("example")
state = {"ready": False}

# 8 MiB of request body at most; larger uploads get 413 before they are read.
app = calvenor.App(max_body_size=8 << 20)
app.cors(origins="http://localhost:3000, https://app.example", max_age=3600)


@app.on_startup
def start() -> None:
    state["ready"] = True
    log.warning("example app started")


@app.on_shutdown
async def stop() -> None:
    log.warning("example app stopped")


@app.get("/")
def index(req: Req) -> str:
    return "calvenor example: try /users/42, /hello, /search?q=tea, /big, POST /echo, POST /upload"


@app.get("/health")
def health(req: Req) -> dict[str, bool]:
    return {"ready": state["ready"]}


@app.get("/hello")
def hello(req: Req) -> str:
    return "Hello, world!"


@app.get("/users/{id}")
def user(req: Req) -> dict[str, str]:
    user_id: str = req["route_params"]["id"]
    return {"id": user_id, "name": f"user {user_id}"}


@app.get("/search")
def search(req: Req) -> dict[str, dict[str, list[str]]]:
    return {"query": calvenor.request(req).query}


@app.post("/echo")
def echo(req: Req) -> dict[str, Any]:
    # A malformed body raises ValueError("Invalid JSON: ..."), which becomes a 400.
    return {"echo": calvenor.request(req).json()}


@app.post("/upload")
def upload(req: Req) -> dict[str, object]:
    fields, files = calvenor.form(req)
    return {
        "fields": sorted(fields),
        "files": {
            name: [{"filename": f, "content_type": ct, "size": len(data)} for f, ct, data in uploads]
            for name, uploads in files.items()
        },
    }


BIG = {"items": [{"id": i, "name": f"item {i}", "tags": ["red", "green", "blue"]} for i in range(2000)]}


@app.get("/big")
def big(req: Req) -> dict[str, list[dict[str, object]]]:
    return BIG


@app.get("/async/users/{id}")
async def async_user(req: Req) -> dict[str, object]:
    await asyncio.sleep(0)
    return {"id": req["route_params"]["id"], "async": True}


@app.delete("/users/{id}")
def delete_user(req: Req) -> NoReturn:
    raise calvenor.HTTPError(403, "Users cannot be deleted here")


@app.get("/fail")
def fail(req: Req) -> dict[str, float]:
    # A bug in a handler: the client gets a plain 500, the traceback goes to the log.
    return {"ratio": 1 / 0}


# The framework's day-one surface: response classes, cookies, converters, forms, error
# mapping, a group of routes under a prefix and a mounted ASGI app.
class OutOfStock(Exception):
    pass


@app.exception_handler(OutOfStock)
def out_of_stock(req: Req, exc: OutOfStock) -> calvenor.JSONResponse:
    return calvenor.JSONResponse({"error": "out of stock", "item": str(exc)}, 409)


items = calvenor.Group("/items")


@items.post("")
def create_item(req: Req) -> calvenor.JSONResponse:
    item = calvenor.request(req).json()
    return calvenor.JSONResponse(item, 201, headers={"location": "/api/items/1"})


@items.get("/{id:int}")
def get_item(req: Req) -> list[int]:
    item_id: int = req["route_params"]["id"]  # an int: /api/items/abc is a 404
    if item_id == 0:
        raise OutOfStock(item_id)
    return [item_id, item_id * 2]


app.include(items, prefix="/api")


@app.get("/page")
def page(req: Req) -> calvenor.HTMLResponse:
    return calvenor.HTMLResponse("<h1>calvenor</h1>")


@app.get("/old-page")
def old_page(req: Req) -> calvenor.RedirectResponse:
    return calvenor.RedirectResponse("/page", 301)


@app.post("/login")
def login(req: Req) -> calvenor.PlainTextResponse:
    fields, _ = calvenor.form(req)  # a url-encoded or multipart form
    response = calvenor.PlainTextResponse(f"welcome {fields.get('user', ['?'])[0]}")
    response.set_cookie("session", "s3cr3t", max_age=3600, httponly=True)
    return response


@app.get("/me")
def me(req: Req) -> dict[str, str | None]:
    return {"session": calvenor.cookies(req).get("session")}


@app.get("/pid")
def pid(req: Req) -> dict[str, int]:
    return {"pid": os.getpid()}


async def legacy(scope: MutableMapping[str, Any], receive: Any, send: Any) -> None:
    """Any ASGI app can be mounted; it sees root_path="/legacy" and the full path."""
    body = f"legacy app at {scope['path']}".encode()
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": body})


app.mount("/legacy", legacy)


# Long-lived responses: a stream, server-sent events, a file download, a static directory
# and a WebSocket room.
EXAMPLES = Path(__file__).resolve().parent
app.static("/static", EXAMPLES / "static", html=True)


@app.get("/count/{n:int}")
def count(req: Req) -> calvenor.StreamingResponse:
    async def numbers(n: int) -> AsyncIterator[str]:
        for i in range(n):
            yield f"{i}\n"
            await asyncio.sleep(0.1)

    return calvenor.StreamingResponse(numbers(min(req["route_params"]["n"], 100)), media_type="text/plain")


@app.get("/clock")
def clock(req: Req) -> calvenor.EventSourceResponse:
    async def ticks() -> AsyncIterator[dict[str, object]]:
        for i in range(1, 6):
            await asyncio.sleep(1)
            yield {"event": "tick", "id": i, "data": {"second": i}}

    return calvenor.EventSourceResponse(ticks(), ping=15)


@app.get("/download")
def download(req: Req) -> calvenor.FileResponse:
    return calvenor.FileResponse(EXAMPLES / "app.py", filename="app.py")


@app.websocket("/ws/{room}")
async def chat(ws: calvenor.WebSocket) -> None:
    await ws.accept()
    async for message in ws:  # ends when the client closes
        echo = message if isinstance(message, str) else message.hex()
        await ws.send_json({"room": ws.path_params["room"], "echo": echo})
