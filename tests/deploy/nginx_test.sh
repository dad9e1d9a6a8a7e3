#!/usr/bin/env bash
# The nginx deployment of deploy/ on loopback, from the shipped samples: nginx ends TLS, serves
# the release folder itself and passes only the version query and /healthz to two update-server
# instances, which trust nginx's forwarded headers and build the reply's URL from them.
#   nginx_test.sh SERVER_BIN_DIR ENVELOPE_TOOL RELEASE STATE_DIR
# RELEASE: a signed release of bank 867 (the native build's demo-release).
set -uo pipefail
[ $# -eq 4 ] || { echo "usage: $0 SERVER_BIN_DIR ENVELOPE_TOOL RELEASE STATE_DIR" >&2; exit 2; }
bin=$(readlink -f "$1") envelope_tool=$(readlink -f "$2") release=$(readlink -f "$3") state=$4
DEPLOY_ROOT=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
source "$DEPLOY_ROOT/scripts/lib/deploy.sh"
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/deps.sh installs nginx-light)"; exit 1; }
rm -rf "$state"
mkdir -p "$state"
state=$(readlink -f "$state")
servers=$state/servers ngx=$state/nginx key=$DEPLOY_ROOT/keys/envelope.pem
pubkey=$DEPLOY_ROOT/keys/manifest-public.pem  # the release is signed with the demo signing key

teardown() {
  deploy_nginx_stop "$ngx"
  "$DEPLOY_ROOT/scripts/test-server.sh" stop "$servers" >/dev/null 2>&1
}
trap teardown EXIT
trap 'exit 1' INT TERM

failures=0
ok() { echo "ok - $1"; }
fail() { echo "FAIL - $1"; failures=$((failures + 1)); }
expect() {  # description expected command...
  local what=$1 want=$2 got
  shift 2
  got=$("$@" 2>&1)
  if [ "$got" = "$want" ]; then ok "$what"; else fail "$what: got '$got', want '$want'"; fi
}

"$DEPLOY_ROOT/scripts/gen-test-cert.sh" "$state/certs" >/dev/null || exit 1
mkdir -p "$state/www/release"
cp -R "$release" "$state/www/release/867"
files=$state/www/release/867

port=$(deploy_free_port)
base=https://localhost:$port
url=$base/release/867
for name in query-1 query-2; do
  # No "url", as shipped: the reply names https:// (nginx's scheme) + the Host the client used.
  deploy_instance_config "$state/$name.json" 0 "$key" 867 1.0.0.1 1 "" "$files" "$pubkey" || exit 1
  "$DEPLOY_ROOT/scripts/test-server.sh" start "$servers" "$name" "$bin/update-server" \
    --config "$state/$name.json" >/dev/null || exit 1
done
p1=$("$DEPLOY_ROOT/scripts/test-server.sh" port "$servers" query-1 http)
p2=$("$DEPLOY_ROOT/scripts/test-server.sh" port "$servers" query-2 http)
deploy_nginx_config "$ngx" "$port" "$state/certs/server.crt" "$state/certs/server.key" "$state/www" \
  "$p1" "$p2" || exit 1
deploy_nginx_start "$ngx" || exit 1

