#!/usr/bin/env bash
# Measures the native download (corlinq_fetch over libcurl, SHA-1 digest checked) against curl
# on the same file from the reference update server over HTTPS on loopback: wall time (median
# of RUNS), throughput ratio and peak resident memory. Not a test; prints a small table.
# Usage: fetch_bench.sh NATIVE_BUILD_DIR [SIZE_MIB [RUNS]]
set -euo pipefail
native=$(readlink -f "$1") size_mib=${2:-1024} runs=${3:-3}
root=$(readlink -f "$(dirname "$(readlink -f "$0")")/../..")
fetch=${FETCH:-$native/protocol/corlinq_fetch}  # FETCH: another build of the client
state=$(mktemp -d /tmp/fetch_bench.XXXXXX)
export CORLINQ_NATIVE_BUILD_DIR=$native
cleanup() {
  "$root/scripts/test-server.sh" stop "$state" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT
trap "exit 1" INT TERM

"$root/scripts/gen-test-cert.sh" "$state/certs" >/dev/null
mkdir -p "$state/release/bin" "$state/out"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$state/release/bin/big.bin"
digest=$(openssl dgst -sha1 -binary "$state/release/bin/big.bin" | base64)
cat >"$state/server.json" <<JSON
{
  "listeners": [{"address": "127.0.0.1", "port": 0, "tls": true}],
  "certificate": "$state/certs/server.crt",
  "privateKey": "$state/certs/server.key",
  "envelopeKey": "$root/keys/envelope.pem",
  "banks": {"867": {"version": "1.0.0.2", "update": "0", "release": "$state/release"}}
}
JSON
"$root/scripts/test-server.sh" start "$state" server update-server --config "$state/server.json" >/dev/null
port=$("$root/scripts/test-server.sh" port "$state" server https)
url="https://127.0.0.1:$port/release/867/bin/big.bin"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# time_run command...: prints "seconds peak_rss_kib cpu_seconds" (cpu: user + system)
time_run() {
  /usr/bin/time -f '%e %M %U %S' -o "$state/time" "$@" >/dev/null 2>"$state/err" || { cat "$state/err" >&2; return 1; }
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$state/time"
}
curl_times=() fetch_times=() curl_cpu=() fetch_cpu=() curl_rss=0 fetch_rss=0
for _ in $(seq "$runs"); do
  rm -f "$state/out/"*
  read -r t m u < <(time_run curl -sk -o "$state/out/curl.bin" "$url")
  curl_times+=("$t"); curl_cpu+=("$u"); [ "$m" -gt "$curl_rss" ] && curl_rss=$m
  rm -f "$state/out/"*
  read -r t m u < <(time_run "$fetch" get "$url" "$state/out/fetch.bin" --digest "$digest")
  fetch_times+=("$t"); fetch_cpu+=("$u"); [ "$m" -gt "$fetch_rss" ] && fetch_rss=$m
  cmp -s "$state/release/bin/big.bin" "$state/out/fetch.bin" || { echo "the fetched file differs" >&2; exit 1; }
done
c=$(printf '%s\n' "${curl_times[@]}" | median)
f=$(printf '%s\n' "${fetch_times[@]}" | median)
cu=$(printf '%s\n' "${curl_cpu[@]}" | median)
fu=$(printf '%s\n' "${fetch_cpu[@]}" | median)
printf '%-26s %10s %12s %14s %14s\n' what "median s" "MiB/s" "median CPU s" "peak RSS KiB"
printf '%-26s %10s %12.0f %14s %14s\n' "curl -k -o FILE" "$c" "$(echo "$size_mib / $c" | bc -l)" "$cu" "$curl_rss"
printf '%-26s %10s %12.0f %14s %14s\n' "corlinq_fetch (SHA-1)" "$f" "$(echo "$size_mib / $f" | bc -l)" "$fu" "$fetch_rss"
printf 'runs: curl %s; fetch %s\n' "${curl_times[*]}" "${fetch_times[*]}"
printf 'fetch/curl throughput ratio: %.2f\n' "$(echo "$c / $f" | bc -l)"
