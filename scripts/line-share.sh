#!/usr/bin/env bash
# Prints how many lines of C, C++ and Python source are tests and how many
# are everything else, and the tests' share. Lines are counted without blank
# ones (a line of only white space is blank); comments count.
#
#   tests: tests/ (with the loopback peer and other harnesses), fuzz/,
#          python/tests/
#   other: src/, include/, sim/, tools/, python/orvane/, bench/, examples/
#
# Files are those git knows of (tracked, or new and not ignored), so build
# trees never count; outside a git checkout every file below those folders.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

test_dirs=(tests fuzz python/tests)
other_dirs=(src include sim tools python/orvane bench examples)

list_files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- "$@"
    else
        local dir
        for dir in "$@"; do
            [[ -d $dir ]] && find "$dir" -type f
        done
    fi
}

# Non-blank lines of the C, C++ and Python sources under the given folders.
count_lines() {
    list_files "$@" | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp|hxx|inc|py)$' | sort -u |
        while IFS= read -r file; do [[ -f $file ]] && printf '%s\0' "$file"; done |
        xargs -0 -r awk 'NF { n++ } END { print n + 0 }' | awk '{ sum += $1 } END { print sum + 0 }'
}

tests=$(count_lines "${test_dirs[@]}")
other=$(count_lines "${other_dirs[@]}")
total=$((tests + other))
if ((total == 0)); then
    echo "line-share: no C, C++ or Python sources found" >&2
    exit 1
fi
share=$(awk -v t="$tests" -v n="$total" 'BEGIN { printf "%.1f", 100 * t / n }')
echo "line-share: non-blank lines of C, C++ and Python: tests $tests (${test_dirs[*]}), other $other (${other_dirs[*]})"
echo "line-share: tests are $share % of $total lines"
