#!/usr/bin/env bash
# Builds main.cpp (beside this script) against an installed orvane through
# pkg-config alone, as a project without CMake would, and runs it. The
# library's directory goes in as the program's run path, so that it runs
# without LD_LIBRARY_PATH wherever the library was installed:
#   c++ main.cpp $(pkg-config --cflags --libs orvane) \
#       -Wl,-rpath,$(pkg-config --variable=libdir orvane)
# Usage: pkg-config-consumer.sh OUTPUT_DIR   (PKG_CONFIG_PATH as needed)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:?usage: pkg-config-consumer.sh OUTPUT_DIR}
mkdir -p "$out"

flags=$(pkg-config --cflags --libs orvane)
libdir=$(pkg-config --variable=libdir orvane)
echo "pkg-config --cflags --libs orvane: $flags"
echo "pkg-config --variable=libdir orvane: $libdir"
# shellcheck disable=SC2086 # the flags are meant to split into words
c++ -std=c++20 -Wall -Wextra -Werror "$here/main.cpp" $flags -Wl,-rpath,"$libdir" -o "$out/app-pkgconfig"
# The run path must do the finding: no LD_LIBRARY_PATH.
env -u LD_LIBRARY_PATH "$out/app-pkgconfig"
