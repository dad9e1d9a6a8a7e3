#!/usr/bin/env bash
# Builds a signed release folder for the update server:
#   scripts/make-release.sh --key PRIVATE_PEM --pubkey PUBLIC_PEM [--dry-run]
#       [--passphrase-file FILE | --passphrase-env NAME] SRC_DIR OUT_DIR BANK [EXTRA_FILE...]
# SRC_DIR is copied into a new folder beside OUT_DIR; each EXTRA_FILE is copied to its top (a
# "DEST=FILE" argument copies FILE to DEST, relative with "/" separators). Then the common
# manifest Digest.xml and the bank manifest Digest_<BANK as %03x>.xml are made over everything
# in it, signed with PRIVATE_PEM, and the whole release is checked against PUBLIC_PEM (the key
# the downloader was built with). Only then is the new folder renamed into place, so a release
# being served is never half-written; the old one is removed after. OUT_DIR may not be SRC_DIR,
# hold it or lie inside it. --dry-run does all but the rename and leaves OUT_DIR as it was.
# BANK is hexadecimal, with or without 0x, in any letter case (5a5, 0x5a5, 0X5A5).
# Options may come anywhere, as --opt VALUE or --opt=VALUE; "--" ends them.
# Environment: DIGEST_TOOL (default build/native/tools/digest-tool/digest-tool),
#              MANIFEST_SIGNING_KEY and MANIFEST_PUBLIC_KEY (in place of --key and --pubkey),
#              RELEASE_VERSION, RELEASE_EXPIRES (the release statement: version and UTC expiry
#              YYYY-MM-DDThh:mm:ssZ; without RELEASE_VERSION the manifests carry none).
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
me=make-release

usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; }
usage_error() { echo "$me: $* (see $me --help)" >&2; exit 2; }
fail() { echo "$me: $*" >&2; exit 1; }

key=${MANIFEST_SIGNING_KEY:-} pub=${MANIFEST_PUBLIC_KEY:-} dry=0 pass=()
args=()
while [ $# -gt 0 ]; do
  arg=$1
  shift
  case "$arg" in
    --help|-h) usage; exit 0 ;;
    --dry-run) dry=1 ;;
    --key=*|--pubkey=*|--passphrase-file=*|--passphrase-env=*)
      name=${arg%%=*} value=${arg#*=}
      set -- "$name" "$value" "$@"
      ;;
    --key|--pubkey|--passphrase-file|--passphrase-env)
      [ $# -gt 0 ] || usage_error "the option $arg wants a value"
      case "$arg" in
        --key) key=$1 ;;
        --pubkey) pub=$1 ;;
        *) pass=("$arg" "$1") ;;
      esac
      shift
      ;;
    --) args+=("$@"); break ;;
    -?*) usage_error "unknown option $arg" ;;
    *) args+=("$arg") ;;
  esac
done
[ ${#args[@]} -ge 3 ] || usage_error "wants SRC_DIR OUT_DIR BANK"
src=${args[0]} out=${args[1]} bank=${args[2]}
extras=("${args[@]:3}")

tool=${DIGEST_TOOL:-$root/build/native/tools/digest-tool/digest-tool}
[ -x "$tool" ] || fail "no digest-tool at $tool (build the native preset)"
[ -n "$key" ] || usage_error "no signing key: give --key PRIVATE_PEM (or MANIFEST_SIGNING_KEY)"
[ -n "$pub" ] || usage_error "no public key to check the release with: give --pubkey PUBLIC_PEM (or MANIFEST_PUBLIC_KEY)"
[ -f "$key" ] || fail "cannot read the signing key $key: $( [ -e "$key" ] && echo "not a file" || echo "No such file or directory")"
[ -f "$pub" ] || fail "cannot read the public key $pub: $( [ -e "$pub" ] && echo "not a file" || echo "No such file or directory")"
digits=${bank#0[xX]}
[[ $digits =~ ^[0-9a-fA-F]{1,6}$ ]] || usage_error "\"$bank\" is not a bank id (hexadecimal, with or without 0x: 5a5, 0x5a5)"
bank3=$(printf '%03x' "0x$digits")

[ -d "$src" ] || fail "$src is not a folder"
src_abs=$(realpath "$src")
out_abs=$(realpath -m "$out")
if [ "$out_abs" = "$src_abs" ]; then
  fail "refusing $out: it is the source folder"
fi
case "$src_abs/" in "$out_abs"/*) fail "refusing $out: it holds the source folder $src" ;; esac
case "$out_abs/" in "$src_abs"/*) fail "refusing $out: it lies inside the source folder $src" ;; esac
[ ! -e "$out_abs" ] || [ -d "$out_abs" ] || fail "refusing $out: it exists and is not a folder"
for extra in "${extras[@]}"; do
  file=$extra
  if [[ "$extra" == *=* ]]; then
    dest=${extra%%=*} file=${extra#*=}
    case "/$dest/" in
      //*|*/../*|*/./*|*//*) fail "refusing the destination \"$dest\": it must be a relative path inside the release" ;;
    esac
  fi
  [ -f "$file" ] || fail "cannot read the extra file $file: $( [ -e "$file" ] && echo "not a file" || echo "No such file or directory")"
done

parent=$(dirname "$out_abs") base=$(basename "$out_abs")
mkdir -p "$parent"
tmp=$(mktemp -d "$parent/.$base.new.XXXXXX")
old=
cleanup() { rm -rf "$tmp"; [ -z "$old" ] || rm -rf "$old"; }
trap cleanup EXIT
chmod u=rwx,go=rx "$tmp"

cp -R "$src"/. "$tmp"/
for extra in "${extras[@]}"; do
  if [[ "$extra" == *=* ]]; then
    dest=${extra%%=*} file=${extra#*=}
    mkdir -p "$tmp/$(dirname "$dest")"
    cp "$file" "$tmp/$dest"
  else
    cp "$extra" "$tmp/"
  fi
done
statement=()
[ -z "${RELEASE_VERSION:-}" ] || statement+=(--release-version "$RELEASE_VERSION")
[ -z "${RELEASE_EXPIRES:-}" ] || statement+=(--expires "$RELEASE_EXPIRES")
"$tool" make "$tmp" --bank "$bank3" "${statement[@]}"
"$tool" sign --key "$key" "${pass[@]}" "$tmp/Digest.xml" "$tmp/Digest_$bank3.xml"
if ! "$tool" check --pubkey "$pub" --bank "$bank3" "$tmp"; then
  fail "the new release does not check out against $pub; $out is left as it was"
fi

if [ "$dry" = 1 ]; then
  echo "dry run: a release for bank $bank3 checks out; $out is left as it was"
  exit 0
fi
if [ -d "$out_abs" ]; then
  old=$(mktemp -d "$parent/.$base.old.XXXXXX")
  mv -T "$out_abs" "$old"
fi
mv -T "$tmp" "$out_abs"
echo "release ready in $out"
