#!/bin/sh
# Instructions per forwarded query, counted by callgrind: reproducible on a
# busy machine, unlike times. The agent runs under valgrind with protection on
# and a token, plain UDP to knotd, one client with 10 queries in flight; the
# counters are zeroed after a warm-up and dumped after the measured queries.
# Each thread is counted on its own: "DNS threads" are those that ran the
# listener or a transport; the rest (the main thread's timers and start-up
# checks) varies from run to run and is shown apart.
#
# usage: instructions.sh <build-dir> [--queries N] [--log] [--protection 0|1] [--keep DIR]
#   --queries     measured queries (default 5000)
#   --log         the agent's debug-log switch on
#   --protection  1 (default): marked queries; 0: protection off
#   --keep        copy the callgrind files to DIR (callgrind_annotate reads them)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--queries N] [--log] [--protection 0|1] [--keep DIR]" >&2; exit 2; }
build=$1
shift
queries=5000
log=false
protection=1
keep=""
while [ $# -gt 0 ]; do
    case "$1" in
    --queries) queries=$2; shift ;;
    --log) log=true ;;
    --protection) protection=$2; shift ;;
    --keep) keep=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
bench_require knotd dnsperf dig valgrind callgrind_control
bench_setup "$build"
bench_start_knot

bench_prepare_agent "$protection" 0 "$log"
out="$BENCH_RUN/callgrind.out"
CORVANE_STATE_DIR="$BENCH_AGENT_DIR/state" valgrind --tool=callgrind --separate-threads=yes \
    --callgrind-out-file="$out" "$BENCH_AGENT_DIR/bin/agentcorvane" >>"$BENCH_AGENT_DIR/agent.out" 2>&1 &
BENCH_AGENT_PID=$!
BENCH_PIDS="$BENCH_PIDS $BENCH_AGENT_PID"
bench_wait_until 90 "agent under valgrind" sh -c \
    "dig +time=2 +tries=1 +short @$BENCH_AGENT www.example.test A | grep -qx 192.0.2.10" ||
    { tail -n 20 "$BENCH_AGENT_DIR/agent.out" >&2; bench_die "agent did not answer under valgrind"; }
sleep "${CORVANE_BENCH_SETTLE:-3}"
# Warm-up: first-use costs (symbol binding, buffers, the table) stay out.
dnsperf -s $BENCH_AGENT -d "$BENCH_RUN/queries.txt" -c 1 -q 10 -n 20 -t 5 >/dev/null 2>&1 || true
callgrind_control -z "$BENCH_AGENT_PID" >/dev/null
passes=$((queries / $(wc -l <"$BENCH_RUN/queries.txt")))
dnsperf -s $BENCH_AGENT -d "$BENCH_RUN/queries.txt" -c 1 -q 10 -n "$passes" -t 5 >"$BENCH_RUN/dnsperf.out" 2>&1
callgrind_control -d "$BENCH_AGENT_PID" >/dev/null
done_q=$(awk '/Queries completed:/ {print $3}' "$BENCH_RUN/dnsperf.out")
# The dump is written asynchronously by the profiled process.
bench_wait_until 30 "callgrind dump" sh -c "ls $out.1-* >/dev/null 2>&1"
sleep 1

dns=0
other=0
for f in "$out".1-*; do
    n=$(awk '/^(summary|totals):/ {print $2; exit}' "$f")
    [ -n "$n" ] || n=0
    if grep -qE 'SnifferDnsUdp|UdpRemoteSocket|RemoteDnsServer' "$f"; then
        dns=$((dns + n))
    else
        other=$((other + n))
    fi
done
[ -n "$keep" ] && mkdir -p "$keep" && cp "$out".1-* "$keep"/

echo
echo "Instructions per forwarded query (callgrind; $done_q queries, 1 client, 10 outstanding; protection $protection, log $log)"
echo
echo "| DNS threads: instructions | per query | other threads: instructions (not per query) | whole process per query |"
echo "|---|---|---|---|"
awk -v d="$dns" -v o="$other" -v q="$done_q" 'BEGIN {
    if (q > 0) printf "| %d | %.0f | %d | %.0f |\n", d, d / q, o, (d + o) / q
    else print "| - | - | - | - |"
}'
