"""Router: patterns, priorities, backtracking, conflicts and the Python results."""
import pytest

from calvenor._core import CalvenorApp, Router
from conftest import assert_raises_exactly, case, caught

CONFLICT = "Invalid route: Insertion failed due to conflict with previously registered route: "
SEGMENT = "Invalid route: Only one parameter is allowed per path segment"
BADPARAM = "Invalid route: Parameters must be registered with a valid name"
MANY = "".join("/{p%d}" % i for i in range(26))
CATCHALL = "Invalid route: Catch-all parameters are only allowed at the end of a route"


def router(routes):
    rt = Router()
    for route in routes:
        method, _, pattern = route.partition(" ")
        rt.add(method, pattern, route)
    return rt


# Each probe is "METHOD path" and what lookup gives: None, the route alone, or the route and its parameters.
MATCHES = [
    case("static beats a parameter added before it", ["GET /users/{id}", "GET /users/me"],
         {"GET /users/me": "GET /users/me", "GET /users/meme": ("GET /users/{id}", {"id": "meme"}),
          "GET /users/": None, "GET /users/42/": None, "GET /users//x": None}),
    case("static beats a parameter added after it", ["GET /users/me", "GET /users/{id}"],
         {"GET /users/me": "GET /users/me", "GET /users/42": ("GET /users/{id}", {"id": "42"})}),
    case("a failed static branch backtracks to the parameter", ["GET /a/b/c", "GET /a/{x}/d"],
         {"GET /a/b/d": ("GET /a/{x}/d", {"x": "b"}), "GET /a/b/c": "GET /a/b/c"}),
    case("backtracking reaches a parameter at the root", ["GET /{x}/b/c", "GET /a/b/d"],
         {"GET /a/b/c": ("GET /{x}/b/c", {"x": "a"})}),
    case("backtracking goes into and then past a nested parameter",
         ["GET /a/{x}/c", "GET /a/b/{y}/d", "GET /a/b/c/e"],
         {"GET /a/b/c/d": ("GET /a/b/{y}/d", {"y": "c"}), "GET /a/b/c": ("GET /a/{x}/c", {"x": "b"})}),
    case("a failed static branch resumes at a catch-all sibling", ["GET /u/{id}/posts/new", "GET /u/{id}/{*rest}"],
         {"GET /u/1/posts/old": ("GET /u/{id}/{*rest}", {"id": "1", "rest": "posts/old"})}),
    case("a suffix child that fails deeper does not fall back to a sibling child", ["GET /{f}.x/a", "GET /{f}/b"],
         {"GET /q.x/b": None}),
    case("split static and prefixed nodes fall back to parameters", ["GET /abc", "GET /a{y}", "GET /{x}"],
         {"GET /abd": ("GET /a{y}", {"y": "bd"}), "GET /ab": ("GET /a{y}", {"y": "b"}),
          "GET /a": ("GET /{x}", {"x": "a"})}),
    case("trailing slashes make their own routes", ["GET /users", "GET /users/"],
         {"GET /users": "GET /users", "GET /users/": "GET /users/"}),
    case("a catch-all takes the rest but a static sibling wins", ["GET /files/{*path}", "GET /files/x"],
         {"GET /files/a/b.txt": ("GET /files/{*path}", {"path": "a/b.txt"}), "GET /files/": None,
          "GET /files/x": "GET /files/x", "GET /files/xy": ("GET /files/{*path}", {"path": "xy"})}),
    case("a catch-all after parameters keeps every name", ["GET /{x}/{y}/{*z}"],
         {"GET /1/2/3/4": ("GET /{x}/{y}/{*z}", {"x": "1", "y": "2", "z": "3/4"})}),
    case("the longer suffix wins when added second", ["GET /{file}.gz", "GET /{file}.tar.gz"],
         {"GET /a.tar.gz": ("GET /{file}.tar.gz", {"file": "a"}), "GET /a.gz": ("GET /{file}.gz", {"file": "a"})}),
    case("the longer suffix wins when added first", ["GET /{f}.png.bak", "GET /{f}.png"],
         {"GET /a.png.bak": ("GET /{f}.png.bak", {"f": "a"}), "GET /a.bak.png": ("GET /{f}.png", {"f": "a.bak"})}),
    case("a suffix leaves a non-empty parameter and may be followed by segments", ["GET /{f}.png/x"],
         {"GET /a.png/x": ("GET /{f}.png/x", {"f": "a"}), "GET /.png/x": None}),
    case("a parameter with its own value beside its suffix child", ["GET /{f}", "GET /{f}.png"],
         {"GET /a.pn": ("GET /{f}", {"f": "a.pn"}), "GET /a.png": ("GET /{f}.png", {"f": "a"})}),
    case("a literal suffix added later keeps bare values matching", ["GET /a/{x}", "GET /a/{x}y"],
         {"GET /a/z": ("GET /a/{x}", {"x": "z"}), "GET /a/zy": ("GET /a/{x}y", {"x": "z"})}),
    case("a parameter leaf beside its slash children", ["GET /{a}", "GET /{a}/b", "GET /", "GET /v{version}/x"],
         {"GET /x/b": ("GET /{a}/b", {"a": "x"}), "GET /x/": None, "GET /": "GET /",
          "GET /vbeta/x": ("GET /v{version}/x", {"version": "beta"})}),
    case("a parameter gaining a slash child matches with the slash", ["GET /{a}", "GET /{b}/"],
         {"GET /x/": ("GET /{b}/", {"b": "x"})}),
    case("each route names parameters by its own list", ["GET /users/{uid}", "GET /users/{id}/posts"],
         {"GET /users/7/posts": ("GET /users/{id}/posts", {"id": "7"}),
          "GET /users/7": ("GET /users/{uid}", {"uid": "7"})}),
    case("odd names: an escaped brace, a slash, a repeated name", ["GET /{a}}}", "GET /x/{/}", "GET /y/{id}/{id}"],
         {"GET /q": ("GET /{a}}}", {"a}": "q"}), "GET /x/1": ("GET /x/{/}", {"/": "1"}),
          "GET /y/1/2": ("GET /y/{id}/{id}", {"id": "2"})}),
    case("escaped braces are literal text", ["GET /a{{b}}"], {"GET /a{b}": "GET /a{{b}}", "GET /a{{b}}": None,
                                                            "GET /ab": None}),
    case("an escaped brace route before a parameter", ["GET /{{x}}", "GET /{y}"],
         {"GET /{z}": ("GET /{y}", {"y": "{z}"}), "GET /{x}": "GET /{{x}}"}),
    case("an escaped brace route after a parameter", ["GET /{y}", "GET /{{x}}"],
         {"GET /{x}": "GET /{{x}}", "GET /{z}": ("GET /{y}", {"y": "{z}"})}),
    case("a parameter in the method position loses to a static method", ["{m} /x", "GET /x"],
         {"GET /x": "GET /x", "PATCH /x": ("{m} /x", {"m": "PATCH"})}),
    case("methods are exact with no fallback", ["GET /users/{id}", "POST /a"],
         {"get /users/4": None, "HEAD /users/4": None, "POST /users/4": None, "POST /a": "POST /a", " ": None}),
    case("the path is raw text", ["GET /health", "GET /f/{name}", "GET x", "GET /caf\u00e9/{x}"],
         {"GET /health?x=1": None, "GET /health/": None, "GET /f/a%20b": ("GET /f/{name}", {"name": "a%20b"}),
          "GET x": "GET x", "GET /caf\u00e9/\u00fc": ("GET /caf\u00e9/{x}", {"x": "\u00fc"})}),
    case("priority reordering changes no match", ["GET /ab", "GET /ac", "GET /ac/x", "GET /ac/y", "GET /{p}"],
         {"GET /ab": "GET /ab", "GET /ac/y": "GET /ac/y", "GET /ad": ("GET /{p}", {"p": "ad"})}),
]


