"""Request.query against urllib.parse.parse_qs: median time per decode.

Run: PYTHONPATH=python .venv/bin/python benchmarks/bench_query.py

Cases: a realistic 10-parameter query with some escapes (target: at least 5x faster than
parse_qs(qs, keep_blank_values=True)), a plain ASCII one, and a long one with 200 pairs.
The Request is built once; each call decodes the stored query string afresh.
"""
import sys
from pathlib import Path
from urllib.parse import parse_qs

sys.path.insert(0, str(Path(__file__).resolve().parent))

from calvenor._core import Request  # noqa: E402
from runner import compare  # noqa: E402

REALISTIC = (
    "q=python+web+framework&page=2&per_page=50&sort=updated&order=desc&lang=en-US"
    "&tags=async%2Casgi&since=2024-05-14T08%3A12%3A31Z&utm_source=newsletter&name=caf%C3%A9"
)
PLAIN = "a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=9&j=10"
LONG = "&".join(f"key{i % 50}=value+{i}%21" for i in range(200))


def main():
    cases = {}
    for label, qs in [("10 params, escapes", REALISTIC), ("10 params, plain", PLAIN), ("200 params", LONG)]:
        r = Request("GET", "/search", qs)
        assert r.query == parse_qs(qs, keep_blank_values=True), label
        cases[label] = {
            "Request.query": lambda r=r: r.query,
            "parse_qs": lambda qs=qs: parse_qs(qs, keep_blank_values=True),
        }
    results = compare("Query-string decoding: median time per call", cases, baseline="Request.query")
    ratio = results["10 params, escapes"]["parse_qs"] / results["10 params, escapes"]["Request.query"]
    print(f"\nrealistic query: Request.query is {ratio:.1f}x faster than parse_qs (target >= 5x)")


if __name__ == "__main__":
    main()
