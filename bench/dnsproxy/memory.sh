#!/bin/sh
# Memory of the agent (protection on, token, debug log off): RSS idle, after
# N queries, after 2N queries (growth between the two marks), and with an
# upstream that leaves 30 % of the queries unanswered (pending-table growth),
# also once the unanswered entries have expired. dnsdist forwarding the same
# load is the baseline measured in the same run.
#
# usage: memory.sh <build-dir> [--queries N] (default 1000000)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--queries N]" >&2; exit 2; }
build=$1
shift
queries=1000000
while [ $# -gt 0 ]; do
    case "$1" in
    --queries) queries=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
bench_require knotd dnsdist dnsperf dig
bench_setup "$build"
bench_start_knot
bench_start_dnsdist_udp
bench_start_dropper 0.3
lines=$(wc -l <"$BENCH_RUN/queries.txt")
passes=$((queries / lines))
mb() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

# load <server> [timeout]: N queries from 20 clients; sets the PERF_* figures.
load() {
    dnsperf -s "$1" -d "$BENCH_RUN/queries.txt" -c 20 -q "${3:-100}" -n "$passes" -t "${2:-2}" \
        >"$BENCH_RUN/dnsperf.out" 2>&1
    PERF_DONE=$(awk '/Queries completed:/ {print $3}' "$BENCH_RUN/dnsperf.out")
    PERF_LOST=$(awk '/Queries lost:/ {print $3}' "$BENCH_RUN/dnsperf.out")
    PERF_QPS=$(awk '/Queries per second:/ {printf "%d", $4}' "$BENCH_RUN/dnsperf.out")
}
row() { # <what> <rss kB> [note]
    printf '| %s | %s | %s |\n' "$1" "$(mb "$2")" "${3:-}"
}

echo
echo "Memory (RSS, MB), $queries queries per load, 20 clients, $(nproc) CPUs"
echo
echo "| state | RSS MB | load figures |"
echo "|---|---|---|"
row "dnsdist (baseline), idle" "$(bench_rss_kb "$BENCH_DNSDIST_PID")"
load $BENCH_DNSDIST
row "dnsdist (baseline), after $queries" "$(bench_rss_kb "$BENCH_DNSDIST_PID")" "$PERF_DONE answered, $PERF_LOST lost, $PERF_QPS q/s"

bench_start_agent 1 0 false
bench_agent_ready
row "agent, idle" "$(bench_rss_kb "$BENCH_AGENT_PID")"
load $BENCH_AGENT
row "agent, after $queries" "$(bench_rss_kb "$BENCH_AGENT_PID")" "$PERF_DONE answered, $PERF_LOST lost, $PERF_QPS q/s"
load $BENCH_AGENT
row "agent, after $((2 * queries))" "$(bench_rss_kb "$BENCH_AGENT_PID")" "$PERF_DONE answered, $PERF_LOST lost, $PERF_QPS q/s"
printf '| %s | %s | %s |\n' "agent, threads / fds after load" "-" \
    "$(awk '/^Threads:/ {print $2}' "/proc/$BENCH_AGENT_PID/status") threads, $(find "/proc/$BENCH_AGENT_PID/fd" -mindepth 1 -maxdepth 1 | wc -l) fds"
bench_stop_agent

# 30 % unanswered: a short client timeout keeps the load going; each lost
# query stays in the agent's table until it expires.
bench_start_agent 1 0 false $BENCH_DROPPER
bench_agent_ready
row "agent (upstream drops 30 %), idle" "$(bench_rss_kb "$BENCH_AGENT_PID")"
load $BENCH_AGENT 0.2 500
row "agent (upstream drops 30 %), after $queries" "$(bench_rss_kb "$BENCH_AGENT_PID")" "$PERF_DONE answered, $PERF_LOST lost, $PERF_QPS q/s"
sleep 17
row "agent (upstream drops 30 %), 17 s later" "$(bench_rss_kb "$BENCH_AGENT_PID")" "pending entries expired"
bench_stop_agent
