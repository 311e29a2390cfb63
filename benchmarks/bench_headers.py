"""Request.headers and Request.get_header on 20 typical browser headers: ns per call.

Run: PYTHONPATH=python .venv/bin/python benchmarks/bench_headers.py

The pure-Python rows do the same work with bytes methods, for scale. Target: get_header
in the order of a plain method call (no dict is built), headers a single pass.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from calvenor._core import Request  # noqa: E402
from runner import compare  # noqa: E402

BROWSER_HEADERS = [
    (b"Host", b"www.example.com"),
    (b"Connection", b"keep-alive"),
    (b"Cache-Control", b"max-age=0"),
    (b"sec-ch-ua", b'"Chromium";v="124", "Google Chrome";v="124", "Not-A.Brand";v="99"'),
    (b"sec-ch-ua-mobile", b"?0"),
    (b"sec-ch-ua-platform", b'"Linux"'),
    (b"Upgrade-Insecure-Requests", b"1"),
    (b"User-Agent", b"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                    b"Chrome/124.0.0.0 Safari/537.36"),
    (b"Accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
                b"image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7"),
    (b"Sec-Fetch-Site", b"same-origin"),
    (b"Sec-Fetch-Mode", b"navigate"),
    (b"Sec-Fetch-User", b"?1"),
    (b"Sec-Fetch-Dest", b"document"),
    (b"Referer", b"https://www.example.com/products?page=2"),
    (b"Accept-Encoding", b"gzip, deflate, br, zstd"),
    (b"Accept-Language", b"en-GB,en;q=0.9,de;q=0.8"),
    (b"Cookie", b"session=6f1c2a9e0b7d4c3f8e5a; theme=dark; _ga=GA1.1.123456789.1700000000"),
    (b"If-None-Match", b'W/"5e15-18f2a3b4c5d"'),
    (b"If-Modified-Since", b"Tue, 14 May 2024 08:12:31 GMT"),
    (b"Priority", b"u=0, i"),
]
assert len(BROWSER_HEADERS) == 20


def python_headers(raw):
    """The same dict built in plain Python, for scale."""
    return {k.decode("utf-8", "replace").lower(): v.decode("utf-8", "replace") for k, v in raw}


def python_get_header(raw, name):
    wanted = name.encode()
    for k, v in raw:
        if len(k) == len(wanted) and k.lower() == wanted.lower():
            return v.decode("utf-8", "replace")
    return None


def main():
    r = Request("GET", "/products", "page=2")
    r.set_headers(BROWSER_HEADERS)
    raw = BROWSER_HEADERS
    cases = {"headers (dict of 20)": {"Request": lambda: r.headers, "pure Python": lambda: python_headers(raw)}}
    for label, name in [("first", "host"), ("10th", "Sec-Fetch-Site"), ("last", "priority"),
                        ("missing", "authorization")]:
        cases[f"get_header {label} ({name})"] = {
            "Request": lambda name=name: r.get_header(name),
            "pure Python": lambda name=name: python_get_header(raw, name),
        }
    compare("Request headers, 20 browser headers: median time per call", cases, baseline="Request")


if __name__ == "__main__":
    main()
