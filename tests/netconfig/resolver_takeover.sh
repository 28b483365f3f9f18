#!/bin/bash
# The agent takes over the namespace's real resolver configuration: with an
# /etc/resolv.conf that names an unreachable server, ordinary programs
# (getent, curl) reach the agent once it runs and are filtered once it is
# signed in; SIGTERM puts the file back byte for byte; after kill -9 the file
# stays pointed at the agent, a restart (1 s later, as systemd's RestartSec=1
# does) carries on from the backup, and its stop restores the original.
# Prints the time from kill -9 to the first answer again.
# Runs inside scripts/harness/run-in-ns.sh (knotd and the development service).
# Usage: resolver_takeover.sh <agentcorvane>
set -u
. "$(dirname "$0")/../lib.sh"
agent="$1"
ctl="$CORVANE_BUILD_DIR/tools/corvanectl/corvanectl"
work=$(mktemp -d)
pid=
on_exit() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null
    umount /etc/resolv.conf 2>/dev/null
    rm -rf "$work"
}
on_fail() {
    echo "--- agent log (tail)"
    tail -n 40 "$work"/bin/log/* 2>/dev/null
    echo "--- /etc/resolv.conf"
    cat /etc/resolv.conf
}
taken_over() { grep -q '^nameserver 127\.0\.0\.1$' /etc/resolv.conf; }
# answers <name> <address>: the first address getent finds. resolv.conf
# allows one try of 1 s, which a loaded machine can miss: no answer at all is
# asked again (three times at most); a wrong answer fails at once.
answers() {
    local got=""
    for _ in 1 2 3; do
        got=$(getent ahostsv4 "$1" | awk '{ print $1; exit }')
        [ -n "$got" ] && break
    done
    [ "$got" = "$2" ]
}

mkdir -p "$work/bin"
cp "$agent" "$work/bin/agentcorvane"
export CORVANE_STATE_DIR="$work/state"

# A resolver configuration the agent must take over: a server that cannot be
# reached, a search domain, options, no final line break, a CR.
printf '# resolver of this test\r\nnameserver 192.0.2.99\nsearch example.test\noptions timeout:1 attempts:1' >"$work/resolv.conf"
cp "$work/resolv.conf" "$work/resolv.conf.orig"
mount --bind "$work/resolv.conf" /etc/resolv.conf || fail "cannot bind-mount resolv.conf"
ip link add corvane0 type dummy 2>/dev/null || ip link add corvane0 type veth peer name corvane0p || fail "no link"
ip link set corvane0 up
answers www.example.test 192.0.2.10 && fail "names resolve before the agent runs"

start_agent() {
    "$work/bin/agentcorvane" &
    pid=$!
}
stop_agent() {
    kill -TERM $pid
    wait_for 100 "agent still running 10 s after SIGTERM" sh -c "! kill -0 $pid"
    wait $pid
    local code=$?
    pid=
    [ $code -eq 0 ] || fail "exit code after SIGTERM: $code"
}

started=$(ms)
start_agent
wait_for 100 "resolv.conf not taken over within 10 s" taken_over
wait_for 100 "getent does not resolve through the agent" answers www.example.test 192.0.2.10
echo "agent start to first answer: $(($(ms) - started)) ms (baseline for the restart below)"
grep -q '^search example.test$' /etc/resolv.conf || fail "search line lost"
answers www 192.0.2.10 || fail "short name not resolved through the search domain"
answers blocked.example.test 192.0.2.66 || fail "signed out, a blocked name must resolve"
echo "ok - getent resolves through the agent"

# Signed in (protection on): the same ordinary programs are filtered.
printf 'demo-password\n' >"$work/password"
printf '4321\n' >"$work/pin"
"$ctl" --timeout 30000 --pin-file "$work/pin" signin demo --password-file "$work/password" >"$work/signin.log" 2>&1 ||
    fail "sign-in: $(tail -n 3 "$work/signin.log")"
wait_for 100 "blocked name not filtered for getent" answers blocked.example.test 127.53.0.4
answers allowed.example.test 192.0.2.11 || fail "an allowed name is filtered"
location=$(curl -sS -o /dev/null -m 10 -w '%{redirect_url}' "http://blocked.example.test/page")
case "$location" in
http://127.0.0.1:13107/*hostname=blocked.example.test*) echo "ok - curl is led to the block page" ;;
*) fail "curl not redirected to the block page: '$location'" ;;
esac
# Both logs are written in batches: poll rather than read once.
wait_for 50 "no marked query reached the service" \
    grep -q 'blocked.example.test A token=[0-9]* -> blocked' "$CORVANE_SERVICE_LOG"
# SRV queries still go to the servers the machine had before the takeover.
dig +time=1 +tries=1 @127.0.0.1 _ldap._tcp.example.test SRV >/dev/null 2>&1
wait_for 50 "SRV query not sent to the previous server" grep -q 'send to Local (192.0.2.99)' "$work"/bin/log/*.log
echo "ok - SRV goes to the server resolv.conf had before"

stop_agent
cmp -s /etc/resolv.conf "$work/resolv.conf.orig" || fail "stop did not restore resolv.conf: $(od -c /etc/resolv.conf | head)"
echo "ok - stop restores resolv.conf byte for byte"

# A crash: the file stays pointed at the agent; a restart 1 s later answers again.
start_agent
wait_for 100 "not taken over again" taken_over
wait_for 100 "no answer after the second start" answers www.example.test 192.0.2.10
killed=$(ms)
kill -9 $pid
wait $pid 2>/dev/null
pid=
taken_over || fail "a killed agent changed resolv.conf"
sleep 1
start_agent
until answers www.example.test 192.0.2.10; do
    [ $(($(ms) - killed)) -gt 20000 ] && fail "no answer 20 s after the restart"
    sleep 0.02
done
echo "kill -9 to first answer again: $(($(ms) - killed)) ms (restart 1000 ms after the kill, as RestartSec=1)"
# Signed in before the crash: the restarted agent filters from its first answer.
answers blocked.example.test 127.53.0.4 ||
    fail "the restarted agent does not filter: $(getent ahostsv4 blocked.example.test | head -n 1)"
stop_agent
cmp -s /etc/resolv.conf "$work/resolv.conf.orig" || fail "stop after the crash did not restore resolv.conf"
echo "ok - kill -9, restart and stop restore resolv.conf byte for byte"
echo "PASS: the agent takes over and gives back resolv.conf"