@pytest.mark.parametrize("routes, probes", MATCHES)
def test_lookup(routes, probes):
    rt = router(routes)
    for probe, expected in probes.items():
        method, _, path = probe.partition(" ")
        want = (expected, None) if isinstance(expected, str) else expected
        assert rt.lookup(method, path) == want, probe


def test_lookup_results():
    h = object()
    rt = Router()
    assert rt.add("GET", "/u/{id}", h) is None and rt.lookup("GET", "/") is None
    first, second = rt.lookup("GET", "/u/1"), rt.lookup("GET", "/u/1")
    assert type(first) is tuple and first[0] is h and first[1] == {"id": "1"} and first[1] is not second[1]
    assert router(["GET /a b"]).lookup("GET /a", "b") == ("GET /a b", None)  # the key is method, space, path
    pattern = "/" + "/".join("{p%d}" % i for i in range(25))
    rt.add("GET", pattern + "/{*r}", "h")  # a catch-all beyond the 25 is allowed
    assert rt.lookup("GET", "/" + "/".join(map(str, range(25))) + "/x/y")[1] == {
        **{"p%d" % i: str(i) for i in range(25)}, "r": "x/y"}


def test_a_panic_for_too_many_parameters_leaves_the_table_unchanged():
    rt = router(["GET /a/{x}"])
    for pattern in ("/a/{x}/" + "/".join("{p%d}" % i for i in range(25)), MANY + "/{"):  # the count wins
        exc = caught(rt.add, "GET", pattern, None)
        assert type(exc).__name__ == "PanicException" and exc.args == ("Too many route parameters.",)
    assert rt.lookup("GET", "/a/1") == ("GET /a/{x}", {"x": "1"})
    rt.add("GET", "/a/{y}/b", "h2")
    assert rt.lookup("GET", "/a/1/b") == ("h2", {"y": "1"})


