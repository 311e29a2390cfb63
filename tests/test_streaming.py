import asyncio
import inspect
import logging
import threading
import time

import pytest
from fake_asgi import body_of, call, finished, http_scope, run

from calvenor.streaming import StreamingResponse


def sync_chunks():
    yield "a"
    yield b"b"


async def async_chunks():
    yield "a"
    await asyncio.sleep(0)
    yield b"b"


@pytest.mark.parametrize("content", [sync_chunks, async_chunks, lambda: ["a", b"b"]],
                         ids=["a sync generator", "an async generator", "a list"])
def test_each_chunk_goes_out_as_its_own_message_then_the_body_ends(content):
    sent = run(StreamingResponse(content(), media_type="text/plain"), http_scope())
    assert sent[0]["headers"] == [(b"content-type", b"text/plain; charset=utf-8")]
    assert [m["body"] for m in sent[1:]] == [b"a", b"b", b""]
    assert finished(sent)


def test_a_sync_iterator_runs_off_the_event_loop():
    async def main():
        start = time.monotonic()
        ticker = asyncio.create_task(asyncio.sleep(0.01, None))
        ticker.add_done_callback(lambda _: ticked.append(time.monotonic() - start))
        await call(StreamingResponse(time.sleep(0.3) or b"x" for _ in range(1)), http_scope())

    ticked = []
    asyncio.run(main())
    assert ticked[0] < 0.2


def endless_sync(log):
    try:
        while True:
            time.sleep(0.01)
            yield b"."
    finally:
        log.append(threading.current_thread() is not threading.main_thread())


async def endless_async(log):
    try:
        while True:
            await asyncio.sleep(0.01)
            yield b"."
    finally:
        log.append(True)


@pytest.mark.parametrize("source", [endless_sync, endless_async],
                         ids=["sync generator closed in its thread", "async generator closed"])
def test_a_client_disconnect_closes_the_iterator_and_leaves_no_task(source):
    closed = []

    async def main():
        sent = await asyncio.wait_for(call(StreamingResponse(source(closed)), http_scope(), 0.1), 5)
        await asyncio.sleep(0.05)  # a sync generator's last next() returns, then it closes
        return sent, asyncio.all_tasks() - {asyncio.current_task()}

    sent, tasks = asyncio.run(main())
    assert closed == [True]
    assert not tasks
    assert 1 < len(sent) < 30 and not finished(sent)


def test_an_exception_mid_stream_is_logged_and_the_body_is_left_unfinished(caplog):
    ran = []

    def broken():
        yield b"first"
        raise RuntimeError("disk on fire")

    with caplog.at_level(logging.ERROR, "calvenor"):
        sent = run(StreamingResponse(broken(), background=lambda: ran.append(1)), http_scope())
    assert body_of(sent) == b"first" and not finished(sent)
    assert "disk on fire" in caplog.text
    assert ran == []  # the response was not sent, so no background task


def test_head_sends_headers_only_closes_the_iterator_and_then_runs_the_background_task():
    ran = []
    source = endless_async([])
    sent = run(StreamingResponse(source, background=lambda: ran.append(1)), http_scope(method="HEAD"))
    assert body_of(sent) == b"" and finished(sent)
    assert inspect.getasyncgenstate(source) == inspect.AGEN_CLOSED and ran == [1]


def test_a_server_cancelling_the_response_mid_stream_is_not_taken_for_a_disconnect():
    closed = []

    async def main():
        task = asyncio.create_task(call(StreamingResponse(endless_async(closed)), http_scope()))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return asyncio.all_tasks() - {asyncio.current_task()}

    assert not asyncio.run(main())
    assert closed == [True]
