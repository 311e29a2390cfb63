import os

import pytest
from conftest import case
from fake_asgi import body_of, http_scope, run

from calvenor.staticfiles import StaticFiles


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    base = tmp_path_factory.mktemp("static")
    (base / "secret.txt").write_text("outside")
    root = base / "public"
    (root / "docs" / "sub").mkdir(parents=True)
    (root / "app.css").write_text("body{}")
    (root / "docs" / "index.html").write_text("<h1>docs</h1>")
    (root / "docs" / "sub" / "page.txt").write_text("page")
    (root / "empty").mkdir()
    os.symlink(base / "secret.txt", root / "leak.txt")
    os.symlink(base, root / "up")
    os.symlink(root / "app.css", root / "alias.css")
    return root


def get(app, path, raw_path=None, method="GET", root_path=""):
    scope = http_scope(path, method, raw_path=raw_path if raw_path is not None else path.encode(),
                       root_path=root_path)
    sent = run(app, scope)
    return sent[0]["status"], dict(sent[0]["headers"]), body_of(sent)


# encoded dots, slashes and backslashes are sent as servers decode them in test_long_lived_e2e
@pytest.mark.parametrize("path, raw_path", [
    case("dot-dot", "/../secret.txt", None),
    case("dot-dot under a subdirectory", "/docs/../../secret.txt", None),
    case("NUL", "/app.css\x00.png", b"/app.css%00.png"),
    case("absolute path", "//etc/passwd", None),
    case("symlink to a file outside", "/leak.txt", None),
    case("symlink to a directory outside", "/up/secret.txt", None),
    case("directory without html", "/docs", None),
])
def test_nothing_outside_the_directory_and_no_listing_is_ever_served(site, path, raw_path):
    status, _, body = get(StaticFiles(site), path, raw_path)
    assert (status, body) == (404, b"Not Found")


@pytest.mark.parametrize("path, body, media_type", [
    case("a file", "/app.css", b"body{}", b"text/css; charset=utf-8"),
    case("dot and empty segments", "/./docs//sub/page.txt", b"page", b"text/plain; charset=utf-8"),
    case("a symlink that stays inside", "/alias.css", b"body{}", b"text/css; charset=utf-8"),
    case("a directory's index.html with html=True", "/docs/", b"<h1>docs</h1>", b"text/html; charset=utf-8"),
])
def test_files_under_the_directory_are_served(site, path, body, media_type):
    status, headers, got = get(StaticFiles(site, html=True), path)
    assert (status, got, headers[b"content-type"]) == (200, body, media_type)
    assert headers[b"content-length"] == b"%d" % len(body) and b"etag" in headers


def test_html_mode_redirects_a_directory_to_its_slash_form_and_404s_without_an_index(site):
    app = StaticFiles(site, html=True)
    scope_path = "/static/docs"
    status, headers, _ = get(app, scope_path, root_path="/static")
    assert (status, headers[b"location"]) == (307, b"/static/docs/")
    assert get(app, "/empty/")[0] == 404


def test_head_answers_headers_only_and_other_methods_405(site):
    status, headers, body = get(StaticFiles(site), "/app.css", method="HEAD")
    assert (status, headers[b"content-length"], body) == (200, b"6", b"")
    status, headers, _ = get(StaticFiles(site), "/app.css", method="POST")
    assert (status, headers[b"allow"]) == (405, b"GET, HEAD")


def test_symlinks_met_partway_are_resolved_and_an_index_html_linking_out_is_not_served(tmp_path):
    (tmp_path / "secret.html").write_text("outside")
    (tmp_path / "public" / "docs" / "sub").mkdir(parents=True)
    (tmp_path / "public" / "docs" / "sub" / "page.txt").write_text("page")
    os.symlink(tmp_path / "secret.html", tmp_path / "public" / "docs" / "index.html")
    os.symlink(tmp_path / "public" / "docs", tmp_path / "public" / "alias")
    app = StaticFiles(tmp_path / "public", html=True)
    assert get(app, "/alias/sub/page.txt")[::2] == (200, b"page")
    assert get(app, "/docs/")[::2] == get(app, "/alias/")[::2] == (404, b"Not Found")


@pytest.mark.parametrize("html, link_out, body", [
    case("html mode answers the root's 404.html", True, False, b"<p>lost</p>"),
    case("a 404.html linking outside is not served", True, True, b"Not Found"),
    case("without html mode the 404 stays plain", False, False, b"Not Found"),
])
def test_a_miss_answers_the_roots_404_html_in_html_mode_only(tmp_path, html, link_out, body):
    (tmp_path / "public").mkdir()
    (tmp_path / "lost.html").write_text("<p>lost</p>")
    page = tmp_path / "public" / "404.html"
    os.symlink(tmp_path / "lost.html", page) if link_out else page.write_text("<p>lost</p>")
    for path in ("/missing.css", "/../lost.html", "/missing/"):
        assert get(StaticFiles(tmp_path / "public", html=html), path)[::2] == (404, body)
