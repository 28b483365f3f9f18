#!/bin/sh
# End-to-end check of the tray program with the real agent and the development
# service, under a private X server. Runs inside the harness:
#   scripts/harness/run-in-ns.sh <build dir> -- scripts/gui/e2e-gui.sh
# 1. The program, started before the agent, reaches the agent once it runs,
#    greets it and gets "STATUSLOG", "STATUSAD" and "DNSPROTOCOL"; its tray
#    icon appears; a second start with "activation" raises its window.
# 2. Stopping the agent hides icon and window; restarting brings the icon
#    back, and a pending activation the window.
# 3. The agent's "checkuninst" starts the real program, a scripted key press
#    types the PIN: exit 1 for a wrong PIN, 0 for the right one.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
: "${CORVANE_BUILD_DIR:?run me through scripts/harness/run-in-ns.sh}"
build=$CORVANE_BUILD_DIR
. "$here/xsession.sh"

run="$CORVANE_HARNESS_RUN/gui"
mkdir -p "$run/bin/agentcorvanegui"
# Private copies, so that the logs beside the programs belong to this run and
# the agent finds the tray program where it looks for it.
cp "$build/agent/host/agentcorvane" "$run/bin/agentcorvane"
cp "$build/agent/host/agentcorvanegui/agentcorvanegui" "$run/bin/agentcorvanegui/agentcorvanegui"
agent="$run/bin/agentcorvane"
gui="$run/bin/agentcorvanegui/agentcorvanegui"
seed="$build/tests/gui/corvane-gui-seed-pin"
day=$(date +%Y-%m-%d)
guilog="$run/bin/agentcorvanegui/log/agentcorvanegui_$day.log"
shots="$build/gui-screenshots"
mkdir -p "$shots"

export CORVANE_STATE_DIR="$run/agent-state"
export XDG_DATA_HOME="$run/data"
unset QT_QPA_PLATFORM
mkdir -p "$CORVANE_STATE_DIR"

fail() {
    echo "FAIL: $*" >&2
    echo "--- tray program log" >&2
    tail -n 40 "$guilog" >&2 2>/dev/null || true
    echo "--- agent output" >&2
    tail -n 20 "$run/agent.log" >&2 2>/dev/null || true
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

gx_start_x "$run" || exit $?
"$seed" demo demo-password 4321 || fail "could not seed the agent's PIN"

echo "== the tray program waits for the agent"
gx_spawn "$run/gui.out" "$gui"
GUI_PID=$GX_LAST_PID
gx_wait_log "$guilog" "SOCKET: The connection was refused." 15 || fail "no refused connection logged"

echo "== the agent starts"
gx_spawn "$run/agent.log" "$agent"
AGENT_PID=$GX_LAST_PID
until_port=$(($(date +%s) + 20))
until ss -Hltn 'sport = :49101' | grep -q .; do
    [ "$(date +%s)" -le "$until_port" ] || fail "the agent's control port did not open"
    kill -0 "$AGENT_PID" 2>/dev/null || fail "the agent ended"
    sleep 0.2
done
# The program retries every 5 s, by itself: the deadline leaves a loaded
# machine room for a late retry (the period is not what this checks).
gx_wait_log "$guilog" "SOCKET_GET: HELLO AGENT" 20 || fail "no greeting within 20 s of the agent listening"
for name in STATUSLOG STATUSAD DNSPROTOCOL; do
    gx_wait_log "$guilog" "SOCKET_GET: $name" 10 || fail "$name not received"
done
gx_wait_log "$guilog" "TRAY: SHOW" 10 || fail "tray icon not shown"
grep -qF "TRAY: HIDE" "$guilog" && fail "tray icon hidden while the agent runs"

echo "== a second start with \"activation\" raises the window"
"$gui" activation || fail "the second start did not exit 0"
win=$(gx_visible_window "Corvane Agent" 10) || fail "activation did not show the window"
sleep 1
if [ -x /usr/bin/import ]; then
    gx_capture "$win" "$shots/main-window-agent.png" || fail "screenshot failed"
    echo "   screenshot: $shots/main-window-agent.png"
else
    echo "   no screenshot: ImageMagick's import is missing (apt-get install imagemagick)"
fi

echo "== the agent stops"
gx_stop "$AGENT_PID"
gx_wait_log "$guilog" "TRAY: HIDE" 10 || fail "tray icon not hidden"
gx_wait_log "$guilog" "SOCKET: The server is closed." 5 || fail "closing not logged"
gx_no_visible_window "Corvane Agent" 10 || fail "window still visible without the agent"

echo "== the agent starts again"
"$gui" activation || fail "activation while the agent is down did not exit 0"
gx_spawn "$run/agent.log" "$agent"
AGENT_PID=$GX_LAST_PID
gx_wait_log "$guilog" "SOCKET_GET: HELLO AGENT" 30 2 || fail "no second greeting"
gx_wait_log "$guilog" "TRAY: SHOW" 5 2 || fail "tray icon not shown again"
gx_visible_window "Corvane Agent" 10 >/dev/null || fail "the pending activation did not show the window"

# The prompt has the same title as the main window: the main program goes first.
gx_stop "$GUI_PID"

uninstall_check() { # <pin typed>: prints the agent's exit code
    "$agent" checkuninst >"$run/checkuninst.log" 2>&1 &
    _pid=$!
    if ! _win=$(gx_visible_window "Corvane Agent" 20); then
        echo "--- windows on the display" >&2
        xdotool search --name . 2>/dev/null | while read -r _w; do
            echo "    $_w $(xdotool getwindowname "$_w" 2>/dev/null)" >&2
        done
        gx_stop "$_pid"
        echo "--- checkuninst output" >&2
        cat "$run/checkuninst.log" >&2
        fail "the PIN prompt did not appear"
    fi
    xdotool windowfocus --sync "$_win" 2>/dev/null || xdotool windowactivate --sync "$_win" 2>/dev/null || true
    xdotool type --delay 40 "$1"
    xdotool key Return
    set +e
    wait "$_pid"
    _rc=$?
    set -e
    echo "$_rc"
}

echo "== \"checkuninst\" with a wrong PIN"
rc=$(uninstall_check 9999)
[ "$rc" = 1 ] || fail "wrong PIN: agent exit code $rc, expected 1"
echo "== \"checkuninst\" with the right PIN"
rc=$(uninstall_check 4321)
[ "$rc" = 0 ] || fail "right PIN: agent exit code $rc, expected 0"

store="$CORVANE_STATE_DIR/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
[ "$(stat -c %a "$store")" = 600 ] || fail "the agent's settings file lost mode 0600"
grep -q '^UNINSTALL\\PIN=' "$store" && fail "the uninstall PIN was left behind"
echo "PASS"
