"""Async handlers run inside dispatch until they first wait; requests with a body are served by
the core once read. What a handler sees and what is sent must not depend on either."""
import asyncio
import json

import pytest

import calvenor


def app_that_waits(wait):
    app, group = calvenor.App(), calvenor.Group("/g")
    app.cors(["https://a.test"])
    group.exception_handler(409)(lambda req, exc: calvenor.JSONResponse({"refused": req["route_params"]["n"]}, 409))

    @group.route("/{n:int}", ["GET", "POST"])
    async def handler(req):
        if wait:
            await asyncio.sleep(0)
        if req["route_params"]["n"] == 0:
            raise calvenor.HTTPError(409)
        r = calvenor.request(req)
        return {"n": req["route_params"]["n"], "client": r.client.host, "url": r.url, "body": r.body.decode()}

    app.include(group)
    return app


async def call(app, method, path, body=b""):
    sent = []
    headers = [(b"origin", b"https://a.test")] + ([(b"content-length", b"%d" % len(body))] if body else [])
    scope = {"type": "http", "http_version": "1.1", "method": method, "path": path, "query_string": b"",
             "headers": headers, "server": ("h", 80), "client": ("10.0.0.1", 9)}
    await app(scope, lambda: asyncio.sleep(0, {"type": "http.request", "body": body}),
              lambda message: asyncio.sleep(0, sent.append(message)))
    return sent[0]["status"], dict(sent[0]["headers"]), sent[1]["body"]


@pytest.mark.parametrize("wait", [False, True], ids=["returning at once", "after waiting"])
@pytest.mark.parametrize("method, n, body", [("GET", 7, b""), ("POST", 7, b"hi"), ("HEAD", 7, b""), ("GET", 0, b""),
                                             ("POST", 0, b"hi")],
                         ids=["GET", "POST with a body", "HEAD", "HTTPError", "HTTPError after a body"])
def test_an_async_handler_sees_its_connection_and_gets_cors_and_its_group_handlers(wait, method, n, body):
    app = app_that_waits(wait)
    status, headers, got = asyncio.run(call(app, method, f"/g/{n}", body))
    full = asyncio.run(call(app, "GET", f"/g/{n}"))[2] if method == "HEAD" else got
    answer = {"n": n, "client": "10.0.0.1", "url": f"http://h/g/{n}", "body": body.decode()} if n else {"refused": 0}
    assert (status, headers[b"access-control-allow-origin"]) == (200 if n else 409, b"https://a.test")
    assert (json.loads(full), headers[b"content-length"], got) == (answer, b"%d" % len(full), full * (method != "HEAD"))


@pytest.mark.parametrize("sleep_first", [False, True], ids=["at its first wait", "at a later wait"])
def test_cancelling_the_request_cancels_the_waiting_handler(sleep_first):
    app, seen = calvenor.App(), []

    @app.get("/")
    async def forever(req):
        if sleep_first:
            await asyncio.sleep(0)
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise

    async def main():
        task = asyncio.ensure_future(call(app, "GET", "/"))
        await asyncio.sleep(0.01)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)

    asyncio.run(main())
    assert seen == ["cancelled"]
