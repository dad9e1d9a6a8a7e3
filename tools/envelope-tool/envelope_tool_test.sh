#!/usr/bin/env bash
# envelope-tool from the command line: seal then open, and the failures an operator meets.
set -euo pipefail
tool=$1
key=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # no keys/ here: the built-in key file path is the fallback

fail() { echo "FAIL: $*" >&2; exit 1; }

sealed=$("$tool" seal 867)
[[ ${#sealed} -eq 340 ]] || fail "envelope of 867 has ${#sealed} characters, not 340"
[[ $sealed =~ ^[0-9A-F]+$ ]] || fail "envelope is not uppercase hex"
[[ $("$tool" open "$sealed") == 867 ]] || fail "round trip with the default key"
[[ $("$tool" open "$sealed" --key "$key") == 867 ]] || fail "round trip with --key"
[[ $("$tool" open "${sealed,,}") == 867 ]] || fail "lowercase envelope"
json='{"v":"2.1.15.1203","url":"https://127.0.0.1/dl","update":"1"}'
[[ $("$tool" open "$("$tool" seal "$json")") == "$json" ]] || fail "round trip of a reply"

# A keys/envelope.pem under the working directory is never taken: only --key or the built-in
# key file.
mkdir keys
openssl genrsa -traditional -out keys/envelope.pem 1024 2>/dev/null
[[ $("$tool" open "$("$tool" seal 867)" --key "$key") == 867 ]] || fail "./keys/envelope.pem was used"
other=$("$tool" seal 867 --key keys/envelope.pem)
[[ $("$tool" --key=keys/envelope.pem open "$other") == 867 ]] || fail "--key=FILE before the command"

# The usual command-line conventions.
help=$("$tool" --help) || fail "--help exit code"
[[ $help == *"envelope-tool seal TEXT"* ]] || fail "--help on stdout"
[[ $("$tool" --version) == "envelope-tool "* ]] || fail "--version"
usage() {  # usage TEXT_IN_MESSAGE ARGS...
  local want=$1 rc=0; shift
  "$tool" "$@" >out 2>err || rc=$?
  [[ $rc -eq 2 ]] || fail "$*: exit code $rc, not 2"
  grep -qF -- "$want" err || fail "$*: message without \"$want\": $(cat err)"
  [[ ! -s out ]] || fail "$*: printed on stdout"
}
usage "unknown option --frob" seal 867 --frob
usage "unknown command \"wrap\"" wrap 867
usage "\"extra\" is one too many" seal 867 extra
usage "--key wants a value" seal 867 --key
usage "no command given"
usage "seal wants one TEXT" seal
usage "--key is given twice" seal 867 --key "$key" --key "$key"

expect_failure() {
  local what=$1; shift
  if "$tool" "$@" >out 2>err; then fail "$what: succeeded"; fi
  [[ -s err ]] || fail "$what: no message on stderr"
  [[ ! -s out ]] || fail "$what: printed on stdout"
}
expect_failure "foreign key" open "$sealed" --key keys/envelope.pem
digit=${sealed:300:1}; [[ $digit == 0 ]] && swap=1 || swap=0
expect_failure "tampered" open "${sealed:0:300}${swap}${sealed:301}" --key "$key"
expect_failure "truncated" open "${sealed:0:200}" --key "$key"
expect_failure "not hex" open "hello world" --key "$key"
expect_failure "missing key file" seal 867 --key "$work/none.pem"
grep -qF "none.pem: No such file or directory" err || fail "missing key file: no reason: $(cat err)"
expect_failure "key file is a folder" seal 867 --key "$work"
grep -qF "Is a directory" err || fail "key folder: no reason: $(cat err)"
expect_failure "key file not a key" seal 867 --key /dev/null
expect_failure "empty text" seal ""
echo "envelope-tool: all checks passed"
