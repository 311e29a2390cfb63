"""Repeated calls of the public members, on success and on each kind of failure path, leave the
interpreter's allocated blocks and the reference counts of the objects involved flat."""
import dataclasses
import gc
import sys
import weakref

import pytest

import calvenor._core as core
from conftest import WithCause, caught

CALLS = 7_000
WARMUP = 500
# Blocks that may come and go for the interpreter's own reasons (free lists, the method cache);
# a leak of one block per call would be CALLS.
BLOCK_SLACK = 200


def expect(fn, exc_name, message=None):
    """A call that must fail with the exception named exc_name (and message, when given)."""

    def call():
        exc = caught(fn)
        assert type(exc).__name__ == exc_name, repr(exc)
        assert message is None or str(exc) == message, str(exc)

    return call


class Handler:
    def __call__(self, request):
        return {"ok": True}


Point = dataclasses.make_dataclass("Point", ["x", "y"])


Unprintable = type("Unprintable", (), {"__str__": lambda s: (_ for _ in ()).throw(ValueError("no text"))})


def shrinking(req=None):
    d = {"a": None, "b": 1}
    d["a"] = type("Shrinks", (), {"__str__": lambda s: d.clear() or "x"})()
    return d


def cases():
    # One success case per class, then one case per kind of failure path.
    h, h2 = Handler(), Handler()
    router = core.Router()
    router.add("GET", "/users/{id}/posts/{post}", h)

    def router_use():
        core.Router().add("GET", "/a/{b}", h)
        return router.lookup("GET", "/users/4/posts/7")

    headers, pairs = [(b"Host", b"example.org"), (b"X-Bad", b"\xff\xfe")], [(b"a", b"b"), [b"c", b"d"]]
    r, bad_json = core.Request("GET", "/p", "a=1&b=%C3%A9&a=+2&flag"), core.Request("POST", "/", "")
    bad_json.set_body(b'[1,2,{"a":"\\ud83d"}]')
    form = (b"--XX\r\nContent-Disposition: form-data; name=a\r\n\r\n1\xff\r\n--XX\r\nContent-Disposition: "
            b'form-data; name="f"; filename="x.txt"\r\nContent-Type: text/plain\r\n\r\ndata\r\n--XX--\r\n')
    json_body = b'{"a": [1, 2.5, "x\\n", null], "b": {"c": true}}'

    def request_use():
        r.set_headers(headers)
        r.set_body(json_body)
        r.json()
        r.set_body(form)
        return core.Request("G", "/", "q"), r.headers, r.query, r.get_header("x-bad"), r.parse_multipart("XX")

    body = b"payload"
    data = {"a": [1, 2.5, None, True, "<&>"], "b": (1, 2), "c": {"d": 2**64, "e": -0.0}, "p": Point(1, [2]),
            "s": b"str fallback"}
    int_key = {"a": [1, {1: "x"}]}  # fails two levels down

    app = core.CalvenorApp()
    for path, handler in [("/json/{id}", h), ("/raise", lambda req: {}["k"]),
                          ("/shared", lambda req: app.resolve("GET", "/")), ("/shrink", shrinking)]:
        app.add_route("GET", path, handler)
    app.set_cors("https://a.example, https://b.example", "GET, POST", "X-Token", "600")

    def call(path):
        return lambda: app.handle_request("GET", path, "a=1", headers, body)

    def app_use():
        return (call("/json/5")(), call("/nowhere")(), app.cors_allows("https://a.example"),
                app.cors_origin("x"), app.cors_preflight_headers("https://a.example"),
                app.gzip_compress(body))

    return [
        ("router: add, look up and drop", router_use, (h, router)),
        ("request: set and read everything", request_use, (r, headers)),
        ("response: construct, read and encode", lambda: (core.Response(body, 200, "t").body,
                                                          core.Response.json(data, None)), (body, data)),
        ("app: dispatch a hit and a miss, cors and gzip", app_use, (app, h, headers, body)),
        ("binding: an unknown keyword",
         expect(lambda: router.add("GET", "/x", handler=h2, extra=1), "TypeError"), (h2,)),
        ("conversion: a header given as a list", expect(lambda: r.set_headers(pairs), "TypeError"), (pairs,)),
        ("conversion: a status TypeError rewrapped with its cause",
         expect(lambda: core.Response(body, WithCause(), "t"), "TypeError", "argument 'status': boom"), (body,)),
        ("own error: a conflicting route",
         expect(lambda: router.add("GET", "/users/{x}/posts/{y}", h2), "ValueError"), (h2, router)),
        ("own error: bad JSON after values were built",
         expect(bad_json.json, "ValueError", "Invalid JSON: unexpected end of hex escape at line 1 column 18"),
         (bad_json,)),
        ("own error: json with a nested non-str key",
         expect(lambda: core.Response.json(int_key, None), "TypeError"), (int_key,)),
        ("python code: a raising handler", expect(call("/raise"), "KeyError"), (headers, body)),
        ("borrow: a handler that resolves",
         expect(call("/shared"), "RuntimeError", "Already mutably borrowed"), (app,)),
        ("panic: a dict shrinking while a handler result is encoded",
         expect(call("/shrink"), "PanicException"), ()),
    ]


