#!/usr/bin/env bash
# End-to-end: the real downloader under Wine against the reference update server on loopback,
# driven as a user would. One group of cases per call; each group starts its own Wine
# environment (display, wineserver; the prefix is made once and kept) and the servers it needs,
# and tears both down by pid.
#   e2e_test.sh GROUP [STARTUP_CHECK_DRIVER.exe]
#   GROUP: install | query | update | selfupdate | repair | instances | startup | cancel | pinning |
#          nginx | release | manifest
# Environment: E2E_WIN64 (the win64 build folder), CORLINQ_NATIVE_BUILD_DIR.
set -uo pipefail
group=${1:?group}
check_driver=${2:+$(readlink -f "$2")}
E2E_ROOT=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
E2E_WIN64=${E2E_WIN64:-$E2E_ROOT/build/win64}
WINE_STATE=$E2E_WIN64/e2e-wine
E2E_STATE=$E2E_WIN64/e2e/$group
rm -rf "$E2E_STATE"
source "$E2E_ROOT/scripts/lib/e2e.sh"
DEPLOY_ROOT=$E2E_ROOT
source "$E2E_ROOT/scripts/lib/deploy.sh"
NGINX_DIR=
"$E2E_ROOT/scripts/wine/start.sh" "$WINE_STATE" >/dev/null || exit 1
e2e_init
SHOTS=$E2E_WIN64/e2e-screenshots/$group
rm -rf "$SHOTS"
mkdir -p "$SHOTS"

teardown() {
  e2e_stop_programs >/dev/null 2>&1
  e2e_server_stop
  [ -z "$NGINX_DIR" ] || deploy_nginx_stop "$NGINX_DIR"
  "$E2E_ROOT/scripts/wine/stop.sh" "$WINE_STATE" >/dev/null 2>&1
}
trap teardown EXIT
trap 'exit 1' INT TERM
"$E2E_ROOT/scripts/wine/cjk-fonts.sh" "$WINE_STATE"

failures=0
ok() { echo "ok - $1"; }
fail() { echo "FAIL - $1"; failures=$((failures + 1)); }
check() {  # description command...  (the command's output shows only when it fails)
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then ok "$what"; else fail "$what"; [ -z "$out" ] || sed 's/^/    /' <<<"$out"; fi
}
expect() {  # description expected command...
  local what=$1 want=$2 got
  shift 2
  got=$("$@" 2>/dev/null)
  if [ "$got" = "$want" ]; then ok "$what"; else fail "$what: got '$got', want '$want'"; fi
}
shot() { drv screenshot "$1" "$(e2e_winpath "$SHOTS/$2.png")" >/dev/null 2>&1 || true; }
not() { ! "$@"; }
# No dialog of ours shows (any template), now.
no_dialog() { ! drv wait-dialog "$E2E_TITLE" 200 >/dev/null 2>&1; }
autostart_value() { e2e_reg_dump "$E2E_RUN_KEY" 64 | sed -n "s/^$E2E_PRODUCT=//p"; }
queries() { e2e_server_log "${1:-server}" | grep -c 'GET /assist/server' || true; }

DEFAULT_DIR='C:\Program Files\恒澍银行网上银行安全组件\恒澍银行网银助手'
WORK=$E2E_STATE/work
# The install cases serve the demo release as it is (E2E_RELEASE_SRC overrides it); the others a
# copy without its folder and file of Chinese names, so that they test their own subject.
RELEASE=$E2E_STATE/release
src=${E2E_RELEASE_SRC:-$E2E_ROOT/demo/release}
if [ "$group" != install ] && [ -z "${E2E_RELEASE_SRC:-}" ]; then
  src=$E2E_STATE/release-src
  cp -R "$E2E_ROOT/demo/release" "$src"
  rm -rf "$src/帮助"
fi
e2e_make_release "$RELEASE" "$src" || { echo "cannot make the release"; exit 1; }

# Starts the update server (name "server") on a free port of ADDRESS and writes serverip.dat.
# serve VERSION UPDATE [ADDRESS] [RELEASE]
serve() {
  e2e_server_stop server
  e2e_server_config "$E2E_STATE/server.json" "${4:-$RELEASE}" "$1" "$2" "${3:-127.0.0.1}"
  e2e_server_start server update-server --config "$E2E_STATE/server.json" || return 1
  PORT=$(e2e_server_port server)
  e2e_workdir "$WORK" https://localhost ":$PORT"
}
# Waits for the end of a run in the progress dialog: prints "下载完成" or "下载失败" from its
# button, or "ended" when the process ended first, or "timeout". outcome [seconds]
outcome() {
  local end=$((SECONDS + ${1:-90})) text
  while [ $SECONDS -lt "$end" ]; do
    text=$(drv text 135 2)
    case "$text" in 下载完成 | 下载失败) echo "$text"; return 0 ;; esac
    kill -0 "$E2E_APP_PID" 2>/dev/null || { echo ended; return 0; }
    sleep 0.3
  done
  echo timeout
}
# The outcome was a finished run that then ended the process.
finished() {
  local got
  got=$(outcome "${1:-90}")
  case "$got" in 下载完成 | ended) e2e_wait_exit 30 ;; *) echo "run outcome: $got, status: $(drv text 135 1020)"; return 1 ;; esac
}

# A port nothing listens on, for serverip.dat when no server should answer.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Files, record, uninstall entry, shortcuts, assistant after an install into WINDOWS_DIR.
# installed WHAT WINDOWS_DIR VERSION DESKTOP(0|1)
installed() {
  local what=$1 dir=$2 version=$3 desktop=$4
  check "$what: files match the manifests" e2e_check_files "$RELEASE" "$(e2e_unixpath "$dir")"
  expect "$what: record Version" "$version" e2e_record_value Version
  expect "$what: record Path" "$dir" e2e_record_value Path
  check "$what: uninstall entry" wine reg query "$E2E_UNINSTALL_KEY" /v UninstallString /reg:32
  local links
  links=$(e2e_shortcuts)
  local desk="$E2E_DRIVE_C/users/Public/Desktop/$E2E_PRODUCT.lnk"
  if [ "$desktop" = 1 ]; then
    check "$what: desktop shortcut" test -f "$desk"
  else
    check "$what: no desktop shortcut" test ! -f "$desk"
  fi
  check "$what: program group shortcuts" grep -q "/Programs/.*/${E2E_PRODUCT}卸载程序.lnk" <<<"$links"
  check "$what: quick launch shortcut" grep -q "/Quick Launch/$E2E_PRODUCT.lnk" <<<"$links"
  expect "$what: autostart value" "$dir\\QzwardPop_867.exe" autostart_value
  local started=0
  for _ in $(seq 20); do e2e_running WebUI_867.exe && { started=1; break; }; sleep 0.5; done
  check "$what: the assistant was started" test $started = 1
}

