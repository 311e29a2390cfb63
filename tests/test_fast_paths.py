"""The served path (`CalvenorApp.serve_request`) must send exactly what the general path,
through `handle_request`, sends for the same request: status, header list in order, body."""
import asyncio
import itertools
import logging
import random

import pytest

from calvenor import App, HTTPError


def _grown():
    result = {}  # its value's str() adds a key while the dict is encoded
    result["v"] = type("G", (), {"__str__": lambda self: result.setdefault("late", "x")})()
    return result


def _raise(exc):
    raise exc


RESULTS = {
    "dict": lambda: {"a": 1, "t": "<&>", "long": "y" * 20},
    "dict-subclass": lambda: type("D", (dict,), {})(z=[1, 2.5, None]),
    "str": lambda: "hi",
    "empty": lambda: "",
    "at-gzip-size": lambda: "x" * 16,
    "past-gzip-size": lambda: "é" * 8 + "x",
    "surrogate": lambda: "a\ud800b",
    "str-subclass": lambda: type("S", (str,), {"__str__": lambda s: "lie"})("own"),
    "list": lambda: [1, "x"],
    "none": lambda: None,
    "int": lambda: 42,
    "printable": lambda: type("P", (), {"__str__": lambda self: "<obj & é>"})(),
    "int-key": lambda: {1: 2},
    "grown": _grown,
    "error": lambda: _raise(ValueError("boom")),
    "http-error": lambda: _raise(HTTPError(409, {"why": "x"}, {"X-A": "1"})),
}


def build(cors, gzip_min_size):
    app = App(gzip_min_size=gzip_min_size)
    if cors is not None:
        app.cors(cors)
    for kind, make in RESULTS.items():
        def plain(req, make=make):
            return make()

        def native(req, make=make) -> dict:  # registered as it is: the core answers its result
            return make()

        async def awaited(req, make=make):
            return make()

        app.add_route(f"/p/{kind}", ["GET", "POST"], plain)
        app.add_route(f"/n/{kind}", ["GET", "brew"], native)
        app.add_route(f"/a/{kind}", ["GET"], awaited)
        app.add_route(f"/i/{{n:int}}/{kind}", ["GET"], plain)

    def echo(req) -> dict:
        return {**req, "query_string": req["query_string"].decode("latin-1"),
                "headers": [[n.decode("latin-1"), v.decode("latin-1")] for n, v in req["headers"]]}

    app.add_route("/echo/{rest:path}", ["GET", "OPTIONS"], echo)
    app.add_route("/dir/", ["GET"], lambda req: "dir")
    return app


PATHS = [*(f"/{p}/{k}" for p in "pna" for k in RESULTS), "/i/7/dict", "/i/x/dict", "/i/7/none", "/echo/a%20b/",
         "/echo//x", "/echo/ü", "/dir", "/dir//", "/n/str/", "/nowhere", "/"]
ORIGIN = (b"origin", b"https://a.test")
HEADERS = [[], [ORIGIN], [(b"origin", b"https://b.test"), (b"origin", b"https://z.test")],
           [ORIGIN, (b"access-control-request-method", b"GET")], [(b"accept-encoding", b"gzip"), ORIGIN],
           [(b"origin", "https://ä.test".encode("latin-1")), (b"x", b"1"), (b"x", b"2")]]
REQUESTS = list(itertools.product(["GET", "HEAD", "OPTIONS", "get", "brew"], PATHS,
                                  [b"", b"a+b=%20&c", b"\xff"], range(len(HEADERS))))


async def _sent(serve, scope):
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    await serve(scope, receive, send)
    return sent


@pytest.mark.parametrize("cors, gzip_min_size", [
    (None, 16), ("*", 16), (["https://a.test", "https://b.test"], 1024), ("https://a.test", 2**64),
], ids=["without CORS", "with wildcard CORS", "with listed origins", "with a gzip size past 64 bits"])
def test_served_requests_send_what_the_general_path_sends(cors, gzip_min_size, monkeypatch):
    monkeypatch.setattr(logging.getLogger("calvenor"), "disabled", True)
    app = build(cors, gzip_min_size)
    served = 0
    for method, path, query, h in random.Random(7).sample(REQUESTS, 900):
        scope = {"type": "http", "method": method, "path": path, "query_string": query, "http_version": "1.1"}
        fast = asyncio.run(_sent(app._serve, {**scope, "headers": list(HEADERS[h])}))
        general = asyncio.run(_sent(app._serve_general, {**scope, "headers": list(HEADERS[h])}))
        assert fast == general, (method, path, query, HEADERS[h])
        if fast[0]["status"] == 200 and path.startswith("/n/"):  # handlers the core answers for itself
            served += type(app.core.serve_request({**scope, "headers": list(HEADERS[h])}, gzip_min_size)) is tuple
    assert served > 20  # so the comparison covers requests the core answers itself
