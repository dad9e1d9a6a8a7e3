#!/usr/bin/env bash
# The dialogs as a user sees them: each dialog of the gallery is opened under Wine and driven
# with ui-driver (texts, visibility, Retry, the wizard's nesting, folder checks, Cancel
# questions, progress painting, the picture swap, the quit message). Screenshots of every dialog
# go to the screenshot folder.
#   ui_dialogs_test.sh GALLERY.exe UI-DRIVER.exe SCREENSHOT_DIR
set -uo pipefail
here=$(dirname "$(readlink -f "$0")")
source "$here/../../scripts/wine/common.sh" "${CORLINQ_WINE_DIR:?run through ctest}"
GALLERY=$1
DRIVER=$2
SHOTS=$3
mkdir -p "$SHOTS"
LOG=$(mktemp)
trap 'rm -f "$LOG"; [ -n "${GPID:-}" ] && kill "$GPID" 2>/dev/null' EXIT

TITLE=恒澍银行网银助手下载器
PRODUCT=恒澍银行网银助手
failures=0
ok() { echo "ok - $1"; }
fail() { echo "FAIL - $1"; failures=$((failures + 1)); }
check() {  # description command...
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then ok "$what"; else fail "$what"; fi
}
drv() { wine "$DRIVER" "$@" 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
expect() {  # description expected command...
  local what=$1 want=$2
  shift 2
  local got
  got=$("$@")
  if [ "$got" = "$want" ]; then ok "$what"; else fail "$what: got '$got', want '$want'"; fi
}
# Polls a control's text until it reads as expected (the workers write asynchronously).
wait_text() {  # dialog id text [tries]
  for _ in $(seq "${4:-60}"); do
    [ "$(drv text "$1" "$2")" = "$3" ] && return 0
    sleep 0.2
  done
  return 1
}
wait_log() {  # pattern
  for _ in $(seq 60); do
    grep -q -- "$1" "$LOG" && return 0
    sleep 0.2
  done
  return 1
}
start() {  # gallery arguments
  wine "$GALLERY" "$@" >"$LOG" 2>&1 &
  GPID=$!
}
wait_exit() {
  for _ in $(seq 100); do
    kill -0 "$GPID" 2>/dev/null || { wait "$GPID" 2>/dev/null; GPID=; return 0; }
    sleep 0.1
  done
  return 1
}
stop() {
  if [ -n "${GPID:-}" ]; then
    kill "$GPID" 2>/dev/null
    wait "$GPID" 2>/dev/null
    GPID=
  fi
}
# Window rectangle's top-left corner.
corner() { drv rect "$1" | cut -d' ' -f1,2; }

# Chinese glyphs for the controls' texts (a Chinese Windows links a CJK font to the dialog font).
"$here/../../scripts/wine/cjk-fonts.sh" "$CORLINQ_WINE_DIR"

# Another program's dialogs with our caption would be driven instead of ours.
if drv wait-dialog "$TITLE" 100; then
  echo "a dialog titled $TITLE is already open; close it first"
  exit 1
fi

echo "# version query: no answer, Retry twice, then only Cancel"
start query noanswer
check "query dialog shows" drv wait-dialog "$TITLE#130" 20000
check "no answer: status" wait_text 130 1029 服务器没响应
check "no answer: Retry shows" drv visible 130 1030
drv screenshot 130 "$SHOTS/130_no_answer.png"
for attempt in 2 3; do
  drv click 130 1030
  check "Retry starts query $attempt" wait_log "query attempt $attempt"
  check "query $attempt: no answer" wait_text 130 1029 服务器没响应
done
sleep 0.5
check "after the third failure Retry stays hidden" bash -c "! wine '$DRIVER' visible 130 1030"
expect "three queries in all" 3 grep -c "query attempt" "$LOG"
drv press 130 enter
sleep 0.5
check "Enter does not close the query dialog" drv wait-dialog 130 2000
check "and asks nothing" drv no-msgbox "$TITLE"
drv press 130 esc
expect "Esc asks before exiting" 是否退出网银助手安装？ drv msgbox-text "$TITLE"
drv answer-msgbox "$TITLE" no
drv click 130 2
expect "Cancel asks before exiting" 是否退出网银助手安装？ drv msgbox-text "$TITLE"
drv answer-msgbox "$TITLE" no
sleep 0.5
check "No keeps the dialog" drv wait-dialog 130 2000
drv click 130 2
drv answer-msgbox "$TITLE" yes
check "Yes ends the process" wait_exit
check "the process ended at once (no dialog result)" bash -c "! grep -q result= '$LOG'"

echo "# version query: stalled on an unopenable reply"
start query stalled
check "query dialog shows" drv wait-dialog 130 20000
check "query ran" wait_log "query attempt 1"
sleep 1
expect "stalled: still querying" 正在获取版本信息... drv text 130 1029
check "stalled: Retry hidden" bash -c "! wine '$DRIVER' visible 130 1030"
drv screenshot 130 "$SHOTS/130_querying.png"
stop

echo "# install path: query, welcome, options, back, progress"
start query ok
check "query dialog shows" drv wait-dialog 130 20000
query_corner=$(corner 130)
check "welcome page follows" drv wait-dialog 132 10000
check "query dialog hidden" bash -c "! wine '$DRIVER' wait-dialog 130 100"
expect "welcome opens where the query dialog stood" "$query_corner" corner 132
drv screenshot 132 "$SHOTS/132_welcome.png"
drv click 132 1
check "options page follows" drv wait-dialog 134 10000
expect "shortcut label" "创建${PRODUCT}的快捷方式在：" drv text 134 1013
expect "default folder" "C:\\Program Files\\恒澍银行网上银行安全组件\\恒澍银行网银助手" drv text 134 1017
check "quick launch box hidden" bash -c "! wine '$DRIVER' visible 134 1014"
check "autostart box hidden" bash -c "! wine '$DRIVER' visible 134 1031"
check "start menu box ticked" drv checked 134 1015
check "desktop box ticked" drv checked 134 1016
drv screenshot 134 "$SHOTS/134_options.png"
drv check 134 1016 0
sleep 0.3
drv click 134 1011
check "back opens a new welcome page" drv wait-dialog 132 10000
drv move 132 100 80
drv click 132 1
check "and a new options page" drv wait-dialog 134 10000
expect "opened where the welcome page was dragged to" "100 80" corner 134
check "the new page has the desktop box ticked again" drv checked 134 1016
drv check 134 1015 0
drv set-text 134 1017 'nodrive\sub'
drv click 134 1
expect "a path without a drive is refused" 路径不合法 drv msgbox-text "$TITLE"
drv answer-msgbox "$TITLE" ok
check "the page stays" drv wait-dialog 134 2000
expect "the edit keeps the text" 'nodrive\sub' drv text 134 1017
rm -rf "$WINEPREFIX/drive_c/ui test"
drv set-text 134 1017 'C:\\ui test\\恒澍\子'
options_corner=$(corner 134)
drv click 134 1
check "progress dialog follows" drv wait-dialog 135 10000
expect "progress opens where the options page stood" "$options_corner" corner 135
check "the folder was created" test -d "$WINEPREFIX/drive_c/ui test/恒澍/子"
check "doubled separators are stored single" grep -q 'installDir=C:\\ui test\\恒澍\\子' "$LOG"
check "flags: start menu off, the others on" grep -q "flags desktop=1 startmenu=0 quicklaunch=1 autostart=1" "$LOG"
check "run in install mode" grep -q "run created mode=0" "$LOG"
check "the run finishes" wait_text 135 2 下载完成 100
drv click 135 2
check "Cancel after the run closes without a question" wait_exit
check "the nesting unwinds to the query dialog" grep -q "result=0" "$LOG"
check "the answer was stored" grep -q "query server version=1.0.2.8 url=https://127.0.0.1/assist/files" "$LOG"

echo "# options page: folder browser"
start option
check "options page shows" drv wait-dialog 134 20000
default_dir=$(drv text 134 1017)
drv click 134 1018
check "the folder browser opens" drv wait-dialog "Browse for Folder" 10000
drv click "Browse for Folder" 2
check "the folder browser closes" drv wait-gone "Browse for Folder" 5000
expect "cancelled: the folder stays" "$default_dir" drv text 134 1017
drv click 134 1018
check "the folder browser opens again" drv wait-dialog "Browse for Folder" 10000
drv click "Browse for Folder" 1
check "the folder browser closes" drv wait-gone "Browse for Folder" 5000
chosen=$(drv text 134 1017)
case "$chosen" in
  "$default_dir") fail "chosen: the folder did not change" ;;
  *"\恒澍银行网上银行安全组件\恒澍银行网银助手") ok "chosen: the install subfolder below the chosen folder ($chosen)" ;;
  *) fail "chosen: unexpected folder $chosen" ;;
