#!/usr/bin/env bash
# Tears down what start.sh started: every Wine process of the private prefix, its wineserver
# and the Xvfb display, by the process ids recorded in the state folder.
set -uo pipefail
here=$(dirname "$(readlink -f "$0")")
source "$here/common.sh" "$1"

if [ -f "$WINE_STATE/wineserver.pid" ]; then
  pid=$(cat "$WINE_STATE/wineserver.pid")
  # Ends the prefix's Windows processes, then the server itself.
  timeout 20 wineserver -k >/dev/null 2>&1
  kill "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  rm -f "$WINE_STATE/wineserver.pid"
fi
if [ -f "$WINE_STATE/wm.pid" ]; then
  kill "$(cat "$WINE_STATE/wm.pid")" 2>/dev/null
  rm -f "$WINE_STATE/wm.pid"
fi
if [ -f "$WINE_STATE/xvfb.pid" ]; then
  pid=$(cat "$WINE_STATE/xvfb.pid")
  kill "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  rm -f "$WINE_STATE/xvfb.pid" "$WINE_STATE/display"
fi
exit 0
