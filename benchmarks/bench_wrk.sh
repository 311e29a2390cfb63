#!/usr/bin/env bash
# Served requests per second, p99 latency and server CPU per request, measured with wrk in one
# run on uvicorn (httptools + uvloop) and on granian (ASGI interface), one worker each, for:
#   bare       benchmarks/bare_app.py, an ASGI app with no framework (the server's ceiling)
#   calvenor   examples/app.py
#   starlette  benchmarks/starlette_app.py, the same routes in Starlette
# on /users/42 and /hello.
#   bash benchmarks/bench_wrk.sh
# Settings (environment): DURATION=10s ROUNDS=3 CONNECTIONS=32 THREADS=1 SERVERS="uvicorn granian"
# APPS="bare calvenor starlette" (starlette+mw: Starlette with CORS and gzip middleware, which the
# example app configures too), SERVER_PYTHON (the interpreter that runs the servers; default
# .venv's), NO_BUILD=1 to use the extension module as it is, PIN=1 to run wrk on core 0 and the
# servers on core 1 (steadier figures; granian's I/O threads then share its worker's core).
# Targets: calvenor at least 0.9x the bare app's req/s on both servers, and at least 1.5x
# Starlette's on granian.
source "$(dirname "$0")/../scripts/common.sh"
setup_main_venv
[ -n "${NO_BUILD:-}" ] || build_module build/release
ensure_cmd wrk wrk

DURATION="${DURATION:-10s}"
ROUNDS="${ROUNDS:-3}"
CONNECTIONS="${CONNECTIONS:-32}"
THREADS="${THREADS:-1}"
read -r -a SERVERS <<<"${SERVERS:-uvicorn granian}"
read -r -a APPS <<<"${APPS:-bare calvenor starlette}"
ROUTES=(/users/42 /hello)
SERVER_PY="${SERVER_PYTHON:-$VENV_PY}"
# Sharing all cores, wrk and the server take turns unevenly and the same app's figures can
# move by 10-20% between runs; pinned, they move by a few percent.
ON_SERVER_CORE=()
ON_CLIENT_CORE=()
if [ "${PIN:-0}" = 1 ] && [ "$(nproc)" -ge 2 ]; then
    ensure_cmd taskset util-linux
    ON_SERVER_CORE=(taskset -c 1)
    ON_CLIENT_CORE=(taskset -c 0)
fi
HZ="$(getconf CLK_TCK)"
PGIDS=()

# Each server runs in a session of its own, so that its worker processes can be found (for
# their CPU time) and stopped with it.
stop_servers() {
    local pgid
    for pgid in "${PGIDS[@]}"; do kill -TERM "$pgid" 2>/dev/null || true; done
    sleep 1
    for pgid in "${PGIDS[@]}"; do kill -KILL -- "-$pgid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    PGIDS=()
}
trap stop_servers EXIT

free_port() { "$VENV_PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Until the app answers: granian listens before its worker has imported the app.
wait_until_served() {
    "$VENV_PY" - "$1" <<'PY' || die "no answer from $1"
import sys, time, urllib.request
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    try:
        urllib.request.urlopen(sys.argv[1], timeout=2).read()
        sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit(1)
PY
}

app_target() {  # app_target APP -> "DIR MODULE:ATTR"
    case "$1" in
        bare) echo "$ROOT/benchmarks bare_app:app" ;;
        calvenor) echo "$ROOT/examples app:app" ;;
        starlette) echo "$ROOT/benchmarks starlette_app:app" ;;
        starlette+mw) echo "$ROOT/benchmarks starlette_app:app_with_middleware" ;;
        *) die "unknown app $1" ;;
    esac
}

declare -A PORT PGID
start_server() {  # start_server SERVER APP
    local port dir target
    port="$(free_port)"
    read -r dir target <<<"$(app_target "$2")"
    case "$1" in
        uvicorn) PYTHONPATH="$ROOT/python" setsid "${ON_SERVER_CORE[@]}" "$SERVER_PY" -m uvicorn \
            --app-dir "$dir" "$target" --host 127.0.0.1 --port "$port" --workers 1 --loop uvloop \
            --http httptools --no-access-log --log-level warning & ;;
        granian) PYTHONPATH="$ROOT/python:$dir" setsid "${ON_SERVER_CORE[@]}" "$SERVER_PY" -m granian \
            --interface asgi --working-dir "$dir" --host 127.0.0.1 --port "$port" --workers 1 \
            --no-access-log --log-level warning "$target" & ;;
        *) die "unknown server $1" ;;
    esac
    PGIDS+=($!)
    PGID[$1/$2]=$!
    PORT[$1/$2]="$port"
    wait_until_served "http://127.0.0.1:$port/hello"
}