esac
stop

echo "# progress dialog: painting, picture swap, cancel"
start progress update static
check "progress dialog shows" drv wait-dialog 135 20000
check "the run wrote its controls" wait_log "run wrote its controls"
sleep 0.5
expect "status" "正在下载 WebUI_867.exe" drv text 135 1020
expect "overall percentage" "25.00%" drv text 135 1024
read -r bar_w bar_h < <(drv size 135 1021)
expect "file bar filled at its start" 1EB83A drv pixel 135 1021 1 7
expect "file bar filled just before half" 1EB83A drv pixel 135 1021 $((bar_w / 2 - 2)) 7
expect "file bar track after half" 80777A drv pixel 135 1021 $((bar_w / 2 + 2)) 7
# The tile's rows from the bar's top: grey, pale green, then greens darkening.
expect "file bar fill pattern: row 0" D0D4D6 drv pixel 135 1021 3 0
expect "file bar fill pattern: row 1" 84B68A drv pixel 135 1021 3 1
expect "file bar fill pattern: row 2" 53C969 drv pixel 135 1021 3 2
expect "file bar fill pattern: row 11" 06B125 drv pixel 135 1021 3 11
read -r bar_w bar_h < <(drv size 135 1022)
expect "overall bar filled in its first quarter" 1EB83A drv pixel 135 1022 $((bar_w / 4 - 2)) 7
expect "overall bar track after its first quarter" 80777A drv pixel 135 1022 $((bar_w / 4 + 2)) 7
drv screenshot 135 "$SHOTS/135_progress_running.png"
drv click 135 2
expect "Cancel while running asks" 下载还未完成，确定取消？ drv msgbox-text "$TITLE"
drv answer-msgbox "$TITLE" no
sleep 0.5
check "No keeps the run" drv wait-dialog 135 2000
drv click 135 2
drv answer-msgbox "$TITLE" yes
check "Yes closes the dialog" wait_exit
check "with IDCANCEL" grep -q "result=2" "$LOG"