case_fresh_install() {  # desktop(0|1) folder(empty: default) label
  local desktop=$1 dir=$2 label=$3
  echo "# fresh install ($label)"
  e2e_stop_programs
  e2e_reset_install
  serve 1.0.0.1 0 || { fail "$label: server start"; return; }
  e2e_launch "$WORK"
  local args=("$SHOTS/$label")
  if [ "$desktop" = 0 ] || [ -n "$dir" ]; then args+=("$desktop" "$dir"); fi
  if e2e_drive_install "${args[@]}"; then ok "$label: wizard ran to the end"; else fail "$label: wizard"; return; fi
  expect "$label: exit code" 0 echo "$E2E_APP_RC"
  expect "$label: install folder" "${dir:-$DEFAULT_DIR}" echo "$E2E_INSTALL_DIR"
  installed "$label" "$E2E_INSTALL_DIR" 1.0.0.1 "$desktop"
  e2e_stop_programs
}

group_install() {
  case_fresh_install 1 "" defaults
  case_fresh_install 0 'C:\corlinq e2e\助手' custom
}

# The version query: server down with Retry twice; failover to the third server; an answer
# that cannot be opened.
group_query() {
  e2e_stop_programs
  e2e_reset_install
  echo "# no server answers (one closes without a word, the rest are down): Retry twice, then only Cancel"
  "$E2E_ROOT/scripts/gen-test-cert.sh" "$E2E_STATE/certs" >/dev/null
  local requests=$E2E_STATE/mute.requests
  e2e_server_start mute fault-peer --listen 127.0.0.1:0 --tls "$E2E_STATE/certs/server.crt" \
    "$E2E_STATE/certs/server.key" --mode close --log "$requests"
  e2e_workdir "$WORK" https://localhost ":$("$E2E_ROOT/scripts/test-server.sh" port "$E2E_STATE/servers" mute)"
  e2e_launch "$WORK"
  check "query dialog shows" drv wait-dialog "$E2E_TITLE#130" 20000
  check "no answer: status" e2e_wait_text 130 1029 服务器没响应 60
  check "no answer: Retry shows" drv visible 130 1030
  shot 130 130_no_answer
  local per_attempt count
  per_attempt=$(wc -l <"$requests")
  check "the first attempt reached the server" test "$per_attempt" -ge 1
  for attempt in 2 3; do
    drv click 130 1030 >/dev/null
    for _ in $(seq 100); do
      count=$(wc -l <"$requests")
      [ "$count" -ge $((attempt * per_attempt)) ] && break
      sleep 0.2
    done
    expect "Retry $((attempt - 1)) queries again" $((attempt * per_attempt)) wc -l <"$requests"
    check "Retry $((attempt - 1)): no answer again" e2e_wait_text 130 1029 服务器没响应 60
  done
  sleep 0.5
  check "after the third failure Retry is hidden" not drv visible 130 1030
  shot 130 130_retry_hidden
  check "the downloader is still waiting for the user" kill -0 "$E2E_APP_PID"
  sleep 1
  expect "and queries no more" $((3 * per_attempt)) wc -l <"$requests"
  e2e_stop_programs
  e2e_server_stop mute

  echo "# failover: only the third server of the list answers"
  serve 1.0.0.1 0 127.0.0.3 || fail "failover: server start"
  e2e_launch "$WORK"
  check "failover: welcome dialog shows" drv wait-dialog "$E2E_TITLE#132" 40000
  expect "failover: one query reached the server" 1 queries
  e2e_stop_programs
  e2e_server_stop server

  echo "# an answer that cannot be opened stalls the query"
  "$E2E_ROOT/scripts/gen-test-cert.sh" "$E2E_STATE/certs" >/dev/null
  e2e_server_start peer fault-peer --listen 127.0.0.1:0 --tls "$E2E_STATE/certs/server.crt" \
    "$E2E_STATE/certs/server.key" --mode 404 --body "no such bank" --log "$E2E_STATE/peer.requests"
  e2e_workdir "$WORK" https://localhost ":$("$E2E_ROOT/scripts/test-server.sh" port "$E2E_STATE/servers" peer)"
  e2e_launch "$WORK"
  check "unopenable: query dialog shows" drv wait-dialog "$E2E_TITLE#130" 20000

  for _ in $(seq 40); do [ -s "$E2E_STATE/peer.requests" ] && break; sleep 0.3; done
  sleep 2
  expect "unopenable: still querying" 正在获取版本信息... drv text 130 1029
  check "unopenable: Retry hidden" not drv visible 130 1030
  check "unopenable: no welcome dialog" not drv wait-dialog 132 300
  shot 130 130_unopenable
  e2e_stop_programs
  e2e_server_stop peer
}

# An installed assistant in the default folder: record VERSION and, with a release folder, that
# release's files and manifests as an install of it leaves them. fake_install VERSION [RELEASE]
fake_install() {
  e2e_stop_programs
  e2e_reset_install
  local dir
  dir=$(e2e_unixpath "$DEFAULT_DIR")
  mkdir -p "$dir"
  [ -z "${2:-}" ] || cp -R "$2"/. "$dir"/
  e2e_write_record "$1" "$DEFAULT_DIR"
}

# The release before this one: two files (one at the top, one in a subfolder) were different.
OLD_RELEASE=$E2E_STATE/release-old
old_release() {
  [ -d "$OLD_RELEASE" ] && return 0
  local old_src=$E2E_STATE/release-old-src
  cp -R "$src" "$old_src"
  printf 'old\n' >>"$old_src/config.ini"
  printf 'old\n' >>"$old_src/bin/helper.dll"
  e2e_make_release "$OLD_RELEASE" "$old_src"
}

