#!/bin/sh
# Runs the DNS end-to-end checks (e2e-dns.sh, in the harness with the agent)
# with one more trust anchor: the certificate of the dnsdist they start as an
# independent DoT/DoH upstream. The agent verifies its resolver against the
# system's roots and the CA file fixed at build time, read when it starts; in
# a private mount namespace that file shows the build's bundle plus dnsdist's
# certificate (issued to the address the agent connects to) before the
# harness starts the agent. Nothing changes outside the namespace.
#
# usage: e2e-dns-trust.sh <build-dir> <build-time CA file> <dnsdist address>
# Exit 77 (skipped) when the machine cannot run it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { echo "usage: $0 <build-dir> <build-time CA file> <dnsdist address>" >&2; exit 2; }
build=$1
ca_file=$2
address=$3

if [ -z "${CORVANE_E2E_DNS_TRUST_INSIDE:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "e2e-dns-trust.sh needs root (mount namespace); skipped" >&2; exit 77; }
    unshare --mount --propagation private true 2>/dev/null ||
        { echo "cannot create a mount namespace here; skipped" >&2; exit 77; }
    CORVANE_E2E_DNS_TRUST_INSIDE=1 exec unshare --mount --propagation private -- "$0" "$@"
fi
unset CORVANE_E2E_DNS_TRUST_INSIDE

if [ -z "$ca_file" ] || [ ! -f "$ca_file" ]; then
    echo "the agent has no build-time CA file ('$ca_file'): it cannot trust the test's resolvers; skipped" >&2
    exit 77
fi
dir=$(mktemp -d /tmp/corvane-e2e-dns.XXXXXX)
trap 'rm -rf "$dir"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=$address" -addext "subjectAltName=IP:$address" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null || { echo "openssl could not make a certificate" >&2; exit 1; }
cat "$ca_file" "$dir/cert.pem" >"$dir/ca-bundle.crt"
mount --bind "$dir/ca-bundle.crt" "$ca_file" || { echo "cannot bind-mount over $ca_file" >&2; exit 1; }

export CORVANE_E2E_DNSDIST_ADDRESS="$address"
export CORVANE_E2E_DNSDIST_CERT="$dir/cert.pem"
export CORVANE_E2E_DNSDIST_KEY="$dir/key.pem"
status=0
"$here/../../scripts/harness/run-in-ns.sh" "$build" --agent -- "$here/e2e-dns.sh" || status=$?
exit $status
