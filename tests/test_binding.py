"""The binding layer: the module, the classes, argument binding and conversion texts, borrow flags."""
import gc
import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import weakref
from collections import namedtuple

import pytest

import calvenor._core as core
from calvenor._core import CalvenorApp, Request, Response, Router
from conftest import Index, Seq, assert_raises_exactly, case, caught, panic_type

EM = "\u2014"
OUT_OF_RANGE = "out of range integral type conversion attempted"


ALL_CLASSES = [CalvenorApp, Router, Request, Response]


class TestModuleSurface:
    def test_all_lists_the_four_classes_in_registration_order(self):
        assert core.__all__ == ["Router", "Request", "Response", "CalvenorApp"]
        assert type(core.__all__) is list

    def test_module_doc_is_the_empty_string(self):
        assert core.__doc__ == ""

    def test_module_holds_only_the_four_classes_and_no_functions(self):
        public = {name for name in vars(core) if not name.startswith("__")}
        assert public == {"Router", "Request", "Response", "CalvenorApp"}

    def test_repeated_import_returns_the_cached_module_object(self):
        assert importlib.import_module("calvenor._core") is core
        saved = sys.modules.pop("calvenor._core")
        try:
            again = importlib.import_module("calvenor._core")
            assert again is saved and again.Router is saved.Router
        finally:
            sys.modules["calvenor._core"] = saved

    def test_panic_exception_is_not_a_module_attribute(self):
        panic = panic_type()
        assert panic.__name__ == "PanicException"
        assert all(value is not panic for value in vars(core).values())
        assert not hasattr(core, "PanicException")

    def test_import_in_a_sub_interpreter_is_refused_with_import_error(self):
        script = textwrap.dedent(
            """
            import _testcapi, sys, os
            import calvenor._core
            r, w = os.pipe()
            code = (
                "import os\\n"
                "try:\\n"
                "    import calvenor._core\\n"
                "    msg = b'imported'\\n"
                "except ImportError as e:\\n"
                "    msg = ('ImportError ' + str(e)).encode()\\n"
                "os.write(%d, msg)\\n" % w
            )
            _testcapi.run_in_subinterp(code)
            os.close(w)
            print(os.read(r, 100).decode())
            """
        )
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
            env=dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p)),
        )
        kind, _, message = out.stdout.strip().partition(" ")
        assert kind == "ImportError", out.stderr
        assert "sub-interpreter" in message or "subinterpreter" in message


class TestClassProperties:
    @pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
    def test_class_cannot_be_used_as_a_base_class(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
    def test_class_derives_directly_from_object_and_has_bare_name(self, cls):
        assert cls.__bases__ == (object,)
        assert cls.__qualname__ == cls.__name__
        assert "." not in cls.__name__

    @pytest.mark.parametrize(
        "make",
        [
            case("an application", CalvenorApp),
            case("a router", Router),
            case("a request", lambda: Request("GET", "/", "")),
            case("a response", lambda: Response(b"", 200, "")),
        ],
    )
    def test_instances_take_no_new_attributes_no_weakrefs_and_no_gc(self, make):
        obj = make()
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)

    @pytest.mark.parametrize(
        "make, attr",
        [
            case("response status", lambda: Response(b"", 200, ""), "status"),
            case("response body", lambda: Response(b"", 200, ""), "body"),
            case("response content type", lambda: Response(b"", 200, ""), "content_type"),
            case("request method", lambda: Request("GET", "/", ""), "method"),
            case("request path", lambda: Request("GET", "/", ""), "path"),
            case("request query string", lambda: Request("GET", "/", ""), "query_string"),
            case("request headers", lambda: Request("GET", "/", ""), "headers"),
            case("request query", lambda: Request("GET", "/", ""), "query"),
        ],
    )
    def test_attribute_is_read_only(self, make, attr):
        obj = make()
        with pytest.raises(AttributeError):
            setattr(obj, attr, getattr(obj, attr))
        with pytest.raises(AttributeError):
            delattr(obj, attr)


