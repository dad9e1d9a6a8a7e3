#!/usr/bin/env bash
# Links a CJK font (WenQuanYi Micro Hei, Debian's fonts-wqy-microhei) to the dialog fonts of the
# harness's Wine prefix, as a Chinese Windows does. Wine maps "MS Shell Dlg" to Tahoma, which has
# no Chinese glyphs; without the link, button and label texts show as boxes. Idempotent.
#   scripts/wine/cjk-fonts.sh STATE_DIR
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
source "$here/common.sh" "$1"
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
for font in Tahoma "MS Shell Dlg" "Microsoft Sans Serif"; do
  wine reg add "$key" /v "$font" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1
done
