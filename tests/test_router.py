"""Router: patterns, priorities, backtracking, conflicts and the Python results."""

import pytest

from calvenor._core import CalvenorApp, Router
from conftest import assert_raises_exactly, case, caught

CONFLICT = "Invalid route: Insertion failed due to conflict with previously registered route: "
SEGMENT = "Invalid route: Only one parameter is allowed per path segment"
BADPARAM = "Invalid route: Parameters must be registered with a valid name"
CATCHALL = "Invalid route: Catch-all parameters are only allowed at the end of a route"


def lookup(patterns, method, path):
    rt = Router()
    for p in patterns:
        m, _, pat = p.partition(" ")
        rt.add(m, pat, p)
    return rt.lookup(method, path)


ROUTE_MATCH_CASES = [
    case("static beats parameter when static is added second",
         ["GET /users/{id}", "GET /users/me"], "GET", "/users/me", ("GET /users/me", None)),
    case("static beats parameter when static is added first",
         ["GET /users/me", "GET /users/{id}"], "GET", "/users/me", ("GET /users/me", None)),
    case("parameter matches beside a static sibling added first",
         ["GET /users/me", "GET /users/{id}"], "GET", "/users/42", ("GET /users/{id}", {"id": "42"})),
    case("parameter matches beside a static sibling added second",
         ["GET /users/{id}", "GET /users/me"], "GET", "/users/42", ("GET /users/{id}", {"id": "42"})),
    case("static prefix of a parameter value still reaches the parameter",
         ["GET /users/{id}", "GET /users/me"], "GET", "/users/meme", ("GET /users/{id}", {"id": "meme"})),
    case("backtracking from a failed static branch to the parameter",
         ["GET /a/b/c", "GET /a/{x}/d"], "GET", "/a/b/d", ("GET /a/{x}/d", {"x": "b"})),
    case("the static branch still wins where it matches",
         ["GET /a/b/c", "GET /a/{x}/d"], "GET", "/a/b/c", ("GET /a/b/c", None)),
    case("backtracking over two levels to the root parameter",
         ["GET /{x}/b/c", "GET /a/b/d"], "GET", "/a/b/c", ("GET /{x}/b/c", {"x": "a"})),
    case("parameter does not match an empty segment", ["GET /users/{id}"], "GET", "/users/", None),
    case("parameter does not match a trailing slash", ["GET /users/{id}"], "GET", "/users/42/", None),
    case("parameter does not match a segment that starts with a slash", ["GET /users/{id}"], "GET", "/users//x", None),
    case("path without trailing slash is its own route", ["GET /users", "GET /users/"], "GET", "/users", ("GET /users", None)),
    case("path with trailing slash is its own route", ["GET /users", "GET /users/"], "GET", "/users/", ("GET /users/", None)),
    case("catch-all takes the rest with slashes",
         ["GET /files/{*path}"], "GET", "/files/a/b.txt", ("GET /files/{*path}", {"path": "a/b.txt"})),
    case("catch-all needs at least one byte", ["GET /files/{*path}"], "GET", "/files/", None),
    case("static route beside a catch-all wins",
         ["GET /files/{*path}", "GET /files/x"], "GET", "/files/x", ("GET /files/x", None)),
    case("catch-all still serves other paths beside a static route",
         ["GET /files/x", "GET /files/{*path}"], "GET", "/files/xy", ("GET /files/{*path}", {"path": "xy"})),
    case("longer suffix wins when added first",
         ["GET /{file}.tar.gz", "GET /{file}.gz"], "GET", "/a.tar.gz", ("GET /{file}.tar.gz", {"file": "a"})),
    case("longer suffix wins when added second",
         ["GET /{file}.gz", "GET /{file}.tar.gz"], "GET", "/a.tar.gz", ("GET /{file}.tar.gz", {"file": "a"})),
    case("shorter suffix matches its own text",
         ["GET /{file}.gz", "GET /{file}.tar.gz"], "GET", "/a.gz", ("GET /{file}.gz", {"file": "a"})),
    case("suffix must leave a non-empty parameter", ["GET /{f}.png"], "GET", "/.png", None),
    case("suffix followed by more segments",
         ["GET /{f}.png/x"], "GET", "/a.png/x", ("GET /{f}.png/x", {"f": "a"})),
    case("suffix node with its own value takes text without the suffix",
         ["GET /{f}.png", "GET /{f}"], "GET", "/a.pn", ("GET /{f}", {"f": "a.pn"})),
    case("suffix node with its own value still prefers the suffix child",
         ["GET /{f}", "GET /{f}.png"], "GET", "/a.png", ("GET /{f}.png", {"f": "a"})),
    case("literal before a parameter in one segment",
         ["GET /v{version}/x"], "GET", "/vbeta/x", ("GET /v{version}/x", {"version": "beta"})),
    case("route names its parameter by its own list",
         ["GET /users/{uid}", "GET /users/{id}/posts"], "GET", "/users/7/posts",
         ("GET /users/{id}/posts", {"id": "7"})),
    case("sibling route keeps its own parameter name",
         ["GET /users/{uid}", "GET /users/{id}/posts"], "GET", "/users/7", ("GET /users/{uid}", {"uid": "7"})),
    case("parameter leaf and parameter with a child",
         ["GET /{a}", "GET /{a}/b"], "GET", "/x/b", ("GET /{a}/b", {"a": "x"})),
    case("parameter leaf does not match a trailing slash when a child exists",
         ["GET /{a}", "GET /{a}/b"], "GET", "/x/", None),
    case("escaped braces are literal text", ["GET /a{{b}}"], "GET", "/a{b}", ("GET /a{{b}}", None)),
    case("escaped braces do not match doubled braces", ["GET /a{{b}}"], "GET", "/a{{b}}", None),
    case("a name holding an escaped closing brace",
         ["GET /{a}}}"], "GET", "/x", ("GET /{a}}}", {"a}": "x"})),
    case("a name may start with a slash", ["GET /{/}"], "GET", "/x", ("GET /{/}", {"/": "x"})),
    case("one name used twice keeps the last value",
         ["GET /{id}/{id}"], "GET", "/1/2", ("GET /{id}/{id}", {"id": "2"})),
    case("a parameter in the method position", ["{m} /x"], "PATCH", "/x", ("{m} /x", {"m": "PATCH"})),
    case("a static method wins over a parameter method", ["{m} /x", "GET /x"], "GET", "/x", ("GET /x", None)),
    case("a parameter method serves other methods", ["GET /x", "{m} /x"], "POST", "/x", ("{m} /x", {"m": "POST"})),
    case("methods are compared exactly", ["GET /users/{id}"], "get", "/users/42", None),
    case("no fallback from HEAD to GET", ["GET /users/{id}"], "HEAD", "/users/42", None),
    case("a different method misses", ["GET /users/{id}"], "POST", "/users/42", None),
    case("the query string is part of the path", ["GET /health"], "GET", "/health?x=1", None),
    case("a trailing slash is not removed", ["GET /health"], "GET", "/health/", None),
    case("percent escapes are not decoded", ["GET /files/{name}"], "GET", "/files/a%20b",
         ("GET /files/{name}", {"name": "a%20b"})),
    case("no leading slash is required", ["GET x"], "GET", "x", ("GET x", None)),
    case("the key joins method and path with one space", ["GET /a b"], "GET /a", "b", ("GET /a b", None)),
    case("an empty tree matches nothing", [], "GET", "/", None),
    case("an empty method and path match nothing", ["GET /"], "", "", None),
    case("a brace in the looked-up text is a plain byte", ["GET /{x}"], "GET", "/{y}", ("GET /{x}", {"x": "{y}"})),
    case("the same path under two methods", ["GET /a", "POST /a"], "POST", "/a", ("POST /a", None)),
    case("three parameters come back by name",
         ["GET /{a}/{b}/{c}/{d}"], "GET", "/1/2/3/4", ("GET /{a}/{b}/{c}/{d}", {"a": "1", "b": "2", "c": "3", "d": "4"})),
    case("catch-all after parameters keeps every name",
         ["GET /{x}/{y}/{*z}"], "GET", "/1/2/3/4", ("GET /{x}/{y}/{*z}", {"x": "1", "y": "2", "z": "3/4"})),
    case("a suffix child that fails deeper does not fall back to a sibling child",
         ["GET /{f}.x/a", "GET /{f}/b"], "GET", "/q.x/b", None),
    case("the longest suffix child is tried first",
         ["GET /{f}.png", "GET /{f}.png.bak"], "GET", "/a.png.bak", ("GET /{f}.png.bak", {"f": "a"})),
    case("a shorter suffix child takes the rest into the parameter",
         ["GET /{f}.png", "GET /{f}.png.bak"], "GET", "/a.bak.png", ("GET /{f}.png", {"f": "a.bak"})),
    case("a failed static branch resumes at a catch-all sibling",
         ["GET /u/{id}/posts/new", "GET /u/{id}/{*rest}"], "GET", "/u/1/posts/old",
         ("GET /u/{id}/{*rest}", {"id": "1", "rest": "posts/old"})),
    case("an escaped brace route beside a parameter misses over to the parameter",
         ["GET /{{x}}", "GET /{y}"], "GET", "/{z}", ("GET /{y}", {"y": "{z}"})),
    case("an escaped brace route added after a parameter wins for its text",
         ["GET /{y}", "GET /{{x}}"], "GET", "/{x}", ("GET /{{x}}", None)),
    case("a parameter gaining a slash child matches with the slash",
         ["GET /{a}", "GET /{b}/"], "GET", "/x/", ("GET /{b}/", {"b": "x"})),
    case("backtracking into a nested parameter",
         ["GET /a/{x}/c", "GET /a/b/{y}/d", "GET /a/b/c/e"], "GET", "/a/b/c/d", ("GET /a/b/{y}/d", {"y": "c"})),
    case("backtracking past a nested parameter without a value to the outer one",
         ["GET /a/{x}/c", "GET /a/b/{y}/d", "GET /a/b/c/e"], "GET", "/a/b/c", ("GET /a/{x}/c", {"x": "b"})),
    case("literal text before a parameter beside a bare parameter",
         ["GET /{x}", "GET /a{y}"], "GET", "/ab", ("GET /a{y}", {"y": "b"})),
    case("a literal prefix node without a value falls back to the bare parameter",
         ["GET /{x}", "GET /a{y}"], "GET", "/a", ("GET /{x}", {"x": "a"})),
    case("a split static node falls back to a parameter after it",
         ["GET /abc", "GET /a{y}"], "GET", "/abd", ("GET /a{y}", {"y": "bd"})),
    case("a parameter with a later literal suffix keeps matching bare values",
         ["GET /a/{x}", "GET /a/{x}y"], "GET", "/a/z", ("GET /a/{x}", {"x": "z"})),
    case("a parameter with a later literal suffix matches the suffix",
         ["GET /a/{x}", "GET /a/{x}y"], "GET", "/a/zy", ("GET /a/{x}y", {"x": "z"})),
    case("priority reordering does not change which route matches",
         ["GET /ab", "GET /ac", "GET /ac/x", "GET /ac/y", "GET /{p}"], "GET", "/ab", ("GET /ab", None)),
    case("escaped braces are not removed", ["GET /a{{b}}"], "GET", "/ab", None),
    case("the root route beside a root parameter", ["GET /", "GET /{a}"], "GET", "/", ("GET /", None)),
    case("non-ASCII text in patterns and values", ["GET /caf\u00e9/{x}"], "GET", "/caf\u00e9/\u00fc",
         ("GET /caf\u00e9/{x}", {"x": "\u00fc"})),
]


