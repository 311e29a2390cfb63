"""Request: stored as received, headers decoded only when read."""
import pytest

from calvenor._core import Request
from conftest import case


def make(headers=(), body=None):
    r = Request("GET", "/", "")
    r.set_headers(list(headers))
    if body is not None:
        r.set_body(body)
    return r


def test_constructor_stores_texts_and_each_read_is_a_new_equal_str():
    r = Request(query_string="a=1", path="/caf\u00e9", method=type("S", (str,), {})("GET"))
    assert (r.method, r.path, r.query_string) == ("GET", "/caf\u00e9", "a=1") and type(r.method) is str
    assert r.path == r.path and r.path is not r.path
    assert r.headers == {} and r.get_header("host") is None


@pytest.mark.parametrize("pairs, name, expected", [
    case("the first duplicate wins", [(b"Content-Type", b"a"), (b"content-type", b"b")], "CONTENT-TYPE", "a"),
    case("a shorter name misses", [(b"Host", b"x")], "Hos", None),
    case("a longer stored name misses", [(b"Hostx", b"x")], "Host", None),
    case("there is no Unicode case folding", [("é".encode(), b"x")], "É", None),
    case("identical non-ASCII bytes match", [("É".encode(), b"x")], "É", "x"),
    case("the Kelvin sign is not a k", [(b"k", b"x")], "\u212a", None),
    case("an invalid stored name never matches", [(b"X-\xff", b"x")], "x-\ufffd", None),
    case("the at sign is not a letter", [(b"@", b"x")], "`", None),
    case("the bracket is not a letter", [(b"[", b"x")], "{", None),
    case("a value is decoded lossily and keeps its spacing", [(b"K", b"  caf\xc3\xa9 \xe2\x82")], "k",
         "  caf\u00e9 \ufffd"),
    case("an empty name is a name", [(b"", b"empty")], "", "empty"),
])
def test_get_header(pairs, name, expected):
    assert make(pairs).get_header(name) == expected


def test_headers_dict_keys_values_and_order():
    r = make([(b"B", b"1"), (b"A", b"  Mixed  "), (b"b", b"3"), (b"X-\xffA\x80B", b"v\xe2\x82"),
              ("ÉX-Ä\u212a".encode(), b""), (b"", b"e")])
    assert list(r.headers.items()) == [("b", "3"), ("a", "  Mixed  "), ("x-\ufffda\ufffdb", "v\ufffd"),
                                       ("Éx-Ä\u212a", ""), ("", "e")]


def test_stored_headers_and_body_are_copies_and_reads_are_new_dicts():
    name, value, body = bytearray(b"a"), bytearray(b"1"), bytearray(b"[2]")
    pairs = [(name, value)]
    r = make(pairs, body)
    name[0], value[0], body[1] = ord("z"), ord("9"), ord("3")
    pairs.append((b"x", b"y"))
    h1, h2 = r.headers, r.headers
    h1["b"] = "2"
    assert h2 == r.headers == {"a": "1"} and r.json() == [2]
    assert r.set_headers(()) is None and r.headers == {} and r.get_header("a") is None
