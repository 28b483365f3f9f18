#!/bin/sh
# Builds the Windows Installer package (packaging/windows/corvane.wxs) with
# wixl from an installed folder of the Windows cross build (the `msi` target
# of the cross build calls this; so does the MSI check, for two versions).
#   scripts/windows-msi.sh <installed-dir> <MsiActions.dll> <out.msi> [version]
# The file list is harvested from the installed folder, which the same
# install() rules lay out as the NSIS installer ships (cmake/Packaging.cmake),
# so the two packages cannot ship different files. The agent's own program is
# left out of the harvest: its component in corvane.wxs carries the service.
# version: major.minor.patch (default: the project's version).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 3 ] || { echo "usage: windows-msi.sh <installed-dir> <MsiActions.dll> <out.msi> [version]" >&2; exit 2; }
deploy=$(cd "$1" && pwd)
dll=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
out=$3
version=${4:-$(sed -n 's/^project(CorvaneAgent VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")}
for tool in wixl wixl-heat; do
    command -v "$tool" >/dev/null 2>&1 || { echo "windows-msi: $tool is missing (apt-get install wixl)" >&2; exit 77; }
done
[ -f "$deploy/agentcorvane.exe" ] || { echo "windows-msi: no agentcorvane.exe in $deploy" >&2; exit 1; }
[ -f "$dll" ] || { echo "windows-msi: no $dll" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
# What the programs write beside themselves at run time (logs, downloaded
# certificates) is not part of the package.
(cd "$deploy" && find . -type f ! -path ./agentcorvane.exe ! -path './log/*' ! -path './agentcorvanegui/log/*' \
    ! -name '*.crt' | sed 's#^\./##' | LC_ALL=C sort) >"$work/files"
case "$out" in /*) ;; *) out=$(pwd)/$out ;; esac
# wixl takes sources relative to the folder it runs in.
ln -s "$deploy" "$work/deploy"
ln -s "$dll" "$work/MsiActions.dll"
sed 's#^#deploy/#' "$work/files" |
    wixl-heat --prefix deploy/ --directory-ref INSTALLDIR --component-group Harvested --var var.DeployDir \
        --win64 >"$work/harvested.wxs"
(cd "$work" && wixl -a x64 -D ProductVersion="$version" -D DeployDir=deploy -D ActionsDll=MsiActions.dll \
    -D Win64=yes -o "$out" "$root/packaging/windows/corvane.wxs" harvested.wxs)
echo "windows-msi: $out (version $version, $(($(wc -l <"$work/files") + 1)) files)"
