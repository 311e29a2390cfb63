"""The framework surface over the native table, driven through calvenor.testing.TestClient."""
import asyncio
import uuid

import pytest
from conftest import Mutates, case

import calvenor
from calvenor.testing import TestClient


def responses_app():
    app = calvenor.App()

    def cookie_jar(req):
        r = calvenor.PlainTextResponse("jar", headers=[("x-a", "1"), ("x-a", "2")])
        r.set_cookie("sid", "abc", max_age=60, httponly=True, secure=True)
        r.delete_cookie("old")
        return r

    async def awaited(req):
        return await asyncio.sleep(0, calvenor.JSONResponse([1], 202))

    routes = {
        "/list": lambda req: [1, {"a": "<"}],
        "/json": lambda req: calvenor.JSONResponse({"a": "<"}, 201, headers={"location": "/x"}),
        "/html": lambda req: calvenor.HTMLResponse("<p>é</p>"),
        "/bytes": lambda req: calvenor.Response(b"\x00\x01", media_type="application/octet-stream"),
        "/redirect": lambda req: calvenor.RedirectResponse("/to?q=1 2", 303),
        "/empty": lambda req: calvenor.Response(b"ignored", 204),
        "/cookies": cookie_jar,
        "/async": awaited,
    }
    for path, handler in routes.items():
        app.get(path)(handler)
    return app


@pytest.mark.parametrize("path, status, headers, body", [
    case("a list answers JSON", "/list", 200, {"content-type": "application/json; charset=utf-8"},
         b'[1,{"a":"\\u003c"}]'),
    case("JSONResponse writes what a dict result would, with its status and headers", "/json", 201,
         {"content-type": "application/json; charset=utf-8", "location": "/x"}, b'{"a":"\\u003c"}'),
    case("HTMLResponse is UTF-8 text/html", "/html", 200, {"content-type": "text/html; charset=utf-8"},
         "<p>é</p>".encode()),
    case("Response takes bytes and a media type", "/bytes", 200,
         {"content-type": "application/octet-stream", "content-length": "2"}, b"\x00\x01"),
    case("a redirect sets an escaped Location", "/redirect", 303, {"location": "/to?q=1%202"}, b""),
    case("204 sends neither body nor length", "/empty", 204, {"content-length": None}, b""),
    case("headers repeat, cookies are set and deleted", "/cookies", 200, {"x-a": "1, 2", "set-cookie":
         'sid=abc; HttpOnly; Max-Age=60; Path=/; SameSite=lax; Secure, '
         'old=""; expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0; Path=/; SameSite=lax'}, b"jar"),
    case("an async handler returns response objects too", "/async", 202, {}, b"[1]"),
])
def test_responses(path, status, headers, body):
    r = TestClient(responses_app(), follow_redirects=False).get(path)
    assert (r.status_code, r.content) == (status, body)
    for name, value in headers.items():
        assert r.headers.get(name) == value


@pytest.mark.parametrize("build", [
    case("a header value with CR LF", lambda: calvenor.Response(headers={"x": "a\r\nset-cookie: evil"})),
    case("a header name that is not a token", lambda: calvenor.Response(headers={"x y": "1"})),
    case("a NUL in a header value", lambda: calvenor.Response(headers={"x": "a\x00"})),
    case("a cookie name that is not a token", lambda: calvenor.Response().set_cookie("a;b", "1")),
    case("a cookie value with LF", lambda: calvenor.Response().set_cookie("a", "1\nx")),
    case("a redirect URL with CR LF", lambda: calvenor.RedirectResponse("/a\r\nx: y")),
    case("a redirect status that is not one", lambda: calvenor.RedirectResponse("/a", 200)),
])
def test_response_splitting_is_refused_when_built(build):
    with pytest.raises(ValueError):
        build()


def methods_app(**options):
    app = calvenor.App(**options)
    app.get("/users/{id}")(lambda req: {"id": req["route_params"]["id"]})
    app.put("/users/{id}")(lambda req: "put")
    app.get("/users")(lambda req: "list")
    app.get("/own")(lambda req: "get")
    app.head("/own")(lambda req: calvenor.Response(None, 200, {"x-own": "1"}))
    app.options("/own")(lambda req: "own options")
    return app


