"""The shipped _core.pyi against the module that is actually imported.

Signatures are compared through inspect (which reads the runtime text signatures);
return annotations are checked against values that real calls produce, which
stubtest does not do. The stub is read from beside the imported module, so a run
against an installed wheel checks the stub that the wheel ships.
"""
import ast
import collections.abc
import inspect
import sys
import types
import typing
from pathlib import Path

import pytest

import calvenor._core as core

STUB_PATH = Path(core.__file__).with_name("_core.pyi")
STUB_TREE = ast.parse(STUB_PATH.read_text(encoding="utf-8"))
Py_TPFLAGS_BASETYPE = 1 << 10


def _decorators(node):
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in node.decorator_list}


def _stub_classes():
    return {n.name: n for n in STUB_TREE.body if isinstance(n, ast.ClassDef)}


def _stub_members():
    """(class name, member name, FunctionDef) for every def in every stub class."""
    out = []
    for cname, cnode in _stub_classes().items():
        for node in cnode.body:
            if isinstance(node, ast.FunctionDef):
                out.append((cname, node.name, node))
    return out


def _stub_all():
    for node in STUB_TREE.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def _public(names):
    return {n for n in names if not n.startswith("_")}


MEMBERS = _stub_members()
INSTANCES = {
    "Router": lambda: core.Router(),
    "Request": lambda: core.Request("GET", "/", "a=1"),
    "Response": lambda: core.Response(b"", 200, "text/plain"),
    "CalvenorApp": lambda: core.CalvenorApp(),
}
MEMBER_IDS = [f"{c}.{m}" for c, m, _ in MEMBERS]


# --- module and class surface ---------------------------------------------------


def test_stub_and_py_typed_ship_beside_the_module():
    assert STUB_PATH.is_file()
    assert STUB_PATH.with_name("py.typed").is_file()


def test_all_matches_runtime():
    assert _stub_all() == core.__all__


def test_stub_declares_exactly_the_runtime_classes():
    assert set(_stub_classes()) == _public(vars(core))


@pytest.mark.parametrize("cname", sorted(_stub_classes()))
def test_class_members_match_runtime(cname):
    cls = getattr(core, cname)
    stub_names = {m for c, m, _ in MEMBERS if c == cname and not m.startswith("_")}
    assert stub_names == _public(vars(cls))


@pytest.mark.parametrize("cname", sorted(_stub_classes()))
def test_final_in_stub_iff_runtime_refuses_subclassing(cname):
    cls = getattr(core, cname)
    stub_final = "final" in _decorators(_stub_classes()[cname])
    assert stub_final == (not cls.__flags__ & Py_TPFLAGS_BASETYPE)


# --- signatures -----------------------------------------------------------------


