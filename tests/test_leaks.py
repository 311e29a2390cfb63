"""Repeated calls of every public member, on success and on each failure path, leave the
interpreter's allocated blocks and the reference counts of the objects involved flat.

Each case runs CALLS times (after a warm-up); every class has at least fifteen cases, so
each member group gets over 100,000 calls in all.
"""
import dataclasses
import gc
import sys
import weakref

import pytest

import calvenor._core as core

CALLS = 7_000
WARMUP = 500
# Blocks that may come and go between two measurements for reasons of the interpreter's own
# (free lists, the method cache); a leak of one block per call would be CALLS.
BLOCK_SLACK = 200

HAS_APP = hasattr(core, "CalvenorApp")
needs_app = pytest.mark.skipif(not HAS_APP, reason="CalvenorApp is not in this build of the module yet")


def is_panic(e):
    return type(e).__name__ == "PanicException"


def expect(fn, exc_type, message=None):
    """A call that must fail with exc_type (and message, when given)."""

    def call():
        try:
            fn()
        except BaseException as e:
            if exc_type == "PanicException":
                assert is_panic(e), repr(e)
            else:
                assert type(e) is exc_type, repr(e)
            if message is not None:
                assert str(e) == message, str(e)
            return
        raise AssertionError(f"no {exc_type} raised")

    return call


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


@pytest.fixture
def quiet_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(type(u.exc_value)) if len(seen) < 1 else None)
    return seen


class Handler:
    """A handler that can be watched with a weak reference."""

    def __call__(self, request):
        return {"ok": True}


# ---------------------------------------------------------------- Router


def router_cases():
    h = Handler()
    h2 = Handler()
    full = core.Router()
    full.add("GET", "/static", h)
    full.add("GET", "/users/{id}/posts/{post}", h)
    full.add("GET", "/files/{*path}", h)
    method, path = "GET", "/users/42/posts/7"
    many = "".join(f"/{{p{i}}}" for i in range(26))

    def add_fresh():
        r = core.Router()
        r.add("GET", "/a/{b}", h)

    return [
        ("construct and drop", lambda: core.Router(), ()),
        ("construct with an argument", expect(lambda: core.Router(1), TypeError), ()),
        ("add to a new router then drop it", add_fresh, (h,)),
        ("add a conflicting route", expect(lambda: full.add("GET", "/static", h2), ValueError), (h2, full)),
        ("add an invalid pattern", expect(lambda: full.add("GET", "/{a}{b}", h2), ValueError), (h2,)),
        ("add 26 parameters", expect(lambda: full.add("GET", many, h2), "PanicException",
                                     "Too many route parameters."), (h2, many)),
        ("add with an int method", expect(lambda: full.add(1, "/x", h2), TypeError), (h2,)),
        ("add with a lone surrogate", expect(lambda: full.add("GET", "/\ud800", h2), UnicodeEncodeError), (h2,)),
        ("add with a keyword twice", expect(lambda: full.add("GET", "/x", h2, method="GET"), TypeError), (h2,)),
        ("add with an unknown keyword", expect(lambda: full.add("GET", "/x", handler=h2, extra=1), TypeError), (h2,)),
        ("add with a missing argument", expect(lambda: full.add("GET", "/x"), TypeError), ()),
        ("lookup a static route", lambda: full.lookup("GET", "/static"), (h, full)),
        ("lookup a parameter route", lambda: full.lookup(method, path), (h, method, path)),
        ("lookup a catch-all", lambda: full.lookup("GET", "/files/a/b/c"), (h,)),
        ("lookup a miss", lambda: full.lookup("POST", "/static"), (h,)),
        ("lookup with bytes", expect(lambda: full.lookup(b"GET", "/"), TypeError), ()),
        ("lookup with too many arguments", expect(lambda: full.lookup("GET", "/", 1), TypeError), ()),
    ]


# ---------------------------------------------------------------- Request


