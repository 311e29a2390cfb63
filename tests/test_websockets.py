import asyncio
import logging
from types import SimpleNamespace

import pytest

from calvenor.websockets import WebSocket, WebSocketDisconnect, serve_websocket


def converse(handler, incoming, params=None, query=b""):
    """Serve one connection whose client sends `incoming` (then disconnects with 1001 unless
    a disconnect is already among them); returns what the server sent."""
    messages = [{"type": "websocket.connect"}, *incoming]
    if not any(m["type"] == "websocket.disconnect" for m in messages):
        messages.append({"type": "websocket.disconnect", "code": 1001})
    sent = []

    async def receive():
        return messages.pop(0)

    async def send(message):
        sent.append(message)

    scope = {"type": "websocket", "path": "/ws", "query_string": query, "extensions": {},
             "headers": [(b"x-room-key", b"k1")], "subprotocols": ["chat"]}
    routes = SimpleNamespace(match_websocket=lambda p: (handler, params or {}))
    asyncio.run(serve_websocket(routes, scope, receive, send))
    return sent


def text(t):
    return {"type": "websocket.receive", "text": t}


def binary(b):
    return {"type": "websocket.receive", "bytes": b}


def test_echo_of_text_bytes_and_json_and_iteration_ends_when_the_client_closes():
    seen = []

    async def handler(ws: WebSocket):
        seen.append((ws.path_params, ws.headers["x-room-key"], ws.query))
        await ws.accept(subprotocol="chat", headers={"x-server": "calvenor"})
        await ws.send_text(await ws.receive_text())
        await ws.send_bytes(await ws.receive_bytes())
        await ws.send_json(await ws.receive_json())
        seen.extend([m async for m in ws])

    sent = converse(handler, [text("hi"), binary(b"\x00\xff"), text('{"a": [1, "<"]}'), text("x"), binary(b"y")],
                    params={"room": 7}, query=b"a=1&a=%20two")
    assert sent[0] == {"type": "websocket.accept", "subprotocol": "chat", "headers": [(b"x-server", b"calvenor")]}
    assert [m.get("text", m.get("bytes")) for m in sent[1:4]] == ["hi", b"\x00\xff", '{"a":[1,"\\u003c"]}']
    assert seen == [({"room": 7}, "k1", {"a": ["1", " two"]}), "x", b"y"]
    assert len(sent) == 4  # the client closed: nothing more to send


@pytest.mark.parametrize("call", ["receive_text", "receive_bytes", "receive_json", "send_text"])
def test_a_client_disconnect_raises_websocket_disconnect_with_its_code(call):
    caught = []

    async def handler(ws):
        await ws.accept()
        with pytest.raises(WebSocketDisconnect):
            await ws.receive_text()
        try:
            await getattr(ws, call)(*(["x"] if call.startswith("send") else []))
        except WebSocketDisconnect as exc:
            caught.append(exc.code)
            raise

    sent = converse(handler, [{"type": "websocket.disconnect", "code": 1001}])
    assert caught == [1001] and [m["type"] for m in sent] == ["websocket.accept"]


def test_a_send_the_server_refuses_as_disconnected_raises_websocket_disconnect():
    async def send(message):
        if message["type"] == "websocket.send":
            raise OSError("gone")  # what a server on ASGI 2.4 does

    ws = WebSocket({"type": "websocket", "headers": []}, None, send)
    ws._connected = True
    asyncio.run(ws.accept())
    with pytest.raises(WebSocketDisconnect) as info:
        asyncio.run(ws.send_text("x"))
    assert info.value.code == 1006


@pytest.mark.parametrize("message, call, error", [
    (text("{nope"), "receive_json", "Invalid JSON: key must be a string at line 1 column 2"),
    (binary(b"[1,"), "receive_json", "Invalid JSON: EOF while parsing a value at line 1 column 3"),
    (text("[" * 10000), "receive_json", "Invalid JSON: recursion limit exceeded at line 1 column 128"),
    (binary(b"\xff\xfe"), "receive_text", "WebSocket message is not valid UTF-8"),
], ids=["bad JSON text", "truncated JSON bytes", "JSON nested past the decoder's limit",
        "binary that is not UTF-8 read as text"])
