#!/usr/bin/env bash
# Keeps the Windows code honest on Linux:
#   1. moc, run with MinGW's predefined macros, over every header with a
#      Q_OBJECT class that is Windows-only or has a Windows branch (without
#      those macros moc silently skips classes under Q_OS_WIN); its output is
#      compiled too;
#   2. a MinGW -fsyntax-only -Werror pass over every Windows-only source and
#      every source or header with a Windows branch, against Qt 5's headers;
#   3. the plain C++ Win32 helpers of the platform seam and their tests, built
#      statically with MinGW and run under wine in a private network namespace
#      with known adapters.
# Prints one "PASS:"/"FAIL:" line per step and a closing "N passed, N failed".
# Exit: 0 all passed, 1 something failed, 77 MinGW or wine not installed
# (CTest SKIP_RETURN_CODE; CORVANE_REQUIRE_WINDOWS_CHECK=1 turns that into a failure).
#
# Usage: scripts/windows-check.sh            (CORVANE_BUILD_DIR: a configured Linux
#        build whose compile_commands.json gives include paths and definitions)
set -u -o pipefail

SOURCE_DIR=${CORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
BUILD_DIR=${CORVANE_BUILD_DIR:-$SOURCE_DIR/build}
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

WINE=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        WINE=$candidate
        break
    fi
done
[ -n "$WINE" ] || skip_or_fail "wine64 is not installed"
WINESERVER=""
for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        WINESERVER=$candidate
        break
    fi
done

MOC=""
for candidate in /usr/lib/qt5/bin/moc /usr/lib/x86_64-linux-gnu/qt5/bin/moc "$(command -v moc 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        MOC=$candidate
        break
    fi
done
QT_INCLUDE=$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || true)
[ -d "$QT_INCLUDE" ] || QT_INCLUDE=/usr/include/x86_64-linux-gnu/qt5

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

# MinGW's own predefined macros (_WIN32, __MINGW64__, ...), for moc.
PREDEFS=$WORK/mingw-predefs.h
"$CXX" -std=c++17 -dM -E -x c++ /dev/null >"$PREDEFS"

# Flags for one file: the include paths and definitions of the nearest source
# that the Linux build compiles (same folder, else the closest parent),
# without Linux-only flags; Qt's headers as system headers.
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=$(command -v python3)
declare -A FLAGS_CACHE=()
flags_count=0
flags_for() { # file; the flags are the same for every file of one folder
    local folder
    folder=$(dirname "$1")
    if [ -z "${FLAGS_CACHE[$folder]:-}" ]; then
        flags_count=$((flags_count + 1))
        FLAGS_CACHE[$folder]=$WORK/flags-$flags_count
        compute_flags "$1" >"${FLAGS_CACHE[$folder]}"
    fi
    cat "${FLAGS_CACHE[$folder]}"
}
compute_flags() {
    "$PYTHON" - "$1" "$BUILD_DIR/compile_commands.json" "$SOURCE_DIR" "$QT_INCLUDE" <<'PY'
import json, os, shlex, sys
target, database, source_dir, qt = sys.argv[1:5]
entries = []
if os.path.exists(database):
    with open(database) as f:
        entries = json.load(f)
by_dir = {}
for e in entries:
    path = os.path.normpath(os.path.join(e.get("directory", ""), e["file"]))
    by_dir.setdefault(os.path.dirname(path), e)
folder = os.path.dirname(os.path.abspath(target))
entry = None
while folder.startswith(source_dir):
    if folder in by_dir:
        entry = by_dir[folder]
        break
    folder = os.path.dirname(folder)
out = []
if entry:
    args = entry.get("arguments") or shlex.split(entry["command"])
    i = 1
    while i < len(args):
        a = args[i]
        if a in ("-I", "-isystem", "-D", "-include"):
            value = args[i + 1]
            i += 2
            if "mkspecs" in value:
                continue
            out += [a, value]
            continue
        i += 1
        if a.startswith("-I") or a.startswith("-D") or a.startswith("-std="):
            out.append(a)
# Without a Linux build: the Qt modules and every source folder of the tree.
if not entry:
    for module in ("", "QtCore", "QtNetwork", "QtGui", "QtWidgets"):
        out += ["-isystem", os.path.join(qt, module)]
    out += ["-DQT_CORE_LIB", "-DQT_NETWORK_LIB", "-DQT_NO_CAST_FROM_BYTEARRAY",
            "-DQT_USE_QSTRINGBUILDER", "-DQT_NO_FOREACH"]
    for top in ("common", "agent", "gui"):
        for root, dirs, files in os.walk(os.path.join(source_dir, top)):
            if any(name.endswith(".h") for name in files):
                out += ["-I", root]
if not any(a.startswith("-std=") for a in out):
    out.append("-std=c++17")
print("\n".join(out))
PY
}

