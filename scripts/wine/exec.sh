#!/usr/bin/env bash
# Runs one Windows executable under the harness's Wine prefix and display and passes its exit
# code through. Used as the cross-compiling emulator, so CTest runs .exe tests through it.
set -uo pipefail
here=$(dirname "$(readlink -f "$0")")
source "$here/common.sh" "$1"
shift
[ -n "${DISPLAY:-}" ] || { echo "Wine environment not started (scripts/wine/start.sh)" >&2; exit 2; }
# Output goes through a file: a Windows process that the program leaves running must not hold
# the caller's pipe open.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
exit $rc