@pytest.mark.parametrize("fn, watched", [pytest.param(fn, w, id=name) for name, fn, w in cases()])
def test_member_leaves_nothing_behind(fn, watched, capsys):
    assert_flat(fn, *watched)


def test_json_reporting_to_the_unraisable_hook_leaves_nothing_behind(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(type(u.exc_value)) if not seen else None)
    unprintable = Unprintable()
    assert_flat(lambda: core.Response.json({"u": unprintable}, None), unprintable)
    assert seen == [ValueError]


def assert_flat(fn, *watched):
    for _ in range(WARMUP):
        fn()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(CALLS):
        fn()
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert grown <= BLOCK_SLACK, f"{grown} blocks more after {CALLS} calls"
    assert [sys.getrefcount(o) for o in watched] == refs, "reference counts changed"


@pytest.mark.parametrize("make, add", [
    pytest.param(core.Router, lambda r, h: r.add("GET", "/x/{y}", h), id="a dropped router releases its handlers"),
    pytest.param(core.CalvenorApp, lambda a, h: a.add_route("GET", "/x/{y}", h), id="a dropped app releases them"),
])
def test_dropping_the_owner_releases_handlers(make, add):
    owner, handlers = make(), [Handler(), Handler()]
    refs = [weakref.ref(h) for h in handlers]
    add(owner, handlers[0])
    with pytest.raises(ValueError):
        add(owner, handlers[1])  # refused: released at once
    del handlers
    assert refs[1]() is None and refs[0]() is not None
    del owner
    assert refs[0]() is None


def test_serving_from_a_scope_leaves_nothing_behind():
    app, h, headers = core.CalvenorApp(), Handler(), [(b"origin", b"https://a.example"), (b"host", b"x")]
    for path, handler in [("/json/{id}", h), ("/empty", lambda req: ""), ("/raise", lambda req: {}["k"])]:
        app.add_route("GET", path, handler)
    app.set_cors("https://a.example", None, None, None)
    scopes = {path: {"type": "http", "http_version": "1.1", "method": method, "path": path, "query_string": b"a=1",
                     "headers": headers} for method, path in [("GET", "/json/5"), ("GET", "/empty"),
                                                              ("GET", "/nowhere"), ("GET", "/raise")]}

    def serve():
        # the two messages, [status, headers, body] for a long and an empty body, a miss, a raise
        assert type(app.serve_request(scopes["/json/5"], 1024)) is tuple
        assert type(app.serve_request(scopes["/json/5"], 4)) is list
        assert app.serve_request(scopes["/empty"], 1024)[2] == b""
        assert app.serve_request(scopes["/nowhere"], 1024) is False
        assert type(caught(app.serve_request, scopes["/raise"], 1024)) is KeyError

    assert_flat(serve, app, h, headers)
