"""CalvenorApp.gzip_compress against zlib at the same settings: MB/s of input.

Run: PYTHONPATH=python .venv/bin/python benchmarks/bench_gzip.py

The reference is zlib.compressobj(1, zlib.DEFLATED, -15) with the same 10-byte header and
CRC-32/size trailer added in Python. Inputs: twitter.json and 16 MB of mixed data (JSON,
text, repeated runs and random bytes). Target: within 5% of zlib (ratio >= 0.95).
Times are CPU time of the calling thread (median of 15 interleaved calls).
"""
import gzip
import random
import statistics
import struct
import sys
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from calvenor._core import CalvenorApp  # noqa: E402
from runner import bench_data, table  # noqa: E402

HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff"


def zlib_gzip(data: bytes) -> bytes:
    c = zlib.compressobj(1, zlib.DEFLATED, -15)
    return HEADER + c.compress(data) + c.flush() + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def mixed(size: int) -> bytes:
    rnd = random.Random(1)
    json_text = bench_data("twitter.json").read_bytes()
    prose = b" ".join(rnd.choice([b"request", b"handler", b"route", b"the", b"of", b"response", b"body"])
                      for _ in range(200_000))
    parts, total = [], 0
    while total < size:
        kind = rnd.randrange(4)
        if kind == 0:
            start = rnd.randrange(len(json_text) - 65536)
            piece = json_text[start:start + rnd.randrange(4096, 65536)]
        elif kind == 1:
            start = rnd.randrange(len(prose) - 65536)
            piece = prose[start:start + rnd.randrange(4096, 65536)]
        elif kind == 2:
            piece = bytes([rnd.randrange(256)]) * rnd.randrange(1024, 32768)
        else:
            piece = rnd.randbytes(rnd.randrange(1024, 16384))
        parts.append(piece)
        total += len(piece)
    return b"".join(parts)[:size]


def interleaved_medians_ns(fns, rounds=15):
    """Median CPU time per call of each function, sampled in turn. CPU time of this thread,
    not wall time: on a shared machine the wall time mostly measures the other processes."""
    samples = {name: [] for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            t0 = time.thread_time_ns()
            fn()
            samples[name].append(time.thread_time_ns() - t0)
    return {name: statistics.median(s) for name, s in samples.items()}


def main():
    gz = CalvenorApp().gzip_compress
    inputs = {"twitter.json": bench_data("twitter.json").read_bytes(), "16 MB mixed": mixed(16 << 20)}
    rows = []
    for name, data in inputs.items():
        ours, ref = gz(data), zlib_gzip(data)
        assert gzip.decompress(ours) == data and ours[:10] == HEADER
        times = interleaved_medians_ns({"ours": lambda: gz(data), "zlib": lambda: zlib_gzip(data)})
        t_ours, t_ref = times["ours"], times["zlib"]
        mbs = lambda ns: len(data) / (ns / 1e9) / 1e6  # noqa: E731
        rows.append([name, f"{len(data) / 1e6:.2f} MB", f"{mbs(t_ours):.1f}", f"{mbs(t_ref):.1f}",
                     f"{t_ref / t_ours:.3f}", f"{len(ours) / len(data):.3f} / {len(ref) / len(data):.3f}"])
    table("gzip_compress vs zlib level 1 + header/trailer in Python", rows,
          ["input", "size", "ours MB/s", "zlib MB/s", "speed ratio (>= 0.95)", "out/in ours / zlib"])


if __name__ == "__main__":
    main()
