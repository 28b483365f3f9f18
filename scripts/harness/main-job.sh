#!/bin/sh
# Starts knotd, the development service and, when it is built, the agent inside
# a private network + IPC + mount namespace, signs the agent in with the seeded
# demo account, prints how to try them, and runs until Ctrl-C (or SIGTERM),
# then stops everything cleanly.
#
# usage: main-job.sh <build-dir> [--agent=PATH | --no-agent] [--signed-out] [--gui]
#   --signed-out  leave the agent signed out (the banner says how to sign in)
#   --gui         also start the tray program connected to the agent (needs
#                 DISPLAY; a local display's socket, not a TCP one, since the
#                 namespace has its own network)
# While it runs, other terminals can use: scripts/harness/exec.sh -- <command...>
set -eu

here=$(cd "$(dirname "$0")" && pwd)
usage="usage: $0 <build-dir> [--agent=PATH | --no-agent] [--signed-out] [--gui]"
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }

if [ -z "${CORVANE_HARNESS_INSIDE:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "main-job.sh needs root (namespaces, port 53)" >&2; exit 2; }
    CORVANE_HARNESS_INSIDE=1 exec unshare --net --ipc --mount --propagation private -- "$0" "$@"
fi

CV_BUILD=$(cd "$1" && pwd)
shift
CV_SOURCE=$(cd "$here/../.." && pwd)
agent="$CV_BUILD/agent/host/agentcorvane"
signed_out=""
gui=""
while [ $# -gt 0 ]; do
    case "$1" in
    --agent=*) agent="${1#--agent=}" ;;
    --no-agent) agent="" ;;
    --signed-out) signed_out=1 ;;
    --gui) gui="$CV_BUILD/agent/host/agentcorvanegui/agentcorvanegui" ;;
    *) echo "unknown option $1; $usage" >&2; exit 2 ;;
    esac
    shift
done
if [ -n "$gui" ]; then
    [ -n "${DISPLAY:-}" ] || { echo "--gui needs a display (DISPLAY is not set)" >&2; exit 2; }
    [ -x "$gui" ] || { echo "$gui not built (scripts/run.sh --gui builds it)" >&2; exit 2; }
fi
[ -n "$agent" ] && [ ! -x "$agent" ] && agent=""

. "$here/lib.sh"
. "$here/try-commands.sh"
CV_RUN=$(mktemp -d /tmp/corvane-harness.XXXXXX)
CV_TLS="$CV_BUILD/devservice/tls"
PIDFILE=${CORVANE_HARNESS_PIDFILE:-/tmp/corvane-harness-main.pid}

# shellcheck disable=SC2317 # run by the traps below
finish() {
    status=$?
    trap - EXIT INT TERM
    cv_log "stopping"
    cv_teardown
    rm -f "$PIDFILE"
    cv_log "stopped; logs kept in $CV_RUN"
    exit "$status"
}
trap finish EXIT
trap 'exit 0' INT TERM

if [ -n "$agent" ]; then
    cv_setup_network agent
else
    cv_setup_network service
fi
cv_start_knot
cv_start_devservice
cv_export_env
agent_state="not built (no $CV_BUILD/agent/host/agentcorvane); the namespace resolves through the service directly"
mode=no-agent
# The PIN that protects the demo account's sign-in data on this agent.
pin=${CORVANE_DEMO_PIN:-4321}
(umask 077 && printf '%s\n' demo-password >"$CV_RUN/demo-password" && printf '%s\n' "$pin" >"$CV_RUN/pin")
if [ -n "$agent" ]; then
    if cv_start_agent "$agent"; then
        agent_state="running: $agent (state in $CV_RUN/agent-state, log $CV_RUN/agent.log)"
        mode=signed-out
        if [ -z "$signed_out" ]; then
            if cv_sign_in_demo "$CV_RUN/demo-password" "$CV_RUN/pin"; then
                agent_state="$agent_state
                  signed in as demo (profile Kids), PIN $pin"
                mode=signed-in
            else
                agent_state="$agent_state
                  sign-in as demo FAILED (see $CV_RUN/agent.log); signed out"
            fi
        fi
    else
        agent_state="FAILED to answer DNS on 127.0.0.1 (see $CV_RUN/agent.log); namespace resolver switched to the service"
        printf 'nameserver 127.53.0.1\noptions timeout:2 attempts:2\n' >"$CV_RUN/resolv.conf"
    fi
fi
if [ -n "$gui" ] && [ "$mode" != no-agent ]; then
    cv_start_gui "$gui"
fi
cv_write_env "$CV_RUN/env.sh"
cv_try_commands "$mode" "$CV_DOMAIN" "$CV_RUN" "$pin" >"$CV_RUN/try-commands"
echo "$$ $CV_RUN" >"$PIDFILE"

cat <<INFO

Corvane development environment is running (namespace of PID $$).
  resolver        127.53.0.1 / fd00:53::1 port 53 (UDP, TCP)
  backend         https://www.$CV_DOMAIN  (127.53.0.2:443), admin http://127.53.0.2:8053/admin/state
  DoH / DoT       https://doh.$CV_DOMAIN/ (127.53.0.3:443), doh.$CV_DOMAIN:853
  block page      http://blockpage.$CV_DOMAIN (127.53.0.4:80, 443)
  knotd           127.53.0.53 zone example.test
  agent           $agent_state
  logs            $CV_RUN

Try it from another terminal (commands run inside the namespace):
$(while IFS="$(printf '\037')" read -r command _ comment; do
    printf '  %s  # %s\n' "$here/exec.sh${command:+ -- $command}" "$comment"
done <"$CV_RUN/try-commands")
Accounts: demo/demo-password (tokens 1001 Kids, 1002 Unfiltered), strict/strict-password (2001),
          paused/paused-password; AD keys demo-ad-key, strict-ad-key.
Press Ctrl-C to stop.
INFO

# Stay until interrupted or until the service dies.
while kill -0 "$CV_SERVICE_PID" 2>/dev/null; do
    wait "$CV_SERVICE_PID" 2>/dev/null || true
done
cv_log "the development service exited; see $CV_RUN/devservice.log"
exit 1
