#!/usr/bin/env bash
# A second bank from nothing, by the steps of OPERATING.md: bank 0x5a5 "云杉银行" with its own
# keys and bank row, its own signed release and server configuration, and its own
# corlinq_5a5.exe, which then installs the release under Wine. Checks on the way:
#   - a configure of that bank with the demo keys stops (and passes with ALLOW_DEMO_KEYS=ON);
#   - the release checks out against the bank's public key;
#   - every dialog of the install carries the bank's title, and the pictures of its build are
#     drawn with its name (not the demo bank's committed ones);
#   - the installed files match both manifests and the install record is the bank's.
# Screenshots of the dialogs go to build/bank-5a5/screenshots. Exit 0 only when all holds.
#   scripts/second-bank.sh        SKIP_BUILD=1 skips deps and the native build
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
E2E_ROOT=$(pwd)
W=$E2E_ROOT/build/bank-5a5          # the bank's Windows build
B=$W/operator                        # the operator's own folder: keys and bank table
tool=$E2E_ROOT/build/native/tools/digest-tool/digest-tool
step() { echo "=== $*"; }
die() { echo "second-bank: FAILED: $*" >&2; exit 1; }

if [ -z "${SKIP_BUILD:-}" ]; then
  scripts/deps.sh
  step "the bank's tools (OPERATING.md step 1)"
  cmake --preset native >/dev/null
  cmake --build build/native -j2 --target digest-tool envelope-tool update-server
fi

step "the bank's keys (step 2)"
mkdir -p "$B"
chmod 700 "$B"
if [ ! -f "$B/manifest-signing.pem" ]; then
  (umask 077 && openssl rand -hex 24 >"$B/passphrase")
  "$tool" keygen --passphrase-file "$B/passphrase" "$B/manifest-signing.pem" "$B/manifest-public.pem"
fi
[ -f "$B/envelope.pem" ] || (umask 077 && openssl genrsa -traditional -out "$B/envelope.pem" 1024 2>/dev/null)
# keygen keeps what exists.
if "$tool" keygen "$B/manifest-signing.pem" "$B/other.pem" 2>/dev/null; then die "keygen replaced a key"; fi

step "the bank's row (step 3)"
cat >"$B/banks.inc" <<'ROW'
BANK_ROW(0x5a5, "云杉银行", "https://localhost", NO_SERVERS, "")
ROW

step "a configure with the demo keys stops (step 4)"
check=$W-demo-keys
if cmake --preset win64 -B "$check" -DBANK_ID=0x5a5 -DBANK_TABLE="$B/banks.inc" >"$W.demo-keys.log" 2>&1; then
  die "a configure of bank 0x5a5 with the demo keys went through"
fi
grep -q "would be built with the demo manifest key" "$W.demo-keys.log" || die "no demo-key message: $(tail -5 "$W.demo-keys.log")"
rm -rf "$check" "$W.demo-keys.log"
echo "  stopped: bank 0x5a5 would be built with the demo keys"

step "the bank's downloader (step 4)"
cmake --preset win64 -B "$W" -DBANK_ID=0x5a5 -DBANK_TABLE="$B/banks.inc" \
  -DMANIFEST_PUBLIC_KEY="$B/manifest-public.pem" -DENVELOPE_KEY="$B/envelope.pem" >"$W.configure.log" ||
  { cat "$W.configure.log"; die "configure"; }
grep "Bank 0x5a5" "$W.configure.log" | sed 's/^-- /  /'
cmake --build "$W" -j2 --target corlinq_downloader ui-driver peer_webui_5a5 peer_qzwardpop peer_qzwardpop_5a5
[ -f "$W/bin/corlinq_5a5.exe" ] || die "no $W/bin/corlinq_5a5.exe"
for id in 174 175 177 178 180 184; do
  if cmp -s "$W/ui/res/artwork/picture_$id.png" "ui/res/picture_$id.png"; then
    die "picture $id of bank 0x5a5 is the demo bank's"
  fi
done

