#!/bin/sh
# End-to-end walk through the tray program's pages with the real agent and the
# development service, under a private X server, driven by xdotool. Runs inside
# the harness:
#   scripts/harness/run-in-ns.sh <build dir> --agent -- scripts/gui/e2e-pages.sh
# 1. Sign in with login and password, set a PIN, enter it.
# 2. The personal area shows the account's name, IP, plan and profiles with
#    the current one marked.
# 3. A click on another profile moves the mark.
# 4. The DOT frame switches the agent to DNS over TLS: a query through the
#    agent reaches the service over DoT (the service's query log says so).
# 5. Log out: the sign-in form is back.
# Pictures of the pages on the way go to <build>/gui-screenshots/e2e/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
: "${CORVANE_BUILD_DIR:?run me through scripts/harness/run-in-ns.sh}"
build=$CORVANE_BUILD_DIR
. "$here/xsession.sh"

run="$CORVANE_HARNESS_RUN/gui-pages"
mkdir -p "$run/bin/agentcorvanegui"
# A private copy, so that the log beside the program belongs to this run.
cp "$build/agent/host/agentcorvanegui/agentcorvanegui" "$run/bin/agentcorvanegui/agentcorvanegui"
gui="$run/bin/agentcorvanegui/agentcorvanegui"
shots_tool="$build/tests/gui/corvane-gui-page-shots"
day=$(date +%Y-%m-%d)
guilog="$run/bin/agentcorvanegui/log/agentcorvanegui_$day.log"
shots="$build/gui-screenshots/e2e"
mkdir -p "$shots"

export XDG_DATA_HOME="$run/data"
unset QT_QPA_PLATFORM

fail() {
    echo "FAIL: $*" >&2
    echo "--- tray program log" >&2
    tail -n 40 "$guilog" >&2 2>/dev/null || true
    echo "--- agent output" >&2
    tail -n 20 "${CORVANE_AGENT_LOG:-/dev/null}" >&2 2>/dev/null || true
    exit 1
}
finish() {
    status=$?
    trap - EXIT INT TERM
    gx_stop_all
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Window positions of the buttons, rows and frames to click: the tool lays
# the window out with the same fonts and size and reports them.
# It brings its own stand-in agent, so it runs in a namespace of its own.
# shellcheck disable=SC2016 # expanded by the inner shell
points=$(XDG_DATA_HOME="$run/points-data" QT_QPA_PLATFORM=offscreen \
    unshare --net --ipc -- sh -c 'ip link set lo up && exec "$0" --points 2>/dev/null' "$shots_tool") ||
    fail "could not compute the click positions"
point() { echo "$points" | awk -v n="$1" '$1 == n {print $2, $3}'; }

gx_start_x "$run" || exit $?

echo "== the tray program starts (the harness runs the agent)"
until_port=$(($(date +%s) + 20))
until ss -Hltn 'sport = :49101' | grep -q .; do
    [ "$(date +%s)" -le "$until_port" ] || fail "the agent's control port did not open"
    sleep 0.2
done
gx_spawn "$run/gui.out" "$gui" activation
win=$(gx_visible_window "Corvane Agent" 60) || fail "the window did not open within 60 s"
gx_wait_log "$guilog" "AUTHORIZATION: slotShow sign-in form" 10 || fail "no sign-in form"
sleep 0.5
gx_capture "$win" "$shots/sign-in.png"

focus() { xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" 2>/dev/null || true; }
click() { # <point name>
    _p=$(point "$1")
    [ -n "$_p" ] || fail "no position for $1"
    # shellcheck disable=SC2086 # two words, x and y
    xdotool mousemove --window "$win" $_p sleep 0.2 click 1
}

# type_into <point name> <text>: a click gives the field the keyboard focus
# (there is no window manager to give it to the window), then the text.
type_into() {
    click "$1"
    xdotool type --delay 30 "$2"
}

echo "== sign in with login and password"
focus
type_into signin_email "demo"
type_into signin_password "demo-password"
xdotool key Return
gx_wait_log "$guilog" "SOCKET_GET: STATUSCHECKAUTH" 30 || fail "no answer to the sign-in"
gx_wait_log "$guilog" "AUTHORIZATION: show PIN creation" 10 || fail "no PIN creation form"
sleep 0.5
gx_capture "$win" "$shots/pin-create.png"

echo "== set a PIN and enter it"
type_into pin_create "2468"
type_into pin_confirm "2468"
xdotool key Return
gx_wait_log "$guilog" "SOCKET_GET: STATUSCREATEPIN" 30 || fail "no answer to the PIN creation"
gx_wait_log "$guilog" "AUTHORIZATION: show PIN entry" 10 || fail "no PIN entry form"
sleep 0.5
gx_capture "$win" "$shots/pin-enter.png"
type_into pin_enter "2468"
xdotool key Return
gx_wait_log "$guilog" "SOCKET_GET: STATUSCHECKPIN" 30 || fail "no answer to the PIN"

echo "== the personal area"
gx_wait_log "$guilog" "PERSONAL_AREA: slotUserInfo" 20 || fail "no account information"
gx_wait_log "$guilog" "PERSONAL_AREA: slotProfiles 3" 30 || fail "the three profiles were not listed"
gx_wait_log "$guilog" "PERSONAL_AREA: slotProfileId checked" 30 || fail "no current profile"
info=$(grep -F "PERSONAL_AREA: slotUserInfo" "$guilog" | tail -n 1)
echo "   $info"
echo "$info" | grep -q '"demo"' || fail "the account's name is not shown"
echo "$info" | grep -qE '"[0-9a-f.:]+[0-9a-f]"' || fail "no IP address shown"
plan=$(echo "$info" | awk -F'"' '{print $6}')
[ -n "$plan" ] || fail "no plan shown"
gx_wait_log "$guilog" "PERSONAL_AREA: slotFilteringStatus on" 10 || fail "protection not reported on"
sleep 0.5
gx_capture "$win" "$shots/personal-area.png"

echo "== switch the profile"
current=$(grep -F "PERSONAL_AREA: slotProfileId checked" "$guilog" | tail -n 1 | awk '{print $NF}' | tr -d '"')
case "$current" in 1) target=3 ;; *) target=1 ;; esac
echo "   current profile $current, switching to $target"
focus
click "profile_$target"
gx_wait_log "$guilog" "PERSONAL_AREA: slotProfileId checked \"$target\"" 60 || fail "the mark did not move to $target"
sleep 0.5
gx_capture "$win" "$shots/personal-area-switched.png"

