"""Response.json, and dispatch of a handler that returns the document, against the standard
library and orjson on the public JSON documents, plus the binding layer's fixed cost per call.
A ratio below 1.00x in the orjson row means orjson takes that share of calvenor's time."""
import json

import orjson

from runner import bench_data, compare

import calvenor._core as core


def main():
    cases = {}
    for name in ("twitter.json", "citm_catalog.json", "canada.json"):
        value = json.loads(bench_data(name).read_bytes())
        app = core.CalvenorApp()
        app.add_route("GET", "/doc", lambda req, v=value: v)
        cases[name] = {
            "calvenor Response.json": lambda v=value: core.Response.json(v, None),
            "calvenor dispatch (dict result)": lambda a=app: a.handle_request("GET", "/doc", "", [], b""),
            "orjson.dumps": lambda v=value: orjson.dumps(v),
            "json.dumps": lambda v=value: json.dumps(v, separators=(",", ":"), ensure_ascii=False).encode(),
        }
    compare("JSON encoding (time per document)", cases, "calvenor Response.json")

    compare(
        "Binding layer fixed cost (time per call)",
        {
            "Response(b'hi', 200, 'text/plain')": {"calvenor": lambda: core.Response(b"hi", 200, "text/plain")},
            "Response.text('hi', None)": {"calvenor": lambda: core.Response.text("hi", None)},
            "Response.json({'a': 1}, None)": {"calvenor": lambda: core.Response.json({"a": 1}, None)},
        },
        "calvenor",
    )


if __name__ == "__main__":
    main()
