#!/bin/sh
# UDP q/s of two agent binaries in one run: this build's agent and a
# baseline (another commit's agentcorvane), measured in turn (A B A B ...) with
# the same dnsperf load against the same upstream (knotd), each in a fresh
# harness namespace, so that a machine busy with other work weighs on both.
#
# usage: bench/dns/compare-agents.sh <build-dir> <baseline agentcorvane> [rounds (3)] [seconds (10)]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: compare-agents.sh <build-dir> <baseline agent> [rounds] [seconds]}" && pwd)
baseline=${2:?usage: compare-agents.sh <build-dir> <baseline agent> [rounds] [seconds]}
rounds=${3:-3}
export BENCH_SECONDS="${4:-10}"
qps() { # <agent>: the agent's q/s of one dnsperf run
    "$root/scripts/harness/run-in-ns.sh" "$build" --agent="$1" -- "$here/dnsperf-compare.sh" 2>/dev/null |
        awk '/^== agent/ { agent = 1 } /^== direct/ { agent = 0 } agent && /Queries per second/ { print $4 }'
}
echo "| round | this build q/s | baseline q/s | ratio |"
echo "|---|---|---|---|"
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
news=
olds=
i=1
while [ "$i" -le "$rounds" ]; do
    new=$(qps "$build/agent/host/agentcorvane")
    old=$(qps "$baseline")
    news="$news$new
"
    olds="$olds$old
"
    echo "| $i | $new | $old | $(awk -v a="$new" -v b="$old" 'BEGIN { if (b > 0) printf "%.3f", a / b }') |"
    i=$((i + 1))
done
new=$(printf '%s' "$news" | median)
old=$(printf '%s' "$olds" | median)
echo "| median | $new | $old | $(awk -v a="$new" -v b="$old" 'BEGIN { if (b > 0) printf "%.3f", a / b }') |"
