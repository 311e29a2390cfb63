"""The example app served by a real uvicorn on a loopback port, driven over HTTP."""
import os

import pytest
from conftest import case, raw_request

httpx = pytest.importorskip("httpx")
pytest.importorskip("uvicorn")
from servers import ROOT, serving  # noqa: E402


@pytest.fixture(scope="module")
def server():
    with serving("app:app", app_dir=ROOT / "examples") as served:
        yield served


@pytest.fixture(scope="module")
def client(server):
    with httpx.Client(base_url=server.url, timeout=10, follow_redirects=False) as c:
        yield c


def test_a_route_of_the_example_app(client):
    # its hooks, mount and JSONResponse are checked by the tests below and in-process
    r = client.get("/users/42")
    assert (r.status_code, r.json()) == (200, {"id": "42", "name": "user 42"})
    assert int(r.headers["content-length"]) == len(r.content)


@pytest.mark.parametrize("request_bytes", [
    case("raw invalid UTF-8 in the path", b"GET /users/\xff\xfe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
    case("a huge header", b"GET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n"),
])
def test_malformed_requests_get_an_answer_and_the_server_goes_on(server, client, request_bytes):
    # Whether such a request is refused (400, 431) or served depends on the server's HTTP
    # parser; either way it gets a well-formed answer and the server keeps serving.
    reply = raw_request(server.port, request_bytes)
    status = int(reply.split(b" ", 2)[1])
    assert reply.startswith(b"HTTP/1.1 ") and status in (200, 400, 404, 431)
    assert client.get("/hello").status_code == 200


def test_a_5_mb_upload_and_bodies_over_the_limit(client):
    r = client.post("/upload", data={"title": "holiday", "note": "\u00e9"},
                    files={"photo": ("sea.jpg", os.urandom(5 << 20), "image/jpeg")})
    assert r.json() == {"fields": ["note", "title"],
                        "files": {"photo": [{"filename": "sea.jpg", "content_type": "image/jpeg", "size": 5 << 20}]}}
    assert client.post("/echo", content=b"x" * ((8 << 20) + 1)).status_code == 413
    # without content-length: sent chunked, so only the bytes received tell
    assert client.post("/echo", content=(b"x" * (1 << 20) for _ in range(9))).status_code == 413
    assert client.get("/hello").status_code == 200


MIDDLEWARE_APP = '''
import calvenor
from starlette.applications import Starlette
from starlette.responses import JSONResponse
from starlette.routing import Route
from uvicorn.middleware.proxy_headers import ProxyHeadersMiddleware

started = []
app = calvenor.App(on_startup=[lambda: started.append(1)])
app.get("/started")(lambda req: {"started": len(started)})
app.mount("/st", Starlette(routes=[Route("/who", lambda r: JSONResponse(
    {"client": r.client.host, "scheme": r.url.scheme, "root": r.scope["root_path"]}))]))
app.add_middleware(ProxyHeadersMiddleware, trusted_hosts="127.0.0.1")
'''


def test_a_middleware_and_a_mounted_starlette_app(tmp_path):
    pytest.importorskip("starlette")
    (tmp_path / "proxied.py").write_text(MIDDLEWARE_APP)
    with serving("proxied:app", app_dir=tmp_path) as served:
        forwarded = {"x-forwarded-for": "203.0.113.9", "x-forwarded-proto": "https"}
        assert httpx.get(served.url + "/st/who", headers=forwarded).json() == {
            "client": "203.0.113.9", "scheme": "https", "root": "/st"}
        assert httpx.get(served.url + "/started").json() == {"started": 1}  # lifespan got through
