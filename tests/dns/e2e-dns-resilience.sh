#!/bin/bash
# The machine's DNS is never the agent's hostage. With the filtering service's
# resolver dropped silently, as a firewall drops it (nft: no refused
# connection, no ICMP), then let through again, for plain UDP, DoT and DoH:
#  - resolver down: names are answered by the network's own server (knotd,
#    the namespace's resolv.conf before the agent took over) within 2 s of the
#    first failure, every later one within 1 s; getent works; "RESOLVER DOWN"
#    is logged; in fail-closed mode (CONTROL/FAIL_MODE) SERVFAIL comes at once;
#  - only the DoT/DoH host down: blocked names still get the block page,
#    over plain UDP to the service;
#  - back: filtered again within 10 s, on the chosen transport.
# `corvanectl status --json` reports each state. Prints every time it measures. Runs inside scripts/harness/run-in-ns.sh
# (knotd and the development service). Usage: e2e-dns-resilience.sh <agentcorvane>
set -u
. "$(dirname "$0")/../lib.sh"
agent="$1"
ctl="$CORVANE_BUILD_DIR/tools/corvanectl/corvanectl"
command -v nft >/dev/null 2>&1 || { echo "nft is missing (apt-get install nftables); skipped" >&2; exit 77; }
work=$(mktemp -d)
pid=
on_exit() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null
    nft delete table inet cvdrop 2>/dev/null
    umount /etc/resolv.conf 2>/dev/null
    rm -rf "$work"
}
on_fail() {
    sleep 2; cp -r "$work/bin/log" "$CORVANE_HARNESS_RUN/resilience-log" 2>/dev/null
    echo "--- agent log (RESOLVER lines, tail)"
    grep -h "RESOLVER\|clock jumped" "$work"/bin/log/* 2>/dev/null | tail -n 20
    tail -n 20 "$work"/bin/log/* 2>/dev/null
}
knot=127.53.0.53
blockpage=127.53.0.4
ini="$work/state/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"

# setting <group> <key> <value>: one value of the agent's settings store; the
# agent sees it within a second.
set_setting=$(cd "$(dirname "$0")/.." && pwd)/set-setting.py
setting() { python3 "$set_setting" "$ini" "$@"; }
# first <name>: the first address of the agent's answer (one try of 1 s).
first() { dig +time=1 +tries=1 +short @127.0.0.1 "$1" A 2>/dev/null | head -n 1; }
answers() { [ "$(first "$1")" = "$2" ]; }
# took <name> <address>: milliseconds until the agent answered with that
# address (one try of 3 s); fails when it did not.
took() {
    local start got
    start=$(ms)
    got=$(dig +time=3 +tries=1 +short @127.0.0.1 "$1" A 2>/dev/null | head -n 1)
    [ "$got" = "$2" ] || return 1
    echo $(($(ms) - start))
}
drop() { # <what>: resolver | encrypted
    nft delete table inet cvdrop 2>/dev/null
    {
        echo 'table inet cvdrop {'
        echo '  chain out {'
        echo '    type filter hook output priority 0;'
        echo '    ip daddr 127.53.0.3 tcp dport { 443, 853 } drop'
        if [ "$1" = resolver ]; then
            echo '    ip daddr 127.53.0.1 udp dport 53 drop'
            echo '    ip6 daddr fd00:53::1 udp dport 53 drop'
        fi
        echo '  }'
        echo '}'
    } | nft -f - || fail "nft refused the rules"
}
let_through() { nft delete table inet cvdrop; }
transport_name() { case "$1" in 0) echo udp ;; 1) echo doh ;; 2) echo dot ;; esac; }
last_transport() {
    cv-admin queries | python3 -c '
import json, sys
entries = [q for q in json.load(sys.stdin)["queries"] if q["name"] == sys.argv[1]]
print(entries[-1]["transport"] if entries else "none")' "$1"
}
resolver_lines() { cat "$work"/bin/log/* 2>/dev/null | grep -c -- "$1"; }

mkdir -p "$work/bin"
cp "$agent" "$work/bin/agentcorvane"
export CORVANE_STATE_DIR="$work/state"
# The network's own resolver, as the link had it before the agent came.
printf 'nameserver %s\noptions timeout:1 attempts:2\n' "$knot" >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf || fail "cannot bind-mount resolv.conf"
ip link add corvane0 type dummy 2>/dev/null || ip link add corvane0 type veth peer name corvane0p || fail "no link"
ip link set corvane0 up
"$work/bin/agentcorvane" &
pid=$!
wait_for 200 "the agent does not answer" answers www.example.test 192.0.2.10
printf 'demo-password\n' >"$work/password"
printf '4321\n' >"$work/pin"
"$ctl" --timeout 30000 --pin-file "$work/pin" signin demo --password-file "$work/password" >"$work/signin.log" 2>&1 ||
    fail "sign-in: $(tail -n 3 "$work/signin.log")"
wait_for 100 "blocked name not filtered after sign-in" answers blocked.example.test $blockpage

# resolver_line: the agent's STATUSRESOLVER line.
resolver_line() { "$ctl" status --json 2>/dev/null | grep '"info":"STATUSRESOLVER"'; }
# resolver_state <state>: whether the agent's resolver state is <state>.
resolver_state() { resolver_line | grep -q "\"state\":\"$1\""; }

for proto in 0 2 1; do
    name=$(transport_name "$proto")
    echo "== $name"
    setting CONTROL DNS_TYPE_PROTOCOL "$proto"
    setting CONTROL FAIL_MODE open
    cv-admin queries-clear >/dev/null
    wait_for 100 "$name: not filtered on the chosen transport" \
        sh -c "[ \"\$(dig +time=1 +tries=1 +short @127.0.0.1 blocked.example.test A | head -n 1)\" = $blockpage ] && [ \"\$(cv-admin queries | grep -c '\"transport\": *\"$name\"')\" -gt 0 ]"

    if [ "$proto" != 0 ]; then
        # Only the encrypted path is blocked: still filtered, over plain UDP.
        drop encrypted
        cv-admin queries-clear >/dev/null
        t=$(took blocked.example.test $blockpage) || fail "$name blocked: the block page answer did not come"
        echo "$name blocked: first blocked-name answer (plain UDP) after $t ms"
        [ "$(last_transport blocked.example.test)" = udp ] ||
            fail "$name blocked: blocked.example.test reached the service over '$(last_transport blocked.example.test)'"
        # The second query without an answer takes the path down; later ones go by plain UDP at once.
        took blocked.example.test $blockpage >/dev/null || fail "$name blocked: no second answer"
        t=$(took blocked.example.test $blockpage) || fail "$name blocked: no later answer"
        echo "$name blocked: a later blocked-name answer after $t ms"
        [ "$t" -lt 1000 ] || fail "$name blocked: a later blocked name took $t ms"
        wait_for 30 "$name blocked: the status is not 'plain': $(resolver_line)" resolver_state plain
        let_through
        started=$(ms)
        cv-admin queries-clear >/dev/null
        wait_for 150 "$name back: not on $name again within 15 s" \
            sh -c "dig +time=1 +tries=1 +short @127.0.0.1 blocked.example.test A >/dev/null; cv-admin queries | grep -q '\"transport\": *\"$name\"'"
        echo "$name back: on $name again after $(($(ms) - started)) ms"
    fi

    # The service's resolver down on every transport: fail open to knotd.
    downs=$(resolver_lines "RESOLVER DOWN")
    drop resolver
    # A query that finds a connection a probe has just set up gets SERVFAIL
    # at the 2-s bound; each takes a rung of the ladder down.
    t=""
    for _ in 1 2 3 4 5; do t=$(took www.example.test 192.0.2.10) && break; done
    [ -n "$t" ] || fail "$name down: no answer from the network's server in five queries"
    echo "$name down: first answer (the network's server) after $t ms"
    t=$(took www.example.test 192.0.2.10) || fail "$name down: no second answer"
    wait_for 50 "$name down: no \"RESOLVER DOWN\" logged" sh -c "[ \$(grep -h 'RESOLVER DOWN' $work/bin/log/* | wc -l) -gt $downs ]"
    t=$(took blocked.example.test 192.0.2.66) || fail "$name down: blocked name not answered by the network's server"
    echo "$name down: a later answer after $t ms (unfiltered: the service cannot be reached)"
    [ "$t" -lt 1000 ] || fail "$name down: a later answer took $t ms"
    getent ahostsv4 www.example.test | grep -q 192.0.2.10 || fail "$name down: getent does not resolve"
    wait_for 30 "$name down: the status is not 'open': $(resolver_line)" resolver_state open

    # Fail closed: SERVFAIL at once.
    setting CONTROL FAIL_MODE closed
    wait_for 30 "$name closed: no SERVFAIL" sh -c "dig +time=1 +tries=1 @127.0.0.1 www.example.test A | grep -q 'status: SERVFAIL'"
    q=$(dig +time=1 +tries=1 @127.0.0.1 www.example.test A | sed -n 's/^;; Query time: \([0-9]*\) msec/\1/p')
    echo "$name closed: SERVFAIL in ${q:-?} ms"
    { [ -n "$q" ] && [ "$q" -lt 50 ]; } || fail "$name closed: SERVFAIL took '${q}' ms"
    wait_for 30 "$name closed: the status is not 'closed': $(resolver_line)" resolver_state closed
    setting CONTROL FAIL_MODE open

    # Back: filtered again within 10 s, on the chosen transport.
    let_through
    started=$(ms)
    cv-admin queries-clear >/dev/null
    wait_for 100 "$name back: not filtered on $name within 10 s" \
        sh -c "[ \"\$(dig +time=1 +tries=1 +short @127.0.0.1 blocked.example.test A | head -n 1)\" = $blockpage ] && cv-admin queries | grep -q '\"transport\": *\"$name\"'"
    echo "$name back: filtered on $name again after $(($(ms) - started)) ms"
    wait_for 30 "$name back: the status is not 'filtered': $(resolver_line)" resolver_state filtered
done
grep -q "RESOLVER UP" "$work"/bin/log/* || fail "no \"RESOLVER UP\" logged"
echo "PASS"
