#!/bin/sh
# Encrypted upstreams. One dnsdist in front of knotd serves DoT on
# 127.53.0.3:853 (out-of-order, maxInFlight) and DoH on 127.53.0.3:443
# (HTTP/1.1 path "/") and plain UDP on 127.53.0.2:53. Measured in the same run:
#   - dnsperf straight to the DoT server (what the server can give),
#   - stubby forwarding UDP -> DoT (the DoT baseline),
#   - the agent over DoT, over DoH, and over plain UDP to the same dnsdist.
# The agent's transports are used only while protection is on, so the agent
# runs with protection on and a token (each query carries the 15-byte identity
# record; dnsdist and knotd pass it through). Debug-log switch off.
# CPU per 1000 queries for the forwarder, for dnsdist, and for the whole
# machine (every process of the path, dnsperf included; run it on an idle
# machine): on two cores every path is bound by the CPU all of them share.
# The last column is the share of the queries that reached dnsdist over plain
# UDP: the agent retries a query the DoT or DoH server leaves unanswered for a
# second over plain UDP (and takes the path for down after two in a row), so
# a DoT or DoH figure is the encrypted path's own only while that share is
# near 0.
#
# First, round trips: every path goes through delay-relay.py on 127.53.0.9,
# which holds each packet or chunk for 0 or 20 ms in each direction (a second
# stubby on 127.0.0.5 uses it; the agent reaches doh.corvane.test and its
# plain-UDP upstream through it). For each path: one query in flight, warm
# (the connection just used) and after a pause longer than dnsdist's idle
# timeout (3 s against 2 s), the median of 5 queries, in ms and in round trips
# of the added delay.
#
# usage: encrypted.sh <build-dir> [--seconds N] [--repeat N]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--seconds N] [--repeat N]" >&2; exit 2; }
build=$1
shift
seconds=5
repeat=2
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds=$2; shift ;;
    --repeat) repeat=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
bench_require knotd dnsdist stubby dnsperf dig kdig
bench_setup "$build"
# Without it the agent's DoT and DoH fail and plain UDP answers in their place:
# the rows would show plain UDP under their names.
[ -n "${BENCH_CA_TRUSTED:-}" ] || bench_die "the agent would not trust the bench's resolver; no figures"
bench_start_knot
bench_start_tls_server
bench_start_stubby
# The throughput stubby; the round trips start a second one on the relay.
STUBBY_PID=$BENCH_STUBBY_PID

RELAY=127.53.0.9
RELAY_STUBBY=127.0.0.5
ip addr add "$RELAY/32" dev lo 2>/dev/null || true
PAUSE=3
SAMPLES=5
query_s() { # <server>: the time of one query, in s (kdig gives tenths of a ms; dig's whole ms can be a 4-ms tick)
    kdig +retry=0 +timeout=3 @"$1" www.example.test A | awk '/^;; From / && $(NF) == "ms" {print $(NF - 1) / 1000}'
}
round_trips() { # <label> <server> <delay ms>
    query_s "$2" >/dev/null
    for _ in $(seq "$SAMPLES"); do query_s "$2"; sleep 0.2; done >"$BENCH_RUN/rt-warm"
    for _ in $(seq "$SAMPLES"); do sleep "$PAUSE"; query_s "$2"; done >"$BENCH_RUN/rt-pause"
    _warm=$(bench_median_ms "$BENCH_RUN/rt-warm")
    _pause=$(bench_median_ms "$BENCH_RUN/rt-pause")
    printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "$3" "$_warm" "$(in_round_trips "$_warm" "$3")" "$_pause" \
        "$(in_round_trips "$_pause" "$3")"
}
in_round_trips() { # <ms> <delay ms each way>
    awk -v ms="$1" -v d="$2" 'BEGIN {if (d > 0 && ms != "-") printf "%.1f", ms / (2 * d); else print "-"}'
}
hosts_point_at() { # <address>: where doh.corvane.test is (rewritten in place: /etc/hosts is bound to it)
    printf '127.0.0.1 localhost\n::1 localhost\n%s doh.corvane.test\n' "$1" >"$BENCH_RUN/hosts"
}
echo
echo "Round trips, one query in flight: warm, and after a ${PAUSE} s pause (dnsdist closes idle connections after 2 s);"
echo "median of $SAMPLES queries in ms, and in round trips of the added delay (ms / (2 × delay))"
echo
echo "| path | added delay each way, ms | warm ms | warm round trips | after pause ms | after pause round trips |"
echo "|---|---|---|---|---|---|"
hosts_point_at "$RELAY"
for delay in 0 20; do
    python3 "$here/delay-relay.py" "$RELAY" "$delay" 853=$BENCH_TLS_SERVER:853 443=$BENCH_TLS_SERVER:443 \
        53=127.53.0.2:53 >"$BENCH_RUN/relay-$delay.log" 2>&1 &
    RELAY_PID=$!
    BENCH_PIDS="$BENCH_PIDS $RELAY_PID"
    bench_wait_until 10 "delay relay" grep -q relaying "$BENCH_RUN/relay-$delay.log" || bench_die "the delay relay did not start"
    bench_start_stubby "$RELAY_STUBBY" "$RELAY"
    round_trips "stubby -> DoT" "$RELAY_STUBBY" "$delay"
    bench_stop "$BENCH_STUBBY_PID"
    for proto in 0 2 1; do
        bench_start_agent 1 "$proto" false "$RELAY"
        bench_agent_ready
        case $proto in 0) name="agent, UDP" ;; 1) name="agent, DoH" ;; 2) name="agent, DoT" ;; esac
        round_trips "$name" "$BENCH_AGENT" "$delay"
        bench_stop_agent
    done
    bench_stop "$RELAY_PID"
