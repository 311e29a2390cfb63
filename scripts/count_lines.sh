#!/usr/bin/env bash
# Non-blank lines of the tests, of the code they test and of the fuzz targets, and the ratio of
# tests to code. Counts the working tree (tracked and new files), or the commit given.
#   bash scripts/count_lines.sh [commit]
set -euo pipefail
cd "$(dirname "$0")/.."
REV="${1:-}"

# Files under a folder whose names end in one of the given extensions.
files() {
    local dir="$1" pattern
    shift
    pattern="\.($(IFS='|'; echo "$*"))\$"
    if [ -n "$REV" ]; then
        git ls-tree -r --name-only "$REV" -- "$dir"
    else
        git ls-files --cached --others --exclude-standard -- "$dir"
    fi | grep -E "$pattern" || true
}

count() {
    local n=0 f
    while read -r f; do
        [ -n "$f" ] || continue
        if [ -n "$REV" ]; then
            n=$((n + $(git show "$REV:$f" | grep -cv '^[[:space:]]*$' || true)))
        elif [ -f "$f" ]; then
            n=$((n + $(grep -cv '^[[:space:]]*$' "$f" || true)))
        fi
    done
    echo "$n"
}

tests_py=$(files tests py | count)
tests_cpp=$(files tests/cpp cpp h | count)
code=$(( $(files src cpp h | count) + $(files python py pyi | count) ))
fuzz=$(files fuzz cpp h | count)
tests=$((tests_py + tests_cpp))

printf '%-16s %6d  (pytest %d, C++ %d)\n' "tests/" "$tests" "$tests_py" "$tests_cpp"
printf '%-16s %6d\n' "src/ + python/" "$code" "fuzz/" "$fuzz"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "%-16s %6.1f %%\n", "tests / code", 100 * t / c }'
