#!/bin/sh
# Builds the agent, the development service and the tests with a sanitizer and
# runs the tests that exercise our own code in-process (everything but the
# end-to-end, soak, fuzz and Windows checks, which run the Release build).
#   scripts/sanitizers.sh tsan [build-dir]   ThreadSanitizer
#   scripts/sanitizers.sh asan [build-dir]   AddressSanitizer + UndefinedBehaviorSanitizer
# The tray program is left out: its threads are Qt's own, and its tests run in
# the Release build.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?usage: scripts/sanitizers.sh tsan|asan [build-dir]}
case "$kind" in
tsan | asan) ;;
*) echo "unknown sanitizer $kind (tsan or asan)" >&2; exit 2 ;;
esac
build=${2:-$root/build-$kind}
"$root/scripts/install-deps.sh"
# The presets tsan and asan of CMakePresets.json: Debug at -O1 (the
# sanitizers' own advice: fast enough, exact stacks), without the tray program.
cmake -S "$root" --preset "$kind" -B "$build" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
cd "$build"
# Instrumented code runs several times slower: the few checks that bound how
# long a stop may take allow for it.
export CORVANE_TEST_TIME_FACTOR=5
# The package check needs the tray program (not built here) and tests what
# ships, the Release build.
ctest --output-on-failure -j 2 --timeout 600 -LE 'e2e|soak|fuzz|windows|packaging'
