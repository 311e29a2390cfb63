"""Several threads on one object: lookups while routes are added, dispatches while handlers
run, and containers changed while they are being encoded. The only errors allowed are the
borrow conflicts and the encoder's iteration faults; results must stay exact, and nothing
may hang (every join has a deadline)."""
import json
import sys
import threading
import time

import pytest

import calvenor._core as core

RUN_SECONDS = 0.6
JOIN_SECONDS = 30
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
ITERATION_FAULTS = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}


@pytest.fixture(autouse=True)
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    """Starts the callables together, lets them run, and returns the exceptions they raised."""
    errors = []
    stop = threading.Event()
    start = threading.Barrier(len(targets))

    def wrap(fn):
        def body():
            try:
                start.wait()
                fn(stop)
            except BaseException as e:  # PanicException included
                errors.append(e)
                stop.set()

        return body

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    time.sleep(RUN_SECONDS)
    stop.set()
    deadline = time.monotonic() + JOIN_SECONDS
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock or hang"
    return errors


def is_panic(e):
    return type(e).__name__ == "PanicException"


def test_lookups_during_route_additions_stay_exact():
    router = core.Router()
    fixed = {f"/fixed/{i}/{{id}}": object() for i in range(50)}
    for pattern, h in fixed.items():
        router.add("GET", pattern, h)
    added = []  # patterns known to be in, in order
    counts = {"lookups": 0}

    def reader(stop):
        i = 0
        while not stop.is_set():
            n = i % 50
            got = router.lookup("GET", f"/fixed/{n}/{i}")
            assert got == (fixed[f"/fixed/{n}/{{id}}"], {"id": str(i)})
            if added:
                k = len(added) - 1 - i % len(added)
                assert router.lookup("POST", f"/new/{k}/x/y") == (k, {"rest": "x/y"})
            assert router.lookup("GET", f"/fixed/{n}") is None
            counts["lookups"] += 1
            i += 1

    def writer(stop):
        k = 0
        while not stop.is_set() and k < 20_000:
            router.add("POST", f"/new/{k}/{{*rest}}", k)
            added.append(k)
            k += 1

    errors = run_threads([reader, reader, reader, writer])
    assert errors == []
    assert counts["lookups"] > 0 and added
    for k in added:
        assert router.lookup("POST", f"/new/{k}/z") == (k, {"rest": "z"})


@pytest.fixture
def busy_app():
    app = core.CalvenorApp()

    def echo(req):
        # Lets other threads in while the application is held.
        time.sleep(0.0001)
        total = sum(range(200))
        return {"id": req["route_params"]["id"], "q": req["query_string"].decode(), "sum": total}

    def text(req):
        time.sleep(0)
        return "t" + req["route_params"]["name"]

    app.add_route("GET", "/echo/{id}", echo)
    app.add_route("GET", "/text/{name}", text)
    app.set_cors("https://a.example", None, None, None)
    return app


def test_dispatch_from_many_threads_only_meets_borrow_conflicts(busy_app):
    app = busy_app
    outcome = {"ok": 0, "conflicts": 0}
    lock = threading.Lock()

    def conflict(e):
        assert type(e) is RuntimeError and str(e) in BORROW_ERRORS, repr(e)
        with lock:
            outcome["conflicts"] += 1

    def dispatcher(tag):
        def run(stop):
            i = 0
            while not stop.is_set():
                try:
                    if i % 2:
                        r = app.handle_request("GET", f"/echo/{tag}{i}", f"n={i}", [(b"h", b"v")], b"")
                        assert r.status == 200
                        assert json.loads(r.body) == {"id": f"{tag}{i}", "q": f"n={i}", "sum": 19900}
                    else:
                        r = app.handle_request("GET", f"/text/{tag}{i}", "", [], b"body")
                        assert (r.status, r.body, r.content_type) == (200, f"t{tag}{i}".encode(), "text/plain")
                    with lock:
                        outcome["ok"] += 1
                except RuntimeError as e:
                    conflict(e)
                i += 1

        return run

    def bystander(stop):
        i = 0
        while not stop.is_set():
            try:
                if i % 4 == 0:
                    assert app.resolve("GET", "/echo/1")[1] == {"id": "1"}
                elif i % 4 == 1:
                    assert app.cors_origin("https://a.example") == "https://a.example"
                elif i % 4 == 2:
                    app.add_route("GET", f"/late/{threading.get_ident()}/{i}", str)
                else:
                    assert app.has_cors() is True
            except RuntimeError as e:
                conflict(e)
            i += 1
            time.sleep(0)

    errors = run_threads([dispatcher("a"), dispatcher("b"), dispatcher("c"), bystander])
    assert errors == []
    assert outcome["ok"] > 0
    assert outcome["conflicts"] > 0
    # Nothing is left held: every member works again.
    assert app.handle_request("GET", "/text/z", "", [], b"").body == b"tz"
    assert app.resolve("GET", "/echo/9") is not None


def test_other_threads_are_refused_at_once_while_a_handler_runs():
    entered, release = threading.Event(), threading.Event()

    def handler(req):
        entered.set()
        assert release.wait(10)
        return "done"

    app = core.CalvenorApp()
    app.add_route("GET", "/", handler)
    results = []
    worker = threading.Thread(target=lambda: results.append(app.handle_request("GET", "/", "", [], b"")))
    worker.start()
    try:
        assert entered.wait(10)
        for call, message in [(lambda: app.handle_request("GET", "/", "", [], b""), "Already borrowed"),
                              (lambda: app.resolve("GET", "/"), "Already mutably borrowed")]:
            with pytest.raises(RuntimeError, match=f"^{message}$"):
                call()
    finally:
        release.set()
        worker.join(10)
    assert results[0].body == b"done"
    other = core.CalvenorApp()  # other applications are unaffected
    other.add_route("GET", "/", lambda req: "other")
    assert other.handle_request("GET", "/", "", [], b"").body == b"other"


