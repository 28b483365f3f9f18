#!/bin/sh
# First dnsperf figure for the agent's DNS proxy: the same query list against
# the agent (127.0.0.1:53, plain-UDP transport) and directly against the same
# upstream (knotd on 127.53.0.53), one after the other in one run, inside the
# harness's private network namespace.
#
# usage: bench/dns/run.sh <build-dir> [seconds per run (default 10)]
# Environment: BENCH_LOG_STATUS=true|false (agent's debug logging, default false),
#              BENCH_PROTECTION=1 to mark queries (upstream is then the service's resolver).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: bench/dns/run.sh <build-dir> [seconds]}
export BENCH_SECONDS="${2:-10}"
exec "$root/scripts/harness/run-in-ns.sh" "$build" --agent -- "$here/dnsperf-compare.sh"
