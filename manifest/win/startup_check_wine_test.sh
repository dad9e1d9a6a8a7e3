#!/usr/bin/env bash
# The start-up folder check as a user meets it, under Wine: the probe (phase A of the downloader)
# runs from a folder of its own into which libraries and manifests are planted; the driver reads
# the warning console's screen and presses a key.
#   startup_check_wine_test.sh PROBE_EXE DRIVER_EXE DIGEST_TOOL SIGNING_KEY
set -uo pipefail
probe=$1 driver=$2 tool=$3 key=$4
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
source "$root/scripts/wine/common.sh" "${CORLINQ_WINE_DIR:?}"
[ -x "$tool" ] || { echo "no digest-tool at $tool: build the native preset first"; exit 1; }

base="$WINEPREFIX/drive_c/corlinq_startup_check"
rm -rf "$base"
mkdir -p "$base"
failures=0
warning_prefix='网银助手下载器路径下存在异常文件，异常文件路径:('
warning_suffix=')，请把下载器拷贝到其他路径运行！！'

# new_case NAME FILE...: a folder with the probe and the given (empty) files.
new_case() {
  local name=$1
  shift
  mkdir -p "$base/$name"
  cp "$probe" "$base/$name/startup_check_probe.exe"
  local f
  for f in "$@"; do : > "$base/$name/$f"; done
}

# run_case NAME EXPECTED_NAME|-: runs the probe; "-" expects no console.
run_case() {
  local name=$1 expected=$2
  local out="$base/$name.out"
  rm -f "$out"
  "$root/scripts/wine/exec.sh" "$CORLINQ_WINE_DIR" "$driver" \
    "C:\\corlinq_startup_check\\$name\\startup_check_probe.exe" \
    "C:\\corlinq_startup_check\\$name.out" >/dev/null 2>&1
  local rc=$?
  local report
  report=$(cat "$out" 2>/dev/null)
  local ok=1
  [ $rc -eq 0 ] || ok=0
  grep -qx 'exit: 0' <<<"$report" || ok=0
  if [ "$expected" = "-" ]; then
    grep -qx 'console: none' <<<"$report" || ok=0
  else
    # The screen wraps long lines; compare with the line breaks taken out.
    local flat
    flat=$(tr -d '\n' <<<"$report")
    [[ "$flat" == *"$warning_prefix$expected$warning_suffix"* ]] || ok=0
    [[ "$flat" == *"请按任意键继续"* ]] || ok=0
    grep -qx 'waited for a key: yes' <<<"$report" || ok=0
  fi
  if [ $ok -eq 1 ]; then
    echo "PASS $name"
  else
    echo "FAIL $name (driver exit $rc, expected ${expected})"
    echo "$report" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

new_case clean readme.txt
run_case clean -

new_case unlisted x.dll
run_case unlisted x.dll

new_case upper X.DLL
run_case upper x.dll

new_case not_libraries x.dll.txt
mkdir "$base/not_libraries/folder.dll"
run_case not_libraries -

new_case chinese '网银控件.dll'
run_case chinese '网银控件.dll'

# Names the command interpreter would act on are shown as themselves and nothing runs.
new_case inject_amp 'a&mkdir pwned&.dll'
run_case inject_amp 'a&mkdir pwned&.dll'
new_case inject_caret 'b^&%PATH%&mkdir pwned2&.dll'
run_case inject_caret 'b^&%path%&mkdir pwned2&.dll'
for d in inject_amp inject_caret; do
  if find "$base/$d" "$WINEPREFIX/drive_c/users" "$WINEPREFIX/drive_c/windows/system32" \
       -maxdepth 2 -name 'pwned*' | grep -q .; then
    echo "FAIL $d: an injected command ran"
    failures=$((failures + 1))
  fi
done

# A signed manifest beside the program lists the library; a broken signature does not count.
new_case listed x.dll
"$tool" make "$base/listed" --bank 867 >/dev/null && "$tool" sign --key "$key" "$base/listed/Digest.xml" >/dev/null \
  || { echo "FAIL listed: digest-tool"; failures=$((failures + 1)); }
run_case listed -
new_case broken x.dll
cp "$base/listed/Digest.xml" "$base/broken/Digest.xml"
# Still lists x.dll, but one byte more than was signed.
sed -i 's/<FileInfo>/<FileInfo >/' "$base/broken/Digest.xml"
run_case broken x.dll

# Started with its input from /dev/null nobody can press a key: the warning does not wait.
new_case no_input x.dll
if timeout 60 "$root/scripts/wine/exec.sh" "$CORLINQ_WINE_DIR" \
     "C:\\corlinq_startup_check\\no_input\\startup_check_probe.exe" >/dev/null 2>&1; then
  echo "PASS no_input"
else
  echo "FAIL no_input: the probe did not end by itself with exit code 0"
  failures=$((failures + 1))
fi

echo "$failures failure(s)"
[ $failures -eq 0 ]
