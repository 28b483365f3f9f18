#!/usr/bin/env bash
# Checks the Windows installer that cmake/Packaging.cmake defines, on Linux:
# cross-builds stand-ins for both programs with MinGW (tests/windows/installer/,
# the agent stand-in uses the real service helpers), packages them with CPack
# NSIS, and runs the installer and the uninstaller silently under wine.
# Prints one "PASS:"/"FAIL:" line per step and a closing "N passed, N failed".
# Exit: 0 all passed, 1 something failed, 77 MinGW, wine or makensis missing
# (CORVANE_REQUIRE_WINDOWS_CHECK=1 turns that into a failure).
set -u -o pipefail

SOURCE_DIR=${CORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
START=$(date +%s)

skip_or_fail() {
    if [ "${CORVANE_REQUIRE_WINDOWS_CHECK:-0}" = 1 ]; then
        echo "FAIL: windows-installer-check: $1 (CORVANE_REQUIRE_WINDOWS_CHECK=1)"
        echo "windows-installer-check: 0 passed, 1 failed"
        exit 1
    fi
    echo "SKIP: windows-installer-check: $1"
    echo "    install with: apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-posix wine64 nsis"
    exit 77
}

CXX=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++ || true)
[ -n "$CXX" ] || skip_or_fail "MinGW-w64 is not installed"
WINE=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        WINE=$candidate
        break
    fi
done
[ -n "$WINE" ] || skip_or_fail "wine64 is not installed"
command -v makensis >/dev/null 2>&1 || skip_or_fail "makensis (package nsis) is not installed"
WINESERVER=""
for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        WINESERVER=$candidate
        break
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvane-installer-check.XXXXXX")
export WINEPREFIX=$WORK/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=""
cleanup() {
    if [ -n "$WINESERVER" ] && [ -d "$WINEPREFIX" ]; then
        "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS: $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL: $1"
    if [ -n "${2:-}" ] && [ -s "$2" ]; then
        sed -e 's/^/    /' "$2" | tail -n 30
    fi
}
finish() {
    echo "windows-installer-check: took $(($(date +%s) - START)) s"
    echo "windows-installer-check: $passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit $?
}

BUILD=$WORK/build
log=$WORK/package.log
if cmake -S "$SOURCE_DIR/tests/windows/installer" -B "$BUILD" -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_CXX_COMPILER="$CXX" >"$log" 2>&1 &&
    cmake --build "$BUILD" >>"$log" 2>&1 &&
    (cd "$BUILD" && cpack -G NSIS) >>"$log" 2>&1; then
    pass "installer/package"
else
    fail "installer/package" "$log"
    finish
fi
INSTALLER=$(ls "$BUILD"/*.exe 2>/dev/null | grep -F "Corvane Agent-" | head -n 1)

C=$WINEPREFIX/drive_c
DIR="$C/Program Files/Corvane Agent"
LOG=$C/corvane-standin.log

service_state() {
    timeout 60 "$WINE" sc query "Corvane Agent" 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# Create the prefix first and let its wine server end completely, so the
# installer does not meet a half-ready service manager.
timeout 240 "$WINE" wineboot --init >/dev/null 2>&1
[ -n "$WINESERVER" ] && timeout 240 "$WINESERVER" -w

# 1. Silent install: files in place, "install noAd", service running.
timeout 240 "$WINE" "$INSTALLER" /S >"$WORK/install.log" 2>&1
if [ -f "$DIR/agentcorvane.exe" ] && [ -f "$DIR/agentcorvanegui/agentcorvanegui.exe" ]; then
    pass "installer/layout"
else
    fail "installer/layout (agentcorvane.exe beside agentcorvanegui\\agentcorvanegui.exe)" "$WORK/install.log"
fi
if grep -qx "called: install noAd" "$LOG" 2>/dev/null; then
    pass "installer/runs_install_noAd"
else
    fail "installer/runs_install_noAd" "$LOG"
fi
state=$(service_state)
if [ "$state" = RUNNING ] && grep -qx "agent running" "$LOG"; then
    pass "installer/service_started"
else
    fail "installer/service_started (state '$state')" "$LOG"
fi

# The uninstaller runs in place (_?=) so that waiting for it means something;
# the argument must reach it unquoted, hence the batch file.
printf 'start "" /wait "C:\\Program Files\\Corvane Agent\\Uninstall.exe" /S _?=C:\\Program Files\\Corvane Agent\r\nexit /b %%errorlevel%%\r\n' >"$C/uninstall.bat"
uninstall() {
    timeout 240 "$WINE" cmd /c 'C:\uninstall.bat' >"$WORK/uninstall.log" 2>&1
}

# 2. Removal refused (checkuninst exits 1): everything stays.
touch "$C/corvane-refuse-uninstall"
: >"$LOG"
uninstall
if grep -qx "called: checkuninst" "$LOG" && ! grep -qx "called: uninstall" "$LOG" &&
    [ -f "$DIR/agentcorvane.exe" ] && [ "$(service_state)" = RUNNING ]; then
    pass "uninstaller/refused_pin_keeps_everything"
else
    fail "uninstaller/refused_pin_keeps_everything" "$LOG"
fi
rm -f "$C/corvane-refuse-uninstall"

# 3. Removal allowed: checkuninst, the agent stopped, uninstall, files gone.
: >"$LOG"
uninstall
order=$(grep -E '^(called: checkuninst|agent stopped|called: uninstall)$' "$LOG" | tr '\n' '|')
if [ "$order" = "called: checkuninst|agent stopped|called: uninstall|" ]; then
    pass "uninstaller/checkuninst_stop_uninstall_in_order"
else
    fail "uninstaller/checkuninst_stop_uninstall_in_order (got '$order')" "$LOG"
fi
if [ ! -e "$DIR/agentcorvane.exe" ] && [ ! -e "$DIR/agentcorvanegui" ] && [ -z "$(service_state)" ]; then
    pass "uninstaller/files_and_service_removed"
else
    fail "uninstaller/files_and_service_removed" "$WORK/uninstall.log"
fi

# 4. "/AD" registers without "noAd".
: >"$LOG"
timeout 240 "$WINE" "$INSTALLER" /S /AD >"$WORK/install-ad.log" 2>&1
if grep -qx "called: install" "$LOG"; then
    pass "installer/AD_switch_runs_install"
else
    fail "installer/AD_switch_runs_install" "$LOG"
fi

finish
