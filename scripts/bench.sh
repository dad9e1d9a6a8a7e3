#!/usr/bin/env bash
# The downloader's speed next to the tools everyone knows, measured side by side in one run on
# loopback. Not a test: it prints figures, it judges nothing (BENCHMARKS.md keeps them).
#
#   scripts/bench.sh [--quick] [--reps N] [--no-build] [--only SECTION[,SECTION...]]
#
# --only runs some sections alone (default: all of them): wine (the runs under Wine and the
# curl + sha1sum reference; the final ratio line), server (wrk and the small file), fetch (the
# native fetch and the digest), manifest (manifest-bench). The table keeps the order below.
# It builds what it needs (native and win64 presets), makes a signed release of ~1,000 files /
# ~256 MiB (--quick: ~160 files / ~30 MiB) with deterministic content, signed with the demo key
# for the demo bank build, and measures:
#   - under Wine against update-server: fresh install (wizard driven, from 下一步 to the end of
#     the process), no-op update (-update, nothing changed, from 确定 to the end), repair of two
#     damaged files (-losefile, from start to end), the run's peak memory (VmHWM);
#   - the same fresh install with the files served by nginx;
#   - curl (one process, keep-alive, the same URL list) followed by sha1sum of the files, from
#     both servers: the reference of the final line;
#   - the platform's HTTP stack alone under Wine: the same URL list fetched in one process over
#     WinINet (corlinq_fetch.exe get-all: one connection, no digest, no dialog), from both
#     servers: what bounds the install under Wine;
#   - update-server version queries/s and p50/p99 latency with wrk at 1/16/64/200 connections,
#     next to nginx serving a static file of the reply's size; a small file on a fresh connection;
#   - the native fetch (corlinq_fetch, libcurl adapter, digest checked) of 1 GiB (--quick:
#     128 MiB) from nginx against curl: time and peak RSS; the file digest against openssl;
#   - build/native/bin/manifest-bench when it is there.
# Medians of --reps runs (default 3) where a figure is repeated; one fresh install per server.
# Output: a table, then "install/curl ratio: R" (fresh install under Wine / curl + sha1sum, both
# against update-server). State in build/bench (kept for a look; BENCH_STATE overrides).
set -uo pipefail
ROOT=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
quick=0 reps=3 build=1 only=wine,server,fetch,manifest
usage() { sed -n '2,26p' "$0" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --reps) reps=$2; shift ;;
    --no-build) build=0 ;;
    --only) [ $# -ge 2 ] || usage; only=$2; shift ;;
    --only=*) only=${1#--only=} ;;
    *) usage ;;
  esac
  shift
done
for section in ${only//,/ }; do
  case "$section" in
    wine|server|fetch|manifest) ;;
    *) echo "bench: unknown section '$section' (wine, server, fetch, manifest)" >&2; exit 2 ;;
  esac
done
want() { [[ ",$only," == *",$1,"* ]]; }
if [ $quick = 1 ]; then
  n_small=150 n_medium=10 n_large=1 fetch_mib=128 wrk_seconds=2
else
  n_small=900 n_medium=85 n_large=10 fetch_mib=1024 wrk_seconds=5
fi

