"""Response: the record, its static constructors and attributes."""
import pytest

from calvenor._core import Response
from conftest import assert_raises_exactly, case

JSON_CT = "application/json; charset=utf-8"


class TestResponse:
    def test_constructor_stores_the_three_fields(self):
        r = Response(b"hi", 201, "text/html")
        assert (r.body, r.status, r.content_type) == (b"hi", 201, "text/html")
        assert type(r.status) is int and type(r.content_type) is str

    def test_the_body_is_a_new_bytes_object_read_back_as_the_same_object(self):
        data = b"a longer body that is not cached by the interpreter"
        r = Response(data, 200, "")
        assert r.body == data and r.body is not data
        assert r.body is r.body

    def test_a_bytearray_body_is_copied_into_bytes(self):
        ba = bytearray(b"hi")
        r = Response(ba, 200, "")
        ba[0] = 0
        assert type(r.body) is bytes and r.body == b"hi"

    def test_extreme_status_and_empty_content_type(self):
        r = Response(b"", 65535, "")
        assert (r.status, r.content_type) == (65535, "")

    @pytest.mark.parametrize(
        "data, status, body, expected_status",
        [
            case("json of angle brackets is escaped", {"a": "<b>"}, None, b'{"a":"\\u003cb\\u003e"}', 200),
            case("json with status zero keeps zero", [1], 0, b"[1]", 0),
            case("json of an empty dict is two bytes", {}, None, b"{}", 200),
            case("json with status 404", "x", 404, b'"x"', 404),
            case("json with status True", None, True, b"null", 1),
        ],
    )
    def test_static_json(self, data, status, body, expected_status):
        r = Response.json(data, status)
        assert (r.body, r.status, r.content_type) == (body, expected_status, JSON_CT)

    def test_static_text(self):
        r = Response.text("héllo", None)
        assert (r.body, r.status, r.content_type) == ("héllo".encode(), 200, "text/plain")
        assert len(r.body) == 6
        assert Response.text("", 0).status == 0

    def test_json_status_is_converted_before_data_is_looked_at(self):
        touched = []

        class Spy:
            def __str__(self):
                touched.append(1)
                return "s"

        assert_raises_exactly(lambda: Response.json(Spy(), "x"), TypeError,
                              "argument 'status': 'str' object cannot be interpreted as an integer")
        assert touched == []
