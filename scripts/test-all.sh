#!/usr/bin/env bash
# Configures, builds and tests every supported build, stopping at the first
# failure:
#   dev      native Debug build (g++), all tests
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (clang)
#   tsan     ThreadSanitizer (g++)
#   mingw    Windows x86-64 cross build, tests under wine
#   mingw32  Windows x86 (32-bit) cross build, tests under 32-bit wine
#   package  install the dev build into a temporary prefix and build a
#            separate project against it (CMake package and pkg-config)
#   examples build examples/ against the installed dev build and run them
#            against the simulator
#   python   install the Python package offline and run its tests
#   fuzz     build the libFuzzer targets (clang) and fuzz each for a while
#            from its stored corpus
#   memcheck an integration subset under valgrind memcheck (errors, leaks,
#            leaked sockets)
# Build trees are build/<preset>. Give stage names to run only those, e.g.
#   scripts/test-all.sh dev mingw
# Environment: ORVANE_JOBS (build jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
jobs=${ORVANE_JOBS:-2}
all_stages=(dev asan tsan mingw mingw32 package examples python fuzz memcheck)
if (($#)); then stages=("$@"); else stages=("${all_stages[@]}"); fi
for stage in "${stages[@]}"; do
    [[ " ${all_stages[*]} " == *" $stage "* ]] || { echo "test-all: unknown stage '$stage' (have: ${all_stages[*]})" >&2; exit 2; }
done

passed=0
failed=0
current=""
started=$SECONDS
declare -a report=()

# Wine prefixes whose wine servers this script started (and only those)
# are stopped when a stage ends and on exit.
declare -a wine_prefixes=()
stop_wine() {
    local prefix
    for prefix in "${wine_prefixes[@]}"; do
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    done
    wine_prefixes=()
}

# Prepares a wine prefix and makes it the current one: use_wine 64 or 32.
# The 64-bit one is $WINEPREFIX when given, else build/wineprefix; the
# 32-bit one (WINEARCH=win32) is build/wineprefix32.
wine64_prefix=${WINEPREFIX:-}
use_wine() {
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [[ $1 == 32 ]]; then
        export WINEARCH=win32 WINEPREFIX=$repo/build/wineprefix32
        wine_prefixes+=("$WINEPREFIX")
    else
        unset WINEARCH
        # A prefix of its own unless one is given, so that its wine server
        # is ours to stop.
        if [[ -z $wine64_prefix || $wine64_prefix == "$repo/build/wineprefix" ]]; then
            export WINEPREFIX=$repo/build/wineprefix
            wine_prefixes+=("$WINEPREFIX")
        else
            export WINEPREFIX=$wine64_prefix
        fi
    fi
    "$repo/scripts/wine-prefix.sh"
    echo "WINEPREFIX=$WINEPREFIX${WINEARCH:+ WINEARCH=$WINEARCH}"
}

section() {
    printf '\n==================== %s ====================\n' "$*"
}

on_exit() {
    local rc=$?
    stop_wine
    if ((rc != 0)); then
        printf '\n'
        for line in "${report[@]}"; do printf '%s\n' "$line"; done
        printf 'test-all: FAILED in stage "%s" (exit %d) after %d s\n' "$current" "$rc" "$((SECONDS - started))"
        ((failed > 0)) || failed=1
        printf 'test-all: %d passed, %d failed\n' "$passed" "$failed"
    fi
}
trap on_exit EXIT

# Runs ctest with the given arguments, streaming its output, and adds its
# counts to the totals. Fails when a test fails or no test ran.
run_ctest() {
    local log
    log=$(mktemp)
    local rc=0
    ctest "$@" 2>&1 | tee "$log" || rc=$?
    local line n_failed n_total
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
    rm -f "$log"
    if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        n_failed=${BASH_REMATCH[1]}
        n_total=${BASH_REMATCH[2]}
        passed=$((passed + n_total - n_failed))
        failed=$((failed + n_failed))
        report+=("  $current: $((n_total - n_failed)) of $n_total tests passed")
    fi
    if ((rc != 0)); then
        return "$rc"
    fi
    if [[ -z $line ]]; then
        echo "test-all: ctest ran no test in stage $current" >&2
        return 1
    fi
}

preset_stage() {
    local preset=$1
    local t0=$SECONDS
    current=$preset
    section "$preset: configure"
    cmake --preset "$preset"
    section "$preset: build"
    cmake --build --preset "$preset" -j "$jobs"
    section "$preset: test"
    run_ctest --preset "$preset"
    report[${#report[@]}-1]+=" ($((SECONDS - t0)) s)"
}

mingw_stage() {
    current=mingw
    section "mingw: wine prefix"
    use_wine 64
    preset_stage mingw
    stop_wine
}

mingw32_stage() {
    current=mingw32
    section "mingw32: wine prefix (32-bit)"
    use_wine 32
    preset_stage mingw32
    stop_wine
}

package_stage() {
    current=package
    local t0=$SECONDS
    local build=$repo/build/dev
    local work=$repo/build/package
    [[ -f $build/CMakeCache.txt ]] || { echo "test-all: package stage needs the dev build (run stage dev first)" >&2; return 1; }
    rm -rf "$work"
    mkdir -p "$work"
    local prefix=$work/prefix

    section "package: install dev build into $prefix"
    cmake --install "$build" --prefix "$prefix"

    section "package: CMake consumer (find_package(orvane))"
    cmake -S "$repo/tests/package" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix"
    cmake --build "$work/cmake" -j "$jobs"
    run_ctest --test-dir "$work/cmake" --output-on-failure

    section "package: pkg-config consumer"
    local pc_dir
    pc_dir=$(dirname "$(find "$prefix" -name orvane.pc -print -quit)")
    PKG_CONFIG_PATH=$pc_dir "$repo/tests/package/pkg-config-consumer.sh" "$work"
    passed=$((passed + 1))
    report+=("  package: installed library used through CMake and pkg-config ($((SECONDS - t0)) s)")
}

# Runs a script stage and adds the "N passed, N failed" counts of its last
# summary line (pytest's "N passed" too) to the totals.
script_stage() {
    current=$1
    shift
    local t0=$SECONDS log rc=0
    section "$current"
    log=$(mktemp)
    "$@" 2>&1 | tee "$log" || rc=$?
    local line n_passed=0 n_failed=0
    line=$(grep -E '[0-9]+ passed' "$log" | tail -n 1 || true)
    rm -f "$log"
    [[ $line =~ ([0-9]+)\ passed ]] && n_passed=${BASH_REMATCH[1]}
    [[ $line =~ ([0-9]+)\ failed ]] && n_failed=${BASH_REMATCH[1]}
    passed=$((passed + n_passed))
    failed=$((failed + n_failed))
    report+=("  $current: $n_passed passed, $n_failed failed ($((SECONDS - t0)) s)")
    if ((rc != 0)); then
        return "$rc"
    fi
    if [[ -z $line ]]; then
        echo "test-all: stage $current reported no passed tests" >&2
        return 1
    fi
}

fuzz_stage() {
    current=fuzz
    local t0=$SECONDS build=$repo/build/fuzz
    local seconds=${ORVANE_FUZZ_SECONDS:-60}
    section "fuzz: build (clang, libFuzzer, ASan+UBSan)"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVANE_BUILD_FUZZ=ON \
        -DBUILD_TESTING=OFF -DORVANE_BUILD_SIM=OFF -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_BENCH=OFF
    cmake --build "$build" -j "$jobs" --target fuzz_parser fuzz_cmd
    local target
    for target in parser cmd; do
        section "fuzz: $target for $seconds s"
        local scratch
        scratch=$(mktemp -d)
        local dict=()
        [[ -f $repo/fuzz/$target.dict ]] && dict=(-dict="$repo/fuzz/$target.dict")
        # New inputs go to the scratch directory; the seeds stay as they are.
        "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
            "$scratch" "$repo/fuzz/corpus/$target" 2>&1 | tail -n 25
        rm -rf "$scratch"
        passed=$((passed + 1))
    done
    report+=("  fuzz: parser and cmd targets ran $seconds s each without a finding ($((SECONDS - t0)) s)")
}

for stage in "${stages[@]}"; do
    case $stage in
        mingw) mingw_stage ;;
        mingw32) mingw32_stage ;;
        package) package_stage ;;
        examples) ORVANE_BUILD_DIR=$repo/build/dev script_stage examples "$repo/scripts/run-examples.sh" ;;
        python) script_stage python "$repo/scripts/test-python.sh" "$repo/build/dev" ;;
        fuzz) fuzz_stage ;;
        memcheck) script_stage memcheck "$repo/scripts/memcheck.sh" "$repo/build/memcheck" ;;
        *) preset_stage "$stage" ;;
    esac
done

trap - EXIT
section "summary"
for line in "${report[@]}"; do printf '%s\n' "$line"; done
printf 'test-all: all stages passed in %d s\n' "$((SECONDS - started))"
printf 'test-all: %d passed, %d failed\n' "$passed" "$failed"
