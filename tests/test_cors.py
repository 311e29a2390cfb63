import pytest

from calvenor._core import CalvenorApp
from conftest import NOT_WHITE_SPACE, WHITE_SPACE, case

DEFAULT_METHODS = "GET,POST,PUT,DELETE,OPTIONS,PATCH"


def configured(origins, methods=None, headers=None, max_age=None):
    app = CalvenorApp()
    app.set_cors(origins, methods, headers, max_age)
    return app


def test_unconfigured_policy_answers_no():
    app = CalvenorApp()
    assert (app.has_cors(), app.cors_is_wildcard(), app.cors_allows(""), app.cors_allows("*")) == (False,) * 4
    assert app.cors_origin("https://a") is None and app.cors_preflight_headers("https://a") is None


def test_all_defaults_allow_everything_with_default_headers():
    app = configured(None)
    assert app.has_cors() and app.cors_is_wildcard() and app.cors_allows("anything")
    assert app.cors_origin("https://a") == "*"
    assert list(app.cors_preflight_headers("https://a").items()) == [
        ("Access-Control-Allow-Origin", "*"), ("Access-Control-Allow-Methods", DEFAULT_METHODS),
        ("Access-Control-Allow-Headers", "*"), ("Access-Control-Max-Age", "600")]


@pytest.mark.parametrize("origins, allowed, refused, wildcard", [
    case("comma list is trimmed and exact", "alpha, beta", ["alpha", "beta"],
         ["Beta", " beta", "alpha, beta", "*"], False),
    case("wildcard entry allows all", "alpha,*", ["alpha", "zeta", ""], [], True),
    case("empty text allows only empty origin", "", [""], ["x", " "], False),
    case("empty middle and trailing pieces are kept", "alpha,,beta,", ["alpha", "", "beta"], ["alpha,,beta,"],
         False),
    case("trimmed star is wildcard", " * ", ["x"], [], True),
    case("double star is not wildcard", "**", ["**"], ["*", "x"], False),
    case("all unicode white space is trimmed", f"{WHITE_SPACE}alpha{WHITE_SPACE},{WHITE_SPACE}beta",
         ["alpha", "beta"], [WHITE_SPACE + "alpha"], False),
    case("origins compare exactly without normalisation", "https://A.\u00e9/", ["https://A.\u00e9/"],
         ["https://a.\u00e9/", "https://A.\u00e9", "https://A.e/"], False),
] + [case(f"U+{ord(c):04X} is not trimmed", c + "a" + c, [c + "a" + c], ["a"], False)
      for c in NOT_WHITE_SPACE])
def test_origin_list_decisions(origins, allowed, refused, wildcard):
    app = configured(origins)
    assert app.has_cors() and app.cors_is_wildcard() is wildcard
    for origin in allowed:
        assert app.cors_allows(origin)
        assert app.cors_origin(origin) == ("*" if wildcard else origin)
        assert app.cors_preflight_headers(origin)["Access-Control-Allow-Origin"] == ("*" if wildcard else origin)
    for origin in refused:
        assert not app.cors_allows(origin)
        assert app.cors_origin(origin) is None and app.cors_preflight_headers(origin) is None


def test_texts_are_stored_exactly_and_second_call_replaces_all():
    app = configured("alpha", "GET, POST", " x-a ", "")
    assert app.cors_preflight_headers("alpha") == {
        "Access-Control-Allow-Origin": "alpha", "Access-Control-Allow-Methods": "GET, POST",
        "Access-Control-Allow-Headers": " x-a ", "Access-Control-Max-Age": ""}
    assert app.set_cors(origins="beta", methods=None, headers=None, max_age="5") is None
    assert not app.cors_allows("alpha") and app.cors_allows("beta")
    beta = app.cors_preflight_headers("beta")
    assert (beta["Access-Control-Allow-Methods"], beta["Access-Control-Max-Age"]) == (DEFAULT_METHODS, "5")


def test_a_refused_set_cors_leaves_the_policy_unchanged():
    app = configured("keep")
    for args, exc_type in (((["a"], None, None, None), TypeError), (("a", None, None, 600), TypeError),
                           (("\ud800", None, None, None), UnicodeEncodeError)):
        with pytest.raises(exc_type):
            app.set_cors(*args)
    assert app.cors_allows("keep") and not app.cors_allows("a")
