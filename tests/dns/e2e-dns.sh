#!/bin/sh
# End-to-end checks of the agent's DNS proxy, run by scripts/harness/run-in-ns.sh
# with --agent (knotd, the development service and the agent are up).
#
# dig and kdig ask the agent on 127.0.0.1 / ::1; the agent relays over plain
# UDP, DNS-over-TLS and DNS-over-HTTPS to the development service, marked with
# the machine's token while protection is on. Then dnsdist (Debian) serves as an
# independent DoT/DoH upstream in front of the service's resolver, so the
# agent's TLS framing and HTTP/1.1 requests meet a program we did not write.
# dnsdist's certificate comes from e2e-dns-trust.sh, which made the agent trust
# it (CORVANE_E2E_DNSDIST_ADDRESS, _CERT, _KEY).
set -eu
. "$(dirname "$0")/../lib.sh"
command -v dnsdist >/dev/null 2>&1 || { echo "dnsdist is missing; skipped" >&2; exit 77; }
{ [ -n "${CORVANE_E2E_DNSDIST_CERT:-}" ] && [ -n "${CORVANE_E2E_DNSDIST_KEY:-}" ] &&
    [ -n "${CORVANE_E2E_DNSDIST_ADDRESS:-}" ]; } ||
    { echo "run through e2e-dns-trust.sh (dnsdist's certificate, trusted by the agent)" >&2; exit 2; }

ini="$CORVANE_AGENT_STATE_DIR/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
token=1001           # machine "demo-pc" of account 101, profile 2 (Kids) blocks blocked.example.test
blockpage=127.53.0.4
dnsdist_addr=$CORVANE_E2E_DNSDIST_ADDRESS
work="$CORVANE_HARNESS_RUN/e2e-dns"
mkdir -p "$work"
dnsdist_pid=""

on_fail() { [ -f "$work/dnsdist.log" ] && tail -n 20 "$work/dnsdist.log"; }
step() { echo "== $*"; }

on_exit() {
    [ -n "$dnsdist_pid" ] || return 0
    kill -TERM "$dnsdist_pid" 2>/dev/null
    wait "$dnsdist_pid" 2>/dev/null
}

# setting <group> <key> <value>: writes one value of the agent's settings store
# (INI file of the emulated registry); the agent sees it within a second.
set_setting=$(cd "$(dirname "$0")/.." && pwd)/set-setting.py
setting() { python3 "$set_setting" "$ini" "$@"; }

ask() { # <server> <name> <type>: short answer from dig
    dig +time=3 +tries=1 +short "@$1" "$2" "$3"
}

diag_has_token() { # <server>: the service saw our identity record
    ask "$1" black.corvane.test TXT | grep -q "token=$token "
}

# marked_over <transport>: a marked answer that reached the service over the
# given transport (the agent takes a new setting up within a second, and the
# transport it used before marks too).
marked_over() {
    diag_has_token 127.0.0.1 && [ "$(last_query black.corvane.test transport)" = "$1" ]
}

diag_unmarked() {
    ask 127.0.0.1 black.corvane.test TXT | grep -q "unmarked query"
}

# last_query <name> <field>: a field of the service's newest log entry for <name>.
last_query() {
    cv-admin queries | python3 -c '
import json, sys
name, field = sys.argv[1], sys.argv[2]
entries = [q for q in json.load(sys.stdin)["queries"] if q["name"] == name]
print(entries[-1][field] if entries else "none")' "$1" "$2"
}

