# shellcheck shell=bash
# Shared pieces of the demo (scripts/demo.sh) and the end-to-end Wine tests (tests/e2e): a signed
# release with the assistant stand-ins, the reference update server on loopback, the real
# downloader under Wine driven through ui-driver, and the checks of what an install left behind.
# Sourced, not run. Needs: E2E_ROOT (repository), E2E_STATE (a folder for this run's files),
# WINE_STATE (the harness state folder; scripts/wine/common.sh is sourced from e2e_init).
# Optional: E2E_WIN64 (default $E2E_ROOT/build/win64), CORLINQ_NATIVE_BUILD_DIR.

E2E_BANK=867
E2E_TITLE=恒澍银行网银助手下载器
E2E_PRODUCT=恒澍银行网银助手
E2E_QUIT_MESSAGE=qz_detect_tools_single_msgidMOVRA_2151
E2E_RECORD_KEY='HKLM\Software\Tollwyn\WebUI\MOVRA\867'
E2E_UNINSTALL_KEY="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$E2E_PRODUCT"
E2E_RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
E2E_STAND_INS=(WebUI_867.exe QzwardPop.exe QzwardPop_867.exe)

e2e_log() { printf '[e2e] %s\n' "$*"; }

e2e_init() {
  E2E_WIN64=${E2E_WIN64:-$E2E_ROOT/build/win64}
  E2E_NATIVE=${CORLINQ_NATIVE_BUILD_DIR:-$E2E_ROOT/build/native}
  export CORLINQ_NATIVE_BUILD_DIR=$E2E_NATIVE
  E2E_EXE=$E2E_WIN64/bin/corlinq_$E2E_BANK.exe
  E2E_DRIVER=$E2E_WIN64/bin/ui-driver.exe
  E2E_PEERS=$E2E_WIN64/test-peers
  mkdir -p "$E2E_STATE"
  E2E_STATE=$(cd "$E2E_STATE" && pwd)
  # shellcheck source=../wine/common.sh
  source "$E2E_ROOT/scripts/wine/common.sh" "$WINE_STATE"
  E2E_DRIVE_C=$WINEPREFIX/drive_c
  E2E_APP_PID=
}

# A Windows path (Z:\...) for a file of the Linux side.
e2e_winpath() { printf 'Z:%s' "${1//\//\\}"; }
# The Linux path of a Windows path of the prefix (C:\... or Z:\...).
e2e_unixpath() {
  local p=${1//\\//}
  case "$p" in
    [Cc]:*) printf '%s%s' "$E2E_DRIVE_C" "${p:2}" ;;
    [Zz]:*) printf '%s' "${p:2}" ;;
    *) printf '%s' "$p" ;;
  esac
}

