"""The ASGI layer driven directly: one call per request, no server."""
import asyncio

import pytest

import calvenor
from calvenor.encoding import accepts_gzip


def call(app, method="GET", path="/", *, headers=(), chunks=(b"",), query=b"", disconnect=False):
    """Run one request; returns (status, headers dict, body, number of receive calls)."""
    messages = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1}
                for i, c in enumerate(chunks)]
    if disconnect:
        messages[-1] = {"type": "http.disconnect"}
    sent, received = [], []

    async def receive():
        received.append(1)
        return messages.pop(0) if messages else {"type": "http.disconnect"}

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": method, "path": path, "query_string": query,
             "headers": [(k.encode(), v.encode()) for k, v in headers]}
    asyncio.run(app(scope, receive, send))
    if not sent:
        return None, {}, b"", len(received)
    start, body = sent
    out = {}
    for k, v in start["headers"]:
        out[k.decode()] = out[k.decode()] + ", " + v.decode() if k.decode() in out else v.decode()
    return start["status"], out, body["body"], len(received)


@pytest.fixture
def app():
    app = calvenor.App(max_body_size=100, gzip_min_size=10)
    app.route("/items/{id}", methods=["GET", "PUT"])(lambda req: {"id": req["route_params"]["id"]})
    app.options("/items/{id}")(lambda req: "own options")

    @app.post("/body")
    def body(req):
        r = calvenor.request(req)
        return {"body": r.json(), "type": r.get_header("content-type"), "query": r.query}

    @app.get("/async/{kind}")
    async def async_handler(req):
        await asyncio.sleep(0)
        kind = req["route_params"]["kind"]
        if kind == "fail":
            raise KeyError("boom")
        if kind == "teapot":
            raise calvenor.HTTPError(418)
        if kind == "body":
            return calvenor.request(req).json()
        return {"dict": {"a": 1}, "str": "plain", "other": [1, 2]}[kind]

    app.get("/empty")(lambda req: (_ for _ in ()).throw(calvenor.HTTPError(204)))
    app.get("/path/{*rest}")(lambda req: req["route_params"]["rest"])
    return app


def test_one_route_for_several_methods(app):
    assert call(app, "GET", "/items/1")[2] == b'{"id":"1"}'
    assert call(app, "PUT", "/items/2")[2] == b'{"id":"2"}'
    assert call(app, "POST", "/items/2")[0] == 404


def test_an_invalid_pattern_fails_at_registration():
    with pytest.raises(ValueError, match="Invalid route: "):
        calvenor.App().get("/a/{*rest}/b")(lambda req: "x")


def test_handler_gets_body_headers_and_raw_query_through_request(app):
    status, _, body, _ = call(app, "POST", "/body", headers=[("content-type", "application/json")],
                              chunks=[b'{"x":', b"[1]}"], query=b"k=%E9&r=\xe9")
    assert status == 200
    # A raw non-ASCII byte reaches the query decoder as that byte (read as Latin-1).
    assert body == b'{"body":{"x":[1]},"type":"application/json","query":{"k":["\xc3\xa9"],"r":["\xc3\xa9"]}}'


@pytest.mark.parametrize(
    "kind, status, content_type, body",
    [
        ("dict", 200, "application/json; charset=utf-8", b'{"a":1}'),
        ("str", 200, "text/plain; charset=utf-8", b"plain"),
        ("other", 200, "text/plain; charset=utf-8", b"[1, 2]"),
        ("teapot", 418, "text/plain; charset=utf-8", b"I'm a Teapot"),
        ("fail", 500, "text/plain; charset=utf-8", b"Internal Server Error"),
    ],
    ids=["an async dict is JSON", "an async str is text", "any other async result is its str()",
         "an async HTTPError sets the status", "an async exception is a 500"],
)
def test_async_handler_results(app, kind, status, content_type, body):
    got = call(app, "GET", f"/async/{kind}")
    assert (got[0], got[1]["content-type"], got[2]) == (status, content_type, body)


def test_async_handler_reads_the_body(app):
    assert call(app, "GET", "/async/body", chunks=[b'{"n":', b"2}"])[2] == b'{"n":2}'


def test_invalid_json_from_an_async_handler_is_400(app):
    status, _, body, _ = call(app, "GET", "/async/body", chunks=[b"{"])
    assert (status, body) == (400, b"Invalid JSON: EOF while parsing an object at line 1 column 1")


def test_handler_exception_is_logged_not_sent(app, caplog):
    app.get("/boom")(lambda req: {}["missing"])
    status, _, body, _ = call(app, "GET", "/boom")
    assert (status, body) == (500, b"Internal Server Error")
    assert "KeyError" in caplog.text and "GET /boom" in caplog.text


def test_no_body_status_sends_no_body_or_length(app):
    status, headers, body, _ = call(app, "GET", "/empty")
    assert (status, body) == (204, b"")
    assert "content-length" not in headers


def test_path_without_utf8_form_is_repaired(app):
    assert call(app, "GET", "/path/a\udcffb")[2] == "a\ufffdb".encode()


@pytest.mark.parametrize(
    "headers, chunks, receives",
    [
        ([("content-length", "101")], [b"x" * 101], 0),
        ([], [b"x" * 60, b"x" * 41, b"never read"], 2),
        ([], [b"x" * 101], 1),
    ],
    ids=["a declared length over the limit is refused before reading",
         "a streamed body is refused once it passes the limit",
         "a single message over the limit is refused"],
)
def test_body_limit(app, headers, chunks, receives):
    status, _, body, received = call(app, "POST", "/body", headers=headers, chunks=chunks)
    assert (status, body, received) == (413, b"Payload Too Large", receives)


