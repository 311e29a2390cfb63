"""Long-lived responses served by uvicorn (httptools, uvloop, websockets), calvenor against
Starlette in the same run:
- static file requests per second (wrk) against Starlette's StaticFiles; target >= 1.2x;
- WebSocket echo of small text messages per second against the same echo in Starlette;
  target >= 1.0x;
- a 1 GiB file (sparse, in /tmp, removed after) downloaded with curl: throughput against
  `cat file > /dev/null` (target >= 0.5x), the server's CPU time per GiB and its peak RSS
  growth (VmHWM, reset before each download; target < 32 MB). Alongside, for scale: curl
  reading the file itself (file://), the server sending 1 MiB constant bytes from a bare
  ASGI app (its ceiling: no file, no framework), and where the server offers pathsend, the
  file sent in chunks by the framework instead.
    PYTHONPATH=python .venv/bin/python benchmarks/bench_long_lived.py [--rounds 3] [--server granian]
Each figure is the median of the rounds; the apps take turns within a round. The server's CPU
time per request is printed too: it depends less on other load on the machine."""
import argparse
import asyncio
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from servers import serving  # noqa: E402

from websockets.asyncio.client import connect  # noqa: E402

HZ = os.sysconf("SC_CLK_TCK")
APPS = {"calvenor": "long_lived_apps:app", "starlette": "long_lived_apps:starlette_app"}


def cpu_seconds(pid: int) -> float:
    """User + system time of a process and its children still running."""
    total = 0
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(entry.name) == pid or int(fields[1]) == pid:  # fields[1]: parent pid
            total += int(fields[11]) + int(fields[12])
    return total / HZ


def wrk(url: str, duration: str) -> tuple[float, int]:
    out = subprocess.run(["wrk", "-t1", "-c32", "-d" + duration, url], capture_output=True, text=True,
                         check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(out)
    requests = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)), requests  # type: ignore[union-attr]


async def echo_rate(url: str, connections: int, messages: int) -> float:
    async def one() -> None:
        async with connect(url, compression=None) as ws:
            for i in range(messages):
                await ws.send("hello %d" % i)
                await ws.recv()

    start = time.perf_counter()
    await asyncio.gather(*(one() for _ in range(connections)))
    return connections * messages / (time.perf_counter() - start)


def memory_kib(status: Path, field: str) -> int:
    return int(re.search(field + r":\s+(\d+)", status.read_text()).group(1))  # type: ignore[union-attr]


def download(command: str, pid: int, served: bool) -> tuple[float, float, float]:
    """MiB/s of one run of a shell command moving 1 GiB; for a download, the server's CPU
    seconds and its peak RSS growth in MiB during it."""
    status = Path(f"/proc/{pid}/status")
    if served:
        Path(f"/proc/{pid}/clear_refs").write_text("5")  # the peak starts again from now
        rss_before, cpu_before = memory_kib(status, "VmRSS"), cpu_seconds(pid)
    start = time.perf_counter()
    out = subprocess.run(command, shell=True, capture_output=True, text=True, check=True).stdout
    rate = 1024 / (time.perf_counter() - start)
    if not served:
        return rate, 0.0, 0.0
    assert out == str(1 << 30), out
    return rate, cpu_seconds(pid) - cpu_before, (memory_kib(status, "VmHWM") - rss_before) / 1024


def ratio_line(name: str, values: dict[str, list[float]], cpu: dict[str, list[float]], unit: str) -> None:
    a, b = (statistics.median(values[k]) for k in APPS)
    ca, cb = (statistics.median(cpu[k]) for k in APPS)
    print(f"{name:<22} calvenor {a:>9.0f} {unit}  starlette {b:>9.0f} {unit}  ratio {a / b:.2f}x   "
          f"server CPU/op {ca:.1f} vs {cb:.1f} us ({cb / ca:.2f}x)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--duration", default="4s")
    parser.add_argument("--server", default="uvicorn")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="bench-long-lived-", dir="/tmp"))
    try:
        (work / "static" / "css").mkdir(parents=True)
        (work / "static" / "css" / "site.css").write_bytes(b"body { color: #333; }\n" * 100)  # 2.2 KB
        big = work / "big.bin"
        with open(big, "wb") as f:
            f.truncate(1 << 30)
        subprocess.run(f"cat {big} > /dev/null", shell=True, check=True)  # warm both alike
        env = {"BENCH_STATIC": str(work / "static"), "BENCH_FILE": str(big)}
        load = open("/proc/loadavg").read().split()[:3]
        print(f"{os.cpu_count()} cores, load {' '.join(load)}, server {args.server}, one worker each")
        with serving(APPS["calvenor"], server=args.server, app_dir=ROOT / "benchmarks", env=env) as cal, \
                serving(APPS["starlette"], server=args.server, app_dir=ROOT / "benchmarks", env=env) as sta:
            served = {"calvenor": cal, "starlette": sta}
            rps: dict[str, list[float]] = {k: [] for k in APPS}
            rps_cpu: dict[str, list[float]] = {k: [] for k in APPS}
            ws: dict[str, list[float]] = {k: [] for k in APPS}
            ws_cpu: dict[str, list[float]] = {k: [] for k in APPS}
            for s in served.values():  # warm-up
                wrk(s.url + "/static/css/site.css", "1s")
                asyncio.run(echo_rate(s.url.replace("http", "ws") + "/echo", 4, 200))
            for _ in range(args.rounds):
                for name, s in served.items():
                    before = cpu_seconds(s.proc.pid)
                    rate, n = wrk(s.url + "/static/css/site.css", args.duration)
                    rps[name].append(rate)
                    rps_cpu[name].append((cpu_seconds(s.proc.pid) - before) / n * 1e6)
                for name, s in served.items():
                    connections, messages = 8, 2000
                    before = cpu_seconds(s.proc.pid)
                    ws[name].append(asyncio.run(echo_rate(s.url.replace("http", "ws") + "/echo",
                                                          connections, messages)))
                    ws_cpu[name].append((cpu_seconds(s.proc.pid) - before) / (connections * messages) * 1e6)
            ratio_line("static file (2.2 KB)", rps, rps_cpu, "req/s")
            ratio_line("WebSocket echo", ws, ws_cpu, "msg/s")

            import httpx
            pid = int(httpx.get(cal.url + "/pid").text)
            downloads = {"cat": f"cat {big} > /dev/null", "curl file://": f"curl -s -o /dev/null file://{big}"}
            for route in ("/big", "/big-chunked", "/ceiling"):
                downloads["served " + route] = f"curl -s -o /dev/null -w %{{size_download}} {cal.url}{route}"
            rates: dict[str, list[float]] = {k: [] for k in downloads}
            server_cpu: dict[str, list[float]] = {k: [] for k in downloads}
            rss_growth: dict[str, float] = {}
            for _ in range(args.rounds):
                for name, command in downloads.items():
                    rate, cpu, growth = download(command, pid, served=name.startswith("served"))
                    rates[name].append(rate)
                    server_cpu[name].append(cpu)
                    rss_growth[name] = max(growth, rss_growth.get(name, 0.0))
        cat = statistics.median(rates["cat"])
        for name in downloads:
            rate = statistics.median(rates[name])
            line = f"1 GiB {name:<18} {rate:>6.0f} MiB/s ({rate / cat:.2f}x of cat)"
            if name.startswith("served"):
                line += (f"  server CPU {statistics.median(server_cpu[name]):.2f} s/GiB, "
                         f"peak RSS growth {rss_growth[name]:.1f} MiB")
            print(line)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