echo "== switch the protocol to DoT"
click navSettings
# The agent installs the service's root certificates after the sign-in; on
# Linux the trust-store update holds its thread for 10-30 s on a busy machine.
gx_wait_log "$guilog" "SOCKET_GET: NETWORKINTERFACES" 60 || fail "no settings answer"
click protocol_DOT
gx_wait_log "$guilog" "PERSONAL_AREA: slotChangeDnsProtocol" 5 || fail "the DOT frame sent nothing"
grep -F "PERSONAL_AREA: slotChangeDnsProtocol" "$guilog" | tail -n 1 | grep -q '"dns_protocol":2' ||
    fail "the DOT frame did not ask for protocol 2"
sleep 0.5
gx_capture "$win" "$shots/personal-area-settings-dot.png"
# transport_of <name>: how the service's last query for the name came in
transport_of() {
    cv-admin queries | python3 -c 'import json,sys
q=[e for e in json.load(sys.stdin)["queries"] if e["name"].rstrip(".")==sys.argv[1]]
print(q[-1]["transport"] if q else "none")' "$1"
}
cv-admin queries-clear >/dev/null
name="e2e-$$.example.test"
deadline=$(($(date +%s) + 20))
over_dot=""
while [ "$(date +%s)" -le "$deadline" ]; do
    dig +time=2 +tries=1 @127.0.0.1 "$name" A >/dev/null 2>&1 || true
    if [ "$(transport_of "$name")" = dot ]; then
        over_dot=yes
        break
    fi
    sleep 1
done
[ -n "$over_dot" ] || fail "the query did not reach the service over DoT (last: $(transport_of "$name"))"
echo "   $name reached the service over $(transport_of "$name")"

echo "== log out"
before=$(grep -cF "AUTHORIZATION: slotShow sign-in form" "$guilog")
click logout
gx_wait_log "$guilog" "AUTHORIZATION: slotShow sign-in form" 60 $((before + 1)) || fail "the sign-in form did not come back"
sleep 0.5
gx_capture "$win" "$shots/signed-out.png"
for shot in "$shots"/*.png; do echo "   screenshot: $shot"; done
echo "PASS"