BENCH=${BENCH_STATE:-$ROOT/build/bench}
mkdir -p "$BENCH"
BENCH=$(cd "$BENCH" && pwd)
log() { printf '[bench] %s\n' "$*" >&2; }
now() { date +%s.%N; }
calc() { case "$*" in *nan*|"") echo nan ;; *) echo "scale=6; $*" | bc -l ;; esac; }
fmt() { printf "%.${2:-2}f" "$1"; }
kib_to_mib() { awk -v k="$1" 'BEGIN { if (k == "nan" || k == "") print "nan"; else printf "%d", k / 1024 }'; }
median() { printf '%s\n' "$@" | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {if (NR==0) print "nan"; else if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }

# ---- build ---------------------------------------------------------------------------------
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
# BENCH_WIN64: a win64 build folder (bin/, test-peers/) to measure instead of building one, for
# example a copy of an earlier build kept for a before/after comparison.
NATIVE=$ROOT/build/native WIN64=${BENCH_WIN64:-$ROOT/build/win64}
if [ $build = 1 ]; then
  log "building (native$(want wine && echo ', win64'))"
  (cd "$ROOT" && { [ -f "$NATIVE/build.ninja" ] || cmake --preset native >/dev/null; }) || exit 1
  native_targets=(update-server digest-tool envelope-tool corlinq_fetch)
  if want manifest && ninja -C "$NATIVE" -t targets all 2>/dev/null | grep -q '^manifest-bench:'; then
    native_targets+=(manifest-bench)
  fi
  cmake --build "$NATIVE" -j2 --target "${native_targets[@]}" >"$BENCH/build-native.log" 2>&1 ||
    { tail -20 "$BENCH/build-native.log"; exit 1; }
  if [ -z "${BENCH_WIN64:-}" ] && want wine; then
    (cd "$ROOT" && { [ -f "$WIN64/build.ninja" ] || cmake --preset win64 >/dev/null; }) || exit 1
    cmake --build "$WIN64" -j2 --target corlinq_downloader ui-driver peer_webui_867 peer_qzwardpop \
      peer_qzwardpop_867 corlinq_fetch >"$BENCH/build-win64.log" 2>&1 || { tail -20 "$BENCH/build-win64.log"; exit 1; }
  fi
fi
FETCH=$(find "$NATIVE" -name corlinq_fetch -type f -perm -u+x | head -1)
ENVELOPE_TOOL=$(find "$NATIVE" -name envelope-tool -type f -perm -u+x | head -1)
for tool in nginx wrk curl openssl sha1sum /usr/bin/time bc; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/deps.sh)" >&2; exit 1; }
done

# ---- the release ---------------------------------------------------------------------------
SRC=$BENCH/src-$n_small-$n_medium-$n_large
if [ ! -f "$SRC.done" ]; then
  log "making the release source ($n_small small, $n_medium medium, $n_large large files)"
  rm -rf "$SRC"
  cp -R "$ROOT/demo/release" "$SRC"
  python3 - "$SRC" "$n_small" "$n_medium" "$n_large" <<'PY' || exit 1
import os, random, sys
out, ns, nm, nl = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
r = random.Random(0x867)
def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        while size:
            n = min(size, 1 << 20)
            f.write(r.randbytes(n))
            size -= n
for i in range(ns): write(f"{out}/assets/s{i // 100:02d}/file{i:04d}.dat", r.randint(1 << 10, 64 << 10))
for i in range(nm): write(f"{out}/media/m{i:03d}.bin", r.randint(128 << 10, 2 << 20))
for i in range(nl): write(f"{out}/pack/large{i:02d}.pak", r.randint(12 << 20, 16 << 20))
PY
  touch "$SRC.done"
fi
BIG=$BENCH/big/big-$fetch_mib.bin
if want fetch && [ ! -f "$BIG" ]; then
  log "making the $fetch_mib MiB fetch file"
  mkdir -p "$BENCH/big"
  python3 - "$BIG" "$fetch_mib" <<'PY' || exit 1
import random, sys
r = random.Random(1)
with open(sys.argv[1], "wb") as f:
    for _ in range(int(sys.argv[2])): f.write(r.randbytes(1 << 20))
PY
fi

# ---- the Wine harness and the servers ----------------------------------------------------------
E2E_ROOT=$ROOT E2E_WIN64=$WIN64 WINE_STATE=$WIN64/bench-wine E2E_STATE=$BENCH/run
export CORLINQ_NATIVE_BUILD_DIR=$NATIVE
rm -rf "$E2E_STATE"
# shellcheck source=lib/e2e.sh
source "$ROOT/scripts/lib/e2e.sh"
if want wine; then
  # A window manager on the display, as on the customer's desktop (see scripts/wine/start.sh).
  WINE_WINDOW_MANAGER=${WINE_WINDOW_MANAGER-openbox} "$ROOT/scripts/wine/start.sh" "$WINE_STATE" >/dev/null || exit 1
else
  E2E_STAND_INS=()  # the assistant's stand-ins are win64 programs
