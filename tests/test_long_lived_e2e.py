"""Streams, files, static directories and WebSockets through real servers."""
import asyncio
import socket
import time

import pytest

httpx = pytest.importorskip("httpx")
pytest.importorskip("websockets")
from websockets.asyncio.client import connect  # noqa: E402
from websockets.exceptions import InvalidStatus  # noqa: E402

from conftest import raw_request  # noqa: E402
from servers import ROOT, serving  # noqa: E402

DATA = bytes(range(256)) * 12288  # 3 MiB: several chunks


@pytest.fixture(scope="module", params=["uvicorn", "granian"])
def served(request, tmp_path_factory):
    pytest.importorskip(request.param)
    files = tmp_path_factory.mktemp("files")
    (files / "big.bin").write_bytes(DATA)
    (files / "site").mkdir()
    (files / "site" / "index.html").write_text("<p>home</p>")
    (files.parent / "outside.txt").write_text("secret")
    with serving("long_lived:app", server=request.param, app_dir=ROOT / "tests" / "apps",
                 env={"FILES_DIR": str(files)}) as s:
        yield s


@pytest.fixture(scope="module")
def client(served):
    with httpx.Client(base_url=served.url, timeout=10) as c:
        yield c


def test_a_stream_arrives_in_order(client):
    # event framing and pings are checked in-process in test_sse
    with client.stream("GET", "/stream/200") as r:
        assert r.headers["content-type"] == "text/plain; charset=utf-8"
        assert "".join(r.iter_text()) == "".join(f"{i}\n" for i in range(200))


def test_clients_leaving_mid_stream_leave_no_task_or_file_behind(client, served):
    before = client.get("/state").json()
    for path in ["/endless", "/file"] * 5:
        with socket.create_connection(("127.0.0.1", served.port)) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nhost: x\r\n\r\n".encode())
            s.recv(1000)
    deadline = time.monotonic() + 10  # the server notices each disconnect in its own time
    while True:
        after = client.get("/state").json()
        if after["streams"] >= before["streams"] + 5 and after["fds"] <= before["fds"] \
                and after["tasks"] <= before["tasks"]:
            break
        assert time.monotonic() < deadline, (before, after)
        time.sleep(0.05)


def test_a_file_of_several_chunks_over_the_wire(client):
    # ranges, validators and the disposition are checked in-process in test_files
    assert client.get("/file").content == DATA


@pytest.mark.parametrize("target, status", [
    ("/static/big.bin", 200),
    ("/static/site", 307),
    ("/static/%2e%2e/outside.txt", 404),
    ("/static/site%2F..%2F..%2F..%2Foutside.txt", 404),
    ("/static/..%5coutside.txt", 404),
], ids=["file", "directory redirect", "encoded dots", "encoded slashes", "encoded backslash"])
def test_static_files_over_the_wire(served, target, status):
    reply = raw_request(served.port, f"GET {target} HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n".encode())
    assert reply.split(b" ", 2)[1] == str(status).encode(), reply[:300]
    assert b"secret" not in reply and b"root:" not in reply


def test_websockets(served):
    url = served.url.replace("http", "ws")

    async def main():
        async with connect(url + "/ws/blue") as ws:
            await ws.send("hi")
            assert await ws.recv() == "blue: hi"
            await ws.send(b"\x00\x01")
            assert await ws.recv() == b"\x00\x01"
        with pytest.raises(InvalidStatus) as info:
            async with connect(url + "/nowhere"):
                pass
        assert info.value.response.status_code == 403

    asyncio.run(main())
