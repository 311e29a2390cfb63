"""The served-app ceiling for benchmarks/bench_wrk.sh: an ASGI app with no framework that
answers every request with one constant JSON body, the size of calvenor's /users/42 reply."""

BODY = b'{"id":"42","name":"user 42"}'
HEADERS = [(b"content-type", b"application/json"), (b"content-length", b"%d" % len(BODY))]


async def app(scope, receive, send):
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200, "headers": HEADERS})
        await send({"type": "http.response.body", "body": BODY})
    elif scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
