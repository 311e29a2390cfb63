"""What a JSON API does besides the plain GET, calvenor against Starlette, in process.

Run: PYTHONPATH=python:benchmarks .venv/bin/python benchmarks/bench_framework_paths.py [CASE ...]

Each case is one ASGI call per request with a stub server: `receive` hands over the body
and then waits for a disconnect that never comes (as a server does), `send` drops the
messages. Calls run on one asyncio event loop, a batch of them per sample, so the loop's
cost is spread thin and the same for both. Before timing, each case's status and body are
checked to be what both frameworks agree on. Prints each case's median time per request for
both and Starlette's time over calvenor's (above 1: calvenor is faster).
"""
import asyncio
import gzip
import json
import os
import sys
import tempfile
from pathlib import Path
from collections.abc import Sequence
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import calvenor  # noqa: E402
from runner import fmt_ns, medians_ns, table  # noqa: E402
from starlette.applications import Starlette  # noqa: E402
from starlette.middleware import Middleware  # noqa: E402
from starlette.middleware.cors import CORSMiddleware  # noqa: E402
from starlette.middleware.gzip import GZipMiddleware  # noqa: E402
from starlette.responses import FileResponse, JSONResponse, PlainTextResponse, StreamingResponse  # noqa: E402
from starlette.routing import Route, WebSocketRoute  # noqa: E402

BATCH = 20
HEADERS = [(b"host", b"api.example"), (b"user-agent", b"bench/1.0"), (b"accept", b"*/*"),
           (b"accept-encoding", b"gzip, deflate, br"), (b"connection", b"keep-alive")]
ORIGIN = "https://app.example"
ECHO_BODY = json.dumps({"user": {"id": 42, "name": "Ada Lovelace", "email": "ada@example.com",
                                 "roles": ["admin", "editor"], "active": True},
                        "items": [{"sku": "A-1", "qty": 2, "price": 9.5}, {"sku": "B-7", "qty": 1, "price": 120.0}],
                        "note": "deliver after 5pm"}).encode()
# ~6 KB of JSON: well over both frameworks' 1 KiB gzip threshold.
BIG = {"rows": [{"id": i, "name": f"row {i}", "tags": ["x", "y"], "score": i * 1.5} for i in range(120)]}
CHUNKS = [b"event %d\n" % i for i in range(100)]
BOUNDARY = "----benchboundary7MA4YWxkTrZu0gW"


def multipart_body(file_bytes: bytes) -> bytes:
    parts = [f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode()
             for name, value in (("title", "holiday"), ("album", "2024"), ("public", "yes"))]
    parts.append(f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="photo"; filename="a.jpg"\r\n'
                 "Content-Type: image/jpeg\r\n\r\n".encode() + file_bytes + b"\r\n")
    return b"".join(parts) + f"--{BOUNDARY}--\r\n".encode()


def calvenor_app(file_path: str) -> tuple[calvenor.App, calvenor.App]:
    app = calvenor.App(max_body_size=1 << 20)

    @app.post("/echo")
    def echo(req: dict[str, Any]) -> dict[str, Any]:
        return {"echo": calvenor.request(req).json()}

    @app.post("/items")
    def create(req: dict[str, Any]) -> calvenor.JSONResponse:
        return calvenor.JSONResponse({"id": 7, "name": "new"}, 201, headers={"location": "/items/7", "x-request-id": "a1b2"})

    @app.get("/search")
    def search(req: dict[str, Any]) -> dict[str, Any]:
        return {"query": calvenor.request(req).query}

    @app.get("/async/{id}")
    async def user_async(req: dict[str, Any]) -> dict[str, Any]:
        return {"id": req["route_params"]["id"], "name": "user"}

    @app.get("/users/{id}")
    def user(req: dict[str, Any]) -> dict[str, Any]:
        return {"id": req["route_params"]["id"], "name": "user"}

    @app.get("/big")
    def big(req: dict[str, Any]) -> dict[str, Any]:
        return BIG

    @app.post("/upload")
    def upload(req: dict[str, Any]) -> dict[str, Any]:
        fields, files = calvenor.form(req)
        return {"fields": {k: v[0] for k, v in fields.items()},
                "files": {k: [f[0], len(f[2])] for k, v in files.items() for f in v}}

    @app.get("/stream")
    def stream(req: dict[str, Any]) -> calvenor.StreamingResponse:
        async def chunks() -> Any:
            for chunk in CHUNKS:
                yield chunk
        return calvenor.StreamingResponse(chunks(), media_type="text/plain")

    @app.get("/file")
    def file(req: dict[str, Any]) -> calvenor.FileResponse:
        return calvenor.FileResponse(file_path)

    @app.websocket("/ws")
    async def ws_echo(ws: calvenor.WebSocket) -> None:
        await ws.accept()
        async for message in ws:
            await ws.send_text(message)  # type: ignore[arg-type]

    cors = calvenor.App()
    cors.cors(origins=[ORIGIN, "https://admin.example"])
    cors.get("/users/{id}")(user)
    return app, cors


