#!/usr/bin/env bash
# Starts and stops loopback test servers (update-server, fault-peer) by recorded process ids.
#
#   scripts/test-server.sh start STATE_DIR NAME PROGRAM [ARGS...]
#       PROGRAM is update-server, fault-peer (taken from $CORLINQ_NATIVE_BUILD_DIR/bin, default
#       build/native/bin) or a path. Runs it in the background with --ready-file added, output in
#       STATE_DIR/NAME.log, pid in STATE_DIR/NAME.pid; waits (up to 30 s) until it listens and
#       prints its listeners ("https 127.0.0.1:8443", one per line). Fails if NAME still runs.
#   scripts/test-server.sh port STATE_DIR NAME [SCHEME [ADDRESS]]
#       Prints the port NAME listens on (the first listener that matches).
#   scripts/test-server.sh stop STATE_DIR [NAME...]
#       Sends SIGTERM to the named servers (all recorded in STATE_DIR without a NAME), waits up to
#       15 s each (then SIGKILL), removes their pid files. Exit 1 if one did not stop cleanly.
#
# Example:
#   scripts/test-server.sh start "$state" server update-server --config "$state/server.json"
#   scripts/test-server.sh start "$state" dead fault-peer --listen 127.0.0.2:8443 \
#       --tls "$certs/server.crt" "$certs/server.key" --mode stall --log "$state/dead.requests"
#   ...
#   scripts/test-server.sh stop "$state"
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
root=$(dirname "$here")

usage() { sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
command=$1 state=$2
shift 2

# True when pid runs the program recorded for it (guards against a reused pid).
alive() {
  local pid=$1 exe=$2
  kill -0 "$pid" 2>/dev/null || return 1
  [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null || true)" = "$exe" ]
}

case "$command" in
start)
  [ $# -ge 2 ] || usage
  name=$1 program=$2
  shift 2
  case "$program" in
    */*) exe=$(readlink -f "$program") ;;
    *) exe=$(readlink -f "${CORLINQ_NATIVE_BUILD_DIR:-$root/build/native}/bin/$program") ;;
  esac
  [ -x "$exe" ] || { echo "test-server: no program $exe (build the native preset)" >&2; exit 1; }
  mkdir -p "$state"
  state=$(readlink -f "$state")
  if [ -f "$state/$name.pid" ] && alive "$(cat "$state/$name.pid")" "$(cat "$state/$name.exe" 2>/dev/null)"; then
    echo "test-server: $name already runs (pid $(cat "$state/$name.pid"))" >&2
    exit 1
  fi
  rm -f "$state/$name.ready"
  "$exe" "$@" --ready-file "$state/$name.ready" </dev/null >"$state/$name.log" 2>&1 &
  pid=$!
  echo "$pid" >"$state/$name.pid"
  echo "$exe" >"$state/$name.exe"
  for _ in $(seq 300); do
    [ -f "$state/$name.ready" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -f "$state/$name.ready" ]; then
    echo "test-server: $name did not start; its output:" >&2
    sed 's/^/  /' "$state/$name.log" >&2
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$state/$name.pid"
    exit 1
  fi
  cat "$state/$name.ready"
  ;;
port)
  [ $# -ge 1 ] || usage
  name=$1 scheme=${2:-} address=${3:-}
  awk -v s="$scheme" -v a="$address" '{
      split($2, hp, ":")
      if ((s == "" || $1 == s) && (a == "" || hp[1] == a)) { print hp[2]; found = 1; exit }
    } END { exit found ? 0 : 1 }' "$state/$name.ready"
  ;;
stop)
  [ -d "$state" ] || exit 0
  if [ $# -eq 0 ]; then
    set -- $(cd "$state" && ls -- *.pid 2>/dev/null | sed 's/\.pid$//')
  fi
  status=0
  for name in "$@"; do
    [ -f "$state/$name.pid" ] || continue
    pid=$(cat "$state/$name.pid")
    exe=$(cat "$state/$name.exe" 2>/dev/null || true)
    if alive "$pid" "$exe"; then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 150); do alive "$pid" "$exe" || break; sleep 0.1; done
      if alive "$pid" "$exe"; then
        echo "test-server: $name (pid $pid) ignored SIGTERM; killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
        status=1
      elif ! grep -qx stopped "$state/$name.log"; then
        echo "test-server: $name (pid $pid) ended without a clean stop" >&2
        status=1
      fi
    fi
    rm -f "$state/$name.pid" "$state/$name.exe" "$state/$name.ready"
  done
  exit $status
  ;;
*)
  usage
  ;;
esac