# curl on the site: prints "STATUS" then, for each header NAME given, its value ("-" if absent).
# Body to $state/body. site PATH [CURL_ARGS...] -- HEADER...
site() {
  local path=$1 args=() h
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  curl -sk --max-time 10 -o "$state/body" -D "$state/headers" "${args[@]}" "$base$path" >/dev/null
  printf '%s' "$(sed -n '1s/^HTTP\/[0-9.]* \([0-9]*\).*/\1/p' "$state/headers")"
  for h in "$@"; do
    printf ' %s' "$(tr -d '\r' <"$state/headers" | sed -n "s/^$h: //Ip" | head -1 | grep . || echo -)"
  done
  echo
}
query_path() { printf '/assist/server?reqtype=1&data=%s' "$("$envelope_tool" seal "$1" --key "$key")"; }
# The reply to a version query of BANK through nginx, opened: prints "STATUS V URL UPDATE".
query() {  # query BANK [CURL_ARGS...]
  local status bank=$1
  shift
  status=$(site "$(query_path "$bank")" "$@" --)
  if [ "$status" = 200 ]; then
    "$envelope_tool" open "$(cat "$state/body")" --key "$key" | python3 -c '
import json, sys
r = json.load(sys.stdin)
print(sys.argv[1], r["v"], r["url"], r["update"])' "$status"
  else
    echo "$status"
  fi
}
queries_of() { grep -c 'GET /assist/server' "$servers/$1.log"; }
# A version query of bank 867 straight to the instance on PORT (not through nginx): prints
# "V URL", or the status. direct PORT [CURL_ARGS...]
direct() {
  local port=$1 status
  shift
  status=$(curl -s --max-time 10 -o "$state/direct" -w '%{http_code}' "$@" \
    "http://127.0.0.1:$port$(query_path 867)")
  [ "$status" = 200 ] || { echo "$status"; return; }
  "$envelope_tool" open "$(cat "$state/direct")" --key "$key" |
    python3 -c 'import json, sys; r = json.load(sys.stdin); print(r["v"], r["url"])'
}
# The request lines of both instances' logs that match the extended regular expression.
logged() { grep -hE "$1" "$servers/query-1.log" "$servers/query-2.log"; }
count_logged() { logged "$1" | wc -l; }
# Waits (up to 10 s) for a line of NAME's log matching the extended regular expression.
wait_log() {
  for _ in $(seq 100); do grep -qE "$2" "$servers/$1.log" && return 0; sleep 0.1; done
  return 1
}

echo "# the version query goes through nginx to the instances, in turn"
want="200 1.0.0.1 $url 1"
for i in 1 2 3 4; do expect "query $i answered through nginx" "$want" query 867; done
for name in query-1 query-2; do
  n=$(queries_of $name)
  if [ "$n" -ge 1 ]; then ok "$name answered queries"; else fail "$name answered no query"; fi
done
expect "an unknown bank: the instance's 404 passes through" 404 query 5a5

echo "# the instances believe nginx's forwarded headers, and nobody else's"
# A customer on 127.0.0.2 claims another address and scheme; nginx replaces both.
expect "a customer with forged X-Forwarded-For/-Proto: the reply's URL is still https" "$want" \
  query 867 --interface 127.0.0.2 -H 'X-Forwarded-For: 203.0.113.9' -H 'X-Forwarded-Proto: http'
expect "the instance logs the customer's address, nginx as via=" 1 count_logged \
  '^[^ ]+ 127\.0\.0\.2 GET /assist/server\?reqtype=1&data=\[envelope:[0-9]+\] 200 .* outcome=version via=127\.0\.0\.1:[0-9]+$'
expect "the address the customer claimed is logged nowhere" "" logged 203.0.113.9
# A client that reaches an instance itself, from an address that is not a trusted proxy.
expect "an untrusted client's X-Forwarded-Proto: https is ignored (plain http URL)" \
  "1.0.0.1 http://localhost:$port/release/867" direct "$p1" --interface 127.0.0.2 \
  -H 'X-Forwarded-For: 203.0.113.9' -H 'X-Forwarded-Proto: https' -H "Host: localhost:$port"
expect "an untrusted client is logged by its own address and port, with no via=" 1 count_logged \
  '^[^ ]+ 127\.0\.0\.2:[0-9]+ GET /assist/server\?[^ ]+ 200 .* outcome=version$'
expect "and its forged address is logged nowhere" "" logged 203.0.113.9
expect "the answer: no-store, not compressed (the downloader sends Accept-Encoding)" "200 no-store -" \
  site "$(query_path 867)" -H 'Accept-Encoding: gzip, deflate' -- Cache-Control Content-Encoding

