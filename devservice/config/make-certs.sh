#!/bin/sh
# Generates the development service's test certificates: two root authorities
# ("CN=Corvane Root CA 1" and "CN=Corvane Root CA 2") and server certificates
# for www., doh. and the block-page names of the domain. Keys are created fresh
# on every run and never leave the output directory; the root keys are deleted
# once the server certificates are signed.
#
# usage: make-certs.sh <output-dir> [domain] [doh-address]
set -eu

out=${1:?usage: make-certs.sh <output-dir> [domain] [doh-address]}
domain=${2:-corvane.test}
doh_ip=${3:-127.53.0.3}

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

make_root() { # <n>
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
        -subj "/O=Corvane/CN=Corvane Root CA $1" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$work/root-$1.key" -out "$out/corvane-root-$1.crt" 2>/dev/null
}

make_leaf() { # <name> <root n> <subjectAltName>
    openssl req -new -newkey rsa:2048 -nodes -sha256 \
        -subj "/O=Corvane Development/CN=$1.$domain" \
        -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$3" \
        >"$work/$1.ext"
    openssl x509 -req -sha256 -days 825 -in "$work/$1.csr" \
        -CA "$out/corvane-root-$2.crt" -CAkey "$work/root-$2.key" -CAcreateserial -CAserial "$work/serial-$2" \
        -extfile "$work/$1.ext" -out "$out/$1.crt" 2>/dev/null
    # Legacy (PKCS#1) key format, as the service's TLS loader expects RSA keys.
    openssl rsa -in "$work/$1.key" -traditional -out "$out/$1.key" 2>/dev/null ||
        cp "$work/$1.key" "$out/$1.key"
    chmod 600 "$out/$1.key"
}

make_root 1
make_root 2
make_leaf www 1 "DNS:www.$domain,DNS:$domain"
make_leaf doh 2 "DNS:doh.$domain,IP:$doh_ip"
make_leaf blockpage 1 "DNS:blockpage.$domain,DNS:blockpage-tls.$domain"
cat "$out/corvane-root-1.crt" "$out/corvane-root-2.crt" >"$out/ca-bundle.crt"
touch "$out/.stamp"
echo "certificates for $domain written to $out"
