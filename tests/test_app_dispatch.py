import gc
import threading

import pytest

from calvenor._core import CalvenorApp, Response


def make_app(handler, method="GET", pattern="/users/{id}"):
    app = CalvenorApp()
    app.add_route(method, pattern, handler)
    return app


def dispatch(app, method="GET", path="/users/42", query="a=1", headers=(), body=b""):
    return app.handle_request(method, path, query, headers if isinstance(headers, list) else list(headers), body)


def respond(value):
    return dispatch(make_app(lambda req: value))


def test_handler_gets_request_dict_with_exact_keys_values_and_order():
    class Pair(tuple):
        pass

    seen = []
    app = make_app(seen.append)
    dispatch(app, headers=[(b"Host", b"x"), (bytearray(b"X-A"), [118]), Pair((b"k", b"v"))], body=b"ignored")
    (req,) = seen
    assert list(req) == ["method", "path", "query_string", "headers", "route_params"]
    assert req == {
        "method": "GET",
        "path": "/users/42",
        "query_string": b"a=1",
        "headers": [(b"Host", b"x"), (b"X-A", b"v"), (b"k", b"v")],
        "route_params": {"id": "42"},
    }
    assert all(type(p) is tuple and type(p[0]) is bytes and type(p[1]) is bytes for p in req["headers"])


def test_route_without_params_and_no_headers_give_empty_containers():
    seen = []
    dispatch(make_app(seen.append, pattern="/health"), path="/health", query="")
    assert seen[0]["route_params"] == {} and seen[0]["headers"] == [] and seen[0]["query_string"] == b""


def test_header_list_emptied_while_converted_keeps_what_was_read():
    pairs = []

    class EmptiesPairs:
        def __index__(self):
            pairs.clear()
            return 65

    pairs.extend([(b"n", [EmptiesPairs(), 66])] + [(b"x", b"y")] * 50)
    seen = []
    dispatch(make_app(seen.append), headers=pairs)
    assert seen[0]["headers"] == [(b"n", b"AB")]


def test_str_subclass_arguments_reach_the_handler_as_plain_str():
    class S(str):
        pass

    seen = []
    dispatch(make_app(seen.append), method=S("GET"), path=S("/users/7"), query=S("q"))
    assert [type(seen[0][k]) for k in ("method", "path")] == [str, str]
    assert seen[0]["path"] == "/users/7" and seen[0]["query_string"] == b"q"


@pytest.mark.parametrize(
    "method,path",
    [("POST", "/users/42"), ("get", "/users/42"), ("GET", "/users/42/"), ("GET", "/nothing"), ("GET", "/users")],
    ids=["other method misses", "lowercase method misses", "trailing slash misses", "unknown path misses",
         "parent path misses"],
)
def test_unmatched_request_is_404_without_calling_handler(method, path):
    calls = []
    r = dispatch(make_app(calls.append), method=method, path=path)
    assert (r.status, r.body, r.content_type) == (404, b"Not Found", "text/plain")
    assert calls == []


class LoudStr(str):
    def __str__(self):
        return "not this"


class DictSub(dict):
    pass


class Plain:
    def __str__(self):
        return "plain \ud800!"


@pytest.mark.parametrize(
    "value,content_type,body",
    [
        ({"a": 1}, "application/json; charset=utf-8", b'{"a":1}'),
        ({"x": "<"}, "application/json; charset=utf-8", b'{"x":"\\u003c"}'),
        (DictSub(b=[1, None]), "application/json; charset=utf-8", b'{"b":[1,null]}'),
        ("hi", "text/plain", b"hi"),
        ("", "text/plain", b""),
        ("h\u00e9", "text/plain", "h\u00e9".encode()),
        (LoudStr("own"), "text/plain", b"own"),
        ("a\ud800b", "text/plain", "a\ufffd\ufffd\ufffdb".encode()),
        ([1, 2], "text/plain", b"[1, 2]"),
        (None, "text/plain", b"None"),
        (b"ab", "text/plain", b"b'ab'"),
        (Plain(), "text/plain", "plain \ufffd\ufffd\ufffd!".encode()),
    ],
    ids=["dict is json", "json is html safe", "dict subclass is json", "str is text", "empty str is empty body",
         "non ascii str is utf8", "str subclass uses its own characters", "lone surrogate str is replaced",
         "list is its str", "none is its str", "bytes is its str", "str result with surrogate is replaced"],
)
def test_handler_result_becomes_200_response(value, content_type, body):
    r = respond(value)
    assert (r.status, r.content_type, r.body) == (200, content_type, body)


def test_returned_response_and_coroutine_are_not_recognised():
    resp = Response(b"x", 201, "a/b")
    r = respond(resp)
    assert (r.status, r.content_type, r.body) == (200, "text/plain", str(resp).encode())

    async def handler(req):
        return {}

    with pytest.warns(RuntimeWarning):
        r = dispatch(make_app(handler))
        gc.collect()
    assert r.status == 200 and r.body.startswith(b"<coroutine object")


class StrRaises:
    def __str__(self):
        raise KeyError("from str")


def failing_cases():
    err = ValueError("boom")

    def raiser(req):
        raise err

    def grows(req):
        d = {}

        class Grow:
            def __str__(self):
                d["new"] = 1
                return "g"

        d["a"] = Grow()
        return d

    return [
        pytest.param(raiser, ValueError, "boom", id="handler exception passes unchanged"),
        pytest.param(lambda req: {1: 2}, TypeError, "'int' object cannot be converted to 'PyString'",
                     id="non str dict key is refused by the encoder"),
        pytest.param(lambda req: StrRaises(), KeyError, "'from str'", id="exception from str passes unchanged"),
        pytest.param(grows, BaseException, "dictionary changed size during iteration",
                     id="dict changed during encoding is a panic"),
    ]


@pytest.mark.parametrize("handler,exc_type,message", failing_cases())
def test_failures_propagate_and_leave_app_usable(handler, exc_type, message):
    app = make_app(handler)
    app.add_route("GET", "/ok", lambda req: "fine")
    with pytest.raises(exc_type) as info:
        dispatch(app)
    assert str(info.value) == message
    if exc_type is BaseException:
        assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert dispatch(app, path="/ok").body == b"fine"
    assert app.resolve("GET", "/ok") is not None


def test_handler_exception_is_the_same_object():
    err = ValueError("same")

    def handler(req):
        raise err

    with pytest.raises(ValueError) as info:
        dispatch(make_app(handler))
    assert info.value is err


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


def test_other_thread_is_refused_at_once_while_a_handler_runs():
    entered, release = threading.Event(), threading.Event()

    def handler(req):
        entered.set()
        assert release.wait(10)
        return "done"

    app = make_app(handler)
    results = []
    worker = threading.Thread(target=lambda: results.append(dispatch(app)))
    worker.start()
    try:
        assert entered.wait(10)
        for call, message in [(lambda: dispatch(app), "Already borrowed"),
                              (lambda: app.resolve("GET", "/users/1"), "Already mutably borrowed")]:
            with pytest.raises(RuntimeError, match=f"^{message}$"):
                call()
    finally:
        release.set()
        worker.join(10)
    assert results[0].body == b"done"
    other = make_app(lambda req: "other")  # other applications are unaffected
    assert dispatch(other).body == b"other"
