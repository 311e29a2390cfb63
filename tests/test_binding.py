"""The binding layer: the module, the classes, argument binding and conversion texts, borrow flags."""
import gc
import importlib
import inspect
import os
import subprocess
import sys
import weakref
from collections import namedtuple

import pytest

import calvenor._core as core
from calvenor._core import CalvenorApp, Request, Response, Router
from conftest import Index, Seq, WithCause, assert_raises_exactly, case, caught, panic_type

EM = "\u2014"
OUT_OF_RANGE = "out of range integral type conversion attempted"
app0, router0, request0 = CalvenorApp(), Router(), Request("GET", "/", "")


def test_module_exports_only_the_four_classes_and_is_cached():
    assert core.__all__ == ["Router", "Request", "Response", "CalvenorApp"] and core.__doc__ == ""
    assert {name for name in vars(core) if not name.startswith("__")} == set(core.__all__)
    saved = sys.modules.pop("calvenor._core")
    try:
        assert importlib.import_module("calvenor._core") is saved
    finally:
        sys.modules["calvenor._core"] = saved


def test_import_in_a_sub_interpreter_is_refused_with_import_error():
    script = (
        "import _testcapi, os\nimport calvenor._core\nr, w = os.pipe()\n"
        "_testcapi.run_in_subinterp('import os\\ntry:\\n    import calvenor._core\\n    m = b\"imported\"\\n'\n"
        "    'except ImportError as e:\\n    m = (\"ImportError \" + str(e)).encode()\\nos.write(%d, m)' % w)\n"
        "os.close(w)\nprint(os.read(r, 200).decode())\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p)))
    assert out.stdout.startswith("ImportError") and "interpreter" in out.stdout, out.stderr


@pytest.mark.parametrize("obj, attrs", [
    case("an application", CalvenorApp(), ()), case("a router", Router(), ()),
    case("a request", Request("GET", "/", ""), ("method", "path", "query_string", "headers", "query")),
    case("a response", Response(b"", 200, ""), ("status", "body", "content_type")),
])
def test_classes_are_final_and_instances_closed_untracked_and_read_only(obj, attrs):
    cls = type(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__bases__ == (object,) and cls.__qualname__ == cls.__name__
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    for attr in attrs:
        with pytest.raises(AttributeError):
            setattr(obj, attr, getattr(obj, attr))


SIGNATURES = {
    CalvenorApp.set_cors: ("($self, origins, methods, headers, max_age)", None),
    CalvenorApp.cors_allows: ("($self, origin)", None),
    CalvenorApp.cors_is_wildcard: ("($self)", None),
    CalvenorApp.add_route: ("($self, method, path, handler)", None),
    CalvenorApp.resolve: ("($self, method, path)", f"Fast routing lookup {EM} returns (handler, params) or None."),
    CalvenorApp.has_cors: ("($self)", "Check if CORS is configured."),
    CalvenorApp.cors_preflight_headers: (
        "($self, origin)", f"CORS preflight headers {EM} only when the request Origin is allowed."),
    CalvenorApp.cors_origin: (
        "($self, origin)", f"CORS origin header for normal responses {EM} only when the Origin is allowed."),
    CalvenorApp.gzip_compress: ("($self, data)", "GZip compress a byte buffer. Returns compressed bytes."),
    CalvenorApp.handle_request: (
        "($self, method, path, query_string, raw_headers, body)",
        f"Handle one HTTP request {EM} routing + handler call + response build.\n"
        "Returns the Response object (status, body, content_type)."),
    Router.add: ("($self, method, pattern, handler)", None),
    Router.lookup: ("($self, method, path)",
                    "Fast path lookup. Returns (handler, params) where params is None\nwhen the route has no path "
                    f"parameters (the common case {EM} avoids\nallocating a HashMap on every request)."),
    Request.set_headers: ("($self, raw_headers)", "Store raw headers without parsing (parsing happens lazily)."),
    Request.get_header: ("($self, name)", f"O(1)-ish lookup of a single header by name {EM} no full parse."),
    Request.set_body: ("($self, body)", None),
    Request.json: ("($self)", None),
    Request.parse_multipart: (
        "($self, boundary)",
        f"Parse a ``multipart/form-data`` body.\n\nReturns ``(fields, files)``: fields {EM} ``dict[str, list[str]]``, "
        f"files {EM}\n``dict[str, list[(filename, content_type, bytes)]]``. The body must be\nstored first via "
        ":meth:`set_body`."),
    Response.json: ("(data, status)", None),
    Response.text: ("(text, status)", None),
    Router: ("()", ""), Request: ("(method, path, query_string)", ""), Response: ("(body, status, content_type)", ""),
}


@pytest.mark.parametrize("member", SIGNATURES, ids=lambda m: f"{m.__qualname__} has its signature and doc")
def test_signature_and_doc(member):
    signature, doc = SIGNATURES[member]
    assert (member.__text_signature__, member.__doc__) == (signature, doc)
    inspect.signature(member)


def test_attribute_docs_and_static_constructors():
    assert [Request.__dict__[a].__doc__ for a in ("method", "path", "query_string", "query")] == [None] * 4
    assert Request.__dict__["headers"].__doc__ == (
        "Lazy header parsing: headers are only materialised as a PyDict\nwhen `.headers` is actually accessed.")
    assert CalvenorApp.__text_signature__ == "()"
    r = Response(b"", 200, "")
    assert r.json([], None).body == b"[]" and r.text("x", 201).status == 201


@pytest.mark.parametrize("call, message", [
    case("one extra positional says was", lambda: CalvenorApp(1),
         "CalvenorApp.__new__() takes 0 positional arguments but 1 was given"),
    case("two extra positionals say were", lambda: Response(b"", 1, "", 4),
         "Response.__new__() takes 3 positional arguments but 4 were given"),
    case("one allowed positional still says arguments", lambda: request0.get_header("a", "b"),
         "Request.get_header() takes 1 positional arguments but 2 were given"),
    case("an unknown keyword is named", lambda: router0.lookup("GET", "/", extra=1),
         "Router.lookup() got an unexpected keyword argument 'extra'"),
    case("a parameter given twice is named", lambda: router0.add("GET", "/", None, method="GET"),
         "Router.add() got multiple values for argument 'method'"),
    case("one missing name is quoted alone", lambda: Response(b"", 200),
         "Response.__new__() missing 1 required positional argument: 'content_type'"),
    case("two missing names are joined with and", lambda: Response.text(),
         "Response.text() missing 2 required positional arguments: 'text' and 'status'"),
    case("three missing names take commas", lambda: Response(),
         "Response.__new__() missing 3 required positional arguments: 'body', 'status', and 'content_type'"),
    case("a keyword for the later parameter leaves the first missing", lambda: app0.resolve(path="/"),
         "CalvenorApp.resolve() missing 1 required positional argument: 'method'"),
    case("a no-argument member refuses an argument", lambda: request0.json(1),
         "Request.json() takes no arguments (1 given)"),
    case("a no-argument member refuses a keyword", lambda: app0.cors_is_wildcard(x=1),
         "CalvenorApp.cors_is_wildcard() takes no keyword arguments"),
])
def test_binding_error(call, message):
    assert_raises_exactly(call, TypeError, message)


def test_keywords_match_by_value_are_quoted_unchanged_and_may_name_every_parameter():
    S = type("S", (str,), {})
    app = CalvenorApp()
    app.add_route("GET", "/", 1)
    assert app.resolve(**{"".join(["me", "thod"]): "GET", S("path"): "/"}) == (1, None)
    for name in ("é", "\ud800", "a\x00b", ""):
        assert_raises_exactly(lambda: Response(b"", 1, "", **{name: 1}), TypeError,
                              f"Response.__new__() got an unexpected keyword argument '{name}'")
    r = Response(content_type="t", status=201, body=b"x")
    assert (r.body, r.status, r.content_type) == (b"x", 201, "t")
    assert Response.json(status=None, data=[1]).body == b"[1]"


Qual = type("Qual", (), {"__qualname__": "Outer.Inner"})
TypeErrorSubclass = type("TypeErrorSubclass", (TypeError,), {})
RaisesSubclass = type("RaisesSubclass", (),
                      {"__index__": lambda s: (_ for _ in ()).throw(TypeErrorSubclass("sub"))})


@pytest.mark.parametrize("call, etype, message", [
    case("an int for a text names the argument", lambda: app0.resolve(1, "/"), TypeError,
         "argument 'method': 'int' object cannot be converted to 'PyString'"),
    case("the type is named by its qualified name", lambda: app0.cors_allows(Qual()), TypeError,
         "argument 'origin': 'Outer.Inner' object cannot be converted to 'PyString'"),
    case("the first failing argument in parameter order is reported",
         lambda: CalvenorApp().set_cors(1, 2, None, None), TypeError,
         "argument 'origins': 'int' object cannot be converted to 'PyString'"),
    case("a str body", lambda: Response("hi", 200, ""), TypeError, "argument 'body': Can't extract `str` to `Vec`"),
    case("a list as a header pair", lambda: request0.set_headers([[b"A", b"1"]]), TypeError,
         "argument 'raw_headers': 'list' object cannot be converted to 'PyTuple'"),
    case("a generator of headers is not a sequence", lambda: Request("G", "/", "").set_headers(x for x in []),
         TypeError, "argument 'raw_headers': 'generator' object cannot be converted to 'Sequence'"),
    case("a body item of 256 overflows without prefix", lambda: Response([256], 200, ""), OverflowError,
         OUT_OF_RANGE),
    case("a body item past the C long range is out of range too", lambda: Response([-2**70], 200, ""),
         OverflowError, OUT_OF_RANGE),
    case("a str body item gets the interpreter's message with prefix", lambda: Response([104, "i"], 200, ""),
         TypeError, "argument 'body': 'str' object cannot be interpreted as an integer"),
    case("status 65536 overflows", lambda: Response(b"", 65536, ""), OverflowError, OUT_OF_RANGE),
    case("status minus one overflows", lambda: Response.text("", -1), OverflowError, OUT_OF_RANGE),
    case("status as a float", lambda: Response(b"", 200.0, ""), TypeError,
         "argument 'status': 'float' object cannot be interpreted as an integer"),
    case("a huge status gets the interpreter's C long message", lambda: Response(b"", 2**64, ""), OverflowError,
         "Python int too large to convert to C long"),
    case("a TypeError subclass passes unchanged", lambda: Response(b"", RaisesSubclass(), ""),
         TypeErrorSubclass, "sub"),
])
def test_conversion_error(call, etype, message):
    assert_raises_exactly(call, etype, message)


def test_conversion_failures_keep_their_cause_type_and_identity():
    for exc, arg in ((caught(Response, b"", WithCause(), ""), "status"), (caught(Response, [WithCause()], 200, ""),
                                                                          "body")):
        assert type(exc) is TypeError and str(exc) == f"argument '{arg}': boom" and type(exc.__cause__) is KeyError
    err = ValueError("mine")
    bad = type("Bad", (), {"__index__": lambda self: (_ for _ in ()).throw(err)})()
    assert caught(Response, b"", bad, "") is err and caught(Response, [bad], 200, "") is err
    for call in (lambda: Response.text("a\ud800", None), lambda: router0.lookup("GET", "/\ud800")):
        exc = caught(call)
        assert type(exc) is UnicodeEncodeError and not str(exc).startswith("argument")


@pytest.mark.parametrize("body, status, expected", [
    case("a list of ints with status True", [104, 105], True, (b"hi", 1)),
    case("a bytearray with an index status", bytearray(b"hi"), Index(404), (b"hi", 404)),
    case("a memoryview with the top status", memoryview(b"hi"), 65535, (b"hi", 65535)),
    case("bools and index objects as items of a custom sequence", Seq([True, Index(104)]), 0, (b"\x01h", 0)),
])
def test_byte_sequences_and_statuses_accepted(body, status, expected):
    r = Response(body, status, "")
    assert type(r.body) is bytes and (r.body, r.status) == expected


def test_header_pairs_accept_tuple_subclasses_and_byte_sequences():
    Pair = namedtuple("Pair", "name value")
    req = Request("G", "/", "")
    req.set_headers((Pair(b"A", bytearray(b"1")), (memoryview(b"b"), [50])))
    assert req.headers == {"a": "1", "b": "2"}


def dispatch_with(inner):
    app = CalvenorApp()
    app.add_route("GET", "/x", lambda req: inner(app))
    return app, lambda: app.handle_request("GET", "/x", "", [], b"")


SHARED, EXCLUSIVE = "Already mutably borrowed", "Already borrowed"


@pytest.mark.parametrize("inner, message", [
    case("has_cors takes shared access", lambda app: app.has_cors(), SHARED),
    case("resolve takes shared access", lambda app: app.resolve("GET", "/x"), SHARED),
    case("cors_origin takes shared access", lambda app: app.cors_origin("o"), SHARED),
    case("gzip_compress takes shared access", lambda app: app.gzip_compress(b""), SHARED),
    case("add_route takes exclusive access", lambda app: app.add_route("GET", "/y", None), EXCLUSIVE),
    case("set_cors takes exclusive access", lambda app: app.set_cors(None, None, None, None), EXCLUSIVE),
    case("nested handle_request takes exclusive access",
         lambda app: app.handle_request("GET", "/x", "", [], b""), EXCLUSIVE),
    case("shared access refused before conversion", lambda app: app.resolve(1, 2), SHARED),
    case("exclusive access refused before conversion", lambda app: app.add_route(1, 2, 3), EXCLUSIVE),
])
def test_a_handler_calling_its_own_application_is_refused_then_released(inner, message):
    app, run = dispatch_with(inner)
    assert_raises_exactly(run, RuntimeError, message)
    assert app.has_cors() is False
    app.add_route("GET", "/after", None)


def test_borrow_edges():
    _, run = dispatch_with(lambda app: app.resolve())  # binding comes before the borrow check
    assert_raises_exactly(run, TypeError, "CalvenorApp.resolve() missing 2 required positional arguments: "
                                          "'method' and 'path'")
    other = CalvenorApp()
    assert dispatch_with(lambda app: str(other.has_cors()))[1]().body == b"False"
    app = CalvenorApp()
    app.add_route("GET", "/", lambda d: "x")
    seq = Seq([(b"a", b"b")], lambda: app.has_cors())
    assert_raises_exactly(lambda: app.handle_request("GET", "/", "", seq, b""), RuntimeError, SHARED)
    seen = []
    assert app.gzip_compress(Seq([1, 2], lambda: seen.append(app.has_cors()))) == app.gzip_compress(b"\x01\x02")
    assert seen and not any(seen)
    seq = Seq([1], lambda: app.set_cors(None, None, None, None))
    assert_raises_exactly(lambda: app.gzip_compress(seq), RuntimeError, EXCLUSIVE)
    assert app.handle_request("GET", "/", "", [], b"").body == b"x"


@pytest.mark.parametrize("member, items, touch, message", [
    case("reading headers while set_headers converts", "set_headers", [(b"a", b"b")], lambda req: req.headers, SHARED),
    case("set_body while set_headers converts", "set_headers", [(b"a", b"b")], lambda req: req.set_body(b"x"),
         EXCLUSIVE),
    case("json while set_body converts", "set_body", [49], lambda req: req.json(), SHARED),
])
def test_a_sequence_touching_the_request_while_it_is_set_leaves_it_unchanged(member, items, touch, message):
    req = Request("G", "/", "")
    req.set_headers([(b"old", b"1")])
    req.set_body(b"[0]")
    assert_raises_exactly(lambda: getattr(req, member)(Seq(items, lambda: touch(req))), RuntimeError, message)
    assert req.headers == {"old": "1"} and req.json() == [0]


def test_panic_exception_is_a_base_exception_outside_the_module():
    panic = panic_type()
    assert panic.__name__ == "PanicException" and panic.__bases__ == (BaseException,) and panic.__doc__
    assert panic is panic_type() and all(value is not panic for value in vars(core).values())


def _raise(exc):
    raise exc


@pytest.mark.parametrize("make_run", [
    case("a handler raising it", lambda P: dispatch_with(lambda app: _raise(P("boom")))[1]),
    case("the str of a handler result raising it",
         lambda P: dispatch_with(lambda app: type("R", (), {"__str__": lambda s: _raise(P("boom"))})())[1]),
    case("a field getter raising it during encoding",
         lambda P: lambda: Response.json(
             type("F", (), {"__columns__": ("a",), "a": property(lambda s: _raise(P("boom")))})(), None)),
])
def test_python_code_raising_panic_prints_a_notice_and_panics_again(make_run, capfd):
    P = panic_type()
    run = make_run(P)
    capfd.readouterr()
    exc = caught(run)
    err = capfd.readouterr().err
    assert type(exc) is P and exc.args == ("boom",)
    assert "boom" in err and "Traceback" in err


def test_every_panic_from_python_code_is_reported_also_where_the_previous_one_lay(capfd):
    P = panic_type()
    run = dispatch_with(lambda app: _raise(P("boom")))[1]
    for _ in range(3):
        capfd.readouterr()
        exc = caught(run)
        assert type(exc) is P and exc.args == ("boom",)
        del exc  # freed here, the handler's next panic tends to take its address
        assert "Traceback" in capfd.readouterr().err
