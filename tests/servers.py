"""Run an ASGI app under a real server (uvicorn or granian) on a free loopback port."""
from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
START_TIMEOUT = 30.0
STOP_TIMEOUT = 10.0


@dataclass
class Served:
    url: str
    port: int
    proc: subprocess.Popen
    log_path: Path

    def log_text(self) -> str:
        return self.log_path.read_text(errors="replace")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_command(app: str, server: str, port: int, app_dir: Path) -> list[str]:
    common = ["--host", "127.0.0.1", "--port", str(port), "--workers", "1"]
    if server == "uvicorn":
        return [sys.executable, "-m", "uvicorn", app, "--app-dir", str(app_dir), *common,
                "--loop", "uvloop", "--http", "httptools", "--ws", "websockets", "--no-access-log"]
    if server == "granian":
        # granian's own script, so the worker processes run the same interpreter
        return [str(Path(sys.executable).with_name("granian")), app, "--interface", "asgi",
                "--working-dir", str(app_dir), *common, "--no-access-log"]
    raise ValueError(f"unknown server {server!r}")


def _stop(proc: subprocess.Popen) -> None:
    # The leader shuts its workers down on SIGTERM (lifespan shutdown runs); whatever is
    # left of the process group after that is killed.
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    proc.wait()


@contextmanager
def serving(app: str, *, server: str = "uvicorn", app_dir: str | Path | None = None,
            extra: Sequence[str] = (), env: Mapping[str, str] | None = None) -> Iterator[Served]:
    """Serve `app` ("module:attr", looked up in app_dir, default the repo root) until exit."""
    app_dir = Path(app_dir).resolve() if app_dir is not None else ROOT
    port = free_port()
    # The caller's path first: a sanitizer run points it at its own build of the package.
    paths = [*filter(None, [os.environ.get("PYTHONPATH")]), str(ROOT / "python"), str(app_dir)]
    child_env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), PYTHONUNBUFFERED="1")
    child_env.update(env or {})
    cmd = [*server_command(app, server, port, app_dir), *extra]
    with tempfile.TemporaryDirectory(prefix="served-") as tmp:
        log_path = Path(tmp) / "server.log"
        with open(log_path, "wb") as log:
            proc = subprocess.Popen(cmd, env=child_env, cwd=app_dir, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        served = Served(f"http://127.0.0.1:{port}", port, proc, log_path)
        try:
            deadline = time.monotonic() + START_TIMEOUT
            while True:
                if proc.poll() is not None:
                    raise RuntimeError(f"{server} exited ({proc.returncode}):\n{served.log_text()}")
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise RuntimeError(f"{server} did not listen on {port} within "
                                           f"{START_TIMEOUT:.0f} s:\n{served.log_text()}") from None
                    time.sleep(0.05)
            yield served
        finally:
            _stop(proc)