chosen_is() { # <protocol number>: the transport the agent reports as chosen
    _want=DoT
    [ "$1" = 1 ] && _want=DoH
    # The agent takes a new setting with the next query.
    ask 127.0.0.1 www.example.test A >/dev/null
    "$CORVANE_BUILD_DIR/tools/corvanectl/corvanectl" status --json 2>/dev/null |
        grep '"info":"STATUSRESOLVER"' | grep -q "\"chosen\":\"$_want\""
}
connections() { # <port>: the local ends of the agent's connections to dnsdist's <port>
    ss -Htn state established "( dport = :$1 and dst $dnsdist_addr )" | awk '{print $3}' | sort
}
has_connection() { [ -n "$(connections "$1")" ]; }
no_connection_held() { # <port>: none for 3 s on end (a reopen takes milliseconds)
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        ! has_connection "$1" || return 1
        sleep 0.3
    done
}
reopened() { # <port> <local ends before>: a connection open that was not open before
    _now=$(connections "$1")
    [ -n "$_now" ] && [ "$_now" != "$2" ]
}
resumptions() { # <port>: TLS sessions dnsdist's frontend on <port> resumed
    curl -s -m 3 -H "X-API-Key: e2e-key" "http://$dnsdist_addr:8083/api/v1/servers/localhost" | python3 -c '
import json, sys
port = ":" + sys.argv[1]
print(sum(f.get("tlsResumptions", 0) for f in json.load(sys.stdin)["frontends"] if f["address"].endswith(port)))' "$1"
}
more_resumptions() { [ "$(resumptions "$1")" -gt "$2" ]; }

transport_name() {
    case "$1" in 0) echo udp ;; 1) echo doh ;; 2) echo dot ;; esac
}

check_filtered() { # <protocol number> <expected transport at the service>
    proto=$1
    expect=$2
    cv-admin queries-clear >/dev/null
    for server in 127.0.0.1 ::1; do
        got=$(ask "$server" blocked.example.test A)
        [ "$got" = "$blockpage" ] || fail "protocol $proto, dig @$server blocked.example.test: '$got'"
        got=$(kdig +time=3 +retry=0 +short "@$server" blocked.example.test A)
        [ "$got" = "$blockpage" ] || fail "protocol $proto, kdig @$server blocked.example.test: '$got'"
        got=$(ask "$server" www.example.test AAAA)
        [ "$got" = "2001:db8::10" ] || fail "protocol $proto, @$server www.example.test AAAA: '$got'"
    done
    [ "$(last_query blocked.example.test marked)" = "True" ] || fail "protocol $proto: query not marked"
    [ "$(last_query blocked.example.test token)" = "$token" ] || fail "protocol $proto: wrong token"
    last_query blocked.example.test transport | grep -Eqx "$expect" ||
        fail "protocol $proto: service saw transport $(last_query blocked.example.test transport), want $expect"
    # Many queries at once: pipelined on one connection, every one answered.
    i=0
    pids=""
    while [ $i -lt 30 ]; do
        (got=$(ask 127.0.0.1 "n$i.blocked.example.test" A) && [ "$got" = "$blockpage" ]) &
        pids="$pids $!"
        i=$((i + 1))
    done
    for p in $pids; do
        wait "$p" || fail "protocol $proto: a parallel query got no filtered answer"
    done
}

step "protection on, token $token"
setting USER TOKEN "$token"
setting CONTROL DNS_TYPE_PROTECTION 1
for proto in 0 2 1; do
    step "protocol $proto ($(transport_name $proto)) to the development service"
    setting CONTROL DNS_TYPE_PROTOCOL "$proto"
    until_ok 10 marked_over "$(transport_name $proto)" ||
        fail "protocol $proto: no marked answer over $(transport_name $proto)"
    check_filtered "$proto" "$(transport_name $proto)"
done

step "protection off: unmarked, plain UDP"
setting CONTROL DNS_TYPE_PROTECTION 2
until_ok 10 diag_unmarked || fail "protection off still marks"
got=$(ask 127.0.0.1 blocked.example.test A)
[ "$got" = "192.0.2.66" ] || fail "protection off: blocked.example.test '$got'"
[ "$(last_query blocked.example.test transport)" = "udp" ] || fail "protection off: not plain UDP"
setting CONTROL DNS_TYPE_PROTECTION 1

