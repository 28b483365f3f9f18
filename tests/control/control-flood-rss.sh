#!/bin/bash
# Memory of the agent under control-channel floods: starts the agent, floods
# its control port with short-lived clients (control-flood.py), and prints the
# agent's RSS, file descriptors and threads after a warm-up and after each
# further batch. Runs inside scripts/harness/run-in-ns.sh (which provides the
# private namespace, knotd and the development service):
#
#   scripts/harness/run-in-ns.sh <build> -- tests/control/control-flood-rss.sh \
#       [--warm 2000] [--batch 10000] [--batches 2] [--parallel 30] \
#       [--kinds status,junk64k,gui,garbage,silent] [--tolerance 5]
#
# The level after warm-up is taken once the warm-up flood is over and the
# agent has run for at least 15 s (its first periodic checks start networking
# and threads that have nothing to do with the control channel).
#
# CORVANE_FLOOD_WRAP runs the agent under a tool, e.g.
#   CORVANE_FLOOD_WRAP="heaptrack -o /tmp/agent" (figures then include the tool).
# Exit status: 0 when RSS after the last batch is within --tolerance percent
# of the peak level after warm-up and the fds are back to that level.
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=${CORVANE_BUILD_DIR:?run inside scripts/harness/run-in-ns.sh}
run=${CORVANE_HARNESS_RUN:?run inside scripts/harness/run-in-ns.sh}
agent=${CORVANE_AGENT_BIN:-$build/agent/host/agentcorvane}
ctl=$build/tools/corvanectl/corvanectl
warm=2000
batch=10000
batches=2
parallel=30
kinds=status,junk64k,gui,garbage,silent
tolerance=5
while [ $# -gt 0 ]; do
    case "$1" in
    --warm) warm=$2; shift ;;
    --batch) batch=$2; shift ;;
    --batches) batches=$2; shift ;;
    --parallel) parallel=$2; shift ;;
    --kinds) kinds=$2; shift ;;
    --tolerance) tolerance=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
{ [ -x "$agent" ] && [ -x "$ctl" ]; } || { echo "agentcorvane or corvanectl not built" >&2; exit 1; }
command -v python3 >/dev/null 2>&1 || { echo "python3 is missing; skipped" >&2; exit 77; }

state="$run/flood-agent-state"
mkdir -p "$state"
# shellcheck disable=SC2086 # the wrapping command and its options, or nothing
CORVANE_STATE_DIR="$state" ${CORVANE_FLOOD_WRAP:-} "$agent" >"$run/flood-agent.log" 2>&1 &
launcher=$!
stop_agent() {
    kill -TERM "$launcher" 2>/dev/null
    [ -n "${pid:-}" ] && [ "$pid" != "$launcher" ] && kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$launcher" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$launcher" 2>/dev/null
    wait "$launcher" 2>/dev/null
}
trap stop_agent EXIT

deadline=$((SECONDS + 60))
until "$ctl" --timeout 1000 status >/dev/null 2>&1; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$launcher" 2>/dev/null; then
        echo "the agent did not become ready" >&2
        tail -n 30 "$run/flood-agent.log" >&2
        exit 1
    fi
    sleep 0.2
done
# The process listening on the control port (the launcher may be a wrapper).
pid=$(ss -Hltnp 'sport = :49101' | grep -o 'pid=[0-9]*' | head -n 1 | cut -d= -f2)
[ -n "$pid" ] || { echo "no process listens on 49101" >&2; exit 1; }

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$pid/status"; }
fds() { find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l; }
threads() { awk '/^Threads:/ {print $2}' "/proc/$pid/status"; }
flood() { # <count>
    python3 "$here/control-flood.py" --count "$1" --parallel "$parallel" --kinds "$kinds"
}
# Lets the last clients' closes and deferred deletions run.
settle() {
    for _ in $(seq 20); do
        [ "$(fds)" -le "${warm_fds:-1000000}" ] && break
        sleep 0.25
    done
    sleep 1
}
report() { # <label>
    printf '%-28s RSS %6d kB  peak %6d kB  fds %3d  threads %2d  [heap] %6d kB  (threads: %s)\n' "$1" "$(rss)" "$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status")" "$(fds)" "$(threads)" \
        "$(heap_rss)" "$(cat /proc/"$pid"/task/*/comm 2>/dev/null | sort | uniq -c | awk '{print $2 "x" $1}' | tr '\n' ' ')"
}
# Resident part of the main heap (brk area); the rest of the growth, if any,
# is in thread arenas, stacks and libraries.
heap_rss() { awk '/\[heap\]/ {h = 1; next} /^[0-9a-f]+-/ {h = 0} h && /^Rss:/ {print $2}' "/proc/$pid/smaps"; }

started=$SECONDS
report "agent ready"
echo "warm-up: $(flood "$warm")"
while [ $((SECONDS - started)) -lt 15 ]; do sleep 1; done
settle
# The reference is the highest level reached by then: between floods the
# allocator may hand part of its working set back, and a later flood taking it
# again is no growth.
warm_rss=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status")
warm_fds=$(fds)
report "after warm-up ($warm)"
total=0
i=1
while [ $i -le "$batches" ]; do
    echo "batch $i: $(flood "$batch")"
    total=$((total + batch))
    settle
    report "after $total more"
    i=$((i + 1))
done
kill -0 "$pid" 2>/dev/null || { echo "the agent is gone" >&2; exit 1; }
"$ctl" --timeout 3000 status >/dev/null 2>&1 || { echo "the control channel no longer answers" >&2; exit 1; }
end_rss=$(rss)
end_fds=$(fds)
awk -v r="$end_rss" -v w="$warm_rss" -v t="$tolerance" \
    'BEGIN { printf "RSS growth over the warm-up peak: %+d kB (%+.1f %%), %.3f kB per connection\n", r - w, (r - w) * 100 / w, (r - w) / '"$total"' ; exit !(r <= w * (1 + t / 100)) }' ||
    { echo "FAIL: RSS grew more than $tolerance %" >&2; exit 1; }
[ "$end_fds" -le "$warm_fds" ] || { echo "FAIL: fds $warm_fds -> $end_fds" >&2; exit 1; }
echo "ok"
