#!/usr/bin/env bash
# Tests the Python package against the simulator: builds the shared library
# and orvane-sim (or reuses a build tree), installs ./python offline into a
# virtual environment, and runs its pytest suite.
#
#   scripts/test-python.sh [BUILD_DIR]
#
# BUILD_DIR: a native build tree to reuse (the two targets are brought up to
# date in it); default build/python, configured here when new.
# Environment: PYTHON (interpreter to use; default /usr/bin/python3, else
# python3), ORVANE_JOBS (build jobs, default 2).
#
# The tests start their simulators on free loopback ports (127.0.0.1, port
# 0: the simulator picks one) and connect Controllers to them, so nothing
# here needs root. Only the ProcessController test needs the library's
# default controller address, 127.0.0.254 port 81: as another user it is
# skipped with that reason. Nothing is fetched from a package index: the
# package is built with the setuptools and wheel already installed
# (pip install --no-index --no-build-isolation), into a fresh virtual
# environment; pytest comes from the system (Debian: python3-venv
# python3-setuptools python3-wheel python3-pytest, installed here when
# missing and running as root).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build/python}
jobs=${ORVANE_JOBS:-2}
mkdir -p "$build"
build=$(cd "$build" && pwd)

echo "==================== python: build ===================="
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
          -DORVANE_BUILD_TOOLS=OFF -DORVANE_BUILD_BENCH=OFF -DBUILD_TESTING=OFF
fi
cmake --build "$build" -j "$jobs" --target orvane orvane-sim
library=$build/src/liborvane.so
simulator=$build/sim/orvane-sim
for file in "$library" "$simulator"; do
    [[ -e $file ]] || { echo "test-python: $file was not built (is $build a native build?)" >&2; exit 1; }
done

echo "==================== python: interpreter ===================="
needs="import venv, ensurepip, setuptools, wheel, pytest"
pick_python() {
    local candidate
    for candidate in ${PYTHON:-} /usr/bin/python3 python3; do
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "$needs" 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}
if ! python=$(pick_python); then
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        echo "installing python3-venv python3-setuptools python3-wheel python3-pytest"
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -q python3-venv python3-setuptools python3-wheel python3-pytest ||
            { apt-get update -q && apt-get install -y -q python3-venv python3-setuptools python3-wheel python3-pytest; }
    fi
    python=$(pick_python) || {
        echo "test-python: no Python 3 with venv, setuptools, wheel and pytest (set PYTHON)" >&2
        exit 1
    }
fi
"$python" --version

echo "==================== python: install ===================="
# The package is built from a copy, so the source tree gets no build files.
source_copy=$build/python-src
rm -rf "$source_copy"
cp -r "$repo/python" "$source_copy"
rm -rf "$source_copy/build" "$source_copy"/*.egg-info
venv=$build/python-venv
# System site packages: pytest, setuptools and wheel without an index.
"$python" -m venv --clear --system-site-packages "$venv"
"$venv/bin/python" -m pip install --no-index --no-build-isolation --no-deps --quiet "$source_copy"
# Installed as a package, with its type-hint marker, and the library found
# through ORVANE_LIBRARY.
ORVANE_LIBRARY=$library "$venv/bin/python" - <<'EOF'
import os, orvane
here = os.path.dirname(orvane.__file__)
assert "site-packages" in here, here
assert os.path.isfile(os.path.join(here, "py.typed")), "py.typed was not installed"
print("orvane", orvane.__version__, "from", here, "with library", orvane.library_version(), "at", orvane.library_path())
EOF

echo "==================== python: test ===================="
# From the build tree, so that the installed package is the one imported.
cd "$build"
ORVANE_LIBRARY=$library ORVANE_SIM=$simulator \
    "$venv/bin/python" -m pytest "$repo/python/tests" -v -rs -p no:cacheprovider
