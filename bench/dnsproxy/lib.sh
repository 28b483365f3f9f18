# shellcheck shell=sh
# Shared parts of the DNS proxy benchmarks. Sourced by the bench scripts after
# they have entered a private network + IPC + mount namespace (bench_enter_ns);
# everything here runs on that namespace's loopback only.
#
# Addresses inside the namespace:
#   127.53.0.53:53   knotd with the test zone example.test (the upstream of all)
#   127.53.0.54:53   dnsdist in front of knotd that drops a share of queries
#   127.53.0.3:853   dnsdist DoT frontend (maxInFlight, out of order) -> knotd
#   127.53.0.3:443   dnsdist DoH frontend (HTTP/1.1, path "/") -> knotd
#                    (both close a connection idle for 2 s)
#   127.0.0.1:53     the agent
#   127.0.0.2:53     dnsmasq, cache off, dns-forward-max raised
#   127.0.0.3:53     dnsdist forwarding over UDP
#   127.0.0.4:53     stubby forwarding over DoT to 127.53.0.3:853

BENCH_KNOT=127.53.0.53
BENCH_DROPPER=127.53.0.54
BENCH_TLS_SERVER=127.53.0.3
BENCH_AGENT=127.0.0.1
BENCH_DNSMASQ=127.0.0.2
BENCH_DNSDIST=127.0.0.3
BENCH_STUBBY=127.0.0.4
BENCH_PIDS=""
BENCH_TOKEN=1001

bench_log() { printf '[bench] %s\n' "$*" >&2; }
bench_die() {
    bench_log "ERROR: $*"
    exit 1
}

# bench_enter_ns "$0" "$@": re-executes the calling script inside a private
# network, IPC and mount namespace (exit 77 when the machine cannot).
bench_enter_ns() {
    [ -n "${CORVANE_BENCH_INSIDE:-}" ] && return 0
    [ "$(id -u)" = 0 ] || { echo "benchmarks need root (namespaces, port 53)" >&2; exit 77; }
    unshare --net --ipc --mount --propagation private true 2>/dev/null ||
        { echo "cannot create namespaces here" >&2; exit 77; }
    CORVANE_BENCH_INSIDE=1 exec unshare --net --ipc --mount --propagation private -- "$@"
}

bench_tool() { command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; } || true; }

bench_require() { # <tool...>
    for t in "$@"; do
        [ -n "$(bench_tool "$t")" ] || { echo "$t is missing (scripts/install-deps.sh installs it)" >&2; exit 77; }
    done
}

# bench_setup <build-dir>: loopback, addresses, private hosts/resolv.conf, run dir, certificates.
bench_setup() {
    BENCH_BUILD=$(cd "$1" && pwd)
    BENCH_SOURCE=${BENCH_SOURCE:-$(cd "$(dirname "$0")/../.." && pwd)}
    BENCH_AGENT_BIN="$BENCH_BUILD/agent/host/agentcorvane"
    [ -x "$BENCH_AGENT_BIN" ] || bench_die "$BENCH_AGENT_BIN not built"
    BENCH_RUN=$(mktemp -d /tmp/corvane-bench.XXXXXX)
    trap bench_finish EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    ip link set lo up || bench_die "cannot bring lo up"
    for a in 127.53.0.1 127.53.0.2 $BENCH_TLS_SERVER $BENCH_KNOT $BENCH_DROPPER; do
        ip addr add "$a/32" dev lo 2>/dev/null || true
    done
    ip -6 addr add fd00:53::53/128 dev lo nodad 2>/dev/null || true
    printf 'nameserver 127.53.0.53\noptions timeout:1 attempts:1\n' >"$BENCH_RUN/resolv.conf"
    printf '127.0.0.1 localhost\n::1 localhost\n%s doh.corvane.test\n' "$BENCH_TLS_SERVER" >"$BENCH_RUN/hosts"
    mount --bind "$BENCH_RUN/resolv.conf" /etc/resolv.conf || bench_die "cannot bind-mount resolv.conf"
    mount --bind "$BENCH_RUN/hosts" /etc/hosts || bench_die "cannot bind-mount hosts"
    "$BENCH_SOURCE/devservice/config/make-certs.sh" "$BENCH_RUN/tls" corvane.test "$BENCH_TLS_SERVER" >/dev/null ||
        bench_die "certificate generation failed"
    bench_trust_ca
    # The query mix: names of the test zone, the same for every server.
    printf '%s\n' "www.example.test A" "allowed.example.test A" "www.example.test AAAA" "mail.example.test A" \
        "txt.example.test TXT" "example.test MX" "ns.example.test A" "social.example.test A" \
        "blocked.example.test A" "ldap.example.test A" >"$BENCH_RUN/queries.txt"
}

