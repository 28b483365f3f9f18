#!/bin/bash
# Installs, runs and removes the Debian package somewhere that is not the host:
# private mount, PID, network and IPC namespaces whose root is an overlay over
# / (writes land in a tmpfs and vanish with the namespace), with a stand-in
# systemctl (standin-systemctl) because no systemd runs in there. Checks that
# installing starts the service and the agent takes over /etc/resolv.conf,
# that a killed agent is started again by the unit's restart rule, that
# installing a newer package over it (when given) keeps the state and
# restarts the service on the new programs, that removing stops it, gives resolv.conf back byte for byte and removes the unit
# and programs but keeps the state, and that purging removes the state.
# Usage: deb-check.sh <package.deb> [<newer package.deb>]     (root; 77 = cannot run here)
set -u
here=$(cd "$(dirname "$0")" && pwd)
deb=$(readlink -f "$1")
next=""
[ -n "${2:-}" ] && next=$(readlink -f "$2")
unit=corvane-agent.service

if [ -z "${CORVANE_DEB_INSIDE:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "deb-check.sh needs root; skipped" >&2; exit 77; }
    [ -f "$deb" ] || { echo "no package $deb" >&2; exit 2; }
    unshare --mount --pid --net --ipc --fork --propagation private true 2>/dev/null ||
        { echo "cannot create namespaces here; skipped" >&2; exit 77; }
    CORVANE_DEB_INSIDE=1 exec unshare --mount --pid --net --ipc --fork --propagation private -- "$0" "$@"
fi

# shellcheck source=../lib.sh
. "$here/../lib.sh"
on_fail() {
    [ -n "${CORVANE_DEB_DEBUG:-}" ] && { cat "$layers"/dpkg-*.log; ls -la "$root"/etc/systemd/system/*.wants "$root"/run/standin; cat "$root"/run/standin/calls; }
    tail -n 20 "$root"/run/standin/*.out "$root"/var/log/corvane-agent/*.log 2>/dev/null
}

# --- the overlay root -----------------------------------------------------------
layers=$(mktemp -d)
mount -t tmpfs tmpfs "$layers" || exit 77
mkdir -p "$layers/upper" "$layers/work" "$layers/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$layers/root" ||
    { echo "no overlay file system here; skipped" >&2; exit 77; }
root=$layers/root
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/run/systemd/system" # the maintainer scripts talk to "systemd"
install -m 0755 "$here/standin-systemctl" "$root/usr/local/sbin/systemctl"
cp "$deb" "$root/tmp/package.deb"
[ -n "$next" ] && cp "$next" "$root/tmp/next.deb"
printf '# resolver of the package check\nnameserver 192.0.2.99\nsearch example.test\n' >"$root/etc/resolv.conf"
cp "$root/etc/resolv.conf" "$root/tmp/resolv.conf.orig"
ip link set lo up
ip link add corvane0 type dummy 2>/dev/null || ip link add corvane0 type veth peer name corvane0p || fail "no link"
ip link set corvane0 up

in_root() { chroot "$root" /usr/bin/env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
agent_pid() { cat "$root/run/standin/$unit.main" 2>/dev/null; }
agent_alive() { local pid; pid=$(agent_pid) && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; }
taken_over() { grep -qx 'nameserver 127.0.0.1' "$root/etc/resolv.conf"; }
listening() { ss -Hlun 'sport = :53' | grep -q .; }

# --- install: files in place, service started, resolver taken over ----------------
in_root dpkg -i /tmp/package.deb >"$layers/dpkg-i.log" 2>&1 || fail "dpkg -i: $(tail -n 5 "$layers/dpkg-i.log")"
for file in /usr/lib/corvane-agent/agentcorvane /usr/lib/corvane-agent/agentcorvanegui/agentcorvanegui \
    /usr/bin/corvanectl /usr/bin/agentcorvanegui /lib/systemd/system/$unit \
    /etc/xdg/autostart/corvane-agent-tray.desktop; do
    [ -e "$root$file" ] || fail "$file not installed"
done
[ -L "$root/etc/systemd/system/multi-user.target.wants/$unit" ] || fail "unit not enabled"
[ "$(stat -c %a "$root/var/lib/corvane-agent")" = 700 ] || fail "state folder not private"
grep -q "start $unit" "$root/run/standin/calls" || fail "install did not start the service"
wait_for 100 "agent not running after install" agent_alive
wait_for 100 "resolv.conf not taken over by the installed agent" taken_over
wait_for 100 "agent not listening on port 53" listening
wait_for 100 "no log in /var/log/corvane-agent" sh -c "ls '$root'/var/log/corvane-agent/*.log"
echo "ok - install starts the service; the agent takes over resolv.conf"

# --- the tray program of an ordinary user logs into the user's own folder -------------
mkdir -p "$root/tmp/trayhome" && chown 65534:65534 "$root/tmp/trayhome"
in_root setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp/trayhome QT_QPA_PLATFORM=offscreen \
    timeout 20 /usr/bin/agentcorvanegui >"$layers/tray.out" 2>&1 &
tray=$!
wait_for 100 "the tray program of user nobody wrote no log in its data folder" \
    sh -c "grep -qs START_GUI '$root'/tmp/trayhome/.local/share/corvane-agent/log/agentcorvanegui_*.log"
kill "$tray" 2>/dev/null
wait "$tray" 2>/dev/null
echo "ok - the tray program logs into ~/.local/share/corvane-agent/log"

# --- a crash: the unit's restart rule brings the agent back --------------------------
first=$(agent_pid)
killed=$(ms)
kill -9 "$first"
until agent_alive && [ "$(agent_pid)" != "$first" ] && listening; do
    [ $(($(ms) - killed)) -gt 15000 ] && fail "agent not back 15 s after kill -9"
    sleep 0.02
done
echo "kill -9 to agent listening again: $(($(ms) - killed)) ms (RestartSec=1 from the unit)"
taken_over || fail "resolv.conf not pointed at the restarted agent"

# --- upgrade: the newer package over this one keeps the state, restarts the service ---
if [ -n "$next" ]; then
    settings="$root/var/lib/corvane-agent/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
    wait_for 100 "no settings file in /var/lib/corvane-agent" test -s "$settings"
    # A value of its own in the settings (the agent keeps keys it does not
    # know when it writes the file) stands for the sign-in data and the PIN.
    printf '\n[UPGRADECHECK]\nmarker=kept\n' >>"$settings"
    old_version=$(in_root dpkg-query -W corvane-agent | cut -f2)
    before=$(agent_pid)
    restarts=$(grep -c "restart $unit" "$root/run/standin/calls")
    upgraded=$(ms)
    in_root dpkg -i /tmp/next.deb >"$layers/dpkg-upgrade.log" 2>&1 || fail "dpkg -i (upgrade): $(tail -n 5 "$layers/dpkg-upgrade.log")"
    new_version=$(in_root dpkg-query -W corvane-agent | cut -f2)
    [ "$new_version" != "$old_version" ] || fail "still version $old_version after the upgrade"
    [ "$(grep -c "restart $unit" "$root/run/standin/calls")" -gt "$restarts" ] || fail "the upgrade did not restart the service"
    until agent_alive && [ "$(agent_pid)" != "$before" ] && listening; do
        [ $(($(ms) - upgraded)) -gt 30000 ] && fail "agent not running again 30 s after the upgrade"
        sleep 0.02
    done
    grep -qx 'marker=kept' "$settings" || fail "the upgrade lost the settings"
    [ "$(stat -c %a "$root/var/lib/corvane-agent")" = 700 ] || fail "state folder not private after the upgrade"
    wait_for 100 "resolv.conf not taken over after the upgrade" taken_over
    echo "ok - dpkg -i of $new_version over $old_version keeps the state and restarts the service ($(($(ms) - upgraded)) ms until it listens again)"
fi

# --- remove: stopped, resolver given back, unit gone, state kept ----------------------
in_root dpkg -r corvane-agent >"$layers/dpkg-r.log" 2>&1 || fail "dpkg -r: $(tail -n 5 "$layers/dpkg-r.log")"
grep -q "stop $unit" "$root/run/standin/calls" || fail "remove did not stop the service"
agent_alive && fail "agent still running after removal"
cmp -s "$root/etc/resolv.conf" "$root/tmp/resolv.conf.orig" || fail "resolv.conf not restored: $(cat "$root/etc/resolv.conf")"
for file in /usr/lib/corvane-agent /lib/systemd/system/$unit /usr/bin/corvanectl; do
    [ -e "$root$file" ] && fail "$file left after removal"
done
[ -d "$root/var/lib/corvane-agent" ] || fail "removal deleted the state"
echo "ok - remove stops the agent, restores resolv.conf byte for byte, removes the unit"

# --- purge: the state goes ---------------------------------------------------------------
in_root dpkg -P corvane-agent >"$layers/dpkg-p.log" 2>&1 || fail "dpkg -P: $(tail -n 5 "$layers/dpkg-p.log")"
[ -e "$root/var/lib/corvane-agent" ] && fail "purge left /var/lib/corvane-agent"
[ -e "$root/var/log/corvane-agent" ] && fail "purge left /var/log/corvane-agent"
[ -e "$root/etc/xdg/autostart/corvane-agent-tray.desktop" ] && fail "purge left the autostart entry"
echo "ok - purge removes the state"
echo "PASS: the package installs, runs and removes cleanly"
