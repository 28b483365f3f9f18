#!/bin/sh
# Builds the Debian package from a build folder into a temporary folder,
# checks it with lintian (errors and warnings fail; skipped without lintian)
# and installs, runs, upgrades and removes it with deb-check.sh. The upgrade
# installs a second package of the same programs with a higher version (the
# CPack variable CPACK_PACKAGE_VERSION, patch level + 1).
# Usage: deb-test.sh <build-dir>
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
[ "$(id -u)" = 0 ] || { echo "needs root; skipped" >&2; exit 77; }
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb missing; skipped" >&2; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
    { tail -n 20 "$out/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$out"/corvane-agent_*.deb)
echo "package: $(basename "$deb")"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
next_version=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out/next" -D CPACK_PACKAGE_VERSION="$next_version" \
    >"$out/cpack-next.log" 2>&1 || { tail -n 20 "$out/cpack-next.log"; echo "FAIL: cpack (version $next_version)"; exit 1; }
next=$(ls "$out"/next/corvane-agent_"$next_version"_*.deb) || { echo "FAIL: no package of version $next_version"; exit 1; }
echo "upgrade package: $(basename "$next")"
if command -v lintian >/dev/null 2>&1; then
    lintian -I --pedantic "$deb" >"$out/lintian.log" 2>&1
    grep -v '^running with root' "$out/lintian.log" | sed 's/^/lintian: /'
    grep -q '^[EW]: ' "$out/lintian.log" && { echo "FAIL: lintian reports errors or warnings"; exit 1; }
else
    echo "lintian not installed; package not linted"
fi
"$here/deb-check.sh" "$deb" "$next"
