"""Hostile inputs that have made other web parsers slow or crash.

Each case checks the exact result and that the hostile input costs at most a fixed multiple
of a benign input of the same size, timed in the same test. The factors are generous: they
catch quadratic or exponential behaviour, not slow code.
"""
import os
import time

import pytest

import calvenor._core as core

# Sanitizers slow byte loops far more than bulk copies, so their runs get more room.
FACTOR = 25 if os.environ.get("CALVENOR_SANITIZED") else 10
# Below this many seconds a timing says nothing; the benign time is raised to it.
FLOOR = 0.02
MB = 1 << 20

TIMINGS = []


@pytest.fixture(scope="module", autouse=True)
def timing_report():
    yield
    path = os.environ.get("CALVENOR_ADVERSARIAL_TIMINGS")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            for line in TIMINGS:
                f.write(line + "\n")


def best_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def proportional(name, size, hostile, benign, repeat=2):
    """Runs both, asserts the hostile one is within FACTOR of the benign one, returns its result."""
    t_benign, _ = best_time(benign, repeat)
    t_hostile, result = best_time(hostile, repeat)
    TIMINGS.append(f"{name}: {size} bytes, hostile {t_hostile * 1e3:.1f} ms, benign {t_benign * 1e3:.1f} ms")
    assert t_hostile <= FACTOR * max(t_benign, FLOOR), (
        f"{name}: {t_hostile:.3f}s against {t_benign:.3f}s for a benign input of the same size"
    )
    return result


def request_with_body(body):
    r = core.Request("POST", "/upload", "")
    r.set_body(body)
    return r


# ---------------------------------------------------------------- multipart

B = "XyZzy"
DELIM = b"--" + B.encode()


def field_part(name, value, delim=DELIM):
    return (
        delim
        + b'\r\nContent-Disposition: form-data; name="'
        + name
        + b'"\r\n\r\n'
        + value
        + b"\r\n"
    )


def form(*parts, delim=DELIM):
    return b"".join(parts) + delim + b"--\r\n"


