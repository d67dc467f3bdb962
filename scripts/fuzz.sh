#!/usr/bin/env bash
# Long fuzz run of every public entry point of basinkit (the harness is in
# tests/fuzz/; CI runs a short, fixed slice of it inside tests/test_fuzz.py).
#
#   scripts/fuzz.sh [--minutes M] [--chunk N] [--budget W] [--corpus-out DIR]
#   scripts/fuzz.sh --atheris [--minutes M]
#   scripts/fuzz.sh --replay DIR...
#
# Default mode: hypothesis-generated inputs in chunks of N (default 5000), each
# chunk in its own interpreter with a fresh random seed, until M minutes
# (default 10) have passed. A chunk that finds a fault stops the run; a chunk
# that dies (a crash, an abort from a sanitizer) leaves the input it was
# running in the faults directory. Every input can be replayed later with
# --replay, and inputs worth keeping can be copied into tests/fuzz/corpus/.
#
# --atheris drives the same harness with atheris (pip install atheris) for M
# minutes, starting from tests/fuzz/corpus/; new inputs go to
# FAULTS_DIR/atheris-corpus/ and faulting ones to FAULTS_DIR.
#
# --budget raises the work a single input may cost (default 2000000 steps;
# CI uses 300000), allowing longer series, more sub-reaches and longer level
# pool runs.
#
# Environment:
#   PYTHON           interpreter with numpy and hypothesis (default: python, else python3.13)
#   BASINKIT_BUILD   build directory to test instead of the installed module
#   FAULTS_DIR       where faulting inputs go (default: fuzz-faults)
#   SANITIZE=1       preload ASan for a build made by scripts/sanitize.sh
#
# Exit status: 0 when no fault was found, 1 otherwise. The last line gives the
# number of inputs run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

MINUTES=10
CHUNK=5000
BUDGET=2000000
MODE=hypothesis
CORPUS_OUT=""
REPLAY=()
while [ $# -gt 0 ]; do
    case "$1" in
    --minutes) MINUTES=$2; shift 2 ;;
    --chunk) CHUNK=$2; shift 2 ;;
    --budget) BUDGET=$2; shift 2 ;;
    --corpus-out) CORPUS_OUT=$(realpath -m "$2"); shift 2 ;;
    --atheris) MODE=atheris; shift ;;
    --replay) MODE=replay; shift; while [ $# -gt 0 ]; do REPLAY+=("$(realpath "$1")"); shift; done ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed 's/^# \{0,1\}//; /^set -e/d'; exit 0 ;;
    *) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

if [ -z "${PYTHON:-}" ]; then
    if command -v python >/dev/null 2>&1 &&
        python -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then
        PYTHON=$(command -v python)
    else
        PYTHON=$(command -v python3.13)
    fi
fi
FAULTS=$(realpath -m "${FAULTS_DIR:-fuzz-faults}")
export BASINKIT_FUZZ_BUDGET=$BUDGET
if [ -n "${BASINKIT_BUILD:-}" ]; then
    export PYTHONPATH="$(realpath "$BASINKIT_BUILD")${PYTHONPATH:+:$PYTHONPATH}"
fi
# The harness reads durations as the reference models do (reference/).
export PYTHONPATH="${PYTHONPATH:+$PYTHONPATH:}$ROOT"
if [ "${SANITIZE:-}" = 1 ]; then
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export PYTHONMALLOC=malloc
fi
cd "$ROOT/tests"

# Documented internal faults print a line each; keep every other line of stderr.
quiet_faults() { grep -v '^basinkit: internal fault' >&2 || true; }

case "$MODE" in
replay)
    exec "$PYTHON" -m fuzz.run replay "${REPLAY[@]}" 2> >(quiet_faults)
    ;;
atheris)
    # New inputs go to the first corpus directory: a scratch one, so the
    # checked-in corpus only changes by hand.
    mkdir -p "$FAULTS/atheris-corpus"
    exec "$PYTHON" -m fuzz.run atheris -max_total_time=$((MINUTES * 60)) \
        -artifact_prefix="$FAULTS/" -rss_limit_mb=8192 "$FAULTS/atheris-corpus" fuzz/corpus \
        2> >(quiet_faults)
    ;;
esac

deadline=$(($(date +%s) + MINUTES * 60))
total=0
chunks=0
crash=$(mktemp)
trap 'rm -f "$crash"' EXIT
while [ "$(date +%s)" -lt "$deadline" ]; do
    seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
    set +e
    out=$("$PYTHON" -m fuzz.run hypothesis --examples "$CHUNK" --seed "$seed" \
        --crash-file "$crash" --faults-dir "$FAULTS" \
        ${CORPUS_OUT:+--corpus-out "$CORPUS_OUT" --per-outcome 1} 2> >(quiet_faults))
    status=$?
    set -e
    chunks=$((chunks + 1))
    n=$(sed -n 's/^inputs run: \([0-9]*\).*/\1/p' <<<"$out")
    total=$((total + ${n:-0}))
    if [ $status -eq 1 ]; then
        echo "$out"
        echo "fuzz.sh: fault found with seed $seed after $total inputs" >&2
        exit 1
    elif [ $status -ne 0 ]; then
        mkdir -p "$FAULTS"
        kept="$FAULTS/crash-$seed"
        cp "$crash" "$kept"
        echo "fuzz.sh: interpreter died (status $status) with seed $seed; input in $kept" >&2
        exit 1
    fi
    echo "chunk $chunks (seed $seed): ${n:-0} inputs, $total in all"
done
echo "fuzz.sh: no fault; inputs run: $total in $chunks chunks"
