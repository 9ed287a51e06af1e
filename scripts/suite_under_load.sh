#!/bin/bash
# Runs the test suite RUNS times (ctest -jJOBS) while a second ctest -jJOBS loop
# runs beside it on the same build, as on a busy shared CI machine, and reports
# every failed test of the measured runs. Not run by CI.
#   scripts/suite_under_load.sh [build dir] [runs] [jobs] [busy loops]
# Busy loops (default 0) add that many processes spinning on the CPU, for a
# machine that others load too.
# Exit status 0 only when every measured run passed.
set -u
BUILD=${1:-build}
RUNS=${2:-10}
JOBS=${3:-8}
HOGS=${4:-0}
[ -f "$BUILD/CTestTestfile.cmake" ] || { echo "no ctest build in $BUILD" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
export QT_QPA_PLATFORM=offscreen
LOGS=$(mktemp -d /tmp/suite_under_load.XXXXXX)

# The second loop runs in its own session. At the end it finishes the run it is in:
# tests killed midway leave serial lock files behind that later runs trip over.
setsid bash -c 'while [ ! -e "$2/stop" ]; do
        ctest --test-dir "$0" -j"$1" --timeout 300 --output-on-failure >>"$2/beside.log" 2>&1
        echo "beside run exit $?" >>"$2/beside.log"
    done' "$BUILD" "$JOBS" "$LOGS" &
BESIDE=$!
HOG_PIDS=()
for _ in $(seq 1 "$HOGS"); do
    (while :; do :; done) &
    HOG_PIDS+=($!)
done
stop_hogs() { [ ${#HOG_PIDS[@]} -gt 0 ] && kill "${HOG_PIDS[@]}" 2>/dev/null; HOG_PIDS=(); }
trap 'stop_hogs; kill -- -$BESIDE 2>/dev/null' INT TERM
sleep 5  # the second loop is under way before the first measured run

failed_runs=0
failed_tests=0
for run in $(seq 1 "$RUNS"); do
    start=$(date +%s)
    ctest --test-dir "$BUILD" -j"$JOBS" --timeout 300 --output-on-failure >"$LOGS/run$run.log" 2>&1
    status=$?
    load=$(cut -d' ' -f1 /proc/loadavg)
    n=$(grep -cE '^\s*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Not Run)' "$LOGS/run$run.log")
    echo "run $run: exit $status, $n failed test(s), $(( $(date +%s) - start )) s, load $load"
    grep -E '^\s*[0-9]+ - .*\(' "$LOGS/run$run.log" | sed 's/^/    /'
    # The GoogleTest cases that failed.
    grep -E '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_/]+ \(' "$LOGS/run$run.log" | sed 's/^/    /'
    if [ "$status" -ne 0 ]; then
        failed_runs=$((failed_runs + 1))
        failed_tests=$((failed_tests + (n > 0 ? n : 1)))
    fi
done
stop_hogs
touch "$LOGS/stop"
wait "$BESIDE"
beside_runs=$(grep -c '^beside run exit' "$LOGS/beside.log")
beside_failed=$(grep -c '^beside run exit [1-9]' "$LOGS/beside.log")
echo "measured: $RUNS run(s), $failed_runs failed, $failed_tests failed test(s)"
echo "beside: $beside_runs run(s) finished, $beside_failed with failures (not counted)"
grep -E '^\s*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$LOGS/beside.log" | sed 's/^/    beside: /'
grep -E '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_/]+ \(' "$LOGS/beside.log" | sed 's/^/    beside: /'
echo "logs: $LOGS"
[ "$failed_runs" -eq 0 ]
