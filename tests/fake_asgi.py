"""Drive an ASGI app in-process and collect what it sends."""
import asyncio


def http_scope(path="/", method="GET", headers=(), **extra):
    return {"type": "http", "method": method, "path": path, "raw_path": path.encode(),
            "root_path": "", "query_string": b"", "headers": list(headers), **extra}


async def call(app, scope, disconnect_after=None):
    # receive() reports a disconnect after `disconnect_after` seconds, or never.
    sent = []

    async def receive():
        if disconnect_after is None:
            await asyncio.Event().wait()
        await asyncio.sleep(disconnect_after)
        return {"type": "http.disconnect"}

    async def send(message):
        sent.append(message)

    await app(scope, receive, send)
    return sent


def run(app, scope, disconnect_after=None):
    return asyncio.run(call(app, scope, disconnect_after))


def body_of(sent):
    return b"".join(m.get("body", b"") for m in sent[1:])


def finished(sent):
    return sent[-1]["type"] == "http.response.body" and not sent[-1].get("more_body")
