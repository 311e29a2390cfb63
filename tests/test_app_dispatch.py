"""Dispatch: the request dict a handler gets, the response built from its result, failures."""
import pytest

from calvenor._core import CalvenorApp, Response
from conftest import assert_raises_exactly, case, caught

JSON_CT = "application/json; charset=utf-8"


def run(handler, pattern="/x", path="/x", method="GET", query="", headers=(), body=b""):
    app = CalvenorApp()
    app.add_route("GET", pattern, handler)
    return app.handle_request(method, path, query, list(headers), body)


def test_request_dict_has_exact_keys_order_and_types():
    S = type("S", (str,), {})
    seen = []
    run(lambda *a, **k: seen.append((a, k)) or "", "/users/{id}", S("/users/42"), method=S("GET"), query="é=€&a",
        headers=[(b"A", b"1"), (bytearray(b"a"), [50]), (b"A", b"\xff")], body=b"body")
    (args, kwargs), = seen
    d, = args
    assert kwargs == {} and type(d) is dict
    assert list(d) == ["method", "path", "query_string", "headers", "route_params"]
    assert d == {"method": "GET", "path": "/users/42", "query_string": "é=€&a".encode(),
                 "headers": [(b"A", b"1"), (b"a", b"2"), (b"A", b"\xff")], "route_params": {"id": "42"}}
    assert [type(d[k]) for k in ("method", "path")] == [str, str]
    assert all(type(pair) is tuple and type(pair[0]) is type(pair[1]) is bytes for pair in d["headers"])


def test_path_is_passed_unchanged_and_a_plain_route_gets_an_empty_dict():
    seen = []
    run(seen.append, "/{*p}", "/a%20b/../c")
    run(seen.append)
    assert seen[0]["path"] == "/a%20b/../c" and seen[0]["route_params"] == {"p": "a%20b/../c"}
    assert seen[1]["route_params"] == {} and seen[1]["headers"] == []


@pytest.mark.parametrize("method, path", [case("another method", "POST", "/x"),
                                          case("an empty path", "GET", "")])
def test_miss_gives_404_without_calling_the_handler(method, path):
    calls = []
    r = run(calls.append, method=method, path=path)
    assert type(r) is Response and (r.status, r.body, r.content_type) == (404, b"Not Found", "text/plain")
    assert calls == []


DictSub = type("DictSub", (dict,), {})
StrSub = type("StrSub", (str,), {"__str__": lambda s: "other"})
StrSubSurrogate = type("StrSubSurrogate", (str,), {"__str__": lambda s: "X"})
Surrogates = type("Surrogates", (), {"__str__": lambda s: "a\udcffb\ud800"})


@pytest.mark.parametrize("result, body, content_type", [
    case("a dict becomes compact HTML-safe JSON", {"x": "<", "y": [1]}, b'{"x":"\\u003c","y":[1]}', JSON_CT),
    case("a dict subclass becomes JSON", DictSub(b=[1, 2]), b'{"b":[1,2]}', JSON_CT),
    case("a non-ASCII str becomes UTF-8 text", "h\u00e9", "h\u00e9".encode(), "text/plain"),
    case("a str subclass uses its own characters", StrSub("mine"), b"mine", "text/plain"),
    case("a lone surrogate becomes three replacement characters", "a\ud800b", "a\ufffd\ufffd\ufffdb".encode(),
         "text/plain"),
    case("a str subclass without a UTF-8 form goes through its str", StrSubSurrogate("\ud800"), b"X", "text/plain"),
    case("a str() with lone surrogates is replaced per byte", Surrogates(),
         "a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd".encode(), "text/plain"),
    case("a list becomes its str text", [1, 2], b"[1, 2]", "text/plain"),
    case("a Response result is not recognised", (inner := Response(b"x", 201, "text/html")),
         str(inner).encode(), "text/plain"),
])
def test_handler_result_conversion(result, body, content_type):
    r = run(lambda d: result)
    assert (r.status, r.body, r.content_type) == (200, body, content_type)


def test_handler_str_and_encoder_exceptions_propagate_unchanged_and_the_app_stays_usable():
    err = ValueError("no")
    app = CalvenorApp()
    app.add_route("GET", "/x", lambda d: (_ for _ in ()).throw(err))
    assert caught(app.handle_request, "GET", "/x", "", [], b"") is err
    assert app.handle_request("GET", "/y", "", [], b"").status == 404
    bad = type("Bad", (), {"__str__": lambda s: (_ for _ in ()).throw(err)})()
    assert caught(run, lambda d: bad) is err
    exc = caught(run, 5)
    assert type(exc) is TypeError and "not callable" in str(exc)
    assert_raises_exactly(lambda: run(lambda d: {1: 2}), TypeError, "'int' object cannot be converted to 'PyString'")



@pytest.mark.parametrize("args, exc_type, message", [
    case("a str body is refused on a miss too", ("GET", "/miss", "", [], "body"), TypeError,
         "argument 'body': Can't extract `str` to `Vec`"),
    case("a header triple is refused", ("GET", "/x", "", [(b"a", b"b", b"c")], "b"), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
    case("the query string is converted before the later arguments", ("GET", "/x", 1, [[1]], "b"), TypeError,
         "argument 'query_string': 'int' object cannot be converted to 'PyString'"),
])
def test_bad_arguments_are_refused_before_routing(args, exc_type, message):
    calls = []
    app = CalvenorApp()
    app.add_route("GET", "/x", calls.append)
    assert_raises_exactly(lambda: app.handle_request(*args), exc_type, message)
    assert calls == []
