# shellcheck shell=sh
# The commands the main job prints under "Try it from another terminal", each
# run inside the namespace with exec.sh. The main job writes them to
# <run>/try-commands once; its banner and the test that runs every one of them
# (tests/mainjob) both read that file, so the two cannot drift apart.
#
# cv_try_commands <mode> <domain> <run-dir> <pin>: one line per command,
#   <command> US <text its output must contain, or empty> US <comment>
# (US, the unit separator \037: unlike a tab it keeps empty fields apart when read)
# mode: signed-in (the agent holds the demo account), signed-out, no-agent.
cv_try_commands() {
    _mode=$1
    _domain=$2
    _run=$3
    _pin=$4
    _line() { printf '%s\037%s\037%s\n' "$1" "$2" "$3"; }
    case "$_mode" in
    signed-in)
        _line "dig +short @127.0.0.1 blocked.example.test" 127.53.0.4 "through the agent: block page"
        _line "corvanectl --pin-file $_run/pin filtering off" "" "switch filtering off (the PIN $_pin from its file)"
        _line "dig +short @127.0.0.1 blocked.example.test" 192.0.2.66 "now unfiltered"
        _line "corvanectl --pin-file $_run/pin filtering on" "" "and on again"
        ;;
    signed-out)
        _line "dig +short @127.0.0.1 blocked.example.test" 192.0.2.66 "signed out: unfiltered"
        _line "corvanectl --pin-file $_run/pin signin demo --password-file $_run/demo-password" "STATUSCREATEPIN" \
            "sign in and set the PIN $_pin on one connection; protection goes on (without the files: prompts)"
        _line "dig +short @127.0.0.1 blocked.example.test" 127.53.0.4 "through the agent: block page"
        ;;
    esac
    if [ "$_mode" != no-agent ]; then
        _line "corvanectl status" "Signed in:" "signed in, protection, profile, transport, resolver health, interfaces"
        _line "dig @127.0.0.1 www.example.test" 192.0.2.10 "through the agent"
    fi
    _line "dig @127.53.0.1 www.example.test" 192.0.2.10 "the service's resolver directly"
    _line "cv-query blocked.example.test --token 1001" 127.53.0.4 "marked: block page"
    _line "cv-query blocked.example.test" 192.0.2.66 "unmarked: unfiltered"
    _line "cv-kdig-tls www.example.test" 192.0.2.10 "DNS over TLS"
    _line "cv-doh www.example.test A" 192.0.2.10 "DNS over HTTPS"
    _line "cv-curl -X POST -H 'Content-Type: application/json' -d '{\"username\":\"demo\",\"password\":\"demo-password\"}' https://www.$_domain/api/token/by-password/" '"access"' "the backend"
    _line "cv-admin queries" '"queries"' "what the resolver saw"
    _line "" "" "a shell inside"
}