step "dnsdist as the DoT/DoH upstream"
ip addr add "$dnsdist_addr/32" dev lo 2>/dev/null || true
cp "$CORVANE_E2E_DNSDIST_CERT" "$work/cert.pem"
cp "$CORVANE_E2E_DNSDIST_KEY" "$work/key.pem"
cat >"$work/dnsdist.conf" <<CONF
setACL({"127.0.0.0/8", "::1/128"})
setLocal("$dnsdist_addr:5300", {maxInFlight=64})
addTLSLocal("$dnsdist_addr:853", "$work/cert.pem", "$work/key.pem", {maxInFlight=64})
addDOHLocal("$dnsdist_addr:443", "$work/cert.pem", "$work/key.pem", "/", {idleTimeout=2})
newServer({address="127.53.0.1:53", maxInFlight=64})
webserver("$dnsdist_addr:8083")
setWebserverConfig({apiKey="e2e-key", acl="127.0.0.0/8"})
CONF
dnsdist --supervised --disable-syslog -C "$work/dnsdist.conf" >"$work/dnsdist.log" 2>&1 &
dnsdist_pid=$!
until_ok 15 sh -c "kdig +time=1 +retry=0 +short @$dnsdist_addr -p 853 +tls www.example.test A | grep -q 192.0.2.10" ||
    fail "dnsdist did not start"
setting CONTROL DNS_DOMAIN "$dnsdist_addr"
for proto in 2 1; do
    step "protocol $proto ($(transport_name $proto)) through dnsdist"
    setting CONTROL DNS_TYPE_PROTOCOL "$proto"
    # Both encrypted transports mark: wait until the agent has taken the switch.
    until_ok 10 chosen_is "$proto" || fail "protocol $proto: the agent did not take the protocol setting"
    cv-admin queries-clear >/dev/null
    until_ok 10 diag_has_token 127.0.0.1 || fail "protocol $proto via dnsdist: no marked answer"
    # dnsdist reaches the service over UDP or TCP, with our identity record intact.
    check_filtered "$proto" "udp|tcp"
    # dnsdist closes an idle connection after 2 s; traffic was recent, so
    # the agent opens the next one at once, resuming the TLS session
    # (dnsdist 1.7 counts the resumptions of its DoT frontend only).
    step "protocol $proto: dnsdist closes the idle connection; the next one opens at once, resumed"
    port=853
    [ "$proto" = 1 ] && port=443
    until_ok 5 has_connection "$port" || fail "protocol $proto: no connection to dnsdist after its answers"
    first=$(connections "$port")
    resumed=$(resumptions "$port")
    until_ok 15 reopened "$port" "$first" || fail "protocol $proto: no new connection after dnsdist closed the idle one"
    if [ "$proto" = 2 ]; then
        until_ok 5 more_resumptions "$port" "$resumed" ||
            fail "protocol $proto: the new connection did not resume the session (dnsdist counts $(resumptions "$port"))"
    fi
    got=$(ask 127.0.0.1 www.example.test A)
    [ "$got" = "192.0.2.10" ] || fail "protocol $proto: no answer after an idle close: '$got'"
    if [ "$proto" = 1 ]; then
        # dnsdist answers the requests of one DoH connection one after the
        # other: under load the agent opens a few more, and no more.
        step "protocol $proto: a burst is carried over a few connections, every query answered"
        printf 'www.example.test A\nexample.test A\n' >"$work/burst-queries"
        dnsperf -s 127.0.0.1 -d "$work/burst-queries" -c 20 -q 100 -Q 2000 -l 2 -t 3 >"$work/burst.out" 2>&1 &
        burst_pid=$!
        most=0
        while kill -0 "$burst_pid" 2>/dev/null; do
            n=$(connections "$port" | wc -l)
            [ "$n" -gt "$most" ] && most=$n
            sleep 0.1
        done
        wait "$burst_pid" || fail "dnsperf failed: $(tail -3 "$work/burst.out")"
        lost=$(awk '/Queries lost:/ {print $3}' "$work/burst.out")
        [ "$lost" = 0 ] || fail "protocol $proto: $lost queries of the burst unanswered: $(grep -E 'Queries (sent|completed)' "$work/burst.out")"
        echo "burst: $(awk '/Queries completed:/ {print $3}' "$work/burst.out") queries answered, $most connections at most"
        if [ "$most" -lt 2 ] || [ "$most" -gt 6 ]; then
            fail "protocol $proto: the burst used $most connections at most, not 2 to 6"
        fi
    fi
    # 30 s after the last answer the agent stops opening connections again
    # (DoT and DoH share that code: one transport shows it).
    [ "$proto" = 2 ] || continue
    step "protocol $proto: no connection held 30 s after the last query"
    until_ok 45 no_connection_held "$port" || fail "protocol $proto: a connection is still held after 30 s idle"
    got=$(ask 127.0.0.1 www.example.test A)
    [ "$got" = "192.0.2.10" ] || fail "protocol $proto: no answer after the idle time: '$got'"