echo "# progress dialog: empty ranges, failed run"
start progress repair empty
check "progress dialog shows" drv wait-dialog 135 20000
# A spot inside the shield of the first picture, plain page in the second.
shows_shield() { [ "$(drv pixel 135 0 520 130)" = B3121F ]; }
wait_picture() {  # want-shield(0|1) tries
  for _ in $(seq "$2"); do
    if shows_shield; then [ "$1" = 1 ] && return 0; else [ "$1" = 0 ] && return 0; fi
    sleep 0.2
  done
  return 1
}
check "first picture at the start" shows_shield
drv screenshot 135 "$SHOTS/135_progress_a.png"
check "second picture after 4 s" wait_picture 0 30
drv screenshot 135 "$SHOTS/135_progress_b.png"
check "first picture again 4 s later" wait_picture 1 30
for bar in 1021 1022; do
  expect "bar $bar with an empty range shows the track only" 80777A drv pixel 135 "$bar" 1 3
done
stop
start progress update failed
check "progress dialog shows" drv wait-dialog 135 20000
check "failed run's caption" wait_text 135 2 下载失败
drv click 135 2
check "Cancel after a failure closes at once" wait_exit
check "no question was asked" grep -q "result=2" "$LOG"

echo "# update dialog"
for mode in 0 1; do
  start update "$mode"
  check "update dialog ($mode) shows" drv wait-dialog 139 20000
  sleep 0.5
  drv screenshot 139 "$SHOTS/139_update_mode_$mode.png"
  drv click 139 2
  check "取消 ends the update dialog without a question" wait_exit
  check "with IDCANCEL" grep -q "result=2" "$LOG"
done
start update 0 --browser
check "update dialog shows" drv wait-dialog 139 20000
drv click 139 1
expect "a running browser is asked about" 安装过程中需关闭IE浏览器，是否继续？ drv msgbox-text "$PRODUCT"
drv answer-msgbox "$PRODUCT" no
sleep 0.5
check "No keeps the update dialog and starts nothing" bash -c "! grep -q 'run created' '$LOG'"
drv click 139 1
drv answer-msgbox "$PRODUCT" yes
check "Yes ends the browser" wait_log "browser ended"
check "and opens the progress dialog in update mode" wait_log "run created mode=1"
check "progress dialog shows" drv wait-dialog 135 10000
check "the update dialog is hidden" bash -c "! wine '$DRIVER' wait-dialog 139 100"
stop

echo "# quit message"
start install
check "welcome page shows" drv wait-dialog 132 20000
drv broadcast qz_detect_tools_single_msgidMOVRA_2151 2
sleep 1
check "wParam 2 changes nothing" drv wait-dialog 132 1000
drv broadcast qz_detect_tools_single_msgidMOVRA_2151 1
check "wParam 1 ends the process" wait_exit
check "at once" bash -c "! grep -q result= '$LOG'"

echo "screenshots in $SHOTS"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