def test_router_and_application_tables_are_independent_and_report_the_same_errors():
    rt, app = router(["GET /r"]), CalvenorApp()
    assert app.add_route("GET", "/users/{id}", 1) is None
    assert rt.lookup("GET", "/users/1") is None and app.resolve("GET", "/r") is None
    assert app.resolve("GET", "/users/1") == (1, {"id": "1"})
    assert_raises_exactly(lambda: app.add_route("GET", "/users/{name}", 2), ValueError, CONFLICT + "GET /users/{id}")


ROUTE_ERRORS = [
    case("a second name for a parameter conflicts", ["GET /users/{id}"], "GET /users/{name}",
         CONFLICT + "GET /users/{id}"),
    case("the conflict names the route stored at the node", ["GET /u/{id}/posts", "GET /u/{uid}"], "GET /u/{x}",
         CONFLICT + "GET /u/{uid}"),
    case("a parameter beside a catch-all conflicts", ["GET /files/{*path}"], "GET /files/{name}",
         CONFLICT + "GET /files/{*path}"),
    case("a catch-all beside a parameter conflicts", ["GET /files/{name}"], "GET /files/{*path}",
         CONFLICT + "GET /files/{name}"),
    case("the same catch-all route twice", ["GET /f/{*p}"], "GET /f/{*p}/x", CONFLICT + "GET /f/{*p}"),
    case("a conflict is reported before a catch-all syntax error", ["GET /{x}"], "GET /{*rest}/x",
         CONFLICT + "GET /{x}"),
    case("a conflict is reported before a segment syntax error", ["GET /{*x}"], "GET /{a}{b}", CONFLICT + "GET /{*x}"),
    case("the conflict text follows the highest-priority children to a leaf",
         ["GET /p/{a}/one", "GET /p/{b}/two", "GET /p/{c}/three", "GET /p/{d}/thrice"], "GET /p/{*z}",
         CONFLICT + "GET /p/{c}/three"),
    case("parameter children are tried longest first in the conflict text",
         ["GET /a/{x}", "GET /a/{x}/", "GET /a/{x}.json"], "GET /a/{*r}", CONFLICT + "GET /a/{x}.json"),
    case("the conflict text keeps an escaped brace once", ["GET /{{x}}/{id}"], "GET /{{x}}/{name}",
         CONFLICT + "GET /{x}/{id}"),
    case("the conflict text does not repeat a prefix it already ends with", ["GET /x{{a}}{p}"], "GET /x{{a}}{*rest}",
         CONFLICT + "GET /x{a}"),
    case("two parameters in one segment", [], "GET /{a}{b}", SEGMENT),
    case("a second parameter in an existing parameter's segment", ["GET /{x}"], "GET /{y}-{z}", SEGMENT),
    case("empty braces", [], "GET /{}", BADPARAM),
    case("an unclosed brace", [], "GET /{a", BADPARAM),
    case("a closing brace without an opening one", [], "GET /a}b", BADPARAM),
    case("a slash inside a name", [], "GET /{a/b}", BADPARAM),
    case("a star after the catch-all star", [], "GET /{**}", BADPARAM),
    case("a name error is found before any conflict", ["GET /{x}"], "GET /{x}/{}", BADPARAM),
    case("a name error is found before too many parameters", [], "GET /{}" + MANY, BADPARAM),
    case("a catch-all before the end", [], "GET /{*rest}/x", CATCHALL),
    case("a catch-all before the end under an existing parameter", ["GET /s/{x}"], "GET /s/{x}.png/{*r}/z", CATCHALL),
]


@pytest.mark.parametrize("existing, route, message", ROUTE_ERRORS)
def test_insert_error(existing, route, message):
    rt = router(existing)
    method, _, pattern = route.partition(" ")
    assert_raises_exactly(lambda: rt.add(method, pattern, None), ValueError, message)


def test_inserts_that_do_not_conflict():
    for existing, route in [("GET /a", "POST /a"), ("GET /a/{x}", "GET /a/{x}y"), ("GET /a/{x}/b", "GET /a/{y}/{z}"),
                            ("GET /a/{x}/{y}", "GET /a/{z}/b"), ("GET /a/{x}", "GET /a/{x}{{"),
                            ("GET /a/{x}", "GET /a/{{x}}")]:
        router([existing, route])


def test_a_wildcard_beside_every_one_of_3000_levels():
    # A failing lookup backtracks through thousands of skipped points; the tree is torn down after.
    rt, route = Router(), ""
    for _ in range(3000):
        route += "/a"
        rt.add("GET", route + "/{p}", "p")
        rt.add("GET", route, "a")
    assert rt.lookup("GET", route) == ("a", None) and rt.lookup("GET", route + "/b") == ("p", {"p": "b"})
    assert rt.lookup("GET", "/a" * 1500 + "/b") == ("p", {"p": "b"})
    assert rt.lookup("GET", route + "/b/c") is None and rt.lookup("GET", route + "/a/a") is None
