#!/bin/sh
# Builds the Debian package from a build folder into a temporary folder,
# checks it with lintian (errors and warnings fail; skipped without lintian)
# and installs, runs and removes it with deb-check.sh.
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
if command -v lintian >/dev/null 2>&1; then
    lintian -I --pedantic "$deb" >"$out/lintian.log" 2>&1
    grep -v '^running with root' "$out/lintian.log" | sed 's/^/lintian: /'
    grep -q '^[EW]: ' "$out/lintian.log" && { echo "FAIL: lintian reports errors or warnings"; exit 1; }
else
    echo "lintian not installed; package not linted"
fi
"$here/deb-check.sh" "$deb"