# Update question, forced update with the notifier command, reinstall question, "-update" idle.
group_update() {
  echo "# update offered (installed 1.0.0.0, server 1.0.0.1, update 1): question, 确定"
  old_release
  fake_install 1.0.0.0 "$OLD_RELEASE"
  serve 1.0.0.1 1 || fail "update: server start"
  e2e_launch "$WORK"
  check "update: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  shot 139 139_update
  drv click 139 1 >/dev/null
  check "update: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  check "update: the run finishes and ends the process" finished
  check "update: files match the new manifests" e2e_check_files "$RELEASE" "$(e2e_unixpath "$DEFAULT_DIR")"
  expect "update: record Version" 1.0.0.1 e2e_record_value Version
  expect "update: only the two changed files were fetched" 2 \
    bash -c "grep -cE 'GET /release/867/+(config.ini|bin.helper.dll) 200' '$E2E_STATE/servers/server.log'"
  local started=0
  for _ in $(seq 20); do e2e_running WebUI_867.exe && { started=1; break; }; sleep 0.5; done
  check "update: the assistant was started" test $started = 1
  e2e_stop_programs

  echo "# forced update (update 2): no question, the notifier is told"
  old_release
  fake_install 1.0.0.0 "$OLD_RELEASE"
  serve 1.0.0.1 2 || fail "forced: server start"
  local record=$E2E_STATE/pop.messages
  rm -f "$record"
  wine "$E2E_PEERS/QzwardPop_867.exe" --record "$(e2e_winpath "$record")" >/dev/null 2>&1 &
  local pop=$!
  sleep 1
  e2e_launch "$WORK"
  for _ in $(seq 100); do [ -s "$record" ] && break; sleep 0.1; done
  check "forced: the notifier was told before the progress dialog shows" not drv wait-dialog 135 300
  check "forced: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 30000
  check "forced: no question dialog" not drv wait-dialog 139 200
  check "forced: the run finishes and ends the process" finished
  expect "forced: the notifier got exactly MOVRA_PopUpdatePopCmd||" "MOVRA_PopUpdatePopCmd||" \
    head -c 23 "$record"
  expect "forced: and nothing more" 24 stat -c %s "$record"
  expect "forced: record Version" 1.0.0.1 e2e_record_value Version
  kill "$pop" 2>/dev/null
  wait "$pop" 2>/dev/null
  e2e_stop_programs

  echo "# same version (update 1): the reinstall question; 取消 changes nothing"
  fake_install 1.0.0.1 "$RELEASE"
  serve 1.0.0.1 1 || fail "reinstall: server start"
  e2e_launch "$WORK"
  check "reinstall: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  shot 139 139_reinstall
  drv click 139 2 >/dev/null
  check "reinstall: 取消 ends the process" e2e_wait_exit 20
  check "reinstall: no progress dialog" no_dialog
  e2e_stop_programs

  echo "# installed, but no server answers the update check: ends silently"
  fake_install 1.0.0.1 "$RELEASE"
  e2e_server_stop server
  e2e_workdir "$WORK" https://localhost ":$(free_port)"
  e2e_launch "$WORK"
  check "no server: ends by itself" e2e_wait_exit 60
  expect "no server: exit code" 0 echo "${E2E_APP_RC:-}"
  check "no server: no dialog (not even the version query)" no_dialog

  echo "# -update with nothing to do (update 0): ends, shows nothing"
  fake_install 1.0.0.1 "$RELEASE"
  serve 1.0.0.1 0 || fail "-update: server start"
  e2e_launch "$WORK" -update
  check "-update: ends by itself" e2e_wait_exit 40
  expect "-update: exit code" 0 echo "${E2E_APP_RC:-}"
  expect "-update: one query" 1 queries
  check "-update: no dialog" no_dialog
  expect "-update: record unchanged" 1.0.0.1 e2e_record_value Version

  echo "# the recorded install folder cannot be made (a file is in its way): the stop says so"
  old_release
  fake_install 1.0.0.0 "$OLD_RELEASE"
  printf 'not a folder\n' >"$E2E_DRIVE_C/corlinq-blocker"
  wine reg add "$E2E_RECORD_KEY" /v Path /d 'C:\corlinq-blocker\assistant' /reg:32 /f >/dev/null 2>&1
  serve 1.0.0.1 1 || fail "no folder: server start"
  e2e_launch "$WORK"
  check "no folder: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  drv click 139 1 >/dev/null
  check "no folder: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  expect "no folder: the run fails visibly" 下载失败 outcome 60
  expect "no folder: the status line" 创建安装目录失败 drv text 135 1020
  shot 135 135_no_folder
  drv click 135 2 >/dev/null
  check "no folder: closing asks nothing (the run has ended)" drv no-msgbox "$E2E_TITLE"
  check "no folder: the process ends" e2e_wait_exit 20
  expect "no folder: record Version unchanged" 1.0.0.0 e2e_record_value Version
  rm -f "$E2E_DRIVE_C/corlinq-blocker"
  e2e_stop_programs
}

# An update that replaces the downloader's own file, and one that meets a file another program
# holds open.
group_selfupdate() {
  local dir own
  dir=$(e2e_unixpath "$DEFAULT_DIR")
  own="$DEFAULT_DIR\\corlinq_$E2E_BANK.exe"

  echo "# the update brings a new corlinq_$E2E_BANK.exe while it runs from the install folder"
  local newer=$E2E_STATE/newer-exe
  mkdir -p "$newer"
  cp "$E2E_EXE" "$newer/corlinq_$E2E_BANK.exe"
  printf 'newer build\n' >>"$newer/corlinq_$E2E_BANK.exe"
  local self_old=$E2E_STATE/release-self-old self_new=$E2E_STATE/release-self-new
  e2e_make_release "$self_old" "$src" "corlinq_$E2E_BANK.exe=$E2E_EXE"
  e2e_make_release "$self_new" "$src" "corlinq_$E2E_BANK.exe=$newer/corlinq_$E2E_BANK.exe"
  fake_install 1.0.0.0 "$self_old"
  serve 1.0.0.1 1 127.0.0.1 "$self_new" || fail "self: server start"
  E2E_EXE=$own e2e_launch "$WORK"
  check "self: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  drv click 139 1 >/dev/null
  check "self: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 30000
  # Not through check: its subshell would keep the exit code that e2e_wait_exit sets.
  if finished >"$E2E_STATE/self.outcome" 2>&1; then ok "self: the run finishes and ends the process"; else
    fail "self: the run finishes and ends the process"
    sed 's/^/    /' "$E2E_STATE/self.outcome"
  fi
  expect "self: exit code" 0 echo "${E2E_APP_RC:-}"
  check "self: files match the new manifests" e2e_check_files "$self_new" "$dir"
  check "self: corlinq_$E2E_BANK.exe is the new one" cmp "$newer/corlinq_$E2E_BANK.exe" "$dir/corlinq_$E2E_BANK.exe"
  check "self: the running file was set aside as corlinq_old.exe" cmp "$E2E_EXE" "$dir/corlinq_old.exe"
  expect "self: record Version" 1.0.0.1 e2e_record_value Version
  e2e_stop_programs

  echo "# a file the update must overwrite is held open by another program"
  old_release
  fake_install 1.0.0.0 "$OLD_RELEASE"
  serve 1.0.0.1 1 || fail "held: server start"
  local holder=$E2E_STATE/FileHolder.exe held=$E2E_STATE/holder.record
  cp "$E2E_PEERS/WebUI_$E2E_BANK.exe" "$holder"
  rm -f "$held"
  wine "$holder" --hold "$DEFAULT_DIR\\config.ini" --record "$(e2e_winpath "$held")" >/dev/null 2>&1 &
  local holder_pid=$!
  for _ in $(seq 100); do [ -s "$held" ] && break; sleep 0.2; done
  check "held: config.ini is held open without sharing" grep -q held "$held"
  e2e_launch "$WORK"
  check "held: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  drv click 139 1 >/dev/null
  check "held: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  expect "held: the message names the file and what to close" \
    "更新失败，助手文件config.ini被占用，请关闭${E2E_PRODUCT}后重新更新!" drv msgbox-text "$E2E_PRODUCT" 90000
  shot 135 135_file_held
  # The whole screen: the message box beside the dialog, its headline in sight.
  import -window root "$SHOTS/135_file_held_screen.png" >/dev/null 2>&1 || true
  expect "held: the status line names the file" "config.ini 被占用" drv text 135 1020
  expect "held: the button" 下载失败 drv text 135 2
  check "held: the process waits for the answer" kill -0 "$E2E_APP_PID"
  drv answer-msgbox "$E2E_PRODUCT" ok >/dev/null
  check "held: OK ends the process" e2e_wait_exit 20
  expect "held: exit code" 0 echo "${E2E_APP_RC:-}"
  expect "held: record Version unchanged" 1.0.0.0 e2e_record_value Version
  # Checked before anything was replaced: the other changed file is still the old one too.
  check "held: the old release, byte for byte" e2e_check_files "$OLD_RELEASE" "$(e2e_unixpath "$DEFAULT_DIR")"
  check "held: the holder still runs (it was not ended)" kill -0 "$holder_pid"
  wine "$holder" -t >/dev/null 2>&1 || true
  for _ in $(seq 25); do kill -0 "$holder_pid" 2>/dev/null || break; sleep 0.2; done
  kill "$holder_pid" 2>/dev/null
  wait "$holder_pid" 2>/dev/null
  e2e_stop_programs

  echo "# released: the next run updates"
  e2e_launch "$WORK"
  check "released: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  drv click 139 1 >/dev/null
  check "released: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  check "released: the run finishes and ends the process" finished
  check "released: files match the new manifests" e2e_check_files "$RELEASE" "$(e2e_unixpath "$DEFAULT_DIR")"
  expect "released: record Version" 1.0.0.1 e2e_record_value Version
  e2e_stop_programs
}

