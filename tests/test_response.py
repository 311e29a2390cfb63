"""Response: the record, its static constructors and attributes."""
from calvenor._core import Response
from conftest import assert_raises_exactly

JSON_CT = "application/json; charset=utf-8"


def test_constructor_copies_the_body_into_one_bytes_object():
    ba = bytearray(b"a longer body that is not cached by the interpreter")
    r = Response(ba, 201, "text/html")
    ba[0] = 0
    assert (r.body, r.status, r.content_type) == (b"a longer body that is not cached by the interpreter", 201,
                                                  "text/html")
    assert type(r.body) is bytes and r.body is r.body


def test_static_constructors():
    r = Response.json({"a": "<b>"}, None)
    assert (r.body, r.status, r.content_type) == (b'{"a":"\\u003cb\\u003e"}', 200, JSON_CT)
    r = Response.text("h\u00e9llo", None)
    assert (r.body, r.status, r.content_type) == ("h\u00e9llo".encode(), 200, "text/plain")
    assert Response.json([1], 0).status == Response.text("", 0).status == 0  # zero is a status, not "none given"


def test_json_status_is_converted_before_data_is_looked_at():
    touched = []
    spy = type("Spy", (), {"__str__": lambda s: touched.append(1) or "s"})()
    assert_raises_exactly(lambda: Response.json(spy, "x"), TypeError,
                          "argument 'status': 'str' object cannot be interpreted as an integer")
    assert touched == []