LOOKUP_DOC = (
    "Fast path lookup. Returns (handler, params) where params is None\nwhen the route has "
    "no path parameters (the common case " + EM + " avoids\nallocating a HashMap on every request)."
)
MULTIPART_DOC = (
    "Parse a ``multipart/form-data`` body.\n\nReturns ``(fields, files)``: fields " + EM
    + " ``dict[str, list[str]]``, files " + EM + "\n``dict[str, list[(filename, content_type, bytes)]]``. "
    "The body must be\nstored first via :meth:`set_body`."
)

METHOD_SIGNATURES = [
    (CalvenorApp, "set_cors", "($self, origins, methods, headers, max_age)", None),
    (CalvenorApp, "cors_allows", "($self, origin)", None),
    (CalvenorApp, "cors_is_wildcard", "($self)", None),
    (CalvenorApp, "add_route", "($self, method, path, handler)", None),
    (CalvenorApp, "resolve", "($self, method, path)",
     "Fast routing lookup " + EM + " returns (handler, params) or None."),
    (CalvenorApp, "has_cors", "($self)", "Check if CORS is configured."),
    (CalvenorApp, "cors_preflight_headers", "($self, origin)",
     "CORS preflight headers " + EM + " only when the request Origin is allowed."),
    (CalvenorApp, "cors_origin", "($self, origin)",
     "CORS origin header for normal responses " + EM + " only when the Origin is allowed."),
    (CalvenorApp, "gzip_compress", "($self, data)", "GZip compress a byte buffer. Returns compressed bytes."),
    (CalvenorApp, "handle_request", "($self, method, path, query_string, raw_headers, body)",
     "Handle one HTTP request " + EM + " routing + handler call + response build.\n"
     "Returns the Response object (status, body, content_type)."),
    (Router, "add", "($self, method, pattern, handler)", None),
    (Router, "lookup", "($self, method, path)", LOOKUP_DOC),
    (Request, "set_headers", "($self, raw_headers)", "Store raw headers without parsing (parsing happens lazily)."),
    (Request, "get_header", "($self, name)", "O(1)-ish lookup of a single header by name " + EM + " no full parse."),
    (Request, "set_body", "($self, body)", None),
    (Request, "json", "($self)", None),
    (Request, "parse_multipart", "($self, boundary)", MULTIPART_DOC),
    (Response, "json", "(data, status)", None),
    (Response, "text", "(text, status)", None),
]


class TestSignaturesAndDocs:
    @pytest.mark.parametrize(
        "cls, name, signature, doc",
        [pytest.param(*row, id=f"{row[0].__name__}.{row[1]} has its documented signature and doc")
         for row in METHOD_SIGNATURES],
    )
    def test_method_signature_and_doc(self, cls, name, signature, doc):
        member = getattr(cls, name)
        assert member.__text_signature__ == signature
        assert member.__doc__ == doc
        inspect.signature(member)

    @pytest.mark.parametrize(
        "cls, signature",
        [
            case("the application constructor takes nothing", CalvenorApp, "()"),
            case("the router constructor takes nothing", Router, "()"),
            case("the request constructor takes method, path and query string", Request,
                 "(method, path, query_string)"),
            case("the response constructor takes body, status and content type", Response,
                 "(body, status, content_type)"),
        ],
    )
    def test_class_text_signature(self, cls, signature):
        assert cls.__text_signature__ == signature
        assert str(inspect.signature(cls)) == signature

    @pytest.mark.parametrize("cls", [Router, Request, Response], ids=lambda c: c.__name__)
    def test_class_doc_is_empty(self, cls):
        assert cls.__doc__ == ""

    def test_application_class_doc_has_two_lines(self):
        assert len(CalvenorApp.__doc__.split("\n")) == 2 and "ASGI" in CalvenorApp.__doc__

    @pytest.mark.parametrize(
        "attr, doc",
        [
            case("method has no doc", "method", None),
            case("path has no doc", "path", None),
            case("query_string has no doc", "query_string", None),
            case("query has no doc", "query", None),
            case("headers documents its laziness", "headers",
                 "Lazy header parsing: headers are only materialised as a PyDict\nwhen `.headers` is actually accessed."),
        ],
    )
    def test_request_attribute_doc(self, attr, doc):
        assert Request.__dict__[attr].__doc__ == doc

    @pytest.mark.parametrize("attr", ["status", "body", "content_type"])
    def test_response_attribute_has_no_doc(self, attr):
        assert Response.__dict__[attr].__doc__ is None

    def test_static_constructors_work_on_the_class_and_on_instances(self):
        r = Response(b"", 200, "")
        assert isinstance(Response.__dict__["json"], staticmethod)
        assert isinstance(Response.__dict__["text"], staticmethod)
        assert r.json([], None).body == b"[]"
        assert r.text("x", 201).status == 201


