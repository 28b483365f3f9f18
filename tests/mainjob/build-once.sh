#!/bin/sh
# After the test command has built everything, the main job's own configure
# and build step must find nothing left to do: both README commands share one
# build folder and one build type. usage: build-once.sh <source-dir> <build-dir>
set -eu
source=$1
build=$2
# Sanitizer and other hand-configured folders are not the README's; the main
# job's configure step would switch their build type.
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
    { echo "not the README's Release build; skipped"; exit 77; }
out=$(sh "$source/scripts/run.sh" "$build" --build-only 2>&1) || { echo "$out"; exit 1; }
echo "$out"
echo "$out" | grep -q 'ninja: no work to do' || { echo "FAIL: the main job rebuilt something"; exit 1; }