class TestRouterMatching:
    @pytest.mark.parametrize("patterns, method, path, expected", ROUTE_MATCH_CASES)
    def test_lookup(self, patterns, method, path, expected):
        assert lookup(patterns, method, path) == expected

    def test_lookup_returns_the_same_handler_object_and_a_new_dict(self):
        h = object()
        rt = Router()
        rt.add("GET", "/u/{id}", h)
        first, second = rt.lookup("GET", "/u/1"), rt.lookup("GET", "/u/1")
        assert type(first) is tuple and first[0] is h
        assert first[1] == {"id": "1"} and first[1] is not second[1]

    def test_twenty_five_parameters_are_accepted(self):
        rt = Router()
        pattern = "/" + "/".join("{p%d}" % i for i in range(25))
        rt.add("GET", pattern, "h")
        handler, params = rt.lookup("GET", "/" + "/".join(str(i) for i in range(25)))
        assert params == {"p%d" % i: str(i) for i in range(25)}

    def test_a_panic_for_too_many_parameters_leaves_the_table_unchanged(self):
        rt = Router()
        rt.add("GET", "/a/{x}", "h")
        exc = caught(rt.add, "GET", "/a/{x}/" + "/".join("{p%d}" % i for i in range(25)), None)
        assert type(exc).__name__ == "PanicException" and exc.args == ("Too many route parameters.",)
        assert rt.lookup("GET", "/a/1") == ("h", {"x": "1"})
        rt.add("GET", "/a/{y}/b", "h2")
        assert rt.lookup("GET", "/a/1/b") == ("h2", {"y": "1"})

    def test_router_and_application_tables_are_independent(self):
        rt, app = Router(), CalvenorApp()
        rt.add("GET", "/r", "r")
        app.add_route("GET", "/a", "a")
        assert rt.lookup("GET", "/a") is None and app.resolve("GET", "/r") is None
        assert app.resolve("GET", "/a") == ("a", None)

    def test_add_returns_none(self):
        assert Router().add("GET", "/", None) is None
        assert CalvenorApp().add_route("GET", "/", None) is None