def test_body_at_the_limit_is_read(app):
    assert call(app, "POST", "/body", chunks=[b'"' + b"x" * 98 + b'"'])[0] == 200


def test_client_gone_mid_body_gets_no_response(app):
    assert call(app, "POST", "/body", chunks=[b"{", b"}"], disconnect=True)[0] is None


@pytest.mark.parametrize(
    "origins, origin, preflight_status, allow, vary",
    [
        ("https://a.example", "https://a.example", 204, "https://a.example", "origin"),
        ("https://a.example", "https://b.example", 200, None, None),
        ("*", "https://b.example", 204, "*", None),
    ],
    ids=["a listed origin gets its own name and vary", "an unlisted origin falls to the route table",
         "a wildcard answers star without vary"],
)
def test_cors(app, origins, origin, preflight_status, allow, vary):
    app.cors(origins=[origins], max_age=60)
    pre = call(app, "OPTIONS", "/items/1",
               headers=[("origin", origin), ("access-control-request-method", "PUT")])
    assert pre[0] == preflight_status
    assert pre[1].get("access-control-allow-origin") == allow
    if preflight_status == 204:
        assert pre[1]["access-control-max-age"] == "60"
    else:
        assert pre[2] == b"own options"
    simple = call(app, "GET", "/items/1", headers=[("origin", origin)])
    assert simple[1].get("access-control-allow-origin") == allow
    assert simple[1].get("vary") == vary


def test_options_without_request_method_is_not_a_preflight(app):
    app.cors()
    status, _, body, _ = call(app, "OPTIONS", "/items/1", headers=[("origin", "https://x")])
    assert (status, body) == (200, b"own options")


def test_gzip_threshold_and_vary(app):
    app.get("/len/{n}")(lambda req: "x" * int(req["route_params"]["n"]))
    small = call(app, "GET", "/len/10", headers=[("accept-encoding", "gzip")])
    large = call(app, "GET", "/len/11", headers=[("accept-encoding", "gzip")])
    refused = call(app, "GET", "/len/11", headers=[("accept-encoding", "gzip;q=0")])
    assert "content-encoding" not in small[1] and "vary" not in small[1]
    assert large[1]["content-encoding"] == "gzip" and large[1]["vary"] == "accept-encoding"
    assert large[1]["content-length"] == str(len(large[2]))
    assert "content-encoding" not in refused[1] and refused[1]["vary"] == "accept-encoding"


@pytest.mark.parametrize(
    "value, accepted",
    [
        (b"deflate, X-Gzip", True),
        (b"br;q=1, gzip;q=0.001", True),
        (b"gzip; q=0.000", False),
        (b"*", True),
        (b"gzip;q=0, *", False),
        (b"*;q=0, gzip", True),
        (b"gzipx, br", False),
        (b"gzip;q=abc", False),
        (b"gzip;q=nan", False),
    ],
    ids=[
        "x-gzip in any case is gzip", "a tiny weight still accepts", "a zero weight refuses",
        "a wildcard accepts", "an explicit gzip refusal beats the wildcard",
        "an explicit gzip beats a zero wildcard", "other codings only",
        "an unreadable weight refuses", "a NaN weight refuses",
    ],
)
def test_accepts_gzip(value, accepted):
    assert accepts_gzip(value) is accepted


@pytest.mark.parametrize(
    "content_type, boundary",
    [
        ("multipart/form-data; boundary=abc", "abc"),
        ('Multipart/Form-Data; charset=utf-8; BOUNDARY="a b"', "a b"),
        ("multipart/form-data", None),
        ("multipart/form-data; boundary=", None),
        ("application/x-www-form-urlencoded; boundary=abc", None),
    ],
    ids=["a bare boundary", "a quoted boundary after other parameters, names in any case",
         "no boundary", "an empty boundary", "not a multipart type"],
)
def test_multipart_boundary(content_type, boundary):
    assert calvenor.multipart_boundary(content_type) == boundary


def lifespan(app, *phases):
    messages = [{"type": f"lifespan.{p}"} for p in phases]
    sent = []

    async def receive():
        return messages.pop(0)

    async def send(message):
        sent.append(message["type"])

    asyncio.run(app({"type": "lifespan"}, receive, send))
    return sent


def test_lifespan_runs_sync_and_async_hooks_in_order():
    ran = []

    async def warm():
        ran.append("async start")

    app = calvenor.App(on_startup=[lambda: ran.append("start")], on_shutdown=[lambda: ran.append("stop")])
    app.on_startup(warm)
    assert lifespan(app, "startup", "shutdown") == ["lifespan.startup.complete", "lifespan.shutdown.complete"]
    assert ran == ["start", "async start", "stop"]


def test_failing_startup_hook_reports_failure():
    app = calvenor.App(on_startup=[lambda: 1 / 0])
    assert lifespan(app, "startup") == ["lifespan.startup.failed"]


def test_websocket_is_closed():
    sent = []

    async def receive():
        return {"type": "websocket.connect"}

    async def send(message):
        sent.append(message)

    asyncio.run(calvenor.App()({"type": "websocket", "path": "/"}, receive, send))
    assert sent == [{"type": "websocket.close", "code": 1000}]
