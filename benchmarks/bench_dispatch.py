"""CalvenorApp.handle_request against Starlette doing the same work in process: ns per request.

Run: PYTHONPATH=python .venv/bin/python benchmarks/bench_dispatch.py

Three requests with 5 headers each: a hit on a one-parameter route whose handler returns a
small dict (JSON), a hit whose handler returns a str (text), and a miss (404). Starlette gets
the same routes, its Request, JSONResponse/PlainTextResponse, rendered through a direct ASGI
call with stub receive/send; the coroutine is driven by hand (it never suspends), so no event
loop cost is counted on its side. Targets: at least 10x less time per request than Starlette,
a miss under 300 ns.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from calvenor._core import CalvenorApp  # noqa: E402
from runner import compare, fmt_ns  # noqa: E402
from starlette.responses import JSONResponse, PlainTextResponse  # noqa: E402
from starlette.routing import Route, Router  # noqa: E402

HEADERS = [
    (b"host", b"example.com"),
    (b"user-agent", b"bench/1.0"),
    (b"accept", b"*/*"),
    (b"accept-encoding", b"gzip, deflate"),
    (b"cookie", b"session=6f1c2a9e0b7d"),
]


def calvenor_app():
    app = CalvenorApp()
    app.add_route("GET", "/users/{id}", lambda req: {"id": req["route_params"]["id"], "ok": True})
    app.add_route("GET", "/text", lambda req: "hello")
    return app


def starlette_app():
    async def user(request):
        return JSONResponse({"id": request.path_params["id"], "ok": True})

    async def text(request):
        return PlainTextResponse("hello")

    router = Router(routes=[Route("/users/{id}", user), Route("/text", text)])

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        pass

    def request(path):
        scope = {"type": "http", "method": "GET", "path": path, "root_path": "", "query_string": b"a=1",
                 "headers": HEADERS, "scheme": "http", "server": ("example.com", 80)}
        coro = router(scope, receive, send)
        try:
            coro.send(None)
        except StopIteration:
            return
        raise RuntimeError("the ASGI call suspended")

    return request


def main():
    app = calvenor_app()
    star = starlette_app()
    handle = app.handle_request
    paths = {"hit, dict -> JSON": "/users/42", "hit, str -> text": "/text", "miss -> 404": "/nope"}
    expected = {"/users/42": (200, b'{"id":"42","ok":true}'), "/text": (200, b"hello"), "/nope": (404, b"Not Found")}
    for path, (status, body) in expected.items():
        r = handle("GET", path, "a=1", HEADERS, b"")
        assert (r.status, r.body) == (status, body), (path, r.status, r.body)
    cases = {
        case: {
            "CalvenorApp": lambda path=path: handle("GET", path, "a=1", HEADERS, b""),
            "Starlette": lambda path=path: star(path),
        }
        for case, path in paths.items()
    }
    results = compare("handle_request with 5 headers: median time per request", cases, baseline="CalvenorApp")
    print()
    for case, r in results.items():
        print(f"{case}: Starlette / CalvenorApp = {r['Starlette'] / r['CalvenorApp']:.1f}x (target >= 10x)")
    print(f"miss: {fmt_ns(results['miss -> 404']['CalvenorApp'])} (target < 300 ns)")


if __name__ == "__main__":
    main()