# ---------------------------------------------------------------------------
# Binding: argument counts, keywords, conversions
# ---------------------------------------------------------------------------

app0 = CalvenorApp()
router0 = Router()
request0 = Request("GET", "/", "")


BINDING_CASES = [
    case("application with one positional argument says was",
         lambda: CalvenorApp(1), TypeError, "CalvenorApp.__new__() takes 0 positional arguments but 1 was given"),
    case("application with two positional arguments says were",
         lambda: CalvenorApp(1, 2), TypeError, "CalvenorApp.__new__() takes 0 positional arguments but 2 were given"),
    case("router with an unknown keyword names it",
         lambda: Router(x=1), TypeError, "Router.__new__() got an unexpected keyword argument 'x'"),
    case("response without content type names the one missing argument",
         lambda: Response(b"", 200), TypeError,
         "Response.__new__() missing 1 required positional argument: 'content_type'"),
    case("response without arguments joins three names with commas and and",
         lambda: Response(), TypeError,
         "Response.__new__() missing 3 required positional arguments: 'body', 'status', and 'content_type'"),
    case("response with body only joins two names with and",
         lambda: Response(b""), TypeError,
         "Response.__new__() missing 2 required positional arguments: 'status' and 'content_type'"),
    case("request without arguments lists method, path and query string",
         lambda: Request(), TypeError,
         "Request.__new__() missing 3 required positional arguments: 'method', 'path', and 'query_string'"),
    case("response with four positional arguments",
         lambda: Response(b"", 1, "", 4), TypeError, "Response.__new__() takes 3 positional arguments but 4 were given"),
    case("response body by position and keyword",
         lambda: Response(b"", 1, "", body=b""), TypeError, "Response.__new__() got multiple values for argument 'body'"),
    case("lookup with an extra keyword",
         lambda: router0.lookup("GET", "/", extra=1), TypeError, "Router.lookup() got an unexpected keyword argument 'extra'"),
    case("add with method given twice",
         lambda: router0.add("GET", "/", None, method="GET"), TypeError,
         "Router.add() got multiple values for argument 'method'"),
    case("get_header with two positional arguments keeps the plural arguments",
         lambda: request0.get_header("a", "b"), TypeError,
         "Request.get_header() takes 1 positional arguments but 2 were given"),
    case("get_header without a name",
         lambda: request0.get_header(), TypeError, "Request.get_header() missing 1 required positional argument: 'name'"),
    case("handle_request without the body",
         lambda: app0.handle_request("GET", "/", "", []), TypeError,
         "CalvenorApp.handle_request() missing 1 required positional argument: 'body'"),
    case("handle_request without arguments lists all five",
         lambda: app0.handle_request(), TypeError,
         "CalvenorApp.handle_request() missing 5 required positional arguments: "
         "'method', 'path', 'query_string', 'raw_headers', and 'body'"),
    case("set_cors without arguments lists all four",
         lambda: app0.set_cors(), TypeError,
         "CalvenorApp.set_cors() missing 4 required positional arguments: 'origins', 'methods', 'headers', and 'max_age'"),
    case("set_cors with one argument keeps the rest missing",
         lambda: app0.set_cors(None), TypeError,
         "CalvenorApp.set_cors() missing 3 required positional arguments: 'methods', 'headers', and 'max_age'"),
    case("static json without status",
         lambda: Response.json(1), TypeError, "Response.json() missing 1 required positional argument: 'status'"),
    case("static text without arguments",
         lambda: Response.text(), TypeError, "Response.text() missing 2 required positional arguments: 'text' and 'status'"),
    case("static json with three positional arguments",
         lambda: Response.json(1, None, 3), TypeError, "Response.json() takes 2 positional arguments but 3 were given"),
    case("resolve with a keyword that names no parameter",
         lambda: app0.resolve("GET", "/", paths="/"), TypeError,
         "CalvenorApp.resolve() got an unexpected keyword argument 'paths'"),
    case("missing argument given by keyword only for the later one",
         lambda: app0.resolve(path="/"), TypeError, "CalvenorApp.resolve() missing 1 required positional argument: 'method'"),
    case("gzip_compress with two positional arguments says were",
         lambda: app0.gzip_compress(b"", b""), TypeError,
         "CalvenorApp.gzip_compress() takes 1 positional arguments but 2 were given"),
    case("has_cors with an argument uses the interpreter's no-argument message",
         lambda: app0.has_cors(1), TypeError, "CalvenorApp.has_cors() takes no arguments (1 given)"),
    case("json of a request with an argument uses the interpreter's no-argument message",
         lambda: request0.json(1), TypeError, "Request.json() takes no arguments (1 given)"),
    case("cors_is_wildcard with a keyword uses the interpreter's message",
         lambda: app0.cors_is_wildcard(x=1), TypeError, "CalvenorApp.cors_is_wildcard() takes no keyword arguments"),
]


