#!/usr/bin/env bash
# Checks the Windows installer that cmake/Packaging.cmake defines, on Linux,
# around the real programs of the Windows cross build
# (scripts/windows-cross-build.sh): packages the cross build with CPack NSIS,
# installs it silently under wine (files in the shipped layout, the service
# registered with its quoted path and automatic start, started, answering on
# the control channel), then removes it silently with the uninstall PIN
# stored as the tray program stores it (a wrong PIN keeps everything; the
# right one removes the service and the files).
#   scripts/windows-installer-check.sh [cross-build-dir]
# Run it inside a private network namespace (tests/netns-run.sh): the agent
# binds its fixed ports. Prints one "PASS:"/"FAIL:" line per step and a
# closing "N passed, N failed". Exit: 0 all passed, 1 something failed, 77
# wine or makensis missing (CORVANE_REQUIRE_WINDOWS_CHECK=1 turns that into a
# failure).
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

CROSS=${1:-${CORVANE_WINDOWS_CROSS_DIR:-$SOURCE_DIR/build-windows-cross}}
[ -f "$CROSS/CMakeCache.txt" ] || skip_or_fail "no Windows cross build in $CROSS (scripts/windows-cross-build.sh)"
. "$SOURCE_DIR/scripts/wine-lib.sh"
cv_find_wine
[ -n "$WINE" ] || skip_or_fail "wine64 is not installed"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvane-installer-check.XXXXXX")
export WINEPREFIX=$WORK/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=""
# shellcheck disable=SC2317 # run by the EXIT trap
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

log=$WORK/package.log
if (cd "$CROSS" && cpack -G NSIS -B "$WORK/package") >"$log" 2>&1; then
    pass "installer/package"
else
    fail "installer/package" "$log"
    finish
fi
INSTALLER=$(find "$WORK/package" -maxdepth 1 -name '*Corvane Agent-*.exe' 2>/dev/null | head -n 1)

C=$WINEPREFIX/drive_c
DIR="$C/Program Files/Corvane Agent"
KEY='HKEY_USERS\.DEFAULT\Software\Corvane\Corvane Agent'
# The tray program that "checkuninst" starts finds no display here and would
# wait for a PIN that nobody types; offscreen it waits until the agent gives up.
export QT_QPA_PLATFORM=offscreen