# The agent verifies its DoT/DoH resolver against the system's roots and the
# CA file fixed at build time (CORVANE_EXTRA_CA_FILE). Inside this mount
# namespace that file shows the bench's own roots instead, so the agent trusts
# the bench's dnsdist as it would the service's resolver; nothing changes
# outside the namespace, and the agent has no switch for it.
bench_trust_ca() {
    _ca=$(sed -n 's/^CORVANE_EXTRA_CA_FILE:[A-Z]*=//p' "$BENCH_BUILD/CMakeCache.txt" 2>/dev/null || true)
    if [ -z "$_ca" ] || [ ! -f "$_ca" ]; then
        bench_log "warning: the agent of $BENCH_BUILD has no build-time CA file (CORVANE_EXTRA_CA_FILE='$_ca'):" \
            "its DoT/DoH transports will not trust the bench's resolver"
        return 0
    fi
    mount --bind "$BENCH_RUN/tls/ca-bundle.crt" "$_ca" || bench_die "cannot bind-mount the bench's CA file over $_ca"
    # shellcheck disable=SC2034 # an output of this function, read by the benches of DoT and DoH
    BENCH_CA_TRUSTED=1
}

bench_finish() {
    status=$?
    trap - EXIT INT TERM
    bench_stop_all
    if [ -n "${CORVANE_BENCH_KEEP:-}" ] || [ "$status" -ne 0 ]; then
        bench_log "files kept in $BENCH_RUN"
    else
        rm -rf "$BENCH_RUN"
    fi
    exit "$status"
}

bench_stop() { # <pid>: TERM, wait up to 5 s, then KILL
    _p=$1
    kill -TERM "$_p" 2>/dev/null || true
    _n=0
    while kill -0 "$_p" 2>/dev/null && [ $_n -lt 50 ]; do
        sleep 0.1
        _n=$((_n + 1))
    done
    kill -KILL "$_p" 2>/dev/null || true
    wait "$_p" 2>/dev/null || true
    BENCH_PIDS=$(echo " $BENCH_PIDS " | sed "s/ $_p / /")
}

bench_stop_all() {
    for _pid in $BENCH_PIDS; do bench_stop "$_pid"; done
    BENCH_PIDS=""
}

bench_wait_until() { # <seconds> <what> <command...>
    _limit=$1
    _what=$2
    shift 2
    _deadline=$(($(date +%s) + _limit))
    while ! "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$_deadline" ] || { bench_log "$_what not ready after ${_limit}s"; return 1; }
        sleep 0.05
    done
}

bench_answers() { # <server> [port]: one query answered
    dig +time=1 +tries=1 +short -p "${2:-53}" @"$1" www.example.test A | grep -qx 192.0.2.10
}

