#!/usr/bin/env bash
# Builds basinkit and the C++ checks of its cores with AddressSanitizer and
# UndefinedBehaviorSanitizer into their own build directory, then runs the
# checks, the whole test suite, the fuzz corpus and a short fuzz run against
# that build, with the ASan runtime preloaded into the
# interpreter. Any sanitizer report ends the run with a non-zero status.
#
#   scripts/sanitize.sh [pytest args...]
#
# Environment:
#   PYTHON         interpreter (>= 3.13, with the test extras installed);
#                  default: `python` if it is 3.13+, else python3.13
#   BUILD_DIR      build directory (default: build/sanitize in the checkout)
#   FUZZ_EXAMPLES  fuzz inputs generated after the corpus (default 3000)
#
# The interpreter's own allocations at exit are not ours, so leak detection is
# off; reference leaks are covered by tests/test_leaks.py. PYTHONMALLOC=malloc
# routes every Python object through ASan, so a use after free of an object
# the module released too early is caught too; a free-threaded interpreter
# refuses that allocator (its objects live in mimalloc heaps), so there only
# the module's own C++ allocations are watched. ASan ends the process when an
# `operator new` fails instead of throwing std::bad_alloc, so the tests that
# rely on a failing allocation skip themselves here (BASINKIT_SANITIZED=1).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${PYTHON:-}" ]; then
    if command -v python >/dev/null 2>&1 &&
        python -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then
        PYTHON=$(command -v python)
    else
        PYTHON=$(command -v python3.13)
    fi
fi
BUILD=${BUILD_DIR:-$ROOT/build/sanitize}
EXAMPLES=${FUZZ_EXAMPLES:-3000}

MALLOC=(PYTHONMALLOC=malloc)
if "$PYTHON" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
    MALLOC=()
    echo "sanitize: free-threaded interpreter: Python objects stay in its own allocator"
fi

start=$(date +%s)
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBASINKIT_SANITIZE=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$BUILD" -j2

# libstdc++ is preloaded beside the ASan runtime so that the runtime's
# __cxa_throw interceptor finds the real one (exceptions thrown by any
# extension module, ours or a test dependency, go through it).
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# The root is on the path for the reference models (reference/) the fuzz harness uses.
run() {
    env LD_PRELOAD="$PRELOAD" \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "${MALLOC[@]}" BASINKIT_SANITIZED=1 PYTHONPATH="$BUILD:$ROOT${PYTHONPATH:+:$PYTHONPATH}" "$@"
}

# The suite must load the sanitized build, not an installed copy.
where=$(run "$PYTHON" -c 'import basinkit; print(basinkit.__file__)' 2>"$BUILD/import.log") || {
    cat "$BUILD/import.log" >&2
    echo "sanitize: the sanitized basinkit does not load (its error is above)" >&2
    exit 1
}
case $where in
"$BUILD"/*) ;;
*) echo "sanitize: basinkit loads from $where, not from the sanitized build in $BUILD" >&2; exit 1 ;;
esac

echo "== C++ checks"
ASAN_OPTIONS="abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir "$BUILD" --output-on-failure

echo "== test suite"
(cd "$ROOT" && run "$PYTHON" -m pytest -q -p no:cacheprovider "$@")
# Documented internal faults print one line each; everything else on stderr
# (sanitizer reports above all) is kept.
quiet_faults() { grep -v '^basinkit: internal fault' >&2 || true; }
echo "== fuzz corpus"
(cd "$ROOT/tests" && run "$PYTHON" -m fuzz.run replay fuzz/corpus 2> >(quiet_faults))
echo "== fuzz run ($EXAMPLES inputs)"
(cd "$ROOT/tests" && run "$PYTHON" -m fuzz.run hypothesis --examples "$EXAMPLES" --seed 20240 \
    --faults-dir "$BUILD/fuzz-faults" 2> >(quiet_faults))
echo "sanitize: clean in $(($(date +%s) - start))s"
