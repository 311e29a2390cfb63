"""Request.query: form-decoded query string, a dict of lists built on every read."""
import pytest

from calvenor._core import Request
from conftest import case


def query(qs):
    return Request("GET", "/", qs).query


@pytest.mark.parametrize("raw, value", [
    case("an escaped NUL", "%00", "\x00"),
    case("an escaped and a raw emoji", "%F0%9F%98%80\U0001F600", "\U0001F600" * 2),
    case("escaped surrogate bytes are Latin-1", "%ED%A0%80", "\u00ed\u00a0\u0080"),
    case("raw UTF-8 bytes read as Latin-1 are restored", "caf\u00e9 \u20ac".encode().decode("latin-1"),
         "caf\u00e9 \u20ac"),
])
def test_names_and_values_decode_alike(raw, value):
    assert query("k=" + raw) == {"k": [value]}
    assert query(raw + "=v") == {value: ["v"]}


QUERY_CASES = [
    case("repeated names collect values in order", "a=1&b=2&a=3", {"a": ["1", "3"], "b": ["2"]}),
    case("a bare flag is skipped", "flag&x=1", {"x": ["1"]}),
    case("a lone equals sign adds an empty value to the empty name", "=", {"": [""]}),
    case("empty pieces are skipped", "&&a=1&", {"a": ["1"]}),
    case("only the first equals sign splits", "a=b=c", {"a": ["b=c"]}),
    case("plus and percent twenty are spaces", "q=a+b%20c", {"q": ["a b c"]}),
    case("an escaped plus is a plus", "q=%2B", {"q": ["+"]}),
    case("one final hex digit is an escape", "k=%4", {"k": ["\x04"]}),
    case("a plus sign before one hex digit is an escape", "k=%+41", {"k": ["\x041"]}),
    case("a plus inside a failed escape stays a plus", "k=%4+", {"k": ["%4+"]}),
    case("a percent inside a failed escape starts nothing", "k=%%41", {"k": ["%%41"]}),
    case("an invalid escaped byte falls back to Latin-1", "k=%E9", {"k": ["é"]}),
    case("the fallback covers the whole value", "k=%E9%C3%A9", {"k": ["é\xc3\xa9"]}),
    case("characters below U+0100 are single bytes", "k=\xc3\xa9", {"k": ["é"]}),
    case("characters from U+0100 are UTF-8", "k=€", {"k": ["€"]}),
    case("a failed escape mixed with a Latin-1 byte", "k=é%é", {"k": ["é%\xc3\xa9"]}),
    case("a wide character with an invalid byte falls back per byte", "k=€%FF", {"k": ["\xe2\x82\xac\xff"]}),
    case("names that decode equal share a list", "a+b=1&a%20b=2", {"a b": ["1", "2"]}),
    case("the fallback applies per name and value", "%E9=%C3%A9", {"é": ["é"]}),
]


@pytest.mark.parametrize("qs, expected", QUERY_CASES)
def test_query(qs, expected):
    q = query(qs)
    assert q == expected and list(q) == list(expected) and all(type(v) is list for v in q.values())


def test_two_reads_give_distinct_equal_dicts():
    r = Request("GET", "/", "a=1")
    q1, q2 = r.query, r.query
    q1["a"].append("x")
    assert q2 == r.query == {"a": ["1"]} and q1 is not q2 and r.query_string == "a=1"