bench_start_knot() {
    mkdir -p "$BENCH_RUN/knot/db"
    cp "$BENCH_SOURCE/devservice/config/example.test.zone" "$BENCH_RUN/knot/example.test.zone"
    cat >"$BENCH_RUN/knot/knot.conf" <<EOF
server:
    rundir: "$BENCH_RUN/knot"
    listen: $BENCH_KNOT@53
    udp-workers: 1
    tcp-workers: 1
    background-workers: 1
log:
  - target: stderr
    any: warning
database:
    storage: "$BENCH_RUN/knot/db"
template:
  - id: default
    storage: "$BENCH_RUN/knot"
    file: "%s.zone"
    zonefile-sync: -1
    journal-content: none
zone:
  - domain: example.test
EOF
    "$(bench_tool knotd)" -c "$BENCH_RUN/knot/knot.conf" >>"$BENCH_RUN/knotd.log" 2>&1 &
    BENCH_KNOT_PID=$!
    BENCH_PIDS="$BENCH_PIDS $BENCH_KNOT_PID"
    bench_wait_until 15 knotd bench_answers $BENCH_KNOT || bench_die "knotd did not start"
}

bench_start_dnsmasq() {
    bench_start_dnsmasq_nowait
    bench_wait_until 15 dnsmasq bench_answers $BENCH_DNSMASQ || bench_die "dnsmasq did not start"
}

bench_start_dnsmasq_nowait() {
    "$(bench_tool dnsmasq)" --keep-in-foreground --no-daemon --conf-file=/dev/null --no-resolv --no-hosts \
        --listen-address=$BENCH_DNSMASQ --bind-interfaces --port=53 --user=root --pid-file= \
        --server=$BENCH_KNOT --cache-size=0 --dns-forward-max=10000 >>"$BENCH_RUN/dnsmasq.log" 2>&1 &
    BENCH_DNSMASQ_PID=$!
    BENCH_PIDS="$BENCH_PIDS $BENCH_DNSMASQ_PID"
}

# bench_start_dnsdist_conf <name> <config file>: dnsdist in the foreground
# with that configuration; its PID goes to BENCH_LAST_PID (not printed: a
# command substitution would run it in a subshell that forgets the PID list).
bench_start_dnsdist_conf() {
    "$(bench_tool dnsdist)" --supervised --disable-syslog -C "$2" >>"$BENCH_RUN/$1.log" 2>&1 &
    BENCH_LAST_PID=$!
    BENCH_PIDS="$BENCH_PIDS $BENCH_LAST_PID"
}

bench_start_dnsdist_udp() {
    cat >"$BENCH_RUN/dnsdist-udp.conf" <<EOF
setLocal("$BENCH_DNSDIST:53")
newServer({address="$BENCH_KNOT:53", healthCheckMode="up"})
setServerPolicy(firstAvailable)
EOF
    bench_start_dnsdist_conf dnsdist-udp "$BENCH_RUN/dnsdist-udp.conf"
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    BENCH_DNSDIST_PID=$BENCH_LAST_PID
    bench_wait_until 15 dnsdist bench_answers $BENCH_DNSDIST || bench_die "dnsdist did not start"
}

# dnsdist in front of knotd dropping <share> (0..1) of the queries it gets.
bench_start_dropper() { # <share>
    cat >"$BENCH_RUN/dnsdist-drop.conf" <<EOF
setLocal("$BENCH_DROPPER:53")
newServer({address="$BENCH_KNOT:53", healthCheckMode="up"})
addAction(ProbaRule($1), DropAction())
EOF
    bench_start_dnsdist_conf dnsdist-drop "$BENCH_RUN/dnsdist-drop.conf"
    bench_wait_until 15 "dnsdist (dropping)" sh -c "for i in 1 2 3 4 5 6 7 8; do dig +time=1 +tries=1 +short @$BENCH_DROPPER www.example.test A | grep -qx 192.0.2.10 && exit 0; done; exit 1" ||
        bench_die "dropping dnsdist did not start"
}

