#!/usr/bin/env bash
# Downloads a 1 GiB file from a native test peer with corlinq_fetch and checks that the
# downloader's peak resident memory stays under 64 MiB. The peer generates the bytes on the fly;
# the downloaded file is removed afterwards.
# Usage: download_memory_test.sh PEER_EXE FETCH_EXE WORK_DIR
set -euo pipefail
peer_exe=$1 fetch_exe=$2 work=$3
size=$((1024 * 1024 * 1024))
limit_kib=$((64 * 1024))
dir=$(mktemp -d "$work/memtest.XXXXXX")
peer_pid=
cleanup() {
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null && wait "$peer_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
trap "exit 1" INT TERM
"$peer_exe" --ready "$dir/ready" files=127.0.0.4:answer &
peer_pid=$!
for _ in $(seq 100); do [ -f "$dir/ready" ] && break; sleep 0.1; done
url=$(awk '$1 == "files" { print $2 }' "$dir/ready")
[ -n "$url" ] || { echo "peer did not start" >&2; exit 1; }
start=$(date +%s.%N)
out=$("$fetch_exe" get "$url/dl/ok/$size" "$dir/big.bin" --expect-pattern "$size")
end=$(date +%s.%N)
echo "$out"
actual=$(stat -c %s "$dir/big.bin")
[ "$actual" -eq "$size" ] || { echo "downloaded $actual bytes, expected $size" >&2; exit 1; }
rss=$(sed -n 's/.*peak_rss_kib=\([0-9]*\).*/\1/p' <<<"$out")
printf 'downloaded %d bytes in %.1f s, peak RSS %d KiB (limit %d KiB)\n' "$size" "$(echo "$end - $start" | bc)" "$rss" "$limit_kib"
[ "$rss" -lt "$limit_kib" ]