ROUTE_ERROR_CASES = [
    case("a second name for the same parameter conflicts with the first",
         ["GET /users/{id}"], "GET /users/{name}", CONFLICT + "GET /users/{id}"),
    case("a parameter beside a catch-all conflicts with the catch-all",
         ["GET /files/{*path}"], "GET /files/{name}", CONFLICT + "GET /files/{*path}"),
    case("a catch-all beside a parameter conflicts with the parameter",
         ["GET /files/{name}"], "GET /files/{*path}", CONFLICT + "GET /files/{name}"),
    case("the same static route twice", ["GET /a"], "GET /a", CONFLICT + "GET /a"),
    case("the same parameter route twice", ["GET /users/{id}"], "GET /users/{id}", CONFLICT + "GET /users/{id}"),
    case("the same catch-all route twice", ["GET /f/{*p}"], "GET /f/{*p}", CONFLICT + "GET /f/{*p}"),
    case("conflict beats a catch-all syntax error", ["GET /{x}"], "GET /{*rest}/x", CONFLICT + "GET /{x}"),
    case("conflict beats a segment syntax error", ["GET /{*x}"], "GET /{a}{b}", CONFLICT + "GET /{*x}"),
    case("conflict text follows the first child down to a leaf",
         ["GET /users/{id}/posts"], "GET /users/{*rest}", CONFLICT + "GET /users/{id}/posts"),
    case("conflict text follows the highest-priority child chain",
         ["GET /a/{p}/x", "GET /a/{q}/yy", "GET /a/{r}/yz"], "GET /a/{*rest}", CONFLICT + "GET /a/{q}/yy"),
    case("conflict text keeps an escaped brace once and names the real parameter",
         ["GET /{{x}}/{id}"], "GET /{{x}}/{name}", CONFLICT + "GET /{x}/{id}"),
    case("conflict text does not repeat a node prefix the text already ends with",
         ["GET /x{{a}}{p}"], "GET /x{{a}}{*rest}", CONFLICT + "GET /x{a}"),
    case("a deeper duplicate is named by the stored route",
         ["GET /a/{x}/b/c"], "GET /a/{y}/b/c", CONFLICT + "GET /a/{x}/b/c"),
    case("the conflict chain follows a reordered child down to its own child",
         ["GET /x/{p}/a", "GET /x/{q}/b", "GET /x/{r}/b2"], "GET /x/{*z}", CONFLICT + "GET /x/{r}/b2"),
    case("the conflict chain follows split nodes in priority order",
         ["GET /p/{a}/one", "GET /p/{b}/two", "GET /p/{c}/three", "GET /p/{d}/thrice"], "GET /p/{*z}",
         CONFLICT + "GET /p/{c}/three"),
    case("the conflict chain ends in a catch-all",
         ["GET /f/{id}/{*rest}"], "GET /f/{*all}", CONFLICT + "GET /f/{id}/{*rest}"),
    case("the root route twice", ["GET /"], "GET /", CONFLICT + "GET /"),
    case("a catch-all followed by more text under a catch-all", ["GET /f/{*p}"], "GET /f/{*p}/x",
         CONFLICT + "GET /f/{*p}"),
    case("a parameter with more segments under a catch-all", ["GET /f/{*p}"], "GET /f/{x}/y",
         CONFLICT + "GET /f/{*p}"),
    case("parameter children are ordered longest first in the conflict chain",
         ["GET /a/{x}", "GET /a/{x}/", "GET /a/{x}.json"], "GET /a/{*r}", CONFLICT + "GET /a/{x}.json"),
    case("parameter children of equal length keep insertion order",
         ["GET /a/{x}.b", "GET /a/{y}.c"], "GET /a/{*r}", CONFLICT + "GET /a/{x}.b"),
    case("a deeper parameter conflict names both stored parameters",
         ["GET /a/{x}/{y}"], "GET /a/{z}/{w}", CONFLICT + "GET /a/{x}/{y}"),
    case("a catch-all beside a deeper parameter names the chain",
         ["GET /a/{x}/{y}/c"], "GET /a/{z}/{*w}", CONFLICT + "GET /a/{x}/{y}/c"),
    case("escaped braces before a parameter are not renamed",
         ["GET /{{a}}/{x}"], "GET /{{a}}/{*y}", CONFLICT + "GET /{a}/{x}"),
    case("escaped braces inside a literal segment show once",
         ["GET /a{{b}}c/{x}"], "GET /a{{b}}c/{y}", CONFLICT + "GET /a{b}c/{x}"),
    case("a literal brace route twice", ["GET /a/{{x}}"], "GET /a/{{x}}", CONFLICT + "GET /a/{x}"),
    case("two parameters in one segment", [], "GET /{a}{b}", SEGMENT),
    case("two parameters around a dash", [], "GET /{a}-{b}", SEGMENT),
    case("a second parameter after a suffix in an existing parameter segment",
         ["GET /{x}"], "GET /{y}-{z}", SEGMENT),
    case("empty braces", [], "GET /{}", BADPARAM),
    case("an unclosed brace", [], "GET /{a", BADPARAM),
    case("a closing brace without an opening one", [], "GET /a}b", BADPARAM),
    case("a slash inside a name", [], "GET /{a/b}", BADPARAM),
    case("a star inside a name", [], "GET /{a*b}", BADPARAM),
    case("a star after the catch-all star", [], "GET /{**}", BADPARAM),
    case("a name error is found before any conflict", ["GET /{x}"], "GET /{x}/{}", BADPARAM),
    case("a catch-all before the end", [], "GET /{*rest}/x", CATCHALL),
    case("a catch-all before the end under an existing parameter", ["GET /s/{x}"], "GET /s/{x}.png/{*r}/z", CATCHALL),
]


