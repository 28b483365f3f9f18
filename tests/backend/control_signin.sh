#!/bin/sh
# Sign-in over the control channel and its effect on filtering, end to end:
# the agent (started by the harness) against the development service, driven
# with corvanectl as the GUI would drive it. Runs inside scripts/harness/run-in-ns.sh --agent.
set -eu
C="$CORVANE_BUILD_DIR/tools/corvanectl/corvanectl"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# send <message> <json> <expected status>
send() {
    out=$("$C" --timeout 200000 send "$1" "$2") || fail "$1: corvanectl failed"
    echo "$1 -> $out"
    echo "$out" | grep -q "\"status\":$3[,}]" || fail "$1 $2 answered $out, expected status $3"
}
machines() { # number of machines the service files under the demo account
    cv-admin state | python3 -c 'import json,sys; s=json.load(sys.stdin); print(len([m for a in s["accounts"] if a["id"]==101 for m in a["machines"]]))'
}
uid_of_report() {
    "$C" --timeout 200000 sysinfo | python3 -c 'import json,sys
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
ask() { dig +time=3 +tries=1 @127.0.0.1 "$1" A >/dev/null || fail "dig $1 through the agent"; }

send CHECKAUTH '{"login":"demo","password":"wrong"}' 0
send CHECKAUTH '{"login":"demo","password":""}' 0
send CHECKAUTH '{"login":"demo","password":"demo-password"}' 1
send CREATEPIN '{"pin_code":"123"}' 2
send CREATEPIN '{"pin_code":"432109876543210987654"}' 2
send CREATEPIN '{"pin_code":"4321"}' 1
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
out=$("$C" login) || fail "login"
echo "$out" | grep -q '"username":"demo"' || fail "LOGIN did not report the user: $out"
token=$(cv-admin state | python3 -c 'import json,sys
s=json.load(sys.stdin)
print([m["token"] for a in s["accounts"] for m in a["machines"] if m["uid"]==sys.argv[1]][0])' "$first_uid")
ask blocked.example.test
set -- $(last blocked.example.test)
[ "$1 $2" = "True $token" ] || fail "query not marked with the account's token $token: $*"
[ "$3" = "blocked" ] || fail "blocked.example.test not blocked under the Kids profile: $*"
ask social.example.test
set -- $(last social.example.test)
[ "$3" != "blocked" ] || fail "social.example.test blocked under the Kids profile"

# Another profile changes what is blocked.
out=$(with_pin SETPROFILEID '{"profile_id":3}' '"PROFILEID"') || fail "profile 3"
echo "$out" | grep -q '"profile_id":3' || fail "SETPROFILEID answered $out"
ask social.example.test
set -- $(last social.example.test)
[ "$3" = "blocked" ] || fail "social.example.test not blocked under the Work profile: $*"
ask adult.example.test
set -- $(last adult.example.test)
[ "$3" != "blocked" ] || fail "adult.example.test blocked under the Work profile"

# Sign-out removes the machine and leaves queries unmarked.
with_pin LOGOUT null null >/dev/null || fail "logout"
ask blocked.example.test
set -- $(last blocked.example.test)
[ "$1" = "False" ] || fail "query still marked after LOGOUT: $*"

# The identifier kept over sign-out is unknown to the service now ("Not found."):
# the next CREATEPIN obtains and stores a new one.
send CHECKAUTH '{"login":"demo","password":"demo-password"}' 1
send CREATEPIN '{"pin_code":"4321"}' 1
second_uid=$(uid_of_report)
[ -n "$second_uid" ] && [ "$second_uid" != "$first_uid" ] || fail "no new identifier after Not found."
send CHECKPIN '{"pin_code":"4321"}' 1
echo "PASS"