# The DoT (853, out-of-order with maxInFlight) and DoH (443, HTTP/1.1) server.
bench_start_tls_server() {
    # Its console tells how many queries came in over plain UDP (see
    # bench_plain_queries).
    cat >"$BENCH_RUN/dnsdist-tls.conf" <<EOF
controlSocket("$BENCH_TLS_SERVER:5199")
setKey("$(head -c 32 /dev/urandom | base64)")
setLocal("127.53.0.2:53")
addTLSLocal("$BENCH_TLS_SERVER:853", "$BENCH_RUN/tls/doh.crt", "$BENCH_RUN/tls/doh.key", {maxInFlight=1000, provider="openssl"})
addDOHLocal("$BENCH_TLS_SERVER:443", "$BENCH_RUN/tls/doh.crt", "$BENCH_RUN/tls/doh.key", {"/"}, {keepIncomingHeaders=false, idleTimeout=2})
newServer({address="$BENCH_KNOT:53", healthCheckMode="up"})
EOF
    bench_start_dnsdist_conf dnsdist-tls "$BENCH_RUN/dnsdist-tls.conf"
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    BENCH_TLS_PID=$BENCH_LAST_PID
    bench_wait_until 15 "DoT server" sh -c "kdig +time=1 +retry=0 +short +tls @$BENCH_TLS_SERVER www.example.test A | grep -qx 192.0.2.10" ||
        bench_die "dnsdist DoT did not start (see $BENCH_RUN/dnsdist-tls.log)"
}

# Queries the DoT/DoH server's plain-UDP address (127.53.0.2:53) has taken so
# far: the agent's plain-UDP path, which answers for DoT or DoH when they are
# slow, so an encrypted figure can say how much of it went unencrypted.
bench_plain_queries() {
    "$(bench_tool dnsdist)" -C "$BENCH_RUN/dnsdist-tls.conf" -c -e 'showBinds()' 2>/dev/null |
        awk '$2 == "127.53.0.2:53" && $3 == "UDP" {print $NF; found = 1} END {if (!found) print 0}'
}

bench_start_stubby() { # [listen address] [DoT server]
    _listen=${1:-$BENCH_STUBBY}
    _server=${2:-$BENCH_TLS_SERVER}
    cat >"$BENCH_RUN/stubby-$_listen.yml" <<EOF
resolution_type: GETDNS_RESOLUTION_STUB
dns_transport_list:
  - GETDNS_TRANSPORT_TLS
tls_authentication: GETDNS_AUTHENTICATION_NONE
tls_query_padding_blocksize: 0
edns_client_subnet_private: 0
idle_timeout: 10000
limit_outstanding_queries: 0
round_robin_upstreams: 0
listen_addresses:
  - $_listen@53
upstream_recursive_servers:
  - address_data: $_server
    tls_port: 853
    tls_auth_name: "doh.corvane.test"
EOF
    "$(bench_tool stubby)" -C "$BENCH_RUN/stubby-$_listen.yml" >>"$BENCH_RUN/stubby.log" 2>&1 &
    BENCH_STUBBY_PID=$!
    BENCH_PIDS="$BENCH_PIDS $BENCH_STUBBY_PID"
    bench_wait_until 15 stubby bench_answers "$_listen" || bench_die "stubby did not start"
}

# bench_start_agent <protection 0|1> <protocol 0 udp|1 doh|2 dot> <log true|false> [upstream]
# Starts a fresh agent with a fresh settings store: token 1001, the given
# protection state, transport, debug-log switch and upstream address.
bench_start_agent() {
    bench_prepare_agent "$@"
    CORVANE_STATE_DIR="$BENCH_AGENT_DIR/state" "$BENCH_AGENT_DIR/bin/agentcorvane" >>"$BENCH_AGENT_DIR/agent.out" 2>&1 &
    BENCH_AGENT_PID=$!
    BENCH_PIDS="$BENCH_PIDS $BENCH_AGENT_PID"
}

