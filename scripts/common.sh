# Shared set-up for the project's scripts: finds CPython >= 3.12, makes .venv, builds.
# Sourced, not run. Everything it needs it installs itself; it stops loudly on failure.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

say() { printf '\n==> %s\n' "$*"; }
die() { printf '\nERROR: %s\n' "$*" >&2; exit 1; }

is_py312() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }

# Candidate interpreters: PATH first, then pyenv's installed versions, then the usual prefixes.
python_candidates() {
    local n
    for n in python3 python3.12 python3.13 python3.14 python; do
        command -v "$n" 2>/dev/null || true
    done
    local root
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    ls -d "$root"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -V || true
    ls /usr/local/bin/python3.1[2-9] /usr/bin/python3.1[2-9] 2>/dev/null || true
}

find_python() {
    local c
    while read -r c; do
        [ -n "$c" ] && is_py312 "$c" && { echo "$c"; return 0; }
    done < <(python_candidates)
    return 1
}

# Another CPython >= 3.12 of a different minor version, to show the one abi3 build loads there too.
find_other_python() {
    local mine c v
    mine="$("$1" -c 'import sys; print(sys.version_info[:2])')"
    while read -r c; do
        [ -n "$c" ] && is_py312 "$c" || continue
        v="$("$c" -c 'import sys; print(sys.version_info[:2])')"
        [ "$v" != "$mine" ] && { echo "$c"; return 0; }
    done < <(python_candidates)
    return 1
}

apt_install() {
    [ "$(id -u)" = 0 ] || die "missing Debian packages: $* (installing them needs root)"
    say "installing $*"
    if [ -z "${APT_UPDATED:-}" ]; then apt-get update -qq; APT_UPDATED=1; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null || die "apt-get install $* failed"
}

# ensure_cmd CMD PACKAGE...: install Debian packages when CMD is not on PATH.
ensure_cmd() { local cmd="$1"; shift; command -v "$cmd" >/dev/null 2>&1 || apt_install "$@"; }

ensure_venv() {
    # ensure_venv DIR PYTHON REQUIREMENTS
    local dir="$1" py="$2" req="$3" stamp
    if [ ! -x "$dir/bin/python" ]; then
        say "creating $dir with $("$py" --version)"
        "$py" -m venv "$dir" || die "cannot create a virtual environment with $py"
    fi
    stamp="$dir/.req-$(sha1sum "$req" | cut -c1-12)"
    if [ ! -f "$stamp" ]; then
        say "installing $(basename "$req") into $dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
        "$dir/bin/python" -m pip install -q -r "$req" || die "pip install -r $req failed"
        touch "$stamp"
    fi
}

setup_main_venv() {
    PY="$(find_python)" || die "no CPython >= 3.12 found (PATH, pyenv, /usr/local/bin)"
    ensure_venv .venv "$PY" requirements/dev.txt
    VENV_PY="$ROOT/.venv/bin/python"
    export PATH="$ROOT/.venv/bin:$PATH"
}

build_module() {
    # build_module [BUILD_DIR [extra cmake args...]]
    local bdir="${1:-build/release}"; shift || true
    [ -f /usr/include/zlib.h ] || apt_install zlib1g-dev
    command -v g++ >/dev/null 2>&1 || apt_install g++
    # ccache only speeds up rebuilds: its absence is not an error.
    if ! command -v ccache >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
        (apt_install ccache) || say "ccache not installed; building without it"
    fi
    say "building the extension in $bdir"
    cmake -S . -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$VENV_PY" "$@" >/dev/null || die "cmake configure failed"
    cmake --build "$bdir" -j 2 || die "build failed"
}

# test_package SO DIR: a package directory DIR/calvenor holding the Python sources and type
# stubs of python/calvenor with the module SO, for testing a build other than the tree's.
test_package() {
    local so="$1" pkg="$2" f
    rm -rf "$pkg"
    mkdir -p "$pkg/calvenor"
    for f in python/calvenor/*; do
        case "$f" in *.so) ;; *) if [ -f "$f" ]; then cp "$f" "$pkg/calvenor/"; fi ;; esac
    done
    [ -f "$pkg/calvenor/__init__.py" ] || : >"$pkg/calvenor/__init__.py"
    cp "$so" "$pkg/calvenor/_core.abi3.so"
}
