#!/bin/sh
# Runs inside the harness (see run.sh): points the agent's plain-UDP transport
# at one upstream and runs dnsperf against the agent and against the upstream.
set -eu
seconds=${BENCH_SECONDS:-10}
ini="$CORVANE_AGENT_STATE_DIR/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
list="$CORVANE_HARNESS_RUN/bench-queries.txt"

set_setting=$(cd "$(dirname "$0")/../../tests" && pwd)/set-setting.py
setting() { python3 "$set_setting" "$ini" "$@"; }

if [ "${BENCH_PROTECTION:-0}" = 1 ]; then
    upstream=127.53.0.1 # the service's resolver reads the identity record
    setting USER TOKEN 1001
    setting CONTROL DNS_TYPE_PROTECTION 1
else
    upstream=127.53.0.53 # knotd, authoritative for example.test
    setting CONTROL DNS_TYPE_PROTECTION 2
fi
setting CONTROL DNS_IP_V4 "$upstream"
setting CONTROL DNS_TYPE_PROTOCOL 0
setting CONTROL LOG_STATUS "${BENCH_LOG_STATUS:-false}"
printf 'www.example.test A\nallowed.example.test A\nwww.example.test AAAA\nmail.example.test A\ntxt.example.test TXT\nexample.test MX\nldap.example.test A\nsocial.example.test A\n' >"$list"

# The agent reads changed settings within a second; wait until it relays to the new upstream.
deadline=$(($(date +%s) + 10))
until [ "$(dig +time=1 +tries=1 +short @127.0.0.1 txt.example.test TXT)" = '"corvane test zone"' ]; do
    [ "$(date +%s)" -lt "$deadline" ] || { echo "agent does not relay to $upstream" >&2; exit 1; }
    sleep 0.2
done
sleep 1.5 # let the one-second settings refresh settle before measuring

run() { # <label> <server>
    echo "== $1: dnsperf -s $2 -d $list -l $seconds -c 8 -q 200"
    dnsperf -s "$2" -d "$list" -l "$seconds" -c 8 -q 200 2>&1 |
        grep -E 'Queries sent|Queries completed|Queries lost|Queries per second|Average Latency|Latency StdDev'
}
run "agent (127.0.0.1 -> $upstream)" 127.0.0.1
run "direct ($upstream)" "$upstream"
