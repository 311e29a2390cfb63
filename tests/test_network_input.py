"""What a client can put in a request or a message, met where the Python layer reads it."""
import timeit
import tracemalloc

import pytest
from conftest import case
from fake_asgi import http_scope, run

from calvenor import App
from calvenor.staticfiles import StaticFiles


def paths_app():
    app = App()
    app.get("/p/{x}")(lambda req: "p")
    app.mount("/m", App())
    return app


@pytest.mark.parametrize("path, status, location", [
    case("CR and LF in a redirected path are escaped, not a crash", "/p/a\r\nb/", 307, b"/p/a%0D%0Ab"),
    case("NUL in a redirected path is escaped", "/p/a\x00/", 307, b"/p/a%00"),
    case("a decoded % stays a % in the redirect", "/p/100%/", 307, b"/p/100%25"),
    case("a decoded ? stays in the path of the redirect", "/p/a?b/", 307, b"/p/a%3Fb"),
    case("a surrogate-escaped byte under a mount reaches the mount", "/m/\udcff", 404, None),
])
def test_odd_paths(path, status, location):
    sent = run(paths_app(), {**http_scope(), "path": path})
    assert sent[0]["status"] == status
    assert dict(sent[0]["headers"]).get(b"location") == location


def test_static_slash_redirect_of_leading_slashes_stays_on_this_site(tmp_path):
    (tmp_path / "evil.example").mkdir()
    sent = run(StaticFiles(tmp_path, html=True), http_scope("///evil.example"))
    assert (sent[0]["status"], dict(sent[0]["headers"])[b"location"]) == (307, b"/evil.example/")


def test_long_accept_encoding_values_are_not_kept():
    from calvenor.encoding import accepts_gzip

    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(300):
            assert accepts_gzip(b"gzip, " + b"x" * 100_000 + b"%d" % i)
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert kept < 1_000_000


def best_time(fn, arg):
    return min(timeit.repeat(lambda: fn(arg, 10), number=1, repeat=3))


@pytest.mark.parametrize("hostile", [
    case("spaces after '=' with no first byte", "bytes=" + " " * 20000 + "x"),
    case("spaces after '-' with no last byte", "bytes=1-" + " " * 20000 + "x"),
])
def test_range_header_of_spaces_is_refused_in_linear_time(hostile):
    from calvenor.files import parse_range

    benign = "bytes=1-2" + " " * 20000 + "x"
    assert parse_range(hostile, 10) is None
    assert best_time(parse_range, hostile) < 20 * best_time(parse_range, benign) + 0.001
