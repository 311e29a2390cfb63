"""Paths and URLs built from route names."""
import pytest
from starlette.applications import Starlette
from starlette.routing import Route

import calvenor
from conftest import case
from test_connection_info import serve

app = calvenor.App()
app.get("/users/{id}", name="user")(lambda req: calvenor.request(req).url_for("user", id="a b"))
app.get("/users/{id}/{tab}", name="user")(lambda req: "")
app.get("/files/{rest:path}", name="file")(lambda req: "")
app.add_route("/lambda", ["GET"], lambda req: "")
group = calvenor.Group("/admin", name="admin")


@group.get("/orders/{n:int}")
async def order(req):
    return calvenor.request(req).url_for("admin:order", n=7)


app.include(group, prefix="/v1")
app.get("/people/{id}", name="user")(order)  # a duplicate name: the first route keeps it
app.mount("/st", Starlette(routes=[Route("/who/{x}", lambda r: None, name="who")]), name="st")


@pytest.mark.parametrize("name, params, path", [
    case("a parameter is escaped", "user", {"id": "a b?c%"}, "/users/a%20b%3Fc%25"),
    case("the first route of a name that takes the parameters wins", "user", {"id": 1, "tab": "x"}, "/users/1/x"),
    case("a path parameter keeps its slashes", "file", {"rest": "a/b c"}, "/files/a/b%20c"),
    case("a group's name and both prefixes are kept", "admin:order", {"n": 7}, "/v1/admin/orders/7"),
    case("a mounted app's name is asked for its own", "st:who", {"x": "y"}, "/st/who/y"),
])
def test_url_path_for_fills_the_route(name, params, path):
    assert app.url_path_for(name, **params) == path


@pytest.mark.parametrize("name, params, message", [
    case("an int parameter refuses what is not one", "admin:order", {"n": "abc"}, "cannot match 'abc' as its int"),
    case("a slash would split the segment", "user", {"id": "a/b"}, "cannot match 'a/b' as its str"),
    case("a missing parameter", "file", {}, "missing parameter 'rest'"),
    case("an extra parameter", "file", {"rest": "a", "x": 1}, "unexpected parameter 'x'"),
    case("an unknown name", "nope", {}, "no route is named 'nope'"),
    case("a lambda has no name", "<lambda>", {}, "no route is named '<lambda>'"),
])
def test_url_path_for_refuses(name, params, message):
    with pytest.raises(calvenor.NoMatchFound, match=message):
        app.url_path_for(name, **params)


@pytest.mark.parametrize("path, url", [
    case("from the native dispatch", "/users/1", "https://h.example/api/users/a%20b"),
    case("from an async handler", "/v1/admin/orders/1", "https://h.example/api/v1/admin/orders/7"),
])
def test_url_for_is_absolute_with_host_and_root_path(path, url):
    assert serve(app, path, headers=[(b"host", b"h.example")])[2].decode() == url
