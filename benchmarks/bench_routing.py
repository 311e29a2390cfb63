"""Router.lookup against Starlette's and Werkzeug's routers on the GitHub API route table."""
import json
import re

from runner import bench_data, compare, fmt_ns, table

import calvenor._core as core


def load_table(name):
    return [tuple(r) for r in json.loads(bench_data("routes.json").read_text())[name]]


def concrete(path):
    path = re.sub(r"\{\*[^}]+\}", "a/b.txt", path)
    return re.sub(r"\{[^}]+\}", "v42", path)


def calvenor_lookup(routes):
    r = core.Router()
    for i, (method, path) in enumerate(routes):
        r.add(method, path, i)
    reqs = [(m, concrete(p)) for m, p in routes]
    lookup = r.lookup

    def run():
        for m, p in reqs:
            lookup(m, p)

    return run, r, reqs


def starlette_lookup(routes):
    from starlette.routing import Match, Route

    def endpoint(request):  # never called
        return None

    table_ = [Route(re.sub(r"\{\*([^}]+)\}", r"{\1:path}", p), endpoint, methods=[m]) for m, p in routes]
    scopes = [{"type": "http", "method": m, "path": concrete(p), "root_path": ""} for m, p in routes]

    def run():
        for scope in scopes:
            for route in table_:  # as Starlette's router does: first full match wins
                match, _ = route.matches(scope)
                if match is Match.FULL:
                    break

    return run


def werkzeug_lookup(routes):
    from werkzeug.routing import Map, Rule

    rules = Map([Rule(re.sub(r"\{\*([^}]+)\}", r"<path:\1>", re.sub(r"\{(\w+)\}", r"<\1>", p)), methods=[m],
                      endpoint=f"{m} {p}") for m, p in routes])
    adapter = rules.bind("localhost")
    reqs = [(m, concrete(p)) for m, p in routes]

    def run():
        for m, p in reqs:
            adapter.match(p, method=m)

    return run


def main():
    github = load_table("github")
    run, r, reqs = calvenor_lookup(github)
    assert all(r.lookup(m, p) is not None for m, p in reqs)
    results = compare(
        f"Route lookup, GitHub API table ({len(github)} routes, one lookup per route; time per table pass)",
        {"github": {"calvenor Router.lookup": run, "starlette Route.matches": starlette_lookup(github),
                    "werkzeug MapAdapter.match": werkzeug_lookup(github)}},
        "calvenor Router.lookup",
    )
    per = {k: v / len(github) for k, v in results["github"].items()}
    static = load_table("static")
    srun, sr, sreqs = calvenor_lookup(static)
    assert all(sr.lookup(m, p)[1] is None for m, p in sreqs)  # static hits build no dict
    sres = compare(f"Route lookup, static table ({len(static)} routes)",
                   {"static": {"calvenor Router.lookup": srun, "starlette Route.matches": starlette_lookup(static)}},
                   "calvenor Router.lookup")
    rows = [[name, fmt_ns(ns)] for name, ns in per.items()]
    rows.append(["calvenor Router.lookup (static table)", fmt_ns(sres["static"]["calvenor Router.lookup"] / len(static))])
    table("Per lookup (github table unless noted)", rows, ["implementation", "time per lookup"])


if __name__ == "__main__":
    main()
