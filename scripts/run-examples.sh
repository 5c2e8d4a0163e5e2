#!/usr/bin/env bash
# Builds the examples against an INSTALLED orvane and runs them against the
# simulator:
#   1. builds the native library, simulator and tool (Debug, no tests) in
#      build/examples-host, or uses ORVANE_BUILD_DIR if given (an existing
#      native build tree with the tools, e.g. build/dev);
#   2. installs it into a temporary prefix;
#   3. configures examples/ as a project of its own with find_package(orvane)
#      against that prefix, and builds it with warnings as errors;
#   4. starts orvane-sim on a free loopback port (127.0.0.1, no root
#      needed), runs every example against it (--host 127.0.0.1 --port N)
#      with a time-out and checks what it printed, and stops the simulator.
# Ends with "run-examples: N passed, N failed" and exits non-zero on any
# failure.
# Environment: ORVANE_BUILD_DIR, ORVANE_JOBS (build jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
say() { printf 'run-examples: %s\n' "$*"; }

# ---- The run against the simulator -----------------------------------------
# Arguments: the examples' build directory, the simulator program, a scratch
# directory.
run_examples() {
    local bin=$1 sim=$2 scratch=$3
    local passed=0 failed=0
    sim_pid=""  # global: the EXIT trap may run after this function

    stop_sim() {
        if [[ -n ${sim_pid:-} ]]; then
            kill "$sim_pid" 2>/dev/null || true
            wait "$sim_pid" 2>/dev/null || true
            sim_pid=""
        fi
    }
    trap 'stop_sim; rm -rf "$scratch_root"' EXIT

    # Input 3 on, so that outputs_inputs has something to report. Port 0:
    # the simulator picks a free one and prints it.
    "$sim" --bind 127.0.0.1 --port 0 --input 3=1 >"$scratch/sim.log" 2>&1 &
    sim_pid=$!
    local waited=0
    until grep -q "listening" "$scratch/sim.log" 2>/dev/null; do
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            cat "$scratch/sim.log" >&2
            say "the simulator did not start"
            sim_pid=""
            say "0 passed, 1 failed"
            return 1
        fi
        if ((waited >= 100)); then
            say "the simulator did not report listening within 10 s"
            stop_sim
            say "0 passed, 1 failed"
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    say "$(head -n 1 "$scratch/sim.log")"
    local port
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/sim.log" | head -n 1)
    if [[ -z $port ]]; then
        say "cannot read the simulator's port from: $(head -n 1 "$scratch/sim.log")"
        stop_sim
        say "0 passed, 1 failed"
        return 1
    fi

    # Each example, with the text its output must hold.
    local -a names=(first_connection coordinated_move outputs_inputs)
    local -a expect=("connected: controller type 2" "arrived after" "input 3: on")
    local i
    for i in "${!names[@]}"; do
        local name=${names[$i]} out rc=0
        out=$scratch/$name.out
        timeout 30 "$bin/$name" --host 127.0.0.1 --port "$port" >"$out" 2>&1 || rc=$?
        sed 's/^/    /' "$out"
        if ((rc != 0)); then
            say "FAILED $name (exit $rc)"
            failed=$((failed + 1))
        elif ! grep -qF "${expect[$i]}" "$out"; then
            say "FAILED $name: its output lacks \"${expect[$i]}\""
            failed=$((failed + 1))
        else
            say "ok $name"
            passed=$((passed + 1))
        fi
    done

    stop_sim
    trap 'rm -rf "$scratch_root"' EXIT
    say "$passed passed, $failed failed"
    ((failed == 0))
}

# ---- Only run: examples built elsewhere, against a given simulator ----------
#   run-examples.sh --run EXAMPLES_BIN_DIR ORVANE_SIM SCRATCH_DIR
if [[ ${1:-} == --run ]]; then
    scratch_root=$(mktemp -d)
    trap 'rm -rf "$scratch_root"' EXIT
    mkdir -p "$4"
    run_examples "$2" "$3" "$4"
    exit $?
fi

# ---- Build, install, build the examples -------------------------------------
cd "$repo"
jobs=${ORVANE_JOBS:-2}
build=${ORVANE_BUILD_DIR:-build/examples-host}
scratch=$(mktemp -d)
scratch_root=$scratch
trap 'rm -rf "$scratch_root"' EXIT

if [[ ! -f $build/CMakeCache.txt ]]; then
    say "configuring $build (Debug, no tests)"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF \
        -DORVANE_BUILD_BENCH=OFF -DORVANE_BUILD_SIM=ON -DORVANE_BUILD_TOOLS=ON >"$scratch/configure.log" 2>&1 ||
        { cat "$scratch/configure.log"; exit 1; }
fi
say "building $build"
# What the installation holds, and the simulator.
if ! cmake --build "$build" -j "$jobs" --target orvane orvane_tool orvane-sim >"$scratch/build.log" 2>&1; then
    tail -n 40 "$scratch/build.log"
    say "the build failed"
    exit 1
fi
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; exit 1; }
say "installed into $prefix"

examples_build=$scratch/examples
if ! { cmake -S examples -B "$examples_build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_FLAGS=-Werror && cmake --build "$examples_build" -j "$jobs"; } >"$scratch/examples.log" 2>&1; then
    cat "$scratch/examples.log"
    say "the examples did not build against the installed package"
    exit 1
fi
say "built the examples against the installed package"

sim=$repo/$build/sim/orvane-sim
[[ $build == /* ]] && sim=$build/sim/orvane-sim
[[ -x $sim ]] || { say "no simulator at $sim"; exit 1; }

# The library's C++ class is header-only over the C interface, so a host
# built by another compiler than the library works: the examples again,
# built by clang++ against the same g++-built package.
if command -v clang++ >/dev/null 2>&1; then
    clang_build=$scratch/examples-clang
    if ! { cmake -S examples -B "$clang_build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_PREFIX_PATH="$prefix" \
            -DCMAKE_CXX_FLAGS=-Werror && cmake --build "$clang_build" -j "$jobs"; } >"$scratch/examples-clang.log" 2>&1; then
        cat "$scratch/examples-clang.log"
        say "the examples did not build with clang++ against the installed package"
        exit 1
    fi
    say "built the examples with clang++ against the installed package"
    run_examples "$clang_build" "$sim" "$scratch" || exit 1
fi
run_examples "$examples_build" "$sim" "$scratch"
