#!/bin/sh
# Runs a test inside private network, IPC and mount namespaces (fixed ports,
# the machine-wide single-instance guard, the system trust store), with the
# loopback up and the development service's addresses on it.
# Usage: netns-run.sh <command> [args...]
if [ -z "$CORVANE_IN_NETNS" ]; then
    export CORVANE_IN_NETNS=1
    exec unshare --net --ipc --mount --propagation private -- "$0" "$@"
fi
ip link set lo up || exit 1
for a in 127.53.0.1 127.53.0.2 127.53.0.3 127.53.0.4; do ip addr add "$a/8" dev lo 2>/dev/null; done
ip -6 addr add fd00:53::1/128 dev lo nodad 2>/dev/null
# An agent under test may install or remove root certificates: give it a
# private copy of the trust store so the host's is never changed.
trust=$(mktemp -d)
mkdir -p "$trust/local" "$trust/certs"
cp -a /usr/local/share/ca-certificates/. "$trust/local/" 2>/dev/null
cp -a /etc/ssl/certs/. "$trust/certs/" 2>/dev/null
mount --bind "$trust/local" /usr/local/share/ca-certificates 2>/dev/null
mount --bind "$trust/certs" /etc/ssl/certs 2>/dev/null
# An agent under test takes over the resolver configuration: it gets a private
# copy of /etc/resolv.conf (the bind mount lands on the file a symlink names).
cp /etc/resolv.conf "$trust/resolv.conf" 2>/dev/null || : >"$trust/resolv.conf"
mount --bind "$trust/resolv.conf" /etc/resolv.conf || { echo "cannot make /etc/resolv.conf private" >&2; exit 1; }
# The single-instance guard keys its IPC objects on files in the temporary
# folder: a private one, so no other namespace's guard shares them.
private_tmp=$(mktemp -d)
chmod 1777 "$private_tmp"
TMPDIR="$private_tmp" "$@"
code=$?
rm -rf "$private_tmp"
umount /etc/resolv.conf /etc/ssl/certs /usr/local/share/ca-certificates 2>/dev/null
rm -rf "$trust"
exit $code