cd "$SOURCE_DIR" || exit 1
rel() { realpath --relative-to="$SOURCE_DIR" "$1"; }

# ------------------------------------------------------------------ discovery
SEARCH_DIRS=()
for dir in common agent gui; do
    [ -d "$dir" ] && SEARCH_DIRS+=("$dir")
done
WINDOWS_PATTERN='Q_OS_WIN|_WIN32|<windows\.h>|<winsock2\.h>|<winsvc\.h>'
mapfile -t WINDOWS_FILES < <(
    {
        find "${SEARCH_DIRS[@]}" \( -path '*/win/*' -o -name '*Win.cpp' -o -name '*Win.h' \) \
            \( -name '*.cpp' -o -name '*.h' \) -print
        grep -rlE "$WINDOWS_PATTERN" --include='*.cpp' --include='*.h' "${SEARCH_DIRS[@]}"
    } | sort -u)
SOURCES=()
HEADERS=()
MOC_HEADERS=()
for file in "${WINDOWS_FILES[@]}"; do
    case "$file" in
    *.cpp) SOURCES+=("$file") ;;
    *.h)
        HEADERS+=("$file")
        if grep -qE '\bQ_(OBJECT|GADGET)\b' "$file"; then
            MOC_HEADERS+=("$file")
        fi
        ;;
    esac
