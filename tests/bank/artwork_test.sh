#!/usr/bin/env bash
# The banner pictures are the bank's: drawn for another bank they differ from the demo bank's
# committed ones, and drawn for the demo bank they are those, byte for byte (so the committed
# files are what the build draws).
#   artwork_test.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
"$src/ui/res/make-artwork.sh" --pictures-only --out "$work/demo" 恒澍银行 >/dev/null || exit 1
"$src/ui/res/make-artwork.sh" --pictures-only --out "$work/other" 云杉银行 >/dev/null || exit 1
for id in 174 175 176 177 178 180 184; do
  cmp -s "$work/demo/picture_$id.png" "$src/ui/res/picture_$id.png" ||
    { echo "FAIL picture_$id.png drawn for 恒澍银行 is not the committed one"; failures=$((failures + 1)); }
done
# The banners and the question pictures carry the name; the options page has none.
for id in 174 175 177 178 180 184; do
  ! cmp -s "$work/other/picture_$id.png" "$src/ui/res/picture_$id.png" ||
    { echo "FAIL picture_$id.png drawn for 云杉银行 is the demo bank's"; failures=$((failures + 1)); }
done
[ "$failures" -eq 0 ] && echo "artwork: every bank's banners carry its own name"
exit $((failures > 0))
