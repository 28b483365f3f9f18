#!/bin/sh
# Runs one command inside a private network + IPC + mount namespace in which
# knotd, the development service and (optionally) the agent are running, then
# tears everything down, also when the command fails or the run is interrupted.
#
# usage: run-in-ns.sh <build-dir> [--agent[=PATH]] -- <command...>
#   --agent        also start <build-dir>/agent/host/agentcorvane
#   --agent=PATH   also start the agent binary at PATH
# The command's exit status is returned; 77 when the machine cannot run the
# harness (not root, no namespaces, tools missing). Inside, PATH includes the helpers in
# scripts/harness/bin (cv-dig, cv-kdig-tls, cv-curl, cv-doh, cv-query, ...).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [--agent[=PATH]] -- <command...>" >&2; exit 2; }

if [ -z "${CORVANE_HARNESS_INSIDE:-}" ]; then
    # Exit status 77 means "this machine cannot run the harness" (CTest reports it as skipped).
    [ "$(id -u)" = 0 ] || { echo "run-in-ns.sh needs root (namespaces, port 53); skipped" >&2; exit 77; }
    for tool in unshare ip dig kdig curl openssl; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing; skipped" >&2; exit 77; }
    done
    { command -v knotd >/dev/null 2>&1 || [ -x /usr/sbin/knotd ]; } || { echo "knotd is missing; skipped" >&2; exit 77; }
    unshare --net --ipc --mount --propagation private true 2>/dev/null ||
        { echo "cannot create namespaces here; skipped" >&2; exit 77; }
    # Each run gets its own IPC namespace too: the agent's single-instance guard
    # is a System V object, which a network namespace alone does not separate.
    CORVANE_HARNESS_INSIDE=1 exec unshare --net --ipc --mount --propagation private -- "$0" "$@"
fi

CV_BUILD=$(cd "$1" && pwd)
shift
CV_SOURCE=$(cd "$here/../.." && pwd)
agent=""
while [ $# -gt 0 ]; do
    case "$1" in
    --agent) agent="$CV_BUILD/agent/host/agentcorvane" ;;
    --agent=*) agent="${1#--agent=}" ;;
    --) shift; break ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[ $# -gt 0 ] || { echo "no command given" >&2; exit 2; }

. "$here/lib.sh"
CV_RUN=$(mktemp -d /tmp/corvane-harness.XXXXXX)
# A temporary folder of this run's own: the single-instance guards of the
# programs started here key their IPC objects on files in it, and a guard's
# files shared with another run (another namespace) make an agent there look
# like a running instance, or remove the file this run's guard is keyed on.
CV_TMP=$(mktemp -d /tmp/corvane-harness-tmp.XXXXXX)
chmod 1777 "$CV_TMP"
export TMPDIR="$CV_TMP"
CV_TLS="$CV_BUILD/devservice/tls"
keep="${CORVANE_HARNESS_KEEP:-}"

# shellcheck disable=SC2317 # run by the traps below
finish() {
    status=$?
    trap - EXIT INT TERM
    cv_teardown
    rm -rf "$CV_TMP"
    # Sanitizer builds report at run time and at exit; either fails the run.
    for log in "$CV_RUN/devservice.log" "$CV_RUN/agent.log"; do
        [ -f "$log" ] || continue
        grep -qE 'ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:' "$log" || continue
        cv_log "sanitizer report in $log"
        [ "$status" -ne 0 ] || status=1
    done
    if [ "$status" -ne 0 ] || [ -n "$keep" ]; then
        cv_log "logs kept in $CV_RUN"
    else
        rm -rf "$CV_RUN"
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "$agent" ]; then
    [ -x "$agent" ] || cv_die "agent binary $agent not found"
    cv_setup_network agent
else
    cv_setup_network service
fi
cv_start_knot
cv_start_devservice
cv_export_env
if [ -n "$agent" ]; then
    cv_start_agent "$agent" || cv_die "agent did not become ready"
fi
set +e
"$@"
rc=$?
set -e
exit $rc