def benign_form(size, delim=DELIM):
    """An ordinary form of about `size` bytes: fields of a kilobyte of letters each."""
    part = field_part(b"field", b"a" * 1000, delim)
    return form(*[part] * max(1, size // len(part)), delim=delim)


def benign_multipart(size, boundary=B):
    r = request_with_body(benign_form(size, b"--" + boundary.encode()))
    return lambda: r.parse_multipart(boundary)


@pytest.mark.parametrize(
    "filler, expected",
    [
        # A preamble of CR LF pairs reads as a piece with an empty header block and no name.
        (b"\r\n", ({"a": ["1"]}, {})),
        # A preamble that starts with "--" is what follows a closing delimiter: nothing is read.
        (b"-", ({}, {})),
        (b"\r\n-", ({"a": ["1"]}, {})),
    ],
    ids=["megabytes of CR LF before the first delimiter", "megabytes of hyphens before the first delimiter",
         "megabytes of CR LF hyphen before the first delimiter"],
)
def test_multipart_filler_before_the_first_delimiter(filler, expected):
    body = filler * (4 * MB // len(filler)) + form(field_part(b"a", b"1"))
    r = request_with_body(body)
    result = proportional(
        f"multipart {filler!r} preamble", len(body), lambda: r.parse_multipart(B),
        benign_multipart(len(body)),
    )
    assert result == expected


@pytest.mark.parametrize(
    "boundary, filler",
    [
        ("x", b"-"),
        ("x", b"\r\n"),
        ("x", b"-\r\n--"),
        ("-" * 199 + "x", b"-"),
        ("-" * 199 + "x", b"\r\n--"),
        ("a" * 199 + "b", b"a"),
        ("ab" * 99 + "ac", b"ab"),
    ],
    ids=["one-byte boundary, data of hyphens", "one-byte boundary, data of CR LF",
         "one-byte boundary, data of near delimiters", "200-byte boundary of hyphens, data of hyphens",
         "200-byte boundary of hyphens, data of CR LF hyphens", "200-byte boundary, data of its first byte",
         "200-byte periodic boundary, data of its period"],
)
def test_multipart_data_made_of_near_delimiters(boundary, filler):
    delim = b"--" + boundary.encode()
    data = filler * (4 * MB // len(filler))
    assert delim not in data
    body = form(field_part(b"a", data, delim), field_part(b"b", b"2", delim), delim=delim)
    r = request_with_body(body)
    fields, files = proportional(
        f"multipart data of {filler!r}, {len(boundary)}-byte boundary", len(body),
        lambda: r.parse_multipart(boundary), benign_multipart(len(body), boundary),
    )
    assert files == {}
    assert list(fields) == ["a", "b"]
    assert fields["b"] == ["2"]
    # Only the one CR LF before the next delimiter is taken off the data.
    assert fields["a"] == [data.decode()]


@pytest.mark.parametrize(
    "count, part, expected",
    [
        (200_000, DELIM + b"\r\n", ({}, {})),
        (200_000, DELIM, ({}, {})),
        (50_000, field_part(b"a", b""), ({"a": [""] * 50_000}, {})),
        (
            50_000,
            DELIM + b'\r\nContent-Disposition: form-data; name="f"; filename=""\r\n\r\n\r\n',
            ({}, {"f": [("", "", b"")] * 50_000}),
        ),
    ],
    ids=["two hundred thousand empty parts", "two hundred thousand delimiters in a row",
         "fifty thousand empty fields of one name", "fifty thousand empty files of one name"],
)
def test_multipart_many_empty_parts(count, part, expected):
    body = part * count + DELIM + b"--\r\n"
    r = request_with_body(body)
    result = proportional(
        f"multipart {count} x {len(part)}-byte parts", len(body), lambda: r.parse_multipart(B),
        benign_multipart(len(body)),
    )
    assert result == expected


@pytest.mark.parametrize(
    "block",
    [
        b"Content-Disposition: form-data; name=a\r\n" * 100_000,
        b"Content-Disposition: form-data; name=a\n\n" * 100_000,
        b"X: y\r\n\r" * 400_000,
        b"\r" * (4 * MB),
        b"Content-Disposition: form-data; name=" + b"a" * (4 * MB),
    ],
    ids=["a hundred thousand header lines and no blank line", "bare LF blank lines do not end the block",
         "CR LF CR never followed by LF", "megabytes of CR", "one header line of megabytes"],
)
def test_multipart_header_block_without_an_end_is_skipped(block):
    body = DELIM + b"\r\n" + block + DELIM + b"--\r\n"
    r = request_with_body(body)
    result = proportional(
        "multipart unterminated header block", len(body), lambda: r.parse_multipart(B),
        benign_multipart(len(body)),
    )
    assert result == ({}, {})


def test_multipart_hundred_thousand_header_lines_that_do_end():
    block = b"X-Filler: " + b"v" * 20 + b"\r\n"
    body = (
        DELIM + b"\r\n" + block * 100_000
        + b'Content-Disposition: form-data; name="a"\r\n\r\nvalue\r\n' + DELIM + b"--\r\n"
    )
    r = request_with_body(body)
    result = proportional(
        "multipart 100000 header lines", len(body), lambda: r.parse_multipart(B),
        benign_multipart(len(body)),
    )
    assert result == ({"a": ["value"]}, {})


def test_multipart_disposition_with_a_hundred_thousand_parameters():
    params = b"; x=1" * 100_000 + b'; name="n"; filename*=UTF-8\'\'' + b"%41" * 100_000
    body = form(DELIM + b"\r\nContent-Disposition: form-data" + params + b"\r\n\r\ndata\r\n")
    r = request_with_body(body)
    result = proportional(
        "multipart 100000 disposition parameters", len(body), lambda: r.parse_multipart(B),
        benign_multipart(len(body)),
    )
    assert result == ({}, {"n": [("A" * 100_000, "", b"data")]})


# ---------------------------------------------------------------- query strings


def benign_query(size):
    """An ordinary query string of about `size` bytes: fifty names, short values."""
    pairs = []
    total = 0
    while total < size:
        pairs.append(f"name{len(pairs) % 50}=value{len(pairs)}")
        total += len(pairs[-1]) + 1
    r = core.Request("GET", "/", "&".join(pairs))
    return lambda: r.query


@pytest.mark.parametrize(
    "qs, check",
    [
        ("a=1&" * 100_000, lambda q: q == {"a": ["1"] * 100_000}),
        ("&".join(f"k{i}=v{i}" for i in range(100_000)), lambda q: len(q) == 100_000 and q["k99999"] == ["v99999"]),
        ("%" * 1_000_000, lambda q: q == {}),
        ("a=" + "%" * 1_000_000, lambda q: q == {"a": ["%" * 1_000_000]}),
        ("%" * 500_000 + "=" + "%" * 500_000, lambda q: q == {"%" * 500_000: ["%" * 500_000]}),
        ("a=" + "%e9" * 300_000, lambda q: q == {"a": ["\u00e9" * 300_000]}),
        ("a=" + "%C3%A9" * 150_000, lambda q: q == {"a": ["\u00e9" * 150_000]}),
        ("a=" + "%%41" * 250_000, lambda q: q == {"a": ["%%41" * 250_000]}),
        ("&" * 1_000_000, lambda q: q == {}),
        ("=" * 1_000_000, lambda q: q == {"": ["=" * 999_999]}),
        ("a=" + "+" * 1_000_000, lambda q: q == {"a": [" " * 1_000_000]}),
    ],
    ids=["a hundred thousand repeats of one parameter", "a hundred thousand distinct parameters",
         "a percent sign at every position", "a value of percent signs only",
         "a name and a value of percent signs", "latin-1 escapes at every third position",
         "utf-8 escapes at every third position", "failed escapes hiding valid ones",
         "a million ampersands", "a million equals signs", "a million plus signs"],
)
def test_query_string(qs, check):
    r = core.Request("GET", "/", qs)
    result = proportional(
        f"query {qs[:12]!r}...", len(qs.encode()), lambda: r.query, benign_query(len(qs)),
    )
    assert check(result)


# ---------------------------------------------------------------- JSON


def benign_json(size):
    """An ordinary document of about `size` bytes: an array of small records."""
    record = b'{"id":12345,"name":"abcdefgh","score":3.25,"tags":["x","y"],"ok":true}'
    r = request_with_body(b"[" + b",".join([record] * max(1, size // (len(record) + 1))) + b"]")
    return r.json


def nth_opener(body, n):
    count = 0
    for i, b in enumerate(body):
        if b in b"[{":
            count += 1
            if count == n:
                return i
    raise AssertionError("not enough openers")


@pytest.mark.parametrize(
    "unit",
    [b"[", b'[{"a":', b'{"a":[', b"[1,"],
    ids=["brackets", "arrays of objects", "objects of arrays", "arrays with a first element"],
)
def test_json_nesting_beyond_the_limit_is_refused_at_the_128th_opener(unit):
    body = unit * (100_000 // len(unit) + 1)
    column = nth_opener(body, 128) + 1
    r = request_with_body(body)

    def hostile():
        with pytest.raises(ValueError) as e:
            r.json()
        return str(e.value)

    message = proportional(
        f"json nesting {unit!r}", len(body), hostile, benign_json(len(body)),
    )
    assert message == f"Invalid JSON: recursion limit exceeded at line 1 column {column}"


@pytest.mark.parametrize(
    "escape, char",
    [
        (b"\\n", "\n"),
        (b"\\\\", "\\"),
        (b'\\"', '"'),
        (b"\\u00e9", "\u00e9"),
        (b"\\u0000", "\0"),
        (b"\\ud83d\\ude00", "\U0001f600"),
    ],
    ids=["line feed escapes", "backslash escapes", "quote escapes", "hex escapes", "NUL escapes",
         "surrogate pair escapes"],
)
def test_json_ten_megabytes_of_escapes(escape, char):
    count = 10 * MB // len(escape)
    body = b'"' + escape * count + b'"'
    r = request_with_body(body)
    result = proportional(
        f"json escapes {escape!r}", len(body), r.json, benign_json(len(body)), repeat=1,
    )
    assert result == char * count


def test_json_ten_megabytes_of_escapes_with_a_bad_one_at_the_end():
    body = b'"' + b"\\n" * (5 * MB) + b"\\x" + b'"'
    r = request_with_body(body)

    def hostile():
        with pytest.raises(ValueError) as e:
            r.json()
        return str(e.value)

    message = proportional(
        "json escapes then an invalid one", len(body), hostile, benign_json(len(body)), repeat=1,
    )
    assert message == f"Invalid JSON: invalid escape at line 1 column {len(body) - 1}"


@pytest.mark.parametrize(
    "body, expected",
    [
        (b"1" * 100_000, "Invalid JSON: number out of range at line 1 column 100000"),
        (b"-" + b"9" * 100_000, "Invalid JSON: number out of range at line 1 column 100001"),
        (b"0." + b"1" * 100_000, 0.1111111111111111),
        (b"0." + b"0" * 100_000 + b"1", 0.0),
        (b"1" * 100_000 + b"e-99990", 1111111111.1111112),
        (b"1e" + b"9" * 100_000, "Invalid JSON: number out of range at line 1 column 12"),
        (b"1e-" + b"9" * 100_000, 0.0),
        (b"0e" + b"9" * 100_000, 0.0),
        (b"0" * 100_000, "Invalid JSON: invalid number at line 1 column 2"),
        (b"[" + b"1," * 50_000 + b"1]", [1] * 50_001),
    ],
    ids=["a hundred thousand integer digits", "a hundred thousand negative digits",
         "a hundred thousand fraction digits", "a hundred thousand zeros before a fraction digit",
         "a hundred thousand digits scaled back by the exponent", "an exponent of a hundred thousand digits",
         "a negative exponent of a hundred thousand digits", "zero with a huge exponent",
         "a hundred thousand leading zeros", "fifty thousand numbers in an array"],
)
def test_json_numbers_with_a_hundred_thousand_digits(body, expected):
    r = request_with_body(body)

    def hostile():
        try:
            return r.json()
        except ValueError as e:
            return str(e)

    result = proportional(
        f"json number {body[:8]!r}...", len(body), hostile, benign_json(len(body)),
    )
    assert result == expected
    if isinstance(expected, float):
        assert type(result) is float


def test_json_a_million_duplicate_keys_keep_the_last_value():
    body = b"{" + b'"k":1,' * 999_999 + b'"k":2}'
    r = request_with_body(body)
    result = proportional(
        "json 1000000 duplicate keys", len(body), r.json, benign_json(len(body)), repeat=1,
    )
    assert result == {"k": 2}


@pytest.mark.parametrize(
    "order",
    ["descending", "alternating"],
    ids=["keys written in descending order", "keys alternating between the two ends"],
)
def test_json_a_hundred_thousand_keys_come_out_sorted(order):
    keys = [b"%06d" % i for i in range(100_000)]
    if order == "descending":
        keys.reverse()
    else:
        keys = [k for pair in zip(keys[:50_000], reversed(keys[50_000:])) for k in pair]
    body = b"{" + b",".join(b'"' + k + b'":0' for k in keys) + b"}"
    ascending = b"{" + b",".join(b'"%06d":0' % i for i in range(100_000)) + b"}"
    r = request_with_body(body)
    result = proportional(
        f"json 100000 keys {order}", len(body), r.json, request_with_body(ascending).json, repeat=1,
    )
    assert list(result) == ["%06d" % i for i in range(100_000)]


# ---------------------------------------------------------------- routing


def test_route_of_ten_thousand_segments():
    static = "/s" * 10_000
    params = "".join(f"/{{p{i}}}" if i % 400 == 0 else "/s" for i in range(10_000))  # 25 parameters
    catch = "/s" * 9_999 + "/{*rest}"
    r = core.Router()
    r.add("GET", static, "static")
    r.add("GET", params, "params")
    r.add("GET", catch, "catch")

    benign = core.Router()
    long_segment = "/" + "s" * (len(static) - 1)
    benign.add("GET", long_segment, "benign")

    near_miss = "/s" * 9_999 + "/t"
    hit = proportional(
        "route lookup, 10000 segments", len(static), lambda: r.lookup("GET", static),
        lambda: benign.lookup("GET", long_segment), repeat=3,
    )
    assert hit == ("static", None)
    # The last segment differs: the catch-all takes it after the static path fails.
    miss = proportional(
        "route near miss, 10000 segments", len(near_miss), lambda: r.lookup("GET", near_miss),
        lambda: benign.lookup("GET", long_segment), repeat=3,
    )
    assert miss == ("catch", {"rest": "t"})

    with_values = "".join("/v" if i % 400 == 0 else "/s" for i in range(10_000))
    handler, found = r.lookup("GET", with_values)
    assert handler == "params"
    assert found == {f"p{i}": "v" for i in range(0, 10_000, 400)}
    assert r.lookup("GET", static + "/") == ("catch", {"rest": "s/"})
    assert r.lookup("POST", static) is None


def test_twenty_six_parameters_in_ten_thousand_segments_abort_the_insertion():
    pattern = "".join(f"/{{p{i}}}" if i % 384 == 0 else "/s" for i in range(10_000))
    assert pattern.count("{") == 27
    r = core.Router()
    with pytest.raises(BaseException) as e:
        r.add("GET", pattern, "h")
    assert type(e.value).__name__ == "PanicException"
    assert e.value.args == ("Too many route parameters.",)
    assert r.lookup("GET", pattern) is None


def test_five_thousand_nested_routes():
    # Every route is a prefix of the next: a chain five thousand nodes deep.
    count = 5_000
    deep = ["/" + "a" * k for k in range(1, count + 1)]
    shallow = [f"/{i}/" + "a" * (k - len(str(i)) - 1) for i, k in enumerate(range(1, count + 1))]

    def build(paths):
        r = core.Router()
        for p in paths:
            r.add("GET", p, p)
        return r

    r = proportional("5000 nested routes", sum(map(len, deep)), lambda: build(deep), lambda: build(shallow), repeat=1)
    longest = deep[-1]
    found = proportional(
        "lookup at the bottom of 5000 nested routes", len(longest), lambda: r.lookup("GET", longest),
        lambda: r.lookup("GET", deep[0]), repeat=3,
    )
    assert found == (longest, None)
    assert r.lookup("GET", longest + "a") is None
    assert r.lookup("GET", "/" + "a" * 2_500) == ("/" + "a" * 2_500, None)
    del r  # tearing down the deep chain must not exhaust the stack


def test_backtracking_over_many_parameter_levels_stays_linear_in_the_tree():
    # At every level both a static segment and a parameter continue; the path fails only at
    # the very end, so every static choice is undone.
    depth = 24
    r = core.Router()
    for k in range(depth):
        r.add("GET", "/a" * k + "/{x}" + "/a" * (depth - k - 1) + "/end", k)
    r.add("GET", "/a" * depth + "/end", "static")
    assert r.lookup("GET", "/a" * depth + "/end") == ("static", None)
    assert r.lookup("GET", "/a" * 5 + "/b" + "/a" * (depth - 6) + "/end") == (5, {"x": "b"})
    miss = "/a" * depth + "/nope"
    benign = "/b" * depth + "/nope"
    result = proportional(
        "route backtracking miss", len(miss), lambda: r.lookup("GET", miss), lambda: r.lookup("GET", benign),
        repeat=3,
    )
    assert result is None


# ---------------------------------------------------------------- headers and encoder


def test_a_hundred_thousand_headers_of_one_name():
    pairs = [(b"X-Dup", b"v%d" % i) for i in range(100_000)] + [(b"Host", b"h")]
    r = core.Request("GET", "/", "")
    r.set_headers(pairs)
    benign = core.Request("GET", "/", "")
    benign.set_headers([(b"X-Name-%d" % (i % 50), b"v%d" % i) for i in range(100_000)] + [(b"Host", b"h")])
    headers = proportional("100000 headers of one name", 100_001, lambda: r.headers, lambda: benign.headers)
    assert headers == {"x-dup": "v99999", "host": "h"}
    assert proportional(
        "get_header behind 100000 headers", 100_001, lambda: r.get_header("HOST"), lambda: benign.get_header("HOST"),
    ) == "h"
    assert r.get_header("x-dup") == "v0"


@pytest.mark.parametrize(
    "make",
    [
        lambda: nested([], 100_000),
        lambda: nested({}, 100_000, key="k"),
        lambda: self_containing([]),
        lambda: self_containing({}),
    ],
    ids=["a list nested a hundred thousand deep", "a dict nested a hundred thousand deep",
         "a list that holds itself", "a dict that holds itself"],
)
def test_encoder_depth_is_bounded_by_an_exception(make):
    value = make()
    with pytest.raises(RecursionError):
        core.Response.json(value, None)
    # The interpreter's own depth accounting is intact afterwards.
    assert core.Response.json({"a": [[1]]}, None).body == b'{"a":[[1]]}'


def nested(empty, depth, key=None):
    value = empty
    for _ in range(depth):
        value = {key: value} if key is not None else [value]
    return value


def self_containing(container):
    if isinstance(container, list):
        container.append(container)
    else:
        container["self"] = container
    return container
