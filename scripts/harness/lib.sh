# shellcheck shell=sh
# Shared functions of the end-to-end harness. Sourced by run-in-ns.sh and
# main-job.sh after they have entered a private network, IPC and mount
# namespace; nothing here touches the host's network or files.
#
# Addresses inside the namespace (all on the loopback interface):
#   127.53.0.1, fd00:53::1   resolver of the development service (UDP/TCP 53)
#   127.53.0.2               www.<domain>: backend HTTPS 443, admin HTTP 8053
#   127.53.0.3               doh.<domain>: DoH HTTPS 443, DoT 853
#   127.53.0.4               blockpage.<domain>: HTTP 80, HTTPS 443
#   127.53.0.53, fd00:53::53 knotd with the test zone example.test (port 53)
#   127.0.0.1, ::1           the agent (DNS 53, block page 13107, control 49101)

CV_DOMAIN=${CORVANE_SERVICE_DOMAIN:-corvane.test}
CV_KNOT_V4=127.53.0.53
CV_KNOT_V6=fd00:53::53
CV_PIDS=""

cv_log() {
    printf '[harness] %s\n' "$*" >&2
}

cv_die() {
    cv_log "ERROR: $*"
    exit 1
}

# cv_wait_until <seconds> <description> <command...>: polls the command until it
# succeeds; fails after the deadline. Readiness is always checked, never assumed.
cv_wait_until() {
    _limit=$1
    _what=$2
    shift 2
    _deadline=$(($(date +%s) + _limit))
    while ! "$@" >/dev/null 2>&1; do
        if [ "$(date +%s)" -ge "$_deadline" ]; then
            cv_log "$_what not ready after ${_limit}s"
            return 1
        fi
        sleep 0.1
    done
    cv_log "$_what ready"
    return 0
}

cv_find_tool() { # <name>: command path or empty
    command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; } || true
}

# cv_setup_network <agent|service>: loopback up, service addresses, private resolv.conf/hosts.
cv_setup_network() {
    ip link set lo up || cv_die "cannot bring lo up (are we in a private network namespace?)"
    for a in 127.53.0.1 127.53.0.2 127.53.0.3 127.53.0.4 $CV_KNOT_V4; do
        ip addr add "$a/32" dev lo 2>/dev/null || true
    done
    for a in fd00:53::1 $CV_KNOT_V6; do
        ip -6 addr add "$a/128" dev lo nodad 2>/dev/null || true
    done
    # The namespace's system resolver is the service's. An agent takes it over
    # itself, as on a real machine: it points the resolver at 127.0.0.1 while
    # it protects the namespace's link (an Ethernet-like dummy link; loopback
    # is never protected) and puts the file back when it stops.
    printf 'nameserver 127.53.0.1\noptions timeout:2 attempts:2\n' >"$CV_RUN/resolv.conf"
    if [ "$1" = agent ]; then
        ip link add corvane0 type dummy 2>/dev/null || ip link add corvane0 type veth peer name corvane0p ||
            cv_die "cannot add the namespace's link"
        ip link set corvane0 up
    fi
    printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$CV_RUN/hosts"
    mount --bind "$CV_RUN/resolv.conf" /etc/resolv.conf || cv_die "cannot bind-mount resolv.conf (no private mount namespace?)"
    mount --bind "$CV_RUN/hosts" /etc/hosts || cv_die "cannot bind-mount hosts"
    # A private copy of the system trust store: the agent installs the
    # service's roots with update-ca-certificates, and that must change only
    # this namespace, never the host.
    mkdir -p "$CV_RUN/trust/local" "$CV_RUN/trust/etc-ssl-certs"
    cp -a /etc/ssl/certs/. "$CV_RUN/trust/etc-ssl-certs/" 2>/dev/null || true
    cp -a /usr/local/share/ca-certificates/. "$CV_RUN/trust/local/" 2>/dev/null || true
    rm -f "$CV_RUN"/trust/local/corvane-*.crt
    mount --bind "$CV_RUN/trust/local" /usr/local/share/ca-certificates || cv_die "cannot bind-mount the trust store"
    mount --bind "$CV_RUN/trust/etc-ssl-certs" /etc/ssl/certs || cv_die "cannot bind-mount the trust store"
}

