#!/usr/bin/env bash
# The real downloader under Wine updates a release of a few hundred files in nested folders and
# is killed (SIGKILL of its Wine process) at spread points: during the downloads, during the
# commit, just after the install record. After each kill the next plain run (no "-losefile")
# must leave a tree whose every file matches the manifests of the version the record names, no
# ".part" file and no unfinished journal. The last line is "recovered N/N".
#   scripts/crash-test.sh
# Environment: E2E_WIN64 (the win64 build folder), CORLINQ_NATIVE_BUILD_DIR, CRASH_FILES (300).
set -uo pipefail
E2E_ROOT=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
E2E_WIN64=${E2E_WIN64:-$E2E_ROOT/build/win64}
WINE_STATE=$E2E_WIN64/e2e-wine
E2E_STATE=$E2E_WIN64/e2e/crash
rm -rf "$E2E_STATE"
source "$E2E_ROOT/scripts/lib/e2e.sh"
"$E2E_ROOT/scripts/wine/start.sh" "$WINE_STATE" >/dev/null || exit 1
e2e_init
SHOTS=$E2E_WIN64/e2e-screenshots/crash
rm -rf "$SHOTS"
mkdir -p "$SHOTS"

teardown() {
  e2e_stop_programs >/dev/null 2>&1
  e2e_server_stop
  "$E2E_ROOT/scripts/wine/stop.sh" "$WINE_STATE" >/dev/null 2>&1
}
trap teardown EXIT
trap 'exit 1' INT TERM
"$E2E_ROOT/scripts/wine/cjk-fonts.sh" "$WINE_STATE"

FILES=${CRASH_FILES:-300}
DIR_WIN='C:\Program Files\恒澍银行网上银行安全组件\恒澍银行网银助手'
DIR=$(e2e_unixpath "$DIR_WIN")
STAGE=$DIR/DownLoad
JOURNAL=$STAGE/commit.journal
WORK=$E2E_STATE/work

# Two releases: every file differs between them, the old one has a file the new one dropped and
# the new one a file in a folder the old one lacks.
make_src() {  # make_src DIR TAG
  local out=$1 tag=$2 i folder
  mkdir -p "$out"
  for ((i = 0; i < FILES; i++)); do
    folder=$out/Data/d$((i % 12))/s$((i % 3))
    mkdir -p "$folder"
    { printf '%s %d\n' "$tag" "$i"; head -c $((1024 + (i * 97) % 6000)) /dev/urandom; } >"$folder/f$i.bin"
  done
  printf '%s\n' "$tag" >"$out/config.ini"
}
OLD_SRC=$E2E_STATE/src-old NEW_SRC=$E2E_STATE/src-new
make_src "$OLD_SRC" old
make_src "$NEW_SRC" new
mkdir -p "$OLD_SRC/Tools" "$NEW_SRC/Plugins/new/deep"
printf 'dropped\n' >"$OLD_SRC/Tools/gone.dat"
printf 'added\n' >"$NEW_SRC/Plugins/new/deep/added.dat"
OLD=$E2E_STATE/release-old NEW=$E2E_STATE/release-new
e2e_make_release "$OLD" "$OLD_SRC" || { echo "cannot make the old release"; exit 1; }
e2e_make_release "$NEW" "$NEW_SRC" || { echo "cannot make the new release"; exit 1; }

e2e_server_config "$E2E_STATE/server.json" "$NEW" 1.0.0.1 1
e2e_server_start server update-server --config "$E2E_STATE/server.json" || { echo "server start"; exit 1; }
e2e_workdir "$WORK" https://localhost ":$(e2e_server_port server)"

# Files below a folder, counted.
count() { find "$1" -type f 2>/dev/null | wc -l; }
staged() { find "$STAGE" -path "$STAGE/.backup" -prune -o -type f -path "$STAGE/*/*" -print 2>/dev/null | wc -l; }
backups() { count "$STAGE/.backup"; }
done_mark() { grep -qx done "$JOURNAL" 2>/dev/null; }

# True once the kill point is reached. reached KIND [ARG]
SEEN_JOURNAL=0
reached() {
  [ -e "$JOURNAL" ] && SEEN_JOURNAL=1
  case "$1" in
    staged) [ "$(staged)" -ge "$2" ] ;;
    journal) [ -e "$JOURNAL" ] ;;
    backups) [ "$(backups)" -ge "$2" ] ;;
    done) done_mark ;;
    cleanup) done_mark && [ "$(backups)" -le "$2" ] ;;
    finished) [ "$SEEN_JOURNAL" = 1 ] && [ ! -e "$JOURNAL" ] ;;
    *) return 1 ;;
  esac
}

