# shellcheck shell=bash
# Shared functions of the adversarial suite, sourced by security-e2e.sh inside
# scripts/harness/run-in-ns.sh (a private network, IPC and mount namespace
# with knotd and the development service running; no agent of the harness).
#
# The agent under attack is a copy of the built binary in the run folder, so
# that its log folder (beside the program) is this run's own; it starts with
# systemd's default soft descriptor limit and a settings store of its own.
# The attacker is the unprivileged user nobody; its programs are copied into
# a folder it can read, since the run folder is root's alone.

sec_build=${CORVANE_BUILD_DIR:?run inside scripts/harness/run-in-ns.sh}
sec_run=${CORVANE_HARNESS_RUN:?run inside scripts/harness/run-in-ns.sh}
sec_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sec_domain=${CORVANE_DOMAIN:-corvane.test}
sec_python=/usr/bin/python3
sec_ctl=$sec_build/tools/corvanectl/corvanectl
sec_agent_dir=$sec_run/sec-agent
sec_agent=$sec_agent_dir/agentcorvane
sec_state=$sec_run/sec-state
sec_ini="$sec_state/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"
sec_agent_log=$sec_run/sec-agent.out
sec_log_dir=$sec_agent_dir/log
sec_user_pin=4321
agent_pid=""
sec_passed=0
sec_failed=0
sec_helpers=""

ok() { echo "ok - $*"; sec_passed=$((sec_passed + 1)); }
fail() { echo "FAIL - $*"; sec_failed=$((sec_failed + 1)); }
note() { echo "     $*"; }
# check <description> <command...>: the command must succeed.
check() {
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}
summary() {
    echo "$sec_passed passed, $sec_failed failed"
    [ "$sec_failed" -eq 0 ]
}

now_ms() { date +%s%3N; }

