"""The example app served by a real uvicorn on a loopback port, driven over HTTP."""
import gzip
import json
import os
import socket
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

httpx = pytest.importorskip("httpx")
pytest.importorskip("uvicorn")

ROOT = Path(__file__).resolve().parent.parent
ALLOWED = "https://app.example"


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextmanager
def serving(log_path: Path):
    port = _free_port()
    path = [*filter(None, [os.environ.get("PYTHONPATH")]), str(ROOT / "python")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "--app-dir", str(ROOT / "examples"), "app:app",
             "--host", "127.0.0.1", "--port", str(port), "--no-access-log"],
            env=env, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT,
        )
    try:
        deadline = time.monotonic() + 20
        while True:
            assert proc.poll() is None, log_path.read_text()
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, "server did not start"
                time.sleep(0.05)
        yield f"http://127.0.0.1:{port}", port, proc
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    log_path = tmp_path_factory.mktemp("e2e") / "server.log"
    with serving(log_path) as (url, port, _):
        yield url, port, log_path


@pytest.fixture(scope="module")
def client(server):
    with httpx.Client(base_url=server[0], timeout=10) as c:
        yield c


def raw_request(port: int, data: bytes) -> bytes:
    """Send bytes as they are and read the reply until the server closes."""
    chunks = []
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        try:  # the server may close on a request it refuses before reading all of it
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        try:  # what it answered before the reset is still readable
            while chunk := s.recv(65536):
                chunks.append(chunk)
        except ConnectionResetError:
            pass
    return b"".join(chunks)


@pytest.mark.parametrize(
    "method, path, status, body",
    [
        ("GET", "/users/42", 200, {"id": "42", "name": "user 42"}),
        ("GET", "/hello", 200, "Hello, world!"),
        ("GET", "/health", 200, {"ready": True}),
        ("GET", "/search?q=tea+time&q=%C3%A9", 200, {"query": {"q": ["tea time", "é"]}}),
        ("GET", "/async/users/7", 200, {"id": "7", "async": True}),
        ("GET", "/nope", 404, "Not Found"),
        ("POST", "/users/42", 404, "Not Found"),
        ("DELETE", "/users/42", 403, "Users cannot be deleted here"),
    ],
    ids=[
        "a parameter route answers JSON",
        "a text route answers UTF-8 text",
        "the startup hook ran before the first request",
        "the query string is decoded on demand",
        "an async handler is awaited",
        "an unknown path is 404",
        "a known path with another method is 404",
        "a handler chooses its status with HTTPError",
    ],
)
def test_routes(client, method, path, status, body):
    r = client.request(method, path)
    assert r.status_code == status
    if isinstance(body, dict):
        assert r.headers["content-type"] == "application/json; charset=utf-8"
        assert r.json() == body
    else:
        assert r.headers["content-type"] == "text/plain; charset=utf-8"
        assert r.text == body
    assert int(r.headers["content-length"]) == len(r.content)


@pytest.mark.parametrize(
    "request_bytes",
    [
        b"GET /users/\xff\xfe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
        b"GET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n",
    ],
    ids=["raw invalid UTF-8 in the path", "a huge header"],
)
def test_malformed_requests_get_an_answer_and_the_server_goes_on(server, client, request_bytes):
    # Whether such a request is refused (400, 431) or served depends on the server's HTTP
    # parser; either way it gets a well-formed answer and the server keeps serving.
    reply = raw_request(server[1], request_bytes)
    status = int(reply.split(b" ", 2)[1])
    assert reply.startswith(b"HTTP/1.1 ") and status in (200, 400, 404, 431)
    assert client.get("/hello").status_code == 200


@pytest.mark.parametrize(
    "origin, allowed",
    [(ALLOWED, True), ("https://APP.example", False)],
    ids=["a listed origin is allowed", "an origin in other case is refused"],
)
def test_cors(client, origin, allowed):
    preflight = client.options(
        "/users/1", headers={"origin": origin, "access-control-request-method": "PUT"}
    )
    simple = client.get("/users/1", headers={"origin": origin})
    assert simple.status_code == 200
    if allowed:
        assert preflight.status_code == 204
        assert preflight.headers["access-control-allow-origin"] == origin
        assert preflight.headers["access-control-allow-methods"] == "GET,POST,PUT,DELETE,OPTIONS,PATCH"
        assert preflight.headers["access-control-max-age"] == "3600"
        assert preflight.content == b""
        assert simple.headers["access-control-allow-origin"] == origin
        assert "origin" in simple.headers["vary"]
    else:
        assert preflight.status_code == 404  # no OPTIONS route: the route table answers
        assert "access-control-allow-origin" not in preflight.headers
        assert "access-control-allow-origin" not in simple.headers


