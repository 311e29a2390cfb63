"""Faults found in review: each test failed before its fix."""
import asyncio

import pytest

import calvenor
from calvenor.testing import TestClient

app = calvenor.App()
app.get("/{name}/x/")(lambda req: calvenor.request(req).url)
app.get("/list")(lambda req: [1])


@app.get("/waits")
async def waits(req):
    await asyncio.sleep(0)
    return [2]


@app.get("/calls-self{path:path}")
async def calls_self(req):
    """Calls its own app before its first wait, as an in-process sub-request does."""
    sent = []

    async def receive():
        return {"type": "http.request", "body": b""}

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": "GET", "path": req["route_params"]["path"], "query_string": b"",
             "headers": [], "http_version": "1.1", "root_path": ""}
    await app(scope, receive, send)
    return {"status": sent[0]["status"], "body": sent[1]["body"].decode()}


@pytest.mark.parametrize("root_path", ["/", "/api/"], ids=["root slash", "root with trailing slash"])
def test_a_root_path_ending_in_a_slash_never_doubles_it_in_redirects_or_urls(root_path):
    client = TestClient(app, root_path=root_path)
    redirect = client.get("/evil.com/x", follow_redirects=False)
    assert redirect.headers["location"] == root_path.rstrip("/") + "/evil.com/x/"  # never "//evil.com/..."
    assert client.get("/evil.com/x/").text == "http://testserver" + root_path.rstrip("/") + "/evil.com/x/"


@pytest.mark.parametrize("path, body", [("/list", "[1]"), ("/waits", "[2]")],
                         ids=["inner result held", "inner handler waits"])
def test_an_async_handler_can_call_its_own_app_before_it_waits(path, body):
    assert TestClient(app).get("/calls-self" + path).json() == {"status": 200, "body": body}



built = []


@app.get("/later", name="later")
def later(req):
    r = calvenor.request(req)
    return calvenor.PlainTextResponse("", background=lambda: built.append(r.url_for("later")))


def test_a_sync_background_task_can_build_urls_from_route_names():
    TestClient(app, root_path="/api").get("/later")
    assert built == ["http://testserver/api/later"]


slash_root = calvenor.App()
slash_root.get("/")(lambda req: "index " + req["path"])
slash_root.get("/hello")(lambda req: "hello " + req["path"])
slash_root.mount("/m", lambda scope, receive, send: send_text(send, scope["root_path"] + " " + scope["path"]))


async def send_text(send, text):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": text.encode()})


@pytest.mark.parametrize("root, path, answer", [
    ("/", "/", "index /"),  # a server that takes the prefix off: no redirect to itself
    ("/", "/hello", "hello /hello"),
    ("/api/", "/api//hello", "hello /hello"),  # a server that joins root and path
    ("/api/", "/api/hello", "hello /hello"),
    ("/", "//m/x", "/m /m/x"),
], ids=lambda v: repr(v))
def test_a_root_path_with_its_trailing_slash_routes_the_path_below_it(root, path, answer):
    as_served = lambda scope, receive, send: slash_root({**scope, "root_path": root, "path": path}, receive, send)  # noqa: E731
    got = TestClient(as_served, follow_redirects=False).get("/")
    assert (got.status_code, got.text) == (200, answer)
