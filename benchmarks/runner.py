"""Shared helpers for the benchmarks: medians of repeated timings, side by side."""
from __future__ import annotations

import os
import platform
import statistics
import sys
import time
from pathlib import Path

# The public inputs, vendored with the benchmarks (see data/README.md).
BENCH_DATA = Path(__file__).resolve().parent / "data"


def bench_data(name: str) -> Path:
    path = BENCH_DATA / name
    if not path.exists():
        sys.exit(f"benchmark input missing: {path}")
    return path


def _loop_count(fn, sample_time: float) -> int:
    number = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        if time.perf_counter_ns() - t0 >= sample_time * 1e9 or number >= 1 << 24:
            return number
        number *= 2


def _sample(fn, number: int) -> float:
    t0 = time.perf_counter_ns()
    for _ in range(number):
        fn()
    return (time.perf_counter_ns() - t0) / number


def medians_ns(fns: dict, *, sample_time=0.03, repeat=15) -> dict:
    """Median time of one call of each function, in nanoseconds. The functions are sampled
    in turn, round after round, so that a change in machine load hits all of them alike."""
    numbers = {name: _loop_count(fn, sample_time) for name, fn in fns.items()}
    samples: dict = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            samples[name].append(_sample(fn, numbers[name]))
    return {name: statistics.median(s) for name, s in samples.items()}


def median_ns(fn, **kw) -> float:
    return medians_ns({"f": fn}, **kw)["f"]


def fmt_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def machine() -> str:
    return f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}"


def table(title: str, rows: list[list[str]], header: list[str]) -> None:
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print(f"\n{title}  ({machine()})")
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))


def compare(title: str, cases: dict[str, dict[str, object]], baseline: str) -> dict[str, dict[str, float]]:
    """cases: {case: {impl: fn}}; prints median per impl and the ratio to `baseline`'s time."""
    results: dict[str, dict[str, float]] = {}
    rows = []
    for case, impls in cases.items():
        results[case] = medians_ns(impls)
        base = results[case][baseline]
        for name, ns in results[case].items():
            rows.append([case, name, fmt_ns(ns), f"{ns / base:.2f}x" if name != baseline else "1.00x"])
    table(title, rows, ["case", "implementation", "median", f"time / {baseline}"])
    return results
