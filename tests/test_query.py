"""Request.query: form-decoded query string, a dict of lists built on every read."""
import random

import pytest

from calvenor._core import Request
from conftest import case


def query(qs):
    return Request("GET", "/", qs).query


@pytest.mark.parametrize(
    "raw, value",
    [
        ("%00", "\x00"),
        ("%F0%9F%98%80\U0001F600", "\U0001F600\U0001F600"),
        ("%ED%A0%80", "\u00ed\u00a0\u0080"),
        ("%E9", "\u00e9"),
    ],
)
def test_component_decoding(raw, value):
    assert query("k=" + raw) == {"k": [value]}
    assert query(raw + "=v") == {value: ["v"]}


def test_raw_bytes_read_as_latin1_are_restored():
    raw = "n=caf\u00e9 \u20ac".encode()
    assert query(raw.decode("latin-1")) == {"n": ["caf\u00e9 \u20ac"]}


QUERY_CASES = [
    case("empty query string", "", {}),
    case("repeated names collect values in order", "a=1&b=2&a=3", {"a": ["1", "3"], "b": ["2"]}),
    case("a bare flag is skipped", "flag&x=1", {"x": ["1"]}),
    case("a flag with an equals sign has an empty value", "flag=", {"flag": [""]}),
    case("an empty name is kept", "=v", {"": ["v"]}),
    case("a lone equals sign adds an empty value to the empty name", "=", {"": [""]}),
    case("two lone equals signs add two empty values", "=&=", {"": ["", ""]}),
    case("empty pieces are skipped", "&&a=1&", {"a": ["1"]}),
    case("only the first equals sign splits", "a=b=c", {"a": ["b=c"]}),
    case("a semicolon is ordinary text", "a=1;b=2", {"a": ["1;b=2"]}),
    case("plus and percent twenty are spaces", "q=a+b%20c", {"q": ["a b c"]}),
    case("an escaped plus is a plus", "q=%2B", {"q": ["+"]}),
    case("an invalid escape passes through", "k=%zz", {"k": ["%zz"]}),
    case("one final hex digit is an escape", "k=%4", {"k": ["\x04"]}),
    case("a final percent passes through", "k=%", {"k": ["%"]}),
    case("a plus sign before one hex digit is an escape", "k=%+41", {"k": ["\x041"]}),
    case("a minus sign is refused", "k=%-4", {"k": ["%-4"]}),
    case("a lone final plus after percent stays a plus", "k=%+", {"k": ["%+"]}),
    case("a plus inside a failed escape stays a plus", "k=%4+", {"k": ["%4+"]}),
    case("two plus signs after percent stay plus signs", "k=%++x", {"k": ["%++x"]}),
    case("a percent inside a failed escape starts nothing", "k=%%41", {"k": ["%%41"]}),
    case("lowercase hex digits", "k=%4a", {"k": ["J"]}),
    case("a space is not a hex digit", "k=% 1", {"k": ["% 1"]}),
    case("hex prefix is not understood", "k=%0x1", {"k": ["%0x1"]}),
    case("an escaped UTF-8 sequence", "k=%C3%A9", {"k": ["é"]}),
    case("an invalid escaped byte falls back to Latin-1", "k=%E9", {"k": ["é"]}),
    case("the fallback covers the whole value", "k=%E9%C3%A9", {"k": ["é\xc3\xa9"]}),
    case("a valid escape followed by an invalid byte", "k=%C3%A9%FF", {"k": ["\xc3\xa9\xff"]}),
    case("characters below U+0100 are single bytes", "k=\xc3\xa9", {"k": ["é"]}),
    case("characters from U+0100 are UTF-8", "k=€", {"k": ["€"]}),
    case("a four-byte character passes", "k=😀", {"k": ["😀"]}),
    case("a failed escape of a non-ASCII character", "k=%é", {"k": ["%é"]}),
    case("a failed escape mixed with a Latin-1 byte", "k=é%é", {"k": ["é%\xc3\xa9"]}),
    case("a wide character with an invalid byte falls back per byte", "k=€%FF", {"k": ["\xe2\x82\xac\xff"]}),
    case("a two-character failed escape with a wide character", "k=%€a", {"k": ["%€a"]}),
    case("a failed escape appends a Latin-1 character as UTF-8", "k=%4é", {"k": ["%4é"]}),
    case("a failed escape followed by a plain Latin-1 byte falls back whole", "k=%4éé", {"k": ["%4\xc3\xa9é"]}),
    case("a plus sign before a non-hex character is refused", "k=%+g", {"k": ["%+g"]}),
    case("names are decoded too", "a%20b=1&c+d=2", {"a b": ["1"], "c d": ["2"]}),
    case("an escaped equals sign in a name", "a%3Db=c", {"a=b": ["c"]}),
    case("an escaped ampersand in a value", "x=1%262", {"x": ["1&2"]}),
    case("names that decode equal share a list", "a+b=1&a%20b=2", {"a b": ["1", "2"]}),
    case("the fallback applies per name and value", "%E9=%C3%A9", {"é": ["é"]}),
]


class TestQuery:
    @pytest.mark.parametrize("qs, expected", QUERY_CASES)
    def test_query(self, qs, expected):
        q = Request("GET", "/", qs).query
        assert q == expected
        assert list(q) == list(expected)
        assert all(type(v) is list for v in q.values())

    def test_two_reads_give_distinct_equal_dicts(self):
        r = Request("GET", "/", "a=1")
        q1, q2 = r.query, r.query
        assert q1 == q2 and q1 is not q2 and q1["a"] is not q2["a"]
        q1["a"].append("x")
        assert r.query == {"a": ["1"]}
        assert r.query_string == "a=1"


def ref_form_component(text):
    out = bytearray()
    i = 0
    while i < len(text):
        ch = text[i]
        if ch == "+":
            out.append(0x20)
            i += 1
        elif ch == "%":
            taken = text[i + 1:i + 3]
            i += 1 + len(taken)
            hexdigits = "0123456789abcdefABCDEF"
            ok = (len(taken) == 2 and ((taken[0] == "+" and taken[1] in hexdigits)
                                       or (taken[0] in hexdigits and taken[1] in hexdigits))) or (
                len(taken) == 1 and taken in hexdigits)
            if ok:
                out.append(int(taken, 16))
            else:
                out += b"%" + taken.encode()
        else:
            out += bytes([ord(ch)]) if ord(ch) < 0x100 else ch.encode()
            i += 1
    try:
        return out.decode("utf-8")
    except UnicodeDecodeError:
        return out.decode("latin-1")


def ref_query(qs):
    result = {}
    if not qs:
        return result
    for piece in qs.split("&"):
        if "=" not in piece:
            continue
        name, value = piece.split("=", 1)
        result.setdefault(ref_form_component(name), []).append(ref_form_component(value))
    return result


def test_random_query_strings_match_a_reference_decoder():
    rng = random.Random(5)
    alphabet = list("%%%++==&&aF9g- ") + ["é", "\xc3", "\xa9", "€", "😀", "\xff"]
    for _ in range(1500):
        qs = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 14)))
        assert query(qs) == ref_query(qs), qs