# "-losefile" restores a deleted and a corrupted file.
group_repair() {
  echo "# -losefile: a deleted and a corrupted file are restored"
  fake_install 1.0.0.1 "$RELEASE"
  local dir
  dir=$(e2e_unixpath "$DEFAULT_DIR")
  rm -f "$dir/bin/helper.dll"
  printf 'corrupted\n' >>"$dir/config.ini"
  check "repair: the damage is seen" not e2e_check_files "$RELEASE" "$dir" quiet
  serve 1.0.0.1 0 || fail "repair: server start"
  e2e_launch "$WORK" -losefile
  # The progress dialog, followed from its first moment (a repair on loopback may take under a
  # second) to its end: the last status and button texts it showed, and its last frame.
  local last
  if last=$(drv watch "$E2E_TITLE#135" "$(e2e_winpath "$SHOTS/135_repair_end.png")" 1020 2 -- 90000); then
    ok "repair: the progress dialog shows and closes"
  else
    fail "repair: the progress dialog shows and closes"
  fi
  expect "repair: the last status shown is the finished one" 完成安装,准备启动助手 sed -n 1p <<<"$last"
  expect "repair: the last button text shown" 下载完成 sed -n 2p <<<"$last"
  check "repair: the run ends the process" e2e_wait_exit 30
  check "repair: files match the manifests again" e2e_check_files "$RELEASE" "$dir"
  e2e_server_log server | grep -q "GET /release/867/bin/helper.dll 200" && ok "repair: helper.dll downloaded" ||
    fail "repair: helper.dll downloaded"
  e2e_stop_programs
}

# One downloader per bank; "-t" ends a running one.
group_instances() {
  echo "# a second instance ends at the mutex; -t ends the first"
  e2e_stop_programs
  e2e_reset_install
  e2e_workdir "$WORK" https://localhost ":$(free_port)"
  e2e_launch "$WORK"
  local first=$E2E_APP_PID
  check "first: query dialog shows" drv wait-dialog "$E2E_TITLE#130" 20000
  local before
  before=$(drv list | grep -c "$E2E_TITLE")
  local start=$SECONDS
  (cd "$WORK" && timeout 30 wine "$E2E_EXE") >/dev/null 2>&1 </dev/null
  local rc=$?
  expect "second: exit code" 0 echo $rc
  check "second: ended quickly" test $((SECONDS - start)) -lt 20
  expect "second: no new window" "$before" bash -c "wine '$E2E_DRIVER' list 2>/dev/null | tr -d '\r' | grep -c '$E2E_TITLE'"
  check "first: still there" kill -0 "$first"
  (cd "$WORK" && timeout 30 wine "$E2E_EXE" -t) >/dev/null 2>&1 </dev/null
  expect "-t: exit code" 0 echo $?
  check "-t: the first downloader ended" e2e_wait_exit 15
  check "-t: its dialog is gone" no_dialog
}

# A library planted beside the program stops it before any window.
group_startup() {
  echo "# planted library: warning console, no dialog, no server contact"
  e2e_stop_programs
  e2e_reset_install
  serve 1.0.0.1 0 || fail "startup: server start"
  local folder=$E2E_DRIVE_C/corlinq_e2e_planted
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$E2E_EXE" "$folder/"
  cp "$WORK/serverip.dat" "$folder/"
  : >"$folder/evil.dll"
  if [ -n "$check_driver" ]; then
    local out=$E2E_STATE/planted.out
    (cd "$folder" && timeout 60 wine "$check_driver" "C:\\corlinq_e2e_planted\\corlinq_$E2E_BANK.exe" \
      "$(e2e_winpath "$out")") >/dev/null 2>&1 </dev/null
    check "planted: the program ended by itself" test $? = 0
    check "planted: the warning names the library" grep -q 'evil.dll' "$out"
    check "planted: exit code 0" grep -qx 'exit: 0' "$out"
  fi
  (cd "$folder" && timeout 30 wine "C:\\corlinq_e2e_planted\\corlinq_$E2E_BANK.exe") >/dev/null 2>&1 </dev/null
  expect "planted, no input: ends with exit code 0" 0 echo $?
  check "planted: no dialog" no_dialog
  expect "planted: no query reached the server" 0 queries
  rm -rf "$folder"
  planted_system_libraries
}