cv_start_knot() {
    _knotd=$(cv_find_tool knotd)
    [ -n "$_knotd" ] || cv_die "knotd not found (apt-get install knot)"
    mkdir -p "$CV_RUN/knot/db" "$CV_RUN/knot/zones"
    cp "$CV_SOURCE/devservice/config/example.test.zone" "$CV_RUN/knot/zones/example.test.zone"
    sed -e "s|@RUNDIR@|$CV_RUN/knot|g" -e "s|@ZONEDIR@|$CV_RUN/knot/zones|g" \
        -e "s|@KNOT_LISTEN@|$CV_KNOT_V4|g" -e "s|@KNOT_LISTEN_V6@|$CV_KNOT_V6|g" \
        "$CV_SOURCE/devservice/config/knot.conf.in" >"$CV_RUN/knot/knot.conf"
    "$_knotd" -c "$CV_RUN/knot/knot.conf" >>"$CV_RUN/knotd.log" 2>&1 &
    CV_KNOT_PID=$!
    CV_PIDS="$CV_KNOT_PID $CV_PIDS"
    cv_wait_until 15 "knotd" sh -c "dig +time=1 +tries=1 +short @$CV_KNOT_V4 example.test SOA | grep -q ns.example.test" ||
        { tail -n 20 "$CV_RUN/knotd.log" >&2; cv_die "knotd did not start"; }
}

cv_start_devservice() {
    _bin="$CV_BUILD/devservice/corvane-devservice"
    [ -x "$_bin" ] || cv_die "$_bin not built (ninja -C $CV_BUILD corvane-devservice)"
    if [ ! -f "$CV_TLS/ca-bundle.crt" ]; then
        "$CV_SOURCE/devservice/config/make-certs.sh" "$CV_TLS" "$CV_DOMAIN" >/dev/null || cv_die "certificate generation failed"
    fi
    "$_bin" --config "${CORVANE_DEVSERVICE_CONFIG:-$CV_SOURCE/devservice/config/devservice.json}" \
        --tls-dir "$CV_TLS" >>"$CV_RUN/devservice.log" 2>&1 &
    CV_SERVICE_PID=$!
    CV_PIDS="$CV_SERVICE_PID $CV_PIDS"
    cv_wait_until 15 "devservice" sh -c "kill -0 $CV_SERVICE_PID && dig +time=1 +tries=1 +short @127.53.0.1 www.$CV_DOMAIN A | grep -qx 127.53.0.2 && curl -fsS -o /dev/null http://127.53.0.2:8053/admin/state" ||
        { tail -n 30 "$CV_RUN/devservice.log" >&2; cv_die "devservice did not start"; }
}

cv_start_agent() { # <agent binary>
    mkdir -p "$CV_RUN/agent-state"
    CORVANE_STATE_DIR="$CV_RUN/agent-state" "$1" >>"$CV_RUN/agent.log" 2>&1 &
    CV_AGENT_PID=$!
    CV_PIDS="$CV_AGENT_PID $CV_PIDS"
    # Readiness: "dns" (default) waits until the agent relays a query on
    # 127.0.0.1:53, "control" until its control port 49101 listens, "none" only
    # checks that the process is alive.
    case "${CORVANE_HARNESS_AGENT_READY:-dns}" in
    control) _probe="ss -Hltn 'sport = :49101' | grep -q ." ;;
    none) _probe="true" ;;
    *) _probe="dig +time=1 +tries=1 +short @127.0.0.1 www.$CV_DOMAIN A | grep -qx 127.53.0.2" ;;
    esac
    if ! cv_wait_until "${CORVANE_HARNESS_AGENT_TIMEOUT:-20}" "agent" sh -c "kill -0 $CV_AGENT_PID && $_probe"; then
        tail -n 30 "$CV_RUN/agent.log" >&2
        return 1
    fi
    return 0
}