def _stub_params(fn: ast.FunctionDef, drop_first: bool):
    a = fn.args
    params = [(p.arg, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    params += [(p.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY) for p in a.kwonlyargs]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    assert not a.defaults and not any(a.kw_defaults), f"{fn.name}: the stub gives a default"
    return params[1:] if drop_first else params


def _runtime_params(sig: inspect.Signature, drop_self: bool):
    params = list(sig.parameters.values())
    for p in params:
        assert p.default is inspect.Parameter.empty, f"runtime default for {p.name}"
    if drop_self:
        assert params and params[0].name == "self", sig
        params = params[1:]
    return [(p.name, p.kind) for p in params]


@pytest.mark.parametrize("cname, mname, node", MEMBERS, ids=MEMBER_IDS)
def test_signature_matches_runtime(cname, mname, node):
    cls = getattr(core, cname)
    decorators = _decorators(node)
    if "property" in decorators:
        raw = vars(cls)[mname]
        assert inspect.isgetsetdescriptor(raw), f"{cname}.{mname} is not a native attribute"
        obj = INSTANCES[cname]()
        with pytest.raises(AttributeError):
            setattr(obj, mname, getattr(obj, mname))  # read-only, as the stub's property says
        return
    if mname == "__new__":
        expected = _runtime_params(inspect.signature(cls), drop_self=False)
        assert _stub_params(node, drop_first=True) == expected
        return
    raw = vars(cls)[mname]
    if "staticmethod" in decorators:
        assert isinstance(raw, staticmethod)
        expected = _runtime_params(inspect.signature(getattr(cls, mname)), drop_self=False)
        assert _stub_params(node, drop_first=False) == expected
    else:
        assert inspect.ismethoddescriptor(raw) and not isinstance(raw, staticmethod)
        assert node.args.args and node.args.args[0].arg == "self"
        expected = _runtime_params(inspect.signature(raw), drop_self=True)
        assert _stub_params(node, drop_first=True) == expected
    # Every parameter is positional-or-keyword: callers may use either form.
    assert {kind for _, kind in expected} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}


# --- return annotations against real results ------------------------------------


def _load_stub_namespace():
    # Lazy annotations, so the stub's forward references (a class naming itself) resolve.
    mod = types.ModuleType("_core_stub")
    code = "from __future__ import annotations\n" + STUB_PATH.read_text(encoding="utf-8")
    exec(compile(code, str(STUB_PATH), "exec"), mod.__dict__)
    return mod


STUB = _load_stub_namespace()


def conforms(value, tp) -> bool:
    if tp is typing.Any or tp is object:
        return True
    if tp is None or tp is type(None):
        return value is None
    origin, args = typing.get_origin(tp), typing.get_args(tp)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, a) for a in args)
    if origin is collections.abc.Callable:
        return callable(value)
    if origin is dict:
        return type(value) is dict and all(conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items())
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is tuple:
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if tp in (str, int, bytes, bool, float):
        return type(value) is tp
    if isinstance(tp, type) and getattr(STUB, tp.__name__, None) is tp:
        return type(value) is getattr(core, tp.__name__)
    raise AssertionError(f"conforms() does not know the annotation {tp!r}: extend it")


def _return_annotation(cname, mname):
    attr = inspect.getattr_static(getattr(STUB, cname), mname)
    fn = attr.fget if isinstance(attr, property) else getattr(attr, "__func__", attr)
    return typing.get_type_hints(fn, vars(STUB))["return"]


def handler(req):
    return {"ok": True}


def _multipart_request():
    body = (
        b"--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
        b"--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
        b"Content-Type: text/plain\r\n\r\nhi\r\n--B--\r\n"
    )
    r = core.Request("POST", "/upload", "a=1&a=2&b=")
    r.set_headers([(b"Host", b"example"), (b"X-Bad", b"\xff")])
    r.set_body(body)
    return r


def _json_request(body):
    r = core.Request("POST", "/", "")
    if body is not None:
        r.set_body(body)
    return r


def _app(cors):
    app = core.CalvenorApp()
    app.add_route("GET", "/users/{id}", handler)
    app.add_route("GET", "/health", handler)
    if cors:
        app.set_cors("https://a.example, https://b.example", None, None, None)
    return app


def _router():
    r = core.Router()
    r.add("GET", "/users/{id}", handler)
    r.add("GET", "/health", handler)
    return r


