#!/usr/bin/env bash
# Builds a signed release folder for the update server:
#   scripts/make-release.sh SRC_DIR OUT_DIR BANKHEX [EXTRA_FILE...]
# OUT_DIR is made afresh from a copy of SRC_DIR; each EXTRA_FILE is copied to the top of OUT_DIR
# (a "DEST=FILE" argument copies FILE to OUT_DIR/DEST, DEST relative with "/" separators). Then
# the common manifest Digest.xml and the bank manifest Digest_<BANKHEX as %03x>.xml are made over
# everything in OUT_DIR and signed.
# Environment: DIGEST_TOOL (default build/native/tools/digest-tool/digest-tool),
#              MANIFEST_SIGNING_KEY (default keys/manifest-signing.pem),
#              RELEASE_VERSION, RELEASE_EXPIRES (the release statement: version and UTC expiry
#              YYYY-MM-DDThh:mm:ssZ; without RELEASE_VERSION the manifests carry none).
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
if [ $# -lt 3 ]; then
  sed -n '2,12p' "$0" >&2
  exit 2
fi
src=$1 out=$2 bank=$3
shift 3
tool=${DIGEST_TOOL:-$root/build/native/tools/digest-tool/digest-tool}
key=${MANIFEST_SIGNING_KEY:-$root/keys/manifest-signing.pem}
[ -x "$tool" ] || { echo "make-release: no digest-tool at $tool (build the native preset)" >&2; exit 1; }
[ -d "$src" ] || { echo "make-release: $src is not a folder" >&2; exit 1; }
[ -f "$key" ] || { echo "make-release: no signing key $key" >&2; exit 1; }
bank3=$(printf '%03x' "0x$bank")

rm -rf "$out"
mkdir -p "$out"
cp -R "$src"/. "$out"/
for extra in "$@"; do
  if [[ "$extra" == *=* ]]; then
    dest=${extra%%=*} file=${extra#*=}
    mkdir -p "$out/$(dirname "$dest")"
    cp "$file" "$out/$dest"
  else
    cp "$extra" "$out/"
  fi
done
statement=()
[ -z "${RELEASE_VERSION:-}" ] || statement+=(--release-version "$RELEASE_VERSION")
[ -z "${RELEASE_EXPIRES:-}" ] || statement+=(--expires "$RELEASE_EXPIRES")
"$tool" make "$out" --bank "$bank3" "${statement[@]}"
"$tool" sign --key "$key" "$out/Digest.xml"
"$tool" sign --key "$key" "$out/Digest_$bank3.xml"
echo "release ready in $out"
