#!/bin/sh
# Soak and fault test of the agent's DNS path. Inside a private network, IPC
# and mount namespace: knotd (the upstream), dnsdist serving DoT and DoH in
# front of it, and the agent (protection on, token, plain UDP to knotd).
# A steady dnsperf load runs for the whole duration while, in rounds:
#   - the upstream is killed and started again: answers must resume within
#     one second of its return;
#   - the protocol is switched over the control channel to DoT and DoH, and
#     the DoT/DoH server is restarted under each: answers must resume;
#   - the agent's DNS thread is made to end (through gdb, when installed): the
#     agent must start it again and answer;
#   - control clients connect and flood the control port with valid frames
#     and garbage.
# At the end: the agent still runs and answers, its RSS is within 10 % of its
# level after warm-up, and its file descriptors and threads are back to their
# level after warm-up.
#
# usage: soak.sh <build-dir> <duration-seconds>
# Exit status: 0 pass, 1 fail, 77 when the machine cannot run it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
BENCH_SOURCE=$(cd "$here/../.." && pwd)
. "$BENCH_SOURCE/bench/dnsproxy/lib.sh"
bench_enter_ns "$0" "$@"
[ $# -ge 2 ] || { echo "usage: $0 <build-dir> <duration-seconds>" >&2; exit 2; }
build=$1
duration=$2
bench_require knotd dnsdist dnsperf dig kdig
bench_setup "$build"
probe="$BENCH_BUILD/bench/dnsproxy/corvane-bench-first-answer"
ctl="$BENCH_BUILD/tools/corvanectl/corvanectl"
[ -x "$probe" ] || bench_die "$probe not built"
[ -x "$ctl" ] || bench_die "$ctl not built"
failures=0
fail() {
    bench_log "FAIL: $*"
    failures=$((failures + 1))
}
note() { bench_log "$*"; }

threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
fds_of() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# answers_within <seconds>: the agent answers a query within that time
# (queries every millisecond, the first answer counts).
answers_within() {
    _out=$("$probe" $BENCH_AGENT "$1" true 2>/dev/null) || return 1
    note "agent answered after ${_out%% *} ms"
}

agent_alive() {
    kill -0 "$BENCH_AGENT_PID" 2>/dev/null || { fail "the agent is gone (see $BENCH_AGENT_DIR/agent.out)"; return 1; }
}

bench_start_knot
bench_start_tls_server
bench_start_agent 1 0 false
bench_agent_ready
start=$(date +%s)
end=$((start + duration))

# The steady load: 4 clients, 400 queries/s offered, per-second statistics.
dnsperf -s $BENCH_AGENT -d "$BENCH_RUN/queries.txt" -c 4 -q 50 -Q 400 -l "$duration" -t 1 -S 5 \
    >"$BENCH_RUN/load.out" 2>&1 &
load_pid=$!
BENCH_PIDS="$BENCH_PIDS $load_pid"

warm=$((duration / 10))
[ $warm -ge 3 ] || warm=3
sleep "$warm"
agent_alive || exit 1
warm_rss=$(bench_rss_kb "$BENCH_AGENT_PID")
warm_fds=$(fds_of "$BENCH_AGENT_PID")
warm_threads=$(threads_of "$BENCH_AGENT_PID")
note "after warm-up: RSS ${warm_rss} kB, ${warm_fds} fds, ${warm_threads} threads"

restart_knot() {
    kill -KILL "$BENCH_KNOT_PID" 2>/dev/null || true
    wait "$BENCH_KNOT_PID" 2>/dev/null || true
    BENCH_PIDS=$(echo " $BENCH_PIDS " | sed "s/ $BENCH_KNOT_PID / /")
    sleep 1
    bench_start_knot
    answers_within 1 || fail "no answer within 1 s of the upstream's return"
}

restart_tls_server() {
    bench_stop "$BENCH_TLS_PID"
    sleep 0.5
    bench_start_tls_server
    answers_within 5 || fail "no answer within 5 s of the DoT/DoH server's return"
}

switch_protocol() { # dns|doh|dot
    "$ctl" --timeout 3000 protocol "$1" >>"$BENCH_RUN/ctl.log" 2>&1 || fail "corvanectl protocol $1 failed"
    answers_within 5 || fail "no answer after switching to $1"
}

end_dns_thread() {
    [ -n "$(bench_tool gdb)" ] || { note "gdb missing: DNS thread end skipped"; return 0; }
    # Stop the agent where its DNS thread handles a query of the steady load
    # and ask that thread to quit.
    timeout 30 gdb -p "$BENCH_AGENT_PID" -batch -nx \
        -ex 'set pagination off' \
        -ex 'break SnifferDnsUdp::slotReadyReadLocal' \
        -ex 'continue' \
        -ex 'call ((void(*)(void*))_ZN7QThread4quitEv)(((void*(*)())_ZN7QThread13currentThreadEv)())' \
        -ex 'delete' -ex 'detach' >>"$BENCH_RUN/gdb.log" 2>&1 || note "gdb returned an error (see $BENCH_RUN/gdb.log)"
    answers_within 5 || fail "no answer after the DNS thread ended"
    grep -q "THREAD DNS UDP FINISHED" "$BENCH_AGENT_DIR"/bin/log/* 2>/dev/null ||
        fail "the DNS thread did not end (no \"THREAD DNS UDP FINISHED\")"
}

flood_control() {
    _pids=""
    _i=0
    while [ $_i -lt 10 ]; do
        "$ctl" --timeout 2000 status >/dev/null 2>&1 &
        _pids="$_pids $!"
        "$ctl" --timeout 2000 send CONNECTGUI >/dev/null 2>&1 &
        _pids="$_pids $!"
        # A client that sends garbage, then a frame announcing more than it sends.
        bash -c "exec 3<>/dev/tcp/127.0.0.1/49101 && head -c 65536 /dev/urandom >&3; printf '\\377\\377abc' >&3; sleep 0.2" \
            >/dev/null 2>&1 &
        _pids="$_pids $!"
        _i=$((_i + 1))
    done
    for _j in $_pids; do wait "$_j" 2>/dev/null || true; done
    answers_within 2 || fail "no answer after the control flood"
    "$ctl" --timeout 3000 status >/dev/null 2>&1 || fail "control channel does not answer after the flood"
}

# Rounds until shortly before the end; the first failure ends them (a deaf
# agent would only pile up time-outs). CORVANE_SOAK_SKIP names steps to leave
# out (thread, flood, tls, upstream), e.g. to look at the others while one is
# known to fail.
skip=" ${CORVANE_SOAK_SKIP:-} "
step() { # <name> <command...>
    case "$skip" in *" $1 "*) return 0 ;; esac
    shift
    "$@"
    agent_alive && [ $failures -eq 0 ]
}
round=1
while [ "$(date +%s)" -lt $((end - 8)) ]; do
    note "round $round"
    step upstream restart_knot || break
    step tls switch_protocol dot || break
    step tls restart_tls_server || break
    step tls switch_protocol doh || break
    step tls restart_tls_server || break
    step tls switch_protocol dns || break
    step thread end_dns_thread || break
    step flood flood_control || break
    if [ $round -eq 1 ]; then
        # Memory is measured against the level after every path (TLS sessions,
        # a restarted DNS thread, the control flood) has run once: growth after
        # that is what a leak looks like.
        warm_rss=$(bench_rss_kb "$BENCH_AGENT_PID")
        note "after the first fault round: RSS ${warm_rss} kB"
    fi
    round=$((round + 1))
done

wait "$load_pid" 2>/dev/null || true
BENCH_PIDS=$(echo " $BENCH_PIDS " | sed "s/ $load_pid / /")
agent_alive || exit 1
answers_within 1 || fail "the agent does not answer at the end"

# Levels: give sockets of finished clients and idle worker threads a moment.
deadline=$(($(date +%s) + 15))
while :; do
    rss=$(bench_rss_kb "$BENCH_AGENT_PID")
    fds=$(fds_of "$BENCH_AGENT_PID")
    threads=$(threads_of "$BENCH_AGENT_PID")
    [ "$fds" -le "$warm_fds" ] && [ "$threads" -le "$warm_threads" ] && break
    [ "$(date +%s)" -lt "$deadline" ] || break
    sleep 1
done
note "at the end: RSS ${rss} kB, ${fds} fds, ${threads} threads (warm-up ${warm_rss} kB, ${warm_fds}, ${warm_threads}); $((round - 1)) fault rounds"
awk -v r="$rss" -v w="$warm_rss" 'BEGIN {exit !(r <= w * 1.10)}' || fail "RSS grew more than 10 %: $warm_rss -> $rss kB"
[ "$fds" -le "$warm_fds" ] || fail "file descriptors not back to their level: $warm_fds -> $fds"
[ "$threads" -le "$warm_threads" ] || fail "threads not back to their level: $warm_threads -> $threads"
[ "$round" -gt 1 ] || [ $failures -gt 0 ] || fail "no complete fault round in ${duration}s"
grep -E 'Queries (sent|completed|lost)' "$BENCH_RUN/load.out" | sed 's/^ */[load] /' >&2 || true
[ $failures -eq 0 ] || exit 1
note "soak passed"