fi
e2e_init
NGINX_DIR=$E2E_STATE/nginx
teardown() {
  want wine && e2e_stop_programs >/dev/null 2>&1
  e2e_server_stop
  [ -f "$NGINX_DIR/nginx.pid" ] && kill "$(cat "$NGINX_DIR/nginx.pid")" 2>/dev/null
  want wine && "$ROOT/scripts/wine/stop.sh" "$WINE_STATE" >/dev/null 2>&1
}
trap teardown EXIT
trap 'exit 1' INT TERM
want wine && "$ROOT/scripts/wine/cjk-fonts.sh" "$WINE_STATE" >/dev/null 2>&1

RELEASE=$E2E_STATE/release
log "signing the release"
e2e_make_release "$RELEASE" "$SRC" || { echo "bench: cannot make the release" >&2; exit 1; }
files=$(find "$RELEASE" -type f | wc -l)
mib=$(calc "$(du -sb "$RELEASE" | cut -f1) / 1048576")
log "release: $files files, $(fmt "$mib" 1) MiB"
"$ROOT/scripts/gen-test-cert.sh" "$E2E_STATE/certs" >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# nginx on loopback with its own configuration: the release, the fetch file, a static reply.
NG_PORT=$(free_port)
mkdir -p "$NGINX_DIR/www/release" "$NGINX_DIR/www/big" "$NGINX_DIR/tmp"
ln -sfn "$RELEASE" "$NGINX_DIR/www/release/867"
want fetch && ln -sfn "$BIG" "$NGINX_DIR/www/big/big.bin"
cat >"$NGINX_DIR/nginx.conf" <<CONF
daemon on;
user root root;
worker_processes 2;
pid $NGINX_DIR/nginx.pid;
error_log $NGINX_DIR/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  client_body_temp_path $NGINX_DIR/tmp/body;
  proxy_temp_path $NGINX_DIR/tmp/proxy;
  fastcgi_temp_path $NGINX_DIR/tmp/fastcgi;
  uwsgi_temp_path $NGINX_DIR/tmp/uwsgi;
  scgi_temp_path $NGINX_DIR/tmp/scgi;
  types { }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$NG_PORT ssl;
    ssl_certificate $E2E_STATE/certs/server.crt;
    ssl_certificate_key $E2E_STATE/certs/server.key;
    root $NGINX_DIR/www;
  }
}
CONF
nginx -p "$NGINX_DIR" -c "$NGINX_DIR/nginx.conf" || { echo "bench: nginx did not start" >&2; exit 1; }

