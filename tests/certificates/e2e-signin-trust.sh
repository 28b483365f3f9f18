#!/bin/bash
# The agent signed in from its command line and keeping the service's roots in
# the system trust store, inside the harness namespace (run-in-ns.sh without
# --agent). The trust store folders are private to the namespace: a copy of
# /etc/ssl/certs and an empty /usr/local/share/ca-certificates are mounted over
# the real ones, and the real update-ca-certificates works on them.
#
# 0. The agent trusts the backend only through the CA file fixed at build
#    time: with that file holding other roots (of the same names) the
#    agent refuses the service's TLS, and the sign-in data never leaves.
# 1. Started with -login=... -password=... -pin=..., the agent signs in by
#    itself; the next query through it carries the account's token.
# 2. Within its first checks it installs the service's two roots: curl then
#    trusts the block page over HTTPS without -k or --cacert.
# 3. One root removed from the store: the next check installs both again.
set -u

. "$(dirname "$0")/../lib.sh"

run=${CORVANE_HARNESS_RUN:?run inside scripts/harness/run-in-ns.sh}
build=${CORVANE_BUILD_DIR:?}
domain=${CORVANE_DOMAIN:-corvane.test}
agent="$build/agent/host/agentcorvane"
page="https://blockpage-tls.$domain/blocked?hostname=blocked.example.test&token=1&url=x"

# Private trust store: the harness mounts one over the system folders; an
# older harness that does not is given one here.
cadir=/usr/local/share/ca-certificates
if ! mountpoint -q "$cadir" || ! mountpoint -q /etc/ssl/certs; then
    mkdir -p "$run/ca-local" "$run/ssl-certs"
    cp -a /etc/ssl/certs/. "$run/ssl-certs/"
    mount --bind "$run/ca-local" "$cadir" || { echo "cannot mount the CA folder"; exit 1; }
    mount --bind "$run/ssl-certs" /etc/ssl/certs || { echo "cannot mount /etc/ssl/certs"; exit 1; }
fi

curl_trusts() { curl -sS -o /dev/null --max-time 5 -w '%{http_code}' "$page" | grep -qx 200; }
check "before the agent runs, curl does not trust the block page" bash -c "! curl -sS -o /dev/null --max-time 5 '$page'"

# 0. A backend whose certificate comes from a CA the agent does not know.
here=$(cd "$(dirname "$0")" && pwd)
sh "$here/../../devservice/config/make-certs.sh" "$run/other-tls" "$domain" >/dev/null
mount --bind "$run/other-tls/ca-bundle.crt" "$build/devservice/tls/ca-bundle.crt"
machines() {
    curl -sS --max-time 5 "$CORVANE_ADMIN_URL/admin/state" |
        python3 -c "import json,sys; print(sum(len(a['machines']) for a in json.load(sys.stdin)['accounts']))"
}
before=$(machines)
# The agent logs into files beside the program, kept across runs.
ssl_lines() { cat "$build"/agent/host/log/*.log 2>/dev/null | grep -c SSLERRORS; }
ssl_before=$(ssl_lines)
mkdir -p "$run/agent-state-untrusted"
CORVANE_STATE_DIR="$run/agent-state-untrusted" "$agent" -login=demo --password=demo-password -pin 4711 \
    >"$run/agent-untrusted.log" 2>&1 &
untrusted_pid=$!
refused() { [ "$(ssl_lines)" -gt "$ssl_before" ]; }
check "with an unknown CA the agent refuses the backend's certificate" until_ok 60 refused
check "and registers no machine" test "$(machines)" = "$before"
check "and its queries stay unmarked" until_ok 20 bash -c "dig +time=2 +tries=1 +short @127.0.0.1 black.$domain TXT | grep -q unmarked"
kill -TERM $untrusted_pid 2>/dev/null
wait $untrusted_pid 2>/dev/null
umount "$build/devservice/tls/ca-bundle.crt"

mkdir -p "$run/agent-state"
CORVANE_STATE_DIR="$run/agent-state" "$agent" -login=demo --password=demo-password -pin 4711 \
    >"$run/agent-e2e.log" 2>&1 &
agent_pid=$!
on_exit() {
    kill -TERM "$agent_pid" 2>/dev/null
    wait "$agent_pid" 2>/dev/null
}

check "agent relays DNS" until_ok 30 sh -c "dig +time=1 +tries=1 +short @127.0.0.1 www.$domain A | grep -qx 127.53.0.2"

# 1. Command-line sign-in: the machine is registered and its queries are marked.
txt() { dig +time=2 +tries=1 +short @127.0.0.1 "black.$domain" TXT; }
check "the next query through the agent is marked with the account's token" \
    until_ok 30 sh -c "dig +time=2 +tries=1 +short @127.0.0.1 black.$domain TXT | grep -q 'account=101'"
marked=$(txt)
token=$(printf '%s' "$marked" | sed -n 's/.*token=\([0-9]*\).*/\1/p')
state=$(curl -sS --max-time 5 "$CORVANE_ADMIN_URL/admin/state")
check "the token is the one the service issued to this machine" \
    python3 -c "
import json, sys
state = json.loads(sys.argv[1]); token = int(sys.argv[2])
machines = [m for a in state['accounts'] if a['id'] == 101 for m in a['machines']]
sys.exit(0 if any(m.get('token') == token and m.get('token') not in (1001, 1002) for m in machines) else 1)
" "$state" "${token:-0}"
check "the password never reaches the agent's log" bash -c "! grep -rqs 'demo-password' '$build/agent/host/log' '$run/agent-e2e.log'"

# 2. The service's roots in the trust store.
# update-ca-certificates takes seconds per run on a busy machine: generous limits.
check "curl trusts the block page once the agent installed the roots" until_ok 240 curl_trusts
two_files() { [ "$(find "$cadir" -maxdepth 1 -name 'corvane-*.crt' 2>/dev/null | wc -l)" -eq 2 ]; }
check "two certificate files of the service in the folder" until_ok 180 two_files
check "they are the service's roots" bash -c "[ \$(for f in '$cadir'/corvane-*.crt; do openssl x509 -in \"\$f\" -noout -subject; done | grep -c 'CN = Corvane Root CA') -eq 2 ]"

# 3. One root removed by hand: the next check reinstalls both.
for f in "$cadir"/corvane-*.crt; do
    if openssl x509 -in "$f" -noout -subject | grep -q 'Corvane Root CA 1'; then rm -f "$f"; fi
done
update-ca-certificates >/dev/null 2>&1
check "with root 1 gone curl no longer trusts the block page" bash -c "! curl -sS -o /dev/null --max-time 5 '$page'"
check "the next check installs both roots again" until_ok 300 curl_trusts
check "again two certificate files" until_ok 180 two_files

if [ "$failures" -ne 0 ]; then
    echo "--- agent output"; tail -n 40 "$run/agent-e2e.log"
    echo "--- agent log"; tail -n 60 "$(find "$build/agent/host/log" -name '*.log' -printf '%T@ %p\n' 2>/dev/null | sort -n | tail -n 1 | cut -d' ' -f2-)" 2>/dev/null
fi
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