def starlette_apps(file_path: str) -> tuple[Starlette, Starlette, Starlette]:
    async def echo(request: Any) -> JSONResponse:
        return JSONResponse({"echo": await request.json()})

    async def create(request: Any) -> JSONResponse:
        return JSONResponse({"id": 7, "name": "new"}, 201, headers={"location": "/items/7", "x-request-id": "a1b2"})

    async def search(request: Any) -> JSONResponse:
        query: dict[str, list[str]] = {}
        for key, value in request.query_params.multi_items():
            query.setdefault(key, []).append(value)
        return JSONResponse({"query": query})

    async def user(request: Any) -> JSONResponse:
        return JSONResponse({"id": request.path_params["id"], "name": "user"})

    async def big(request: Any) -> JSONResponse:
        return JSONResponse(BIG)

    async def upload(request: Any) -> JSONResponse:
        async with request.form() as form:
            fields = {k: v for k, v in form.multi_items() if isinstance(v, str)}
            files = {k: [v.filename, len(await v.read())] for k, v in form.multi_items() if not isinstance(v, str)}
        return JSONResponse({"fields": fields, "files": files})

    async def stream(request: Any) -> StreamingResponse:
        async def chunks() -> Any:
            for chunk in CHUNKS:
                yield chunk
        return StreamingResponse(chunks(), media_type="text/plain")

    async def file(request: Any) -> FileResponse:
        return FileResponse(file_path)

    async def ws_echo(ws: Any) -> None:
        await ws.accept()
        async for message in ws.iter_text():
            await ws.send_text(message)

    routes = [Route("/echo", echo, methods=["POST"]), Route("/items", create, methods=["POST"]),
              Route("/search", search), Route("/async/{id}", user), Route("/users/{id}", user),
              Route("/big", big), Route("/upload", upload, methods=["POST"]), Route("/stream", stream),
              Route("/file", file), WebSocketRoute("/ws", ws_echo)]
    plain = Starlette(routes=routes)
    gzipped = Starlette(routes=routes, middleware=[Middleware(GZipMiddleware, minimum_size=1024)])
    cors = Starlette(routes=[Route("/users/{id}", user)], middleware=[
        Middleware(CORSMiddleware, allow_origins=[ORIGIN, "https://admin.example"], allow_methods=["*"],
                   allow_headers=["*"], max_age=600)])
    return plain, gzipped, cors


class Case:
    """One request: its scope, the body messages `receive` hands over, and for a WebSocket the
    messages of the whole conversation."""

    def __init__(self, method: str, path: str, query: bytes = b"", headers: Sequence[tuple[bytes, bytes]] = (),
                 body: bytes = b"", chunk: int = 0, websocket: list[str] | None = None) -> None:
        all_headers = HEADERS + list(headers)
        if body:
            all_headers.append((b"content-length", b"%d" % len(body)))
        self.scope = {"type": "websocket" if websocket is not None else "http", "asgi": {"version": "3.0"},
                      "http_version": "1.1", "method": method, "scheme": "http", "path": path,
                      "raw_path": path.encode(), "root_path": "", "query_string": query, "headers": all_headers,
                      "server": ("127.0.0.1", 8000), "client": ("127.0.0.1", 5555)}
        if websocket is not None:
            self.messages = [{"type": "websocket.connect"}] + [
                {"type": "websocket.receive", "text": t} for t in websocket] + [
                {"type": "websocket.disconnect", "code": 1000}]
        else:
            step = chunk or len(body) or 1
            pieces = [body[i:i + step] for i in range(0, len(body), step)] or [b""]
            self.messages = [{"type": "http.request", "body": p, "more_body": i < len(pieces) - 1}
                             for i, p in enumerate(pieces)]

    async def call(self, app: Any, sent: list[dict[str, Any]] | None = None) -> None:
        messages = iter(self.messages)
        never: asyncio.Future[None] | None = None

        async def receive() -> dict[str, Any]:
            nonlocal never
            message = next(messages, None)
            if message is not None:
                return message
            never = never or asyncio.get_running_loop().create_future()
            await never
            raise AssertionError("unreachable")

        if sent is None:
            async def send(message: dict[str, Any]) -> None:
                pass
        else:
            async def send(message: dict[str, Any]) -> None:
                sent.append(message)

        await app(dict(self.scope), receive, send)


