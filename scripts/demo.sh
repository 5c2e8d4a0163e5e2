#!/usr/bin/env bash
# The demonstration: builds what it needs (a Release build in build/demo,
# without tests or benchmarks: the library, orvane-demo, the orvane tool and
# the standalone simulator orvane-sim) and runs orvane-demo, which starts the
# controller simulator in its own process on a free loopback port and drives
# it through the library (a controller handle). No root needed.
# It writes demo-out/xyz-move.csv and demo-out/xyz-move.svg.
# Environment: ORVANE_JOBS (build jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
jobs=${ORVANE_JOBS:-2}
build=build/demo
out=demo-out

say() { printf 'demo.sh: %s\n' "$*"; }

# ---- What the build needs -------------------------------------------------
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
[[ -f /usr/include/CLI/CLI.hpp || -f /usr/local/include/CLI/CLI.hpp ]] || missing+=(libcli11-dev)
[[ -f /usr/include/nlohmann/json.hpp || -f /usr/local/include/nlohmann/json.hpp ]] || missing+=(nlohmann-json3-dev)
# For `orvane panel` beside the demonstration (the tool builds without it).
[[ -f /usr/include/httplib.h || -f /usr/local/include/httplib.h ]] || missing+=(libcpp-httplib-dev)
command -v pkg-config >/dev/null || missing+=(pkg-config)
if ((${#missing[@]})); then
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        say "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        say "missing packages: ${missing[*]}"
        say "install them first, e.g.: sudo apt-get install ${missing[*]}"
        exit 1
    fi
fi

# ---- Build ------------------------------------------------------------------
say "building the library, the simulator, the tool and the demonstration in $build (Release; a few minutes on two cores)"
# Warnings are the test build's business: a demonstration should not stop
# on one that a newer compiler finds.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=OFF \
    -DBUILD_TESTING=OFF -DORVANE_BUILD_BENCH=OFF -DORVANE_BUILD_TOOLS=ON -DORVANE_BUILD_SIM=ON >/dev/null
log=$build/demo-build.log
if ! cmake --build "$build" -j "$jobs" --target orvane_demo orvane_tool orvane-sim >"$log" 2>&1; then
    tail -n 40 "$log"
    say "the build failed; the whole log is $log"
    exit 1
fi
demo=$build/tools/demo/orvane-demo
say "built $demo, $build/tools/orvane_cli/orvane and $build/sim/orvane-sim"

# ---- Run --------------------------------------------------------------------
# The simulator listens on a free loopback port inside the demonstration's
# own process: no root, no network namespace.
mkdir -p "$out"
rc=0
"$demo" --out "$out" || rc=$?
if ((rc != 0)); then
    say "the demonstration failed (exit $rc)"
    exit "$rc"
fi
say "the coordinated move: $out/xyz-move.svg (open it in a browser) and $out/xyz-move.csv"
if command -v rsvg-convert >/dev/null; then
    rsvg-convert "$out/xyz-move.svg" -o "$out/xyz-move.png" && say "also rendered as $out/xyz-move.png"
fi
say "to go on by hand: start the simulator, $build/sim/orvane-sim --trace - --trace-no-status (as root for port 81),"
say "  and drive it from another terminal with $build/tools/orvane_cli/orvane status (or move, xyz, out, ...)"