def request_cases():
    headers = [(b"Host", b"example.org"), (b"Content-Type", b"text/plain"), (b"X-Bad", b"\xff\xfe")]
    body = b'{"a": [1, 2.5, "x\\n", null], "b": {"c": true}}'
    form = (
        b"--XX\r\nContent-Disposition: form-data; name=a\r\n\r\n1\xff\r\n"
        b'--XX\r\nContent-Disposition: form-data; name="f"; filename="x.txt"\r\n'
        b"Content-Type: text/plain\r\n\r\ndata\r\n--XX--\r\n"
    )
    r = core.Request("GET", "/p", "a=1&b=%C3%A9&a=+2&flag")
    r.set_headers(headers)
    r.set_body(body)
    bad_json = core.Request("POST", "/", "")
    bad_json.set_body(b'{"a": [1, 2,]}')
    bad_escape = core.Request("POST", "/", "")
    bad_escape.set_body(b'[1,2,{"a":"\\ud83d"}]')
    no_body = core.Request("POST", "/", "")
    multipart = core.Request("POST", "/", "")
    multipart.set_body(form)
    target = core.Request("GET", "/", "")

    class Reentrant:
        """A sequence that reads the request being changed while it is converted."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            target.method
            return (b"a", b"b")

    reentrant = Reentrant()
    bad_pairs = [(b"a", b"b"), [b"c", b"d"]]
    three = [(b"a", b"b", b"c")]
    big = [256]
    ba = bytearray(b"abc")
    ints = [104, 105]

    return [
        ("construct", lambda: core.Request("GET", "/", "q=1"), ()),
        ("construct with an int path", expect(lambda: core.Request("GET", 1, ""), TypeError), ()),
        ("read the stored texts", lambda: (r.method, r.path, r.query_string), (r,)),
        ("read headers", lambda: r.headers, (r,)),
        ("read query", lambda: r.query, (r,)),
        ("get a present header", lambda: r.get_header("content-type"), (r,)),
        ("get a missing header", lambda: r.get_header("accept"), (r,)),
        ("get a header by bytes", expect(lambda: r.get_header(b"host"), TypeError), ()),
        ("set headers", lambda: target.set_headers(headers), (headers, target)),
        ("set headers with a list item", expect(lambda: target.set_headers(bad_pairs), TypeError), (bad_pairs,)),
        ("set headers with a three-tuple", expect(lambda: target.set_headers(three), ValueError), (three,)),
        ("set headers that read the request", expect(lambda: target.set_headers(reentrant), RuntimeError,
                                                     "Already mutably borrowed"), (reentrant, target)),
        ("set a bytes body", lambda: target.set_body(body), (body,)),
        ("set a bytearray body", lambda: target.set_body(ba), (ba,)),
        ("set a list body", lambda: target.set_body(ints), (ints,)),
        ("set a str body", expect(lambda: target.set_body("text"), TypeError), ()),
        ("set a body with 256", expect(lambda: target.set_body(big), OverflowError), (big,)),
        ("decode JSON", r.json, (r,)),
        ("decode bad JSON", expect(bad_json.json, ValueError, "Invalid JSON: trailing comma at line 1 column 13"),
         (bad_json,)),
        ("decode JSON failing inside a string escape",
         expect(bad_escape.json, ValueError, "Invalid JSON: unexpected end of hex escape at line 1 column 18"),
         (bad_escape,)),
        ("decode an absent body", no_body.json, ()),
        ("json with an argument", expect(lambda: r.json(1), TypeError), ()),
        ("parse a form", lambda: multipart.parse_multipart("XX"), (multipart,)),
        ("parse a form without a body", lambda: no_body.parse_multipart("XX"), ()),
        ("parse a form with a bytes boundary", expect(lambda: multipart.parse_multipart(b"XX"), TypeError), ()),
    ]


# ---------------------------------------------------------------- Response


@dataclasses.dataclass
class Point:
    x: int
    y: list


class Columns:
    __columns__ = ("id", "name")

    def __init__(self):
        self.id = 7
        self.name = "n"


class Missing:
    __columns__ = ("id", "absent")
    id = 1


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class Shrinks:
    """Its str() empties the dict that is being written."""

    def __init__(self, d):
        self.d = d

    def __str__(self):
        self.d.clear()
        return "x"


class RewrappedIndex:
    def __index__(self):
        raise TypeError("boom") from KeyError("why")


def response_cases():
    data = {"a": [1, 2.5, None, True, "<&>"], "b": (1, 2), "c": {"d": 2**64, "e": -0.0}, "p": Point(1, [2]),
            "s": b"str fallback"}
    body = b"hello"
    text = "h\u00e9llo"
    int_key = {1: "x"}
    surrogate = {"a": "\ud800"}
    missing = Missing()
    columns = Columns()
    unprintable = Unprintable()
    cycle = []
    cycle.append(cycle)
    resp = core.Response(body, 201, "text/plain")

    def shrinking():
        d = {"a": None, "b": 1}
        d["a"] = Shrinks(d)
        core.Response.json(d, None)

    return [
        ("construct", lambda: core.Response(body, 200, "text/plain"), (body,)),
        ("construct from a list", lambda: core.Response([104, 105], None and 0 or 200, "t"), ()),
        ("construct with a str body", expect(lambda: core.Response("x", 200, "t"), TypeError), ()),
        ("construct with status 70000", expect(lambda: core.Response(body, 70000, "t"), OverflowError), (body,)),
        ("construct with a float status", expect(lambda: core.Response(body, 200.0, "t"), TypeError), (body,)),
        ("construct with a status whose TypeError is rewrapped with its cause",
         expect(lambda: core.Response(body, RewrappedIndex(), "t"), TypeError, "argument 'status': boom"), (body,)),
        ("construct without arguments", expect(lambda: core.Response(), TypeError), ()),
        ("read the attributes", lambda: (resp.status, resp.body, resp.content_type), (resp, body)),
        ("json of nested values", lambda: core.Response.json(data, None), (data,)),
        ("json of field-described objects", lambda: core.Response.json([columns, columns], 200), (columns,)),
        ("json with a non-str key", expect(lambda: core.Response.json(int_key, None), TypeError,
                                           "'int' object cannot be converted to 'PyString'"), (int_key,)),
        ("json with a lone surrogate", expect(lambda: core.Response.json(surrogate, None), UnicodeEncodeError),
         (surrogate,)),
        ("json with a missing field", expect(lambda: core.Response.json([missing], None), AttributeError),
         (missing,)),
        ("json of a self-containing list", expect(lambda: core.Response.json(cycle, None), RecursionError),
         (cycle,)),
        ("json of a dict that shrinks", expect(shrinking, "PanicException",
                                               "dictionary changed size during iteration"), ()),
        ("json with a bad status", expect(lambda: core.Response.json(data, -1), OverflowError), (data,)),
        ("text", lambda: core.Response.text(text, 404), (text,)),
        ("text of bytes", expect(lambda: core.Response.text(body, None), TypeError), (body,)),
    ], [("json of an unprintable object", lambda: core.Response.json({"u": unprintable}, None), (unprintable,))]


# ---------------------------------------------------------------- CalvenorApp


def app_cases():
    app = core.CalvenorApp()
    h = Handler()

    def text_handler(req):
        return "plain"

    def other_handler(req):
        return [1, 2]

    def raising_handler(req):
        raise KeyError("boom")

    def int_key_handler(req):
        return {1: 2}

    def reentrant_shared(req):
        return app.resolve("GET", "/")

    def reentrant_exclusive(req):
        app.add_route("GET", "/later", h)

    def shrinking_handler(req):
        d = {"a": None, "b": 1}
        d["a"] = Shrinks(d)
        return d

    for path, handler in [
        ("/json/{id}", h), ("/text", text_handler), ("/other", other_handler), ("/raise", raising_handler),
        ("/intkey", int_key_handler), ("/shared", reentrant_shared), ("/exclusive", reentrant_exclusive),
        ("/shrink", shrinking_handler),
    ]:
        app.add_route("GET", path, handler)
    headers = [(b"host", b"x"), (b"accept", b"*/*")]
    body = b"payload"
    many = "".join(f"/{{p{i}}}" for i in range(26))
    payload = b"abc" * 1000

    def call(path):
        return lambda: app.handle_request("GET", path, "a=1", headers, body)

    def add_fresh():
        a = core.CalvenorApp()
        a.add_route("GET", "/x/{y}", h)

    cors = core.CalvenorApp()
    cors.set_cors("https://a.example, https://b.example", "GET, POST", "X-Token", "600")

    return [
        ("construct", lambda: core.CalvenorApp(), ()),
        ("construct with an argument", expect(lambda: core.CalvenorApp(1), TypeError), ()),
        ("add a route to a new app then drop it", add_fresh, (h,)),
        ("add a conflicting route", expect(lambda: app.add_route("GET", "/text", h), ValueError), (h, app)),
        ("add 26 parameters", expect(lambda: app.add_route("GET", many, h), "PanicException"), (h,)),
        ("resolve a hit", lambda: app.resolve("GET", "/json/5"), (h, app)),
        ("resolve a miss", lambda: app.resolve("PUT", "/json/5"), (app,)),
        ("dispatch to a dict handler", call("/json/5"), (h, headers, body)),
        ("dispatch to a text handler", call("/text"), (text_handler, headers, body)),
        ("dispatch to a list handler", call("/other"), (other_handler,)),
        ("dispatch a miss", call("/nowhere"), (headers, body)),
        ("dispatch to a raising handler", expect(call("/raise"), KeyError), (raising_handler, headers, body)),
        ("dispatch to an int-keyed result", expect(call("/intkey"), TypeError), (int_key_handler,)),
        ("dispatch to a handler that resolves", expect(call("/shared"), RuntimeError, "Already mutably borrowed"),
         (reentrant_shared, app)),
        ("dispatch to a handler that adds", expect(call("/exclusive"), RuntimeError, "Already borrowed"),
         (reentrant_exclusive, app, h)),
        ("dispatch to a shrinking dict", expect(call("/shrink"), "PanicException"), (shrinking_handler,)),
        ("dispatch with a str body", expect(lambda: app.handle_request("GET", "/text", "", headers, "b"), TypeError),
         (headers,)),
        ("dispatch with list headers", expect(lambda: app.handle_request("GET", "/text", "", [[b"a", b"b"]], body),
                                              TypeError), (body,)),
        ("set cors", lambda: app.set_cors("*", None, None, None), (app,)),
        ("cors questions", lambda: (cors.has_cors(), cors.cors_is_wildcard(), cors.cors_allows("https://a.example"),
                                    cors.cors_origin("https://b.example"),
                                    cors.cors_preflight_headers("https://a.example"),
                                    cors.cors_origin("https://evil.example")), (cors,)),
        ("cors with bytes", expect(lambda: cors.cors_origin(b"x"), TypeError), ()),
        ("gzip", lambda: cors.gzip_compress(payload), (payload,)),
        ("gzip a str", expect(lambda: cors.gzip_compress("x"), TypeError), ()),
    ]


def _params(cases):
    return [pytest.param(fn, watched, id=name) for name, fn, watched in cases]


@pytest.mark.parametrize("fn, watched", _params(router_cases()))
def test_router_member_leaves_nothing_behind(fn, watched):
    assert_flat(fn, *watched)


@pytest.mark.parametrize("fn, watched", _params(request_cases()))
def test_request_member_leaves_nothing_behind(fn, watched):
    assert_flat(fn, *watched)


_response, _response_unraisable = response_cases()


@pytest.mark.parametrize("fn, watched", _params(_response))
def test_response_member_leaves_nothing_behind(fn, watched):
    assert_flat(fn, *watched)


@pytest.mark.parametrize("fn, watched", _params(_response_unraisable))
def test_response_member_reporting_to_the_unraisable_hook_leaves_nothing_behind(fn, watched, quiet_unraisable):
    assert_flat(fn, *watched)
    assert quiet_unraisable == [ValueError]


@needs_app
@pytest.mark.parametrize("fn, watched", _params(app_cases()) if HAS_APP else [])
def test_app_member_leaves_nothing_behind(fn, watched, capsys):
    assert_flat(fn, *watched)


@pytest.mark.parametrize(
    "make, add",
    [
        (lambda: core.Router(), lambda r, h: r.add("GET", "/x/{y}", h)),
        pytest.param(lambda: core.CalvenorApp(), lambda a, h: a.add_route("GET", "/x/{y}", h), marks=needs_app),
    ],
    ids=["a dropped router releases its handlers", "a dropped app releases its handlers"],
)
def test_dropping_the_owner_releases_handlers(make, add):
    owner = make()
    handlers = [Handler() for _ in range(3)]
    refs = [weakref.ref(h) for h in handlers]
    add(owner, handlers[0])
    with pytest.raises(ValueError):
        add(owner, handlers[1])  # refused: released at once
    assert refs[1]() is not None
    del handlers
    assert refs[1]() is None and refs[2]() is None
    assert refs[0]() is not None
    del owner
    assert refs[0]() is None