class Mutates:
    """A value whose str() changes the container that holds it."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "m"


def grow(d):
    return lambda: d.__setitem__(f"k{len(d)}", 0)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: grow(d), "dictionary changed size during iteration"),
        (lambda d: d.clear, "dictionary changed size during iteration"),
        (lambda d: (lambda: (d.pop("a"), d.__setitem__("z", 0))), "dictionary keys changed during iteration"),
    ],
    ids=["a value that adds a key to its dict", "a value that empties its dict",
         "a value that swaps a seen key for a new one"],
)
def test_handler_result_changed_while_encoded_is_a_panic(make, message):
    app = core.CalvenorApp()

    def handler(req):
        d = {"a": None, "b": 1}
        d["a"] = Mutates(make(d))
        return d

    app.add_route("GET", "/", handler)
    with pytest.raises(BaseException) as e:
        app.handle_request("GET", "/", "", [], b"")
    assert is_panic(e.value)
    assert not isinstance(e.value, Exception)
    assert e.value.args == (message,)
    # The application is free again afterwards.
    assert app.resolve("GET", "/") == (handler, None)


@pytest.mark.parametrize(
    "make, body",
    [
        (lambda l: (lambda: l.append(9)), b'{"l":["m",2,3]}'),
        (lambda l: l.clear, b'{"l":["m"]}'),
        (lambda l: (lambda: l.pop()), b'{"l":["m",2]}'),
    ],
    ids=["items appended during the walk are not written", "a list emptied during the walk ends early",
         "a list shortened during the walk ends at its new length"],
)
def test_lists_changed_while_encoded_are_bounded(make, body):
    app = core.CalvenorApp()

    def handler(req):
        l = [None, 2, 3]
        l[0] = Mutates(make(l))
        return {"l": l}

    app.add_route("GET", "/", handler)
    assert app.handle_request("GET", "/", "", [], b"").body == body


def test_dicts_changed_by_another_thread_during_encoding():
    shared = {f"k{i}": i for i in range(64)}
    outcome = {"ok": 0, "panics": 0}

    class Yields:
        def __str__(self):
            time.sleep(0)  # let the mutator run in the middle of the walk
            return "y"

    shared["y"] = Yields()

    def encoder(stop):
        while not stop.is_set():
            try:
                body = core.Response.json(shared, None).body
            except BaseException as e:
                assert is_panic(e) and e.args[0] in ITERATION_FAULTS, repr(e)
                outcome["panics"] += 1
                continue
            decoded = json.loads(body)
            assert decoded["y"] == "y"
            assert all(decoded[k] == int(k[1:]) for k in decoded if k != "y")
            outcome["ok"] += 1

    def mutator(stop):
        i = 0
        while not stop.is_set():
            key = f"k{64 + i % 8}"
            if key in shared:
                del shared[key]
            else:
                shared[key] = 64 + i % 8
            i += 1
            time.sleep(0)

    errors = run_threads([encoder, encoder, mutator])
    assert errors == []
    assert outcome["ok"] + outcome["panics"] > 0


class Empties:
    """An item whose integer conversion empties the list that holds it."""

    def __init__(self, holder, value):
        self.holder = holder
        self.value = value

    def __index__(self):
        self.holder.clear()
        return self.value


def body_of(convert):
    items = []
    items.extend([Empties(items, 1)] + [object()] * 100)
    try:
        return convert(items)
    except IndexError:  # a reader that took the length first may see the list end early
        return b"\x01"


def stored_body(b):
    r = core.Request("POST", "/", "")
    r.set_body(b)
    with pytest.raises(ValueError) as e:
        r.json()
    # The JSON error tells what was stored: one byte that starts no value.
    assert str(e.value) == "Invalid JSON: expected value at line 1 column 1"
    return b"\x01"


def gunzipped(b):
    import gzip

    return gzip.decompress(core.CalvenorApp().gzip_compress(b))


def dispatched(b):
    app = core.CalvenorApp()
    app.add_route("GET", "/", lambda req: "ok")
    assert app.handle_request("GET", "/", "", [], b).body == b"ok"
    return b"\x01"


@pytest.mark.parametrize(
    "convert",
    [lambda b: core.Response(b, 200, "t").body, stored_body, gunzipped, dispatched],
    ids=["a response body", "a request body", "gzip input", "a dispatched body"],
)
def test_byte_sequence_emptied_while_it_is_read_stops_at_its_new_end(convert):
    assert body_of(convert) == b"\x01"


def test_header_list_emptied_while_it_is_read_keeps_what_was_read():
    pairs = []

    class EmptiesPairs:
        def __index__(self):
            pairs.clear()
            return 65

    pairs.extend([(b"n", [EmptiesPairs(), 66])] + [(b"x", b"y")] * 50)
    r = core.Request("GET", "/", "")
    try:
        r.set_headers(pairs)
    except IndexError:
        assert r.headers == {}
    else:
        assert r.headers == {"n": "AB"}
