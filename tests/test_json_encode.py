"""JSON output of Response.json: compact, HTML-safe, exact number and string forms."""
import dataclasses
import decimal
import enum
import json
import math
import sys
from collections import OrderedDict, namedtuple
from typing import ClassVar

import pytest

from calvenor._core import Response
from conftest import Mutates, assert_raises_exactly, case, caught, panic_type


def jbody(value):
    return Response.json(value, None).body


Mood = enum.Enum("Mood", {"HAPPY": "glad"}, type=str)
Plain = enum.Enum("Plain", {"A": 1})


def kind(type_name, bases=(), **attrs):
    return type(type_name, bases, attrs)


IntSub = kind("IntSub", (int,), __str__=lambda s: "nope")
FloatSub = kind("FloatSub", (float,), __float__=lambda s: 99.0)
BigFloaty = kind("BigFloaty", (int,), __float__=lambda s: 2.5)
BigFloatRaises = kind("BigFloatRaises", (int,), __float__=lambda s: float("x"))
StrSub = kind("StrSub", (str,), __str__=lambda s: "other")
ListSub = kind("ListSub", (list,), __iter__=lambda s: iter(["nope"]))
DictSub = kind("DictSub", (dict,), items=lambda s: [("nope", 1)], __iter__=lambda s: iter(["nope"]))


Point = dataclasses.make_dataclass("Point", [("x", int), ("y", str), ("c", ClassVar[int], 7)])


Columns = kind("Columns", __columns__=("id", "name"), id=1, name="<n>", other=3)
ColumnsDict = kind("ColumnsDict", __columns__={"b": None, 1: None, "a": None}, a=1, b=2)
ColumnsSkips = kind("ColumnsSkips", __columns__=("a", 1, None, "b"), a=1, b=2)
ColumnsList = kind("ColumnsList", __columns__=["a"], __dataclass_fields__={"a": None}, a=1, __str__=lambda s: "listed")
StructFields = kind("StructFields", __struct_fields__=("q",), q=[1])
ColumnsBeatDataclass = kind("ColumnsBeatDataclass", __columns__=("a",), __dataclass_fields__={"b": None}, a=1, b=2)


InstanceColumnsOnly = kind("InstanceColumnsOnly", __str__=lambda s: "inst",
                           __init__=lambda s: s.__dict__.update(__columns__=("a",), a=1))
RaisingMeta = kind("RaisingMeta", (type,), __columns__=property(lambda c: (_ for _ in ()).throw(KeyError())))
ColumnsLookupRaises = RaisingMeta("ColumnsLookupRaises", (), {"__struct_fields__": ("z",), "z": 0})


Missing = kind("Missing", __columns__=("absent",))
SurrogateField = kind("SurrogateField", __columns__=("\ud800",))
NotStr = kind("NotStr", __str__=lambda s: 5)
Lone = kind("Lone", __str__=lambda s: "x\ud800")


Foo = kind("Foo", __str__=lambda s: (_ for _ in ()).throw(ValueError("cannot")))


ENCODE_CASES = [
    case("a dict of JSON scalars has no spaces", {"a": [1, 2.5, None, True, False]}, b'{"a":[1,2.5,null,true,false]}'),
    case("HTML characters in keys are escaped", {"<&>": 1}, b'{"\\u003c\\u0026\\u003e":1}'),
    case("ints at the 64-bit edges are exact", [2**63 - 1, -(2**63), 2**63, 2**64 - 1],
         b"[9223372036854775807,-9223372036854775808,9223372036854775808,18446744073709551615]"),
    case("ints beyond 64 bits become floats, then null", [2**64, -(2**63) - 1, 10**400, -(10**400)],
         b"[1.8446744073709552e+19,-9.223372036854776e+18,null,null]"),
    case("NaN and the infinities are null", [math.nan, math.inf, -math.inf], b"[null,null,null]"),
    case("an int subclass ignores its str", IntSub(4), b"4"),
    case("a huge int subclass uses its float", BigFloaty(2**70), b"2.5"),
    case("a huge int subclass whose float raises is null", BigFloatRaises(2**70), b"null"),
    case("a float subclass is read as its stored value", FloatSub(1.5), b"1.5"),
    case("a str subclass gives its own text", StrSub("mine"), b'"mine"'),
    case("str subclass keys give their own text", {Mood.HAPPY: 1, StrSub("k"): 2}, b'{"glad":1,"k":2}'),
    case("tuples and named tuples are arrays", [(1, "a"), namedtuple("NT", "a b")(1, 2), ()], b'[[1,"a"],[1,2],[]]'),
    case("a list subclass is walked by index", ListSub([1, 2]), b"[1,2]"),
    case("a dict subclass is walked as a dict", DictSub(a=1), b'{"a":1}'),
    case("a dataclass gives its declared fields including class variables", Point(1, "<"),
         b'{"x":1,"y":"\\u003c","c":7}'),
    case("a columns tuple picks attributes in order", Columns(), b'{"id":1,"name":"\\u003cn\\u003e"}'),
    case("a columns dict uses its str keys in order", ColumnsDict(), b'{"b":2,"a":1}'),
    case("non-str column items are skipped", ColumnsSkips(), b'{"a":1,"b":2}'),
    case("a columns list declines without trying the next name", ColumnsList(), b'"listed"'),
    case("struct fields are used", StructFields(), b'{"q":[1]}'),
    case("columns come before dataclass fields", ColumnsBeatDataclass(), b'{"a":1}'),
    case("columns on the instance are not looked at", InstanceColumnsOnly(), b'"inst"'),
    case("a raising columns lookup counts as missing", ColumnsLookupRaises(), b'{"z":0}'),
    case("other values fall back to their str", [b"ab", {1}, decimal.Decimal("1.50"), Plain.A],
         b"[\"b'ab'\",\"{1}\",\"1.50\",\"Plain.A\"]"),
    case("a str with lone surrogates in the fallback", Lone(), '"x\ufffd\ufffd\ufffd"'.encode()),
    case("field tuple and dict subclasses are used",
         [type("NT", (), {"__columns__": namedtuple("C", "p q")("a", "b"), "a": 1, "b": 2})(),
          type("OD", (), {"__columns__": OrderedDict([("b", 0), ("a", 0)]), "a": 1, "b": 2})()],
         b'[{"a":1,"b":2},{"b":2,"a":1}]'),
    case("a tuple subclass with columns is still an array",
         type("TC", (tuple,), {"__columns__": ("a",), "a": 1})((5,)), b"[5]"),
]


