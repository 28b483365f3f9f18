# shellcheck shell=sh
# What every script test shares, sourced first thing (POSIX sh and bash):
#   . "$(dirname "$0")/../lib.sh"
#
#   fail <reason>         prints what explains the failure (on_fail), then
#                         "FAIL: <reason>" last (a CI excerpt shows the end of
#                         the output), and exits 1
#   on_fail               redefine it to print logs, files, recorded calls
#   on_exit               redefine it to clean up (stop what the test started,
#                         unmount, remove its folder): run when the script ends,
#                         however it ends (exit, fail, SIGINT, SIGTERM), with
#                         errexit off so that one failing step does not skip
#                         the rest; the exit status stays the script's
#   check <what> <command...>
#                         "ok   - <what>" or "FAIL - <what>" and one more in
#                         $failures, for tests that report every check and
#                         decide at the end ([ "$failures" -eq 0 ])
#   equals <got> <expected>, contains <text> <part>
#                         for check: false, saying what differs, on stderr
#   ms                    the time in milliseconds
#   wait_for <tenths of a second> <what> <command...>
#                         polls the command every 100 ms; fail "<what>" when it
#                         has not succeeded in time
#   until_ok <seconds> <command...>
#                         polls the command every 200 ms; false when it has not
#                         succeeded in time (for check, or `|| fail ...`)

on_fail() { :; }
fail() {
    on_fail || true
    echo "FAIL: $*"
    exit 1
}

failures=0
check() {
    _check_what=$1
    shift
    if "$@"; then
        echo "ok   - $_check_what"
    else
        echo "FAIL - $_check_what"
        failures=$((failures + 1))
    fi
}

on_exit() { :; }
# shellcheck disable=SC2317 # run by the EXIT trap
_run_on_exit() {
    set +e
    on_exit
}
trap _run_on_exit EXIT
# A signal ends the script through exit, so that the EXIT trap runs (dash runs
# it only then) and the status says which signal it was.
trap 'exit 130' INT
trap 'exit 143' TERM

equals() { [ "$1" = "$2" ] || { echo "     expected [$2], got [$1]" >&2; return 1; }; }
contains() {
    case "$1" in *"$2"*) return 0 ;; esac
    echo "     [$2] not found in [$1]" >&2
    return 1
}

ms() { echo $(($(date +%s%N) / 1000000)); }

wait_for() {
    _wait_limit=$1
    _wait_what=$2
    _wait_tries=0
    shift 2
    until "$@" >/dev/null 2>&1; do
        _wait_tries=$((_wait_tries + 1))
        [ "$_wait_tries" -gt "$_wait_limit" ] && fail "$_wait_what"
        sleep 0.1
    done
}

until_ok() {
    _until_deadline=$(($(date +%s) + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$_until_deadline" ] || return 1
        sleep 0.2
    done
}
