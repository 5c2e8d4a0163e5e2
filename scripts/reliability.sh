#!/usr/bin/env bash
# The reliability runs at full size, with their figures. CI runs the same
# tests shortened (CTest label "reliability"); this script is for a release
# or after a change to the link, the poll loop or the lifecycle.
#
#   scripts/reliability.sh [STAGE...]
#
# Stages (all when none is given):
#   full      every reliability test at full size: 100 drops with a short
#             reconnect pause and 20 with the default timings, 60 s of
#             8-thread stress, 10 MB of garbage (twice), 1000 start/stop
#             cycles, 20 unloads, a 120 s soak, dead-peer detection
#   tsan      the 60 s stress run built with ThreadSanitizer
#   fuzz      the Orvane_cmd fuzzer (clang-14 libFuzzer + ASan/UBSan) for
#             ORVANE_FUZZ_SECONDS (default 60), corpus fuzz/corpus/cmd
#   memcheck  scripts/memcheck.sh (valgrind)
#
# Build trees: reliability, reliability-tsan, fuzz and memcheck under
# $ORVANE_BUILD_ROOT (default build/). The figures are collected in
# reliability/figures.txt there.
# Environment: ORVANE_JOBS (build jobs, default 2), ORVANE_FUZZ_SECONDS,
# ORVANE_BUILD_ROOT.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
jobs=${ORVANE_JOBS:-2}
root=${ORVANE_BUILD_ROOT:-$repo/build}
all_stages=(full tsan fuzz memcheck)
if (($#)); then stages=("$@"); else stages=("${all_stages[@]}"); fi
for stage in "${stages[@]}"; do
    [[ " ${all_stages[*]} " == *" $stage "* ]] || { echo "reliability: unknown stage '$stage' (have: ${all_stages[*]})" >&2; exit 2; }
done

figures=$root/reliability/figures.txt
mkdir -p "$(dirname "$figures")"
: >"$figures"
passed=0
failed=0
started=$SECONDS

section() { printf '\n==================== %s ====================\n' "$*"; }

# Runs one test program, streams its output, keeps its FIGURE lines.
run_program() {
    local label=$1
    shift
    local log rc=0
    log=$(mktemp)
    "$@" 2>&1 | tee "$log" || rc=$?
    grep -E '^FIGURE ' "$log" | sed "s/^FIGURE /[$label] /" >>"$figures" || true
    rm -f "$log"
    if ((rc == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); echo "reliability: $label FAILED (exit $rc)" >&2; fi
}

full_stage() {
    local build=$root/reliability
    section "full: build ($build)"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DORVANE_BUILD_BENCH=OFF -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$build" -j "$jobs" --target reliability_storm_tests reliability_dead_peer_tests \
        reliability_stress_tests reliability_bad_input_tests unload_tests \
        reliability_soak_tests reliability_cmd_corpus_tests
    local t=$build/tests/reliability
    export ORVANE_REL_DROPS=100 ORVANE_REL_DEFAULT_DROPS=20 ORVANE_REL_STRESS_S=60 \
        ORVANE_REL_GARBAGE_BYTES=10485760 ORVANE_REL_CYCLES=1000 ORVANE_REL_SOAK_S=120 ORVANE_REL_UNLOADS=20
    section "full: link-drop storm"
    run_program storm "$t/reliability_storm_tests"
    section "full: dead peer"
    run_program dead-peer "$t/reliability_dead_peer_tests"
    section "full: stress and start/stop cycles"
    run_program stress "$t/reliability_stress_tests"
    section "full: bad input"
    run_program bad-input "$t/reliability_bad_input_tests"
    section "full: unload"
    run_program unload "$build/tests/lifecycle/unload_tests"
    section "full: soak"
    run_program soak "$t/reliability_soak_tests"
    section "full: cmd corpus"
    run_program cmd-corpus "$t/reliability_cmd_corpus_tests"
}

tsan_stage() {
    local build=$root/reliability-tsan
    section "tsan: build ($build)"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DORVANE_BUILD_BENCH=OFF -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_EXAMPLES=OFF \
        "-DCMAKE_C_FLAGS=-O1 -fsanitize=thread -fno-omit-frame-pointer" \
        "-DCMAKE_CXX_FLAGS=-O1 -fsanitize=thread -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
    cmake --build "$build" -j "$jobs" --target reliability_stress_tests reliability_storm_tests
    section "tsan: 60 s stress and the storm"
    ORVANE_REL_STRESS_S=60 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        run_program stress-tsan "$build/tests/reliability/reliability_stress_tests" --gtest_filter='Stress.*'
    ORVANE_REL_DROPS=100 ORVANE_REL_DEFAULT_DROPS=5 TSAN_OPTIONS="halt_on_error=1" \
        run_program storm-tsan "$build/tests/reliability/reliability_storm_tests"
}

fuzz_stage() {
    local build=$root/fuzz
    local seconds=${ORVANE_FUZZ_SECONDS:-60}
    command -v clang++-14 >/dev/null || { echo "reliability: fuzz needs clang-14 (apt-get install clang-14)" >&2; failed=$((failed + 1)); return; }
    section "fuzz: build ($build)"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang-14 \
        -DCMAKE_CXX_COMPILER=clang++-14 -DORVANE_BUILD_FUZZ=ON -DBUILD_TESTING=OFF -DORVANE_BUILD_SIM=OFF \
        -DORVANE_BUILD_BENCH=OFF -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$build" -j "$jobs" --target fuzz_cmd
    section "fuzz: fuzz_cmd for $seconds s"
    # New inputs go to a scratch corpus; the stored corpus in the tree stays
    # as it is (add a finding there by hand once it is fixed).
    local scratch=$build/corpus-cmd
    mkdir -p "$scratch"
    local log=$build/fuzz_cmd.log rc=0
    "$build/fuzz/fuzz_cmd" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/" \
        "$scratch" "$repo/fuzz/corpus/cmd" >"$log" 2>&1 || rc=$?
    tail -n 12 "$log"
    local runs
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)
    echo "[fuzz] fuzz_cmd: $runs executions in $seconds s, exit $rc (log $log)" >>"$figures"
    if ((rc == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); echo "reliability: fuzz_cmd found a problem; see $log and $build/crash-*" >&2; fi
}

memcheck_stage() {
    section "memcheck"
    local log rc=0
    log=$(mktemp)
    "$repo/scripts/memcheck.sh" "$root/memcheck" 2>&1 | tee "$log" || rc=$?
    grep -E '^FIGURE ' "$log" | sed 's/^FIGURE /[memcheck] /' >>"$figures" || true
    rm -f "$log"
    if ((rc == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

for stage in "${stages[@]}"; do
    "${stage}_stage"
done

section "figures"
cat "$figures"
printf 'reliability: done in %d s\n' "$((SECONDS - started))"
printf 'reliability: %d passed, %d failed\n' "$passed" "$failed"
((failed == 0))
