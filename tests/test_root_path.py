"""An app served under a root_path routes on the path below it, on every path through the layer."""
import pytest
from starlette.applications import Starlette
from starlette.routing import Mount

import calvenor
from calvenor.testing import TestClient
from conftest import case


def seen(req):  # what a handler learns of where it is
    r = calvenor.request(req)
    return {"path": r.path, "url": r.url, "for": r.url_for("user", id=7), "body": r.body.decode()}


child = calvenor.App()
child.get("/x", name="x")(seen)
child.get("/users/{id}", name="user")(lambda req: "")
app = calvenor.App()
app.get("/users/{id}", name="user")(seen)
app.post("/echo")(seen)
app.get("/hello")(lambda req: "hi")
app.get("/")(lambda req: "root")
app.get("/dir/")(lambda req: "dir")
app.mount("/sub", child, name="sub")
app.websocket("/ws")(lambda ws: ws.close(1000 + len(ws.path)))  # "/ws": 1003
SEEN = {"path": "/users/42", "url": "http://testserver/api/users/42", "for": "http://testserver/api/users/7",
        "body": ""}


@pytest.mark.parametrize("serve", [app, app._serve_general], ids=["served", "general"])
@pytest.mark.parametrize("method, path, status, answer", [
    case("a dict result sees the path below the root and the whole URL", "GET", "/api/users/42", 200, SEEN),
    case("a str result", "GET", "/api/hello", 200, "hi"),
    case("a request with a body", "POST", "/api/echo", 200,
         {**SEEN, "path": "/echo", "url": "http://testserver/api/echo", "body": "abc"}),
    case("a miss is 404", "GET", "/api/api/hello", 404, "Not Found"),
    case("another method is 405", "DELETE", "/api/hello", 405, "Method Not Allowed"),
    case("another method with a body is 405 too", "POST", "/api/hello", 405, "Method Not Allowed"),
    case("the slash redirect keeps the root", "GET", "/api/dir?q=1", 307, "/api/dir/?q=1"),
    case("the root itself redirects to the root with a slash", "GET", "/api", 307, "/api/"),
    case("a path not under the root is routed whole, as older servers give it", "GET", "/hello", 200, "hi"),
    case("a root that is only the start of a segment is not stripped", "GET", "/apihello", 404, "Not Found"),
    case("a mounted App routes below the mount", "GET", "/api/sub/x", 200, {"path": "/x", "body": "",
         "url": "http://testserver/api/sub/x", "for": "http://testserver/api/sub/users/7"}),
])
def test_an_app_under_a_root_path(serve, method, path, status, answer):
    under_api = lambda scope, receive, send: serve({**scope, "root_path": "/api"}, receive, send)  # noqa: E731
    body = b"abc" if method == "POST" else None  # a GET without one takes the served path
    r = TestClient(under_api, follow_redirects=False).request(method, path, content=body)
    json = r.headers.get("content-type", "").startswith("application/json")
    assert (r.status_code, r.headers.get("location") or (r.json() if json else r.text)) == (status, answer)


def test_a_websocket_under_the_root_and_a_mounted_app_in_starlette():
    client = TestClient(app, root_path="/api")
    with pytest.raises(calvenor.WebSocketDisconnect) as closed, client.websocket_connect("/ws"):
        pass
    assert closed.value.code == 1003
    assert TestClient(Starlette(routes=[Mount("/c", app=child)])).get("/c/x").json()["url"] == "http://testserver/c/x"
    assert app.url_path_for("sub:x") == "/sub/x"
