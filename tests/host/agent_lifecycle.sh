#!/bin/sh
# The agent as a process: it starts and logs, a second start leaves at once
# without a word, and SIGTERM ends it cleanly within a second. Runs inside
# tests/netns-run.sh (private network and IPC namespaces: the single-instance
# guard is machine-wide).
set -u
. "$(dirname "$0")/../lib.sh"
agent="$1"
work=$(mktemp -d)
pid=
on_exit() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null
    rm -rf "$work"
}
on_fail() { [ -d "$work/bin/log" ] && cat "$work"/bin/log/*; }

mkdir -p "$work/bin"
cp "$agent" "$work/bin/agentcorvane"
export CORVANE_STATE_DIR="$work/state"
log="$work/bin/log/Corvane Agent_$(date +%Y-%m-%d).log"

"$work/bin/agentcorvane" &
pid=$!
i=0
until grep -q 'INF | MAIN: CREATE' "$log" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 100 ] && fail "no CREATE line within 10 s"
    kill -0 $pid 2>/dev/null || fail "agent ended early"
    sleep 0.1
done
head -c 200 "$log" | grep -q '^----- START_Corvane (v4.0.0, os: ' || fail "start header missing"

# The first instance may still be logging its start; a second one would
# begin with a start header of its own.
timeout 5 "$work/bin/agentcorvane"; code=$?
[ $code -eq 0 ] || fail "second instance exit code $code"
[ "$(grep -c '^----- START_' "$log")" -eq 1 ] || fail "second instance wrote to the log"
kill -0 $pid || fail "first instance died"

# The log file is opened per batch of lines and closed again: while the agent
# idles no descriptor of it points at the file (an administrator may move or
# delete it). A batch may be caught being written, but not twice in a row.
holds_log() {
    for fd in /proc/"$pid"/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$log" ] && return 0
    done
    return 1
}
held=0
for i in 1 2 3 4 5 6 7 8 9 10; do
    if holds_log; then
        held=$((held + 1)); [ $held -ge 2 ] && fail "the agent keeps its log file open"
    else
        held=0
    fi
    sleep 0.1
done
# A deleted log folder comes back with the next lines: those of the stop.
rm -rf "$work/bin/log"

kill -TERM $pid
i=0
while kill -0 $pid 2>/dev/null; do
    i=$((i + 1)); [ $i -gt $((10 * ${CORVANE_TEST_TIME_FACTOR:-1})) ] && fail "still running $((${CORVANE_TEST_TIME_FACTOR:-1})) s after SIGTERM"
    sleep 0.1
done
wait $pid; code=$?
[ $code -eq 0 ] || fail "exit code after SIGTERM: $code"
grep -q 'CRT | SNIFFERDNSUDP: THREAD DOT FINISHED$' "$log" || fail "the lines of the stop are not in a new log file"
[ -f "$CORVANE_STATE_DIR/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini" ] || fail "settings file missing"
mode=$(stat -c %a "$CORVANE_STATE_DIR/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini")
[ "$mode" = 600 ] || fail "settings file mode $mode"
echo "PASS: agent lifecycle"
