#!/bin/sh
# Prints the folder of the Windows Qt/OpenSSL toolchain (Qt 5.15 and OpenSSL
# cross-built for x86_64 Windows with MinGW-w64), unpacking the tarball from
# ../shared/toolchains once into a cache folder keyed by its checksum.
#   scripts/windows-toolchain.sh            -> .../corvane-win64
# CORVANE_WIN64_TARBALL names another tarball; CORVANE_CACHE_DIR another cache.
# Exit 1 (nothing printed) when the tarball cannot be found or unpacked.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tarball=${CORVANE_WIN64_TARBALL:-$root/../shared/toolchains/corvane-win64-qt5.15.tar.xz}
[ -r "$tarball" ] || { echo "windows-toolchain: no tarball at $tarball" >&2; exit 1; }
if [ -r "$tarball.sha256" ]; then
    sum=$(cut -d' ' -f1 "$tarball.sha256")
else
    sum=$(sha256sum "$tarball" | cut -d' ' -f1)
fi
cache=${CORVANE_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane}
target=$cache/win64-$sum
if [ ! -f "$target/.complete" ]; then
    # Unpack beside the final folder and rename it into place, so an
    # interrupted unpack never looks complete.
    mkdir -p "$cache"
    work=$(mktemp -d "$cache/unpack.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    echo "$sum  $tarball" | sha256sum -c --quiet - >&2 || { echo "windows-toolchain: checksum mismatch" >&2; exit 1; }
    tar -xJf "$tarball" -C "$work"
    touch "$work/.complete"
    rm -rf "$target"
    mv "$work" "$target"
    trap - EXIT
fi
echo "$target/corvane-win64"