@pytest.mark.parametrize("value, expected", ENCODE_CASES)
def test_encode(value, expected):
    body = jbody(value)
    assert type(body) is bytes and body == expected


def test_encoding_failures():
    for value, name in (({1: 2}, "int"), ({None: 1}, "NoneType"), ([{b"k": 1}], "bytes")):
        assert_raises_exactly(lambda: jbody(value), TypeError, f"'{name}' object cannot be converted to 'PyString'")
    for value in ("a\ud800", {"\udc00": 1}, SurrogateField()):
        assert type(caught(jbody, value)) is UnicodeEncodeError
    assert type(caught(jbody, Missing())) is AttributeError
    err = LookupError("x")
    getter = type("G", (), {"__columns__": ("a",), "a": property(lambda self: (_ for _ in ()).throw(err))})()
    assert caught(jbody, getter) is err


def test_a_failing_str_reports_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
    foo, not_str = Foo(), NotStr()
    assert jbody([foo, not_str]) == b'["\\u003cunprintable Foo object\\u003e","\\u003cunprintable NotStr object\\u003e"]'
    assert seen == [(ValueError, foo), (TypeError, not_str)]


def test_a_field_dict_growing_during_the_walk_panics():
    cols = {"a": None, "b": None}
    exc = caught(jbody, kind("C", __columns__=cols, b=1, a=property(lambda s: cols.update(c=None) or 0))())
    assert type(exc) is panic_type() and exc.args == ("dictionary changed size during iteration",)


def compact(value):
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026").encode()


def test_every_ascii_character_and_a_few_others_match_a_compact_reference():
    # HTML-significant characters are escaped, the solidus, DEL and line separators are not
    text = "".join(map(chr, range(0x80))) + "\u00e9\u2028\u2029\U0001F600"
    assert jbody(text) == compact(text)


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


def test_a_container_its_parent_drops_during_the_walk_is_still_written_whole():
    outer = [[1, None, [2]], 3]
    outer[0][1] = Mutates(outer.clear)  # drops the container it sits in
    assert jbody(outer) == b'[[1,"m",[2]]]'
    parent = {"a": {"b": None}}
    parent["a"]["b"] = Mutates(parent.clear)
    exc = caught(jbody, parent)
    assert type(exc) is panic_type() and exc.args == ("dictionary changed size during iteration",)


def test_float_runs_and_float_headed_lists_hand_over_to_the_general_walk():
    rows = [[0.5, 2.5], [1.5, "a", [2.0, None], 3], [], [7.25], 1e300, -0.0, [float("nan"), 1.0]]
    assert jbody(rows) == b'[[0.5,2.5],[1.5,"a",[2.0,null],3],[],[7.25],1e+300,-0.0,[null,1.0]]'
    series = [i / 7 for i in range(20000)]  # grows the buffer in the middle of a run
    assert jbody([series, [series]]) == compact([series, [series]])
    outer = [[1.5, None, [2.5]], 3]
    outer[0][1] = Mutates(outer.clear)  # drops the list being walked after its float prefix
    assert jbody(outer) == b'[[1.5,"m",[2.5]]]'