# What the disk looked like at the kill.
state() {
  local j=none
  [ -e "$JOURNAL" ] && j=open
  done_mark && j=done
  echo "staged $(staged), journal $j, backups $(backups), record $(e2e_record_value Version)"
}

kill_app() {
  local pid
  [ -n "$E2E_APP_PID" ] && kill -KILL "$E2E_APP_PID" 2>/dev/null
  for pid in $(e2e_wine_pids "corlinq_$E2E_BANK.exe"); do kill -KILL "$pid" 2>/dev/null; done
  [ -n "$E2E_APP_PID" ] && wait "$E2E_APP_PID" 2>/dev/null
  E2E_APP_PID=
}

# The installed tree matches the manifests of the release the record names.
consistent() {
  local version release
  version=$(e2e_record_value Version)
  case "$version" in
    1.0.0.0) release=$OLD ;;
    1.0.0.1) release=$NEW ;;
    *) echo "record Version '$version'"; return 1 ;;
  esac
  e2e_check_files "$release" "$DIR" quiet || { echo "files differ from the $version manifests"; e2e_check_files "$release" "$DIR" | grep -v '^  ok' | head -5; return 1; }
  if [ "$release" = "$OLD" ]; then
    [ -f "$DIR/Tools/gone.dat" ] || { echo "old release without Tools/gone.dat"; return 1; }
    [ ! -e "$DIR/Plugins/new/deep/added.dat" ] || { echo "old release with the new release's file"; return 1; }
  else
    [ ! -e "$DIR/Tools/gone.dat" ] || { echo "new release still holds the dropped file"; return 1; }
  fi
  [ -z "$(find "$DIR" -name '*.part' 2>/dev/null)" ] || { echo "a .part file is left"; return 1; }
  [ ! -e "$JOURNAL" ] || { echo "the journal is still there"; return 1; }
  echo "$version"
}

# Kill points: KIND ARG NAME
POINTS=(
  "staged 1 downloads-start"
  "staged $((FILES / 2)) downloads-half"
  "staged $((FILES - 5)) downloads-end"
  "journal 0 commit-journal"
  "backups 1 commit-first-backup"
  "backups $((FILES / 3)) commit-third"
  "backups $((FILES * 2 / 3)) commit-two-thirds"
  "backups $((FILES * 5 / 6)) commit-last-moves"
  "done 0 after-record"
  "cleanup $((FILES / 2)) after-record-cleanup"
  "finished 0 after-commit"
)

total=0 recovered=0 n=0
for point in "${POINTS[@]}"; do
  read -r kind arg name <<<"$point"
  n=$((n + 1))
  total=$((total + 1))
  e2e_stop_programs
  e2e_reset_install
  mkdir -p "$DIR"
  cp -R "$OLD"/. "$DIR"/
  e2e_write_record 1.0.0.0 "$DIR_WIN"
  SEEN_JOURNAL=0

  e2e_launch "$WORK"
  if ! drv wait-dialog "$E2E_TITLE#139" 30000 >/dev/null; then
    echo "FAIL - $n $name: no update question"
    continue
  fi
  drv click 139 1 >/dev/null
  end=$((SECONDS + 240)) hit=0
  while [ $SECONDS -lt "$end" ]; do
    if reached "$kind" "$arg"; then hit=1; break; fi
    kill -0 "$E2E_APP_PID" 2>/dev/null || break
    sleep 0.01
  done
  if [ "$hit" = 1 ]; then
    kill_app
    at=$(state)
  else
    at="not reached ($(state))"
    [ "$kind" = finished ] || { [ "$kind" = cleanup ] && [ "$SEEN_JOURNAL" = 1 ]; } || at="$at, run ended or timed out"
    kill_app
  fi
  [ "$n" = 4 ] && shot_needed=1 || shot_needed=0
  e2e_stop_programs

  # The next plain run: recovery comes before any dialog, so once the question shows (record
  # still old) or the run has ended (record already new), the tree must be whole.
  e2e_launch "$WORK"
  for _ in $(seq 150); do
    drv wait-dialog "$E2E_TITLE" 200 >/dev/null 2>&1 && break
    kill -0 "$E2E_APP_PID" 2>/dev/null || break
  done
  [ "$shot_needed" = 1 ] && drv screenshot 139 "$(e2e_winpath "$SHOTS/139_after_kill.png")" >/dev/null 2>&1
  if result=$(consistent); then
    recovered=$((recovered + 1))
    echo "ok - $n $name: killed at $at; next run: whole $result"
  else
    echo "FAIL - $n $name: killed at $at; next run: $result"
  fi
  e2e_stop_programs
done
echo "recovered $recovered/$total"
[ "$recovered" = "$total" ] && [ "$total" -ge 10 ]
