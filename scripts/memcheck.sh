#!/usr/bin/env bash
# Runs an integration subset (the library against the in-process simulator:
# start/stop cycles, link drops, bad input, unloading the shared library)
# under valgrind memcheck. Fails on any memory error, any definitely lost
# block, and any socket still open when a test program exits.
#
#   scripts/memcheck.sh [BUILD_DIR]
#
# BUILD_DIR defaults to $ORVANE_BUILD_ROOT/memcheck, that is build/memcheck
# (configured here: Debug, g++, no sanitizers). Run sizes are small: valgrind slows everything ~30x.
# Environment: ORVANE_JOBS (build jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${ORVANE_BUILD_ROOT:-$repo/build}/memcheck}
jobs=${ORVANE_JOBS:-2}
command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }

targets=(reliability_stress_tests lifecycle_tests reliability_storm_tests reliability_bad_input_tests unload_tests)

echo "memcheck: configuring and building in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DORVANE_BUILD_BENCH=OFF -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# Small sizes; wall-clock bounds stretched 20 times (ORVANE_TEST_TIME_SCALE,
# read by the tests' bounds), and no test whose bound is mostly a fixed
# timing of the library that valgrind's slowness does not stretch.
export ORVANE_REL_CYCLES=20 ORVANE_REL_DROPS=6 ORVANE_REL_DEFAULT_DROPS=2 ORVANE_REL_GARBAGE_BYTES=65536 \
    ORVANE_REL_UNLOADS=2 ORVANE_TEST_TIME_SCALE=20
declare -A filters=(
    [reliability_stress_tests]='LifecycleStress.ManyStartStopCycles'
    [lifecycle_tests]='RuntimeLifecycle.CloseBeforeStartTwiceAfterItAndStartAgain:RuntimeLifecycle.CloseIsPromptWhereverTheLinkIs'
    # The default-timings storm waits out the library's 3 s pause at every
    # drop; under valgrind the short-pause storm covers the same paths.
    [reliability_storm_tests]='LinkStorm.DropsWithShortReconnectPause'
    [reliability_bad_input_tests]='BadInput.*'
    [unload_tests]='Unload.*'
)

logs=$build/memcheck-logs
rm -rf "$logs"
mkdir -p "$logs"
passed=0
failed=0
for target in "${targets[@]}"; do
    exe=$(find "$build/tests" -type f -name "$target" -perm -u+x -print -quit)
    [[ -n $exe ]] || { echo "memcheck: $target not built" >&2; exit 1; }
    log=$logs/$target.valgrind.log
    echo
    echo "==================== memcheck: $target (${filters[$target]}) ===================="
    rc=0
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --track-fds=yes --num-callers=30 --log-file="$log" \
        "$exe" --gtest_filter="${filters[$target]}" || rc=$?
    errors=$(grep -Eo 'ERROR SUMMARY: [0-9]+ errors' "$log" | tail -n 1 | grep -Eo '[0-9]+' || echo "?")
    definite=$(grep -Eo 'definitely lost: [0-9,]+ bytes' "$log" | tail -n 1 | grep -Eo '[0-9,]+' || echo 0)
    # --track-fds lists what is still open at exit; a socket there is a leak.
    sockets=$(grep -cE 'Open (AF_INET|AF_INET6|AF_UNIX)? ?socket' "$log" || true)
    echo "memcheck: $target: exit $rc, $errors errors, definitely lost $definite bytes, $sockets sockets open at exit"
    if ((rc != 0)) || [[ $errors != 0 ]] || [[ $definite != 0 ]] || ((sockets != 0)); then
        failed=$((failed + 1))
        echo "memcheck: $target FAILED; valgrind's report: $log" >&2
        grep -E -A25 'Invalid|uninitialised|definitely lost in|Open .*socket|Syscall param' "$log" | head -n 120 >&2 || true
    else
        passed=$((passed + 1))
    fi
done
echo
echo "FIGURE memcheck: $passed of ${#targets[@]} programs clean (0 errors, 0 definitely lost, 0 sockets left open)"
echo "memcheck: $passed passed, $failed failed"
((failed == 0))
