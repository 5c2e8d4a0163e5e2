#!/usr/bin/env bash
# Makes sure the wine prefix in $WINEPREFIX exists and works, creating it
# without any dialog (no display, no Mono/Gecko installers). Safe to run
# repeatedly.
#   WINEPREFIX=/path/to/prefix scripts/wine-prefix.sh                 # 64-bit
#   WINEPREFIX=/path/to/prefix WINEARCH=win32 scripts/wine-prefix.sh  # 32-bit
#
# A prefix belongs to the wine installation that made it: once wine's 32-bit
# part (Debian: wine32:i386) is added or removed, a 64-bit prefix made before
# no longer starts programs ("could not load kernel32.dll"). The script
# notes in each prefix it makes what made it, and makes the prefix afresh
# when that changed. A prefix it did not make is tried out once; one that
# does not work is made afresh when it lies in this repository's build/
# folder, and reported otherwise.
set -euo pipefail

: "${WINEPREFIX:?set WINEPREFIX to the prefix to create}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command -v wine >/dev/null || { echo "wine-prefix: wine is not installed" >&2; exit 1; }
arch=${WINEARCH:-win64}
if [[ $arch == win32 && ! -x /usr/lib/wine/wine && -d /usr/lib/wine ]]; then
    echo "wine-prefix: a 32-bit prefix needs wine's 32-bit part (Debian: dpkg --add-architecture i386, then wine32:i386)" >&2
    exit 1
fi
wine32=no
[[ -x /usr/lib/wine/wine ]] && wine32=yes
maker="$(wine --version 2>/dev/null) arch=$arch wine32=$wine32"
stamp=$WINEPREFIX/.orvane-wine-prefix

remake() {
    local why=$1
    case $(realpath -m "$WINEPREFIX") in
        "$repo"/build/*) ;;
        *)
            echo "wine-prefix: $WINEPREFIX $why; it is not in $repo/build/, so it is left as it is." >&2
            echo "wine-prefix: remove it (or choose another WINEPREFIX) and run this again." >&2
            exit 1
            ;;
    esac
    echo "wine-prefix: $WINEPREFIX $why: making it afresh"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}

if [[ -f $WINEPREFIX/system.reg ]]; then
    if [[ -f $stamp ]]; then
        [[ $(cat "$stamp") == "$maker" ]] && exit 0
        remake "was made by another wine installation ($(cat "$stamp"); now $maker)"
    elif timeout 120 wine cmd.exe /c exit 0 >/dev/null 2>&1; then
        echo "$maker" >"$stamp"
        exit 0
    else
        remake "does not start programs"
    fi
fi

mkdir -p "$(dirname "$WINEPREFIX")"
echo "wine-prefix: creating $WINEPREFIX ($arch)"
start=$SECONDS
WINEARCH=$arch wineboot -i >/dev/null 2>&1 || true
# wineboot returns before the server has written the registry out.
wineserver -w
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "wine-prefix: wineboot did not create $WINEPREFIX" >&2
    exit 1
fi
echo "$maker" >"$stamp"
echo "wine-prefix: ready in $((SECONDS - start)) s"
