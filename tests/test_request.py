"""Request: stored as received, headers decoded only when read."""
import pytest

from calvenor._core import Request
from conftest import assert_raises_exactly, case


def make(headers=(), body=None):
    r = Request("GET", "/", "")
    r.set_headers(list(headers))
    if body is not None:
        r.set_body(body)
    return r


# --- construction -------------------------------------------------------------------------

def test_constructor_stores_texts_and_each_read_is_a_new_equal_str():
    r = Request(query_string="a=1", path="/caf\u00e9", method="GET")
    assert (r.method, r.path, r.query_string) == ("GET", "/caf\u00e9", "a=1")
    assert r.path == r.path and r.path is not r.path
    assert r.headers == {} and r.get_header("host") is None


class StrSub(str):
    pass


def test_str_subclasses_are_texts():
    assert Request(StrSub("PUT"), "/", "").method == "PUT"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: Request(), TypeError,
         "Request.__new__() missing 3 required positional arguments: 'method', 'path', and 'query_string'"),
        (lambda: Request("GET", "/"), TypeError,
         "Request.__new__() missing 1 required positional argument: 'query_string'"),
        (lambda: Request("GET", "/", "", 1), TypeError,
         "Request.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Request(1, "/", ""), TypeError, "argument 'method': 'int' object cannot be converted to 'PyString'"),
        (lambda: Request("GET", b"/", 1), TypeError,
         "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: Request("GET", "/", None), TypeError,
         "argument 'query_string': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: make().get_header("a", "b"), TypeError,
         "Request.get_header() takes 1 positional arguments but 2 were given"),
        (lambda: make().get_header(name=b"a"), TypeError,
         "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: make().set_headers(), TypeError,
         "Request.set_headers() missing 1 required positional argument: 'raw_headers'"),
        (lambda: make().set_body(body=b"", extra=1), TypeError,
         "Request.set_body() got an unexpected keyword argument 'extra'"),
        (lambda: make().json(1), TypeError, None),
    ],
    ids=["constructor without arguments", "constructor missing the query string", "constructor given four",
         "method not a str", "path checked before query string", "None is not a text",
         "get_header given two", "get_header name as bytes", "set_headers without argument",
         "set_body unknown keyword", "json takes no arguments"],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_lone_surrogate_raises_the_interpreters_encode_error():
    with pytest.raises(UnicodeEncodeError):
        Request("GET", "/\udc80", "")
    with pytest.raises(UnicodeEncodeError):
        make().get_header("\ud800")


# --- headers and get_header ---------------------------------------------------------------

@pytest.mark.parametrize(
    "pairs, name, expected",
    [
        ([(b"Content-Type", b"a"), (b"content-type", b"b")], "CONTENT-TYPE", "a"),
        ([(b"Host", b"x")], "hOsT", "x"),
        ([(b"Host", b"x")], "Hos", None),
        ([(b"Hostx", b"x")], "Host", None),
        ([(b"\xc3\xa9", b"x")], "\u00c9", None),
        ([(b"\xc3\xa9", b"x")], "\u00e9", "x"),
        ([(b"X-\xff", b"x")], "x-\ufffd", None),
        ([(b"@", b"x")], "`", None),
        ([(b"[", b"x")], "{", None),
        ([(b"K", b"caf\xc3\xa9")], "k", "caf\u00e9"),
        ([(b"K", b"\xe9")], "k", "\ufffd"),
        ([(b"", b"empty")], "", "empty"),
    ],
    ids=["first duplicate wins", "case-insensitive ASCII", "shorter name misses", "longer stored name misses",
         "no Unicode case folding", "identical non-ASCII bytes match", "invalid stored name never matches",
         "at sign is not a letter", "bracket is not a letter", "value decoded", "invalid value replaced",
         "empty name"],
)
def test_get_header(pairs, name, expected):
    assert make(pairs).get_header(name) == expected


# --- set_headers / set_body ---------------------------------------------------------------

class PairTuple(tuple):
    pass


def test_header_items_may_be_tuple_subclasses_of_any_byte_sequences():
    r = make([PairTuple((b"A", (49,)))])
    assert r.get_header("a") == "1"