# cv_sign_in_demo <password-file> <pin-file>: signs the running agent in with
# the seeded demo account as the tray program would (password, then a new PIN,
# on one connection: the agent takes a new PIN only there), which also
# switches protection on.
cv_sign_in_demo() {
    _ctl="$CV_BUILD/tools/corvanectl/corvanectl"
    [ -x "$_ctl" ] || { cv_log "$_ctl not built"; return 1; }
    "$_ctl" --timeout 30000 --pin-file "$2" signin demo --password-file "$1" >>"$CV_RUN/signin.log" 2>&1 ||
        { cv_log "sign-in failed: $(tail -n 3 "$CV_RUN/signin.log")"; return 1; }
    cv_log "agent signed in as demo"
}

# cv_start_gui <binary>: the tray program, connected to the agent in here; its
# own INI file stays in the run folder.
cv_start_gui() {
    mkdir -p "$CV_RUN/gui-data"
    XDG_DATA_HOME="$CV_RUN/gui-data" CORVANE_STATE_DIR="$CV_RUN/agent-state" \
        "$1" >>"$CV_RUN/gui.log" 2>&1 &
    CV_PIDS="$! $CV_PIDS"
    cv_log "tray program started (log $CV_RUN/gui.log)"
}

# cv_write_env <file>: the harness's variables and PATH as assignments that a
# shell reads back verbatim whatever the values hold (spaces, quotes, $):
# each value single-quoted, its own single quotes written as '\''.
cv_write_env() {
    : >"$1"
    for _name in $(env | sed -n 's/^\(CORVANE_[A-Za-z0-9_]*\)=.*/\1/p' | grep -vx CORVANE_HARNESS_INSIDE) PATH; do
        _value="" # set by the eval: the name is known only at run time
        eval "_value=\${$_name-}"
        printf "export %s='%s'\n" "$_name" "$(printf '%s' "$_value" | sed "s/'/'\\\\''/g")" >>"$1"
    done
}

# cv_teardown: stops everything this harness started, newest first, by PID.
cv_teardown() {
    for _pid in $CV_PIDS; do
        kill -TERM "$_pid" 2>/dev/null || true
    done
    for _pid in $CV_PIDS; do
        _n=0
        while kill -0 "$_pid" 2>/dev/null && [ $_n -lt 50 ]; do
            sleep 0.1
            _n=$((_n + 1))
        done
        kill -KILL "$_pid" 2>/dev/null || true
        wait "$_pid" 2>/dev/null || true
    done
    CV_PIDS=""
}

# cv_export_env: what commands run inside get to know.
cv_export_env() {
    export CORVANE_HARNESS_RUN="$CV_RUN"
    export CORVANE_BUILD_DIR="$CV_BUILD"
    export CORVANE_SOURCE_DIR="$CV_SOURCE"
    export CORVANE_DOMAIN="$CV_DOMAIN"
    export CORVANE_CA_BUNDLE="$CV_TLS/ca-bundle.crt"
    export CORVANE_DEVSERVICE="$CV_BUILD/devservice/corvane-devservice"
    export CORVANE_ADMIN_URL="http://127.53.0.2:8053"
    export CORVANE_AGENT_STATE_DIR="$CV_RUN/agent-state"
    export CORVANE_SERVICE_LOG="$CV_RUN/devservice.log"
    export CORVANE_AGENT_LOG="$CV_RUN/agent.log"
    export PATH="$CV_SOURCE/scripts/harness/bin:$PATH"
    # The agent's trust-store update without the hooks of /etc/ca-certificates/
    # update.d: Java's keystore hook takes 25-30 s per run on these machines and
    # holds the agent's thread that long; the tests look at the private copy of
    # /etc/ssl/certs, which the update itself writes.
    export CORVANE_CA_UPDATE="${CORVANE_CA_UPDATE:-update-ca-certificates --hooksdir $CV_RUN/no-ca-hooks}"
}
