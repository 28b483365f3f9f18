#!/bin/bash
# The whole agent beside the development service, driven through its control
# channel with corvanectl: protocol and protection switches decide how the next
# query leaves the agent, a blocked name ends on the service's block page with
# the machine's token, and the control and block-page ports answer on the
# loopback addresses only. Runs inside scripts/harness/run-in-ns.sh (no agent
# of the harness: this script starts its own with a prepared settings store).
set -u

. "$(dirname "$0")/../lib.sh"
fails_with() { # <exit status> <command...>
    local want=$1
    shift
    "$@" >/dev/null 2>&1
    local got=$?
    [ "$got" = "$want" ] || { echo "     expected exit $want, got $got" >&2; return 1; }
}

build=${CORVANE_BUILD_DIR:?run inside scripts/harness/run-in-ns.sh}
run=${CORVANE_HARNESS_RUN:?run inside scripts/harness/run-in-ns.sh}
domain=${CORVANE_DOMAIN:-corvane.test}
ctl=${CORVANE_CTL:-$build/tools/corvanectl/corvanectl}
agent=${CORVANE_AGENT_BIN:-$build/agent/host/agentcorvane}
{ [ -x "$ctl" ] && [ -x "$agent" ]; } || { echo "corvanectl or agentcorvane not built" >&2; exit 1; }

# The machine holds token 1001 of the seeded account "demo" (profile Kids,
# which blocks blocked.example.test and adult.example.test).
state="$run/control-agent-state"
ini="$state/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
mkdir -p "$(dirname "$ini")"
printf '[USER]\nTOKEN=1001\nUID=uid-e2e\n' >"$ini"
chmod 600 "$ini"

# --- a squatter on the control port ------------------------------------------------
# Before the agent starts, an unprivileged program holds 127.0.0.1:49101 and
# greets like the agent. corvanectl must send it no PIN and no password, and
# say why; a command without secrets reaches it (the squatter's record is not
# blind).
printf '4321\n' >"$run/pin"
printf 'demo-password\n' >"$run/password"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
    /usr/bin/python3 "$(dirname "$0")/port-squatter.py" 127.0.0.1 49101 4321 demo-password >"$run/squatter.log" 2>&1 &
squatter_pid=$!
deadline=$((SECONDS + 10))
until grep -q '^listening$' "$run/squatter.log" 2>/dev/null; do
    { [ $SECONDS -lt $deadline ] && kill -0 "$squatter_pid" 2>/dev/null; } ||
        { echo "the squatter did not start" >&2; cat "$run/squatter.log" >&2; exit 1; }
    sleep 0.1
done
"$ctl" --timeout 3000 --pin-file "$run/pin" signin demo --password-file "$run/password" >"$run/squat-signin.out" 2>&1
check "squatter: corvanectl refuses to sign in through it (exit 2)" equals "$?" 2
check "squatter: and names why" contains "$(cat "$run/squat-signin.out")" \
    "not sending the PIN or password: the program on 127.0.0.1:49101 is not the agent (the listener on 127.0.0.1:49101 belongs to uid $(id -u nobody)"
"$ctl" --timeout 3000 --pin-file "$run/pin" pin check >"$run/squat-pin.out" 2>&1
check "squatter: corvanectl refuses to check the PIN through it (exit 2)" equals "$?" 2
"$ctl" --timeout 2000 status >/dev/null 2>&1
# The squatter logs a connection once the client has gone: wait for the third.
deadline=$((SECONDS + 10))
until [ "$(grep -c '^bytes=' "$run/squatter.log")" -ge 3 ] || [ $SECONDS -ge $deadline ]; do
    sleep 0.1
done
kill "$squatter_pid" 2>/dev/null
wait "$squatter_pid" 2>/dev/null
check "squatter: it got a connection but no byte from the sign-in and the PIN check" \
    equals "$(sed -n 2,3p "$run/squatter.log" | tr '\n' ' ')" "bytes=0 secret=no bytes=0 secret=no "
check "squatter: a command without secrets did reach it" grep -q '^bytes=[1-9][0-9]* secret=no$' "$run/squatter.log"
deadline=$((SECONDS + 10))
while ss -Hltn 'sport = :49101' | grep -q .; do
    [ $SECONDS -lt $deadline ] || { echo "the squatter's port stayed open" >&2; exit 1; }
    sleep 0.1
done

CORVANE_STATE_DIR="$state" "$agent" >"$run/control-agent.log" 2>&1 &
agent_pid=$!
stop_agent() {
    kill -TERM "$agent_pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$agent_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$agent_pid" 2>/dev/null
    wait "$agent_pid" 2>/dev/null
}
on_exit() { stop_agent; }

