"""The ASGI layer driven directly: one call per request, no server."""
import asyncio
import json

import pytest
from conftest import case

import calvenor
from calvenor.encoding import accepts_gzip


def call(app, method="GET", path="/", *, headers=(), chunks=None, query=b"", disconnect=False, version="1.1",
         pair=tuple):
    """Run one request; returns (status, headers dict, body, number of receive calls)."""
    chunks = [b""] if chunks is None else chunks
    messages = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1} for i, c in enumerate(chunks)]
    if disconnect:
        messages[-1] = {"type": "http.disconnect"}
    sent, received = [], []

    async def receive():
        received.append(1)
        return messages.pop(0) if messages else {"type": "http.disconnect"}

    async def send(message):
        sent.append(message)

    if chunks != [b""] and not any(k == "transfer-encoding" for k, _ in headers):
        headers = [*headers, ("content-length", str(len(b"".join(chunks))))]
    scope = {"type": "http", "http_version": version, "method": method, "path": path, "query_string": query,
             "headers": [pair((k.encode(), v.encode())) for k, v in headers], "root_path": ""}
    asyncio.run(app(scope, receive, send))
    if not sent:
        return None, {}, b"", len(received)
    out = {}
    for k, v in sent[0]["headers"]:
        out[k.decode()] = out[k.decode()] + ", " + v.decode() if k.decode() in out else v.decode()
    return sent[0]["status"], out, b"".join(m.get("body", b"") for m in sent[1:]), len(received)


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
            raise calvenor.HTTPError(418, {"why": "tea"}, headers={"x-pot": "1"})
        if kind == "body":
            return calvenor.request(req).json()
        return {"dict": {"a": 1}, "str": "plain", "list": [1, 2], "none": None}[kind]

    app.get("/path/{*rest}")(lambda req: req["route_params"]["rest"])
    app.get("/query")(lambda req: {"raw": req["query_string"].decode("latin-1"), "q": calvenor.request(req).query})
    return app


def test_an_invalid_pattern_fails_at_registration():
    with pytest.raises(ValueError, match="Invalid route: "):
        calvenor.App().get("/a/{*rest}/b")(lambda req: "x")


@pytest.mark.parametrize("pair", [tuple, list], ids=["header pairs as tuples", "header pairs as lists"])
def test_handler_gets_body_and_headers_through_request(app, pair):
    got = call(app, "POST", "/body", headers=[("content-type", "application/json")], chunks=[b'{"x":', b"[1]}"],
               pair=pair)
    assert got[:3:2] == (200, b'{"body":{"x":[1]},"type":"application/json","query":{}}')


@pytest.mark.parametrize("query, decoded", [
    case("UTF-8 bytes reach the handler as sent", "q=caf\u00e9".encode(), {"q": ["caf\u00e9"]}),
    case("bytes that are not UTF-8 reach the handler as sent", b"q=\xe9&k=%E9", {"q": ["\u00e9"], "k": ["\u00e9"]}),
])
def test_raw_query_bytes(app, query, decoded):
    body = json.loads(call(app, "GET", "/query", query=query)[2])
    assert (body["raw"].encode("latin-1"), body["q"]) == (query, decoded)


@pytest.mark.parametrize("kind, status, content_type, body", [
    case("an async dict is JSON", "dict", 200, "application/json; charset=utf-8", b'{"a":1}'),
    case("an async str is text", "str", 200, "text/plain; charset=utf-8", b"plain"),
    case("any other async result is its str()", "none", 200, "text/plain; charset=utf-8", b"None"),
    case("an HTTPError with a dict detail is JSON with its headers", "teapot", 418,
         "application/json; charset=utf-8", b'{"why":"tea"}'),
    case("an async exception is a 500", "fail", 500, "text/plain; charset=utf-8", b"Internal Server Error"),
])
def test_async_handler_results(app, kind, status, content_type, body):
    got = call(app, "GET", f"/async/{kind}")
    assert (got[0], got[1]["content-type"], got[2]) == (status, content_type, body)
    assert got[1].get("x-pot") == ("1" if kind == "teapot" else None)


def test_invalid_json_is_400_but_a_handlers_own_value_error_is_500(app, caplog):
    app.get("/own")(lambda req: (_ for _ in ()).throw(ValueError("Invalid JSON: mine")))
    assert call(app, "GET", "/async/body", chunks=[b"{"])[:3:2] == (
        400, b"Invalid JSON: EOF while parsing an object at line 1 column 1")
    assert call(app, "GET", "/own")[:3:2] == (500, b"Internal Server Error")
    assert "GET /own" in caplog.text


def test_path_without_utf8_form_is_repaired(app):
    assert call(app, "GET", "/path/a\udcffb")[2] == "a\ufffdb".encode()


@pytest.mark.parametrize("headers, chunks, receives", [
    case("a declared length over the limit is refused before reading", [("content-length", "101")], [b"x" * 101], 0),
    case("a streamed body is refused once it passes the limit", [("transfer-encoding", "chunked")],
         [b"x" * 60, b"x" * 41, b"never read"], 2),
    case("a single message over the limit is refused", [("transfer-encoding", "chunked")], [b"x" * 101], 1),
])
def test_body_limit(app, headers, chunks, receives):
    status, _, body, received = call(app, "POST", "/body", headers=headers, chunks=chunks)
    assert (status, body, received) == (413, b"Payload Too Large", receives)


