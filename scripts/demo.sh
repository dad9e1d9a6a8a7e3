#!/usr/bin/env bash
# The demo: builds everything, serves the signed demo release from the reference update server
# over HTTPS on 127.0.0.1:8443 (DEMO_PORT), runs the real downloader for the demo bank (0x867) under Wine with
# serverip.dat pointing at that server, drives the install wizard with its defaults, waits for
# the run to finish, and prints what was installed and where the screenshots are.
# Exit 0 only when the install really happened: every file of both manifests installed with its
# digest, the install record written, and the assistant started.
#   scripts/demo.sh   SKIP_BUILD=1 skips deps and build (a second run); DEMO_RELEASE_SRC=DIR serves
#                     another release folder instead of demo/release
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
E2E_ROOT=$(pwd)

if [ -z "${SKIP_BUILD:-}" ]; then
  scripts/deps.sh
  echo "=== building the native tools (update server, manifest tool)"
  cmake --preset native >/dev/null
  cmake --build build/native -j2 --target update-server digest-tool
  echo "=== building the Windows downloader, ui-driver and the assistant stand-ins"
  cmake --preset win64 >/dev/null
  cmake --build build/win64 -j2 --target corlinq_downloader ui-driver peer_webui_867 peer_qzwardpop peer_qzwardpop_867
fi

E2E_STATE=build/win64/demo
WINE_STATE=build/win64/demo-wine
SHOTS=$E2E_ROOT/build/win64/demo-screenshots
source scripts/lib/e2e.sh
scripts/wine/start.sh "$WINE_STATE" >/dev/null
e2e_init
cleanup() {
  e2e_stop_programs >/dev/null 2>&1 || true
  e2e_server_stop
  scripts/wine/stop.sh "$WINE_STATE" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM

src=${DEMO_RELEASE_SRC:-demo/release}
echo "=== the signed demo release ($src + the assistant stand-ins)"
release=$E2E_STATE/release
RELEASE_VERSION=1.0.0.1 e2e_make_release "$release" "$src"
(cd "$release" && find . -type f | sed 's|^\./|  |' | sort)

# 8443 unless DEMO_PORT says otherwise; a port already taken (another server on this machine)
# gives way to a free one, which serverip.dat then names.
port=${DEMO_PORT:-8443}
if python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' "$port" 2>/dev/null; then
  :
else
  busy=$port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  echo "(port $busy is taken on 127.0.0.1; using $port)"
fi
echo "=== the reference update server on https://127.0.0.1:$port (bank 867, version 1.0.0.1)"
e2e_server_config "$E2E_STATE/server.json" "$release" 1.0.0.1 0 127.0.0.1 "$port"
e2e_server_stop server
e2e_server_start server update-server --config "$E2E_STATE/server.json"
grep -o '"url": "[^"]*"' "$E2E_STATE/server.json" | sed 's/^/  /'

echo "=== a fresh Wine environment ($WINEPREFIX)"
scripts/wine/cjk-fonts.sh "$WINE_STATE"
e2e_reset_install
rm -rf "$SHOTS"
mkdir -p "$SHOTS"
work=$E2E_STATE/work
e2e_workdir "$work" https://localhost ":$port"
echo "serverip.dat:"
sed 's/^/  /' "$work/serverip.dat"

echo "=== running $E2E_EXE and driving the wizard with its defaults"
# The stand-in assistant stays up after the demo's run (it ends with the Wine environment).
export CORLINQ_PEER_SECONDS=0
e2e_launch "$work"
if ! e2e_drive_install "$SHOTS"; then
  echo "=== the wizard did not complete; visible windows:"
  drv list || true
  echo "--- server log"; e2e_server_log server | tail -n 20
  exit 1
fi
echo "downloader ended with exit code $E2E_APP_RC"

status=0
dir=$(e2e_unixpath "$E2E_INSTALL_DIR")
echo "=== installed files in $E2E_INSTALL_DIR"
e2e_check_files "$release" "$dir" || { echo "  -> files do not match the manifests"; status=1; }
echo "=== install record ($E2E_RECORD_KEY, 32-bit view)"
e2e_reg_dump "$E2E_RECORD_KEY" 32 | sed 's/^/  /'
version=$(e2e_record_value Version) path=$(e2e_record_value Path)
if [ "$version" != 1.0.0.1 ] || [ "$path" != "$E2E_INSTALL_DIR" ]; then
  echo "  -> record missing or wrong (Version '$version', Path '$path')"
  status=1
fi
echo "=== uninstall entry and autostart"
echo "  $E2E_UNINSTALL_KEY (32-bit view):"
e2e_reg_dump "$E2E_UNINSTALL_KEY" 32 | sed 's/^/    /'
echo "  $E2E_RUN_KEY (64-bit view):"
e2e_reg_dump "$E2E_RUN_KEY" 64 | grep "^$E2E_PRODUCT=" | sed 's/^/    /' || echo "    (no autostart value)"
echo "=== shortcuts"
links=$(e2e_shortcuts)
if [ -n "$links" ]; then sed "s|^$E2E_DRIVE_C|  C:|" <<<"$links"; else echo "  none"; status=1; fi
echo "=== the assistant"
for _ in $(seq 20); do e2e_running WebUI_867.exe && break; sleep 0.5; done
if e2e_running WebUI_867.exe; then
  echo "  WebUI_867.exe runs (pid $(e2e_wine_pids WebUI_867.exe | tr '\n' ' '))"
else
  echo "  WebUI_867.exe does not run"
  status=1
fi
e2e_running QzwardPop.exe && echo "  QzwardPop.exe (the pop-up notifier) runs"
echo "=== requests the server saw"
e2e_server_log server | grep -E ' (GET|HEAD) ' | awk '{print "  " $4, $5, $6}' | sed 's/data=[^ ]*/data=.../'
echo "=== screenshots in $SHOTS"
ls "$SHOTS" | sed 's/^/  /'
if [ $status -eq 0 ]; then
  echo "=== demo finished: the assistant is installed and running"
else
  echo "=== demo FAILED: the install did not happen as it should"
fi
exit $status