ready() {
    [ "$(dig +time=1 +tries=1 +short @127.0.0.1 "www.$domain" A)" = 127.53.0.2 ] &&
        "$ctl" --timeout 1000 status >/dev/null 2>&1
}
deadline=$((SECONDS + 20))
until ready; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$agent_pid" 2>/dev/null; then
        echo "the agent did not become ready" >&2
        tail -n 30 "$run/control-agent.log" >&2
        exit 1
    fi
    sleep 0.2
done

# How the service saw the last query for a name: "<transport> <marked> <token>".
seen() {
    cv-admin queries | jq -r --arg n "$1" \
        '[.queries[] | select((.name | rtrimstr(".")) == $n)] | last | "\(.transport) \(.marked) \(.token)"'
}
# Resolves a name through the agent after clearing the service's query log.
ask() {
    cv-admin queries-clear >/dev/null
    dig +time=3 +tries=1 +short @127.0.0.1 "$1" A | tail -n 1
}

# --- state before any switch ----------------------------------------------------
status=$("$ctl" status --json)
check "status reports no stored sign-in data" contains "$status" '{"data":{"status":false},"info":"STATUSAUTHDATA"}'
check "status reports plain DNS" contains "$status" '{"data":{"dns_protocol":0},"info":"DNSPROTOCOL"}'
check "status lists the interfaces" contains "$status" '"info":"NETWORKINTERFACES"'
check "the summary says so at a glance" contains "$("$ctl" status)" "Signed in:  no"
check "protection unset: a blocked name resolves" equals "$(ask blocked.example.test)" "192.0.2.66"
check "protection unset: the query went out unmarked over UDP" equals "$(seen blocked.example.test)" "udp false null"

# --- protection and protocol ----------------------------------------------------
check "corvanectl filtering on" equals "$("$ctl" filtering on)" ""
check "protection on: the blocked name gets the block page" equals "$(ask blocked.example.test)" "127.53.0.4"
check "protection on: marked with the machine's token over UDP" equals "$(seen blocked.example.test)" "udp true 1001"

check "corvanectl protocol dot" equals "$("$ctl" protocol dot)" ""
check "DoT: blocked" equals "$(ask adult.example.test)" "127.53.0.4"
check "DoT: the query went out over TLS, marked" equals "$(seen adult.example.test)" "dot true 1001"
check "DoT: an allowed name still resolves" equals "$(ask allowed.example.test)" "192.0.2.11"

check "corvanectl protocol doh" equals "$("$ctl" protocol doh)" ""
check "DoH: blocked below a blocked domain" equals "$(ask sub.blocked.example.test)" "127.53.0.4"
check "DoH: the query went out over HTTPS, marked" equals "$(seen sub.blocked.example.test)" "doh true 1001"
check "status shows the protocol chosen" contains "$("$ctl" status --json)" '{"data":{"dns_protocol":1},"info":"DNSPROTOCOL"}'

check "corvanectl filtering off" equals "$("$ctl" filtering off)" ""
check "protection off: the blocked name resolves" equals "$(ask blocked.example.test)" "192.0.2.66"
check "protection off: unmarked over plain UDP despite DoH" equals "$(seen blocked.example.test)" "udp false null"

# --- block page -----------------------------------------------------------------
"$ctl" protocol dns >/dev/null
"$ctl" filtering on >/dev/null
# From here the namespace's own resolver is the agent, as on a protected machine.
printf 'nameserver 127.0.0.1\noptions timeout:2 attempts:2\n' >"$run/resolv.conf"
page=$(curl -sS -L --max-time 15 -w '\n%{url_effective}' "http://blocked.example.test/news/today.html?a=1")
check "curl -L on a blocked name ends on the service's block page" \
    contains "$(printf '%s' "$page" | tail -n 1)" "http://blockpage.$domain/blocked?hostname=blocked.example.test&token=1001&url="
check "the block page shows the machine's token" contains "$page" 'id="token">1001<'
check "the block page shows the blocked host" contains "$page" 'id="hostname">blocked.example.test<'
hops=$(curl -sS -L --max-time 15 -o /dev/null -D - "http://adult.example.test/" | grep -ci '^HTTP/1.1 303')
check "the agent answered with one 303" equals "$hops" "1"
tls=$(curl -sS -k -L --max-time 15 -o /dev/null -w '%{url_effective}' "https://blocked.example.test/secure")
check "over HTTPS the agent sends the browser to the TLS block page" \
    contains "$tls" "https://blockpage-tls.$domain/blocked?hostname=blocked.example.test&token=1001&url="

# --- bad input ----------------------------------------------------------------
(printf '\377\377\000\000garbage' >/dev/tcp/127.0.0.1/49101) 2>/dev/null
(head -c 3000000 /dev/zero >/dev/tcp/127.0.0.1/13107) 2>/dev/null
(printf 'GET /?blockpage=b&hostname=h' >/dev/tcp/127.0.0.1/13107) 2>/dev/null
check "control channel still serves after garbage" contains "$("$ctl" status --json)" '"info":"DNSPROTOCOL"'
check "block page still serves after garbage" \
    contains "$(curl -sS --max-time 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:13107/?blockpage=blockpage.$domain&hostname=h&url=u")" "303"
