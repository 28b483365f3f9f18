#!/bin/sh
# The main job: builds the agent and runs it beside the bundled development
# filtering service, inside a private network namespace with a private state
# directory, so the host's own DNS is never touched. Ctrl-C stops everything.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
exec "$root/scripts/harness/main-job.sh" "$build"