# update-server: "server" tells its own URL, "server-ng" sends the downloads to nginx.
us_config() {  # FILE [URL]
  cat >"$1" <<JSON
{
  "listeners": [{"address": "127.0.0.1", "port": 0, "tls": true}],
  "certificate": "$E2E_STATE/certs/server.crt",
  "privateKey": "$E2E_STATE/certs/server.key",
  "envelopeKey": "$ROOT/keys/envelope.pem",
  "requestPath": "/assist/server?reqtype=1&data=",
  "banks": {"$E2E_BANK": {"version": "1.0.0.1", "update": "1", ${2:+\"url\": \"$2\", }"release": "$RELEASE"}}
}
JSON
}
us_config "$E2E_STATE/server.json"
us_config "$E2E_STATE/server-ng.json" "https://localhost:$NG_PORT/release/867"
if want wine || want server; then
  e2e_server_start server update-server --config "$E2E_STATE/server.json" || exit 1
  US_PORT=$(e2e_server_port server)
fi
if want wine; then
  e2e_server_start server-ng update-server --config "$E2E_STATE/server-ng.json" || exit 1
  NGQ_PORT=$(e2e_server_port server-ng)
fi
US=https://localhost:${US_PORT:-}
NG=https://localhost:$NG_PORT
WORK=$E2E_STATE/work
ROWS=()
row() { ROWS+=("$1|$2|$3|$4"); }

# ---- the downloader under Wine -------------------------------------------------------------------
PEAK_KIB=0
# Waits for the downloader to end, sampling its peak memory; "fail" when the run failed.
wait_run() {  # seconds
  local end=$((SECONDS + $1)) hwm next=$((SECONDS + 10))
  while kill -0 "$E2E_APP_PID" 2>/dev/null; do
    hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$E2E_APP_PID/status" 2>/dev/null)
    [ -n "$hwm" ] && [ "$hwm" -gt "$PEAK_KIB" ] && PEAK_KIB=$hwm
    if [ $SECONDS -ge "$next" ]; then
      [ "$(drv text 135 2)" = 下载失败 ] && { log "the run failed: $(drv text 135 1020)"; return 1; }
      next=$((SECONDS + 10))
    fi
    [ $SECONDS -lt "$end" ] || { log "the run did not end in $1 s"; return 1; }
    sleep 0.1
  done
  wait "$E2E_APP_PID" 2>/dev/null
  E2E_APP_PID=
  return 0
}

INSTALL_DIR=
# The functions below leave their figure in RESULT (seconds); they run in this shell, not in a
# command substitution, since they keep state (the app's pid, its peak memory, the folder).
RESULT=
# Fresh install through the wizard against the server on PORT: seconds from 下一步 on the
# options page to the end of the process.
fresh_install() {  # PORT
  e2e_stop_programs >/dev/null 2>&1
  e2e_reset_install
  e2e_workdir "$WORK" https://localhost ":$1"
  e2e_launch "$WORK"
  drv wait-dialog "$E2E_TITLE#132" 60000 >/dev/null || { log "no welcome dialog"; return 1; }
  drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 20000 >/dev/null || { log "no options dialog"; return 1; }
  INSTALL_DIR=$(drv text 134 1017)
  local t0
  t0=$(now)
  drv click 134 1 >/dev/null
  wait_run 3600 || { log "the install did not finish"; return 1; }
  RESULT=$(calc "$(now) - $t0")
  e2e_check_files "$RELEASE" "$(e2e_unixpath "$INSTALL_DIR")" quiet || { log "installed files differ"; return 1; }
}

# No-op update: the record says 1.0.0.0, the files are those of 1.0.0.1; -update, 确定.
noop_update() {
  e2e_stop_programs >/dev/null 2>&1
  e2e_write_record 1.0.0.0 "$INSTALL_DIR"
  e2e_launch "$WORK" -update
  drv wait-dialog "$E2E_TITLE#139" 60000 >/dev/null || { log "no update question"; return 1; }
  local t0
  t0=$(now)
  drv click 139 1 >/dev/null
  wait_run 600 || { log "the update did not finish"; return 1; }
  RESULT=$(calc "$(now) - $t0")
}

# Repair of a deleted and a corrupted file (-losefile): seconds from start to end; the server
# log counts the fetches of the two files.
REPAIR_FETCHES=
repair() {
  e2e_stop_programs >/dev/null 2>&1
  local dir small medium before
  dir=$(e2e_unixpath "$INSTALL_DIR")
  small=assets/s00/file0007.dat medium=media/m003.bin
  rm -f "$dir/$small"
  printf 'damage' | dd of="$dir/$medium" bs=1 seek=1000 conv=notrunc status=none
  before=$(e2e_server_log server | wc -l)
  local t0
  t0=$(now)
  e2e_launch "$WORK" -losefile
  wait_run 600 || { log "the repair did not finish"; return 1; }
  RESULT=$(calc "$(now) - $t0")
  REPAIR_FETCHES=$(e2e_server_log server | tail -n +$((before + 1)) | grep -cE "GET /release/867/+($small|$medium) 200")
  e2e_check_files "$RELEASE" "$dir" quiet || { log "the repair left differences"; return 1; }
}

# Each section below runs only when --only names it (its guard is not indented).
if want wine; then
log "fresh install under Wine from update-server"
fresh_install "$US_PORT" && t_install=$RESULT || t_install=nan
install_peak=$PEAK_KIB
noops=() repairs=()
if [ "$t_install" != nan ]; then
  for _ in $(seq "$reps"); do
    log "no-op update"
    noop_update && noops+=("$RESULT")
  done
  for _ in $(seq "$reps"); do
    log "repair of two files"
    repair && repairs+=("$RESULT")
  done
fi
run_peak=$PEAK_KIB
log "fresh install under Wine, files from nginx"
PEAK_KIB=0
fresh_install "$NGQ_PORT" && t_install_ng=$RESULT || t_install_ng=nan
e2e_stop_programs >/dev/null 2>&1

# ---- curl + sha1sum of the same URL list -----------------------------------------------------
URLS=$E2E_STATE/urls.txt
python3 - "$RELEASE" >"$URLS" <<'PY'
import re, sys, urllib.parse
rel = sys.argv[1]
print("Digest.xml"); print("Digest_867.xml")
for m in ("Digest.xml", "Digest_867.xml"):
    text = open(f"{rel}/{m}", encoding="utf-8").read()
    for p, n in re.findall(r'<File Path="([^"]*)" FileName="([^"]*)"', text):
        print((p.replace("\\", "/") + "/" if p else "") + n)
PY
curl_run() {  # BASE -> seconds of curl (one process) followed by sha1sum
  local base=$1 out=$E2E_STATE/curl-out cfg=$E2E_STATE/curl.cfg t0
  rm -rf "$out"
  python3 - "$base/release/867" "$out" "$URLS" >"$cfg" <<'PY'
import sys, urllib.parse
base, out = sys.argv[1], sys.argv[2]
for line in open(sys.argv[3], encoding="utf-8"):
    rel = line.strip()
    print(f'url = "{base}/{urllib.parse.quote(rel)}"')
    print(f'output = "{out}/{rel}"')
PY
  t0=$(now)
  curl -skf --create-dirs -K "$cfg" || return 1
  (cd "$out" && find . -type f -print0 | xargs -0 sha1sum >/dev/null) || return 1
  calc "$(now) - $t0"
}

# The same URL list over WinINet under Wine, in one process (seconds of its downloads).
wininet_run() {  # BASE -> seconds
  local list=$E2E_STATE/wininet-urls.txt out=$E2E_STATE/wininet-out
  rm -rf "$out" && mkdir -p "$out"
  python3 - "$1/release/867" "$URLS" >"$list" <<'PY' || return 1
import sys, urllib.parse
for line in open(sys.argv[2], encoding="utf-8"):
    print(f"{sys.argv[1]}/{urllib.parse.quote(line.strip())}")
PY
  wine "$WIN64/protocol/corlinq_fetch.exe" get-all "$(e2e_winpath "$out")" "@$(e2e_winpath "$list")" 2>/dev/null |
    tr -d '\r' | awk -F= '$1 == "result" { ok = $2 } $1 == "seconds" { s = $2 } END { if (ok == 1) print s; else exit 1 }'
}
curls=() curls_ng=() wininets=() wininets_ng=()
for _ in $(seq "$reps"); do
  log "curl + sha1sum, and WinINet alone under Wine"
  t=$(curl_run "$US") && curls+=("$t")
  t=$(curl_run "$NG") && curls_ng+=("$t")
  t=$(wininet_run "$US") && wininets+=("$t")
  t=$(wininet_run "$NG") && wininets_ng+=("$t")
done
t_curl=$(median "${curls[@]}")
t_curl_ng=$(median "${curls_ng[@]}")
t_wininet=$(median "${wininets[@]}")
t_wininet_ng=$(median "${wininets_ng[@]}")
fi  # wine

# ---- version queries with wrk --------------------------------------------------------------------
if want server; then
QUERY="/assist/server?reqtype=1&data=$("$ENVELOPE_TOOL" seal "$(printf '%x' 0x$E2E_BANK)" --key "$ROOT/keys/envelope.pem")"
reply_bytes=$(curl -sk "https://127.0.0.1:$US_PORT$QUERY" | wc -c)
head -c "$reply_bytes" /dev/zero | tr '\0' 'a' >"$NGINX_DIR/www/reply.txt"
cat >"$E2E_STATE/query.lua" <<LUA
wrk.method = "GET"
wrk.path = "$QUERY"
LUA
to_ms() { awk '{v=$1; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; printf "%.2f", v}' <<<"$1"; }
wrk_run() {  # URL CONNECTIONS [LUA] -> "rps p50 p99 errors"
  local threads=2 out
  [ "$2" -ge 2 ] || threads=1
  out=$(wrk -t"$threads" -c"$2" -d"${wrk_seconds}s" --latency ${3:+-s "$3"} "$1" 2>&1)
  local rps p50 p99 errors
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p50=$(to_ms "$(awk '$1 == "50%" {print $2}' <<<"$out")")
  p99=$(to_ms "$(awk '$1 == "99%" {print $2}' <<<"$out")")
  errors=$(awk '/Socket errors/ {gsub(",",""); s=$4+$6+$8+$10} /Non-2xx/ {n=$5} END {print s+n}' <<<"$out")
  echo "${rps:-0} ${p50:-nan} ${p99:-nan} ${errors:-0}"
}
for c in 1 16 64 200; do
  log "wrk at $c connections"
  read -r q_rps q_p50 q_p99 q_err < <(wrk_run "https://127.0.0.1:$US_PORT" "$c" "$E2E_STATE/query.lua")
  read -r n_rps n_p50 n_p99 n_err < <(wrk_run "https://127.0.0.1:$NG_PORT/reply.txt" "$c")
  row "version queries, $c conn" "$(fmt "$q_rps" 0) q/s, p50 $q_p50 ms, p99 $q_p99 ms, $q_err errors" \
      "nginx $reply_bytes-byte file: $(fmt "$n_rps" 0) r/s, p50 $n_p50 ms, p99 $n_p99 ms, $n_err errors" \
      "wrk ${wrk_seconds}s, HTTPS keep-alive"
done
fresh_get() {  # URL -> median seconds of a GET on a fresh connection
  local ts=() i
  for i in 1 2 3 4 5; do ts+=("$(curl -sk -o /dev/null -w '%{time_total}' "$1")"); done
  median "${ts[@]}"
}
small_file=assets/s00/file0001.dat
row "small file, fresh connection" "$(fmt "$(calc "$(fresh_get "$US/release/867/$small_file") * 1000")" 1) ms" \
    "nginx: $(fmt "$(calc "$(fresh_get "$NG/release/867/$small_file") * 1000")" 1) ms" "curl, TLS handshake included, median of 5"
fi  # server

# ---- native fetch and file digest ------------------------------------------------------------------
if want fetch; then
big_bytes=$(stat -c %s "$BIG")
big_digest=$(openssl dgst -sha1 -binary "$BIG" | base64)
timed() {  # OUT_FILE COMMAND... -> "seconds peak_kib"
  local out=$1
  shift
  /usr/bin/time -f '%e %M' -o "$out" "$@" >/dev/null 2>&1 || return 1
  cat "$out"
}
f_t=() f_m=() c_t=() c_m=() d_t=() o_t=()
for _ in $(seq "$reps"); do
  log "fetch of $fetch_mib MiB"
  rm -f "$E2E_STATE/fetched.bin"
  read -r t m < <(timed "$E2E_STATE/time.txt" "$FETCH" get "$NG/big/big.bin" "$E2E_STATE/fetched.bin" --digest "$big_digest") &&
    { f_t+=("$t"); f_m+=("$m"); }
  rm -f "$E2E_STATE/fetched.bin"
  read -r t m < <(timed "$E2E_STATE/time.txt" curl -sk -o "$E2E_STATE/fetched.bin" "$NG/big/big.bin") &&
    { c_t+=("$t"); c_m+=("$m"); }
  rm -f "$E2E_STATE/fetched.bin"
  read -r t _ < <(timed "$E2E_STATE/time.txt" "$FETCH" digest "$BIG") && d_t+=("$t")
  read -r t _ < <(timed "$E2E_STATE/time.txt" openssl dgst -sha1 "$BIG") && o_t+=("$t")
done
ft=$(median "${f_t[@]}") ct=$(median "${c_t[@]}") dt=$(median "${d_t[@]}") ot=$(median "${o_t[@]}")
fetch_ratio=$(calc "$ct / $ft")
digest_ratio=$(calc "$ot / $dt")
row "native fetch $fetch_mib MiB (nginx, HTTPS)" \
    "$(fmt "$ft") s, $(fmt "$(calc "$big_bytes / 1048576 / $ft")" 0) MiB/s, peak RSS $(kib_to_mib "$(median "${f_m[@]}")") MiB" \
    "curl: $(fmt "$ct") s, $(fmt "$(calc "$big_bytes / 1048576 / $ct")" 0) MiB/s, peak RSS $(kib_to_mib "$(median "${c_m[@]}")") MiB" \
    "$(fmt "$fetch_ratio") x curl's throughput, digest checked"
row "file digest $fetch_mib MiB" "$(fmt "$dt") s" "openssl dgst -sha1: $(fmt "$ot") s" \
    "$(fmt "$digest_ratio") x openssl, warm page cache"
fi  # fetch

# ---- the Wine runs in the table -----------------------------------------------------------------
if want wine; then
t_noop=$(median "${noops[@]}") t_repair=$(median "${repairs[@]}")
row "fresh install (update-server)" "$(fmt "$t_install" 1) s" "curl + sha1sum: $(fmt "$t_curl" 1) s" \
    "$files files, $(fmt "$mib" 0) MiB, one run, from 下一步 to exit"
row "fresh install (files from nginx)" "$(fmt "$t_install_ng" 1) s" "curl + sha1sum from nginx: $(fmt "$t_curl_ng" 1) s" \
    "one run"
row "the same URLs over WinINet alone" "$(fmt "$t_wininet" 1) s" "curl + sha1sum: $(fmt "$t_curl" 1) s" \
    "median of ${#wininets[@]}, under Wine, one connection, no digest, no dialog; the install takes $(fmt "$(calc "$t_install / $t_wininet")") x this"
row "the same URLs over WinINet, from nginx" "$(fmt "$t_wininet_ng" 1) s" "curl + sha1sum from nginx: $(fmt "$t_curl_ng" 1) s" \
    "median of ${#wininets_ng[@]}; the install from nginx takes $(fmt "$(calc "$t_install_ng / $t_wininet_ng")") x this"
row "no-op update" "$(fmt "$t_noop") s" "-" "median of ${#noops[@]}, from 确定 to exit"
row "repair, 2 damaged files" "$(fmt "$t_repair") s" "-" \
    "median of ${#repairs[@]}, start to exit; fetched ${REPAIR_FETCHES:-?} times for 2 files (last run)"
row "peak memory under Wine" "$(kib_to_mib "$run_peak") MiB" "-" "VmHWM of the downloader (all its runs); the fresh install alone $(kib_to_mib "$install_peak") MiB"
fi  # wine

MANIFEST_BENCH=$NATIVE/bin/manifest-bench
if want manifest && [ -x "$MANIFEST_BENCH" ]; then
  # The first run in a row is often the slowest (fresh pages from the kernel): a median, as above.
  mbs=() mcpus=() mb_error=
  for _ in $(seq "$reps"); do
    log "manifest-bench"
    out=$("$MANIFEST_BENCH" 2>&1) || { mb_error=$(tr '\n' ';' <<<"$out"); break; }
    mbs+=("$(sed -n 's/^manifest read+verify+plan .*: \([0-9.]*\) s$/\1/p' <<<"$out")")
    mcpus+=("$(sed -n 's/^ *(processor time \([0-9.]*\) s)$/\1/p' <<<"$out")")
  done
  if [ -n "$mb_error" ]; then
    row "manifest-bench" "failed: $mb_error" "-" "build/native/bin/manifest-bench"
  else
    row "manifest read+verify+plan, 100,000 entries" "$(fmt "$(median "${mbs[@]}")" 3) s" "-" \
        "median of ${#mbs[@]} (runs: ${mbs[*]} s; processor time $(fmt "$(median "${mcpus[@]}")" 3) s), build/native/bin/manifest-bench"
  fi
fi

# ---- the table ------------------------------------------------------------------------------------
echo
echo "bench $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)$([ $quick = 1 ] && echo ', --quick')$([ "$only" = wine,server,fetch,manifest ] || echo ", --only $only")"
echo
echo "| figure | measured | reference | note |"
echo "|---|---|---|---|"
for r in "${ROWS[@]}"; do
  IFS='|' read -r a b c d <<<"$r"
  echo "| $a | $b | $c | $d |"
done
if want wine; then
  echo
  echo "install/curl ratio: $(fmt "$(calc "$t_install / $t_curl")" 2)"
fi
