#!/bin/sh
# Start-up: time from process start to the first answered query, for the
# agent (protection on, token, plain UDP to knotd) and, in the same run, for
# dnsmasq and dnsdist forwarding to the same knotd. The probe
# (corvane-bench-first-answer) starts the server itself and sends one query
# every millisecond until the first answer arrives.
#
# usage: startup.sh <build-dir> [--repeat N] (default 5)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--repeat N]" >&2; exit 2; }
build=$1
shift
repeat=5
while [ $# -gt 0 ]; do
    case "$1" in
    --repeat) repeat=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
bench_require knotd dnsmasq dnsdist dig
bench_setup "$build"
probe=${CORVANE_BENCH_PROBE:-$BENCH_BUILD/bench/dnsproxy/corvane-bench-first-answer}
[ -x "$probe" ] || bench_die "$probe not built (ninja corvane-bench-first-answer)"
bench_start_knot

# first <label> <server> <command...>: appends the milliseconds to the label's list.
first() {
    _var=$1 _srv=$2
    shift 2
    _out=$("$probe" "$_srv" 20 "$@" 2>>"$BENCH_RUN/probe.log") || true
    _ms=${_out%% *}
    _pid=${_out##* }
    [ -n "$_pid" ] && bench_stop "$_pid"
    eval "$_var=\"\$$_var $_ms\""
}

stats() { # numbers -> "median (min–max)"
    printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {printf "%s (%s–%s)", v[int((NR + 1) / 2)], v[1], v[NR]}'
}

cat >"$BENCH_RUN/dnsdist-start.conf" <<CONF
setLocal("$BENCH_DNSDIST:53")
newServer({address="$BENCH_KNOT:53", healthCheckMode="up"})
CONF
agent="" dnsmasq="" dnsdist=""
i=1
while [ $i -le "$repeat" ]; do
    bench_prepare_agent 1 0 false
    first agent $BENCH_AGENT env CORVANE_STATE_DIR="$BENCH_AGENT_DIR/state" "$BENCH_AGENT_DIR/bin/agentcorvane"
    first dnsmasq $BENCH_DNSMASQ "$(bench_tool dnsmasq)" --keep-in-foreground --no-daemon --conf-file=/dev/null \
        --no-resolv --no-hosts --listen-address=$BENCH_DNSMASQ --bind-interfaces --port=53 --user=root \
        --pid-file= --server=$BENCH_KNOT --cache-size=0 --dns-forward-max=10000
    first dnsdist $BENCH_DNSDIST "$(bench_tool dnsdist)" --supervised --disable-syslog -C "$BENCH_RUN/dnsdist-start.conf"
    i=$((i + 1))
done

echo
echo "Start-up to first answer, ms: median (min–max) of $repeat starts, $(nproc) CPUs"
echo
echo "| server | ms to first answer | runs |"
echo "|---|---|---|"
# shellcheck disable=SC2086 # one word per start
printf '| dnsmasq (baseline) | %s |%s |\n' "$(stats $dnsmasq)" "$dnsmasq"
# shellcheck disable=SC2086 # one word per start
printf '| dnsdist (baseline) | %s |%s |\n' "$(stats $dnsdist)" "$dnsdist"
# shellcheck disable=SC2086 # one word per start
printf '| agent | %s |%s |\n' "$(stats $agent)" "$agent"
