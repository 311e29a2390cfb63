"""Request.json(): Python values built from the parsed body, and positioned errors."""

import gc
import math

import pytest

from conftest import assert_no_leak

import calvenor._core as core


def decode(body):
    r = core.Request("POST", "/", "")
    if body is not None:
        r.set_body(body)
    return r.json()


def error_of(body):
    with pytest.raises(ValueError) as info:
        decode(body)
    assert type(info.value) is ValueError
    return str(info.value)


@pytest.mark.parametrize(
    "body, message",
    [
        (b"", "EOF while parsing a value at line 1 column 0"),
        (b"   ", "EOF while parsing a value at line 1 column 3"),
        (b"\n", "EOF while parsing a value at line 2 column 0"),
        (b"x", "expected value at line 1 column 1"),
        (b"[1 2]", "expected `,` or `]` at line 1 column 4"),
        (b"[1,]", "trailing comma at line 1 column 4"),
        (b'{"a":1,}', "trailing comma at line 1 column 8"),
        (b"{1:2}", "key must be a string at line 1 column 2"),
        (b'{"a" 1}', "expected `:` at line 1 column 6"),
        (b"[1]x", "trailing characters at line 1 column 4"),
        (b"tru", "EOF while parsing a value at line 1 column 3"),
        (b"nul1", "expected ident at line 1 column 4"),
        (b"01", "invalid number at line 1 column 2"),
        (b"1.", "EOF while parsing a value at line 1 column 2"),
        (b"\xef\xbb\xbf{}", "expected value at line 1 column 1"),
        (b"[" * 128, "recursion limit exceeded at line 1 column 128"),
        (b'"a\n"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
        (b'["\\ude00"]', "lone leading surrogate in hex escape at line 1 column 8"),
        (b'"\\ud83d"', "unexpected end of hex escape at line 1 column 8"),
        (b'{"k":\n  "\xff"}', "invalid unicode code point at line 2 column 5"),
        (b"[1e400]", "number out of range at line 1 column 6"),
        (b'{"a":[{"b":tx}]}', "expected ident at line 1 column 13"),
    ],
)
def test_errors_carry_prefix_message_and_position(body, message):
    assert error_of(body) == "Invalid JSON: " + message


@pytest.mark.parametrize(
    "body, expected",
    [
        (b"9223372036854775807", 9223372036854775807),
        (b"9223372036854775808", 9.223372036854776e18),
        (b"18446744073709551615", 1.8446744073709552e19),
        (b"-9223372036854775808", -9223372036854775808),
        (b"-9223372036854775809", -9.223372036854776e18),
        (b"0", 0),
        (b"1.0", 1.0),
        (b"1e2", 100.0),
        (b"9007199254740993.0", 9007199254740994.0),
        (b"1e-400", 0.0),
        (b"0e999", 0.0),
    ],
)
def test_number_kinds(body, expected):
    value = decode(body)
    assert type(value) is type(expected)
    assert value == expected


def test_negative_zero_is_a_float_with_its_sign():
    value = decode(b"[-0, -0.0, -1e-400]")
    assert all(type(v) is float and v == 0 and math.copysign(1, v) == -1 for v in value)


def test_values_and_strings():
    assert decode(b' [null, true, false, "", "caf\xc3\xa9", "\\u00e9\\ud83d\\ude00\\u0000", [], {}] ') == [
        None, True, False, "", "café", "é\U0001F600\x00", [], {},
    ]


def test_objects_list_keys_in_byte_order_and_last_duplicate_wins():
    value = decode(b'{"b":1,"a":2,"b":3}')
    assert list(value.items()) == [("a", 2), ("b", 3)]
    assert list(decode('{"é":3,"a":2,"B":1,"":0}'.encode())) == ["", "B", "a", "é"]
    nested = decode(b'{"z":{"y":[{"d":1,"c":2}]},"a":null}')
    assert list(nested) == ["a", "z"] and list(nested["z"]["y"][0]) == ["c", "d"]


def test_repeated_keys_and_values_are_equal_strs():
    docs = decode(b'[{"name":"x","id":1},{"name":"x","id":2}]')
    assert [d["id"] for d in docs] == [1, 2]
    assert all(type(k) is str for d in docs for k in d)
    assert docs[0]["name"] == docs[1]["name"] == "x"


def test_absent_body_decodes_as_empty_object():
    assert decode(None) == {}


def test_127_levels_decode():
    value = decode(b"[" * 127 + b"]" * 127)
    depth = 0
    while value:
        value = value[0]
        depth += 1
    assert depth == 126


def test_results_are_new_objects_each_call():
    r = core.Request("POST", "/", "")
    r.set_body(b'{"a":[1,2]}')
    first, second = r.json(), r.json()
    assert first == second and first is not second and first["a"] is not second["a"]


@pytest.mark.parametrize(
    "body",
    [
        b'{"statuses":[{"id":1,"text":"caf\xc3\xa9 \\n","user":{"b":1.5,"a":[true,null]}}],"z":-7}',
        b'[1,2,{"a":"\\ud83d"}]',
        b'{"a":1,"a":[' + b"1," * 50 + b"x]}",
    ],
    ids=["document", "error inside", "error after many values"],
)
def test_no_leaks(body):
    def run():
        try:
            decode(body)
        except ValueError:
            pass

    assert_no_leak(run)


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_left_as_found(enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        decode(b'[{"a":[1]},{"b":{}}]')
        error_of(b'[{"a":[1]},{"b":{}}')
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
