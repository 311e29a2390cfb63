"""Dispatch: the request dict a handler gets, the response built from its result, failures."""
from collections import OrderedDict

import pytest

from calvenor._core import CalvenorApp, Response
from conftest import assert_raises_exactly, case, caught, panic_type

JSON_CT = "application/json; charset=utf-8"


def make_app(handler, method="GET", pattern="/users/{id}"):
    app = CalvenorApp()
    app.add_route(method, pattern, handler)
    return app


def dispatch(app, method="GET", path="/users/42", query="a=1", headers=(), body=b""):
    return app.handle_request(method, path, query, headers if isinstance(headers, list) else list(headers), body)


class TestDispatch:
    def test_request_dict_has_exact_keys_order_and_types(self):
        calls = []

        def h(*args, **kwargs):
            calls.append((args, kwargs))
            return "ok"

        app = make_app(h)
        app.handle_request("GET", "/users/42", "a=1", [(b"Host", b"x")], b"")
        assert len(calls) == 1
        (args, kwargs), = calls
        assert kwargs == {} and len(args) == 1
        d = args[0]
        assert type(d) is dict
        assert list(d) == ["method", "path", "query_string", "headers", "route_params"]
        assert d == {"method": "GET", "path": "/users/42", "query_string": b"a=1",
                     "headers": [(b"Host", b"x")], "route_params": {"id": "42"}}
        assert type(d["query_string"]) is bytes and type(d["headers"]) is list
        assert type(d["headers"][0]) is tuple and all(type(x) is bytes for x in d["headers"][0])

    def test_headers_are_copied_in_order_without_merging(self):
        seen = []
        app = make_app(lambda d: seen.append(d) or "", pattern="/x")
        app.handle_request("GET", "/x", "", [(b"A", b"1"), (bytearray(b"a"), [50]), (b"A", b"\xff")], b"")
        assert seen[0]["headers"] == [(b"A", b"1"), (b"a", b"2"), (b"A", b"\xff")]
        assert all(type(v) is bytes for pair in seen[0]["headers"] for v in pair)

    def test_query_string_is_passed_as_its_utf8_bytes(self):
        seen = []
        app = make_app(lambda d: seen.append(d) or "", pattern="/x")
        app.handle_request("GET", "/x", "é=€&a", [], b"")
        assert seen[0]["query_string"] == "é=€&a".encode()

    def test_route_without_parameters_gets_an_empty_dict_and_empty_headers(self):
        seen = []
        app = make_app(lambda d: seen.append(d) or "", pattern="/x")
        app.handle_request("GET", "/x", "", [], b"body")
        assert seen[0]["route_params"] == {} and type(seen[0]["route_params"]) is dict
        assert seen[0]["headers"] == []
        assert "body" not in seen[0]

    def test_path_is_passed_unchanged(self):
        seen = []
        app = make_app(lambda d: seen.append(d) or "", pattern="/{*p}")
        app.handle_request("GET", "/a%20b/../c", "", [], b"")
        assert seen[0]["path"] == "/a%20b/../c"
        assert seen[0]["route_params"] == {"p": "a%20b/../c"}

    @pytest.mark.parametrize(
        "method, path",
        [case("another method", "POST", "/users/42"), case("a lowercase method", "get", "/users/42"),
         case("an unrouted path", "GET", "/nothing"), case("an empty path", "GET", "")],
    )
    def test_miss_gives_404_without_calling_the_handler(self, method, path):
        calls = []
        app = make_app(lambda d: calls.append(d))
        r = app.handle_request(method, path, "", [], b"")
        assert type(r) is Response
        assert (r.status, r.body, r.content_type) == (404, b"Not Found", "text/plain")
        assert calls == []

    class DictSub(dict):
        pass

    class StrSub(str):
        def __str__(self):
            return "other"

    class StrSubSurrogate(str):
        def __str__(self):
            return "X"

    class Surrogates:
        def __str__(self):
            return "a\udcffb\ud800"

    @pytest.mark.parametrize(
        "result, body, content_type",
        [
            case("a dict becomes compact JSON", {"a": 1}, b'{"a":1}', JSON_CT),
            case("a dict value is HTML-escaped", {"x": "<"}, b'{"x":"\\u003c"}', JSON_CT),
            case("a dict subclass becomes JSON", DictSub(b=[1, 2]), b'{"b":[1,2]}', JSON_CT),
            case("an ordered dict becomes JSON", OrderedDict([("z", 1), ("a", 2)]), b'{"z":1,"a":2}', JSON_CT),
            case("a str becomes text", "hi", b"hi", "text/plain"),
            case("a non-ASCII str becomes UTF-8", "h\u00e9", "h\u00e9".encode(), "text/plain"),
            case("an empty str becomes an empty body", "", b"", "text/plain"),
            case("a str subclass uses its own characters", StrSub("mine"), b"mine", "text/plain"),
            case("a str with a lone surrogate becomes three replacement characters", "a\ud800b",
                 "a\ufffd\ufffd\ufffdb".encode(), "text/plain"),
            case("a str subclass without a UTF-8 form goes through its str", StrSubSurrogate("\ud800"), b"X",
                 "text/plain"),
            case("a str() with lone surrogates is replaced per byte", Surrogates(),
                 "a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd".encode(), "text/plain"),
            case("a list becomes its str text", [1, 2], b"[1, 2]", "text/plain"),
            case("a tuple becomes its str text", (1,), b"(1,)", "text/plain"),
            case("None becomes the text None", None, b"None", "text/plain"),
            case("bytes become their str text", b"ab", b"b'ab'", "text/plain"),
            case("an int becomes its str text", 5, b"5", "text/plain"),
            case("a float becomes its str text", 0.5, b"0.5", "text/plain"),
        ],
    )
    def test_handler_result_conversion(self, result, body, content_type):
        r = make_app(lambda d: result, pattern="/x").handle_request("GET", "/x", "", [], b"")
        assert (r.status, r.body, r.content_type) == (200, body, content_type)

    def test_a_response_result_is_not_recognised(self):
        inner = Response(b"x", 201, "text/html")
        r = make_app(lambda d: inner, pattern="/x").handle_request("GET", "/x", "", [], b"")
        assert (r.status, r.body, r.content_type) == (200, str(inner).encode(), "text/plain")

    def test_a_coroutine_result_is_not_awaited(self):
        made = []

        async def h(d):
            return 1

        def wrapper(d):
            made.append(h(d))
            return made[0]

        r = make_app(wrapper, pattern="/x").handle_request("GET", "/x", "", [], b"")
        made[0].close()
        assert (r.status, r.body, r.content_type) == (200, str(made[0]).encode(), "text/plain")

    def test_handler_exception_propagates_as_the_same_object_and_the_app_stays_usable(self):
        err = ValueError("no")

        def h(d):
            raise err

        app = make_app(h, pattern="/x")
        assert caught(app.handle_request, "GET", "/x", "", [], b"") is err
        assert app.resolve("GET", "/x") is not None
        assert app.handle_request("GET", "/y", "", [], b"").status == 404

    def test_str_raising_propagates(self):
        err = KeyError("k")

        class Bad:
            def __str__(self):
                raise err

        assert caught(make_app(lambda d: Bad(), pattern="/x").handle_request, "GET", "/x", "", [], b"") is err

    def test_dict_result_with_int_key_fails_without_argument_prefix(self):
        app = make_app(lambda d: {1: 2}, pattern="/x")
        assert_raises_exactly(lambda: app.handle_request("GET", "/x", "", [], b""), TypeError,
                              "'int' object cannot be converted to 'PyString'")

    def test_dict_result_with_a_lone_surrogate_fails_with_unicode_encode_error(self):
        app = make_app(lambda d: {"k": "\ud800"}, pattern="/x")
        assert type(caught(app.handle_request, "GET", "/x", "", [], b"")) is UnicodeEncodeError

    def test_dict_result_changed_during_encoding_panics(self):
        d = {}

        class Grow:
            def __str__(self):
                d["new"] = 1
                return "g"

        d["a"] = Grow()
        exc = caught(make_app(lambda req: d, pattern="/x").handle_request, "GET", "/x", "", [], b"")
        assert type(exc) is panic_type()
        assert exc.args == ("dictionary changed size during iteration",)

    def test_a_str_body_is_refused_before_routing(self):
        calls = []
        app = make_app(lambda d: calls.append(d), pattern="/x")
        assert_raises_exactly(lambda: app.handle_request("GET", "/x", "", [], "body"), TypeError,
                              "argument 'body': Can't extract `str` to `Vec`")
        assert_raises_exactly(lambda: app.handle_request("GET", "/miss", "", [], "body"), TypeError,
                              "argument 'body': Can't extract `str` to `Vec`")
        assert calls == []

    def test_arguments_are_converted_in_parameter_order(self):
        app = make_app(lambda d: "", pattern="/x")
        assert_raises_exactly(lambda: app.handle_request("GET", "/x", 1, [[1]], "b"), TypeError,
                              "argument 'query_string': 'int' object cannot be converted to 'PyString'")
        assert_raises_exactly(lambda: app.handle_request("GET", "/x", "", [(b"a", b"b", b"c")], "b"), ValueError,
                              "expected tuple of length 2, but got tuple of length 3")

    def test_a_non_callable_handler_raises_the_interpreters_error(self):
        app = make_app(5, pattern="/x")
        exc = caught(app.handle_request, "GET", "/x", "", [], b"")
        assert type(exc) is TypeError and "not callable" in str(exc)

    def test_the_handler_may_keep_the_request_dict(self):
        kept = []
        app = make_app(lambda d: kept.append(d) or "", pattern="/x")
        app.handle_request("GET", "/x", "", [], b"")
        app.handle_request("GET", "/x", "", [], b"")
        assert kept[0] is not kept[1] and kept[0]["path"] == "/x"


