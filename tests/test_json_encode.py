"""JSON output of Response.json: compact, HTML-safe, exact number and string forms."""
import dataclasses
import decimal
import enum
import json
import math
import random
import struct
import sys
from collections import OrderedDict, namedtuple
from typing import ClassVar

import pytest

from calvenor._core import Response
from conftest import assert_raises_exactly, case, caught, panic_type


def jbody(value):
    return Response.json(value, None).body


def ref_float(x):
    """Reference float layout, from the shortest round-trip digits."""
    if math.isnan(x) or math.isinf(x):
        return "null"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    d = decimal.Decimal(repr(abs(x)))
    _, digits, exp = d.as_tuple()
    s = "".join(map(str, digits))
    E = len(s) - 1 + exp
    s = s.rstrip("0")
    n = len(s)
    if E >= 16 or E <= -6:
        out = s[0] + ("." + s[1:] if n >= 2 else "") + "e" + ("+" if E >= 0 else "-") + str(abs(E))
    elif E >= 0 and n <= E + 1:
        out = s + "0" * (E + 1 - n) + ".0"
    elif E >= 0:
        out = s[: E + 1] + "." + s[E + 1:]
    else:
        out = "0." + "0" * (-E - 1) + s
    return sign + out


class Color(enum.IntEnum):
    RED = 3


class Mood(str, enum.Enum):
    HAPPY = "glad"


class Plain(enum.Enum):
    A = 1


class IntSub(int):
    def __str__(self):
        return "nope"


class FloatSub(float):
    def __float__(self):
        return 99.0


class BigFloaty(int):
    def __float__(self):
        return 2.5


class BigFloatRaises(int):
    def __float__(self):
        raise ValueError("no")


class StrSub(str):
    def __str__(self):
        return "other"


class ListSub(list):
    def __iter__(self):
        return iter(["nope"])


class DictSub(dict):
    def items(self):
        return [("nope", 1)]

    def __iter__(self):
        return iter(["nope"])


@dataclasses.dataclass
class Point:
    x: int
    y: str
    c: ClassVar[int] = 7


class Columns:
    __columns__ = ("id", "name")

    def __init__(self):
        self.id, self.name, self.other = 1, "<n>", 3


class ColumnsDict:
    __columns__ = {"b": None, 1: None, "a": None}
    a, b = 1, 2


class ColumnsSkips:
    __columns__ = ("a", 1, None, "b")
    a, b = 1, 2


class ColumnsNoStr:
    __columns__ = (1, 2)


class ColumnsList:
    __columns__ = ["a"]
    __dataclass_fields__ = {"a": None}
    a = 1

    def __str__(self):
        return "listed"


class StructFields:
    __struct_fields__ = ("q",)
    q = [1]


class ColumnsBeatDataclass:
    __columns__ = ("a",)
    __dataclass_fields__ = {"b": None}
    a, b = 1, 2


class InstanceColumnsOnly:
    def __init__(self):
        self.__columns__ = ("a",)
        self.a = 1

    def __str__(self):
        return "inst"


class RaisingMeta(type):
    @property
    def __columns__(cls):
        raise RuntimeError("lookup")


class ColumnsLookupRaises(metaclass=RaisingMeta):
    __struct_fields__ = ("z",)
    z = 0


class Missing:
    __columns__ = ("absent",)


class SurrogateField:
    __columns__ = ("\ud800",)


class Foo:
    def __str__(self):
        raise ValueError("cannot")


class NotStr:
    def __str__(self):
        return 5


class Lone:
    def __str__(self):
        return "x\ud800"


