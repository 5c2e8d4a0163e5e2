#!/usr/bin/env bash
# The panel's tests on their own: builds the panel and its tests in the dev
# build (configuring it first when it is missing) and runs CTest's panel
# label, the HTTP tests and the browser tests. The last line is the
# "N passed, N failed" summary.
#   tests/panel/run_stage.sh [BUILD_DIR]      (default build/dev)
# Environment: ORVANE_JOBS (build jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$repo/build/dev}
jobs=${ORVANE_JOBS:-2}
cd "$repo"

if [[ ! -f $build/CMakeCache.txt ]]; then
    [[ $build == "$repo/build/dev" ]] || { echo "run_stage: $build is not configured" >&2; exit 1; }
    cmake --preset dev
fi
if ! grep -q '^ORVANE_HTTPLIB_FOUND:INTERNAL=1' "$build/CMakeCache.txt"; then
    cmake "$build" >/dev/null  # the packages may have come since it was configured
fi
cmake --build "$build" -j "$jobs" --target orvane-panel orvane-sim panel_http_tests

log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
ctest --test-dir "$build" -L panel --output-on-failure --repeat until-pass:2 2>&1 | tee "$log" || rc=$?
line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    n_failed=${BASH_REMATCH[1]}
    n_total=${BASH_REMATCH[2]}
    n_skipped=$(grep -c '(Skipped)' "$log" || true)
    echo "panel: $((n_total - n_failed - n_skipped)) passed, $n_failed failed, $n_skipped skipped"
else
    echo "panel: no panel test ran (is libcpp-httplib-dev installed?)" >&2
    echo "panel: 0 passed, 1 failed"
    exit 1
fi
exit "$rc"
