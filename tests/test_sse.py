import asyncio

import pytest
from conftest import case
from fake_asgi import http_scope, run

from calvenor.sse import EventSourceResponse, format_event


@pytest.mark.parametrize("item, wire", [
    case("a str is the data", "hi", b"data: hi\n\n"),
    case("every line break splits data lines", "a\nb\r\nc\rd", b"data: a\ndata: b\ndata: c\ndata: d\n\n"),
    case("all four fields in a fixed order", {"data": "x", "event": "tick", "id": 7, "retry": 1500},
         b"event: tick\nid: 7\nretry: 1500\ndata: x\n\n"),
    case("non-str data is native JSON", {"data": {"n": [1, "<"]}}, b'data: {"n":[1,"\\u003c"]}\n\n'),
    case("an event without data", {"event": "only"}, b"event: only\n\n"),
])
def test_events_are_formatted_as_the_event_stream_format(item, wire):
    assert format_event(item) == wire


@pytest.mark.parametrize("item", [
    {"event": "a\nretry: 1"}, {"id": "1\r"}, {"id": "a\x00"}, {"retry": "soon"}, {"colour": "red"}, {},
], ids=["event with a newline", "id with a CR", "id with NUL", "retry not an int",
        "unknown field", "no field at all"])
def test_events_that_would_forge_or_lose_fields_are_refused(item):
    with pytest.raises(ValueError):
        format_event(item)


async def late():
    await asyncio.sleep(0.35)
    yield "late"


@pytest.mark.parametrize("ping, pings", [(0.1, range(2, 4)), (None, [0])],
                         ids=["a comment every ping seconds of silence", "None turns pings off"])
def test_silence_is_filled_with_ping_comments(ping, pings):
    sent = run(EventSourceResponse(late(), ping=ping), http_scope())
    headers = dict(sent[0]["headers"])
    assert headers[b"content-type"].startswith(b"text/event-stream")
    assert headers[b"cache-control"] == b"no-cache" and headers[b"x-accel-buffering"] == b"no"
    bodies = [m["body"] for m in sent[1:]]
    assert bodies[-2:] == [b"data: late\n\n", b""]
    assert set(bodies[:-2]) <= {b": ping\n\n"} and len(bodies) - 2 in pings


def test_a_disconnect_while_waiting_for_an_event_closes_the_source():
    closed = []

    async def quiet():
        try:
            await asyncio.sleep(60)
            yield "never"
        finally:
            closed.append(True)

    sent = run(EventSourceResponse(quiet(), ping=0.05), http_scope(), disconnect_after=0.2)
    assert closed == [True]
    assert 2 <= len(sent) <= 6 and sent[-1].get("more_body")
