#!/usr/bin/env bash
# Makes sure the wine prefix in $WINEPREFIX exists, creating it without any
# dialog (no display, no Mono/Gecko installers). Safe to run repeatedly.
#   WINEPREFIX=/path/to/prefix scripts/wine-prefix.sh
set -euo pipefail

: "${WINEPREFIX:?set WINEPREFIX to the prefix to create}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

if [[ -f "$WINEPREFIX/system.reg" ]]; then
    exit 0
fi
command -v wine >/dev/null || { echo "wine-prefix: wine is not installed" >&2; exit 1; }
mkdir -p "$(dirname "$WINEPREFIX")"
echo "wine-prefix: creating $WINEPREFIX"
start=$SECONDS
wineboot -i >/dev/null 2>&1 || true
# wineboot returns before the server has written the registry out.
wineserver -w
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "wine-prefix: wineboot did not create $WINEPREFIX" >&2
    exit 1
fi
echo "wine-prefix: ready in $((SECONDS - start)) s"