# Each entry: (class, member, call producing the value). Both sides of every
# optional result are exercised where the module can produce them.
SAMPLES = [
    ("Router", "__new__", lambda: core.Router()),
    ("Router", "add", lambda: core.Router().add("GET", "/x", handler)),
    ("Router", "lookup", lambda: _router().lookup("GET", "/users/7")),
    ("Router", "lookup", lambda: _router().lookup("GET", "/health")),
    ("Router", "lookup", lambda: _router().lookup("GET", "/nope")),
    ("Request", "__new__", lambda: core.Request("GET", "/", "")),
    ("Request", "method", lambda: _multipart_request().method),
    ("Request", "path", lambda: _multipart_request().path),
    ("Request", "query_string", lambda: _multipart_request().query_string),
    ("Request", "headers", lambda: _multipart_request().headers),
    ("Request", "query", lambda: _multipart_request().query),
    ("Request", "set_headers", lambda: _multipart_request().set_headers([(bytearray(b"a"), [98])])),
    ("Request", "get_header", lambda: _multipart_request().get_header("HOST")),
    ("Request", "get_header", lambda: _multipart_request().get_header("absent")),
    ("Request", "set_body", lambda: _multipart_request().set_body(memoryview(b"x"))),
    ("Request", "json", lambda: _json_request(b'{"a": [1, 2.5, null, true, "s"]}').json()),
    ("Request", "json", lambda: _json_request(None).json()),
    ("Request", "parse_multipart", lambda: _multipart_request().parse_multipart("B")),
    ("Response", "__new__", lambda: core.Response(b"x", 201, "text/html")),
    ("Response", "json", lambda: core.Response.json({"a": 1}, None)),
    ("Response", "text", lambda: core.Response.text("hi", 202)),
    ("Response", "status", lambda: core.Response(b"", True, "").status),
    ("Response", "body", lambda: core.Response([104, 105], 200, "").body),
    ("Response", "content_type", lambda: core.Response.text("", None).content_type),
    ("CalvenorApp", "__new__", lambda: core.CalvenorApp()),
    ("CalvenorApp", "set_cors", lambda: core.CalvenorApp().set_cors(None, None, None, None)),
    ("CalvenorApp", "cors_allows", lambda: _app(True).cors_allows("https://b.example")),
    ("CalvenorApp", "cors_is_wildcard", lambda: _app(True).cors_is_wildcard()),
    ("CalvenorApp", "add_route", lambda: core.CalvenorApp().add_route("GET", "/", handler)),
    ("CalvenorApp", "resolve", lambda: _app(False).resolve("GET", "/users/7")),
    ("CalvenorApp", "resolve", lambda: _app(False).resolve("GET", "/health")),
    ("CalvenorApp", "resolve", lambda: _app(False).resolve("GET", "/nope")),
    ("CalvenorApp", "has_cors", lambda: _app(False).has_cors()),
    ("CalvenorApp", "cors_preflight_headers", lambda: _app(True).cors_preflight_headers("https://a.example")),
    ("CalvenorApp", "cors_preflight_headers", lambda: _app(True).cors_preflight_headers("https://evil.example")),
    ("CalvenorApp", "cors_origin", lambda: _app(True).cors_origin("https://a.example")),
    ("CalvenorApp", "cors_origin", lambda: _app(False).cors_origin("https://a.example")),
    ("CalvenorApp", "gzip_compress", lambda: _app(False).gzip_compress(b"abc" * 100)),
    ("CalvenorApp", "handle_request", lambda: _app(False).handle_request("GET", "/users/7", "", [(b"Host", b"h")], b"")),
    ("CalvenorApp", "handle_request", lambda: _app(False).handle_request("GET", "/nope", "", [], bytearray())),
]


def test_every_stub_member_has_a_sample():
    sampled = {(c, m) for c, m, _ in SAMPLES}
    assert {(c, m) for c, m, _ in MEMBERS} <= sampled


@pytest.mark.parametrize("cname, mname, call", SAMPLES, ids=[f"{c}.{m}" for c, m, _ in SAMPLES])
def test_result_matches_return_annotation(cname, mname, call):
    if not hasattr(core, cname):
        pytest.fail(f"{cname} is in the stub but not in the imported module")
    annotation = _return_annotation(cname, mname)
    value = call()
    assert conforms(value, annotation), f"{cname}.{mname} returned {value!r}, stub says {annotation}"


def test_conforms_rejects_wrong_shapes():
    # The checker itself must be able to fail, or the test above proves nothing.
    assert not conforms(["a"], tuple[str])
    assert not conforms({"a": "1"}, dict[str, list[str]])
    assert not conforms(b"x", str)
    assert not conforms(True, int)
    assert not conforms(None, dict[str, str])
    assert not conforms(core.Response(b"", 1, ""), STUB.Request)
    assert conforms(None, dict[str, str] | None)
