#!/bin/sh
# The Windows cross build: both programs, corvanectl and every test that does
# not depend on Linux, built with MinGW-w64 against the Windows Qt toolchain
# (scripts/windows-toolchain.sh), then laid out as the installer ships them
# (<cross-dir>/deploy). Configures on the first run; later runs rebuild only
# what changed.
#   scripts/windows-cross-build.sh [cross-dir]      (default: build-windows-cross)
# Prints how long each stage took. Exit 77 when MinGW-w64 or the toolchain
# tarball is missing (CORVANE_REQUIRE_WINDOWS_CHECK=1 makes that a failure).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cross=${1:-$root/build-windows-cross}
missing() {
    echo "windows-cross-build: $1" >&2
    [ "${CORVANE_REQUIRE_WINDOWS_CHECK:-0}" = 1 ] && exit 1
    exit 77
}
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 ||
    missing "MinGW-w64 is not installed (apt-get install g++-mingw-w64-x86-64-posix)"
qt=$("$root/scripts/windows-toolchain.sh") || missing "the Windows Qt toolchain cannot be unpacked"
stage_start=$(date +%s)
stage() {
    now=$(date +%s)
    echo "windows-cross-build: $1 took $((now - stage_start)) s"
    stage_start=$now
}
if [ ! -f "$cross/build.ninja" ]; then
    launcher=""
    command -v ccache >/dev/null 2>&1 && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    mkdir -p "$cross"
    cmake -S "$root" --preset windows-cross -B "$cross" -DCORVANE_WIN64_QT="$qt" $launcher >"$cross.configure.log" 2>&1 ||
        { cat "$cross.configure.log"; exit 1; }
    stage "configure"
fi
cmake --build "$cross" -j "$(nproc)"
stage "build"
rm -rf "$cross/deploy"
cmake --install "$cross" --prefix "$cross/deploy" >/dev/null
stage "deploy"
echo "windows-cross-build: programs and their runtime in $cross/deploy"