echo "# the release folder is served by nginx itself"
size=$(stat -c %s "$files/Digest.xml")
expect "manifest: 200, exact length, no compression, revalidate" "200 $size - no-cache" \
  site /release/867/Digest.xml -H 'Accept-Encoding: gzip, deflate' -- Content-Length Content-Encoding Cache-Control
expect "manifest: the bytes of the release" "" cmp "$state/body" "$files/Digest.xml"
etag=$(tr -d '\r' <"$state/headers" | sed -n 's/^etag: //Ip')
expect "manifest: unchanged since its ETag" 304 site /release/867/Digest.xml -H "If-None-Match: $etag" --
expect "a file in a subfolder" "200 $(stat -c %s "$files/bin/helper.dll")" \
  site /release/867/bin/helper.dll -- Content-Length
expect "a file with a Chinese folder name, percent-encoded" 200 \
  site "/release/867/$(python3 -c 'import urllib.parse,sys;print(urllib.parse.quote(sys.argv[1]))' "$(cd "$files" && find 帮助 -type f | head -1)")" --
expect "a top-level file as the downloader names it (empty folder: //)" "200 $size" \
  site /release/867//Digest.xml -- Content-Length
expect "HEAD" "200 $size" site /release/867/Digest.xml -I -- Content-Length
# Range, as a table: request header, status, Content-Range, Content-Length (of a 206 or 200).
while IFS='|' read -r range want_status want_cr want_len; do
  if [ -n "$want_len" ]; then
    expect "Range $range" "$want_status $want_cr $want_len" \
      site /release/867/Digest.xml -H "Range: $range" -- Content-Range Content-Length
  else
    expect "Range $range" "$want_status $want_cr" \
      site /release/867/Digest.xml -H "Range: $range" -- Content-Range
  fi
done <<TABLE
bytes=0-3|206|bytes 0-3/$size|4
bytes=$((size - 2))-|206|bytes $((size - 2))-$((size - 1))/$size|2
bytes=-5|206|bytes $((size - 5))-$((size - 1))/$size|5
bytes=0-$((size + 100))|206|bytes 0-$((size - 1))/$size|$size
bytes=$size-|416|bytes */$size|
bytes=999999999-|416|bytes */$size|
bytes=0-1,4-5|200|-|$size
TABLE
head -c 4 "$files/Digest.xml" >"$state/want"
site /release/867/Digest.xml -H 'Range: bytes=0-3' -- >/dev/null
expect "Range bytes=0-3: the first 4 bytes" "" cmp "$state/body" "$state/want"

echo "# nothing else reaches the instances"
while IFS='|' read -r what want_status path args; do
  # shellcheck disable=SC2086
  expect "$what" "$want_status" site "$path" $args --
done <<'TABLE'
a missing release file|404|/release/867/missing.dll|
a release folder (no listing)|404|/release/867/bin/|
a path outside the release folders|404|/release/867/../../corlinq.conf|--path-as-is
the site root|404|/|
a path below the query path|404|/assist/server/x?reqtype=1&data=00|
a POST to the query path|403|/assist/server?reqtype=1&data=00|-X POST
a PUT of a release file|403|/release/867/Digest.xml|-X PUT
TABLE
for name in query-1 query-2; do
  expect "$name saw only version queries" "" grep -v -e 'GET /assist/server?reqtype=1&data=' \
    -e '^listening ' -e '^ready$' "$servers/$name.log"
done

echo "# /healthz through nginx, from loopback only"
expect "/healthz: 200, not stored" "200 no-store" site /healthz -- Cache-Control
expect "/healthz: the instance's body" ok cat "$state/body"
expect "/healthz from another address: refused by nginx" 403 site /healthz --interface 127.0.0.2 --
check_health=$(logged ' GET /healthz 200 .*outcome=health')
if [ -n "$check_health" ]; then ok "an instance answered /healthz"; else fail "no instance logged /healthz"; fi