# bench_prepare_agent: the same arguments; only writes the store and copies the binary.
bench_prepare_agent() {
    _dir="$BENCH_RUN/agent-$$-$(date +%s%N)"
    mkdir -p "$_dir/bin" "$_dir/state/HKEY_USERS/.DEFAULT/Software/Corvane"
    # A private copy of the binary: its log folder is created beside it.
    cp "$BENCH_AGENT_BIN" "$_dir/bin/agentcorvane"
    cat >"$_dir/state/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini" <<EOF
[CONTROL]
LOG_STATUS=$3
DNS_TYPE_PROTOCOL=$2
DNS_TYPE_PROTECTION=$1
DNS_IP_V4=${4:-$BENCH_KNOT}
DNS_IP_V6=fd00:53::53
DNS_DOMAIN=doh.corvane.test
API_DOMAIN=corvane.test
NO_AD=true

[USER]
TOKEN=$BENCH_TOKEN
EOF
    chmod 600 "$_dir/state/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
    BENCH_AGENT_DIR=$_dir
}

bench_agent_ready() {
    bench_wait_until 20 agent sh -c "kill -0 $BENCH_AGENT_PID && dig +time=1 +tries=1 +short @$BENCH_AGENT www.example.test A | grep -qx 192.0.2.10" ||
        { tail -n 20 "$BENCH_AGENT_DIR/agent.out" >&2; bench_die "agent did not answer"; }
    # Let its start-up work (certificate and version checks) settle first.
    sleep "${CORVANE_BENCH_SETTLE:-2}"
}

bench_stop_agent() {
    [ -n "${BENCH_AGENT_PID:-}" ] && bench_stop "$BENCH_AGENT_PID"
    BENCH_AGENT_PID=""
    rm -f "$BENCH_AGENT_DIR/bin/agentcorvane"
}

# CPU ticks (user + system) of a process.
# bench_get <variable name> [default]: the value of a variable whose name is
# made at run time (figures kept per run and client count).
bench_get() { eval "printf '%s' \"\${$1:-${2:-}}\""; }
bench_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
bench_rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
BENCH_HZ=$(getconf CLK_TCK)

# bench_dnsperf <server> <clients> <max outstanding> <seconds> [extra dnsperf args]
# Sets PERF_QPS, PERF_SENT, PERF_DONE, PERF_LOST, PERF_MEAN_MS.
bench_dnsperf() {
    _srv=$1
    _c=$2
    _q=$3
    _l=$4
    shift 4
    dnsperf -s "$_srv" -d "$BENCH_RUN/queries.txt" -c "$_c" -q "$_q" -l "$_l" -t 2 "$@" >"$BENCH_RUN/dnsperf.out" 2>&1
    PERF_SENT=$(awk '/Queries sent:/ {print $3}' "$BENCH_RUN/dnsperf.out")
    PERF_DONE=$(awk '/Queries completed:/ {print $3}' "$BENCH_RUN/dnsperf.out")
    PERF_LOST=$(awk '/Queries lost:/ {print $3}' "$BENCH_RUN/dnsperf.out")
    PERF_QPS=$(awk '/Queries per second:/ {printf "%d", $4}' "$BENCH_RUN/dnsperf.out")
    PERF_MEAN_MS=$(awk '/Average Latency/ {printf "%.3f", $4 * 1000; exit}' "$BENCH_RUN/dnsperf.out")
    : "${PERF_SENT:=0}" "${PERF_DONE:=0}" "${PERF_LOST:=0}" "${PERF_QPS:=0}" "${PERF_MEAN_MS:=0}"
}

