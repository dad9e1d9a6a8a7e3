#!/usr/bin/env bash
# The download's and the query's time bounds against tools/fault-peer: a body that stalls, one
# shorter or longer than its Content-Length, a server that answers the TLS hello with a record
# that never completes, and a trickle below the minimum rate each end in a failure the caller
# sees, well within two minutes, with nothing left in the download folder; an abandoned download
# ends at once and removes its temporary file; a query fails over from the garbage server.
# The stall and garbage cases run with the download's default bounds.
# Usage: fault_bounds_test.sh NATIVE_BUILD_DIR BANK_ID_HEX FETCH_EXE [--wine]
#   With --wine, FETCH_EXE is the Windows build, run under Wine (CORLINQ_WINE_DIR).
set -uo pipefail
native=$(readlink -f "$1") bank=$2 fetch=$3 wine=${4:-}
root=$(readlink -f "$(dirname "$(readlink -f "$0")")/../..")
state=$(mktemp -d)
export CORLINQ_NATIVE_BUILD_DIR=$native
cleanup() {
  "$root/scripts/test-server.sh" stop "$state" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT
trap "exit 1" INT TERM

limit=120  # seconds a customer may wait for the failure
run_fetch() {
  if [ -n "$wine" ]; then
    timeout $((limit + 5)) "$root/scripts/wine/exec.sh" "${CORLINQ_WINE_DIR:?}" "$fetch" "$@"
  else
    timeout $((limit + 5)) "$fetch" "$@"
  fi
}
client_path() { if [ -n "$wine" ]; then echo "Z:${1//\//\\}"; else echo "$1"; fi; }

failures=0
fail() { echo "FAIL - $1"; failures=$((failures + 1)); }

"$root/scripts/gen-test-cert.sh" "$state/certs" >/dev/null
head -c 200000 /dev/urandom >"$state/body.bin"
digest=$(openssl dgst -sha1 -binary "$state/body.bin" | base64)
mkdir -p "$state/out"

# peer NAME MODE [ARGS...]: starts a fault peer on 127.0.0.5 and sets URL to its base.
peer() {
  local name=$1 mode=$2
  shift 2
  "$root/scripts/test-server.sh" start "$state" "$name" fault-peer --listen 127.0.0.5:0 \
    --tls "$state/certs/server.crt" "$state/certs/server.key" --mode "$mode" \
    --body-file "$state/body.bin" --log "$state/$name.requests" "$@" >/dev/null || return 1
  URL="https://127.0.0.5:$("$root/scripts/test-server.sh" port "$state" "$name" https)"
}

# download_fails NAME EXTRA_ARGS...: a download that must fail; checks the bound and the folder.
# With ACCEPT_VERIFIED=1 a success is right too when the file is exactly the body and verified.
download_fails() {
  local name=$1 out rc seconds
  shift
  rm -rf "$state/out" && mkdir -p "$state/out"
  out=$(run_fetch get "$URL/release/$bank/bin/$name.dll" "$(client_path "$state/out/$name.dll")" \
    --digest "$digest" "$@" | tr -d '\r')
  rc=$?
  seconds=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$out")
  echo "$name: $out"
  [ "$rc" -ne 124 ] && [ -n "$seconds" ] || { fail "$name: the client did not end within $limit s"; return; }
  if [ "${ACCEPT_VERIFIED:-0}" = 1 ] && grep -q 'result=1' <<<"$out"; then
    cmp -s "$state/body.bin" "$state/out/$name.dll" || fail "$name: stored something else than the body"
    [ "$(ls -A "$state/out")" = "$name.dll" ] || fail "$name: left in the folder: $(ls -A "$state/out")"
  else
    grep -q 'result=0' <<<"$out" || fail "$name: reported success"
    [ -z "$(ls -A "$state/out")" ] || fail "$name: left in the folder: $(ls -A "$state/out")"
  fi
  LAST_SECONDS=${seconds%.*}
}

peer stall stall-body && download_fails stalled-body
peer short short && download_fails short-body
# Bytes past the Content-Length are not part of the body: a verified file of the announced length
# is a success, anything else a failure.
peer long overlong && ACCEPT_VERIFIED=1 download_fails long-body
peer garbage tls-garbage && download_fails garbage-handshake
peer trickle trickle --rate 300 && download_fails trickle --timeouts 5000 5000 5000 --low-speed 1024 2000
requests=$(grep -c request "$state/trickle.requests" || true)
[ "$requests" -ge 1 ] || fail "trickle: the peer saw no request"

echo "# an abandoned download ends within seconds and leaves nothing"
peer abandon stall-body && download_fails abandoned --abandon-after-ms 1500
[ "${LAST_SECONDS:-99}" -lt 10 ] || fail "abandoned: took ${LAST_SECONDS:-?} s"

echo "# the query fails over from a server whose TLS handshake never completes"
cat >"$state/server.json" <<JSON
{
  "listeners": [{"address": "127.0.0.6", "port": 0, "tls": true}],
  "certificate": "$state/certs/server.crt",
  "privateKey": "$state/certs/server.key",
  "envelopeKey": "$root/keys/envelope.pem",
  "banks": {"$bank": {"version": "1.0.0.2", "update": "0", "release": "$state"}}
}
JSON
"$root/scripts/test-server.sh" start "$state" server update-server --config "$state/server.json" >/dev/null
port=$("$root/scripts/test-server.sh" port "$state" server https)
start=$SECONDS
reply=$(run_fetch query "https://127.0.0.5:$("$root/scripts/test-server.sh" port "$state" garbage https)" \
  "https://127.0.0.6:$port" | tr -d '\r')
echo "query: $reply ($((SECONDS - start)) s)"
grep -q '"v" *: *"1.0.0.2"' <<<"$reply" || fail "query: no answer from the second server"

[ $failures -eq 0 ] && echo "fault bounds ok"
[ $failures -eq 0 ]
