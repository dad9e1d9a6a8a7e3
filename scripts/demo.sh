#!/usr/bin/env bash
# The main job on the built-in demo setup: builds the Windows downloader for the demo bank and
# runs it under Wine in the harness's private prefix and display.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

scripts/deps.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64

state=build/win64/wine-demo
scripts/wine/start.sh "$state"
trap 'scripts/wine/stop.sh "$state"' EXIT

exe=build/win64/bin/corlinq_867.exe
work=$(mktemp -d)
printf 'https://localhost\n:8443\n/assist/server?reqtype=1&data=\n' > "$work/serverip.dat"
echo "=== running $exe (serverip.dat in $work)"
(cd "$work" && "$OLDPWD/scripts/wine/exec.sh" "$OLDPWD/$state" "$OLDPWD/$exe")
echo "=== Windows smoke test"
scripts/wine/exec.sh "$state" build/win64/base/base_win_tests.exe
echo "=== demo finished"
