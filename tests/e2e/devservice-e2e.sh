#!/bin/bash
# The development service seen from outside, inside the harness namespace:
# resolver (UDP, TCP, IPv6, identity-marked queries), DoT, DoH, backend sign-in
# and refresh, JSON-RPC, block page, certificates, bad input and fault injection.
set -u

. "$(dirname "$0")/../lib.sh"

domain=${CORVANE_DOMAIN:-corvane.test}
www="https://www.$domain"

# --- resolver, plain --------------------------------------------------------
check "dig answers a forwarded name" equals "$(dig +short @127.53.0.1 www.example.test A)" "192.0.2.10"
check "dig answers the service's own name" equals "$(dig +short @127.53.0.1 "www.$domain" A)" "127.53.0.2"
check "dig over TCP" equals "$(dig +tcp +short @127.53.0.1 allowed.example.test A)" "192.0.2.11"
check "dig over IPv6" equals "$(dig +short @fd00:53::1 www.example.test AAAA)" "2001:db8::10"
check "unknown own name is NXDOMAIN" contains "$(dig @127.53.0.1 "nothing.$domain" A)" "status: NXDOMAIN"
check "system resolver of the namespace reaches the service" \
    equals "$(getent ahostsv4 "doh.$domain" | awk 'NR==1{print $1}')" "127.53.0.3"
# Without EDNS the upstream truncates this answer over UDP; a TCP client still gets all of it.
check "truncated answer is fetched again over TCP" contains "$(dig +tcp +noedns @127.53.0.1 big.example.test TXT)" "ccccc"
check "the refetch went to the upstream over TCP" contains "$(grep 'big.example.test' "$CORVANE_SERVICE_LOG")" "via upstream TCP"

# --- identity-marked queries --------------------------------------------------
check "marked query of a blocking account gets the block-page address" \
    contains "$(cv-query blocked.example.test --token 1001)" "answer: blocked.example.test A 60 127.53.0.4"
check "the same query unmarked gets the real answer" \
    contains "$(cv-query blocked.example.test)" "answer: blocked.example.test A 300 192.0.2.66"
check "marked query of an account that allows the name gets the real answer" \
    contains "$(cv-query blocked.example.test --token 1002)" "192.0.2.66"
check "names below a blocked domain are blocked" \
    contains "$(cv-query sub.blocked.example.test --token 1001)" "127.53.0.4"
check "marked query for an unknown token is answered unfiltered" \
    contains "$(cv-query blocked.example.test --token 77)" "192.0.2.66"
check "diagnostic TXT names the policy" \
    contains "$(cv-query "black.$domain" --type TXT --token 2001)" "token=2001 account=102 profile=4"

# --- DoT and DoH ----------------------------------------------------------------
check "kdig +tls gets an answer" equals "$(cv-kdig-tls +short www.example.test A)" "192.0.2.10"
check "DoT answer for a long TXT record" contains "$(cv-kdig-tls +short big.example.test TXT)" "bbbb"
check "DoH HTTP/1.1 POST gets an answer" contains "$(cv-doh www.example.test A)" "answer: www.example.test A 300 192.0.2.10"
check "DoH POST with an identity record is filtered" contains "$(cv-doh blocked.example.test A 1001)" "127.53.0.4"
query_file=$(mktemp)
"$CORVANE_DEVSERVICE" --make-query www.example.test >"$query_file"
connects=$(curl -sS --http1.1 --cacert "$CORVANE_CA_BUNDLE" -H 'Content-Type: application/dns-message' \
    --data-binary @"$query_file" -o /dev/null -o /dev/null -w '%{num_connects} ' \
    "https://doh.$domain/" "https://doh.$domain/")
rm -f "$query_file"
check "DoH keeps the connection alive between requests" equals "$connects" "1 0 "
check "DoH refuses a body that is not a DNS message" \
    equals "$(cv-curl -s -o /dev/null -w '%{http_code}' --http1.1 --data-binary 'x' "https://doh.$domain/")" "400"

# --- backend sign-in and refresh ----------------------------------------------
signin=$(cv-curl -sS -X POST -H 'Content-Type: application/json' \
    -d '{"username":"demo","password":"demo-password"}' "$www/api/token/by-password/")
access=$(printf '%s' "$signin" | sed -n 's/.*"access":"\([^"]*\)".*/\1/p')
refresh=$(printf '%s' "$signin" | sed -n 's/.*"refresh":"\([^"]*\)".*/\1/p')
check "sign-in by password returns access and refresh tokens" test -n "$access" -a -n "$refresh"
payload=$(printf '%s' "$access" | cut -d. -f2 | base64 -d 2>/dev/null)
check "access token payload carries user_id and exp" contains "$payload" '"user_id":101'
check "access token payload carries exp" contains "$payload" '"exp":'
refreshed=$(cv-curl -sS -X POST -H 'Content-Type: application/json' -d "{\"refresh\":\"$refresh\"}" "$www/api/token/refresh/")
new_access=$(printf '%s' "$refreshed" | sed -n 's/.*"access":"\([^"]*\)".*/\1/p')
check "refresh returns a new access token" test -n "$new_access" -a "$new_access" != "$access"
check "the refreshed token opens the account's paths" contains \
    "$(cv-curl -sS -H "Authorization: Bearer $new_access" "$www/auth/rest_api/v1/users/101/")" '"plan":{"name":"Family"}'
