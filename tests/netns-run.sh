#!/bin/sh
# Runs a test inside a private network and IPC namespace (fixed ports, the
# machine-wide single-instance guard), with the loopback up and the
# development service's addresses on it. Usage: netns-run.sh <command> [args...]
if [ -z "$CORVANE_IN_NETNS" ]; then
    export CORVANE_IN_NETNS=1
    exec unshare --net --ipc -- "$0" "$@"
fi
ip link set lo up || exit 1
for a in 127.53.0.1 127.53.0.2 127.53.0.3 127.53.0.4; do ip addr add "$a/8" dev lo 2>/dev/null; done
ip -6 addr add fd00:53::1/128 dev lo nodad 2>/dev/null
exec "$@"
