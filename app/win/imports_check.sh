#!/usr/bin/env bash
# The downloader's static imports are KnownDLLs only: the loader takes those from the system's
# own list, never from the program's folder. comctl32 is allowed because the program's
# side-by-side manifest binds it to the system's Common Controls assembly.
#   imports_check.sh OBJDUMP EXE
set -uo pipefail
objdump=$1 exe=$2
known=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll ws2_32.dll comctl32.dll "
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
[ -n "$imports" ] || { echo "FAIL: no import table read from $exe"; exit 1; }
failures=0
for dll in $imports; do
  if [[ "$known" == *" $dll "* ]]; then
    echo "ok   $dll"
  else
    echo "FAIL $dll is a static import but not a KnownDLL"
    failures=$((failures + 1))
  fi
done
if grep -qx comctl32.dll <<<"$imports" && ! grep -aq 'Microsoft.Windows.Common-Controls' "$exe"; then
  echo "FAIL comctl32.dll is imported without the Common Controls assembly in the manifest"
  failures=$((failures + 1))
fi
[ $failures -eq 0 ]