class TestBinding:
    @pytest.mark.parametrize("call, etype, message", BINDING_CASES)
    def test_binding_error(self, call, etype, message):
        assert_raises_exactly(call, etype, message)

    def test_keyword_names_match_by_value_not_identity(self):
        class S(str):
            pass

        app = CalvenorApp()
        app.add_route("GET", "/", 1)
        assert app.resolve(**{"".join(["me", "thod"]): "GET", "".join(["pa", "th"]): "/"}) == (1, None)
        assert app.resolve(**{S("method"): "GET", S("path"): "/"}) == (1, None)
        assert_raises_exactly(lambda: app.resolve("GET", **{"".join(["me", "thod"]): "GET", "path": "/"}),
                              TypeError, "CalvenorApp.resolve() got multiple values for argument 'method'")

    @pytest.mark.parametrize("name", ["é", "\ud800", "a\x00b", ""], ids=["accented", "surrogate", "nul", "empty"])
    def test_unexpected_keyword_names_are_quoted_unchanged(self, name):
        assert_raises_exactly(lambda: Response(b"", 1, "", **{name: 1}), TypeError,
                              f"Response.__new__() got an unexpected keyword argument '{name}'")

    def test_every_parameter_may_be_given_by_keyword(self):
        r = Response(content_type="t", status=201, body=b"x")
        assert (r.body, r.status, r.content_type) == (b"x", 201, "t")
        assert Response.json(status=None, data=[1]).body == b"[1]"
        assert Response.text(status=None, text="x").body == b"x"
        req = Request(query_string="q", path="/p", method="M")
        assert (req.method, req.path, req.query_string) == ("M", "/p", "q")
        rt = Router()
        rt.add(handler="h", pattern="/x", method="GET")
        assert rt.lookup(path="/x", method="GET") == ("h", None)


class Qual:
    pass


Qual.__qualname__ = "Outer.Inner"


class TypeErrorWithCause:
    def __index__(self):
        raise TypeError("boom") from KeyError("root")


class TypeErrorSubclass(TypeError):
    pass


class RaisesSubclass:
    def __index__(self):
        raise TypeErrorSubclass("sub")