def outcome(sent: list[dict[str, Any]]) -> tuple[Any, bytes]:
    """The status and the whole body (or the WebSocket's sent texts) of one call."""
    start = sent[0]
    if start["type"].startswith("websocket"):
        return start["type"], "".join(m.get("text", "") for m in sent[1:]).encode()
    body = b"".join(m.get("body", b"") for m in sent[1:] if m["type"] == "http.response.body")
    headers = dict(start["headers"])
    if b"access-control-allow-methods" in headers:  # a preflight: statuses and bodies differ by design
        return "preflight", headers[b"access-control-allow-origin"]
    if headers.get(b"content-encoding") == b"gzip":
        body = gzip.decompress(body)
    if headers.get(b"content-type", b"").startswith(b"application/json"):
        return start["status"], json.loads(body)
    return start["status"], body


def cases(file_bytes: bytes) -> dict[str, tuple[Case, str, str]]:
    """name -> (request, which calvenor app, which Starlette app)"""
    cors_simple = [(b"origin", ORIGIN.encode())]
    preflight = cors_simple + [(b"access-control-request-method", b"PUT"),
                               (b"access-control-request-headers", b"content-type")]
    return {
        "POST 200 B JSON echo": (Case("POST", "/echo", headers=[(b"content-type", b"application/json")],
                                      body=ECHO_BODY), "app", "plain"),
        "JSONResponse 201 + headers": (Case("POST", "/items"), "app", "plain"),
        "query-string search": (Case("GET", "/search", query=b"q=green+tea&page=2&tag=a&tag=b&sort=-price"),
                                "app", "plain"),
        "async handler -> dict": (Case("GET", "/async/42"), "app", "plain"),
        "404": (Case("GET", "/nothing/here"), "app", "plain"),
        "405": (Case("DELETE", "/users/42"), "app", "plain"),
        "6 KB JSON, gzip": (Case("GET", "/big"), "app", "gzipped"),
        "CORS simple GET": (Case("GET", "/users/42", headers=cors_simple), "cors", "cors"),
        "CORS preflight": (Case("OPTIONS", "/users/42", headers=preflight), "cors", "cors"),
        "multipart 3 fields + 100 KiB": (
            Case("POST", "/upload", headers=[(b"content-type", f"multipart/form-data; boundary={BOUNDARY}".encode())],
                 body=multipart_body(file_bytes), chunk=65536), "app", "plain"),
        "stream 100 chunks": (Case("GET", "/stream"), "app", "plain"),
        "FileResponse 100 KiB": (Case("GET", "/file"), "app", "plain"),
        "WebSocket echo x100": (Case("GET", "/ws", websocket=[f"message {i}" for i in range(100)]), "app", "plain"),
    }


def main() -> None:
    file_bytes = os.urandom(100 * 1024)
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(file_bytes)
    try:
        calv_app, calv_cors = calvenor_app(f.name)
        star_plain, star_gzip, star_cors = starlette_apps(f.name)
        apps = {"app": calv_app, "cors": calv_cors}
        star_apps = {"plain": star_plain, "gzipped": star_gzip, "cors": star_cors}
        loop = asyncio.new_event_loop()
        chosen = cases(file_bytes)
        if len(sys.argv) > 1:
            chosen = {k: v for k, v in chosen.items() if any(a.lower() in k.lower() for a in sys.argv[1:])}
        rows = []
        for name, (case, ours, theirs) in chosen.items():
            pair = {"calvenor": apps[ours], "Starlette": star_apps[theirs]}
            seen = {}
            for impl, app in pair.items():
                sent: list[dict[str, Any]] = []
                loop.run_until_complete(case.call(app, sent))
                seen[impl] = outcome(sent)
            assert seen["calvenor"] == seen["Starlette"], (name, seen)

            def batch(app: Any, case: Case = case) -> None:
                async def run() -> None:
                    for _ in range(BATCH):
                        await case.call(app)
                loop.run_until_complete(run())

            t = medians_ns({impl: (lambda app=app: batch(app)) for impl, app in pair.items()}, repeat=9)
            c, s = t["calvenor"] / BATCH, t["Starlette"] / BATCH
            rows.append([name, fmt_ns(c), fmt_ns(s), f"{s / c:.2f}x"])
            print(f"{name}: calvenor {fmt_ns(c)}, Starlette {fmt_ns(s)}, {s / c:.2f}x", flush=True)
        loop.close()
        table("In-process ASGI calls, median time per request", rows,
              ["case", "calvenor", "Starlette", "Starlette / calvenor"])
    finally:
        os.unlink(f.name)


if __name__ == "__main__":
    main()