# bench_latency <server> <clients> <qps> <seconds> [max outstanding]:
# per-query latencies at a fixed offered rate; sets LAT_MEAN_MS, LAT_P50_MS,
# LAT_P99_MS, LAT_LOST. With qps 0 the rate is not limited.
bench_latency() {
    _rate=""
    [ "$3" -gt 0 ] && _rate="-Q $3"
    # shellcheck disable=SC2086 # "-Q <rate>", or nothing
    dnsperf -s "$1" -d "$BENCH_RUN/queries.txt" -c "$2" -q "${5:-100}" $_rate -l "$4" -t 2 -v >"$BENCH_RUN/latency.out" 2>&1
    awk '$1 == ">" && NF >= 4 {print $NF}' "$BENCH_RUN/latency.out" | sort -g >"$BENCH_RUN/latency.sorted"
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    LAT_MEAN_MS=$(awk '{s += $1; n++} END {if (n) printf "%.3f", s / n * 1000; else print "-"}' "$BENCH_RUN/latency.sorted")
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    LAT_P50_MS=$(bench_percentile 50)
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    LAT_P99_MS=$(bench_percentile 99)
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    LAT_LOST=$(awk '/Queries lost:/ {print $3}' "$BENCH_RUN/latency.out")
}

bench_percentile() { # <p>: from latency.sorted, in ms
    _n=$(wc -l <"$BENCH_RUN/latency.sorted")
    _i=$(((_n * $1 + 99) / 100))
    [ "$_i" -ge 1 ] || _i=1
    sed -n "${_i}p" "$BENCH_RUN/latency.sorted" | awk '{printf "%.3f", $1 * 1000}'
}

# bench_rtt <server> [dnsperf args]: median latency with one query in flight (ms).
bench_rtt() {
    _srv=$1
    shift
    dnsperf -s "$_srv" -d "$BENCH_RUN/queries.txt" -c 1 -q 1 -l 2 -t 2 -v "$@" >"$BENCH_RUN/latency.out" 2>&1
    awk '$1 == ">" && NF >= 4 {print $NF}' "$BENCH_RUN/latency.out" | sort -g >"$BENCH_RUN/latency.sorted"
    bench_percentile 50
}

# bench_rtt_paired <server> [rounds]: one query in flight; the server, knotd
# and dnsmasq are measured in turn, 1 s each, <rounds> times (default 3), so
# that all three see the same moments of a busy machine. Sets RTT_MS,
# RTT_DIRECT_MS and RTT_DNSMASQ_MS: the median latency over all samples of each.
bench_rtt_paired() {
    _srv=$1
    _rounds=${2:-3}
    for _name in server direct dnsmasq; do : >"$BENCH_RUN/rtt-$_name"; done
    _i=0
    while [ "$_i" -lt "$_rounds" ]; do
        bench_rtt_sample "$_srv" server
        bench_rtt_sample "$BENCH_KNOT" direct
        bench_rtt_sample "$BENCH_DNSMASQ" dnsmasq
        _i=$((_i + 1))
    done
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    RTT_MS=$(bench_median_ms "$BENCH_RUN/rtt-server")
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    RTT_DIRECT_MS=$(bench_median_ms "$BENCH_RUN/rtt-direct")
    # shellcheck disable=SC2034 # an output of this function, read by the caller
    RTT_DNSMASQ_MS=$(bench_median_ms "$BENCH_RUN/rtt-dnsmasq")
}

bench_rtt_sample() { # <server> <name>: 1 s of latencies appended to rtt-<name>
    dnsperf -s "$1" -d "$BENCH_RUN/queries.txt" -c 1 -q 1 -l 1 -t 2 -v >"$BENCH_RUN/latency.out" 2>&1
    awk '$1 == ">" && NF >= 4 {print $NF}' "$BENCH_RUN/latency.out" >>"$BENCH_RUN/rtt-$2"
}

bench_median_ms() { # <file of latencies in s>: the median in ms ("-" when empty)
    sort -g "$1" | awk '{v[NR] = $1} END {if (NR) printf "%.3f", v[int((NR + 1) / 2)] * 1000; else print "-"}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
diff_ms() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%+.3f", a - b}'; }
# CPU milliseconds per 1000 queries from a tick difference.
cpu_per_k() { awk -v t="$1" -v q="$2" -v hz="$BENCH_HZ" 'BEGIN {if (q > 0) printf "%.1f", t * 1000 / hz / q * 1000; else print "-"}'; }
