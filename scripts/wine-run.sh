#!/bin/sh
# Runs one program of the Windows cross build under wine: the emulator of the
# cross build's tests (CMAKE_CROSSCOMPILING_EMULATOR).
#   scripts/wine-run.sh program.exe [arguments...]
# The environment names the wine prefix (WINEPREFIX, made by
# scripts/wine-prefix.sh) and the Qt folder (CORVANE_WIN64_QT): its DLLs are
# found through WINEPATH, its plugins through QT_PLUGIN_PATH. No display is
# used unless DISPLAY is set. The program's exit code is this script's.
# CORVANE_WINE_QTEST=1: the program is a Qt Test program. Qt's plain logger
# writes to the debugger instead of standard output when the process has no
# console window, as under wine started from a Unix shell; its log goes to a
# file, printed when the program ends.
# CORVANE_WINE_DISPLAY=1: the program shows windows. Wine draws them through
# an X server; without DISPLAY a private Xvfb is started for the run.
set -eu
[ $# -ge 1 ] || { echo "usage: wine-run.sh program.exe [arguments...]" >&2; exit 2; }
. "$(dirname "$0")/wine-lib.sh"
cv_find_wine
wine=$WINE
[ -n "$wine" ] || { echo "wine-run: wine64 is not installed" >&2; exit 1; }
: "${WINEPREFIX:?wine-run: WINEPREFIX is not set}"
[ -d "$WINEPREFIX" ] || { echo "wine-run: no wine prefix at $WINEPREFIX (scripts/wine-prefix.sh makes one)" >&2; exit 1; }
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# Without these, wine offers to download Mono and Gecko.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${CORVANE_WIN64_QT:-}" ]; then
    CORVANE_WIN64_QT=$("$(dirname "$0")/windows-toolchain.sh") || exit 1
fi
if [ -n "${CORVANE_WIN64_QT:-}" ]; then
    WINEPATH="Z:$(printf '%s' "$CORVANE_WIN64_QT/bin" | sed 's:/:\\:g')${WINEPATH:+;$WINEPATH}"
    export WINEPATH
    export QT_PLUGIN_PATH="Z:$CORVANE_WIN64_QT/plugins"
fi
if [ "${CORVANE_WINE_DISPLAY:-0}" = 1 ] && [ -z "${DISPLAY:-}" ]; then
    command -v xvfb-run >/dev/null 2>&1 || { echo "wine-run: xvfb-run is not installed" >&2; exit 1; }
    # -noreset: a server that resets when its last client leaves refuses the
    # clients that connect meanwhile (wine starts several in turn).
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset" "$0" "$@"
fi
if [ "${CORVANE_WINE_QTEST:-0}" != 1 ]; then
    exec "$wine" "$@"
fi
log=$(mktemp "${TMPDIR:-/tmp}/corvane-qtest.XXXXXX")
trap 'rm -f "$log"' EXIT
program=$1
shift
set +e
"$wine" "$program" -o "Z:$(printf '%s' "$log" | sed 's:/:\\:g'),txt" "$@"
code=$?
set -e
tr -d '\r' <"$log"
exit $code