ENCODE_CASES = [
    case("a dict of JSON scalars has no spaces", {"a": [1, 2.5, None, True, False]}, b'{"a":[1,2.5,null,true,false]}'),
    case("HTML characters are escaped but the solidus is not", "1 < 2 & 3 > 0 / 4",
         b'"1 \\u003c 2 \\u0026 3 \\u003e 0 / 4"'),
    case("HTML characters in keys are escaped", {"<&>": 1}, b'{"\\u003c\\u0026\\u003e":1}'),
    case("control U+0001", "\x01", b'"\\u0001"'),
    case("control U+000B", "\x0b", b'"\\u000b"'),
    case("control U+001F", "\x1f", b'"\\u001f"'),
    case("named control escapes", "\b\t\n\f\r", b'"\\b\\t\\n\\f\\r"'),
    case("quote and backslash", '"\\', b'"\\"\\\\"'),
    case("NUL", "\x00", b'"\\u0000"'),
    case("DEL, e acute, line separators and emoji are raw", "\x7fé\u2028\u2029😀", '"\x7fé\u2028\u2029😀"'.encode()),
    case("zero", 0, b"0"),
    case("minus one", -1, b"-1"),
    case("largest signed 64-bit", 2**63 - 1, b"9223372036854775807"),
    case("smallest signed 64-bit", -(2**63), b"-9223372036854775808"),
    case("two to the 63", 2**63, b"9223372036854775808"),
    case("largest unsigned 64-bit", 2**64 - 1, b"18446744073709551615"),
    case("two to the 64 as a float", 2**64, b"1.8446744073709552e+19"),
    case("below the signed range as a float", -(2**63) - 1, b"-9.223372036854776e+18"),
    case("ten to the 400 is null", 10**400, b"null"),
    case("minus ten to the 400 is null", -(10**400), b"null"),
    case("bools inside a list", [True, False, 1], b"[true,false,1]"),
    case("an int enum gives its number", Color.RED, b"3"),
    case("an int subclass ignores its str", IntSub(4), b"4"),
    case("a huge int subclass uses its float", BigFloaty(2**70), b"2.5"),
    case("a huge int subclass whose float raises is null", BigFloatRaises(2**70), b"null"),
    case("a float subclass is read as its stored value", FloatSub(1.5), b"1.5"),
    case("a str enum gives its value", Mood.HAPPY, b'"glad"'),
    case("a str subclass gives its own text", StrSub("mine"), b'"mine"'),
    case("a str enum as a key", {Mood.HAPPY: 1}, b'{"glad":1}'),
    case("a plain enum falls back to str", Plain.A, b'"Plain.A"'),
    case("a tuple is an array", (1, "a"), b'[1,"a"]'),
    case("a named tuple is an array", namedtuple("NT", "a b")(1, 2), b"[1,2]"),
    case("a list subclass is walked by index", ListSub([1, 2]), b"[1,2]"),
    case("a dict subclass is walked as a dict", DictSub(a=1), b'{"a":1}'),
    case("empty tuple", (), b"[]"),
    case("nested containers", {"a": {"b": [[], {}]}}, b'{"a":{"b":[[],{}]}}'),
    case("a dataclass gives its declared fields including class variables", Point(1, "<"),
         b'{"x":1,"y":"\\u003c","c":7}'),
    case("a columns tuple picks attributes in order", Columns(), b'{"id":1,"name":"\\u003cn\\u003e"}'),
    case("a columns dict uses its str keys in order", ColumnsDict(), b'{"b":2,"a":1}'),
    case("non-str column items are skipped", ColumnsSkips(), b'{"a":1,"b":2}'),
    case("columns without str items give an empty object", ColumnsNoStr(), b"{}"),
    case("a columns list declines without trying the next name", ColumnsList(), b'"listed"'),
    case("struct fields are used", StructFields(), b'{"q":[1]}'),
    case("columns come before dataclass fields", ColumnsBeatDataclass(), b'{"a":1}'),
    case("columns on the instance are not looked at", InstanceColumnsOnly(), b'"inst"'),
    case("a raising columns lookup counts as missing", ColumnsLookupRaises(), b'{"z":0}'),
    case("bytes fall back to their str", b"ab", b"\"b'ab'\""),
    case("a set falls back to its str", {1}, b'"{1}"'),
    case("a decimal falls back to its str", decimal.Decimal("1.50"), b'"1.50"'),
    case("a str with lone surrogates in the fallback", Lone(), '"x\ufffd\ufffd\ufffd"'.encode()),
    case("a str subclass key uses its own text", {StrSub("k"): 1}, b'{"k":1}'),
    case("a field tuple subclass is used", type("NT", (), {"__columns__": namedtuple("C", "p q")("a", "b"), "a": 1, "b": 2})(),
         b'{"a":1,"b":2}'),
    case("a field dict subclass is used", type("OD", (), {"__columns__": OrderedDict([("b", 0), ("a", 0)]), "a": 1, "b": 2})(),
         b'{"b":2,"a":1}'),
    case("field names are escaped", type("E", (), {"__columns__": ("<",), "<": "&"})(), b'{"\\u003c":"\\u0026"}'),
    case("a tuple subclass with columns is still an array",
         type("TC", (tuple,), {"__columns__": ("a",), "a": 1})((5,)), b"[5]"),
]