done
kill -TERM "$dnsdist_pid" 2>/dev/null || true
wait "$dnsdist_pid" 2>/dev/null || true
dnsdist_pid=""

# An impostor on the path: the same dnsdist, reached the same way, with a
# certificate for its address that no trusted anchor signed. It must learn no
# name (the service behind it sees none) and answer none.
impostor=127.53.0.6
ip addr add "$impostor/32" dev lo 2>/dev/null || true
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=$impostor" -addext "subjectAltName=IP:$impostor" \
    -keyout "$work/impostor.key" -out "$work/impostor.crt" 2>/dev/null || fail "openssl could not make a certificate"
sed -e "s|$dnsdist_addr|$impostor|g" -e "s|$work/cert.pem|$work/impostor.crt|" -e "s|$work/key.pem|$work/impostor.key|" \
    "$work/dnsdist.conf" >"$work/impostor.conf"
dnsdist --supervised --disable-syslog -C "$work/impostor.conf" >"$work/dnsdist.log" 2>&1 &
dnsdist_pid=$!
until_ok 15 sh -c "kdig +time=1 +retry=0 +short @$impostor -p 853 +tls www.example.test A | grep -q 192.0.2.10" ||
    fail "the impostor's dnsdist did not start"
setting CONTROL DNS_DOMAIN "$impostor"
# The agent's log folder is beside its binary.
ssl_errors() { cat "$CORVANE_BUILD_DIR"/agent/host/log/*.log 2>/dev/null | grep -c "Ssl errors:" || true; }
more_ssl_errors() { [ "$(ssl_errors)" -gt "$1" ]; }
for proto in 2 1; do
    step "protocol $proto ($(transport_name $proto)): an impostor's certificate, no query through it"
    setting CONTROL DNS_TYPE_PROTOCOL "$proto"
    cv-admin queries-clear >/dev/null
    before=$(ssl_errors)
    name="impostor$proto.example.test"
    # dig prints its time-out on standard output too; an answer is an address.
    # The query is still answered: by plain UDP to the service's own
    # resolver (marked, filtered), never through the impostor.
    got=$(dig +time=3 +tries=1 @127.0.0.1 "$name" A || true)
    until_ok 10 more_ssl_errors "$before" ||
        fail "protocol $proto: no \"Ssl errors:\" for the impostor's certificate"
    via=$(last_query "$name" transport)
    [ "$via" = udp ] || fail "protocol $proto: $name reached the service over '$via', not plain UDP"
    printf '%s\n' "$got" | grep -q "status: NXDOMAIN" || fail "protocol $proto: no answer over the fallback"
done
setting CONTROL DNS_DOMAIN "doh.$CORVANE_DOMAIN"
for proto in 2 1; do
    step "protocol $proto ($(transport_name $proto)): the service's resolver again"
    setting CONTROL DNS_TYPE_PROTOCOL "$proto"
    until_ok 15 marked_over "$(transport_name $proto)" || fail "protocol $proto: no answer from the service's resolver"
done
echo "e2e-dns: all checks passed"
