"""In-process cost of one ASGI call through the Python layer, side by side with another
checkout of the package (the baseline), no server and no event loop involved.

    git worktree add /tmp/base <commit> && cp python/calvenor/_core.abi3.so /tmp/base/python/calvenor/
    PYTHONPATH=python:benchmarks .venv/bin/python benchmarks/bench_asgi_layer.py /tmp/base

Prints each case's best time and its ratio: this tree against the baseline for the plain
dict and str routes, and the framework's slower paths against this tree's plain dict route.
"""
import importlib.util
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import time

from runner import fmt_ns, table

HEADERS = [(b"host", b"127.0.0.1:8000"), (b"user-agent", b"bench/1.0"), (b"accept", b"*/*"),
           (b"accept-encoding", b"gzip, deflate"), (b"connection", b"keep-alive")]


def load(name: str, package_dir: Path) -> ModuleType:
    found = importlib.util.spec_from_file_location(name, package_dir / "__init__.py",
                                                  submodule_search_locations=[str(package_dir)])
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def build(pkg: ModuleType, framework: bool) -> Any:
    app = pkg.App()
    app.get("/users/{id}")(lambda req: {"id": req["route_params"]["id"], "name": "user"})
    app.get("/hello")(lambda req: "Hello, world!")
    if framework:
        def typed(req: dict[str, Any]) -> dict[str, str]:
            return {"id": req["route_params"]["id"], "name": "user"}

        app.get("/typed/{id}")(typed)  # registered as it is: the core answers its result
        app.post("/created")(lambda req: pkg.JSONResponse({"id": 1}, 201, headers={"location": "/users/1", "x-request": "a1"}))
        app.get("/items/{id:int}")(lambda req: {"id": req["route_params"]["id"]})
    return app


def caller(app: Any, method: str, path: str) -> Any:
    scope = {"type": "http", "http_version": "1.1", "method": method, "path": path, "query_string": b"",
             "headers": HEADERS, "root_path": "", "scheme": "http"}
    message = {"type": "http.request", "body": b"", "more_body": False}

    async def receive() -> dict[str, Any]:
        return message

    async def send(message: dict[str, Any]) -> None:
        pass

    def call() -> None:
        try:
            app(scope, receive, send).send(None)
        except StopIteration:
            pass

    return call


def best_ns(fns: dict[str, Any], rounds: int = 40, number: int = 2000) -> dict[str, float]:
    """Fastest round of each function, sampled in turn with CPU time: on a shared machine the
    minimum is what the code costs, the rest is other work's interference."""
    best = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            t0 = time.thread_time_ns()
            for _ in range(number):
                fn()
            best[name] = min(best[name], (time.thread_time_ns() - t0) / number)
    return best


def main() -> None:
    here = Path(__file__).resolve().parent.parent / "python" / "calvenor"
    base_dir = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/base") / "python" / "calvenor"
    new = build(load("calvenor_new", here), True)
    base = build(load("calvenor_base", base_dir), False)
    fns = {
        "dict, baseline": caller(base, "GET", "/users/42"),
        "dict": caller(new, "GET", "/users/42"),
        "str, baseline": caller(base, "GET", "/hello"),
        "str": caller(new, "GET", "/hello"),
        "dict, handler annotated -> dict": caller(new, "GET", "/typed/42"),
        "JSONResponse 201 + 2 headers": caller(new, "POST", "/created"),
        "{id:int} route": caller(new, "GET", "/items/42"),
        "405": caller(new, "POST", "/users/42"),
        "404": caller(new, "GET", "/nothing/here"),
    }
    t = best_ns(fns)
    rows = [[name, fmt_ns(ns)] for name, ns in t.items()]
    for name, ns in t.items():
        if name.endswith(", baseline"):
            continue
        ref = t.get(name + ", baseline", t["dict"])
        against = "baseline" if name + ", baseline" in t else "dict"
        rows[list(t).index(name)].append(f"{ns / ref:.3f}x {against}")
    table("ASGI layer, one in-process call", [r + [""] * (3 - len(r)) for r in rows], ["case", "best", "ratio"])


if __name__ == "__main__":
    main()