step "the bank's release (step 5)"
src=$W/release-src
rm -rf "$src"
mkdir -p "$src/bin" "$src/skin/5a5" "$src/帮助"
cp demo/release/config.ini "$src/"
cp demo/release/bin/helper.dll "$src/bin/"
cp demo/release/skin/common.txt "$src/skin/"
echo "bank 5a5 settings" >"$src/bin/settings_5a5.ini"
echo "云杉银行 colours" >"$src/skin/5a5/colors.txt"
cp demo/release/帮助/使用说明.txt "$src/帮助/"
for exe in WebUI_5a5.exe QzwardPop.exe QzwardPop_5a5.exe; do cp "$W/test-peers/$exe" "$src/"; done
release=$W/release/5a5
scripts/make-release.sh --key "$B/manifest-signing.pem" --passphrase-file "$B/passphrase" \
  --pubkey "$B/manifest-public.pem" "$src" "$release" 0x5a5
"$tool" check --pubkey "$B/manifest-public.pem" --bank 5a5 "$release"
# The demo key does not open it.
if "$tool" check --pubkey keys/manifest-public.pem --bank 5a5 "$release" >/dev/null; then
  die "the release checks out against the demo key"
fi

step "the bank's update server and a customer's Windows (steps 6 and 7)"
E2E_STATE=$W/e2e
WINE_STATE=$W/wine
E2E_WIN64=$W
SHOTS=$W/screenshots
source scripts/lib/e2e.sh
E2E_BANK=5a5
E2E_TITLE=云杉银行网银助手下载器
E2E_PRODUCT=云杉银行网银助手
E2E_QUIT_MESSAGE=qz_detect_tools_single_msgidMOVRA_$((0x5a5))
E2E_RECORD_KEY='HKLM\Software\Tollwyn\WebUI\MOVRA\5a5'
E2E_UNINSTALL_KEY="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$E2E_PRODUCT"
E2E_STAND_INS=(WebUI_5a5.exe QzwardPop.exe QzwardPop_5a5.exe)
scripts/wine/start.sh "$WINE_STATE" >/dev/null
e2e_init
cleanup() {
  e2e_stop_programs >/dev/null 2>&1 || true
  e2e_server_stop
  scripts/wine/stop.sh "$WINE_STATE" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM
scripts/wine/cjk-fonts.sh "$WINE_STATE"

e2e_server_config "$E2E_STATE/server.json" "$release" 1.0.0.1 0 127.0.0.1 0 "$B/envelope.pem"
e2e_server_stop server
e2e_server_start server update-server --config "$E2E_STATE/server.json"
port=$(e2e_server_port server)
echo "  update server on https://127.0.0.1:$port"
e2e_reset_install
rm -rf "$E2E_DRIVE_C/Program Files/云杉银行网上银行安全组件" "$E2E_DRIVE_C/Program Files (x86)/云杉银行网上银行安全组件"
rm -rf "$SHOTS"
work=$E2E_STATE/work
e2e_workdir "$work" https://localhost ":$port"
export CORLINQ_PEER_SECONDS=0
e2e_launch "$work"
if ! e2e_drive_install "$SHOTS"; then
  drv list || true
  e2e_server_log server | tail -n 20
  die "the install wizard of corlinq_5a5.exe did not complete"
fi
dir=$(e2e_unixpath "$E2E_INSTALL_DIR")
case "$E2E_INSTALL_DIR" in *云杉银行网上银行安全组件*) ;; *) die "install folder $E2E_INSTALL_DIR is not the bank's" ;; esac
e2e_check_files "$release" "$dir" || die "the installed files do not match the manifests"
[ "$(e2e_record_value Version)" = 1.0.0.1 ] || die "no install record under $E2E_RECORD_KEY"
[ "$(e2e_record_value BankID)" = 5a5 ] || die "the install record holds BankID $(e2e_record_value BankID)"
e2e_stop_programs

step "the update question, a newer version offered (update flag 1)"
e2e_server_stop server
e2e_server_config "$E2E_STATE/server.json" "$release" 1.0.0.2 1 127.0.0.1 "$port" "$B/envelope.pem"
e2e_server_start server update-server --config "$E2E_STATE/server.json"
e2e_launch "$work"
drv wait-dialog "$E2E_TITLE" 30000 >/dev/null || { drv list || true; die "no update question titled $E2E_TITLE"; }
sleep 1
drv screenshot "$E2E_TITLE" "$(e2e_winpath "$SHOTS/update_question.png")" >/dev/null 2>&1 || true
e2e_stop_programs

echo "=== bank 0x5a5 installed under Wine with its own keys, name and pictures"
echo "screenshots: $SHOTS"
ls "$SHOTS" | sed 's/^/  /'
