#!/bin/sh
# Builds everything and runs every test. Usage: scripts/test.sh [build-dir]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j 2 --timeout 600
