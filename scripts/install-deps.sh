#!/bin/sh
# Installs the Debian packages the build, the tests and the main job need.
# Idempotent: does nothing when everything is present.
set -e
packages="build-essential cmake ninja-build pkg-config qtbase5-dev qtbase5-dev-tools libqt5svg5-dev zlib1g-dev
    iproute2 util-linux procps psmisc openssl curl ca-certificates
    dnsutils knot-dnsutils knot dnsdist dnsperf dnsmasq-base stubby traceroute iputils-tracepath nftables
    clang-14 libclang-rt-14-dev
    xvfb xdotool xauth fonts-dejavu-core imagemagick
    g++-mingw-w64-x86-64-posix wine64 nsis wixl msitools
    lintian"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# knot and dnsdist must not start system-wide services on the host: policy-rc.d refuses.
printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
chmod +x /usr/sbin/policy-rc.d
# shellcheck disable=SC2086 # one word per package
apt-get install -y -qq --no-install-recommends $missing > /tmp/corvane-apt.log 2>&1 || { tail -30 /tmp/corvane-apt.log; exit 1; }
rm -f /usr/sbin/policy-rc.d
