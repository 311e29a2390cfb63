"""Request.json(): Python values built from the parsed body, and positioned errors."""
import gc
import itertools
import json
import math
import os
import random
import re
import subprocess
import sys
import timeit

import pytest

from calvenor._core import Request
from conftest import assert_raises_exactly, case, caught

POW10 = [float("1e%d" % k) for k in range(309)]
U64 = 2**64 - 1


OutOfRange = type("OutOfRange", (Exception,), {})


def ref_number(text):
    """Reference number conversion (u64 significand, power-of-ten scaling), for grammatical texts."""
    m = re.fullmatch(r"(-?)(0|[1-9][0-9]*)(?:\.([0-9]+))?(?:[eE]([+-]?)([0-9]+))?", text)
    neg, ip, fp, esign, edigits = m.groups()
    sig, e, over = 0, 0, False
    for ch in ip:  # digits past the u64 significand only scale it
        over = over or sig * 10 + int(ch) > U64
        sig, e = (sig, e + 1) if over else (sig * 10 + int(ch), e)
    int_overflowed, over = over, False
    for ch in fp or "":
        over = over or sig * 10 + int(ch) > U64
        sig, e = (sig, e) if over else (sig * 10 + int(ch), e - 1)
    if fp is None and edigits is None and not int_overflowed:
        if neg:
            return -0.0 if sig == 0 else -sig if sig <= 2**63 else -float(sig)
        return float(sig) if sig >= 2**63 else sig
    sign = -1.0 if neg else 1.0
    if edigits is not None:
        ev = 0
        for ch in edigits:
            if ev * 10 + int(ch) > 2**31 - 1:
                if sig != 0 and esign != "-":
                    raise OutOfRange
                return math.copysign(0.0, sign)
            ev = ev * 10 + int(ch)
        e += -ev if esign == "-" else ev
    f = float(sig)
    while abs(e) > 308:
        if f == 0:
            return math.copysign(0.0, sign)
        if e >= 0:
            raise OutOfRange
        f /= 1e308
        e += 308
    if e >= 0:
        f *= POW10[e]
        if math.isinf(f):
            raise OutOfRange
    else:
        f /= POW10[-e]
    return math.copysign(f, sign) if f == 0 else f * sign


