"""Starlette twin of the benchmarked routes of examples/app.py, for benchmarks/bench_wrk.sh.

`app` has the routes only; `app_with_middleware` adds CORS and gzip configured like the
example app, which does that work too (a request without Origin or a small body skips it).
"""
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.middleware.gzip import GZipMiddleware
from starlette.responses import JSONResponse, PlainTextResponse
from starlette.routing import Route


async def user(request):
    user_id = request.path_params["id"]
    return JSONResponse({"id": user_id, "name": f"user {user_id}"})


async def hello(request):
    return PlainTextResponse("Hello, world!")


routes = [Route("/users/{id}", user), Route("/hello", hello)]

app = Starlette(routes=routes)
app_with_middleware = Starlette(
    routes=routes,
    middleware=[
        Middleware(CORSMiddleware, allow_origins=["http://localhost:3000", "https://app.example"],
                   allow_methods=["*"], allow_headers=["*"], max_age=3600),
        Middleware(GZipMiddleware, minimum_size=1024),
    ],
)