def test_str_subclass_arguments_reach_the_handler_as_plain_str():
    class S(str):
        pass

    seen = []
    dispatch(make_app(seen.append), method=S("GET"), path=S("/users/7"), query=S("q"))
    assert [type(seen[0][k]) for k in ("method", "path")] == [str, str]
    assert seen[0]["path"] == "/users/7" and seen[0]["query_string"] == b"q"


@pytest.mark.parametrize(
    "args,exc_type,message",
    [
        (("GET", "/users/1", "", [], "body"), TypeError, "argument 'body': Can't extract `str` to `Vec`"),
        (("GET", "/users/1", "", [[b"a", b"b"]], b""), TypeError,
         "argument 'raw_headers': 'list' object cannot be converted to 'PyTuple'"),
        (("GET", "/users/1", "", [(b"a", b"b", b"c")], b""), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (("GET", "/users/1", "", [(b"a", [256])], b""), OverflowError,
         "out of range integral type conversion attempted"),
        ((1, "/users/1", "", [], b""), TypeError, "argument 'method': 'int' object cannot be converted to 'PyString'"),
        (("GET", "/users/1", b"q", [], b""), TypeError,
         "argument 'query_string': 'bytes' object cannot be converted to 'PyString'"),
        (("GET", "/users/1", "", [], 5), TypeError, "argument 'body': 'int' object cannot be converted to 'Sequence'"),
        (("GET", "/users/1", "", []), TypeError,
         "CalvenorApp.handle_request() missing 1 required positional argument: 'body'"),
    ],
    ids=["str body is refused", "header as list is refused", "header triple is refused",
         "header byte out of range overflows", "int method is refused", "bytes query string is refused",
         "int body is refused", "missing body is reported"],
)
def test_bad_arguments_are_refused_before_routing(args, exc_type, message):
    calls = []
    app = make_app(calls.append)
    with pytest.raises(exc_type) as info:
        app.handle_request(*args)
    assert str(info.value) == message and type(info.value) is exc_type
    assert calls == []
    assert dispatch(app).status == 200
