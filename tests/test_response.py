"""Response: the record, its static constructors and attributes."""
import pytest

from calvenor._core import Response
from conftest import assert_raises_exactly, case

JSON_CT = "application/json; charset=utf-8"


def test_constructor_copies_the_body_into_one_bytes_object():
    ba = bytearray(b"a longer body that is not cached by the interpreter")
    r = Response(ba, 201, "text/html")
    ba[0] = 0
    assert (r.body, r.status, r.content_type) == (b"a longer body that is not cached by the interpreter", 201,
                                                  "text/html")
    assert type(r.body) is bytes and r.body is r.body


@pytest.mark.parametrize(
    "data, status, body, expected_status",
    [
        case("json of angle brackets is escaped with status 200", {"a": "<b>"}, None, b'{"a":"\\u003cb\\u003e"}', 200),
        case("json with status zero keeps zero", [1], 0, b"[1]", 0),
        case("json with status True is 1", None, True, b"null", 1),
    ],
)
def test_static_json(data, status, body, expected_status):
    r = Response.json(data, status)
    assert (r.body, r.status, r.content_type) == (body, expected_status, JSON_CT)


def test_static_text():
    r = Response.text("héllo", None)
    assert (r.body, r.status, r.content_type) == ("héllo".encode(), 200, "text/plain")
    assert Response.text("", 0).status == 0


def test_json_status_is_converted_before_data_is_looked_at():
    touched = []
    spy = type("Spy", (), {"__str__": lambda s: touched.append(1) or "s"})()
    assert_raises_exactly(lambda: Response.json(spy, "x"), TypeError,
                          "argument 'status': 'str' object cannot be interpreted as an integer")
    assert touched == []
