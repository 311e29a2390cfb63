"""What a handler learns of its connection on every path, exception handlers keyed by status, app.state."""
import asyncio
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import calvenor
from conftest import case

SCOPE = {"type": "http", "http_version": "1.1", "scheme": "https", "server": ("example.org", 8443),
         "client": ("10.0.0.7", 4321), "root_path": "/api", "query_string": b""}


def serve(app, path, method="GET", headers=(), body=b"", **extra):
    sent = []
    receive = lambda: asyncio.sleep(0, {"type": "http.request", "body": body, "more_body": False})  # noqa: E731
    send = lambda message: asyncio.sleep(0, sent.append(message))  # noqa: E731
    asyncio.run(app({**SCOPE, "method": method, "path": path, "headers": list(headers), **extra}, receive, send))
    return sent[0]["status"], dict(sent[0]["headers"]), b"".join(m.get("body", b"") for m in sent[1:])


def seen(req, exc=None):
    return calvenor.PlainTextResponse("{0.client} {0.url} {0.base_url}".format(calvenor.request(req)))


async def seen_async(req):
    return seen(req)


def connection_app():
    app = calvenor.App(max_body_size=4)
    app.route("/i", ["GET", "POST"])(seen)
    app.get("/async")(seen_async)
    app.get("/fails")(lambda req: {}[0])
    app.get("/n/{n:int}")(seen)
    for key in (KeyError, 404, 413):
        app.exception_handler(key)(seen)
    return app


@pytest.mark.parametrize("path, method, headers, query", [
    case("the native plain path", "/i", "GET", [], b""),
    case("a request with a body", "/i", "POST", [(b"content-length", b"2")], b""),
    case("a query that is not UTF-8", "/i", "GET", [], b"q=%FF\xff"),
    case("an async handler", "/async", "GET", [], b""),
    case("an error handler", "/fails", "GET", [], b""),
    case("a miss answered by a 404 handler", "/nowhere", "GET", [], b""),
    case("a converter's refusal answered by a 404 handler", "/n/x", "GET", [], b""),
    case("a body too large answered by a 413 handler", "/i", "POST", [(b"content-length", b"99")], b""),
])
def test_every_path_sees_the_same_connection(path, method, headers, query):
    status, _, body = serve(connection_app(), path, method, headers, b"{}", query_string=query)
    url = f"https://example.org:8443/api{path}" + ("?q=%FF%FF" if query else "")
    assert body.decode() == f"Address(host='10.0.0.7', port=4321) {url} https://example.org:8443/api/"


def test_url_takes_the_host_header_and_a_kept_dict_has_no_scope_after_its_response():
    kept, later = [], []
    app = calvenor.App()
    app.get("/keep")(lambda req: kept.append(req) or "kept")
    app.route("/later", ["GET", "POST"])(lambda req: later.append(calvenor.request(kept[0]).scope) or "ok")
    app.get("/url")(lambda req: calvenor.request(req).url)
    assert serve(app, "/url", headers=[(b"host", b"h:81")], query_string=b"a=1 2")[2] == b"https://h:81/api/url?a=1%202"
    serve(app, "/keep")
    serve(app, "/later")
    serve(app, "/later", "POST", [(b"content-length", b"0")])
    assert later == [None, None] and calvenor.request(kept[0]).scope is None


def test_a_nested_dispatch_restores_the_outer_request():
    inner, outer = calvenor.App(), calvenor.App()
    inner.get("/in")(lambda req: str(calvenor.request(req).client))
    inner_scope = {**SCOPE, "method": "GET", "path": "/in", "headers": [], "client": ("inner", 1)}
    nested = lambda req: inner.core.serve_request(inner_scope, 99)[1]["body"].decode()  # noqa: E731
    outer.get("/out")(lambda req: [nested(req), calvenor.request(req).client])
    assert serve(outer, "/out")[2] == b'["Address(host=\'inner\', port=1)",["10.0.0.7",4321]]'


def test_two_threads_each_see_their_own_clients():
    def run(name):
        app = calvenor.App()
        # Sleeping lets the other thread dispatch between this one's dispatch and its look-up.
        app.get("/c")(lambda req: time.sleep(0.0002) or str(calvenor.request(req).client))
        return {serve(app, "/c", client=(name, 1))[2] for _ in range(200)}

    with ThreadPoolExecutor(2) as pool:
        seen_by = list(pool.map(run, ["one", "two"]))
    assert seen_by == [{b"Address(host='one', port=1)"}, {b"Address(host='two', port=1)"}]


Gone = type("Gone", (calvenor.HTTPError,), {})


def fail(req):
    raise {"404": calvenor.HTTPError(404), "gone": Gone(404), "418": calvenor.HTTPError(418),
           "item": calvenor.HTTPException(status_code=404, detail="Item not found"),
           "bug": ZeroDivisionError("bug")}[req["route_params"]["k"]]


def status_app():
    app, group = calvenor.App(), calvenor.Group()
    app.exception_handler(404)(lambda req, exc: calvenor.JSONResponse({"detail": exc.detail}, exc.status_code))
    app.exception_handler(405)(lambda req, exc: calvenor.JSONResponse({"detail": exc.detail}, 405))
    app.exception_handler(500)(lambda req, exc: calvenor.JSONResponse({"error": repr(exc)}, 500))
    app.exception_handler(calvenor.HTTPError)(lambda req, exc: "class")
    app.exception_handler(Gone)(lambda req, exc: "subclass")
    group.exception_handler(calvenor.HTTPError)(lambda req, exc: "group")

    for routes, prefix in ((app, "/e"), (group, "/g")):
        routes.post(prefix + "/{k}")(fail)
    app.include(group)
    return app


@pytest.mark.parametrize("method, path, status, body, allow", [
    case("a status handler comes before one for HTTPError", "POST", "/e/404", 404, b'{"detail":"Not Found"}', None),
    case("HTTPException takes Starlette's keywords", "POST", "/e/item", 404, b'{"detail":"Item not found"}', None),
    case("a 500 handler answers what no other handler takes", "POST", "/e/bug", 500,
         b'{"error":"ZeroDivisionError(\'bug\')"}', None),
    case("a handler for a subclass comes before the status", "POST", "/e/gone", 200, b"subclass", None),
    case("other statuses go to the class handler", "POST", "/e/418", 200, b"class", None),
    case("a group's own handlers come first", "POST", "/g/404", 200, b"group", None),
    case("a 405 handler's answer keeps Allow", "GET", "/e/404", 405, b'{"detail":"Method Not Allowed"}',
         b"OPTIONS, POST"),
])
def test_exception_handlers_keyed_by_status(method, path, status, body, allow):
    got = serve(status_app(), path, method, [(b"content-length", b"0")] if method == "POST" else [])
    assert (got[0], got[2], got[1].get(b"allow")) == (status, body, allow)


def test_state_is_each_apps_own():
    app = calvenor.App()
    app.state.db = "db"
    assert app.state.db == "db" and not hasattr(calvenor.App().state, "db")