CONVERSION_CASES = [
    # text
    case("an int method names the method argument",
         lambda: app0.resolve(1, "/"), TypeError, "argument 'method': 'int' object cannot be converted to 'PyString'"),
    case("a bytes path names the path argument",
         lambda: router0.lookup("GET", b"/"), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    case("a None pattern names the pattern argument",
         lambda: Router().add("GET", None, 1), TypeError,
         "argument 'pattern': 'NoneType' object cannot be converted to 'PyString'"),
    case("the type is named by its qualified name",
         lambda: app0.cors_allows(Qual()), TypeError,
         "argument 'origin': 'Outer.Inner' object cannot be converted to 'PyString'"),
    case("the first failing argument in parameter order is reported",
         lambda: CalvenorApp().set_cors(1, 2, None, None), TypeError,
         "argument 'origins': 'int' object cannot be converted to 'PyString'"),
    case("a request constructor query string that is not a str",
         lambda: Request("GET", "/", 5), TypeError,
         "argument 'query_string': 'int' object cannot be converted to 'PyString'"),
    case("a boundary that is bytes",
         lambda: request0.parse_multipart(b"x"), TypeError,
         "argument 'boundary': 'bytes' object cannot be converted to 'PyString'"),
    case("static text of bytes",
         lambda: Response.text(b"x", None), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    # byte sequence
    case("a str body", lambda: Response("hi", 200, ""), TypeError, "argument 'body': Can't extract `str` to `Vec`"),
    case("an int body is not a sequence",
         lambda: Response(5, 200, ""), TypeError, "argument 'body': 'int' object cannot be converted to 'Sequence'"),
    case("a dict body is not a sequence",
         lambda: Response({}, 200, ""), TypeError, "argument 'body': 'dict' object cannot be converted to 'Sequence'"),
    case("a set body is not a sequence",
         lambda: Response({1}, 200, ""), TypeError, "argument 'body': 'set' object cannot be converted to 'Sequence'"),
    case("a body item of 256 overflows without prefix",
         lambda: Response([256], 200, ""), OverflowError, OUT_OF_RANGE),
    case("a body item of minus one overflows without prefix",
         lambda: Response([-1], 200, ""), OverflowError, OUT_OF_RANGE),
    case("a body item that is a str gets the interpreter's message with prefix",
         lambda: Response([104, "i"], 200, ""), TypeError,
         "argument 'body': 'str' object cannot be interpreted as an integer"),
    case("a body item that is a float gets the interpreter's message with prefix",
         lambda: Response([1.5], 200, ""), TypeError,
         "argument 'body': 'float' object cannot be interpreted as an integer"),
    case("a header list that is a generator",
         lambda: Request("G", "/", "").set_headers(x for x in []), TypeError,
         "argument 'raw_headers': 'generator' object cannot be converted to 'Sequence'"),
    case("status 70000 overflows", lambda: Response(b"", 70000, ""), OverflowError, OUT_OF_RANGE),
    case("status 65536 overflows", lambda: Response(b"", 65536, ""), OverflowError, OUT_OF_RANGE),
    case("status minus one overflows", lambda: Response(b"", -1, ""), OverflowError, OUT_OF_RANGE),
    case("status as a float", lambda: Response(b"", 200.0, ""), TypeError,
         "argument 'status': 'float' object cannot be interpreted as an integer"),
    case("status None in the constructor", lambda: Response(b"", None, ""), TypeError,
         "argument 'status': 'NoneType' object cannot be interpreted as an integer"),
    case("status as a str in the static json", lambda: Response.json({}, "200"), TypeError,
         "argument 'status': 'str' object cannot be interpreted as an integer"),
    case("a huge status gets the interpreter's C long message", lambda: Response(b"", 2**64, ""), OverflowError,
         "Python int too large to convert to C long"),
    case("a huge body item gets the interpreter's C long message", lambda: Response([2**70], 200, ""), OverflowError,
         "Python int too large to convert to C long"),
    case("status 70000 in the static text", lambda: Response.text("", 70000), OverflowError, OUT_OF_RANGE),
    case("an index method raising a TypeError subclass passes unchanged",
         lambda: Response(b"", RaisesSubclass(), ""), TypeErrorSubclass, "sub"),
]


class TestConversions:
    @pytest.mark.parametrize("call, etype, message", CONVERSION_CASES)
    def test_conversion_error(self, call, etype, message):
        assert_raises_exactly(call, etype, message)

    def test_lone_surrogate_text_gives_unprefixed_unicode_encode_error(self):
        for call in (lambda: Response.text("a\ud800", None), lambda: Response(b"", 200, "\udc80"),
                     lambda: Request("\ud800", "/", ""), lambda: router0.lookup("GET", "/\ud800")):
            exc = caught(call)
            assert type(exc) is UnicodeEncodeError
            assert not str(exc).startswith("argument")

    def test_prefixed_type_error_carries_the_cause_of_the_original(self):
        exc = caught(Response, b"", TypeErrorWithCause(), "")
        assert type(exc) is TypeError
        assert str(exc) == "argument 'status': boom"
        assert type(exc.__cause__) is KeyError and exc.__cause__.args == ("root",)

    def test_prefixed_type_error_from_a_body_item_carries_its_cause(self):
        exc = caught(Response, [TypeErrorWithCause()], 200, "")
        assert type(exc) is TypeError
        assert str(exc) == "argument 'body': boom"
        assert type(exc.__cause__) is KeyError

    def test_other_exception_types_from_conversion_pass_as_the_same_object(self):
        err = ValueError("mine")

        class Bad:
            def __index__(self):
                raise err

        assert caught(Response, b"", Bad(), "") is err
        assert caught(Response, [Bad()], 200, "") is err

    @pytest.mark.parametrize(
        "body, expected",
        [
            case("list of ints", [104, 105], b"hi"),
            case("tuple of ints", (104, 105), b"hi"),
            case("bytearray", bytearray(b"hi"), b"hi"),
            case("memoryview", memoryview(b"hi"), b"hi"),
            case("bools and index objects as items", [True, Index(104)], b"\x01h"),
            case("custom sequence", Seq([104, 105]), b"hi"),
            case("empty list", [], b""),
        ],
    )
    def test_byte_sequence_accepts(self, body, expected):
        r = Response(body, 200, "")
        assert type(r.body) is bytes and r.body == expected

    @pytest.mark.parametrize(
        "status, expected",
        [case("True is status 1", True, 1), case("False is status 0", False, 0),
         case("an index object", Index(404), 404), case("65535 is kept", 65535, 65535)],
    )
    def test_status_accepts(self, status, expected):
        assert Response(b"", status, "").status == expected

    def test_header_pairs_accept_tuple_subclasses_and_byte_sequences(self):
        Pair = namedtuple("Pair", "name value")
        req = Request("G", "/", "")
        req.set_headers((Pair(b"A", bytearray(b"1")), (memoryview(b"b"), [50])))
        assert req.headers == {"a": "1", "b": "2"}

    def test_str_subclass_is_accepted_as_text(self):
        class S(str):
            pass

        rt = Router()
        rt.add(S("GET"), S("/x"), "h")
        assert rt.lookup(S("GET"), S("/x")) == ("h", None)


# ---------------------------------------------------------------------------
# Borrow flags and PanicException
# ---------------------------------------------------------------------------


def dispatch_with(handler, path="/x"):
    app = CalvenorApp()
    app.add_route("GET", "/x", lambda req: handler(app, req))
    return app, lambda: app.handle_request("GET", path, "", [], b"")


class TestBorrowing:
    @pytest.mark.parametrize(
        "inner, message",
        [
            case("has_cors inside a handler", lambda app: app.has_cors(), "Already mutably borrowed"),
            case("resolve inside a handler", lambda app: app.resolve("GET", "/x"), "Already mutably borrowed"),
            case("cors_origin inside a handler", lambda app: app.cors_origin("o"), "Already mutably borrowed"),
            case("cors_allows inside a handler", lambda app: app.cors_allows("o"), "Already mutably borrowed"),
            case("cors_is_wildcard inside a handler", lambda app: app.cors_is_wildcard(), "Already mutably borrowed"),
            case("preflight headers inside a handler", lambda app: app.cors_preflight_headers("o"),
                 "Already mutably borrowed"),
            case("gzip inside a handler", lambda app: app.gzip_compress(b""), "Already mutably borrowed"),
            case("add_route inside a handler", lambda app: app.add_route("GET", "/y", None), "Already borrowed"),
            case("set_cors inside a handler", lambda app: app.set_cors(None, None, None, None), "Already borrowed"),
            case("nested handle_request", lambda app: app.handle_request("GET", "/x", "", [], b""), "Already borrowed"),
            case("shared access is refused before arguments are converted",
                 lambda app: app.resolve(1, 2), "Already mutably borrowed"),
            case("exclusive access is refused before arguments are converted",
                 lambda app: app.add_route(1, 2, 3), "Already borrowed"),
        ],
    )
    def test_handler_calling_its_own_application(self, inner, message):
        app, run = dispatch_with(lambda app, req: inner(app))
        assert_raises_exactly(run, RuntimeError, message)
        # released on the way out
        assert app.has_cors() is False
        app.add_route("GET", "/after", None)

    def test_header_conversion_during_dispatch_holds_exclusive_access(self):
        app = CalvenorApp()
        app.add_route("GET", "/", lambda d: "x")
        seq = Seq([(b"a", b"b")], lambda: app.has_cors())
        assert_raises_exactly(lambda: app.handle_request("GET", "/", "", seq, b""), RuntimeError,
                              "Already mutably borrowed")
        assert app.handle_request("GET", "/", "", [], b"").body == b"x"

    def test_access_is_released_after_a_panic_during_dispatch(self):
        d = {}

        class Grow:
            def __str__(self):
                d["n"] = 1
                return "g"

        d["a"] = Grow()
        app = CalvenorApp()
        app.add_route("GET", "/", lambda req: d)
        assert type(caught(app.handle_request, "GET", "/", "", [], b"")) is panic_type()
        assert app.has_cors() is False
        app.add_route("GET", "/z", None)

    def test_binding_errors_come_before_the_borrow_check(self):
        _, run = dispatch_with(lambda app, req: app.resolve())
        assert_raises_exactly(run, TypeError, "CalvenorApp.resolve() missing 2 required positional arguments: "
                                              "'method' and 'path'")

    def test_a_handler_may_use_another_application(self):
        other = CalvenorApp()
        _, run = dispatch_with(lambda app, req: str(other.has_cors()))
        assert run().body == b"False"

    def test_shared_access_nested_in_shared_access_is_allowed(self):
        app = CalvenorApp()
        seen = []
        assert app.gzip_compress(Seq([1, 2], lambda: seen.append(app.has_cors()))) == app.gzip_compress(b"\x01\x02")
        assert seen and all(s is False for s in seen)

    def test_exclusive_access_inside_a_shared_conversion_is_refused(self):
        app = CalvenorApp()
        seq = Seq([1], lambda: app.set_cors(None, None, None, None))
        assert_raises_exactly(lambda: app.gzip_compress(seq), RuntimeError, "Already borrowed")
        assert app.has_cors() is False

    @pytest.mark.parametrize(
        "touch, message",
        [
            case("reading method while set_headers converts", lambda req: req.method, "Already mutably borrowed"),
            case("reading headers while set_headers converts", lambda req: req.headers, "Already mutably borrowed"),
            case("set_body while set_headers converts", lambda req: req.set_body(b"x"), "Already borrowed"),
        ],
    )
    def test_custom_sequence_touching_the_request_during_set_headers(self, touch, message):
        req = Request("G", "/", "")
        req.set_headers([(b"old", b"1")])
        seq = Seq([(b"a", b"b")], lambda: touch(req))
        assert_raises_exactly(lambda: req.set_headers(seq), RuntimeError, message)
        assert req.headers == {"old": "1"}

    def test_custom_sequence_touching_the_request_during_set_body(self):
        req = Request("G", "/", "")
        req.set_body(b"[1]")
        seq = Seq([1, 2], lambda: req.get_header("x"))
        assert_raises_exactly(lambda: req.set_body(seq), RuntimeError, "Already mutably borrowed")
        assert req.json() == [1]


class TestPanic:
    def test_panic_exception_derives_directly_from_base_exception(self):
        panic = panic_type()
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)
        assert panic is panic_type()
        assert panic.__doc__

    @pytest.mark.parametrize(
        "make_app_and_run",
        [
            case("a handler raising it", lambda P: dispatch_with(lambda app, req: (_ for _ in ()).throw(P("boom")))[1]),
            case("the str of a handler result raising it",
                 lambda P: dispatch_with(lambda app, req: type("R", (), {"__str__": lambda s: (_ for _ in ()).throw(P("boom"))})())[1]),
            case("a field getter raising it during encoding",
                 lambda P: (lambda: Response.json(
                     type("F", (), {"__columns__": ("a",), "a": property(lambda s: (_ for _ in ()).throw(P("boom")))})(),
                     None))),
        ],
    )
    def test_python_code_raising_panic_prints_a_notice_and_panics_again(self, make_app_and_run, capfd):
        P = panic_type()
        run = make_app_and_run(P)
        capfd.readouterr()
        exc = caught(run)
        err = capfd.readouterr().err
        assert type(exc) is P
        assert exc.args == ("boom",)
        assert "boom" in err
        assert "Traceback" in err
