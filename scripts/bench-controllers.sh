#!/usr/bin/env bash
# Many controllers in one process against simulators in another:
#   scripts/bench-controllers.sh [COUNT] [BUILD_DIR]
# Builds the benchmark and the simulator (Release) unless BUILD_DIR is given,
# starts `orvane-sim --count COUNT-1` on 127.0.0.1 from port 47100 on, runs
# bench/controllers_bench against them and stops the simulators.
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
"$build/sim/orvane-sim" --bind 127.0.0.1 --port "$port" --count "$((count - 1))" >"$log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 100); do
    (($(grep -c listening "$log" || true) >= count - 1)) && break
    kill -0 "$sim" 2>/dev/null || { cat "$log"; exit 1; }
    sleep 0.1
done
"$build/bench/controllers_bench" "$port" "$count"
