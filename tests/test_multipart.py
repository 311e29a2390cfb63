"""Request.parse_multipart: forgiving multipart/form-data decoding into (fields, files)."""
import httpx
import pytest

from calvenor._core import Request
from conftest import assert_no_leak


def parse(body, boundary="B"):
    r = Request("POST", "/", "")
    if body is not None:
        r.set_body(body)
    return r.parse_multipart(boundary)


def part(headers, data, boundary=b"B"):
    return b"--" + boundary + b"\r\n" + headers + b"\r\n\r\n" + data + b"\r\n"


def disposition(params):
    return b"Content-Disposition: form-data; " + params


CLOSE = b"--B--\r\n"


@pytest.mark.parametrize(
    "body, fields, files",
    [
        (None, {}, {}),
        (b"", {}, {}),
        (part(b"Content-Disposition: form-data; name=a", b"1") + part(disposition(b'name="a"'), b"2") + CLOSE,
         {"a": ["1", "2"]}, {}),
        (part(disposition(b'name="f"; filename="x.txt"') + b"\r\nContent-Type: text/plain", b"hi") + CLOSE,
         {}, {"f": [("x.txt", "text/plain", b"hi")]}),
        (part(disposition(b'name="f"; filename="x.txt"'), b"hi") + CLOSE, {}, {"f": [("x.txt", "", b"hi")]}),
        (part(disposition(b'name=f; filename=""'), b"") + CLOSE, {}, {"f": [("", "", b"")]}),
        (part(disposition(b"filename=x"), b"1") + CLOSE, {}, {}),
        (part(b"CONTENT-DISPOSITION: form-data; NAME=plain", b"1") + CLOSE, {"plain": ["1"]}, {}),
        (part(disposition(b'name="a;b"'), b"1") + CLOSE, {'"a': ["1"]}, {}),
        (part(disposition(b"name=f; filename*=UTF-8''%E2%82%AC.txt"), b"d"), {}, {"f": [("\u20ac.txt", "", b"d")]}),
        (part(disposition(b"name=f; filename*=UTF-8'en'%41"), b"d"), {}, {"f": [("UTF-8'en'A", "", b"d")]}),
        (part(disposition(b"name=f; filename=a.txt; filename*=UTF-8''b.txt"), b"d"), {}, {"f": [("b.txt", "", b"d")]}),
        (part(disposition(b"name=f; filename*=UTF-8''b.txt; filename=a.txt"), b"d"), {}, {"f": [("a.txt", "", b"d")]}),
        (part(disposition(b"name=a"), b"x\r\n") + part(disposition(b"name=a"), b"y") + CLOSE,
         {"a": ["x\r\n", "y"]}, {}),
        (part(disposition(b"name=a"), b"1--B2") + CLOSE, {"a": ["1"]}, {}),
        (part(disposition(b"name=a"), b"1") + b"--B--" + part(disposition(b"name=b"), b"2"), {"a": ["1"]}, {}),
        (b"--preamble\r\n" + part(disposition(b"name=a"), b"1") + CLOSE, {}, {}),
        (b"Content-Disposition: form-data; name=a\r\n\r\nvalue", {"a": ["value"]}, {}),
        (part(disposition(b"name=a"), b"caf\xc3\xa9 \xff") + part(disposition(b"name=b; filename=b"), b"\xff") + CLOSE,
         {"a": ["caf\u00e9 \ufffd"]}, {"b": [("b", "", b"\xff")]}),
        (part(disposition(b"name=x-\xff; filename=\xe9") + b"\r\nContent-Type: \xc3(", b"") + CLOSE,
         {}, {"x-\ufffd": [("\ufffd", "\ufffd(", b"")]}),
    ],
)
def test_parts(body, fields, files):
    assert parse(body) == (fields, files)


def test_keys_keep_the_position_of_their_first_part():
    body = b"".join(
        part(disposition(b"name=" + name + (b"; filename=f" if is_file else b"")), data)
        for name, is_file, data in [(b"z", 0, b"1"), (b"y", 1, b"2"), (b"a", 0, b"3"), (b"z", 0, b"4"),
                                    (b"x", 1, b"5"), (b"y", 1, b"6")]
    ) + CLOSE
    fields, files = parse(body)
    assert list(fields.items()) == [("z", ["1", "4"]), ("a", ["3"])]
    assert list(files.items()) == [("y", [("f", "", b"2"), ("f", "", b"6")]), ("x", [("f", "", b"5")])]


def test_empty_boundary_splits_at_every_double_hyphen():
    body = b"--\r\nContent-Disposition: form-data; name=a\r\n\r\n1--2\r\n----"
    assert parse(body, "") == ({"a": ["1"]}, {})


def test_non_ascii_boundary_matches_its_utf8_bytes():
    b = "\u00e9t\u00e9"
    body = part(disposition(b"name=a"), b"v", boundary=b.encode()) + b"--" + b.encode() + b"--"
    assert parse(body, b) == ({"a": ["v"]}, {})


def test_body_from_an_http_client():
    request = httpx.Request(
        "POST",
        "http://example.test/upload",
        data={"title": "Quarterly report", "tags": ["caf\u00e9", ""]},
        files=[("upload", ("report.csv", b"a,b\r\n1,2\r\n", "text/csv")),
               ("upload", ("blob.bin", bytes(range(256)) * 4, "application/octet-stream"))],
    )
    body = request.read()
    boundary = request.headers["content-type"].split("boundary=", 1)[1]
    fields, files = parse(body, boundary)
    assert fields == {"title": ["Quarterly report"], "tags": ["caf\u00e9", ""]}
    assert files == {"upload": [("report.csv", "text/csv", b"a,b\r\n1,2\r\n"),
                                ("blob.bin", "application/octet-stream", bytes(range(256)) * 4)]}


def test_result_objects_are_new_and_body_is_kept():
    body = part(disposition(b"name=f; filename=x"), b"data") + CLOSE
    r = Request("POST", "/", "")
    r.set_body(bytearray(body))
    first, second = r.parse_multipart("B"), r.parse_multipart("B")
    assert first == second and first[1] is not second[1]
    assert type(first) is tuple and type(first[1]["f"][0][2]) is bytes


def test_boundary_argument_errors():
    r = Request("POST", "/", "")
    r.set_body(b"")
    with pytest.raises(TypeError, match=r"^argument 'boundary': 'int' object cannot be converted to 'PyString'$"):
        r.parse_multipart(1)
    with pytest.raises(TypeError):
        r.parse_multipart()
    assert r.parse_multipart(boundary="B") == ({}, {})


def test_doc_text():
    assert Request.parse_multipart.__doc__ == (
        "Parse a ``multipart/form-data`` body.\n\nReturns ``(fields, files)``: fields \u2014 "
        "``dict[str, list[str]]``, files \u2014\n``dict[str, list[(filename, content_type, bytes)]]``. "
        "The body must be\nstored first via :meth:`set_body`."
    )
    assert Request.parse_multipart.__text_signature__ == "($self, boundary)"


def test_no_leak():
    r = Request("POST", "/", "")
    r.set_body(part(disposition(b"name=a"), b"1\xff") + part(disposition(b"name=f; filename=x"), b"d") + CLOSE)
    assert_no_leak(lambda: r.parse_multipart("B"))
