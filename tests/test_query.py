"""Request.query: form-decoded query string, a dict of lists built on every read."""
import random
import urllib.parse

import pytest

from calvenor._core import Request
from conftest import assert_no_leak


def query(qs):
    return Request("GET", "/", qs).query


@pytest.mark.parametrize(
    "qs, expected",
    [
        ("", {}),
        ("a=1&b=2&a=3", {"a": ["1", "3"], "b": ["2"]}),
        ("flag&x=1", {"x": ["1"]}),
        ("flag=", {"flag": [""]}),
        ("=v", {"": ["v"]}),
        ("=&=", {"": ["", ""]}),
        ("&&a=1&&", {"a": ["1"]}),
        ("a=b=c", {"a": ["b=c"]}),
        ("a=1;b=2", {"a": ["1;b=2"]}),
        ("q=a+b%20c&p=%2B", {"q": ["a b c"], "p": ["+"]}),
        ("a%20b=1&a+b=2", {"a b": ["1", "2"]}),
        ("a%3Db=c", {"a=b": ["c"]}),
        ("x=1%262", {"x": ["1&2"]}),
    ],
)
def test_splitting_and_grouping(qs, expected):
    got = query(qs)
    assert got == expected
    assert list(got) == list(expected)  # keys in order of first occurrence


@pytest.mark.parametrize(
    "raw, value",
    [
        ("%zz", "%zz"),
        ("%4", "\x04"),
        ("%", "%"),
        ("%+41", "\x041"),
        ("%%41", "%%41"),
        ("%-4", "%-4"),
        ("%4+", "%4+"),
        ("%4a%4A", "JJ"),
        ("%00", "\x00"),
        ("%C3%A9", "\u00e9"),
        ("%E9", "\u00e9"),
        ("%E9%C3%A9", "\u00e9\u00c3\u00a9"),
        ("\u00c3\u00a9", "\u00e9"),
        ("\u20ac", "\u20ac"),
        ("%\u00e9", "%\u00e9"),
        ("\u00e9%\u00e9", "\u00e9%\u00c3\u00a9"),
        ("%\u00e94", "%\u00e94"),
        ("%F0%9F%98%80\U0001F600", "\U0001F600\U0001F600"),
        ("%ED%A0%80", "\u00ed\u00a0\u0080"),
    ],
)
def test_component_decoding(raw, value):
    assert query("k=" + raw) == {"k": [value]}
    assert query(raw + "=v") == {value: ["v"]}


def test_raw_bytes_read_as_latin1_are_restored():
    raw = "n=caf\u00e9 \u20ac".encode()
    assert query(raw.decode("latin-1")) == {"n": ["caf\u00e9 \u20ac"]}


def test_round_trip_of_encoded_pairs():
    rng = random.Random(7)
    alphabet = "ab=&+%; \u00e9\u00ff\u0100\u20ac\U0001F600\x00"
    for _ in range(300):
        pairs = [
            ("".join(rng.choice(alphabet) for _ in range(rng.randrange(4))),
             "".join(rng.choice(alphabet) for _ in range(rng.randrange(6))))
            for _ in range(rng.randrange(1, 5))
        ]
        expected = {}
        for name, value in pairs:
            expected.setdefault(name, []).append(value)
        assert query(urllib.parse.urlencode(pairs)) == expected
        assert query(urllib.parse.urlencode(pairs, quote_via=urllib.parse.quote)) == expected


def test_each_read_builds_new_objects():
    r = Request("GET", "/", "a=1")
    first, second = r.query, r.query
    assert first == second and first is not second and first["a"] is not second["a"]
    first["a"].append("x")
    first["b"] = []
    assert r.query == {"a": ["1"]}
    assert r.query_string == "a=1"


def test_no_leak():
    r = Request("GET", "/", "a=1&b=%E9&a=x+y&c&=")
    assert_no_leak(lambda: r.query)
