#!/bin/sh
# Builds everything and runs every test. Usage: scripts/test.sh [build-dir]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/configure.sh" "$build"
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j 2 --timeout 600
