#!/bin/sh
# Builds everything and runs every test. Usage: scripts/test.sh [build-dir]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/configure.sh" "$build"
cmake --build "$build" -j "$(nproc)"
# The Windows build of the same sources: its tests run under wine in the same
# ctest run (label windows).
if grep -q '^CORVANE_WINDOWS_TESTS:BOOL=ON' "$build/CMakeCache.txt"; then
    "$root/scripts/windows-cross-build.sh" "$build/windows-cross"
fi
cd "$build"
ctest --output-on-failure -j 2 --timeout 600