@pytest.mark.parametrize(
    "raw, exc, message",
    [
        ([[b"A", b"1"]], TypeError, "argument 'raw_headers': 'list' object cannot be converted to 'PyTuple'"),
        ([(b"A",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([(b"A", b"1", b"2")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ("ab", TypeError, "argument 'raw_headers': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'raw_headers': 'int' object cannot be converted to 'Sequence'"),
        ([(b"ok", b"1"), ("A", b"1")], TypeError, "argument 'raw_headers': Can't extract `str` to `Vec`"),
        ([(b"A", [256])], OverflowError, "out of range integral type conversion attempted"),
    ],
    ids=["list as pair", "one-element tuple", "three-element tuple", "str as sequence", "not a sequence",
         "str name after a good pair", "value byte out of range"],
)
def test_failed_set_headers_leaves_headers_unchanged(raw, exc, message):
    r = make([(b"Keep", b"me")])
    with pytest.raises(exc) as info:
        r.set_headers(raw)
    assert str(info.value) == message
    assert r.headers == {"keep": "me"}


@pytest.mark.parametrize(
    "body, exc, message",
    [
        ("hi", TypeError, "argument 'body': Can't extract `str` to `Vec`"),
        (None, TypeError, "argument 'body': 'NoneType' object cannot be converted to 'Sequence'"),
        ([104, 256], OverflowError, "out of range integral type conversion attempted"),
        ([104, -1], OverflowError, "out of range integral type conversion attempted"),
    ],
    ids=["str", "None", "item above 255", "negative item"],
)
def test_failed_set_body_leaves_body_unchanged(body, exc, message):
    r = make(body=b"[1]")
    with pytest.raises(exc) as info:
        r.set_body(body)
    assert str(info.value) == message
    assert r.json() == [1]


class Reentrant:
    """A sequence whose iteration calls back into a Request."""

    def __init__(self, action, items):
        self.action = action
        self.items = items
        self.seen = None

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.seen = str(e)
        return iter(self.items)


@pytest.mark.parametrize("member", ["set_headers", "set_body"], ids=["set_headers", "set_body"])
@pytest.mark.parametrize(
    "call_back, expected",
    [
        (lambda r: r.headers, "Already mutably borrowed"),
        (lambda r: r.get_header("old"), "Already mutably borrowed"),
        (lambda r: r.json(), "Already mutably borrowed"),
        (lambda r: r.set_body(b""), "Already borrowed"),
    ],
    ids=["reading headers", "get_header", "json", "another setter"],
)
def test_converting_a_setter_argument_runs_under_exclusive_access(member, call_back, expected):
    r = make([(b"Old", b"0")], body=b"[0]")
    seq = Reentrant(lambda: call_back(r), [(b"New", b"1")] if member == "set_headers" else [49])
    getattr(r, member)(seq)
    assert seq.seen == expected
    # The access is given back: the object works again afterwards.
    assert r.get_header("old" if member == "set_body" else "new") is not None


def test_failing_iteration_after_reentry_leaves_record_and_flag_intact():
    r = make([(b"Old", b"0")])

    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise IndexError

        def __iter__(self):
            r.headers  # noqa: B018 - the access is held, this raises
            return iter([])

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        r.set_headers(Broken())
    assert r.headers == {"old": "0"}


# --- headers as read back ---------------------------------------------------------------

def req_with_headers(pairs):
    r = Request("GET", "/", "")
    r.set_headers(pairs)
    return r


LOSSY = [
    b"caf\xc3\xa9", b"\xe9", b"\xe2\x82", b"\xf0\x9f\x98", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
    b"a\x80b", b"\xff\xfe", b"\xe2\x28\xa1", b"\xf8\x88\x80\x80\x80", b"ok",
]


class TestRequestHeaders:
    def test_a_new_request(self):
        r = Request("GET", "/", "")
        assert (r.method, r.path, r.query_string) == ("GET", "/", "")
        assert r.headers == {} and r.get_header("host") is None and r.query == {}

    def test_repeated_names_last_wins_in_headers_and_first_in_get_header(self):
        r = req_with_headers([(b"Content-Type", b"a"), (b"content-type", b"b")])
        assert r.headers == {"content-type": "b"}
        assert r.get_header("CONTENT-TYPE") == "a"

    def test_keys_keep_their_first_position(self):
        r = req_with_headers([(b"B", b"1"), (b"A", b"2"), (b"b", b"3")])
        assert list(r.headers.items()) == [("b", "3"), ("a", "2")]

    def test_invalid_name_bytes_become_replacement_and_are_never_found(self):
        r = req_with_headers([(b"X-\xff", b"v")])
        assert r.headers == {"x-\ufffd": "v"}
        assert r.get_header("x-\ufffd") is None and r.get_header("X-\ufffd") is None

    @pytest.mark.parametrize("raw", LOSSY, ids=lambda b: "value bytes " + b.hex())
    def test_values_decode_like_the_interpreters_replace_handler(self, raw):
        r = req_with_headers([(b"v", raw), (raw, b"n")])
        assert r.get_header("v") == raw.decode("utf-8", "replace")
        assert r.headers["v"] == raw.decode("utf-8", "replace")
        assert list(r.headers)[1] == "".join(
            c.lower() if "A" <= c <= "Z" else c for c in raw.decode("utf-8", "replace"))

    @pytest.mark.parametrize(
        "stored, asked, found",
        [
            case("ASCII case is ignored", b"X-Token", "x-tOKEN", True),
            case("non-ASCII letters must be identical", "é".encode(), "É", False),
            case("identical non-ASCII names match", "É".encode(), "É", True),
            case("a longer name does not match", b"host", "hostx", False),
            case("the Kelvin sign is not a k", b"k", "\u212a", False),
            case("the dotted capital I is not an i", b"i", "\u0130", False),
        ],
    )
    def test_get_header_name_matching(self, stored, asked, found):
        r = req_with_headers([(stored, b"v")])
        assert (r.get_header(asked) == "v") is found

    def test_only_ascii_letters_are_lowercased_in_headers(self):
        r = req_with_headers([("ÉX-Ä\u212a".encode(), b"1")])
        assert list(r.headers) == ["Éx-Ä\u212a"]

    def test_an_empty_name_is_a_header_like_any_other(self):
        r = req_with_headers([(b"", b"v"), (b"a", b"")])
        assert r.headers == {"": "v", "a": ""}
        assert r.get_header("") == "v" and r.get_header("a") == ""

    def test_values_keep_case_and_spacing(self):
        r = req_with_headers([(b"A", b"  Mixed Case  ")])
        assert r.headers == {"a": "  Mixed Case  "} and r.get_header("a") == "  Mixed Case  "

    def test_an_empty_sequence_clears_the_headers(self):
        r = req_with_headers([(b"a", b"1")])
        assert r.set_headers(()) is None
        assert r.headers == {} and r.get_header("a") is None

    def test_two_reads_give_distinct_equal_dicts_and_edits_do_not_leak(self):
        r = req_with_headers([(b"a", b"1")])
        h1, h2 = r.headers, r.headers
        assert h1 == h2 and h1 is not h2
        h1["b"] = "2"
        assert r.headers == {"a": "1"}

    def test_stored_pairs_are_copies(self):
        name, value = bytearray(b"a"), bytearray(b"1")
        pairs = [(name, value)]
        r = req_with_headers(pairs)
        name[0], value[0] = ord("z"), ord("9")
        pairs.append((b"x", b"y"))
        assert r.headers == {"a": "1"}


class TestRequestBody:
    def test_set_body_accepts_lists_and_bytearrays_and_copies(self):
        r = Request("POST", "/", "")
        assert r.set_body([91, 49, 93]) is None
        assert r.json() == [1]
        ba = bytearray(b"[2]")
        r.set_body(ba)
        ba[1] = ord("3")
        assert r.json() == [2]

    def test_constructor_converts_in_order(self):
        assert_raises_exactly(lambda: Request(1, 2, 3), TypeError,
                              "argument 'method': 'int' object cannot be converted to 'PyString'")
        assert_raises_exactly(lambda: Request("G", 2, 3), TypeError,
                              "argument 'path': 'int' object cannot be converted to 'PyString'")
