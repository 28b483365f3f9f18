#!/bin/sh
# The real agent over the real adapter list: an Ethernet link in a private
# network namespace is pointed at the agent by the first pass, a link added
# later by the once-a-second pass; a kill -9 in the middle does not spoil the
# backups, and SIGTERM puts every link's values back. Runs inside
# tests/netns-run.sh. Usage: agent_protects_link.sh <agentcorvane>
set -u
. "$(dirname "$0")/../lib.sh"
agent="$1"
work=$(mktemp -d)
pid=
on_exit() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null
    rm -rf "$work"
}
on_fail() { [ -d "$work/bin/log" ] && tail -n 40 "$work"/bin/log/*; }

# A dummy link where the kernel offers the type; otherwise one end of a veth
# pair, which the system lists as Ethernet just the same.
add_link() {
    ip link add "$1" type dummy 2>/dev/null || ip link add "$1" type veth peer name "$1p" || fail "cannot add link $1"
    ip link set "$1" up || fail "cannot bring $1 up"
}

mkdir -p "$work/bin"
cp "$agent" "$work/bin/agentcorvane"
export CORVANE_STATE_DIR="$work/state"
v4="$CORVANE_STATE_DIR/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/Tcpip/Parameters/Interfaces"
v6="$CORVANE_STATE_DIR/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/Tcpip6/Parameters/Interfaces"
store="$CORVANE_STATE_DIR/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
log="$work/bin/log/Corvane Agent_$(date +%Y-%m-%d).log"

# value <ini file> <key>: the value, or "<absent>"
value() {
    [ -f "$1" ] || { echo "<absent>"; return; }
    KEY="$2=" awk 'BEGIN { k = ENVIRON["KEY"] }
        index($0, k) == 1 { print substr($0, length(k) + 1); found = 1; exit }
        END { if (!found) print "<absent>" }' "$1"
}
backup() { value "$store" "$1\\$2\\$3"; }

# wait_value <file> <key> <expected> <what>: polls every 50 ms, fails after 10 s
wait_value() {
    i=0
    while [ "$(value "$1" "$2")" != "$3" ]; do
        i=$((i + 1)); [ $i -gt 200 ] && fail "$4: $2 is '$(value "$1" "$2")', expected '$3'"
        kill -0 $pid 2>/dev/null || fail "agent ended early"
        sleep 0.05
    done
}

# creates: how many times the log says the interface manager was created
creates() { if [ -f "$log" ]; then grep -c 'NETWORKINTERFACEMANAGER: CREATE' "$log"; else echo 0; fi; }
start_agent() {
    lines=$(creates)
    "$work/bin/agentcorvane" &
    pid=$!
    i=0
    until [ "$(creates)" -gt "$lines" ]; do
        i=$((i + 1)); [ $i -gt 200 ] && fail "no interface manager CREATE within 10 s"
        kill -0 $pid 2>/dev/null || fail "agent ended early"
        sleep 0.05
    done
}

add_link dummy0
# dummy1's keys exist before the agent sees it: its original values are known.
mkdir -p "$v4" "$v6"
printf '[General]\nEnableDHCP=0\nNameServer=192.0.2.53 192.0.2.54\n' > "$v4/dummy1.ini"
printf '[General]\nNameServer=2001:db8::53\n' > "$v6/dummy1.ini"

start=$(ms)
start_agent
wait_value "$v4/dummy0.ini" NameServer 127.0.0.1 "dummy0 IPv4 not protected"
echo "dummy0 protected $(( $(ms) - start )) ms after the agent was started"
wait_value "$v6/dummy0.ini" NameServer ::1 "dummy0 IPv6 not protected"
grep -q -F 'dummy0=dummy0:true' "$store" || fail "dummy0 not in the interface map"

# The key was seeded from the system before the backup: the backup holds the
# link's real servers, never the loopback the agent wrote.
original=$(backup dummy0 IPv4 NameServer)
[ "$original" != "<absent>" ] || fail "no IPv4 backup of dummy0"
[ "$(backup dummy0 IPv4 backuped)" = 1 ] || fail "dummy0 backup not valid"
case " $original " in *" 127."*) fail "backup holds a loopback address: $original";; esac
[ "$(backup dummy0 IPv4 EnableDHCP)" != "<absent>" ] || fail "seeded key has no EnableDHCP"
if [ ! -e /run/systemd/resolve ] && [ ! -e /run/systemd/netif/links/"$(cat /sys/class/net/dummy0/ifindex 2>/dev/null)" ]; then
    expected=$(awk '$1 == "nameserver" { print $2 }' /etc/resolv.conf | grep -v -e '^127\.' -e ':' | tr '\n' ' ')
    expected=${expected% }
    [ "$original" = "$expected" ] || fail "seeded servers '$original', /etc/resolv.conf has '$expected'"
fi

# A link that appears while the agent runs is protected by the periodic pass.
added=$(ms)
add_link dummy1
wait_value "$v4/dummy1.ini" NameServer 127.0.0.1 "dummy1 IPv4 not protected"
echo "dummy1 protected $(( $(ms) - added )) ms after it was added"
wait_value "$v6/dummy1.ini" NameServer ::1 "dummy1 IPv6 not protected"
[ "$(backup dummy1 IPv4 NameServer)" = "192.0.2.53 192.0.2.54" ] || fail "dummy1 backup: $(backup dummy1 IPv4 NameServer)"

# A crash leaves the links pointed at the loopback; the restarted agent must
# not take that for the original values.
kill -9 $pid; wait $pid 2>/dev/null
[ "$(value "$v4/dummy0.ini" NameServer)" = 127.0.0.1 ] || fail "dummy0 changed by a killed agent"
start_agent
[ "$(backup dummy0 IPv4 NameServer)" = "$original" ] || fail "restart replaced dummy0's backup"
[ "$(backup dummy1 IPv4 NameServer)" = "192.0.2.53 192.0.2.54" ] || fail "restart replaced dummy1's backup"
[ "$(backup dummy1 IPv6 NameServer)" = "2001:db8::53" ] || fail "restart replaced dummy1's IPv6 backup"

kill -TERM $pid
i=0
while kill -0 $pid 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 200 ] && fail "still running 10 s after SIGTERM"
    sleep 0.05
done
wait $pid; code=$?
pid=
[ $code -eq 0 ] || fail "exit code after SIGTERM: $code"
[ "$(value "$v4/dummy0.ini" NameServer)" = "$original" ] || fail "dummy0 not restored: $(value "$v4/dummy0.ini" NameServer)"
[ "$(value "$v4/dummy1.ini" NameServer)" = "192.0.2.53 192.0.2.54" ] || fail "dummy1 IPv4 not restored"
[ "$(value "$v6/dummy1.ini" NameServer)" = "2001:db8::53" ] || fail "dummy1 IPv6 not restored"
[ "$(backup dummy0 IPv4 backuped)" = 0 ] || fail "dummy0 backup still marked valid"
grep -q 'restore status all interfaces IPv4: 0' "$log" || fail "no restore line in the log"
echo "PASS: agent protects and restores links"
