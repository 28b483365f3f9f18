#!/bin/sh
# Installs what is missing and configures <build-dir> the one way both README
# commands share (the preset release of CMakePresets.json), so that running the
# tests and the main job in either order builds nothing twice.
# usage: scripts/configure.sh <build-dir>
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: scripts/configure.sh <build-dir>}
"$root/scripts/install-deps.sh"
mkdir -p "$build"
cmake -S "$root" --preset release -B "$build" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