check "seeded machine is known" contains \
    "$(cv-curl -sS -H "Authorization: Bearer $new_access" "$www/agents/rest_api/v1/users/101/agentinfo/0b7c6d1e-0000-4000-8000-000000001001/")" \
    '"token":1001'
check "unknown machine answers 404 Not found." contains \
    "$(cv-curl -sS -w ' %{http_code}' -H "Authorization: Bearer $new_access" "$www/agents/rest_api/v1/users/101/agentinfo/nope/")" \
    '{"detail":"Not found."} 404'
check "wrong password answers 401" equals "$(cv-curl -s -o /dev/null -w '%{http_code}' -X POST \
    -d '{"username":"demo","password":"x"}' "$www/api/token/by-password/")" "401"
check "bad JSON body answers 400" equals "$(cv-curl -s -o /dev/null -w '%{http_code}' -X POST -d '{' "$www/api/token/by-password/")" "400"
check "unknown path answers 404 with a JSON detail" contains "$(cv-curl -sS -w ' %{http_code}' "$www/no/such/path/")" \
    '"detail":"Not found."} 404'
check "version list" contains "$(cv-curl -sS "$www/agents/rest_api/v1/distribution_supporting/?tag=Windows")" '"version":400000001'
check "JSON-RPC with Basic authentication" contains "$(cv-curl -sS -u demo:demo-password -X POST \
    -d '{"id":0, "jsonrpc":"2.0","method":"profiles","params":[]}' "$www/api/json/v2")" '"name":"Kids"'
check "JSON-RPC without credentials answers 401" equals "$(cv-curl -s -o /dev/null -w '%{http_code}' -X POST \
    -d '{"id":0, "jsonrpc":"2.0","method":"userInfo","params":[]}' "$www/api/json/v2")" "401"

# --- certificates -------------------------------------------------------------
list=$(cv-curl -sS "$www/agents/rest_api/v1/ssl_certificate/2/")
check "certificate list names two roots" contains "$list" "/certs/corvane-root-1.crt;$www/certs/corvane-root-2.crt"
root2=$(mktemp)
cv-curl -sS -o "$root2" "$www/certs/corvane-root-2.crt"
check "certificate file is the service's second root" contains "$(openssl x509 -in "$root2" -noout -subject)" "CN = Corvane Root CA 2"
rm -f "$root2"

# --- block page ---------------------------------------------------------------
location=$(curl -sS -o /dev/null -w '%{redirect_url}' --resolve blocked.example.test:80:127.53.0.4 \
    "http://blocked.example.test/some/page?q=1")
check "redirect listener sends the browser to the agent's port" contains "$location" \
    "http://127.0.0.1:13107/?blockpage=blockpage.$domain&hostname=blocked.example.test&url=http%3A%2F%2Fblocked.example.test%2Fsome%2Fpage%3Fq%3D1"
check "block page shows host name and token" contains \
    "$(curl -sS "http://blockpage.$domain/blocked?hostname=blocked.example.test&token=1001&url=http%3A%2F%2Fx")" \
    '<span id="token">1001</span>'
check "block page over TLS" contains \
    "$(cv-curl -sS "https://blockpage-tls.$domain/blocked?hostname=a.test&token=5&url=")" '<span id="hostname">a.test</span>'

# --- bad input and fault injection ----------------------------------------------
printf 'garbage' >/dev/udp/127.53.0.1/53
# A query whose identity record is cut after its TYPE: the answer is FORMERR (flags 8181).
exec 3<>/dev/udp/127.53.0.1/53
printf '\x4e\x21\x01\x00\x00\x01\x00\x00\x00\x00\x00\x01\x03www\x00\x00\x01\x00\x01\x00\xff\xed' >&3
formerr=$(timeout 3 head -c 4 <&3 | od -An -tx1 | tr -d ' \n')
exec 3<&-
check "malformed query with a cut identity record gets FORMERR" equals "$formerr" "4e218181"
check "resolver still answers after malformed datagrams" equals "$(dig +short @127.53.0.1 www.example.test A)" "192.0.2.10"
cv-admin faults-add '{"dns":[{"name":"allowed.example.test","action":"wrong_id","count":1}]}' >/dev/null
cv-query allowed.example.test >/dev/null
check "DNS fault wrong_id changes the answer ID once" equals "$?" "3"
check "after the counted fault the answer is right again" contains "$(cv-query allowed.example.test)" "192.0.2.11"
cv-admin faults-add '{"http":[{"path":"/api/token/by-password/","action":"status","status":500,"count":1}]}' >/dev/null
check "HTTP fault answers 500 once" equals "$(cv-curl -s -o /dev/null -w '%{http_code}' -X POST \
    -d '{"username":"demo","password":"demo-password"}' "$www/api/token/by-password/")" "500"
check "then the path works again" equals "$(cv-curl -s -o /dev/null -w '%{http_code}' -X POST \
    -d '{"username":"demo","password":"demo-password"}' "$www/api/token/by-password/")" "200"
check "admin log lists the marked queries" contains "$(cv-admin queries)" '"token":1001'
check "service logged one line per request" contains "$(cat "$CORVANE_SERVICE_LOG")" "blocked.example.test A token=1001 -> blocked"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; service log:"
    tail -n 40 "$CORVANE_SERVICE_LOG"
    exit 1
fi
echo "all checks passed"