done
# Every step below reports exactly once; a step that vanished is a failure.
planned=$((1 + ${#MOC_HEADERS[@]} + ${#SOURCES[@]} + ${#HEADERS[@]} + 1 + 1))
echo "windows-check: ${#SOURCES[@]} sources, ${#HEADERS[@]} headers (${#MOC_HEADERS[@]} with meta objects) with Windows code"

# moc takes -I and -D only; Qt's -isystem folders become -I.
moc_args_from() { # flags-file
    local previous=""
    MOC_ARGS=()
    while IFS= read -r a; do
        if [ "$previous" = "-isystem" ] || [ "$previous" = "-I" ]; then
            MOC_ARGS+=("-I$a")
        elif [ "$previous" = "-D" ]; then
            MOC_ARGS+=("-D$a")
        else
            case "$a" in -I?* | -D?*) MOC_ARGS+=("$a") ;; esac
        fi
        previous=$a
    done <"$1"
}

mingw_syntax() { # file flags-file log
    local file=$1
    mapfile -t flags <"$2"
    "$CXX" -fsyntax-only "${WIN_WARNINGS[@]}" "${WIN_DEFINES[@]}" "${flags[@]}" "$file" >"$3" 2>&1
}

# ------------------------------------------------------------------ 1. moc
# The fixture proves the predefines reach moc: its class exists only under Q_OS_WIN.
FIXTURE=tests/windows/fixtures/WindowsOnlyObject.h
if [ -z "$MOC" ]; then
    fail "moc/predefines_reach_moc (moc not found)"
else
    fixture_flags=$WORK/fixture.flags
    flags_for "$SOURCE_DIR/agent/platform/RegistryStore.cpp" >"$fixture_flags"
    moc_args_from "$fixture_flags"
    with_log=$WORK/moc-with.log
    if "$MOC" --include "$PREDEFS" "${WIN_DEFINES[@]}" "${MOC_ARGS[@]}" "$FIXTURE" -o "$WORK/moc_fixture.cpp" >"$with_log" 2>&1 &&
        grep -q 'qt_meta_stringdata_WindowsOnlyObject' "$WORK/moc_fixture.cpp" &&
        mingw_syntax "$WORK/moc_fixture.cpp" "$fixture_flags" "$WORK/moc-fixture-syntax.log" &&
        "$MOC" "${MOC_ARGS[@]}" "$FIXTURE" -o "$WORK/moc_fixture_linux.cpp" >>"$with_log" 2>&1 &&
        ! grep -q 'qt_meta_stringdata_WindowsOnlyObject' "$WORK/moc_fixture_linux.cpp"; then
        pass "moc/predefines_reach_moc"
    else
        cat "$WORK/moc-fixture-syntax.log" >>"$with_log" 2>/dev/null
        fail "moc/predefines_reach_moc (the Q_OS_WIN class must be seen with the predefines and only then)" "$with_log"
    fi
    for header in "${MOC_HEADERS[@]}"; do
        name=$(rel "$header")
        flags_for "$SOURCE_DIR/$header" >"$WORK/moc.flags"
        moc_args_from "$WORK/moc.flags"
        out=$WORK/moc_$(basename "$header" .h).cpp
        log=$WORK/moc.log
        if "$MOC" --include "$PREDEFS" "${WIN_DEFINES[@]}" "${MOC_ARGS[@]}" "$SOURCE_DIR/$header" -o "$out" >"$log" 2>&1 &&
            grep -q 'qt_meta_stringdata_' "$out" &&
            mingw_syntax "$out" "$WORK/moc.flags" "$log"; then
            pass "moc/$name"
        else
            fail "moc/$name" "$log"
        fi
    done
fi

# ------------------------------------------------------------------ 2. syntax
for file in "${SOURCES[@]}" "${HEADERS[@]}"; do
    name=$(rel "$file")
    flags_for "$SOURCE_DIR/$file" >"$WORK/syntax.flags"
    unit=$SOURCE_DIR/$file
    if [[ $file == *.h ]]; then
        unit=$WORK/header_check.cpp
        echo "#include \"$SOURCE_DIR/$file\"" >"$unit"
    fi
    log=$WORK/syntax.log
    if mingw_syntax "$unit" "$WORK/syntax.flags" "$log"; then
        pass "syntax/$name"
    else
        fail "syntax/$name" "$log"
    fi
done

# The service is registered under the application's name; the platform seam
# keeps its own copy of that text.
service_name=$(sed -n 's/.*serviceName\[\] = "\([^"]*\)".*/\1/p' agent/platform/ServiceHostWin.cpp)
if [ -n "$service_name" ] && grep -q "getAppName()" agent/settings/ConstData.cpp &&
    grep -A3 'ConstData::getAppName()' agent/settings/ConstData.cpp | grep -qF "\"$service_name\""; then
    pass "service_name_is_application_name"
else
    fail "service_name_is_application_name (ServiceHostWin.cpp has \"$service_name\")"
fi

# ------------------------------------------------------------------ 3. helpers under wine
HELPERS=(agent/platform/win/WinService.cpp agent/platform/win/WinAdapters.cpp agent/platform/win/WinMachine.cpp)
TEST_EXE=$WORK/WinHelpersTest.exe
build_log=$WORK/build.log
if "$CXX" -std=c++17 -O1 "${WIN_WARNINGS[@]}" "${WIN_DEFINES[@]}" -Iagent/platform -Iagent/platform/win \
    tests/windows/WinHelpersTest.cpp "${HELPERS[@]}" -static \
    -liphlpapi -lnetapi32 -lwtsapi32 -ladvapi32 -o "$TEST_EXE" >"$build_log" 2>&1; then
    pass "build/WinHelpersTest.exe"
else
    fail "build/WinHelpersTest.exe" "$build_log"
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
        fail "wine/run (WinHelpersTest.exe reported $((wine_passed + wine_failed)) of ${wine_plan:-?} tests, exit code $wine_code; 124 is the time limit)" "$wine_err"
    fi
fi

echo "windows-check: took $(($(date +%s) - START)) s"
echo "windows-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
