#!/bin/sh
# Runs a test inside a private network, IPC and mount namespace where
# www.corvane.test is 127.53.0.2 on the loopback (for a scripted backend on
# port 443). Usage: scripted-ns-run.sh <command> [args...]
set -eu
if [ -z "${CORVANE_SCRIPTED_NS:-}" ]; then
    export CORVANE_SCRIPTED_NS=1
    exec unshare --net --ipc --mount --propagation private -- "$0" "$@"
fi
ip link set lo up
ip addr add 127.53.0.2/32 dev lo
hosts=$(mktemp /tmp/corvane-scripted-hosts.XXXXXX)
trap 'umount /etc/hosts 2>/dev/null; rm -f "$hosts"' EXIT
printf '127.0.0.1 localhost\n127.53.0.2 www.corvane.test corvane.test\n' >"$hosts"
mount --bind "$hosts" /etc/hosts
"$@"
