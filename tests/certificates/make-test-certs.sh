#!/bin/sh
# Writes the certificates the certificate tests need into <dir>: roots of the
# organisation "Corvane" with chosen validity periods, a server certificate,
# a root of someone else, and one root in DER form. Keys stay in <dir>/work.
# usage: make-test-certs.sh <dir>
set -eu
out=${1:?usage: make-test-certs.sh <dir>}
mkdir -p "$out/work"
work="$out/work"

cat >"$work/ca.conf" <<CONF
[ ca ]
default_ca = selfsigned
[ selfsigned ]
dir = $work
database = $work/index.txt
new_certs_dir = $work
serial = $work/serial
default_md = sha256
policy = anything
copy_extensions = none
x509_extensions = root_ext
unique_subject = no
[ anything ]
commonName = supplied
organizationName = optional
[ root_ext ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
CONF

# <name> <subject> <start YYMMDDHHMMSSZ> <end YYMMDDHHMMSSZ>: a self-signed root with exact dates.
root_with_dates() {
    : >"$work/index.txt"
    echo 01 >"$work/serial"
    openssl req -new -newkey rsa:2048 -nodes -subj "$2" -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
    openssl ca -batch -selfsign -config "$work/ca.conf" -keyfile "$work/$1.key" -in "$work/$1.csr" \
        -startdate "$3" -enddate "$4" -out "$work/$1.full" >/dev/null 2>&1
    openssl x509 -in "$work/$1.full" -out "$out/$1.crt"
}

# <name> <subject> <days> <CA:TRUE|CA:FALSE>: a self-signed certificate valid from now.
self_signed() {
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$3" -subj "$2" \
        -addext "basicConstraints=critical,$4" -keyout "$work/$1.key" -out "$out/$1.crt" 2>/dev/null
}

stamp() { # <days from now, may be negative> -> YYMMDDHHMMSSZ (UTC)
    date -u -d "@$(($(date +%s) + $1 * 86400))" +%y%m%d%H%M%SZ
}

self_signed root-a "/O=Corvane/CN=Corvane Root CA 1" 3650 CA:TRUE
self_signed root-b "/O=Corvane/CN=Corvane Root CA 2" 3650 CA:TRUE
self_signed root-c "/O=Corvane/CN=Corvane Test Root C" 3650 CA:TRUE
self_signed lower "/CN=corvane lower-case root" 3650 CA:TRUE
self_signed expiring "/O=Corvane/CN=Corvane Expiring Root" 9 CA:TRUE
self_signed leaf "/O=Corvane/CN=Corvane Leaf" 365 CA:FALSE
self_signed other "/O=Corvane/CN=Other Root" 3650 CA:TRUE
self_signed evil "/O=Corvane/CN=Corvane Evil Root" 3650 CA:TRUE
self_signed suffixed "/O=Corvane/CN=Corvane Root CA 10" 3650 CA:TRUE
root_with_dates expired "/O=Corvane/CN=Corvane Expired Root" "$(stamp -3)" "$(stamp -1)"
root_with_dates eleven "/O=Corvane/CN=Corvane Eleven Days" "$(stamp -1)" "$(stamp 11)"
openssl x509 -in "$out/root-a.crt" -outform DER -out "$out/root-a.der"
cat "$out/root-a.crt" "$out/root-b.crt" >"$out/two-roots.crt"
printf '<!DOCTYPE html><html><body>Not found</body></html>\n' >"$out/page.html"
