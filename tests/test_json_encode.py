"""JSON output of Response.json: compact, HTML-safe, exact number and string forms."""
import dataclasses
import enum
import json
import math
from collections import namedtuple

import pytest

import calvenor._core as core
from conftest import assert_no_leak


def dumps(value):
    return core.Response.json(value, None).body


class IntE(enum.IntEnum):
    A = 3


class StrE(str, enum.Enum):
    A = "alpha"


class PlainE(enum.Enum):
    A = 1


Point = namedtuple("Point", "x y")


@dataclasses.dataclass
class DC:
    x: int
    y: str


class Columns:
    __columns__ = ("id", "name")

    def __init__(self):
        self.id, self.name = 7, "n"


class DictFields:
    __struct_fields__ = {"b": None, 1: None, "a": None}
    a, b = 1, 2


class TupleNoStr:
    __columns__ = (1, 2)


class ListColumns:
    __columns__ = ["id"]

    def __str__(self):
        return "list-columns"


class Missing:
    __columns__ = ("nope",)


class Foo:
    def __str__(self):
        raise RuntimeError("no text")


class Surrogate:
    def __str__(self):
        return "a\ud800b"


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"a": [1, 2.5, None, True, False]}, b'{"a":[1,2.5,null,true,false]}'),
        ("1 < 2 & 3 > 0 / 4", b'"1 \\u003c 2 \\u0026 3 \\u003e 0 / 4"'),
        ("\x01\x0b\x1f\t\n\r\b\f\"\\", b'"\\u0001\\u000b\\u001f\\t\\n\\r\\b\\f\\"\\\\"'),
        ("\x7f\u00e9\u2028", "\"\x7f\u00e9\u2028\"".encode()),
        (2**63 - 1, b"9223372036854775807"),
        (-(2**63), b"-9223372036854775808"),
        (2**63, b"9223372036854775808"),
        (2**64 - 1, b"18446744073709551615"),
        (2**64, b"1.8446744073709552e+19"),
        (-(2**63) - 1, b"-9.223372036854776e+18"),
        (10**400, b"null"),
        (-(10**400), b"null"),
        (0, b"0"),
        (-5, b"-5"),
        (True, b"true"),
        (IntE.A, b"3"),
        (StrE.A, b'"alpha"'),
        (PlainE.A, b'"PlainE.A"'),
        ((1, "a"), b'[1,"a"]'),
        (Point(1, 2), b"[1,2]"),
        ([], b"[]"),
        ((), b"[]"),
        ({}, b"{}"),
        (b"ab", b"\"b'ab'\""),
        (DC(1, "q"), b'{"x":1,"y":"q"}'),
        (Columns(), b'{"id":7,"name":"n"}'),
        (DictFields(), b'{"b":2,"a":1}'),
        (TupleNoStr(), b"{}"),
        (ListColumns(), b'"list-columns"'),
        (Surrogate(), '"a\ufffd\ufffd\ufffdb"'.encode()),
    ],
    ids=lambda v: None,
)
def test_values(value, expected):
    assert dumps(value) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (1.0, "1.0"), (0.1, "0.1"), (-0.0, "-0.0"), (0.0, "0.0"), (1e15, "1000000000000000.0"), (1e16, "1e+16"),
        (0.00001, "0.00001"), (0.000001, "1e-6"), (1.5e-7, "1.5e-7"), (3.25, "3.25"), (100.0, "100.0"),
        (1.7976931348623157e308, "1.7976931348623157e+308"), (5e-324, "5e-324"), (-2.5e-300, "-2.5e-300"),
        (123456789012345.6, "123456789012345.6"), (0.3, "0.3"), (2 / 3, "0.6666666666666666"),
        (math.nan, "null"), (math.inf, "null"), (-math.inf, "null"),
    ],
)
def test_floats(value, expected):
    assert dumps(value).decode() == expected


@pytest.mark.parametrize("seed", range(3))
def test_floats_round_trip(seed):
    import random

    rnd = random.Random(seed)
    values = [rnd.uniform(-1e6, 1e6) for _ in range(300)] + [rnd.random() * 10 ** rnd.randint(-320, 300) for _ in range(300)]
    decoded = json.loads(dumps(values))
    assert decoded == values
    for v in values:
        assert len(dumps(v).decode().lstrip("-").replace(".", "").split("e")[0].strip("0")) <= len(repr(v))


