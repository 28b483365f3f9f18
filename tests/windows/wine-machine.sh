# shellcheck shell=bash
# The Windows machine the wine end-to-end checks run the agent on, sourced by
# tests/windows/wine-e2e.sh and tests/windows/msi-check.sh inside the harness
# (scripts/harness/run-in-ns.sh): a wine prefix of its own, the service's test
# roots in its root store, one wine server for the run, two Ethernet adapters
# with the DNS values Windows would keep for them, and registry helpers.
# Needs RUN, SOURCE_DIR, WINE, WINESERVER and CORVANE_CA_BUNDLE; $1 names the
# check in failure lines.
wine_machine() { # <check name>
    # A prefix of its own, made here: its wine server runs in this namespace
    # only. Not a copy of the shared fixture prefix: the wine-run unit tests
    # write the agent's registry key there while they run, and a copy taken
    # meanwhile started the agent with their settings.
    export WINEPREFIX=$RUN/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    "$SOURCE_DIR/scripts/wine-prefix.sh" create "$WINEPREFIX" >/dev/null || { echo "FAIL: $1: no wine prefix"; exit 1; }
    # Wine's crypt32 takes the host's roots as the Windows root store: the
    # service's test roots join the namespace's private copy of them.
    mountpoint -q /etc/ssl/certs || { echo "FAIL: $1: /etc/ssl/certs is not the harness's private copy"; exit 1; }
    cat "$CORVANE_CA_BUNDLE" >>/etc/ssl/certs/ca-certificates.crt
    # One wine server for the whole run. When the last wine process ends the
    # server goes (3 s later), and the next wine command boots the prefix
    # again: its service manager then starts every automatic service, the
    # stopped agent included. Kept for 120 s past the last wine process rather
    # than forever, so that a run killed from outside leaves no server behind
    # for long.
    "$WINESERVER" -p120
    # Two Ethernet adapters (a veth pair); wine names them after the interface
    # index: {0000000N-0000-0000-0000-4E6574446576} ("NetDev").
    ip link add cvEth0 type veth peer name cvEth1
    ip link set cvEth0 up
    ip link set cvEth1 up
    GUID0=$(guid_of cvEth0)
    GUID1=$(guid_of cvEth1)
    # What Windows keeps for the adapters: cvEth0 set by hand, cvEth1 by DHCP.
    reg_set "$TCPIP\\$GUID0" NameServer REG_SZ "10.53.0.1 10.53.0.2"
    reg_set "$TCPIP\\$GUID0" EnableDHCP REG_DWORD 0
    reg_set "$TCPIP6\\$GUID0" NameServer REG_SZ "fd00:53::100"
    reg_set "$TCPIP\\$GUID1" NameServer REG_SZ ""
    reg_set "$TCPIP\\$GUID1" DhcpNameServer REG_SZ "10.53.0.9"
    reg_set "$TCPIP\\$GUID1" EnableDHCP REG_DWORD 1
}
wine() { timeout 60 "$WINE" "$@"; }
# (/sys still shows the host's interfaces: ask ip.)
guid_of() { printf '{%08X-0000-0000-0000-4E6574446576}' "$(ip -o link show "$1" | cut -d: -f1)"; }
TCPIP='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces'
TCPIP6='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip6\Parameters\Interfaces'
# shellcheck disable=SC2034 # read by the scripts that source this file
KEY='HKEY_USERS\.DEFAULT\Software\Corvane\Corvane Agent'
reg_value() { # <key> <name> -> data, empty when absent
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
reg_set() { # <key> <name> <type> <data>: read back, and tried again, before the agent meets it
    _want=$4
    [ "$3" = REG_DWORD ] && _want=$(printf '0x%x' "$4")
    for _try in 1 2 3; do
        wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
        [ "$(reg_value "$1" "$2")" = "$_want" ] && return 0
        echo "    wine reg add $2 did not land (try $_try)"
    done
    echo "FAIL: wine machine: $1 $2 is not $_want"
    exit 1
}
# Where to click in the tray program's window ($win), in window coordinates:
# the Linux page tool lays the same window out and reports them (it brings its
# own stand-in agent: a namespace of its own).
gui_points() { # <page tool>
    # shellcheck disable=SC2016 # expanded by the inner shell
    points=$(XDG_DATA_HOME="$RUN/points-data" QT_QPA_PLATFORM=offscreen \
        unshare --net --ipc -- sh -c 'ip link set lo up && exec "$0" --points 2>/dev/null' "$1")
}
point() { echo "$points" | awk -v n="$1" '$1 == n {print $2, $3}'; }
click() { # <point name>
    # shellcheck disable=SC2046,SC2154 # two words, x and y; win is set by the script that sources this file
    xdotool mousemove --window "$win" $(point "$1") sleep 0.2 click 1
}
type_into() { # <point name> <text>
    click "$1"
    xdotool type --delay 40 "$2"
}
