#!/bin/sh
# Makes a fresh wine prefix for the Windows cross build's tests, or ends one.
#   scripts/wine-prefix.sh create PREFIX   (removes an old one first)
#   scripts/wine-prefix.sh remove PREFIX   (stops its wine server, deletes it)
# The prefix is made whole before any test meets it: a test that finds a new
# prefix's service manager still being set up sees RPC errors.
set -eu
action=${1:?usage: wine-prefix.sh create|remove PREFIX}
prefix=${2:?usage: wine-prefix.sh create|remove PREFIX}
. "$(dirname "$0")/wine-lib.sh"
cv_find_wine
wine=$WINE
wineserver=$WINESERVER
{ [ -n "$wine" ] && [ -n "$wineserver" ]; } || { echo "wine-prefix: wine64 is not installed" >&2; exit 1; }
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
case "$action" in
create)
    if [ -d "$prefix" ]; then
        "$wineserver" -k >/dev/null 2>&1 || true
        rm -rf "$prefix"
    fi
    mkdir -p "$(dirname "$prefix")"
    started=$(date +%s)
    timeout 300 "$wine" wineboot --init >/dev/null 2>&1
    timeout 120 "$wineserver" -w
    echo "wine-prefix: $prefix ready in $(($(date +%s) - started)) s"
    ;;
remove)
    if [ -d "$prefix" ]; then
        "$wineserver" -k >/dev/null 2>&1 || true
        rm -rf "$prefix"
    fi
    ;;
*)
    echo "usage: wine-prefix.sh create|remove PREFIX" >&2
    exit 2
    ;;
esac