@pytest.mark.parametrize(
    "key, name", [(1, "int"), (None, "NoneType"), ((1,), "tuple"), (1.5, "float"), (True, "bool")]
)
def test_non_str_keys_are_refused(key, name):
    with pytest.raises(TypeError) as info:
        dumps({key: 1})
    assert str(info.value) == f"'{name}' object cannot be converted to 'PyString'"


def test_lone_surrogates_in_strings_and_keys_fail():
    with pytest.raises(UnicodeEncodeError):
        dumps("\ud800")
    with pytest.raises(UnicodeEncodeError):
        dumps({"\udfff": 1})


def test_missing_field_raises_attribute_error():
    with pytest.raises(AttributeError):
        dumps(Missing())


def test_unprintable_object_goes_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: seen.append(u))
    assert dumps([Foo()]) == b'["\\u003cunprintable Foo object\\u003e"]'
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


def panic_type():
    d = {"a": 1}

    class Grow:
        def __str__(self):
            d["new"] = 1
            return "x"

    d["b"] = Grow()
    try:
        dumps(d)
    except BaseException as e:  # noqa: BLE001 - the internal fault is a BaseException
        return e
    raise AssertionError("no fault")


def test_dict_changed_during_encoding_is_an_internal_fault():
    exc = panic_type()
    assert type(exc).__name__ == "PanicException"
    assert isinstance(exc, BaseException) and not isinstance(exc, Exception)
    assert str(exc) == "dictionary changed size during iteration"
    assert exc.__doc__


def test_dict_keys_changed_during_encoding():
    d = {}

    class Swap:
        def __str__(self):
            # same size, different keys: more entries come out than the dict had
            d.pop("k0", None)
            d["z" + str(len(seen))] = 0
            seen.append(1)
            return "s"

    seen = []
    d["k0"] = Swap()
    d["k1"] = Swap()
    with pytest.raises(BaseException) as info:
        dumps(d)
    assert str(info.value) in ("dictionary keys changed during iteration", "dictionary changed size during iteration")


def test_list_growing_during_encoding_is_bounded():
    items = []

    class Grow:
        def __str__(self):
            items.append(1)
            return "g"

    items.extend([Grow(), Grow()])
    assert dumps(items) == b'["g","g"]'

    shrink = []

    class Shrink:
        def __str__(self):
            shrink.clear()
            return "s"

    shrink.extend([Shrink(), 1, 2])
    assert dumps(shrink) == b'["s"]'


def test_panic_raised_by_python_code_is_reported_and_raised_again(capsys):
    ptype = type(panic_type())

    class Raises:
        __columns__ = ("x",)

        @property
        def x(self):
            raise ptype("from python")

    with pytest.raises(ptype) as info:
        dumps(Raises())
    assert str(info.value) == "from python"
    err = capsys.readouterr().err
    assert "resuming an internal fault" in err and "Traceback" in err


@pytest.mark.parametrize("make", [lambda: (l := [], l.append(l))[0], lambda: (d := {}, d.update(a=d))[0]],
                         ids=["self-containing list", "self-containing dict"])
def test_cycles_raise_recursion_error(make):
    with pytest.raises(RecursionError):
        dumps(make())


def test_very_deep_nesting_raises_recursion_error():
    value = []
    for _ in range(100_000):
        value = [value]
    with pytest.raises(RecursionError):
        dumps(value)
    assert dumps([[[1]]]) == b"[[[1]]]"


def test_matches_stdlib_on_a_mixed_document():
    doc = {"users": [{"id": i, "name": f"n{i}\u00e9", "score": i / 7, "tags": ["a", "b"], "ok": i % 2 == 0}
                     for i in range(50)], "meta": {"count": 50, "next": None}}
    expected = json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()
    assert dumps(doc) == expected


def test_encoder_does_not_leak():
    doc = {"a": [1, 2.5, "x" * 40, {"b": None}], "c": DC(1, "y"), "d": 2**70, "e": Foo}
    assert_no_leak(lambda: dumps(doc))

    def failing():
        for bad in ({1: 1}, {"a": "\ud800"}, Missing()):
            try:
                dumps(bad)
            except (TypeError, UnicodeEncodeError, AttributeError):
                pass

    assert_no_leak(failing)
