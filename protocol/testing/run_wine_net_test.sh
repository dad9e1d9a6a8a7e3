#!/usr/bin/env bash
# Runs the Windows transport integration test under Wine against a native peer process.
# Usage: run_wine_net_test.sh PEER_EXE TEST_EXE [gtest args...]   (CORLINQ_WINE_DIR set by CTest)
set -euo pipefail
peer_exe=$1 test_exe=$2
shift 2
here=$(dirname "$(readlink -f "$0")")
exec_sh="$here/../../scripts/wine/exec.sh"
[ -x "$peer_exe" ] || { echo "native peer missing: $peer_exe (build the native tree first)" >&2; exit 1; }
dir=$(mktemp -d)
peer_pid=
cleanup() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap "exit 1" INT TERM
"$peer_exe" --ready "$dir/ready" \
  stall1=127.0.0.2:stall stall2=127.0.0.3:stall answer3=127.0.0.4:answer answer4=127.0.0.3:answer \
  files=127.0.0.4:answer refused1=127.0.0.2:closed refused2=127.0.0.3:closed &
peer_pid=$!
for _ in $(seq 100); do [ -f "$dir/ready" ] && break; sleep 0.1; done
[ -f "$dir/ready" ] || { echo "peer did not start" >&2; exit 1; }
CORLINQ_NET_PEERS=$(awk '{ printf "%s%s %s", (NR > 1 ? ";" : ""), $1, $2 }' "$dir/ready")
export CORLINQ_NET_PEERS
"$exec_sh" "${CORLINQ_WINE_DIR:?}" "$test_exe" --gtest_brief=1 "$@"
