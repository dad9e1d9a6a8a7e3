#!/usr/bin/env bash
# scripts/test-server.sh with the real programs: an HTTPS update server and a stalling peer
# started, used with curl, and stopped by their recorded pids.
# Usage: test_server_script_test.sh SOURCE_DIR BIN_DIR
set -euo pipefail
src=$1 bin=$2
work=$(mktemp -d /tmp/test_server_script.XXXXXX)
state=$work/state
export CORLINQ_NATIVE_BUILD_DIR=$(dirname "$bin")
cleanup() { "$src/scripts/test-server.sh" stop "$state" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$src/scripts/gen-test-cert.sh" "$work/certs"
mkdir -p "$work/release/bin"
printf '<Digest/>\n' >"$work/release/Digest.xml"
head -c 100000 /dev/urandom >"$work/release/bin/a.dll"
cat >"$work/server.json" <<JSON
{
  "listeners": [{"address": "127.0.0.1", "port": 0, "tls": true},
                {"address": "127.0.0.1", "port": 0, "tls": false}],
  "certificate": "certs/server.crt",
  "privateKey": "certs/server.key",
  "envelopeKey": "$src/keys/envelope.pem",
  "banks": {"867": {"version": "1.0.0.1", "release": "release"}}
}
JSON

listing=$("$src/scripts/test-server.sh" start "$state" server update-server --config "$work/server.json")
echo "$listing" | grep -q '^https 127.0.0.1:[0-9]*$' || fail "listing: $listing"
"$src/scripts/test-server.sh" start "$state" server update-server --config "$work/server.json" \
  2>/dev/null && fail "a second start of the same name succeeded"
"$src/scripts/test-server.sh" start "$state" dead fault-peer --listen 127.0.0.2:0 \
  --tls "$work/certs/server.crt" "$work/certs/server.key" --mode stall --log "$state/dead.requests" >/dev/null

https=$("$src/scripts/test-server.sh" port "$state" server https 127.0.0.1)
http=$("$src/scripts/test-server.sh" port "$state" server http)
dead=$("$src/scripts/test-server.sh" port "$state" dead)

curl -sS --fail --cacert "$work/certs/server.crt" -o "$work/got.dll" \
  "https://127.0.0.1:$https/release/867/bin/a.dll"
cmp "$work/got.dll" "$work/release/bin/a.dll" || fail "https download differs"
curl -sS --fail -o "$work/got.xml" "http://127.0.0.1:$http/release/867/Digest.xml"
cmp "$work/got.xml" "$work/release/Digest.xml" || fail "http download differs"
code=$(curl -s -o /dev/null -w '%{http_code}' --path-as-is "http://127.0.0.1:$http/release/867/../server.json")
[ "$code" = 403 ] || fail "traversal answered $code"
start=$(date +%s%N)
curl -sS -k --max-time 1 "https://127.0.0.2:$dead/x" >/dev/null 2>&1 && fail "the stalling peer answered"
[ $(( ($(date +%s%N) - start) / 1000000 )) -ge 900 ] || fail "the stall ended early"
[ "$(wc -l <"$state/dead.requests")" = 1 ] || fail "the peer counted $(wc -l <"$state/dead.requests") requests"

pids="$(cat "$state/server.pid") $(cat "$state/dead.pid")"
"$src/scripts/test-server.sh" stop "$state" || fail "stop reported an unclean end"
for pid in $pids; do  # an ended process may linger as a zombie until pid 1 reaps it
  [ -n "$(readlink "/proc/$pid/exe" 2>/dev/null || true)" ] && fail "pid $pid still runs"
done
grep -q ' GET /release/867/bin/a.dll 200 100000 ' "$state/server.log" || fail "no log line"
echo "test-server.sh: ok"