@pytest.mark.parametrize("method, path, status, headers, body", [
    case("another method of a known path is 405 with Allow", "POST", "/users/1", 405,
         {"allow": "GET, HEAD, OPTIONS, PUT"}, b"Method Not Allowed"),
    case("OPTIONS answers 204 with Allow", "OPTIONS", "/users/1", 204, {"allow": "GET, HEAD, OPTIONS, PUT"},
         b""),
    case("a route's own OPTIONS handler wins", "OPTIONS", "/own", 200, {"allow": None}, b"own options"),
    case("HEAD answers like GET without a body", "HEAD", "/users/1", 200, {"content-length": "10"}, b""),
    case("an explicit HEAD route replaces the one made for GET", "HEAD", "/own", 200, {"x-own": "1"}, b""),
    case("an unknown path is 404", "DELETE", "/nothing", 404, {"allow": None}, b"Not Found"),
    case("a trailing slash redirects to the route, keeping the query", "GET", "/users/?a=1", 307,
         {"location": "/users?a=1"}, b""),
])
def test_methods(method, path, status, headers, body):
    r = TestClient(methods_app(), follow_redirects=False).request(method, path)
    assert (r.status_code, r.content) == (status, body)
    assert {name: r.headers.get(name) for name in headers} == headers


def test_slash_redirects_can_be_turned_off():
    assert TestClient(methods_app(redirect_slashes=False)).get("/users/").status_code == 404


@pytest.mark.parametrize("path, value", [
    case("an int converts", "/int/42", 42),
    case("a float converts", "/float/2.5", 2.5),
    case("a uuid converts", "/uuid/12345678-1234-5678-1234-567812345678", uuid.UUID(int=0x12345678123456781234567812345678)),
    case("a path takes the rest", "/path/a/b.txt", "a/b.txt"),
    case("a signed int is no int", "/int/-1", None),
    case("an int of 5,000 digits is no int", "/int/" + "9" * 5000, None),
    case("a non-ASCII digit is no int", "/int/\u0663", None),
    case("junk is no float", "/float/1e5", None),
    case("junk is no uuid", "/uuid/{12345678-1234-5678-1234-567812345678}", None),
])
def test_converters(path, value):
    seen = []
    app = calvenor.App()
    for kind in ("int", "float", "uuid", "path"):
        app.get(f"/{kind}/{{v:{kind}}}")(lambda req: seen.append(req["route_params"]["v"]) or "ok")
    assert TestClient(app).get(path).status_code == (200 if value is not None else 404)
    assert seen == ([value] if value is not None else [])


Base = type("Base", (Exception,), {})
Child = type("Child", (Base,), {})


def errors_app():
    app = calvenor.App()
    group = calvenor.Group("/g")
    app.exception_handler(Base)(lambda req, exc: calvenor.PlainTextResponse("base", 409))

    @app.exception_handler(Child)
    async def child(req, exc):
        return {"child": req["route_params"]["kind"]}

    group.exception_handler(Base)(lambda req, exc: "group")
    app.exception_handler(Exception)(lambda req, exc: "any")

    def fail(req) -> dict:  # registered as it is in the app, wrapped in the group
        kind = req["route_params"]["kind"]
        raise calvenor.HTTPError(402) if kind == "http" else {"base": Base, "child": Child, "key": KeyError}[kind]()

    app.get("/{kind}")(fail)
    group.get("/{kind}")(fail)
    app.include(group)
    return app


@pytest.mark.parametrize("path, status, body", [
    case("a registered class answers", "/base", 409, b"base"),
    case("the most specific class wins, async handlers are awaited", "/child", 200, b'{"child":"child"}'),
    case("a group's own handlers come first", "/g/child", 200, b"group"),
    case("a handler for Exception takes any other", "/key", 200, b"any"),
    case("but not HTTPError, which has a handler of its own", "/http", 402, b"Payment Required"),
])
def test_exception_handlers(path, status, body):
    r = TestClient(errors_app()).get(path)
    assert (r.status_code, r.content) == (status, body)


def test_a_dict_changed_while_encoded_is_a_500_and_the_app_goes_on(caplog):
    app = calvenor.App()
    app.get("/")(lambda req: (d := {"a": None}, d.__setitem__("a", Mutates(lambda: d.__setitem__("new", 1))), d)[2])
    app.get("/ok")(lambda req: "ok")
    client = TestClient(app)
    assert (client.get("/").status_code, client.get("/ok").text) == (500, "ok")
    assert "dictionary changed size" in caplog.text


