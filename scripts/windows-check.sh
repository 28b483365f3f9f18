#!/usr/bin/env bash
# The plain C++ Win32 helpers of the platform seam (service dispatcher and
# status sequence, adapter list, machine facts) and their own tests, built
# statically with MinGW and run under wine in a private network namespace
# with known adapters. (The Windows cross build compiles and links every
# Windows source with -Werror; scripts/windows-cross-build.sh.)
# Prints one "PASS:"/"FAIL:" line per step and a closing "N passed, N failed".
# Exit: 0 all passed, 1 something failed, 77 MinGW or wine not installed
# (CTest SKIP_RETURN_CODE; CORVANE_REQUIRE_WINDOWS_CHECK=1 turns that into a failure).
#
# Usage: scripts/windows-check.sh
set -u -o pipefail

SOURCE_DIR=${CORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
START=$(date +%s)

skip_or_fail() {
    if [ "${CORVANE_REQUIRE_WINDOWS_CHECK:-0}" = 1 ]; then
        echo "FAIL: windows-check: $1 (CORVANE_REQUIRE_WINDOWS_CHECK=1)"
        echo "windows-check: 0 passed, 1 failed"
        exit 1
    fi
    echo "SKIP: windows-check: $1"
    echo "    install with: apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-posix wine64"
    exit 77
}

CXX=""
for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
    if command -v "$candidate" >/dev/null 2>&1; then
        CXX=$(command -v "$candidate")
        break
    fi
done
[ -n "$CXX" ] || skip_or_fail "MinGW-w64 (x86_64-w64-mingw32-g++) is not installed"

. "$SOURCE_DIR/scripts/wine-lib.sh"
cv_find_wine
[ -n "$WINE" ] || skip_or_fail "wine64 is not installed"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvane-windows-check.XXXXXX")
export WINEPREFIX=$WORK/wineprefix
cleanup() {
    if [ -n "$WINESERVER" ] && [ -d "$WINEPREFIX" ]; then
        WINEPREFIX=$WINEPREFIX "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    if [ -n "${CORVANE_KEEP_WORK:-}" ]; then
        echo "windows-check: work folder kept: $WORK"
    else
        rm -rf "$WORK"
    fi
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
        sed -e 's/^/    /' "$2" | head -n 40
    fi
}

WIN_DEFINES=(-DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX)
WIN_WARNINGS=(-Wall -Wextra -Werror)

cd "$SOURCE_DIR" || exit 1
planned=2

# The service is registered under the application's name; the platform seam
# keeps its own copy of that text.
service_name=$(sed -n 's/.*serviceName\[\] = "\([^"]*\)".*/\1/p' agent/platform/windows/ServiceHostWin.cpp)
if [ -n "$service_name" ] && grep -q "getAppName()" agent/settings/ConstData.cpp &&
    grep -A3 'ConstData::getAppName()' agent/settings/ConstData.cpp | grep -qF "\"$service_name\""; then
    pass "service_name_is_application_name"
else
    fail "service_name_is_application_name (ServiceHostWin.cpp has \"$service_name\")"
fi

# ------------------------------------------------------------------ 3. helpers under wine
HELPERS=(agent/platform/windows/WinService.cpp agent/platform/windows/WinAdapters.cpp agent/platform/windows/WinMachine.cpp)
TEST_EXE=$WORK/tst_winhelpers.exe
build_log=$WORK/build.log
if "$CXX" -std=c++17 -O1 "${WIN_WARNINGS[@]}" "${WIN_DEFINES[@]}" -I. -Iagent \
    tests/windows/tst_winhelpers.cpp "${HELPERS[@]}" -static \
    -liphlpapi -lnetapi32 -lwtsapi32 -ladvapi32 -o "$TEST_EXE" >"$build_log" 2>&1; then
    pass "build/tst_winhelpers.exe"
else
    fail "build/tst_winhelpers.exe" "$build_log"
fi

reported=$((passed + failed))
if [ "$reported" -ne "$planned" ]; then
    fail "accounting ($reported of $planned steps reported)"
fi

if [ -f "$TEST_EXE" ]; then
    # A private network namespace with known adapters: loopback, two Ethernet
    # (one up, one down), two tunnels of type "other" (one up, one down).
    cat >"$WORK/run-in-netns.sh" <<EOF
set -e
ip link set lo up
ip link add cvEth0 type veth peer name cvEth1
ip link set cvEth0 up
ip tuntap add dev cvTun0 mode tun
ip link set cvTun0 up
ip tuntap add dev cvTun1 mode tun
export CORVANE_WINE_ADAPTERS="lo:24:0,cvEth0:6:1,cvEth1:6:1,cvTun0:1:1,cvTun1:1:0"
set +e
# Create the prefix first and let its wine server end completely: a test
# that starts while a new prefix's service manager is still being set up,
# or shut down, meets a half-ready one.
timeout 240 "$WINE" wineboot --init >/dev/null 2>&1
[ -n "$WINESERVER" ] && timeout 240 "$WINESERVER" -w
timeout 240 "$WINE" "$TEST_EXE"
code=\$?
[ -n "$WINESERVER" ] && "$WINESERVER" -k >/dev/null 2>&1
exit \$code
EOF
    wine_out=$WORK/wine.out
    wine_err=$WORK/wine.err
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY="" \
        unshare --net bash "$WORK/run-in-netns.sh" 2>"$wine_err" | tr -d '\r' >"$wine_out"
    wine_code=${PIPESTATUS[0]}
    wine_passed=$(grep -c '^PASS: ' "$wine_out" || true)
    wine_failed=$(grep -c '^FAIL: ' "$wine_out" || true)
    while IFS= read -r line; do
        case "$line" in
        "PASS: "*) echo "PASS: wine/${line#PASS: }" ;;
        "FAIL: "*) echo "FAIL: wine/${line#FAIL: }" ;;
        "    "*) echo "$line" ;;
        esac
    done <"$wine_out"
    passed=$((passed + wine_passed))
    failed=$((failed + wine_failed))
    summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$wine_out" | tail -n 1)
    wine_plan=$(sed -n 's/^PLAN: \([0-9]*\)$/\1/p' "$wine_out" | head -n 1)
    if [ "$wine_code" -ne 0 ] && [ "$wine_failed" -eq 0 ]; then
        # Died before reporting a failure (crash, time-out, namespace set-up).
        fail "wine/run (exit code $wine_code)" "$wine_err"
    elif [ -z "$summary" ] || [ -z "$wine_plan" ] || [ $((wine_passed + wine_failed)) -ne "$wine_plan" ]; then
        fail "wine/run (tst_winhelpers.exe reported $((wine_passed + wine_failed)) of ${wine_plan:-?} tests, exit code $wine_code; 124 is the time limit)" "$wine_err"
    fi
fi

echo "windows-check: took $(($(date +%s) - START)) s"
echo "windows-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
