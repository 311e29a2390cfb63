"""Request.json() against json.loads and orjson.loads on the standard JSON corpora.

Run: .venv/bin/python benchmarks/bench_json_decode.py [--rounds N] [--loads MODULE:FUNC]

Each round times one decode per contender (the small API body: a batch of decodes),
interleaved so that all three see the same machine load; the table shows medians, and on a
second line the best round (steadier on a shared machine). Targets: the small body at least
3x faster than json.loads and within 1.3x of orjson's time; the three files at least 0.8x
orjson's speed (ours/orjson at most 1.25). --loads replaces Request.json() by any bytes ->
object callable (for trying a decoder before it is wired into Request).
"""

import argparse
import importlib
import json
import pathlib
import statistics
import time

import orjson

DATA = pathlib.Path(__file__).resolve().parent / "data"
FILES = ["twitter.json", "citm_catalog.json", "canada.json"]
# What a JSON API decodes on every POST: 222 bytes, nested object/list, floats, bool, null.
SMALL_BODY = (b'{"id":48213,"user":{"name":"Ada Lovelace","active":true,"score":97.25},"tags":["admin","beta"],'
              b'"items":[{"sku":"A-100","qty":2,"price":19.99},{"sku":"B-7","qty":1,"price":4.5}],'
              b'"note":null,"created":"2026-12-06T14:50:02Z"}')
SMALL_BATCH = 1000  # one timed sample decodes the small body this many times


def request_decoder(data):
    from calvenor._core import Request

    request = Request("POST", "/", "")
    request.set_body(data)
    return request.json


def batched(fn, times):
    def run():
        for _ in range(times):
            fn()
    return run


def callable_decoder(target, data):
    module_name, _, attr = target.partition(":")
    fn = getattr(importlib.import_module(module_name), attr)
    return lambda: fn(data)


def median_ms(samples):
    return statistics.median(samples) * 1e3


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=0, help="rounds per file (default: ~2 s per file)")
    parser.add_argument("--loads", help="MODULE:FUNC decoding bytes, instead of Request.json()")
    args = parser.parse_args()

    print(f"{'file':<25}{'ours ms':>10}{'json ms':>10}{'orjson ms':>11}{'json/ours':>11}{'ours/orjson':>13}")
    print(f"{'(small body: us per decode)':<25}")
    inputs = [(name, (DATA / name).read_bytes(), 1) for name in FILES] + [("small body", SMALL_BODY, SMALL_BATCH)]
    for name, data, times in inputs:
        ours = callable_decoder(args.loads, data) if args.loads else request_decoder(data)
        contenders = {"ours": ours, "json": lambda: json.loads(data), "orjson": lambda: orjson.loads(data)}
        if times > 1:
            contenders = {key: batched(fn, times) for key, fn in contenders.items()}
        for fn in contenders.values():  # warm up caches and allocators
            fn()
        rounds = args.rounds
        if rounds <= 0:
            start = time.perf_counter()
            for fn in contenders.values():
                fn()
            rounds = max(5, int(2.0 / max(time.perf_counter() - start, 1e-6)))
        samples = {key: [] for key in contenders}
        for _ in range(rounds):
            for key, fn in contenders.items():
                t0 = time.perf_counter()
                fn()
                samples[key].append(time.perf_counter() - t0)
        for label, pick in (("", median_ms), (" (best)", lambda v: min(v) * 1e3)):
            m = {key: pick(v) for key, v in samples.items()}
            print(f"{name + label:<25}{m['ours']:>10.3f}{m['json']:>10.3f}{m['orjson']:>11.3f}"
                  f"{m['json'] / m['ours']:>10.2f}x{m['ours'] / m['orjson']:>12.2f}x")


if __name__ == "__main__":
    main()
