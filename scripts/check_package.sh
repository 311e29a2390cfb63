#!/usr/bin/env bash
# Packaging checks: builds the abi3 wheel once, checks its tag, contents and symbols,
# checks the shipped stubs (stubtest, mypy --strict), then installs that same wheel
# into fresh venvs of CPython 3.12 and of a later CPython and runs tests/ against it.
source "$(dirname "$0")/common.sh"

setup_main_venv
ensure_venv .venv "$PY" requirements/package.txt
[ -f /usr/include/zlib.h ] || apt_install zlib1g-dev
ensure_cmd g++ g++
ensure_cmd readelf binutils

WORK="$(mktemp -d "${TMPDIR:-/tmp}/calvenor-package.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# --- the wheel ----------------------------------------------------------------------

say "building the wheel (pip wheel, isolated build)"
CMAKE_BUILD_PARALLEL_LEVEL=2 "$VENV_PY" -m pip wheel . -w "$WORK/dist" --no-deps -q \
    || die "pip wheel failed"

shopt -s nullglob
wheels=("$WORK"/dist/*.whl)
shopt -u nullglob
[ "${#wheels[@]}" -eq 1 ] || die "expected exactly one wheel, got ${#wheels[@]}: ${wheels[*]:-none}"
WHEEL="${wheels[0]}"
say "wheel: $(basename "$WHEEL")"

PLATFORM="$("$VENV_PY" -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')"
# The tag is both in the file name and in the WHEEL metadata; installers trust either.
"$VENV_PY" - "$WHEEL" "cp312-abi3-$PLATFORM" <<'EOF' || die "wheel tag or contents are wrong"
import sys, zipfile
path, want = sys.argv[1], sys.argv[2]
name = path.rsplit("/", 1)[-1]
problems = []
if not name.endswith(f"-{want}.whl"):
    problems.append(f"file name {name} does not end in -{want}.whl")
with zipfile.ZipFile(path) as z:
    names = z.namelist()
    wheel_meta = next(n for n in names if n.endswith(".dist-info/WHEEL"))
    meta = z.read(wheel_meta).decode()
tags = [l.split(":", 1)[1].strip() for l in meta.splitlines() if l.startswith("Tag:")]
if tags != [want]:
    problems.append(f"WHEEL metadata tags {tags}, expected [{want!r}]")
if "Root-Is-Purelib: false" not in meta:
    problems.append("WHEEL metadata does not say Root-Is-Purelib: false")
dupes = sorted({n for n in names if names.count(n) > 1})
if dupes:
    problems.append(f"duplicate archive members: {dupes}")
exts = [n for n in names if n.endswith(".so")]
if exts != ["calvenor/_core.abi3.so"]:
    problems.append(f"extension modules {exts}, expected only calvenor/_core.abi3.so")
for needed in ("calvenor/__init__.py", "calvenor/_core.pyi", "calvenor/py.typed"):
    if needed not in names:
        problems.append(f"{needed} is missing")
for p in problems:
    print("  -", p, file=sys.stderr)
print("  members:", ", ".join(n for n in names if not n.startswith(name.split("-")[0] + "-")))
sys.exit(1 if problems else 0)
EOF

say "abi3audit --strict"
abi3audit --strict --report "$WHEEL" || die "abi3audit: the extension uses symbols outside the stable ABI (see above)"

mkdir -p "$WORK/unpacked"
"$VENV_PY" -m zipfile -e "$WHEEL" "$WORK/unpacked"
SO="$WORK/unpacked/calvenor/_core.abi3.so"
# A stable-ABI module resolves its symbols from whatever interpreter loads it.
if readelf -d "$SO" | grep -q 'NEEDED.*libpython'; then
    die "the extension links against libpython: $(readelf -d "$SO" | grep NEEDED)"
fi

# --- stubs, checked against the wheel's own files ------------------------------------

say "stubtest on the wheel's calvenor._core"
# Only genuine runtime artefacts belong in the allowlist, one commented line each.
allow=()
[ -f scripts/stubtest-allowlist.txt ] && allow=(--allowlist "$ROOT/scripts/stubtest-allowlist.txt")
PYTHONPATH="$WORK/unpacked" MYPYPATH="$WORK/unpacked" \
    "$VENV_PY" -m mypy.stubtest "${allow[@]}" calvenor._core \
    || die "stubtest found differences between _core.pyi and the module"

say "mypy --strict on the calvenor package and examples/*.py"
shopt -s nullglob
examples=(examples/*.py)
shopt -u nullglob
MYPYPATH="$WORK/unpacked" "$VENV_PY" -m mypy --strict --cache-dir "$WORK/mypy-cache" \
    "$WORK/unpacked/calvenor" "${examples[@]}" || die "mypy --strict failed"

# --- the test suite against the installed wheel --------------------------------------

py_minor() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# A base interpreter, not a venv's (.venv/bin is first on PATH here).
is_base_py() { "$1" -c 'import sys; sys.exit(sys.prefix != sys.base_prefix)' 2>/dev/null; }

find_py312() {
    local c
    while read -r c; do
        [ -n "$c" ] && is_base_py "$c" && [ "$(py_minor "$c")" = 3.12 ] && { echo "$c"; return 0; }
    done < <(python_candidates)
    return 1
}

PY312="$(find_py312)" || die "no CPython 3.12 found: the wheel's lowest supported version must be tested"
OTHER="$(find_other_python "$PY312")" || die "no CPython > 3.12 found: the abi3 wheel must be tested on a second version"

# The suite is copied out of the tree, so that neither python/ nor the build can be imported;
# examples/ comes along because the end-to-end tests serve examples/app.py, README.md because
# its examples are run.
SUITE="$WORK/suite"
mkdir -p "$SUITE"
cp -r tests examples README.md "$SUITE/"
rm -rf "$SUITE/tests/cpp"

test_wheel_on() {
    local py="$1" venv="$WORK/venv-$(py_minor "$1")" origin
    say "fresh venv with $("$py" --version): installing the wheel and requirements/dev.txt"
    "$py" -m venv "$venv" || die "cannot create a venv with $py"
    "$venv/bin/python" -m pip install -q "$WHEEL" -r requirements/dev.txt \
        || die "installing the wheel into $venv failed"
    origin="$(cd "$SUITE/tests" && env -u PYTHONPATH "$venv/bin/python" -c \
        'import calvenor._core as c; print(c.__file__)')" || die "calvenor._core does not import on $("$py" --version)"
    echo "calvenor._core.__file__ = $origin"
    case "$origin" in
        "$venv"/lib/python*/site-packages/calvenor/_core.abi3.so) ;;
        *) die "calvenor._core was imported from $origin, not from the installed wheel" ;;
    esac
    say "pytest on $("$venv/bin/python" --version), installed wheel"
    (cd "$SUITE/tests" && env -u PYTHONPATH "$venv/bin/python" -m pytest -q -p no:cacheprovider .) \
        || die "tests failed against the installed wheel on $("$py" --version)"
}

test_wheel_on "$PY312"
test_wheel_on "$OTHER"

say "packaging checks passed: $(basename "$WHEEL")"
