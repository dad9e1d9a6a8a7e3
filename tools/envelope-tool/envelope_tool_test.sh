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

# keys/envelope.pem under the working directory comes first.
mkdir keys
openssl genrsa -traditional -out keys/envelope.pem 1024 2>/dev/null
other=$("$tool" seal 867)
[[ $("$tool" open "$other") == 867 ]] || fail "round trip with ./keys/envelope.pem"

expect_failure() {
  local what=$1; shift
  if "$tool" "$@" >out 2>err; then fail "$what: succeeded"; fi
  [[ -s err ]] || fail "$what: no message on stderr"
  [[ ! -s out ]] || fail "$what: printed on stdout"
}
expect_failure "foreign key" open "$sealed"
digit=${sealed:300:1}; [[ $digit == 0 ]] && swap=1 || swap=0
expect_failure "tampered" open "${sealed:0:300}${swap}${sealed:301}" --key "$key"
expect_failure "truncated" open "${sealed:0:200}" --key "$key"
expect_failure "not hex" open "hello world" --key "$key"
expect_failure "missing key file" seal 867 --key "$work/none.pem"
expect_failure "key file not a key" seal 867 --key /dev/null
expect_failure "empty text" seal ""
expect_failure "no operand" seal
expect_failure "unknown command" wrap 867
echo "envelope-tool: all checks passed"