@pytest.mark.parametrize("value, expected", ENCODE_CASES)
def test_encode(value, expected):
    body = jbody(value)
    assert type(body) is bytes
    assert body == expected


@pytest.mark.parametrize(
    "value, text",
    [
        case("an integral float keeps a point zero", 1.0, "1.0"),
        case("zero keeps a point zero", 0.0, "0.0"),
        case("negative zero keeps its sign", -0.0, "-0.0"),
        case("a short fraction is plain", 0.1, "0.1"),
        case("a fraction above one is plain", 3.25, "3.25"),
        case("1e15 is padded with zeros", 1e15, "1000000000000000.0"),
        case("sixteen integral digits stay plain", 9999999999999998.0, "9999999999999998.0"),
        case("1e16 switches to an exponent", 1e16, "1e+16"),
        case("1e-5 is plain", 0.00001, "0.00001"),
        case("several digits at 1e-5 are plain", 1.2345e-5, "0.000012345"),
        case("1e-6 switches to an exponent", 0.000001, "1e-6"),
        case("a negative exponent keeps the fraction digits", 1.5e-7, "1.5e-7"),
        case("a negative value with a three-digit exponent", -2.5e-300, "-2.5e-300"),
        case("the largest double", 1.7976931348623157e308, "1.7976931348623157e+308"),
        case("the smallest subnormal", 5e-324, "5e-324"),
        case("the shortest round-trip digits are used", 0.1 + 0.2, "0.30000000000000004"),
        case("NaN is null", math.nan, "null"),
        case("infinity is null", math.inf, "null"),
        case("minus infinity is null", -math.inf, "null"),
    ],
)
def test_float_layout(value, text):
    assert ref_float(value) == text
    assert jbody(value) == text.encode()


def test_float_layout_on_many_doubles():
    rng = random.Random(2024)
    values = [struct.unpack("<d", rng.randbytes(8))[0] for _ in range(400)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(200)]
    values += [10.0**k for k in range(-30, 30)] + [2.0**k for k in range(-60, 70)]
    got = jbody(values).decode()
    assert got == "[" + ",".join(ref_float(v) for v in values) + "]"


@pytest.mark.parametrize(
    "value, name",
    [case("an int key", {1: 2}, "int"), case("a None key", {None: 1}, "NoneType"),
     case("a tuple key", {(1,): 1}, "tuple"), case("a float key", {1.5: 1}, "float"),
     case("a bool key", {True: 1}, "bool"), case("a bytes key nested in a list", [{b"k": 1}], "bytes")],
)
def test_non_str_keys_are_refused(value, name):
    assert_raises_exactly(lambda: jbody(value), TypeError, f"'{name}' object cannot be converted to 'PyString'")


