#!/bin/sh
# Runs a command (default: a shell) inside the namespace of a running main-job.sh.
# usage: exec.sh [--pid PID] [-- command...]
set -eu
pidfile=${CORVANE_HARNESS_PIDFILE:-/tmp/corvane-harness-main.pid}
pid=""
while [ $# -gt 0 ]; do
    case "$1" in
    --pid) pid=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
    esac
done
if [ -z "$pid" ]; then
    [ -f "$pidfile" ] || { echo "no running main-job.sh ($pidfile missing)" >&2; exit 2; }
    read -r pid run <"$pidfile"
else
    run=""
fi
kill -0 "$pid" 2>/dev/null || { echo "process $pid is not running" >&2; exit 2; }
[ -n "$run" ] || run=$(awk '{print $2}' "$pidfile" 2>/dev/null || true)
if [ $# -eq 0 ]; then
    set -- "${SHELL:-/bin/sh}"
fi
# shellcheck disable=SC2016 # expanded by the inner shell
exec nsenter --target "$pid" --net --ipc --mount -- sh -c '[ -f "$1/env.sh" ] && . "$1/env.sh"; shift; exec "$@"' sh "$run" "$@"