def test_undecodable_messages_raise_in_the_handler_and_left_uncaught_close_1007_unlogged(message, call, error,
                                                                                        caplog):
    errors = []

    async def handler(ws):
        await ws.accept()
        try:
            await getattr(ws, call)()
        except ValueError as exc:
            errors.append(str(exc))
        await ws.send_text(await ws.receive_text())
        await getattr(ws, call)()

    with caplog.at_level(logging.ERROR, "calvenor"):
        sent = converse(handler, [message, text("still here"), message])
    assert errors[0].startswith(error)
    assert sent[1] == {"type": "websocket.send", "text": "still here"}
    assert sent[-1] == {"type": "websocket.close", "code": 1007, "reason": ""} and caplog.text == ""


def test_a_handler_exception_closes_with_1011_and_is_logged(caplog):
    async def handler(ws):
        await ws.accept()
        raise RuntimeError("broken handler")

    with caplog.at_level(logging.ERROR, "calvenor"):
        sent = converse(handler, [])
    assert sent[-1] == {"type": "websocket.close", "code": 1011, "reason": ""}
    assert "broken handler" in caplog.text



def client_app():
    import calvenor
    from calvenor.testing import TestClient

    app, seen = calvenor.App(), []

    @app.websocket("/ws/{room}")
    async def room(ws):
        await ws.accept(subprotocol="chat" if "chat" in ws.subprotocols else None)
        if ws.path_params["room"] == "early":
            raise KeyError("after accept")
        while True:
            try:
                message = await ws.receive_text()
            except WebSocketDisconnect as gone:
                await asyncio.sleep(0.01)  # leaving the session waits for this
                return seen.append(gone.code)
            await ws.send_json({"got": message, "key": ws.headers.get("x-room-key"), "q": ws.query})

    app.websocket("/fail")(lambda ws: {}["before accept"])
    return TestClient(app), seen


def test_a_test_client_session_exchanges_messages_and_leaving_it_disconnects_with_1000():
    client, seen = client_app()
    with client.websocket_connect("/ws/a?x=1", ["chat"], {"x-room-key": "k"}) as ws:
        assert ws.accepted_subprotocol == "chat"
        ws.send_json({"n": [1, 2]})
        assert ws.receive_json() == {"got": '{"n":[1,2]}', "key": "k", "q": {"x": ["1"]}}
        ws.send_bytes(b"hi")
        assert ws.receive_text() == '{"got":"hi","key":"k","q":{"x":["1"]}}'
    assert seen == [1000]


@pytest.mark.parametrize("path, receive, error", [
    ("/nowhere", False, WebSocketDisconnect), ("/fail", False, KeyError),
    ("/ws/early", True, KeyError), ("/ws/early", False, KeyError),
], ids=["a refused connection raises on entering", "a handler exception before accept, on entering",
        "after accept, from receive", "after accept, on leaving"])
def test_a_refusal_or_a_handler_exception_is_raised_in_the_test(path, receive, error):
    with pytest.raises(error), client_app()[0].websocket_connect(path) as ws:
        if receive:
            ws.receive_text()


def test_a_websocket_knows_its_client_and_url_under_a_root():
    import calvenor
    from calvenor.testing import TestClient

    app = calvenor.App()

    @app.websocket("/ws/{room}")
    async def where(ws):
        await ws.accept()
        await ws.send_json({"client": ws.client.host, "url": ws.url, "q": ws.query_params})

    with TestClient(app, root_path="/api").websocket_connect("/ws/a?x=1") as ws:
        assert ws.receive_json() == {"client": "testclient", "url": "ws://testserver/api/ws/a?x=1", "q": {"x": ["1"]}}
