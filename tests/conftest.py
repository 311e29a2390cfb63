import pytest


def case(id, *values, xfail=None):
    marks = [pytest.mark.xfail(strict=True, reason=xfail)] if xfail else []
    return pytest.param(*values, id=id, marks=marks)


def caught(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # PanicException is not an Exception
        return exc
    raise AssertionError("no exception raised")


def assert_raises_exactly(fn, etype, message):
    exc = caught(fn)
    assert type(exc) is etype, (type(exc), str(exc))
    assert str(exc) == message


def panic_type():
    from calvenor._core import Router

    exc = caught(Router().add, "GET", "/" + "/".join("{p%d}" % i for i in range(26)), None)
    return type(exc)


class Seq:
    """A sequence that runs a callback on every item read."""

    def __init__(self, items, on_item=None):
        self.items = list(items)
        self.on_item = on_item

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.on_item is not None:
            self.on_item()
        return self.items[i]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
