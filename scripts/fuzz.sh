#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp target with libFuzzer, ASan and UBSan and runs each for a
# bounded time on a scratch copy of its seed corpus (fuzz/corpus/<name>/, where <name> is
# the file name without "_fuzz.cpp"). A crash fails the script after the other targets have
# run; the crashing input is printed as a hex dump and kept in fuzz/artifacts/<name>/.
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   space-separated names to run (default: all)
#   FUZZ_JOBS      compile jobs (default 2)
# Extra arguments are passed to every fuzzer run (for example -max_len=4096).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

say() { printf '\n==> %s\n' "$*"; }
die() { printf '\nERROR: %s\n' "$*" >&2; exit 1; }

SECONDS_EACH="${FUZZ_SECONDS:-60}"
BUILD="$ROOT/fuzz/build"
ARTIFACTS="$ROOT/fuzz/artifacts"

# Pure core sources each target links, besides the target itself. A target missing here
# gets every pure core source that needs no library.
declare -A SOURCES=(
    [route_tree]="src/routing/route_tree.cpp"
    [json_parser]="src/json/json_parser.cpp"
    [json_roundtrip]="src/json/json_parser.cpp src/json/json_writer.cpp src/json/float_format.cpp"
    [float_format]="src/json/float_format.cpp"
    [query_decoder]="src/request/query_decoder.cpp src/request/text_utils.cpp"
    [multipart_parser]="src/request/multipart_parser.cpp src/request/text_utils.cpp src/request/byte_search.cpp"
)
ALL_PURE="src/routing/route_tree.cpp src/json/json_parser.cpp src/json/json_writer.cpp
    src/json/float_format.cpp src/request/query_decoder.cpp src/request/text_utils.cpp
    src/request/byte_search.cpp src/request/multipart_parser.cpp src/app/cors_policy.cpp"

# clang with the libFuzzer runtime: Debian's clang and libclang-rt-<v>-dev.
find_clang() {
    local c
    for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        command -v "$c" >/dev/null 2>&1 && { echo "$c"; return 0; }
    done
    return 1
}
has_libfuzzer() {
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
        | "$1" -x c++ -fsanitize=fuzzer - -o "$BUILD/.probe" >/dev/null 2>&1
}
apt_updated=""
apt_get() {
    [ "$(id -u)" = 0 ] || die "missing Debian packages: $* (installing them needs root)"
    if [ -z "$apt_updated" ]; then apt-get update -qq; apt_updated=1; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null || die "apt-get install $* failed"
}

mkdir -p "$BUILD" "$ARTIFACTS"
CXX="$(find_clang || true)"
if [ -z "$CXX" ]; then
    say "installing clang"
    apt_get clang
    CXX="$(find_clang)" || die "clang++ not found after installing clang"
fi
if ! has_libfuzzer "$CXX"; then
    ver="$("$CXX" -dumpversion | cut -d. -f1)"
    say "installing libclang-rt-$ver-dev (the libFuzzer runtime)"
    apt_get "libclang-rt-$ver-dev" || true
    has_libfuzzer "$CXX" || die "$CXX cannot link -fsanitize=fuzzer"
fi
rm -f "$BUILD/.probe"
say "using $("$CXX" --version | head -n 1)"

CXXFLAGS=(-std=c++20 -g -O1 -fno-omit-frame-pointer
          -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
          -Isrc)

targets=()
for f in fuzz/*_fuzz.cpp; do
    name="$(basename "$f" _fuzz.cpp)"
    if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
    targets+=("$name")
done
[ "${#targets[@]}" -gt 0 ] || die "no fuzz targets selected"

# Build (in parallel, at most FUZZ_JOBS at a time); each binary is rebuilt only when a
# source is newer than it.
say "building ${#targets[@]} targets: ${targets[*]}"
build_one() {
    local name="$1" srcs bin
    srcs="${SOURCES[$name]:-$ALL_PURE}"
    bin="$BUILD/${name}_fuzz"
    if [ -x "$bin" ] && [ -z "$(find "fuzz/${name}_fuzz.cpp" src -newer "$bin" -type f 2>/dev/null | head -n 1)" ]; then
        return 0
    fi
    rm -f "$bin"
    # shellcheck disable=SC2086
    "$CXX" "${CXXFLAGS[@]}" "fuzz/${name}_fuzz.cpp" $srcs -o "$bin.tmp" >"$BUILD/$name.build.log" 2>&1 \
        && mv "$bin.tmp" "$bin"
}
running=0
for name in "${targets[@]}"; do
    build_one "$name" &
    running=$((running + 1))
    if [ "$running" -ge "${FUZZ_JOBS:-2}" ]; then wait -n || true; running=$((running - 1)); fi
done
wait
failed_builds=()
for name in "${targets[@]}"; do
    [ -x "$BUILD/${name}_fuzz" ] || failed_builds+=("$name")
done
for name in "${failed_builds[@]}"; do
    cat "$BUILD/$name.build.log" >&2
done
[ "${#failed_builds[@]}" -eq 0 ] || die "fuzz targets failed to build: ${failed_builds[*]}"

crashed=()
summary=()
for name in "${targets[@]}"; do
    bin="$BUILD/${name}_fuzz"
    work="$BUILD/work/$name"
    art="$ARTIFACTS/$name"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$art"
    # New inputs land in the scratch copy; the seeds in the repo stay as they are.
    if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/corpus/"; fi
    say "fuzzing $name for ${SECONDS_EACH}s ($(ls "$work/corpus" | wc -l) seeds)"
    log="$work/fuzz.log"
    set +e
    "$bin" "$work/corpus" -max_total_time="$SECONDS_EACH" -timeout=25 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$art/" "$@" >"$log" 2>&1
    rc=$?
    set -e
    execs="$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')"
    cov="$(grep -E '#[0-9]+.*(DONE|INITED|pulse|NEW|REDUCE).*cov: ' "$log" | tail -n 1 | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/cov: \1 ft: \2/')"
    corpus_n="$(ls "$work/corpus" | wc -l)"
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]+DONE' "$log" || true
    if [ "$rc" -ne 0 ]; then
        crashed+=("$name")
        summary+=("$(printf '%-18s CRASH (exit %s) after %s execs' "$name" "$rc" "${execs:-?}")")
        echo "---- $name: fuzzer output (last 60 lines) ----"
        tail -n 60 "$log"
        for a in "$art"/crash-* "$art"/leak-* "$art"/timeout-* "$art"/oom-*; do
            [ -f "$a" ] || continue
            echo "---- $name: crashing input $a ($(stat -c %s "$a") bytes) ----"
            od -A x -t x1z -v "$a" | head -n 64
        done
    else
        summary+=("$(printf '%-18s ok  execs=%-10s %s  corpus=%s' "$name" "${execs:-?}" "${cov:-cov: ?}" "$corpus_n")")
    fi
done

say "fuzzing summary (${SECONDS_EACH}s per target)"
printf '%s\n' "${summary[@]}"
[ "${#crashed[@]}" -eq 0 ] || die "fuzz targets crashed: ${crashed[*]} (inputs in fuzz/artifacts/)"
say "no crashes"
