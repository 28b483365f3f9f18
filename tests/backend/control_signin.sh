#!/bin/sh
# Sign-in over the control channel and its effect on filtering, end to end:
# the agent (started by the harness) against the development service, driven
# with corvanectl as the GUI would drive it. Runs inside scripts/harness/run-in-ns.sh --agent.
set -eu
. "$(dirname "$0")/../lib.sh"
C="$CORVANE_BUILD_DIR/tools/corvanectl/corvanectl"
# send <message> <json> <expected status>
send() {
    out=$("$C" --timeout 200000 send "$1" "$2") || fail "$1: corvanectl failed"
    echo "$1 -> $out"
    echo "$out" | grep -q "\"status\":$3[,}]" || fail "$1 $2 answered $out, expected status $3"
}
machines() { # number of machines the service files under the demo account
    cv-admin state | python3 -c 'import json,sys; s=json.load(sys.stdin); print(len([m for a in s["accounts"] if a["id"]==101 for m in a["machines"]]))'
}
# The system report needs the PIN while sign-in data is stored.
pin_file=$(mktemp)
on_exit() { rm -f "$pin_file"; }
echo 4321 >"$pin_file"
uid_of_report() {
    "$C" --timeout 20000 --pin-file "$pin_file" sysinfo | python3 -c 'import json,sys
for line in sys.stdin:
    o=json.loads(line)
    if o.get("info")=="SYSTEMINFO":
        for l in o["data"]["system_info"].split("\n"):
            if l.startswith("UID: "): print(l[5:])'
}
# last <name>: "marked token verdict" of the service's last query for the name
last() {
    cv-admin queries | python3 -c 'import json,sys
q=[e for e in json.load(sys.stdin)["queries"] if e["name"]==sys.argv[1]]
e=q[-1] if q else {}
print(e.get("marked"), e.get("token"), e.get("verdict"))' "$1"
}
# As the GUI does: one connection that gives the PIN, then the command (and
# AUTHDATA, whose answer shows the command was handled).
with_pin() { # <message> <data|null> <awaited reply|null>
    python3 "$(dirname "$0")/../control/control-session.py" \
        "[[\"HELLOGUI\",null,\"HELLOAGENT\"],[\"CHECKPIN\",{\"pin_code\":\"4321\"},\"STATUSCHECKPIN\"],[\"$1\",$2,$3],[\"AUTHDATA\",null,\"STATUSAUTHDATA\"]]"
}
# The sign-in as the tray program does it: every step on one connection (a
# PIN is taken only on the connection whose sign-in just succeeded).
session() { python3 "$(dirname "$0")/../control/control-session.py" "$1"; }
statuses() { # <reply name>: the "status" of each such reply, in order
    python3 -c 'import json,sys
print(" ".join(str(o["data"]["status"]) for o in map(json.loads, sys.stdin) if o.get("info")==sys.argv[1]))' "$1"
}
signin() { # <expected CHECKAUTH statuses> <expected CREATEPIN statuses> <steps...>
    want_auth=$1
    want_pin=$2
    shift 2
    steps='["HELLOSUPPORT",null,"HELLOAGENT"]'
    for step in "$@"; do steps="$steps,$step"; done
    out=$(session "[$steps]") || fail "sign-in session"
    echo "$out"
    [ "$(echo "$out" | statuses STATUSCHECKAUTH)" = "$want_auth" ] || fail "CHECKAUTH answered $out, expected $want_auth"
    [ "$(echo "$out" | statuses STATUSCREATEPIN)" = "$want_pin" ] || fail "CREATEPIN answered $out, expected $want_pin"
}
auth() { echo "[\"CHECKAUTH\",{\"login\":\"demo\",\"password\":\"$1\"},\"STATUSCHECKAUTH\"]"; }
pin() { echo "[\"CREATEPIN\",{\"pin_code\":\"$1\"},\"STATUSCREATEPIN\"]"; }
ask() { dig +time=3 +tries=1 @127.0.0.1 "$1" A >/dev/null || fail "dig $1 through the agent"; }

signin "0 0 1" "2 2 1" "$(auth wrong)" "$(auth "")" "$(auth demo-password)" \
    "$(pin 123)" "$(pin 432109876543210987654)" "$(pin 4321)"
first_uid=$(uid_of_report)
[ -n "$first_uid" ] || fail "no identifier after CREATEPIN"
send CHECKPIN '{"pin_code":"0000"}' 0
send CHECKPIN '{"pin_code":"4321"}' 1

# The identifier check refused with 401 and a "detail": answer 3, no new identifier asked for.
before=$(machines)
cv-admin faults-add '{"http":[{"path":"/agents/rest_api/v1/users/*","method":"GET","action":"status","status":401,"count":3}]}' >/dev/null
send CHECKPIN '{"pin_code":"4321"}' 3
[ "$(machines)" = "$before" ] || fail "a new identifier was requested after a 401"
[ "$(uid_of_report)" = "$first_uid" ] || fail "the identifier changed after a 401"

# Sign in, protect, and the account's token marks the queries.
out=$("$C" --pin-file "$pin_file" login) || fail "login"
echo "$out" | grep -q '"username":"demo"' || fail "LOGIN did not report the user: $out"
token=$(cv-admin state | python3 -c 'import json,sys
s=json.load(sys.stdin)
print([m["token"] for a in s["accounts"] for m in a["machines"] if m["uid"]==sys.argv[1]][0])' "$first_uid")
ask blocked.example.test
# shellcheck disable=SC2046 # three words: marked, token, verdict
set -- $(last blocked.example.test)
[ "$1 $2" = "True $token" ] || fail "query not marked with the account's token $token: $*"
[ "$3" = "blocked" ] || fail "blocked.example.test not blocked under the Kids profile: $*"
ask social.example.test
# shellcheck disable=SC2046 # three words: marked, token, verdict
set -- $(last social.example.test)
[ "$3" != "blocked" ] || fail "social.example.test blocked under the Kids profile"

# Another profile changes what is blocked.
out=$(with_pin SETPROFILEID '{"profile_id":3}' '"PROFILEID"') || fail "profile 3"
echo "$out" | grep -q '"profile_id":3' || fail "SETPROFILEID answered $out"
ask social.example.test
# shellcheck disable=SC2046 # three words: marked, token, verdict
set -- $(last social.example.test)
[ "$3" = "blocked" ] || fail "social.example.test not blocked under the Work profile: $*"
ask adult.example.test
# shellcheck disable=SC2046 # three words: marked, token, verdict
set -- $(last adult.example.test)
[ "$3" != "blocked" ] || fail "adult.example.test blocked under the Work profile"

# Sign-out removes the machine and leaves queries unmarked.
with_pin LOGOUT null null >/dev/null || fail "logout"
ask blocked.example.test
# shellcheck disable=SC2046 # three words: marked, token, verdict
set -- $(last blocked.example.test)
[ "$1" = "False" ] || fail "query still marked after LOGOUT: $*"

# The identifier kept over sign-out is unknown to the service now ("Not found."):
# the next CREATEPIN obtains and stores a new one.
signin "1" "1" "$(auth demo-password)" "$(pin 4321)"
second_uid=$(uid_of_report)
{ [ -n "$second_uid" ] && [ "$second_uid" != "$first_uid" ]; } || fail "no new identifier after Not found."
send CHECKPIN '{"pin_code":"4321"}' 1
echo "PASS"