@pytest.mark.parametrize(
    "value",
    [case("a lone surrogate value", "a\ud800"), case("a lone surrogate key", {"\udc00": 1}),
     case("a lone surrogate field name", SurrogateField())],
)
def test_lone_surrogates_in_strings_fail(value):
    assert type(caught(jbody, value)) is UnicodeEncodeError


def test_a_missing_listed_field_raises_attribute_error():
    assert type(caught(jbody, Missing())) is AttributeError


def test_a_raising_field_getter_propagates_unchanged():
    err = LookupError("x")

    class G:
        __columns__ = ("a",)

        @property
        def a(self):
            raise err

    assert caught(jbody, G()) is err


def test_a_raising_str_reports_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
    foo = Foo()
    assert jbody([foo]) == b'["\\u003cunprintable Foo object\\u003e"]'
    assert seen == [(ValueError, foo)]


def test_a_str_returning_a_non_str_is_unprintable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    assert jbody(NotStr()) == b'"\\u003cunprintable NotStr object\\u003e"'
    assert seen == [TypeError]


def test_a_field_dict_growing_during_the_walk_panics():
    cols = {"a": None, "b": None}

    class C:
        __columns__ = cols
        b = 1

        @property
        def a(self):
            cols["c"] = None
            return 0

    exc = caught(jbody, C())
    assert type(exc) is panic_type()
    assert exc.args == ("dictionary changed size during iteration",)


def test_every_ascii_character_and_a_few_others_match_a_compact_reference():
    text = "".join(map(chr, range(0x80))) + "\u00e9\u2028\U0001F600"
    expected = json.dumps(text, ensure_ascii=False)
    expected = expected.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    assert jbody(text) == expected.encode()


def test_matches_stdlib_on_a_mixed_document():
    doc = {"users": [{"id": i, "name": f"n{i}\u00e9", "score": i / 7, "tags": ["a", "b"], "ok": i % 2 == 0}
                     for i in range(50)], "meta": {"count": 50, "next": None}}
    assert jbody(doc) == json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def compact(value):
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026").encode()


def test_each_escaped_byte_at_each_place_of_short_and_block_long_strings():
    # The copy works in 16-byte blocks and a tail read in overlapping pieces.
    texts = [("x" * n)[:i] + c + ("x" * n)[i + 1:] for n in range(1, 40) for i in range(n) for c in '"\\<&\x00\x1f\xe9']
    assert jbody(texts) == compact(texts)


@pytest.mark.parametrize("sign", [1, -1], ids=["positive", "negative"])
def test_integers_at_each_change_of_digit_count(sign):
    values = [sign * (10**k + d) for k in range(19) for d in (-1, 0, 1)] + [2**63 - 1, 2**64 - 1]
    assert jbody(values) == compact(values)


def test_repeated_keys_written_from_the_name_cache_keep_their_exact_text():
    odd_keys = ["a" * 31, "b" * 32, "c" * 33, "<&>", 'q"\\', "\x01", "\u00e9" * 15, StrSub("sub")]
    many = {f"k{i}": i for i in range(600)}  # more keys than the cache holds
    doc = [{k: i for i, k in enumerate(odd_keys)} for _ in range(40)] + [many, many]
    assert jbody(doc) == compact(doc)


class DropsContainer:
    """Its str() drops, from the value being encoded, the container it sits in."""

    def __init__(self, drop):
        self.drop = drop

    def __str__(self):
        self.drop()
        return "x"


def test_a_container_its_parent_drops_during_the_walk_is_still_written_whole():
    outer = [[1, None, [2]], 3]
    outer[0][1] = DropsContainer(outer.clear)
    assert jbody(outer) == b'[[1,"x",[2]]]'
    parent = {"a": {"b": None}}
    parent["a"]["b"] = DropsContainer(parent.clear)
    exc = caught(jbody, parent)
    assert type(exc) is panic_type() and exc.args == ("dictionary changed size during iteration",)
