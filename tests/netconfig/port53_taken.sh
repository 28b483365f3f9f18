#!/bin/bash
# Another program holds UDP 127.0.0.1:53 when the agent starts: the agent
# leaves the link's DNS values and /etc/resolv.conf alone, says once at
# critical level which address and port it cannot bind and who holds it, and
# once the holder has gone it binds, answers and takes the machine over.
# Prints the time from the holder's exit to the takeover.
# Runs inside scripts/harness/run-in-ns.sh (knotd and the development service).
# Usage: port53_taken.sh <agentcorvane>
set -u
. "$(dirname "$0")/../lib.sh"
agent="$1"
work=$(mktemp -d)
pid=
holder=
on_exit() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null
    [ -z "$holder" ] || kill -9 "$holder" 2>/dev/null
    umount /etc/resolv.conf 2>/dev/null
    rm -rf "$work"
}
on_fail() {
    echo "--- agent log (tail)"
    tail -n 40 "$work"/bin/log/* 2>/dev/null
    echo "--- /etc/resolv.conf"
    cat /etc/resolv.conf
}

mkdir -p "$work/bin"
cp "$agent" "$work/bin/agentcorvane"
export CORVANE_STATE_DIR="$work/state"
v4="$CORVANE_STATE_DIR/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/Tcpip/Parameters/Interfaces"
v6="$CORVANE_STATE_DIR/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/Tcpip6/Parameters/Interfaces"

# value <ini file> <key>: the value, or "<absent>"
value() {
    [ -f "$1" ] || { echo "<absent>"; return; }
    KEY="$2=" awk 'BEGIN { k = ENVIRON["KEY"] }
        index($0, k) == 1 { print substr($0, length(k) + 1); found = 1; exit }
        END { if (!found) print "<absent>" }' "$1"
}
critical_lines() { cat "$work"/bin/log/*.log 2>/dev/null | grep -c ' | CRT | SNIFFERDNSUDP: PORT TAKEN: cannot bind 127\.0\.0\.1:53 '; }
has_critical() { [ "$(critical_lines)" -ge 1 ]; }
resolv_untouched() { cmp -s /etc/resolv.conf "$work/resolv.conf.orig"; }
link_untouched() { [ "$(value "$v4/corvane0.ini" NameServer)" = 192.0.2.98 ] && [ "$(value "$v6/corvane0.ini" NameServer)" = 2001:db8::98 ]; }
taken_over() {
    grep -q '^nameserver 127\.0\.0\.1$' /etc/resolv.conf &&
        [ "$(value "$v4/corvane0.ini" NameServer)" = 127.0.0.1 ] &&
        [ "$(value "$v6/corvane0.ini" NameServer)" = ::1 ]
}
udp_bound() { grep -q '^ *[0-9]*: 0100007F:0035 ' /proc/net/udp; }
answers() {
    local got=""
    for _ in 1 2 3; do
        got=$(getent ahostsv4 "$1" | awk '{ print $1; exit }')
        [ -n "$got" ] && break
    done
    [ "$got" = "$2" ]
}
alive() { kill -0 $pid 2>/dev/null || fail "the agent ended early"; }

printf 'nameserver 192.0.2.99\noptions timeout:1 attempts:1\n' >"$work/resolv.conf"
cp "$work/resolv.conf" "$work/resolv.conf.orig"
mount --bind "$work/resolv.conf" /etc/resolv.conf || fail "cannot bind-mount resolv.conf"
ip link add corvane0 type dummy 2>/dev/null || ip link add corvane0 type veth peer name corvane0p || fail "no link"
ip link set corvane0 up
# The link's own servers, known before the agent sees it.
mkdir -p "$v4" "$v6"
printf '[General]\nEnableDHCP=0\nNameServer=192.0.2.98\n' >"$v4/corvane0.ini"
printf '[General]\nNameServer=2001:db8::98\n' >"$v6/corvane0.ini"

# Another DNS server of the machine on 127.0.0.1:53 (::1 stays free).
/usr/bin/python3 -c '
import signal, socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
signal.pause()' &
holder=$!
wait_for 100 "the stand-in server did not bind 127.0.0.1:53" udp_bound

"$work/bin/agentcorvane" &
pid=$!
wait_for 150 "no critical line naming 127.0.0.1:53 within 15 s" has_critical
line=$(cat "$work"/bin/log/*.log | grep ' | CRT | SNIFFERDNSUDP: PORT TAKEN: ' | head -n 1)
echo "$line"
case "$line" in
*"held by python3 (pid $holder)"*) echo "ok - the critical line names 127.0.0.1:53 and its holder" ;;
*) fail "the critical line does not name the holder python3 (pid $holder): $line" ;;
esac

# The agent's first interface pass ran before its listener started: for
# longer than one retry (10 s) nothing is pointed at the agent, and the
# critical line is not written again.
held_since=$(ms)
while [ $(($(ms) - held_since)) -lt 12000 ]; do
    alive
    resolv_untouched || fail "resolv.conf changed while port 53 was taken: $(head -c 200 /etc/resolv.conf)"
    link_untouched || fail "corvane0 pointed at the agent while port 53 was taken: $(cat "$v4/corvane0.ini")"
    sleep 0.1
done
[ "$(critical_lines)" -eq 1 ] || fail "the critical line was written $(critical_lines) times in one episode"
echo "ok - interfaces and resolv.conf untouched while the port is taken, one critical line"

freed=$(ms)
kill -TERM $holder
wait $holder 2>/dev/null
holder=
wait_for 200 "not taken over within 20 s of the port being freed" taken_over
echo "port freed to takeover: $(($(ms) - freed)) ms (bind retry every 10000 ms)"
wait_for 100 "getent does not resolve through the agent" answers www.example.test 192.0.2.10
# The log writer batches its lines (up to 100 ms): the takeover may answer
# before its lines are in the file.
wait_for 50 "no line saying the port was bound" \
    grep -q 'SNIFFERDNSUDP: port free again, listening on 127.0.0.1:53' "$work"/bin/log/*.log
wait_for 50 "no line saying the self-query was answered" \
    grep -q 'SNIFFERDNSUDP: listening on 127.0.0.1 and ::1 port 53 - self-query answered' "$work"/bin/log/*.log
echo "ok - the freed port is bound and the machine pointed at the agent"

kill -TERM $pid
wait_for 100 "agent still running 10 s after SIGTERM" sh -c "! kill -0 $pid"
wait $pid
code=$?
pid=
[ $code -eq 0 ] || fail "exit code after SIGTERM: $code"
resolv_untouched || fail "stop did not restore resolv.conf"
link_untouched || fail "stop did not restore corvane0: $(cat "$v4/corvane0.ini")"
echo "PASS: port 53 taken at start: left alone, reported, taken over once freed"