# Any web page can send the browser here: a foreign block-page host gets a
# plain 400 and never the machine's token.
foreign=$(curl -sS --max-time 5 -D - 'http://127.0.0.1:13107/?blockpage=evil.example&hostname=h&url=u')
check "a foreign block-page host gets 400" contains "$(printf '%s' "$foreign" | head -n 1)" "400 Bad Request"
check "and no token" bash -c "! printf '%s' '$foreign' | grep -qiE 'token|location'"
hidden=$(curl -sS --max-time 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:13107/?blockpage=evil.example/x.$domain&hostname=h&url=u")
check "a foreign host with the service domain in its path gets 400" equals "$hidden" "400"

# --- sign-in state: login and logout --------------------------------------------
# Login keeps an explicit off; after a logout it switches protection on.
"$ctl" filtering off >/dev/null
check "login while off stays off" contains "$("$ctl" login)" '{"data":{"status":0},"info":"STATUSFILTERINGLOCAL"}'
check "corvanectl logout" equals "$("$ctl" logout)" ""
check "login after logout switches on" contains "$("$ctl" login)" '{"data":{"status":1},"info":"STATUSFILTERINGLOCAL"}'
# The logout dropped the machine's token with the sign-in data: until the
# next sign-in the queries leave unmarked, so nothing is filtered.
check "after logout the blocked name resolves" equals "$(ask blocked.example.test)" "192.0.2.66"
check "after logout the query leaves unmarked" equals "$(seen blocked.example.test)" "udp false null"
check "after logout the stored UID is kept" grep -q '^UID=uid-e2e' "$ini"

check "corvanectl send with data" contains "$("$ctl" send SETCOORDGUI '{"x":"10","y":"20"}' && "$ctl" send GETCOORDGUI)" \
    '{"data":{"x":"10","y":"20"},"info":"COORDGUI"}'
check "corvanectl refuses an unknown protocol" fails_with 3 "$ctl" protocol quic

# --- the PIN guards the personal area --------------------------------------------
# One connection kept open, as the GUI keeps it (see control-session.py).
session() { python3 "$(dirname "$0")/control-session.py" "$1"; }
logged() { cat "$build"/agent/host/log/*.log 2>/dev/null | grep -c "$1"; }
logged_more() { # <text> <count>: the log holds more than count such lines within 5 s
    # (the writer hands lines to the file in batches up to 100 ms apart)
    for _ in $(seq 50); do
        [ "$(logged "$1")" -gt "$2" ] && return 0
        sleep 0.1
    done
    return 1
}
gui_pin() { # <pin> <message> <data>: the GUI's flow, the PIN first
    session "[[\"HELLOGUI\",null,\"HELLOAGENT\"],[\"CHECKPIN\",{\"pin_code\":\"$1\"},\"STATUSCHECKPIN\"],
              [\"$2\",$3,null],[\"AUTHDATA\",null,\"STATUSAUTHDATA\"]]"
}
# The sign-in waits 4 s for a slow backend; clients that connect meanwhile
# are taken and answered, and the sign-in's answer reaches its own client.
cv-admin faults-add '{"http":[{"path":"/api/token/by-password/","method":"POST","action":"delay","delay_ms":4000,"count":1}]}' >/dev/null
# A PIN that nobody signed in for is refused, and answered.
check "CREATEPIN without a sign-in on its connection is refused" \
    contains "$("$ctl" send CREATEPIN '{"pin_code":"9999"}')" '{"data":{"status":2},"info":"STATUSCREATEPIN"}'
# A web page's POST to the control port is closed at its first bytes.
# curl: 52 an empty reply, 56 a reset; 28 would be a connection left open.
http_post_status() {
    curl -sS --max-time 3 -o /dev/null -H 'Content-Type: text/plain' --data-binary @/dev/null \
        http://127.0.0.1:49101/ 2>/dev/null
    echo $?
}
closed_unanswered() { case "$1" in 52 | 56) return 0 ;; esac; echo "     curl exit $1" >&2; return 1; }
check "an HTTP request to the control port is closed unanswered" closed_unanswered "$(http_post_status)"
"$ctl" --timeout 60000 --pin-file "$run/pin" signin demo --password-file "$run/password" >"$run/signin.out" 2>&1 &
signin_pid=$!
sleep 1
waiting=""
for i in 1 2 3 4; do
    "$ctl" --timeout 3000 status --json >"$run/waiting-$i.out" 2>&1 &
    waiting="$waiting $!"
done
# shellcheck disable=SC2086 # one word per process ID
wait $waiting
for i in 1 2 3 4; do
    check "client $i answered while the sign-in waits" contains "$(cat "$run/waiting-$i.out")" '"info":"DNSPROTOCOL"'
done
wait $signin_pid
check "sign-in over the control channel, answered to its own client" \
    contains "$(cat "$run/signin.out")" '{"data":{"status":1},"info":"STATUSCHECKAUTH"}'
check "the real agent: PIN created on the sign-in's connection" \
    contains "$(cat "$run/signin.out")" '{"data":{"status":1},"info":"STATUSCREATEPIN"}'
check "a separate PIN creation is a usage error" fails_with 3 "$ctl" --pin-file "$run/pin" pin create
check "--pin on the command line warns" contains "$("$ctl" --pin 4321 --timeout 5000 status 2>&1 >/dev/null)" \
    "warning: --pin puts the PIN on the command line"
check "signed in and protected: the blocked name gets the block page" equals "$(ask blocked.example.test)" "127.53.0.4"
summary=$("$ctl" --pin-file "$run/pin" status)
printf "%s\n" "$summary" | sed "s/^/     /"
check "the summary with the PIN: protection on" contains "$summary" "Protection: on"
check "the summary with the PIN: the account's name" sh -c "printf '%s\n' \"\$1\" | grep -q '^Account: *[^ (]'" - "$summary"
check "the summary without the PIN asks for it" contains "$("$ctl" status)" "Account:    (PIN needed)"
ignored=$(logged 'PIN NOT GIVEN ON THIS CONNECTION, IGNORED STATUSFILTERINGLOCAL')
"$ctl" send STATUSFILTERINGLOCAL '{"status":0}' >/dev/null
"$ctl" send LOGOUT >/dev/null
check "a second client without the PIN cannot switch filtering off" equals "$(ask blocked.example.test)" "127.53.0.4"
check "nor sign the machine out" contains "$("$ctl" send AUTHDATA)" '{"data":{"status":true},"info":"STATUSAUTHDATA"}'
check "the agent logged the ignored command" logged_more 'PIN NOT GIVEN ON THIS CONNECTION, IGNORED STATUSFILTERINGLOCAL' "$ignored"
check "the GUI's flow (PIN first) switches filtering off" \
    contains "$(gui_pin 4321 STATUSFILTERINGLOCAL '{"status":0}')" '{"data":{"status":1},"info":"STATUSCHECKPIN"}'
check "filtering is off" equals "$(ask blocked.example.test)" "192.0.2.66"
# Wrong PINs: the third in a row locks every check out for 10 s, whichever connection asks.
# The three wrong PINs, the right one and a command go out in one write: the
# agent reads them together, so its own work (a certificate import can hold it
# for seconds) cannot come between them and outlast the lock-out.
lockout=$(session '[["HELLOGUI",null,"HELLOAGENT"],["CHECKPIN",{"pin_code":"0000"},"-"],
    ["CHECKPIN",{"pin_code":"1111"},"-"],["CHECKPIN",{"pin_code":"2222"},"-"],["CHECKPIN",{"pin_code":"4321"},"-"],
    ["STATUSFILTERINGLOCAL",{"status":1},"-"],["AUTHDATA",null,"STATUSAUTHDATA"]]')
check "locked out: even the right PIN is answered 0" \
    test "$(printf '%s\n' "$lockout" | grep -c '^{"data":{"status":0},"info":"STATUSCHECKPIN"}$')" -eq 4
check "and the command after it has no effect" equals "$(ask blocked.example.test)" "192.0.2.66"
sleep 10
check "after the lock-out the right PIN opens again" \
    contains "$(gui_pin 4321 STATUSFILTERINGLOCAL '{"status":1}')" '{"data":{"status":1},"info":"STATUSCHECKPIN"}'
check "and filtering is back on" equals "$(ask blocked.example.test)" "127.53.0.4"

# --- loopback only ----------------------------------------------------------------
ip addr add 192.0.2.77/32 dev lo
check "the control port answers on ::1" contains "$("$ctl" --host ::1 status --json)" '"info":"DNSPROTOCOL"'
check "nothing answers on 49101 from a non-loopback address" fails_with 2 "$ctl" --host 192.0.2.77 --timeout 3000 status
check "nothing answers on 13107 from a non-loopback address" fails_with 7 curl -sS --max-time 3 "http://192.0.2.77:13107/"
check "49101 listens on the loopback addresses only" \
    equals "$(ss -Hltn 'sport = :49101' | awk '{print $4}' | sort | tr '\n' ' ')" "127.0.0.1:49101 [::1]:49101 "

check "the agent is still running" kill -0 "$agent_pid"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; agent log: $run/control-agent.log" >&2
    tail -n 40 "$run/control-agent.log" >&2
    exit 1
fi
echo "all control-channel checks passed"
