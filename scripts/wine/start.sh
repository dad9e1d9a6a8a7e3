#!/usr/bin/env bash
# Starts the Wine test environment: an Xvfb display of its own and a persistent wineserver for
# a private prefix (made once, then reused). Records every process id it started.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
"$here/stop.sh" "$1" >/dev/null 2>&1 || true
source "$here/common.sh" "$1"

# A display number nobody uses.
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$WINE_STATE/xvfb.log" 2>&1 &
echo $! > "$WINE_STATE/xvfb.pid"
echo "$n" > "$WINE_STATE/display"
export DISPLAY=":$n"
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X$n" ] || { echo "Xvfb did not start"; cat "$WINE_STATE/xvfb.log"; exit 1; }
# WINE_WINDOW_MANAGER=openbox: a window manager on the display, as on a desktop. Without one,
# Wine waits up to 2 s for a manager that never comes each time a window is hidden; the tests
# do not mind, a timing does.
if [ -n "${WINE_WINDOW_MANAGER:-}" ]; then
  "$WINE_WINDOW_MANAGER" >"$WINE_STATE/wm.log" 2>&1 &
  echo $! > "$WINE_STATE/wm.pid"
  sleep 0.5
  kill -0 "$(cat "$WINE_STATE/wm.pid")" 2>/dev/null || { echo "$WINE_WINDOW_MANAGER did not start"; cat "$WINE_STATE/wm.log"; exit 1; }
fi

if [ ! -f "$WINEPREFIX/.corlinq-ready" ]; then
  echo "creating Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  wineboot -i >"$WINE_STATE/wineboot.log" 2>&1
  wineserver -w
  touch "$WINEPREFIX/.corlinq-ready"
fi

# A persistent server in the foreground of its own background job, so its pid is ours.
wineserver -f -p >"$WINE_STATE/wineserver.log" 2>&1 &
echo $! > "$WINE_STATE/wineserver.pid"
# Start the prefix's background services now, with their output going to a log: a service
# started by a test would inherit the test's output pipe and keep CTest waiting.
wine cmd /c exit >"$WINE_STATE/warmup.log" 2>&1 || true
echo "Wine environment ready: DISPLAY=:$n WINEPREFIX=$WINEPREFIX"