service_state() {
    timeout 60 "$WINE" sc query "Corvane Agent" 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
reg_value() { # key value -> the value's data, empty when absent
    timeout 60 "$WINE" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
wait_for_state() { # state seconds
    i=0
    while [ "$i" -lt "$2" ]; do
        [ "$(service_state)" = "$1" ] && return 0
        sleep 1
        i=$((i + 1))
    done
    return 1
}

# Create the prefix first and let its wine server end completely, so the
# installer does not meet a half-ready service manager.
timeout 240 "$WINE" wineboot --init >/dev/null 2>&1
[ -n "$WINESERVER" ] && timeout 240 "$WINESERVER" -w

# 1. Silent install: the shipped layout, "install noAd", the service running.
timeout 240 "$WINE" "$INSTALLER" /S >"$WORK/install.log" 2>&1
layout_missing=""
for f in agentcorvane.exe corvanectl.exe Qt5Core.dll Qt5Network.dll libssl-3-x64.dll libcrypto-3-x64.dll \
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
    agentcorvanegui/agentcorvanegui.exe agentcorvanegui/Qt5Widgets.dll agentcorvanegui/Qt5Gui.dll \
    agentcorvanegui/Qt5Core.dll agentcorvanegui/Qt5Network.dll agentcorvanegui/libssl-3-x64.dll \
    agentcorvanegui/libstdc++-6.dll agentcorvanegui/platforms/qwindows.dll \
    agentcorvanegui/styles/qwindowsvistastyle.dll agentcorvanegui/imageformats/qgif.dll Uninstall.exe; do
    [ -f "$DIR/$f" ] || layout_missing="$layout_missing $f"
done
if [ -z "$layout_missing" ]; then
    pass "installer/layout"
else
    fail "installer/layout (missing:$layout_missing)" "$WORK/install.log"
fi
# Wine's sc has no "qc": the service manager's own registry key tells.
SERVICE_KEY='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Corvane Agent'
image=$(reg_value "$SERVICE_KEY" ImagePath)
start_type=$(reg_value "$SERVICE_KEY" Start)
service_type=$(reg_value "$SERVICE_KEY" Type)
if [ "$image" = '"C:\Program Files\Corvane Agent\agentcorvane.exe"' ] && [ "$start_type" = 0x2 ] &&
    [ "$service_type" = 0x10 ]; then
    pass "installer/service_registered_quoted_path_auto_start"
else
    fail "installer/service_registered_quoted_path_auto_start (ImagePath '$image', Start '$start_type', Type '$service_type')"
fi
if [ "$(reg_value "$KEY\\CONTROL" NO_AD)" = true ]; then
    pass "installer/runs_install_noAd"
else
    timeout 60 "$WINE" reg query "$KEY" /s >"$WORK/reg.log" 2>&1
    fail "installer/runs_install_noAd (CONTROL/NO_AD not true)" "$WORK/reg.log"
fi
if wait_for_state RUNNING 30; then
    pass "installer/service_started"
else
    fail "installer/service_started (state '$(service_state)')" "$WORK/install.log"
fi
# The real agent answers on its control channel (the Linux support client
# speaks the same protocol).
CTL=${CORVANE_BUILD_DIR:-}/tools/corvanectl/corvanectl
if [ -x "$CTL" ]; then
    answered=no
    for _ in $(seq 1 30); do
        if timeout 10 "$CTL" --timeout 5000 status >"$WORK/hello.log" 2>&1; then
            answered=yes
            break
        fi
        sleep 1
    done
    if [ "$answered" = yes ]; then
        pass "installer/agent_answers_control_channel"
    else
        fail "installer/agent_answers_control_channel" "$WORK/hello.log"
    fi
fi

# A PIN protects the stored sign-in data, as after a sign-in (the agent's own
# settings code, cross-built, writes it into wine's registry).
SEED=$CROSS/tests/gui/corvane-gui-seed-pin.exe
if timeout 120 "$SOURCE_DIR/scripts/wine-run.sh" "$SEED" demo demo-password 4711 >"$WORK/seed.log" 2>&1; then
    pass "uninstaller/pin_stored"
else
    fail "uninstaller/pin_stored" "$WORK/seed.log"
fi
store_uninstall_pin() { # what the tray program writes after the user typed it
    timeout 60 "$WINE" reg add "$KEY\\CONTROL\\UNINSTALL" /v PIN /t REG_SZ /d "$1" /f >/dev/null 2>&1
}

# The uninstaller runs in place (_?=) so that waiting for it means something;
# the argument must reach it unquoted, hence the batch file.
printf 'start "" /wait "C:\\Program Files\\Corvane Agent\\Uninstall.exe" /S _?=C:\\Program Files\\Corvane Agent\r\nexit /b %%errorlevel%%\r\n' >"$C/uninstall.bat"
uninstall() {
    timeout 300 "$WINE" cmd /c 'C:\uninstall.bat' >"$WORK/uninstall.log" 2>&1
}

# 2. Removal with a wrong PIN ("checkuninst" exits 1): everything stays.
store_uninstall_pin 0000
uninstall
if [ -f "$DIR/agentcorvane.exe" ] && [ "$(service_state)" = RUNNING ] &&
    [ -z "$(reg_value "$KEY\\CONTROL\\UNINSTALL" STATUS)" ]; then
    pass "uninstaller/wrong_pin_keeps_everything"
else
    fail "uninstaller/wrong_pin_keeps_everything (state '$(service_state)')" "$WORK/uninstall.log"
fi

# 3. Removal with the right PIN: the agent stopped, the service and the files gone.
store_uninstall_pin 4711
uninstall
if [ ! -e "$DIR/agentcorvane.exe" ] && [ ! -e "$DIR/agentcorvanegui/agentcorvanegui.exe" ] &&
    [ -z "$(service_state)" ]; then
    pass "uninstaller/right_pin_removes_service_and_files"
else
    fail "uninstaller/right_pin_removes_service_and_files (state '$(service_state)')" "$WORK/uninstall.log"
fi
# The permission served this one removal.
if [ -z "$(reg_value "$KEY\\CONTROL\\UNINSTALL" STATUS)" ]; then
    pass "uninstaller/permission_consumed"
else
    fail "uninstaller/permission_consumed"
fi

# 4. "/AD" registers without "noAd".
timeout 240 "$WINE" "$INSTALLER" /S /AD >"$WORK/install-ad.log" 2>&1
if [ "$(reg_value "$KEY\\CONTROL" NO_AD)" = false ]; then
    pass "installer/AD_switch_runs_install"
else
    fail "installer/AD_switch_runs_install (CONTROL/NO_AD not false)" "$WORK/install-ad.log"
fi
timeout 60 "$WINE" net stop "Corvane Agent" >/dev/null 2>&1

finish
