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
bench_start_knot
bench_start_tls_server
bench_start_stubby

# measure <label> <server> <pid or empty> [extra dnsperf args]
measure() {
    _label=$1 _srv=$2 _pid=$3
    shift 3
    rtt=$(bench_rtt "$_srv" "$@")
    for clients in 1 20; do
        c0=0 c1=0
        [ -n "$_pid" ] && c0=$(bench_cpu_ticks "$_pid")
        bench_dnsperf "$_srv" "$clients" 100 "$seconds" "$@"
        [ -n "$_pid" ] && c1=$(bench_cpu_ticks "$_pid")
        cpu="-"
        [ -n "$_pid" ] && cpu=$(cpu_per_k $((c1 - c0)) "$PERF_DONE")
        case "$_label" in
        stubby*) eval "stubby_$clients=$PERF_QPS" ;;
        "agent, UDP"*) eval "udp_$clients=$PERF_QPS" ;;
        esac
        eval "sq=\${stubby_$clients:-0} uq=\${udp_$clients:-0}"
        printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$run" "$_label" "$clients" "$PERF_QPS" \
            "$PERF_LOST" "$(ratio "$PERF_QPS" "$sq")" "$(ratio "$PERF_QPS" "$uq")" "$PERF_MEAN_MS" "$rtt" "$cpu"
    done
}

run=1
while [ $run -le "$repeat" ]; do
    # Ratios are taken within one run only.
    unset stubby_1 stubby_20 udp_1 udp_20
    echo
    echo "Encrypted upstreams, run $run: ${seconds}s per figure, dnsperf -q 100, $(nproc) CPUs"
    echo
    echo "| run | path | clients | qps | lost | ×stubby | ×agent UDP | mean ms | rtt ms (median, 1 in flight) | forwarder cpu ms/1000q |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    measure "dnsperf -m dot straight to dnsdist" $BENCH_TLS_SERVER "" -m dot
    measure "stubby -> DoT" $BENCH_STUBBY "$BENCH_STUBBY_PID"
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
