#!/bin/sh
# The main job: builds what it runs (the agent, the development service,
# corvanectl, and the tray program with --gui) in the same build folder and
# build type as scripts/test.sh, and runs the agent beside the service inside
# a private network namespace with a private state directory, so the host's own
# DNS is never touched. Ctrl-C stops everything.
# usage: scripts/run.sh [build-dir] [--build-only] [main-job options, see
#        scripts/harness/main-job.sh: --signed-out, --gui, --no-agent]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
case "${1:-}" in
"" | --*) ;;
*) build=$1; shift ;;
esac
targets="agentcorvane corvane-devservice corvane_devservice_certs corvanectl"
build_only=""
for option in "$@"; do
    case "$option" in
    --gui) targets="$targets agentcorvanegui" ;;
    --build-only) build_only=1 ;;
    esac
done
"$root/scripts/configure.sh" "$build"
# shellcheck disable=SC2086 # one word per target
cmake --build "$build" -j "$(nproc)" --target $targets
[ -z "$build_only" ] || exit 0
exec "$root/scripts/harness/main-job.sh" "$build" "$@"
