#!/bin/sh
# Starts the main job as a newcomer would (scripts/harness/main-job.sh, signed
# in by default, then with --signed-out), runs every command its banner prints
# through exec.sh in the printed order, and fails if any fails or does not show
# what its line promises. usage: banner-commands.sh <source-dir> <build-dir>
set -u
. "$(dirname "$0")/../lib.sh"
source=$1
build=$2
[ "$(id -u)" = 0 ] || { echo "needs root (namespaces); skipped"; exit 77; }
unshare --net --ipc --mount --propagation private true 2>/dev/null ||
    { echo "cannot create namespaces here; skipped"; exit 77; }
exec_sh="$source/scripts/harness/exec.sh"
work=$(mktemp -d /tmp/corvane-banner.XXXXXX)
export CORVANE_HARNESS_PIDFILE="$work/main.pid"
job=""

stop_job() {
    [ -n "$job" ] || return 0
    kill -TERM "$job" 2>/dev/null
    n=0
    while kill -0 "$job" 2>/dev/null && [ $n -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    kill -KILL "$job" 2>/dev/null
    wait "$job" 2>/dev/null
    job=""
}
on_exit() {
    stop_job
    rm -rf "$work"
}

# run_mode <options...>: one start of the main job and every printed command.
run_mode() {
    rm -f "$CORVANE_HARNESS_PIDFILE"
    "$source/scripts/harness/main-job.sh" "$build" "$@" >"$work/banner" 2>"$work/main.log" </dev/null &
    job=$!
    deadline=$(($(date +%s) + 90))
    until [ -s "$CORVANE_HARNESS_PIDFILE" ] && grep -q 'Press Ctrl-C' "$work/banner"; do
        if ! kill -0 "$job" 2>/dev/null || [ "$(date +%s)" -ge "$deadline" ]; then
            echo "FAIL - the main job ($*) did not come up"
            cat "$work/main.log"
            failures=$((failures + 1))
            stop_job
            return
        fi
        sleep 0.2
    done
    cat "$work/banner"
    run=$(awk '{print $2}' "$CORVANE_HARNESS_PIDFILE")
    grep -q 'agent  *running' "$work/banner" || { echo "FAIL - the agent is not running"; failures=$((failures + 1)); }
    printed=$(grep -c "$exec_sh" "$work/banner")
    listed=$(wc -l <"$run/try-commands")
    [ "$printed" = "$listed" ] || { echo "FAIL - $printed commands printed, $listed listed"; failures=$((failures + 1)); }
    us=$(printf '\037')
    while IFS=$us read -r command expect comment; do
        # As typed after the printed prefix: the shell parses the quotes.
        out=$(eval "timeout 60 \"\$exec_sh\" ${command:+-- $command}" </dev/null 2>&1)
        rc=$?
        if [ $rc -ne 0 ]; then
            echo "FAIL - ($*) exec.sh -- $command: exit $rc"
            echo "$out" | tail -n 5
            failures=$((failures + 1))
        elif [ -n "$expect" ] && ! printf '%s' "$out" | grep -qF -- "$expect"; then
            echo "FAIL - ($*) exec.sh -- $command: [$expect] not in the output"
            echo "$out" | tail -n 5
            failures=$((failures + 1))
        else
            echo "ok   - ($*) exec.sh -- $command  # $comment"
        fi
    done <"$run/try-commands"
    stop_job
}

run_mode
run_mode --signed-out
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
