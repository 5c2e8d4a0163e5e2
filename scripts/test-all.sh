#!/usr/bin/env bash
# Configures, builds and tests every supported build, stopping at the first
# failure:
#   dev      native Debug build (g++), all tests
#   panel    the commissioning panel's HTTP and browser tests, in the dev build
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (clang)
#   tsan     ThreadSanitizer (g++)
#   mingw    Windows x86-64 cross build, tests under wine
#   mingw32  Windows x86 (32-bit) cross build, tests under 32-bit wine
#   package  install the dev build into a temporary prefix and build a
#            separate project against it (CMake package and pkg-config)
#   deb      Release build, Debian package (cpack); installs it with dpkg
#            (root only), builds the package consumer and the examples
#            against it, runs them against the installed orvane-sim, and
#            removes the package again
#   winzip   Release builds for Windows x86-64 and x86, the zip (cpack);
#            unpacks it, runs orvane.exe --help and an example built against
#            it (64- and 32-bit) under wine against the zip's orvane-sim.exe
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
all_stages=(dev asan tsan mingw mingw32 package deb winzip examples python fuzz memcheck)
# Also on request: panel (the panel's HTTP and browser tests alone; dev runs them too).
extra_stages=(panel)
if (($#)); then stages=("$@"); else stages=("${all_stages[@]}"); fi
for stage in "${stages[@]}"; do
    [[ " ${all_stages[*]} ${extra_stages[*]} " == *" $stage "* ]] || { echo "test-all: unknown stage '$stage' (have: ${all_stages[*]} ${extra_stages[*]})" >&2; exit 2; }
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

# Set while the stage deb has its package installed; the exit trap removes
# it then.
deb_installed=""
remove_deb() {
    if [[ -n $deb_installed ]]; then
        dpkg -r "$deb_installed" || true
        dpkg -P "$deb_installed" || true
        deb_installed=""
    fi
}

# The tests' share of the source lines (scripts/line-share.sh); printed
# before the last line, which stays the pass/fail count.
line_share() {
    "$repo/scripts/line-share.sh" || true
}

section() {
    printf '\n==================== %s ====================\n' "$*"
}

on_exit() {
    local rc=$?
    stop_wine
    remove_deb
    if ((rc != 0)); then
        printf '\n'
        for line in "${report[@]}"; do printf '%s\n' "$line"; done
        printf 'test-all: FAILED in stage "%s" (exit %d) after %d s\n' "$current" "$rc" "$((SECONDS - started))"
        ((failed > 0)) || failed=1
        line_share
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

# Checks that a package listing (one path per line, as dpkg-deb -c or
# unzip -l print them) holds a path matching each extended regular
# expression; counts each as a passed check.
expect_listed() {
    local listing=$1 pattern
    shift
    for pattern in "$@"; do
        if ! grep -Eq -- "$pattern" "$listing"; then
            echo "test-all: the package lacks $pattern" >&2
            return 1
        fi
    done
    echo "package holds all ${#} expected entries"
    passed=$((passed + 1))
}

# Runs a program and checks that its output holds a text.
#   expect_output TEXT COMMAND...
expect_output() {
    local text=$1 out rc=0
    shift
    out=$("$@" 2>&1) || rc=$?
    printf '%s\n' "$out" | head -n 40 | sed 's/^/    /'
    if ((rc != 0)); then
        echo "test-all: '$*' failed (exit $rc)" >&2
        return 1
    fi
    if [[ $out != *"$text"* ]]; then
        echo "test-all: the output of '$*' lacks \"$text\"" >&2
        return 1
    fi
    passed=$((passed + 1))
}

deb_stage() {
    current=deb
    local t0=$SECONDS build=$repo/build/deb work=$repo/build/deb-check
    section "deb: configure and build (Release, prefix /usr)"
    cmake --preset deb
    cmake --build --preset deb -j "$jobs"

    section "deb: cpack"
    rm -f "$build"/orvane_*.deb
    (cd "$build" && cpack -G DEB)
    local deb
    deb=$(find "$build" -maxdepth 1 -name 'orvane_*.deb' -print -quit)
    [[ -n $deb ]] || { echo "test-all: cpack made no .deb in $build" >&2; return 1; }
    rm -rf "$work"
    mkdir -p "$work"
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb" | tee "$work/contents.txt"
    local lib='\./usr/lib/([a-z0-9_-]+/)?'
    expect_listed "$work/contents.txt" \
        "${lib}liborvane\.so\.0\.[0-9]+\.[0-9]+$" \
        "${lib}liborvane\.so\.0 -> liborvane\.so\.0\.[0-9]+\.[0-9]+$" \
        "${lib}liborvane\.so -> liborvane\.so\.0$" \
        '\./usr/include/orvane/orvane\.h$' '\./usr/include/orvane/orvane_c\.h$' \
        "${lib}cmake/orvane/orvaneConfig\.cmake$" "${lib}cmake/orvane/orvaneTargets\.cmake$" \
        "${lib}pkgconfig/orvane\.pc$" \
        '\./usr/bin/orvane$' '\./usr/bin/orvane-sim$' \
        '\./usr/share/doc/orvane/README\.md$' '\./usr/share/doc/orvane/docs/simulator\.md$'

    section "deb: install with dpkg"
    if [[ $(id -u) != 0 ]]; then
        echo "test-all: stage deb installs the package with dpkg -i and needs root (CI runs as root)" >&2
        return 1
    fi
    if dpkg-query -W -f='${Status}' orvane 2>/dev/null | grep -q "install ok installed"; then
        echo "test-all: a package orvane is installed already; remove it first (dpkg -r orvane)" >&2
        return 1
    fi
    deb_installed=orvane
    dpkg -i "$deb"
    if ! ldconfig -p | grep -F liborvane.so.0; then
        echo "test-all: the loader's cache does not know liborvane.so.0 after dpkg -i" >&2
        return 1
    fi
    expect_output "Subcommands:" orvane --help
    expect_output "--trace-skip" orvane-sim --help

    section "deb: CMake consumer (find_package(orvane) from /usr)"
    cmake -S "$repo/tests/package" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build "$work/cmake" -j "$jobs"
    run_ctest --test-dir "$work/cmake" --output-on-failure

    section "deb: pkg-config consumer"
    "$repo/tests/package/pkg-config-consumer.sh" "$work/pkgconfig"
    passed=$((passed + 1))

    section "deb: examples against the installed package and orvane-sim"
    cmake -S "$repo/examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror
    cmake --build "$work/examples" -j "$jobs"
    mkdir -p "$work/run"
    local log=$work/run/examples.log rc=0
    # The examples and the simulator meet on a free loopback port.
    bash "$repo/scripts/run-examples.sh" --run "$work/examples" /usr/bin/orvane-sim "$work/run" 2>&1 |
        tee "$log" || rc=$?
    local line
    line=$(grep -E 'run-examples: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1 || true)
    if [[ $line =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[2]))
    fi
    ((rc == 0)) || return "$rc"

    section "deb: remove with dpkg"
    dpkg -r orvane
    # The package's ldconfig trigger (postrm) leaves a record behind in
    # dpkg's database ("config-files"); purging drops it.
    dpkg -P orvane
    deb_installed=""
    if [[ -e /usr/bin/orvane-sim ]] || ldconfig -p | grep liborvane >/dev/null; then
        echo "test-all: dpkg -r orvane left files behind" >&2
        return 1
    fi
    passed=$((passed + 1))
    report+=("  deb: $(basename "$deb") built, installed, used and removed ($((SECONDS - t0)) s)")
}

# Builds one example against an unpacked Windows zip and runs it under wine
# against the simulator started by winzip_stage.
#   winzip_example 64|32 PACKAGE_ROOT BUILD_DIR
winzip_example() {
    local bits=$1 root=$2 dir=$3 toolchain
    if [[ $bits == 64 ]]; then toolchain=$repo/cmake/mingw-w64-x86_64.cmake; else toolchain=$repo/cmake/mingw-w64-i686.cmake; fi
    # A cross build finds packages only below its root path; orvane_DIR
    # points at the package directly.
    cmake -S "$repo/examples" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CXX_FLAGS=-Werror -Dorvane_DIR="$root/lib/cmake/orvane"
    cmake --build "$dir" -j "$jobs" --target first_connection
    # Windows finds the DLL beside the program.
    cp "$root/bin/orvane.dll" "$dir/"
    use_wine "$bits"
    expect_output "connected: controller type 2" timeout 60 wine "$dir/first_connection.exe"
}

winzip_stage() {
    current=winzip
    local t0=$SECONDS build=$repo/build/winzip work=$repo/build/winzip-check
    section "winzip: Windows x86 Release build (the zip's x86/ folder)"
    cmake --preset winzip-x86
    cmake --build --preset winzip-x86 -j "$jobs"
    section "winzip: Windows x86-64 Release build"
    cmake --preset winzip
    cmake --build --preset winzip -j "$jobs"

    section "winzip: cpack"
    rm -f "$build"/orvane-*.zip
    (cd "$build" && cpack -G ZIP)
    local zip
    zip=$(find "$build" -maxdepth 1 -name 'orvane-*-win64.zip' -print -quit)
    [[ -n $zip ]] || { echo "test-all: cpack made no zip in $build" >&2; return 1; }
    rm -rf "$work"
    mkdir -p "$work"
    unzip -l "$zip" | tee "$work/contents.txt"
    local top='orvane-[0-9.]+-win64/' x
    for x in "" x86/; do
        expect_listed "$work/contents.txt" \
            " $top${x}bin/orvane\.dll$" " $top${x}lib/liborvane\.dll\.a$" \
            " $top${x}bin/orvane\.exe$" " $top${x}bin/orvane-sim\.exe$" \
            " $top${x}include/orvane/orvane\.h$" " $top${x}include/orvane/orvane_c\.h$" \
            " $top${x}lib/cmake/orvane/orvaneConfig\.cmake$" " $top${x}lib/cmake/orvane/orvaneTargets\.cmake$"
    done
    unzip -q "$zip" -d "$work/unpacked"
    local root
    root=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d -print -quit)
    # The right machine in each folder, and the 32-bit C interface under its
    # plain names (__stdcall, exported without the @N suffix as well).
    expect_output "pei-x86-64" x86_64-w64-mingw32-objdump -f "$root/bin/orvane.dll"
    expect_output "pei-i386" i686-w64-mingw32-objdump -f "$root/x86/bin/orvane.dll"
    # (grep without -q: with pipefail, an early exit of grep would fail the
    # pipe.)
    if ! i686-w64-mingw32-objdump -p "$root/x86/bin/orvane.dll" | grep -E '\] orvane_initial$' >/dev/null; then
        echo "test-all: the 32-bit DLL does not export orvane_initial undecorated" >&2
        return 1
    fi

    section "winzip: orvane.exe --help under wine"
    use_wine 64
    expect_output "Subcommands:" wine "$root/bin/orvane.exe" --help
    use_wine 32
    expect_output "Subcommands:" wine "$root/x86/bin/orvane.exe" --help

    section "winzip: first_connection (64- and 32-bit) against the zip's orvane-sim.exe"
    use_wine 64
    wine "$root/bin/orvane-sim.exe" >"$work/sim.log" 2>&1 &
    local sim_pid=$! waited=0 rc=0
    until grep -q "listening" "$work/sim.log" 2>/dev/null; do
        if ! kill -0 "$sim_pid" 2>/dev/null || ((waited >= 600)); then
            cat "$work/sim.log" >&2
            kill "$sim_pid" 2>/dev/null || true
            echo "test-all: orvane-sim.exe did not start listening (is 127.0.0.254:81 taken?)" >&2
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    head -n 1 "$work/sim.log"
    { winzip_example 64 "$root" "$work/examples64" && winzip_example 32 "$root/x86" "$work/examples32"; } || rc=$?
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    stop_wine
    ((rc == 0)) || return "$rc"
    report+=("  winzip: $(basename "$zip") built, unpacked and run under wine ($((SECONDS - t0)) s)")
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
        deb) deb_stage ;;
        winzip) winzip_stage ;;
        examples) ORVANE_BUILD_DIR=$repo/build/dev script_stage examples "$repo/scripts/run-examples.sh" ;;
        python) script_stage python "$repo/scripts/test-python.sh" "$repo/build/dev" ;;
        panel) script_stage panel "$repo/tests/panel/run_stage.sh" "$repo/build/dev" ;;
        fuzz) fuzz_stage ;;
        memcheck) script_stage memcheck "$repo/scripts/memcheck.sh" "$repo/build/memcheck" ;;
        *) preset_stage "$stage" ;;
    esac
done

trap - EXIT
section "summary"
for line in "${report[@]}"; do printf '%s\n' "$line"; done
printf 'test-all: all stages passed in %d s\n' "$((SECONDS - started))"
line_share
printf 'test-all: %d passed, %d failed\n' "$passed" "$failed"
