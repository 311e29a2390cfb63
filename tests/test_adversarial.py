"""Hostile inputs that have made other web parsers slow or crash: each gives its exact result at
no more than a generous multiple of the cost of a benign input of the same size, timed alongside
(quadratic or exponential behaviour fails, slow code does not)."""
import os
import time

import pytest

import calvenor._core as core
from conftest import case

# Sanitizers slow byte loops far more than bulk copies, so their runs get more room.
FACTOR = 25 if os.environ.get("CALVENOR_SANITIZED") else 10
FLOOR = 0.02  # below this a timing says nothing; the benign time is raised to it
MB = 1 << 20


def best_time(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def proportional(name, hostile, benign, repeat=2):
    """Runs both, asserts the hostile one is within FACTOR of the benign one, returns its result."""
    t_benign, _ = best_time(benign, repeat)
    t_hostile, result = best_time(hostile, repeat)
    assert t_hostile <= FACTOR * max(t_benign, FLOOR), f"{name}: {t_hostile:.3f}s against {t_benign:.3f}s"
    return result


def outcome(fn):
    try:
        return fn()
    except ValueError as e:
        return str(e)


def with_body(body):
    r = core.Request("POST", "/upload", "")
    r.set_body(body)
    return r


B = "XyZzy"
DELIM = b"--" + B.encode()


def field_part(name, value, delim=DELIM):
    return delim + b'\r\nContent-Disposition: form-data; name="' + name + b'"\r\n\r\n' + value + b"\r\n"


def multipart(body, boundary=B):
    """Parses `body` against an ordinary form of the same size: fields of a kilobyte of letters."""
    delim = b"--" + boundary.encode()
    part = field_part(b"field", b"a" * 1000, delim)
    benign = with_body(part * max(1, len(body) // len(part)) + delim + b"--\r\n")
    r = with_body(body)
    return proportional(f"multipart {body[:16]!r}", lambda: r.parse_multipart(boundary),
                        lambda: benign.parse_multipart(boundary))


@pytest.mark.parametrize("body, expected", [
    case("megabytes of CR LF before the first delimiter", b"\r\n" * (2 * MB) + field_part(b"a", b"1"),
         ({"a": ["1"]}, {})),
    case("megabytes of hyphens before the first delimiter", b"-" * (4 * MB) + field_part(b"a", b"1"), ({}, {})),
    case("fifty thousand empty files of one name",
         (DELIM + b'\r\nContent-Disposition: form-data; name="f"; filename=""\r\n\r\n\r\n') * 50_000,
         ({}, {"f": [("", "", b"")] * 50_000})),
    case("a hundred thousand header lines and no blank line",
         DELIM + b"\r\n" + b"Content-Disposition: form-data; name=a\r\n" * 100_000, ({}, {})),
    case("one header line of megabytes", DELIM + b"\r\nContent-Disposition: form-data; name=" + b"a" * (4 * MB),
         ({}, {})),
    case("a hundred thousand header lines that do end",
         DELIM + b"\r\n" + b"X-Filler: vvvvvvvvvvvvvvvvvvvv\r\n" * 100_000 + b"Content-Disposition: form-data; "
         b'name="a"\r\n\r\nvalue\r\n', ({"a": ["value"]}, {})),
    case("a disposition with a hundred thousand parameters",
         DELIM + b"\r\nContent-Disposition: form-data" + b"; x=1" * 100_000 + b'; name="n"; filename*=UTF-8\'\''
         + b"%41" * 100_000 + b"\r\n\r\ndata\r\n", ({}, {"n": [("A" * 100_000, "", b"data")]})),
])
def test_multipart_hostile_structure(body, expected):
    assert multipart(body + DELIM + b"--\r\n") == expected


@pytest.mark.parametrize("boundary, filler", [
    case("one-byte boundary, data of hyphens", "x", b"-"),
    case("one-byte boundary, data of near delimiters", "x", b"-\r\n--"),
    case("200-byte periodic boundary, data of its period", "ab" * 99 + "ac", b"ab"),
])
def test_multipart_data_made_of_near_delimiters(boundary, filler):
    delim = b"--" + boundary.encode()
    data = filler * (4 * MB // len(filler))
    body = field_part(b"a", data, delim) + field_part(b"b", b"2", delim) + delim + b"--\r\n"
    assert multipart(body, boundary) == ({"a": [data.decode()], "b": ["2"]}, {})


@pytest.mark.parametrize("qs, check", [
    case("a hundred thousand repeats of one parameter", "a=1&" * 100_000, lambda q: q == {"a": ["1"] * 100_000}),
    case("a hundred thousand distinct parameters", "&".join(f"k{i}=v{i}" for i in range(100_000)),
         lambda q: len(q) == 100_000 and q["k99999"] == ["v99999"]),
    case("a percent sign at every position", "%" * 500_000 + "=" + "%" * 500_000,
         lambda q: q == {"%" * 500_000: ["%" * 500_000]}),
    case("latin-1 escapes at every third position", "a=" + "%e9" * 300_000, lambda q: q == {"a": ["é" * 300_000]}),
    case("failed escapes hiding valid ones", "a=" + "%%41" * 250_000, lambda q: q == {"a": ["%%41" * 250_000]}),
    case("a million equals signs", "=" * 1_000_000, lambda q: q == {"": ["=" * 999_999]}),
])
def test_query_string(qs, check):
    r = core.Request("GET", "/", qs)
    benign = core.Request("GET", "/", "&".join(f"name{i % 50}=value{i}" for i in range(len(qs) // 14)))
    assert check(proportional(f"query {qs[:12]!r}", lambda: r.query, lambda: benign.query))


def json_outcome(body, repeat=2):
    record = b'{"id":12345,"name":"abcdefgh","score":3.25,"tags":["x","y"],"ok":true}'
    benign = with_body(b"[" + b",".join([record] * max(1, len(body) // (len(record) + 1))) + b"]")
    r = with_body(body)
    return proportional(f"json {body[:12]!r}", lambda: outcome(r.json), benign.json, repeat)


@pytest.mark.parametrize("body, expected", [
    case("ten megabytes of hex escapes", b'"' + b"\\u00e9" * (10 * MB // 6) + b'"', "é" * (10 * MB // 6)),
    case("ten megabytes of surrogate pair escapes", b'"' + b"\\ud83d\\ude00" * (10 * MB // 12) + b'"',
         "\U0001f600" * (10 * MB // 12)),
    case("five megabytes of escapes then a bad one", b'"' + b"\\n" * (5 * MB) + b'\\x"',
         f"Invalid JSON: invalid escape at line 1 column {10 * MB + 3}"),
    case("a hundred thousand integer digits", b"1" * 100_000,
         "Invalid JSON: number out of range at line 1 column 100000"),
    case("a hundred thousand digits scaled back by the exponent", b"1" * 100_000 + b"e-99990", 1111111111.1111112),
    case("a million duplicate keys keep the last value", b"{" + b'"k":1,' * 999_999 + b'"k":2}', {"k": 2}),
])
def test_json_large_values(body, expected):
    result = json_outcome(body, repeat=1)
    assert result == expected and type(result) is type(expected)


def test_json_a_hundred_thousand_descending_keys_come_out_sorted():
    keys = [b"%06d" % i for i in range(100_000)]
    r = with_body(b"{" + b",".join(b'"' + k + b'":0' for k in reversed(keys)) + b"}")
    ascending = with_body(b"{" + b",".join(b'"' + k + b'":0' for k in keys) + b"}")
    result = proportional("json descending keys", r.json, ascending.json, repeat=1)
    assert list(result) == [k.decode() for k in keys]


def test_route_of_ten_thousand_segments():
    static = "/s" * 10_000
    params = "".join(f"/{{p{i}}}" if i % 400 == 0 else "/s" for i in range(10_000))  # 25 parameters
    r = core.Router()
    for pattern in (static, params, "/s" * 9_999 + "/{*rest}"):
        r.add("GET", pattern, pattern[-8:])
    benign = core.Router()
    benign.add("GET", "/" + "s" * 19_999, "benign")
    near_miss = "/s" * 9_999 + "/t"  # the catch-all takes it after the static path fails
    for path, expected in ((static, ("/s/s/s/s", None)), (near_miss, ("/{*rest}", {"rest": "t"}))):
        assert proportional("route lookup", lambda: r.lookup("GET", path),
                            lambda: benign.lookup("GET", "/" + "s" * 19_999), repeat=3) == expected
    _, found = r.lookup("GET", "".join("/v" if i % 400 == 0 else "/s" for i in range(10_000)))
    assert found == {f"p{i}": "v" for i in range(0, 10_000, 400)}


def test_five_thousand_nested_routes():
    # Every route is a prefix of the next: a chain five thousand nodes deep.
    deep = ["/" + "a" * k for k in range(1, 5_001)]
    shallow = [f"/{i}/" + "a" * (k - len(str(i)) - 1) for i, k in enumerate(range(1, 5_001))]

    def build(paths):
        r = core.Router()
        for p in paths:
            r.add("GET", p, p)
        return r

    r = proportional("5000 nested routes", lambda: build(deep), lambda: build(shallow), repeat=1)
    assert proportional("lookup at the bottom", lambda: r.lookup("GET", deep[-1]), lambda: r.lookup("GET", deep[0]),
                        repeat=3) == (deep[-1], None)
    assert r.lookup("GET", deep[-1] + "a") is None
    del r  # tearing down the deep chain must not exhaust the stack


def test_backtracking_over_many_parameter_levels_stays_linear_in_the_tree():
    # At every level a static segment and a parameter both continue; the path fails only at the end.
    depth = 24
    r = core.Router()
    for k in range(depth):
        r.add("GET", "/a" * k + "/{x}" + "/a" * (depth - k - 1) + "/end", k)
    r.add("GET", "/a" * depth + "/end", "static")
    assert r.lookup("GET", "/a" * 5 + "/b" + "/a" * (depth - 6) + "/end") == (5, {"x": "b"})
    miss, benign = "/a" * depth + "/nope", "/b" * depth + "/nope"
    assert proportional("route backtracking miss", lambda: r.lookup("GET", miss), lambda: r.lookup("GET", benign),
                        repeat=3) is None


def test_a_hundred_thousand_headers_of_one_name():
    r, benign = core.Request("GET", "/", ""), core.Request("GET", "/", "")
    r.set_headers([(b"X-Dup", b"v%d" % i) for i in range(100_000)] + [(b"Host", b"h")])
    benign.set_headers([(b"X-Name-%d" % (i % 50), b"v%d" % i) for i in range(100_000)] + [(b"Host", b"h")])
    assert proportional("duplicate headers", lambda: r.headers, lambda: benign.headers) == {"x-dup": "v99999",
                                                                                           "host": "h"}
    assert proportional("get_header", lambda: r.get_header("HOST"), lambda: benign.get_header("HOST")) == "h"


def nested_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def self_dict():
    d = {}
    d["self"] = d
    return d


@pytest.mark.parametrize("make", [case("a list nested a hundred thousand deep", lambda: nested_list(100_000)),
                                  case("a dict that holds itself", self_dict)])
def test_encoder_depth_is_bounded_by_an_exception(make):
    with pytest.raises(RecursionError):
        core.Response.json(make(), None)
    assert core.Response.json({"a": [[1]]}, None).body == b'{"a":[[1]]}'  # the depth accounting is intact