echo "# a reload as the unit does it: its ExecReload lines in turn, stopping at the first failure"
# reload NAME: the unit's ExecReload lines with this run's program, file and pid put in.
reload() {
  local line pid
  pid=$(cat "$servers/$1.pid")
  while IFS= read -r line; do
    case "$line" in
      */usr/local/bin/update-server*/etc/corlinq/update-server/%i.json*|*'$MAINPID'*) ;;
      *) echo "reload: an ExecReload line this test cannot run: $line"; return 3 ;;
    esac
    line=${line//\/usr\/local\/bin\/update-server/$bin/update-server}
    line=${line//\/etc\/corlinq\/update-server\/%i.json/$state/$1.json}
    line=${line//\$MAINPID/$pid}
    read -ra words <<<"$line"
    "${words[@]}" || return 1
  done < <(sed -n 's/^ExecReload=//p' "$DEPLOY_ROOT/deploy/systemd/corlinq-update-server@.service")
}
cp "$state/query-1.json" "$state/query-1.good"
deploy_instance_config "$state/query-1.json" 0 "$key" 867 banana 1 "" "$files" "$pubkey" || exit 1
reload query-1 >"$state/reload.out" 2>&1
expect "a bad file: the reload fails at the check" 1 echo $?
expect "the check names the problem" 1 grep -c 'banana' "$state/reload.out"
expect "the instance was not signalled" 0 grep -c 'reload' "$servers/query-1.log"
expect "and still answers with its configuration" "1.0.0.1 https://localhost:$port/release/867" \
  direct "$p1" -H "Host: localhost:$port" -H 'X-Forwarded-Proto: https'
# Should the bad file reach the instance anyway (a SIGHUP by hand), it keeps serving.
kill -HUP "$(cat "$servers/query-1.pid")"
if wait_log query-1 '^reload failed, the running configuration stays: .*banana'; then
  ok "SIGHUP with the bad file: the instance logs the refusal"
else
  fail "SIGHUP with the bad file: no 'reload failed' line"
fi
for i in 1 2 3 4; do expect "after the refused SIGHUP: query $i through nginx" "$want" query 867; done
expect "after the refused SIGHUP: query-1 itself answers" "1.0.0.1 https://localhost:$port/release/867" \
  direct "$p1" -H "Host: localhost:$port" -H 'X-Forwarded-Proto: https'
deploy_instance_config "$state/query-1.json" 0 "$key" 867 1.0.0.2 1 "" "$files" "$pubkey" || exit 1
reload query-1 >"$state/reload.out" 2>&1
expect "a sound file: the reload passes" 0 echo $?
if wait_log query-1 '^reloaded '; then ok "the instance reloaded"; else fail "no 'reloaded' line"; fi
expect "the reloaded instance offers the new version" "1.0.0.2 https://localhost:$port/release/867" \
  direct "$p1" -H "Host: localhost:$port" -H 'X-Forwarded-Proto: https'
cp "$state/query-1.good" "$state/query-1.json"

echo "# an instance does not start on a release that does not hold (checkReleases)"
cp -R "$files" "$state/spoiled"
printf x >>"$state/spoiled/bin/helper.dll"
deploy_instance_config "$state/spoiled.json" 0 "$key" 867 1.0.0.1 1 "" "$state/spoiled" "$pubkey" || exit 1
timeout 20 "$bin/update-server" --config "$state/spoiled.json" >"$state/spoiled.out" 2>&1
expect "a tampered file: the start stops (exit 1)" 1 echo $?
expect "the reason names the file" 1 grep -c \
  "^update-server: release check failed: bank 867: $state/spoiled/bin/helper.dll: tampered: " "$state/spoiled.out"
expect "it never listened" 0 grep -c '^listening ' "$state/spoiled.out"

echo "# an instance stops: the queries go to the other one"
"$DEPLOY_ROOT/scripts/test-server.sh" stop "$servers" query-1 >/dev/null
before=$(queries_of query-2)
for i in 1 2 3; do expect "query $i with query-1 down" "$want" query 867; done
expect "query-2 answered all three" $((before + 3)) queries_of query-2
"$DEPLOY_ROOT/scripts/test-server.sh" stop "$servers" query-2 >/dev/null
expect "both down: nginx answers 502" 502 site "$(query_path 867)" --
expect "both down: the files are still served" 200 site /release/867/Digest.xml --

echo "# a hung instance: the query still gets its answer within the downloader's 3 s"
"$DEPLOY_ROOT/scripts/test-server.sh" start "$servers" query-2 "$bin/update-server" \
  --config "$state/query-2.json" >/dev/null || exit 1
"$DEPLOY_ROOT/scripts/test-server.sh" start "$servers" hung "$bin/fault-peer" --listen 127.0.0.1:0 \
  --mode stall --log "$state/hung.requests" >/dev/null || exit 1
deploy_nginx_stop "$ngx"
deploy_nginx_config "$ngx" "$port" "$state/certs/server.crt" "$state/certs/server.key" "$state/www" \
  "$("$DEPLOY_ROOT/scripts/test-server.sh" port "$servers" hung)" \
  "$("$DEPLOY_ROOT/scripts/test-server.sh" port "$servers" query-2 http)" && deploy_nginx_start "$ngx" || exit 1
# Like the downloader, each query waits at most 3 s (its fixed receive time-out). Round robin
# sends one of the two to the hung instance first.
for i in 1 2; do expect "query $i with a hung instance" "$want" query 867 --max-time 3; done
if [ -s "$state/hung.requests" ]; then ok "the hung instance was asked"; else fail "the hung instance was never asked"; fi
"$DEPLOY_ROOT/scripts/test-server.sh" stop "$servers" >/dev/null

echo "# what an instance is told: the headers nginx sets (a recorder in the instances' place)"
deploy_nginx_stop "$ngx"
python3 - "$state/recorder" <<'PY' &
import http.server, json, sys
out = sys.argv[1]
class Recorder(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        with open(out + ".requests", "a") as f:
            f.write(json.dumps({"target": self.path, **{k.lower(): v for k, v in self.headers.items()}}) + "\n")
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Recorder)
server.timeout = 1
with open(out + ".port.tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(out + ".port.tmp", out + ".port")
for _ in range(120):  # at most about two minutes, then it ends by itself
    server.handle_request()
PY
recorder=$!
for _ in $(seq 100); do [ -s "$state/recorder.port" ] && break; sleep 0.1; done
deploy_nginx_config "$ngx" "$port" "$state/certs/server.crt" "$state/certs/server.key" "$state/www" \
  "$(cat "$state/recorder.port")" && deploy_nginx_start "$ngx" || exit 1
target=$(query_path 867)
site "$target" -H 'X-Forwarded-For: 203.0.113.9' -H 'X-Forwarded-Proto: http' -- >/dev/null
kill "$recorder" 2>/dev/null
wait "$recorder" 2>/dev/null
# Prints the recorded request's FIELD ("-" when absent).
recorded() { python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline()).get(sys.argv[2], "-"))' "$state/recorder.requests" "$1"; }
expect "the target as the client sent it" "$target" recorded target
expect "X-Forwarded-For: the client's address, what the client claimed replaced" 127.0.0.1 recorded x-forwarded-for
expect "X-Forwarded-Proto: https, what the client claimed replaced" https recorded x-forwarded-proto
expect "Host: as the client sent it, with the port" "localhost:$port" recorded host
expect "keep-alive to the instances" - recorded connection

echo "nginx deployment: $failures failure(s)"
[ $failures -eq 0 ]