@pytest.mark.parametrize("chunks, disconnect, version, ran, receives", [
    case("a client gone mid-body gets nothing", [b"{", b"}"], True, "1.1", False, 2),
    case("a body that never came runs no handler", [b"{}"], True, "1.1", False, 1),
    case("HTTP/1.1 without length or chunking has no body to wait for", None, False, "1.1", True, 0),
    case("HTTP/2 may send a body without either header", None, False, "2", True, 1),
])
def test_when_the_body_is_read(chunks, disconnect, version, ran, receives):
    seen = []
    app = calvenor.App()
    app.post("/")(lambda req: seen.append(1) or "ok")
    got = call(app, "POST", "/", chunks=chunks, disconnect=disconnect, version=version)
    assert (bool(seen), got[0] is not None, got[3]) == (ran, ran, receives)


@pytest.mark.parametrize("origins, origin, preflight_status, allow, vary", [
    case("a listed origin gets its own name and vary", "https://a.example", "https://a.example", 204,
         "https://a.example", "origin"),
    case("an unlisted origin falls to the route table", "https://a.example", "https://b.example", 200, None, None),
    case("a wildcard answers star without vary", "*", "https://b.example", 204, "*", None),
])
def test_cors(app, origins, origin, preflight_status, allow, vary):
    app.cors(origins=[origins], max_age=60)
    pre = call(app, "OPTIONS", "/items/1", headers=[("origin", origin), ("access-control-request-method", "PUT")])
    assert (pre[0], pre[1].get("access-control-allow-origin")) == (preflight_status, allow)
    assert pre[1]["access-control-max-age"] == "60" if preflight_status == 204 else pre[2] == b"own options"
    simple = call(app, "GET", "/items/1", headers=[("origin", origin)])
    assert (simple[1].get("access-control-allow-origin"), simple[1].get("vary")) == (allow, vary)


def test_gzip_threshold_and_vary(app):
    app.get("/len/{n:int}")(lambda req: "x" * req["route_params"]["n"])
    small = call(app, "GET", "/len/10", headers=[("accept-encoding", "gzip")])
    large = call(app, "GET", "/len/11", headers=[("accept-encoding", "gzip")])
    refused = call(app, "GET", "/len/11", headers=[("accept-encoding", "gzip;q=0")])
    assert "content-encoding" not in small[1] and "vary" not in small[1]
    assert large[1]["content-encoding"] == "gzip" and large[1]["vary"] == "accept-encoding"
    assert large[1]["content-length"] == str(len(large[2]))
    assert "content-encoding" not in refused[1] and refused[1]["vary"] == "accept-encoding"


@pytest.mark.parametrize("value, accepted", [
    case("x-gzip in any case is gzip", b"deflate, X-Gzip", True),
    case("a tiny weight still accepts", b"br;q=1, gzip;q=0.001", True),
    case("a zero weight refuses", b"gzip; q=0.000", False),
    case("a wildcard accepts", b"*", True),
    case("an explicit gzip refusal beats the wildcard", b"gzip;q=0, *", False),
    case("an explicit gzip beats a zero wildcard", b"*;q=0, gzip", True),
    case("other codings only", b"gzipx, br", False),
    case("an unreadable weight refuses", b"gzip;q=abc", False),
    case("a NaN weight refuses", b"gzip;q=nan", False),
])
def test_accepts_gzip(value, accepted):
    assert accepts_gzip(value) is accepted


@pytest.mark.parametrize("content_type, boundary", [
    case("a bare boundary", "multipart/form-data; boundary=abc", "abc"),
    case("a quoted boundary after other parameters, names in any case",
         'Multipart/Form-Data; charset=utf-8; BOUNDARY="a b"', "a b"),
    case("no boundary", "multipart/form-data", None),
    case("an empty boundary", "multipart/form-data; boundary=", None),
    case("not a multipart type", "application/x-www-form-urlencoded; boundary=abc", None),
])
def test_multipart_boundary(content_type, boundary):
    assert calvenor.multipart_boundary(content_type) == boundary


@pytest.mark.parametrize("status", [204, 304])
def test_no_body_statuses_send_no_body_length_or_encoding(app, status):
    app.get("/empty")(lambda req: (_ for _ in ()).throw(calvenor.HTTPError(status, "x" * 50)))
    got = call(app, "GET", "/empty", headers=[("accept-encoding", "gzip")])
    assert (got[0], got[2]) == (status, b"")
    assert "content-length" not in got[1] and "content-encoding" not in got[1]


def test_a_preflight_answers_the_origins_set_last(app):
    ask = [("origin", "https://a.example"), ("access-control-request-method", "PUT")]
    app.cors(origins="https://a.example")
    assert call(app, "OPTIONS", "/items/1", headers=ask)[0] == 204
    app.cors(origins="https://b.example")
    assert call(app, "OPTIONS", "/items/1", headers=ask)[:3:2] == (200, b"own options")
