"""The binding layer: argument binding texts, conversions, final classes, the module."""
import importlib
import sys
import weakref

import pytest

import calvenor._core as core
from conftest import assert_no_leak

R = core.Response


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: R(), "Response.__new__() missing 3 required positional arguments: 'body', 'status', and 'content_type'"),
        (lambda: R(b""), "Response.__new__() missing 2 required positional arguments: 'status' and 'content_type'"),
        (lambda: R(b"", 1), "Response.__new__() missing 1 required positional argument: 'content_type'"),
        (lambda: R(content_type="x"), "Response.__new__() missing 2 required positional arguments: 'body' and 'status'"),
        (lambda: R(b"", 1, "x", 4), "Response.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: R.json(1, None, 2), "Response.json() takes 2 positional arguments but 3 were given"),
        (lambda: R(b"", 1, "x", extra=1), "Response.__new__() got an unexpected keyword argument 'extra'"),
        (lambda: R(b"", 1, "x", body=b""), "Response.__new__() got multiple values for argument 'body'"),
        (lambda: R.json(1), "Response.json() missing 1 required positional argument: 'status'"),
        (lambda: R.text(status=None), "Response.text() missing 1 required positional argument: 'text'"),
    ],
    ids=["no arguments", "two missing", "one missing", "keyword given, two missing", "too many positionals",
         "static method too many", "unknown keyword", "positional and keyword", "static missing", "static missing first"],
)
def test_binding_errors_have_interpreter_style_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_bind_in_any_order():
    r = R(content_type="t", status=7, body=b"x")
    assert (r.body, r.status, r.content_type) == (b"x", 7, "t")
    assert R.json(status=None, data=[1]).body == b"[1]"


@pytest.mark.parametrize(
    "body, expected",
    [(b"hi", b"hi"), (bytearray(b"hi"), b"hi"), ([104, 105], b"hi"), ((104, 105), b"hi"), (memoryview(b"hi"), b"hi"),
     ([True, 0], b"\x01\x00"), ([], b"")],
    ids=["bytes", "bytearray", "list of ints", "tuple of ints", "memoryview", "bools are ints", "empty list"],
)
def test_byte_sequences_are_read_item_by_item(body, expected):
    out = R(body, 200, "x").body
    assert type(out) is bytes and out == expected


@pytest.mark.parametrize(
    "body, exc, message",
    [
        ("hi", TypeError, "argument 'body': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'body': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2}, TypeError, "argument 'body': 'dict' object cannot be converted to 'Sequence'"),
        (["a"], TypeError, "argument 'body': 'str' object cannot be interpreted as an integer"),
        ([1.5], TypeError, "argument 'body': 'float' object cannot be interpreted as an integer"),
        ([256], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, "Python int too large to convert to C long"),
    ],
    ids=["str", "int", "dict", "str item", "float item", "item 256", "item -1", "huge item"],
)
def test_byte_sequence_refusals(body, exc, message):
    with pytest.raises(exc) as info:
        R(body, 200, "x")
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize(
    "status, expected",
    [(0, 0), (65535, 65535), (True, 1), (201, 201)],
)
def test_status_codes(status, expected):
    assert R(b"", status, "").status == expected


class Index:
    def __index__(self):
        return 404


@pytest.mark.parametrize(
    "status, exc, message",
    [
        (65536, OverflowError, "out of range integral type conversion attempted"),
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (70000, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, "Python int too large to convert to C long"),
        (200.0, TypeError, "argument 'status': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'status': 'NoneType' object cannot be interpreted as an integer"),
        ("200", TypeError, "argument 'status': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_status_refusals(status, exc, message):
    with pytest.raises(exc) as info:
        R(b"", status, "")
    assert type(info.value) is exc and str(info.value) == message


def test_status_accepts_index_protocol():
    assert R(b"", Index(), "").status == 404


def test_text_conversion_refusals():
    with pytest.raises(TypeError, match=r"^argument 'content_type': 'int' object cannot be converted to 'PyString'$"):
        R(b"", 1, 5)
    with pytest.raises(UnicodeEncodeError):
        R(b"", 1, "\ud800")
    with pytest.raises(TypeError, match=r"^argument 'text': 'bytes' object cannot be converted to 'PyString'$"):
        R.text(b"x", None)


def test_first_failing_argument_wins():
    # body is converted before status: the body's error is the one reported
    with pytest.raises(TypeError, match="argument 'body'"):
        R("s", "also bad", "x")
    # status is converted before data is looked at
    with pytest.raises(TypeError, match="argument 'status'"):
        R.json({1: 2}, "bad")


class Exploding:
    def __index__(self):
        raise TypeError("boom") from KeyError("why")


class ExplodingValue:
    def __index__(self):
        raise ValueError("boom")


def test_type_errors_are_rewrapped_keeping_the_cause():
    with pytest.raises(TypeError) as info:
        R(b"", Exploding(), "x")
    assert str(info.value) == "argument 'status': boom"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_errors_pass_unchanged():
    with pytest.raises(ValueError, match="^boom$"):
        R(b"", ExplodingValue(), "x")


class StrSub(str):
    pass


def test_str_subclass_is_text():
    assert R(b"", 1, StrSub("abc")).content_type == "abc"


def test_classes_are_final_and_closed():
    with pytest.raises(TypeError):
        type("Sub", (R,), {})
    r = R(b"", 1, "")
    with pytest.raises(AttributeError):
        r.anything = 1
    with pytest.raises(AttributeError):
        r.status = 3
    with pytest.raises(TypeError):
        weakref.ref(r)
    assert not hasattr(r, "__dict__")


def test_class_names_and_signatures():
    assert R.__name__ == "Response" and R.__qualname__ == "Response"
    assert R.__text_signature__ == "(body, status, content_type)"
    assert R.json.__text_signature__ == "(data, status)"
    assert R.text.__text_signature__ == "(text, status)"


def test_module_surface():
    assert core.__doc__ == ""
    assert core.__name__ == "calvenor._core"
    assert [n for n in core.__all__] == [n for n in ["Router", "Request", "Response", "CalvenorApp"] if hasattr(core, n)]
    assert not hasattr(core, "PanicException")


def test_repeated_import_returns_the_cached_module():
    first = sys.modules["calvenor._core"]
    del sys.modules["calvenor._core"]
    try:
        again = importlib.import_module("calvenor._core")
        assert again is first
    finally:
        sys.modules["calvenor._core"] = first


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        code = (
            "import sys\n"
            f"sys.path[:0] = {sys.path!r}\n"
            "try:\n"
            "    import calvenor._core\n"
            "except ImportError as e:\n"
            "    assert 'sub-interpreter' in str(e) or 'subinterpreter' in str(e), e\n"
            "else:\n"
            "    raise AssertionError('imported')\n"
        )
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_binding_failures_do_not_leak():
    def fail():
        for call in (lambda: R(), lambda: R("s", 1, "x"), lambda: R([256], 1, "x"), lambda: R(b"", 1, "x", q=1),
                     lambda: R(b"", Exploding(), "x")):
            try:
                call()
            except (TypeError, OverflowError):
                pass

    assert_no_leak(fail, calls=1000)
