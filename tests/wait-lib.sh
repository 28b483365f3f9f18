# Shell helpers of the script tests, sourced after the script defines
# fail <message> (report and exit).

# ms: the time in milliseconds
ms() { echo $(($(date +%s%N) / 1000000)); }

# wait_for <tenths of a second> <what> <command...>: polls the command every
# 100 ms; fail "<what>" when it has not succeeded in time.
wait_for() {
    local limit=$1 what=$2 i=0
    shift 2
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -gt "$limit" ] && fail "$what"
        sleep 0.1
    done
}
