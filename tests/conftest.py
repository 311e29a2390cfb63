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


# Unicode White_Space, and characters that look like space but are not.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITE_SPACE = ["\u200b", "\ufeff", "\u180e", "\x1c", "\x1f"]


class Mutates:
    """A value whose str() runs an action, e.g. changing the container that holds it."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "m"


class WithCause:
    def __index__(self):
        raise TypeError("boom") from KeyError("root")


Index = type("Index", (), {"__init__": lambda s, value: setattr(s, "value", value),
                           "__index__": lambda s: s.value})


def raw_request(port, data):
    """Send bytes as they are and read the reply until the server closes."""
    import socket

    chunks = []
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        try:  # the server may close on a request it refuses before reading all of it
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        try:  # what it answered before the reset is still readable
            while chunk := s.recv(65536):
                chunks.append(chunk)
        except ConnectionResetError:
            pass
    return b"".join(chunks)