# ui-driver under the harness; prints without CR, passes the exit code through.
drv() { wine "$E2E_DRIVER" "$@" 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# Polls a control's text until it reads TEXT. e2e_wait_text DIALOG ID TEXT [seconds]
e2e_wait_text() {
  local end=$((SECONDS + ${4:-20}))
  while [ $SECONDS -lt "$end" ]; do
    [ "$(drv text "$1" "$2")" = "$3" ] && return 0
    sleep 0.3
  done
  return 1
}

# Releases: demo/release (or SRC) plus the stand-ins as the assistant's own programs, signed.
# e2e_make_release OUT [SRC] [EXTRA...]
e2e_make_release() {
  local out=$1 src=${2:-$E2E_ROOT/demo/release}
  shift 2 || shift $#
  local extras=() exe
  for exe in "${E2E_STAND_INS[@]}"; do extras+=("$E2E_PEERS/$exe"); done
  DIGEST_TOOL=$E2E_NATIVE/tools/digest-tool/digest-tool \
    "$E2E_ROOT/scripts/make-release.sh" --key "${E2E_SIGNING_KEY:-$E2E_ROOT/keys/manifest-signing.pem}" \
    --pubkey "${E2E_PUBLIC_KEY:-$E2E_ROOT/keys/manifest-public.pem}" \
    "$src" "$out" "$E2E_BANK" "${extras[@]}" "$@" >/dev/null
}

# e2e_server_config FILE RELEASE VERSION UPDATE [ADDRESS] [PORT] [ENVELOPE_KEY]
# PORT 0 (the default) picks a free one (e2e_server_port tells it); the download URL is then
# formed by the server from the request's Host. A fixed port names it in "url" as the bank would.
e2e_server_config() {
  local file=$1 release=$2 version=$3 update=$4 address=${5:-127.0.0.1} port=${6:-0}
  local key=${7:-$E2E_ROOT/keys/envelope.pem} host=localhost url=
  [ "$address" = 127.0.0.1 ] || host=$address
  [ "$port" = 0 ] || url="\"url\": \"https://$host:$port/release/$E2E_BANK\", "
  "$E2E_ROOT/scripts/gen-test-cert.sh" "$E2E_STATE/certs" >/dev/null
  cat >"$file" <<JSON
{
  "listeners": [{"address": "$address", "port": $port, "tls": true}],
  "certificate": "$E2E_STATE/certs/server.crt",
  "privateKey": "$E2E_STATE/certs/server.key",
  "envelopeKey": "$key",
  "requestPath": "/assist/server?reqtype=1&data=",
  "banks": {"$E2E_BANK": {"version": "$version", "update": "$update", $url"release": "$release"}}
}
JSON
}

# e2e_server_start NAME PROGRAM ARGS... / e2e_server_stop [NAME...]
e2e_server_start() { "$E2E_ROOT/scripts/test-server.sh" start "$E2E_STATE/servers" "$@" >/dev/null; }
e2e_server_stop() { "$E2E_ROOT/scripts/test-server.sh" stop "$E2E_STATE/servers" "$@" >/dev/null 2>&1 || true; }
e2e_server_log() { cat "$E2E_STATE/servers/$1.log" 2>/dev/null; }
e2e_server_port() { "$E2E_ROOT/scripts/test-server.sh" port "$E2E_STATE/servers" "$1" https; }

# A working folder with serverip.dat for the downloader. e2e_workdir DIR [BASE] [SUFFIX]
e2e_workdir() {
  mkdir -p "$1"
  printf '%s\n%s\n%s\n' "${2:-https://localhost}" "${3:-:8443}" '/assist/server?reqtype=1&data=' >"$1/serverip.dat"
}

# Starts the downloader in the background from WORKDIR. e2e_launch WORKDIR [ARGS...]
# Its Wine output goes to $E2E_STATE/app.log; its pid (of the wine loader) to E2E_APP_PID.
e2e_launch() {
  local work=$1
  shift
  (cd "$work" && exec wine "$E2E_EXE" "$@") >"$E2E_STATE/app.log" 2>&1 </dev/null &
  E2E_APP_PID=$!
}

# Waits until the downloader ended; prints its exit code. e2e_wait_exit [seconds]
e2e_wait_exit() {
  local end=$((SECONDS + ${1:-30}))
  [ -n "$E2E_APP_PID" ] || return 0
  while [ $SECONDS -lt "$end" ]; do
    if ! kill -0 "$E2E_APP_PID" 2>/dev/null; then
      wait "$E2E_APP_PID" 2>/dev/null
      E2E_APP_RC=$?
      E2E_APP_PID=
      return 0
    fi
    sleep 0.3
  done
  return 1
}

# Pids of Windows processes of this prefix whose command line names EXE.
e2e_wine_pids() {
  local pid
  for pid in $(pgrep -f -- "$1" 2>/dev/null); do
    [ "$pid" = "$$" ] && continue
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qi '\.exe' || continue
    echo "$pid"
  done
}
e2e_running() { [ -n "$(e2e_wine_pids "$1")" ]; }

# Ends whatever a case left running in the prefix: the downloader (quit message, then its pid),
# the stand-ins (their own "-t").
e2e_stop_programs() {
  drv broadcast "$E2E_QUIT_MESSAGE" 1 >/dev/null 2>&1 || true
  if [ -n "$E2E_APP_PID" ]; then
    e2e_wait_exit 5 || { kill "$E2E_APP_PID" 2>/dev/null; wait "$E2E_APP_PID" 2>/dev/null; }
    E2E_APP_PID=
  fi
  local exe pid
  for exe in "${E2E_STAND_INS[@]}"; do
    if e2e_running "$exe"; then wine "$E2E_PEERS/$exe" -t >/dev/null 2>&1 || true; fi
  done
  sleep 0.5
  for exe in "${E2E_STAND_INS[@]}" "corlinq_$E2E_BANK.exe"; do
    for pid in $(e2e_wine_pids "$exe"); do kill "$pid" 2>/dev/null; done
  done
  return 0
}

# Removes what an install leaves in the prefix: folder, record, uninstall entry, Run value,
# shortcuts and program group.
e2e_reset_install() {
  # A Windows user profile has the quick launch folder; a fresh Wine prefix does not.
  mkdir -p "$E2E_DRIVE_C/users/$(id -un)/AppData/Roaming/Microsoft/Internet Explorer/Quick Launch"
  rm -rf "$E2E_DRIVE_C/Program Files/恒澍银行网上银行安全组件" "$E2E_DRIVE_C/Program Files (x86)/恒澍银行网上银行安全组件"
  find "$E2E_DRIVE_C" -path "$E2E_DRIVE_C/windows" -prune -o \
    \( -name "$E2E_PRODUCT*.lnk" -o -type d -name 恒澍银行网上银行安全组件 \) -print0 2>/dev/null |
    xargs -0 -r rm -rf || true
  wine reg delete "$E2E_RECORD_KEY" /reg:32 /f >/dev/null 2>&1 || true
  wine reg delete "$E2E_UNINSTALL_KEY" /reg:32 /f >/dev/null 2>&1 || true
  wine reg delete "$E2E_RUN_KEY" /v "$E2E_PRODUCT" /reg:64 /f >/dev/null 2>&1 || true
  return 0
}

# Writes an install record as a previous install would. e2e_write_record VERSION WINDOWS_DIR
e2e_write_record() {
  wine reg add "$E2E_RECORD_KEY" /v Version /d "$1" /reg:32 /f >/dev/null 2>&1 &&
    wine reg add "$E2E_RECORD_KEY" /v Path /d "$2" /reg:32 /f >/dev/null 2>&1
}

# Prints the values of a registry key as name=value lines, in UTF-8 (reg query prints through
# the console's code page, which turns Chinese into "?"). e2e_reg_dump KEY 32|64
e2e_reg_dump() {
  local file=$E2E_STATE/reg-export.reg
  rm -f "$file"
  wine reg export "$1" "$(e2e_winpath "$file")" "/reg:$2" /y >/dev/null 2>&1 || return 1
  iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | sed -n 's/^"\(.*\)"="\(.*\)"$/\1=\2/p' | sed 's/\\\\/\\/g'
}

# Prints one value of the install record ("" when missing). e2e_record_value NAME
e2e_record_value() { e2e_reg_dump "$E2E_RECORD_KEY" 32 | sed -n "s/^$1=//p"; }

# Checks every manifest entry of RELEASE against the install folder by SHA-1 digest.
# e2e_check_files RELEASE INSTALL_DIR [quiet]: prints "ok|MISSING|DIFFERS <path>" lines (unless
# quiet); exit 0 when all match and both manifests were installed.
e2e_check_files() {
  local release=$1 dir=$2 quiet=${3:-} bad=0 manifest path name digest rel got
  for manifest in Digest.xml "Digest_$E2E_BANK.xml"; do
    if ! cmp -s "$release/$manifest" "$dir/$manifest"; then
      [ -n "$quiet" ] || echo "  DIFFERS $manifest"
      bad=1
    fi
    while IFS='|' read -r path name digest; do
      rel=${path:+${path//\\//}/}$name
      if [ ! -f "$dir/$rel" ]; then
        [ -n "$quiet" ] || echo "  MISSING $rel"
        bad=1
        continue
      fi
      got=$(openssl dgst -sha1 -binary "$dir/$rel" | base64)
      if [ "$got" = "$digest" ]; then
        [ -n "$quiet" ] || printf '  ok      %-28s %8s bytes  sha1 %s\n' "$rel" "$(stat -c %s "$dir/$rel")" "$digest"
      else
        [ -n "$quiet" ] || echo "  DIFFERS $rel"
        bad=1
      fi
    done < <(tr -d '\r' <"$release/$manifest" |
      sed -n 's/.*<File Path="\([^"]*\)" FileName="\([^"]*\)" Digest="\([^"]*\)".*/\1|\2|\3/p')
  done
  return $bad
}

# The shortcuts an install made (Linux paths), one a line.
e2e_shortcuts() {
  find "$E2E_DRIVE_C" -path "$E2E_DRIVE_C/windows" -prune -o -name "$E2E_PRODUCT*.lnk" -print 2>/dev/null | sort
}

# Drives the install wizard: welcome → options (optional changes) → progress, until the run ends
# the process. Screenshots into SHOTS (when given). e2e_drive_install SHOTS [desktop 0|1] [DIR]
# Sets E2E_INSTALL_DIR (Windows path the options page held when "下一步" was pressed).
e2e_drive_install() {
  local shots=$1 desktop=${2:-} dir=${3:-}
  [ -z "$shots" ] || mkdir -p "$shots"
  # Its own name: a function defined here is global and must not replace a caller's "shot".
  _e2e_install_shot() { [ -z "$shots" ] || drv screenshot "$1" "$(e2e_winpath "$shots/$2")" >/dev/null 2>&1 || true; }
  if drv wait-dialog "$E2E_TITLE#130" 3000 >/dev/null; then _e2e_install_shot 130 130_version_query.png; fi
  drv wait-dialog "$E2E_TITLE#132" 30000 >/dev/null || { echo "no welcome dialog (132)"; return 1; }
  _e2e_install_shot 132 132_welcome.png
  drv click 132 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#134" 10000 >/dev/null || { echo "no options dialog (134)"; return 1; }
  [ -z "$desktop" ] || drv check 134 1016 "$desktop" >/dev/null
  [ -z "$dir" ] || drv set-text 134 1017 "$dir" >/dev/null
  E2E_INSTALL_DIR=$(drv text 134 1017)
  _e2e_install_shot 134 134_options.png
  drv click 134 1 >/dev/null
  drv wait-dialog "$E2E_TITLE#135" 15000 >/dev/null || { echo "no progress dialog (135)"; return 1; }
  sleep 1
  _e2e_install_shot 135 135_progress.png
  local end=$((SECONDS + 120)) text last=
  while [ $SECONDS -lt "$end" ]; do
    text=$(drv text 135 2) || break
    [ "$text" = "$last" ] || { [ -z "$last" ] || true; last=$text; }
    case "$text" in
      下载完成) _e2e_install_shot 135 135_done.png; break ;;
      下载失败) _e2e_install_shot 135 135_failed.png; echo "the run failed: $(drv text 135 1020)"; return 1 ;;
    esac
    sleep 0.5
  done
  e2e_wait_exit 60 || { echo "the downloader did not end after the run"; return 1; }
  return 0
}
