#!/usr/bin/env bash
# Runs the native dev test suite five times in a row, each time with the
# tests of every GoogleTest program in a new random order, and reports each
# run. A test that passes only after certain others (or only alone) fails
# here.
#
#   scripts/shuffle-check.sh [RUNS]
#
# CTest runs every test case in a process of its own, where a shuffle
# changes nothing; so each program runs whole here, all its cases in one
# process, as under wine: `--gtest_shuffle` with a different
# `--gtest_random_seed` each run (printed, to repeat a run). Up to four
# programs at a time; those that hold a CTest resource lock one after
# another, RUN_SERIAL ones alone. The few CTest tests that are not
# GoogleTest cases run through ctest once per run.
#
# Environment: ORVANE_SHUFFLE_SEEDS (seeds to use, space-separated; default
# random), ORVANE_JOBS (build jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
runs=${1:-5}
jobs=${ORVANE_JOBS:-2}
build=$repo/build/dev
lanes=3  # besides the lane of the resource-locked programs

echo "==================== shuffle-check: build (dev) ===================="
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"

# One line per CTest test source: KIND<TAB>LOCKED/SERIAL/FREE<TAB>DIR<TAB>COMMAND...
# KIND is gtest (a program to run whole) or ctest (a test name).
listing=$(ctest --test-dir "$build" --show-only=json-v1 | python3 -c '
import json, sys
tests = json.load(sys.stdin)["tests"]
programs = {}
others = []
for t in tests:
    command = t.get("command") or []
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    if any(part.startswith("--gtest_filter") for part in command):
        p = programs.setdefault(command[0], {"dir": props.get("WORKING_DIRECTORY", "."), "lock": False, "serial": False})
        p["lock"] = p["lock"] or bool(props.get("RESOURCE_LOCK"))
        p["serial"] = p["serial"] or bool(props.get("RUN_SERIAL"))
    else:
        others.append(t["name"])
for exe, p in sorted(programs.items()):
    kind = "SERIAL" if p["serial"] else ("LOCKED" if p["lock"] else "FREE")
    print("gtest\t%s\t%s\t%s" % (kind, p["dir"], exe))
for name in others:
    print("ctest\t-\t-\t%s" % name)
')

declare -a free=() locked=() serial=() others=()
while IFS=$'\t' read -r kind group dir what; do
    if [[ $kind == ctest ]]; then
        others+=("$what")
        continue
    fi
    case $group in
        SERIAL) serial+=("$dir|$what") ;;
        LOCKED) locked+=("$dir|$what") ;;
        *) free+=("$dir|$what") ;;
    esac
done <<<"$listing"
((${#free[@]} + ${#locked[@]} + ${#serial[@]} > 0)) || { echo "shuffle-check: no GoogleTest programs in $build" >&2; exit 1; }

logs=$build/shuffle-check
rm -rf "$logs"
mkdir -p "$logs"

# Runs one program whole, shuffled; its log goes to $logs/<run>/<name>.log.
run_program() {
    local run=$1 seed=$2 entry=$3
    local dir=${entry%%|*} exe=${entry#*|}
    local log=$logs/$run/$(basename "$exe").log
    if (cd "$dir" && "$exe" --gtest_shuffle --gtest_random_seed="$seed") >"$log" 2>&1; then
        echo "ok" >>"$log.status"
    else
        echo "failed" >>"$log.status"
    fi
}

# Runs the programs given one after another.
run_in_turn() {
    local run=$1 seed=$2
    shift 2
    local entry
    for entry in "$@"; do run_program "$run" "$seed" "$entry"; done
}

if [[ -n ${ORVANE_SHUFFLE_SEEDS:-} ]]; then
    read -r -a seeds <<<"$ORVANE_SHUFFLE_SEEDS"
else
    seeds=()
    for ((i = 0; i < runs; ++i)); do seeds+=($((RANDOM % 99999 + 1))); done
fi
((${#seeds[@]} >= runs)) || { echo "shuffle-check: $runs runs need $runs seeds" >&2; exit 2; }

declare -a results=()
runs_failed=0
for ((run = 1; run <= runs; ++run)); do
    seed=${seeds[run - 1]}
    mkdir -p "$logs/$run"
    echo
    echo "==================== shuffle-check: run $run of $runs (seed $seed) ===================="
    started=$SECONDS
    # The resource-locked programs in one lane of their own, the others
    # beside it, at most $lanes at once.
    run_in_turn "$run" "$seed" "${locked[@]}" &
    for entry in "${free[@]}"; do
        while (($(jobs -rp | wc -l) > lanes)); do wait -n || true; done
        run_program "$run" "$seed" "$entry" &
    done
    wait
    run_in_turn "$run" "$seed" "${serial[@]}"
    other_rc=0
    if ((${#others[@]})); then
        regex="^($(printf '%s|' "${others[@]}" | sed -e 's/|$//' -e 's/\./\\./g'))\$"
        ctest --test-dir "$build" -R "$regex" -j 4 --output-on-failure >"$logs/$run/ctest.log" 2>&1 || other_rc=$?
    fi

    failed_programs=()
    cases=0
    for status in "$logs/$run"/*.status; do
        log=${status%.status}
        name=$(basename "$log" .log)
        n=$(grep -Eo '^\[==========\] [0-9]+ tests? from [0-9]+ test suites? ran' "$log" | grep -Eo '^\[==========\] [0-9]+' | grep -Eo '[0-9]+' || echo 0)
        cases=$((cases + n))
        if grep -q failed "$status"; then
            failed_programs+=("$name")
            echo "shuffle-check: run $run: $name FAILED (log: $log)"
            grep -E '^\[  FAILED  \] [A-Za-z0-9_/.]+ \(' "$log" | sed 's/^/    /' || true
        fi
    done
    if ((other_rc != 0)); then
        failed_programs+=("ctest")
        echo "shuffle-check: run $run: other CTest tests FAILED (log: $logs/$run/ctest.log)"
    fi
    if ((${#failed_programs[@]} == 0)); then
        line="run $run (seed $seed): passed, $cases test cases in shuffled order, $((SECONDS - started)) s"
    else
        line="run $run (seed $seed): FAILED in ${failed_programs[*]}, $((SECONDS - started)) s"
        runs_failed=$((runs_failed + 1))
    fi
    results+=("$line")
    echo "shuffle-check: $line"
done

echo
echo "==================== shuffle-check: summary ===================="
for line in "${results[@]}"; do echo "shuffle-check: $line"; done
echo "shuffle-check: $((runs - runs_failed)) of $runs runs passed, $runs_failed failed"
((runs_failed == 0))