def test_no_cors_headers_without_an_origin(client):
    assert "access-control-allow-origin" not in client.get("/users/1").headers


@pytest.mark.parametrize(
    "path, accept, compressed",
    [
        ("/big", "br;q=1.0, gzip;q=0.5", True),
        ("/big", "gzip;q=0", False),
        ("/hello", "gzip", False),
    ],
    ids=[
        "a large body is gzipped when the client takes gzip",
        "q=0 refuses gzip",
        "a small body is never gzipped",
    ],
)
def test_gzip(server, path, accept, compressed):
    with httpx.stream("GET", server[0] + path, headers={"accept-encoding": accept}) as r:
        wire = b"".join(r.iter_raw())  # as sent, not decoded by the client
    assert r.status_code == 200
    assert int(r.headers["content-length"]) == len(wire)
    if compressed:
        assert r.headers["content-encoding"] == "gzip"
        assert wire[:10] == bytes.fromhex("1f8b08000000000004ff")
        wire = gzip.decompress(wire)
    else:
        assert "content-encoding" not in r.headers
    if path == "/big":
        assert "accept-encoding" in r.headers["vary"]
        assert json.loads(wire)["items"][1999]["id"] == 1999


def test_json_echo(client):
    r = client.post("/echo", content=b'{"b": [1, 2.5, null], "a": "<x>"}')
    assert r.status_code == 200
    assert r.json() == {"echo": {"a": "<x>", "b": [1, 2.5, None]}}
    assert b"\\u003cx\\u003e" in r.content  # HTML-safe JSON out


def test_json_body_error_is_400_with_the_decoder_message(client):
    r = client.post("/echo", content=b'{"a": 1,}')
    assert r.status_code == 400
    assert r.text == "Invalid JSON: trailing comma at line 1 column 9"


def test_multipart_upload_of_5_mb(client):
    data = os.urandom(5 << 20)
    r = client.post(
        "/upload",
        data={"title": "holiday", "note": "é"},
        files={"photo": ("sea.jpg", data, "image/jpeg"), "doc": ("a.txt", b"hi", "text/plain")},
    )
    assert r.status_code == 200
    assert r.json() == {
        "fields": ["note", "title"],
        "files": {
            "photo": [{"filename": "sea.jpg", "content_type": "image/jpeg", "size": 5 << 20}],
            "doc": [{"filename": "a.txt", "content_type": "text/plain", "size": 2}],
        },
    }


@pytest.mark.parametrize(
    "content_type, body",
    [
        ("multipart/form-data; boundary=XyZ",
         b'--XyZ\r\nContent-Disposition: form-data; name="f"; filename="a.bin"\r\n\r\nhalf a fi'),
        ("application/json", b"{}"),
        ("multipart/form-data", b"--XyZ--\r\n"),
    ],
    ids=["a body cut before its closing delimiter", "a body that is not a form", "a form content type without boundary"],
)
def test_bad_uploads_are_400(client, content_type, body):
    r = client.post("/upload", content=body, headers={"content-type": content_type})
    assert r.status_code == 400
    assert r.text


def test_body_over_the_limit_is_413(client):
    r = client.post("/echo", content=b"x" * ((8 << 20) + 1))
    assert r.status_code == 413
    assert client.get("/hello").status_code == 200


def test_handler_exception_is_500_without_traceback_and_is_logged(server, client):
    r = client.get("/fail")
    assert r.status_code == 500
    assert r.text == "Internal Server Error"
    assert client.get("/users/1").status_code == 200
    log = server[2].read_text()
    assert "Traceback" in log and "ZeroDivisionError" in log


def test_lifespan_hooks_run_at_start_and_stop(tmp_path):
    log_path = tmp_path / "server.log"
    with serving(log_path) as (url, _, proc):
        assert httpx.get(url + "/health").json() == {"ready": True}
    log = log_path.read_text()
    assert log.index("example app started") < log.index("example app stopped")