# Libraries planted beside the program under system libraries' names, with Wine set to prefer
# a library found in the program's folder as Windows does for any non-KnownDLL. Their code must
# never run: not before the folder check (which then warns about them), and not after it when a
# signed manifest beside the program lists them and the program goes on to use WinINet and
# CRYPT32. A control program that imports them statically shows that the planted code does run
# where the loader maps it.
planted_system_libraries() {
  echo "# planted crypt32.dll and wininet.dll: never loaded"
  local planted=$E2E_WIN64/planted/planted_library.dll control=$E2E_WIN64/planted/planted_library_control.exe
  [ -f "$planted" ] && [ -f "$control" ] || { fail "planted: test programs missing (planted_library, planted_library_control)"; return; }
  local folder=$E2E_DRIVE_C/corlinq_e2e_system
  local exe="C:\\corlinq_e2e_system\\corlinq_$E2E_BANK.exe"
  local overrides="$WINEDLLOVERRIDES;crypt32,wininet=n,b" lib
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$E2E_EXE" "$WORK/serverip.dat" "$folder/"
  for lib in crypt32 wininet; do cp "$planted" "$folder/$lib.dll"; done
  markers() { find "$folder" -iname '*.dll.ran' -printf '%f\n' | tr 'A-Z' 'a-z' | sort | tr '\n' ' '; }

  (cd "$folder" && WINEDLLOVERRIDES=$overrides timeout 30 wine "$exe") >/dev/null 2>&1 </dev/null
  expect "planted system libraries: the folder check ends the program (exit code 0)" 0 echo $?
  expect "planted system libraries: their code never ran" "" markers

  # Listed in a signed manifest, they pass the folder check; the query then runs over HTTPS.
  "$E2E_NATIVE/tools/digest-tool/digest-tool" make "$folder" --bank "$E2E_BANK" >/dev/null &&
    "$E2E_NATIVE/tools/digest-tool/digest-tool" sign --key "$E2E_ROOT/keys/manifest-signing.pem" \
      "$folder/Digest.xml" >/dev/null || { fail "planted: digest-tool"; return; }
  local before
  before=$(queries)
  (cd "$folder" && WINEDLLOVERRIDES=$overrides exec wine "$exe") >"$E2E_STATE/planted-app.log" 2>&1 </dev/null &
  E2E_APP_PID=$!
  check "listed system libraries: the program passes the check and shows its first dialog" \
    drv wait-dialog "$E2E_TITLE#132" 30000
  check "listed system libraries: the query reached the server" \
    bash -c "for i in \$(seq 100); do [ \$(grep -c 'GET /assist/server' '$E2E_STATE/servers/server.log') -gt $before ] && exit 0; sleep 0.3; done; exit 1"
  e2e_stop_programs
  expect "listed system libraries: their code never ran" "" markers

  rm -f "$folder/Digest.xml" "$folder"/*.ran
  cp "$control" "$folder/"
  (cd "$folder" && WINEDLLOVERRIDES=$overrides timeout 30 wine "C:\\corlinq_e2e_system\\planted_library_control.exe") >/dev/null 2>&1 </dev/null
  expect "control: a program importing them statically runs the planted code" "crypt32.dll.ran wininet.dll.ran " markers
  rm -rf "$folder"
}

# Cancel while the run goes (with its question) and after "下载失败" (without).
group_cancel() {
  echo "# Cancel during a download asks first; No keeps the run going, Yes ends the process;"
  echo "# Yes and the quit message of a second downloader (-t) leave no .part file"
  # Large enough that the run is still downloading it when the question is answered.
  local big=$E2E_STATE/big
  mkdir -p "$big"
  head -c 8000000 /dev/urandom >"$big/assist.dat"
  e2e_make_release "$E2E_STATE/release-big" "$src" "bin/assist.dat=$big/assist.dat"
  rm -f "$big/assist.dat"
  # The files come from nginx at a trickle, so that the run is still downloading when the
  # question is answered however fast the downloader is; nginx logs each file when it is sent.
  "$E2E_ROOT/scripts/gen-test-cert.sh" "$E2E_STATE/certs" >/dev/null
  NGINX_DIR=$E2E_STATE/nginx-slow
  local ngport
  ngport=$(deploy_free_port)
  mkdir -p "$NGINX_DIR/tmp" "$NGINX_DIR/www/release"
  ln -sfn "$E2E_STATE/release-big" "$NGINX_DIR/www/release/$E2E_BANK"
  local user=''
  [ "$(id -u)" != 0 ] || user="user $(id -un) $(id -gn);"
  cat >"$NGINX_DIR/nginx.conf" <<CONF
daemon off;
worker_processes 1;
$user
pid $NGINX_DIR/nginx.pid;
error_log $NGINX_DIR/error.log notice;
events { worker_connections 64; }
http {
  default_type application/octet-stream;
  access_log $NGINX_DIR/access.log;
  client_body_temp_path $NGINX_DIR/tmp/body;
  proxy_temp_path $NGINX_DIR/tmp/proxy;
  fastcgi_temp_path $NGINX_DIR/tmp/fastcgi;
  uwsgi_temp_path $NGINX_DIR/tmp/uwsgi;
  scgi_temp_path $NGINX_DIR/tmp/scgi;
  server {
    listen 127.0.0.1:$ngport ssl;
    ssl_certificate $E2E_STATE/certs/server.crt;
    ssl_certificate_key $E2E_STATE/certs/server.key;
    root $NGINX_DIR/www;
    limit_rate 512k;
  }
}
CONF
  deploy_nginx_start "$NGINX_DIR" || fail "cancel: nginx start"
  e2e_server_stop server
  e2e_server_config "$E2E_STATE/server.json" "$E2E_STATE/release-big" 1.0.0.1 0
  sed -i "s#\"release\": #\"url\": \"https://localhost:$ngport/release/$E2E_BANK\", \"release\": #" "$E2E_STATE/server.json"
  e2e_server_start server update-server --config "$E2E_STATE/server.json" || fail "cancel: server start"
  e2e_workdir "$WORK" https://localhost ":$(e2e_server_port server)"
  local how lines dir part access=$NGINX_DIR/access.log
  touch "$access"
  dir=$(e2e_unixpath "$DEFAULT_DIR")
  for how in no yes quit; do
    e2e_stop_programs
    e2e_reset_install
    e2e_launch "$WORK"
    drv wait-dialog "$E2E_TITLE#132" 30000 >/dev/null && drv click 132 1 >/dev/null
    drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null && drv click 134 1 >/dev/null
    check "cancel/$how: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
    part=
    for _ in $(seq 300); do
      part=$(find "$dir" -name 'assist.dat*.part' 2>/dev/null | head -1)
      [ -n "$part" ] && break
      sleep 0.2
    done
    check "cancel/$how: the big file is being downloaded" test -n "$part"
    lines=$(wc -l <"$access")
    if [ $how = quit ]; then
      (cd "$WORK" && timeout 30 wine "$E2E_EXE" -t) >/dev/null 2>&1 </dev/null
    else
      drv click 135 2 >/dev/null
      expect "cancel/$how: question" 下载还未完成，确定取消？ drv msgbox-text "$E2E_TITLE" 5000
      [ $how = no ] && shot 135 135_cancel_question
      drv answer-msgbox "$E2E_TITLE" $how >/dev/null
    fi
    if [ $how = no ]; then
      check "cancel/no: the run goes on (further downloads)" \
        bash -c "for i in \$(seq 300); do [ \$(wc -l <'$access') -gt $lines ] && exit 0; sleep 0.3; done; exit 1"
      check "cancel/no: and finishes" finished 150
    else
      check "cancel/$how: the process ends" e2e_wait_exit 20
      check "cancel/$how: no install record" test -z "$(e2e_record_value Version)"
      expect "cancel/$how: no temporary file is left" "" find "$dir" -name '*.part'
    fi
  done
  e2e_stop_programs
  deploy_nginx_stop "$NGINX_DIR"
  NGINX_DIR=
  rm -rf "$E2E_STATE/release-big"

  echo "# a tampered file: 下载失败, then Cancel closes without a question"
  e2e_reset_install
  cp -R "$RELEASE" "$E2E_STATE/release-tampered"
  printf 'tampered\n' >>"$E2E_STATE/release-tampered/config.ini"
  serve 1.0.0.1 0 127.0.0.1 "$E2E_STATE/release-tampered" || fail "tampered: server start"
  e2e_launch "$WORK"
  drv wait-dialog "$E2E_TITLE#132" 30000 >/dev/null && drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null && drv click 134 1 >/dev/null
  check "tampered: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  expect "tampered: 下载失败" 下载失败 outcome 60
  shot 135 135_failed
  check "tampered: the process waits for the user" kill -0 "$E2E_APP_PID"
  drv click 135 2 >/dev/null
  check "tampered: no question" not drv msgbox-text "$E2E_TITLE" 1500
  check "tampered: Cancel ends the process" e2e_wait_exit 15
  check "tampered: no install record" test -z "$(e2e_record_value Version)"
}

# A build that pins its servers' key (bin/pinned, pinned to the key pair in pinned-server) next to
# the ordinary one. Two update servers on the same port: localhost, first in the bank's list,
# with another key, and 127.0.0.2, second, with the pinned one.
group_pinning() {
  local pinned=$E2E_WIN64/bin/pinned/corlinq_$E2E_BANK.exe pinned_certs=$E2E_WIN64/pinned-server
  [ -f "$pinned" ] && [ -f "$pinned_certs/server.key" ] || { fail "pinning: the pinned build is missing"; return; }
  e2e_stop_programs
  e2e_reset_install
  local port name
  port=$(free_port)
  e2e_server_config "$E2E_STATE/first.json" "$RELEASE" 1.0.0.1 0 127.0.0.1 "$port"
  e2e_server_config "$E2E_STATE/second.json" "$RELEASE" 1.0.0.1 0 127.0.0.2 "$port"
  sed -i "s|$E2E_STATE/certs/|$pinned_certs/|" "$E2E_STATE/second.json"
  for name in first second; do
    e2e_server_start $name update-server --config "$E2E_STATE/$name.json" || { fail "pinning: $name server start"; return; }
  done
  e2e_workdir "$WORK" https://localhost ":$port"
  check "pinning: the servers have different keys" not cmp -s "$E2E_STATE/certs/server.crt" "$pinned_certs/server.crt"

  echo "# unpinned build: the first server answers"
  e2e_launch "$WORK"
  check "unpinned: welcome dialog shows" drv wait-dialog "$E2E_TITLE#132" 40000
  expect "unpinned: the first server answered" 1 queries first
  expect "unpinned: the second was not asked" 0 queries second
  e2e_stop_programs

  echo "# pinned build: the first server's key is refused, the second answers"
  local E2E_EXE=$pinned
  e2e_launch "$WORK"
  check "pinned: welcome dialog shows" drv wait-dialog "$E2E_TITLE#132" 40000
  expect "pinned: the second server answered" 1 queries second
  check "pinned: the first server's answer was not taken (it was asked)" test "$(queries first)" -ge 2
  drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null && drv click 134 1 >/dev/null
  check "pinned: the install from the pinned server finishes" finished
  installed pinned "$DEFAULT_DIR" 1.0.0.1 1
  e2e_stop_programs
  e2e_reset_install

  echo "# pinned build: a plain-HTTP download URL from the pinned server is refused"
  e2e_server_stop second
  local http_port
  http_port=$(free_port)
  sed -e "s|\"listeners\": \[|&{\"address\": \"127.0.0.2\", \"port\": $http_port, \"tls\": false}, |" \
      -e "s|\"url\": \"https://127.0.0.2:$port/|\"url\": \"http://127.0.0.2:$http_port/|" \
      "$E2E_STATE/second.json" >"$E2E_STATE/second-http.json"
  e2e_server_start second update-server --config "$E2E_STATE/second-http.json" || { fail "pinning: http server start"; return; }
  e2e_launch "$WORK"
  check "pinned, http download: welcome dialog shows" drv wait-dialog "$E2E_TITLE#132" 40000
  drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null && drv click 134 1 >/dev/null
  check "pinned, http download: the run starts" drv wait-dialog "$E2E_TITLE#135" 15000
  outcome 30 >/dev/null  # bounds the wait for the run to give up; its end is the engine's to show
  check "pinned, http download: no request was sent over HTTP" not grep -q 'GET /release/' "$E2E_STATE/servers/second.log"
  check "pinned, http download: nothing installed" test ! -e "$(e2e_unixpath "$DEFAULT_DIR")/config.ini"
  check "pinned, http download: no install record" test -z "$(e2e_record_value Version)"
  e2e_stop_programs
  e2e_reset_install

  echo "# pinned build, no server with the pinned key: no answer"
  e2e_server_stop second
  e2e_launch "$WORK"
  check "pinned, key nowhere: no server answers" e2e_wait_text 130 1029 服务器没响应 90
  check "pinned, key nowhere: no welcome dialog" not drv wait-dialog "$E2E_TITLE#132" 300
  e2e_stop_programs
  e2e_server_stop first
}

# The deployment of deploy/: nginx ends TLS and serves the release folder, two update-server
# instances behind it answer the queries. The downloader installs through it, then, after a new
# release was published as deploy/README.md says (folder switched by a link, instances
# restarted with the new version, one of them down), updates through it.
group_nginx() {
  command -v nginx >/dev/null || { fail "nginx is not installed (scripts/deps.sh installs nginx-light)"; return; }
  NGINX_DIR=$E2E_STATE/nginx
  local www=$E2E_STATE/www port name
  "$E2E_ROOT/scripts/gen-test-cert.sh" "$E2E_STATE/certs" >/dev/null
  old_release
  mkdir -p "$www/release" "$www/releases"
  cp -R "$OLD_RELEASE" "$www/releases/867-1.0.0.0"
  cp -R "$RELEASE" "$www/releases/867-1.0.0.1"
  ln -s ../releases/867-1.0.0.0 "$www/release/867"
  port=$(free_port)
  # instance NAME VERSION UPDATE [PORT]: (re)starts an instance from the shipped sample, on PORT
  # (the nginx upstream names it) or, the first time, on a free one. As shipped, no "url": the
  # downloader is told https:// (the scheme nginx forwards) + the Host it asked nginx for.
  instance() {
    e2e_server_stop "$1"
    deploy_instance_config "$E2E_STATE/$1.json" "${4:-0}" "$E2E_ROOT/keys/envelope.pem" "$E2E_BANK" "$2" "$3" \
      "" "$www/release/$E2E_BANK" "${E2E_PUBLIC_KEY:-$E2E_ROOT/keys/manifest-public.pem}" &&
      e2e_server_start "$1" update-server --config "$E2E_STATE/$1.json"
  }
  instance_port() { "$E2E_ROOT/scripts/test-server.sh" port "$E2E_STATE/servers" "$1" http; }
  for name in query-1 query-2; do instance $name 1.0.0.0 0 || { fail "$name start"; return; }; done
  local p1 p2
  p1=$(instance_port query-1)
  p2=$(instance_port query-2)
  deploy_nginx_config "$NGINX_DIR" "$port" "$E2E_STATE/certs/server.crt" "$E2E_STATE/certs/server.key" \
    "$www" "$p1" "$p2" || { fail "nginx configuration"; return; }
  deploy_nginx_start "$NGINX_DIR" || { fail "nginx start"; return; }
  ok "nginx on 127.0.0.1:$port in front of two update-server instances"
  e2e_workdir "$WORK" https://localhost ":$port"
  local access=$NGINX_DIR/access.log
  # Request lines of nginx's access log from line FROM on that a PATTERN matches.
  served() { tail -n +"$1" "$access" | grep -cE "$2" || true; }

  echo "# install through nginx (1.0.0.0)"
  e2e_stop_programs
  e2e_reset_install
  e2e_launch "$WORK"
  if e2e_drive_install "$SHOTS/install"; then ok "install: wizard ran to the end"; else fail "install: wizard"; return; fi
  expect "install: exit code" 0 echo "$E2E_APP_RC"
  RELEASE=$OLD_RELEASE installed "install" "$E2E_INSTALL_DIR" 1.0.0.0 1
  expect "install: the query went through nginx to an instance" 1 \
    bash -c "cat '$E2E_STATE/servers/query-1.log' '$E2E_STATE/servers/query-2.log' | grep -c 'GET /assist/server'"
  expect "install: the instance logged the downloader's address (forwarded), nginx as via=" 1 \
    bash -c "cat '$E2E_STATE/servers/query-1.log' '$E2E_STATE/servers/query-2.log' | grep -cE '^[^ ]+ 127\.0\.0\.1 GET /assist/server\?.* outcome=version via=127\.0\.0\.1:[0-9]+\$'"
  check "install: nginx served the manifests" test "$(served 1 "GET /release/$E2E_BANK/+Digest_$E2E_BANK.xml HTTP/1.1\" 200")" -ge 1
  check "install: nginx served the files" test "$(served 1 "GET /release/$E2E_BANK/+bin/+helper.dll HTTP/1.1\" 200")" -ge 1
  e2e_stop_programs

  echo "# a new release is published; query-1 is down, query-2 offers 1.0.0.1 (update 1)"
  ln -s ../releases/867-1.0.0.1 "$www/release/.867.new" && mv -T "$www/release/.867.new" "$www/release/867"
  e2e_server_stop query-1
  instance query-2 1.0.0.1 1 "$p2" || { fail "query-2 restart"; return; }
  local from
  from=$(($(wc -l <"$access") + 1))
  e2e_launch "$WORK"
  check "update: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 40000
  shot 139 139_update_nginx
  drv click 139 1 >/dev/null
  check "update: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  check "update: the run finishes and ends the process" finished
  check "update: files match the new manifests" e2e_check_files "$RELEASE" "$(e2e_unixpath "$E2E_INSTALL_DIR")"
  expect "update: record Version" 1.0.0.1 e2e_record_value Version
  expect "update: nginx served only the two changed files" 2 \
    served "$from" "GET /release/$E2E_BANK/+(config.ini|bin/+helper.dll) HTTP/1.1\" 200"
  expect "update: query-2 answered the query" 1 bash -c "grep -c 'GET /assist/server' '$E2E_STATE/servers/query-2.log'"
  for name in query-1 query-2; do
    expect "$name served no file (nginx did)" 0 bash -c "grep -c 'GET /release/' '$E2E_STATE/servers/$name.log'"
  done
  local started=0
  for _ in $(seq 20); do e2e_running WebUI_867.exe && { started=1; break; }; sleep 0.5; done
  check "update: the assistant was started" test $started = 1
  e2e_stop_programs
  if deploy_nginx_stop "$NGINX_DIR"; then ok "nginx stopped"; else fail "nginx did not stop on SIGTERM"; fi
  NGINX_DIR=
}

# Releases that state their version (digest-tool --release-version), refused before anything of
# them is installed: an older release announced as newer, two manifests of different releases,
# and an older manifest pair left in the staging folder while the server has none. Installed is
# 1.0.0.1 with its files; after each refusal both are as before and the dialog says why.
group_release() {
  local cur=$E2E_STATE/release-cur old=$E2E_STATE/release-stated-old new=$E2E_STATE/release-new
  local old_src=$E2E_STATE/release-stated-old-src new_src=$E2E_STATE/release-new-src
  RELEASE_VERSION=1.0.0.1 e2e_make_release "$cur" "$src"
  cp -R "$src" "$old_src"
  printf 'old\n' >>"$old_src/config.ini"
  RELEASE_VERSION=1.0.0.0 e2e_make_release "$old" "$old_src"
  cp -R "$src" "$new_src"
  printf 'new\n' >>"$new_src/config.ini"
  printf 'new\n' >>"$new_src/bin/helper.dll"
  RELEASE_VERSION=2.0.0.0 e2e_make_release "$new" "$new_src"
  # Mix-and-match: 2.0.0.0's common manifest beside 1.0.0.0's bank manifest, both signed.
  local mix=$E2E_STATE/release-mix
  cp -R "$new" "$mix"
  cp "$old/Digest_$E2E_BANK.xml" "$mix/"
  # Stale manifest: 2.0.0.0's files, no manifests on the server.
  local bare=$E2E_STATE/release-bare
  cp -R "$new" "$bare"
  rm -f "$bare/Digest.xml" "$bare/Digest_$E2E_BANK.xml"
  local dir
  dir=$(e2e_unixpath "$DEFAULT_DIR")

  # refused LABEL RELEASE STATUS(empty: any) [STALE_PAIR_FROM]
  refused() {
    local label=$1 release=$2 status=$3 stale=${4:-}
    echo "# $label"
    fake_install 1.0.0.1 "$cur"
    if [ -n "$stale" ]; then
      mkdir -p "$dir/DownLoad"
      cp "$stale/Digest.xml" "$stale/Digest_$E2E_BANK.xml" "$dir/DownLoad/"
    fi
    serve 2.0.0.0 1 127.0.0.1 "$release" || { fail "$label: server start"; return; }
    e2e_launch "$WORK"
    check "$label: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
    drv click 139 1 >/dev/null
    check "$label: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
    expect "$label: the run fails" 下载失败 outcome 60
    [ -z "$status" ] || expect "$label: status line" "$status" drv text 135 1020
    shot 135 "135_$label"
    expect "$label: record Version unchanged" 1.0.0.1 e2e_record_value Version
    check "$label: installed files unchanged" e2e_check_files "$cur" "$dir"
    expect "$label: no file of the release fetched" 0 \
      bash -c "grep -cE 'GET /release/867/+(config.ini|bin.helper.dll)' '$E2E_STATE/servers/server.log'"
    e2e_stop_programs
  }
  refused rollback "$old" 配置文件版本不符
  refused mix-and-match "$mix" 配置文件校验失败
  refused stale-manifest "$bare" "" "$old"

  echo "# the stated 2.0.0.0 as announced: installed"
  fake_install 1.0.0.1 "$cur"
  serve 2.0.0.0 1 127.0.0.1 "$new" || { fail "stated update: server start"; return; }
  e2e_launch "$WORK"
  check "stated update: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  drv click 139 1 >/dev/null
  check "stated update: the run finishes and ends the process" finished
  expect "stated update: record Version" 2.0.0.0 e2e_record_value Version
  check "stated update: files match the new manifests" e2e_check_files "$new" "$dir"
  e2e_stop_programs
}

# Signs FILE in place as the bank's tool lays it out, but with openssl alone, so that files the
# tool refuses to sign (they are not manifests the downloader reads) can be signed for a test.
sign_anything() {
  python3 - "$1" "$E2E_ROOT/keys/manifest-signing.pem" <<'PY'
import hashlib, subprocess, sys
path, key = sys.argv[1], sys.argv[2]
text = open(path, 'rb').read()
sig = subprocess.run(['openssl', 'pkeyutl', '-sign', '-inkey', key], input=hashlib.sha1(text).digest(),
                     stdout=subprocess.PIPE, check=True).stdout
last = text.rfind(b'<')
open(path, 'wb').write(text[:last] + b'\r\n<Sign>' + sig.hex().upper().encode() + b'</Sign>\r\n' + text[last:])
PY
}

# A manifest whose signature verifies but that does not load fails the manifest step: nothing
# is installed, no version is recorded, and the failure is on screen.
group_manifest() {
  echo "# install: Digest.xml with </Sign> changed to </Sigx> in the bytes the signature leaves free"
  local sigx=$E2E_STATE/release-sigx
  cp -R "$RELEASE" "$sigx"
  sed -i 's|</Sign>\r$|</Sigx>\r|' "$sigx/Digest.xml"
  check "sigx: the change is there" grep -q '</Sigx>' "$sigx/Digest.xml"
  e2e_stop_programs
  e2e_reset_install
  serve 1.0.0.1 0 127.0.0.1 "$sigx" || fail "sigx: server start"
  e2e_launch "$WORK"
  drv wait-dialog "$E2E_TITLE#132" 30000 >/dev/null && drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null && drv click 134 1 >/dev/null
  check "sigx: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  expect "sigx: 下载失败" 下载失败 outcome 60
  expect "sigx: the status line says why" 配置文件无效 drv text 135 1020
  shot 135 135_manifest_unreadable
  local dir
  dir=$(e2e_unixpath "$DEFAULT_DIR")
  expect "sigx: nothing installed (no file in the install folder)" "" find "$dir" -type f
  expect "sigx: no install record" "" e2e_record_value Version
  expect "sigx: no file was fetched" 0 \
    bash -c "grep -cE 'GET /release/867/+[^D ]' '$E2E_STATE/servers/server.log' || true"
  drv click 135 2 >/dev/null
  check "sigx: Cancel ends the process" e2e_wait_exit 15
  e2e_stop_programs

  echo "# update: Digest_867.xml signed but nested 100,000 levels deep"
  old_release
  local deep=$E2E_STATE/release-deep
  cp -R "$RELEASE" "$deep"
  python3 - "$deep/Digest_867.xml" <<'PY'
import sys
path = sys.argv[1]
text = open(path, 'rb').read()
cut = text.find(b'\r\n<Sign>')
body = text[:cut] + text[text.rfind(b'<'):]
at = body.find(b'</FileInfo>')
open(path, 'wb').write(body[:at] + b'<a>' * 100000 + b'</a>' * 100000 + body[at:])
PY
  sign_anything "$deep/Digest_867.xml"
  fake_install 1.0.0.0 "$OLD_RELEASE"
  serve 1.0.0.1 1 127.0.0.1 "$deep" || fail "deep: server start"
  e2e_launch "$WORK"
  check "deep: question dialog (139) shows" drv wait-dialog "$E2E_TITLE#139" 30000
  drv click 139 1 >/dev/null
  check "deep: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  expect "deep: 下载失败" 下载失败 outcome 60
  expect "deep: the status line says why" 配置文件无效 drv text 135 1020
  shot 135 135_manifest_deep
  check "deep: the installed files are the old release's" e2e_check_files "$OLD_RELEASE" "$(e2e_unixpath "$DEFAULT_DIR")"
  expect "deep: record Version unchanged" 1.0.0.0 e2e_record_value Version
  drv click 135 2 >/dev/null
  check "deep: Cancel ends the process" e2e_wait_exit 15
  e2e_stop_programs

  echo "# install: an entry the rules refuse (CONIN\$), in a manifest signed as the bank would"
  local device=$E2E_STATE/release-device
  cp -R "$RELEASE" "$device"
  python3 - "$device/Digest.xml" <<'PY'
import sys
path = sys.argv[1]
text = open(path, 'rb').read()
cut = text.find(b'\r\n<Sign>')
body = text[:cut] + text[text.rfind(b'<'):]
at = body.find(b'</FileInfo>')
entry = b'<File Path="" FileName="CONIN$" Digest="2jmj7l5rSw0yVb/vlWAYkK/YBwk="/>\r\n'
open(path, 'wb').write(body[:at] + entry + body[at:])
PY
  sign_anything "$device/Digest.xml"
  e2e_reset_install
  serve 1.0.0.1 0 127.0.0.1 "$device" || fail "device: server start"
  e2e_launch "$WORK"
  drv wait-dialog "$E2E_TITLE#132" 30000 >/dev/null && drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null && drv click 134 1 >/dev/null
  check "device: progress dialog shows" drv wait-dialog "$E2E_TITLE#135" 15000
  expect "device: 下载失败" 下载失败 outcome 60
  expect "device: the status line says why" 配置文件无效 drv text 135 1020
  expect "device: nothing installed" "" find "$(e2e_unixpath "$DEFAULT_DIR")" -type f
  expect "device: no install record" "" e2e_record_value Version
  drv click 135 2 >/dev/null
  check "device: Cancel ends the process" e2e_wait_exit 15
  e2e_stop_programs
}

start=$SECONDS
case "$group" in
  install | query | update | selfupdate | repair | instances | startup | cancel | pinning | nginx | release | manifest) "group_$group" ;;
  *) echo "unknown group $group"; exit 2 ;;
esac
echo "$group: $failures failure(s) in $((SECONDS - start)) s; screenshots in $SHOTS"
[ $failures -eq 0 ]
