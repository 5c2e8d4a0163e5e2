#!/usr/bin/env bash
# Many controllers in one process against simulators in another:
#   scripts/bench-controllers.sh [COUNT] [BUILD_DIR]
# Builds the benchmark and the simulator (Release) unless BUILD_DIR is given,
# starts `orvane-sim --count COUNT-1` on 127.0.0.1 from port 47100 on, runs
# bench/controllers_bench against them and stops the simulators. It does so
# twice: with simulators that send nothing unasked (what the library costs
# while nothing happens), and with simulators that send a status line every
# 10 ms each (what applying that stream costs).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=${1:-64}
build=${2:-}
if [[ -z $build ]]; then
    build=$repo/build/release
    cmake --preset release >/dev/null
    cmake --build "$build" -j "${ORVANE_JOBS:-2}" --target controllers_bench orvane-sim
fi
port=47100
log=$(mktemp)
sim=
stop_simulators() {
    [[ -n $sim ]] && { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true; }
    sim=
}
trap 'stop_simulators; rm -f "$log"' EXIT

for period in 0 10; do
    if ((period == 0)); then
        echo "== simulators silent unless asked (--status-period 0)"
    else
        echo "== simulators sending a status line every $period ms each"
    fi
    : >"$log"
    "$build/sim/orvane-sim" --bind 127.0.0.1 --port "$port" --count "$((count - 1))" \
        --status-period "$period" >"$log" 2>&1 &
    sim=$!
    for _ in $(seq 100); do
        (($(grep -c listening "$log" || true) >= count - 1)) && break
        kill -0 "$sim" 2>/dev/null || { cat "$log"; exit 1; }
        sleep 0.1
    done
    "$build/bench/controllers_bench" "$port" "$count"
    stop_simulators
done