def decode(body):
    r = Request("POST", "/", "")
    if body is not None:
        r.set_body(body.encode() if isinstance(body, str) else body)
    return r.json()


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or (a != a and b != b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


CTL = "control character (\\u0000-\\u001F) found while parsing a string"

JSON_ERRORS = [
    case("an empty body", "", "EOF while parsing a value", 1, 0),
    case("a missing comma in a list", "[1 2]", "expected `,` or `]`", 1, 4),
    case("a trailing comma in a list", "[1,]", "trailing comma", 1, 4),
    case("a number key", "{1:2}", "key must be a string", 1, 2),
    case("a missing colon", '{"a" 1}', "expected `:`", 1, 6),
    case("bytes after a list", "[1]x", "trailing characters", 1, 4),
    case("a wrong literal byte", "nul1", "expected ident", 1, 4),
    case("a leading zero", "01", "invalid number", 1, 2),
    case("a byte-order mark", "\ufeff{}", "expected value", 1, 1),
    case("128 opening brackets", "[" * 128, "recursion limit exceeded", 1, 128),
    case("128 opening braces", '{"a":' * 128, "recursion limit exceeded", 1, 127 * 5 + 1),
    case("a raw line feed in a string", '"a\n"', CTL, 2, 0),
    case("127 opening brackets then the end", "[" * 127, "EOF while parsing a list", 1, 127),
    case("a list starting with a comma", "[,1]", "expected value", 1, 2),
    case("an open brace", "{", "EOF while parsing an object", 1, 1),
    case("an object ending after a value", '{"a":1', "EOF while parsing an object", 1, 6),
    case("a missing comma in an object", '{"a":1 "b":2}', "expected `,` or `}`", 1, 8),
    case("a wrong literal byte deep inside is placed exactly", '{"a":[{"b":tx}]}', "expected ident", 1, 13),
    case("a lone minus", "-", "EOF while parsing a value", 1, 1),
    case("a minus before a letter", "-a", "invalid number", 1, 2),
    case("an exponent at the end", "1e", "EOF while parsing a value", 1, 2),
    case("an exponent sign before a letter", "1e+a", "invalid number", 1, 4),
    case("1e400", "1e400", "number out of range", 1, 5),
    case("a long exponent fails at the digit that no longer fits", "1e99999999999", "number out of range", 1, 12),
    case("an unterminated string", '"abc', "EOF while parsing a string", 1, 4),
    case("a backslash at the end", '"\\', "EOF while parsing a string", 1, 2),
    case("an unknown escape", '"\\x"', "invalid escape", 1, 3),
    case("a short hex escape before the quote", '"\\u12"', "EOF while parsing a string", 1, 6),
    case("a bad hex digit is reported at the fourth digit", '"\\u1G34"', "invalid escape", 1, 7),
    case("a lone trailing surrogate", '"\\ude00"', "lone leading surrogate in hex escape", 1, 7),
    case("a high surrogate before the closing quote", '"\\ud83d"', "unexpected end of hex escape", 1, 8),
    case("a high surrogate and a non-surrogate", '"\\ud83d\\u0041"', "lone leading surrogate in hex escape", 1, 13),
    case("a high surrogate and a bad digit", '"\\ud83d\\uZ000"', "invalid escape", 1, 13),
    case("a raw 0xFF in a string", b'"\xff"', "invalid unicode code point", 1, 3),
    case("invalid UTF-8 after a line feed is placed on its line", b'{"k":\n  "\xff"}', "invalid unicode code point", 2, 5),
    case("an encoded surrogate", b'"\xed\xa0\x80"', "invalid unicode code point", 1, 5),
    case("an overlong NUL", b'"\xc0\x80"', "invalid unicode code point", 1, 4),
    case("a code point above U+10FFFF", b'"\xf4\x90\x80\x80"', "invalid unicode code point", 1, 6),
    case("a cut sequence", b'"\xe2\x82"', "invalid unicode code point", 1, 4),
    case("a form feed is not whitespace", "\f1", "expected value", 1, 1),
    case("carriage returns count as bytes", "\r\n\r x", "expected value", 2, 3),
    case("columns count bytes", '["é" x]', "expected `,` or `]`", 1, 7),
    case("lines count line feeds", "[\n1\n,\n]", "trailing comma", 4, 1),
    case("invalid UTF-8 in a key", b'{"\xff":1}', "invalid unicode code point", 1, 4),
    case("a bad byte does not hide a later control character", b'"\xff\x01"', CTL, 1, 3),
    case("a control character past the first 16 bytes", '"0123456789abcdefghij\x05"', CTL, 1, 22),
    case("invalid UTF-8 past the first 16 bytes", b'"0123456789abcdef\xe2\x82\xac\xff 0123456789abcdef"',
         "invalid unicode code point", 1, 39),
    case("a cut sequence before an escape", b'"\xc3\\u00a9"', "invalid unicode code point", 1, 9),
    case("a continuation byte after an escape", b'"\\u00e9\xa9"', "invalid unicode code point", 1, 9),
    # a key guessed from the object before must not accept text or move a position
    case("a guessed key then a stray quote", '[{"k":0,"a\\"":1},{"k":0,"a"":1}]', "expected `:`", 1, 28),
    case("a guessed key cut at its end", '[{"abc":1},{"abc', "EOF while parsing a string", 1, 16),
    case("a guessed key cut short", '[{"abc":1},{"ab', "EOF while parsing a string", 1, 15),
    case("a guessed key cut after its quote", '[{"abc":1},{"abc"', "EOF while parsing an object", 1, 17),
    case("a guess missed by an escape", '[{"abc":1},{"abc\\n":1}', "EOF while parsing a list", 1, 22),
]


@pytest.mark.parametrize("body, message, line, column", JSON_ERRORS)
def test_error(body, message, line, column):
    assert_raises_exactly(lambda: decode(body), ValueError,
                          f"Invalid JSON: {message} at line {line} column {column}")


def test_a_failed_parse_leaves_the_request_usable_and_each_parse_makes_new_objects():
    r = Request("POST", "/", "")
    r.set_body(b"[1,")
    caught(r.json)
    r.set_body(b'{"a":[1]}')
    a, b = r.json(), r.json()
    assert a == b == {"a": [1]} and a is not b and a["a"] is not b["a"]


NUMBER_TEXTS = [
    "-1e-400", "1E+2", "1e-2", "0.1", "-18446744073709551616", "123456789012345678901234567890", "0e99999999999",
    "-1e-99999999999", "1e-2147483648", "2.2250738585072014e-308", "4.9e-324", "1e-324", "2.5e-310", "1e23",
    "8.98846567431158e307", "123456789e300", "0.1000000000000000055511151231257827", "18446744073709551616.0e-299",
    "18446744073709551616.5", "1" + "0" * 400 + "e-400", "0." + "0" * 400 + "1e400",
    # a significand past 2**53 is not correctly rounded; ints are ints only within 64 signed bits
    "9007199254740993.0", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
    "-9223372036854775809", "-0", "18446744073709551615",
]


def test_fixed_and_random_numbers_match_the_reference_conversion():
    rng = random.Random(99)
    texts = list(NUMBER_TEXTS)
    for _ in range(600):
        ip = str(rng.randrange(10 ** rng.randrange(1, 25)))
        fp = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 30)))
        ex = rng.choice(["", "e%d" % rng.randrange(-330, 300), "E+%d" % rng.randrange(0, 20)])
        text = rng.choice(["", "-"]) + ip + "." + fp + ex
        try:
            ref_number(text)
        except OutOfRange:
            continue
        texts.append(text)
    got = decode("[" + ",".join(texts) + "]")
    expected = [ref_number(t) for t in texts]
    bad = [(t, g, e) for t, g, e in zip(texts, got, expected) if not same(g, e)]
    assert bad == []


