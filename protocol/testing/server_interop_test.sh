#!/usr/bin/env bash
# The transport against the reference update server: a version query that fails over from a
# dead address to the server and opens its sealed reply, then a download of a release file with
# its digest checked, and one with a wrong digest that must leave nothing behind; then the files
# of a run fetched one after another go over one kept-alive connection.
# Usage: server_interop_test.sh NATIVE_BUILD_DIR BANK_ID_HEX FETCH_EXE [--wine]
#   With --wine, FETCH_EXE is the Windows build, run under Wine (CORLINQ_WINE_DIR).
set -euo pipefail
native=$(readlink -f "$1") bank=$2 fetch=$3 wine=${4:-}
here=$(dirname "$(readlink -f "$0")")
root=$(readlink -f "$here/../..")
state=$(mktemp -d)
export CORLINQ_NATIVE_BUILD_DIR=$native
cleanup() {
  "$root/scripts/test-server.sh" stop "$state" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT
trap "exit 1" INT TERM

run_fetch() {
  if [ -n "$wine" ]; then "$root/scripts/wine/exec.sh" "${CORLINQ_WINE_DIR:?}" "$fetch" "$@"; else "$fetch" "$@"; fi
}
# A path as the client sees it.
client_path() {
  if [ -n "$wine" ]; then echo "Z:${1//\//\\}"; else echo "$1"; fi
}

"$root/scripts/gen-test-cert.sh" "$state/certs"
mkdir -p "$state/release/bin" "$state/out"
head -c 300000 /dev/urandom >"$state/release/bin/assist.dat"
cat >"$state/server.json" <<JSON
{
  "listeners": [{"address": "127.0.0.2", "port": 0, "tls": true}],
  "certificate": "$state/certs/server.crt",
  "privateKey": "$state/certs/server.key",
  "envelopeKey": "$root/keys/envelope.pem",
  "banks": {"$bank": {"version": "1.0.0.2", "update": "0", "release": "$state/release"}}
}
JSON
"$root/scripts/test-server.sh" start "$state" server update-server --config "$state/server.json" >/dev/null
port=$("$root/scripts/test-server.sh" port "$state" server https)

reply=$(run_fetch query "https://127.0.0.3:1" "https://127.0.0.2:$port" | tr -d '\r')
echo "reply: $reply"
grep -q '"v" *: *"1.0.0.2"' <<<"$reply" || { echo "unexpected reply" >&2; exit 1; }
url=$(sed -n 's/.*"url" *: *"\([^"]*\)".*/\1/p' <<<"$reply")
[ -n "$url" ] || { echo "no url in the reply" >&2; exit 1; }

digest=$(openssl dgst -sha1 -binary "$state/release/bin/assist.dat" | base64)
run_fetch get "$url/bin/assist.dat" "$(client_path "$state/out/assist.dat")" --digest "$digest" | tr -d '\r'
cmp "$state/release/bin/assist.dat" "$state/out/assist.dat"

wrong=$(head -c 20 /dev/zero | base64)
if run_fetch get "$url/bin/assist.dat" "$(client_path "$state/out/other.dat")" --digest "$wrong"; then
  echo "a download with a wrong digest succeeded" >&2
  exit 1
fi
leftover=$(ls "$state/out")
[ "$leftover" = "assist.dat" ] || { echo "left in the folder: $leftover" >&2; exit 1; }
mkdir -p "$state/many"
printf '%s\n' "$url/bin/assist.dat" "$url/bin/assist.dat" >"$state/many.list"  # URLs from a list, as the benchmark passes them
run_fetch get-all "$(client_path "$state/many")" "$url/bin/assist.dat" "@$(client_path "$state/many.list")" | tr -d '\r'
for n in 1 2 3; do cmp "$state/release/bin/assist.dat" "$state/many/$n"; done
# Log lines: time, client address:port, method, target, ...: one client port for the three.
ports=$(awk '$3 == "GET" && $4 ~ /assist.dat$/ { print $2 }' "$state/server.log" | tail -3 | sort -u)
echo "client ports of the last three downloads: $(echo $ports)"
[ "$(wc -l <<<"$ports")" -eq 1 ] || { echo "the downloads did not share a connection" >&2; exit 1; }
echo "server interop ok"
