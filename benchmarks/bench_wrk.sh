#!/usr/bin/env bash
# Requests per second and p99 latency of the example app against a Starlette twin, both under
# one uvicorn worker on loopback, measured in the same run with wrk.
#   bash benchmarks/bench_wrk.sh            (DURATION=8s CONNECTIONS=32 THREADS=1 by default)
# SERVER_PYTHON picks the interpreter that runs uvicorn (default .venv's). uvicorn takes its
# fastest installed HTTP parser and event loop (httptools, uvloop) for both apps; with plain
# h11 and asyncio the server's own parsing dominates and hides most of the frameworks' cost.
# Target: calvenor at least 1.5x Starlette's requests per second on both routes.
source "$(dirname "$0")/../scripts/common.sh"
setup_main_venv
build_module build/release
ensure_cmd wrk wrk

DURATION="${DURATION:-8s}"
CONNECTIONS="${CONNECTIONS:-32}"
THREADS="${THREADS:-1}"
ROUTES=(/users/42 /hello)
SERVER_PY="${SERVER_PYTHON:-$VENV_PY}"
SERVER_PID=

stop_server() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
        SERVER_PID=
    fi
}
trap stop_server EXIT

free_port() { "$VENV_PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

wait_for_port() {
    "$VENV_PY" - "$1" <<'PY' || die "server did not start on port $1"
import socket, sys, time
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
}

# wrk prints latencies as 850.00us, 1.23ms or 1.02s; report milliseconds.
to_ms() { awk '{ v = $1 + 0; if ($1 ~ /us$/) v /= 1000; else if ($1 ~ /[0-9]s$/ && $1 !~ /ms$/) v *= 1000; printf "%.2f", v }'; }

declare -A RPS P99
measure() {  # measure NAME APP_DIR APP
    local name="$1" dir="$2" target="$3" port out route
    port="$(free_port)"
    PYTHONPATH="$ROOT/python" "$SERVER_PY" -m uvicorn --app-dir "$dir" "$target" --host 127.0.0.1 \
        --port "$port" --workers 1 --no-access-log --log-level warning &
    SERVER_PID=$!
    wait_for_port "$port"
    for route in "${ROUTES[@]}"; do
        wrk -t1 -c"$CONNECTIONS" -d1s "http://127.0.0.1:$port$route" >/dev/null  # warm-up
        out="$(wrk -t"$THREADS" -c"$CONNECTIONS" -d"$DURATION" --latency "http://127.0.0.1:$port$route")"
        grep -q "Non-2xx" <<<"$out" && die "$name $route answered errors:\n$out"
        RPS[$name$route]="$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")"
        P99[$name$route]="$(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms)"
    done
    stop_server
}

stack="$("$SERVER_PY" - <<'PY'
import importlib.util as u, uvicorn
http = "httptools" if u.find_spec("httptools") else "h11"
loop = "uvloop" if u.find_spec("uvloop") else "asyncio"
print(f"uvicorn {uvicorn.__version__} ({http}, {loop})")
PY
)"
say "wrk -t$THREADS -c$CONNECTIONS -d$DURATION on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $stack, one worker"
measure calvenor "$ROOT/examples" app:app
measure starlette "$ROOT/benchmarks" starlette_app:app
measure starlette+mw "$ROOT/benchmarks" starlette_app:app_with_middleware

printf '\n%-10s %-14s %12s %10s %18s\n' route app "req/s" "p99 ms" "calvenor / this"
for route in "${ROUTES[@]}"; do
    for name in calvenor starlette starlette+mw; do
        ratio="$(awk -v a="${RPS[calvenor$route]}" -v b="${RPS[$name$route]}" 'BEGIN { printf "%.2fx", a / b }')"
        printf '%-10s %-14s %12s %10s %18s\n' "$route" "$name" "${RPS[$name$route]}" "${P99[$name$route]}" "$ratio"
    done
done