@pytest.mark.parametrize("body, expected", [
    case("no body decodes as an empty dict", None, {}),
    case("a later duplicate wins and keys are sorted", '{"b":1,"a":2,"b":3}', {"a": 2, "b": 3}),
    case("keys sort by bytes, a prefix first", '{"é":3,"ab":4,"a":2,"B":1,"":0}',
         {"": 0, "B": 1, "a": 2, "ab": 4, "é": 3}),
    case("keys sort by UTF-8 bytes, not UTF-16 units", '{"😀":1,"\uffff":2}', {"\uffff": 2, "😀": 1}),
    case("nested objects are sorted too", '{"z":{"y":1,"x":[{"b":1,"a":2}]}}',
         {"z": {"x": [{"a": 2, "b": 1}], "y": 1}}),
    case("a surrogate pair escape", '"\\ud83d\\ude00"', "\U0001F600"),
    case("all simple escapes", '"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
    case("uppercase hex digits", '"\\u00C9\\uFFFF"', "É\uffff"),
    case("DEL is not a control character", '"\x7f"', "\x7f"),
    case("literals and whitespace around values", ' \t\r\n[ 1 , { }, true,false,null,"" ] \n',
         [1, {}, True, False, None, ""]),
    case("escapes inside keys", '{"\\u0061":1}', {"a": 1}),
    case("equal short strings stay equal and distinct ones distinct",
         '["ab",{"ab":"a\\u0062","abc":""},"","a\\"","a\\""]',
         ["ab", {"ab": "ab", "abc": ""}, "", 'a"', 'a"']),
    case("many siblings do not use up the nesting budget", "[" + "[]," * 300 + "[]]", [[]] * 301),
])
def test_values(body, expected):
    assert same(decode(body), expected)


def decoder_order(value):  # keys sorted by UTF-8 bytes, the last duplicate winning
    if isinstance(value, dict):
        return {k: decoder_order(value[k]) for k in sorted(value, key=str.encode)}
    return [decoder_order(v) for v in value] if isinstance(value, list) else value


@pytest.mark.parametrize("body", [
    case("same-shaped objects with keys guessed right, wrong, reordered or as a prefix",
         '[{"a":1,"b":2,"c":3},{"a":4,"b":5,"c":6},{"a":7,"x":8,"c":9},{"a":1,"b":2,"b":3},'
         '{"c":1,"b":2,"a":3},{"c":4,"b":5,"a":6},{"a":1,"b":2,"c":3},{"ab":1},{"abc":2},{"ab":3},'
         '{"a\\u0062":4,"b":5},{"ab":6,"b":7}]'),
    case("each enclosing key guesses for its own objects",
         '{"u":{"id":1,"n":2},"v":[{"id":3,"n":4},{"id":5,"m":6},{"n":7,"id":8}]}'),
])
def test_guessed_keys_decode_as_unguessed_ones(body):
    assert same(decode(body), decoder_order(json.loads(body)))


def test_127_mixed_levels_decode_twice_in_a_row():
    text = '{"a":[' * 63 + "1" + "]}" * 63
    value = decode("[" + text + "," + text + "]")
    assert value[0] == value[1] and value[1]["a"][0]["a"] is not None
    deeper = "[[" + text + "]]"
    column = [i for i, ch in enumerate(deeper) if ch in "[{"][127] + 1
    assert_raises_exactly(lambda: decode(deeper), ValueError,
                          f"Invalid JSON: recursion limit exceeded at line 1 column {column}")


@pytest.mark.parametrize("enabled", [True, False], ids=["with the collector on", "with the collector off"])
def test_collector_state_is_left_as_found(enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        decode(b'[{"a":[1]},{"b":{}}]')
        caught(decode, b'[{"a":[1]},{"b":{}}')
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def strings_with_one_old_hash(count):
    """8-byte printable strings sharing one value of the decoder's former unkeyed hash
    (h = ((8K ^ x) * K mod 2**64) >> 32, x the little-endian bytes), found by inverting K."""
    k, mask32 = 0x9E3779B97F4A7C15, 2**32 - 1
    k_inv32, y0 = pow(k & mask32, -1, 2**32), (8 * k) & (2**64 - 1)
    ok = bytes(sorted(set(range(0x20, 0x7F)) - {ord('"'), ord("\\")}))
    found = []
    for lo in itertools.product(ok, repeat=4):
        lo = bytes(lo)
        y_lo = int.from_bytes(lo, "little") ^ (y0 & mask32)
        y_hi = ((0x1234 - (((y_lo * k) & (2**64 - 1)) >> 32)) * k_inv32) & mask32
        hi = (y_hi ^ (y0 >> 32)).to_bytes(4, "little")
        if hi.translate(None, ok) == b"":
            found.append((lo + hi).decode())
            if len(found) == count:
                return found


@pytest.mark.parametrize("as_keys", [False, True], ids=["colliding strings as values", "colliding strings as keys"])
def test_strings_built_to_collide_cost_no_more_than_ordinary_ones(as_keys):
    hostile, rng = strings_with_one_old_hash(5000), random.Random(1)
    rng.shuffle(hostile)  # found in ascending order, which would spare the key sort
    benign = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(8)) for _ in hostile]

    def body(texts):
        return json.dumps(dict.fromkeys(texts, 0) if as_keys else texts, separators=(",", ":")).encode()

    hostile_body, benign_body = body(hostile), body(benign)
    assert len(hostile_body) == len(benign_body) and decode(hostile_body) == json.loads(hostile_body)
    def best_time(body):
        return min(timeit.repeat(lambda: decode(body), number=1, repeat=5))

    ratio = best_time(hostile_body) / best_time(benign_body)
    assert ratio < 3, f"hostile body took {ratio:.1f}x the time of a benign one"


