#!/bin/sh
# Runs a backend test against the development service inside the harness
# namespace. The service gets its usual configuration plus one account whose
# password holds a quote, a backslash and non-ASCII letters, so that the test
# can sign in with it and search the whole log for it.
# usage: service-run.sh <build-dir> <source-dir> <test-binary> [args...]
set -eu
build=$1
source=$2
shift 2
config=$(mktemp /tmp/corvane-backend-config.XXXXXX.json)
trap 'rm -f "$config"' EXIT
python3 - "$source/devservice/config/devservice.json" "$config" <<'PY'
import json, sys
with open(sys.argv[1], encoding="utf-8") as f:
    config = json.load(f)
config["accounts"].append({
    "id": 190,
    "username": "secretive",
    "password": "Qv\"7\\x-\u00dc-kelp-9317",
    "email": "secretive@corvane.test",
    "plan": "Family",
    "date_end": "2031-01-15T08:00:00",
    "filter_status": False,
    "profiles": [{"id": 91, "name": "Quiet", "blocked": ["blocked.example.test"]}],
    "default_profile": 91,
    "machines": []
})
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump(config, f, ensure_ascii=False)
PY
export CORVANE_DEVSERVICE_CONFIG="$config"
"$source/scripts/harness/run-in-ns.sh" "$build" -- "$@"
