#!/usr/bin/env bash
# scripts/make-release.sh with a live folder: it never touches its source, replaces a release
# only with one that checks out, takes one spelling of a bank id, and wants its keys named.
#   make_release_test.sh SOURCE_DIR DIGEST_TOOL
set -uo pipefail
root=$1
export DIGEST_TOOL=$2
script=$root/scripts/make-release.sh
key=$root/keys/manifest-signing.pem pub=$root/keys/manifest-public.pem
unset MANIFEST_SIGNING_KEY MANIFEST_PUBLIC_KEY
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
fresh_src() {
  rm -rf "$work/t"
  mkdir -p "$work/t/bin"
  echo core >"$work/t/bin/core.dll"
  echo exe >"$work/t/WebUI_5a5.exe"
}
tree() { (cd "$1" && find . -printf '%p %s\n' | sort | md5sum); }
# expect RC TEXT ARGS...: the exit code, and TEXT in the output.
expect() {
  local rc=$1 text=$2 got=0
  shift 2
  "$script" "$@" >"$work/log" 2>&1 || got=$?
  [ "$got" = "$rc" ] || { fail "$*: exit code $got, not $rc: $(tail -3 "$work/log")"; return 1; }
  grep -qF -- "$text" "$work/log" || { fail "$*: no \"$text\" in: $(tail -3 "$work/log")"; return 1; }
}

# Outputs that are or hold the source, or lie in it, are refused and the source stays as it was.
fresh_src
before=$(tree t)
expect 1 "it is the source folder" --key "$key" --pubkey "$pub" t t 5a5
expect 1 "it is the source folder" --key "$key" --pubkey "$pub" t ./t/ 5a5
expect 1 "it holds the source folder" --key "$key" --pubkey "$pub" t . 5a5
expect 1 "it holds the source folder" --key "$key" --pubkey "$pub" "$work/t/bin" "$work/t" 5a5
expect 1 "it lies inside the source folder" --key "$key" --pubkey "$pub" t t/out 5a5
[ "$(tree t)" = "$before" ] || fail "the source folder changed"

# Keys must be named; a wrong or missing key leaves the served release as it was.
expect 2 "no signing key" t out 5a5
expect 2 "no public key" --key "$key" t out 5a5
expect 1 "cannot read the signing key $work/none.pem: No such file" --key "$work/none.pem" --pubkey "$pub" t out 5a5
[ ! -e out ] || fail "a refused run made out"
expect 0 "release ready in out" t out 5a5 --key "$key" --pubkey="$pub"
"$DIGEST_TOOL" check --pubkey "$pub" --bank 5a5 out >/dev/null || fail "the release does not check out"
served=$(tree out)
"$DIGEST_TOOL" keygen "$work/other.pem" "$work/other-pub.pem" >/dev/null
expect 1 "does not check out against $work/other-pub.pem" --key "$key" --pubkey "$work/other-pub.pem" t out 5a5
expect 2 "unknown option --sign" --sign "$key" t out 5a5
[ "$(tree out)" = "$served" ] || fail "a failed run changed the served release"

# A rebuild replaces the folder whole: files gone from the source go, nothing is left beside it.
echo new >t/new.txt
rm t/bin/core.dll
expect 0 "dry run" --dry-run --key "$key" --pubkey "$pub" t out 5a5
[ "$(tree out)" = "$served" ] || fail "--dry-run changed the served release"
expect 0 "release ready" --key "$key" --pubkey "$pub" t out 5a5
[ -f out/new.txt ] && [ ! -e out/bin/core.dll ] || fail "the rebuilt release is not the new source"
[ "$(find . -maxdepth 1 -name '.out.*' | wc -l)" = 0 ] || fail "left temporary folders: $(ls -a)"
[ "$(stat -c %a out)" = 755 ] || fail "the release folder has mode $(stat -c %a out)"

# One spelling of a bank id; the bank manifest is named %03x.
for spelling in 5a5 0x5a5 0X5A5 05a5; do
  expect 0 "release ready" --key "$key" --pubkey "$pub" t "out-$spelling" "$spelling" &&
    { [ -f "out-$spelling/Digest_5a5.xml" ] || fail "bank $spelling: no Digest_5a5.xml"; }
done
expect 0 "release ready" --key "$key" --pubkey "$pub" t out42 0x42
[ -f out42/Digest_042.xml ] || fail "bank 0x42: no Digest_042.xml"
expect 2 "\"0x0x5a5\" is not a bank id" --key "$key" --pubkey "$pub" t out 0x0x5a5
expect 2 "\"zz\" is not a bank id" --key "$key" --pubkey "$pub" t out zz
# Extra files, also at a destination; destinations outside the release are refused.
echo extra >"$work/extra.bin"
expect 0 "release ready" --key "$key" --pubkey "$pub" t out 5a5 "$work/extra.bin" "sub/x_5a5.bin=$work/extra.bin"
[ -f out/extra.bin ] && grep -q 'Path="sub" FileName="x_5a5.bin"' out/Digest_5a5.xml || fail "extra files"
expect 1 "refusing the destination \"../x.bin\"" --key "$key" --pubkey "$pub" t out 5a5 "../x.bin=$work/extra.bin"
expect 0 "Builds a signed release" --help

[ "$failures" -eq 0 ] && echo "make-release: all checks passed"
exit $((failures > 0))