def test_keys_decode_right_while_more_keys_than_the_key_cache_holds_come_and_go():
    bodies = [json.dumps({f"k{i}-{j}": j for j in range(50)}) for i in range(60)]
    first = [decode(b) for b in bodies]
    again = [decode(b) for b in reversed(bodies)]
    assert first == [json.loads(b) for b in bodies] and again == first[::-1]


def test_objects_repeating_earlier_key_sequences_keep_their_own_keys_sorted_and_last_value_winning():
    long = "profile_background_image_url_https"  # longer than the string table takes
    shapes = [["b", "a", "b"], ["b", "a", "c"], [long + "_y", long + "_x", "id"], [long + "_x", long + "_y", "id"],
              ["\\u0062", "a", "é"]]
    rng = random.Random(3)
    parts = []
    for n in range(400):
        keys = rng.choice(shapes) if n % 7 else [rng.choice("abc\u00e9") for _ in range(3)]
        parts.append("{" + ",".join(f'"{k}":"{rng.choice(["v", "é", "\\u00e9"])}{n}"' for k in keys) + "}")
    body = ("[" + ",".join(parts) + "]").encode()
    expected = [dict(sorted(o.items(), key=lambda kv: kv[0].encode())) for o in json.loads(body)]
    got = decode(body)
    assert got == expected and [list(o) for o in got] == [list(o) for o in expected]


def _outcome(body):
    try:
        return repr(decode(body))  # the repr shows key order
    except ValueError as exc:
        return str(exc)


def test_a_warm_decoder_answers_each_body_as_a_cold_process_does():
    # Keys spelled plain and escaped, short and past the key cache, in bodies small and large
    # enough for the parse tables; a third break off mid-document after their keys were seen.
    rng = random.Random(11)
    keys = ["ab", "a\\u0062", "\\u00e9", "é", "\\ud83d\\ude00", "k" * 32, "k" * 33, "x\\\"y"]
    bodies = []
    for n in range(24):
        objects = ["{" + ",".join(f'"{rng.choice(keys)}":{rng.choice(["1", "[]", "-0", "{}"])}'
                                  for _ in range(rng.randrange(1, 6))) + "}" for _ in range(rng.randrange(1, 40))]
        text = "[" + ",".join(objects) + "]"
        bodies.append((text[: rng.randrange(2, len(text))] if n % 3 == 0 else text) + " " * (n % 2 * 2100))
    for body in bodies[::-1] + bodies:
        _outcome(body)
    script = ("import sys\nfrom calvenor._core import Request\nr = Request('POST', '/', '')\n"
              "r.set_body(sys.argv[1].encode())\ntry:\n    print(repr(r.json()))\nexcept ValueError as e:\n    print(e)")
    for body in bodies[::5]:  # small and large, whole and cut short
        cold = subprocess.run([sys.executable, "-c", script, body], capture_output=True, text=True, timeout=60,
                              check=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
        assert cold.stdout[:-1] == _outcome(body)
