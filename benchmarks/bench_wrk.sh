#!/usr/bin/env bash
# Requests per second and p99 latency of the example app against a Starlette twin, both under
# one uvicorn worker on loopback, measured in the same run with wrk.
#   bash benchmarks/bench_wrk.sh   (DURATION=4s ROUNDS=3 CONNECTIONS=32 THREADS=1 by default)
# SERVER_PYTHON picks the interpreter that runs uvicorn (default .venv's). uvicorn takes its
# fastest installed HTTP parser and event loop (httptools, uvloop) for both apps; with plain
# h11 and asyncio the server's own parsing dominates and hides most of the frameworks' cost.
# Target: calvenor at least 1.5x Starlette's requests per second on both routes.
source "$(dirname "$0")/../scripts/common.sh"
setup_main_venv
build_module build/release
ensure_cmd wrk wrk

DURATION="${DURATION:-4s}"
ROUNDS="${ROUNDS:-3}"
CONNECTIONS="${CONNECTIONS:-32}"
THREADS="${THREADS:-1}"
ROUTES=(/users/42 /hello)
APPS=(calvenor starlette starlette+mw)
SERVER_PY="${SERVER_PYTHON:-$VENV_PY}"
PIDS=()

stop_servers() {
    local pid
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    PIDS=()
}
trap stop_servers EXIT

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

declare -A PORT SPID
start_server() {  # start_server NAME APP_DIR APP
    local port
    port="$(free_port)"
    PYTHONPATH="$ROOT/python" "$SERVER_PY" -m uvicorn --app-dir "$2" "$3" --host 127.0.0.1 \
        --port "$port" --workers 1 --no-access-log --log-level warning &
    PIDS+=($!)
    SPID[$1]=$!
    PORT[$1]="$port"
    wait_for_port "$port"
}

# wrk prints latencies as 850.00us, 1.23ms or 1.02s; report milliseconds.
to_ms() { awk '{ v = $1 + 0; if ($1 ~ /us$/) v /= 1000; else if ($1 ~ /[0-9]s$/ && $1 !~ /ms$/) v *= 1000; printf "%.2f", v }'; }
# CPU time (user + system, in clock ticks) a process has used so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

stack="$("$SERVER_PY" - <<'PY'
import importlib.util as u, uvicorn
http = "httptools" if u.find_spec("httptools") else "h11"
loop = "uvloop" if u.find_spec("uvloop") else "asyncio"
print(f"uvicorn {uvicorn.__version__} ({http}, {loop})")
PY
)"
say "wrk -t$THREADS -c$CONNECTIONS -d$DURATION x $ROUNDS rounds on $(nproc) cores," \
    "load $(cut -d' ' -f1-3 /proc/loadavg); $stack, one worker per app"
start_server calvenor "$ROOT/examples" app:app
start_server starlette "$ROOT/benchmarks" starlette_app:app
start_server starlette+mw "$ROOT/benchmarks" starlette_app:app_with_middleware

# The apps take turns within each round, so that load from elsewhere on the machine falls
# on all of them alike; the median round is reported. Besides throughput, the server's own
# CPU time per request is reported: it depends much less on what else the machine runs.
declare -A RPS P99 CPU
HZ="$(getconf CLK_TCK)"
for name in "${APPS[@]}"; do
    for route in "${ROUTES[@]}"; do
        wrk -t1 -c"$CONNECTIONS" -d1s "http://127.0.0.1:${PORT[$name]}$route" >/dev/null  # warm-up
    done
done
for ((round = 1; round <= ROUNDS; round++)); do
    for route in "${ROUTES[@]}"; do
        for name in "${APPS[@]}"; do
            before="$(cpu_ticks "${SPID[$name]}")"
            out="$(wrk -t"$THREADS" -c"$CONNECTIONS" -d"$DURATION" --latency "http://127.0.0.1:${PORT[$name]}$route")"
            after="$(cpu_ticks "${SPID[$name]}")"
            grep -q "Non-2xx" <<<"$out" && die "$name $route answered errors: $out"
            requests="$(awk '/requests in/ { print $1 }' <<<"$out")"
            CPU[$name$route]+=" $(awk -v t=$((after - before)) -v n="$requests" -v hz="$HZ" 'BEGIN { printf "%.1f", t / hz / n * 1e6 }')"
            RPS[$name$route]+=" $(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")"
            P99[$name$route]+=" $(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms)"
        done
    done
done
stop_servers

printf '\n%-10s %-13s %10s %8s %10s %12s %14s\n' route app "req/s" "p99 ms" "req/s x" "CPU us/req" "CPU/req x"
for route in "${ROUTES[@]}"; do
    ours="$(median <<<"${RPS[calvenor$route]}")"
    our_cpu="$(median <<<"${CPU[calvenor$route]}")"
    for name in "${APPS[@]}"; do
        rps="$(median <<<"${RPS[$name$route]}")"
        cpu="$(median <<<"${CPU[$name$route]}")"
        printf '%-10s %-13s %10s %8s %10s %12s %14s\n' "$route" "$name" "$rps" "$(median <<<"${P99[$name$route]}")" \
            "$(awk -v a="$ours" -v b="$rps" 'BEGIN { printf "%.2f", a / b }')" "$cpu" \
            "$(awk -v a="$our_cpu" -v b="$cpu" 'BEGIN { printf "%.2f", b / a }')"
    done
done
echo "(x: calvenor's advantage: its req/s over the row's, the row's CPU per request over calvenor's)"
