#!/usr/bin/env bash
# The whole test suite on one interpreter, against basinkit installed from a
# wheel that interpreter built (never the checkout):
#
#   scripts/test_interpreter.sh PYTHON [--threads]
#
# Builds and repairs the wheel (scripts/build_wheels.sh, into dist/), makes a
# fresh virtual environment, installs the wheel with the test extras and runs
# the README's test command. Test dependencies are taken only as wheels
# (--only-binary): where the newest release of one (or of something it needs)
# has no wheel for a new or free-threaded interpreter yet, pip picks the newest
# that has, instead of a source build that may fail. On a
# free-threaded interpreter the suite runs a second time with every test on
# two threads at once (pytest-run-parallel). --threads adds the quick
# thread-scaling check (python -m benchmarks threads).
#
# Environment:
#   BASINKIT_VENVS  where the environments go (default ~/.cache/basinkit/venvs),
#                   one per interpreter, replaced on every run
#   MIN_SPEEDUP     fail when two threads are less than this many times as fast
#                   as one on a free-threaded build (default: identity checked,
#                   speed-up printed only: a busy machine cannot show scaling)
#   SDIST           1 to build the sdist too and install from it once (default 0)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${1:?usage: test_interpreter.sh PYTHON [--threads]}
threads=0
[ "${2:-}" = --threads ] && threads=1

read -r tag free <<<"$("$PY" -c 'import sys, sysconfig
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
print("%d.%d%s" % (sys.version_info[:2] + ("t" if ft else "",)), int(ft))')"
venv=${BASINKIT_VENVS:-$HOME/.cache/basinkit/venvs}/$tag
echo "==== $tag: $PY"

SDIST=${SDIST:-0} "$ROOT/scripts/build_wheels.sh" "$PY"
abi=cp${tag/./}
wheel=$(ls "$ROOT"/dist/basinkit-*-"${abi%t}"-"$abi"-*manylinux*.whl)

rm -rf "$venv"
"$PY" -m venv "$venv"
vpy=$venv/bin/python
"$vpy" -m pip install -q --upgrade pip
"$vpy" -m pip install -q --only-binary=:all: "$wheel[test]"
if [ "$free" = 1 ]; then "$vpy" -m pip install -q --only-binary=:all: pytest-run-parallel; fi

# The line that says which interpreter this is and what basinkit did to it.
(cd "$venv" && "$vpy" -c '
import sys
import basinkit
assert basinkit.__file__.startswith(sys.prefix), basinkit.__file__
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print(sys.executable, "|", sys.version.replace("\n", " "), "| GIL after import basinkit:", gil)
sys.exit(1 if "t" in sys.argv[1] and gil else 0)' "$tag")

# pytest exits 5 when it ran no test: that counts as a failure here too.
# The environment's bin/ leads the PATH, as in an activated environment: the
# C++ checks and the format test find cmake, ninja and clang-format there.
export PATH="$venv/bin:$PATH"
# The C++ checks are built in the environment, with this interpreter's
# toolchain (a chroot's compiler differs from the machine's).
export BASINKIT_CHECKS_BUILD="$venv/checks"
status=0
echo "== $tag: python -m pytest -q"
(cd "$ROOT" && "$vpy" -m pytest -q -rs -p no:cacheprovider) || status=1
if [ "$free" = 1 ]; then
    echo "== $tag: python -m pytest -q --parallel-threads=2"
    (cd "$ROOT" && "$vpy" -m pytest -q -rs -p no:cacheprovider --parallel-threads=2) || status=1
fi
if [ $threads = 1 ]; then
    echo "== $tag: python -m benchmarks threads --quick"
    gate=()
    [ -n "${MIN_SPEEDUP:-}" ] && gate=(--min-speedup "$MIN_SPEEDUP")
    (cd "$ROOT" && "$vpy" -m benchmarks threads --quick "${gate[@]}") || status=1
fi
[ $status = 0 ] && echo "==== $tag: passed" || echo "==== $tag: FAILED"
exit $status