done
hosts_point_at "$BENCH_TLS_SERVER"

# Busy ticks of every CPU (user, nice, system, irq, softirq): what one path
# costs the whole machine, forwarder, resolver and load generator together.
machine_cpu_ticks() { awk '$1 == "cpu" {print $2 + $3 + $4 + $7 + $8}' /proc/stat; }

# measure <label> <server> <pid or empty> [extra dnsperf args]
measure() {
    _label=$1 _srv=$2 _pid=$3
    shift 3
    rtt=$(bench_rtt "$_srv" "$@")
    for clients in 1 20; do
        c0=0 c1=0
        [ -n "$_pid" ] && c0=$(bench_cpu_ticks "$_pid")
        r0=$(bench_cpu_ticks "$BENCH_TLS_PID")
        m0=$(machine_cpu_ticks)
        p0=$(bench_plain_queries)
        bench_dnsperf "$_srv" "$clients" 100 "$seconds" "$@"
        p1=$(bench_plain_queries)
        m1=$(machine_cpu_ticks)
        r1=$(bench_cpu_ticks "$BENCH_TLS_PID")
        [ -n "$_pid" ] && c1=$(bench_cpu_ticks "$_pid")
        cpu="-"
        [ -n "$_pid" ] && cpu=$(cpu_per_k $((c1 - c0)) "$PERF_DONE")
        case "$_label" in
        stubby*) eval "stubby_$clients=$PERF_QPS" ;;
        "agent, UDP"*) eval "udp_$clients=$PERF_QPS" ;;
        esac
        sq=$(bench_get "stubby_$clients" 0)
        uq=$(bench_get "udp_$clients" 0)
        printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$run" "$_label" "$clients" "$PERF_QPS" \
            "$PERF_LOST" "$(ratio "$PERF_QPS" "$sq")" "$(ratio "$PERF_QPS" "$uq")" "$PERF_MEAN_MS" "$rtt" "$cpu" \
            "$(cpu_per_k $((r1 - r0)) "$PERF_DONE")" "$(cpu_per_k $((m1 - m0)) "$PERF_DONE")" \
            "$(awk -v p=$((p1 - p0)) -v n="$PERF_DONE" 'BEGIN {if (n > 0) printf "%.1f", 100 * p / n; else print "-"}')"
    done
}

run=1
while [ $run -le "$repeat" ]; do
    # Ratios are taken within one run only.
    unset stubby_1 stubby_20 udp_1 udp_20
    echo
    echo "Encrypted upstreams, run $run: ${seconds}s per figure, dnsperf -q 100, $(nproc) CPUs"
    echo
    echo "| run | path | clients | qps | lost | ×stubby | ×agent UDP | mean ms | rtt ms (median, 1 in flight) | forwarder cpu ms/1000q | dnsdist cpu ms/1000q | machine cpu ms/1000q | % over plain UDP |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    measure "dnsperf -m dot straight to dnsdist" $BENCH_TLS_SERVER "" -m dot
    measure "stubby -> DoT" $BENCH_STUBBY "$STUBBY_PID"
    bench_start_agent 1 0 false 127.53.0.2
    bench_agent_ready
    measure "agent, UDP -> dnsdist" $BENCH_AGENT "$BENCH_AGENT_PID"
    bench_stop_agent
    bench_start_agent 1 2 false 127.53.0.2
    bench_agent_ready
    measure "agent, DoT" $BENCH_AGENT "$BENCH_AGENT_PID"
    bench_stop_agent
    bench_start_agent 1 1 false 127.53.0.2
    bench_agent_ready
    measure "agent, DoH" $BENCH_AGENT "$BENCH_AGENT_PID"
    bench_stop_agent
    run=$((run + 1))
done
