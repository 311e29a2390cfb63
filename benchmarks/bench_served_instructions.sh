#!/usr/bin/env bash
# The served comparison of bench_wrk.sh, counted in CPU instructions instead of timed: each server
# (uvicorn with httptools + uvloop, granian's ASGI interface, one worker) runs under valgrind
# while one keep-alive client sends N sequential GETs; (count at N2 - count at N1) / (N2 - N1) is
# what one request costs the whole server process. Unlike req/s this does not move with the
# machine's load, so it shows small changes to the layer; it leaves out cache misses and
# batching under concurrency, which wrk sees.
#   bash benchmarks/bench_served_instructions.sh   (N1=500 N2=2500 SERVERS="uvicorn granian")
source "$(dirname "$0")/../scripts/common.sh"
setup_main_venv
[ -n "${NO_BUILD:-}" ] || build_module build/release
ensure_cmd valgrind valgrind

N1="${N1:-500}"
N2="${N2:-2500}"
read -r -a SERVERS <<<"${SERVERS:-uvicorn granian}"
# app name, directory, target, routes
CASES=("bare benchmarks bare_app:app /users/42"
       "calvenor examples app:app /users/42 /hello"
       "starlette benchmarks starlette_app:app /users/42 /hello")

free_port() { "$VENV_PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

count() {  # count SERVER DIR TARGET ROUTE N -> instructions the server ran, start to stop
    local port log pid
    port="$(free_port)"
    log="$(mktemp)"
    local vg=(valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null
              --trace-children=yes "--log-file=$log")
    case "$1" in
        uvicorn) PYTHONHASHSEED=0 PYTHONPATH="$ROOT/python" setsid "${vg[@]}" "$VENV_PY" -m uvicorn \
            --app-dir "$2" "$3" --host 127.0.0.1 --port "$port" --loop uvloop --http httptools \
            --no-access-log --log-level warning >/dev/null 2>&1 & ;;
        granian) PYTHONHASHSEED=0 PYTHONPATH="$ROOT/python:$2" setsid "${vg[@]}" "$VENV_PY" -m granian \
            --interface asgi --working-dir "$2" --host 127.0.0.1 --port "$port" --workers 1 \
            --no-access-log --log-level warning "$3" >/dev/null 2>&1 & ;;
    esac
    pid=$!
    "$VENV_PY" - "$port" "$4" "$5" <<'PY' || { kill -KILL -- "-$pid"; die "$1 $3 $4 failed"; }
import http.client, sys, time
port, route, n = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
deadline = time.monotonic() + 240  # valgrind starts slowly
while True:
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        conn.request("GET", route)
        conn.getresponse().read()
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("no answer")
        time.sleep(0.5)
for _ in range(n):
    conn.request("GET", route)
    reply = conn.getresponse()
    reply.read()
    if reply.status != 200:
        sys.exit(f"status {reply.status}")
PY
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
    sleep 1  # the workers' valgrind logs are complete once they have exited
    kill -KILL -- "-$pid" 2>/dev/null || true
    awk '/I *refs/ { gsub(",", "", $4); s += $4 } END { print s }' "$log"
    rm -f "$log"
}

say "instructions per request over $N2 - $N1 requests; $("$VENV_PY" -c 'import platform, granian, uvicorn
print(f"CPython {platform.python_version()}, uvicorn {uvicorn.__version__}, granian {granian.__version__}")')"
declare -A PER
printf '\n%-8s %-10s %-10s %10s %11s\n' server route app "instr/req" "calvenor x"
for server in "${SERVERS[@]}"; do
    for case in "${CASES[@]}"; do
        read -r app dir target routes <<<"$case"
        for route in $routes; do
            a="$(count "$server" "$ROOT/$dir" "$target" "$route" "$N1")"
            b="$(count "$server" "$ROOT/$dir" "$target" "$route" "$N2")"
            PER[$server/$app$route]=$(( (b - a) / (N2 - N1) ))
        done
    done
    for route in /users/42 /hello; do
        for app in bare calvenor starlette; do
            n="${PER[$server/$app$route]:-${PER[$server/$app/users/42]}}"  # bare: one route
            # calvenor's req/s over the row's, if instructions set the pace: theirs over ours
            printf '%-8s %-10s %-10s %10s %11s\n' "$server" "$route" "$app" "$n" \
                "$(awk -v a="$n" -v b="${PER[$server/calvenor$route]}" 'BEGIN { printf "%.2f", a / b }')"
        done
    done
done
echo "(bare answers every path alike, measured once; calvenor's target against it: >= 0.90)"
