"""Repeated calls of the public members, on success and on each kind of failure path (binding,
conversion, borrow conflict, the member's own error, an exception from Python code, a panic,
the unraisable hook), leave the interpreter's allocated blocks and the reference counts of the
objects involved flat.
"""
import dataclasses
import gc
import sys
import weakref

import pytest

import calvenor._core as core
from conftest import Seq, WithCause, caught

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


@dataclasses.dataclass
class Point:
    x: int
    y: list


class Missing:
    __columns__ = ("id", "absent")
    id = 1


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def shrinking(req=None):
    d = {"a": None, "b": 1}
    d["a"] = type("Shrinks", (), {"__str__": lambda s: d.clear() or "x"})()
    return d


def cases():
    h, h2 = Handler(), Handler()
    many = "".join(f"/{{p{i}}}" for i in range(26))
    router = core.Router()
    router.add("GET", "/users/{id}/posts/{post}", h)

    def add_fresh():
        core.Router().add("GET", "/a/{b}", h)

    headers = [(b"Host", b"example.org"), (b"X-Bad", b"\xff\xfe")]
    r = core.Request("GET", "/p", "a=1&b=%C3%A9&a=+2&flag")
    r.set_headers(headers)
    r.set_body(b'{"a": [1, 2.5, "x\\n", null], "b": {"c": true}}')
    bad_escape, form = (core.Request("POST", "/", "") for _ in range(2))
    bad_escape.set_body(b'[1,2,{"a":"\\ud83d"}]')
    form.set_body(b"--XX\r\nContent-Disposition: form-data; name=a\r\n\r\n1\xff\r\n--XX\r\nContent-Disposition: "
                  b'form-data; name="f"; filename="x.txt"\r\nContent-Type: text/plain\r\n\r\ndata\r\n--XX--\r\n')
    target = core.Request("GET", "/", "")
    reentrant, pairs, big, body = Seq([(b"a", b"b")], lambda: target.method), [(b"a", b"b"), [b"c", b"d"]], [256], b"payload"

    data = {"a": [1, 2.5, None, True, "<&>"], "b": (1, 2), "c": {"d": 2**64, "e": -0.0}, "p": Point(1, [2]),
            "s": b"str fallback"}
    int_key, missing, cycle = {1: "x"}, Missing(), []
    cycle.append(cycle)

    app = core.CalvenorApp()
    for path, handler in [("/json/{id}", h), ("/raise", lambda req: {}["k"]),
                          ("/shared", lambda req: app.resolve("GET", "/")), ("/shrink", shrinking)]:
        app.add_route("GET", path, handler)
    app.set_cors("https://a.example, https://b.example", "GET, POST", "X-Token", "600")

    def call(path, b=body):
        return lambda: app.handle_request("GET", path, "a=1", headers, b)

    return [
        ("router: add to a new router then drop it", add_fresh, (h,)),
        ("router: a conflicting route", expect(lambda: router.add("GET", "/users/{x}/posts/{y}", h2), "ValueError"),
         (h2, router)),
        ("router: 26 parameters panic", expect(lambda: router.add("GET", many, h2), "PanicException"), (h2, many)),
        ("router: an unknown keyword", expect(lambda: router.add("GET", "/x", handler=h2, extra=1), "TypeError"),
         (h2,)),
        ("router: lookup with parameters", lambda: router.lookup("GET", "/users/4/posts/7"), (h, router)),
        ("request: construct and read everything", lambda: (core.Request("G", "/", "q=1"), r.headers, r.query,
                                                            r.get_header("x-bad"), r.get_header("accept")), (r,)),
        ("request: set headers", lambda: target.set_headers(headers), (headers, target)),
        ("request: a header given as a list", expect(lambda: target.set_headers(pairs), "TypeError"), (pairs,)),
        ("request: a header sequence that reads the request",
         expect(lambda: target.set_headers(reentrant), "RuntimeError", "Already mutably borrowed"),
         (reentrant, target)),
        ("request: a body of 256", expect(lambda: target.set_body(big), "OverflowError"), (big,)),
        ("request: set and decode JSON", lambda: (target.set_body([91, 49, 93]), r.json()), (r,)),
        ("request: bad JSON inside a string escape",
         expect(bad_escape.json, "ValueError", "Invalid JSON: unexpected end of hex escape at line 1 column 18"),
         (bad_escape,)),
        ("request: parse a form with a lossy field", lambda: form.parse_multipart("XX"), (form,)),
        ("response: construct and read", lambda: core.Response(body, 200, "t").body, (body,)),
        ("response: a status TypeError rewrapped with its cause",
         expect(lambda: core.Response(body, WithCause(), "t"), "TypeError", "argument 'status': boom"), (body,)),
        ("response: json of nested values", lambda: core.Response.json(data, None), (data,)),
        ("response: json with a non-str key", expect(lambda: core.Response.json(int_key, None), "TypeError"),
         (int_key,)),
        ("response: json with a missing field", expect(lambda: core.Response.json([missing], None), "AttributeError"),
         (missing,)),
        ("response: json of a self-containing list", expect(lambda: core.Response.json(cycle, None), "RecursionError"),
         (cycle,)),
        ("app: dispatch to a dict handler", call("/json/5"), (h, headers, body)),
        ("app: dispatch a miss", call("/nowhere"), (headers, body)),
        ("app: dispatch to a raising handler", expect(call("/raise"), "KeyError"), (headers, body)),
        ("app: a handler that resolves", expect(call("/shared"), "RuntimeError", "Already mutably borrowed"), (app,)),
        ("app: dispatch to a shrinking dict", expect(call("/shrink"), "PanicException"), ()),
        ("app: cors questions and gzip", lambda: (app.cors_allows("https://a.example"), app.cors_origin("https://x"),
                                                  app.cors_preflight_headers("https://a.example"),
                                                  app.gzip_compress(body)), (app, body)),
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
