#!/bin/sh
# Plain-UDP forwarding: dnsperf against knotd directly, dnsmasq (cache off,
# dns-forward-max raised), dnsdist over UDP, and the agent with protection off
# and on (token set, queries marked), with the debug-log switch off and on; all
# forward to the same knotd. Prints one markdown table per run, the baselines
# measured in the same run.
#
# usage: udp-forwarding.sh <build-dir> [--seconds N] [--repeat N] [--rate QPS]
#                          [--baseline AGENT-BINARY] [--no-log]
#   --seconds  length of each throughput run (default 5)
#   --repeat   how many times the whole table is measured (default 2)
#   --rate     offered load of the latency runs, queries/s (default 2000)
#   --baseline another agent binary (an earlier build) measured in the same
#              run, log off, protection off and on: a before/after comparison
#   --no-log   leave out the runs with the debug log on
#
# Columns: qps = queries/s with at most 100 outstanding (dnsperf -q 100; the
# lost column shows whether it was loss-free), mean = mean latency of that
# run, p50/p99 = percentiles at the fixed offered rate (--rate), rtt = median
# latency with one query in flight, measured in turns with knotd and dnsmasq
# (3 × 1 s each) so that "rtt +ms vs direct" and "dnsmasq rtt +ms" compare
# the same moments of the machine, cpu = the server's CPU milliseconds per
# 1000 queries (user + system, from /proc; the agent's log writer thread is
# part of the process). After each table, the debug log's cost: the agent with
# the log on against the same build with it off, dnsmasq and dnsdist.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--seconds N] [--repeat N] [--rate QPS]" >&2; exit 2; }
build=$1
shift
seconds=5
repeat=2
rate=2000
baseline=
nolog=
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds=$2; shift ;;
    --repeat) repeat=$2; shift ;;
    --rate) rate=$2; shift ;;
    --baseline) baseline=$2; shift ;;
    --no-log) nolog=1 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
bench_require knotd dnsmasq dnsdist dnsperf dig
bench_setup "$build"
bench_start_knot
bench_start_dnsmasq
bench_start_dnsdist_udp

# measure <label> <server> <pid of the server process> <key for the summary>
measure() {
    bench_rtt_paired "$2" 3
    rtt=$RTT_MS
    rtt_added=$(diff_ms "$RTT_MS" "$RTT_DIRECT_MS")
    dnsmasq_added=$(diff_ms "$RTT_DNSMASQ_MS" "$RTT_DIRECT_MS")
    for clients in 1 20; do
        c0=$(bench_cpu_ticks "$3")
        bench_dnsperf "$2" "$clients" 100 "$seconds"
        c1=$(bench_cpu_ticks "$3")
        qps=$PERF_QPS lost=$PERF_LOST mean=$PERF_MEAN_MS
        cpu=$(cpu_per_k $((c1 - c0)) "$PERF_DONE")
        bench_latency "$2" "$clients" "$rate" 3
        if [ "$1" = "knotd direct" ]; then
            eval "base_qps_$clients=$qps base_p99_$clients=$LAT_P99_MS"
        fi
        [ "$1" = "dnsmasq" ] && eval "mq_qps_$clients=$qps"
        eval "sum_qps_$4_$clients=$qps sum_cpu_$4_$clients=$cpu"
        bq=$(bench_get "base_qps_$clients")
        bp=$(bench_get "base_p99_$clients")
        mq=$(bench_get "mq_qps_$clients" 0)
        printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' \
            "$run" "$1" "$clients" "$qps" "$lost" "$(ratio "$qps" "$bq")" "$(ratio "$qps" "$mq")" "$mean" \
            "$LAT_P50_MS" "$LAT_P99_MS" "$(diff_ms "$LAT_P99_MS" "$bp")" "$rtt" "$rtt_added" "$dnsmasq_added" "$cpu"
    done
}

run=1
while [ $run -le "$repeat" ]; do
    # Ratios are taken within one run only.
    unset mq_qps_1 mq_qps_20
    echo
    echo "UDP forwarding, run $run: ${seconds}s per throughput figure, p99 at ${rate} q/s offered, $(nproc) CPUs"
    echo
    echo "| run | server | clients | qps (q<=100) | lost | ×knotd | ×dnsmasq | mean ms | p50 ms @rate | p99 ms @rate | p99 +ms vs direct | rtt ms | rtt +ms vs direct | dnsmasq rtt +ms, same time | cpu ms/1000q |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    measure "knotd direct" $BENCH_KNOT "$BENCH_KNOT_PID" knot
    measure "dnsmasq" $BENCH_DNSMASQ "$BENCH_DNSMASQ_PID" dnsmasq
    measure "dnsdist" $BENCH_DNSDIST "$BENCH_DNSDIST_PID" dnsdist
    # protection|log|key|label, one a line; the baseline's runs alternate
    # with this build's, so that both see the same moments of the machine.
    configs="0|false|off|protection off"
    [ -z "$baseline" ] || configs="$configs
0|false|baseoff|baseline, protection off"
    configs="$configs
1|false|on|protection on, token"
    [ -z "$baseline" ] || configs="$configs
1|false|baseon|baseline, protection on, token"
    [ -n "$nolog" ] || configs="$configs
0|true|offlog|protection off, log on
1|true|onlog|protection on, token, log on"
    printf '%s\n' "$configs" >"$BENCH_RUN/configs"
    own_bin=$BENCH_AGENT_BIN
    while IFS='|' read -r prot logon key label <&3; do
        case "$key" in base*) BENCH_AGENT_BIN=$baseline ;; *) BENCH_AGENT_BIN=$own_bin ;; esac
        bench_start_agent "$prot" 0 "$logon"
        bench_agent_ready
        measure "agent, $label" $BENCH_AGENT "$BENCH_AGENT_PID" "$key"
        bench_stop_agent
    done 3<"$BENCH_RUN/configs"
    BENCH_AGENT_BIN=$own_bin
    [ -z "$nolog" ] || { run=$((run + 1)); continue; }
    echo
    echo "Debug log, run $run: qps with the log on ×(log off, same build) / ×dnsmasq; log off ×dnsdist; cpu ms/1000q off → on"
    echo
    echo "| protection | clients | log on ×log off | log on ×dnsmasq | log off ×dnsdist | cpu off → on |"
    echo "|---|---|---|---|---|---|"
    for p in off on; do
        for clients in 1 20; do
            q0=$(bench_get "sum_qps_${p}_$clients")
            q1=$(bench_get "sum_qps_${p}log_$clients")
            c0=$(bench_get "sum_cpu_${p}_$clients")
            c1=$(bench_get "sum_cpu_${p}log_$clients")
            mq=$(bench_get "sum_qps_dnsmasq_$clients")
            dd=$(bench_get "sum_qps_dnsdist_$clients")
            printf '| %s | %s | %s | %s | %s | %s → %s |\n' "$p" "$clients" "$(ratio "$q1" "$q0")" \
                "$(ratio "$q1" "$mq")" "$(ratio "$q0" "$dd")" "$c0" "$c1"
        done
    done
    run=$((run + 1))
done
