#!/bin/sh
# Where a forwarded query's cost goes: system calls and context switches per
# query for the agent (protection on, token, plain UDP to knotd, debug log
# off), and in the same run for dnsmasq and dnsdist forwarding to the same
# knotd. Counts, not times: they do not depend on how busy the machine is.
# strace slows the servers down, so the load is small and fixed. strace also
# lets datagrams pile up while a server is stopped in a call, which flatters
# servers that read many per call (recvmmsg): where perf is at hand, the
# system calls are counted a second time without strace (tracepoints, in the
# "perf" column; waits such as futex and epoll_wait left out alike).
#
# usage: syscalls.sh <build-dir> [--queries N] [--log]
#   --queries  queries per server (default 10000)
#   --log      also the agent with its debug-log switch on (lines and bytes
#              written to its log per query are shown as well)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--queries N]" >&2; exit 2; }
build=$1
shift
queries=10000
withlog=""
while [ $# -gt 0 ]; do
    case "$1" in
    --queries) queries=$2; shift ;;
    --log) withlog=1 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
bench_require knotd dnsmasq dnsdist dnsperf strace dig
bench_setup "$build"
bench_start_knot
bench_start_dnsmasq
bench_start_dnsdist_udp
passes=$((queries / $(wc -l <"$BENCH_RUN/queries.txt")))

switches() { # voluntary + involuntary context switches of all threads
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {s += $2} END {print s + 0}'
}

echo
echo "System calls and context switches per forwarded query ($queries queries, 1 client, 10 outstanding)"
echo
echo "| server | syscalls/query | recv*/query | send*/query | write/query (wake-ups) | read/query | poll/query | context switches/query | syscalls/query, perf |"
echo "|---|---|---|---|---|---|---|---|---|"
perf_ok=""
command -v perf >/dev/null 2>&1 && perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1 && perf_ok=1
servers="dnsmasq dnsdist agent"
[ -n "$withlog" ] && servers="$servers agent-log-on"
for who in $servers; do
    case $who in
    agent*)
        [ -n "${BENCH_AGENT_PID:-}" ] && bench_stop_agent
        log=false
        [ "$who" = agent-log-on ] && log=true
        bench_start_agent 1 0 $log
        bench_agent_ready
        pid=$BENCH_AGENT_PID srv=$BENCH_AGENT
        ;;
    dnsmasq) pid=$BENCH_DNSMASQ_PID srv=$BENCH_DNSMASQ ;;
    dnsdist) pid=$BENCH_DNSDIST_PID srv=$BENCH_DNSDIST ;;
    esac
    # Context switches without strace (strace itself adds stops).
    s0=$(switches "$pid")
    dnsperf -s "$srv" -d "$BENCH_RUN/queries.txt" -c 1 -q 10 -n "$passes" -t 2 >"$BENCH_RUN/cs.out" 2>&1
    s1=$(switches "$pid")
    # Without strace: every system call entered, less the waits.
    per_perf=-
    if [ -n "$perf_ok" ]; then
        perf stat -x, -o "$BENCH_RUN/perf-$who.txt" -p "$pid" -e raw_syscalls:sys_enter \
            -e syscalls:sys_enter_futex -e syscalls:sys_enter_epoll_wait -e syscalls:sys_enter_epoll_pwait \
            -e syscalls:sys_enter_restart_syscall -e syscalls:sys_enter_clock_nanosleep 2>/dev/null &
        ppid=$!
        sleep 1
        dnsperf -s "$srv" -d "$BENCH_RUN/queries.txt" -c 1 -q 10 -n "$passes" -t 2 >"$BENCH_RUN/pf.out" 2>&1
        kill -INT "$ppid" 2>/dev/null || true
        wait "$ppid" 2>/dev/null || true
        pq=$(awk '/Queries completed:/ {print $3}' "$BENCH_RUN/pf.out")
        per_perf=$(awk -F, -v q="$pq" '$3 == "raw_syscalls:sys_enter" {t = $1} $3 ~ /^syscalls:/ {w += $1}
            END {if (q > 0) printf "%.2f", (t - w) / q; else print "-"}' "$BENCH_RUN/perf-$who.txt")
    fi
    strace -f -c -o "$BENCH_RUN/strace-$who.txt" -p "$pid" 2>/dev/null &
    spid=$!
    sleep 2
    dnsperf -s "$srv" -d "$BENCH_RUN/queries.txt" -c 1 -q 10 -n "$passes" -t 2 >"$BENCH_RUN/sc.out" 2>&1
    sleep 0.5
    kill -INT "$spid" 2>/dev/null || true
    wait "$spid" 2>/dev/null || true
    done_q=$(awk '/Queries completed:/ {print $3}' "$BENCH_RUN/sc.out")
    awk -v q="$done_q" -v who="$who" -v cs=$((s1 - s0)) -v pf="$per_perf" '
        NF >= 5 && $1 ~ /^[0-9.]+$/ && $4 ~ /^[0-9]+$/ {
            name = $NF
            calls = $4
            if (name == "total" || name ~ /futex|restart_syscall|epoll_wait|clock_nanosleep/) next
            total += calls
            if (name ~ /^recv/) recv += calls
            else if (name ~ /^send/) send += calls
            else if (name == "write") write += calls
            else if (name == "read") read += calls
            else if (name ~ /poll/) poll += calls
        }
        END {
            printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %s |\n", who, total / q, recv / q, send / q,
                write / q, read / q, poll / q, cs / q, pf
        }' "$BENCH_RUN/strace-$who.txt"
    if [ "$who" = agent-log-on ]; then
        # Both dnsperf runs went through the log.
        lines=$(cat "$BENCH_AGENT_DIR"/bin/log/* | wc -l)
        bytes=$(cat "$BENCH_AGENT_DIR"/bin/log/* | wc -c)
        log_note="agent-log-on wrote $(awk -v l="$lines" -v q="$done_q" 'BEGIN {printf "%.1f", l / q / 2}') log lines and $(awk -v b="$bytes" -v q="$done_q" 'BEGIN {printf "%d", b / q / 2}') bytes per query"
    fi
done
[ -n "${log_note:-}" ] && echo && echo "$log_note"
echo
echo "(futex, epoll_wait and sleeping calls are left out: they are waits, not work per query)"