# wait_for <seconds> <command...>: polls the command until it succeeds.
wait_for() {
    local limit=$1
    shift
    local deadline=$(($(now_ms) + limit * 1000))
    until "$@" >/dev/null 2>&1; do
        [ "$(now_ms)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

sec_setup() {
    { [ -x "$sec_build/agent/host/agentcorvane" ] && [ -x "$sec_ctl" ]; } ||
        { echo "agentcorvane or corvanectl not built" >&2; exit 1; }
    command -v setpriv >/dev/null 2>&1 || { echo "setpriv is missing; skipped" >&2; exit 77; }
    id nobody >/dev/null 2>&1 || { echo "no user nobody; skipped" >&2; exit 77; }
    [ -x "$sec_python" ] || { echo "$sec_python is missing; skipped" >&2; exit 77; }
    mkdir -p "$sec_agent_dir" "$(dirname "$sec_ini")"
    cp "$sec_build/agent/host/agentcorvane" "$sec_agent"
    # The attacker's folder: readable by nobody, with a place it may write.
    sec_attacker=$(mktemp -d /tmp/corvane-attacker.XXXXXX)
    chmod 0755 "$sec_attacker"
    cp "$sec_here"/*.py "$sec_attacker/"
    chmod 0755 "$sec_attacker"/*.py
    mkdir -p "$sec_attacker/out"
    chown nobody:nogroup "$sec_attacker/out"
    trap sec_teardown EXIT
}

sec_teardown() {
    local pid
    for pid in $sec_helpers; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in $sec_helpers; do
        wait "$pid" 2>/dev/null
    done
    stop_agent
    [ -n "${sec_attacker:-}" ] && rm -rf "$sec_attacker"
}

# remember <pid>: a background helper this script started, ended at teardown.
remember() { sec_helpers="$sec_helpers $1"; }
# end_helper <pid>: ends one helper this script started.
end_helper() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    sec_helpers=$(echo "$sec_helpers" | tr ' ' '\n' | grep -vx "$1" | tr '\n' ' ')
}

# as_attacker <command...>: runs the command as nobody, with no groups.
as_attacker() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
# attack <script.py> [args...]: one of the attack programs, as nobody.
attack() {
    local script=$1
    shift
    as_attacker "$sec_python" "$sec_attacker/$script" "$@"
}
# wire [args...]: the control client as root (the user, the tray program).
wire() { "$sec_python" "$sec_here/cvwire.py" "$@"; }
# spawn_attack <output file> <script.py> [args...]: an attack program in the
# background; its pid (the program itself, so that ending it ends the
# attack) is in $spawned and ended at teardown at the latest.
spawn_attack() {
    local out=$1 script=$2
    shift 2
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
        "$sec_python" "$sec_attacker/$script" "$@" >"$out" 2>&1 &
    spawned=$!
    remember $spawned
}
# spawn_wire <output file> [args...]: the user's control client in the background.
spawn_wire() {
    local out=$1
    shift
    "$sec_python" "$sec_here/cvwire.py" "$@" >"$out" 2>&1 &
    spawned=$!
    remember $spawned
}

# A crashed agent stays a zombie until this shell reaps it: alive means running.
agent_alive() {
    [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null &&
        ! grep -q '^State:[[:space:]]*Z' "/proc/$agent_pid/status" 2>/dev/null
}
# stays_alive <seconds>: the agent does not end during that window (what a
# client left behind may still bring it down when the waits come back).
stays_alive() {
    local deadline=$(($(now_ms) + $1 * 1000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        agent_alive || return 1
        sleep 0.2
    done
    agent_alive
}
dns_answers() {
    [ "$(dig +time=2 +tries=1 +short @127.0.0.1 "www.$sec_domain" A 2>/dev/null)" = 127.53.0.2 ]
}
control_answers() { wire hello --wait "${1:-5}"; }
agent_ready() { agent_alive && dns_answers && control_answers 2; }

# start_agent [--no-wait]: the agent with this run's settings store, started
# as the service would start it: systemd's default soft descriptor limit.
start_agent() {
    local soft=1024
    [ "$(ulimit -Hn)" = unlimited ] || [ "$(ulimit -Hn)" -ge 1024 ] || soft=$(ulimit -Hn)
    # A temporary folder of the run's own: the single-instance guard keeps
    # its key files there, and /tmp is shared with the agents of other
    # namespaces, whose starts and stops would otherwise make a restarted
    # agent here find the guard taken.
    mkdir -p "$sec_run/agent-tmp"
    (
        ulimit -Sn "$soft"
        exec env CORVANE_STATE_DIR="$sec_state" TMPDIR="$sec_run/agent-tmp" "$sec_agent"
    ) >>"$sec_agent_log" 2>&1 &
    agent_pid=$!
    [ "${1:-}" = --no-wait ] && return 0
    if ! wait_for 30 agent_ready; then
        echo "the agent did not become ready" >&2
        tail -n 30 "$sec_agent_log" >&2
        return 1
    fi
}

stop_agent() {
    [ -n "$agent_pid" ] || return 0
    kill -TERM "$agent_pid" 2>/dev/null
    local n=0
    while kill -0 "$agent_pid" 2>/dev/null && [ $n -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    kill -KILL "$agent_pid" 2>/dev/null
    wait "$agent_pid" 2>/dev/null
    agent_pid=""
}

# kill_agent: as a crash would end it, and a service restart finds it.
kill_agent() {
    [ -n "$agent_pid" ] || return 0
    kill -KILL "$agent_pid" 2>/dev/null
    wait "$agent_pid" 2>/dev/null
    agent_pid=""
}

# The agent's exit, for a check that found it gone.
agent_exit_note() {
    wait "$agent_pid" 2>/dev/null
    local rc=$?
    note "the agent ended with status $rc; last lines of its output:"
    tail -n 5 "$sec_agent_log" | sed 's/^/       /'
}

# ini_value <KEY>: a value of the settings store (first match in any group).
ini_value() { sed -n "s/^$1=//p" "$sec_ini" | head -n 1; }

# The agent's log, every file of the folder.
agent_log() { cat "$sec_log_dir"/*.log 2>/dev/null; }
log_bytes() { du -sb "$sec_log_dir" 2>/dev/null | cut -f1; }
# log_settled: a line the agent logs for a greeting has reached the file, so
# everything logged before it has too (one writer, in order).
log_mark_count() { agent_log | grep -c 'HELLO SUPPORT'; }
marks_above() { [ "$(log_mark_count)" -gt "$1" ]; }
log_settled() {
    local before
    before=$(log_mark_count)
    control_answers 5 || return 1
    wait_for 15 marks_above "$before"
}

# first_reply <info> <session output>: the first message of that name.
first_reply() { printf '%s\n' "$2" | grep -m1 "\"info\":\"$1\""; }
# reply_status <info> <session output>: its "status", empty when it did not come.
reply_status() {
    first_reply "$1" "$2" | sed -n 's/.*"status":\([a-z0-9]*\).*/\1/p'
}

# user_session <steps>: the legitimate user's tray program, one connection.
user_session() { wire session "$1" --wait "${2:-15}"; }

# user_sign_in: signs the agent in as the tray program does (login and
# password, then a new PIN, on one connection). Prints nothing; fails unless
# both steps were answered 1.
user_sign_in() {
    local out
    out=$(user_session "[[\"HELLOGUI\",null,\"HELLOAGENT\"],
        [\"CHECKAUTH\",{\"login\":\"demo\",\"password\":\"demo-password\"},\"STATUSCHECKAUTH\"],
        [\"CREATEPIN\",{\"pin_code\":\"$sec_user_pin\"},\"STATUSCREATEPIN\"]]" 20)
    if [ "$(reply_status STATUSCHECKAUTH "$out")" = 1 ] && [ "$(reply_status STATUSCREATEPIN "$out")" = 1 ]; then
        # A sign-in makes the agent install the service's two roots, and the
        # system's certificate update holds its thread for seconds on a loaded
        # machine: the attacks and the timed probes start once that is over.
        wait_for 60 roots_installed || note "the service's roots were not installed within 60 s"
        return 0
    fi
    note "sign-in answered: $(printf '%s\n' "$out" | grep -E 'STATUSCHECKAUTH|STATUSCREATEPIN|session_error' | tr '\n' ' ')"
    return 1
}

roots_installed() {
    [ "$(find /usr/local/share/ca-certificates -maxdepth 1 -name 'corvane-*.crt' 2>/dev/null | wc -l)" -ge 2 ] && control_answers 2
}

# pin_status <pin>: what a fresh GUI connection's CHECKPIN is answered.
pin_status() {
    local out
    out=$(user_session "[[\"HELLOGUI\",null,\"HELLOAGENT\"],[\"CHECKPIN\",{\"pin_code\":\"$1\"},\"STATUSCHECKPIN\"]]" 15)
    reply_status STATUSCHECKPIN "$out"
}

# auth_stored: what a clean client learns with AUTHDATA ("true"/"false").
auth_stored() {
    local out
    out=$(user_session '[["HELLOSUPPORT",null,"HELLOAGENT"],["AUTHDATA",null,"STATUSAUTHDATA"]]')
    reply_status STATUSAUTHDATA "$out"
}

# The positive controls beside every group: the agent is the same process,
# it answers DNS and the control port, and the user's PIN still opens it.
controls() { # <label> [--pin]
    local label=$1
    if agent_alive; then ok "$label: the agent is still running (pid $agent_pid)"; else
        fail "$label: the agent is still running"
        agent_exit_note
        return
    fi
    check "$label: DNS is answered (dig @127.0.0.1)" wait_for 10 dns_answers
    check "$label: a fresh HELLOSUPPORT gets HELLOAGENT" wait_for 10 control_answers 2
    if [ "${2:-}" = --pin ]; then
        local status
        status=$(pin_status "$sec_user_pin")
        if [ "$status" = 1 ]; then
            ok "$label: the user's PIN is accepted"
        else
            fail "$label: the user's PIN is accepted (answered [$status])"
        fi
    fi
}

admin() { curl -fsS --max-time 5 "http://127.53.0.2:8053/admin/$1"; }
faults_add() { curl -fsS --max-time 5 -X POST --data-binary "$1" http://127.53.0.2:8053/admin/faults >/dev/null; }
faults_clear() { curl -fsS --max-time 5 -X DELETE http://127.53.0.2:8053/admin/faults >/dev/null; }