class TestRouterErrors:
    @pytest.mark.parametrize("existing, pattern, message", ROUTE_ERROR_CASES)
    def test_insert_error(self, existing, pattern, message):
        rt = Router()
        for p in existing:
            m, _, pat = p.partition(" ")
            rt.add(m, pat, p)
        m, _, pat = pattern.partition(" ")
        assert_raises_exactly(lambda: rt.add(m, pat, None), ValueError, message)

    @pytest.mark.parametrize(
        "existing, pattern",
        [
            case("a literal suffix after an existing parameter", ["GET /a/{x}"], "GET /a/{x}y"),
            case("a parameter after an existing static child", ["GET /a/{x}/b"], "GET /a/{y}/{z}"),
            case("a static child beside an existing parameter", ["GET /a/{x}/{y}"], "GET /a/{z}/b"),
            case("an escaped brace after a parameter", ["GET /a/{x}"], "GET /a/{x}{{"),
            case("an escaped brace segment beside a parameter", ["GET /a/{x}"], "GET /a/{{x}}"),
        ],
    )
    def test_insert_accepted(self, existing, pattern):
        rt = Router()
        for p in existing:
            m, _, pat = p.partition(" ")
            rt.add(m, pat, p)
        m, _, pat = pattern.partition(" ")
        assert rt.add(m, pat, pattern) is None

    def test_application_add_route_reports_the_same_errors(self):
        app = CalvenorApp()
        app.add_route("GET", "/users/{id}", 1)
        assert_raises_exactly(lambda: app.add_route("GET", "/users/{name}", 2), ValueError,
                              CONFLICT + "GET /users/{id}")

    def test_a_refused_route_leaves_no_trace_for_a_later_conflict_text(self):
        rt = Router()
        rt.add("GET", "/s/{x}", "h")
        caught(rt.add, "GET", "/s/{x}.png/{*r}/z", None)
        assert rt.lookup("GET", "/s/a.png/") is None
        assert rt.lookup("GET", "/s/abc") == ("h", {"x": "abc"})
        assert_raises_exactly(lambda: rt.add("GET", "/s/{*c}", None), ValueError, CONFLICT + "GET /s/{x}")

    def test_a_refused_chain_leaves_no_route_behind(self):
        rt = Router()
        caught(rt.add, "GET", "/p/{x}/{*rest}/y", None)
        assert rt.lookup("GET", "/p/1") is None
        rt.add("GET", "/p/{q}", "h")
        assert rt.lookup("GET", "/p/5") == ("h", {"q": "5"})
        caught(rt.add, "GET", "/p/{q}/{y}{z}", None)
        rt.add("GET", "/p/{q}/r", "h2")
        assert rt.lookup("GET", "/p/1/r") == ("h2", {"q": "1"})


@pytest.mark.parametrize(
    "path", ["", "{", "}", "{}" * 50, "/" * 10_000, "/a" * 10_000, "\u00e9\U0001f600", "/{" * 100],
    ids=["empty", "open brace", "close brace", "only braces", "many slashes", "10000 segments", "non-ascii",
         "brace soup"],
)
def test_lookup_never_fails_on_strange_paths(path):
    r = Router()
    for p in ("/{a}/{b}", "/x/{*rest}", "/a/b", "/{f}.png"):
        r.add("GET", p, p)
    found = r.lookup("GET", path)
    assert found is None or isinstance(found, tuple)

