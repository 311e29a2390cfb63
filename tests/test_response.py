"""Response: the record, its static constructors and attributes."""
import pytest

import calvenor._core as core
from conftest import assert_no_leak

R = core.Response
JSON = "application/json; charset=utf-8"


@pytest.mark.parametrize(
    "make, status, body, ctype",
    [
        (lambda: R(b"hi", 201, "text/html"), 201, b"hi", "text/html"),
        (lambda: R(b"", 65535, ""), 65535, b"", ""),
        (lambda: R.json({"a": "<b>"}, None), 200, b'{"a":"\\u003cb\\u003e"}', JSON),
        (lambda: R.json([1], 0), 0, b"[1]", JSON),
        (lambda: R.json({}, None), 200, b"{}", JSON),
        (lambda: R.json(None, 503), 503, b"null", JSON),
        (lambda: R.text("h\u00e9llo", None), 200, "h\u00e9llo".encode(), "text/plain"),
        (lambda: R.text("", 418), 418, b"", "text/plain"),
    ],
    ids=["constructor", "max status and empty type", "json escapes angle brackets", "json status zero kept",
         "json empty dict", "json null with status", "text utf-8", "text empty"],
)
def test_responses(make, status, body, ctype):
    r = make()
    assert (r.status, r.body, r.content_type) == (status, body, ctype)
    assert type(r.body) is bytes


def test_body_is_the_same_object_on_every_read():
    r = R.text("x" * 100, None)
    assert r.body is r.body


def test_constructor_copies_a_bytearray():
    buf = bytearray(b"abc")
    r = R(buf, 200, "x")
    buf[0] = ord("z")
    assert r.body == b"abc"


def test_json_refusals_make_no_object():
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        R.json({1: 2}, None)
    with pytest.raises(UnicodeEncodeError):
        R.text("\ud800", None)


def test_attributes_are_read_only():
    r = R(b"", 1, "")
    for name in ("status", "body", "content_type"):
        with pytest.raises(AttributeError):
            setattr(r, name, None)


def test_responses_do_not_leak():
    assert_no_leak(lambda: (R(b"hi", 200, "text/plain").body, R.text("hi", None).content_type,
                            R.json({"k": [1, "v"]}, 201).status))
