"""Another thread calling into an application while it dispatches, and containers changed while
they are read or encoded: the only errors allowed are the borrow conflicts and the encoder's
iteration faults, and results stay exact."""
import threading

import pytest

import calvenor._core as core
from conftest import Mutates, case, caught, panic_type

def test_other_threads_are_refused_at_once_while_a_handler_runs():
    entered, release, results = threading.Event(), threading.Event(), []
    app = core.CalvenorApp()
    app.add_route("GET", "/", lambda req: entered.set() or release.wait(10) and "done")
    worker = threading.Thread(target=lambda: results.append(app.handle_request("GET", "/", "", [], b"")))
    worker.start()
    try:
        assert entered.wait(10)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            app.handle_request("GET", "/", "", [], b"")
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            app.resolve("GET", "/")
    finally:
        release.set()
        worker.join(10)
    assert results[0].body == b"done"


def test_a_handler_result_whose_keys_are_swapped_while_encoded_is_a_panic_and_the_app_is_freed():
    # a dict that only changes size is checked in test_json_encode and, through the framework, test_framework
    d = {"a": None, "b": 1}
    d["a"] = Mutates(lambda: (d.pop("a"), d.__setitem__("z", 0)))
    app = core.CalvenorApp()
    app.add_route("GET", "/", lambda req: d)
    exc = caught(app.handle_request, "GET", "/", "", [], b"")
    assert type(exc) is panic_type() and exc.args == ("dictionary keys changed during iteration",)
    assert app.resolve("GET", "/") is not None


@pytest.mark.parametrize("make, body", [
    case("items appended during the walk are not written", lambda l: lambda: l.append(9), b'{"l":["m",2,3]}'),
    case("a list shortened during the walk ends at its new length", lambda l: l.pop, b'{"l":["m",2]}'),
])
def test_lists_changed_while_encoded_are_bounded(make, body):
    items = [None, 2, 3]
    items[0] = Mutates(make(items))
    assert core.Response.json({"l": items}, None).body == body


def test_sequences_emptied_while_they_are_read_stop_at_their_new_end():
    class Empties:
        def __init__(self, holder, value):
            self.holder, self.value = holder, value

        def __index__(self):
            self.holder.clear()
            return self.value

    items = []
    items.extend([Empties(items, 1)] + [object()] * 100)
    try:
        assert core.Response(items, 200, "t").body == b"\x01"
    except IndexError:  # a reader that took the length first may see the list end early
        pass
    pairs = []
    pairs.extend([(b"n", [Empties(pairs, 65), 66])] + [(b"x", b"y")] * 50)
    r = core.Request("GET", "/", "")
    try:
        r.set_headers(pairs)
    except IndexError:
        assert r.headers == {}
    else:
        assert r.headers == {"n": "AB"}