# wrk prints latencies as 850.00us, 1.23ms or 1.02s; report milliseconds.
to_ms() { awk '{ v = $1 + 0; if ($1 ~ /us$/) v /= 1000; else if ($1 ~ /[0-9]s$/ && $1 !~ /ms$/) v *= 1000; printf "%.2f", v }'; }
# CPU time (user + system, in clock ticks) the processes of a group have used so far; processes
# elsewhere come and go while /proc is read.
cpu_ticks() {
    { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v g="$1" \
        '{ sub(/^.*\) /, "") } $3 == g { t += $12 + $13 } END { print t + 0 }'
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

stack="$("$SERVER_PY" - <<'PY'
import platform, granian, uvicorn
print(f"CPython {platform.python_version()}, uvicorn {uvicorn.__version__}, granian {granian.__version__}")
PY
)"
say "wrk -t$THREADS -c$CONNECTIONS -d$DURATION x $ROUNDS rounds on $(nproc) cores" \
    "${ON_SERVER_CORE:+(wrk on core 0, servers on core 1)}," \
    "load $(cut -d' ' -f1-3 /proc/loadavg); $stack; one worker per server"
for server in "${SERVERS[@]}"; do
    for app in "${APPS[@]}"; do start_server "$server" "$app"; done
done

# Everything takes turns within each round, so that load from elsewhere on the machine falls
# on all alike; the median round is reported. The server's CPU time per request depends much
# less on what else the machine runs than throughput does.
declare -A RPS P99 CPU
for key in "${!PORT[@]}"; do
    for route in "${ROUTES[@]}"; do
        "${ON_CLIENT_CORE[@]}" wrk -t1 -c"$CONNECTIONS" -d2s "http://127.0.0.1:${PORT[$key]}$route" >/dev/null  # warm-up
    done
done
for ((round = 1; round <= ROUNDS; round++)); do
    for server in "${SERVERS[@]}"; do
        for route in "${ROUTES[@]}"; do
            for app in "${APPS[@]}"; do
                key="$server/$app"
                before="$(cpu_ticks "${PGID[$key]}")"
                out="$("${ON_CLIENT_CORE[@]}" wrk -t"$THREADS" -c"$CONNECTIONS" -d"$DURATION" --latency "http://127.0.0.1:${PORT[$key]}$route")"
                after="$(cpu_ticks "${PGID[$key]}")"
                grep -q "Non-2xx" <<<"$out" && die "$key $route answered errors: $out"
                # timeouts on a loaded machine are noise, not the app's fault: reported, not fatal
                grep "Socket errors" <<<"$out" | sed "s|^ *|$key $route: |" >&2 || true
                requests="$(awk '/requests in/ { print $1 }' <<<"$out")"
                CPU[$key$route]+=" $(awk -v t=$((after - before)) -v n="$requests" -v hz="$HZ" 'BEGIN { printf "%.1f", t / hz / n * 1e6 }')"
                RPS[$key$route]+=" $(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")"
                P99[$key$route]+=" $(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms)"
            done
        done
    done
done
stop_servers

printf '\n%-8s %-10s %-13s %10s %8s %11s\n' server route app "req/s" "p99 ms" "CPU us/req"
for server in "${SERVERS[@]}"; do
    for route in "${ROUTES[@]}"; do
        for app in "${APPS[@]}"; do
            key="$server/$app$route"
            printf '%-8s %-10s %-13s %10s %8s %11s\n' "$server" "$route" "$app" \
                "$(median <<<"${RPS[$key]}")" "$(median <<<"${P99[$key]}")" "$(median <<<"${CPU[$key]}")"
        done
    done
done

# Ratios of medians; the CPU ratio is the other app's CPU per request over calvenor's.
printf '\n%-8s %-10s %-22s %7s %9s %7s\n' server route "calvenor vs" "req/s" "CPU/req" target
for server in "${SERVERS[@]}"; do
    for route in "${ROUTES[@]}"; do
        ours="$(median <<<"${RPS[$server/calvenor$route]}")"
        our_cpu="$(median <<<"${CPU[$server/calvenor$route]}")"
        [ -n "$ours" ] || continue
        for app in "${APPS[@]}"; do
            [ "$app" = calvenor ] && continue
            case "$server/$app" in
                */bare) target=">=0.90" ;;
                granian/starlette) target=">=1.50" ;;
                *) target="" ;;
            esac
            printf '%-8s %-10s %-22s %7s %9s %7s\n' "$server" "$route" "$app" \
                "$(ratio "$ours" "$(median <<<"${RPS[$server/$app$route]}")")" \
                "$(ratio "$(median <<<"${CPU[$server/$app$route]}")" "$our_cpu")" "$target"
        done
    done
done