@pytest.mark.parametrize("header, jar", [
    case("pairs split on semicolons, quotes dropped", "a=1; b=\"two\"", {"a": "1", "b": "two"}),
    case("malformed pairs are skipped", "a; =x; c d=1; ok=yes;;", {"ok": "yes"}),
    case("the first of a repeated name wins", "a=1; a=2", {"a": "1"}),
])
def test_cookies(header, jar):
    app = calvenor.App()
    app.get("/")(lambda req: calvenor.cookies(req))
    assert TestClient(app).get("/", headers={"cookie": header}).json() == jar


@pytest.mark.parametrize("content_type, body, status, fields", [
    case("a url-encoded form decodes like a query string", "application/x-www-form-urlencoded",
         b"a=1+2&b=%C3%A9&a=%zz", 200, {"a": ["1 2", "%zz"], "b": ["é"]}),
    case("another type is 415", "application/json", b"{}", 415, None),
    case("multipart without boundary stays 400", "multipart/form-data", b"--x--", 400, None),
    case("multipart cut before its closing delimiter is 400", "multipart/form-data; boundary=x",
         b'--x\r\nContent-Disposition: form-data; name="f"; filename="a"\r\n\r\nhalf a fi', 400, None),
])
def test_forms(content_type, body, status, fields):
    app = calvenor.App()
    app.post("/")(lambda req: calvenor.form(req)[0])
    r = TestClient(app).post("/", content=body, headers={"content-type": content_type})
    assert r.status_code == status
    assert fields is None or r.json() == fields


def test_nested_groups_under_a_prefix():
    # middleware, mounts and lifespan behind middleware are covered over a real server in test_e2e
    inner = calvenor.Group("/v1")
    inner.get("/users/{id:int}")(lambda req: {"id": req["route_params"]["id"]})
    outer = calvenor.Group("/api")
    outer.include(inner)
    app = calvenor.App()
    app.include(outer, prefix="/x")
    assert TestClient(app).get("/x/api/v1/users/3").json() == {"id": 3}


def test_background_tasks_run_after_the_response_and_failures_are_only_logged(caplog):
    ran = []

    async def later(tag):
        ran.append(tag)

    app = calvenor.App()
    app.get("/sync")(lambda req: calvenor.Response("s", background=lambda: ran.append("sync")))
    app.get("/async")(lambda req: calvenor.JSONResponse({}, background=lambda: later("async")))
    app.get("/fail")(lambda req: calvenor.Response("f", background=lambda: 1 / 0))
    client = TestClient(app)
    assert [client.get(p).status_code for p in ("/sync", "/async", "/fail")] == [200, 200, 200]
    assert ran == ["sync", "async"]
    assert "ZeroDivisionError" in caplog.text


@pytest.mark.parametrize("option", ["gzip_min_size", "max_body_size"])
def test_a_size_that_is_not_a_whole_number_is_refused_when_the_app_is_made(option):
    with pytest.raises(TypeError):
        calvenor.App(**{option: 1024.0})



def lifespan_app(ran, fail=None):
    import contextlib

    @contextlib.asynccontextmanager
    async def lifespan(app):
        if fail == "lifespan":
            raise OSError("no database")
        ran.append("enter")
        try:
            yield
        finally:
            ran.append("exit")

    start = (lambda: 1 / 0) if fail == "hook" else (lambda: ran.append("start"))
    app = calvenor.App(lifespan=lifespan, on_startup=[start], on_shutdown=[lambda: ran.append("stop")])

    @app.on_startup
    async def warm():
        ran.append("async start")

    return app


def test_the_lifespan_encloses_the_sync_and_async_hooks_and_the_test_clients_with():
    ran = []
    with TestClient(lifespan_app(ran)):
        ran.append("test")
    assert ran == ["enter", "start", "async start", "test", "stop", "exit"]


@pytest.mark.parametrize("fail, message, ran_after", [
    ("lifespan", "OSError('no database')", []),
    ("hook", "ZeroDivisionError('division by zero')", ["enter", "exit"]),
], ids=["the lifespan raises", "a start-up hook raises: the lifespan is left"])
def test_a_failing_start_up_answers_failed_with_the_error(fail, message, ran_after):
    ran = []
    with pytest.raises(RuntimeError) as failed, TestClient(lifespan_app(ran, fail)):
        pass
    assert (str(failed.value), ran) == (f"lifespan startup failed: {message}", ran_after)
